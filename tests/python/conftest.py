"""Shared fixtures of the Python suites. They run against the installed module (pip install .)."""

import os
import subprocess
import sys
import textwrap

import pytest

import ZentroxDepthCamera as zdc


@pytest.fixture
def camera():
    """A camera whose streaming and opening are cleaned up after the test, whatever it did."""
    cam = zdc.ZentroxCamera()
    yield cam
    cam.close()


@pytest.fixture
def kit_camera(camera, tmp_path, monkeypatch):
    """A camera opened on the emulated USB kit with its built-in scene, in a scratch directory."""
    monkeypatch.chdir(tmp_path)
    assert camera.open(zdc.TOFConnect.USB, 0) == zdc.TOFErrorCode.ZentroxSuccess
    return camera


def run_python(code, timeout=60, **kwargs):
    """Runs `code` in a fresh interpreter; returns the completed process (text output)."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, **kwargs)


def module_dir():
    return os.path.dirname(zdc.__file__)
