"""Writing plain PNG: _writePng's four-part file, the filtered scanline stream, every check and its order.

The expected files are built here from struct and zlib alone: a small filter reference, the chunk
layout, and zlib.compress at its default level over the scanline stream.
"""
import array
import io
import itertools
import random
import struct
import zlib

import pytest

from conftest import PYPY, refuse_without_touching
from pngtools import paeth

SIG = b"\x89PNG\r\n\x1a\n"
PIXELS = "Pixel data length does not match image dimensions"
ALPHA = "Alpha channel length does not match image dimensions"
FILTER_COUNT = "PNG filter count does not match image height"
TOO_LARGE = "image dimensions too large"
OLD = b"an older file that a refused call must leave alone\n" * 3


def chunk(ctype, data=b""):
    return struct.pack(">I", len(data)) + ctype + data + struct.pack(">I", zlib.crc32(ctype + data) & 0xFFFFFFFF)


def chunks_of(data):
    """Every (type, data) of a PNG file, with its CRC checked, up to the very end of the file."""
    assert data[:8] == SIG
    out, pos = [], 8
    while pos < len(data):
        (n,) = struct.unpack(">I", data[pos:pos + 4])
        ctype, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + n]
        assert struct.unpack(">I", data[pos + 8 + n:pos + 12 + n])[0] == zlib.crc32(ctype + body)
        out.append((ctype, body))
        pos += 12 + n
    assert pos == len(data)
    return out


def filtered(width, height, pixels, alpha=None, filter_types=None):
    """The scanline stream: each row interleaved (RGB or RGBA), filtered with its type, after its type byte."""
    bpp = 3 if alpha is None else 4
    out, prev = bytearray(), bytes(width * bpp)
    for y in range(height):
        row = bytearray()
        for p in range(y * width, (y + 1) * width):
            row += bytes(pixels[3 * p:3 * p + 3])
            if alpha is not None:
                row.append(alpha[p])
        t = 0 if filter_types is None else filter_types[y]
        out.append(t)
        for i, v in enumerate(row):
            a = row[i - bpp] if i >= bpp else 0
            c = prev[i - bpp] if i >= bpp else 0
            out.append((v - (0, a, prev[i], (a + prev[i]) >> 1, paeth(a, prev[i], c))[t]) % 256)
        prev = row
    return bytes(out)


def ihdr_data(width, height, alpha=None):
    return struct.pack(">IIBBBBB", width, height, 8, 2 if alpha is None else 6, 0, 0, 0)


def plain_png(width, height, pixels, alpha=None, filter_types=None, stream=None):
    if stream is None:
        stream = filtered(width, height, pixels, alpha, filter_types)
    return (SIG + chunk(b"IHDR", ihdr_data(width, height, alpha)) + chunk(b"IDAT", zlib.compress(stream))
            + chunk(b"IEND"))


def noise(n, seed=7):
    rng = random.Random(seed)
    return bytearray(rng.randrange(256) for _ in range(n))


def host_error(fn):
    """(type, message) of what the host itself raises for fn()."""
    try:
        fn()
    except Exception as e:  # noqa: BLE001 - the point is to capture whatever the host raises
        return type(e), str(e)
    raise AssertionError("expected the host to refuse")


def writable_refusal(obj):
    """(type, message) that the host's buffer interface raises when asked for a writable view of obj."""
    if PYPY:
        # cpyext's own refusal of a read-only object (its text has no full stop); other objects: TypeError
        return (ValueError, "Object is not writable") if isinstance(obj, bytes) else (TypeError, None)
    import ctypes
    get = ctypes.pythonapi.PyObject_GetBuffer
    get.argtypes, get.restype = [ctypes.py_object, ctypes.c_void_p, ctypes.c_int], ctypes.c_int
    view = ctypes.create_string_buffer(256)  # room for a Py_buffer, never filled when the request fails
    try:
        get(obj, view, 1)  # PyBUF_WRITABLE
    except Exception as e:  # noqa: BLE001
        return type(e), str(e)
    raise AssertionError("the host gave a writable view of %r" % (obj,))


class Huge:
    """Claims a length that no test could allocate; reading any item fails the test."""

    def __init__(self, n):
        self.n = n

    def __len__(self):
        return self.n

    def __iter__(self):
        raise AssertionError("the buffer was read")

    def __getitem__(self, i):
        raise AssertionError("the buffer was read")


def write(m, path, *args, **kw):
    assert m._writePng(str(path), *args, **kw) is None
    return path.read_bytes()


@pytest.mark.parametrize("alpha, colour, stream", [
    (None, 2, "00 FF0000"),
    (bytearray(b"\x80"), 6, "00 FF000080"),
])
def test_one_red_pixel(m, S, tmp_path, alpha, colour, stream):
    data = write(m, tmp_path / "p.png", 1, 1, bytearray(b"\xff\0\0"), alpha)
    header = bytes.fromhex("00000001 00000001 08") + bytes([colour]) + b"\0\0\0"
    assert data == (SIG + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes.fromhex(stream)))
                    + bytes.fromhex("00000000 49454E44 AE426082"))
    img = S.open(data)
    assert img.getPixel((0, 0)) == (255, 0, 0) and list(img._png_filters) == [0]
    assert img._alpha == alpha and [t for t, _, _ in img._png_chunks] == [b"IHDR", b"IDAT", b"IEND"]


# (width, height, RGB bytes, alpha, filter types, the scanline stream worked out by hand)
HAND = {
    "sub row 0": (2, 1, "0A141E 0F1905", None, [1], "01 0A141E 0505E7"),
    "up row 0": (2, 1, "0A141E 0F1905", None, [2], "02 0A141E 0F1905"),
    "up row 1": (1, 2, "0A141E 05191E", None, [0, 2], "00 0A141E 02 FB0500"),
    "average takes the full sum": (2, 2, "000000 646464 C8C8C8 969696", None, [0, 3],
                                   "00 000000 646464 03 C8C8C8 000000"),
    "average 255 and 255": (2, 2, "000000 FFFFFF FFFFFF 000000", None, [0, 3], "00 000000 FFFFFF 03 FFFFFF 010101"),
    "paeth picks a, b, c": (2, 2, "0A1496 3228C8 320A64 3C2DA0", None, [0, 4], "00 0A1496 3228C8 04 28F6CE 0A050A"),
    "sub with alpha is 4 back": (2, 1, "010203 0B1621", "042C", [1], "01 01020304 0A141E28"),
    "paeth row 0 is sub": (2, 1, "010203 0B1621", "042C", [4], "04 01020304 0A141E28"),
    "average row 0 halves a": (2, 1, "C8C8C8 0A0A0A", None, [3], "03 C8C8C8 A6A6A6"),
}


@pytest.mark.parametrize("case", sorted(HAND))
def test_hand_computed_scanlines(m, tmp_path, case):
    width, height, rgb, alpha, types, stream = HAND[case]
    pixels = bytearray.fromhex(rgb)
    alpha = None if alpha is None else bytearray.fromhex(alpha)
    stream = bytes.fromhex(stream)
    assert filtered(width, height, pixels, alpha, types) == stream  # the reference agrees with the hand
    data = write(m, tmp_path / "h.png", width, height, pixels, alpha, bytearray(types))
    assert data == plain_png(width, height, pixels, alpha, stream=stream)


def test_without_filter_types_rows_are_stored_as_they_are(m, tmp_path):
    pixels, alpha = noise(4 * 3 * 3), noise(4 * 3, seed=2)
    data = write(m, tmp_path / "n.png", 4, 3, pixels, alpha)
    rows = [b"".join(bytes(pixels[3 * p:3 * p + 3]) + bytes([alpha[p]]) for p in range(4 * y, 4 * y + 4))
            for y in range(3)]
    assert zlib.decompress(chunks_of(data)[1][1]) == b"".join(b"\0" + r for r in rows)


def combinations(height, rng):
    if height <= 3:
        return list(itertools.product(range(5), repeat=height))
    return [tuple(rng.randrange(5) for _ in range(height)) for _ in range(4)]


@pytest.mark.parametrize("width", range(10))
@pytest.mark.parametrize("with_alpha", [False, True], ids=["RGB", "RGBA"])
def test_every_filter_combination_decodes_to_what_was_written(m, S, tmp_path, width, with_alpha):
    Image = pytest.importorskip("PIL.Image")
    rng = random.Random(width * 2 + with_alpha)
    path = tmp_path / "c.png"
    for height in list(range(1, 4)) + [4, 5, 8, 13]:
        for types in combinations(height, rng):
            pixels = bytearray(rng.randrange(256) for _ in range(width * height * 3))
            alpha = bytearray(rng.randrange(256) for _ in range(width * height)) if with_alpha else None
            data = write(m, path, width, height, pixels, alpha, bytearray(types))
            assert data == plain_png(width, height, pixels, alpha, types), (height, types)
            img = S.open(data)
            assert (img.size, img._pixels, img._alpha, list(img._png_filters)) == (
                (width, height), pixels, alpha, list(types))
            if width:  # Pillow refuses images without pixels
                with Image.open(io.BytesIO(data)) as im:
                    assert im.mode == ("RGBA" if with_alpha else "RGB")
                    assert im.tobytes() == b"".join(
                        bytes(pixels[3 * p:3 * p + 3]) + (bytes([alpha[p]]) if with_alpha else b"")
                        for p in range(width * height))


@pytest.mark.parametrize("with_alpha", [False, True])
def test_height_zero_and_width_zero(m, S, tmp_path, with_alpha):
    alpha = bytearray() if with_alpha else None
    data = write(m, tmp_path / "h0.png", 4, 0, b"", alpha, bytearray())
    assert data == (SIG + chunk(b"IHDR", ihdr_data(4, 0, alpha)) + chunk(b"IDAT", zlib.compress(b""))
                    + chunk(b"IEND"))
    assert S.open(data).size == (4, 0)
    data = write(m, tmp_path / "w0.png", 0, 3, b"", alpha, bytearray([1, 2, 3]))
    assert data == plain_png(0, 3, b"", alpha, stream=b"\x01\x02\x03")
    assert list(S.open(data)._png_filters) == [1, 2, 3]
    assert zlib.decompress(chunks_of(write(m, tmp_path / "w0.png", 0, 3, b"", alpha))[1][1]) == b"\0\0\0"


@pytest.mark.parametrize("kind", [bytes, bytearray, list, tuple, memoryview])
def test_pixels_of_any_byte_sequence(m, tmp_path, kind):
    pixels, alpha, types = noise(3 * 2 * 3), noise(3 * 2, 3), bytearray([4, 3])
    before = (bytes(pixels), bytes(alpha), bytes(types))
    data = write(m, tmp_path / "k.png", 3, 2, kind(bytes(pixels)), alpha, types)
    assert data == plain_png(3, 2, pixels, alpha, types)
    assert (bytes(pixels), bytes(alpha), bytes(types)) == before


@pytest.mark.parametrize("buffers", [
    lambda a, f: (memoryview(a), memoryview(f)),
    lambda a, f: (array.array("B", a), array.array("B", f)),
], ids=["memoryview", "array"])
def test_alpha_and_filters_from_other_writable_buffers(m, tmp_path, buffers):
    pixels, alpha, types = noise(2 * 3 * 3), noise(2 * 3, 4), bytearray([2, 1, 4])
    given_alpha, given_types = buffers(bytearray(alpha), bytearray(types))
    data = write(m, tmp_path / "b.png", 2, 3, pixels, given_alpha, given_types)
    assert data == plain_png(2, 3, pixels, alpha, types)


def test_keywords_and_converted_dimensions(m, tmp_path):
    pixels, types = noise(2 * 2 * 3), bytearray([1, 2])
    path = tmp_path / "kw.png"
    m._writePng(filter_types=types, alpha=None, pixels=pixels, height=2, width=2, path=str(path))
    assert path.read_bytes() == plain_png(2, 2, pixels, None, types)
    assert write(m, path, 2.9, True, pixels[:6]) == plain_png(2, 1, pixels[:6])


def test_existing_file_is_replaced_and_path_may_be_a_path_object(m, tmp_path):
    path = tmp_path / "old.png"
    path.write_bytes(OLD * 100)
    m._writePng(path, 1, 1, b"abc")
    assert path.read_bytes() == plain_png(1, 1, b"abc")


def test_alpha_shrunk_while_the_pixels_are_copied(m, tmp_path):
    alpha = bytearray(4)

    class Sample:
        def __index__(self):
            alpha.clear()
            return 1
    with pytest.raises(ValueError, match=ALPHA):
        m._writePng(str(tmp_path / "s.png"), 2, 2, [Sample()] * 12, alpha)
    assert not (tmp_path / "s.png").exists()


def refusals():
    """(name, (width, height, pixels, alpha, filter_types), expected exception, expected message or None)."""
    rgb12 = bytearray(12)
    pack = lambda w, h: host_error(lambda: struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
    big_byte = host_error(lambda: bytearray([0] * 11 + [256]))
    not_int = host_error(lambda: bytearray([0] * 11 + ["x"]))
    no_len = host_error(lambda: len(None))
    frozen, listed = writable_refusal(bytes(4)), writable_refusal([0] * 4)
    return [
        ("pixels short", (2, 2, rgb12[:11], None, None), ValueError, PIXELS),
        ("pixels long", (2, 2, rgb12 + b"\0", None, None), ValueError, PIXELS),
        ("pixels None", (2, 2, None, None, None)) + no_len,
        ("alpha short", (2, 2, rgb12, bytearray(3), None), ValueError, ALPHA),
        ("alpha long, as bytes", (2, 2, rgb12, bytes(5), None), ValueError, ALPHA),
        ("alpha as bytes", (2, 2, rgb12, bytes(4), None)) + frozen,
        ("alpha as list", (2, 2, rgb12, [0] * 4, None)) + listed,
        ("one filter too few", (2, 2, rgb12, None, bytearray(1)), ValueError, FILTER_COUNT),
        ("one filter too many", (2, 2, rgb12, None, bytearray(3)), ValueError, FILTER_COUNT),
        ("filters as bytes", (2, 2, rgb12, None, bytes(2))) + frozen,
        ("filters as list", (2, 2, rgb12, None, [0, 0])) + listed,
        ("filter 5", (2, 2, rgb12, None, bytearray([0, 5])), ValueError, "Unsupported PNG filter: 5"),
        ("filter 255", (2, 2, rgb12, bytearray(4), bytearray([255, 0])), ValueError, "Unsupported PNG filter: 255"),
        ("first bad row", (1, 3, bytearray(9), None, bytearray([4, 7, 5])), ValueError, "Unsupported PNG filter: 7"),
        ("width zero, filter 6", (0, 2, b"", None, bytearray([1, 6])), ValueError, "Unsupported PNG filter: 6"),
        ("negative width and height", (-1, -1, bytearray(3), None, None), struct.error, pack(-1, -1)[1]),
        ("negative height", (0, -1, b"", None, None), struct.error, pack(0, -1)[1]),
        ("negative width", (-3, 0, b"", None, None), struct.error, pack(-3, 0)[1]),
        ("pixel value 256", (2, 2, [0] * 11 + [256], None, None)) + big_byte,
        ("pixel not a number", (2, 2, [0] * 11 + ["x"], None, None)) + not_int,
        ("width not a number", ("2", 2, rgb12, None, None), TypeError, "an integer is required"),
        ("width 2**31", (2 ** 31, 0, b"", None, None), OverflowError, "value too large to convert to int"),
        ("area wraps to zero", (65536, 65536, b"", None, None), OverflowError, TOO_LARGE),
        ("area times 3 overflows", (715827883, 1, b"", None, None), OverflowError, TOO_LARGE),
        ("negative area overflows", (-65536, 65536, b"", None, None), OverflowError, TOO_LARGE),
        ("row arithmetic overflows", (1, 600000000, Huge(1800000000), None, None), OverflowError, TOO_LARGE),
        ("rgba rows overflow", (1000, 600000, Huge(1800000000), Huge(600000000), None), OverflowError, TOO_LARGE),
        # two faults at once: the earlier check reports
        ("pixels before alpha", (2, 2, rgb12[:11], bytearray(1), None), ValueError, PIXELS),
        ("alpha before filters", (2, 2, rgb12, bytearray(1), bytearray(9)), ValueError, ALPHA),
        ("header before filters", (-1, -1, bytearray(3), None, bytearray(5)), struct.error, pack(-1, -1)[1]),
        ("pixel copy before alpha buffer", (2, 2, [0] * 11 + [256], bytes(4), None)) + big_byte,
        ("alpha buffer before filter count", (2, 2, rgb12, bytes(4), bytearray(9))) + frozen,
        ("filter count before values", (2, 2, rgb12, None, bytearray([5, 5, 5])), ValueError, FILTER_COUNT),
        ("conversion before lengths", ("x", 2, None, None, None), TypeError, "an integer is required"),
    ]


REFUSALS = refusals()


@pytest.mark.parametrize("name, args, exc, message", REFUSALS, ids=[r[0] for r in REFUSALS])
@pytest.mark.parametrize("existing", [False, True], ids=["new", "existing"])
def test_refused_calls_touch_no_file(m, tmp_path, name, args, exc, message, existing):
    path = tmp_path / "target.png"
    refuse_without_touching(path, OLD if existing else None, lambda: m._writePng(str(path), *args), exc, message)


def test_io_errors_come_from_open_and_only_after_the_checks(m, tmp_path):
    with pytest.raises(IsADirectoryError):
        m._writePng(str(tmp_path), 1, 1, b"abc")
    with pytest.raises(FileNotFoundError):
        m._writePng(str(tmp_path / "missing" / "x.png"), 1, 1, b"abc")
    with pytest.raises(ValueError, match=PIXELS):
        m._writePng(str(tmp_path / "missing" / "x.png"), 1, 1, b"ab")


def test_zlib_and_signature_are_looked_up_at_each_call(m, tmp_path, monkeypatch):
    calls = []

    class FakeZlib:
        crc32 = staticmethod(zlib.crc32)
        decompress = staticmethod(zlib.decompress)

        @staticmethod
        def compress(*args, **kw):
            calls.append((args, kw))
            return b"not really deflate"

    pixels, types = noise(2 * 2 * 3), bytearray([3, 4])
    monkeypatch.setattr(m, "zlib", FakeZlib)
    data = write(m, tmp_path / "z.png", 2, 2, pixels, None, types)
    assert data == SIG + chunk(b"IHDR", ihdr_data(2, 2)) + chunk(b"IDAT", b"not really deflate") + chunk(b"IEND")
    [(args, kw)] = calls
    assert kw == {} and len(args) == 1 and type(args[0]) is bytes and args[0] == filtered(2, 2, pixels, None, types)
    monkeypatch.setattr(m, "PNG_SIGNATURE", b"SIGNATURE")
    data = write(m, tmp_path / "z.png", 2, 2, pixels, None, types)
    assert data.startswith(b"SIGNATURE" + chunk(b"IHDR", ihdr_data(2, 2)))
    monkeypatch.undo()
    assert write(m, tmp_path / "z.png", 2, 2, pixels, None, types) == plain_png(2, 2, pixels, None, types)
