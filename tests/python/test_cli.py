"""The zentrox-depth command as installed: info, streaming with a picture, and its failures."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from importlib import metadata

import numpy as np
import pytest

from zentrox_depth import image, png
from zentrox_depth.cli import LostFrames


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
    # One frame tells no rate: the first line leaves the column blank instead of showing 0.0 fps.
    assert progress[0].startswith("frame 1/12 ") and "fps" not in progress[0]
    assert all(re.search(r"  lost \d+  ", l) for l in progress)
    assert any(l.startswith("12 frames in ") and l.endswith(" fps") for l in lines)
    picture = png.decode_rgb((tmp_path / "depth.png").read_bytes())
    assert picture.shape[0] >= 360 and picture.shape[1] >= 2 * 480
    # The depth half is in colour, the amplitude half grey.
    depth_half = picture[40:360, 8:488].astype(int)
    amp_half = picture[40:360, 496:976].astype(int)
    assert np.any(depth_half[..., 0] != depth_half[..., 2])
    assert np.all(amp_half[..., 0] == amp_half[..., 1]) and np.all(amp_half[..., 1] == amp_half[..., 2])


def test_lost_frames_of_a_kit_that_loses_images_are_counted(tmp_path):
    # Every 20th image lost: one frame of every five (four images each) never arrives.
    (tmp_path / "kit.json").write_text(json.dumps({"faults": {"timeout_every": 20}}))
    out = run(["stream", "--config", "kit.json", "-n", "20"], tmp_path).stdout
    assert int(re.search(r"^frame 20/20 .* lost (\d+) ", out, re.M).group(1)) >= 3, out


def stamps(frames, fps=30, start=5000):
    return [start + int(i * 1000 / fps) for i in frames]


@pytest.mark.parametrize("timestamps, lost", [
    (stamps(range(40)), 0),
    (stamps([i for i in range(40) if i not in (17, 30)]), 2),
    (stamps([i for i in range(40) if i not in (20, 21, 22)]), 3),
    (stamps([0, 4] + list(range(5, 40))), 3),  # a gap before the period is known still counts
    (stamps(range(0, 80, 2)), 0),  # frames evenly dropped (15 fps): no gap beyond the period
    ([7000 + i // 4 for i in range(200)], 0),  # unpaced: several frames per millisecond
    (stamps(range(20)) + stamps(range(20)), 0),  # time going back (a new stream) is no loss
])
def test_lost_frame_count(timestamps, lost):
    counter = LostFrames()
    for t in timestamps:
        counter.add(t)
    assert counter.lost == lost


# Files made in the working directory: a dict is a kit configuration, "dir" a directory, "fifo" a FIFO.
FAILURES = [
    (["stream", "--csi", "97"], {}, "(CSI module /dev/video97): there is no video device /dev/video97", None),
    (["info", "--csi", "97"], {}, "(CSI module /dev/video97): there is no video device /dev/video97", None),
    (["stream", "--config", "missing.cfg"], {}, "open the camera (USB kit 0 with missing.cfg): no such file", None),
    (["stream", "--config", "k"], {"k": "dir"}, "(USB kit 0 with k): is a directory", None),
    (["stream", "--config", "k"], {"k": "fifo"}, "(USB kit 0 with k): not a regular file", None),
    (["stream", "--config", "k"], {"k": {"faults": {"fail_open": True}}}, "(USB kit 0 with k), see above", "open fails"),
    (["stream", "--config", "k"], {"k": "{not json"}, "(USB kit 0 with k), see above", "not valid JSON"),
    (["stream", "--config", "k"], {"k": {"faults": {"fail_start": True}}}, "cannot start the camera (USB kit 0 with k)",
     None),
    (["stream", "--timeout", "300", "--config", "k"], {"k": {"faults": {"timeout_every": 1}}},
     "no frame from the camera within 300 ms", None),
    (["stream", "--png", "nowhere/d.png"], {}, "cannot write the picture nowhere/d.png: there is no directory", None),
    (["stream", "--png", "k"], {"k": "dir"}, "cannot write the picture k: it is a directory", None),
]


@pytest.mark.parametrize("args, files, words, kit_says", FAILURES)
def test_failures_end_with_one_line_and_a_non_zero_status(tmp_path, args, files, words, kit_says):
    for name, content in files.items():
        if content == "dir":
            (tmp_path / name).mkdir()
        elif content == "fifo":
            os.mkfifo(tmp_path / name)
        else:
            (tmp_path / name).write_text(content if isinstance(content, str) else json.dumps(content))
    result = run(args + (["-n", "3"] if args[0] == "stream" else []), tmp_path)
    lines = result.stderr.strip().splitlines()
    assert result.returncode == 1 and lines[-1].startswith("zentrox-depth: ") and words in lines[-1], result.stderr
    assert "Traceback" not in result.stderr
    if kit_says:
        # The kit's own line says what is wrong; the command's line adds no status text to it.
        assert kit_says in lines[-2] and "Unknown error" not in result.stderr
    if "--png" in args:
        # Refused before the camera was opened: nothing streamed, the kit never spoke.
        assert "frame " not in result.stdout and len(lines) == 1


def test_version_is_the_package_version(tmp_path):
    result = run(["--version"], tmp_path)
    assert result.stdout.strip() == f"zentrox-depth {metadata.version('ZentroxDepthCamera')}", result.stderr


@pytest.mark.parametrize("gap", [0, 0.002, 0.02])
def test_second_ctrl_c_while_stopping_prints_no_traceback(tmp_path, gap):
    tool = shutil.which("zentrox-depth") or pytest.fail("zentrox-depth is not on PATH")
    # As from a terminal: SIGINT not ignored, whatever the test run inherited.
    proc = subprocess.Popen([tool, "stream"], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    assert proc.stdout.readline().startswith("frame 1 ")
    proc.send_signal(signal.SIGINT)
    time.sleep(gap)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 0 and "Traceback" not in err, err
    assert re.search(r"^\d+ frames in .* \(interrupted\)$", out, re.M), out


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


def test_package_version_is_the_one_pyproject_and_cmake_declare():
    import zentrox_depth
    import ZentroxDepthCamera
    root = os.path.join(os.path.dirname(__file__), "..", "..")
    with open(os.path.join(root, "pyproject.toml"), encoding="utf-8") as f:
        declared = re.search(r'^version = "([^"]+)"$', f.read(), re.M).group(1)
    with open(os.path.join(root, "CMakeLists.txt"), encoding="utf-8") as f:
        cmake = re.search(r"^project\(ZentroxDepthCamera VERSION (\S+)", f.read(), re.M).group(1)
    assert zentrox_depth.__version__ == declared == cmake
    # The extension module's own text is fixed and independent of the release.
    assert ZentroxDepthCamera.__version__ == "dev"


def expected_kernels():
    """The kernels the dispatch must choose here, from the CPU flags the kernel reports."""
    import platform
    if platform.machine() in ("aarch64", "arm64"):
        return "advsimd"
    with open("/proc/cpuinfo", encoding="utf-8") as f:
        flags = set(re.search(r"^flags\s*:(.*)$", f.read(), re.M).group(1).split())
    return "avx512" if "avx512f" in flags else "avx2" if {"avx2", "fma"} <= flags else "sse2"


def test_simd_report_names_the_kernels_this_cpu_gets(tmp_path, monkeypatch):
    monkeypatch.setenv("ZENTROX_SIMD_REPORT", "1")
    result = run(["stream", "-n", "2"], tmp_path)
    assert result.returncode == 0, result.stderr
    said = [line for line in result.stderr.splitlines() if line.startswith("zentrox: ")]
    assert said == [f"zentrox: HQVGA kernels: {expected_kernels()}"], result.stderr
    monkeypatch.delenv("ZENTROX_SIMD_REPORT")
    quiet = run(["stream", "-n", "2"], tmp_path)
    assert quiet.returncode == 0 and "kernels:" not in quiet.stderr, quiet.stderr
