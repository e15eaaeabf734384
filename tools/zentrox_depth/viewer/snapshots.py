"""The snapshot downloads: the frame a page shows as a picture, a point cloud or numpy arrays, made
in memory from the frame's planes (nothing is written to disk)."""

import io

import numpy as np

from .. import image, png
from ..cloud import point_cloud
from ..ply import ply_bytes

# name in the URL -> what it holds
KINDS = {
    "depth.png": "depth in colour beside the amplitude, with a colour bar in mm",
    "cloud.ply": "the point cloud in metres with the amplitude as intensity",
    "depth.npy": "depth, float32 mm",
    "amplitude.npy": "amplitude, float32",
    "confidence.npy": "confidence, float32",
}


def make(name, frame, intrinsics, depth_mm=None):
    """(file bytes, content type, file name) of the snapshot `name` of `frame`."""
    stem = f"zentrox-{frame.sequence:06d}"
    if frame.depth is None:
        raise ValueError("a raw frame has no depth")
    if name == "depth.png":
        return png.encode_rgb(image.compose(frame.depth, frame.amplitude, depth_mm=depth_mm)), "image/png", \
            f"{stem}-depth.png"
    if name == "cloud.ply":
        data, _ = ply_bytes(point_cloud(np.ascontiguousarray(frame.depth), intrinsics), frame.amplitude)
        return data, "application/octet-stream", f"{stem}-cloud.ply"
    plane = {"depth.npy": frame.depth, "amplitude.npy": frame.amplitude, "confidence.npy": frame.confidence}[name]
    out = io.BytesIO()
    np.save(out, np.array(plane, dtype=np.float32))
    return out.getvalue(), "application/octet-stream", f"{stem}-{name[:-4]}.npy"
