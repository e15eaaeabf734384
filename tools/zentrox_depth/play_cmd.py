"""zentrox-depth play: a recording streamed through the driver with the live line."""

import time

from . import recordings
from .record_cmd import LiveLine


def add_parser(sub):
    p = sub.add_parser("play", help="stream a recording (.bin or .mcap) through the driver with the live line",
                       description="Plays a recording once at its recorded pace. A .bin recording, and the raw "
                                   "frames of an MCAP file, go through the emulated kit and the driver, which "
                                   "compute their depth again (a frame the driver drops on a busy machine is taken "
                                   "from a later pass of the kit's loop); an MCAP file without raw frames shows "
                                   "its recorded depth.")
    p.add_argument("file", metavar="FILE", help="the recording")
    p.add_argument("-n", "--frames", type=int, default=0, metavar="N", help="stop after N frames")
    p.add_argument("--timeout", type=int, default=3000, metavar="MS",
                   help="wait for each frame at most this long (default 3000 ms)")


def paced(frames):
    """Recorded frames (without a replay to pace them) at the spacing of their timestamps."""
    began, first = time.monotonic(), None
    for frame in frames:
        if frame.timestamp_ms is not None:
            if first is None:
                first = frame.timestamp_ms
            wait = began + (frame.timestamp_ms - first) / 1000.0 - time.monotonic()
            if wait > 0:
                time.sleep(wait)
        yield frame


def total_frames(path):
    if path.lower().endswith(".bin"):
        return recordings.BinRecording(path).frame_count
    return None


def run(args, out):
    from .cli import Failure
    try:
        recordings.kind_of(args.file)
        total = total_frames(args.file)
        frames = recordings.frames(args.file, timeout_ms=args.timeout, limit=args.frames or None)
        if not recordings.replays(args.file):
            frames = paced(frames)
    except (OSError, ImportError, recordings.RecordingFormatError) as error:
        raise Failure(str(error)) from None
    line = LiveLine(out, min(args.frames, total) if args.frames and total else args.frames or total or 0)
    count, interrupted = 0, False
    began = time.monotonic()
    try:
        for frame in frames:
            count += 1
            line.update(count, frame.depth)
    except KeyboardInterrupt:
        interrupted = True
    except (recordings.ReplayError, recordings.RecordingFormatError, OSError) as error:
        raise Failure(str(error)) from None
    finally:
        line.finish()
        close = getattr(frames, "close", None)
        if close:
            close()
    elapsed = time.monotonic() - began
    rate = count / elapsed if elapsed > 0 else 0.0
    print(f"{count} frames of {args.file} in {elapsed:.1f} s: {rate:.1f} fps" + (" (interrupted)" if interrupted else ""),
          file=out)
    return 0
