"""Camera intrinsics in OpenCV's conventions: pixel centres at integer coordinates, focal lengths and
principal point in pixels, Brown-Conrady distortion (k1, k2, p1, p2, k3) on normalised coordinates."""

import math
import numbers

import numpy as np

from . import camera_files

_FIELDS = ("width", "height", "fx", "fy", "cx", "cy", "distortion")


def _finite(value, name):
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(value):
        raise ValueError(f"{name} must be a finite number (found {value!r})")
    return float(value)


class Intrinsics:
    """The pinhole (and distortion) of a depth image; immutable, so it can key the ray cache."""

    __slots__ = _FIELDS

    def __init__(self, width, height, fx, fy, cx, cy, distortion=(0, 0, 0, 0, 0)):
        for name, value in (("width", width), ("height", height)):
            if isinstance(value, bool) or not isinstance(value, numbers.Integral) or not 0 < value <= 0xFFFF:
                raise ValueError(f"{name} must be a whole number of pixels from 1 to 65535 (found {value!r})")
        fx, fy = _finite(fx, "fx"), _finite(fy, "fy")
        if fx <= 0 or fy <= 0:
            raise ValueError(f"the focal lengths must be above 0 (found fx {fx}, fy {fy})")
        coefficients = tuple(_finite(k, "a distortion coefficient") for k in distortion)
        if len(coefficients) == 4:
            coefficients += (0.0,)
        if len(coefficients) != 5:
            raise ValueError("distortion holds k1, k2, p1, p2 and optionally k3")
        values = (int(width), int(height), fx, fy, _finite(cx, "cx"), _finite(cy, "cy"), coefficients)
        for name, value in zip(_FIELDS, values):
            object.__setattr__(self, name, value)

    def __setattr__(self, name, value):
        raise AttributeError("Intrinsics are immutable; make a new one")

    @classmethod
    def from_fov(cls, width, height, hfov_deg):
        """Square pixels, centred, and a horizontal field of view (degrees) spanning the full width:
        how the emulated kit renders with its field_of_view."""
        hfov = _finite(hfov_deg, "the field of view")
        if not 0 < hfov < 180:
            raise ValueError(f"the field of view must lie between 0 and 180 degrees (found {hfov})")
        f = (width / 2.0) / math.tan(math.radians(hfov) / 2.0)
        return cls(width, height, f, f, (width - 1) / 2.0, (height - 1) / 2.0)

    @classmethod
    def load(cls, path):
        """Reads OpenCV FileStorage YAML (camera_matrix, distortion_coefficients) or ROS camera_info
        YAML (image_width, camera_matrix, distortion_model: plumb_bob, ...)."""
        return cls(**camera_files.read(path))

    def save(self, path, format="opencv", camera_name="zentrox"):
        """Writes OpenCV FileStorage YAML ("opencv") or ROS camera_info YAML ("ros")."""
        camera_files.write(path, self, format, camera_name)

    @property
    def camera_matrix(self):
        return np.array([[self.fx, 0.0, self.cx], [0.0, self.fy, self.cy], [0.0, 0.0, 1.0]])

    @property
    def hfov_deg(self):
        """Horizontal field of view spanned by the full width, degrees."""
        return math.degrees(2.0 * math.atan((self.width / 2.0) / self.fx))

    def rays(self):
        """(H, W, 3) float32 unit ray of every pixel, undistorted (a copy of the cached table)."""
        from .cloud import ray_table
        return ray_table(self).rays()

    def _key(self):
        return tuple(getattr(self, name) for name in _FIELDS)

    def __eq__(self, other):
        return isinstance(other, Intrinsics) and self._key() == other._key()

    def __hash__(self):
        return hash(self._key())

    def __repr__(self):
        text = (f"Intrinsics(width={self.width}, height={self.height}, fx={self.fx!r}, fy={self.fy!r}, "
                f"cx={self.cx!r}, cy={self.cy!r}")
        if any(self.distortion):
            text += f", distortion={self.distortion!r}"
        return text + ")"

    def __reduce__(self):
        return (Intrinsics, self._key())
