#!/usr/bin/env python3
"""The HQVGA depth conversion in numpy, float64 where the driver computes in double: the figure a
Python user would get without the driver's conversion.

    hqvga_numpy.py FRAME [REFERENCE_DEPTH] [--frames N] [--label L]

FRAME is a raw camera frame (four planes of 240 x 180 little-endian 16-bit samples), REFERENCE_DEPTH
the scalar reference's depth of it (43 200 float32) to compare with. Prints "name<TAB>value<TAB>unit".
"""
import sys
import time

import numpy as np

PIXELS = 240 * 180
TWO_PI = np.float32(6.2831855)


class NumpyHqvga:
    """Range 4000 (Q = P2 - P0, I = P3 - P1) at 37.5 MHz, sample shift 0; buffers made once."""

    def __init__(self):
        self.scale = np.float32(300000000.0) / (np.float32(12.566371) * np.float32(37500000.0))
        self.q = np.empty(PIXELS, np.float64)
        self.i = np.empty(PIXELS, np.float64)
        self.angle = np.empty(PIXELS, np.float64)
        self.phase = np.empty(PIXELS, np.float32)
        self.depth = np.empty(PIXELS, np.float32)
        self.amplitude = np.empty(PIXELS, np.float32)
        self.square = np.empty(PIXELS, np.float64)

    def convert(self, frame, shift=0):
        raw = np.frombuffer(frame, dtype="<u2").reshape(4, PIXELS)
        # The low 11 bits after the shift as a signed value, times 16.
        planes = (((raw >> shift) << 5).view(np.int16) >> 1).astype(np.int32)
        np.subtract(planes[2], planes[0], out=self.q, casting="unsafe")
        np.subtract(planes[3], planes[1], out=self.i, casting="unsafe")
        np.arctan2(self.q, self.i, out=self.angle)
        self.phase[:] = self.angle
        np.add(self.phase, TWO_PI, out=self.phase, where=self.phase < 0)
        np.multiply(self.phase, self.scale, out=self.depth)
        np.multiply(self.depth, np.float32(1000.0), out=self.depth)
        np.multiply(self.q, self.q, out=self.square)
        self.square += self.i * self.i
        np.sqrt(self.square, out=self.square)
        self.square *= 0.5
        self.amplitude[:] = self.square
        return self.depth, self.amplitude


def time_frames(conv, frame, frames):
    """Microseconds of this thread's CPU time per frame (numpy runs these functions on one thread)."""
    start = time.thread_time()
    for _ in range(frames):
        conv.convert(frame)
    return (time.thread_time() - start) / frames * 1e6


def main(argv):
    args = [a for a in argv[1:]]
    frames, label = 50, ""
    if "--frames" in args:
        at = args.index("--frames")
        frames = int(args[at + 1])
        del args[at:at + 2]
    if "--label" in args:
        at = args.index("--label")
        label = " [" + args[at + 1] + "]"
        del args[at:at + 2]
    with open(args[0], "rb") as f:
        frame = f.read()
    conv = NumpyHqvga()
    conv.convert(frame)
    times = [time_frames(conv, frame, frames) for _ in range(5)]
    print(f"hqvga depth numpy float64{label}\t{sorted(times)[2]:.1f}\tus/frame")
    if len(args) > 1:
        reference = np.fromfile(args[1], dtype=np.float32)
        depth, _ = conv.convert(frame)
        differing = int(np.count_nonzero(depth.view(np.uint32) != reference.view(np.uint32)))
        print(f"hqvga depth numpy pixels differing from reference{label}\t{differing}\tpixels")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
