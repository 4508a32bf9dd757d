"""Reading PNG: the chunk loop and its record, header checks in order, decompression, size check, unfiltering."""
import io
import random
import struct
import zlib

import pytest


import pngtools
from pngtools import chunk, ihdr, png

MALFORMED = "Malformed PNG image data"
NOT_8_BIT = "Only 8-bit PNG images are supported"
NOT_RGB = "Only RGB/RGBA PNG images are supported"
CONFIG = "Unsupported PNG configuration (compression/filter/interlace)"
NO_HEADER = "Incomplete PNG header information"
IEND = chunk(b"IEND")


def noise(n, seed=1):
    rng = random.Random(seed)
    return bytes(rng.randrange(256) for _ in range(n))


def rows_of(width, height, channels, seed=1):
    data = noise(width * height * channels, seed)
    return [data[y * width * channels:(y + 1) * width * channels] for y in range(height)]


def raw_png(width, height, raw, colour=2, extra=()):
    """A PNG whose decompressed image data is exactly `raw`."""
    return png(chunk(b"IHDR", ihdr(width, height, colour=colour)), *extra, chunk(b"IDAT", zlib.compress(raw)), IEND)




@pytest.mark.parametrize("colour", [2, 6])
@pytest.mark.parametrize("width, height", [(1, 1), (5, 4), (17, 9)])
def test_pngtools_agrees_with_pillow(colour, width, height):
    Image = pytest.importorskip("PIL.Image")
    channels = 3 if colour == 2 else 4
    rows = rows_of(width, height, channels)
    data = pngtools.image(width, height, rows, colour=colour, filters=[y % 5 for y in range(height)],
                          lengths=(7, 20), extra=[chunk(b"tEXt", b"Comment\0made by hand")])
    with Image.open(io.BytesIO(data)) as im:
        assert (im.mode, im.size) == ("RGB" if colour == 2 else "RGBA", (width, height))
        assert im.tobytes() == b"".join(rows)


def test_result_of_a_minimal_file(S, read):
    rows = rows_of(3, 2, 3)
    data = pngtools.image(3, 2, rows, filters=[1, 4])
    result = read.load(data)
    assert type(result) is tuple and len(result) == 8
    width, height, pixels, channels, alpha, chunks, bmp_meta, filters = result
    assert (width, height, channels, alpha, bmp_meta) == (3, 2, 3, None, None)
    assert type(pixels) is bytearray and pixels == b"".join(rows)
    assert type(filters) is bytearray and filters == b"\x01\x04"
    idat = len(pngtools.parse(data)[1][1])
    assert type(chunks) is list and chunks == [(b"IHDR", ihdr(3, 2), 13), (b"IDAT", None, idat), (b"IEND", b"", 0)]
    assert all(type(c) is tuple for c in chunks)
    # RGBA: colour and alpha are split apart
    rows = rows_of(3, 2, 4)
    _, _, pixels, channels, alpha, *_ = read.load(pngtools.image(3, 2, rows, colour=6))
    flat = b"".join(rows)
    assert channels == 4 and type(alpha) is bytearray and alpha == flat[3::4]
    assert pixels == b"".join(flat[i:i + 3] for i in range(0, len(flat), 4))


def paeth_case(a, b, c, predicted):
    # row 0 holds c then b; row 1 (Paeth) starts with a, then a byte whose stored value is 0
    return (2, 2, bytes([0, c, c, c, b, b, b, 4, (a - c) % 256, (a - c) % 256, (a - c) % 256, 0, 0, 0]),
            bytes([c] * 3 + [b] * 3 + [a] * 3 + [predicted] * 3))


@pytest.mark.parametrize("width, height, raw, pixels", [
    (4, 1, b"\x01" + b"\x01" * 12, bytes([1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4])),   # Sub: a = 0 for the first pixel
    (2, 1, b"\x02" + bytes([7, 8, 9, 200, 201, 202]), bytes([7, 8, 9, 200, 201, 202])),  # Up on row 0
    (2, 1, b"\x01" + bytes([100] * 3 + [200] * 3), bytes([100] * 3 + [44] * 3)),  # sums wrap
    # Average of a = b = 255 adds 255 (no 8-bit wrap before halving)
    (2, 2, b"\x00" + b"\xff" * 6 + b"\x03" + bytes([128] * 3 + [1] * 3), b"\xff" * 9 + b"\x00" * 3),
    # Average of a = 1, b = 2 adds 1 (rounds down)
    (2, 2, bytes([0, 0, 0, 0, 2, 2, 2, 3, 1, 1, 1, 0, 0, 0]), bytes([0, 0, 0, 2, 2, 2, 1, 1, 1, 1, 1, 1])),
    paeth_case(50, 50, 10, 50),     # pa and pb tie: a
    paeth_case(10, 40, 20, 40),     # pb and pc tie: b
    paeth_case(100, 200, 150, 150),
    paeth_case(0, 0, 0, 0),
    paeth_case(255, 0, 255, 0),
])
def test_filter_arithmetic(S, width, height, raw, pixels, read):
    assert read.load(raw_png(width, height, raw))[2] == pixels


@pytest.mark.parametrize("colour", [2, 6])
@pytest.mark.parametrize("width", [1, 2, 7])
def test_all_filter_types(S, colour, width, read):
    channels = 3 if colour == 2 else 4
    filters = [0, 1, 2, 3, 4, 4, 3, 2, 1, 0, 3, 4]
    rows = rows_of(width, len(filters), channels, seed=width)
    result = read.load(pngtools.image(width, len(filters), rows, colour=colour, filters=filters))
    flat = b"".join(rows)
    assert result[7] == bytes(filters)
    assert result[2] == b"".join(flat[i:i + 3] for i in range(0, len(flat), channels))
    assert result[4] == (flat[3::4] if colour == 6 else None)


@pytest.mark.parametrize("types, bad", [
    ([0, 0, 0, 5, 0, 0, 0, 0, 0, 0], 5),
    ([255, 0], 255),
    ([1, 2, 7, 0, 0, 0, 5], 7),        # the first bad row from the top
])
def test_unknown_filter_type(S, types, bad, read):
    raw = b"".join(bytes([t]) + bytes(6) for t in types)
    assert read.refusal(raw_png(2, len(types), raw)) == "Unsupported PNG filter: %d" % bad


def test_split_idat_decodes_like_one(S, read):
    rows = rows_of(10, 10, 3)
    whole = pngtools.image(10, 10, rows, filters=[y % 5 for y in range(10)])
    n = len(pngtools.parse(whole)[1][1])
    assert n > 240
    result = read.load(pngtools.resplit(whole, [100, 100]))
    assert [c[2] for c in result[5] if c[0] == b"IDAT"] == [100, 100, n - 200]
    assert all(c[1] is None for c in result[5] if c[0] == b"IDAT")
    assert result[:5] + result[6:] == read.load(whole)[:5] + read.load(whole)[6:]
    # one-byte IDAT chunks work as well
    assert read.load(pngtools.resplit(whole, [1] * n))[2] == b"".join(rows)


def test_every_chunk_is_kept_in_file_order(S, read):
    rows = rows_of(2, 2, 3)
    data = zlib.compress(pngtools.scanlines(rows, [0, 0], 3))
    pieces = [(b"tEXt", b"Title\0before the header"), (b"IHDR", ihdr(2, 2)), (b"gAMA", struct.pack(">I", 45455)),
              (b"PLTE", bytes(range(6))), (b"IDAT", data[:5]), (b"prVt", b""), (b"\0\0\0\0", b"\xff" * 3),
              (b"IDAT", data[5:]), (b"pHYs", struct.pack(">IIB", 2835, 2835, 1)), (b"IEND", b"")]
    result = read.load(png(*[chunk(t, d) for t, d in pieces]))
    assert result[5] == [(t, None if t == b"IDAT" else d, len(d)) for t, d in pieces]
    assert result[2] == b"".join(rows)


@pytest.mark.parametrize("tail", [None, b"", b"\xff\xff\xff\xffjunk", chunk(b"tEXt", b"x", crc=0)])
def test_the_end(S, tail, read):
    rows = rows_of(3, 3, 4)
    whole = pngtools.image(3, 3, rows, colour=6)
    data = pngtools.image(3, 3, rows, colour=6, end=False) if tail is None else whole
    stream = pngtools.Recording(data + (tail or b""))
    result = S._streamToImage(stream)
    # without IEND the same image, with no IEND record; after IEND nothing is read
    assert result[:5] + result[6:] == read.load(whole)[:5] + read.load(whole)[6:]
    assert result[5] == read.load(whole)[5][:-1 if tail is None else None] and stream.tell() == len(data)


def test_later_header_wins_and_order_is_free(S, read):
    rows = rows_of(3, 2, 3)
    data = zlib.compress(pngtools.scanlines(rows, [0, 0], 3))
    first = ihdr(9, 9, depth=16, colour=0, interlace=1)
    result = read.load(png(chunk(b"IHDR", first), chunk(b"IDAT", data), chunk(b"IHDR", ihdr(3, 2)), IEND))
    assert result[:2] == (3, 2) and result[2] == b"".join(rows)
    assert [c[0] for c in result[5]] == [b"IHDR", b"IDAT", b"IHDR", b"IEND"] and result[5][0][1] == first
    assert read.refusal(png(chunk(b"IHDR", ihdr(3, 2)), chunk(b"IDAT", data), chunk(b"IHDR", first), IEND)) == NOT_8_BIT


@pytest.mark.parametrize("fields, message", [
    ((16, 2), NOT_8_BIT), ((16, 0), NOT_8_BIT), ((1, 3), NOT_8_BIT), ((0, 9, 1, 1, 1), NOT_8_BIT),
    ((8, 0), NOT_RGB), ((8, 3), NOT_RGB), ((8, 4), NOT_RGB), ((8, 1), NOT_RGB), ((8, 7, 1, 1, 1), NOT_RGB),
    ((8, 2, 1), CONFIG), ((8, 2, 0, 1), CONFIG), ((8, 2, 0, 0, 1), CONFIG), ((8, 6, 0, 0, 1), CONFIG),
    ((8, 6, 255, 255, 255), CONFIG),
])
def test_header_checks_in_order(S, fields, message, read):
    # the IDAT data is no zlib stream: every header check comes before decompression
    data = png(chunk(b"IHDR", ihdr(4, 4, *fields)), chunk(b"IDAT", b"not zlib"), IEND)
    assert read.refusal(data) == message


@pytest.mark.parametrize("chunks", [[], [chunk(b"IDAT", zlib.compress(b"\0")), IEND], [chunk(b"tEXt", b"a\0b")]])
def test_no_header(S, chunks, read):
    assert read.refusal(png(*chunks)) == NO_HEADER


@pytest.mark.parametrize("header, exc, message", [
    (ihdr(1, 1)[:12], struct.error, None),
    (ihdr(1, 1) + b"\0", struct.error, None),
    (b"", struct.error, None),
    (ihdr(2 ** 31, 1), OverflowError, "value too large to convert to int"),
    (ihdr(1, 0xFFFFFFFF), OverflowError, "value too large to convert to int"),
])
def test_bad_header_fails_at_its_chunk(S, header, exc, message, read):
    # raised while the header chunk is handled, before the corrupt chunk that follows is read
    error = read.refusal(png(chunk(b"IHDR", header), chunk(b"IDAT", b"", crc=0)), exc)
    assert message is None or error == message
    # while a sound header that is refused waits for the end of the chunk loop
    assert read.refusal(png(chunk(b"IHDR", ihdr(4, 4, 16)), chunk(b"IDAT", b"", crc=0))) == "Corrupted PNG chunk detected"


RAW = pngtools.scanlines([bytes(range(9)), bytes(range(9, 18))], [0, 1], 3)  # all that 3 x 2 RGB wants
Z = zlib.compress(RAW)


@pytest.mark.parametrize("idat", [
    [], [b""], [Z[:-6]], [Z[1::-1] + Z[2:]], [Z[:-1] + bytes([Z[-1] ^ 1])], [b"\xff" * 40],
    [Z + b"junk"], [Z, b"\0\0\0"], [Z[:3], Z[3:5], Z[5:]],
], ids=["none", "empty", "truncated", "bad header", "bad check", "garbage", "junk after", "junk later", "split"])
def test_zlib_outcome_is_the_hosts(S, idat, read):
    data = png(chunk(b"IHDR", ihdr(3, 2)), *[chunk(b"IDAT", d) for d in idat], IEND)
    try:
        zlib.decompress(b"".join(idat))
    except zlib.error as host:
        assert read.refusal(data, zlib.error) == str(host)
    else:
        assert read.load(data)[2] == bytes(range(18))


@pytest.mark.parametrize("change", [-1, -19, -20, 1, 21])
def test_size_must_match_exactly(S, change, read):
    raw = pngtools.scanlines(rows_of(3, 2, 3), [0, 1], 3)  # 20 bytes, all that 3 x 2 RGB wants
    raw = raw[:change] if change < 0 else raw + bytes(change)
    assert read.refusal(raw_png(3, 2, raw)) == MALFORMED


@pytest.mark.parametrize("colour", [2, 6])
def test_empty_images(S, colour, read):
    width, height, pixels, _, alpha, _, _, filters = read.load(raw_png(0, 3, b"\0\1\4", colour=colour))
    assert (width, height, pixels, filters) == (0, 3, b"", b"\0\1\4")
    assert alpha is None if colour == 2 else alpha == b""
    width, height, pixels, _, alpha, _, _, filters = read.load(raw_png(5, 0, b"", colour=colour))
    assert (width, height, pixels, filters) == (5, 0, b"", b"")
    assert alpha is None if colour == 2 else not alpha
    assert read.refusal(raw_png(0, 3, b"\0\5\0")) == "Unsupported PNG filter: 5"


# --- against Pillow ---

def pillow_png(mode, size, seed, **kw):
    Image = pytest.importorskip("PIL.Image")
    PngImagePlugin = pytest.importorskip("PIL.PngImagePlugin")
    im = Image.frombytes(mode, size, noise(size[0] * size[1] * len(mode), seed))
    info = PngImagePlugin.PngInfo()
    info.add_text("Comment", "written by Pillow")
    out = io.BytesIO()
    im.save(out, "PNG", pnginfo=info, dpi=(96, 96), **kw)
    return im, out.getvalue()


@pytest.mark.parametrize("mode", ["RGB", "RGBA"])
@pytest.mark.parametrize("size", [(1, 1), (2, 3), (13, 7), (64, 33), (300, 2), (3, 300)])
def test_pillow_written_png(S, capsys, mode, size):
    im, data = pillow_png(mode, size, seed=size[0] * size[1])
    chunks = pngtools.parse(data)
    assert {b"tEXt", b"pHYs"} <= {t for t, _ in chunks}
    raw = zlib.decompress(b"".join(d for t, d in chunks if t == b"IDAT"))
    for file in (data, pngtools.resplit(data, [1, 5, 50])):
        img = S.open(file)
        assert capsys.readouterr().out == "[SimpleImage] Opened image: %dx%d, channels=%d\n" % (size + (len(mode),))
        assert bytes(img._pixels) == im.convert("RGB").tobytes()
        assert img._alpha == (im.getchannel("A").tobytes() if mode == "RGBA" else None)
        assert img._png_filters == raw[::size[0] * len(mode) + 1]
        assert img._png_chunks == [(t, None if t == b"IDAT" else d, len(d)) for t, d in pngtools.parse(file)]


def test_pillow_large_image_over_several_idat_chunks(S, capsys):
    im, data = pillow_png("RGB", (400, 300), seed=7, compress_level=1)
    assert sum(t == b"IDAT" for t, _ in pngtools.parse(data)) > 1
    img = S.open(data)
    assert bytes(img._pixels) == im.tobytes()
    assert img._png_chunks == [(t, None if t == b"IDAT" else d, len(d)) for t, d in pngtools.parse(data)]


def test_numpy_views_pixels_without_a_copy(S, capsys):
    numpy = pytest.importorskip("numpy")
    Image = pytest.importorskip("PIL.Image")
    im, data = pillow_png("RGB", (5, 3), seed=3)
    img = S.open(data)
    w, h = img.size
    view = numpy.frombuffer(img._pixels, numpy.uint8).reshape(h, w, 3)
    assert (view == numpy.asarray(im)).all()
    img.putPixel((4, 2), (1, 2, 3))
    assert tuple(view[2, 4]) == (1, 2, 3)
    back = Image.frombytes("RGB", img.size, bytes(img._pixels))
    assert back.getpixel((4, 2)) == (1, 2, 3) and back.getpixel((0, 0)) == im.getpixel((0, 0))
