"""Figures of the Python path through the emulated kit: delivered frame rate with the kit running as
fast as it can, the cost of the hand-off (requestFrame + releaseFrame) and of each plane copy.
Prints figures only; run with the installed module:  python bench/python/bench_frames.py"""

import json
import os
import tempfile
import time

import numpy as np

import ZentroxDepthCamera as zdc


def timed(fn, repeat):
    began = time.perf_counter()
    for _ in range(repeat):
        fn()
    return (time.perf_counter() - began) / repeat


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
        print(f"delivered frames (kit as fast as possible): {count / (time.perf_counter() - began):8.1f} /s")

        def hand_off():
            f = cam.requestFrame(1000)
            cam.releaseFrame(f)

        print(f"requestFrame + releaseFrame:         {timed(hand_off, 300) * 1e6:8.1f} us per frame "
              "(includes waiting for the kit)")
        frame = cam.requestFrame(1000)
        cam.stop()  # the copies below then compete with no capture thread
        # Reference: numpy copying an array of the same size, in this run.
        plane = np.ones((180, 240), dtype=np.float32)
        reference = timed(plane.copy, 500)
        print(f"reference: numpy copy of a 240 x 180 float32 array: {reference * 1e6:8.1f} us")
        for name in ("getDepthData", "getAmplitudeData", "getConfidenceData"):
            cost = timed(getattr(frame, name), 500)
            print(f"{name:18s} 240 x 180 float32: {cost * 1e6:8.1f} us per call ({cost / reference:4.2f} x reference)")
        cost = timed(frame.getFrameFormat, 2000)
        print(f"getFrameFormat:                      {cost * 1e6:8.1f} us per call")
        cam.releaseFrame(frame)

        cam.close()


if __name__ == "__main__":
    main()
