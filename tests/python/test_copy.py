"""copy(), and the refusal of pickling and the host's copy functions."""
import copy
import pickle

import pytest

from conftest import make

REFUSAL = "no default __reduce__ due to non-trivial __cinit__"


def full(S):
    return S(2, 2, bytes(range(12)), bytes(range(4)), [(b"IHDR", b"h", 13), (b"IDAT", None, 5)],
             {"xppm": 1, "yppm": 2, "clrUsed": 0, "clrImportant": 0}, b"\x00\x04")


def test_copy_is_independent_and_equal(S):
    src = full(S)
    dup = src.copy()
    assert type(dup) is S and dup is not src and dup != src
    assert dup.size == src.size
    for name in ("_pixels", "_alpha", "_png_filters", "_png_chunks", "_bmp_header"):
        a, b = getattr(src, name), getattr(dup, name)
        assert a == b and a is not b and type(a) is type(b)
    assert all(x is y for x, y in zip(src._png_chunks, dup._png_chunks))
    dup.putPixel((0, 0), (255, 255, 255))
    assert src.getPixel((0, 0)) == (0, 1, 2)
    src.putPixel((1, 1), (1, 1, 1))
    assert dup.getPixel((1, 1)) == (9, 10, 11)
    dup._alpha[0] = 99
    dup._png_chunks.append(None)
    dup._bmp_header["xppm"] = 7
    assert src._alpha[0] == 0 and len(src._png_chunks) == 2 and src._bmp_header["xppm"] == 1


def test_copy_of_a_plain_image_keeps_none(S):
    dup = make().copy()
    assert (dup._alpha, dup._png_chunks, dup._png_filters, dup._bmp_header) == (None,) * 4


def test_copy_of_subclass_is_plain(S):
    class Sub(S):
        pass

    dup = Sub(1, 1, b"abc").copy()
    assert type(dup) is S and dup._pixels == b"abc"


def test_copy_takes_slices_of_non_standard_fields(S):
    im = make()
    im._alpha = [1, 2, 3, 4]
    im._png_chunks = ((b"IEND", b"", 0),)
    im._png_filters = b"ab"
    im._bmp_header = [("xppm", 3)]
    dup = im.copy()
    assert dup._alpha == b"\x01\x02\x03\x04" and type(dup._alpha) is bytearray
    assert dup._png_chunks == [(b"IEND", b"", 0)] and type(dup._png_chunks) is list
    assert dup._png_filters == b"ab" and type(dup._png_filters) is bytearray
    assert dup._bmp_header == {"xppm": 3}
    # a str slices and has the right length, but bytearray() refuses it
    im._png_filters = "ab"
    with pytest.raises(TypeError, match="encoding"):
        im.copy()


@pytest.mark.parametrize("field, value, exc, text", [
    ("width", 3, ValueError, "Pixel data length does not match image dimensions"),
    ("height", 1, ValueError, "Pixel data length does not match image dimensions"),
    ("_alpha", bytearray(3), ValueError, "Alpha channel length does not match image dimensions"),
    ("_png_filters", b"\x00", ValueError, "PNG filter count does not match image height"),
    ("_pixels", None, TypeError, "'NoneType' object is not subscriptable"),
    ("_alpha", 5, TypeError, "'int' object is unsliceable"),
    ("_png_chunks", object(), TypeError, "'object' object is unsliceable"),
    ("_png_filters", 2.5, TypeError, "'float' object is unsliceable"),
    ("_bmp_header", 5, TypeError, None),
    ("_bmp_header", [1, 2], TypeError, None),
])
def test_copy_refuses_inconsistent_sources(field, value, exc, text):
    im = make()
    setattr(im, field, value)
    with pytest.raises(exc) as e:
        im.copy()
    if text:
        assert str(e.value) == text
    assert getattr(im, field) is value or getattr(im, field) == value  # source untouched


def test_copy_errors_follow_the_order_of_the_fields():
    im = make()
    im._pixels = None
    im._alpha = 5
    with pytest.raises(TypeError, match="'int' object is unsliceable"):
        im.copy()


def test_copy_survives_a_slice_that_changes_the_source(S):
    im = make()

    class Sly:
        def __getitem__(self, key):
            im._pixels = bytearray(3)
            im.width = im.height = 1
            return b"\x05"

    im._alpha = Sly()
    dup = im.copy()
    assert dup.size == (1, 1) and dup._pixels == bytearray(3) and dup._alpha == b"\x05"


@pytest.mark.parametrize("action", [
    lambda im: im.__reduce__(),
    lambda im: im.__setstate__({}),
    lambda im: pickle.dumps(im),
    lambda im: pickle.dumps(im, protocol=0),
    lambda im: copy.copy(im),
    lambda im: copy.deepcopy(im),
    lambda im: im.__reduce_ex__(2),
])
def test_pickling_and_host_copies_are_refused(action):
    with pytest.raises(TypeError) as e:
        action(make())
    assert str(e.value) == REFUSAL
