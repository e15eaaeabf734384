"""The zentrox-depth command and the toolkit above ZentroxDepthCamera: intrinsics, point clouds,
z-depth, PLY/PCD files, self-calibration from a flat surface and depth filters, and recording (raw
.bin recordings that replay through the driver, MCAP files of ROS 2 messages)."""

from importlib import metadata as _metadata

try:
    # The installed distribution's version. The extension module ZentroxDepthCamera keeps its own
    # fixed __version__ text "dev", which scripts written for it compare against.
    __version__ = _metadata.version("ZentroxDepthCamera")
except _metadata.PackageNotFoundError:  # run from a source tree without installed metadata
    __version__ = "unknown"

from . import filters  # noqa: E402
from .calibrate import CalibrationReport, calibrate_plane
from .cloud import depth_to_z, point_cloud
from .intrinsics import Intrinsics
from .ply import write_pcd, write_ply
from .recorder import Recorder, RecordingError

__all__ = ["__version__", "Intrinsics", "point_cloud", "depth_to_z", "write_ply", "write_pcd", "calibrate_plane",
           "CalibrationReport", "filters", "Recorder", "RecordingError"]
