#!/usr/bin/env python3
"""The 3D toolkit at 640 x 480: the point cloud from cached rays and the filter chain in C++
(bench_toolkit), the same point cloud through zentrox_depth.point_cloud (a new array per call) and
the straightforward numpy version (rays times depth, NaN where there is none), measured in the same
run on the same depth image, with the ratios. Times are CPU time of the measuring thread (one core)."""
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

EXE = os.path.join(os.environ.get("BENCH_BUILD", "build/bench"), "bench", "bench_toolkit")
ROUNDS = 3


def per_call_us(fn, calls=50):
    fn()
    best = []
    for _ in range(5):
        start = time.thread_time()
        for _ in range(calls):
            fn()
        best.append((time.thread_time() - start) / calls * 1e6)
    return statistics.median(best)


def numpy_point_cloud(depth, rays):
    scale = np.where(np.isfinite(depth) & (depth > 0), depth * np.float32(0.001), np.float32(np.nan))
    return rays * scale[..., None]


def main():
    figures = {}
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "depth.bin")
        for _ in range(ROUNDS):
            run = subprocess.run([EXE, "--rounds", "5", "--frames", "40", "--depth-out", path], check=True,
                                 capture_output=True, text=True)
            for line in run.stdout.splitlines():
                name, value, unit = line.split("\t")
                figures.setdefault(name, ([], unit))[0].append(float(value))
        depth = np.fromfile(path, dtype=np.float32).reshape(480, 640)
    out = [(name, statistics.median(values), unit) for name, (values, unit) in figures.items()]
    native = statistics.median(figures["toolkit point cloud 640x480 [C++]"][0])

    try:
        import zentrox_depth as zd
    except ImportError as error:
        print(f"35-toolkit: zentrox_depth cannot be imported ({error})", file=sys.stderr)
        zd = None
    if zd is not None:
        intrinsics = zd.Intrinsics.from_fov(640, 480, 70.0)
        rays = intrinsics.rays()
        reference = numpy_point_cloud(depth, rays)
        cloud = zd.point_cloud(depth, intrinsics)
        same = np.array_equal(np.isnan(cloud), np.isnan(reference)) and \
            np.allclose(cloud, reference, rtol=1e-6, atol=0, equal_nan=True)
        numpy_us = per_call_us(lambda: numpy_point_cloud(depth, rays))
        python_us = per_call_us(lambda: zd.point_cloud(depth, intrinsics))
        chain = zd.filters.Chain([zd.filters.Confidence(100), zd.filters.FlyingPixel(), zd.filters.Spatial(),
                                  zd.filters.Temporal()])
        amplitude = np.full(depth.shape, 500, np.float32)
        chain_us = per_call_us(lambda: chain(depth, amplitude), calls=20)
        out += [
            ("toolkit point cloud 640x480 [numpy, straightforward]", numpy_us, "us/frame"),
            ("toolkit point cloud 640x480 [zentrox_depth.point_cloud, new array]", python_us, "us/frame"),
            ("toolkit point cloud numpy / C++", numpy_us / native, "x"),
            ("toolkit point cloud numpy / zentrox_depth.point_cloud", numpy_us / python_us, "x"),
            ("toolkit point cloud same points as numpy", 1 if same else 0, "1 = yes"),
            ("toolkit filter chain 640x480 [zentrox_depth.filters.Chain, new array]", chain_us, "us/frame"),
        ]
    for name, value, unit in out:
        print(f"{name}\t{value:.1f}\t{unit}" if isinstance(value, float) else f"{name}\t{value}\t{unit}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
