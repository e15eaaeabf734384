"""The zentrox-depth command as installed: info, streaming with a picture, and its failures."""

import json
import shutil
import subprocess
import sys

import numpy as np
import pytest

from zentrox_depth import image, png


def run(args, cwd, timeout=120):
    tool = shutil.which("zentrox-depth") or [sys.executable, "-m", "zentrox_depth"]
    command = ([tool] if isinstance(tool, str) else tool) + args
    return subprocess.run(command, capture_output=True, text=True, cwd=cwd, timeout=timeout)


def test_console_script_is_installed():
    assert shutil.which("zentrox-depth") is not None or pytest.fail("zentrox-depth is not on PATH")


def test_info_reports_board_camera_and_device(tmp_path):
    result = run(["info"], tmp_path)
    assert result.returncode == 0, result.stderr
    fields = dict(line.split(":", 1) for line in result.stdout.strip().splitlines())
    assert set(fields) == {"platform", "camera", "connection", "sensor", "device type"}
    assert fields["device type"].strip() == "HQVGA"
    assert fields["connection"].strip() == "USB, index 0"
    assert fields["sensor"].strip().startswith("240 x 180")


def test_stream_prints_the_rate_and_writes_the_picture(tmp_path):
    result = run(["stream", "--frames", "12", "--png", "depth.png"], tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.strip().splitlines()
    progress = [l for l in lines if l.startswith("frame ")]
    assert progress and progress[-1].startswith("frame 12/12") and " fps " in progress[-1]
    assert "depth min" in progress[-1] and " mm" in progress[-1]
    assert any(l.startswith("12 frames in ") and l.endswith(" fps") for l in lines)
    picture = png.decode_rgb((tmp_path / "depth.png").read_bytes())
    assert picture.shape[0] >= 360 and picture.shape[1] >= 2 * 480
    # The depth half is in colour, the amplitude half grey.
    depth_half = picture[40:360, 8:488].astype(int)
    amp_half = picture[40:360, 496:976].astype(int)
    assert np.any(depth_half[..., 0] != depth_half[..., 2])
    assert np.all(amp_half[..., 0] == amp_half[..., 1]) and np.all(amp_half[..., 1] == amp_half[..., 2])


@pytest.mark.parametrize("args, words", [
    (["stream", "--csi", "97"], "cannot open the camera (CSI module /dev/video97)"),
    (["info", "--csi", "97"], "cannot open the camera (CSI module /dev/video97)"),
    (["stream", "--config", "missing.cfg"], "cannot open the camera (USB kit 0 with missing.cfg)"),
])
def test_failures_end_with_one_line_and_a_non_zero_status(tmp_path, args, words):
    result = run(args, tmp_path)
    assert result.returncode != 0
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith("zentrox-depth: ") and words in last
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize("fault, words", [
    ("fail_open", "cannot open the camera (USB kit 0 with kit.json)"),
    ("fail_start", "cannot start the camera (USB kit 0 with kit.json)"),
])
def test_kit_faults_end_with_one_line_and_a_non_zero_status(tmp_path, fault, words):
    (tmp_path / "kit.json").write_text(json.dumps({"faults": {fault: True}}))
    result = run(["stream", "--config", "kit.json", "-n", "3"], tmp_path)
    assert result.returncode == 1
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith("zentrox-depth: ") and words in last
    assert "Traceback" not in result.stderr


def test_png_writer_round_trip():
    rng = np.random.default_rng(3)
    picture = rng.integers(0, 256, size=(7, 5, 3), dtype=np.uint8)
    np.testing.assert_array_equal(png.decode_rgb(png.encode_rgb(picture)), picture)
    with pytest.raises(ValueError):
        png.encode_rgb(np.zeros((4, 4), dtype=np.uint8))


def test_colour_bar_labels_span_the_depth_range():
    depth = np.linspace(480, 2010, 240 * 180, dtype=np.float32).reshape(180, 240)
    depth[0, :10] = 0  # invalid pixels are not part of the range, and stay black
    low, high = image.depth_range(depth)
    assert low <= 500 and high >= 2000 and low % 100 == 0 and high % 100 == 0
    picture = image.compose(depth, np.ones_like(depth))
    assert np.all(picture[22:24, 8:28] == 0)
    assert image.turbo(np.array([0.0]))[0].tolist() != image.turbo(np.array([1.0]))[0].tolist()
