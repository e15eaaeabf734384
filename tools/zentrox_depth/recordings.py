"""Reading recordings back: the frames of .bin and MCAP files, those whose writer was killed too, and
replay of raw frames through the driver.

The depth of a .bin recording exists only once the driver computes it, so its frames come from a
replay: the emulated kit plays the file, the controls recorded beside it are applied, and each
frame the driver delivers is matched to its recorded frame by its timestamp (the kit stamps every
image with its recorded timestamp, moved on by a pass length per pass of its loop). An MCAP file
that holds raw frames is replayed the same way, through a .bin file written from them."""

import itertools
import os
import tempfile

# Everything of the modules below is read through this one.
from .bin_format import BinRecording, read_sidecar  # noqa: F401
from .mcap_reader import McapRecording, ray_depth  # noqa: F401
from .recorded import RecordedFrame, RecordingFormatError, apply_controls, kind_of  # noqa: F401
from .recorder import Recorder
from .replay import ReplayError, prefetched, replay  # noqa: F401


def read_description(path):
    """What a recording holds besides its frames (Recorder.description), or {}."""
    path = str(path)
    if path.lower().endswith(".bin"):
        return read_sidecar(path)
    return McapRecording(path).description


def apply_recorded_controls(camera, path):
    """For a camera opened on a .bin recording: applies the controls it was recorded with."""
    if str(path).lower().endswith(".bin"):
        try:
            apply_controls(camera, BinRecording(path).controls())
        except (OSError, RecordingFormatError):
            pass  # the kit has refused or will refuse the file with its own message


def intrinsics_of_recording(path):
    """The intrinsics a recording was made with, if it tells them."""
    from .intrinsics import Intrinsics
    i = read_description(path).get("intrinsics")
    return Intrinsics(**i) if i else None


def mcap_to_bin(path, target):
    """Writes the raw frames of an MCAP recording as a .bin recording (with its controls beside it);
    returns the number of frames, 0 if the file holds no raw frames."""
    return len(_write_bin(McapRecording(path), target))


def _write_bin(recording, target):
    """mcap_to_bin for an opened recording; returns the sequence numbers of the frames written."""
    recorder, sequences = None, []
    try:
        for frame in recording.frames():
            if frame.raw is None:
                continue
            if recorder is None:
                controls = {k: v for k, v in frame.controls.items() if v >= 0}
                device = recording.description.get("device_type")
                recorder = Recorder(target, device_type=device, controls=controls, source=recording.path)
                if device == "VGA" and "MODE" in controls:
                    rows = frame.raw.shape[0]
                    blocks = 5 if rows % 5 == 0 and rows // 5 - 1 in (240, 480) else 10
                    recorder.controls.update(FMT_WIDTH=frame.raw.shape[1], FMT_HEIGHT=rows // blocks - 1)
            recorder.write(frame.timestamp_ms, raw=frame.raw, block=True)
            sequences.append(frame.sequence)
    finally:
        if recorder is not None:
            recorder.close()
    return sequences


def replays(path, with_depth=True):
    """Whether frames(path) computes the depth through the driver (and so keeps the recorded pace)."""
    if kind_of(path) == "bin":
        return with_depth
    first = next(iter(McapRecording(path).frames()), None)
    return first is not None and first.depth is None and first.raw is not None and with_depth


def frames(path, with_depth=True, timeout_ms=3000, limit=None):
    """Every frame of a recording (the first `limit` ones with a limit), each once. .bin: depth from a
    replay through the driver (with_depth) or the raw frames alone; MCAP: the recorded images, and
    the raw frames replayed through the driver where the file holds raw frames but no depth. Frames
    come in the recorded order, but for those of a replay that the driver delivered only in a later
    pass (replay())."""
    kind = kind_of(path)
    if kind == "bin":
        recording = BinRecording(path)
        if with_depth:
            for frame in replay(path, timeout_ms, limit):
                frame.raw = recording.raw(frame.index)
                yield frame
        else:
            for k in range(recording.frame_count if limit is None else min(limit, recording.frame_count)):
                yield RecordedFrame(k, k, recording.frame_stamps[k], raw=recording.raw(k))
        return
    recorded = McapRecording(path)
    first = next(iter(recorded.frames()), None)
    if first is None:
        return
    if first.depth is None and first.raw is not None and with_depth:
        with tempfile.TemporaryDirectory(prefix="zentrox-replay-") as scratch:
            target = os.path.join(scratch, "raw.bin")
            sequences = _write_bin(recorded, target)
            written = BinRecording(target)
            for frame in replay(target, timeout_ms, limit):
                frame.sequence, frame.raw = sequences[frame.index], written.raw(frame.index)
                yield frame
        return
    yield from itertools.islice(recorded.frames(), limit)
