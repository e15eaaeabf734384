"""zentrox-depth record: frames from any source, a recording included, into a .bin or MCAP file."""

import collections
import contextlib
import os
import tempfile
import time

import numpy as np

import ZentroxDepthCamera as zdc

from . import image, recordings
from .recorder import DEPTH_ENCODINGS, Recorder, RecordingError


def add_parser(sub, source):
    p = sub.add_parser("record", help="record frames to a .bin (raw, replays bit for bit) or .mcap (ROS 2) file",
                       description="Records frames from the camera, or from a recording given with --config. The "
                                   "extension of OUTPUT chooses the format: .bin is the emulated kit's raw "
                                   "recording (replay it with --config OUTPUT), .mcap holds ROS 2 messages "
                                   "(sensor_msgs Image, CameraInfo, optionally PointCloud2, and raw frames with "
                                   "--raw). Ctrl-C ends the recording and finishes the file.")
    source(p)
    p.add_argument("output", metavar="OUTPUT", help="file to write: NAME.bin or NAME.mcap")
    p.add_argument("-n", "--frames", type=int, default=0, metavar="N",
                   help="number of frames to record (default: until Ctrl-C)")
    p.add_argument("--timeout", type=int, default=1000, metavar="MS",
                   help="wait for each frame at most this long (default 1000 ms)")
    p.add_argument("--range", type=int, choices=[2000, 4000], metavar="MM",
                   help="set the range (HQVGA modules: 2000 or 4000 mm) before recording")
    p.add_argument("--raw", action="store_true",
                   help="MCAP: record the raw frames (zentrox_depth_msgs/msg/RawFrame) instead of depth, amplitude "
                        "and confidence; play and export compute their depth through the driver")
    p.add_argument("--intrinsics", metavar="FILE",
                   help="calibration file for CameraInfo, z-depth and point clouds (default: the source's nominal "
                        "intrinsics)")
    p.add_argument("--frame-id", default="zentrox_depth_optical_frame", metavar="ID",
                   help="frame_id of the MCAP message headers (default zentrox_depth_optical_frame)")
    p.add_argument("--depth-encoding", choices=DEPTH_ENCODINGS, default="32FC1",
                   help="MCAP depth images: 32FC1 metres (default) or 16UC1 millimetres, both z-depth (REP 118)")
    p.add_argument("--cloud", action="store_true", help="MCAP: also write sensor_msgs/msg/PointCloud2")
    p.add_argument("--queue", type=int, default=30, metavar="N",
                   help="frames waiting for the writer at most; more are dropped and counted (default 30, "
                        "about a second of a 30 fps stream)")


class LiveLine:
    """The live line of record and play: frames, frame rate over the last second or so, dropped
    frames, and depth statistics when there is depth."""

    def __init__(self, out, total):
        self.out, self.total = out, total
        self.live = out.isatty()
        self.arrivals = collections.deque(maxlen=32)
        self.last_print = 0.0
        self.width = 0

    def rate(self):
        """Frames per second over the recent arrivals; None until two frames have arrived."""
        if len(self.arrivals) < 2:
            return None
        span = self.arrivals[-1] - self.arrivals[0]
        return (len(self.arrivals) - 1) / span if span > 0 else None

    def update(self, count, depth=None, extra=""):
        now = time.monotonic()
        self.arrivals.append(now)
        if now - self.last_print < (0.1 if self.live else 1.0) and count != self.total:
            return
        self.last_print = now
        of = f"/{self.total}" if self.total else ""
        rate = self.rate()
        line = f"frame {count}{of}" + (f"  {rate:5.1f} fps" if rate is not None else "")  # none known from one frame
        if extra:
            line += "  " + extra
        if depth is not None:
            valid = depth[image.valid_depth(depth)]
            line += (f"  depth median {np.median(valid):.0f} mm  valid {100.0 * valid.size / depth.size:.0f}%"
                     if valid.size else "  no valid depth")
        if self.live:
            self.out.write("\r" + line.ljust(self.width))
            self.width = len(line)
        else:
            self.out.write(line + "\n")
        self.out.flush()

    def finish(self):
        if self.live and self.width:
            self.out.write("\n")
            self.out.flush()


@contextlib.contextmanager
def opened_source(args):
    """The camera of the source arguments; an MCAP recording is played through a .bin file written
    from its raw frames. Yields (camera, description of the recording or {})."""
    from .cli import Failure, open_camera
    if args.config is not None and args.config.lower().endswith(".mcap"):
        with tempfile.TemporaryDirectory(prefix="zentrox-record-") as scratch:
            target = os.path.join(scratch, "source.bin")
            try:
                count = recordings.mcap_to_bin(args.config, target)
            except (OSError, ImportError) as error:
                raise Failure(f"cannot read {args.config}: {error}") from None
            if count == 0:
                raise Failure(f"{args.config} holds no raw frames to play through the driver")
            description = recordings.read_description(args.config)
            original, args.config = args.config, target
            try:
                yield open_camera(args), description
            finally:
                args.config = original
        return
    description = recordings.read_description(args.config) if args.config and args.config.endswith(".bin") else {}
    yield open_camera(args), description


def intrinsics_for(args, cam, description, out):
    from .cli import Failure
    from .cloud_cmd import intrinsics_for as nominal
    from .intrinsics import Intrinsics
    info = cam.getCameraInfo()
    if info.device_type == zdc.TOFDeviceType.HQVGA:
        width, height = info.width, info.height
    else:
        width, height = cam.getControl(zdc.TOFControl.FMT_WIDTH), cam.getControl(zdc.TOFControl.FMT_HEIGHT)
    recorded = description.get("intrinsics")
    if not args.intrinsics and recorded and (recorded["width"], recorded["height"]) == (width, height):
        return Intrinsics(**recorded)
    try:
        return nominal(args, width, height, out)
    except (ValueError, OSError) as error:
        raise Failure(str(error)) from None


def run(args, out):
    from .cli import Failure, describe_source
    extension = os.path.splitext(args.output)[1].lower()
    if extension not in (".bin", ".mcap"):
        raise Failure(f"{args.output}: the extension chooses the format, .bin or .mcap")
    if args.queue < 1:
        raise Failure("the queue holds at least one frame")
    raw = extension == ".bin" or args.raw
    with opened_source(args) as (cam, description):
        started = False
        try:
            if args.range is not None:
                cam.setControl(zdc.TOFControl.RANGE, args.range)
            intrinsics = None if raw else intrinsics_for(args, cam, description, out)
            status = cam.start(zdc.TOFOutput.RAW if raw else zdc.TOFOutput.DEPTH)
            if status != zdc.TOFErrorCode.ZentroxSuccess:
                raise Failure(f"cannot start the camera ({describe_source(args)}): {status.str()} ({status.value})")
            started = True
            try:
                recorder = Recorder(args.output, camera=cam, intrinsics=intrinsics, frame_id=args.frame_id,
                                    depth_encoding=args.depth_encoding, point_cloud=args.cloud,
                                    queue_size=args.queue, source=describe_source(args))
            except OSError as error:
                raise Failure(f"cannot create {args.output}: {error.strerror or error}") from None
            except ImportError as error:
                raise Failure(str(error)) from None
            return _record(args, cam, recorder, raw, out)
        finally:
            if started:
                cam.stop()
            cam.close()


def _record(args, cam, recorder, raw, out):
    from .cli import Failure
    line = LiveLine(out, args.frames)
    count, misses, interrupted, failure = 0, 0, False, None
    began = time.monotonic()
    try:
        while args.frames == 0 or count < args.frames:
            frame = cam.requestFrame(args.timeout)
            if frame is None:
                misses += 1
                if misses >= 3:
                    failure = f"no frame from the camera within {3 * args.timeout} ms"
                    break
                continue
            misses = 0
            try:
                recorder.record(frame)
                depth = None if raw else frame.getDepthData()
            finally:
                cam.releaseFrame(frame)
            count += 1
            line.update(count, depth, f"written {recorder.frames_written}  dropped {recorder.frames_dropped}")
    except KeyboardInterrupt:
        interrupted = True
    except RecordingError as error:
        failure = str(error)
    finally:
        line.finish()
        try:
            recorder.close()
        except RecordingError as error:
            failure = failure or str(error)
    elapsed = time.monotonic() - began
    size = os.path.getsize(args.output) / 1e6 if os.path.exists(args.output) else 0.0
    print(f"{recorder.frames_written} frames recorded to {args.output} ({size:.1f} MB) in {elapsed:.1f} s, "
          f"{recorder.frames_dropped} dropped" + (" (interrupted)" if interrupted else ""), file=out)
    if failure:
        raise Failure(failure)
    return 0
