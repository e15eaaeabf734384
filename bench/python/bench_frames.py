"""Figures of the Python path through the emulated kit, run with the installed module:

  python bench/python/bench_frames.py [--table] [--ceiling-us US] [--seconds S]

- throughput: the kit at frame rate 0 (as fast as it is read), DEPTH output, and a loop of
  requestFrame, getDepthData, releaseFrame; in frames per second, and as a share of the
  conversion-only ceiling (1e6 / US, the microseconds one depth conversion takes, measured by the
  caller in the same run) when --ceiling-us is given;
- latency: the kit at 30 frames per second, the time from the kit's timestamp of each frame to its
  depth array in Python (median and 99th percentile);
- the cost of each plane copy against numpy copying an array of the same size.

--table prints name<TAB>value<TAB>unit lines for bench/run instead of text."""

import argparse
import json
import os
import statistics
import tempfile
import time

import numpy as np

import ZentroxDepthCamera as zdc

OK = zdc.TOFErrorCode.ZentroxSuccess


def timed(fn, repeat):
    began = time.perf_counter()
    for _ in range(repeat):
        fn()
    return (time.perf_counter() - began) / repeat


class Report:
    def __init__(self, table):
        self.table = table

    def __call__(self, name, value, unit, text=None):
        if self.table:
            print(f"{name}\t{value:.2f}\t{unit}")
        else:
            print(text or f"{name}: {value:.2f} {unit}")


def open_camera(tmp, name, config):
    path = os.path.join(tmp, name)
    with open(path, "w") as f:
        json.dump(config, f)
    cam = zdc.ZentroxCamera()
    if cam.openWithFile(path) != OK:
        raise SystemExit(f"bench_frames: the kit did not open with {config}")
    return cam


def throughput(tmp, seconds, ceiling_us, report):
    cam = open_camera(tmp, "fast.json", {"frame_rate": 0})
    if cam.start(zdc.TOFOutput.DEPTH) != OK:
        raise SystemExit("bench_frames: start failed")
    for _ in range(50):  # warm up: pool, caches, the kit's first frames
        frame = cam.requestFrame(1000)
        if frame is not None:
            frame.getDepthData()
            cam.releaseFrame(frame)
    count, began, cpu = 0, time.perf_counter(), time.process_time()
    while time.perf_counter() - began < seconds:
        frame = cam.requestFrame(1000)
        if frame is not None:
            frame.getDepthData()
            cam.releaseFrame(frame)
            count += 1
    elapsed = time.perf_counter() - began
    cores = (time.process_time() - cpu) / elapsed
    rate = count / elapsed
    report("python end-to-end depth frames", rate, "frames/s")
    report("python end-to-end CPU use (whole process)", cores, "cores")
    if ceiling_us:
        ceiling = 1e6 / ceiling_us
        report("python conversion-only ceiling", ceiling, "frames/s")
        report("python end-to-end / conversion-only ceiling", 100.0 * rate / ceiling, "%")

    frame = cam.requestFrame(1000)
    cam.stop()  # the copies below then compete with no capture thread
    plane = np.ones((180, 240), dtype=np.float32)
    reference = timed(plane.copy, 2000)
    report("python numpy copy 240x180 f32 (reference)", reference * 1e6, "us")
    for name in ("getDepthData", "getAmplitudeData", "getConfidenceData"):
        cost = timed(getattr(frame, name), 2000)
        report(f"python {name}", cost * 1e6, "us")
        report(f"python {name} / reference", cost / reference, "x")
    report("python getFrameFormat", timed(frame.getFrameFormat, 5000) * 1e6, "us")
    cam.releaseFrame(frame)
    cam.close()


def kit_start_bounds(stamps_ms, period_us):
    """The kit's timestamps are whole milliseconds, cut down, of due times S + k * period (frame k of
    the stream, S unknown). Each frame bounds S to one millisecond; since the period is not a whole
    number of milliseconds, the frames together bound it much more tightly. Returns (low, high) in
    microseconds of the monotonic clock, or None when the frames do not fit one schedule."""
    low, high = -float("inf"), float("inf")
    first = stamps_ms[0]
    for stamp in stamps_ms:
        k = round((stamp - first) * 1000.0 / period_us)
        low = max(low, stamp * 1000.0 - k * period_us)
        high = min(high, stamp * 1000.0 + 1000.0 - k * period_us)
    return (low, high) if low < high else None


def latency(tmp, seconds, report):
    rate = 30
    period_us = round(1e6 / rate)  # the kit's own rounding of its frame period
    cam = open_camera(tmp, "paced.json", {"frame_rate": rate})
    if cam.start(zdc.TOFOutput.DEPTH) != OK:
        raise SystemExit("bench_frames: start failed")
    stamps, arrivals = [], []
    began = time.perf_counter()
    while time.perf_counter() - began < seconds:
        frame = cam.requestFrame(1000)
        if frame is None:
            continue
        frame.getDepthData()
        arrived = time.monotonic_ns() / 1000.0  # the kit stamps with the same monotonic clock
        stamps.append(frame.getFrameFormat().timestamp)
        arrivals.append(arrived)
        cam.releaseFrame(frame)
    cam.stop()
    cam.close()
    stamps, arrivals = stamps[3:], arrivals[3:]  # the stream's first frames settle the schedule
    bounds = kit_start_bounds(stamps, period_us) if len(stamps) > 10 else None
    if bounds is None:
        report("python latency frames", float(len(stamps)), "frames (no single schedule: not measured)")
        return
    start = 0.5 * (bounds[0] + bounds[1])
    first = stamps[0]
    lat = sorted(a - (start + round((s - first) * 1000.0 / period_us) * period_us)
                 for s, a in zip(stamps, arrivals))
    p99 = lat[min(len(lat) - 1, int(0.99 * len(lat)))]
    report("python latency at 30 fps, median", statistics.median(lat) / 1000.0, "ms")
    report("python latency at 30 fps, 99th percentile", p99 / 1000.0, "ms")
    report("python latency uncertainty (kit timestamps in whole ms)", 0.5 * (bounds[1] - bounds[0]), "+- us")
    report("python latency frames", float(len(lat)), "frames")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--table", action="store_true")
    parser.add_argument("--ceiling-us", type=float, default=None)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--latency-seconds", type=float, default=10.0)
    args = parser.parse_args()
    report = Report(args.table)
    with tempfile.TemporaryDirectory() as tmp:
        os.chdir(tmp)
        throughput(tmp, args.seconds, args.ceiling_us, report)
        latency(tmp, args.latency_seconds, report)


if __name__ == "__main__":
    main()
