"""Reading BMP: layout, row order, pad bytes, header values, checks in order, read pattern."""
import io
import random
import struct

import pytest


from pngtools import Recording, bmp, bmp_header

INCOMPLETE = "Incomplete BMP pixel data"
NOT_24 = "Only uncompressed 24-bit BMP files are supported"
NOT_INFO = "Only BITMAPINFOHEADER BMP files are supported"
STRIDE = {0: 0, 1: 4, 2: 8, 3: 12, 4: 12, 5: 16, 13: 40}


def rows_of(width, height, seed=1):
    rng = random.Random(seed)
    return [bytes(rng.randrange(256) for _ in range(width * 3)) for _ in range(height)]




@pytest.mark.parametrize("top_down", [False, True])
@pytest.mark.parametrize("width, height", [(1, 1), (2, 2), (3, 5), (4, 3), (13, 2)])
def test_bmptools_agrees_with_pillow(top_down, width, height):
    Image = pytest.importorskip("PIL.Image")
    rows = rows_of(width, height)
    data = bmp(rows, top_down=top_down, pad=0xAB, gap=b"\xee" * 10, tail=b"tail")
    assert len(data) == 54 + 10 + STRIDE[width] * height + 4
    with Image.open(io.BytesIO(data)) as im:
        assert (im.mode, im.size, im.tobytes()) == ("RGB", (width, height), b"".join(rows))


BLUE, RED, GREEN, WHITE = b"\xff\0\0", b"\0\0\xff", b"\0\xff\0", b"\xff\xff\xff"  # as stored: B, G, R


@pytest.mark.parametrize("height, stored", [
    (2, BLUE + RED + b"\0\0" + GREEN + WHITE + b"\0\0"),      # bottom row first
    (-2, GREEN + WHITE + b"\0\0" + BLUE + RED + b"\0\0"),     # top row first
])
def test_two_by_two(S, height, stored, read):
    width, rows, pixels, channels, alpha, chunks, meta, filters = read.load(bmp_header(2, height) + stored)
    assert (width, rows, channels, alpha, chunks, filters) == (2, 2, 3, None, None, None)
    assert type(pixels) is bytearray and pixels == bytes([0, 255, 0, 255, 255, 255, 0, 0, 255, 255, 0, 0])


def test_header_values(S, read):
    data = bmp(rows_of(1, 1), xppm=-5, yppm=2 ** 31 - 1, clr_used=0xFFFFFFFF, clr_important=7)
    meta = read.load(data)[6]
    assert type(meta) is dict and list(meta) == ["xppm", "yppm", "clrUsed", "clrImportant"]
    assert meta == {"xppm": -5, "yppm": 2 ** 31 - 1, "clrUsed": 0xFFFFFFFF, "clrImportant": 7}


@pytest.mark.parametrize("top_down", [False, True])
@pytest.mark.parametrize("width, height", [(1, 3), (2, 1), (3, 2), (4, 2), (5, 3), (13, 4), (0, 5), (4, 0)])
@pytest.mark.parametrize("gap", [b"", b"\xee" * 7])
def test_rows_pad_and_read_pattern(S, top_down, width, height, gap):
    rows = rows_of(width, height, seed=width + height)
    stream = Recording(bmp(rows, width=width, top_down=top_down, pad=0xFF, gap=gap, tail=b"tail"))
    result = S._streamToImage(stream)
    assert result[:4] == (width, height, b"".join(rows), 3)
    # one read of the row stride per row; rows of stride 0 hold nothing and are not read
    rows_read = [("read", STRIDE[width])] * height if width else []
    assert stream.calls == [("read", 8), ("seek", 0), ("read", 14), ("read", 4), ("read", 36),
                            ("seek", 54 + len(gap))] + rows_read


def test_pixel_offset_is_followed_anywhere(S, read):
    data = bytearray(bmp([b"xyz"]))
    for offset in (0, 20):  # even into the headers
        data[10:14] = struct.pack("<I", offset)
        assert read.load(bytes(data))[2] == data[offset:offset + 3][::-1]
    data[10:14] = struct.pack("<I", len(data))
    assert read.refusal(bytes(data)) == INCOMPLETE


def test_negative_width(S, read):
    try:
        bytearray(-6)
    except ValueError as e:
        host = str(e)
    for height in (2, -2, 1 << 20):
        assert read.refusal(bmp_header(-1, height)) == host  # sized before any row is read
    assert read.refusal(bmp_header(-(1 << 20), 1 << 20)) == host
    assert read.load(bmp_header(-1, 0))[:3] == (-1, 0, b"")


@pytest.mark.parametrize("fields, message", [
    ({"header_size": 12}, NOT_INFO), ({"header_size": 108}, NOT_INFO), ({"header_size": 124}, NOT_INFO),
    ({"header_size": 0}, NOT_INFO), ({"header_size": 41}, NOT_INFO),
    ({"planes": 2}, NOT_24), ({"planes": 0}, NOT_24), ({"bpp": 32}, NOT_24), ({"bpp": 8}, NOT_24),
    ({"bpp": 1, "compression": 1}, NOT_24), ({"compression": 3}, NOT_24), ({"compression": 1}, NOT_24),
])
def test_header_refusals(S, fields, message, read):
    data = bmp(rows_of(2, 2), **fields)
    assert read.refusal(data) == message
    # the header size is judged before the rest of the header is read
    if "header_size" in fields:
        assert read.refusal(data[:18]) == message
    else:
        assert read.refusal(data[:53], struct.error)


class RowStream(io.BytesIO):
    """Answers reads of `size` bytes (the pixel rows here) through `change`."""

    def __init__(self, data, size, change):
        super().__init__(data)
        self.size, self.change = size, change

    def read(self, n=-1):
        real = super().read(n)
        return self.change(real) if n == self.size else real


def fail(real):
    raise KeyError("from read")


@pytest.mark.parametrize("change, exc, message", [
    (lambda real: real + b"!", ValueError, INCOMPLETE),
    (bytearray, TypeError, None),
    (lambda real: None, TypeError, None),
    (lambda real: real.decode("latin-1"), TypeError, None),
    (fail, KeyError, "'from read'"),
])
def test_odd_row_reads(S, change, exc, message):
    stream = RowStream(bmp(rows_of(13, 2)), 40, change)
    with pytest.raises(exc) as e:
        S._streamToImage(stream)
    assert message is None or str(e.value) == message


@pytest.mark.parametrize("size", [(1, 1), (2, 2), (3, 5), (31, 17), (64, 1), (1, 64)])
def test_pillow_written_bmp(S, capsys, size):
    Image = pytest.importorskip("PIL.Image")
    rng = random.Random(size[0])
    im = Image.frombytes("RGB", size, bytes(rng.randrange(256) for _ in range(size[0] * size[1] * 3)))
    out = io.BytesIO()
    im.save(out, "BMP")
    data = out.getvalue()
    xppm, yppm, clr_used, clr_important = struct.unpack("<iiII", data[38:54])
    img = S.open(data)
    assert (img.size, bytes(img._pixels)) == (size, im.tobytes())
    assert img._bmp_header == {"xppm": xppm, "yppm": yppm, "clrUsed": clr_used, "clrImportant": clr_important}
    assert (img._png_chunks, img._png_filters, img._alpha) == (None, None, None)
    # the same file made top-down by negating its height: the stored rows now run top to bottom
    flipped = data[:22] + struct.pack("<i", -size[1]) + data[26:]
    img = S.open(flipped)
    assert capsys.readouterr().out.splitlines()[-1] == "[SimpleImage] Opened image: %dx%d, channels=3" % size
    with Image.open(io.BytesIO(flipped)) as theirs:
        assert bytes(img._pixels) == theirs.tobytes() == im.transpose(Image.Transpose.FLIP_TOP_BOTTOM).tobytes()


@pytest.mark.parametrize("width, height, error", [
    (2**31 - 1, 2**31 - 1, (OverflowError, "image dimensions too large")),
    (2**31 - 1, -2**31, (OverflowError, "image dimensions too large")),
    (-2**31, 2**31 - 1, (ValueError, "negative count")),
    (-2**31, 2, (ValueError, "negative count")),
])
def test_extreme_dimensions_are_refused_as_their_sign_says(S, width, height, error):
    # width * |height| * 3 can leave 64 bits: found by fuzzing.
    header = (b"BM" + struct.pack("<IHHI", 0, 0, 0, 54)
              + struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, 0, 0, 0, 0, 0))
    for source in (header, io.BytesIO(header)):
        with pytest.raises(error[0], match="^" + error[1] + "$"):
            S.open(source) if isinstance(source, bytes) else S._streamToImage(source)
