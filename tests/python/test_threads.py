"""The interpreter lock: other threads run while one waits for a frame, Ctrl-C ends a wait, and
calls on one camera from several threads stay serialised."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import ZentroxDepthCamera as zdc

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


def test_sigint_ends_an_unlimited_wait(tmp_path):
    script = textwrap.dedent("""
        import signal, sys, time
        # Ctrl-C raises KeyboardInterrupt even when this run was started with SIGINT ignored
        # (a background job of a shell): Python keeps an ignored SIGINT ignored.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        import ZentroxDepthCamera as zdc
        cam = zdc.ZentroxCamera()
        ok = zdc.TOFErrorCode.ZentroxSuccess
        assert cam.open(zdc.TOFConnect.USB, 0) == ok and cam.start(zdc.TOFOutput.DEPTH) == ok
        held = [cam.requestFrame(5000) for _ in range(3)]
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
    """)
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, cwd=tmp_path)
    try:
        assert proc.stdout.readline().strip() == "waiting"
        time.sleep(0.3)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
        took = time.monotonic() - sent
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 0, err
    lines = out.split("\n")
    assert lines[0].startswith("interrupted"), out
    assert lines[1] == "released True"
    print(f"SIGINT to KeyboardInterrupt and clean exit: {took * 1000:.0f} ms")


def test_sigint_in_the_main_thread_leaves_a_waiting_worker_alone(tmp_path):
    script = textwrap.dedent("""
        import signal, threading, time
        # Ctrl-C raises KeyboardInterrupt even when this run was started with SIGINT ignored
        # (a background job of a shell): Python keeps an ignored SIGINT ignored.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        import ZentroxDepthCamera as zdc
        cam = zdc.ZentroxCamera()
        ok = zdc.TOFErrorCode.ZentroxSuccess
        assert cam.open(zdc.TOFConnect.USB, 0) == ok and cam.start(zdc.TOFOutput.DEPTH) == ok
        held = [cam.requestFrame(5000) for _ in range(3)]
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
    """)
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, cwd=tmp_path)
    try:
        assert proc.stdout.readline().strip() == "waiting"
        time.sleep(0.2)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 0, err
    assert out.split("\n")[:2] == ["main interrupted", "worker [None]"]
