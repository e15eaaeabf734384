"""Frame objects after their buffer is gone, frame objects handed out again, and cameras that are
deallocated while they stream."""

import gc
import subprocess
import sys
import textwrap

import pytest

import ZentroxDepthCamera as zdc
from conftest import run_python

OK = zdc.TOFErrorCode.ZentroxSuccess
UNKNOWN = zdc.TOFErrorCode.ZentroxUnkownError
DEPTH_METHODS = ["getDepthData", "getAmplitudeData", "getConfidenceData", "getFrameFormat"]
RAW_METHODS = ["getRawData", "getFrameFormat"]


def take(cam):
    frame = cam.requestFrame(5000)
    assert frame is not None
    return frame


def assert_stale(frame, methods, words):
    for name in methods:
        with pytest.raises(RuntimeError, match=words):
            getattr(frame, name)()


def test_released_frame_raises_on_every_method_and_second_release_fails(kit_camera):
    assert kit_camera.start(zdc.TOFOutput.DEPTH) == OK
    frame = take(kit_camera)
    assert kit_camera.releaseFrame(frame) == OK
    assert_stale(frame, DEPTH_METHODS, "releaseFrame")
    assert kit_camera.releaseFrame(frame) == UNKNOWN


def test_frame_from_before_the_next_start_raises(kit_camera):
    assert kit_camera.start(zdc.TOFOutput.RAW) == OK
    frame = take(kit_camera)
    assert kit_camera.stop() == OK
    frame.getRawData()  # still the caller's while stopped
    assert kit_camera.start(zdc.TOFOutput.RAW) == OK
    assert_stale(frame, RAW_METHODS, "started again")
    assert kit_camera.releaseFrame(frame) == UNKNOWN


def test_frame_survives_a_refused_start(kit_camera):
    assert kit_camera.start(zdc.TOFOutput.DEPTH) == OK
    frame = take(kit_camera)
    assert kit_camera.start(zdc.TOFOutput.DEPTH) != OK  # already streaming: the pool stays
    frame.getDepthData()
    assert kit_camera.releaseFrame(frame) == OK


def test_frame_of_a_deallocated_camera_raises(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    cam = zdc.ZentroxCamera()
    assert cam.open(zdc.TOFConnect.USB, 0) == OK
    assert cam.start(zdc.TOFOutput.DEPTH) == OK
    frame = take(cam)
    del cam
    gc.collect()
    assert_stale(frame, DEPTH_METHODS, "no longer exists")


def test_frame_of_another_camera_is_refused(kit_camera):
    other = zdc.ZentroxCamera()
    assert kit_camera.start(zdc.TOFOutput.DEPTH) == OK
    frame = take(kit_camera)
    assert other.releaseFrame(frame) == UNKNOWN
    frame.getDepthData()
    assert kit_camera.releaseFrame(frame) == OK


def test_buffer_handed_out_again_comes_back_as_the_same_valid_object(kit_camera):
    assert kit_camera.start(zdc.TOFOutput.DEPTH) == OK
    first = [take(kit_camera) for _ in range(3)]  # the pool's three buffers
    for f in first:
        assert kit_camera.releaseFrame(f) == OK
    again = [take(kit_camera) for _ in range(3)]
    assert {id(f) for f in again} == {id(f) for f in first}
    for f in again:
        f.getDepthData()
        assert kit_camera.releaseFrame(f) == OK


def test_objects_of_a_destroyed_pool_never_come_back(kit_camera):
    assert kit_camera.start(zdc.TOFOutput.DEPTH) == OK
    old = [take(kit_camera) for _ in range(3)]
    assert kit_camera.stop() == OK
    for _ in range(3):  # pools of the same size often reuse the same addresses
        assert kit_camera.start(zdc.TOFOutput.DEPTH) == OK
        new = [take(kit_camera) for _ in range(3)]
        assert not {id(f) for f in new} & {id(f) for f in old}
        for f in new:
            f.getDepthData()
            assert kit_camera.releaseFrame(f) == OK
        assert kit_camera.stop() == OK
    for f in old:
        assert_stale(f, DEPTH_METHODS, "started again")


def test_streaming_camera_deallocated_and_left_at_exit_stop_cleanly(tmp_path):
    result = run_python("""
        import gc
        import ZentroxDepthCamera as zdc
        ok = zdc.TOFErrorCode.ZentroxSuccess
        dropped = zdc.ZentroxCamera()
        assert dropped.open(zdc.TOFConnect.USB, 0) == ok and dropped.start(zdc.TOFOutput.DEPTH) == ok
        frame = dropped.requestFrame(5000)
        del dropped
        gc.collect()
        try:
            frame.getDepthData()
        except RuntimeError:
            print("stale")
        # A camera in a reference cycle, and one in a global: both still stream at exit.
        class Holder:
            pass
        h = Holder(); h.me = h; h.cam = zdc.ZentroxCamera()
        assert h.cam.open(zdc.TOFConnect.USB, 0) == ok and h.cam.start(zdc.TOFOutput.RAW) == ok
        kept = zdc.ZentroxCamera()
        assert kept.open(zdc.TOFConnect.USB, 0) == ok and kept.start(zdc.TOFOutput.DEPTH) == ok
        held = kept.requestFrame(5000)
        del h
        print("exiting")
    """, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["stale", "exiting"]


# Daemon threads still inside the camera when the interpreter exits: waiting without limit, asking in
# a loop, reading frames and calling the camera, on a streaming camera and on a stopped one. Each
# interpreter must end with its own status, not an abort.
EXIT_WHILE_WAITING = """
    import sys, threading, time
    import ZentroxDepthCamera as zdc
    ok = zdc.TOFErrorCode.ZentroxSuccess
    cam = zdc.ZentroxCamera()
    assert cam.open(zdc.TOFConnect.USB, 0) == ok and cam.start(zdc.TOFOutput.DEPTH) == ok
    if sys.argv[1] == "stopped":
        frames = [cam.requestFrame(5000) for _ in range(3)]
        assert cam.stop() == ok
        for f in frames:
            assert cam.releaseFrame(f) == ok

    def forever():
        cam.requestFrame(-1)

    def asking():
        while True:
            cam.requestFrame(100)

    def reading():
        while True:
            frame = cam.requestFrame(0)
            if frame is not None:
                frame.getDepthData()
                cam.releaseFrame(frame)
            cam.getCameraInfo()

    for target in (forever, asking, reading):
        threading.Thread(target=target, daemon=True).start()
    time.sleep(0.3)
    print("exiting", flush=True)
    sys.exit(3)
"""


@pytest.mark.parametrize("state", ["streaming", "stopped"])
def test_interpreter_exit_while_daemon_threads_wait(tmp_path, state):
    for run in range(4):
        result = subprocess.run([sys.executable, "-c", textwrap.dedent(EXIT_WHILE_WAITING), state],
                                capture_output=True, text=True, timeout=60, cwd=tmp_path)
        assert "terminate called" not in result.stderr, result.stderr
        assert (result.returncode, result.stdout) == (3, "exiting\n"), (run, result.returncode, result.stderr)


# A fork while other threads are inside camera calls: in the child every use of the parent's camera
# and frames refuses at once (their locks may be held by threads the child does not have), and the
# child's deallocation and at-exit stop do not hang.
FORK_WHILE_BUSY = """
    import gc, os, sys, threading, time, warnings
    warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running: that is the point
    import ZentroxDepthCamera as zdc
    ok = zdc.TOFErrorCode.ZentroxSuccess
    cam = zdc.ZentroxCamera()
    assert cam.open(zdc.TOFConnect.USB, 0) == ok and cam.start(zdc.TOFOutput.DEPTH) == ok
    held = [cam.requestFrame(5000) for _ in range(3)]

    def reading():
        while True:
            held[0].getDepthData()
            cam.getCameraInfo()

    threading.Thread(target=lambda: cam.requestFrame(-1), daemon=True).start()
    threading.Thread(target=reading, daemon=True).start()
    time.sleep(0.2)
    pid = os.fork()
    if pid == 0:
        calls = {
            "open": lambda: cam.open(zdc.TOFConnect.USB, 0), "openWithFile": lambda: cam.openWithFile("kit.json"),
            "start": lambda: cam.start(zdc.TOFOutput.RAW), "stop": cam.stop, "close": cam.close,
            "setControl": lambda: cam.setControl(zdc.TOFControl.RANGE, 2000),
            "getControl": lambda: cam.getControl(zdc.TOFControl.RANGE), "getCameraInfo": cam.getCameraInfo,
            "requestFrame": lambda: cam.requestFrame(-1), "releaseFrame": lambda: cam.releaseFrame(held[1]),
            "getDepthData": held[0].getDepthData, "getAmplitudeData": held[1].getAmplitudeData,
            "getFrameFormat": held[2].getFrameFormat,
        }
        refused = []
        for name, call in calls.items():
            try:
                call()
            except RuntimeError as e:
                if "belongs to the parent process" in str(e):
                    refused.append(name)
        print(sorted(refused) == sorted(calls), sorted(set(calls) - set(refused)), flush=True)
        del cam, held, calls
        gc.collect()
        sys.exit(0)
    status, deadline = "hung", time.monotonic() + 20
    while status == "hung" and time.monotonic() < deadline:
        done, code = os.waitpid(pid, os.WNOHANG)
        if done:
            status = os.waitstatus_to_exitcode(code)
        time.sleep(0.02)
    if status == "hung":
        os.kill(pid, 9)
    print("child", status, flush=True)
    for f in held:
        assert cam.releaseFrame(f) == ok
"""


def test_fork_while_threads_are_inside_camera_calls(tmp_path):
    for run in range(3):
        result = run_python(FORK_WHILE_BUSY, timeout=90, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split("\n")[:2] == ["True []", "child 0"], (run, result.stdout)
