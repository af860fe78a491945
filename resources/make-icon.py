#!/usr/bin/env python3
"""Draws the setup program's icon and writes resources/ostrevane-setup.ico and docs/icon.png.

The design: a teal-blue rounded square holding a white ring (the "O") with a
downward arrow inside it (setup). Each size has its own geometry so the small
ones stay on the pixel grid instead of being a scaled-down 256 px image.

Only the standard library is used, and the output is byte-for-byte the same on
every run, so the committed files can be checked by running this again:
    python3 resources/make-icon.py && git diff --exit-code
"""

import math
import os
import struct
import zlib

TOP = (0x22, 0xA6, 0xB3)  # background colour at the top edge
BOTTOM = (0x0B, 0x68, 0x80)  # and at the bottom edge
MARK = (0xFF, 0xFF, 0xFF)

# Per size, in pixels (edges on whole or half pixels where it matters at that size):
#   margin, radius  - the rounded square's inset from the image edge and corner radius
#   ring            - outer radius and stroke width of the ring, centred in the image
#   shaft           - half-width, top and bottom of the arrow's shaft
#   head            - half-width and tip of the arrow's head (it starts at the shaft's bottom)
#   stepped         - the arrow is drawn without anti-aliasing: at 16 px a 45° head drawn as
#                     whole-pixel steps is sharper than one blurred by half-covered pixels
SIZES = {
    16: dict(margin=0, radius=3.5, ring=(7.0, 1.5), shaft=(1.0, 4.0, 8.0), head=(4.5, 12.5), stepped=True),
    32: dict(margin=1, radius=6.5, ring=(12.5, 2.5), shaft=(2.0, 9.0, 16.0), head=(6.0, 22.5)),
    48: dict(margin=1, radius=9.5, ring=(18.5, 3.5), shaft=(3.0, 13.0, 24.0), head=(9.0, 34.0)),
    256: dict(margin=8, radius=52.0, ring=(96.0, 18.0), shaft=(12.0, 70.0, 128.0), head=(46.0, 180.0)),
}


def sd_rounded_square(x, y, lo, hi, r):
    """Signed distance from (x, y) to the square [lo, hi]² with corners of radius r."""
    c = (lo + hi) / 2
    h = (hi - lo) / 2 - r
    qx, qy = abs(x - c) - h, abs(y - c) - h
    return math.hypot(max(qx, 0.0), max(qy, 0.0)) + min(max(qx, qy), 0.0) - r


def sd_ring(x, y, c, outer, width):
    return abs(math.hypot(x - c, y - c) - (outer - width / 2)) - width / 2


def sd_polygon(x, y, pts):
    """Signed distance to a simple polygon (negative inside)."""
    d = float("inf")
    inside = False
    n = len(pts)
    for i in range(n):
        ax, ay = pts[i]
        bx, by = pts[i - 1]
        ex, ey = bx - ax, by - ay
        wx, wy = x - ax, y - ay
        t = max(0.0, min(1.0, (wx * ex + wy * ey) / (ex * ex + ey * ey)))
        d = min(d, math.hypot(wx - ex * t, wy - ey * t))
        if (ay > y) != (by > y) and x < ax + (y - ay) * ex / ey:
            inside = not inside
    return -d if inside else d


def coverage(d):
    """Area of a pixel covered by a shape whose edge is d pixels from its centre."""
    return max(0.0, min(1.0, 0.5 - d))


def draw(size):
    p = SIZES[size]
    c = size / 2
    lo, hi = p["margin"], size - p["margin"]
    outer, width = p["ring"]
    sw, s0, s1 = p["shaft"]
    hw, tip = p["head"]
    arrow = [(c - sw, s0), (c + sw, s0), (c + sw, s1), (c + hw, s1), (c, tip), (c - hw, s1), (c - sw, s1)]
    rows = []
    for j in range(size):
        y = j + 0.5
        t = min(1.0, max(0.0, (y - lo) / (hi - lo)))
        bg = [a + (b - a) * t for a, b in zip(TOP, BOTTOM)]
        row = bytearray()
        for i in range(size):
            x = i + 0.5
            alpha = coverage(sd_rounded_square(x, y, lo, hi, p["radius"]))
            ring = coverage(sd_ring(x, y, c, outer, width))
            d = sd_polygon(x, y, arrow)
            mark = max(ring, float(d < 0) if p.get("stepped") else coverage(d))
            rgb = [round(b + (m - b) * mark) for b, m in zip(bg, MARK)]
            row += bytes(rgb + [round(255 * alpha)])
        rows.append(bytes(row))
    return rows


def png(size, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = b"".join(b"\0" + r for r in rows)
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
        + chunk(b"IDAT", zlib.compress(raw, 9))
        + chunk(b"IEND", b"")
    )


def dib(size, rows):
    """The icon-resource bitmap: 32-bit BGRA bottom-up, then the 1-bit mask (set = transparent)."""
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    mask = bytearray()
    stride = (size + 31) // 32 * 4
    for r in reversed(rows):
        bits = bytearray(stride)
        for i in range(size):
            red, green, blue, a = r[4 * i : 4 * i + 4]
            colour += bytes((blue, green, red, a))
            if a == 0:
                bits[i // 8] |= 0x80 >> (i % 8)
        mask += bits
    return header + bytes(colour) + bytes(mask)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    images = []
    for size in sorted(SIZES):
        rows = draw(size)
        # Vista and later read PNG entries; the 256 px one is stored that way to stay small.
        images.append((size, png(size, rows) if size >= 256 else dib(size, rows)))
        if size == 256:
            with open(os.path.join(root, "docs", "icon.png"), "wb") as f:
                f.write(png(size, rows))
    ico = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        ico += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    ico += b"".join(data for _, data in images)
    with open(os.path.join(root, "resources", "ostrevane-setup.ico"), "wb") as f:
        f.write(ico)


if __name__ == "__main__":
    main()
