#!/usr/bin/env python3
"""Checks that no include runs against the direction of the layers.

    python (and the toolkit's bindings) -> toolkit -> core -> device -> sensor -> system

A file may include files of its own layer and of the layers below it. sdk/ stands apart: the driver
may use its headers, it includes nothing of the driver. The public headers in include/ belong to
the layer that implements them; ZentroxTypes.h is the vocabulary every layer shares. sensor/csi is
the CSI transport's own: only sensor/ includes from it.

Prints every include against the direction and exits 1 when there is one; 0 otherwise.
Usage: check_layers.py [ROOT]   (default: the repository above this file)
"""
import os
import re
import sys

LAYERS = {"system": 0, "sensor": 1, "device": 2, "core": 3, "toolkit": 4, "python": 5}
PUBLIC = {
    "ZentroxTypes.h": 0,
    "ZentroxTOFCamera.h": LAYERS["core"],
    "ZentroxIntrinsics.h": LAYERS["toolkit"],
    "ZentroxPointCloud.h": LAYERS["toolkit"],
    "ZentroxDepthFilters.h": LAYERS["toolkit"],
}
AREAS = ("include", "system", "sensor", "device", "core", "toolkit", "python", "sdk")
SOURCE = re.compile(r"\.(h|hpp|c|cc|cpp)$")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(path):
    """The layer of a file given relative to the root: a rank, "sdk", or None when unlayered."""
    parts = path.split("/")
    if parts[0] == "include":
        return PUBLIC.get(parts[-1])
    if parts[0] == "sdk":
        return "sdk"
    if parts[0] == "toolkit" and len(parts) > 1 and parts[1] == "python":
        return LAYERS["python"]
    return LAYERS.get(parts[0])


def sources(root):
    for area in AREAS:
        for folder, _, names in os.walk(os.path.join(root, area)):
            for name in names:
                if SOURCE.search(name):
                    yield os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")


def resolve(root, includer, text, by_name):
    """The file an include names: beside the includer, from the root, or by a unique base name."""
    for candidate in (os.path.join(os.path.dirname(includer), text), text):
        if os.path.isfile(os.path.join(root, candidate)):
            return os.path.normpath(candidate).replace(os.sep, "/")
    found = by_name.get(os.path.basename(text), [])
    return found[0] if len(found) == 1 else None


def violations(root):
    files = list(sources(root))
    by_name = {}
    for f in files:
        by_name.setdefault(os.path.basename(f), []).append(f)
    for f in files:
        mine = layer_of(f)
        if mine is None:
            continue
        with open(os.path.join(root, f), encoding="utf-8", errors="replace") as handle:
            text = handle.read()
        for match in INCLUDE.finditer(text):
            target = resolve(root, f, match.group(1), by_name)
            if target is None:
                continue
            theirs = layer_of(target)
            line = text.count("\n", 0, match.start()) + 1
            where = "%s:%d includes %s" % (f, line, target)
            if target.startswith("sensor/csi/") and not f.startswith("sensor/"):
                yield where + " (the CSI transport is the sensor layer's own)"
            elif mine == "sdk":
                if theirs not in ("sdk", None):
                    yield where + " (sdk/ includes nothing of the driver)"
            elif theirs not in ("sdk", None) and theirs > mine:
                yield where + " (against the direction)"


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    found = list(violations(root))
    for v in found:
        print(v)
    print("%d include(s) against the layers" % len(found))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
