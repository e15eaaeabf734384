"""What the emulated kit should see: a ray tracer of its scene model in numpy (pinhole camera with
square pixels, principal point at the image centre, rays through the pixel centres), the kit's
JSON configuration for such a scene, and the four-phase decoding of HQVGA raw frames."""

import json

import numpy as np

SPEED_OF_LIGHT = 3.0e8
FREQUENCY = {4000: 37.5e6, 2000: 75.0e6}

# A wall, a box and a sphere in front of it, all inside the 4 m unambiguous range.
SCENE = {
    "planes": [{"normal": [0, 0, 1], "distance": 2200, "reflectivity": 0.7}],
    "boxes": [{"min": [-650, -250, 1200], "max": [-200, 350, 1500], "reflectivity": 0.8}],
    "spheres": [{"center": [420, 60, 1000], "radius": 260, "reflectivity": 0.9}],
}


# The scene the kit shows without a configuration: a wall at 2 m, a box and a sphere in front of it.
BUILT_IN = {
    "planes": [{"normal": [0, 0, 1], "distance": 2000, "reflectivity": 0.6}],
    "boxes": [{"min": [-700, -150, 1300], "max": [-250, 450, 1600], "reflectivity": 0.8}],
    "spheres": [{"center": [450, 100, 1200], "radius": 250, "reflectivity": 0.9}],
}


def kit_config(path, noise=0.0, frame_rate=0, field_of_view=70.0, scene=SCENE, **keys):
    """Writes a kit configuration file; `keys` adds other keys of the kit (amplitude, subpixels, ...)."""
    path.write_text(json.dumps({"scene": scene, "noise": noise, "seed": 7, "frame_rate": frame_rate,
                                "field_of_view": field_of_view, **keys}))
    return str(path)


def wall(tilt_x_deg, tilt_y_deg, distance, reflectivity=0.7):
    """A scene of one plane whose normal leans tilt_x_deg towards +x and tilt_y_deg towards +y."""
    n = np.array([np.tan(np.radians(tilt_x_deg)), np.tan(np.radians(tilt_y_deg)), 1.0])
    n /= np.linalg.norm(n)
    return {"planes": [{"normal": n.tolist(), "distance": distance, "reflectivity": reflectivity}]}


def kit_frames(directory, count=1, **config):
    """(depth, amplitude) of `count` frames from the emulated kit with this configuration
    (see kit_config), at 240 x 180."""
    import ZentroxDepthCamera as zdc
    ok = zdc.TOFErrorCode.ZentroxSuccess
    cam = zdc.ZentroxCamera()
    try:
        assert cam.openWithFile(kit_config(directory / "kit.json", **config)) == ok
        assert cam.start(zdc.TOFOutput.DEPTH) == ok
        frames = []
        for _ in range(count):
            frame = cam.requestFrame(5000)
            assert frame is not None
            frames.append((frame.getDepthData(), frame.getAmplitudeData()))
            assert cam.releaseFrame(frame) == ok
        return frames
    finally:
        cam.close()


def rays(width=240, height=180, field_of_view=70.0):
    """Unit rays through the pixel centres, as the kit renders them (not through the toolkit)."""
    fx = (width / 2.0) / np.tan(np.radians(field_of_view) / 2.0)
    u = (np.arange(width) + 0.5 - width / 2.0) / fx
    v = (np.arange(height) + 0.5 - height / 2.0) / fx
    d = np.stack(np.broadcast_arrays(u[None, :], v[:, None], np.ones((height, width))), axis=-1)
    return d / np.linalg.norm(d, axis=-1, keepdims=True)


def trace(scene=SCENE, **camera):
    """Distance in mm along each pixel's ray to the nearest surface; 0 where nothing is hit."""
    d = rays(**camera)
    best = np.full(d.shape[:2], np.inf)
    for p in scene.get("planes", []):
        n = np.asarray(p["normal"], dtype=float)
        n /= np.linalg.norm(n)
        denom = d @ n
        with np.errstate(divide="ignore", invalid="ignore"):
            t = np.where(np.abs(denom) > 1e-12, p["distance"] / denom, np.inf)
        best = np.where((t > 0) & (t < best), t, best)
    for b in scene.get("boxes", []):
        lo, hi = np.asarray(b["min"], dtype=float), np.asarray(b["max"], dtype=float)
        with np.errstate(divide="ignore", invalid="ignore"):
            t1, t2 = lo / d, hi / d
        near = np.nanmax(np.minimum(t1, t2), axis=-1)
        far = np.nanmin(np.maximum(t1, t2), axis=-1)
        hit = (far >= near) & (near > 0)
        best = np.where(hit & (near < best), near, best)
    for s in scene.get("spheres", []):
        c, r = np.asarray(s["center"], dtype=float), float(s["radius"])
        b = d @ c
        disc = b * b - (c @ c - r * r)
        t = b - np.sqrt(np.maximum(disc, 0.0))
        hit = (disc >= 0) & (t > 0)
        best = np.where(hit & (t < best), t, best)
    return np.where(np.isfinite(best), best, 0.0)


def decode_raw(raw, range_mm=4000):
    """Depth in mm of an HQVGA raw frame: rows 4y + k hold row y of phase image k."""
    p = [raw[k::4].astype(np.float64) for k in range(4)]
    if range_mm == 2000:
        q, i = p[1] - p[3], p[2] - p[0]
    else:
        q, i = p[2] - p[0], p[3] - p[1]
    phase = np.mod(np.arctan2(q, i), 2 * np.pi)
    return phase * SPEED_OF_LIGHT / (4 * np.pi * FREQUENCY[range_mm]) * 1000.0


def edges(distance, step=30.0):
    """Pixels next to a jump in distance: a pixel centre there may see either surface."""
    jump = np.zeros(distance.shape, dtype=bool)
    dy = np.abs(np.diff(distance, axis=0)) > step
    dx = np.abs(np.diff(distance, axis=1)) > step
    jump[1:] |= dy
    jump[:-1] |= dy
    jump[:, 1:] |= dx
    jump[:, :-1] |= dx
    return jump
