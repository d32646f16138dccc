#!/usr/bin/env python3
"""Writes small valid images in several layouts: the fuzzer's starting points."""
import os
import struct
import zlib

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds")


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)


def png(width, height, depth, colour, raw_rows, interlace=0, extra=b""):
    ihdr = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, interlace)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + extra + chunk(b"IDAT", zlib.compress(raw_rows))
            + chunk(b"IEND", b""))


os.makedirs(HERE, exist_ok=True)
w, h = 6, 5
for filt in range(5):
    rows = b"".join(bytes([filt]) + bytes((x * 40 + y * 17 + c * 60) % 256 for x in range(w) for c in range(3))
                    for y in range(h))
    with open(os.path.join(HERE, f"rgb8-filter{filt}.png"), "wb") as f:
        f.write(png(w, h, 8, 2, rows))
rgba = b"".join(b"\x04" + bytes((x * 30 + y * 50 + c * 70) % 256 for x in range(w) for c in range(4)) for y in range(h))
open(os.path.join(HERE, "rgba8-paeth.png"), "wb").write(png(w, h, 8, 6, rgba))
grey = b"".join(b"\x00" + bytes((x * 50 + y) % 256 for x in range(w)) for y in range(h))
open(os.path.join(HERE, "grey8.png"), "wb").write(png(w, h, 8, 0, grey))
pal = b"".join(b"\x00" + bytes((x + y) % 3 for x in range(w)) for y in range(h))
open(os.path.join(HERE, "palette8.png"), "wb").write(
    png(w, h, 8, 3, pal, extra=chunk(b"PLTE", bytes([255, 0, 0, 0, 255, 0, 0, 0, 255]))))
# An uncompressed little-endian RGB TIFF, one strip.
pixels = bytes((i * 7) % 256 for i in range(w * h * 3))
entries = [(256, 3, 1, w), (257, 3, 1, h), (258, 3, 1, 8), (259, 3, 1, 1), (262, 3, 1, 2), (273, 4, 1, 8),
           (277, 3, 1, 3), (278, 3, 1, h), (279, 4, 1, len(pixels))]
ifd_offset = 8 + len(pixels)
ifd = struct.pack("<H", len(entries)) + b"".join(struct.pack("<HHII", *e) for e in entries) + b"\x00" * 4
open(os.path.join(HERE, "rgb8.tif"), "wb").write(b"II*\x00" + struct.pack("<I", ifd_offset) + pixels + ifd)
