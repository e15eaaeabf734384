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
import sys

from . import calibrate_cmd, export_cmd, play_cmd, record_cmd, stream_cmd, viewer
# The names other modules and scripts import from here.
from .camera_source import (Failure, add_source_arguments, board, config_problem, csi_problem,  # noqa: F401
                            describe_source, open_camera)
from .stream_cmd import Interrupts, LostFrames, Progress, check_picture_path, command_stream  # noqa: F401

PROG = "zentrox-depth"


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


def package_version():
    """The installed package's version ("unknown" when run from a source tree without metadata)."""
    from . import __version__
    return __version__


def parser():
    p = argparse.ArgumentParser(prog=PROG, description="Zentrox time-of-flight camera: information and depth streaming.")
    p.add_argument("--version", action="version", version=f"{PROG} {package_version()}")
    sub = p.add_subparsers(dest="command", required=True)
    source = add_source_arguments

    source(sub.add_parser("info", help="board, camera information and device type"))
    stream_cmd.add_parser(sub, source)
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
