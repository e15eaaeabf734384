"""What reading a recording gives back, whatever its format: RecordedFrame, the error of a file that is
no recording, and the controls a replay applies."""

import os


class RecordingFormatError(ValueError):
    """The file is not a recording this package reads."""


class RecordedFrame:
    """One frame of a recording. depth (mm along each pixel's ray, as the driver gives it),
    amplitude, confidence: float32 (H, W) or None; raw: int16 as the driver's RAW output or None."""

    __slots__ = ("index", "sequence", "timestamp_ms", "depth", "amplitude", "confidence", "raw", "controls")

    def __init__(self, index, sequence, timestamp_ms, depth=None, amplitude=None, confidence=None, raw=None):
        self.index, self.sequence, self.timestamp_ms = index, sequence, timestamp_ms
        self.depth, self.amplitude, self.confidence, self.raw = depth, amplitude, confidence, raw
        self.controls = None


def kind_of(path):
    extension = os.path.splitext(str(path))[1].lower()
    if extension not in (".bin", ".mcap"):
        raise RecordingFormatError(f"{path}: a recording is a .bin or an .mcap file")
    return extension[1:]


def apply_controls(camera, controls):
    """Sets recorded controls on an opened camera, output size before mode and range."""
    import ZentroxDepthCamera as zdc
    for name in ("FMT_WIDTH", "FMT_HEIGHT", "MODE", "RANGE"):
        if name in controls and int(controls[name]) >= 0:
            camera.setControl(getattr(zdc.TOFControl, name), int(controls[name]))
