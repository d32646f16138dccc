#!/usr/bin/env python3
"""Draws the application's two images: logo.png (the status item, 64x64) and AppIcon.png (256x256).

The mark is a square of tesserae: a 4 x 4 grid of rounded tiles in two blues with one amber tile, the piece
of the day kept. Pure Python, no imaging library; the PNGs are committed.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
BLUES = [(36, 99, 170), (62, 140, 214)]
AMBER = (244, 172, 46)


def tile_colour(col, row):
    if (col, row) == (2, 1):
        return AMBER
    return BLUES[(col + row) % 2]


def draw(size, background):
    pixels = []
    cell = size / 4.0
    gap = max(1.0, size / 32.0)
    radius = cell / 5.0
    for y in range(size):
        row = []
        for x in range(size):
            col, r = min(3, int(x / cell)), min(3, int(y / cell))
            lx, ly = x - col * cell, y - r * cell
            inside = gap <= lx < cell - gap and gap <= ly < cell - gap
            if inside:
                # Round the tile's corners.
                cx = min(max(lx, gap + radius), cell - gap - radius)
                cy = min(max(ly, gap + radius), cell - gap - radius)
                inside = (lx - cx) ** 2 + (ly - cy) ** 2 <= radius ** 2
            row.append(tile_colour(col, r) + (255,) if inside else background)
        pixels.append(row)
    return pixels


def write_png(path, pixels):
    height, width = len(pixels), len(pixels[0])
    raw = b"".join(b"\x00" + bytes(v for px in row for v in px) for row in pixels)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    data = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(data)


write_png(os.path.join(HERE, "logo.png"), draw(64, (0, 0, 0, 0)))
write_png(os.path.join(HERE, "AppIcon.png"), draw(256, (0, 0, 0, 0)))
