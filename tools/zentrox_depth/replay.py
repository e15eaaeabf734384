"""Replay of a .bin recording through the emulated kit and the driver: the driver computes each
frame's depth again, and each frame it delivers is matched to its recorded frame."""

import queue
import sys
import threading

from .bin_format import BinRecording
from .recorded import RecordedFrame, apply_controls


class ReplayError(RuntimeError):
    pass


def prefetched(frames):
    """The items of `frames`, taken on a thread of their own as fast as they come, so that a slow
    consumer never makes the driver skip frames of a replay."""
    waiting = queue.Queue()
    stop = threading.Event()

    def pull():
        try:
            for frame in frames:
                waiting.put(frame)
                if stop.is_set():
                    break
            waiting.put(None)
        except BaseException as error:  # handed to the consumer
            waiting.put(error)
        finally:
            close = getattr(frames, "close", None)
            if close:
                close()

    thread = threading.Thread(target=pull, name="zentrox-export", daemon=True)
    # The taking thread needs the interpreter lock a few times per frame while this one encodes
    # pictures; with the default switch interval (5 ms) it would fall behind a 30 fps replay.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(min(interval, 0.0005))
    thread.start()
    try:
        while True:
            item = waiting.get()
            if item is None:
                return
            if isinstance(item, BaseException):
                raise item
            yield item
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)


def replay(path, timeout_ms=3000):
    """Plays a .bin recording once through the emulated kit and the driver and yields a
    RecordedFrame with the driver's depth, amplitude and confidence for each recorded frame it
    delivers, in order (index: the frame's position in the recording). The frames are taken from
    the driver on a thread of their own; frames it still did not deliver are missing from the
    sequence of indices."""
    return prefetched(_replay(path, timeout_ms))


def _replay(path, timeout_ms):
    import ZentroxDepthCamera as zdc
    recording = BinRecording(path)
    if recording.frame_count == 0:
        raise ReplayError(f"{path} holds no complete frame")
    offsets = [s - recording.frame_stamps[0] for s in recording.frame_stamps]
    by_offset = {o: k for k, o in enumerate(offsets)} if len(set(offsets)) == len(offsets) else None
    cam = zdc.ZentroxCamera()
    status = cam.openWithFile(str(path), 0)
    if status != zdc.TOFErrorCode.ZentroxSuccess:
        raise ReplayError(f"the driver cannot open {path}: {status.name}")
    try:
        apply_controls(cam, recording.controls())
        status = cam.start(zdc.TOFOutput.DEPTH)
        if status != zdc.TOFErrorCode.ZentroxSuccess:
            raise ReplayError(f"the driver cannot start on {path}: {status.name}")
        base, last = None, -1
        misses = 0
        while last < recording.frame_count - 1:
            frame = cam.requestFrame(timeout_ms)
            if frame is None:
                misses += 1
                if misses >= 2:
                    raise ReplayError(f"no frame from the driver within {2 * timeout_ms} ms")
                continue
            misses = 0
            try:
                stamp = frame.getFrameFormat().timestamp
                planes = frame.getDepthData(), frame.getAmplitudeData(), frame.getConfidenceData()
            finally:
                cam.releaseFrame(frame)
            if base is None:
                base = stamp
            offset = stamp - base
            if offset > offsets[-1]:
                break  # the next pass has begun: the frames still missing were not delivered
            k = by_offset.get(offset, last + 1) if by_offset is not None else last + 1
            if k <= last:
                continue
            last = k
            yield RecordedFrame(k, k, recording.frame_stamps[k], *planes)
    finally:
        cam.stop()
        cam.close()
