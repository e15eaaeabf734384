"""The viewer's server without a browser: what it serves and refuses, the checks of every request,
the frames it sends, snapshots, and the command itself."""

import http.client
import io
import os
import re
import signal
import subprocess
import sys

import numpy as np
import pytest

from zentrox_depth import image, png, recordings
from zentrox_depth.viewer import protocol
from viewer_kit import Page, kit_viewer, truth

CHOICES = {"range": [2000, 4000], "frame_rate": True, "record": ["bin"]}


@pytest.fixture(scope="module")
def viewer(tmp_path_factory):
    with kit_viewer(tmp_path_factory.mktemp("viewer")) as v:
        yield v


@pytest.mark.parametrize("request_, refusal", [
    ({"type": "range", "value": 2000}, None),
    ({"type": "range", "value": 3000}, "range is one of 2000, 4000"),
    ({"type": "range", "value": True}, "range is one of"),
    ({"type": "frame_rate", "value": 0}, "from 1 to 1000"),
    ({"type": "frame_rate", "value": 12.5}, "whole number"),
    ({"type": "skip", "skip": 1, "loop": 3}, None),
    ({"type": "skip", "skip": 3, "loop": 3}, "from 0 to 2"),
    ({"type": "skip", "skip": 0, "loop": 256}, "from 1 to 255"),
    ({"type": "filters", "value": {"spatial": {"enabled": True, "radius": 9}}}, "from 1 to 7"),
    ({"type": "filters", "value": {"spatial": {"enabled": 1}}}, "true or false"),
    ({"type": "filters", "value": {"temporal": {"alpha": float("nan")}}}, "number from"),
    ({"type": "filters", "value": {"temporal": {"beta": 1}}}, "no parameter 'beta'"),
    ({"type": "filters", "value": {"median": {}}}, "no filter 'median'"),
    ({"type": "record", "action": "start", "format": "mcap"}, "format is one of bin"),
    ({"type": "record", "action": "start", "format": "../../x"}, "format is one of bin"),
    ({"type": "pause", "value": "yes"}, "true or false"),
    ({"type": "shell", "value": "rm"}, "unknown request"),
    (["range", 2000], "JSON object"),
])
def test_every_request_is_checked(request_, refusal):
    if refusal is None:
        assert protocol.check_request(request_, CHOICES)["type"] == request_["type"]
    else:
        with pytest.raises(protocol.Refused, match=refusal):
            protocol.check_request(request_, CHOICES)


def get(port, path, headers=None):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection.request("GET", path, headers=headers or {})
    response = connection.getresponse()
    return response.status, response.read(), response


@pytest.mark.parametrize("path, host", [
    ("/../pyproject.toml", None), ("/%2e%2e/cli.py", None), ("/%2e%2e%2fserver.py", None),
    ("/assets/viewer.js", None), ("/assets/../server.py", None), ("/viewer.js/../../server.py", None),
    ("/server.py", None), ("//etc/passwd", None), ("/snapshot/..%2f..%2fserver.py", None),
    ("/snapshot/../../../etc/passwd", None), ("/snapshot/%2e%2e", None), ("/snapshot/depth.exe", None),
    ("/", "attacker.example:{port}"), ("/ws", "127.0.0.1:1"),
])
def test_nothing_but_the_page_and_snapshots_is_served(viewer, path, host):
    headers = {"Host": host.format(port=viewer.port)} if host else {}
    status, body, _ = get(viewer.port, path, headers)
    assert status in ((421,) if host else (404,)), (path, status)
    assert b"import" not in body and b"root:" not in body


def test_the_page_and_its_files_are_served_as_shipped(viewer):
    for path, (body, kind) in viewer.assets.items():
        status, served, response = get(viewer.port, path)
        assert (status, served, response.getheader("Content-Type")) == (200, body, kind)
        assert "default-src 'self'" in response.getheader("Content-Security-Policy")
    # Nothing on the page comes from elsewhere.
    page = b"".join(body for body, _ in viewer.assets.values())
    assert b"http://" not in page and b"https://" not in page and b"//cdn" not in page
    # The page loads every file the server serves, and nothing else.
    loaded = re.findall(rb'(?:src|href)="([^"]+)"', viewer.assets["/"][0])
    assert {"/" + name.decode() for name in loaded if name != b"data:,"} == set(viewer.assets) - {"/"}


@pytest.mark.parametrize("origin, status", [
    ("own", 101), (None, 403), ("null", 403), ("http://attacker.example", 403),
    ("http://127.0.0.1:1", 403), ("http://localhost.attacker.example", 403),
])
def test_the_websocket_serves_its_own_page_only(viewer, origin, status):
    page = Page(viewer.port, origin=origin)
    try:
        assert page.status == status
        if status == 101:
            assert page.until(lambda k, c: k == "text")["type"] == "hello"
    finally:
        page.close()


def test_a_token_is_needed_for_everything(tmp_path):
    with kit_viewer(tmp_path, token=True) as v:
        assert v.token and v.url.endswith("?token=" + v.token)
        for path in ("/", "/viewer.js", "/snapshot/depth.npy", "/?token=wrong", f"/?token={v.token[:-1]}"):
            assert get(v.port, path)[0] == 403, path
        status, _, response = get(v.port, f"/?token={v.token}")
        assert status == 200
        cookie = response.getheader("Set-Cookie").split(";")[0]
        assert "HttpOnly" in response.getheader("Set-Cookie")
        assert get(v.port, "/viewer.js", {"Cookie": cookie})[0] == 200
        assert Page(v.port).status == 403
        page = Page(v.port, path=f"/ws?token={v.token}")
        assert page.status == 101
        page.close()


def test_frames_carry_the_scene_and_controls_reach_the_camera(viewer):
    page = Page(viewer.port)
    try:
        hello = page.until(lambda k, c: k == "text" and c["type"] == "hello")
        assert hello["choices"]["range"] == [2000, 4000] and hello["device_type"] == "HQVGA"
        rays = page.until(lambda k, c: k == "binary" and protocol.parse_header(c)["kind"] == protocol.RAYS)
        rays = np.frombuffer(rays, "<f4", offset=protocol.HEADER.size).reshape(180, 240, 3)
        assert np.allclose(np.linalg.norm(rays, axis=-1), 1, atol=1e-5)

        def depth_at(range_mm, flags=0):
            def fits(kind, content):
                if kind != "binary":
                    return False
                h = protocol.parse_header(content)
                return h["kind"] == protocol.FRAME and h["flags"] & protocol.FILTERED == flags
            message = page.until(fits)
            h = protocol.parse_header(message)
            assert (h["width"], h["height"], h["planes"], len(message)) == (240, 180, 3, 48 + 3 * 4 * 240 * 180)
            planes = np.frombuffer(message, "<f4", offset=48).reshape(3, 180, 240)
            return planes, h

        distance, reliable = truth()
        planes, h = depth_at(4000)
        assert h["timestamp_ms"] > 0 and h["sent_ms"] >= h["timestamp_ms"] - 1
        assert np.abs(planes[0] - distance)[reliable].max() < 3
        # A refused request changes nothing; an accepted one reaches the camera.
        assert not page.reply({"type": "range", "value": 3000, "id": 1})["ok"]
        assert page.reply({"type": "range", "value": 2000, "id": 2})["ok"]
        for _ in range(3):
            planes, _ = depth_at(2000)  # a frame captured before the switch may still be on its way
        wrapped = np.mod(distance, 2000.0)
        close = reliable & (np.abs(wrapped - 1000) < 900)  # away from the wrap itself
        assert np.abs(planes[0] - wrapped)[close].max() < 3
        assert page.reply({"type": "range", "value": 4000, "id": 3})["ok"]
        # Filters run on the server: a confidence threshold above every amplitude leaves no depth.
        reply = page.reply({"type": "filters", "id": 4, "value": {"confidence": {"enabled": True,
                                                                               "min_amplitude": 1e8}}})
        assert reply["ok"] and "confidence" in reply["message"]
        planes, _ = depth_at(4000, protocol.FILTERED)
        assert not planes[0].any() and planes[1].any()
        assert page.reply({"type": "filters", "id": 5, "value": {}})["ok"]
        assert not page.reply({"type": "frame_rate", "value": 15, "id": 6})["ok"]  # the kit refuses it
        assert page.reply({"type": "skip", "skip": 0, "loop": 1, "id": 7})["ok"]
    finally:
        page.close()


def test_a_page_that_stops_reading_holds_up_nothing(viewer):
    stalled = Page(viewer.port, receive_buffer=4096)
    reader = Page(viewer.port)
    try:
        client = viewer.clients[stalled.until(lambda k, c: k == "text" and c["type"] == "hello")["client"]]
        first = viewer.camera_loop.sequence
        sequences = []
        while len(sequences) < 45:
            kind, content = reader.recv()
            if kind == "binary" and protocol.parse_header(content)["kind"] == protocol.FRAME:
                sequences.append(protocol.parse_header(content)["sequence"])
        # The reading page had every frame the camera took, in order, while the stalled one took a
        # few; the server holds at most the frame being sent to it and the newest one.
        assert sequences == list(range(sequences[0], sequences[0] + 45))
        assert viewer.camera_loop.sequence - first >= 45
        assert client.sent < 20 and client.replaced > 20
        assert client.transport.get_write_buffer_size() <= 2 * (48 + 12 * 240 * 180)
    finally:
        stalled.close()
        reader.close()


@pytest.mark.parametrize("fmt, kind", [("mcap", protocol.FRAME), ("bin", protocol.RAW)])
def test_a_recording_from_a_page_holds_the_scene(viewer, fmt, kind):
    page = Page(viewer.port)
    is_frame = lambda wanted: lambda k, c: k == "binary" and (protocol.parse_header(c)["kind"], protocol.parse_header(
        c)["flags"] & protocol.RECORDING) == wanted
    try:
        assert fmt in page.until(lambda k, c: k == "text" and c["type"] == "hello")["choices"]["record"]
        started = page.reply({"type": "record", "action": "start", "format": fmt, "id": 1})
        assert started["ok"] and os.path.dirname(started["file"]) == viewer.camera_loop.record_dir
        for _ in range(10):
            page.until(is_frame((kind, protocol.RECORDING)))
        assert not page.reply({"type": "record", "action": "start", "format": fmt, "id": 2})["ok"]
        stopped = page.reply({"type": "record", "action": "stop", "id": 3})
        assert stopped["ok"] and stopped["file"] == started["file"]
        page.until(is_frame((protocol.FRAME, 0)))  # live depth again
    finally:
        page.close()
    frames = list(recordings.frames(started["file"]))
    assert len(frames) == int(stopped["message"].split()[1]) >= 10
    distance, reliable = truth()
    assert max(np.abs(f.depth - distance)[reliable].max() for f in frames) < 3


def test_snapshots_are_the_shown_frame(viewer):
    page = Page(viewer.port)
    try:
        client = page.until(lambda k, c: k == "text" and c["type"] == "hello")["client"]
        page.until(lambda k, c: k == "binary" and protocol.parse_header(c)["kind"] == protocol.FRAME)
        assert page.reply({"type": "pause", "value": True, "id": 1})["ok"]
        shown = viewer.clients[client].shown
        got = {}
        for name in ("depth.npy", "amplitude.npy", "cloud.ply", "depth.png"):
            status, got[name], response = get(viewer.port, f"/snapshot/{name}?client={client}&low=1000&high=2500")
            assert status == 200 and "attachment" in response.getheader("Content-Disposition")
        depth = np.load(io.BytesIO(got["depth.npy"]))
        assert np.array_equal(depth, shown.depth) and np.array_equal(np.load(io.BytesIO(got["amplitude.npy"])),
                                                                     shown.amplitude)
        header, _ = got["cloud.ply"].split(b"end_header\n", 1)
        assert f"element vertex {np.count_nonzero(depth > 0)}".encode() in header
        picture = png.decode_rgb(got["depth.png"])
        assert np.array_equal(picture, image.compose(shown.depth, shown.amplitude, depth_mm=(1000.0, 2500.0)))
    finally:
        page.close()


def test_the_command_serves_until_interrupted(tmp_path):
    command = [sys.executable, "-m", "zentrox_depth", "view", "--no-browser", "--port", "0"]
    proc = subprocess.Popen(command, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        assert line.startswith("viewer of USB kit 0 at http://127.0.0.1:"), line
        port = int(line.rsplit(":", 1)[1].strip().strip("/"))
        assert get(port, "/")[0] == 200
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
        assert proc.returncode == 0, err
        assert out.strip().endswith("viewer closed")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    result = subprocess.run(command[:-2] + ["--csi", "0", os.devnull], capture_output=True, text=True, timeout=60)
    assert result.returncode != 0 and "not more than one" in result.stderr
