"""What the viewer's tests share: a viewer of the emulated kit run in this process, a plain WebSocket
client over a socket (so that a test controls exactly what is sent and when it is read), and the
inverse of the page's depth colour map."""

import base64
import contextlib
import json
import os
import socket
import struct

import numpy as np

import scene
import ZentroxDepthCamera as zdc
from zentrox_depth import image
from zentrox_depth.intrinsics import Intrinsics
from zentrox_depth.viewer.server import Viewer


@contextlib.contextmanager
def kit_viewer(directory, token=None, **config):
    """A running Viewer of the kit with scene.SCENE (noise 0, 30 frames/s unless given)."""
    config = dict(dict(noise=0.0, frame_rate=30), **config)
    cam = zdc.ZentroxCamera()
    assert cam.openWithFile(scene.kit_config(directory / "kit.json", **config)) == zdc.TOFErrorCode.ZentroxSuccess
    viewer = Viewer(cam, lambda w, h: Intrinsics.from_fov(w, h, 70.0), port=0, token=token,
                    record_dir=str(directory), source="emulated kit")
    with viewer:
        yield viewer


class Page:
    """A WebSocket client as a page is one: connects with an Origin, sends JSON, reads messages."""

    def __init__(self, port, origin="own", path="/ws", receive_buffer=None, host=None):
        self.sock = socket.socket()
        if receive_buffer:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.sock.settimeout(10)
        self.sock.connect(("127.0.0.1", port))
        host = host or f"127.0.0.1:{port}"
        lines = [f"GET {path} HTTP/1.1", f"Host: {host}", "Upgrade: websocket", "Connection: Upgrade",
                 f"Sec-WebSocket-Key: {base64.b64encode(os.urandom(16)).decode()}", "Sec-WebSocket-Version: 13"]
        if origin == "own":
            origin = f"http://{host}"
        if origin is not None:
            lines.append(f"Origin: {origin}")
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(1)
            if not chunk:
                break
            head += chunk
        self.status = int(head.split(b" ", 2)[1]) if head else 0

    def _read(self, n):
        data = bytearray()
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("closed")
            data += chunk
        return bytes(data)

    def recv(self):
        """(kind, content): "text" with the decoded JSON, "binary" with the bytes, or "close"."""
        first, second = self._read(2)
        length = second & 0x7F
        if length == 126:
            length = struct.unpack(">H", self._read(2))[0]
        elif length == 127:
            length = struct.unpack(">Q", self._read(8))[0]
        payload = self._read(length)
        opcode = first & 0x0F
        if opcode == 1:
            return "text", json.loads(payload)
        if opcode == 2:
            if payload[4:6] != b"\x02\x00":  # a frame, not the ray table: taken, as a page says
                self.send({"type": "taken", "sequence": struct.unpack_from("<I", payload, 8)[0]})
            return "binary", payload
        if opcode == 8:
            return "close", payload
        return self.recv()  # ping, pong: not the test's business

    def send(self, message):
        data = json.dumps(message).encode() if not isinstance(message, bytes) else message
        mask = os.urandom(4)
        masked = (np.frombuffer(data, np.uint8) ^ np.resize(np.frombuffer(mask, np.uint8), len(data))).tobytes()
        opcode = 0x81 if not isinstance(message, bytes) else 0x82
        length = struct.pack(">BH", 0x80 | 126, len(data)) if len(data) >= 126 else bytes([0x80 | len(data)])
        self.sock.sendall(bytes([opcode]) + length + mask + masked)

    def until(self, test, limit=400):
        """The first message for which test(kind, content) is true."""
        for _ in range(limit):
            kind, content = self.recv()
            if test(kind, content):
                return content
        raise AssertionError("no such message")

    def reply(self, request):
        self.send(request)
        return self.until(lambda k, c: k == "text" and c.get("type") == "reply" and c.get("id") == request.get("id"))

    def close(self):
        self.sock.close()


# The page's colour map: 1024 steps of the turbo map, sampled at their centres (colours.js). A colour
# stands for the mean of the steps that have it.
_STEPS = {}
for _step, _rgb in enumerate(image.turbo((np.arange(1024) + 0.5) / 1024)):
    _STEPS.setdefault(tuple(int(c) for c in _rgb), []).append(_step)
_STEP_OF = {rgb: float(np.mean(steps)) for rgb, steps in _STEPS.items()}


def depth_of_colours(rgb, low, high, slack=0):
    """Depth in mm that the page's colours stand for; NaN for black and for colours not in the map.
    slack: colours up to this many steps per channel off the map (WebGL computes the map itself)
    stand for the nearest colour of the map."""
    rgb = np.asarray(rgb, dtype=int).reshape(-1, 3)
    unique, inverse = np.unique(rgb, axis=0, return_inverse=True)
    steps = np.array([_STEP_OF.get(tuple(p), np.nan) for p in unique.tolist()])
    if slack:
        lut = np.array(list(_STEP_OF.keys()))
        far = np.abs(unique[:, None, :] - lut[None, :, :]).max(axis=-1)
        nearest = far.argmin(axis=1)
        close = np.isnan(steps) & (far[np.arange(len(unique)), nearest] <= slack) & unique.any(axis=1)
        steps[close] = np.array(list(_STEP_OF.values()))[nearest[close]]
    return low + (steps[inverse.reshape(-1)] + 0.5) / 1024 * (high - low)


def truth(**camera):
    """Distances of scene.SCENE and where they are reliable (not next to a depth edge)."""
    distance = scene.trace(scene.SCENE, **camera)
    return distance, ~scene.edges(distance)
