"""The camera a command names (--csi, --config, --index): its description, the checks that turn a
failure to open it into a message that says why, and the board this runs on."""

import os
import stat

import ZentroxDepthCamera as zdc

from . import recordings

# Board rules as the driver applies them to the device-tree model text, most specific first.
_BOARDS = [
    ("Jetson", "Xavier", "Jetson"),
    ("Jetson", "TX1", "Jetson Nano"),
    ("Jetson", "Nano", "Jetson Nano"),
    ("Jetson", "", "Jetson"),
    (" Orin", "", "Jetson"),
    ("Raspberry", "Pi 5", "Raspberry Pi 5"),
    ("Raspberry", "", "Raspberry Pi"),
    ("Radxa ROCK", "", "Radxa ROCK"),
]


class Failure(Exception):
    """Ends the command with a one-line message and a non-zero exit status."""


def board(model_path="/sys/firmware/devicetree/base/model"):
    """(board name, model text) of this machine; the name is "unknown" when no rule matches."""
    try:
        with open(model_path, "rb") as f:
            raw = f.read(99)
    except OSError:
        return "unknown", None
    model = raw.split(b"\0", 1)[0].split(b"\n", 1)[0].decode("utf-8", "replace")
    for first, second, name in _BOARDS:
        if first in model and second in model:
            return name, model
    return "unknown", model


def describe_source(args):
    if args.csi is not None:
        return f"CSI module /dev/video{args.csi}"
    if args.config is not None:
        return f"USB kit {args.index} with {args.config}"
    return f"USB kit {args.index}"


def config_problem(path):
    """Why `path` cannot be a kit configuration file, or None when it is a readable regular file."""
    try:
        mode = os.stat(path).st_mode
    except (FileNotFoundError, NotADirectoryError):
        return "no such file"
    except OSError as error:
        return error.strerror.lower() if error.strerror else str(error)
    if stat.S_ISDIR(mode):
        return "is a directory, not a configuration file"
    if not stat.S_ISREG(mode):
        return "not a regular file"
    if not os.access(path, os.R_OK):
        return "permission denied"
    return None


def csi_problem(index):
    """What stands in the way of the capture node /dev/video<index>, or None when nothing visible does."""
    node = f"/dev/video{index}"
    if not os.path.exists(node):
        return f"there is no video device {node}"
    if not os.access(node, os.R_OK | os.W_OK):
        return f"no permission to open {node} (is this user in the video group?)"
    return None


def open_camera(args):
    cam = zdc.ZentroxCamera()
    source = describe_source(args)
    if args.csi is not None:
        status = cam.open(zdc.TOFConnect.CSI, args.csi)
    elif args.config is not None:
        problem = config_problem(args.config)
        if problem:
            raise Failure(f"cannot open the camera ({source}): {problem}")
        status = cam.openWithFile(args.config, args.index)
        if status == zdc.TOFErrorCode.ZentroxSuccess:
            recordings.apply_recorded_controls(cam, args.config)
    else:
        status = cam.open(zdc.TOFConnect.USB, args.index)
    if status == zdc.TOFErrorCode.ZentroxSuccess:
        return cam
    if args.csi is not None and csi_problem(args.csi):
        raise Failure(f"cannot open the camera ({source}): {csi_problem(args.csi)}")
    if args.config is not None and status == zdc.TOFErrorCode.ZentroxUnkownError:
        # The kit has said on standard error what it found wrong with the file.
        raise Failure(f"cannot open the camera ({source}), see above")
    raise Failure(f"cannot open the camera ({source}): {status.str()} ({status.value})")


def add_source_arguments(q):
    """The options that name the camera: --csi N or --config FILE, and --index."""
    group = q.add_mutually_exclusive_group()
    group.add_argument("--csi", type=int, metavar="N", help="the CSI-2 module at /dev/videoN")
    group.add_argument("--config", metavar="FILE", help="the USB kit with this configuration file")
    q.add_argument("--index", type=int, default=0, help="index of the USB kit (default 0)")
