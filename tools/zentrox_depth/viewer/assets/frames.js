// The frames' binary messages: the 48-byte header, the planes viewed in place in the message, and
// painting them into canvases (one ImageData kept per canvas).
"use strict";

const Frames = (() => {
  const HEADER_BYTES = 48;
  const KIND_FRAME = 1, KIND_RAYS = 2, KIND_RAW = 3;
  const FLAG_FILTERED = 1, FLAG_RECORDING = 2;

  function parseHeader(buffer) {
    const v = new DataView(buffer);
    const magic = String.fromCharCode(v.getUint8(0), v.getUint8(1), v.getUint8(2), v.getUint8(3));
    if (magic !== "ZXV1" || v.getUint16(6, true) !== HEADER_BYTES) return null;
    return {
      kind: v.getUint16(4, true), sequence: v.getUint32(8, true), width: v.getUint16(12, true),
      height: v.getUint16(14, true), timestamp: v.getFloat64(16, true), sent: v.getFloat64(24, true),
      lost: v.getUint32(32, true), planes: v.getUint16(36, true), flags: v.getUint32(40, true),
    };
  }

  const images = {};
  function imageFor(canvas, w, h) {
    if (canvas.width !== w || canvas.height !== h) {
      canvas.width = w;
      canvas.height = h;
    }
    let entry = images[canvas.id];
    if (!entry || entry.data.width !== w || entry.data.height !== h) {
      const data = canvas.getContext("2d").createImageData(w, h);
      entry = images[canvas.id] = { data, words: new Uint32Array(data.data.buffer) };
    }
    return entry;
  }

  function planes(frame) {
    const h = frame.header, n = h.width * h.height;
    if (h.kind === KIND_RAW) return { raw: new Uint16Array(frame.buffer, HEADER_BYTES, n) };
    return {
      depth: new Float32Array(frame.buffer, HEADER_BYTES, n),
      amplitude: new Float32Array(frame.buffer, HEADER_BYTES + 4 * n, n),
      confidence: new Float32Array(frame.buffer, HEADER_BYTES + 8 * n, n),
    };
  }

  function paintGrey(canvas, values, w, h) {
    const img = imageFor(canvas, w, h);
    Colours.colourGrey(values, img.words, Colours.greyTop(values));
    canvas.getContext("2d").putImageData(img.data, 0, 0);
  }

  // Depth (mm) in the turbo map over [low, high].
  function paintDepth(canvas, values, w, h, low, high) {
    const img = imageFor(canvas, w, h);
    Colours.colourDepth(values, img.words, low, high);
    canvas.getContext("2d").putImageData(img.data, 0, 0);
  }

  return {
    HEADER_BYTES, KIND_FRAME, KIND_RAYS, KIND_RAW, FLAG_FILTERED, FLAG_RECORDING, parseHeader, planes, paintGrey,
    paintDepth,
  };
})();
