#!/usr/bin/env python3
"""Draws the launcher's emblem and writes the image assets of resources/.

The background watermark is a 1000 x 1000 PNG: a white emblem at alpha 13 of
255 on a fully transparent background. The icon holds the same emblem, opaque
on a dark disc, at 16, 32, 48, 64 and 128 pixels (32-bit PNG images), and
once more as a 256-pixel PNG for the window and the Linux desktop entry.
Standard library only, so it runs anywhere: python3 scripts/make-assets.py
"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
RESOURCES = os.path.join(HERE, "..", "resources")


def emblem_distance(x, y):
    """Signed distance (negative inside) to the emblem in a unit square [-1, 1]^2:
    a ring with a bolt-shaped Z inside it."""
    r = math.hypot(x, y)
    ring = abs(r - 0.86) - 0.06

    def segment(px, py, ax, ay, bx, by, half_width):
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
        return math.hypot(px - ax - t * dx, py - ay - t * dy) - half_width

    top = segment(x, y, -0.42, -0.40, 0.42, -0.40, 0.075)
    diagonal = segment(x, y, 0.40, -0.40, -0.40, 0.40, 0.085)
    bottom = segment(x, y, -0.42, 0.40, 0.42, 0.40, 0.075)
    return min(ring, top, diagonal, bottom)


def png(width, height, rows):
    """rows: list of bytes objects, each width * 4 RGBA bytes."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    raw = b"".join(b"\x00" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def coverage(distance, pixel):
    """Anti-aliased coverage of a pixel whose size in unit coordinates is pixel."""
    return max(0.0, min(1.0, 0.5 - distance / pixel))


def watermark(size=1000, alpha=13):
    pixel = 2.0 / size
    rows = []
    for j in range(size):
        y = (j + 0.5) * pixel - 1.0
        row = bytearray()
        for i in range(size):
            x = (i + 0.5) * pixel - 1.0
            a = round(alpha * coverage(emblem_distance(x, y), pixel))
            row += bytes((255, 255, 255, a)) if a else b"\x00\x00\x00\x00"
        rows.append(bytes(row))
    return png(size, size, rows)


def icon_image(size):
    pixel = 2.0 / size
    rows = []
    for j in range(size):
        y = (j + 0.5) * pixel - 1.0
        row = bytearray()
        for i in range(size):
            x = (i + 0.5) * pixel - 1.0
            disc = coverage(math.hypot(x, y) - 0.98, pixel)
            mark = coverage(emblem_distance(x * 1.12, y * 1.12), pixel)
            # White emblem over a dark grey disc.
            value = round(44 + (255 - 44) * mark)
            row += bytes((value, value, value, round(255 * disc)))
        rows.append(bytes(row))
    return png(size, size, rows)


def ico(sizes):
    images = [icon_image(s) for s in sizes]
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for s, data in zip(sizes, images):
        entries += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return header + entries + b"".join(images)


def main():
    os.makedirs(os.path.join(RESOURCES, "images"), exist_ok=True)
    with open(os.path.join(RESOURCES, "images", "ivra_zaph_splash_square.png"), "wb") as f:
        f.write(watermark())
    with open(os.path.join(RESOURCES, "ivra.ico"), "wb") as f:
        f.write(ico([16, 32, 48, 64, 128]))
    # The window icon on every platform, and the desktop entry's icon on Linux.
    with open(os.path.join(RESOURCES, "images", "ivra-gateway.png"), "wb") as f:
        f.write(icon_image(256))


if __name__ == "__main__":
    main()
