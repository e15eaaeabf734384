"""The viewer's web server (aiohttp): the page's own files, one WebSocket per page and the snapshot
downloads, nothing else.

Frames: the camera thread hands every frame to the event loop once; each page has a slot that holds
the newest frame not yet sent to it, and a sender task of its own that sends what is in the slot when
the page may take one more: a page says which frame it has taken last, and at most FRAMES_AHEAD
frames are sent and not yet taken. A slow page (or network) thus gets the newest frame whenever it
is ready for one, frames wait neither in the server nor in the network's and browser's buffers, and
no page can hold up the camera or another page.

Security: on a loopback address only requests naming the server by a loopback name are served (a
page of another site that has a name resolve to 127.0.0.1 is refused); on any other address every
request needs the token printed at start, given as ?token= or by the cookie the page receives with
it. The WebSocket accepts only the page's own origin. Every request of a page is checked
(protocol.check_request) before it reaches the camera."""

import asyncio
import hmac
import importlib.resources
import ipaddress
import json
import secrets
import threading
import time
import urllib.parse

from aiohttp import WSMsgType, web

from . import protocol, snapshots
from .camera_loop import CameraLoop, monotonic_ms, rays_message

# The page's files: the only paths under which anything of the package is served.
ASSETS = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/viewer.css": ("viewer.css", "text/css; charset=utf-8"),
    "/viewer.js": ("viewer.js", "text/javascript; charset=utf-8"),
    "/colours.js": ("colours.js", "text/javascript; charset=utf-8"),
    "/cloud.js": ("cloud.js", "text/javascript; charset=utf-8"),
}
COOKIE = "zentrox_viewer_token"
# Replies and state messages one page may have waiting; a page that asks faster than it reads is cut off.
MAX_PENDING_TEXTS = 64
# Requests of one page waiting for the camera at most; more are refused until these are done.
MAX_CAMERA_REQUESTS = 8
# Frames sent to a page and not yet taken by it: one arriving, one on its way.
FRAMES_AHEAD = 2
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


class Client:
    """One page's WebSocket: its newest unsent frame, the texts waiting for it, the frame it shows."""

    def __init__(self, ws, transport):
        self.id = secrets.token_urlsafe(16)
        self.ws = ws
        self.transport = transport
        self.paused = False
        self.in_flight = []  # sequences sent and not yet taken
        self.waiting = 0  # requests handed to the camera thread and not yet answered
        self.slot = None
        self.binary = []  # the ray table, before any frame
        self.texts = []
        self.state_due = False
        self.shown = None
        self.rays_of = None
        self.sent = 0
        self.replaced = 0
        self.wake = asyncio.Event()

    def offer(self, frame):
        if self.paused:
            return
        if self.slot is not None:
            self.replaced += 1
        self.slot = frame
        self.wake.set()

    def say(self, message):
        self.texts.append(json.dumps(message))
        self.wake.set()
        return len(self.texts) <= MAX_PENDING_TEXTS


class Viewer:
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

    def _origin_ok(self, request):
        origin = request.headers.get("Origin")
        host = request.headers.get("Host")
        return origin is not None and host is not None and origin == f"http://{host}"

    async def _websocket(self, request):
        if not self._origin_ok(request):
            return web.Response(status=403, text="refused: this WebSocket serves the viewer's own page only\n")
        ws = web.WebSocketResponse(compress=False, max_msg_size=protocol.MAX_REQUEST_BYTES, autoping=True,
                                   heartbeat=None)
        await ws.prepare(request)
        client = Client(ws, request.transport)
        self.clients[client.id] = client
        client.say(self._hello(client))
        intrinsics = self.camera_loop.intrinsics
        if intrinsics is not None:
            client.rays_of = intrinsics
            client.binary.append(rays_message(intrinsics))
        sender = asyncio.ensure_future(self._send(client))
        try:
            async for message in ws:
                if message.type == WSMsgType.TEXT:
                    if not await self._request(client, message.data):
                        break
                elif message.type == WSMsgType.BINARY:
                    if not client.say({"type": "reply", "ok": False, "message": "requests are JSON text"}):
                        break
                else:
                    break
        finally:
            self.clients.pop(client.id, None)
            sender.cancel()
            await ws.close()
        return ws

    async def _send(self, client):
        ws = client.ws
        try:
            while not ws.closed:
                await client.wake.wait()
                client.wake.clear()
                while client.texts:
                    await ws.send_str(client.texts.pop(0))
                while client.binary:
                    await ws.send_bytes(client.binary.pop(0))
                if client.state_due:
                    client.state_due = False
                    await ws.send_str(json.dumps(self._state()))
                if len(client.in_flight) >= FRAMES_AHEAD:
                    continue  # the slot keeps the newest frame until the page has taken one
                frame, client.slot = client.slot, None
                if frame is not None and not client.paused:
                    client.in_flight.append(frame.sequence)
                    await ws.send_bytes(frame.payload)
                    if frame.kind == protocol.FRAME:
                        client.shown = frame
                    client.sent += 1
        except (ConnectionError, RuntimeError):
            pass  # the page went away; its handler ends

    async def _request(self, client, text):
        """Handles one request of a page; False when the page is to be cut off."""
        ident = None
        try:
            message = json.loads(text)
            if isinstance(message, dict):
                ident = message.get("id")
                if not (isinstance(ident, int) and not isinstance(ident, bool)) or not 0 <= ident < 2 ** 53:
                    ident = None
            request = protocol.check_request(message, self.camera_loop.choices())
        except (ValueError, RecursionError) as error:
            return client.say({"type": "reply", "id": ident, "ok": False, "message": str(error)})
        kind = request["type"]
        if kind == "taken":
            # Taking a frame settles every frame sent before it too.
            client.in_flight = [s for s in client.in_flight if s > request["sequence"]]
            client.wake.set()
            return True
        if kind == "ping":
            return client.say({"type": "pong", "t": request["t"], "server_ms": monotonic_ms()})
        if kind == "pause":
            client.paused = request["value"]
            if client.paused:
                client.slot = None
            return client.say({"type": "reply", "id": ident, "ok": True,
                               "message": "paused" if client.paused else "live"})
        # The camera answers between two frames (a restart takes longer): meanwhile this page's other
        # messages (taken, ping) are read on.
        if client.waiting >= MAX_CAMERA_REQUESTS:
            return client.say({"type": "reply", "id": ident, "ok": False,
                               "message": "too many requests wait for the camera; try again"})
        client.waiting += 1
        future = asyncio.wrap_future(self.camera_loop.call(request))

        def answered(done):
            client.waiting -= 1
            if not done.cancelled() and not client.say(dict(done.result(), type="reply", id=ident)):
                self.loop.create_task(client.ws.close())
        future.add_done_callback(answered)
        return True

    # Messages.

    def _hello(self, client):
        loop = self.camera_loop
        return {"type": "hello", "client": client.id, "source": self.source, "device_type": loop.device_type,
                "choices": loop.choices(), "server_ms": monotonic_ms(), "wall_minus_monotonic_ms":
                time.time() * 1000.0 - monotonic_ms(),
                "filter_parameters": {name: [{"name": p, "whole": kind is int, "min": low, "max": high,
                                              "default": default}
                                             for p, kind, low, high, default in protocol.FILTER_PARAMETERS[name]]
                                      for name in protocol.FILTER_NAMES},
                "state": self._state()}

    def _state(self):
        state = self.camera_loop.state()
        i = self.camera_loop.intrinsics
        state["intrinsics"] = None if i is None else {"width": i.width, "height": i.height, "fx": i.fx, "fy": i.fy,
                                                      "cx": i.cx, "cy": i.cy}
        state["pages"] = len(self.clients)
        return dict(state, type="state")

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
            if intrinsics is not None and client.rays_of != intrinsics:
                client.rays_of = intrinsics
                client.binary.append(rays_message(intrinsics))
            client.state_due = True
            client.wake.set()

    async def _tick(self):
        """Once a second: the state to every page while a recording runs (its frame count grows)."""
        while True:
            await asyncio.sleep(1.0)
            if self.camera_loop.recording:
                self._state_changed()
