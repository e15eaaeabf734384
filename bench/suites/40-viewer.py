#!/usr/bin/env python3
"""The browser viewer (zentrox-depth view) with one page open in headless chromium:

- capture to paint at 30 frames/s, measured in the browser: the page maps each frame's capture
  timestamp (the kit's monotonic clock, ms) onto its own clock with the offset it measures by
  ping (the answer with the shortest round trip; the error is at most half of it), and takes the
  time at which the frame's drawing is issued in the animation-frame callback; also capture to
  arrival and capture to sending (the server's share);
- the server's CPU share for a 640 x 480 stream (the kit's VGA module, double frequency, 30
  frames/s): CPU time of the viewer's two threads (event loop and camera loop) over the wall time,
  in % of one core, read from /proc; the whole process (which also runs the driver's capture thread,
  the depth engine and the kit's renderer) for reference.

Software GL (SwiftShader) draws the page here; on a machine with a GPU the paint is quicker."""
import json
import os
import shutil
import statistics
import sys
import tempfile
import time

SECONDS = 10.0
WARM_UP = 3.0


def thread_cpu_s(tid):
    with open(f"/proc/self/task/{tid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def process_cpu_s():
    t = os.times()
    return t.user + t.system


def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    os.environ.setdefault("SE_OFFLINE", "true")
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000",
                 "--use-angle=swiftshader", "--enable-unsafe-swiftshader"):
        options.add_argument(flag)
    return webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver")))


def measure(driver, config, directory, mode=None):
    import ZentroxDepthCamera as zdc
    from zentrox_depth.intrinsics import Intrinsics
    from zentrox_depth.viewer.server import Viewer
    path = os.path.join(directory, "kit.json")
    with open(path, "w") as f:
        json.dump(config, f)
    cam = zdc.ZentroxCamera()
    os.chdir(directory)  # the VGA device writes its configuration files here
    if cam.openWithFile(path) != zdc.TOFErrorCode.ZentroxSuccess:
        raise RuntimeError(f"cannot open the kit with {config}")
    if mode is not None:
        cam.setControl(zdc.TOFControl.MODE, int(mode))
    with Viewer(cam, lambda w, h: Intrinsics.from_fov(w, h, 70.0), port=0) as viewer:
        driver.get(viewer.url)
        time.sleep(WARM_UP)
        threads = [viewer.native_id, viewer.camera_loop.native_id]
        start_cpu = [thread_cpu_s(t) for t in threads]
        start_process, start_wall = process_cpu_s(), time.monotonic()
        start_counts = driver.execute_script("const s = zentroxViewer; s.latencies = []; s.transit = []; "
                                             "return [s.received, s.painted]")
        frames = viewer.camera_loop.sequence
        time.sleep(SECONDS)
        wall = time.monotonic() - start_wall
        server = sum(thread_cpu_s(t) - s for t, s in zip(threads, start_cpu)) / wall * 100
        process = (process_cpu_s() - start_process) / wall * 100
        latencies, transit, counts, round_trip = driver.execute_script(
            "const s = zentroxViewer; return [s.latencies, s.transit, [s.received, s.painted], s.clockRoundTrip]")
        frames = viewer.camera_loop.sequence - frames
    return {"paint": latencies, "arrival": [a for a, _ in transit], "sending": [b for _, b in transit],
            "server": server, "process": process, "fps": frames / wall,
            "received": (counts[0] - start_counts[0]) / wall, "painted": (counts[1] - start_counts[1]) / wall,
            "round_trip": round_trip}


def quantile(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(q * (len(values) - 1) + 0.5))] if values else float("nan")


def main():
    if not (shutil.which("chromium") and shutil.which("chromedriver")):
        print("40-viewer: needs chromium and chromium-driver (scripts/deps chromium chromium-driver)", file=sys.stderr)
        return 1
    try:
        import selenium  # noqa: F401
        import zentrox_depth.viewer.server  # noqa: F401
    except ImportError as error:
        print(f"40-viewer: {error}", file=sys.stderr)
        return 1
    import ZentroxDepthCamera as zdc
    driver = browser()
    try:
        with tempfile.TemporaryDirectory() as tmp:
            runs = [("240x180", measure(driver, {"frame_rate": 30}, tmp)),
                    ("640x480", measure(driver, {"module": "vga", "frequency_mode": "double", "frame_rate": 30},
                                        tmp, zdc.TofWorkMode.DOUBLE_FREQ))]
    finally:
        driver.quit()
    for size, r in runs:
        print(f"viewer {size} camera frame rate\t{r['fps']:.1f}\tfps")
        print(f"viewer {size} frames received by the page\t{r['received']:.1f}\tfps")
        print(f"viewer {size} frames painted by the page\t{r['painted']:.1f}\tfps")
        for name, key in (("capture to paint", "paint"), ("capture to arrival", "arrival"),
                          ("capture to sending", "sending")):
            print(f"viewer {size} {name} median\t{statistics.median(r[key]):.1f}\tms")
        print(f"viewer {size} capture to paint 90th percentile\t{quantile(r['paint'], 0.9):.1f}\tms")
        print(f"viewer {size} server CPU (event loop + camera loop)\t{r['server']:.1f}\t% of one core")
        print(f"viewer {size} whole process CPU (with capture, depth, kit)\t{r['process']:.1f}\t% of one core")
        print(f"viewer {size} clock mapping uncertainty (half the round trip)\t{r['round_trip'] / 2:.2f}\tms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
