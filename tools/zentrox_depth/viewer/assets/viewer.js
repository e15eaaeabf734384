// The viewer page: receives frames over the WebSocket as binary messages (a 48-byte header, then
// float32 planes), colours and draws them at the next animation frame, keeps the counters and
// sends the controls. Only the newest frame received is drawn; older ones that arrive between two
// paints are dropped here too.
"use strict";

(() => {
  const { HEADER_BYTES, KIND_FRAME, KIND_RAYS, KIND_RAW, FLAG_FILTERED, FLAG_RECORDING } = Frames;
  const $ = (id) => document.getElementById(id);

  // What the tests and the benchmark read; nothing of the page depends on it.
  const stats = {
    received: 0, painted: 0, lastSequence: 0, skipped: 0, lost: 0, latencies: [], transit: [], range: [0, 1000],
    width: 0, height: 0, state: null, hello: null, clockOffset: null, clockRoundTrip: Infinity,
    replies: [], cloudError: null,
  };
  window.zentroxViewer = stats;

  const token = new URLSearchParams(location.search).get("token");
  let socket = null, pending = null, shown = null, rays = null, drawScheduled = false;
  let nextId = 1, requests = new Map();
  let cloud = null;
  try {
    cloud = new Cloud.View($("cloud"));
  } catch (error) {
    stats.cloudError = String(error);
  }

  // --- the connection -------------------------------------------------------------------------

  function connect() {
    const url = new URL("ws", location.href);
    url.protocol = location.protocol === "https:" ? "wss:" : "ws:";
    url.search = token ? `?token=${encodeURIComponent(token)}` : "";
    socket = new WebSocket(url);
    socket.binaryType = "arraybuffer";
    socket.onopen = () => { setConnection("live", true); ping(); };
    socket.onclose = () => {
      setConnection("disconnected: reload the page to reconnect", false);
      for (const [, resolve] of requests) resolve({ ok: false, message: "disconnected" });
      requests.clear();
    };
    socket.onmessage = (event) => {
      if (typeof event.data === "string") textMessage(JSON.parse(event.data));
      else binaryMessage(event.data);
    };
  }

  function setConnection(text, good) {
    const c = $("connection");
    c.textContent = text;
    c.className = good ? "good" : "bad";
  }

  // Sends a request; a promise of the server's reply.
  function send(request) {
    return new Promise((resolve) => {
      if (!socket || socket.readyState !== WebSocket.OPEN) {
        resolve({ ok: false, message: "not connected" });
        return;
      }
      const id = nextId++;
      requests.set(id, resolve);
      socket.send(JSON.stringify(Object.assign({ id }, request)));
    });
  }
  stats.send = send;

  // The browser's clock (performance.now) against the server's monotonic clock, from the ping
  // with the shortest round trip: the capture timestamps are on the server's clock.
  function ping() {
    if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify({ type: "ping", t: performance.now() }));
  }
  let pings = 0;
  function schedulePings() {
    ping();
    pings++;
    setTimeout(schedulePings, pings < 10 ? 200 : 5000);
  }

  function textMessage(m) {
    if (m.type === "pong") {
      const now = performance.now();
      const roundTrip = now - m.t;
      // Older estimates age, so that a drifting clock is followed.
      stats.clockRoundTrip = Math.min(stats.clockRoundTrip + 0.05, Infinity);
      if (roundTrip <= stats.clockRoundTrip) {
        stats.clockRoundTrip = roundTrip;
        stats.clockOffset = (m.t + now) / 2 - m.server_ms;
      }
    } else if (m.type === "hello") {
      stats.hello = m;
      $("source").textContent = `${m.source} (${m.device_type})`;
      controls.build(m);
      controls.apply(m.state);
      schedulePings();
    } else if (m.type === "state") {
      controls.apply(m);
    } else if (m.type === "reply") {
      stats.replies.push(m);
      showMessage(m.message, m.ok);
      const resolve = requests.get(m.id);
      if (resolve) { requests.delete(m.id); resolve(m); }
    }
  }

  function binaryMessage(buffer) {
    const h = Frames.parseHeader(buffer);
    if (!h) return;
    if (h.kind === KIND_RAYS) {
      rays = { width: h.width, height: h.height, data: new Float32Array(buffer, HEADER_BYTES, h.width * h.height * 3) };
      // The rays' spacing near the image centre gives the focal length in pixels.
      const c = 3 * ((h.height >> 1) * h.width + (h.width >> 1)), r = rays.data;
      const fx = 1 / Math.abs(r[c + 3] / r[c + 5] - r[c] / r[c + 2] || 1);
      if (cloud) cloud.setRays(rays.data, h.width, h.height, fx);
      return;
    }
    if (h.kind !== KIND_FRAME && h.kind !== KIND_RAW) return;
    stats.received++;
    if (stats.lastSequence && h.sequence > stats.lastSequence + 1) stats.skipped += h.sequence - stats.lastSequence - 1;
    stats.lastSequence = h.sequence;
    stats.lost = h.lost;
    if (stats.clockOffset !== null) {
      // Capture to arrival, and the server's share of it (capture to sending).
      stats.transit.push([performance.now() - (h.timestamp + stats.clockOffset), h.sent - h.timestamp]);
      if (stats.transit.length > 600) stats.transit.splice(0, 300);
    }
    arrivals.push(performance.now());
    if (arrivals.length > 31) arrivals.shift();
    taken(h.sequence);
    if (pending) stats.skipped++;  // received but replaced before it could be drawn
    pending = { header: h, buffer };
    if (!drawScheduled) {
      drawScheduled = true;
      requestAnimationFrame(draw);
    }
  }
  const arrivals = [];

  // Ready for the next frame: the server sends a page at most two frames beyond the last it took,
  // so that no frames wait in the network's buffers; the newest is drawn at the next paint.
  function taken(sequence) {
    if (socket && socket.readyState === WebSocket.OPEN) socket.send(`{"type":"taken","sequence":${sequence}}`);
  }

  // --- drawing --------------------------------------------------------------------------------

  function displayRange(depth) {
    if ($("auto-range").checked) {
      const range = Colours.depthRange(depth);
      $("range-low").value = range[0];
      $("range-high").value = range[1];
      return range;
    }
    const low = Number($("range-low").value), high = Number($("range-high").value);
    return Number.isFinite(low) && Number.isFinite(high) && high > low ? [low, high] : stats.range;
  }

  function draw() {
    const began = performance.now();
    drawScheduled = false;
    const frame = pending;
    pending = null;
    if (frame) {
      const h = frame.header, p = Frames.planes(frame);
      stats.width = h.width;
      stats.height = h.height;
      if (h.kind === KIND_RAW) {
        Frames.paintGrey($("amplitude"), p.raw, h.width, h.height);
        notice("recording raw frames: depth, confidence and the point cloud return when the recording stops");
      } else {
        notice("");
        const range = displayRange(p.depth);
        if (range[0] !== stats.range[0] || range[1] !== stats.range[1]) Colours.drawBar($("colour-bar"), range[0], range[1]);
        stats.range = range;
        Frames.paintDepth($("depth"), p.depth, h.width, h.height, range[0], range[1]);
        Frames.paintGrey($("amplitude"), p.amplitude, h.width, h.height);
        Frames.paintGrey($("confidence"), p.confidence, h.width, h.height);
        if (cloud && rays && rays.width === h.width && rays.height === h.height) {
          cloud.setDepth(p.depth);
          cloud.draw(range[0], range[1]);
        }
        shown = { header: h, planes: p };
      }
      $("filtered-badge").hidden = !(h.flags & FLAG_FILTERED);
      $("recording-badge").hidden = !(h.flags & FLAG_RECORDING);
      stats.painted++;
      if (stats.clockOffset !== null) {
        // Capture to paint: the drawing of this frame is issued; the browser shows it with this
        // animation frame.
        stats.latencies.push(performance.now() - (h.timestamp + stats.clockOffset));
        if (stats.latencies.length > 600) stats.latencies.splice(0, 300);
      }
      counters();
      stats.drawMs = performance.now() - began;
      if (cloud) cloud.changed = false;
    } else if (cloud && cloud.changed && shown) {
      cloud.changed = false;
      cloud.draw(stats.range[0], stats.range[1]);
    }
  }
  // Turning the cloud while paused redraws it.
  function idle() {
    if (cloud && cloud.changed && !drawScheduled) {
      drawScheduled = true;
      requestAnimationFrame(draw);
    }
    requestAnimationFrame(idle);
  }
  requestAnimationFrame(idle);

  let lastCounters = 0;
  function counters() {
    const now = performance.now();
    if (now - lastCounters < 250) return;
    lastCounters = now;
    const recent = arrivals.filter((t) => now - t < 2000);
    const fps = recent.length > 1 ? (recent.length - 1) / ((recent[recent.length - 1] - recent[0]) / 1000) : 0;
    $("fps").textContent = fps ? fps.toFixed(1) : "–";
    const last = stats.latencies.slice(-30).sort((a, b) => a - b);
    $("latency").textContent = last.length ? last[last.length >> 1].toFixed(1) : "–";
    $("lost").textContent = stats.lost;
    $("skipped").textContent = stats.skipped;
  }

  function notice(text) {
    const n = $("notice");
    n.hidden = !text;
    n.textContent = text;
  }

  function showMessage(text, ok) {
    if (!text) return;
    const m = $("message");
    m.textContent = text;
    m.className = ok ? "" : "bad";
  }

  // --- the read-out under the mouse -----------------------------------------------------------

  for (const id of ["depth", "amplitude", "confidence"]) {
    $(id).addEventListener("mousemove", (e) => {
      if (!shown) return;
      const canvas = e.currentTarget, h = shown.header;
      const u = Math.floor((e.offsetX / canvas.clientWidth) * h.width);
      const v = Math.floor((e.offsetY / canvas.clientHeight) * h.height);
      if (u < 0 || v < 0 || u >= h.width || v >= h.height) return;
      $("readout").textContent = readout(u, v);
    });
  }

  function readout(u, v) {
    const h = shown.header, i = v * h.width + u, d = shown.planes.depth[i];
    let text = `pixel (${u}, ${v})  amplitude ${shown.planes.amplitude[i].toFixed(0)}  `;
    if (!(d > 0 && d < Infinity)) return text + "no depth";
    text += `depth ${d.toFixed(1)} mm`;
    if (rays && rays.width === h.width && rays.height === h.height) {
      const r = rays.data, m = d / 1000;
      text += `  X ${(r[3 * i] * m).toFixed(3)}  Y ${(r[3 * i + 1] * m).toFixed(3)}  Z ${(r[3 * i + 2] * m).toFixed(3)} m`;
    }
    return text;
  }
  stats.readout = (u, v) => (shown ? readout(u, v) : null);

  const controls = Controls.create({ send, stats, token, showMessage });

  Colours.drawBar($("colour-bar"), stats.range[0], stats.range[1]);
  connect();
})();
