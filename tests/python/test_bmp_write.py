"""_writeBmp: a bottom-up 24-bit BMP with zero-padded rows, header values from meta, every check before the file."""
import fractions
import io
import struct

import pytest

import pngtools
from conftest import refuse_without_touching
from test_png_write import OLD, TOO_LARGE, Huge, host_error, noise

DEFAULTS = dict(xppm=2835, yppm=2835, clrUsed=0, clrImportant=0)


def resolution(value):
    """A resolution field: what the file holds for any value from -2**31 to 2**32 - 1."""
    return struct.pack("<i" if value < 0 else "<I", value)


def bmp_file(width, height, pixels, xppm=2835, yppm=2835, clrUsed=0, clrImportant=0):
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in reversed(range(height)):
        bgr = b"".join(bytes(pixels[3 * p:3 * p + 3])[::-1] for p in range(y * width, (y + 1) * width))
        rows.append(bgr + bytes(stride - len(bgr)))
    body = b"".join(rows)
    return (b"BM" + struct.pack("<IHHI", 54 + len(body), 0, 0, 54)
            + struct.pack("<IIIHHII", 40, width, height, 1, 24, 0, len(body))
            + resolution(xppm) + resolution(yppm) + struct.pack("<II", clrUsed, clrImportant) + body)


def write(m, path, *args, **kw):
    assert m._writeBmp(str(path), *args, **kw) is None
    return path.read_bytes()


def test_one_pixel_file(m, tmp_path):
    assert write(m, tmp_path / "one.bmp", 1, 1, bytearray([10, 20, 30])) == bytes.fromhex(
        "424D 3A000000 0000 0000 36000000"
        "28000000 01000000 01000000 0100 1800 00000000 04000000 130B0000 130B0000 00000000 00000000"
        "1E140A 00")


@pytest.mark.parametrize("width", range(1, 6))
@pytest.mark.parametrize("height", [1, 2, 3])
def test_rows_bottom_up_with_zero_pad(m, tmp_path, width, height):
    pixels = noise(width * height * 3, width * 10 + height)
    data = write(m, tmp_path / "r.bmp", width, height, pixels)
    assert data == bmp_file(width, height, pixels)
    stride = {1: 4, 2: 8, 3: 12, 4: 12, 5: 16}[width]
    assert len(data) == 54 + stride * height and struct.unpack("<I", data[34:38])[0] == stride * height
    top = data[54 + stride * (height - 1):]
    assert top[:3] == bytes(pixels[2::-1]) and top[3 * width:] == bytes(stride - 3 * width)


@pytest.mark.parametrize("width, height", [(0, 0), (0, 5), (5, 0)])
def test_no_pixels_gives_headers_only(m, tmp_path, width, height):
    data = write(m, tmp_path / "z.bmp", width, height, b"")
    assert len(data) == 54 and data == bmp_file(width, height, b"")
    assert struct.unpack("<I", data[2:6]) == (54,) and struct.unpack("<I", data[34:38]) == (0,)


def test_meta_none_and_empty_and_one_key(m, tmp_path):
    pixels = noise(2 * 2 * 3)
    plain = write(m, tmp_path / "a.bmp", 2, 2, pixels)
    assert write(m, tmp_path / "b.bmp", 2, 2, pixels, None) == plain
    assert write(m, tmp_path / "c.bmp", 2, 2, pixels, {}) == plain
    assert write(m, tmp_path / "c.bmp", 2, 2, pixels, {"other": -1, "XPPM": -1}) == plain
    changed = write(m, tmp_path / "d.bmp", 2, 2, pixels, {"xppm": 100})
    assert [i for i in range(len(plain)) if plain[i] != changed[i]] == [38, 39]  # 2835 -> 100 touches two bytes
    assert changed[38:42] == struct.pack("<I", 100) and changed[:38] + changed[42:] == plain[:38] + plain[42:]


def test_meta_values_go_through_int(m, tmp_path):
    meta = {"xppm": 100.9, "yppm": " 300 ", "clrUsed": True, "clrImportant": fractions.Fraction(7, 2)}
    assert write(m, tmp_path / "i.bmp", 1, 1, b"abc", meta) == bmp_file(1, 1, b"abc", 100, 300, 1, 3)


def test_meta_is_read_through_get_in_order(m, tmp_path):
    calls = []

    class Meta:
        def get(self, key, default):
            calls.append((key, default))
            return {"yppm": 7, "clrImportant": 9}.get(key, default)

    assert write(m, tmp_path / "g.bmp", 1, 1, b"abc", Meta()) == bmp_file(1, 1, b"abc", 2835, 7, 0, 9)
    assert calls == [("xppm", 2835), ("yppm", 2835), ("clrUsed", 0), ("clrImportant", 0)]
    assert all(type(d) is int for _, d in calls)


@pytest.mark.parametrize("xppm, yppm", [(-1, -2), (-2 ** 31, 2 ** 32 - 1), (2 ** 31, 2 ** 31 - 1), (0, -100)])
def test_resolutions_span_signed_and_unsigned(m, S, tmp_path, xppm, yppm):
    data = write(m, tmp_path / "res.bmp", 1, 1, b"abc", {"xppm": xppm, "yppm": yppm})
    assert data[38:46] == resolution(xppm) + resolution(yppm)
    assert data == bmp_file(1, 1, b"abc", xppm, yppm)
    # the reader gives the same bytes back as signed values
    assert S.open(data)._bmp_header == {"xppm": struct.unpack("<i", resolution(xppm))[0],
                                        "yppm": struct.unpack("<i", resolution(yppm))[0],
                                        "clrUsed": 0, "clrImportant": 0}


@pytest.mark.parametrize("kind", [bytes, bytearray, list, memoryview])
def test_pixels_of_any_byte_sequence(m, tmp_path, kind):
    pixels = noise(3 * 2 * 3, 4)
    before = bytes(pixels)
    assert write(m, tmp_path / "k.bmp", 3, 2, kind(before)) == bmp_file(3, 2, pixels)
    assert write(m, tmp_path / "k.bmp", 3, 2, pixels) == bmp_file(3, 2, pixels) and pixels == before


def test_extra_pixel_bytes_are_not_used(m, tmp_path):
    assert write(m, tmp_path / "x.bmp", 1, 1, b"abcdef") == bmp_file(1, 1, b"abc")


def test_keywords_and_converted_dimensions(m, tmp_path):
    path = tmp_path / "kw.bmp"
    m._writeBmp(meta={"clrUsed": 4}, pixels=b"abcdef", height=1, width=2, path=str(path))
    assert path.read_bytes() == bmp_file(2, 1, b"abcdef", clrUsed=4)
    assert write(m, path, 2.7, True, b"abcdef") == bmp_file(2, 1, b"abcdef")


def test_existing_file_is_replaced_and_path_may_be_a_path_object(m, tmp_path):
    path = tmp_path / "old.bmp"
    path.write_bytes(OLD * 50)
    m._writeBmp(path, 1, 1, b"abc")
    assert path.read_bytes() == bmp_file(1, 1, b"abc")


def test_written_file_reads_back(m, S, tmp_path):
    Image = pytest.importorskip("PIL.Image")
    pixels = noise(7 * 5 * 3, 9)
    meta = {"xppm": 1234, "yppm": 4321, "clrUsed": 7, "clrImportant": 3}
    data = write(m, tmp_path / "rb.bmp", 7, 5, pixels, meta)
    img = S.open(data)
    assert (img.size, img._pixels, img._bmp_header) == ((7, 5), pixels, meta)
    with Image.open(io.BytesIO(data)) as im:
        assert (im.mode, im.size, im.tobytes()) == ("RGB", (7, 5), pixels)


def test_negative_resolution_file_saves_back_identical(S, tmp_path):
    rows = [bytes(noise(3 * 3, y)) for y in range(4)]
    original = pngtools.bmp(rows, xppm=-100, yppm=-1, clr_used=5, clr_important=2)
    img = S.open(original)
    assert img._bmp_header == {"xppm": -100, "yppm": -1, "clrUsed": 5, "clrImportant": 2}
    img.save(str(tmp_path / "back.bmp"))
    assert (tmp_path / "back.bmp").read_bytes() == original


def packing(width, height, xppm=2835, yppm=2835, used=0, important=0):
    """The host's struct.error for the first header field that does not fit, in the order the file holds them."""
    size = 54 + (width * 3 + 3) // 4 * 4 * height
    return host_error(lambda: (struct.pack("<IHHI", size, 0, 0, 54), struct.pack(
        "<IIIHHIIIIII", 40, width, height, 1, 24, 0, size - 54, xppm & 0xFFFFFFFF, yppm & 0xFFFFFFFF,
        used, important)))[1]


class NoGet:
    pass


def refusals():
    """(name, (width, height, pixels, meta), expected exception, expected message or None)."""
    def failing_get(key, default):
        raise LookupError("from get")

    class RaisingMeta:
        get = staticmethod(failing_get)

    return [
        ("negative width and height", (-1, -1, b"abc", None), struct.error, packing(-1, -1)),
        ("negative height", (2, -1, b"", None), struct.error, packing(2, -1)),
        ("negative width", (-2, 5, b"", None), struct.error, packing(-2, 5)),
        ("negative file size", (1, -20, b"", None), struct.error, packing(1, -20)),
        ("clrUsed negative", (1, 1, b"abc", {"clrUsed": -1}), struct.error, packing(1, 1, used=-1)),
        ("clrUsed 2**32", (1, 1, b"abc", {"clrUsed": 2 ** 32}), struct.error, packing(1, 1, used=2 ** 32)),
        ("clrImportant 2**32", (1, 1, b"abc", {"clrImportant": 2 ** 32}), struct.error,
         packing(1, 1, important=2 ** 32)),
        ("xppm 2**32", (1, 1, b"abc", {"xppm": 2 ** 32}), struct.error, None),
        ("yppm below -2**31", (1, 1, b"abc", {"yppm": -2 ** 31 - 1}), struct.error, None),
        ("pixels short", (2, 2, bytearray(11), None), IndexError, None),
        ("pixels empty", (2, 2, b"", None), IndexError, None),
        ("last pixel short", (1, 1, b"ab", {"xppm": 1}), IndexError, None),
        ("pixels None", (1, 1, None, None), TypeError, None),
        ("pixel value 256", (1, 1, [0, 0, 256], None)) + host_error(lambda: bytearray([0, 0, 256])),
        ("meta a list", (1, 1, b"abc", []), AttributeError, None),
        ("meta without get", (1, 1, b"abc", NoGet()), AttributeError, None),
        ("meta value not a number", (1, 1, b"abc", {"yppm": "abc"})) + host_error(lambda: int("abc")),
        ("meta value None", (1, 1, b"abc", {"clrUsed": None})) + host_error(lambda: int(None)),
        ("get raises", (1, 1, b"abc", RaisingMeta()), LookupError, "from get"),
        ("width not a number", ("1", 1, b"abc", None), TypeError, "an integer is required"),
        ("height 2**31", (1, 2 ** 31, b"abc", None), OverflowError, "value too large to convert to int"),
        ("row stride overflows", (715827882, 0, b"", None), OverflowError, TOO_LARGE),
        ("pixel array overflows", (1, 600000000, Huge(1800000000), None), OverflowError, TOO_LARGE),
        ("area overflows", (65536, 65536, b"", None), OverflowError, TOO_LARGE),
        ("negative row stride overflows", (-715827884, 0, b"", None), OverflowError, TOO_LARGE),
        # two faults at once: the earlier check reports
        ("sizes before meta", (715827882, 0, b"", []), OverflowError, TOO_LARGE),
        ("meta before pixels", (1, 1, None, []), AttributeError, None),
        ("header before pixel length", (2, 2, b"", {"clrUsed": -1}), struct.error, packing(2, 2, used=-1)),
        ("height before pixel length", (3, -2, b"", None), struct.error, packing(3, -2)),
    ]


REFUSALS = refusals()


@pytest.mark.parametrize("name, args, exc, message", REFUSALS, ids=[r[0] for r in REFUSALS])
@pytest.mark.parametrize("existing", [False, True], ids=["new", "existing"])
def test_refused_calls_touch_no_file(m, tmp_path, name, args, exc, message, existing):
    path = tmp_path / "target.bmp"
    refuse_without_touching(path, OLD if existing else None, lambda: m._writeBmp(str(path), *args), exc, message)


@pytest.mark.parametrize("change, outcome", [
    (lambda pixels: pixels.clear(), IndexError),
    (lambda pixels: pixels.__setitem__(slice(None), b"\7" * 6), bmp_file(1, 2, b"\7" * 6, clrImportant=5)),
])
def test_meta_that_changes_the_pixels_is_read_first(m, tmp_path, change, outcome):
    pixels = bytearray(6)

    class Meta:
        def get(self, key, default):
            return change(pixels) or 5 if key == "clrImportant" else default
    path = tmp_path / "meta.bmp"
    if outcome is IndexError:
        path.write_bytes(OLD)
        with pytest.raises(IndexError):
            m._writeBmp(str(path), 1, 2, pixels, Meta())
        assert path.read_bytes() == OLD
    else:
        assert write(m, path, 1, 2, pixels, Meta()) == outcome


def test_widest_rows_that_fit(m, tmp_path):
    # 715827881 * 3 + 3 still fits in 32 bits; one pixel more is refused above
    data = write(m, tmp_path / "wide.bmp", 715827881, 0, b"")
    assert struct.unpack("<IIII", data[14:30])[:3] == (40, 715827881, 0) and len(data) == 54


def test_io_errors_come_from_open_and_only_after_the_checks(m, tmp_path):
    with pytest.raises(IsADirectoryError):
        m._writeBmp(str(tmp_path), 1, 1, b"abc")
    with pytest.raises(IndexError):
        m._writeBmp(str(tmp_path), 1, 1, b"ab")
