#!/usr/bin/python3
"""Draws the installer's icon, a white "K" on a blue rounded square, and writes it as a .ico with
several sizes: 32-bit DIB images up to 32 pixels, PNG images from 48 (Windows Vista and later, which
the installer needs anyway, read PNG at any size; a 64-pixel DIB alone is 17 KB against 2 KB of
PNG). Everything is computed here, so the output is the same on every machine.

usage: make_icon.py OUTPUT.ico
"""
import math
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 256)

# The glyph, in units of the icon's side: a stem and two diagonal strokes, with round ends.
STROKES = (((0.32, 0.22), (0.32, 0.78)), ((0.36, 0.53), (0.70, 0.22)), ((0.45, 0.44), (0.72, 0.78)))
STROKE_WIDTH = 0.13
TOP = (0x2B, 0x8C, 0xE6)  # background gradient, top to bottom
BOTTOM = (0x12, 0x4E, 0xA8)


def segment_distance(px, py, a, b):
    ax, ay = a
    bx, by = b
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def rounded_square_distance(px, py, margin, radius):
    """Signed distance to a square inset by margin with corners of the given radius."""
    half = 0.5 - margin - radius
    qx = abs(px - 0.5) - half
    qy = abs(py - 0.5) - half
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def coverage(distance, pixel):
    """Share of a pixel covered by a shape, from the signed distance of its centre to the edge."""
    return max(0.0, min(1.0, 0.5 - distance / pixel))


def render(size):
    """Rows of (r, g, b, a) from top to bottom."""
    pixel = 1.0 / size
    margin = 0.0 if size <= 24 else 0.03
    rows = []
    for y in range(size):
        py = (y + 0.5) * pixel
        shade = py
        base = tuple(round(t + (b - t) * shade) for t, b in zip(TOP, BOTTOM))
        row = []
        for x in range(size):
            px = (x + 0.5) * pixel
            back = coverage(rounded_square_distance(px, py, margin, 0.18), pixel)
            glyph_distance = min(segment_distance(px, py, a, b) for a, b in STROKES) - STROKE_WIDTH / 2
            glyph = coverage(glyph_distance, pixel) * back
            colour = tuple(round(c + (255 - c) * glyph) for c in base)
            row.append(colour + (round(255 * back),))
        rows.append(row)
    return rows


def dib_image(size, rows):
    """BITMAPINFOHEADER, bottom-up BGRA pixels and the AND mask (set where fully transparent)."""
    mask_stride = ((size + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, size * size * 4 + mask_stride * size,
                         0, 0, 0, 0)
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(pixels) + bytes(mask)


def png_image(size, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def icon(sizes):
    images = [(s, png_image(s, render(s)) if s >= 48 else dib_image(s, render(s))) for s in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in images:
        side = 0 if size >= 256 else size  # 0 stands for 256
        out += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    return bytes(out)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], "wb") as f:
        f.write(icon(SIZES))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
