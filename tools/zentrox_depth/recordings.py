"""Reading recordings back: the frames of .bin and MCAP files, those whose writer was killed too, and
replay of raw frames through the driver.

The depth of a .bin recording exists only once the driver computes it, so its frames come from a
replay: the emulated kit plays the file, the controls recorded beside it are applied, and each
frame the driver delivers is matched to its recorded frame by its timestamp (the kit keeps the
recorded spacing exactly, in whole milliseconds). An MCAP file that holds raw frames is replayed the
same way, through a .bin file written from them."""

import json
import os
import queue
import struct
import sys
import tempfile
import threading

import numpy as np

from . import ros2_messages as msgs
from .recorder import (BIN_HEADER, BIN_IMAGE_HEAD, BIN_MAGIC, HQVGA_HEIGHT, HQVGA_PLANES, HQVGA_WIDTH,
                       Recorder, require_mcap, sidecar_path)


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


# The kit's .bin format.

def _normalise(samples, bit_width):
    """Kit samples as the driver's USB transport turns them into 12-bit words."""
    if bit_width == 8:
        return samples.astype("<u2") << 4
    if bit_width > 12:
        return samples >> (bit_width - 12)
    return samples << (12 - bit_width)


class BinRecording:
    """A .bin recording opened for reading: its header, the timestamps of its frames (the last
    image's, as the driver reports a frame) and each frame's raw image as the driver hands it out.
    A file whose writer never finished gives its complete frames, as the kit plays them."""

    def __init__(self, path):
        self.path = str(path)
        self.description = read_description(self.path)
        with open(self.path, "rb") as f:
            head = f.read(BIN_HEADER.size)
            size = os.fstat(f.fileno()).st_size
        if len(head) < BIN_HEADER.size or head[:8] != BIN_MAGIC:
            raise RecordingFormatError(f"{self.path} is not a kit recording")
        _, version, self.width, self.height, self.bit_width, self.images_per_frame, _, count, _ = \
            BIN_HEADER.unpack(head)
        if version != 1 or not (8 <= self.bit_width <= 16) or self.images_per_frame == 0 or not self.width \
                or not self.height:
            raise RecordingFormatError(f"{self.path}: unusable recording header")
        self.image_bytes = self.width * self.height * (2 if self.bit_width > 8 else 1)
        record = BIN_IMAGE_HEAD.size + self.image_bytes
        complete = (size - BIN_HEADER.size) // record
        self.finished = count != 0
        if count == 0:
            count = complete - complete % self.images_per_frame
        elif count > complete:
            raise RecordingFormatError(f"{self.path} does not hold the {count} images its header announces")
        self.image_count = count
        self.frame_count = count // self.images_per_frame
        self._record = record
        stamps = []
        with open(self.path, "rb") as f:
            for k in range(self.frame_count):
                f.seek(BIN_HEADER.size + ((k + 1) * self.images_per_frame - 1) * record)
                stamps.append(BIN_IMAGE_HEAD.unpack(f.read(BIN_IMAGE_HEAD.size))[0])
        self.frame_stamps = stamps
        hqvga = (self.width, self.height, self.images_per_frame) == (HQVGA_WIDTH, HQVGA_HEIGHT, HQVGA_PLANES)
        self.device_type = "HQVGA" if hqvga else "VGA"

    def raw(self, k):
        """Frame k's raw image as the driver's RAW output gives it (board without sample shift)."""
        per = self.images_per_frame
        images = []
        with open(self.path, "rb") as f:
            for i in range(per):
                f.seek(BIN_HEADER.size + (k * per + i) * self._record + BIN_IMAGE_HEAD.size)
                data = f.read(self.image_bytes)
                dtype = "<u2" if self.bit_width > 8 else "u1"
                images.append(_normalise(np.frombuffer(data, dtype=dtype), self.bit_width).astype("<u2"))
        if self.device_type == "HQVGA":
            low = np.stack(images).reshape(per, self.height, self.width) & 0x7FF
            decoded = (np.where(low & 0x400, low.astype(np.int32) - 0x800, low) * 16).astype(np.int16)
            return np.ascontiguousarray(decoded.transpose(1, 0, 2)).reshape(self.height * per, self.width)
        return np.concatenate(images).view(np.int16).reshape(self.height * per, self.width)

    def controls(self):
        """The controls to apply before replaying: those recorded beside the file, else what the
        file's own geometry tells (the VGA layout gives the mode and the output size)."""
        recorded = (self.description or {}).get("controls")
        if recorded:
            return dict(recorded)
        if self.device_type == "VGA" and self.images_per_frame == 1:
            for blocks, mode in ((5, "SINGLE_FREQ"), (10, "DOUBLE_FREQ")):
                if self.height % blocks == 0 and self.height // blocks - 1 in (240, 480):
                    import ZentroxDepthCamera as zdc
                    return {"FMT_WIDTH": self.width, "FMT_HEIGHT": self.height // blocks - 1,
                            "MODE": int(getattr(zdc.TofWorkMode, mode))}
        return {}


def read_description(path):
    """What a recording holds besides its frames (Recorder.description), or {}."""
    path = str(path)
    if path.lower().endswith(".bin"):
        try:
            with open(sidecar_path(path), encoding="utf-8") as f:
                description = json.load(f)
            return description if isinstance(description, dict) else {}
        except (OSError, ValueError):
            return {}
    return McapRecording(path).description


def apply_controls(camera, controls):
    """Sets recorded controls on an opened camera, output size before mode and range."""
    import ZentroxDepthCamera as zdc
    for name in ("FMT_WIDTH", "FMT_HEIGHT", "MODE", "RANGE"):
        if name in controls and int(controls[name]) >= 0:
            camera.setControl(getattr(zdc.TOFControl, name), int(controls[name]))


def apply_recorded_controls(camera, path):
    """For a camera opened on a .bin recording: applies the controls it was recorded with."""
    if str(path).lower().endswith(".bin"):
        try:
            apply_controls(camera, BinRecording(path).controls())
        except (OSError, RecordingFormatError):
            pass  # the kit has refused or will refuse the file with its own message


# MCAP.

def _intrinsics_of(info):
    from .intrinsics import Intrinsics
    k = list(info.k)
    return Intrinsics(int(info.width), int(info.height), k[0], k[4], k[2], k[5], list(info.d)[:5] or (0,) * 5)


def ray_depth(z_mm, intrinsics):
    """The driver's distance along each pixel's ray (mm) from a z-depth image; 0 stays 0."""
    rays = intrinsics.rays()
    with np.errstate(invalid="ignore", divide="ignore"):
        depth = z_mm / rays[..., 2]
    return np.where(z_mm > 0, depth, 0).astype(np.float32)


class McapRecording:
    """An MCAP recording of this package read with the mcap library and mcap-ros2-support's CDR
    decoders. The file is read in order, chunk by chunk, so one whose writer was killed (no summary,
    no footer, a last chunk cut short) gives every frame of its complete chunks."""

    def __init__(self, path, namespace="/zentrox"):
        require_mcap()
        self.path = str(path)
        self.namespace = namespace
        self.description = {}
        for record in self._records(metadata_only=True):
            pass
        # A finished file ends with a footer and the magic; a killed writer left neither.
        from mcap.writer import MCAP0_MAGIC
        with open(self.path, "rb") as f:
            size = f.seek(0, os.SEEK_END)
            f.seek(max(0, size - 37))
            tail = f.read()
        self.finished = size >= 37 + 8 and tail[-8:] == MCAP0_MAGIC and tail[0] == 0x02

    def _records(self, metadata_only=False):
        from mcap.exceptions import McapError
        from mcap.records import Chunk, DataEnd, Footer, Metadata
        from mcap.stream_reader import StreamReader, breakup_chunk
        with open(self.path, "rb") as f:
            reader = StreamReader(f, emit_chunks=True, validate_crcs=True)
            records = reader.records
            while True:
                try:
                    record = next(records)
                except StopIteration:
                    return
                except (McapError, struct.error, ValueError, EOFError):
                    return  # the end of a file whose writer never finished
                if isinstance(record, Metadata) and record.name == "zentrox_depth":
                    self.description = {k: json.loads(v) for k, v in record.metadata.items()}
                    if metadata_only:
                        return
                elif isinstance(record, Footer):
                    return
                elif isinstance(record, DataEnd):
                    continue
                elif isinstance(record, Chunk) and not metadata_only:
                    if record.compression == "" and len(record.data) != record.uncompressed_size:
                        return  # cut short
                    try:
                        inner = list(breakup_chunk(record, validate_crc=True))
                    except (McapError, struct.error, ValueError, EOFError, RuntimeError):
                        return
                    yield from inner
                elif not metadata_only:
                    yield record

    def frames(self):
        """The recorded frames in order, one per sequence number."""
        from mcap.records import Channel, Message, Schema
        from mcap_ros2.decoder import DecoderFactory
        factory = DecoderFactory()
        schemas, channels, decoders = {}, {}, {}
        current, parts, index = None, {}, 0
        for record in self._records():
            if isinstance(record, Schema):
                schemas[record.id] = record
            elif isinstance(record, Channel):
                channels[record.id] = record
                schema = schemas.get(record.schema_id)
                decoders[record.id] = factory.decoder_for(record.message_encoding, schema) if schema else None
            elif isinstance(record, Message) and decoders.get(record.channel_id):
                if current is not None and record.sequence != current:
                    yield self._frame(index, current, parts)
                    index, parts = index + 1, {}
                current = record.sequence
                topic = channels[record.channel_id].topic
                parts[topic[len(self.namespace):] if topic.startswith(self.namespace) else topic] = \
                    decoders[record.channel_id](record.data)
        if current is not None:
            yield self._frame(index, current, parts)

    def _frame(self, index, sequence, parts):
        frame = RecordedFrame(index, sequence, None)
        info = parts.get("/camera_info")
        for name in ("depth", "amplitude", "confidence"):
            message = parts.get("/" + name)
            if message is None:
                continue
            dtype = "<u2" if message.encoding == "16UC1" else "<f4"
            plane = np.frombuffer(message.data, dtype=dtype).reshape(message.height, message.width)
            if name == "depth":
                z_mm = plane.astype(np.float32) if dtype == "<u2" else np.nan_to_num(plane * np.float32(1000))
                plane = ray_depth(z_mm, _intrinsics_of(info)) if info is not None else z_mm
            setattr(frame, name, np.array(plane, dtype=np.float32))
            stamp = message.header.stamp
            frame.timestamp_ms = (stamp.sec * 1_000_000_000 + stamp.nanosec
                                  - self.description.get("clock_offset_ns", 0)) // 1_000_000
        raw = parts.get("/raw")
        if raw is not None:
            frame.raw = np.frombuffer(raw.data, dtype="<i2").reshape(raw.height, raw.width).copy()
            frame.timestamp_ms = raw.sensor_timestamp
            frame.sequence = raw.sequence
            frame.controls = {"RANGE": raw.range, "MODE": raw.mode}
        return frame


def intrinsics_of_recording(path):
    """The intrinsics a recording was made with, if it tells them."""
    from .intrinsics import Intrinsics
    i = read_description(path).get("intrinsics")
    return Intrinsics(**i) if i else None


def mcap_to_bin(path, target):
    """Writes the raw frames of an MCAP recording as a .bin recording (with its controls beside it);
    returns the number of frames, 0 if the file holds no raw frames."""
    recording = McapRecording(path)
    recorder, count = None, 0
    try:
        for frame in recording.frames():
            if frame.raw is None:
                continue
            if recorder is None:
                controls = {k: v for k, v in frame.controls.items() if v >= 0}
                device = recording.description.get("device_type")
                recorder = Recorder(target, device_type=device, controls=controls, source=str(path))
                if device == "VGA" and "MODE" in controls:
                    rows = frame.raw.shape[0]
                    blocks = 5 if rows % 5 == 0 and rows // 5 - 1 in (240, 480) else 10
                    recorder.controls.update(FMT_WIDTH=frame.raw.shape[1], FMT_HEIGHT=rows // blocks - 1)
            recorder.write(frame.timestamp_ms, raw=frame.raw, block=True)
            count += 1
    finally:
        if recorder is not None:
            recorder.close()
    return count


# Replay through the driver.

class ReplayError(RuntimeError):
    pass


def prefetched(frames):
    """The items of `frames`, taken on a thread of their own as fast as they come, so that a slow
    consumer never makes the driver skip frames of a replay."""
    waiting = queue.Queue()
    stop = threading.Event()

    def pull():
        try:
            for frame in frames:
                waiting.put(frame)
                if stop.is_set():
                    break
            waiting.put(None)
        except BaseException as error:  # handed to the consumer
            waiting.put(error)
        finally:
            close = getattr(frames, "close", None)
            if close:
                close()

    thread = threading.Thread(target=pull, name="zentrox-export", daemon=True)
    # The taking thread needs the interpreter lock a few times per frame while this one encodes
    # pictures; with the default switch interval (5 ms) it would fall behind a 30 fps replay.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(min(interval, 0.0005))
    thread.start()
    try:
        while True:
            item = waiting.get()
            if item is None:
                return
            if isinstance(item, BaseException):
                raise item
            yield item
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)


def replay(path, timeout_ms=3000):
    """Plays a .bin recording once through the emulated kit and the driver and yields a
    RecordedFrame with the driver's depth, amplitude and confidence for each recorded frame it
    delivers, in order (index: the frame's position in the recording). The frames are taken from
    the driver on a thread of their own; frames it still did not deliver are missing from the
    sequence of indices."""
    return prefetched(_replay(path, timeout_ms))


def _replay(path, timeout_ms):
    import ZentroxDepthCamera as zdc
    recording = BinRecording(path)
    if recording.frame_count == 0:
        raise ReplayError(f"{path} holds no complete frame")
    offsets = [s - recording.frame_stamps[0] for s in recording.frame_stamps]
    by_offset = {o: k for k, o in enumerate(offsets)} if len(set(offsets)) == len(offsets) else None
    cam = zdc.ZentroxCamera()
    status = cam.openWithFile(str(path), 0)
    if status != zdc.TOFErrorCode.ZentroxSuccess:
        raise ReplayError(f"the driver cannot open {path}: {status.name}")
    try:
        apply_controls(cam, recording.controls())
        status = cam.start(zdc.TOFOutput.DEPTH)
        if status != zdc.TOFErrorCode.ZentroxSuccess:
            raise ReplayError(f"the driver cannot start on {path}: {status.name}")
        base, last = None, -1
        misses = 0
        while last < recording.frame_count - 1:
            frame = cam.requestFrame(timeout_ms)
            if frame is None:
                misses += 1
                if misses >= 2:
                    raise ReplayError(f"no frame from the driver within {2 * timeout_ms} ms")
                continue
            misses = 0
            try:
                stamp = frame.getFrameFormat().timestamp
                planes = frame.getDepthData(), frame.getAmplitudeData(), frame.getConfidenceData()
            finally:
                cam.releaseFrame(frame)
            if base is None:
                base = stamp
            offset = stamp - base
            if offset > offsets[-1]:
                break  # the next pass has begun: the frames still missing were not delivered
            k = by_offset.get(offset, last + 1) if by_offset is not None else last + 1
            if k <= last:
                continue
            last = k
            yield RecordedFrame(k, k, recording.frame_stamps[k], *planes)
    finally:
        cam.stop()
        cam.close()


def replays(path, with_depth=True):
    """Whether frames(path) computes the depth through the driver (and so keeps the recorded pace)."""
    if kind_of(path) == "bin":
        return with_depth
    first = next(iter(McapRecording(path).frames()), None)
    return first is not None and first.depth is None and first.raw is not None and with_depth


def frames(path, with_depth=True, timeout_ms=3000):
    """Every frame of a recording in order. .bin: depth from a replay through the driver (with_depth)
    or the raw frames alone; MCAP: the recorded images, and the raw frames replayed through the
    driver where the file holds raw frames but no depth."""
    kind = kind_of(path)
    if kind == "bin":
        if with_depth:
            recording = BinRecording(path)
            for frame in replay(path, timeout_ms):
                frame.raw = recording.raw(frame.index)
                yield frame
        else:
            recording = BinRecording(path)
            for k in range(recording.frame_count):
                yield RecordedFrame(k, k, recording.frame_stamps[k], raw=recording.raw(k))
        return
    recorded = McapRecording(path)
    first = next(iter(recorded.frames()), None)
    if first is None:
        return
    if first.depth is None and first.raw is not None and with_depth:
        with tempfile.TemporaryDirectory(prefix="zentrox-replay-") as scratch:
            target = os.path.join(scratch, "raw.bin")
            mcap_to_bin(path, target)
            originals = (f for f in recorded.frames() if f.raw is not None)
            original = None
            for frame in replay(target, timeout_ms):
                while original is None or original.index < frame.index:
                    original = next(originals)
                frame.sequence, frame.raw = original.sequence, original.raw
                yield frame
        return
    yield from recorded.frames()
