"""Frames and arrays from the emulated kit: kinds, array properties, copies and record semantics."""

import numpy as np
import pytest

import ZentroxDepthCamera as zdc

OK = zdc.TOFErrorCode.ZentroxSuccess


def take(cam, timeout=5000):
    frame = cam.requestFrame(timeout)
    assert frame is not None, "no frame from the emulated kit"
    return frame


@pytest.fixture
def depth_camera(kit_camera):
    assert kit_camera.start(zdc.TOFOutput.DEPTH) == OK
    return kit_camera


@pytest.fixture
def raw_camera(kit_camera):
    assert kit_camera.start(zdc.TOFOutput.RAW) == OK
    return kit_camera


def check_array(array, dtype, shape):
    assert isinstance(array, np.ndarray)
    assert array.dtype == dtype and array.shape == shape
    assert array.flags["C_CONTIGUOUS"] and array.flags["OWNDATA"] and array.flags["WRITEABLE"]
    assert array.base is None
    assert array.strides == (shape[1] * array.itemsize, array.itemsize)


def test_depth_frames_and_their_arrays(depth_camera):
    frame = take(depth_camera)
    assert type(frame) is zdc.DepthData and isinstance(frame, zdc.ZentroxFrame)
    assert not hasattr(frame, "getRawData")
    fmt = frame.getFrameFormat()
    assert fmt.type == zdc.TOFOutput.DEPTH and (fmt.height, fmt.width) == (180, 240)
    for method in (frame.getDepthData, frame.getAmplitudeData, frame.getConfidenceData):
        check_array(method(), np.float32, (fmt.height, fmt.width))
    assert depth_camera.releaseFrame(frame) == OK


def test_raw_frames_and_their_arrays(raw_camera):
    frame = take(raw_camera)
    assert type(frame) is zdc.RawData and isinstance(frame, zdc.ZentroxFrame)
    for missing in ("getDepthData", "getAmplitudeData", "getConfidenceData"):
        with pytest.raises(AttributeError):
            getattr(frame, missing)
    fmt = frame.getFrameFormat()
    assert fmt.type == zdc.TOFOutput.RAW
    raw = frame.getRawData()
    check_array(raw, np.int16, (fmt.height, fmt.width))
    assert (fmt.width, fmt.height) == (240, 720)
    assert raw_camera.releaseFrame(frame) == OK


def test_each_call_makes_a_fresh_independent_array(depth_camera):
    frame = take(depth_camera)
    first = frame.getDepthData()
    kept = first.copy()
    first[:] = -123.0
    second = frame.getDepthData()
    assert not np.shares_memory(first, second)
    np.testing.assert_array_equal(second, kept)
    assert depth_camera.releaseFrame(frame) == OK


def test_arrays_outlive_release_refill_and_the_camera(kit_camera):
    assert kit_camera.start(zdc.TOFOutput.DEPTH) == OK
    frame = take(kit_camera)
    depth, amplitude = frame.getDepthData(), frame.getAmplitudeData()
    fmt = frame.getFrameFormat()
    kept = depth.copy(), amplitude.copy()
    assert kit_camera.releaseFrame(frame) == OK
    for _ in range(6):  # every buffer of the pool is refilled
        again = take(kit_camera)
        again.getDepthData()
        assert kit_camera.releaseFrame(again) == OK
    assert kit_camera.stop() == OK
    assert kit_camera.start(zdc.TOFOutput.RAW) == OK
    kit_camera.close()
    np.testing.assert_array_equal(depth, kept[0])
    np.testing.assert_array_equal(amplitude, kept[1])
    assert (fmt.width, fmt.height, fmt.type) == (240, 180, zdc.TOFOutput.DEPTH)


def test_timestamps_advance(depth_camera):
    stamps = []
    for _ in range(3):
        frame = take(depth_camera)
        stamps.append(frame.getFrameFormat().timestamp)
        assert depth_camera.releaseFrame(frame) == OK
    assert stamps == sorted(stamps) and stamps[0] < stamps[-1]


def test_camera_info_is_a_copy(kit_camera):
    info = kit_camera.getCameraInfo()
    assert (info.width, info.height, info.connect, info.device_type) == (240, 180, zdc.TOFConnect.USB,
                                                                         zdc.TOFDeviceType.HQVGA)
    info.width = 1
    info.connect = zdc.TOFConnect.CSI
    fresh = kit_camera.getCameraInfo()
    assert fresh.width == 240 and fresh.connect == zdc.TOFConnect.USB
    assert fresh is not kit_camera.getCameraInfo()


def test_enum_property_refers_to_its_record(kit_camera):
    info = kit_camera.getCameraInfo()
    connect = info.connect
    info.connect = zdc.TOFConnect.CSI
    assert connect == zdc.TOFConnect.CSI  # the field inside this record, not a copy
    del info
    assert connect == zdc.TOFConnect.CSI  # and it keeps that record alive


def test_format_is_a_copy(depth_camera):
    frame = take(depth_camera)
    fmt = frame.getFrameFormat()
    fmt.width, fmt.type = 7, zdc.TOFOutput.RAW
    again = frame.getFrameFormat()
    assert again.width == 240 and again.type == zdc.TOFOutput.DEPTH
    assert depth_camera.releaseFrame(frame) == OK


def test_open_usb_index_and_connection_are_reported(camera):
    camera.open(zdc.TOFConnect.USB, 1)
    info = camera.getCameraInfo()
    assert info.index == 1 and info.connect == zdc.TOFConnect.USB


def test_release_of_none_on_a_started_camera(depth_camera):
    assert depth_camera.releaseFrame(None) == zdc.TOFErrorCode.ZentroxUnkownError


def test_request_without_wait_and_with_every_buffer_held(depth_camera):
    held = [take(depth_camera) for _ in range(3)]
    assert len({id(f) for f in held}) == 3
    assert depth_camera.requestFrame(0) is None
    assert depth_camera.requestFrame(50) is None
    for f in held:
        assert depth_camera.releaseFrame(f) == OK
    assert take(depth_camera) is not None
