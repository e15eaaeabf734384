"""The module as scripts see it: names and their order, enumerations and their members, kinds."""

import operator
import pickle

import pytest

import ZentroxDepthCamera as zdc
from conftest import run_python

ENUMS = {
    "TOFDeviceType": [("VGA", 0), ("HQVGA", 1)],
    "TOFOutput": [("RAW", 0), ("DEPTH", 2), ("CONFIDENCE", 1), ("CACHE", 4)],
    "TOFConnect": [("CSI", 0), ("USB", 1)],
    "TOFControl": [("RANGE", 0), ("FMT_WIDTH", 1), ("FMT_HEIGHT", 2), ("MODE", 3), ("FRAME_MODE", 4),
                   ("EXPOSURE", 5), ("FRAME_RATE", 6), ("SKIP_FRAME", 7), ("SKIP_FRAME_LOOP", 8),
                   ("CONFIG_DIR_EXT", 256)],
    "TofWorkMode": [(n, v) for v, n in enumerate(
        ["SINGLE_FREQ", "DOUBLE_FREQ", "TRIPLE_FREQ", "QUAD_FREQ", "DISTANCE", "HDR", "AE", "BG_OUTDOOR",
         "GRAY_ONLY", "CUSTOM1", "CUSTOM2", "CUSTOM3"])],
    "TofFrameWorkMode": [(n, v) for v, n in enumerate(
        ["SINGLE_FREQ_2PHASE", "SINGLE_FREQ_4PHASE", "SINGLE_FREQ_4PHASE_GRAY", "SINGLE_FREQ_4PHASE_BG",
         "SINGLE_FREQ_4PHASE_4BG", "SINGLE_FREQ_4PHASE_GRAY_5BG", "SINGLE_FREQ_GRAY_BG_4PHASE_GRAY_BG",
         "SINGLE_FREQ_GRAY_BG_4PHASE_BG", "SINGLE_FREQ_BG_GRAY_BG_4PHASE", "SINGLE_FREQ_BG_4PHASE_BG_GRAY",
         "DOUBLE_FREQ_4PHASE", "DOUBLE_FREQ_4PHASE_GRAY_4PHASE_BG", "DOUBLE_FREQ_4PHASE_4BG",
         "DOUBLE_FREQ_4PHASE_GRAY_5BG", "TRIPLE_FREQ_4PHASE", "TRIPLE_FREQ_4PHASE_GRAY_4PHASE_GRAY_4PHASE_BG",
         "QUAD_FREQ_4PHASE", "QUAD_FREQ_4PHASE_GRAY_4PHASE_BG_4PHASE_GRAY_4PHASE_BG", "BG_OUTDOOR", "GRAY_ONLY",
         "CUSTOM"])],
    "TOFErrorCode": [("ZentroxSuccess", 0), ("ZentroxInvalidParameter", 1), ("ZentroxNoCache", 2),
                     ("ZentroxUnkownDevice", 3), ("ZentroxNotImplemented", 4), ("ZentroxSkipFrame", 240),
                     ("ZentroxSystemError", -2), ("ZentroxUnkownError", -1)],
}
PLAIN = {"TOFDeviceType", "TOFErrorCode"}
CLASSES = ["ZentroxFormat", "ZentroxInfo", "ZentroxFrame", "RawData", "DepthData", "ZentroxCamera"]


def test_names_in_registration_order():
    names = [n for n in vars(zdc) if not n.startswith("__") or n == "__version__"]
    assert names == list(ENUMS) + CLASSES + ["__version__"]
    assert zdc.__version__ == "dev"
    assert zdc.__doc__ is None


@pytest.mark.parametrize("name", ["USB", "CSI", "DEPTH", "RAW", "VGA", "ZentroxSuccess", "RANGE", "CUSTOM",
                                  "AMPLITUDE", "AUTO_FRAME_RATE"])
def test_no_member_is_exported_into_the_module(name):
    assert not hasattr(zdc, name)


@pytest.mark.parametrize("enum_name", list(ENUMS))
def test_members_in_declaration_order(enum_name):
    enum = getattr(zdc, enum_name)
    assert [(n, m.value) for n, m in enum.__members__.items()] == ENUMS[enum_name]
    assert enum.__doc__ == "Members:\n\n" + "\n\n".join("  " + n for n, _ in ENUMS[enum_name])
    for member_name, value in ENUMS[enum_name]:
        member = getattr(enum, member_name)
        assert member.name == member_name
        assert int(member) == value and operator.index(member) == value
        assert repr(member) == f"<{enum_name}.{member_name}: {value}>"
        assert str(member) == f"{enum_name}.{member_name}"
        assert enum(value) == member and enum(value).name == member_name
        assert hash(member) == hash(value)
        assert pickle.loads(pickle.dumps(member)) == member


@pytest.mark.parametrize("enum_name", list(ENUMS))
def test_equality_with_integers_only_for_plain_kinds(enum_name):
    enum = getattr(zdc, enum_name)
    member_name, value = ENUMS[enum_name][0]
    member = getattr(enum, member_name)
    assert (member == value) is (enum_name in PLAIN)
    assert (member != value) is (enum_name not in PLAIN)
    assert member != None  # noqa: E711 (the operator itself is what is checked)
    assert member == enum(value)
    other = zdc.TOFConnect if enum is not zdc.TOFConnect else zdc.TOFOutput
    assert member != other(value)


@pytest.mark.parametrize("enum_name", list(ENUMS))
@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge, operator.add, operator.and_,
                                operator.or_, operator.sub])
def test_no_ordering_or_arithmetic(enum_name, op):
    member = getattr(getattr(zdc, enum_name), ENUMS[enum_name][0][0])
    with pytest.raises(TypeError):
        op(member, member)


def test_values_that_name_no_member_still_make_instances():
    code = zdc.TOFErrorCode(7)
    assert isinstance(code, zdc.TOFErrorCode) and code.value == 7
    assert code.str() == "Unknown error"
    assert zdc.TOFOutput(3).value == 3 and "AMPLITUDE" not in zdc.TOFOutput.__members__
    with pytest.raises(TypeError):
        zdc.TOFDeviceType(-1)  # unsigned representation
    with pytest.raises(TypeError):
        zdc.TOFErrorCode(2**31)  # 32-bit signed


@pytest.mark.parametrize("value, text", [
    (0, "Success"), (1, "Invalid parameter"), (2, "No cache"), (3, "Unkown device"), (4, "Not implemented"),
    (240, "Skip frame"), (-2, "System error"), (-1, "Unknown error"), (7, "Unknown error"),
    (239, "Unknown error"), (241, "Unknown error"), (-3, "Unknown error"),
])
def test_error_code_texts(value, text):
    assert zdc.TOFErrorCode(value).str() == text


def test_error_code_str_method_keeps_the_standard_str():
    code = zdc.TOFErrorCode.ZentroxSkipFrame
    assert code.value == 240 and code.str() == "Skip frame"
    assert str(code) == "TOFErrorCode.ZentroxSkipFrame"
    assert int(zdc.TOFErrorCode.ZentroxSystemError) == -2
    assert zdc.TOFErrorCode(-1).name == "ZentroxUnkownError"


def test_modes_with_the_same_name_keep_their_own_values():
    assert zdc.TofWorkMode.BG_OUTDOOR.value == 7 and zdc.TofFrameWorkMode.BG_OUTDOOR.value == 18
    assert zdc.TofWorkMode.GRAY_ONLY.value == 8 and zdc.TofFrameWorkMode.GRAY_ONLY.value == 19
    assert zdc.TofWorkMode.BG_OUTDOOR != zdc.TofFrameWorkMode.BG_OUTDOOR
    assert zdc.TOFControl.CONFIG_DIR_EXT.value == 256


def test_classes_and_their_bases():
    assert issubclass(zdc.RawData, zdc.ZentroxFrame) and issubclass(zdc.DepthData, zdc.ZentroxFrame)
    assert not issubclass(zdc.RawData, zdc.DepthData) and not issubclass(zdc.DepthData, zdc.RawData)
    for name in CLASSES:
        assert getattr(zdc, name).__module__ == "ZentroxDepthCamera"
    assert not hasattr(zdc.RawData, "getDepthData") and not hasattr(zdc.DepthData, "getRawData")
    assert [n for n in vars(zdc.ZentroxFrame) if not n.startswith("_")] == []


@pytest.mark.parametrize("name", ["ZentroxFormat", "ZentroxInfo", "ZentroxFrame", "RawData", "DepthData"])
def test_classes_without_a_constructor(name):
    with pytest.raises(TypeError, match=f"ZentroxDepthCamera.{name}: No constructor defined!"):
        getattr(zdc, name)()


def test_import_leaves_numpy_alone_until_the_first_array():
    result = run_python("""
        import sys
        import ZentroxDepthCamera as zdc
        print("numpy" in sys.modules)
        cam = zdc.ZentroxCamera()
        cam.getCameraInfo(); cam.requestFrame(0)
        print("numpy" in sys.modules)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", "False"]
