#!/usr/bin/env python3
"""HQVGA conversion, microseconds per 240 x 180 frame: the scalar reference, the vectorised
conversions, and the same arithmetic in numpy float64, measured side by side in alternating rounds
on the same frames, with their ratios. Times are CPU time of the measuring thread, so that waiting
for a core on a shared machine does not count. Two frames: a noisy slanted surface ("scene") and uniformly
random samples ("random")."""
import os
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.environ.get("ZENTROX_ROOT", "."), "bench"))
try:
    import numpy  # noqa: F401
    import hqvga_numpy
except ImportError:
    hqvga_numpy = None

ROUNDS = 3
EXE = os.path.join(os.environ.get("BENCH_BUILD", "build/bench"), "bench", "bench_hqvga")


def parse(text, into):
    for line in text.splitlines():
        name, value, unit = line.split("\t")
        try:
            into.setdefault(name, ([], unit))[0].append(float(value))
        except ValueError:
            into[name] = ([value], unit)


def main():
    out = []
    dispatch = "?"
    for kind in ("scene", "random"):
        figures = {}
        with tempfile.TemporaryDirectory() as tmp:
            frame_path, depth_path = os.path.join(tmp, "frame.bin"), os.path.join(tmp, "depth.bin")
            for _ in range(ROUNDS):
                run = subprocess.run([EXE, "--frame", kind, "--rounds", "3", "--frames", "80",
                                      "--frame-out", frame_path, "--depth-out", depth_path],
                                     check=True, capture_output=True, text=True)
                parse(run.stdout, figures)
                if hqvga_numpy is not None:
                    with open(frame_path, "rb") as f:
                        frame = f.read()
                    conv = hqvga_numpy.NumpyHqvga()
                    conv.convert(frame)
                    us = statistics.median(hqvga_numpy.time_frames(conv, frame, 20) for _ in range(3))
                    figures.setdefault(f"hqvga depth numpy float64 [{kind}]", ([], "us/frame"))[0].append(us)
            if hqvga_numpy is not None:
                reference = numpy.fromfile(depth_path, dtype=numpy.float32)
                depth, _ = conv.convert(frame)
                differing = int(numpy.count_nonzero(depth.view(numpy.uint32) != reference.view(numpy.uint32)))

        dispatch = figures.pop("hqvga dispatch")[0][0]
        med = {name: (statistics.median(v), unit) for name, (v, unit) in figures.items()}
        best = f"vectorised {dispatch}"
        for name, (value, unit) in med.items():
            if name.startswith("hqvga depth") or kind == "scene":
                out.append((name, f"{value:.1f}", unit))
        vec = med.get(f"hqvga depth {best} [{kind}]", (None,))[0]
        scalar = med[f"hqvga depth scalar reference [{kind}]"][0]
        if vec:
            out.append((f"hqvga depth scalar / {best} [{kind}]", f"{scalar / vec:.1f}", "x"))
            numpy_us = med.get(f"hqvga depth numpy float64 [{kind}]", (None,))[0]
            if numpy_us:
                out.append((f"hqvga depth numpy float64 / {best} [{kind}]", f"{numpy_us / vec:.1f}", "x"))
            if kind == "scene":
                raw_vec = med[f"hqvga raw {best} [{kind}]"][0]
                raw_scalar = med[f"hqvga raw scalar reference [{kind}]"][0]
                out.append((f"hqvga raw scalar / {best} [{kind}]", f"{raw_scalar / raw_vec:.1f}", "x"))
        if hqvga_numpy is None:
            out.append((f"hqvga depth numpy float64 [{kind}]", "n/a", "numpy not installed"))
        else:
            out.append((f"hqvga depth numpy pixels differing from reference [{kind}]", str(differing), "pixels"))
    out.append(("hqvga dispatch on this machine", dispatch, ""))
    for name, value, unit in out:
        print(f"{name}\t{value}\t{unit}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
