#!/usr/bin/env python3
"""Recording (bench/python/bench_recording.py), with the module that bench/run installed
($BENCH_PYTHON): 640 x 480 depth, amplitude, confidence and raw frames to MCAP at 30 frames/s (the
recorder thread's CPU time, dropped frames, and a plain write of the same bytes as the reference),
and raw .bin recording unpaced. Run in a scratch directory beside the build (on the disk, not in
memory), which is removed afterwards."""
import os
import subprocess
import sys
import tempfile

root = os.environ.get("ZENTROX_ROOT", ".")
py = os.environ.get("BENCH_PYTHON", os.path.join(root, "build", "bench-venv", "bin", "python"))


def main():
    if not os.access(py, os.X_OK) or subprocess.run([py, "-c", "import ZentroxDepthCamera, mcap"],
                                                    capture_output=True).returncode != 0:
        print(f"35-recording: {py} cannot import the module and mcap (run bench/run)", file=sys.stderr)
        return 1
    os.makedirs(os.path.join(root, "build"), exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="bench-recording-", dir=os.path.join(root, "build")) as tmp:
        run = subprocess.run([py, os.path.join(root, "bench", "python", "bench_recording.py")], cwd=tmp,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    sys.stdout.write(run.stdout)
    return run.returncode


if __name__ == "__main__":
    sys.exit(main())
