#!/usr/bin/env python3
"""Writes the must-fail corpus: files that are not decodable images, each a known way to break a decoder.

Every file here must yield no canvas and the error hash, without crashing and without allocating what it
claims. Run again after adding a case; the files are committed.
"""
import os
import struct
import zlib

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "must-fail")


def chunk(kind: bytes, body: bytes, crc=None) -> bytes:
    if crc is None:
        crc = zlib.crc32(kind + body)
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", crc & 0xFFFFFFFF)


def ihdr(width, height, depth=8, colour=6, interlace=0) -> bytes:
    return chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, interlace))


SIG = b"\x89PNG\r\n\x1a\n"
IEND = chunk(b"IEND", b"")


def rows(width, height, filter_byte=0, bpp=4) -> bytes:
    return b"".join(bytes([filter_byte]) + bytes(width * bpp) for _ in range(height))


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


os.makedirs(HERE, exist_ok=True)
good_idat = chunk(b"IDAT", zlib.compress(rows(4, 4)))
write("empty.bin", b"")
write("text.txt", b"this is plain text, not an image\n")
write("jpeg-signature.jpg", b"\xff\xd8\xff\xe0" + b"\x00" * 60)
write("png-signature-only.png", SIG)
write("png-truncated-header.png", SIG + ihdr(4, 4)[:15])
write("png-bomb-100000x100000.png", SIG + ihdr(100000, 100000) + chunk(b"IDAT", zlib.compress(b"\x00" * 1000)) + IEND)
write("png-bomb-1x4294967295.png", SIG + ihdr(1, 0xFFFFFFFF) + chunk(b"IDAT", zlib.compress(b"\x00" * 64)) + IEND)
write("png-zero-width.png", SIG + ihdr(0, 4) + good_idat + IEND)
write("png-bad-header-crc.png", SIG + chunk(b"IHDR", struct.pack(">IIBBBBB", 4, 4, 8, 6, 0, 0, 0), crc=1) + good_idat + IEND)
write("png-bad-colour-type.png", SIG + ihdr(4, 4, colour=5) + good_idat + IEND)
write("png-bad-depth.png", SIG + ihdr(4, 4, depth=7, colour=2) + good_idat + IEND)
write("png-no-image-data.png", SIG + ihdr(4, 4) + IEND)
write("png-short-image-data.png", SIG + ihdr(4, 4) + chunk(b"IDAT", zlib.compress(rows(4, 2))) + IEND)
write("png-cut-zlib-stream.png", SIG + ihdr(4, 4) + chunk(b"IDAT", zlib.compress(rows(4, 4))[:-6]) + IEND)
write("png-bad-filter-type.png", SIG + ihdr(4, 4) + chunk(b"IDAT", zlib.compress(rows(4, 4, filter_byte=7))) + IEND)
write("png-no-end.png", SIG + ihdr(4, 4) + good_idat)
write("png-palette-without-plte.png", SIG + ihdr(4, 4, colour=3) + chunk(b"IDAT", zlib.compress(rows(4, 4, bpp=1))) + IEND)
write("png-unknown-critical-chunk.png", SIG + ihdr(4, 4) + chunk(b"ABCD", b"xyz") + good_idat + IEND)
write("png-chunk-length-beyond-end.png", SIG + ihdr(4, 4) + struct.pack(">I", 0x7FFFFFF0) + b"IDAT" + b"\x00" * 16)
# TIFF: a directory claiming 100000 x 100000 RGB pixels with no strips, and a header pointing past the end.
entries = [(256, 4, 1, 100000), (257, 4, 1, 100000), (258, 3, 1, 8), (262, 3, 1, 2), (277, 3, 1, 1)]
ifd = struct.pack("<H", len(entries)) + b"".join(struct.pack("<HHII", t, k, n, v) for t, k, n, v in entries) + b"\x00" * 4
write("tiff-bomb-100000x100000.tif", b"II*\x00" + struct.pack("<I", 8) + ifd)
write("tiff-directory-past-end.tif", b"II*\x00" + struct.pack("<I", 4096) + b"\x00" * 8)
write("tiff-truncated.tif", b"MM\x00*\x00\x00\x00\x08\x00")
