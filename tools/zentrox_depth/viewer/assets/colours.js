// Colour maps of the viewer: depth in the turbo colour map (the same polynomial as the toolkit's
// PNG pictures), amplitude and confidence in grey. Pixels without depth are black.
"use strict";

const Colours = (() => {
  const LUT_SIZE = 1024;

  // One colour of the turbo map, t in [0, 1], as [r, g, b] bytes.
  function turbo(t) {
    t = Math.min(Math.max(t, 0), 1);
    const r = 0.13572138 + t * (4.61539260 + t * (-42.66032258 + t * (132.13108234 + t * (-152.94239396 + t * 59.28637943))));
    const g = 0.09140261 + t * (2.19418839 + t * (4.84296658 + t * (-14.18503333 + t * (4.27729857 + t * 2.82956604))));
    const b = 0.10667330 + t * (12.64194608 + t * (-60.58204836 + t * (110.36276771 + t * (-89.90310912 + t * 27.34824973))));
    const byte = (v) => Math.floor(Math.min(Math.max(v, 0), 1) * 255 + 0.5);
    return [byte(r), byte(g), byte(b)];
  }

  // The map sampled at the centres of LUT_SIZE equal steps, packed as little-endian RGBA words.
  const lut = new Uint32Array(LUT_SIZE);
  for (let i = 0; i < LUT_SIZE; i++) {
    const [r, g, b] = turbo((i + 0.5) / LUT_SIZE);
    lut[i] = (255 << 24) | (b << 16) | (g << 8) | r;
  }
  const BLACK = 255 << 24;

  // Depth (mm) into the 32-bit pixels of an ImageData, over [low, high] mm.
  function colourDepth(depth, pixels, low, high) {
    const scale = LUT_SIZE / (high - low);
    const last = LUT_SIZE - 1;
    for (let i = 0; i < depth.length; i++) {
      const d = depth[i];
      if (d > 0 && d < Infinity) {
        let k = ((d - low) * scale) | 0;
        k = k < 0 ? 0 : (k > last ? last : k);
        pixels[i] = lut[k];
      } else {
        pixels[i] = BLACK;
      }
    }
  }

  // Values in grey, `top` white.
  function colourGrey(values, pixels, top) {
    const scale = top > 0 ? 255 / top : 0;
    for (let i = 0; i < values.length; i++) {
      let v = (values[i] * scale) | 0;
      v = v < 0 ? 0 : (v > 255 ? 255 : v);
      pixels[i] = BLACK | (v << 16) | (v << 8) | v;
    }
  }

  // Quantiles of the valid values (above 0, finite) of about 4096 evenly spread pixels.
  function quantiles(values, qs) {
    const step = Math.max(1, Math.floor(values.length / 4096));
    const sample = [];
    for (let i = 0; i < values.length; i += step) {
      const v = values[i];
      if (v > 0 && v < Infinity) sample.push(v);
    }
    if (!sample.length) return null;
    const sorted = Float64Array.from(sample).sort();
    return qs.map((q) => sorted[Math.min(sorted.length - 1, Math.floor(q * (sorted.length - 1) + 0.5))]);
  }

  // A display range for the depth: its 1st to 99th percentile, widened to whole 100 mm.
  function depthRange(depth) {
    const q = quantiles(depth, [0.01, 0.99]);
    if (!q) return [0, 1000];
    const low = Math.floor(q[0] / 100) * 100;
    return [low, Math.max(Math.ceil(q[1] / 100) * 100, low + 100)];
  }

  // The 99th percentile: the level drawn white.
  function greyTop(values) {
    const q = quantiles(values, [0.99]);
    return q ? q[0] : 0;
  }

  // The colour bar, far end at the top, with five labels in mm.
  function drawBar(canvas, low, high) {
    const ctx = canvas.getContext("2d");
    const w = canvas.width, h = canvas.height, barW = 16;
    ctx.fillStyle = "#181818";
    ctx.fillRect(0, 0, w, h);
    for (let y = 0; y < h; y++) {
      const [r, g, b] = turbo(1 - y / (h - 1));
      ctx.fillStyle = `rgb(${r},${g},${b})`;
      ctx.fillRect(0, y, barW, 1);
    }
    ctx.fillStyle = "#e8e8e8";
    ctx.font = "10px sans-serif";
    ctx.textBaseline = "middle";
    for (let i = 0; i < 5; i++) {
      const value = low + (i * (high - low)) / 4;
      const y = Math.round(((high - value) / (high - low)) * (h - 1));
      ctx.fillRect(barW, y, 4, 1);
      ctx.fillText(`${Math.round(value)} mm`, barW + 6, Math.min(Math.max(y, 6), h - 6));
    }
  }

  return { turbo, colourDepth, colourGrey, depthRange, greyTop, drawBar, LUT_SIZE };
})();
