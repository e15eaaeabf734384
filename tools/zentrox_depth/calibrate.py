"""Self-calibration from depth frames of one flat surface.

A depth camera measures r(u, v), the distance along the ray of pixel (u, v). On a plane n . p = D
every measured point r * ray(u, v) satisfies r(u, v) * (n . ray(u, v)) = D, and how r varies over the
image fixes the rays, hence fx, fy, cx and cy. With x = (u - cx) / fx, y = (v - cy) / fy and the plane
written as q . p = 1 (q = n / D):

    r(u, v) = sqrt(1 + x^2 + y^2) / (q0 x + q1 y + q2)

The fit is a Levenberg-Marquardt least-squares fit of that model to the radial distances of every
frame (each frame its own plane, so the camera may move between frames), with iteratively
reweighted robust weights (Tukey's biweight, its scale from the residuals' median absolute deviation,
in rounds of shrinking scale) so that pixels off the surface (other objects, mixed pixels, wrapped
distances) do not pull it. It starts from centred intrinsics with the field of view whose trimmed
plane fit leaves the smallest median residual.
"""

import math
from dataclasses import dataclass, field

import numpy as np

from .intrinsics import Intrinsics

_TUKEY = 4.685
_MIN_PIXELS = 200


@dataclass
class CalibrationReport:
    """What calibrate_plane found besides the intrinsics: how well the model fits and how sure it is."""
    rms_mm: float  # residual RMS of the inliers, mm
    sigma: dict  # one standard deviation of fx, fy (pixels), cx, cy (pixels)
    inlier_fraction: float  # share of the valid pixels the robust weights kept
    pixels: int  # valid pixels over all frames
    frames: int
    planes: list = field(default_factory=list)  # per frame: (unit normal, distance in mm)
    iterations: int = 0
    converged: bool = False

    def tilts_deg(self):
        """Angle between each frame's plane normal and the optical axis, degrees."""
        return [math.degrees(math.acos(min(1.0, abs(float(n[2]))))) for n, _ in self.planes]

    def __str__(self):
        s = self.sigma
        tilts = self.tilts_deg()
        lines = [
            f"residual RMS {self.rms_mm:.2f} mm over {self.inlier_fraction * 100:.1f}% of {self.pixels} pixels "
            f"in {self.frames} frame{'s' if self.frames != 1 else ''}",
            f"uncertainty (1 sigma): fx {s['fx']:.3f} px, fy {s['fy']:.3f} px, cx {s['cx']:.3f} px, "
            f"cy {s['cy']:.3f} px",
            f"surface: {np.mean([d for _, d in self.planes]):.0f} mm away, tilted {min(tilts):.1f} to "
            f"{max(tilts):.1f} degrees",
            f"{'converged' if self.converged else 'did NOT converge'} in {self.iterations} iterations",
        ]
        return "\n".join(lines)


def _stack(depth_frames):
    frames = [np.asarray(f, dtype=np.float64) for f in depth_frames]
    if not frames:
        raise ValueError("calibrate_plane needs at least one depth frame")
    shape = frames[0].shape
    if len(shape) != 2 or any(f.shape != shape for f in frames):
        raise ValueError("the depth frames must be two-dimensional images of one size")
    r = np.stack([f.reshape(-1) for f in frames])
    valid = np.isfinite(r) & (r > 0)
    r = np.where(valid, r, 0.0)
    keep = valid.sum(axis=1) >= _MIN_PIXELS
    if not keep.any():
        raise ValueError(f"no frame holds {_MIN_PIXELS} pixels with a depth")
    return r[keep], valid[keep], shape


class _Model:
    """Radial distance (mm) of the plane model, and its derivatives, at every pixel of every frame."""

    def __init__(self, shape):
        h, w = shape
        v, u = np.mgrid[0:h, 0:w]
        self.u = u.reshape(-1).astype(np.float64)
        self.v = v.reshape(-1).astype(np.float64)

    def evaluate(self, k, q, jacobian=False):
        fx, fy, cx, cy = k
        x = (self.u - cx) / fx
        y = (self.v - cy) / fy
        n = np.sqrt(1.0 + x * x + y * y)
        lin = q[:, 0:1] * x + q[:, 1:2] * y + q[:, 2:3]  # (frames, pixels)
        with np.errstate(divide="ignore", invalid="ignore"):
            model = 1000.0 * n / lin
        if not jacobian:
            return model
        with np.errstate(divide="ignore", invalid="ignore"):
            inv2 = 1000.0 / (lin * lin)
            dx = ((x / n) * lin - n * q[:, 0:1]) * inv2
            dy = ((y / n) * lin - n * q[:, 1:2]) * inv2
            shared = np.stack([dx * (-x / fx), dy * (-y / fy), dx * (-1.0 / fx), dy * (-1.0 / fy)], axis=-1)
            own = np.stack(np.broadcast_arrays(-n * x * inv2, -n * y * inv2, -n * inv2), axis=-1)
        return model, shared, own


def _robust_weights(e, valid, scale=None):
    """Tukey's biweight of the residuals e for the residual scale `scale` (by default the residuals'
    MAD), and the scale."""
    if scale is None:
        scale = max(1.4826 * float(np.median(np.abs(e[valid]))), 1e-6)
    a = np.abs(e) / scale
    w = np.where(a < _TUKEY, (1.0 - (a / _TUKEY) ** 2) ** 2, 0.0)
    return np.where(valid, w, 0.0), scale


def _fit_planes(model, k, r, valid, rounds=3):
    """Planes q (q . p = 1, p in metres) of every frame for the intrinsics k: least squares, then
    again over the pixels within twice the median residual, so that other objects do not tilt them."""
    fx, fy, cx, cy = k
    x = (model.u - cx) / fx
    y = (model.v - cy) / fy
    n = np.sqrt(1.0 + x * x + y * y)
    q = np.empty((r.shape[0], 3))
    for f in range(r.shape[0]):
        m = valid[f]
        z = r[f, m] / 1000.0 / n[m]
        points = np.stack([x[m] * z, y[m] * z, z], axis=-1)
        keep = np.ones(len(z), dtype=bool)
        for _ in range(rounds):
            q[f] = np.linalg.lstsq(points[keep], np.ones(int(keep.sum())), rcond=None)[0]
            e = np.abs(points @ q[f] - 1.0)
            keep = e <= 2.0 * np.median(e)
    return q


def _initial_guess(model, r, valid, shape):
    """Centred intrinsics with the field of view whose plane fits best (median residual), on a
    subsample of the pixels."""
    h, w = shape
    pick = np.zeros(h * w, dtype=bool)
    pick.reshape(h, w)[::3, ::3] = True
    sub = _Model(shape)
    sub.u, sub.v = model.u[pick], model.v[pick]
    rs, vs = r[:, pick], valid[:, pick]
    best = None
    for fov in np.arange(20.0, 151.0, 5.0):
        f = (w / 2.0) / math.tan(math.radians(fov) / 2.0)
        k = np.array([f, f, (w - 1) / 2.0, (h - 1) / 2.0])
        q = _fit_planes(sub, k, rs, vs)
        e = np.abs(rs - sub.evaluate(k, q))
        cost = np.median(e[vs & np.isfinite(e)]) if np.isfinite(e[vs]).any() else np.inf
        if best is None or cost < best[0]:
            best = (cost, k, q)
    return best[1], _fit_planes(model, best[1], r, valid)


def _normal_equations(shared, own, w, e):
    """Blocks of the weighted normal equations: shared x shared (summed over frames), shared x own,
    own x own per frame, and the two gradients."""
    jac = np.concatenate([shared, own], axis=-1)  # (frames, pixels, 7)
    m = np.matmul(jac.transpose(0, 2, 1) * w[:, None, :], jac)
    g = np.matmul(jac.transpose(0, 2, 1), (w * e)[..., None])[..., 0]
    return m[:, :4, :4].sum(axis=0), m[:, 4:, 4:], m[:, :4, 4:], g[:, :4].sum(axis=0), g[:, 4:]


def _solve(a, b, c, gs, gf, damping):
    """Step of the shared and per-frame parameters from the block normal equations (Schur complement
    on the per-frame blocks), with Marquardt's damping."""
    a = a + damping * np.diag(np.diag(a))
    b = b + damping * np.einsum("fii->fi", b)[:, :, None] * np.eye(3)
    binv = np.linalg.inv(b)
    s = a - np.einsum("fij,fjk,flk->il", c, binv, c)
    t = gs - np.einsum("fij,fjk,fk->i", c, binv, gf)
    ds = np.linalg.solve(s, t)
    dq = np.einsum("fij,fj->fi", binv, gf - np.einsum("fji,j->fi", c, ds))
    return ds, dq


def _cost(model, k, q, r, w):
    e = r - model.evaluate(k, q)
    e = np.where(w > 0, e, 0.0)
    if not np.all(np.isfinite(e)):
        return np.inf
    return float(np.sum(w * e * e))


def calibrate_plane(depth_frames, max_iterations=100):
    """Estimates fx, fy, cx and cy from depth frames (mm, distances along the rays) of one flat
    surface at any tilt; returns (Intrinsics, CalibrationReport). Distortion is taken as zero.

    Each frame may see the surface at its own pose. Pixels off the surface are outliers the robust
    weights remove; aim the camera so that the surface fills the view, tilted 15 to 30 degrees about
    both image axes, within the camera's range.
    """
    r, valid, shape = _stack(depth_frames)
    model = _Model(shape)
    k, q = _initial_guess(model, r, valid, shape)
    damping = 1e-3
    scale = None  # residual scale of the biweight: fixed within a round, re-estimated between rounds
    converged = False
    iterations = 0
    rounds = 0
    while iterations < max_iterations:
        fitted, shared, own = model.evaluate(k, q, jacobian=True)
        e = np.where(valid, r - fitted, 0.0)
        bad = ~np.isfinite(e)
        e[bad] = 0.0
        if scale is None:
            _, scale = _robust_weights(e, valid & ~bad)
        w, _ = _robust_weights(e, valid & ~bad, scale)
        iterations += 1
        shared = np.where(w[..., None] > 0, shared, 0.0)
        own = np.where(w[..., None] > 0, own, 0.0)
        a, b, c, gs, gf = _normal_equations(shared, own, w, e)
        before = float(np.sum(w * e * e))
        step = None
        for _ in range(12):
            try:
                ds, dq = _solve(a, b, c, gs, gf, damping)
            except np.linalg.LinAlgError:
                damping *= 10.0
                continue
            if _cost(model, k + ds, q + dq, r, w) <= before:
                step = (ds, dq)
                damping = max(damping / 10.0, 1e-9)
                break
            damping *= 10.0
        moved = 0.0
        if step is not None:
            k = k + step[0]
            q = q + step[1]
            moved = float(np.max(np.abs(step[0])))
        if moved > 1e-4:
            continue
        # Settled for this scale (the intrinsics move by less than 1e-4 px a step, or no step lowers
        # the cost). The residuals of the better fit may give a smaller scale: another round then,
        # until it shrinks by less than a tenth.
        rounds += 1
        fitted = model.evaluate(k, q)
        e = np.where(valid, r - fitted, 0.0)
        ok = valid & np.isfinite(e)
        _, found = _robust_weights(np.where(ok, e, 0.0), ok)
        if found >= 0.9 * scale or rounds >= 5:
            converged = True
            break
        scale = found
    return _result(model, k, q, r, valid, shape, iterations, converged)


def _result(model, k, q, r, valid, shape, iterations, converged):
    fitted, shared, own = model.evaluate(k, q, jacobian=True)
    e = np.where(valid, r - fitted, 0.0)
    bad = ~np.isfinite(e)
    e[bad] = 0.0
    w, _ = _robust_weights(e, valid & ~bad)
    inliers = w > 0
    shared = np.where(w[..., None] > 0, shared, 0.0)
    own = np.where(w[..., None] > 0, own, 0.0)
    a, b, c, _, _ = _normal_equations(shared, own, w, e)
    parameters = 4 + 3 * r.shape[0]
    dof = max(float(w.sum()) - parameters, 1.0)
    variance = float(np.sum(w * e * e)) / dof
    try:
        s = a - np.einsum("fij,fjk,flk->il", c, np.linalg.inv(b), c)
        cov = np.linalg.inv(s) * variance
        sd = np.sqrt(np.maximum(np.diag(cov), 0.0))
    except np.linalg.LinAlgError:
        sd = np.full(4, np.inf)
    planes = []
    for f in range(r.shape[0]):
        norm = float(np.linalg.norm(q[f]))
        planes.append((q[f] / norm, 1000.0 / norm))
    h, w_px = shape
    intrinsics = Intrinsics(w_px, h, float(k[0]), float(k[1]), float(k[2]), float(k[3]))
    report = CalibrationReport(
        rms_mm=float(np.sqrt(np.mean(e[inliers] ** 2))) if inliers.any() else float("nan"),
        sigma={"fx": float(sd[0]), "fy": float(sd[1]), "cx": float(sd[2]), "cy": float(sd[3])},
        inlier_fraction=float(inliers.sum()) / max(int(valid.sum()), 1),
        pixels=int(valid.sum()), frames=int(r.shape[0]), planes=planes, iterations=iterations,
        converged=converged)
    return intrinsics, report
