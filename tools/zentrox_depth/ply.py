"""Point cloud files: binary little-endian PLY and binary PCD (version 0.7), holding the valid points
(every coordinate finite) and optionally an intensity per point, all as 32-bit floats."""

import numpy as np


def _valid_points(points, intensity):
    points = np.asarray(points, dtype=np.float32)
    if points.ndim < 2 or points.shape[-1] != 3:
        raise ValueError("points must be an array of shape (..., 3), for example (H, W, 3)")
    flat = points.reshape(-1, 3)
    keep = np.all(np.isfinite(flat), axis=1)
    fields = [("x", "<f4"), ("y", "<f4"), ("z", "<f4")]
    if intensity is not None:
        intensity = np.asarray(intensity, dtype=np.float32)
        if intensity.shape != points.shape[:-1]:
            raise ValueError(f"intensity has shape {intensity.shape}, the points {points.shape[:-1]}")
        fields.append(("intensity", "<f4"))
    records = np.empty(int(keep.sum()), dtype=fields)
    for axis, name in enumerate("xyz"):
        records[name] = flat[keep, axis]
    if intensity is not None:
        records["intensity"] = intensity.reshape(-1)[keep]
    return records


def ply_bytes(points, intensity=None):
    """(binary PLY file contents, number of points) of the valid points and their intensities."""
    records = _valid_points(points, intensity)
    header = ["ply", "format binary_little_endian 1.0", "comment written by zentrox_depth, metres",
              f"element vertex {len(records)}"]
    header += [f"property float {name}" for name in records.dtype.names]
    header.append("end_header")
    return ("\n".join(header) + "\n").encode("ascii") + records.tobytes(), len(records)


def write_ply(path, points, intensity=None):
    """Writes the valid points (and their intensities) as binary PLY; returns how many it wrote."""
    data, count = ply_bytes(points, intensity)
    with open(path, "wb") as f:
        f.write(data)
    return count


def write_pcd(path, points, intensity=None):
    """Writes the valid points (and their intensities) as binary PCD; returns how many it wrote."""
    records = _valid_points(points, intensity)
    n = len(records.dtype.names)
    header = ["# .PCD v0.7 - Point Cloud Data file format", "VERSION 0.7",
              "FIELDS " + " ".join(records.dtype.names), "SIZE" + " 4" * n, "TYPE" + " F" * n,
              "COUNT" + " 1" * n, f"WIDTH {len(records)}", "HEIGHT 1", "VIEWPOINT 0 0 0 1 0 0 0",
              f"POINTS {len(records)}", "DATA binary"]
    with open(path, "wb") as f:
        f.write(("\n".join(header) + "\n").encode("ascii"))
        f.write(records.tobytes())
    return len(records)
