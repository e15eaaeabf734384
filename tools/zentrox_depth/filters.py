"""Depth filters. Each is called as f(depth, amplitude=None) and returns the filtered depth (a new
float32 array in mm, 0 where a pixel has no depth); the work is done by the native library, which
keeps its buffers from frame to frame and allocates nothing per frame.

    chain = Chain([Confidence(30), FlyingPixel(), Spatial(), Temporal()])
    depth = chain(frame.getDepthData(), frame.getAmplitudeData())
"""

import math

from . import _native


def _number(value, name, low, high, low_open=False):
    try:
        v = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number (found {value!r})") from None
    if not math.isfinite(v) or v < low or v > high or (low_open and v == low):
        raise ValueError(f"{name} must lie in {'(' if low_open else '['}{low}, {high}] (found {value!r})")
    return v


class Filter:
    """A depth filter backed by the native library."""

    def __init__(self, native):
        self._native = native

    def __call__(self, depth, amplitude=None):
        return self._native.apply(depth, amplitude)

    def reset(self):
        """Forgets what earlier frames left behind (only the temporal filter remembers any)."""
        self._native.reset()


class Confidence(Filter):
    """Takes away pixels whose amplitude is below min_amplitude; needs the amplitude image."""

    def __init__(self, min_amplitude):
        self.min_amplitude = _number(min_amplitude, "min_amplitude", 0.0, math.inf)
        super().__init__(_native.ConfidenceFilter(self.min_amplitude))


class FlyingPixel(Filter):
    """Takes away mixed pixels at depth edges: pixels lying between their two opposite neighbours
    (along a row, column or diagonal) with a gap to each above max(min_gap_mm, relative_gap * depth)."""

    def __init__(self, relative_gap=0.035, min_gap_mm=30.0):
        self.relative_gap = _number(relative_gap, "relative_gap", 0.0, 10.0)
        self.min_gap_mm = _number(min_gap_mm, "min_gap_mm", 0.0, 1e6)
        super().__init__(_native.FlyingPixelFilter(self.relative_gap, self.min_gap_mm))


class Spatial(Filter):
    """Edge-preserving smoothing along rows, then columns: Gaussian weights (sigma_px) over
    2 radius + 1 pixels, falling to 0 for neighbours more than max(edge_mm, edge_relative * depth)
    away in depth."""

    def __init__(self, radius=2, sigma_px=1.5, edge_mm=50.0, edge_relative=0.04):
        if isinstance(radius, bool) or not isinstance(radius, int) or not 1 <= radius <= 7:
            raise ValueError(f"radius must be a whole number from 1 to 7 (found {radius!r})")
        self.radius = radius
        self.sigma_px = _number(sigma_px, "sigma_px", 0.0, 100.0, low_open=True)
        self.edge_mm = _number(edge_mm, "edge_mm", 0.0, 1e6)
        self.edge_relative = _number(edge_relative, "edge_relative", 0.0, 10.0)
        super().__init__(_native.SpatialFilter(radius, self.sigma_px, self.edge_mm, self.edge_relative))


class Temporal(Filter):
    """Per-pixel exponential mean over frames (weight alpha for the newest; the plain mean until
    then). A depth more than max(reset_mm, reset_relative * mean) from the mean starts the pixel
    afresh; a pixel that loses its depth keeps its mean for up to `persistence` frames."""

    def __init__(self, alpha=0.1, reset_mm=100.0, reset_relative=0.05, persistence=3):
        self.alpha = _number(alpha, "alpha", 0.001, 1.0)
        self.reset_mm = _number(reset_mm, "reset_mm", 0.0, 1e6)
        self.reset_relative = _number(reset_relative, "reset_relative", 0.0, 10.0)
        if isinstance(persistence, bool) or not isinstance(persistence, int) or not 0 <= persistence <= 65535:
            raise ValueError(f"persistence must be a whole number of frames from 0 to 65535 (found {persistence!r})")
        self.persistence = persistence
        super().__init__(_native.TemporalFilter(self.alpha, self.reset_mm, self.reset_relative, persistence))


class Chain(Filter):
    """Filters applied in order. Native filters run in one native call; any other callable
    f(depth, amplitude) -> depth may be part of the chain too."""

    def __init__(self, filters):
        self.filters = list(filters)
        for f in self.filters:
            if not callable(f):
                raise TypeError(f"{f!r} is not a filter")
        native = all(isinstance(f, Filter) and f._native is not None for f in self.filters)
        super().__init__(_native.FilterChain([f._native for f in self.filters]) if native else None)

    def __call__(self, depth, amplitude=None):
        if self._native is not None:
            return self._native.apply(depth, amplitude)
        for f in self.filters:
            depth = f(depth, amplitude)
        return depth

    def reset(self):
        for f in self.filters:
            if hasattr(f, "reset"):
                f.reset()
