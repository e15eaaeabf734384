"""zentrox-depth stream --ply: the last frame's point cloud as a PLY file."""

import json

from .cloud import point_cloud
from .intrinsics import Intrinsics
from .ply import write_ply

# The emulated kit's field of view when its configuration names none.
KIT_FIELD_OF_VIEW = 70.0


def add_arguments(stream):
    stream.add_argument("--ply", metavar="FILE", help="write the last frame's point cloud (metres) as binary PLY")
    stream.add_argument("--intrinsics", metavar="FILE",
                        help="calibration file for the point cloud (from zentrox-depth calibrate)")


def intrinsics_for(args, width, height, out):
    if args.intrinsics:
        intrinsics = Intrinsics.load(args.intrinsics)
        if (intrinsics.width, intrinsics.height) != (width, height):
            raise ValueError(f"{args.intrinsics} is for {intrinsics.width} x {intrinsics.height} images, "
                             f"the camera gives {width} x {height}")
        return intrinsics
    fov = KIT_FIELD_OF_VIEW
    if args.config and not args.config.endswith(".bin"):
        try:
            with open(args.config, encoding="utf-8") as f:
                fov = float(json.load(f).get("field_of_view", fov))
        except (OSError, ValueError, AttributeError, TypeError):
            pass  # a configuration with comments: the kit's default is the best guess left
    print(f"point cloud with a {fov:g} degree horizontal field of view (give --intrinsics for a calibrated one)",
          file=out)
    return Intrinsics.from_fov(width, height, fov)


def write_last_cloud(args, depth, amplitude, out):
    height, width = depth.shape
    try:
        intrinsics = intrinsics_for(args, width, height, out)
    except ValueError as error:
        from .cli import Failure
        raise Failure(str(error)) from None
    count = write_ply(args.ply, point_cloud(depth, intrinsics), amplitude)
    print(f"wrote {args.ply} ({count} points)", file=out)
