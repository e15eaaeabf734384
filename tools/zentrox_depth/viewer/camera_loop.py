"""The viewer's camera thread: it owns the camera, takes every frame, filters it, packs it once into
the binary message that every page receives and hands it on without waiting for anybody.

Every operation on the camera (controls, restarts, recordings) runs on this thread between two
frames, so that the camera sees one caller only; the server asks for them with call(), which gives
back a future."""

import concurrent.futures
import queue
import threading
import time

import numpy as np

import ZentroxDepthCamera as zdc

from . import protocol
from .camera_requests import OK, CameraRequests, recording_formats, status_text  # noqa: F401
from .frame_message import Frame, monotonic_ms, rays_message  # noqa: F401

# How long one wait for a frame may keep a request from the page waiting.
FRAME_WAIT_MS = 100


class CameraLoop(CameraRequests):
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
        from ..stream_cmd import LostFrames
        self._lost = LostFrames()

    # Called from other threads.

    def start(self):
        status = self.camera.start(self.output)
        if status != OK:
            raise RuntimeError(f"cannot start the camera: {status_text(status)}")
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

