"""What the pages may ask of the camera: range, frame rate, skip rule, filters and recordings.

The requests are served by the camera thread between two frames (CameraLoop mixes this in), so the
camera sees one caller only; each handler answers {"ok": bool, "message": text}."""

import datetime
import os
import time

import ZentroxDepthCamera as zdc

from . import protocol

OK = zdc.TOFErrorCode.ZentroxSuccess


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


def status_text(status):
    return f"{status.str()} ({status.value})"


class CameraRequests:
    """The request handlers of CameraLoop, one _do_<type> per request type."""

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
            return {"ok": False, "message": f"the camera refused the range {value} mm: {status_text(status)}"}
        self._restart_filters()
        return {"ok": True, "message": f"range {self.range_mm()} mm"}

    def _do_frame_rate(self, request):
        status = self.camera.setControl(zdc.TOFControl.FRAME_RATE, request["value"])
        if status != OK:
            return {"ok": False, "message": f"the camera refused {request['value']} frames/s: {status_text(status)}"}
        self.frame_rate = request["value"]
        return {"ok": True, "message": f"{request['value']} frames/s"}

    def _do_skip(self, request):
        skip, loop = request["skip"], request["loop"]
        # The cycle first, so that no moment has more frames skipped than the cycle holds.
        for control, value in ((zdc.TOFControl.SKIP_FRAME, 0), (zdc.TOFControl.SKIP_FRAME_LOOP, loop),
                               (zdc.TOFControl.SKIP_FRAME, skip)):
            status = self.camera.setControl(control, value)
            if status != OK:
                return {"ok": False, "message": f"the camera refused the skip rule: {status_text(status)}"}
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
                return {"ok": False, "message": f"cannot stream raw frames: {status_text(status)}"}
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
