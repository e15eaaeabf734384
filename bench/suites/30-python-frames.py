#!/usr/bin/env python3
"""The Python frame path through the emulated kit (bench/python/bench_frames.py), with the module
that bench/run installed ($BENCH_PYTHON):
end-to-end depth throughput at frame rate 0 as a share of the conversion-only ceiling, latency at
30 fps, plane copies. The ceiling is measured here, in the same run: the microseconds one depth
conversion takes with the dispatched kernels (bench_hqvga, median of its rounds)."""
import os
import statistics
import subprocess
import sys
import tempfile

root = os.environ.get("ZENTROX_ROOT", ".")
py = os.environ.get("BENCH_PYTHON", os.path.join(root, "build", "bench-venv", "bin", "python"))
exe = os.path.join(os.environ.get("BENCH_BUILD", "build/bench"), "bench", "bench_hqvga")


def conversion_us():
    values, dispatch = {}, None
    for _ in range(3):
        out = subprocess.run([exe, "--frame", "scene", "--rounds", "3", "--frames", "100"], check=True,
                             capture_output=True, text=True).stdout
        for line in out.splitlines():
            name, value, _unit = line.split("\t")
            if name == "hqvga dispatch":
                dispatch = value
            else:
                values.setdefault(name, []).append(float(value))
    name = f"hqvga depth vectorised {dispatch} [scene]" if dispatch != "scalar" else \
        "hqvga depth scalar reference [scene]"
    return statistics.median(values[name])


def main():
    if not os.access(py, os.X_OK) or subprocess.run([py, "-c", "import ZentroxDepthCamera"],
                                                    capture_output=True).returncode != 0:
        print(f"30-python-frames: {py} cannot import the module (run bench/run)", file=sys.stderr)
        return 1
    ceiling = conversion_us()
    with tempfile.TemporaryDirectory() as tmp:
        run = subprocess.run([py, os.path.join(root, "bench", "python", "bench_frames.py"), "--table",
                              "--ceiling-us", f"{ceiling:.3f}"], cwd=tmp, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
    sys.stdout.write(run.stdout)
    return run.returncode


if __name__ == "__main__":
    sys.exit(main())
