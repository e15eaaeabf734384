"""The viewer's web server (aiohttp): the page's own files, one WebSocket per page and the snapshot
downloads, nothing else. The pages' WebSockets are served by pages.Pages.

Security: on a loopback address only requests naming the server by a loopback name are served (a
page of another site that has a name resolve to 127.0.0.1 is refused); on any other address every
request needs the token printed at start, given as ?token= or by the cookie the page receives with
it. The WebSocket accepts only the page's own origin. Every request of a page is checked
(protocol.check_request) before it reaches the camera."""

import asyncio
import hmac
import importlib.resources
import ipaddress
import secrets
import threading
import urllib.parse

from aiohttp import web

from . import protocol, snapshots
from .camera_loop import CameraLoop
from .pages import FRAMES_AHEAD, MAX_CAMERA_REQUESTS, MAX_PENDING_TEXTS, Client, Pages  # noqa: F401

# The page's files: the only paths under which anything of the package is served.
ASSETS = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/viewer.css": ("viewer.css", "text/css; charset=utf-8"),
    "/viewer.js": ("viewer.js", "text/javascript; charset=utf-8"),
    "/colours.js": ("colours.js", "text/javascript; charset=utf-8"),
    "/cloud.js": ("cloud.js", "text/javascript; charset=utf-8"),
    "/frames.js": ("frames.js", "text/javascript; charset=utf-8"),
    "/controls.js": ("controls.js", "text/javascript; charset=utf-8"),
}
COOKIE = "zentrox_viewer_token"
SECURITY_HEADERS = {
    "Content-Security-Policy": "default-src 'self'; img-src 'self' data: blob:; style-src 'self'; "
                               "script-src 'self'; connect-src 'self'; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
}


def is_loopback(host):
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def load_assets():
    folder = importlib.resources.files(__package__) / "assets"
    return {path: ((folder / name).read_bytes(), kind) for path, (name, kind) in ASSETS.items()}


class Viewer(Pages):
    """The server and the camera thread of one camera; start() returns once it listens.

    camera: an opened ZentroxCamera (the viewer starts, stops and closes it).
    intrinsics_for(width, height) -> Intrinsics of the depth images.
    token: required on every request when given (None: a loopback host needs none; True: make one)."""

    def __init__(self, camera, intrinsics_for, host="127.0.0.1", port=8080, token=None, record_dir=".",
                 source=""):
        if token is True or (token is None and not is_loopback(host)):
            token = secrets.token_urlsafe(24)
        self.host, self.port, self.token = host, port, token or None
        self.source = source
        self.assets = load_assets()
        self.clients = {}
        self.loop = None
        self.runner = None
        self._state_scheduled = False
        self.camera_loop = CameraLoop(camera, self._publish, self._changed, intrinsics_for, record_dir, source)
        self._thread = None
        self.native_id = None

    # Life.

    async def start_async(self):
        self.loop = asyncio.get_running_loop()
        self.native_id = threading.get_native_id()
        app = web.Application(middlewares=[self._guard], client_max_size=protocol.MAX_REQUEST_BYTES)
        app.router.add_get("/ws", self._websocket)
        app.router.add_get("/snapshot/{name}", self._snapshot)
        for path in self.assets:
            app.router.add_get(path, self._asset)
        self.runner = web.AppRunner(app, access_log=None, handle_signals=False)
        await self.runner.setup()
        site = web.TCPSite(self.runner, self.host, self.port, reuse_address=True)
        await site.start()
        self.port = self.runner.addresses[0][1]
        try:
            self.camera_loop.start()
        except RuntimeError:
            await self.runner.cleanup()
            raise
        self._ticker = asyncio.ensure_future(self._tick())

    async def close_async(self):
        self._ticker.cancel()
        for client in list(self.clients.values()):
            await client.ws.close()
        await self.runner.cleanup()
        await self.loop.run_in_executor(None, self.camera_loop.close)

    def start(self):
        """Runs the server on a thread of its own (tests, benchmarks)."""
        ready = threading.Event()
        failure = []

        def serve():
            loop = asyncio.new_event_loop()
            asyncio.set_event_loop(loop)
            try:
                loop.run_until_complete(self.start_async())
            except BaseException as error:
                failure.append(error)
                ready.set()
                loop.close()
                return
            ready.set()
            loop.run_forever()
            loop.run_until_complete(self.close_async())
            loop.close()

        self._thread = threading.Thread(target=serve, name="zentrox-viewer-server", daemon=True)
        self._thread.start()
        ready.wait()
        if failure:
            raise failure[0]
        return self

    def close(self):
        if self._thread is not None:
            self.loop.call_soon_threadsafe(self.loop.stop)
            self._thread.join()
            self._thread = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()
        return False

    @property
    def url(self):
        host = f"[{self.host}]" if ":" in self.host else self.host
        if host in ("0.0.0.0", "[::]"):
            host = "127.0.0.1" if host == "0.0.0.0" else "[::1]"
        query = f"?token={self.token}" if self.token else ""
        return f"http://{host}:{self.port}/{query}"

    # Requests.

    def _allowed_host(self, request):
        """Whether the Host header names this server (loopback only; with a token any name may)."""
        if self.token:
            return True
        host = request.headers.get("Host", "")
        try:
            parsed = urllib.parse.urlsplit("//" + host)
            return is_loopback(parsed.hostname or "") and parsed.port == self.port
        except ValueError:
            return False

    def _has_token(self, request):
        if not self.token:
            return True
        given = request.query.get("token") or request.cookies.get(COOKIE) or ""
        return hmac.compare_digest(given.encode(), self.token.encode())

    @web.middleware
    async def _guard(self, request, handler):
        if not self._allowed_host(request):
            return web.Response(status=421, text="this server answers to 127.0.0.1 and localhost only\n")
        if not self._has_token(request):
            return web.Response(status=403, text="a token is needed: use the address the viewer printed\n")
        try:
            response = await handler(request)
        except web.HTTPException as error:
            response = web.Response(status=error.status, text=error.text)
        if not isinstance(response, web.WebSocketResponse):
            response.headers.update(SECURITY_HEADERS)
        return response

    async def _asset(self, request):
        body, kind = self.assets[request.path]
        response = web.Response(body=body, headers={"Content-Type": kind})
        if self.token and request.query.get("token"):
            response.set_cookie(COOKIE, self.token, httponly=True, samesite="Strict", path="/")
        return response

    async def _snapshot(self, request):
        name = request.match_info["name"]
        if name not in snapshots.KINDS:
            raise web.HTTPNotFound()
        client = self.clients.get(request.query.get("client", ""))
        frame = client.shown if client is not None and client.shown is not None else self.camera_loop.latest
        if frame is None:
            raise web.HTTPServiceUnavailable(text="no frame yet\n")
        try:
            low, high = (float(request.query[k]) for k in ("low", "high"))
            depth_mm = (low, high) if 0 <= low < high <= 1e6 else None
        except (KeyError, ValueError):
            depth_mm = None
        body, kind, filename = await self.loop.run_in_executor(
            None, snapshots.make, name, frame, self.camera_loop.intrinsics, depth_mm)
        return web.Response(body=body, headers={"Content-Type": kind,
                                                "Content-Disposition": f'attachment; filename="{filename}"'})

    # From the camera thread.

    def _publish(self, frame):
        self.loop.call_soon_threadsafe(self._deliver, frame)

    def _deliver(self, frame):
        for client in self.clients.values():
            client.offer(frame)

    def _changed(self):
        self.loop.call_soon_threadsafe(self._state_changed)

    def _state_changed(self):
        intrinsics = self.camera_loop.intrinsics
        for client in self.clients.values():
            client.offer_rays(intrinsics)
            client.state_due = True
            client.wake.set()

    async def _tick(self):
        """Once a second: the state to every page while a recording runs (its frame count grows)."""
        while True:
            await asyncio.sleep(1.0)
            if self.camera_loop.recording:
                self._state_changed()
