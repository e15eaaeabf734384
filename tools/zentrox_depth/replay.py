"""Replay of a .bin recording through the emulated kit and the driver: the driver computes each
frame's depth again, and each frame it delivers is matched to its recorded frame by its timestamp.
The kit plays the file in a loop, so a frame the driver dropped in one pass is taken from a later
one."""

import queue
import sys
import threading

from .bin_format import BinRecording
from .recorded import RecordedFrame, apply_controls


class ReplayError(RuntimeError):
    """The driver refused the recording, or did not deliver all of its frames."""


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


PASSES = 5  # passes through a recording that a replay waits for every frame at most


class FrameLocator:
    """Which recorded frame, of which pass, a replayed frame is, told by its timestamp alone: the kit
    stamps each image with its recorded timestamp plus one pass length per pass before it, however
    late the images are read. Frames that share a recorded timestamp are told apart by their order
    within the pass."""

    def __init__(self, frame_stamps, first_image_stamp, pass_ms):
        self.first, self.pass_ms = first_image_stamp, pass_ms
        self.start = frame_stamps[0] - first_image_stamp  # where frame 0 lies in its pass
        self.frames = {}
        for k, stamp in enumerate(frame_stamps):
            self.frames.setdefault(stamp - first_image_stamp, []).append(k)
        self.current, self.arrivals = 0, {}

    def locate(self, stamp):
        """(pass, index of the recorded frame); the index is None for a stamp no frame has."""
        offset = stamp - self.first
        if offset < self.start:
            return self.current, None
        number = (offset - self.start) // self.pass_ms if self.pass_ms > 0 else 0
        offset -= number * self.pass_ms
        if number != self.current:
            self.current, self.arrivals = number, {}
        candidates = self.frames.get(offset, ())
        arrived = self.arrivals.get(offset, 0)
        self.arrivals[offset] = arrived + 1
        return number, candidates[arrived] if arrived < len(candidates) else None


def replay(path, timeout_ms=3000, limit=None, passes=PASSES):
    """Plays a .bin recording through the emulated kit and the driver and yields a RecordedFrame
    with the driver's depth, amplitude and confidence for every recorded frame (index: its position
    in the recording; only the first `limit` frames with a limit), each once. They come in the
    recorded order, except that a frame the driver did not deliver (it drops frames when their
    reader falls behind) comes from a later pass of the kit's loop. A frame still missing after
    `passes` passes raises ReplayError. The frames are taken from the driver on a thread of their
    own."""
    return prefetched(_replay(path, timeout_ms, limit, passes))


def _replay(path, timeout_ms, limit, passes):
    import ZentroxDepthCamera as zdc
    recording = BinRecording(path)
    if recording.frame_count == 0:
        raise ReplayError(f"{path} holds no complete frame")
    wanted = recording.frame_count if limit is None else min(limit, recording.frame_count)
    locator = FrameLocator(recording.frame_stamps, recording.image_stamps[0], recording.pass_ms)
    missing = set(range(wanted))
    cam = zdc.ZentroxCamera()
    status = cam.openWithFile(str(path), 0)
    if status != zdc.TOFErrorCode.ZentroxSuccess:
        raise ReplayError(f"the driver cannot open {path}: {status.name}")
    try:
        apply_controls(cam, recording.controls())
        status = cam.start(zdc.TOFOutput.DEPTH)
        if status != zdc.TOFErrorCode.ZentroxSuccess:
            raise ReplayError(f"the driver cannot start on {path}: {status.name}")
        misses = 0
        while missing:
            frame = cam.requestFrame(timeout_ms)
            if frame is None:
                misses += 1
                if misses >= 2:
                    raise ReplayError(f"no frame from the driver within {2 * timeout_ms} ms")
                continue
            misses = 0
            try:
                number, k = locator.locate(frame.getFrameFormat().timestamp)
                if number >= passes:
                    raise ReplayError(f"the driver did not deliver {len(missing)} of the {wanted} frames of {path} "
                                      f"in {passes} passes (frame {min(missing)} the first)")
                if k not in missing:
                    continue  # seen in an earlier pass, or no recorded frame
                planes = frame.getDepthData(), frame.getAmplitudeData(), frame.getConfidenceData()
            finally:
                cam.releaseFrame(frame)
            missing.discard(k)
            yield RecordedFrame(k, k, recording.frame_stamps[k], *planes)
    finally:
        cam.stop()
        cam.close()
