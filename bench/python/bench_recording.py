"""Recording figures (name<TAB>value<TAB>unit):

- MCAP: 640 x 480 depth, amplitude, confidence and raw frames of the emulated kit's VGA module,
  offered to a Recorder at 30 frames/s for a few seconds; the writer thread's CPU time as a share
  of one core, the frames it dropped, and the plain write of the same bytes per frame (os.write
  of one buffer) as the reference;
- .bin: raw HQVGA frames written as fast as the recorder takes them (blocking writes), and the
  whole path from the kit at frame rate 0 through the driver (non-blocking, as the CLI does) with
  the frames dropped.

Run from a scratch directory (the VGA device writes its configuration files there)."""

import json
import os
import sys
import tempfile
import time

import numpy as np

import ZentroxDepthCamera as zdc
from zentrox_depth.recorder import Recorder


def grab(config, kind, count):
    cam = zdc.ZentroxCamera()
    assert cam.openWithFile(config, 0) == zdc.TOFErrorCode.ZentroxSuccess
    assert cam.start(kind) == zdc.TOFErrorCode.ZentroxSuccess
    frames = []
    while len(frames) < count:
        f = cam.requestFrame(3000)
        if kind == zdc.TOFOutput.RAW:
            frames.append((f.getFrameFormat().timestamp, f.getRawData()))
        else:
            frames.append((f.getFrameFormat().timestamp, f.getDepthData(), f.getAmplitudeData(),
                           f.getConfidenceData()))
        cam.releaseFrame(f)
    cam.stop()
    cam.close()
    return frames


def figure(name, value, unit):
    print(f"{name}\t{value}\t{unit}", flush=True)


def mcap_at_30(scratch, seconds, queue_size):
    config = os.path.join(scratch, "vga.json")
    with open(config, "w") as f:
        json.dump({"module": "vga", "width": 640, "height": 480, "frame_rate": 30, "noise": 2}, f)
    depths = grab(config, zdc.TOFOutput.DEPTH, 4)
    raws = grab(config, zdc.TOFOutput.RAW, 4)
    target = os.path.join(scratch, "bench.mcap")
    count = int(30 * seconds)
    began = time.monotonic()
    with Recorder(target, queue_size=queue_size) as rec:
        for k in range(count):
            due = began + k / 30.0
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            _, depth, amplitude, confidence = depths[k % 4]
            rec.write(33 * k, depth=depth, amplitude=amplitude, confidence=confidence, raw=raws[k % 4][1])
    wall = time.monotonic() - began
    size = os.path.getsize(target)
    os.remove(target)
    # The reference: the same bytes per frame written with one plain system call.
    payload = bytes(size // count)
    fd = os.open(os.path.join(scratch, "plain.bin"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    t = time.thread_time()
    for _ in range(30):
        os.write(fd, payload)
    plain = (time.thread_time() - t) / 30
    os.close(fd)
    os.remove(os.path.join(scratch, "plain.bin"))
    per_frame = rec.cpu_seconds / rec.frames_written
    figure("mcap 640x480 depth+amplitude+confidence+raw at 30 fps: recorder thread cpu",
           f"{100.0 * rec.cpu_seconds / wall:.1f}", "% of one core")
    figure("mcap 640x480 at 30 fps: frames offered", count, "frames")
    figure("mcap 640x480 at 30 fps: recorder queue (BENCH_RECORDER_QUEUE)", queue_size, "frames")
    figure("mcap 640x480 at 30 fps: frames dropped", rec.frames_dropped, "frames")
    figure("mcap 640x480 at 30 fps: bytes per frame", f"{size / count / 1e6:.2f}", "MB")
    figure("mcap 640x480: recorder cpu per frame", f"{1000 * per_frame:.2f}", "ms")
    figure("mcap 640x480: plain os.write of the same bytes per frame (reference)", f"{1000 * plain:.2f}", "ms")
    figure("mcap 640x480: recorder / plain write", f"{per_frame / plain:.1f}", "x")


def bin_unpaced(scratch, count):
    config = os.path.join(scratch, "hqvga.json")
    with open(config, "w") as f:
        json.dump({"frame_rate": 0, "noise": 1}, f)
    raws = grab(config, zdc.TOFOutput.RAW, 8)
    target = os.path.join(scratch, "bench.bin")
    began = time.monotonic()
    with Recorder(target) as rec:
        for k in range(count):
            rec.write(k * 3 + 3, raw=raws[k % 8][1], block=True)
    wall = time.monotonic() - began
    figure(".bin hqvga raw frames written, blocking writes", f"{rec.frames_written / wall:.0f}", "frames/s")
    figure(".bin hqvga recorder thread cpu per frame", f"{1000 * rec.cpu_seconds / rec.frames_written:.3f}", "ms")
    # The whole path: kit at frame rate 0, driver, requestFrame, Recorder (drops counted).
    cam = zdc.ZentroxCamera()
    cam.openWithFile(config, 0)
    cam.start(zdc.TOFOutput.RAW)
    began = time.monotonic()
    with Recorder(target, camera=cam) as rec:
        while rec.frames_offered < count:
            f = cam.requestFrame(3000)
            rec.record(f)
            cam.releaseFrame(f)
    wall = time.monotonic() - began
    cam.stop()
    cam.close()
    os.remove(target)
    figure(".bin hqvga from the kit at frame rate 0: frames recorded", f"{rec.frames_written / wall:.0f}", "frames/s")
    figure(".bin hqvga from the kit at frame rate 0: frames dropped", rec.frames_dropped, "frames")


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 6.0
    with tempfile.TemporaryDirectory(prefix="bench-recording-", dir=os.getcwd()) as scratch:
        mcap_at_30(scratch, seconds, int(os.environ.get("BENCH_RECORDER_QUEUE", "30")))
        bin_unpaced(scratch, 1500)
    return 0


if __name__ == "__main__":
    sys.exit(main())
