"""Signatures, keyword names, defaults, docstrings and argument conversion of the classes."""

import pytest

import ZentroxDepthCamera as zdc

M = "ZentroxDepthCamera."
OPEN_DOC = ("Initialize the camera configuration and turn on the camera, set the initialization frame according to "
            "the mode.\n\n- mode Specify the connection method.\n- index Device node, the default value is video0.")
OPEN_FILE_DOC = ("Initialize the camera configuration and turn on the camera, set the initialization frame according "
                 "to the mode.\n\n- path Specify the config file path.\n- index Device node, the default value is "
                 "video0.")

CAMERA_METHODS = [
    ("open", f"(self: {M}ZentroxCamera, mode: {M}TOFConnect, index: int = 0) -> {M}TOFErrorCode", OPEN_DOC),
    ("openWithFile", f"(self: {M}ZentroxCamera, path: str, index: int = 0) -> {M}TOFErrorCode", OPEN_FILE_DOC),
    ("close", f"(self: {M}ZentroxCamera) -> {M}TOFErrorCode", "Close the camera"),
    ("start", f"(self: {M}ZentroxCamera, type: {M}TOFOutput) -> {M}TOFErrorCode",
     "Start the camera stream and start processing."),
    ("stop", f"(self: {M}ZentroxCamera) -> {M}TOFErrorCode", "Stop camera stream and processing."),
    ("setControl", f"(self: {M}ZentroxCamera, ctrl: {M}TOFControl, value: int) -> {M}TOFErrorCode",
     "Set camera parameters."),
    ("getControl", f"(self: {M}ZentroxCamera, ctrl: {M}TOFControl) -> int", "Get camera parameters."),
    ("getCameraInfo", f"(self: {M}ZentroxCamera) -> {M}ZentroxInfo", "Get camera information."),
    ("requestFrame", f"(self: {M}ZentroxCamera, timeout: int) -> {M}ZentroxFrame",
     "Request a frame of data from the frame processing thread."),
    ("releaseFrame", f"(self: {M}ZentroxCamera, frame: {M}ZentroxFrame) -> {M}TOFErrorCode",
     "Free the memory space of the frame."),
]
FRAME_METHODS = [
    ("RawData", "getRawData", "numpy.ndarray[numpy.int16]", "Get raw data from the frame"),
    ("RawData", "getFrameFormat", f"{M}ZentroxFormat", "Get the information of this frame"),
    ("DepthData", "getDepthData", "numpy.ndarray[numpy.float32]", "Get depth data from the frame"),
    ("DepthData", "getConfidenceData", "numpy.ndarray[numpy.float32]", "Get confidence data from the frame"),
    ("DepthData", "getAmplitudeData", "numpy.ndarray[numpy.float32]", "Get amplitude data from the frame"),
    ("DepthData", "getFrameFormat", f"{M}ZentroxFormat", "Get the information of this frame"),
]


# What help() adds below a method's first paragraph: units, the time-out's meaning, what raises.
NOTES = {
    "requestFrame": ["milliseconds", "0 does not wait", "-1", "waits for ever", "None when no frame"],
    "stop": ["RuntimeError when the camera is not streaming"],
    "setControl": ["RANGE in millimetres", "FRAME_RATE in frames per second"],
    "releaseFrame": ["must not be used afterwards"],
    "getDepthData": ["float32", "millimetres"],
}


def check_doc(actual, head, name):
    assert actual.startswith(head + "\n\n" if name in NOTES else head + "\n"), actual
    assert [n for n in NOTES.get(name, []) if n not in actual[len(head):]] == []
    assert name in NOTES or actual == head + "\n"


@pytest.mark.parametrize("name, signature, doc", CAMERA_METHODS)
def test_camera_method_docstrings(name, signature, doc):
    check_doc(getattr(zdc.ZentroxCamera, name).__doc__, f"{name}{signature}\n\n{doc}", name)


@pytest.mark.parametrize("cls, name, result, doc", FRAME_METHODS)
def test_frame_method_docstrings(cls, name, result, doc):
    check_doc(getattr(getattr(zdc, cls), name).__doc__, f"{name}(self: {M}{cls}) -> {result}\n\n{doc}", name)


def test_constructor_and_classes_carry_no_docstring_of_their_own():
    assert zdc.ZentroxCamera.__init__.__doc__ == f"__init__(self: {M}ZentroxCamera) -> None\n"
    for name in ["ZentroxFormat", "ZentroxInfo", "ZentroxFrame", "RawData", "DepthData", "ZentroxCamera"]:
        assert getattr(zdc, name).__doc__ is None


def test_camera_methods_are_exactly_these():
    public = sorted(n for n in vars(zdc.ZentroxCamera) if not n.startswith("_"))
    assert public == sorted(n for n, _, _ in CAMERA_METHODS)


def test_record_properties_in_declaration_order():
    assert [n for n in vars(zdc.ZentroxFormat) if not n.startswith("_")] == ["width", "height", "timestamp", "type"]
    assert [n for n in vars(zdc.ZentroxInfo) if not n.startswith("_")] == [
        "index", "connect", "device_type", "type", "width", "height", "bit_width", "bpp"]


def test_keyword_arguments_and_defaults(camera):
    assert camera.open(mode=zdc.TOFConnect.CSI, index=99) != zdc.TOFErrorCode.ZentroxSuccess
    info = camera.getCameraInfo()
    assert (info.index, info.connect) == (99, zdc.TOFConnect.CSI)
    camera.open(zdc.TOFConnect.USB)  # index defaults to 0
    assert camera.getCameraInfo().index == 0
    assert camera.openWithFile(path=None, index=3) == zdc.TOFErrorCode.ZentroxUnkownError
    assert camera.requestFrame(timeout=0) is None
    assert camera.releaseFrame(frame=None) == zdc.TOFErrorCode.ZentroxUnkownError
    assert isinstance(camera.getControl(ctrl=zdc.TOFControl.RANGE), int)
    assert isinstance(camera.setControl(ctrl=zdc.TOFControl.SKIP_FRAME, value=0), zdc.TOFErrorCode)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("call", [
    lambda c: c.requestFrame(40000),
    lambda c: c.requestFrame(-32769),
    lambda c: c.requestFrame(1.0),
    lambda c: c.requestFrame("10"),
    lambda c: c.open(0),
    lambda c: c.open(1, 0),
    lambda c: c.open(zdc.TOFOutput.RAW),
    lambda c: c.open(zdc.TOFConnect.USB, 2**31),
    lambda c: c.open(zdc.TOFConnect.USB, 0.5),
    lambda c: c.start(2),
    lambda c: c.start(zdc.TOFConnect.USB),
    lambda c: c.setControl(0, 1),
    lambda c: c.setControl(zdc.TOFControl.RANGE, 2**31),
    lambda c: c.getControl(6),
    lambda c: c.openWithFile(5),
    lambda c: c.releaseFrame(5),
    lambda c: c.releaseFrame(c),
    lambda c: c.open(),
    lambda c: c.open(zdc.TOFConnect.USB, 0, 1),
    lambda c: c.open(zdc.TOFConnect.USB, idx=0),
])
def test_argument_errors(camera, call):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call(camera)


def test_sixteen_bit_timeout_bounds_and_index_objects(camera):
    assert camera.requestFrame(Index(0)) is None
    assert camera.requestFrame(-32768 + 32768) is None
    with pytest.raises(TypeError):
        camera.requestFrame(Index(32768))
    info = camera.getCameraInfo()
    camera.open(zdc.TOFConnect.CSI, Index(97))
    assert camera.getCameraInfo().index == 97 and info.index != 97


@pytest.mark.parametrize("path", [None, "", b"", bytearray(b"")])
def test_paths_of_every_accepted_kind(camera, path):
    status = camera.openWithFile(path)
    assert isinstance(status, zdc.TOFErrorCode)
    if path is None:
        assert status == zdc.TOFErrorCode.ZentroxUnkownError


@pytest.mark.parametrize("path", ["kit.json\0junk", b"kit.json\0junk", bytearray(b"kit.json\0"), "\0"])
def test_a_path_with_an_embedded_nul_is_refused_as_open_refuses_it(camera, tmp_path, monkeypatch, path):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "kit.json").write_text("{}")  # what the path would be cut down to
    camera.open(zdc.TOFConnect.CSI, 42)
    with pytest.raises(ValueError, match="embedded null byte"):
        camera.openWithFile(path, 7)
    info = camera.getCameraInfo()
    assert (info.index, info.connect) == (42, zdc.TOFConnect.CSI)
    assert camera.openWithFile("kit.json", 7) == zdc.TOFErrorCode.ZentroxSuccess


def test_null_path_changes_nothing(camera):
    camera.open(zdc.TOFConnect.CSI, 42)
    assert camera.openWithFile(None, 7) == zdc.TOFErrorCode.ZentroxUnkownError
    info = camera.getCameraInfo()
    assert (info.index, info.connect) == (42, zdc.TOFConnect.CSI)


def test_status_codes_are_error_code_instances(camera):
    for status in [camera.close(), camera.start(zdc.TOFOutput.DEPTH), camera.setControl(zdc.TOFControl.RANGE, 1),
                   camera.openWithFile(None), camera.releaseFrame(None)]:
        assert type(status) is zdc.TOFErrorCode


def test_record_fields_accept_their_ranges_only(camera):
    info = camera.getCameraInfo()
    info.index = 2**32 - 1
    assert info.index == 2**32 - 1
    with pytest.raises(TypeError):
        info.index = -1
    with pytest.raises(TypeError):
        info.width = 2**32
    with pytest.raises(TypeError):
        info.connect = 1
    info.connect = zdc.TOFConnect.USB
    assert info.connect == zdc.TOFConnect.USB
    with pytest.raises(TypeError):
        info.device_type = zdc.TOFConnect.USB
    with pytest.raises(AttributeError):
        info.colour = 1
