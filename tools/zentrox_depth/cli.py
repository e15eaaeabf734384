"""zentrox-depth: what camera is there, and stream depth from it.

    zentrox-depth info                       board, camera information and device type
    zentrox-depth stream                     until Ctrl-C (the same as -n 0)
    zentrox-depth stream -n 100 --png d.png  100 frames, then the picture of the last one
    zentrox-depth stream --csi 0             a CSI-2 module at /dev/video0
    zentrox-depth stream --config kit.json   the USB kit with a configuration file
    zentrox-depth stream -n 30 --ply c.ply   the last frame's point cloud
    zentrox-depth calibrate -o cam.yaml      intrinsics from frames of a flat wall
    zentrox-depth record -n 300 walk.mcap    record (.bin: raw, replays bit for bit; .mcap: ROS 2)
    zentrox-depth play walk.bin              a recording through the driver
    zentrox-depth export walk.bin --png-dir pictures
    zentrox-depth view                       a live viewer in the browser

Without --csi or --config the USB kit with index 0 is used; without the maker's kit SDK installed
that is the emulated kit, which renders a built-in scene.
"""

import argparse
import collections
import os
import signal
import stat
import sys
import tempfile
import time

import numpy as np

import ZentroxDepthCamera as zdc

from . import calibrate_cmd, cloud_cmd, export_cmd, image, play_cmd, png, record_cmd, recordings, viewer

PROG = "zentrox-depth"

# Board rules as the driver applies them to the device-tree model text, most specific first.
_BOARDS = [
    ("Jetson", "Xavier", "Jetson"),
    ("Jetson", "TX1", "Jetson Nano"),
    ("Jetson", "Nano", "Jetson Nano"),
    ("Jetson", "", "Jetson"),
    (" Orin", "", "Jetson"),
    ("Raspberry", "Pi 5", "Raspberry Pi 5"),
    ("Raspberry", "", "Raspberry Pi"),
    ("Radxa ROCK", "", "Radxa ROCK"),
]


class Failure(Exception):
    """Ends the command with a one-line message and a non-zero exit status."""


def board(model_path="/sys/firmware/devicetree/base/model"):
    """(board name, model text) of this machine; the name is "unknown" when no rule matches."""
    try:
        with open(model_path, "rb") as f:
            raw = f.read(99)
    except OSError:
        return "unknown", None
    model = raw.split(b"\0", 1)[0].split(b"\n", 1)[0].decode("utf-8", "replace")
    for first, second, name in _BOARDS:
        if first in model and second in model:
            return name, model
    return "unknown", model


def describe_source(args):
    if args.csi is not None:
        return f"CSI module /dev/video{args.csi}"
    if args.config is not None:
        return f"USB kit {args.index} with {args.config}"
    return f"USB kit {args.index}"


def config_problem(path):
    """Why `path` cannot be a kit configuration file, or None when it is a readable regular file."""
    try:
        mode = os.stat(path).st_mode
    except (FileNotFoundError, NotADirectoryError):
        return "no such file"
    except OSError as error:
        return error.strerror.lower() if error.strerror else str(error)
    if stat.S_ISDIR(mode):
        return "is a directory, not a configuration file"
    if not stat.S_ISREG(mode):
        return "not a regular file"
    if not os.access(path, os.R_OK):
        return "permission denied"
    return None


def csi_problem(index):
    """What stands in the way of the capture node /dev/video<index>, or None when nothing visible does."""
    node = f"/dev/video{index}"
    if not os.path.exists(node):
        return f"there is no video device {node}"
    if not os.access(node, os.R_OK | os.W_OK):
        return f"no permission to open {node} (is this user in the video group?)"
    return None


def open_camera(args):
    cam = zdc.ZentroxCamera()
    source = describe_source(args)
    if args.csi is not None:
        status = cam.open(zdc.TOFConnect.CSI, args.csi)
    elif args.config is not None:
        problem = config_problem(args.config)
        if problem:
            raise Failure(f"cannot open the camera ({source}): {problem}")
        status = cam.openWithFile(args.config, args.index)
        if status == zdc.TOFErrorCode.ZentroxSuccess:
            recordings.apply_recorded_controls(cam, args.config)
    else:
        status = cam.open(zdc.TOFConnect.USB, args.index)
    if status == zdc.TOFErrorCode.ZentroxSuccess:
        return cam
    if args.csi is not None and csi_problem(args.csi):
        raise Failure(f"cannot open the camera ({source}): {csi_problem(args.csi)}")
    if args.config is not None and status == zdc.TOFErrorCode.ZentroxUnkownError:
        # The kit has said on standard error what it found wrong with the file.
        raise Failure(f"cannot open the camera ({source}), see above")
    raise Failure(f"cannot open the camera ({source}): {status.str()} ({status.value})")


def command_info(args, out):
    name, model = board()
    print(f"platform:    {name}" + (f" ({model})" if model else " (no device-tree model)"), file=out)
    cam = open_camera(args)
    try:
        info = cam.getCameraInfo()
        print(f"camera:      {describe_source(args)}", file=out)
        print(f"connection:  {info.connect.name}, index {info.index}", file=out)
        print(f"sensor:      {info.width} x {info.height}, {info.bit_width} bits in {info.bpp} bytes per pixel",
              file=out)
        print(f"device type: {info.device_type.name}", file=out)
    finally:
        cam.close()
    return 0


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


def package_version():
    """The installed package's version ("unknown" when run from a source tree without metadata)."""
    from importlib import metadata
    try:
        return metadata.version("ZentroxDepthCamera")
    except metadata.PackageNotFoundError:
        return "unknown"


def parser():
    p = argparse.ArgumentParser(prog=PROG, description="Zentrox time-of-flight camera: information and depth streaming.")
    p.add_argument("--version", action="version", version=f"{PROG} {package_version()}")
    sub = p.add_subparsers(dest="command", required=True)

    def source(q):
        group = q.add_mutually_exclusive_group()
        group.add_argument("--csi", type=int, metavar="N", help="the CSI-2 module at /dev/videoN")
        group.add_argument("--config", metavar="FILE", help="the USB kit with this configuration file")
        q.add_argument("--index", type=int, default=0, help="index of the USB kit (default 0)")

    source(sub.add_parser("info", help="board, camera information and device type"))
    stream = sub.add_parser("stream", help="stream depth frames with a live frame-rate and depth display")
    source(stream)
    stream.add_argument("-n", "--frames", type=int, default=0, metavar="N",
                        help="number of frames to stream; 0, the default, streams until Ctrl-C")
    stream.add_argument("--png", metavar="FILE", help="write the last frame's depth and amplitude as a PNG picture")
    stream.add_argument("--timeout", type=int, default=1000, metavar="MS",
                        help="wait for each frame at most this long (default 1000 ms)")
    cloud_cmd.add_arguments(stream)
    calibrate_cmd.add_parser(sub, source)
    record_cmd.add_parser(sub, source)
    play_cmd.add_parser(sub)
    export_cmd.add_parser(sub)
    viewer.add_parser(sub, source)
    return p


def main(argv=None, out=None):
    out = out or sys.stdout
    args = parser().parse_args(argv)
    if getattr(args, "frames", 0) < 0:
        print(f"{PROG}: the number of frames cannot be negative", file=sys.stderr)
        return 2
    if getattr(args, "timeout", 1) <= 0 or getattr(args, "timeout", 1) > 32767:
        print(f"{PROG}: the time-out must be between 1 and 32767 ms", file=sys.stderr)
        return 2
    try:
        if args.command == "info":
            return command_info(args, out)
        if args.command == "calibrate":
            return calibrate_cmd.run(args, out)
        if args.command in ("record", "play", "export"):
            return {"record": record_cmd, "play": play_cmd, "export": export_cmd}[args.command].run(args, out)
        if args.command == "view":
            return viewer.run(args, out)
        return command_stream(args, out)
    except Failure as failure:
        print(f"{PROG}: {failure}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        # Ctrl-C outside the stream loop (opening, starting, writing the picture): the camera object
        # stops and closes itself when it goes away.
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
