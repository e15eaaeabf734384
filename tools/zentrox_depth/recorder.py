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


class _DirectSink(_FileSink):
    """A _FileSink that writes past the page cache (O_DIRECT) from an aligned staging buffer.

    Appending to the page cache costs the kernel more than all the rest of the recorder (about
    1.5 ms per megabyte on a small machine); written directly, a frame costs a copy into the staging
    buffer and one system call. Each commit writes the staged bytes in whole blocks, the last one
    padded: the bytes of a frame are on the disk once it is committed, and the next commit writes
    that last block again with what follows. Finishing (or any failure) cuts the padding off and
    goes on through the page cache."""

    BLOCK = 4096

    def __init__(self, path):
        import mmap
        self.path = str(path)
        self.fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC | os.O_DIRECT, 0o644)
        self.position = 0
        self.committed = 0
        self.base = 0  # file offset of the staging buffer's first byte, a whole number of blocks
        self._mmap = mmap
        self.stage = mmap.mmap(-1, 1 << 20)
        self.staged = 0
        self.direct = True

    def write(self, data):
        if not self.direct:
            return super().write(data)
        view = memoryview(data).cast("B")
        end = self.staged + view.nbytes
        if end > len(self.stage):
            grown = self._mmap.mmap(-1, (end + end // 2 + self.BLOCK - 1) // self.BLOCK * self.BLOCK)
            grown[:self.staged] = self.stage[:self.staged]
            self.stage.close()
            self.stage = grown
        self.stage[self.staged:end] = view
        self.staged = end
        self.position += view.nbytes
        return view.nbytes

    def commit(self):
        if self.direct and self.staged:
            blocks = (self.staged + self.BLOCK - 1) // self.BLOCK * self.BLOCK
            self.stage[self.staged:blocks] = bytes(blocks - self.staged)
            view = memoryview(self.stage)[:blocks]
            try:
                written = 0
                while written < blocks:
                    written += os.pwrite(self.fd, view[written:], self.base + written)
            finally:
                view.release()
            whole = self.staged // self.BLOCK * self.BLOCK
            tail = self.staged - whole
            self.stage[:tail] = self.stage[whole:self.staged]
            self.base += whole
            self.staged = tail
        self.committed = self.position

    def buffered(self):
        """Goes on through the page cache from the end of the last commit; the padding, and what
        was staged since, is cut off."""
        if self.direct:
            self.direct = False
            os.close(self.fd)
            self.fd = os.open(self.path, os.O_WRONLY | os.O_CLOEXEC)
            os.ftruncate(self.fd, self.committed)
            os.lseek(self.fd, self.committed, os.SEEK_SET)
            self.position = self.committed
            self.stage.close()

    def rollback(self):
        self.buffered()
        super().rollback()

    def pwrite(self, data, offset):
        self.commit()
        self.buffered()
        super().pwrite(data, offset)

    def close(self):
        if self.fd >= 0:
            self.commit()
            self.buffered()
        super().close()


def open_sink(path, direct):
    """A direct sink where the file system takes O_DIRECT (tmpfs, for one, does not), else a
    buffered one."""
    if direct and hasattr(os, "O_DIRECT"):
        try:
            return _DirectSink(path)
        except OSError:
            pass
    return _FileSink(path)


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
        self.sink = open_sink(path, recorder.direct_io)
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
        for part in parts:
            self.sink.write(part)
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
    """MCAP with ROS 2 messages: profile "ros2", ros2msg schemas, CDR messages, built from the mcap
    library's records. Every frame is one chunk (uncompressed) followed by its message indexes,
    committed before the next frame is taken: a file cut at any point holds every frame before its
    last chunk whole. finish() adds the summary: schemas, channels, statistics, chunk and metadata
    indexes and their offsets, so that readers can seek.

    The chunks are laid out here rather than by the library's Writer, which copies every message
    twice through in-memory streams: for a 640 x 480 frame with raw data (7 MB) those copies alone
    cost more than the whole recorder may. Here each message's bytes are copied once, into the
    output."""

    def __init__(self, path, recorder):
        require_mcap()
        from mcap.records import Header
        from mcap.writer import MCAP0_MAGIC
        self.sink = open_sink(path, recorder.direct_io)
        self.recorder = recorder
        self.schemas, self.channels = {}, {}
        self.chunk_indexes, self.metadata_indexes = [], []
        self.message_counts = {}
        self.messages, self.first_time, self.last_time = 0, 0, 0
        self.metadata_written = False
        self.sink.write(MCAP0_MAGIC)
        self._record(Header(profile="ros2", library="zentrox_depth"))
        self.sink.commit()

    def _record(self, record):
        from mcap.data_stream import RecordBuilder
        builder = RecordBuilder()
        record.write(builder)
        data = builder.end()
        self.sink.write(data)
        return len(data)

    def _channel(self, suffix, schema_name):
        from mcap.records import Channel, Schema
        key = (suffix, schema_name)
        if key not in self.channels:
            if schema_name not in self.schemas:
                schema = Schema(id=len(self.schemas) + 1, data=msgs.definition(schema_name).encode(),
                                encoding="ros2msg", name=schema_name)
                self.schemas[schema_name] = schema
                self._record(schema)
            channel = Channel(id=len(self.channels) + 1, topic=self.recorder.namespace + suffix,
                              message_encoding="cdr", metadata={}, schema_id=self.schemas[schema_name].id)
            self.channels[key] = channel
            self._record(channel)
        return self.channels[key].id

    def _messages(self, frame):
        """(channel, buffers) of every message of `frame`."""
        r = self.recorder
        stamp = max(0, frame.timestamp_ms * 1_000_000 + r.clock_offset_ns)
        seq, fid = frame.sequence, r.frame_id
        out = []
        if frame.depth is not None:
            intrinsics = r.intrinsics_for(frame.depth.shape)
            z_mm = r.z_depth(frame.depth, intrinsics)
            if r.depth_encoding == "32FC1":
                pixels = z_mm / np.float32(1000.0)
                pixels[z_mm == 0] = np.nan  # REP 118: no measurement
            else:
                pixels = np.rint(np.clip(z_mm, 0, 65535)).astype("<u2")
            out.append((self._channel("/depth", msgs.IMAGE), msgs.image(stamp, fid, pixels, r.depth_encoding, False)))
            out.append((self._channel("/camera_info", msgs.CAMERA_INFO), msgs.camera_info(stamp, fid, intrinsics, False)))
            if r.point_cloud:
                from .cloud import point_cloud
                points = point_cloud(frame.depth, intrinsics)
                intensity = frame.amplitude if frame.amplitude is not None else np.zeros(frame.depth.shape)
                out.append((self._channel("/points", msgs.POINT_CLOUD2),
                            msgs.point_cloud2(stamp, fid, points, intensity, False)))
        for name, plane in (("amplitude", frame.amplitude), ("confidence", frame.confidence)):
            if plane is not None:
                out.append((self._channel("/" + name, msgs.IMAGE), msgs.image(stamp, fid, plane, "32FC1", False)))
        if frame.raw is not None:
            controls = r.controls or {}
            device = r.device_type or device_type_of_raw(frame.raw)
            out.append((self._channel("/raw", msgs.RAW_FRAME),
                        msgs.raw_frame(stamp, fid, seq, frame.timestamp_ms, device, controls.get("RANGE", -1),
                                       controls.get("MODE", -1), frame.raw, False)))
        return stamp, out

    def write(self, frame):
        from mcap.records import ChunkIndex, Metadata, MetadataIndex, MessageIndex
        r = self.recorder
        if not self.metadata_written:
            if frame.raw is not None and r.device_type is None:
                r.device_type = device_type_of_raw(frame.raw)
            metadata = Metadata(name="zentrox_depth", metadata={k: json.dumps(v) for k, v in r.description().items()})
            offset = self.sink.tell()
            self.metadata_indexes.append(MetadataIndex(offset=offset, length=self._record(metadata), name=metadata.name))
            self.metadata_written = True
        stamp, messages = self._messages(frame)
        sequence = frame.sequence & 0xFFFFFFFF
        heads, size, indexes = [], 0, {}
        for channel, parts in messages:
            length = sum(memoryview(p).nbytes for p in parts)
            indexes.setdefault(channel, []).append((stamp, size))
            heads.append(struct.pack("<BQHIQQ", 0x05, 22 + length, channel, sequence, stamp, stamp))
            size += 31 + length
        # Chunk: start and end time, uncompressed size, CRC (0: none), compression "", records.
        chunk_start = self.sink.tell()
        chunk_head = struct.pack("<BQQQQIIQ", 0x06, 8 + 8 + 8 + 4 + 4 + 8 + size, stamp, stamp, size, 0, 0, size)
        self.sink.write(chunk_head)
        for head, (_, parts) in zip(heads, messages):
            self.sink.write(head)
            for part in parts:
                self.sink.write(part)
        chunk_length = self.sink.tell() - chunk_start
        index_start = self.sink.tell()
        offsets = {}
        for channel, records in indexes.items():
            offsets[channel] = self.sink.tell()
            self._record(MessageIndex(channel_id=channel, records=records))
        self.sink.commit()
        self.chunk_indexes.append(ChunkIndex(
            message_start_time=stamp, message_end_time=stamp, chunk_start_offset=chunk_start,
            chunk_length=chunk_length, message_index_offsets=offsets,
            message_index_length=self.sink.tell() - index_start, compression="", compressed_size=size,
            uncompressed_size=size))
        if self.messages == 0:
            self.first_time = stamp
        self.first_time, self.last_time = min(self.first_time, stamp), max(self.last_time, stamp)
        self.messages += len(messages)
        for channel, _ in messages:
            self.message_counts[channel] = self.message_counts.get(channel, 0) + 1

    def _summary(self):
        from mcap.opcode import Opcode
        from mcap.records import Statistics, SummaryOffset
        start = self.sink.tell()
        groups = [
            (Opcode.SCHEMA, list(self.schemas.values())),
            (Opcode.CHANNEL, list(self.channels.values())),
            (Opcode.STATISTICS, [Statistics(
                attachment_count=0, channel_count=len(self.channels), channel_message_counts=self.message_counts,
                chunk_count=len(self.chunk_indexes), message_count=self.messages,
                message_end_time=self.last_time, message_start_time=self.first_time,
                metadata_count=len(self.metadata_indexes), schema_count=len(self.schemas))]),
            (Opcode.CHUNK_INDEX, self.chunk_indexes),
            (Opcode.METADATA_INDEX, self.metadata_indexes),
        ]
        offsets = []
        for opcode, records in groups:
            if records:
                group_start = self.sink.tell()
                for record in records:
                    self._record(record)
                offsets.append(SummaryOffset(group_opcode=opcode, group_start=group_start,
                                             group_length=self.sink.tell() - group_start))
        offset_start = self.sink.tell()
        for offset in offsets:
            self._record(offset)
        return start, offset_start

    def finish(self, failed):
        from mcap.records import DataEnd, Footer
        from mcap.writer import MCAP0_MAGIC
        try:
            if failed:
                raise OSError("after a failed write")
            self._record(DataEnd(data_section_crc=0))
            summary, offsets = self._summary()
            self._record(Footer(summary_start=summary, summary_offset_start=offsets, summary_crc=0))
            self.sink.write(MCAP0_MAGIC)
            self.sink.commit()
            self.sink.close()
            return
        except OSError:
            pass
        # A failed write, or no room for the summary: the file is cut back to its last complete frame
        # and ended without a summary (a valid MCAP file, which readers scan).
        self.sink.rollback()
        try:
            self._record(DataEnd(data_section_crc=0))
            self._record(Footer(summary_start=0, summary_offset_start=0, summary_crc=0))
            self.sink.write(MCAP0_MAGIC)
            self.sink.commit()
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
