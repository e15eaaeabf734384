"""The interpreter lock: other threads run while one waits for a frame, Ctrl-C ends a wait, calls
on one camera from several threads stay serialised, and restarts from another thread never leave a
waiting or reading thread with a freed buffer."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np

import ZentroxDepthCamera as zdc
import scene

OK = zdc.TOFErrorCode.ZentroxSuccess


def test_other_threads_run_while_one_waits_for_a_frame(kit_camera):
    assert kit_camera.start(zdc.TOFOutput.DEPTH) == OK
    held = [kit_camera.requestFrame(5000) for _ in range(3)]  # no buffer left: no frame can come
    assert all(f is not None for f in held)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    result = []
    waiter = threading.Thread(target=lambda: result.append(kit_camera.requestFrame(2000)))
    tick = threading.Thread(target=ticker)
    tick.start()
    time.sleep(0.05)
    waiter.start()
    time.sleep(0.05)
    before = len(ticks)
    waiter.join()
    during = len(ticks) - before
    stop.set()
    tick.join()
    assert result == [None]
    # About 200 ticks fit into the two-second wait; a wait holding the interpreter lock allows none.
    assert during >= 20, during
    for f in held:
        assert kit_camera.releaseFrame(f) == OK


def test_concurrent_callers_each_get_their_own_frames(kit_camera):
    assert kit_camera.start(zdc.TOFOutput.DEPTH) == OK
    errors, counts = [], []

    def worker():
        n = 0
        try:
            for _ in range(15):
                frame = kit_camera.requestFrame(5000)
                if frame is None:
                    continue
                frame.getDepthData()
                assert kit_camera.releaseFrame(frame) == OK
                n += 1
        except Exception as e:  # collected and reported by the main thread
            errors.append(e)
        counts.append(n)

    threads = [threading.Thread(target=worker) for _ in range(3)]
    for t in threads:
        t.start()
    for _ in range(5):
        kit_camera.getCameraInfo()
        kit_camera.getControl(zdc.TOFControl.RANGE)
    for t in threads:
        t.join()
    assert errors == [] and sum(counts) > 0


def test_stop_from_another_thread_while_one_waits(kit_camera):
    assert kit_camera.start(zdc.TOFOutput.DEPTH) == OK
    held = [kit_camera.requestFrame(5000) for _ in range(3)]
    got = []
    waiter = threading.Thread(target=lambda: got.append(kit_camera.requestFrame(1500)))
    waiter.start()
    time.sleep(0.1)
    assert kit_camera.stop() == OK  # gets in between the waiter's slices
    waiter.join()
    assert got == [None]
    for f in held:
        assert kit_camera.releaseFrame(f) == OK


# The start of a script run in a fresh interpreter: a streaming camera whose three buffers are all
# held, so that a request can only wait. Ctrl-C raises KeyboardInterrupt even when this run was
# started with SIGINT ignored (a background job of a shell): Python keeps an ignored SIGINT ignored.
HOLDING_ALL_BUFFERS = """
    import signal, sys, threading, time
    signal.signal(signal.SIGINT, signal.default_int_handler)
    import ZentroxDepthCamera as zdc
    cam = zdc.ZentroxCamera()
    ok = zdc.TOFErrorCode.ZentroxSuccess
    assert cam.open(zdc.TOFConnect.USB, 0) == ok and cam.start(zdc.TOFOutput.DEPTH) == ok
    held = [cam.requestFrame(5000) for _ in range(3)]
"""


def interrupted(tmp_path, body, delay):
    """Runs HOLDING_ALL_BUFFERS and then `body`, which prints "waiting" first; sends SIGINT `delay`
    seconds after that line. Returns what the script printed and the seconds from the signal to its
    clean exit."""
    script = textwrap.dedent(HOLDING_ALL_BUFFERS) + textwrap.dedent(body)
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, cwd=tmp_path)
    try:
        assert proc.stdout.readline().strip() == "waiting"
        time.sleep(delay)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
        took = time.monotonic() - sent
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 0, err
    return out, took


def test_sigint_ends_an_unlimited_wait(tmp_path):
    out, took = interrupted(tmp_path, """
        print("waiting", flush=True)
        began = time.monotonic()
        try:
            cam.requestFrame(-1)
            print("returned")
        except KeyboardInterrupt:
            print("interrupted %.3f" % (time.monotonic() - began), flush=True)
        for f in held:
            assert cam.releaseFrame(f) == ok
        print("released", cam.stop() == ok)
    """, 0.3)
    lines = out.split("\n")
    assert lines[0].startswith("interrupted"), out
    assert lines[1] == "released True"
    print(f"SIGINT to KeyboardInterrupt and clean exit: {took * 1000:.0f} ms")


def test_sigint_in_the_main_thread_leaves_a_waiting_worker_alone(tmp_path):
    out, _ = interrupted(tmp_path, """
        got = []
        worker = threading.Thread(target=lambda: got.append(cam.requestFrame(1500)))
        worker.start()
        print("waiting", flush=True)
        try:
            time.sleep(20)
        except KeyboardInterrupt:
            print("main interrupted", flush=True)
        worker.join()
        print("worker", got)
    """, 0.2)
    assert out.split("\n")[:2] == ["main interrupted", "worker [None]"]


# Two threads take frames and read them, a third switches the range, a fourth restarts the camera;
# in a fresh interpreter, so that a crash shows as a failed test. Frames a restart replaced raise.
RESTARTS = """
    import json, sys, threading, time
    import numpy as np
    import ZentroxDepthCamera as zdc
    OK = zdc.TOFErrorCode.ZentroxSuccess
    cam = zdc.ZentroxCamera()
    assert cam.openWithFile(sys.argv[1]) == OK and cam.start(zdc.TOFOutput.DEPTH) == OK
    end = time.monotonic() + float(sys.argv[2])
    stats = {"frames": [0, 0], "stale": 0, "bad": 0, "restarts": 0, "errors": []}

    def consumer(k):
        try:
            while time.monotonic() < end:
                frame = cam.requestFrame(100)
                if frame is None:
                    continue
                try:
                    depth = frame.getDepthData()
                except RuntimeError as e:
                    assert "started again" in str(e), e
                    stats["stale"] += 1
                    continue
                if depth.shape != (180, 240) or not np.all(np.isfinite(depth)) or depth.min() < 0 or depth.max() > 4000:
                    stats["bad"] += 1
                cam.releaseFrame(frame)
                stats["frames"][k] += 1
        except BaseException as e:
            stats["errors"].append(repr(e))

    def ranges():
        value = 2000
        while time.monotonic() < end:
            cam.setControl(zdc.TOFControl.RANGE, value)
            value = 6000 - value

    def restarts():
        while time.monotonic() < end:
            assert cam.stop() == OK
            assert cam.start(zdc.TOFOutput.DEPTH) == OK
            stats["restarts"] += 1

    threads = [threading.Thread(target=consumer, args=(0,)), threading.Thread(target=consumer, args=(1,)),
               threading.Thread(target=ranges), threading.Thread(target=restarts)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert cam.setControl(zdc.TOFControl.RANGE, 4000) == OK
    cam.stop()
    assert cam.start(zdc.TOFOutput.DEPTH) == OK
    frame = cam.requestFrame(5000)
    np.save(sys.argv[3], frame.getDepthData())
    print(json.dumps(stats))
"""


def run_restarts(tmp_path, seconds):
    config = scene.kit_config(tmp_path / "scene.json")
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(RESTARTS), config, str(seconds), str(tmp_path / "last.npy")],
        capture_output=True, text=True, timeout=seconds + 60, cwd=tmp_path)
    assert result.returncode == 0, (result.returncode, result.stderr[-2000:])
    stats = json.loads(result.stdout.splitlines()[-1])
    print(f"{seconds} s of restarts: {stats}")
    assert stats["errors"] == [] and stats["bad"] == 0, stats
    assert all(n > 0 for n in stats["frames"]) and stats["restarts"] > 0, stats
    # The camera still delivers the scene afterwards.
    expected = scene.trace()
    depth = np.load(tmp_path / "last.npy")
    inside = ~scene.edges(expected) & (expected > 0)
    assert np.median(np.abs(depth[inside] - expected[inside])) < 5.0
    return stats


def test_restarts_from_another_thread_while_two_threads_take_frames(tmp_path):
    run_restarts(tmp_path, 3.0)


def test_a_start_from_another_thread_ends_a_wait_and_other_calls_get_in(kit_camera):
    assert kit_camera.start(zdc.TOFOutput.DEPTH) == OK
    held = [kit_camera.requestFrame(5000) for _ in range(3)]  # no frame can come: only a start ends it
    got = []
    waiter = threading.Thread(target=lambda: got.append(kit_camera.requestFrame(-1)))
    waiter.start()
    time.sleep(0.1)
    calls = []

    def others():
        calls.append(kit_camera.getCameraInfo().width)
        calls.append(kit_camera.setControl(zdc.TOFControl.RANGE, 4000))
        calls.append(kit_camera.stop())
        calls.append(kit_camera.start(zdc.TOFOutput.RAW))

    caller = threading.Thread(target=others)
    caller.start()
    caller.join(20)
    waiter.join(20)
    assert not caller.is_alive() and not waiter.is_alive(), "a call waited for the frame wait"
    assert calls == [240, OK, OK, OK]
    assert got == [None]
    for f in held:  # of the pool the start replaced
        assert kit_camera.releaseFrame(f) == zdc.TOFErrorCode.ZentroxUnkownError
    frame = kit_camera.requestFrame(5000)
    assert frame.getRawData().shape == (720, 240)
    assert kit_camera.releaseFrame(frame) == OK
