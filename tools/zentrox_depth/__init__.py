"""The zentrox-depth command and the toolkit above ZentroxDepthCamera: intrinsics, point clouds,
z-depth, PLY/PCD files, self-calibration from a flat surface and depth filters, and recording (raw
.bin recordings that replay through the driver, MCAP files of ROS 2 messages)."""

from . import filters
from .calibrate import CalibrationReport, calibrate_plane
from .cloud import depth_to_z, point_cloud
from .intrinsics import Intrinsics
from .ply import write_pcd, write_ply
from .recorder import Recorder, RecordingError

__all__ = ["Intrinsics", "point_cloud", "depth_to_z", "write_ply", "write_pcd", "calibrate_plane",
           "CalibrationReport", "filters", "Recorder", "RecordingError"]
