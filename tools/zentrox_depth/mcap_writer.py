"""MCAP files of ROS 2 messages written frame by frame, each frame one chunk, from the mcap library's
records (see McapFrameWriter)."""

import json
import struct

import numpy as np

from . import ros2_messages as msgs
from .bin_format import device_type_of_raw
from .recording_sinks import open_sink


def require_mcap():
    """Raises ImportError with the way to install them if the MCAP libraries are missing."""
    try:
        import mcap.writer  # noqa: F401
        import mcap_ros2.decoder  # noqa: F401
    except ImportError:
        raise ImportError("MCAP files need the mcap and mcap-ros2-support packages: "
                          "pip install 'ZentroxDepthCamera[mcap]'") from None


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
