#!/usr/bin/env python3
"""Writes the two small files the demo opens, examples/sample.png and
examples/sample.bmp, with the standard library alone (struct and zlib), so
they are reproducible byte for byte: `python3 scripts/make_samples.py`.

The PNG is 24 x 12 RGBA with a different filter type on each row, a text and
a physical-size chunk, and its image data split over three IDAT chunks; the
BMP is 20 x 10, bottom-up, with 3780 pixels per metre (96 dpi)."""
import os
import struct
import zlib

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else (b if pb <= pc else c)


def filtered(kind, row, prev, bpp):
    out = bytearray()
    for i, x in enumerate(row):
        a = row[i - bpp] if i >= bpp else 0
        b = prev[i]
        c = prev[i - bpp] if i >= bpp else 0
        pred = [0, a, b, (a + b) // 2, paeth(a, b, c)][kind]
        out.append((x - pred) % 256)
    return bytes([kind]) + bytes(out)


def sample_png(width=24, height=12):
    rows = [bytes(v for x in range(width) for v in (x * 10, y * 20, 255 - x * 10, 128 + x * 5))
            for y in range(height)]
    stream, prev = b"", bytes(width * 4)
    for y, row in enumerate(rows):
        stream += filtered(y % 5, row, prev, 4)
        prev = row
    data = zlib.compress(stream, 9)
    third = len(data) // 3
    idat = [data[:third], data[third:2 * third], data[2 * third:]]
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"tEXt", b"Comment\x00made by scripts/make_samples.py")
            + chunk(b"pHYs", struct.pack(">IIB", 3780, 3780, 1))
            + b"".join(chunk(b"IDAT", part) for part in idat)
            + chunk(b"IEND", b""))


def sample_bmp(width=20, height=10):
    stride = (width * 3 + 3) // 4 * 4
    rows = b""
    for y in reversed(range(height)):  # bottom row first
        row = bytes(v for x in range(width) for v in (200 - y * 15, x * 12, y * 25))  # blue, green, red
        rows += row + bytes(stride - len(row))
    return (b"BM" + struct.pack("<IHHI", 54 + len(rows), 0, 0, 54)
            + struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(rows), 3780, 3780, 0, 0) + rows)


if __name__ == "__main__":
    for name, data in (("sample.png", sample_png()), ("sample.bmp", sample_bmp())):
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)
        print(f"wrote examples/{name} ({len(data)} bytes)")
