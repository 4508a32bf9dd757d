"""Hand-made PNG and BMP bytes for the reader tests (struct and zlib only).

Everything here is deliberately plain so that it can be trusted as an oracle;
test_png_read and test_bmp_read check its output against Pillow.
"""
import io
import struct
import zlib

SIGNATURE = b"\x89PNG\r\n\x1a\n"


def chunk(ctype, data=b"", crc=None):
    """One chunk: length, type, data, CRC over type and data (or the `crc` given instead)."""
    if crc is None:
        crc = zlib.crc32(ctype + data) & 0xFFFFFFFF
    return struct.pack(">I", len(data)) + ctype + data + struct.pack(">I", crc)


def ihdr(width, height, depth=8, colour=2, compression=0, filter_method=0, interlace=0):
    return struct.pack(">IIBBBBB", width, height, depth, colour, compression, filter_method, interlace)


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def scanlines(rows, filters, bpp):
    """The filtered scanline stream: each row (its final bytes) filtered with its type, after its type byte."""
    out = bytearray()
    prev = bytes(len(rows[0])) if rows else b""
    for row, ftype in zip(rows, filters):
        out.append(ftype)
        for i, x in enumerate(row):
            a = row[i - bpp] if i >= bpp else 0
            c = prev[i - bpp] if i >= bpp else 0
            b = prev[i]
            predicted = (0, a, b, (a + b) // 2, paeth(a, b, c))[ftype]
            out.append((x - predicted) % 256)
        prev = row
    return bytes(out)


def split(data, lengths):
    """`data` cut into pieces of the given lengths, plus the rest as a last piece when any is left."""
    pieces, pos = [], 0
    for n in lengths:
        pieces.append(data[pos:pos + n])
        pos += n
    if pos < len(data) or not pieces:
        pieces.append(data[pos:])
    return pieces


def png(*chunks, tail=b""):
    return SIGNATURE + b"".join(chunks) + tail


def image(width, height, rows, colour=2, filters=None, lengths=(), extra=(), end=True, tail=b""):
    """A whole PNG: IHDR, the `extra` chunks, the IDAT data cut at `lengths`, IEND (unless `end` is false)."""
    filters = [0] * height if filters is None else filters
    data = zlib.compress(scanlines(rows, filters, 3 if colour == 2 else 4))
    idats = [chunk(b"IDAT", piece) for piece in split(data, lengths)]
    return png(chunk(b"IHDR", ihdr(width, height, colour=colour)), *extra, *idats,
               *([chunk(b"IEND")] if end else []), tail=tail)


def parse(data):
    """(type, data) of every chunk of a PNG up to IEND; CRCs are not checked."""
    assert data[:8] == SIGNATURE
    out, pos = [], 8
    while pos < len(data):
        (n,) = struct.unpack(">I", data[pos:pos + 4])
        out.append((data[pos + 4:pos + 8], data[pos + 8:pos + 8 + n]))
        pos += 12 + n
        if out[-1][0] == b"IEND":
            break
    return out


def resplit(data, lengths):
    """The same PNG with its IDAT data joined and cut again at `lengths`, placed where the first IDAT was."""
    chunks = parse(data)
    joined = b"".join(d for t, d in chunks if t == b"IDAT")
    first = [t for t, _ in chunks].index(b"IDAT")
    others = [chunk(t, d) for t, d in chunks if t != b"IDAT"]
    idats = [chunk(b"IDAT", piece) for piece in split(joined, lengths)]
    return png(*others[:first], *idats, *others[first:])


def deflate_zeros(groups):
    """A zlib stream of 1 + 2064 * groups + 258 zero bytes, 13 bytes per 2064 output bytes.

    One fixed-Huffman block: a literal 0, then matches of length 258 at distance 1
    (code 285, 8 bits, then distance code 0, 5 bits). The 3 header bits, the literal
    and the first match end on a byte boundary (3 + 8 + 13 = 24 bits), so every
    following group of 8 matches (104 bits) is the same 13 bytes.
    """
    def bits(fields):  # (value, count) packed least significant bit first
        acc = n = 0
        for value, count in fields:
            acc |= value << n
            n += count
        return acc.to_bytes((n + 7) // 8, "little")

    def rev(code, count):  # Huffman codes go most significant bit first
        return int(format(code, "0%db" % count)[::-1], 2)

    match = [(rev(0b11000101, 8), 8), (0, 5)]
    head = bits([(1, 1), (1, 2), (rev(0b00110000, 8), 8)] + match)
    size = 1 + 258 + 2064 * groups
    adler = ((size % 65521) << 16) | 1  # all bytes zero: a stays 1, b grows by 1 per byte
    return b"\x78\x01" + head + bits(match * 8) * groups + bits([(0, 7)]) + struct.pack(">I", adler)


def bmp_header(width, height, offset=54, file_size=0, planes=1, bpp=24, compression=0, image_size=0,
               xppm=2835, yppm=2835, clr_used=0, clr_important=0, header_size=40):
    return (b"BM" + struct.pack("<IHHI", file_size, 0, 0, offset) + struct.pack("<I", header_size)
            + struct.pack("<iiHHIIiiII", width, height, planes, bpp, compression, image_size,
                          xppm, yppm, clr_used, clr_important))


def bmp(rows, width=None, top_down=False, pad=0, gap=b"", tail=b"", **fields):
    """A 24-bit BMP of `rows` (RGB bytes, top row first); `gap` sits between the headers and the pixels."""
    width = len(rows[0]) // 3 if width is None else width
    stride = (width * 3 + 3) // 4 * 4
    stored = []
    for row in (rows if top_down else rows[::-1]):
        bgr = b"".join(row[i:i + 3][::-1] for i in range(0, len(row), 3))
        stored.append(bgr + bytes([pad]) * (stride - len(bgr)))
    pixels = b"".join(stored)
    fields.setdefault("offset", 54 + len(gap))
    fields.setdefault("file_size", 54 + len(gap) + len(pixels) + len(tail))
    head = bmp_header(width, -len(rows) if top_down else len(rows), image_size=len(pixels), **fields)
    return head + gap + pixels + tail


class Recording(io.BytesIO):
    """A stream that notes every read(n) and seek(pos) made on it, in order."""

    def __init__(self, data=b""):
        super().__init__(data)
        self.calls = []

    def read(self, n=-1):
        self.calls.append(("read", n))
        return super().read(n)

    def seek(self, pos, whence=0):
        self.calls.append(("seek", pos))
        return super().seek(pos, whence)

    def reads(self):
        return [n for kind, n in self.calls if kind == "read"]


def _libz():
    import ctypes
    import ctypes.util
    name = ctypes.util.find_library("z") or "libz.so.1"
    try:
        return ctypes, ctypes.CDLL(name)
    except OSError:
        return ctypes, None


def bounded_inflate(stream, expected):
    """What the decoder makes of image data `stream` for a header that needs `expected`
    bytes: "ok", "Malformed" when it inflates past `expected` before anything goes
    wrong (or ends short of it), else the host's zlib.error text. An independent
    oracle: one call of the system zlib's inflate with room for expected + 1 bytes,
    whose total_out says how far the stream got before an error (zlib.decompress
    drops that output)."""
    ctypes, libz = _libz()
    if libz is None:
        import pytest
        pytest.skip("no libz for ctypes")
    c = ctypes

    class ZStream(c.Structure):
        _fields_ = [("next_in", c.c_void_p), ("avail_in", c.c_uint), ("total_in", c.c_ulong),
                    ("next_out", c.c_void_p), ("avail_out", c.c_uint), ("total_out", c.c_ulong),
                    ("msg", c.c_char_p), ("state", c.c_void_p), ("zalloc", c.c_void_p), ("zfree", c.c_void_p),
                    ("opaque", c.c_void_p), ("data_type", c.c_int), ("adler", c.c_ulong), ("reserved", c.c_ulong)]

    libz.zlibVersion.restype = c.c_char_p
    zs = ZStream()
    assert libz.inflateInit_(c.byref(zs), libz.zlibVersion(), c.sizeof(ZStream)) == 0
    src = c.create_string_buffer(bytes(stream), len(stream))
    dst = c.create_string_buffer(expected + 1)
    zs.next_in, zs.avail_in = c.cast(src, c.c_void_p), len(stream)
    zs.next_out, zs.avail_out = c.cast(dst, c.c_void_p), expected + 1
    while True:
        r = libz.inflate(c.byref(zs), 0)
        if r != 0 or zs.avail_in == 0 or zs.avail_out == 0:
            break
    got, msg = zs.total_out, zs.msg
    libz.inflateEnd(c.byref(zs))
    if got > expected:
        return "Malformed"
    if r == 1:  # Z_STREAM_END
        return "ok" if got == expected else "Malformed"
    if r in (0, -5):  # the data ran out
        return "zlib.error: Error -5 while decompressing data: incomplete or truncated stream"
    text = msg.decode() if msg else {-2: "inconsistent stream state", -3: "invalid input data"}.get(r)
    return "zlib.error: Error %d while decompressing data%s" % (r, ": " + text if text else "")
