"""zentrox-depth export: a recording as pictures, arrays or point clouds, one file per frame."""

import os

import numpy as np

from . import image, png, recordings


def add_parser(sub):
    p = sub.add_parser("export", help="turn a recording into PNG pictures, numpy arrays or PLY point clouds",
                       description="Writes every frame of a recording into one or more folders: PNG pictures "
                                   "of depth and amplitude, numpy arrays (depth_N.npy in mm along each ray, "
                                   "amplitude_N.npy, confidence_N.npy, raw_N.npy, and frames.csv with the "
                                   "sequence numbers and timestamps), or PLY point clouds in metres. The depth "
                                   "of raw frames is computed by the driver, at the recording's pace.")
    p.add_argument("file", metavar="FILE", help="the recording (.bin or .mcap)")
    p.add_argument("--png-dir", metavar="DIR", help="one PNG picture per frame")
    p.add_argument("--npy", metavar="DIR", help="one .npy array per plane and frame")
    p.add_argument("--ply", metavar="DIR", help="one binary PLY point cloud per frame")
    p.add_argument("--intrinsics", metavar="FILE",
                   help="calibration file for the point clouds (default: the recording's, else nominal)")
    p.add_argument("-n", "--frames", type=int, default=0, metavar="N", help="export the first N frames only")
    p.add_argument("--timeout", type=int, default=3000, metavar="MS",
                   help="wait for each replayed frame at most this long (default 3000 ms)")


def intrinsics_for(args, shape):
    from .intrinsics import Intrinsics
    height, width = shape
    if args.intrinsics:
        intrinsics = Intrinsics.load(args.intrinsics)
    else:
        intrinsics = recordings.intrinsics_of_recording(args.file) or Intrinsics.from_fov(width, height, 70.0)
    if (intrinsics.width, intrinsics.height) != (width, height):
        raise ValueError(f"the intrinsics are for {intrinsics.width} x {intrinsics.height} images, "
                         f"the recording's are {width} x {height}")
    return intrinsics


def run(args, out):
    from .cli import Failure
    targets = [d for d in (args.png_dir, args.npy, args.ply) if d]
    if not targets:
        raise Failure("give at least one of --png-dir, --npy and --ply")
    try:
        recordings.kind_of(args.file)
        for folder in targets:
            os.makedirs(folder, exist_ok=True)
        needs_depth = bool(args.png_dir or args.ply)
        frames = recordings.frames(args.file, with_depth=needs_depth or args.file.endswith(".mcap"),
                                   timeout_ms=args.timeout, limit=args.frames or None)
        count, intrinsics, rows = 0, None, []
        try:
            for frame in frames:
                name = f"{frame.index:06d}"
                if args.png_dir and frame.depth is not None:
                    amplitude = frame.amplitude if frame.amplitude is not None else np.zeros_like(frame.depth)
                    png.write_rgb(os.path.join(args.png_dir, f"frame_{name}.png"), image.compose(frame.depth, amplitude))
                if args.npy:
                    for plane in ("depth", "amplitude", "confidence", "raw"):
                        values = getattr(frame, plane)
                        if values is not None:
                            np.save(os.path.join(args.npy, f"{plane}_{name}.npy"), values)
                    rows.append(f"{name},{frame.sequence},{frame.timestamp_ms}\n")
                if args.ply and frame.depth is not None:
                    from .cloud import point_cloud
                    from .ply import write_ply
                    intrinsics = intrinsics or intrinsics_for(args, frame.depth.shape)
                    write_ply(os.path.join(args.ply, f"frame_{name}.ply"), point_cloud(frame.depth, intrinsics),
                              frame.amplitude)
                count += 1
        finally:
            frames.close()
            if args.npy:
                # In the recorded order, which a replay may not keep (see recordings.frames).
                with open(os.path.join(args.npy, "frames.csv"), "w", encoding="utf-8") as index:
                    index.write("file,sequence,timestamp_ms\n" + "".join(sorted(rows)))
    except (OSError, ImportError, ValueError, recordings.ReplayError) as error:
        raise Failure(str(error)) from None
    print(f"{count} frames of {args.file} exported to {', '.join(targets)}", file=out)
    return 0
