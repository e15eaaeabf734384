"""zentrox-depth: what camera is there, and stream depth from it.

    zentrox-depth info                     board, camera information and device type
    zentrox-depth stream -n 100 --png d.png
    zentrox-depth stream --csi 0           a CSI-2 module at /dev/video0
    zentrox-depth stream --config kit.cfg  the USB kit with a configuration file
    zentrox-depth stream -n 30 --ply c.ply the last frame's point cloud
    zentrox-depth calibrate -o cam.yaml    intrinsics from frames of a flat wall
    zentrox-depth record -n 300 walk.mcap  record (.bin: raw, replays bit for bit; .mcap: ROS 2)
    zentrox-depth play walk.bin            a recording through the driver
    zentrox-depth export walk.bin --png-dir pictures

Without --csi or --config the USB kit with index 0 is used; without the maker's kit SDK installed
that is the emulated kit, which renders a built-in scene.
"""

import argparse
import collections
import os
import sys
import time

import numpy as np

import ZentroxDepthCamera as zdc

from . import calibrate_cmd, cloud_cmd, export_cmd, image, play_cmd, png, record_cmd, recordings

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


def open_camera(args):
    cam = zdc.ZentroxCamera()
    if args.csi is not None:
        status = cam.open(zdc.TOFConnect.CSI, args.csi)
    elif args.config is not None:
        if not os.path.isfile(args.config):
            raise Failure(f"cannot open the camera ({describe_source(args)}): no such file")
        status = cam.openWithFile(args.config, args.index)
        if status == zdc.TOFErrorCode.ZentroxSuccess:
            recordings.apply_recorded_controls(cam, args.config)
    else:
        status = cam.open(zdc.TOFConnect.USB, args.index)
    if status != zdc.TOFErrorCode.ZentroxSuccess:
        raise Failure(f"cannot open the camera ({describe_source(args)}): {status.str()} ({status.value})")
    return cam


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


class Progress:
    """The live line: frames, frame rate over the last second or so, and depth statistics."""

    def __init__(self, out, total):
        self.out = out
        self.total = total
        self.live = out.isatty()
        self.arrivals = collections.deque(maxlen=32)
        self.last_print = 0.0
        self.width = 0

    def rate(self):
        if len(self.arrivals) < 2:
            return 0.0
        span = self.arrivals[-1] - self.arrivals[0]
        return (len(self.arrivals) - 1) / span if span > 0 else 0.0

    def update(self, count, depth):
        now = time.monotonic()
        self.arrivals.append(now)
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
        line = f"frame {count}{of}  {self.rate():5.1f} fps  {stats}"
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


def command_stream(args, out):
    cam = open_camera(args)
    status = cam.start(zdc.TOFOutput.DEPTH)
    if status != zdc.TOFErrorCode.ZentroxSuccess:
        cam.close()
        raise Failure(f"cannot start the camera ({describe_source(args)}): {status.str()} ({status.value})")

    progress = Progress(out, args.frames)
    count, misses, last = 0, 0, None
    started = time.monotonic()
    interrupted = False
    try:
        while args.frames == 0 or count < args.frames:
            frame = cam.requestFrame(args.timeout)
            if frame is None:
                misses += 1
                if misses >= 3:
                    raise Failure(f"no frame from the camera within {3 * args.timeout} ms")
                continue
            misses = 0
            try:
                depth = frame.getDepthData()
                if args.png or args.ply:
                    last = (depth, frame.getAmplitudeData())
            finally:
                cam.releaseFrame(frame)
            count += 1
            progress.update(count, depth)
    except KeyboardInterrupt:
        interrupted = True
    finally:
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


def parser():
    p = argparse.ArgumentParser(prog=PROG, description="Zentrox time-of-flight camera: information and depth streaming.")
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
                        help="number of frames to stream (default: until Ctrl-C)")
    stream.add_argument("--png", metavar="FILE", help="write the last frame's depth and amplitude as a PNG picture")
    stream.add_argument("--timeout", type=int, default=1000, metavar="MS",
                        help="wait for each frame at most this long (default 1000 ms)")
    cloud_cmd.add_arguments(stream)
    calibrate_cmd.add_parser(sub, source)
    record_cmd.add_parser(sub, source)
    play_cmd.add_parser(sub)
    export_cmd.add_parser(sub)
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
        return command_stream(args, out)
    except Failure as failure:
        print(f"{PROG}: {failure}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
