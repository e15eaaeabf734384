"""End to end through the emulated kit: the depth the driver computes, and the depth decoded from
its RAW frames, match the scene the kit renders."""

import json

import numpy as np
import pytest

import ZentroxDepthCamera as zdc
import scene

OK = zdc.TOFErrorCode.ZentroxSuccess


def stream(cam, output, count=3):
    assert cam.start(output) == OK
    arrays = []
    for _ in range(count):
        frame = cam.requestFrame(5000)
        assert frame is not None
        if output == zdc.TOFOutput.DEPTH:
            arrays.append((frame.getDepthData(), frame.getAmplitudeData(), frame.getConfidenceData()))
        else:
            arrays.append(frame.getRawData())
        assert cam.releaseFrame(frame) == OK
    assert cam.stop() == OK
    return arrays


@pytest.fixture
def scene_camera(camera, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert camera.openWithFile(scene.kit_config(tmp_path / "scene.json")) == OK
    info = camera.getCameraInfo()
    assert (info.width, info.height, info.device_type) == (240, 180, zdc.TOFDeviceType.HQVGA)
    return camera


def compare(measured, expected, what):
    inside = ~scene.edges(expected) & (expected > 0)
    error = np.abs(measured[inside] - expected[inside])
    # Samples are 11-bit counts: a few millimetres of quantisation at these amplitudes.
    assert np.median(error) < 3.0, f"{what}: median error {np.median(error):.2f} mm"
    assert np.percentile(error, 99) < 10.0, f"{what}: 99th percentile {np.percentile(error, 99):.2f} mm"
    return error


def test_depth_matches_the_rendered_scene(scene_camera):
    expected = scene.trace()
    for depth, amplitude, confidence in stream(scene_camera, zdc.TOFOutput.DEPTH):
        compare(depth, expected, "depth")
        # Nearer and brighter surfaces return more light: the sphere outshines the wall behind it.
        sphere = (expected > 0) & (expected < 1100)
        wall = expected > 2150
        assert amplitude[sphere].mean() > 2 * amplitude[wall].mean()
        assert np.all(amplitude >= 0) and np.all(np.isfinite(confidence))


def test_raw_frames_decode_to_the_same_scene(scene_camera):
    expected = scene.trace()
    raws = stream(scene_camera, zdc.TOFOutput.RAW)
    (depth, _, _), = stream(scene_camera, zdc.TOFOutput.DEPTH, count=1)
    for raw in raws:
        assert raw.shape == (720, 240)
        decoded = scene.decode_raw(raw)
        compare(decoded, expected, "decoded raw")
        # Noise 0: every frame is the same, and the device's own depth is the same arithmetic.
        inside = ~scene.edges(expected)
        assert np.percentile(np.abs(decoded - depth)[inside], 99) < 0.5
    np.testing.assert_array_equal(raws[0], raws[-1])


# RANGE 2000 switches the HQVGA device's decoding and the module's modulation to 75 MHz together.
def test_range_2000_uses_the_other_frequency(scene_camera, tmp_path):
    near = {"planes": [{"normal": [0, 0, 1], "distance": 1500, "reflectivity": 0.8}]}
    assert scene_camera.close() == OK
    assert scene_camera.openWithFile(scene.kit_config(tmp_path / "near.json", scene=near)) == OK
    assert scene_camera.setControl(zdc.TOFControl.RANGE, 2000) == OK
    assert scene_camera.getControl(zdc.TOFControl.RANGE) == 2000
    expected = scene.trace(near)
    (depth, _, _), = stream(scene_camera, zdc.TOFOutput.DEPTH, count=1)
    compare(depth, expected, "depth at range 2000")
    raw, = stream(scene_camera, zdc.TOFOutput.RAW, count=1)
    compare(scene.decode_raw(raw, 2000), expected, "decoded raw at range 2000")


# The emulated kit's VGA module through the VGA device and the depth engine: each plane against the
# kit's light model, so that depth, amplitude and confidence cannot stand in for one another.
def test_vga_kit_planes_match_the_scene(camera, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    wall = {"planes": [{"normal": [0, 0, 1], "distance": 1000, "reflectivity": 0.6}]}
    signal, ambient, fov = 1500.0, 80.0, 50.0  # 1250 mm single-frequency range: the corners stay within
    config = tmp_path / "vga.json"
    config.write_text(json.dumps({"module": "vga", "width": 320, "height": 240, "frequency_mode": "single",
                                  "frame_rate": 0, "noise": 0, "amplitude": signal, "ambient": ambient,
                                  "field_of_view": fov, "scene": wall}))
    assert camera.openWithFile(str(config)) == OK
    assert camera.getCameraInfo().device_type == zdc.TOFDeviceType.VGA
    assert camera.setControl(zdc.TOFControl.FMT_WIDTH, 320) == OK
    assert camera.setControl(zdc.TOFControl.FMT_HEIGHT, 240) == OK
    expected = scene.trace(wall, width=320, height=240, field_of_view=fov)
    returned = 0.6 * signal / (expected / 1000.0) ** 2
    for depth, amplitude, confidence in stream(camera, zdc.TOFOutput.DEPTH, count=2):
        assert depth.shape == amplitude.shape == confidence.shape == (240, 320)
        assert np.abs(depth - expected).max() < 10.0
        np.testing.assert_allclose(amplitude, returned, rtol=0.005)
        np.testing.assert_allclose(confidence, 100.0 * returned / (returned + ambient), atol=0.05)
