#!/usr/bin/env python3
"""Checks that no include runs against the direction of the layers.

    python (and the toolkit's bindings) -> toolkit -> core -> device -> sensor -> system

A file may include files of its own layer and of the layers below it. sdk/ stands apart: the driver
may use its headers, it includes nothing of the driver. The public headers in include/ belong to
the layer that implements them; ZentroxTypes.h is the vocabulary every layer shares. sensor/csi is
the CSI transport's own: only sensor/ includes from it.

Every quoted include of the driver's own files (the layers, tests/, fuzz/, bench/) names either a
public header of include/ by its bare name ("ZentroxTOFCamera.h") or a file by its path from the
root ("sensor/csi/CaptureNode.h"), even beside the includer; the libraries of sdk/ keep their own
include directories, so a bare name of one of their headers stands too. Any other include is
reported: the build exports include/ alone and finds internal headers from the root only.

Prints every include against the direction or without its folder and exits 1 when there is one;
0 otherwise.
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
AREAS = ("include", "system", "sensor", "device", "core", "toolkit", "python", "sdk", "tests", "fuzz", "bench")
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


def resolve(root, includer, text, by_name, public):
    """The file an include names, and whether it is named as the build finds it.

    A driver file finds a public header by its bare name and everything else from the root; a name
    neither of these finds is taken for an sdk header when sdk/ has exactly one of that name. sdk/
    files find their own headers beside them or by a unique base name. Returns (path or None, ok)."""
    if includer.startswith("sdk/"):
        for candidate in (os.path.join(os.path.dirname(includer), text), text):
            if os.path.isfile(os.path.join(root, candidate)):
                return os.path.normpath(candidate).replace(os.sep, "/"), True
        found = by_name.get(os.path.basename(text), [])
        return (found[0] if len(found) == 1 else None), True
    if "/" not in text and text in public:
        return "include/" + text, True
    if os.path.normpath(text) == text and os.path.isfile(os.path.join(root, text)):
        # Installed headers see nothing but each other, and include/ is never named.
        return text, not includer.startswith("include/") and not text.startswith("include/")
    found = [f for f in by_name.get(os.path.basename(text), []) if f.startswith("sdk/")]
    if "/" not in text and len(found) == 1:
        return found[0], True
    found = by_name.get(os.path.basename(text), [])
    return (found[0] if len(found) == 1 else None), False


def violations(root):
    files = list(sources(root))
    by_name = {}
    for f in files:
        by_name.setdefault(os.path.basename(f), []).append(f)
    public = {f.split("/", 1)[1] for f in files if f.startswith("include/") and f.count("/") == 1}
    for f in files:
        mine = layer_of(f)
        with open(os.path.join(root, f), encoding="utf-8", errors="replace") as handle:
            text = handle.read()
        for match in INCLUDE.finditer(text):
            target, ok = resolve(root, f, match.group(1), by_name, public)
            line = text.count("\n", 0, match.start()) + 1
            if not ok:
                if f.startswith("include/") and target and not target.startswith("include/"):
                    why = "an installed header includes only public headers"
                elif target:
                    why = "name it %s" % (target[len("include/"):] if target.startswith("include/") else target)
                else:
                    why = "neither a public header nor a path from the root"
                yield '%s:%d includes "%s" (%s)' % (f, line, match.group(1), why)
                continue
            if target is None or mine is None:
                continue
            theirs = layer_of(target)
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
