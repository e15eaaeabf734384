#!/usr/bin/env python3
"""Renders docs/images/point-cloud.png: one frame of the emulated kit's built-in scene as a point
cloud (zentrox_depth.point_cloud), seen from above and to the left of the camera, drawn by a plain
software projection with a depth buffer and written with the package's own PNG writer.

    python docs/images/point_cloud_picture.py      (with ZentroxDepthCamera installed)
"""
import os
import sys

import numpy as np

import ZentroxDepthCamera as zdc
import zentrox_depth as zd
from zentrox_depth import image, png

WIDTH, HEIGHT = 800, 560


def one_frame():
    cam = zdc.ZentroxCamera()
    assert cam.open(zdc.TOFConnect.USB, 0) == zdc.TOFErrorCode.ZentroxSuccess
    cam.start(zdc.TOFOutput.DEPTH)
    try:
        frame = cam.requestFrame(5000)
        depth, amplitude = frame.getDepthData(), frame.getAmplitudeData()
        cam.releaseFrame(frame)
    finally:
        cam.close()
    return depth, amplitude


def look_at(eye, target):
    """Rows: right, down and forward axes of a virtual camera at `eye` looking at `target` (y down)."""
    forward = (target - eye) / np.linalg.norm(target - eye)
    right = np.cross(forward, np.array([0.0, -1.0, 0.0]))
    right /= np.linalg.norm(right)
    return np.stack([right, np.cross(forward, right), forward])


def render(points, colours):
    """Points (N, 3) in metres, camera frame, drawn from a viewpoint above and to the left."""
    eye, target = np.array([-1.7, -1.3, 0.1]), np.array([0.0, 0.15, 1.75])
    view = (points - eye) @ look_at(eye, target).T
    f = 0.8 * WIDTH
    u = (f * view[:, 0] / view[:, 2] + WIDTH / 2).astype(int)
    v = (f * view[:, 1] / view[:, 2] + HEIGHT / 2).astype(int)
    picture = np.full((HEIGHT, WIDTH, 3), 20, np.uint8)
    nearest = np.full((HEIGHT, WIDTH), np.inf)
    order = np.argsort(-view[:, 2])  # far to near: nearer points overwrite
    for du in (0, 1, 2):
        for dv in (0, 1, 2):
            x, y = u[order] + du, v[order] + dv
            inside = (x >= 0) & (x < WIDTH) & (y >= 0) & (y < HEIGHT)
            x, y, z, c = x[inside], y[inside], view[order, 2][inside], colours[order][inside]
            closer = z < nearest[y, x]
            nearest[y[closer], x[closer]] = z[closer]
            picture[y[closer], x[closer]] = c[closer]
    return picture


def main():
    depth, amplitude = one_frame()
    cloud = zd.point_cloud(depth, zd.Intrinsics.from_fov(240, 180, 70.0))
    valid = np.isfinite(cloud).all(axis=-1)
    points = cloud[valid].astype(np.float64)
    low, high = image.depth_range(depth)
    shade = np.clip(amplitude[valid] / np.percentile(amplitude[valid], 99), 0.35, 1.0)[:, None]
    colours = (image.turbo((depth[valid] - low) / (high - low)) * shade).astype(np.uint8)
    picture = render(points, colours)
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "point-cloud.png")
    png.write_rgb(out, picture)
    print(f"wrote {out} ({len(points)} points)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
