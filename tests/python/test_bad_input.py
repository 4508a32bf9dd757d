"""The README's table of what bad input gets, held to the module: each row's input is built here
under the row's own Input text, its call made, and the exception and message compared with the
row's. A row with no input here, or an input with no row, fails, so neither can drift from the other.
"""
import io
import pathlib
import platform
import re
import zlib

import pytest

import pngtools
from pngtools import SIGNATURE, chunk, ihdr, png
from Corvane.simpleImage_ext import SimpleImage

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
HEADING = "## What bad input gets"
HOST = "PyPy" if platform.python_implementation() == "PyPy" else "CPython"
ACCEPTED = "—"


def table():
    """The rows of the table under HEADING, as lists of four cells."""
    lines = README.read_text(encoding="utf-8").splitlines()
    rows = []
    for line in lines[lines.index(HEADING) + 1:]:
        if line.startswith("#"):
            break
        if line.startswith("|"):
            rows.append([cell.strip() for cell in line.strip()[1:-1].split("|")])
    header, rule, *body = rows
    assert header == ["Input", "Call", "Exception", "Message"]
    assert all(len(row) == 4 for row in body), "a row without exactly four cells"
    return body


def message_for_host(cell):
    """The quoted message of a Message cell; a cell that differs by host quotes one for each."""
    quoted = re.findall(r"(?:(CPython|PyPy): )?`([^`]*)`", cell)
    by_host = {host: text for host, text in quoted if host}
    if by_host:
        assert sorted(by_host) == ["CPython", "PyPy"] and len(quoted) == 2, cell
        return by_host[HOST]
    assert len(quoted) == 1, cell
    return quoted[0][1]


def named(exc):
    """An exception as the table names it: its type (with the module for zlib.error and the like), its text."""
    kind = type(exc)
    return "%s: %s" % (kind.__name__ if kind.__module__ == "builtins" else kind.__module__ + "." + kind.__name__, exc)


# --- the inputs ---

def png_file(width=2, height=2, depth=8, colour=2, compression=0, filter_method=0, interlace=0,
             raw=None, idat=None, before=(), end=True):
    """A PNG of IHDR, one IDAT (`raw` compressed, by default all-zero rows of filter type 0) and IEND."""
    if idat is None:
        idat = zlib.compress(bytes((width * 3 + 1) * height) if raw is None else raw)
    return png(*before, chunk(b"IHDR", ihdr(width, height, depth, colour, compression, filter_method, interlace)),
               chunk(b"IDAT", idat), *([chunk(b"IEND")] if end else []))


def flip(data, at):
    return data[:at] + bytes([data[at] ^ 1]) + data[at + 1:]


PNG = png_file()  # 8 signature bytes, IHDR at 8 (its data at 16, its CRC at 29), IDAT at 33, IEND last
STREAM = zlib.compress(bytes(14))  # all that a 2 x 2 RGB PNG inflates to
BMP = pngtools.bmp([bytes(6), bytes(6)])  # file header, info header size at 14, its other 36 bytes at 18, pixels at 54
IMAGE = (2, 2, bytes(12))


def opening(*files):
    """Opens each file from its bytes, from a path and from a caller's stream: the
    ways in must end alike."""
    def from_path(data):
        pathlib.Path("file").write_bytes(data)
        return SimpleImage.open("file")

    def from_stream(data):
        width, height, pixels, _, *fields = SimpleImage._streamToImage(io.BytesIO(data))
        return SimpleImage(width, height, pixels, *fields)
    return [call for data in files
            for call in (lambda d=data: SimpleImage.open(d), lambda d=data: from_path(d),
                         lambda d=data: from_stream(d))]


def saving(**fields):
    return [lambda: SimpleImage(*IMAGE, **fields).save("out.png")]


def image():
    return SimpleImage(*IMAGE)


def negative_size():
    im = SimpleImage(1, 1, bytes(3), png_chunks=[(b"IHDR", ihdr(1, 1), 13), (b"IDAT", None, 0)])
    im.width = im.height = -1
    im.save("out.png")


INPUTS = {
    "Empty input, data that is neither PNG nor BMP (a GIF), or a PNG cut inside its 8-byte signature or with a "
    "wrong signature byte": opening(b"", b"GIF89a" + bytes(20), SIGNATURE[:7], flip(PNG, 7)),
    "PNG signature and nothing more, or chunks without any IHDR":
        opening(SIGNATURE, png(chunk(b"IDAT", STREAM), chunk(b"IEND"))),
    "PNG cut inside a chunk's 4-byte length": opening(PNG[:10], PNG[:-10]),
    "PNG cut inside a chunk's 4-byte type": opening(PNG[:14]),
    "PNG cut inside a chunk's data, or a chunk length (up to 4 GiB) that runs past the end":
        opening(PNG[:20], png(chunk(b"IHDR", ihdr(2, 2))) + b"\xff\xff\xff\xfftEXt" + bytes(100)),
    "PNG cut inside a chunk's CRC": opening(PNG[:31]),
    "PNG with a chunk whose CRC does not match its type and data": opening(flip(PNG, 20), flip(PNG, 30)),
    "PNG whose first chunk is not IHDR (IHDR comes later)": opening(png_file(before=[chunk(b"tEXt", b"k\0v")])),
    "PNG whose IHDR holds 12 bytes instead of 13": opening(png(chunk(b"IHDR", ihdr(2, 2)[:12]))),
    "PNG whose IHDR holds 14 bytes instead of 13": opening(png(chunk(b"IHDR", ihdr(2, 2) + b"\0"))),
    "PNG whose IHDR says bit depth 16 or 1": opening(png_file(depth=16), png_file(depth=1)),
    "PNG whose IHDR says colour type 3 (palette), 0 (greyscale) or 4 (greyscale with alpha)":
        opening(*(png_file(colour=c) for c in (3, 0, 4))),
    "Interlaced PNG, or one whose IHDR says compression method 1 or filter method 1":
        opening(png_file(interlace=1), png_file(compression=1), png_file(filter_method=1)),
    "PNG or BMP 0 pixels wide or 0 pixels high":
        opening(png_file(width=0), png_file(height=0), pngtools.bmp([b"", b""]), pngtools.bmp([], width=2)),
    "PNG with a row of filter type 5": opening(png_file(raw=bytes(7) + b"\5" + bytes(6))),
    "PNG without IDAT, or whose zlib stream is cut short":
        opening(png(chunk(b"IHDR", ihdr(2, 2)), chunk(b"IEND")), png_file(idat=STREAM[:-3])),
    "PNG whose IDAT data is not a zlib stream": opening(png_file(idat=b"not zlib")),
    "PNG whose zlib checksum is wrong": opening(png_file(idat=flip(STREAM, len(STREAM) - 1))),
    "PNG without IEND": opening(png_file(end=False)),
    "PNG whose image data inflates to fewer bytes than its header needs": opening(png_file(raw=bytes(13))),
    "PNG whose image data inflates to more bytes than its header needs, a decompression bomb (6.8 MB "
    "inflating to 1 GiB) included": opening(png_file(raw=bytes(15)), png_file(idat=pngtools.deflate_zeros(520000))),
    "PNG whose image data inflates past what its header needs and only then breaks off or goes wrong: refused at "
    "the first byte too many, before the rest is inflated":
        opening(png_file(idat=zlib.compress(bytes(15))[:-2]),
                png_file(idat=pngtools.deflate_zeros(520000)[:-1] + b"\0")),
    "PNG header of 65536 × 65536, or any whose pixel or scanline bytes exceed 2³¹ − 1":
        opening(*(png_file(w, h, colour=c, idat=b"x") for w, h, c in [(65536, 65536, 2), (715827883, 1, 2),
                                                                   (1, 429496730, 6)])),
    "PNG header whose width or height is 2³¹ or more":
        opening(png_file(2 ** 31, 1, idat=b"x"), png_file(1, 2 ** 32 - 1, idat=b"x")),
    "`BM` and less than the rest of the 14-byte file header": opening(b"BM", BMP[:13]),
    "BMP cut inside the 4-byte size of its info header": opening(BMP[:14], BMP[:17]),
    "BMP cut inside the rest of its 40-byte info header": opening(BMP[:18], BMP[:53]),
    "BMP with a 12- or 124-byte info header (OS/2, version 5)":
        opening(*(pngtools.bmp_header(2, 2, header_size=n) + bytes(16) for n in (12, 124))),
    "BMP of 8 or 32 bits per pixel, of 2 planes, or with compression 3 (bit fields)":
        opening(*(pngtools.bmp([bytes(6)] * 2, **f) for f in ({"bpp": 8}, {"bpp": 32}, {"planes": 2},
                                                                {"compression": 3}))),
    "BMP cut inside its pixel rows, or whose pixel data offset lies past the end":
        opening(BMP[:-1], BMP[:54], pngtools.bmp([bytes(6)] * 2, offset=1000)),
    "BMP whose width is negative": opening(pngtools.bmp_header(-1, 1) + bytes(4)),
    "BMP header of 26755 × 26755, or any whose pixel bytes exceed 2³¹ − 1":
        opening(pngtools.bmp_header(26755, 26755), pngtools.bmp_header(1, -2 ** 31)),
    "A source that is neither a path nor bytes: a number, None, a memoryview, an open file":
        [lambda: SimpleImage.open(3), lambda: SimpleImage.open(None), lambda: SimpleImage.open(memoryview(PNG)),
         lambda: SimpleImage.open(io.BytesIO(PNG))],
    "A path where there is no file": [lambda: SimpleImage.open("missing.png")],
    "Pixel data of the wrong length": [lambda: SimpleImage(2, 2, bytes(11)), lambda: SimpleImage(2, 2, bytes(13))],
    "A width that is not a number": [lambda: SimpleImage("2", 2, bytes(12))],
    "A width of 2³¹ or more": [lambda: SimpleImage(2 ** 31, 1, b"")],
    "Width × height × 3 above 2³¹ − 1": [lambda: SimpleImage(50000, 50000, b"")],
    "Coordinates given as a list": [lambda: image().getPixel([0, 0]), lambda: image().putPixel([0, 0], (1, 2, 3))],
    "Coordinates outside a 2 × 2 image: x of 2, or y of −1":
        [lambda: image().getPixel((2, 0)), lambda: image().putPixel((0, -1), (1, 2, 3))],
    "A coordinate inside the image that is not a whole number": [lambda: image().getPixel((0.5, 0))],
    "Two colour components instead of three": [lambda: image().putPixel((0, 0), (1, 2))],
    "A path that is not a `str`":
        [lambda: image().save(pathlib.Path("out.png")), lambda: image().saveBmp(pathlib.Path("out.png"))],
    "A chunk list entry of two items instead of three": saving(png_chunks=[(b"IHDR", ihdr(2, 2))]),
    "A chunk list entry whose type is a `str`":
        saving(png_chunks=[(b"IHDR", ihdr(2, 2), 13), (b"IDAT", None, 0), ("IEND", b"", 0)]),
    "A chunk list entry that is not a sequence (`None`)":
        saving(png_chunks=[(b"IHDR", ihdr(2, 2), 13), None, (b"IEND", b"", 0)]),
    "Width and height set to −1 on an image with a chunk list and 3 pixel bytes": [negative_size],
    "Filter type 5 in `_png_filters`": saving(png_filters=b"\0\5"),
}

ROWS = table()


def test_every_input_has_its_row():
    inputs = [row[0] for row in ROWS]
    assert len(set(inputs)) == len(inputs), "two rows with the same Input"
    assert sorted(set(INPUTS) - set(inputs)) == []


@pytest.mark.parametrize("row", ROWS, ids=[row[0][:60] for row in ROWS])
def test_row(row, tmp_path, monkeypatch):
    text, _, exception, message = row
    assert text in INPUTS, "no input is built for this row"
    monkeypatch.chdir(tmp_path)  # where the calls write, and where "missing.png" is missing
    for call in INPUTS[text]:
        if exception == ACCEPTED:
            assert isinstance(call(), SimpleImage)
            continue
        with pytest.raises(Exception) as caught:
            call()
        assert named(caught.value) == "%s: %s" % (exception.strip("`"), message_for_host(message))
