"""The picture zentrox-depth writes: the depth image in colour beside the amplitude image in grey,
with a colour bar labelled in millimetres."""

import numpy as np

# 5 x 7 glyphs of the characters the labels use.
_GLYPHS = {
    "0": ["01110", "10001", "10011", "10101", "11001", "10001", "01110"],
    "1": ["00100", "01100", "00100", "00100", "00100", "00100", "01110"],
    "2": ["01110", "10001", "00001", "00010", "00100", "01000", "11111"],
    "3": ["11110", "00001", "00001", "01110", "00001", "00001", "11110"],
    "4": ["00010", "00110", "01010", "10010", "11111", "00010", "00010"],
    "5": ["11111", "10000", "11110", "00001", "00001", "10001", "01110"],
    "6": ["00110", "01000", "10000", "11110", "10001", "10001", "01110"],
    "7": ["11111", "00001", "00010", "00100", "01000", "01000", "01000"],
    "8": ["01110", "10001", "10001", "01110", "10001", "10001", "01110"],
    "9": ["01110", "10001", "10001", "01111", "00001", "00010", "01100"],
    "m": ["00000", "00000", "11010", "10101", "10101", "10101", "10101"],
    " ": ["00000"] * 7,
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "D": ["11110", "10001", "10001", "10001", "10001", "10001", "11110"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "H": ["10001", "10001", "10001", "11111", "10001", "10001", "10001"],
    "I": ["01110", "00100", "00100", "00100", "00100", "00100", "01110"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "M": ["10001", "11011", "10101", "10101", "10001", "10001", "10001"],
    "P": ["11110", "10001", "10001", "11110", "10000", "10000", "10000"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "U": ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
}
_GLYPH_W, _GLYPH_H = 5, 7


def text_width(text, scale):
    return len(text) * (_GLYPH_W + 1) * scale


def draw_text(image, text, x, y, scale=2, colour=(255, 255, 255)):
    """Draws `text` with its top-left corner at (x, y); characters without a glyph are left blank."""
    for i, ch in enumerate(text):
        glyph = _GLYPHS.get(ch, _GLYPHS[" "])
        mask = np.array([[c == "1" for c in row] for row in glyph], dtype=bool)
        mask = np.kron(mask, np.ones((scale, scale), dtype=bool))
        gx = x + i * (_GLYPH_W + 1) * scale
        h = min(mask.shape[0], image.shape[0] - y)
        w = min(mask.shape[1], image.shape[1] - gx)
        if h <= 0 or w <= 0 or y < 0 or gx < 0:
            continue
        region = image[y:y + h, gx:gx + w]
        region[mask[:h, :w]] = colour


def turbo(t):
    """Colours of the values `t` in [0, 1] (a polynomial fit of the turbo colour map), as uint8 RGB."""
    t = np.clip(np.asarray(t, dtype=np.float64), 0.0, 1.0)
    r = 0.13572138 + t * (4.61539260 + t * (-42.66032258 + t * (132.13108234 + t * (-152.94239396 + t * 59.28637943))))
    g = 0.09140261 + t * (2.19418839 + t * (4.84296658 + t * (-14.18503333 + t * (4.27729857 + t * 2.82956604))))
    b = 0.10667330 + t * (12.64194608 + t * (-60.58204836 + t * (110.36276771 + t * (-89.90310912 + t * 27.34824973))))
    rgb = np.stack([r, g, b], axis=-1)
    return (np.clip(rgb, 0.0, 1.0) * 255.0 + 0.5).astype(np.uint8)


def valid_depth(depth):
    return np.isfinite(depth) & (depth > 0)


def depth_range(depth):
    """A display range in mm for the valid pixels: the 1st to 99th percentile, widened to whole
    hundreds of millimetres."""
    valid = depth[valid_depth(depth)]
    if valid.size == 0:
        return 0.0, 1000.0
    low, high = np.percentile(valid, [1, 99])
    low = np.floor(low / 100.0) * 100.0
    high = max(np.ceil(high / 100.0) * 100.0, low + 100.0)
    return float(low), float(high)


def colour_depth(depth, low, high):
    """Depth in colour over [low, high] mm; pixels without a valid depth are black."""
    rgb = turbo((depth - low) / (high - low))
    rgb[~valid_depth(depth)] = 0
    return rgb


def grey_amplitude(amplitude):
    """Amplitude in grey, scaled so that the 99th percentile is white."""
    amplitude = np.where(np.isfinite(amplitude), amplitude, 0.0)
    top = float(np.percentile(amplitude, 99)) if amplitude.size else 0.0
    level = np.clip(amplitude / top, 0.0, 1.0) if top > 0 else np.zeros_like(amplitude)
    grey = (level * 255.0 + 0.5).astype(np.uint8)
    return np.repeat(grey[..., None], 3, axis=-1)


def _ticks(low, high, count=5):
    step = (high - low) / (count - 1)
    return [low + i * step for i in range(count)]


def compose(depth, amplitude, scale=2, depth_mm=None):
    """The whole picture as an (height, width, 3) uint8 array: depth | amplitude | colour bar."""
    low, high = depth_mm if depth_mm is not None else depth_range(depth)
    h, w = depth.shape
    big = np.ones((scale, scale, 1), dtype=np.uint8)
    left = np.kron(colour_depth(depth, low, high), big)
    middle = np.kron(grey_amplitude(amplitude), big)

    margin, title_h, bar_w = 8, 7 * 2 + 8, 24
    labels = [f"{int(round(v))} mm" for v in _ticks(low, high)]
    label_w = max(text_width(s, 2) for s in labels)
    image_h = h * scale
    width = margin + w * scale + margin + w * scale + margin + bar_w + 10 + label_w + margin
    height = title_h + image_h + margin + 8
    out = np.full((height, width, 3), 24, dtype=np.uint8)

    x_depth = margin
    x_amp = x_depth + w * scale + margin
    x_bar = x_amp + w * scale + margin
    top = title_h
    out[top:top + image_h, x_depth:x_depth + w * scale] = left
    out[top:top + image_h, x_amp:x_amp + w * scale] = middle
    draw_text(out, "DEPTH", x_depth, 4)
    draw_text(out, "AMPLITUDE", x_amp, 4)

    # The bar runs from the far end (top) to the near end (bottom).
    levels = np.linspace(1.0, 0.0, image_h)
    bar = turbo(levels)[:, None, :].repeat(bar_w, axis=1)
    out[top:top + image_h, x_bar:x_bar + bar_w] = bar
    for value, text in zip(_ticks(low, high), labels):
        row = top + int(round((high - value) / (high - low) * (image_h - 1)))
        out[row, x_bar + bar_w:x_bar + bar_w + 4] = 255
        draw_text(out, text, x_bar + bar_w + 10, min(max(row - 7, 0), height - 14))
    return out
