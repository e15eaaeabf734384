"""Point clouds, z-depth, intrinsics files and PLY/PCD files, measured against the emulated kit's
own scene (scene.py traces it independently of the toolkit)."""

import numpy as np
import plyfile
import pytest

import scene
import zentrox_depth as zd

# Noise 0 and a bright return (the amplitude at its cap): the depth is then exact to the 11-bit
# sample quantisation, well below a millimetre at these distances.
BRIGHT = dict(noise=0.0, amplitude=20000)
KIT = zd.Intrinsics.from_fov(240, 180, 70.0)


def fit_plane(points):
    """Unit normal, distance (mm) and residual RMS (mm) of the least-squares plane of (N, 3) points."""
    centre = points.mean(axis=0)
    _, _, vt = np.linalg.svd(points - centre, full_matrices=False)
    normal = vt[2] * np.sign(vt[2][2])
    return normal, float(centre @ normal), float(np.sqrt(np.mean(((points - centre) @ normal) ** 2)))


def test_a_wall_facing_the_camera_lies_on_its_plane(tmp_path):
    flat = {"planes": [{"normal": [0, 0, 1], "distance": 2000, "reflectivity": 0.6}]}
    (depth, _), = scene.kit_frames(tmp_path, scene=flat, **BRIGHT)
    points = zd.point_cloud(depth, KIT)
    assert points.shape == (180, 240, 3) and points.dtype == np.float32
    assert np.isfinite(points).all()
    assert np.abs(points[..., 2] - 2.0).max() <= 0.001
    # Each point lies on its pixel's ray as the kit traced it.
    expected = scene.rays() * scene.trace(flat)[..., None] / 1000.0
    assert np.abs(points - expected).max() <= 0.001
    z = zd.depth_to_z(depth, KIT)
    np.testing.assert_allclose(z, points[..., 2] * 1000.0, rtol=1e-6)


def test_a_tilted_wall_and_the_sphere_keep_their_shape(tmp_path):
    n = np.array([np.sin(np.radians(20)), 0.0, np.cos(np.radians(20))])
    tilted = {"planes": [{"normal": n.tolist(), "distance": 1800, "reflectivity": 0.7}]}
    (depth, _), = scene.kit_frames(tmp_path, scene=tilted, **BRIGHT)
    normal, distance, rms = fit_plane(zd.point_cloud(depth, KIT).reshape(-1, 3) * 1000.0)
    assert rms <= 1.0
    assert abs(distance - 1800.0) <= 1.0
    assert np.degrees(np.arccos(min(1.0, normal @ n))) < 0.05

    (depth, _), = scene.kit_frames(tmp_path, scene=scene.BUILT_IN, **BRIGHT)
    sphere = scene.BUILT_IN["spheres"][0]
    centre, radius = np.array(sphere["center"]), sphere["radius"]
    truth = scene.rays() * scene.trace(scene.BUILT_IN)[..., None]
    on_sphere = (np.abs(np.linalg.norm(truth - centre, axis=-1) - radius) < 1.0) & \
        ~scene.edges(scene.trace(scene.BUILT_IN))
    p = zd.point_cloud(depth, KIT)[on_sphere].astype(np.float64) * 1000.0
    assert len(p) > 1000
    # |p|^2 = 2 c . p + (r^2 - |c|^2): linear in c and the last term.
    solution = np.linalg.lstsq(np.c_[2 * p, np.ones(len(p))], (p * p).sum(axis=1), rcond=None)[0]
    fitted = np.sqrt(solution[3] + solution[:3] @ solution[:3])
    assert abs(fitted - radius) <= 0.01 * radius
    assert np.linalg.norm(solution[:3] - centre) <= 5.0


def test_pixels_without_depth_become_nan_points_and_zero_z():
    depth = np.full((4, 5), 1500.0, dtype=np.float32)
    bad = [(0, 0, 0.0), (1, 2, np.nan), (2, 3, -20.0), (3, 4, np.inf)]
    for v, u, value in bad:
        depth[v, u] = value
    intrinsics = zd.Intrinsics(5, 4, 4.0, 4.0, 2.0, 1.5)
    points, z = zd.point_cloud(depth, intrinsics), zd.depth_to_z(depth, intrinsics)
    invalid = np.zeros((4, 5), dtype=bool)
    invalid[tuple(zip(*[(v, u) for v, u, _ in bad]))] = True
    assert np.isnan(points[invalid]).all() and np.isfinite(points[~invalid]).all()
    assert (z[invalid] == 0).all() and (z[~invalid] > 0).all()
    # float64 input is taken too; a wrong shape is refused.
    np.testing.assert_array_equal(zd.depth_to_z(depth.astype(np.float64), intrinsics), z)
    for wrong in (np.zeros((5, 4), np.float32), np.zeros(20, np.float32)):
        with pytest.raises(ValueError):
            zd.point_cloud(wrong, intrinsics)


def test_distorted_rays_project_back_onto_their_pixels():
    k1, k2, p1, p2, k3 = -0.28, 0.09, 0.0012, -0.0007, -0.012
    intrinsics = zd.Intrinsics(64, 48, 52.0, 51.0, 31.7, 24.2, (k1, k2, p1, p2, k3))
    rays = intrinsics.rays().astype(np.float64)
    x, y = rays[..., 0] / rays[..., 2], rays[..., 1] / rays[..., 2]
    r2 = x * x + y * y
    radial = 1 + k1 * r2 + k2 * r2 ** 2 + k3 * r2 ** 3
    u = intrinsics.fx * (x * radial + 2 * p1 * x * y + p2 * (r2 + 2 * x * x)) + intrinsics.cx
    v = intrinsics.fy * (y * radial + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y) + intrinsics.cy
    grid_v, grid_u = np.mgrid[0:48, 0:64]
    assert np.abs(u - grid_u).max() < 1e-3 and np.abs(v - grid_v).max() < 1e-3
    np.testing.assert_allclose(np.linalg.norm(rays, axis=-1), 1.0, atol=1e-6)


def test_ply_and_pcd_files_hold_the_valid_points(tmp_path):
    rng = np.random.default_rng(3)
    depth = rng.uniform(500, 3000, (18, 24)).astype(np.float32)
    depth[rng.random(depth.shape) < 0.2] = 0
    amplitude = rng.uniform(0, 900, depth.shape).astype(np.float32)
    intrinsics = zd.Intrinsics.from_fov(24, 18, 60.0)
    points = zd.point_cloud(depth, intrinsics)
    valid = depth > 0
    assert zd.write_ply(tmp_path / "c.ply", points, amplitude) == valid.sum()
    vertex = plyfile.PlyData.read(str(tmp_path / "c.ply"))["vertex"]
    read = np.stack([vertex["x"], vertex["y"], vertex["z"]], axis=-1)
    np.testing.assert_array_equal(read, points[valid])
    np.testing.assert_array_equal(vertex["intensity"], amplitude[valid])
    zd.write_ply(tmp_path / "plain.ply", points)
    assert [p.name for p in plyfile.PlyData.read(str(tmp_path / "plain.ply"))["vertex"].properties] == ["x", "y", "z"]

    assert zd.write_pcd(tmp_path / "c.pcd", points, amplitude) == valid.sum()
    data = (tmp_path / "c.pcd").read_bytes()
    head, body = data.split(b"DATA binary\n", 1)
    fields = dict(line.split(" ", 1) for line in head.decode().splitlines() if not line.startswith("#"))
    assert fields["FIELDS"] == "x y z intensity" and int(fields["POINTS"]) == valid.sum()
    table = np.frombuffer(body, dtype="<f4").reshape(-1, 4)
    np.testing.assert_array_equal(table[:, :3], points[valid])
    np.testing.assert_array_equal(table[:, 3], amplitude[valid])


# As OpenCV's FileStorage and the ROS calibration parsers write them (OpenCV wraps long rows).
OPENCV_FILE = """%YAML:1.0
---
calibration_time: "Mon Jan  1 10:00:00 2024"
image_width: 640
image_height: 480
camera_matrix: !!opencv-matrix
   rows: 3
   cols: 3
   dt: d
   data: [ 5.2161e+02, 0., 3.1950e+02, 0., 5.2003e+02,
       2.3950e+02, 0., 0., 1. ]
distortion_coefficients: !!opencv-matrix
   rows: 1
   cols: 5
   dt: d
   data: [ -2.5e-01, 8.1e-02, 1.2e-03, -4.0e-04, 0. ]
avg_reprojection_error: 3.1e-01  # pixels
"""
ROS_FILE = """image_width: 640
image_height: 480
camera_name: "tof #1"
camera_matrix:
  rows: 3
  cols: 3
  data: [521.61, 0, 319.5, 0, 520.03, 239.5, 0, 0, 1]
distortion_model: plumb_bob
distortion_coefficients:
  rows: 1
  cols: 5
  data: [-0.25, 0.081, 0.0012, -0.0004, 0]
rectification_matrix:
  rows: 3
  cols: 3
  data: [1, 0, 0, 0, 1, 0, 0, 0, 1]
projection_matrix:
  rows: 3
  cols: 4
  data: [521.61, 0, 319.5, 0, 0, 520.03, 239.5, 0, 0, 0, 1, 0]
"""


def test_intrinsics_files_of_both_formats(tmp_path):
    expected = zd.Intrinsics(640, 480, 521.61, 520.03, 319.5, 239.5, (-0.25, 0.081, 0.0012, -0.0004, 0.0))
    for name, text in (("opencv.yaml", OPENCV_FILE), ("ros.yaml", ROS_FILE)):
        (tmp_path / name).write_text(text)
        assert zd.Intrinsics.load(tmp_path / name) == expected, name
    # Written and read back exactly, in both formats; the ROS file carries the projection matrix.
    odd = zd.Intrinsics(240, 180, 171.37776080905377, 170.1 / 3, 119.5 + 1e-9, 89.25, (1e-17, -0.3, 0, 2e-5, 0.7))
    for fmt in ("opencv", "ros"):
        odd.save(tmp_path / f"{fmt}.yaml", format=fmt)
        assert zd.Intrinsics.load(tmp_path / f"{fmt}.yaml") == odd
    assert (tmp_path / "opencv.yaml").read_text().startswith("%YAML:1.0\n---\n")
    assert "!!opencv-matrix" in (tmp_path / "opencv.yaml").read_text()
    assert "distortion_model: plumb_bob" in (tmp_path / "ros.yaml").read_text()


@pytest.mark.parametrize("text, words", [
    (OPENCV_FILE.replace("camera_matrix", "intrinsic_matrix"), "no camera_matrix"),
    (OPENCV_FILE.replace("0., 0., 1. ]", "0., 1. ]"), "holds 8 numbers, not 9"),
    (OPENCV_FILE.replace("image_width: 640\n", ""), "image_width and image_height are missing"),
    (ROS_FILE.replace("plumb_bob", "equidistant"), "is not plumb_bob"),
    (ROS_FILE.replace("-0.0004, 0]", "-0.0004, 0, 0.1, 0, 0]"), "optionally k3"),
    (ROS_FILE.replace("521.61, 0, 319.5", "521.61, 2, 319.5", 1), "is not [fx 0 cx"),
    ("camera_matrix: [1, 2", "not closed"),
])
def test_malformed_intrinsics_files_are_refused(tmp_path, text, words):
    (tmp_path / "bad.yaml").write_text(text)
    with pytest.raises(ValueError) as caught:
        zd.Intrinsics.load(tmp_path / "bad.yaml")
    assert words in str(caught.value)
