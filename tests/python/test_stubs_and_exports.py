"""The installed package: type stubs that name exactly what the module has, the marker file, the
libraries beside the module, and the native symbols the module exports."""

import ast
import ctypes
import glob
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

import ZentroxDepthCamera as zdc
from conftest import module_dir

HERE = os.path.dirname(os.path.abspath(__file__))
README = os.path.join(HERE, "..", "..", "README.md")


def stub_tree():
    with open(os.path.join(module_dir(), "__init__.pyi")) as f:
        return ast.parse(f.read())


def stub_classes():
    return {node.name: node for node in stub_tree().body if isinstance(node, ast.ClassDef)}


def public(names):
    return {n for n in names if not n.startswith("_")}


def stub_members(node):
    names = set()
    for item in node.body:
        if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
            names.add(item.name)
        elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
            names.add(item.target.id)
    return names


def test_marker_and_stubs_are_installed_beside_the_module():
    assert os.path.isfile(os.path.join(module_dir(), "py.typed"))
    assert os.path.isfile(os.path.join(module_dir(), "__init__.pyi"))


def test_stubs_name_exactly_the_module_names():
    tree = stub_tree()
    declared = {node.name for node in tree.body if isinstance(node, ast.ClassDef)}
    declared |= {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)}
    module_names = {n for n in vars(zdc) if not n.startswith("__")} | {"__version__"}
    assert declared == module_names
    ordered = [node.name for node in tree.body if isinstance(node, ast.ClassDef)]
    assert ordered == [n for n in vars(zdc) if isinstance(getattr(zdc, n), type)]


@pytest.mark.parametrize("name", [n for n in vars(zdc) if isinstance(getattr(zdc, n), type)])
def test_stub_class_members_match(name):
    node = stub_classes()[name]
    cls = getattr(zdc, name)
    assert public(stub_members(node)) == public(vars(cls))
    bases = [b.id for b in node.bases if isinstance(b, ast.Name)]
    assert bases == [b.__name__ for b in cls.__bases__ if b.__module__ == "ZentroxDepthCamera"]


def signature_of(doc):
    """Parameter names and defaults of a pybind11 signature line."""
    line = doc.splitlines()[0]
    params = line[line.index("(") + 1:line.rindex(")")]
    out = []
    for part in [p.strip() for p in params.split(",") if p.strip()]:
        name = part.split(":")[0].strip()
        default = part.split("=", 1)[1].strip() if "=" in part else None
        out.append((name, default))
    return out


@pytest.mark.parametrize("cls_name", ["ZentroxCamera", "RawData", "DepthData"])
def test_stub_signatures_match_the_module(cls_name):
    node = stub_classes()[cls_name]
    cls = getattr(zdc, cls_name)
    for item in node.body:
        if not isinstance(item, ast.FunctionDef):
            continue
        params = [(a.arg, None) for a in item.args.args]
        defaults = item.args.defaults
        for i, d in enumerate(defaults):
            index = len(params) - len(defaults) + i
            params[index] = (params[index][0], ast.unparse(d))
        assert params == signature_of(getattr(cls, item.name).__doc__), item.name


def readme_quick_start():
    """The first Python example of the README, as printed."""
    with open(README) as f:
        return re.search(r"^```python\n(.*?)^```$", f.read(), re.S | re.M).group(1)


@pytest.mark.parametrize("check", [
    # stubtest: the stubs against the installed module, nothing beyond the documented allowlist.
    ["mypy.stubtest", "ZentroxDepthCamera", "--mypy-config-file", os.devnull, "--allowlist",
     os.path.join(HERE, "stubtest-allowlist.txt")],
    # The README's quick start under strict typing with the shipped stubs.
    ["mypy", "--strict", "--cache-dir", "cache", "quick_start.py"],
])
def test_typing(tmp_path, check):
    # CI installs mypy with the test dependencies: there its absence is a failure, not a skip.
    if os.environ.get("CI") != "true":
        pytest.importorskip("mypy")
    (tmp_path / "quick_start.py").write_text(readme_quick_start())
    result = subprocess.run([sys.executable, "-m", *check], capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("fail_start", [False, True])
def test_readme_quick_start_runs(tmp_path, fail_start):
    code = readme_quick_start()
    if fail_start:
        # The same script on a kit whose start fails: it must end with its message, not reach stop().
        (tmp_path / "kit.json").write_text(json.dumps({"faults": {"fail_start": True}}))
        code = code.replace("cam.open(zdc.TOFConnect.USB, 0)", 'cam.openWithFile("kit.json", 0)')
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert "Traceback" not in result.stderr, result.stderr
    if fail_start:
        last = result.stderr.strip().splitlines()[-1]
        assert "kit.json" in code and result.returncode == 1 and last.startswith("cannot start the camera: ")
    else:
        depths = [int(m) for m in re.findall(r"^(\d+) mm, amplitude \d+$", result.stdout, re.M)]
        # The built-in scene is mostly a wall at 2 m, with a box and a sphere in front of it.
        assert len(depths) >= 90 and all(abs(d - 2000) < 200 for d in depths), result.stdout + result.stderr


def test_libraries_beside_the_module():
    for lib in ["libzentrox_depth.so", "libzentrox_evk_sdk.so", "libsi4c.so"]:
        assert glob.glob(os.path.join(module_dir(), lib + "*")), lib
    assert os.path.isfile(os.path.join(module_dir(), "include", "ZentroxTOFCamera.h"))


def readelf(*args):
    tool = shutil.which("readelf")
    if tool is None:
        pytest.skip("readelf is not installed")
    return subprocess.run([tool, *args], capture_output=True, text=True, check=True).stdout


@pytest.mark.parametrize("library, needs", [
    # The module links the one shared core, which links the libraries behind the C interfaces.
    ("__init__", ["libzentrox_depth.so"]),
    ("libzentrox_depth.so", ["libzentrox_evk_sdk.so", "libsi4c.so"]),
])
def test_libraries_are_found_through_origin(library, needs):
    path = zdc.__file__ if library == "__init__" else os.path.join(module_dir(), library)
    dynamic = readelf("-d", path)
    assert re.search(r"R(UN)?PATH.*\$ORIGIN", dynamic), dynamic
    needed = re.findall(r"NEEDED.*\[(.*)\]", dynamic)
    assert set(needs) <= set(needed), needed


def exported_symbols():
    tool = shutil.which("nm")
    if tool is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([tool, "-D", "--defined-only", zdc.__file__], capture_output=True, text=True, check=True)
    return {line.split()[-1] for line in out.stdout.splitlines() if len(line.split()) >= 3}


@pytest.mark.parametrize("symbol", [
    "_ZN7Zentrox16ZentroxTOFCameraC1Ev",
    "_ZN7Zentrox16ZentroxTOFCameraD1Ev",
    "_ZN7Zentrox16ZentroxTOFCamera4openENS_10ConnectionEi",
    "_ZN7Zentrox16ZentroxTOFCamera12openWithFileEPKci",
    "_ZN7Zentrox16ZentroxTOFCamera14openPostHandleEv",
    "_ZN7Zentrox16ZentroxTOFCamera5startENS_9FrameTypeE",
    "_ZN7Zentrox16ZentroxTOFCamera4stopEv",
    "_ZN7Zentrox16ZentroxTOFCamera5closeEv",
    "_ZN7Zentrox16ZentroxTOFCamera12requestFrameEs",
    "_ZN7Zentrox16ZentroxTOFCamera12releaseFrameEPNS_18ZentroxFrameBufferE",
    "_ZN7Zentrox16ZentroxTOFCamera10setControlENS_10CameraCtrlEi",
    "_ZN7Zentrox16ZentroxTOFCamera10getControlENS_10CameraCtrlEPi",
    "_ZNK7Zentrox16ZentroxTOFCamera13getCameraInfoEv",
    "_ZN7Zentrox6to_strENS_12TofErrorCodeE",
    "i2c_open_i2c_dev",
    "i2c_get_functionality",
    "i2c_set_slave_addr",
    "i2c_set_adapter_timeout",
    "i2c_set_adapter_retries",
])
def test_module_exports_the_native_interface(symbol):
    # dlsym on the module's own handle searches the module and the libraries it needs: the symbols
    # are defined once, in the core (no second copy of its state in the module), and reachable
    # through the module.
    module = ctypes.CDLL(zdc.__file__)
    assert hasattr(module, symbol)
    assert symbol not in exported_symbols()

def test_binding_internals_stay_hidden():
    symbols = exported_symbols()
    assert not [s for s in symbols if "6python" in s and s.startswith("_ZN7Zentrox")]
    assert "PyInit_ZentroxDepthCamera" in symbols
