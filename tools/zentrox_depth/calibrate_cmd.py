"""zentrox-depth calibrate: the intrinsics of the camera from a live stream of a flat wall."""

import argparse

import ZentroxDepthCamera as zdc

from .calibrate import calibrate_plane

AIMING = """\
Aim the camera at a flat, matte wall (painted plaster, not glass, tiles or a glossy board) that
fills the whole view, with nothing else in it. Tilt the camera 15 to 30 degrees about both image
axes (turn it sideways and nod it down a little), so that no part of the wall faces it head-on, and
keep every part of the wall within the camera's range (about 1 to 3 m for the 4000 mm range). Hold
it still while the frames are taken; a tripod helps. Pixels off the wall are ignored, but the more
of the view the wall fills, the better the result."""


def add_parser(sub, source):
    p = sub.add_parser("calibrate", help="intrinsics (fx, fy, cx, cy) from depth frames of a flat wall",
                       description="Estimates fx, fy, cx and cy from depth frames of one flat surface and "
                                   "writes them as a calibration file.\n\n" + AIMING,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    source(p)
    p.add_argument("-o", "--output", required=True, metavar="FILE", help="calibration file to write (YAML)")
    p.add_argument("--format", choices=["opencv", "ros"], default="opencv",
                   help="OpenCV FileStorage YAML (default) or ROS camera_info YAML")
    p.add_argument("-n", "--frames", type=int, default=10, metavar="N", help="frames to use (default 10)")
    p.add_argument("--timeout", type=int, default=1000, metavar="MS",
                   help="wait for each frame at most this long (default 1000 ms)")


def grab(cam, count, timeout, failure):
    depths, misses = [], 0
    while len(depths) < count:
        frame = cam.requestFrame(timeout)
        if frame is None:
            misses += 1
            if misses >= 3:
                raise failure(f"no frame from the camera within {3 * timeout} ms")
            continue
        misses = 0
        try:
            depths.append(frame.getDepthData())
        finally:
            cam.releaseFrame(frame)
    return depths


def run(args, out):
    from . import cli
    if args.frames < 1:
        raise cli.Failure("calibration needs at least one frame")
    cam = cli.open_camera(args)
    try:
        status = cam.start(zdc.TOFOutput.DEPTH)
        if status != zdc.TOFErrorCode.ZentroxSuccess:
            raise cli.Failure(f"cannot start the camera ({cli.describe_source(args)}): {status.str()} "
                              f"({status.value})")
        depths = grab(cam, args.frames, args.timeout, cli.Failure)
    finally:
        cam.close()
    try:
        intrinsics, report = calibrate_plane(depths)
    except ValueError as error:
        raise cli.Failure(f"calibration failed: {error}") from None
    print(report, file=out)
    print(f"fx {intrinsics.fx:.3f}  fy {intrinsics.fy:.3f}  cx {intrinsics.cx:.3f}  cy {intrinsics.cy:.3f}  "
          f"({intrinsics.width} x {intrinsics.height}, horizontal field of view {intrinsics.hfov_deg:.2f} degrees)",
          file=out)
    tilts = report.tilts_deg()
    if not report.converged or report.inlier_fraction < 0.8 or min(tilts) < 10 or max(tilts) > 40:
        print("note: for a reliable result the wall should fill the view, tilted 15 to 30 degrees "
              "(see zentrox-depth calibrate --help)", file=out)
    intrinsics.save(args.output, format=args.format)
    print(f"wrote {args.output}", file=out)
    return 0
