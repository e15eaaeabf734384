"""The viewer's pages: one WebSocket each, with the frames, replies and state sent to it and the
requests read from it.

Frames: the camera thread hands every frame to the event loop once; each page has a slot that holds
the newest frame not yet sent to it, and a sender task of its own that sends what is in the slot when
the page may take one more: a page says which frame it has taken last, and at most FRAMES_AHEAD
frames are sent and not yet taken. A slow page (or network) thus gets the newest frame whenever it
is ready for one, frames wait neither in the server nor in the network's and browser's buffers, and
no page can hold up the camera or another page."""

import asyncio
import json
import secrets
import time

from aiohttp import WSMsgType, web

from . import protocol
from .frame_message import monotonic_ms, rays_message

# Replies and state messages one page may have waiting; a page that asks faster than it reads is cut off.
MAX_PENDING_TEXTS = 64
# Requests of one page waiting for the camera at most; more are refused until these are done.
MAX_CAMERA_REQUESTS = 8
# Frames sent to a page and not yet taken by it: one arriving, one on its way.
FRAMES_AHEAD = 2


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

    def offer_rays(self, intrinsics):
        """Queues the ray table of `intrinsics` unless the page has it already."""
        if intrinsics is not None and self.rays_of != intrinsics:
            self.rays_of = intrinsics
            self.binary.append(rays_message(intrinsics))


class Pages:
    """The WebSocket side of Viewer (which mixes this in): self.clients, self.camera_loop, self.loop
    and self.source are the viewer's."""

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
        client.offer_rays(self.camera_loop.intrinsics)
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

