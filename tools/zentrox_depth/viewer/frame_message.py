"""The binary messages the viewer sends its pages: a frame's planes, or the ray table, behind the
protocol's header."""

import time

import numpy as np

from . import protocol


def monotonic_ms():
    return time.monotonic_ns() / 1e6


class Frame:
    """One frame as it is sent: the message bytes and, as views into them, its planes."""

    __slots__ = ("kind", "sequence", "timestamp_ms", "width", "height", "payload", "depth", "amplitude",
                 "confidence", "raw")

    def __init__(self, kind, sequence, timestamp_ms, lost, flags, planes, sample_type):
        height, width = planes[0].shape
        head = protocol.header(kind, sequence, width, height, timestamp_ms, monotonic_ms(), lost, len(planes),
                               sample_type, flags)
        dtype = np.dtype("<f4") if sample_type == protocol.FLOAT32 else np.dtype("<u2")
        plane_bytes = width * height * dtype.itemsize
        payload = bytearray(len(head) + plane_bytes * len(planes))
        payload[:len(head)] = head
        views = []
        for i, plane in enumerate(planes):
            view = np.frombuffer(payload, dtype=dtype, count=width * height,
                                 offset=len(head) + i * plane_bytes).reshape(height, width)
            np.copyto(view, plane, casting="unsafe")
            views.append(view)
        self.kind, self.sequence, self.timestamp_ms = kind, sequence, timestamp_ms
        self.width, self.height, self.payload = width, height, payload
        self.depth = self.amplitude = self.confidence = self.raw = None
        if kind == protocol.FRAME:
            self.depth, self.amplitude, self.confidence = views
        else:
            self.raw = views[0]


def rays_message(intrinsics):
    rays = np.ascontiguousarray(intrinsics.rays(), dtype="<f4")
    head = protocol.header(protocol.RAYS, 0, intrinsics.width, intrinsics.height, 0, monotonic_ms(), 0, 3,
                           protocol.FLOAT32)
    return head + rays.tobytes()
