"""Self-calibration from a flat surface: on the emulated kit's tilted walls (whose intrinsics are
those of its field of view), on synthetic frames of any intrinsics, and through the CLI."""

import shutil
import subprocess
import sys

import numpy as np
import plyfile
import pytest

import scene
import zentrox_depth as zd


def errors(found, truth):
    return abs(found.fx / truth.fx - 1), abs(found.fy / truth.fy - 1), abs(found.cx - truth.cx), \
        abs(found.cy - truth.cy)


@pytest.mark.parametrize("fov", [50.0, 70.0, 90.0])
# Noise 0, and the kit's default noise of one count.
@pytest.mark.parametrize("noise, focal, centre", [(0.0, 0.005, 0.5), (1.0, 0.02, 2.0)])
def test_tilted_walls_give_the_kit_intrinsics(tmp_path, fov, noise, focal, centre):
    frames = scene.kit_frames(tmp_path, 3, scene=scene.wall(20, 15, 1500), field_of_view=fov, noise=noise)
    found, report = zd.calibrate_plane([d for d, _ in frames])
    fx, fy, cx, cy = errors(found, zd.Intrinsics.from_fov(240, 180, fov))
    assert fx <= focal and fy <= focal and cx <= centre and cy <= centre, (found, str(report))
    assert report.converged and report.frames == 3 and report.rms_mm < 3.0
    assert all(abs(t - 24.3) < 0.5 for t in report.tilts_deg())  # atan(hypot(tan 20, tan 15))
    assert all(abs(d - 1500.0) < 2.0 for _, d in report.planes)


def test_objects_in_front_of_the_wall_are_outliers(tmp_path):
    cluttered = scene.wall(20, 15, 1500)
    cluttered["boxes"] = [{"min": [-300, -200, 900], "max": [100, 300, 1100], "reflectivity": 0.9}]
    cluttered["spheres"] = [{"center": [300, 150, 1000], "radius": 150}]
    frames = scene.kit_frames(tmp_path, 3, scene=cluttered, noise=8.0)
    found, report = zd.calibrate_plane([d for d, _ in frames])
    fx, fy, cx, cy = errors(found, zd.Intrinsics.from_fov(240, 180, 70.0))
    assert fx <= 0.02 and fy <= 0.02 and cx <= 2.0 and cy <= 2.0, (found, str(report))
    truth = scene.trace(cluttered)
    wall_share = np.mean(np.abs(truth - scene.trace(scene.wall(20, 15, 1500))) < 1.0)
    assert abs(report.inlier_fraction - wall_share) < 0.03


def test_any_intrinsics_and_poses_are_recovered_within_the_reported_uncertainty():
    truth = zd.Intrinsics(160, 120, 131.0, 127.5, 83.2, 57.9)
    rng = np.random.default_rng(9)
    rays = truth.rays().astype(np.float64)
    frames = []
    for normal, distance in (((0.3, -0.2, 1.0), 1400.0), ((-0.25, 0.35, 1.0), 1900.0), ((0.1, 0.3, 1.0), 1100.0)):
        n = np.array(normal) / np.linalg.norm(normal)
        frames.append(distance / (rays @ n) + rng.normal(0.0, 2.0, rays.shape[:2]))
    frames[0][40:60, 30:70] -= 300.0  # something in front of the wall
    found, report = zd.calibrate_plane(frames)
    for name in ("fx", "fy", "cx", "cy"):
        error = abs(getattr(found, name) - getattr(truth, name))
        assert error <= 4.0 * report.sigma[name], (name, error, report.sigma)
        assert report.sigma[name] < 0.05
    assert abs(report.rms_mm - 2.0) < 0.2


@pytest.mark.parametrize("frames, words", [
    ([], "at least one depth frame"),
    ([np.zeros((20, 30))], "no frame holds"),
    ([np.ones((20, 30)), np.ones((30, 20))], "one size"),
])
def test_calibration_refuses_what_it_cannot_use(frames, words):
    with pytest.raises(ValueError) as caught:
        zd.calibrate_plane(frames)
    assert words in str(caught.value)


def run(args, cwd):
    tool = shutil.which("zentrox-depth")
    command = [tool] if tool else [sys.executable, "-m", "zentrox_depth"]
    return subprocess.run(command + args, capture_output=True, text=True, cwd=cwd, timeout=120)


def test_cli_calibrates_and_writes_point_clouds(tmp_path):
    config = scene.kit_config(tmp_path / "wall.json", noise=1.0, field_of_view=60.0, scene=scene.wall(25, 20, 1400))
    result = run(["calibrate", "--config", config, "-n", "4", "-o", "cam.yaml", "--format", "ros"], tmp_path)
    assert result.returncode == 0, result.stderr
    assert "residual RMS" in result.stdout and "wrote cam.yaml" in result.stdout
    found = zd.Intrinsics.load(tmp_path / "cam.yaml")
    fx, fy, cx, cy = errors(found, zd.Intrinsics.from_fov(240, 180, 60.0))
    assert fx <= 0.02 and fy <= 0.02 and cx <= 2.0 and cy <= 2.0

    result = run(["stream", "--config", config, "-n", "3", "--ply", "c.ply", "--intrinsics", "cam.yaml"], tmp_path)
    assert result.returncode == 0, result.stderr
    vertex = plyfile.PlyData.read(str(tmp_path / "c.ply"))["vertex"]
    points = np.stack([vertex["x"], vertex["y"], vertex["z"]], axis=-1).astype(np.float64)
    assert len(points) == 240 * 180
    n = np.array(scene.wall(25, 20, 1400)["planes"][0]["normal"])
    assert np.abs(points @ n * 1000.0 - 1400.0).max() < 20.0  # every point on the wall

    result = run(["calibrate", "--csi", "97", "-o", "x.yaml"], tmp_path)
    assert result.returncode == 1 and not (tmp_path / "x.yaml").exists()
