"""The depth filters on static scenes of the emulated kit with noise 8, against the scene's truth."""

import numpy as np
import pytest

import scene
from zentrox_depth import filters

NOISY = dict(noise=8.0, seed=11)


def rms(depth, truth, where):
    return float(np.sqrt(np.mean((depth[where] - truth[where]) ** 2)))


def inner(truth, margin=3):
    """Pixels on a surface, away from depth edges and from the image border."""
    keep = (truth > 0) & ~scene.edges(truth, 30.0)
    keep[:margin], keep[-margin:], keep[:, :margin], keep[:, -margin:] = False, False, False, False
    return keep


def near(mask, reach=1):
    grown = mask.copy()
    padded = np.pad(mask, reach)
    for dy in range(-reach, reach + 1):
        for dx in range(-reach, reach + 1):
            grown |= padded[reach + dy:reach + dy + mask.shape[0], reach + dx:reach + dx + mask.shape[1]]
    return grown


def test_temporal_filter_over_30_frames_lowers_the_error_three_times(tmp_path):
    truth = scene.trace(scene.BUILT_IN)
    frames = scene.kit_frames(tmp_path, 30, scene=scene.BUILT_IN, **NOISY)
    temporal = filters.Temporal()
    for depth, _ in frames:
        out = temporal(depth)
    where = inner(truth)
    raw = np.mean([rms(d, truth, where) for d, _ in frames])
    assert raw / rms(out, truth, where) >= 3.0


def test_temporal_filter_restarts_on_a_change_and_bridges_short_holes():
    temporal = filters.Temporal(alpha=0.2, reset_mm=100.0, reset_relative=0.0, persistence=2)
    rng = np.random.default_rng(5)
    frames = [1000.0 + rng.normal(0, 10, (6, 8)).astype(np.float32) for _ in range(8)]
    for f in frames:
        out = temporal(f)
    assert np.abs(out - 1000.0).max() < 10.0  # averaged, not the last frame
    moved = np.full((6, 8), 1500.0, np.float32)
    np.testing.assert_array_equal(temporal(moved), moved)  # the scene changed: start from it
    hole = np.zeros((6, 8), np.float32)
    for expected in (1500.0, 1500.0, 0.0, 0.0):
        np.testing.assert_array_equal(temporal(hole), np.full((6, 8), expected, np.float32))
    temporal(moved)
    temporal.reset()
    np.testing.assert_array_equal(temporal(frames[0]), frames[0])


@pytest.mark.parametrize("plane", [scene.wall(0, 0, 2000), scene.wall(20, 0, 1800), scene.wall(15, -20, 1600)])
def test_spatial_filter_halves_the_noise_on_planes(tmp_path, plane):
    truth = scene.trace(plane)
    (depth, _), = scene.kit_frames(tmp_path, scene=plane, **NOISY)
    out = filters.Spatial()(depth)
    where = inner(truth)
    assert rms(depth, truth, where) / rms(out, truth, where) >= 2.0


def test_spatial_filter_moves_no_depth_edge(tmp_path):
    truth = scene.trace(scene.BUILT_IN)
    (depth, _), = scene.kit_frames(tmp_path, scene=scene.BUILT_IN, **NOISY)
    out = filters.Spatial()(depth)
    expected, found = scene.edges(truth, 100.0), scene.edges(out, 100.0)
    assert expected.sum() > 500
    # Every edge pixel of the result lies within one pixel of an edge of the scene, and back.
    assert not (found & ~near(expected)).any()
    assert not (expected & ~near(found)).any()
    # Off the edges the smoothing lowers the error there too.
    where = inner(truth)
    assert rms(depth, truth, where) / rms(out, truth, where) >= 2.0


def test_flying_pixel_filter_removes_mixed_pixels_and_keeps_the_surfaces(tmp_path):
    sub = 4  # the kit averages 4 x 4 rays per pixel: edge pixels mix both surfaces
    (clean, _), = scene.kit_frames(tmp_path, scene=scene.BUILT_IN, noise=0.0, subpixels=sub)
    (noisy, _), = scene.kit_frames(tmp_path, scene=scene.BUILT_IN, subpixels=sub, **NOISY)
    rays = scene.trace(scene.BUILT_IN, width=240 * sub, height=180 * sub)
    seen = rays.reshape(180, sub, 240, sub).transpose(0, 2, 1, 3).reshape(180, 240, sub * sub)
    # A pixel lies on no surface when its noiseless depth is more than 20 mm from every surface
    # its rays hit.
    off = np.abs(clean[..., None] - seen).min(axis=-1) > 20.0
    flying, surface = off & (clean > 0), ~off & (clean > 0)
    assert flying.sum() > 300
    out = filters.FlyingPixel()(noisy)
    assert (out[flying] == 0).mean() >= 0.95
    assert (out[surface] == noisy[surface]).mean() >= 0.99


def test_confidence_filter_and_chains():
    rng = np.random.default_rng(2)
    depth = rng.uniform(800, 2500, (30, 40)).astype(np.float32)
    depth[3, 4], depth[5, 6] = np.nan, -1.0
    amplitude = rng.uniform(0, 200, depth.shape).astype(np.float32)
    out = filters.Confidence(50)(depth, amplitude)
    keep = (amplitude >= 50) & (depth > 0)
    np.testing.assert_array_equal(out[keep], depth[keep])
    assert (out[~keep] == 0).all()
    with pytest.raises(ValueError):
        filters.Confidence(50)(depth)
    # One native chain call gives what the filters give one after the other, and so does a chain
    # that holds a Python callable.
    parts = lambda: [filters.Confidence(50), filters.FlyingPixel(), filters.Spatial(), filters.Temporal()]
    chain, separate, mixed = filters.Chain(parts()), parts(), filters.Chain(parts()[:2] + [lambda d, a: d * 1.0])
    for _ in range(3):
        frame = depth + rng.normal(0, 5, depth.shape).astype(np.float32)
        expected = frame
        for f in separate:
            expected = f(expected, amplitude)
        np.testing.assert_array_equal(chain(frame, amplitude), expected)
    np.testing.assert_array_equal(mixed(depth, amplitude),
                                  filters.FlyingPixel()(filters.Confidence(50)(depth, amplitude)))
    with pytest.raises(ValueError):
        chain(depth, amplitude[:, :-1])


@pytest.mark.parametrize("make, bad", [
    (lambda: filters.Spatial(radius=0), ValueError),
    (lambda: filters.Spatial(sigma_px=0), ValueError),
    (lambda: filters.Temporal(alpha=0), ValueError),
    (lambda: filters.Temporal(persistence=-1), ValueError),
    (lambda: filters.FlyingPixel(relative_gap=float("nan")), ValueError),
    (lambda: filters.Confidence("high"), TypeError),
    (lambda: filters.Chain([3]), TypeError),
])
def test_filter_parameters_are_checked(make, bad):
    with pytest.raises(bad):
        make()
