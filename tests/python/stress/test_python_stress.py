"""Stress of the Python module over the emulated USB kit, bounded in count and time: four threads
requesting and releasing frames for 10 s, restarts from another thread while two threads take
frames, start/stop cycles, cameras deallocated while streaming, and Ctrl-C during waits. Each test compares the process's descriptors (/proc/self/fd), mappings
(/proc/self/maps) and resident size before and after."""

import gc
import os
import threading
import time

import pytest
import ZentroxDepthCamera as zdc

from conftest import run_python
from test_threads import run_restarts

OK = zdc.TOFErrorCode.ZentroxSuccess
# Resident growth tolerated (interpreter and allocator caches); a leaked frame pool per cycle would
# exceed it many times over.
RSS_SLACK_KB = 24 * 1024


def resources():
    gc.collect()
    fds = len(os.listdir("/proc/self/fd"))
    with open("/proc/self/maps") as f:
        maps = sum(1 for _ in f)
    with open("/proc/self/statm") as f:
        rss_kb = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024
    return fds, maps, rss_kb


def assert_flat(what, before, after):
    print(f"{what}: descriptors {before[0]} -> {after[0]}, mappings {before[1]} -> {after[1]}, "
          f"rss {before[2]} kB -> {after[2]} kB")
    assert after[0] == before[0], f"{what}: descriptors leaked"
    assert after[1] <= before[1], f"{what}: mappings leaked"
    assert after[2] - before[2] <= RSS_SLACK_KB, f"{what}: resident memory grew"


def open_kit(tmp_path):
    cam = zdc.ZentroxCamera()
    assert cam.open(zdc.TOFConnect.USB, 0) == OK
    return cam


def run_threads(cam, seconds, threads=4):
    """Each thread requests and releases frames until the time is up; returns the frames each got."""
    deadline = time.monotonic() + seconds
    counts, errors = [0] * threads, []

    def worker(k):
        try:
            while time.monotonic() < deadline:
                frame = cam.requestFrame(200)
                if frame is None:
                    continue
                depth = frame.getDepthData()
                assert depth.shape == (180, 240)
                assert cam.releaseFrame(frame) == OK
                counts[k] += 1
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    pool = [threading.Thread(target=worker, args=(k,)) for k in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join(seconds + 30)
    assert not any(t.is_alive() for t in pool), "a requesting thread did not finish"
    assert errors == []
    return counts


def test_four_threads_request_and_release_for_ten_seconds(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    cam = open_kit(tmp_path)
    assert cam.start(zdc.TOFOutput.DEPTH) == OK
    run_threads(cam, 1.0)  # the allocator's per-thread arenas come into being here
    before = resources()
    counts = run_threads(cam, 10.0)
    after = resources()
    print(f"four threads for 10 s: frames per thread {counts}, total {sum(counts)}")
    assert all(n > 0 for n in counts), counts
    assert cam.stop() == OK
    assert cam.close() == OK
    assert_flat("four threads", before, after)


def test_restarts_and_range_changes_from_other_threads_for_ten_seconds(tmp_path):
    stats = run_restarts(tmp_path, 10.0)
    assert stats["restarts"] >= 100, stats


def test_start_stop_cycles_with_a_frame_held_across_stop(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    cam = open_kit(tmp_path)
    cycles, deadline = 0, time.monotonic() + 60

    def cycle(n):
        assert cam.start(zdc.TOFOutput.RAW if n % 2 else zdc.TOFOutput.DEPTH) == OK
        frame = cam.requestFrame(5000)
        assert frame is not None
        assert cam.stop() == OK
        assert cam.releaseFrame(frame) == OK

    for n in range(5):
        cycle(n)
    before = resources()
    while cycles < 200 and time.monotonic() < deadline:
        cycle(cycles)
        cycles += 1
    after = resources()
    print(f"python start/stop cycles run: {cycles}")
    assert cycles >= 20
    assert cam.close() == OK
    assert_flat("start/stop cycles", before, after)


def test_cameras_deallocated_while_streaming(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)

    def one(keep_frame):
        cam = open_kit(tmp_path)
        assert cam.start(zdc.TOFOutput.DEPTH) == OK
        frame = cam.requestFrame(5000)
        assert frame is not None
        if not keep_frame:
            assert cam.releaseFrame(frame) == OK
            frame = None
        del cam  # still streaming
        gc.collect()
        return frame

    one(False)
    before = resources()
    cameras, deadline = 0, time.monotonic() + 60
    while cameras < 30 and time.monotonic() < deadline:
        stale = one(cameras % 2 == 1)
        if stale is not None:
            # The frame outlived its camera: reading it raises instead of touching freed memory.
            with pytest.raises(Exception):
                stale.getDepthData()
            del stale
        cameras += 1
    after = resources()
    print(f"python cameras deallocated while streaming: {cameras}")
    assert_flat("deallocated while streaming", before, after)


def test_ctrl_c_during_waits_leaves_the_camera_usable():
    # In a fresh interpreter, so that the test run's own signal handling stays untouched.
    result = run_python(
        """
        import gc, os, signal, threading, time
        # Ctrl-C raises KeyboardInterrupt even when this run was started with SIGINT ignored
        # (a background job of a shell): Python keeps an ignored SIGINT ignored.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        import ZentroxDepthCamera as zdc
        OK = zdc.TOFErrorCode.ZentroxSuccess

        def counts():
            gc.collect()
            with open("/proc/self/maps") as f:
                return len(os.listdir("/proc/self/fd")), sum(1 for _ in f)

        cam = zdc.ZentroxCamera()
        assert cam.open(zdc.TOFConnect.USB, 0) == OK
        interrupted = 0
        for n in range(21):
            if n == 1:
                before = counts()
            assert cam.start(zdc.TOFOutput.DEPTH) == OK
            held = [cam.requestFrame(5000) for _ in range(3)]  # no buffer left: the wait cannot end
            assert all(f is not None for f in held)
            timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
            timer.start()
            started = time.monotonic()
            try:
                cam.requestFrame(-1 if n % 2 else 30000)
            except KeyboardInterrupt:
                interrupted += 1
            timer.join()
            assert time.monotonic() - started < 20, "the wait did not end on Ctrl-C"
            for f in held:
                assert cam.releaseFrame(f) == OK
            frame = cam.requestFrame(5000)  # the camera still delivers
            assert frame is not None and cam.releaseFrame(frame) == OK
            assert cam.stop() == OK
        after = counts()
        assert cam.close() == OK
        print("interrupted", interrupted, "descriptors", before[0], after[0], "mappings", before[1], after[1])
        assert after[0] == before[0] and after[1] <= before[1]
        print("ok")
        """,
        timeout=180)
    print(result.stdout)
    assert result.returncode == 0, result.stderr
    assert "interrupted 21" in result.stdout
    assert "ok" in result.stdout
