"""zentrox-depth stream: depth frames with a live line of frame rate, lost frames and depth
statistics, and optionally the last frame as a picture or a point cloud."""

import collections
import os
import signal
import tempfile
import time

import numpy as np

import ZentroxDepthCamera as zdc

from . import cloud_cmd, image, png
from .camera_source import Failure, describe_source, open_camera


class LostFrames:
    """Counts the frames lost between delivered ones, from the gaps in their timestamps (milliseconds).

    The frame period is the median of the recent intervals. The FRAME_RATE control cannot tell it: over
    USB it reads 0, elsewhere it gives the highest rate that may be set rather than the current one,
    and the automatic frame-rate adjustment changes the rate while streaming. A gap of k periods
    (rounded) holds k - 1 lost frames. The command's camera keeps the default skip rule, which delivers
    every frame, so no gap is intended; a rule that drops frames evenly only lengthens the median
    interval. Whole-millisecond timestamps cannot resolve a period below 2 ms (an unpaced kit): then
    nothing is counted.
    """

    WINDOW = 31
    KNOWN_AFTER = 5
    SHORTEST_PERIOD = 2.0

    def __init__(self):
        self.last = None
        self.intervals = collections.deque(maxlen=self.WINDOW)
        self.early = []
        self.lost = 0

    def period(self):
        if len(self.intervals) < self.KNOWN_AFTER:
            return None
        return float(np.median(self.intervals))

    def count(self, gap, period):
        if period < self.SHORTEST_PERIOD or gap < 1.5 * period:
            return 0
        return int(round(gap / period)) - 1

    def add(self, timestamp):
        last, self.last = self.last, timestamp
        if last is None or timestamp <= last:
            return self.lost
        gap = timestamp - last
        self.intervals.append(gap)
        period = self.period()
        if period is None:
            # The gaps before the period is known are counted as soon as it is.
            self.early.append(gap)
            return self.lost
        for early in self.early:
            self.lost += self.count(early, period)
        self.early = []
        self.lost += self.count(gap, period)
        return self.lost


class Progress:
    """The live line: frames, frame rate over the last second or so, lost frames, depth statistics."""

    RATE_WIDTH = len("  000.0 fps")

    def __init__(self, out, total):
        self.out = out
        self.total = total
        self.live = out.isatty()
        self.arrivals = collections.deque(maxlen=32)
        self.lost = LostFrames()
        self.last_print = 0.0
        self.width = 0

    def rate(self):
        """Frames per second over the recent arrivals; None until two frames have arrived."""
        if len(self.arrivals) < 2:
            return None
        span = self.arrivals[-1] - self.arrivals[0]
        return (len(self.arrivals) - 1) / span if span > 0 else None

    def update(self, count, depth, timestamp):
        now = time.monotonic()
        self.arrivals.append(now)
        lost = self.lost.add(timestamp)
        if now - self.last_print < (0.1 if self.live else 1.0) and count != self.total:
            return
        self.last_print = now
        valid = depth[image.valid_depth(depth)]
        of = f"/{self.total}" if self.total else ""
        if valid.size:
            stats = (f"depth min {valid.min():.0f}  median {np.median(valid):.0f}  max {valid.max():.0f} mm  "
                     f"valid {100.0 * valid.size / depth.size:.0f}%")
        else:
            stats = "no valid depth"
        rate = self.rate()
        # No rate can be told from a single frame: the column stays blank rather than read 0.
        shown = f"  {rate:5.1f} fps" if rate is not None else ""
        line = f"frame {count}{of}{shown.ljust(self.RATE_WIDTH)}  lost {lost}  {stats}"
        if self.live:
            self.out.write("\r" + line.ljust(self.width))
            self.width = len(line)
        else:
            self.out.write(line + "\n")
        self.out.flush()

    def finish(self):
        if self.live and self.width:
            self.out.write("\n")
            self.out.flush()


def check_picture_path(path):
    """Refuses, before streaming, a --png path that cannot be written."""
    if os.path.isdir(path):
        raise Failure(f"cannot write the picture {path}: it is a directory")
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        raise Failure(f"cannot write the picture {path}: there is no directory {folder}")
    try:
        # Proves that a file can be created there (read-only file systems, permissions, quotas).
        fd, probe = tempfile.mkstemp(dir=folder, prefix=".zentrox-depth-", suffix=".tmp")
        os.close(fd)
        os.unlink(probe)
    except OSError as error:
        raise Failure(f"cannot write the picture {path}: {error.strerror or error}") from None


class Interrupts:
    """Ctrl-C while streaming: the first press ends the stream (KeyboardInterrupt, which also ends a
    waiting requestFrame); later presses, and any press once the camera is being stopped, are noted
    and ignored, so that stopping and closing the camera are never cut short. Left alone when SIGINT
    is ignored (a background job)."""

    def __init__(self):
        self.pressed = 0
        self.stopping = False
        self.previous = None

    def __enter__(self):
        if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
            self.previous = signal.signal(signal.SIGINT, self.handle)
        return self

    def handle(self, signum, frame):
        self.pressed += 1
        if self.pressed == 1 and not self.stopping:
            raise KeyboardInterrupt

    def __exit__(self, *exc):
        if self.previous is None:
            return False
        if self.pressed:
            # The user asked the command to end and it is ending: more presses change nothing, also
            # while the interpreter shuts down (which would otherwise let SIGINT kill the process and
            # lose what it has still to print).
            signal.signal(signal.SIGINT, signal.SIG_IGN)
        else:
            signal.signal(signal.SIGINT, self.previous)
        return False


def command_stream(args, out):
    for target in (args.png, args.ply):
        if target:
            check_picture_path(target)
    cam = open_camera(args)
    status = cam.start(zdc.TOFOutput.DEPTH)
    if status != zdc.TOFErrorCode.ZentroxSuccess:
        cam.close()
        raise Failure(f"cannot start the camera ({describe_source(args)}): {status.str()} ({status.value})")

    progress = Progress(out, args.frames)
    count, last = 0, None
    started = time.monotonic()
    interrupted = False
    with Interrupts() as interrupts:
        try:
            while args.frames == 0 or count < args.frames:
                frame = cam.requestFrame(args.timeout)
                if frame is None:
                    raise Failure(f"no frame from the camera within {args.timeout} ms (--timeout)")
                try:
                    depth = frame.getDepthData()
                    timestamp = frame.getFrameFormat().timestamp
                    if args.png or args.ply:
                        last = (depth, frame.getAmplitudeData())
                finally:
                    cam.releaseFrame(frame)
                count += 1
                progress.update(count, depth, timestamp)
        except KeyboardInterrupt:
            interrupted = True
        finally:
            interrupts.stopping = True
            progress.finish()
            cam.stop()
            cam.close()

    elapsed = time.monotonic() - started
    rate = count / elapsed if elapsed > 0 else 0.0
    print(f"{count} frames in {elapsed:.1f} s: {rate:.1f} fps" + (" (interrupted)" if interrupted else ""), file=out)
    if args.png:
        if last is None:
            raise Failure("no frame arrived, so no picture was written")
        png.write_rgb(args.png, image.compose(*last))
        print(f"wrote {args.png}", file=out)
    if args.ply:
        if last is None:
            raise Failure("no frame arrived, so no point cloud was written")
        cloud_cmd.write_last_cloud(args, *last, out)
    return 0


def add_parser(sub, source):
    stream = sub.add_parser("stream", help="stream depth frames with a live frame-rate and depth display")
    source(stream)
    stream.add_argument("-n", "--frames", type=int, default=0, metavar="N",
                        help="number of frames to stream; 0, the default, streams until Ctrl-C")
    stream.add_argument("--png", metavar="FILE", help="write the last frame's depth and amplitude as a PNG picture")
    stream.add_argument("--timeout", type=int, default=1000, metavar="MS",
                        help="wait for each frame at most this long (default 1000 ms)")
    cloud_cmd.add_arguments(stream)
