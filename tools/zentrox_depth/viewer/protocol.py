"""What travels over the viewer's WebSocket.

Binary messages carry pixels: a 48-byte little-endian header, then the planes, each width x height
values, row by row. Text messages are JSON objects with a "type": the page's requests and the
server's replies, state and clock answers. Every request from a page is checked here before anything
reaches the camera; a request that does not fit is refused with the reason and changes nothing."""

import math
import struct

MAGIC = b"ZXV1"
HEADER = struct.Struct("<4sHHIHHddIHHII")
assert HEADER.size == 48

# Message kinds.
FRAME = 1  # depth, amplitude and confidence as float32 (mm, counts, counts)
RAYS = 2  # the unit ray of every pixel as float32 x, y, z (the point cloud is depth x ray)
RAW = 3  # one uint16 plane: the raw frame while a raw recording runs

# Plane sample types.
FLOAT32 = 0
UINT16 = 1

# Flags of a frame.
FILTERED = 1
RECORDING = 2

# Requests are small; anything longer is not one of ours.
MAX_REQUEST_BYTES = 16384

FILTER_NAMES = ("confidence", "flying_pixel", "spatial", "temporal")

# Parameters of each filter: (name, kind, low, high, default). The bounds are those the filters take.
FILTER_PARAMETERS = {
    "confidence": [("min_amplitude", float, 0.0, 1e9, 30.0)],
    "flying_pixel": [("relative_gap", float, 0.0, 10.0, 0.035), ("min_gap_mm", float, 0.0, 1e6, 30.0)],
    "spatial": [("radius", int, 1, 7, 2), ("sigma_px", float, 0.01, 100.0, 1.5), ("edge_mm", float, 0.0, 1e6, 50.0),
                ("edge_relative", float, 0.0, 10.0, 0.04)],
    "temporal": [("alpha", float, 0.001, 1.0, 0.1), ("reset_mm", float, 0.0, 1e6, 100.0),
                 ("reset_relative", float, 0.0, 10.0, 0.05), ("persistence", int, 0, 65535, 3)],
}

SKIP_LOOP_MAX = 255
FRAME_RATE_MAX = 1000


class Refused(ValueError):
    """A request that does not fit; its text says why."""


def header(kind, sequence, width, height, timestamp_ms, sent_ms, lost, planes, sample_type, flags=0):
    return HEADER.pack(MAGIC, kind, HEADER.size, sequence & 0xFFFFFFFF, width, height, float(timestamp_ms),
                       float(sent_ms), min(int(lost), 0xFFFFFFFF), planes, sample_type, flags, 0)


def parse_header(data):
    """The header's fields as a dict (the tests and the benchmark read messages with it)."""
    (magic, kind, size, sequence, width, height, timestamp_ms, sent_ms, lost, planes, sample_type, flags,
     _) = HEADER.unpack_from(data)
    if magic != MAGIC or size != HEADER.size:
        raise ValueError("not a viewer message")
    return {"kind": kind, "sequence": sequence, "width": width, "height": height, "timestamp_ms": timestamp_ms,
            "sent_ms": sent_ms, "lost": lost, "planes": planes, "sample_type": sample_type, "flags": flags}


def _whole(value, name, low, high):
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise Refused(f"{name} must be a whole number from {low} to {high} (found {value!r})")
    return value


def _number(value, name, low, high):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) \
            or not low <= value <= high:
        raise Refused(f"{name} must be a number from {low:g} to {high:g} (found {value!r})")
    return float(value)


def default_filters():
    return {name: dict({"enabled": False}, **{p: d for p, _, _, _, d in FILTER_PARAMETERS[name]})
            for name in FILTER_NAMES}


def check_filters(value):
    """The complete filter settings of a request: every filter named, each with "enabled" and any of
    its parameters (missing ones take their defaults)."""
    if not isinstance(value, dict):
        raise Refused("filters must be an object")
    unknown = set(value) - set(FILTER_NAMES)
    if unknown:
        raise Refused(f"no filter {sorted(unknown)[0]!r}")
    settings = default_filters()
    for name, given in value.items():
        if not isinstance(given, dict):
            raise Refused(f"filter {name!r} must be an object")
        known = {p for p, *_ in FILTER_PARAMETERS[name]}
        for key, v in given.items():
            if key == "enabled":
                if not isinstance(v, bool):
                    raise Refused(f"filter {name!r}: enabled must be true or false")
                settings[name]["enabled"] = v
            elif key in known:
                _, kind, low, high, _ = next(p for p in FILTER_PARAMETERS[name] if p[0] == key)
                check = _whole if kind is int else _number
                settings[name][key] = check(v, f"{name} {key}", low, high)
            else:
                raise Refused(f"filter {name!r} has no parameter {key!r}")
    return settings


def check_request(message, choices):
    """The checked request of a page (a dict from its JSON), or Refused.

    choices: what the camera offers, {"range": [...], "frame_rate": bool, "record": [...]}.
    Returned requests are normalised: {"type": ..., "value": ...} with values of the right type."""
    if not isinstance(message, dict):
        raise Refused("a request is a JSON object")
    kind = message.get("type")
    if kind == "taken":
        return {"type": "taken", "sequence": _whole(message.get("sequence"), "sequence", 0, 0xFFFFFFFF)}
    if kind == "ping":
        return {"type": "ping", "t": _number(message.get("t"), "t", -1e300, 1e300)}
    if kind == "pause":
        if not isinstance(message.get("value"), bool):
            raise Refused("pause must be true or false")
        return {"type": "pause", "value": message["value"]}
    if kind == "range":
        value = message.get("value")
        if isinstance(value, bool) or value not in choices.get("range", []):
            offered = ", ".join(str(v) for v in choices.get("range", [])) or "none"
            raise Refused(f"the range is one of {offered} mm (found {value!r})")
        return {"type": "range", "value": int(value)}
    if kind == "frame_rate":
        if not choices.get("frame_rate"):
            raise Refused("this camera's frame rate cannot be set")
        return {"type": "frame_rate", "value": _whole(message.get("value"), "the frame rate", 1, FRAME_RATE_MAX)}
    if kind == "skip":
        loop = _whole(message.get("loop"), "the skip cycle", 1, SKIP_LOOP_MAX)
        skip = _whole(message.get("skip"), "the frames skipped", 0, loop - 1)
        return {"type": "skip", "skip": skip, "loop": loop}
    if kind == "filters":
        return {"type": "filters", "value": check_filters(message.get("value"))}
    if kind == "record":
        action = message.get("action")
        if action == "stop":
            return {"type": "record", "action": "stop"}
        if action == "start":
            fmt = message.get("format")
            if fmt not in choices.get("record", []):
                offered = ", ".join(choices.get("record", [])) or "none"
                raise Refused(f"the recording format is one of {offered} (found {fmt!r})")
            return {"type": "record", "action": "start", "format": fmt}
        raise Refused("record takes action start or stop")
    raise Refused(f"unknown request {kind!r}")
