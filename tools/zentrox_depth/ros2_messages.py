"""The ROS 2 messages of an MCAP recording: their ros2msg definitions (as MCAP schemas carry them,
dependencies appended) and CDR encoders for them.

The encoders write the little-endian CDR that ROS 2 middlewares use (encapsulation 00 01 00 00,
every primitive aligned to its size from the end of the encapsulation header). They are written
by hand rather than through a generic schema walker because every frame carries megabytes of image
bytes: an encoder packs the few header bytes and hands the pixel data on as it stands, joined into
one bytes object or (join=False) as a list of buffers that the writer copies once, into the file."""

import struct

import numpy as np

RAW_FRAME = "zentrox_depth_msgs/msg/RawFrame"
IMAGE = "sensor_msgs/msg/Image"
CAMERA_INFO = "sensor_msgs/msg/CameraInfo"
POINT_CLOUD2 = "sensor_msgs/msg/PointCloud2"

_SEPARATOR = "=" * 80 + "\n"

_TIME = "int32 sec\nuint32 nanosec\n"
_HEADER = "builtin_interfaces/Time stamp\nstring frame_id\n"
_ROI = "uint32 x_offset\nuint32 y_offset\nuint32 height\nuint32 width\nbool do_rectify\n"
_POINT_FIELD = ("uint8 INT8=1\nuint8 UINT8=2\nuint8 INT16=3\nuint8 UINT16=4\nuint8 INT32=5\nuint8 UINT32=6\n"
                "uint8 FLOAT32=7\nuint8 FLOAT64=8\nstring name\nuint32 offset\nuint8 datatype\nuint32 count\n")

_DEFINITIONS = {
    IMAGE: "std_msgs/Header header\nuint32 height\nuint32 width\nstring encoding\nuint8 is_bigendian\n"
           "uint32 step\nuint8[] data\n",
    CAMERA_INFO: "std_msgs/Header header\nuint32 height\nuint32 width\nstring distortion_model\nfloat64[] d\n"
                 "float64[9] k\nfloat64[9] r\nfloat64[12] p\nuint32 binning_x\nuint32 binning_y\n"
                 "sensor_msgs/RegionOfInterest roi\n",
    POINT_CLOUD2: "std_msgs/Header header\nuint32 height\nuint32 width\nsensor_msgs/PointField[] fields\n"
                  "bool is_bigendian\nuint32 point_step\nuint32 row_step\nuint8[] data\nbool is_dense\n",
    RAW_FRAME: (
        "# One raw frame as the driver hands it out (start(RAW)) with the state its depth depends on,\n"
        "# so that the depth can be computed again.\n"
        "std_msgs/Header header\n"
        "# Frame number given by the recorder; frames it had to drop leave gaps.\n"
        "uint32 sequence\n"
        "# The driver's frame timestamp: ms of the monotonic clock (kit) or of the V4L2 buffer clock.\n"
        "uint64 sensor_timestamp\n"
        "# HQVGA: the four decoded phase planes interleaved by rows (240 x 720);\n"
        "# VGA: the sensor frame as the depth engine receives it (width x raw rows).\n"
        "string device_type\n"
        "# Controls in force: RANGE (mm) and MODE (TofWorkMode value; VGA only, else -1).\n"
        "int32 range\n"
        "int32 mode\n"
        "uint32 height\n"
        "uint32 width\n"
        "# height x width little-endian int16 samples, row-major.\n"
        "uint8[] data\n"),
}

_DEPENDENCIES = {
    IMAGE: ["std_msgs/Header", "builtin_interfaces/Time"],
    CAMERA_INFO: ["std_msgs/Header", "builtin_interfaces/Time", "sensor_msgs/RegionOfInterest"],
    POINT_CLOUD2: ["std_msgs/Header", "builtin_interfaces/Time", "sensor_msgs/PointField"],
    RAW_FRAME: ["std_msgs/Header", "builtin_interfaces/Time"],
}
_DEPENDENCY_TEXT = {
    "std_msgs/Header": _HEADER,
    "builtin_interfaces/Time": _TIME,
    "sensor_msgs/RegionOfInterest": _ROI,
    "sensor_msgs/PointField": _POINT_FIELD,
}


def definition(name):
    """The ros2msg schema text of message `name`, with the definitions it depends on appended."""
    text = _DEFINITIONS[name]
    for dependency in _DEPENDENCIES[name]:
        text += _SEPARATOR + "MSG: " + dependency + "\n" + _DEPENDENCY_TEXT[dependency]
    return text


class _Cdr:
    """Little-endian CDR of the small fields; big arrays are appended as they stand."""

    def __init__(self):
        self.parts = [b"\x00\x01\x00\x00"]
        self.size = 0  # bytes after the encapsulation header, for the alignment

    def _align(self, n):
        pad = -self.size % n
        if pad:
            self.parts.append(b"\x00" * pad)
            self.size += pad

    def pack(self, fmt, *values):
        self._align(struct.calcsize("<" + fmt.lstrip("0123456789")[0]))
        data = struct.pack("<" + fmt, *values)
        self.parts.append(data)
        self.size += len(data)

    def string(self, text):
        data = text.encode("utf-8") + b"\x00"
        self.pack("I", len(data))
        self.parts.append(data)
        self.size += len(data)

    def header(self, stamp_ns, frame_id):
        sec, nanosec = divmod(int(stamp_ns), 1_000_000_000)
        self.pack("iI", sec, nanosec)
        self.string(frame_id)

    def octets(self, buffer):
        """uint8[]: a count and the bytes of `buffer` (anything with the buffer protocol)."""
        view = memoryview(buffer).cast("B")
        self.pack("I", view.nbytes)
        self.parts.append(view)
        self.size += view.nbytes

    def doubles(self, values, counted):
        values = [float(v) for v in values]
        if counted:
            self.pack("I", len(values))
        if values:
            self.pack(f"{len(values)}d", *values)

    def result(self, join):
        """The message as bytes, or (join False) as the list of buffers that make it up."""
        return b"".join(self.parts) if join else self.parts


# Pixel types of the images recorded: numpy type, encoding and bytes per pixel.
_ENCODINGS = {"32FC1": np.dtype("<f4"), "16UC1": np.dtype("<u2")}


def image(stamp_ns, frame_id, pixels, encoding, join=True):
    """sensor_msgs/Image of a 2-D array already in the encoding's pixel type."""
    height, width = pixels.shape
    dtype = _ENCODINGS[encoding]
    if pixels.dtype != dtype or not pixels.flags.c_contiguous:
        pixels = np.ascontiguousarray(pixels, dtype=dtype)
    cdr = _Cdr()
    cdr.header(stamp_ns, frame_id)
    cdr.pack("II", height, width)
    cdr.string(encoding)
    cdr.pack("B", 0)
    cdr.pack("I", width * dtype.itemsize)
    cdr.octets(pixels)
    return cdr.result(join)


def camera_info(stamp_ns, frame_id, intrinsics, join=True):
    """sensor_msgs/CameraInfo of Intrinsics: plumb_bob distortion, identity rectification, and the
    projection of the unrectified camera."""
    i = intrinsics
    cdr = _Cdr()
    cdr.header(stamp_ns, frame_id)
    cdr.pack("II", i.height, i.width)
    cdr.string("plumb_bob")
    cdr.doubles(i.distortion, counted=True)
    cdr.doubles([i.fx, 0, i.cx, 0, i.fy, i.cy, 0, 0, 1], counted=False)
    cdr.doubles([1, 0, 0, 0, 1, 0, 0, 0, 1], counted=False)
    cdr.doubles([i.fx, 0, i.cx, 0, 0, i.fy, i.cy, 0, 0, 0, 1, 0], counted=False)
    cdr.pack("II", 0, 0)
    cdr.pack("IIIIB", 0, 0, 0, 0, 0)
    return cdr.result(join)


_FLOAT32 = 7
_CLOUD_FIELDS = (("x", 0), ("y", 4), ("z", 8), ("intensity", 12))


def point_cloud2(stamp_ns, frame_id, points, intensity, join=True):
    """sensor_msgs/PointCloud2 of an organised (H, W, 3) cloud in metres with an intensity per point;
    points without depth are NaN, so the cloud is not dense."""
    height, width = points.shape[:2]
    packed = np.empty((height, width, 4), dtype="<f4")
    packed[..., :3] = points
    packed[..., 3] = intensity
    cdr = _Cdr()
    cdr.header(stamp_ns, frame_id)
    cdr.pack("II", height, width)
    cdr.pack("I", len(_CLOUD_FIELDS))
    for name, offset in _CLOUD_FIELDS:
        cdr.string(name)
        cdr.pack("I", offset)
        cdr.pack("B", _FLOAT32)
        cdr.pack("I", 1)
    cdr.pack("B", 0)
    cdr.pack("II", 16, 16 * width)
    cdr.octets(packed)
    cdr.pack("B", 0)
    return cdr.result(join)


def raw_frame(stamp_ns, frame_id, sequence, sensor_timestamp, device_type, range_mm, mode, raw, join=True):
    """zentrox_depth_msgs/RawFrame of a raw frame (2-D int16 array)."""
    height, width = raw.shape
    samples = np.ascontiguousarray(raw, dtype="<i2")
    cdr = _Cdr()
    cdr.header(stamp_ns, frame_id)
    cdr.pack("I", sequence & 0xFFFFFFFF)
    cdr.pack("Q", sensor_timestamp)
    cdr.string(device_type)
    cdr.pack("ii", range_mm, mode)
    cdr.pack("II", height, width)
    cdr.octets(samples)
    return cdr.result(join)
