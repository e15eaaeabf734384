"""The viewer in a real browser: Debian's chromium, headless, driven through chromedriver. One
browser and one viewer of the emulated kit serve every test of the module; the kit renders
scene.SCENE without noise, so that what the page draws can be checked pixel by pixel."""

import http.client
import http.server
import io
import os
import shutil
import threading
import time

import numpy as np
import pytest

import scene
from viewer_kit import Page, depth_of_colours, kit_viewer, truth

REPO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SCREENSHOTS = os.environ.get("ZENTROX_SCREENSHOTS", os.path.join(REPO, "build", "screenshots"))
LOW, HIGH = 800.0, 3000.0  # the whole scene lies within


@pytest.fixture(scope="module")
def viewer(tmp_path_factory):
    with kit_viewer(tmp_path_factory.mktemp("viewer")) as v:
        yield v


@pytest.fixture(scope="module")
def browser():
    chromium, driver = shutil.which("chromium"), shutil.which("chromedriver")
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        webdriver = None
    if not (chromium and driver and webdriver):
        missing = "chromium, chromium-driver and selenium (scripts/stages/20-python.sh installs them)"
        if os.environ.get("CI") == "true":
            pytest.fail(f"the browser tests need {missing}")
        pytest.skip(f"the browser tests need {missing}")
    os.environ.setdefault("SE_OFFLINE", "true")  # selenium must not look for a browser to download
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000",
                 "--use-angle=swiftshader", "--enable-unsafe-swiftshader", "--disable-background-timer-throttling",
                 "--disable-renderer-backgrounding", "--disable-backgrounding-occluded-windows"):
        options.add_argument(flag)
    session = webdriver.Chrome(options=options, service=Service(driver))
    yield session
    session.quit()


def wait(browser, script, timeout=20.0):
    """The first true result of `script` (a JavaScript expression), tried until `timeout` s."""
    end = time.monotonic() + timeout
    while True:
        result = browser.execute_script("return " + script)
        if result or time.monotonic() > end:
            assert result, f"still false after {timeout} s: {script}"
            return result
        time.sleep(0.05)


def painted_after(browser, count=2):
    start = browser.execute_script("return zentroxViewer.painted")
    wait(browser, f"zentroxViewer.painted >= {start + count}")


@pytest.fixture(scope="module")
def page(viewer, browser):
    browser.get(viewer.url)
    wait(browser, "window.zentroxViewer && zentroxViewer.painted >= 3 && zentroxViewer.clockOffset !== null")
    return browser


def fixed_range(browser, low, high):
    browser.execute_script(f"""
        document.getElementById('auto-range').checked = false;
        document.getElementById('range-low').value = {low};
        document.getElementById('range-high').value = {high};""")
    painted_after(browser)


def shown_depth(browser):
    """The depth the page's depth canvas stands for, read back through the colour map."""
    data = browser.execute_script("""
        const c = document.getElementById('depth');
        return Array.from(c.getContext('2d').getImageData(0, 0, c.width, c.height).data);""")
    rgba = np.array(data, dtype=np.uint8).reshape(180, 240, 4)
    return depth_of_colours(rgba[..., :3], LOW, HIGH).reshape(180, 240)


def screenshot(browser, name):
    os.makedirs(SCREENSHOTS, exist_ok=True)
    browser.save_screenshot(os.path.join(SCREENSHOTS, name))


def test_frames_arrive_and_pause_holds_them(page, viewer):
    before = page.execute_script("return zentroxViewer.received")
    wait(page, f"zentroxViewer.received > {before + 5}")
    assert page.find_element("id", "connection").text == "live"
    assert float(page.find_element("id", "fps").text) > 0
    assert float(page.find_element("id", "latency").text) > 0
    page.find_element("id", "pause").click()
    wait(page, "zentroxViewer.replies.some(r => r.message === 'paused')")
    held = page.execute_script("return zentroxViewer.received")
    time.sleep(0.5)
    assert page.execute_script("return zentroxViewer.received") <= held + 1  # one may have been on its way
    # The snapshot link of the paused page downloads the frame it shows.
    link = page.find_element("id", "snap-depth")
    link.click()
    href = link.get_attribute("href").split(f":{viewer.port}", 1)[1]
    connection = http.client.HTTPConnection("127.0.0.1", viewer.port, timeout=10)
    connection.request("GET", href)
    depth = np.load(io.BytesIO(connection.getresponse().read()))
    shown = page.execute_script("return zentroxViewer.readout(120, 90)")
    assert abs(depth[90, 120] - float(shown.split("depth ")[1].split(" mm")[0])) < 0.06
    page.find_element("id", "pause").click()
    wait(page, f"zentroxViewer.received > {held + 3}")


def test_the_depth_view_shows_the_box_and_the_sphere_where_they_are(page):
    fixed_range(page, LOW, HIGH)
    shown = shown_depth(page)
    distance, reliable = truth()
    step = (HIGH - LOW) / 1024
    error = np.abs(shown - distance)[reliable]
    assert np.mean(error <= 2 * step + 3) > 0.995, np.nanmax(error)
    # The near objects are where the scene has them: box to the left, sphere to the right.
    near = shown < 1600
    assert (near == (distance < 1600))[reliable].mean() > 0.999
    box, sphere = np.argwhere(near[:, :120]), np.argwhere(near[:, 120:])
    assert len(box) > 1500 and len(sphere) > 1500
    # The read-out under the mouse: the sphere's nearest point.
    from selenium.webdriver import ActionChains
    canvas = page.find_element("id", "depth")
    v, u = np.unravel_index(np.argmin(np.where(distance > 0, distance, np.inf)), distance.shape)
    width, height = canvas.size["width"], canvas.size["height"]
    ActionChains(page).move_to_element_with_offset(
        canvas, int((u + 0.5) / 240 * width - width / 2), int((v + 0.5) / 180 * height - height / 2)).perform()
    text = page.find_element("id", "readout").text
    assert f"pixel ({u}, {v})" in text, text
    d = float(text.split("depth ")[1].split(" mm")[0])
    assert abs(d - distance[v, u]) < 3
    xyz = [float(text.split(f"{axis} ")[1].split()[0]) for axis in "XYZ"]
    assert np.allclose(xyz, scene.rays()[v, u] * distance[v, u] / 1000, atol=0.004)
    screenshot(page, "viewer.png")


def test_a_range_change_from_the_page_reaches_the_camera(page):
    from selenium.webdriver.support.ui import Select
    fixed_range(page, LOW, HIGH)
    distance, reliable = truth()
    try:
        Select(page.find_element("id", "range")).select_by_value("2000")
        wait(page, "zentroxViewer.replies.some(r => r.message === 'range 2000 mm')")
        wait(page, "zentroxViewer.state.range === 2000")
        painted_after(page, 4)
        wrapped = np.mod(distance, 2000.0)
        shown = shown_depth(page)
        # The wall at 2.2 m and more now wraps to a few hundred mm: below the display range.
        wall = reliable & (distance > 2150) & (wrapped < LOW - 100)
        assert wall.sum() > 10000 and np.all(np.abs(shown - LOW - (HIGH - LOW) / 2048)[wall] < 1)
        kept = reliable & (distance < 1900) & (distance > LOW + 10)
        assert np.mean(np.abs(shown - distance)[kept] < 6) > 0.995
    finally:
        Select(page.find_element("id", "range")).select_by_value("4000")
        wait(page, "zentroxViewer.state.range === 4000")


CLOUD_PICTURE = """
    const c = document.getElementById('cloud'), gl = c.getContext('webgl');
    const data = new Uint8Array(c.width * c.height * 4);
    gl.readPixels(0, 0, c.width, c.height, gl.RGBA, gl.UNSIGNED_BYTE, data);
    return [c.width, c.height, Array.from(data)];"""


def cloud_picture(browser):
    width, height, data = browser.execute_script(CLOUD_PICTURE)
    return np.array(data, dtype=np.uint8).reshape(height, width, 4)[::-1, :, :3]


def test_the_point_cloud_renders_and_turns(page):
    from selenium.webdriver import ActionChains
    from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
    assert page.execute_script("return zentroxViewer.cloudError") is None
    painted_after(page)
    home = cloud_picture(page)
    lit = home.any(axis=-1)
    assert lit.mean() > 0.5
    # From the camera's own view the cloud is the depth image again, in the same colours: the box
    # in the left half, the sphere in the right, both nearer (bluer) than the wall.
    colours = depth_of_colours(home[lit], LOW, HIGH, slack=3)
    assert np.isfinite(colours).mean() > 0.95
    depth = np.full(home.shape[:2], np.nan)
    depth[lit] = colours
    h, w = depth.shape
    middle = depth[h // 3:2 * h // 3]
    assert np.nanmedian(middle[:, :w // 4]) < 1600 < np.nanmedian(middle[:, w // 2 - 10:w // 2 + 10])
    canvas = page.find_element("id", "cloud")
    ActionChains(page).click_and_hold(canvas).move_by_offset(60, 30).release().perform()
    painted_after(page)
    turned = cloud_picture(page)
    assert np.mean(turned.any(axis=-1) != lit) > 0.05
    screenshot(page, "viewer-turned.png")
    ActionChains(page).double_click(canvas).perform()
    painted_after(page)
    assert np.mean(cloud_picture(page).any(axis=-1) != lit) < 0.01
    ActionChains(page).scroll_from_origin(ScrollOrigin.from_element(canvas), 0, 300).perform()
    painted_after(page)
    assert cloud_picture(page).any(axis=-1).mean() < lit.mean() - 0.05  # zoomed out: a smaller cloud
    ActionChains(page).double_click(canvas).perform()


def test_two_pages_at_once_share_the_camera(page, viewer):
    first = page.current_window_handle
    page.switch_to.new_window("window")
    try:
        page.get(viewer.url)
        wait(page, "window.zentroxViewer && zentroxViewer.painted >= 3")
        assert len(viewer.clients) == 2
        page.find_element("id", "filter-spatial").click()
        wait(page, "zentroxViewer.replies.some(r => r.ok && r.message.includes('spatial'))")
        second = page.execute_script("return zentroxViewer.received")
        page.switch_to.window(first)
        # The other page follows: it is told of the filter and keeps receiving frames.
        wait(page, "zentroxViewer.state.filters.spatial.enabled === true")
        wait(page, "document.getElementById('filter-spatial').checked")
        received = page.execute_script("return zentroxViewer.received")
        wait(page, f"zentroxViewer.received > {received + 5}")
        page.find_element("id", "filter-spatial").click()
        wait(page, "zentroxViewer.state.filters.spatial.enabled === false")
        page.switch_to.window([h for h in page.window_handles if h != first][0])
        assert page.execute_script("return zentroxViewer.received") > second
    finally:
        for handle in page.window_handles:
            if handle != first:
                page.switch_to.window(handle)
                page.close()
        page.switch_to.window(first)


def test_a_page_that_stops_reading_stalls_neither_the_camera_nor_the_page(page, viewer):
    stalled = Page(viewer.port, receive_buffer=4096)
    try:
        client = viewer.clients[stalled.until(lambda k, c: k == "text" and c["type"] == "hello")["client"]]
        camera, received = viewer.camera_loop.sequence, page.execute_script("return zentroxViewer.received")
        wait(page, f"zentroxViewer.received > {received + 45}")
        assert viewer.camera_loop.sequence - camera >= 45
        assert client.sent < 20 and client.replaced > 20
    finally:
        stalled.close()


ATTACK = """<!DOCTYPE html><script>
window.result = [];
const ws = new WebSocket("ws://127.0.0.1:{port}/ws");
ws.onopen = () => result.push("open");
ws.onmessage = () => result.push("message");
ws.onclose = () => result.push("close");
fetch("http://127.0.0.1:{port}/snapshot/depth.npy").then(() => result.push("read"), () => result.push("fetch refused"));
</script>"""


def test_a_page_of_another_origin_is_refused(page, viewer):
    class Attacker(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            body = ATTACK.replace("{port}", str(viewer.port)).encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Attacker)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    first = page.current_window_handle
    page.switch_to.new_window("window")
    try:
        pages = len(viewer.clients)
        page.get(f"http://127.0.0.1:{server.server_address[1]}/")
        result = wait(page, "window.result.length >= 2 && window.result")
        assert "close" in result and "fetch refused" in result
        assert "open" not in result and "message" not in result and "read" not in result
        assert len(viewer.clients) == pages
    finally:
        page.close()
        page.switch_to.window(first)
        server.shutdown()


def test_recording_starts_and_stops_from_the_page(page, viewer):
    from selenium.webdriver.support.ui import Select
    Select(page.find_element("id", "record-format")).select_by_value("mcap")
    page.find_element("id", "record").click()
    wait(page, "zentroxViewer.state.recording && zentroxViewer.state.recording.frames >= 5")
    assert page.find_element("id", "record").text == "stop"
    assert "recording to" in page.find_element("id", "record-status").text
    wait(page, "!document.getElementById('recording-badge').hidden")
    page.find_element("id", "record").click()
    reply = wait(page, "zentroxViewer.replies.find(r => r.message.startsWith('recorded '))")
    assert os.path.getsize(reply["file"]) > 0 and page.find_element("id", "record").text == "start"
