#!/usr/bin/env python3
"""Draws the application icon, a flower of the mood garden, into verdalune.ico.

One 256x256 image, 32 bits per pixel with alpha, stored as PNG inside the
icon file: Windows has read PNG icon images since Vista, and an uncompressed
image of this size would be a fifth of the program. Run it again after changing
the drawing and commit both files.
"""
import math
import struct
import sys
import zlib
from pathlib import Path

SIZE = 256
SAMPLES = 3  # per axis, for smooth edges


def shade(x, y):
    """Colour (r, g, b) and coverage of one sample; x, y in 0..1, y down."""
    cx, cy = 0.5, 0.44
    dx, dy = x - cx, y - cy
    r = math.hypot(dx, dy)
    # Heart of the flower.
    if r < 0.095:
        return (250, 204, 92), 1.0
    if r < 0.115:
        return (236, 168, 72), 1.0
    # Five petals: a rose curve that is rounder towards its tips.
    angle = math.atan2(dy, dx) + math.pi / 2
    edge = 0.2 + 0.21 * abs(math.cos(2.5 * angle)) ** 0.6
    if r < edge:
        t = r / edge
        return (int(246 - 18 * t), int(150 - 40 * t), int(170 - 20 * t)), 1.0
    # Stem and leaf behind the flower.
    if abs(x - 0.5) < 0.022 and 0.55 < y < 0.93:
        return (86, 150, 92), 1.0
    lx, ly = (x - 0.63) / 0.13, (y - 0.78) / 0.055
    a = math.radians(-30)
    u, v = lx * math.cos(a) - ly * math.sin(a), lx * math.sin(a) + ly * math.cos(a)
    if u * u + v * v < 1.0:
        return (112, 178, 104), 1.0
    return (0, 0, 0), 0.0


def render():
    rows = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) / SIZE
                    y = (py + (sy + 0.5) / SAMPLES) / SIZE
                    (cr, cg, cb), cov = shade(x, y)
                    acc[0] += cr * cov
                    acc[1] += cg * cov
                    acc[2] += cb * cov
                    acc[3] += cov
            n = SAMPLES * SAMPLES
            alpha = acc[3] / n
            if alpha > 0:
                row.append((round(acc[0] / acc[3]), round(acc[1] / acc[3]), round(acc[2] / acc[3]), round(255 * alpha)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def png(rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    # Filter type 0 on every row: the flat areas compress best unfiltered.
    raw = b"".join(b"\0" + b"".join(struct.pack("BBBB", *pixel) for pixel in row) for row in rows)
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # 8-bit RGBA, not interlaced
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def ico(rows):
    image = png(rows)
    # Width and height 0 mean 256; one plane, 32 bits per pixel.
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 0, 0, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + image


if __name__ == "__main__":
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("verdalune.ico")
    out.write_bytes(ico(render()))
