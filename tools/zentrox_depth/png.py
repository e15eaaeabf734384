"""A small PNG writer for 8-bit RGB images held as numpy arrays (no dependency beyond zlib)."""

import os
import struct
import tempfile
import zlib

import numpy as np


def _chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def encode_rgb(image):
    """PNG bytes of an (height, width, 3) uint8 array."""
    image = np.ascontiguousarray(image, dtype=np.uint8)
    if image.ndim != 3 or image.shape[2] != 3:
        raise ValueError("expected an (height, width, 3) array")
    height, width, _ = image.shape
    # Filter type 0 (none) in front of every row.
    rows = np.zeros((height, 1 + width * 3), dtype=np.uint8)
    rows[:, 1:] = image.reshape(height, width * 3)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header) + _chunk(b"IDAT", zlib.compress(rows.tobytes(), 6)) +
            _chunk(b"IEND", b""))


def write_rgb(path, image):
    """Writes the picture to `path` whole or not at all: a temporary file in the same directory,
    renamed over the name (so a link there is replaced, not followed), with the usual mode (0666 less
    the umask)."""
    data = encode_rgb(image)
    folder = os.path.dirname(path) or "."
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=".png-", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as out:
            umask = os.umask(0)
            os.umask(umask)
            os.fchmod(out.fileno(), 0o666 & ~umask)
            out.write(data)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def decode_rgb(data):
    """The (height, width, 3) uint8 array of a PNG written by encode_rgb (used to check the files)."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG file")
    pos, idat, width, height = 8, b"", 0, 0
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
        if zlib.crc32(kind + body) & 0xFFFFFFFF != struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0]:
            raise ValueError("bad chunk checksum")
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if (depth, colour, interlace) != (8, 2, 0):
                raise ValueError("only 8-bit RGB without interlacing is read")
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    rows = np.frombuffer(zlib.decompress(idat), dtype=np.uint8).reshape(height, 1 + width * 3)
    if np.any(rows[:, 0] != 0):
        raise ValueError("only filter type 0 is read")
    return rows[:, 1:].reshape(height, width, 3).copy()
