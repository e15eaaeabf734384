"""The two calibration file formats, without a YAML library: OpenCV FileStorage YAML ("%YAML:1.0",
camera_matrix and distortion_coefficients as !!opencv-matrix) and ROS camera_info YAML (as the
camera_calibration_parsers write it). The reader takes the subset of YAML both use: block mappings
by indentation, flow sequences (over several lines too), numbers, plain and quoted strings, tags and
comments."""

import re

_TAG = re.compile(r"^!!?[\w.:/-]+\s*")


def _scalar(text):
    text = text.strip()
    if len(text) >= 2 and text[0] == text[-1] and text[0] in "'\"":
        return text[1:-1]
    try:
        return int(text)
    except ValueError:
        pass
    try:
        return float(text)
    except ValueError:
        return text


def _value(text):
    text = _TAG.sub("", text.strip())
    if text.startswith("["):
        if not text.endswith("]"):
            raise ValueError("a flow sequence is not closed")
        body = text[1:-1].strip()
        return [_scalar(item) for item in body.split(",")] if body else []
    return _scalar(text)


def _strip_comment(line):
    # A '#' starts a comment outside quotes when it begins the line or follows white space.
    quote = None
    for i, ch in enumerate(line):
        if quote:
            if ch == quote:
                quote = None
        elif ch in "'\"":
            quote = ch
        elif ch == "#" and (i == 0 or line[i - 1].isspace()):
            return line[:i]
    return line


def parse(text):
    """The nested dictionaries of a YAML text in the subset above."""
    root = {}
    stack = [(-1, root)]  # (indent, mapping)
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        raw = _strip_comment(lines[i]).rstrip()
        i += 1
        if not raw.strip() or raw.startswith("%") or raw.strip() in ("---", "..."):
            continue
        indent = len(raw) - len(raw.lstrip(" "))
        key, sep, rest = raw.strip().partition(":")
        if not sep or not key:
            raise ValueError(f"line {i}: expected 'key: value'")
        key = _scalar(key)
        rest = rest.strip()
        # A flow sequence may continue on the following lines until its bracket closes.
        while rest.count("[") > rest.count("]") and i < len(lines):
            rest += " " + _strip_comment(lines[i]).strip()
            i += 1
        while stack[-1][0] >= indent:
            stack.pop()
        parent = stack[-1][1]
        if _TAG.sub("", rest) == "":
            child = {}
            parent[key] = child
            stack.append((indent, child))
        else:
            parent[key] = _value(rest)
    return root


def _numbers(node, name, count=None):
    data = node.get("data") if isinstance(node, dict) else node
    if not isinstance(data, list) or not all(isinstance(x, (int, float)) for x in data):
        raise ValueError(f"{name} holds no list of numbers")
    if count is not None and len(data) != count:
        raise ValueError(f"{name} holds {len(data)} numbers, not {count}")
    return [float(x) for x in data]


def read(path):
    """The Intrinsics arguments of an OpenCV or ROS calibration file."""
    with open(path, encoding="utf-8") as f:
        doc = parse(f.read())
    if "camera_matrix" not in doc:
        raise ValueError(f"{path}: no camera_matrix")
    k = _numbers(doc["camera_matrix"], "camera_matrix", 9)
    if k[1] != 0 or k[3] != 0 or k[6] != 0 or k[7] != 0 or k[8] != 1:
        raise ValueError(f"{path}: camera_matrix is not [fx 0 cx; 0 fy cy; 0 0 1]")
    model = doc.get("distortion_model", "plumb_bob")
    if model != "plumb_bob":
        raise ValueError(f"{path}: distortion model {model!r} is not plumb_bob (k1, k2, p1, p2, k3)")
    distortion = _numbers(doc.get("distortion_coefficients", [0.0] * 5), "distortion_coefficients")
    if len(distortion) < 4 or any(distortion[5:]):
        raise ValueError(f"{path}: distortion_coefficients must be k1, k2, p1, p2 and optionally k3")
    distortion = (distortion + [0.0])[:5]
    width, height = doc.get("image_width"), doc.get("image_height")
    if not isinstance(width, int) or not isinstance(height, int):
        raise ValueError(f"{path}: image_width and image_height are missing")
    return dict(width=width, height=height, fx=k[0], fy=k[4], cx=k[2], cy=k[5], distortion=tuple(distortion))


def _matrix(name, rows, cols, data, opencv):
    numbers = ", ".join(repr(float(x)) for x in data)
    if opencv:
        return f"{name}: !!opencv-matrix\n   rows: {rows}\n   cols: {cols}\n   dt: d\n   data: [ {numbers} ]\n"
    return f"{name}:\n  rows: {rows}\n  cols: {cols}\n  data: [{numbers}]\n"


def write(path, intrinsics, format="opencv", camera_name="zentrox"):
    i = intrinsics
    k = [i.fx, 0.0, i.cx, 0.0, i.fy, i.cy, 0.0, 0.0, 1.0]
    if format == "opencv":
        text = ("%YAML:1.0\n---\n"
                f"image_width: {i.width}\nimage_height: {i.height}\n" + _matrix("camera_matrix", 3, 3, k, True) +
                _matrix("distortion_coefficients", 1, 5, i.distortion, True))
    elif format == "ros":
        if not re.fullmatch(r"[\w.-]+", camera_name):
            raise ValueError("the camera name may hold letters, digits, '_', '.' and '-' only")
        p = [i.fx, 0.0, i.cx, 0.0, 0.0, i.fy, i.cy, 0.0, 0.0, 0.0, 1.0, 0.0]
        text = (f"image_width: {i.width}\nimage_height: {i.height}\ncamera_name: {camera_name}\n" +
                _matrix("camera_matrix", 3, 3, k, False) + "distortion_model: plumb_bob\n" +
                _matrix("distortion_coefficients", 1, 5, i.distortion, False) +
                _matrix("rectification_matrix", 3, 3, [1, 0, 0, 0, 1, 0, 0, 0, 1], False) +
                _matrix("projection_matrix", 3, 4, p, False))
    else:
        raise ValueError(f"unknown format {format!r}: 'opencv' or 'ros'")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
