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
import struct
import threading
import time

import numpy as np

from . import ros2_messages as msgs

HQVGA_WIDTH, HQVGA_HEIGHT, HQVGA_PLANES = 240, 180, 4
BIN_MAGIC = b"ZXEVKREC"
BIN_HEADER = struct.Struct("<8sIIIBBHII")
BIN_IMAGE_HEAD = struct.Struct("<QII")
DEPTH_ENCODINGS = ("32FC1", "16UC1")


class RecordingError(Exception):
    """The recording stopped because its file could not be written."""


def require_mcap():
    """Raises ImportError with the way to install them if the MCAP libraries are missing."""
    try:
        import mcap.writer  # noqa: F401
        import mcap_ros2.decoder  # noqa: F401
    except ImportError:
        raise ImportError("MCAP files need the mcap and mcap-ros2-support packages: "
                          "pip install 'ZentroxDepthCamera[mcap]'") from None


def clock_offset_ns():
    """System time minus monotonic time, in ns: added to monotonic stamps to put them on the system
    clock."""
    return time.time_ns() - time.monotonic_ns()


def sidecar_path(path):
    """The file beside a .bin recording that holds what replaying it needs besides the images."""
    return str(path) + ".json"


def device_type_of_raw(raw):
    """"HQVGA" for the interleaved 240 x 720 raw image of the HQVGA device, else "VGA"."""
    return "HQVGA" if raw.shape == (HQVGA_HEIGHT * HQVGA_PLANES, HQVGA_WIDTH) else "VGA"


def hqvga_kit_images(raw):
    """The four phase images (uint16, 4 x 180 x 240) that the kit sends for an HQVGA raw frame.

    The driver's raw image holds each sample decoded: the low 11 bits (after the board's shift) as a
    two's-complement number times 16, rows of the four planes interleaved. Only those 11 bits reach
    the depth, so they are sent back as the kit sends samples: 12-bit words, no shift."""
    planes = raw.reshape(HQVGA_HEIGHT, HQVGA_PLANES, HQVGA_WIDTH).transpose(1, 0, 2)
    return np.ascontiguousarray((planes >> 4) & 0x7FF, dtype="<u2")


def controls_of(camera, device_type):
    """The controls in force that the depth of a raw frame depends on."""
    import ZentroxDepthCamera as zdc
    c = zdc.TOFControl
    if device_type == "HQVGA":
        return {"RANGE": int(camera.getControl(c.RANGE))}
    return {name: int(camera.getControl(getattr(c, name))) for name in ("MODE", "FMT_WIDTH", "FMT_HEIGHT")}


class _FileSink:
    """An output file written with plain system calls, so that what was handed to write() is in
    the file even if the process is killed next, and the end of the last complete frame is known."""

    def __init__(self, path):
        self.path = str(path)
        self.fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o644)
        self.position = 0
        self.committed = 0  # end of the last complete frame

    def write(self, data):
        view = memoryview(data).cast("B")
        length = view.nbytes
        while view.nbytes:
            view = view[os.write(self.fd, view):]
        self.position += length
        return length

    def tell(self):
        return self.position

    def flush(self):
        pass

    def commit(self):
        self.committed = self.position

    def rollback(self):
        """Cuts the file back to the end of the last complete frame."""
        os.ftruncate(self.fd, self.committed)
        os.lseek(self.fd, self.committed, os.SEEK_SET)
        self.position = self.committed

    def pwrite(self, data, offset):
        if os.pwrite(self.fd, data, offset) != len(data):
            raise OSError(f"short write to {self.path}")

    def close(self):
        if self.fd >= 0:
            fd, self.fd = self.fd, -1
            os.close(fd)


class _Frame:
    __slots__ = ("sequence", "timestamp_ms", "depth", "amplitude", "confidence", "raw")

    def __init__(self, sequence, timestamp_ms, depth, amplitude, confidence, raw):
        self.sequence = sequence
        self.timestamp_ms = int(timestamp_ms)
        self.depth, self.amplitude, self.confidence, self.raw = depth, amplitude, confidence, raw


class BinWriter:
    """The kit's recording format (docs/emulated-kit.md): a header, then per image a 16-byte head and
    the samples. The header's count stays 0 until finish(), which is how the kit tells a recording
    that was cut short; the kit then plays its complete frames."""

    def __init__(self, path, recorder):
        self.sink = _FileSink(path)
        self.recorder = recorder
        self.images_per_frame = 0
        self.images = 0
        self.last_stamp = None
        self.largest_gap = 0

    def _start(self, raw):
        device_type = self.recorder.device_type or device_type_of_raw(raw)
        self.recorder.device_type = device_type
        height, width = raw.shape
        if device_type == "HQVGA":
            width, height, self.images_per_frame = HQVGA_WIDTH, HQVGA_HEIGHT, HQVGA_PLANES
        else:
            self.images_per_frame = 1
        self.image_bytes = width * height * 2
        self.sink.write(BIN_HEADER.pack(BIN_MAGIC, 1, width, height, 12, self.images_per_frame, 0, 0, 0))
        self.sink.commit()
        self.recorder.write_sidecar()

    def write(self, frame):
        if frame.raw is None:
            raise ValueError("a .bin recording holds raw frames: start the camera with TOFOutput.RAW")
        if self.images_per_frame == 0:
            self._start(frame.raw)
        if self.images_per_frame == HQVGA_PLANES:
            images = hqvga_kit_images(frame.raw)
        else:
            images = np.ascontiguousarray(frame.raw, dtype="<i2")[np.newaxis]
        if images[0].nbytes != self.image_bytes:
            raise ValueError(f"a raw frame of {frame.raw.shape} does not fit this recording")
        parts = []
        count = len(images)
        last, gap = self.last_stamp, self.largest_gap
        for i, image in enumerate(images):
            # The frame's timestamp is its last image's; the others 1 ms apart before it, as the kit
            # spaces them, never before an earlier image.
            stamp = max(0, frame.timestamp_ms - (count - 1 - i))
            if last is not None:
                stamp = max(stamp, last)
                gap = max(gap, stamp - last)
            last = stamp
            parts.append(BIN_IMAGE_HEAD.pack(stamp, self.image_bytes, 0))
            parts.append(memoryview(image).cast("B"))
        self.sink.write(b"".join(parts))
        self.sink.commit()
        self.last_stamp, self.largest_gap = last, gap
        self.images += count

    def finish(self, failed):
        if failed:
            self.sink.rollback()
        if self.images:
            gap = min(self.largest_gap, 0xFFFFFFFE) if self.images > 1 else 33
            self.sink.pwrite(struct.pack("<II", self.images, gap), 24)
        self.sink.close()


class McapFrameWriter:
    """MCAP with ROS 2 messages (profile "ros2", ros2msg schemas, CDR), written with the mcap library.
    Every frame is one chunk, flushed before the next frame is taken: a file cut at any point holds
    every frame before its last chunk whole. Chunks are neither compressed nor checksummed by
    default, which keeps a 640 x 480 stream within a small share of one core."""

    def __init__(self, path, recorder, compression=None):
        require_mcap()
        from mcap.writer import CompressionType, Writer
        self.sink = _FileSink(path)
        self.recorder = recorder
        kinds = {None: CompressionType.NONE, "none": CompressionType.NONE, "lz4": CompressionType.LZ4,
                 "zstd": CompressionType.ZSTD}
        self.writer = Writer(self.sink, chunk_size=1 << 40, compression=kinds[compression], enable_crcs=False)
        self.writer.start(profile="ros2", library="zentrox_depth")
        self.channels = {}
        self.sink.commit()
        self.metadata_written = False

    def _channel(self, suffix, schema):
        key = (suffix, schema)
        if key not in self.channels:
            schema_id = self.writer.register_schema(schema, "ros2msg", msgs.definition(schema).encode())
            self.channels[key] = self.writer.register_channel(self.recorder.namespace + suffix, "cdr", schema_id)
        return self.channels[key]

    def _add(self, suffix, schema, stamp, sequence, data):
        self.writer.add_message(self._channel(suffix, schema), log_time=stamp, data=data, publish_time=stamp,
                                sequence=sequence & 0xFFFFFFFF)

    def write(self, frame):
        r = self.recorder
        if not self.metadata_written:
            if frame.raw is not None and r.device_type is None:
                r.device_type = device_type_of_raw(frame.raw)
            self.writer.add_metadata("zentrox_depth", {k: json.dumps(v) for k, v in r.description().items()})
            self.metadata_written = True
        stamp = max(0, frame.timestamp_ms * 1_000_000 + r.clock_offset_ns)
        seq, fid = frame.sequence, r.frame_id
        if frame.depth is not None:
            intrinsics = r.intrinsics_for(frame.depth.shape)
            z_mm = r.z_depth(frame.depth, intrinsics)
            if r.depth_encoding == "32FC1":
                pixels = z_mm / np.float32(1000.0)
                pixels[z_mm == 0] = np.nan  # REP 118: no measurement
            else:
                pixels = np.rint(np.clip(z_mm, 0, 65535)).astype("<u2")
            self._add("/depth", msgs.IMAGE, stamp, seq, msgs.image(stamp, fid, pixels, r.depth_encoding))
            self._add("/camera_info", msgs.CAMERA_INFO, stamp, seq, msgs.camera_info(stamp, fid, intrinsics))
            if r.point_cloud:
                from .cloud import point_cloud
                points = point_cloud(frame.depth, intrinsics)
                intensity = frame.amplitude if frame.amplitude is not None else np.zeros(frame.depth.shape)
                self._add("/points", msgs.POINT_CLOUD2, stamp, seq, msgs.point_cloud2(stamp, fid, points, intensity))
        for name, plane in (("amplitude", frame.amplitude), ("confidence", frame.confidence)):
            if plane is not None:
                self._add("/" + name, msgs.IMAGE, stamp, seq, msgs.image(stamp, fid, plane, "32FC1"))
        if frame.raw is not None:
            controls = r.controls or {}
            data = msgs.raw_frame(stamp, fid, seq, frame.timestamp_ms, r.device_type or device_type_of_raw(frame.raw),
                                  controls.get("RANGE", -1), controls.get("MODE", -1), frame.raw)
            self._add("/raw", msgs.RAW_FRAME, stamp, seq, data)
        self.writer.flush()
        self.sink.commit()

    def finish(self, failed):
        if not failed:
            try:
                self.writer.finish()
                self.sink.close()
                return
            except OSError:
                failed = True
        # After a failed write the writer's own state is not to be trusted: the file is cut back to
        # its last complete frame and ended without a summary (a valid MCAP file, which readers scan).
        from mcap.data_stream import RecordBuilder
        from mcap.records import DataEnd, Footer
        from mcap.writer import MCAP0_MAGIC
        self.sink.rollback()
        end = RecordBuilder()
        DataEnd(0).write(end)
        Footer(summary_start=0, summary_offset_start=0, summary_crc=0).write(end)
        try:
            self.sink.write(end.end() + MCAP0_MAGIC)
        finally:
            self.sink.close()


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
    queue_size: frames waiting for the writer thread at most; more are dropped and counted.
    """

    def __init__(self, path, *, camera=None, device_type=None, controls=None, intrinsics=None,
                 frame_id="zentrox_depth_optical_frame", namespace="/zentrox", depth_encoding="32FC1",
                 point_cloud=False, queue_size=8, source="", compression=None):
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
            self.format = McapFrameWriter(self.path, self, compression)
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
            if self.path.endswith(".bin"):
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
