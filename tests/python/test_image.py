"""The SimpleImage record: construction, properties, ownership, collection, subclassing."""
import gc
import weakref

import pytest

from conftest import PYPY, TP_NAME, make

PIXELS = "Pixel data length does not match image dimensions"
ALPHA = "Alpha channel length does not match image dimensions"
FILTERS = "PNG filter count does not match image height"


@pytest.mark.parametrize("w, h, n", [(2, 2, 12), (0, 0, 0), (-1, -1, 3), (5, 0, 0), (1, 3, 9)])
def test_lengths_that_fit(S, w, h, n):
    im = S(w, h, bytes(n))
    assert im.size == (w, h) and (im.width, im.height) == (w, h)
    assert type(im._pixels) is bytearray and len(im._pixels) == n
    assert (im._alpha, im._png_chunks, im._png_filters, im._bmp_header) == (None,) * 4


@pytest.mark.parametrize("w, h, n", [(2, 2, 11), (2, 2, 13), (-1, 1, 3), (1, -1, 0)])
def test_pixel_length_mismatch(S, w, h, n):
    with pytest.raises(ValueError) as e:
        S(w, h, bytes(n))
    assert str(e.value) == PIXELS


@pytest.mark.parametrize("kw, message", [
    ({"alpha": bytes(3)}, ALPHA),
    ({"alpha": b""}, ALPHA),  # an empty alpha is a plane of length 0, not an absent one
    ({"png_filters": bytes(3)}, FILTERS),
    ({"png_filters": []}, FILTERS),
    # pixels are checked first, alpha before filters
    ({"alpha": bytes(3), "png_filters": bytes(3)}, ALPHA),
])
def test_alpha_and_filter_length_mismatch(S, kw, message):
    with pytest.raises(ValueError) as e:
        S(2, 2, bytes(12), **kw)
    assert str(e.value) == message
    with pytest.raises(ValueError) as e:
        S(2, 2, bytes(11), **kw)
    assert str(e.value) == PIXELS


@pytest.mark.parametrize("pixels", [bytes(range(12)), bytearray(range(12)), list(range(12)), range(12),
                                    memoryview(bytes(range(12)))])
def test_pixels_from_any_bytes_source(S, pixels):
    im = S(2, 2, pixels)
    assert im._pixels == bytearray(range(12)) and type(im._pixels) is bytearray


@pytest.mark.parametrize("pixels, exc", [
    (None, TypeError),                # no len()
    (12, TypeError),                  # no len()
    ([0] * 11 + [256], ValueError),   # bytearray() refuses the value
    ("abcdefghijkl", TypeError),      # bytearray() wants an encoding
    ([0] * 11 + ["x"], TypeError),
])
def test_pixel_conversion_errors_propagate(S, pixels, exc):
    with pytest.raises(exc) as e:
        S(2, 2, pixels)
    assert str(e.value) != PIXELS


def test_constructor_copies_every_container(S):
    pixels, alpha, filters = bytearray(12), bytearray(4), bytearray(2)
    chunks, header = [(b"IHDR", b"x", 1)], {"xppm": 1}
    im = S(2, 2, pixels, alpha, chunks, header, filters)
    for given, stored in [(pixels, im._pixels), (alpha, im._alpha), (filters, im._png_filters),
                          (chunks, im._png_chunks), (header, im._bmp_header)]:
        assert stored == given and stored is not given
    pixels[0] = alpha[0] = filters[0] = 9
    chunks.append(None)
    header["yppm"] = 2
    assert im._pixels[0] == im._alpha[0] == im._png_filters[0] == 0
    assert im._png_chunks == [(b"IHDR", b"x", 1)] and im._bmp_header == {"xppm": 1}
    # the chunk tuples themselves are shared, not copied
    assert im._png_chunks[0] is chunks[0]


def test_containers_are_normalised(S):
    im = S(2, 1, bytes(6), alpha=[1, 2], png_chunks=((b"IEND", b"", 0),), bmp_header=[("xppm", 5)],
           png_filters=(4,))
    assert type(im._alpha) is bytearray and im._alpha == b"\x01\x02"
    assert im._png_chunks == [(b"IEND", b"", 0)] and type(im._png_chunks) is list
    assert im._bmp_header == {"xppm": 5} and type(im._bmp_header) is dict
    assert type(im._png_filters) is bytearray and im._png_filters == b"\x04"
    # filter values are not range-checked
    assert S(1, 1, bytes(3), png_filters=[200])._png_filters == b"\xc8"


@pytest.mark.parametrize("w, h", [(715827883, 1), (46341, 46341), (-2**31, 1), (65536, 65536), (2**31 - 1, 2)])
def test_oversized_dimensions_are_refused_before_anything_else(S, w, h):
    class NoLen:
        def __len__(self):
            raise AssertionError("len() must not be reached")

    with pytest.raises(OverflowError) as e:
        S(w, h, NoLen())
    assert str(e.value) == "image dimensions too large"


def test_lying_length_cannot_break_the_invariant(S):
    class Liar:
        def __len__(self):
            return 12

        def __iter__(self):
            return iter([1, 2, 3])

    with pytest.raises(ValueError) as e:
        S(2, 2, Liar())
    assert str(e.value) == PIXELS
    with pytest.raises(ValueError) as e:
        S(2, 2, bytes(12), alpha=Liar())
    assert str(e.value) == ALPHA


def test_getters_hand_out_the_live_objects(S):
    im = make()
    assert im._pixels is im._pixels
    im._pixels[9:12] = b"\x07\x08\x09"
    assert im.getPixel((1, 1)) == (7, 8, 9)
    assert im.size == (2, 2) and im.size is not im.size


def test_setters_store_the_given_object(S):
    im = make()
    for name, value in [("_alpha", "any text"), ("_png_chunks", 3), ("_png_filters", object()),
                        ("_bmp_header", [1])]:
        setattr(im, name, value)
        assert getattr(im, name) is value
        delattr(im, name)
        assert getattr(im, name) is None
    buf = bytearray(3)
    im._pixels = buf
    assert im._pixels is buf
    im._pixels = None
    assert im._pixels is None
    im._pixels = buf
    del im._pixels
    assert im._pixels is None


class MyBytearray(bytearray):
    pass


@pytest.mark.parametrize("value, name", [(b"abc", "bytes"), (MyBytearray(b"abc"), "MyBytearray"), ([1], "list"),
                                         ("abc", "str")])
def test_pixels_setter_wants_exactly_bytearray(value, name):
    im = make()
    before = im._pixels
    with pytest.raises(TypeError) as e:
        im._pixels = value
    assert str(e.value) == "Expected bytearray, got " + name
    assert im._pixels is before


def test_dimensions_store_without_checks():
    im = make()
    im.width = 3
    im.height = -7
    assert im.size == (3, -7) and len(im._pixels) == 12
    for name in ("width", "height"):
        with pytest.raises(NotImplementedError) as e:
            delattr(im, name)
        assert str(e.value) == "__del__"


def test_size_is_read_only():
    im = make()
    with pytest.raises(AttributeError):
        im.size = (1, 1)
    with pytest.raises(AttributeError):
        del im.size
    assert im.size == (2, 2)


def test_no_instance_dict_and_no_weakrefs(S):
    im = make()
    with pytest.raises(AttributeError):
        im.anything = 1
    with pytest.raises(AttributeError):
        im.getPixel = None
    assert not hasattr(im, "__dict__") or PYPY
    if not PYPY:  # every PyPy object can be weakly referenced
        with pytest.raises(TypeError):
            weakref.ref(im)


def test_identity_semantics(S):
    a, b = make(), make()
    assert a != b and a == a
    assert hash(a) != hash(b) or a is not b
    assert repr(a).startswith("<Corvane.simpleImage_ext.SimpleImage object at ")
    with pytest.raises(TypeError):
        a < b


def test_subclass_gets_a_dict_and_runs_the_constructor(S):
    class Sub(S):
        def __init__(self, *args, **kw):
            self.label = "y"

    s = Sub(1, 1, b"abc")
    assert s.label == "y" and s.__dict__ == {"label": "y"} and isinstance(s, S)
    assert s.getPixel((0, 0)) == (97, 98, 99)
    weakref.ref(s)
    with pytest.raises(ValueError):
        Sub(1, 1, b"ab")
    with pytest.raises(TypeError) as e:
        Sub()
    assert str(e.value) == "__cinit__() takes at least 3 positional arguments (0 given)"


@pytest.mark.skipif(PYPY, reason="cpyext does not collect cycles that pass through references held in C")
def test_cycles_through_format_memory_are_collected(S):
    class Node:
        pass

    im = make()
    node = Node()
    node.image = im
    im._bmp_header = {"back": node}
    im._png_chunks = [node]
    ref = weakref.ref(node)
    del im, node
    for _ in range(3):
        gc.collect()
    assert ref() is None


def test_gc_sees_the_four_format_fields(S):
    if PYPY:
        pytest.skip("gc.get_referents does not report cpyext objects' references")
    a, c, f, h = bytearray(4), [1], bytearray(2), {"k": 1}
    im = S(2, 2, bytes(12), a, c, h, f)
    refs = gc.get_referents(im)
    for stored in (im._alpha, im._png_chunks, im._png_filters, im._bmp_header):
        assert any(r is stored for r in refs)
    assert not any(r is im._pixels for r in refs)


def test_type_name_in_messages():
    im = make()
    with pytest.raises(AttributeError) as e:
        im.nope = 1
    assert TP_NAME in str(e.value)
