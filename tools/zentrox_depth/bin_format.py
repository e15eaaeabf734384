"""The emulated kit's raw recording format (docs/emulated-kit.md), written and read: a header, then
per image a 16-byte head and the samples, and beside the file `path`.json with what replaying it
needs besides the images (the controls, above all)."""

import json
import os
import struct

import numpy as np

from .recorded import RecordingFormatError
from .recording_sinks import open_sink

HQVGA_WIDTH, HQVGA_HEIGHT, HQVGA_PLANES = 240, 180, 4
BIN_MAGIC = b"ZXEVKREC"
BIN_HEADER = struct.Struct("<8sIIIBBHII")
BIN_IMAGE_HEAD = struct.Struct("<QII")


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


# Reading.

def _normalise(samples, bit_width):
    """Kit samples as the driver's USB transport turns them into 12-bit words."""
    if bit_width == 8:
        return samples.astype("<u2") << 4
    if bit_width > 12:
        return samples >> (bit_width - 12)
    return samples << (12 - bit_width)


class BinRecording:
    """A .bin recording opened for reading: its header, the timestamps of its images and frames (a
    frame's is its last image's, as the driver reports a frame), the length of one pass of the kit's
    loop (pass_ms) and each frame's raw image as the driver hands it out. A file whose writer never
    finished gives its complete frames, as the kit plays them."""

    def __init__(self, path):
        self.path = str(path)
        self.description = read_sidecar(self.path)
        with open(self.path, "rb") as f:
            head = f.read(BIN_HEADER.size)
            size = os.fstat(f.fileno()).st_size
        if len(head) < BIN_HEADER.size or head[:8] != BIN_MAGIC:
            raise RecordingFormatError(f"{self.path} is not a kit recording")
        _, version, self.width, self.height, self.bit_width, self.images_per_frame, _, count, gap = \
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
            for i in range(count):
                f.seek(BIN_HEADER.size + i * record)
                stamps.append(BIN_IMAGE_HEAD.unpack(f.read(BIN_IMAGE_HEAD.size))[0])
        self.image_stamps = stamps
        self.frame_stamps = stamps[self.images_per_frame - 1::self.images_per_frame]
        if not self.finished:  # the kit's automatic loop gap, which the writer had not written yet
            gap = min(max(b - a for a, b in zip(stamps, stamps[1:])), 0xFFFFFFFE) if count > 1 else 33
        self.pass_ms = stamps[-1] - stamps[0] + gap if stamps else 0
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


def read_sidecar(path):
    """The description kept beside a .bin recording (Recorder.description), or {}."""
    try:
        with open(sidecar_path(path), encoding="utf-8") as f:
            description = json.load(f)
        return description if isinstance(description, dict) else {}
    except (OSError, ValueError):
        return {}
