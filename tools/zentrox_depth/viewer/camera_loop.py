"""The viewer's camera thread: it owns the camera, takes every frame, filters it, packs it once into
the binary message that every page receives and hands it on without waiting for anybody.

Every operation on the camera (controls, restarts, recordings) runs on this thread between two
frames, so that the camera sees one caller only; the server asks for them with call(), which gives
back a future."""

import concurrent.futures
import datetime
import os
import queue
import threading
import time

import numpy as np

import ZentroxDepthCamera as zdc

from . import protocol

OK = zdc.TOFErrorCode.ZentroxSuccess
# How long one wait for a frame may keep a request from the page waiting.
FRAME_WAIT_MS = 100


def monotonic_ms():
    return time.monotonic_ns() / 1e6


class Frame:
    """One frame as it is sent: the message bytes and, as views into them, its planes."""

    __slots__ = ("kind", "sequence", "timestamp_ms", "width", "height", "payload", "depth", "amplitude",
                 "confidence", "raw")

    def __init__(self, kind, sequence, timestamp_ms, lost, flags, planes, sample_type):
        height, width = planes[0].shape
        head = protocol.header(kind, sequence, width, height, timestamp_ms, monotonic_ms(), lost, len(planes),
                               sample_type, flags)
        dtype = np.dtype("<f4") if sample_type == protocol.FLOAT32 else np.dtype("<u2")
        plane_bytes = width * height * dtype.itemsize
        payload = bytearray(len(head) + plane_bytes * len(planes))
        payload[:len(head)] = head
        views = []
        for i, plane in enumerate(planes):
            view = np.frombuffer(payload, dtype=dtype, count=width * height,
                                 offset=len(head) + i * plane_bytes).reshape(height, width)
            np.copyto(view, plane, casting="unsafe")
            views.append(view)
        self.kind, self.sequence, self.timestamp_ms = kind, sequence, timestamp_ms
        self.width, self.height, self.payload = width, height, payload
        self.depth = self.amplitude = self.confidence = self.raw = None
        if kind == protocol.FRAME:
            self.depth, self.amplitude, self.confidence = views
        else:
            self.raw = views[0]


def rays_message(intrinsics):
    rays = np.ascontiguousarray(intrinsics.rays(), dtype="<f4")
    head = protocol.header(protocol.RAYS, 0, intrinsics.width, intrinsics.height, 0, monotonic_ms(), 0, 3,
                           protocol.FLOAT32)
    return head + rays.tobytes()


def recording_formats():
    """The formats a recording can be started in here: the recorder and, for MCAP, its libraries."""
    try:
        from .. import recorder
    except ImportError:
        return []
    formats = ["bin"]
    try:
        recorder.require_mcap()
        formats.append("mcap")
    except ImportError:
        pass
    return formats


def _status_text(status):
    return f"{status.str()} ({status.value})"


class CameraLoop:
    """Streams `camera` (opened, not started) on a thread of its own.

    publish(frame): called on this thread with every new Frame; must not block.
    changed(): called on this thread when the state (see state()) changes.
    intrinsics_for(width, height): the Intrinsics of the depth images of that size.
    record_dir: where recordings are written; source: the camera's description for them."""

    def __init__(self, camera, publish, changed, intrinsics_for, record_dir=".", source=""):
        self.camera = camera
        self.publish, self.changed = publish, changed
        self._intrinsics_for = intrinsics_for
        self.record_dir, self.source = record_dir, source
        info = camera.getCameraInfo()
        self.device_type = info.device_type.name
        self.filters = protocol.default_filters()
        self._chain = None
        self.skip = (0, 1)
        self.frame_rate = None
        self.recorder = None
        self.recording = None  # {"path", "format", "started"} while a recording runs
        self.output = zdc.TOFOutput.DEPTH
        self.sequence = 0
        self.frames = 0
        self.passed_over = 0
        self.latest = None
        self.error = None  # what keeps frames from coming, until the next frame
        self.note = None  # what the pages should know for as long as the viewer runs
        self.intrinsics = None
        self.last_frame_at = None
        self.native_id = None
        self._commands = queue.SimpleQueue()
        self._stop = threading.Event()
        self._thread = None
        from ..cli import LostFrames
        self._lost = LostFrames()

    # Called from other threads.

    def start(self):
        status = self.camera.start(self.output)
        if status != OK:
            raise RuntimeError(f"cannot start the camera: {_status_text(status)}")
        self.last_frame_at = time.monotonic()
        self._thread = threading.Thread(target=self._run, name="zentrox-viewer-camera", daemon=True)
        self._thread.start()

    def call(self, request):
        """Queues a checked request (protocol.check_request) for the camera thread; a future of its
        reply {"ok": bool, "message": text}."""
        future = concurrent.futures.Future()
        self._commands.put((request, future))
        return future

    def close(self):
        """Ends the thread, finishes a running recording, stops and closes the camera."""
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        try:
            self._finish_recording()
        finally:
            # close() stops a camera that still streams; a failed restart may have left it stopped.
            self.camera.close()

    def choices(self):
        """What a page may ask for, given this camera."""
        ranges = [2000, 4000] if self.device_type == "HQVGA" else [1250, 4500]
        return {"range": ranges, "frame_rate": True, "record": recording_formats()}

    def state(self):
        rec = None
        if self.recording:
            r = self.recorder
            rec = dict(self.recording, frames=r.frames_written if r else 0, dropped=r.frames_dropped if r else 0)
        return {"range": self.range_mm(), "frame_rate": self.frame_rate,
                "skip": {"skip": self.skip[0], "loop": self.skip[1]}, "filters": self.filters, "recording": rec,
                "error": self.error, "note": self.note, "frames": self.frames, "passed_over": self.passed_over,
                "raw": self.output == zdc.TOFOutput.RAW}

    def range_mm(self):
        return int(self.camera.getControl(zdc.TOFControl.RANGE))

    # The camera thread.

    def _run(self):
        self.native_id = threading.get_native_id()
        while not self._stop.is_set():
            try:
                self._turn()
            except Exception as error:  # the stream goes on; the pages are told
                self.error = f"{type(error).__name__}: {error}"
                self.changed()
                time.sleep(0.1)
        self._serve_requests(closing=True)

    def _turn(self):
        """One frame: the requests waiting, then the newest frame."""
        self._serve_requests()
        frame = self.camera.requestFrame(FRAME_WAIT_MS)
        if frame is None:
            self._note_silence()
            return
        # Behind the camera (a slow moment of this machine), the pages get the newest frame and
        # the older ready ones are only counted (and recorded).
        while True:
            newer = self.camera.requestFrame(0)
            if newer is None:
                break
            try:
                self._pass_over(frame)
            finally:
                self.camera.releaseFrame(frame)
            frame = newer
        try:
            self._take(frame)
        finally:
            self.camera.releaseFrame(frame)

    def _note_silence(self):
        if time.monotonic() - self.last_frame_at > 2.0 and self.error is None:
            self.error = "no frame from the camera for 2 s"
            self.changed()

    def _pass_over(self, frame):
        timestamp = frame.getFrameFormat().timestamp
        self._lost.add(timestamp)
        self.frames += 1
        self.passed_over += 1
        if self.recorder is not None:
            self.recorder.record(frame)

    def _take(self, frame):
        timestamp = frame.getFrameFormat().timestamp
        lost = self._lost.add(timestamp)
        self.last_frame_at = time.monotonic()
        self.frames += 1
        if self.error is not None:
            self.error = None
            self.changed()
        flags = protocol.RECORDING if self.recording else 0
        if self.output == zdc.TOFOutput.RAW:
            raw = frame.getRawData()
            if self.recorder is not None:
                self.recorder.write(timestamp, raw=raw)
            self.sequence += 1
            self.publish(Frame(protocol.RAW, self.sequence, timestamp, lost, flags, [raw.view(np.uint16)],
                               protocol.UINT16))
            return
        depth, amplitude = frame.getDepthData(), frame.getAmplitudeData()
        confidence = frame.getConfidenceData()
        if self.recorder is not None:
            # The camera's own depth is recorded, not the filtered one the pages show.
            self.recorder.write(timestamp, depth=depth, amplitude=amplitude, confidence=confidence)
        if self._chain is not None:
            depth = self._chain(depth, amplitude)
            flags |= protocol.FILTERED
        self.sequence += 1
        if self.intrinsics is None or (self.intrinsics.height, self.intrinsics.width) != depth.shape:
            height, width = depth.shape
            try:
                self.intrinsics = self._intrinsics_for(width, height)
            except (ValueError, OSError) as error:
                from ..intrinsics import Intrinsics
                self.note = f"{error}; the point cloud takes a 70 degree field of view"
                self.intrinsics = Intrinsics.from_fov(width, height, 70.0)
            self.changed()
        self.latest = Frame(protocol.FRAME, self.sequence, timestamp, lost, flags, [depth, amplitude, confidence],
                            protocol.FLOAT32)
        self.publish(self.latest)

    def _serve_requests(self, closing=False):
        while True:
            try:
                request, future = self._commands.get_nowait()
            except queue.Empty:
                return
            if closing:
                future.set_result({"ok": False, "message": "the viewer is closing"})
                continue
            try:
                reply = getattr(self, "_do_" + request["type"])(request)
            except Exception as error:  # a failure of one request must not end the stream
                reply = {"ok": False, "message": f"{type(error).__name__}: {error}"}
            future.set_result(reply)
            self.changed()

    def _do_range(self, request):
        value = request["value"]
        if self.device_type == "HQVGA":
            status = self.camera.setControl(zdc.TOFControl.RANGE, value)
        else:
            # A VGA module's range follows from its work mode; the raw frame's size changes with it, so
            # the stream restarts.
            mode = zdc.TofWorkMode.SINGLE_FREQ if value == 1250 else zdc.TofWorkMode.DOUBLE_FREQ
            status = self._restarted(lambda: self.camera.setControl(zdc.TOFControl.MODE, int(mode)))
        if status != OK:
            return {"ok": False, "message": f"the camera refused the range {value} mm: {_status_text(status)}"}
        self._restart_filters()
        return {"ok": True, "message": f"range {self.range_mm()} mm"}

    def _do_frame_rate(self, request):
        status = self.camera.setControl(zdc.TOFControl.FRAME_RATE, request["value"])
        if status != OK:
            return {"ok": False, "message": f"the camera refused {request['value']} frames/s: {_status_text(status)}"}
        self.frame_rate = request["value"]
        return {"ok": True, "message": f"{request['value']} frames/s"}

    def _do_skip(self, request):
        skip, loop = request["skip"], request["loop"]
        # The cycle first, so that no moment has more frames skipped than the cycle holds.
        for control, value in ((zdc.TOFControl.SKIP_FRAME, 0), (zdc.TOFControl.SKIP_FRAME_LOOP, loop),
                               (zdc.TOFControl.SKIP_FRAME, skip)):
            status = self.camera.setControl(control, value)
            if status != OK:
                return {"ok": False, "message": f"the camera refused the skip rule: {_status_text(status)}"}
        self.skip = (skip, loop)
        return {"ok": True, "message": f"skip {skip} of every {loop} frames"}

    def _do_filters(self, request):
        from .. import filters as f
        settings = request["value"]
        kinds = {"confidence": f.Confidence, "flying_pixel": f.FlyingPixel, "spatial": f.Spatial,
                 "temporal": f.Temporal}
        chain = []
        for name in protocol.FILTER_NAMES:
            if settings[name]["enabled"]:
                chain.append(kinds[name](**{k: v for k, v in settings[name].items() if k != "enabled"}))
        self._chain = f.Chain(chain) if chain else None
        self.filters = settings
        names = [n.replace("_", " ") for n in protocol.FILTER_NAMES if settings[n]["enabled"]]
        return {"ok": True, "message": "filters: " + (", ".join(names) if names else "none")}

    def _restart_filters(self):
        if self._chain is not None:
            self._chain.reset()

    def _do_record(self, request):
        if request["action"] == "stop":
            if not self.recording:
                return {"ok": False, "message": "no recording runs"}
            recording = self.recording
            failure = self._finish_recording()
            if failure:
                return {"ok": False, "message": failure}
            return {"ok": True, "message": f"recorded {recording['frames']} frames to {recording['path']}",
                    "file": recording["path"]}
        if self.recording:
            return {"ok": False, "message": f"a recording to {self.recording['path']} runs already"}
        from ..recorder import Recorder
        path = self._recording_path(request["format"])
        raw = request["format"] == "bin"
        if raw:
            # The kit's recording format holds raw frames: the camera streams those while it records.
            status = self._restarted(None, zdc.TOFOutput.RAW)
            if status != OK:
                return {"ok": False, "message": f"cannot stream raw frames: {_status_text(status)}"}
        try:
            self.recorder = Recorder(path, camera=self.camera, intrinsics=None if raw else self.intrinsics,
                                     source=self.source)
        except (OSError, ImportError, ValueError) as error:
            if raw:
                self._restarted(None, zdc.TOFOutput.DEPTH)
            return {"ok": False, "message": f"cannot record to {path}: {error}"}
        self.recording = {"path": path, "format": request["format"], "started": time.time()}
        return {"ok": True, "message": f"recording to {path}", "file": path}

    def _finish_recording(self):
        """Closes a running recording; the reason if it failed, else None."""
        if not self.recording:
            return None
        recorder, self.recorder = self.recorder, None
        failure = None
        try:
            recorder.close()
        except Exception as error:  # the recorder's own error, with what the file holds
            failure = str(error)
        self.recording["frames"] = recorder.frames_written
        self.recording = None
        if self.output == zdc.TOFOutput.RAW and not self._stop.is_set():
            self._restarted(None, zdc.TOFOutput.DEPTH)
        return failure

    def _recording_path(self, fmt):
        stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
        base = os.path.join(self.record_dir, f"zentrox-{stamp}")
        path, n = f"{base}.{fmt}", 1
        while os.path.exists(path):
            n += 1
            path = f"{base}-{n}.{fmt}"
        return path

    def _restarted(self, change, output=None):
        """Stops the stream, applies `change` (a function returning a status) and starts again in
        `output` (default: as before). The status of the change, else of the start."""
        self.camera.stop()
        status = change() if change is not None else OK
        if output is not None:
            self.output = output
        started = self.camera.start(self.output)
        if started != OK and self.output != zdc.TOFOutput.DEPTH:
            self.output = zdc.TOFOutput.DEPTH
            self.camera.start(self.output)
        self._lost = type(self._lost)()
        return status if status != OK else started

    def _do_pause(self, request):  # pauses are the server's business, per page
        return {"ok": True, "message": ""}

    def _do_ping(self, request):
        return {"ok": True, "message": ""}
