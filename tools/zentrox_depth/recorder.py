"""Recording frames to a file on a thread of its own: the emulated kit's raw ".bin" recordings, which
replay through the driver bit for bit, or MCAP files of ROS 2 messages.

    with Recorder("walk.mcap", camera=cam) as rec:
        frame = cam.requestFrame(1000)
        rec.record(frame)            # copies the planes; the frame can be released at once
        cam.releaseFrame(frame)

The caller's thread only copies the planes and queues them; a writer thread formats and writes.
The queue is bounded: a frame offered while it is full is dropped and counted, never waited for.
Every frame is written whole before the next one, so a recorder killed at any moment leaves a file
that holds every frame up to the last one written completely. A write that fails (a full disk) stops
the recording: the file is cut back to its last complete frame and finished there, and the error is
raised by the next record, write or close.

Timestamps: a frame's timestamp is the driver's, in ms of the monotonic clock (the kit) or of the
V4L2 buffer clock (CSI, also monotonic). Header stamps put it on the system clock with one offset,
system time minus monotonic time, measured when the recorder is made:
stamp_ns = timestamp_ms * 1e6 + clock_offset_ns."""

import json
import os
import queue
import threading
import time

import numpy as np

# The names of the formats' modules that this module has always offered.
from .bin_format import (BIN_HEADER, BIN_IMAGE_HEAD, BIN_MAGIC, HQVGA_HEIGHT, HQVGA_PLANES,  # noqa: F401
                         HQVGA_WIDTH, BinWriter, device_type_of_raw, hqvga_kit_images, sidecar_path)
from .mcap_writer import McapFrameWriter, require_mcap  # noqa: F401
from .recording_sinks import open_sink  # noqa: F401

DEPTH_ENCODINGS = ("32FC1", "16UC1")


class RecordingError(Exception):
    """The recording stopped because its file could not be written."""


def clock_offset_ns():
    """System time minus monotonic time, in ns: added to monotonic stamps to put them on the system
    clock."""
    return time.time_ns() - time.monotonic_ns()


def controls_of(camera, device_type):
    """The controls in force that the depth of a raw frame depends on."""
    import ZentroxDepthCamera as zdc
    c = zdc.TOFControl
    if device_type == "HQVGA":
        return {"RANGE": int(camera.getControl(c.RANGE))}
    return {name: int(camera.getControl(getattr(c, name))) for name in ("MODE", "FMT_WIDTH", "FMT_HEIGHT")}


class _Frame:
    __slots__ = ("sequence", "timestamp_ms", "depth", "amplitude", "confidence", "raw")

    def __init__(self, sequence, timestamp_ms, depth, amplitude, confidence, raw):
        self.sequence = sequence
        self.timestamp_ms = int(timestamp_ms)
        self.depth, self.amplitude, self.confidence, self.raw = depth, amplitude, confidence, raw


class Recorder:
    """Records frames to `path`: ".bin" (raw frames in the emulated kit's format, plus `path`.json
    with the controls replay needs) or ".mcap" (ROS 2 messages).

    camera: an opened ZentroxCamera; its device type and the controls in force are taken from it.
    device_type: "HQVGA" or "VGA" without a camera (else found from the raw frames' size).
    controls: the controls in force without a camera, e.g. {"RANGE": 2000}.
    intrinsics: Intrinsics of the depth images (MCAP CameraInfo, z-depth, point clouds); without
        them, a 70 degree horizontal field of view, the emulated kit's default.
    frame_id, namespace: header frame and topic prefix of the MCAP messages.
    depth_encoding: "32FC1" (metres, NaN without a measurement) or "16UC1" (millimetres, 0 without).
    point_cloud: also write sensor_msgs/PointCloud2 in MCAP.
    queue_size: frames waiting for the writer thread at most; more are dropped and counted. The
        default, about a second at 30 frames/s, rides out a disk that stalls for a moment; it holds
        up to 200 MB of 640 x 480 frames with raw data, 16 MB of HQVGA depth frames.
    direct_io: write past the page cache where the file system allows it (much less CPU time for
        big frames; the data is on the disk once a frame is written).
    """

    def __init__(self, path, *, camera=None, device_type=None, controls=None, intrinsics=None,
                 frame_id="zentrox_depth_optical_frame", namespace="/zentrox", depth_encoding="32FC1",
                 point_cloud=False, queue_size=30, source="", direct_io=True):
        self.path = str(path)
        if depth_encoding not in DEPTH_ENCODINGS:
            raise ValueError(f"the depth encoding is one of {', '.join(DEPTH_ENCODINGS)} (found {depth_encoding!r})")
        if queue_size < 1:
            raise ValueError("the queue holds at least one frame")
        self.device_type = device_type
        self.controls = dict(controls) if controls else None
        if camera is not None:
            self.device_type = camera.getCameraInfo().device_type.name
            self.controls = controls_of(camera, self.device_type)
        self.intrinsics = intrinsics
        self.frame_id, self.namespace = frame_id, namespace.rstrip("/")
        self.depth_encoding, self.point_cloud = depth_encoding, point_cloud
        self.source = source
        self.direct_io = direct_io
        self.clock_offset_ns = clock_offset_ns()
        self.frames_offered = 0
        self.frames_written = 0
        self.frames_dropped = 0
        self.cpu_seconds = 0.0
        self.error = None
        self._z_tables = {}
        extension = os.path.splitext(self.path)[1].lower()
        if extension == ".bin":
            self.format = BinWriter(self.path, self)
        elif extension == ".mcap":
            self.format = McapFrameWriter(self.path, self)
        else:
            raise ValueError(f"{self.path}: the extension chooses the format, .bin or .mcap")
        self._queue = queue.Queue(maxsize=queue_size)
        self._closed = False
        self._thread = threading.Thread(target=self._run, name="zentrox-recorder", daemon=True)
        self._thread.start()

    # What the caller's thread does: copy, queue, count.

    def record(self, frame):
        """Queues a frame from requestFrame (RawData or DepthData); its planes are copied now, so it
        can be released as soon as this returns. False if the frame was dropped."""
        if hasattr(frame, "getRawData"):
            return self.write(frame.getFrameFormat().timestamp, raw=frame.getRawData())
        return self.write(frame.getFrameFormat().timestamp, depth=frame.getDepthData(),
                          amplitude=frame.getAmplitudeData(), confidence=frame.getConfidenceData())

    def write(self, timestamp_ms, *, depth=None, amplitude=None, confidence=None, raw=None, block=False):
        """Queues one frame of planes (numpy arrays, which the recorder then owns). False if the frame
        was dropped because the writer thread is behind (block: wait for room instead, for sources
        that can wait, such as a file); raises RecordingError once writing failed."""
        self._check()
        if self._closed:
            raise ValueError("the recorder is closed")
        frame = _Frame(self.frames_offered, timestamp_ms, depth, amplitude, confidence, raw)
        self.frames_offered += 1
        try:
            if block:
                while self.error is None:
                    try:
                        self._queue.put(frame, timeout=0.5)
                        return True
                    except queue.Full:
                        pass
                self._check()
            self._queue.put_nowait(frame)
        except queue.Full:
            self.frames_dropped += 1
            return False
        return True

    def close(self):
        """Writes what is queued, finishes the file and ends the writer thread. Raises RecordingError
        if writing failed (the file then holds the frames before the failure)."""
        if not self._closed:
            self._closed = True
            self._queue.put(None)
            self._thread.join()
            failed = self.error is not None
            try:
                self.format.finish(failed)
            except OSError as error:
                if self.error is None:
                    self.error = error
            if isinstance(self.format, BinWriter):
                try:
                    self.write_sidecar()
                except OSError as error:
                    if self.error is None:
                        self.error = error
        self._check()

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        try:
            self.close()
        except RecordingError:
            if kind is None:
                raise
        return False

    @property
    def queued(self):
        return self._queue.qsize()

    def _check(self):
        if self.error is not None:
            raise RecordingError(f"cannot write {self.path}: {self.error.strerror or self.error}; the file holds "
                                 f"the first {self.frames_written} frames") from self.error

    # The writer thread.

    def _run(self):
        while True:
            frame = self._queue.get()
            if frame is None:
                break
            if self.error is not None:
                continue  # writing stopped: what is still queued goes
            try:
                self.format.write(frame)
                self.frames_written += 1
            except OSError as error:
                self.error = error
            except Exception as error:  # a frame that does not fit the recording
                self.error = OSError(str(error))
            self.cpu_seconds = time.thread_time()
        self.cpu_seconds = time.thread_time()

    # Helpers of the formats.

    def intrinsics_for(self, shape):
        height, width = shape
        if self.intrinsics is None:
            from .intrinsics import Intrinsics
            self.intrinsics = Intrinsics.from_fov(width, height, 70.0)
        if (self.intrinsics.height, self.intrinsics.width) != (height, width):
            raise ValueError(f"the intrinsics are for {self.intrinsics.width} x {self.intrinsics.height} images, "
                             f"the frames are {width} x {height}")
        return self.intrinsics

    def z_depth(self, depth, intrinsics):
        """Distance along the optical axis (REP 118 depth images) from the driver's distance along
        each pixel's ray, in mm."""
        from .cloud import depth_to_z
        return depth_to_z(np.ascontiguousarray(depth, dtype=np.float32), intrinsics)

    def description(self):
        """What the recording holds besides the frames: kept in `path`.json beside a .bin recording
        and as the metadata record "zentrox_depth" of an MCAP file."""
        i = self.intrinsics
        return {
            "format": "zentrox-depth recording",
            "version": 1,
            "device_type": self.device_type,
            "controls": self.controls,
            "source": self.source,
            "clock_offset_ns": self.clock_offset_ns,
            "intrinsics": None if i is None else {"width": i.width, "height": i.height, "fx": i.fx, "fy": i.fy,
                                                  "cx": i.cx, "cy": i.cy, "distortion": list(i.distortion)},
            "frames": self.frames_written,
            "dropped": self.frames_dropped,
            "finished": self._closed and self.error is None,
        }

    def write_sidecar(self):
        temporary = sidecar_path(self.path) + ".part"
        with open(temporary, "w", encoding="utf-8") as f:
            json.dump(self.description(), f, indent=1)
            f.write("\n")
        os.replace(temporary, sidecar_path(self.path))
