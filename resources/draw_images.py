#!/usr/bin/env python3
"""Draws the updater's pictures: the 48 x 48 logo (PNG with alpha) and the application icon
(.ico holding ten PNG images from 16 x 16 to 256 x 256).

Python standard library only. The picture is a teal disc with a white "K" and a small green
arrow pointing up (an update), drawn anew for every size with 4 x 4 supersampling, so that small
icons stay sharp instead of being scaled down from the large one.

Usage: draw_images.py [OUTPUT_DIR]   (default: the folder of this script, images/)
"""

import os
import struct
import sys
import zlib

ICON_SIZES = [16, 20, 24, 32, 40, 48, 64, 96, 128, 256]
SUPERSAMPLE = 4

DISC = (18, 112, 140)
DISC_EDGE = (10, 70, 92)
LETTER = (255, 255, 255)
ARROW = (120, 210, 90)


def inside_polygon(x, y, points):
    """Even-odd rule."""
    inside = False
    j = len(points) - 1
    for i, (xi, yi) in enumerate(points):
        xj, yj = points[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            inside = not inside
        j = i
    return inside


# Shapes in a unit square (0..1, y down).
K_STEM = [(0.30, 0.24), (0.42, 0.24), (0.42, 0.76), (0.30, 0.76)]
K_UPPER = [(0.42, 0.50), (0.60, 0.24), (0.74, 0.24), (0.50, 0.56)]
K_LOWER = [(0.47, 0.50), (0.56, 0.44), (0.74, 0.76), (0.60, 0.76)]
ARROW_HEAD = [(0.80, 0.08), (0.95, 0.27), (0.65, 0.27)]
ARROW_SHAFT = [(0.76, 0.27), (0.84, 0.27), (0.84, 0.42), (0.76, 0.42)]


def sample(u, v):
    """Colour (r, g, b, a) of one point of the unit square."""
    for shape in (ARROW_HEAD, ARROW_SHAFT):
        if inside_polygon(u, v, shape):
            return ARROW + (255,)
    du, dv = u - 0.5, v - 0.5
    r2 = du * du + dv * dv
    if r2 > 0.46 * 0.46:
        return (0, 0, 0, 0)
    for shape in (K_STEM, K_UPPER, K_LOWER):
        if inside_polygon(u, v, shape):
            return LETTER + (255,)
    if r2 > 0.42 * 0.42:
        return DISC_EDGE + (255,)
    return DISC + (255,)


def render(size):
    """Rows of RGBA bytes, premultiplied while averaging so that edges blend without dark fringes."""
    rows = []
    n = SUPERSAMPLE
    for y in range(size):
        row = bytearray()
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(n):
                for sx in range(n):
                    r, g, b, a = sample((x + (sx + 0.5) / n) / size, (y + (sy + 0.5) / n) / size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            alpha = acc[3] / (n * n)
            if acc[3] > 0:
                rgb = [int(round(c / acc[3])) for c in acc[:3]]
            else:
                rgb = [0, 0, 0]
            row += bytes(rgb + [int(round(alpha))])
        rows.append(bytes(row))
    return rows


def png(size):
    rows = render(size)
    raw = b"".join(b"\x00" + row for row in rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def ico(sizes):
    images = [png(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(sizes, images):
        dim = 0 if s >= 256 else s  # 0 means 256 in the directory entry
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                                 "images")
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "kelvaro_logo.png"), "wb") as f:
        f.write(png(48))
    with open(os.path.join(out_dir, "application.ico"), "wb") as f:
        f.write(ico(ICON_SIZES))


if __name__ == "__main__":
    main()
