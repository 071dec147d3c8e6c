#!/usr/bin/env python3
"""Draws the application icon and writes resources/nimbra.ico.

A rounded square in deep blue with a white downward arrow over a tray, at
16, 32, 48 and 256 pixels. Each size is drawn on its own from the shapes
(not scaled down from the largest), with strokes on whole pixels so the
small sizes stay crisp, and anti-aliased by supersampling.

Only the standard library is used, and nothing depends on time or chance:
running the script again writes a byte-identical file.

    python3 resources/make_icon.py [output.ico] [--preview preview.png]
"""

import math
import os
import struct
import sys
import zlib

SIZES = (16, 32, 48, 256)

# Background gradient, top to bottom, and the glyph colour (RGB).
TOP = (37, 99, 235)
BOTTOM = (23, 46, 130)
GLYPH = (255, 255, 255)

# The glyph as strokes with round ends, in units of the icon's side.
ARROW_SHAFT = ((0.5, 0.19), (0.5, 0.58))
ARROW_HEAD = ((0.31, 0.41), (0.5, 0.60), (0.69, 0.41))
TRAY = ((0.22, 0.62), (0.22, 0.79), (0.78, 0.79), (0.78, 0.62))

# Per size: stroke width, transparent margin and corner radius, in pixels.
# Widths are even so that strokes snapped to whole-pixel centre lines cover
# whole pixels, and the small sizes get relatively bolder strokes to stay legible.
METRICS = {16: (2, 0, 2.5), 32: (4, 1, 6), 48: (6, 1, 9), 256: (28, 8, 48)}


def segment_distance_sq(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = min(1.0, max(0.0, t))
    ex, ey = px - (ax + t * dx), py - (ay + t * dy)
    return ex * ex + ey * ey


def segments(points, size):
    """The polyline's segments in pixels, every point on a pixel corner."""
    snapped = [(round(x * size), round(y * size)) for x, y in points]
    return [snapped[i] + snapped[i + 1] for i in range(len(snapped) - 1)]


def render(size):
    """RGBA rows (top row first) as a list of bytearrays."""
    samples = 8 if size <= 48 else 4
    width, m, r = METRICS[size]
    centre = size / 2
    half_inner = centre - m - r
    radius_sq = (width / 2) ** 2
    strokes = segments(ARROW_SHAFT, size) + segments(ARROW_HEAD, size) + segments(TRAY, size)
    total = samples * samples

    rows = []
    for y in range(size):
        row = bytearray()
        for x in range(size):
            # Colour sums over the samples that fall inside the square.
            red = green = blue = inside = 0.0
            for sy in range(samples):
                v = y + (sy + 0.5) / samples
                mix = min(1.0, max(0.0, (v - m) / (size - 2 * m)))
                back = [TOP[i] + (BOTTOM[i] - TOP[i]) * mix for i in range(3)]
                qy = max(abs(v - centre) - half_inner, 0.0)
                for sx in range(samples):
                    u = x + (sx + 0.5) / samples
                    qx = max(abs(u - centre) - half_inner, 0.0)
                    if qx * qx + qy * qy > r * r:
                        continue
                    on_glyph = any(segment_distance_sq(u, v, *s) <= radius_sq for s in strokes)
                    colour = GLYPH if on_glyph else back
                    red += colour[0]
                    green += colour[1]
                    blue += colour[2]
                    inside += 1.0
            if inside == 0:
                row += bytes(4)
                continue
            row += bytes((round(red / inside), round(green / inside), round(blue / inside),
                          round(255 * inside / total)))
        rows.append(row)
    return rows


def png(width, height, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + bytes(row) for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    compressor = zlib.compressobj(9, zlib.DEFLATED, 15, 9, zlib.Z_DEFAULT_STRATEGY)
    data = compressor.compress(raw) + compressor.flush()
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", data) + chunk(b"IEND", b"")


def dib(size, rows):
    """A 32-bit icon bitmap: header, BGRA rows bottom-up, then the 1-bit mask."""
    stride = ((size + 31) // 32) * 4
    mask_size = stride * size
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(stride)
        for x in range(size):
            r, g, b, a = row[4 * x:4 * x + 4]
            pixels += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(pixels) + mask_size, 0, 0, 0, 0)
    return header + bytes(pixels) + bytes(mask)


def icon(images):
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    blobs = b""
    for size, data in images:
        side = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
        blobs += data
    return directory + entries + blobs


def preview(path, rendered):
    """Every size enlarged to 256 px, on a light and on a dark ground, side by side."""
    cell = 256
    grounds = ((240, 240, 240), (40, 40, 40))
    width = cell * len(rendered)
    out = []
    for ground in grounds:
        for y in range(cell):
            row = bytearray()
            for size, rows in rendered:
                source = rows[y * size // cell]
                for x in range(cell):
                    i = 4 * (x * size // cell)
                    a = source[i + 3] / 255
                    row += bytes(round(source[i + c] * a + ground[c] * (1 - a)) for c in range(3))
                    row += b"\xff"
            out.append(row)
    with open(path, "wb") as f:
        f.write(png(width, len(out), out))


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    output = os.path.join(here, "nimbra.ico")
    preview_path = None
    args = list(argv)
    while args:
        arg = args.pop(0)
        if arg == "--preview":
            preview_path = args.pop(0)
        else:
            output = arg
    rendered = [(size, render(size)) for size in SIZES]
    images = [(size, png(size, size, rows) if size >= 256 else dib(size, rows)) for size, rows in rendered]
    with open(output, "wb") as f:
        f.write(icon(images))
    if preview_path:
        preview(preview_path, rendered)


if __name__ == "__main__":
    main(sys.argv[1:])
