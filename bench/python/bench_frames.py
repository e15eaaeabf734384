"""Figures of the Python path through the emulated kit: delivered frame rate with the kit running as
fast as it can, the cost of the hand-off (requestFrame + releaseFrame) and of each plane copy.
Prints figures only; run with the installed module:  python bench/python/bench_frames.py
(--table prints name<TAB>value<TAB>unit lines for bench/run instead)."""

import json
import os
import sys
import tempfile
import time

import numpy as np

import ZentroxDepthCamera as zdc


def timed(fn, repeat):
    began = time.perf_counter()
    for _ in range(repeat):
        fn()
    return (time.perf_counter() - began) / repeat


TABLE = "--table" in sys.argv[1:]


def report(text, name, value, unit):
    if TABLE:
        print(f"{name}\t{value:.2f}\t{unit}")
    elif text:
        print(text)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        os.chdir(tmp)
        config = os.path.join(tmp, "fast.json")
        with open(config, "w") as f:
            json.dump({"frame_rate": 0, "noise": 1.0}, f)
        cam = zdc.ZentroxCamera()
        assert cam.openWithFile(config) == zdc.TOFErrorCode.ZentroxSuccess
        assert cam.start(zdc.TOFOutput.DEPTH) == zdc.TOFErrorCode.ZentroxSuccess

        count, began = 0, time.perf_counter()
        while time.perf_counter() - began < 3.0:
            frame = cam.requestFrame(1000)
            if frame is not None:
                cam.releaseFrame(frame)
                count += 1
        rate = count / (time.perf_counter() - began)
        report(f"delivered frames (kit as fast as possible): {rate:8.1f} /s", "python delivered frames", rate,
               "frames/s")

        def hand_off():
            f = cam.requestFrame(1000)
            cam.releaseFrame(f)

        cost = timed(hand_off, 300)
        report(f"requestFrame + releaseFrame:         {cost * 1e6:8.1f} us per frame (includes waiting for the kit)",
               "python requestFrame+releaseFrame", cost * 1e6, "us/frame")
        frame = cam.requestFrame(1000)
        cam.stop()  # the copies below then compete with no capture thread
        # Reference: numpy copying an array of the same size, in this run.
        plane = np.ones((180, 240), dtype=np.float32)
        reference = timed(plane.copy, 500)
        report(f"reference: numpy copy of a 240 x 180 float32 array: {reference * 1e6:8.1f} us",
               "python numpy copy 240x180 f32 (reference)", reference * 1e6, "us")
        for name in ("getDepthData", "getAmplitudeData", "getConfidenceData"):
            cost = timed(getattr(frame, name), 500)
            report(f"{name:18s} 240 x 180 float32: {cost * 1e6:8.1f} us per call ({cost / reference:4.2f} x reference)",
                   f"python {name}", cost * 1e6, "us")
            report("", f"python {name} / reference", cost / reference, "x")
        cost = timed(frame.getFrameFormat, 2000)
        report(f"getFrameFormat:                      {cost * 1e6:8.1f} us per call", "python getFrameFormat",
               cost * 1e6, "us")
        cam.releaseFrame(frame)

        cam.close()


if __name__ == "__main__":
    main()
