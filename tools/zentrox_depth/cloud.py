"""Point clouds and z-depth from depth images (mm along each pixel's ray). The undistorted rays of
each set of intrinsics are computed once by the native library and kept for the next frames."""

import functools

from . import _native


@functools.lru_cache(maxsize=8)
def ray_table(intrinsics):
    """The native ray table of `intrinsics` (cached)."""
    i = intrinsics
    return _native.PointCloud(i.width, i.height, i.fx, i.fy, i.cx, i.cy, list(i.distortion))


def point_cloud(depth_mm, intrinsics):
    """(H, W, 3) float32 points in metres (x right, y down, z forward); NaN where the depth is 0 or
    not valid."""
    return ray_table(intrinsics).compute(depth_mm)


def depth_to_z(depth_mm, intrinsics):
    """(H, W) float32 distance along the optical axis in mm; 0 where the depth is 0 or not valid."""
    return ray_table(intrinsics).depth_to_z(depth_mm)
