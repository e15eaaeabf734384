"""MCAP recordings of this package read back, those whose writer was killed too."""

import json
import os
import struct

import numpy as np

from .mcap_writer import require_mcap
from .recorded import RecordedFrame


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
