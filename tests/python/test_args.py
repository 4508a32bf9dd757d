"""Argument handling shared by every callable: arity, keywords, exact types, 32-bit integers."""
import pytest

from conftest import make


def msg(call):
    with pytest.raises(TypeError) as e:
        call()
    return str(e.value)


ARITY = [
    # the constructor reports itself as __cinit__
    (lambda S, im, m: S(), "__cinit__() takes at least 3 positional arguments (0 given)"),
    (lambda S, im, m: S(1, 2), "__cinit__() takes at least 3 positional arguments (2 given)"),
    (lambda S, im, m: S(*range(8)), "__cinit__() takes at most 7 positional arguments (8 given)"),
    (lambda S, im, m: S(width=1, pixels=b""), "__cinit__() takes at least 3 positional arguments (1 given)"),
    (lambda S, im, m: S(height=1, pixels=b""), "__cinit__() takes at least 3 positional arguments (0 given)"),
    (lambda S, im, m: S(1, 1, b"abc", bogus=1), "__cinit__() got an unexpected keyword argument 'bogus'"),
    (lambda S, im, m: S(1, 1, b"abc", width=1), "__cinit__() got multiple values for keyword argument 'width'"),
    # unexpected keywords are reported before missing parameters
    (lambda S, im, m: S(width=1, bogus=2), "__cinit__() got an unexpected keyword argument 'bogus'"),
    (lambda S, im, m: im.getPixel(), "getPixel() takes exactly 1 positional argument (0 given)"),
    (lambda S, im, m: im.getPixel((0, 0), (0, 0)), "getPixel() takes exactly 1 positional argument (2 given)"),
    (lambda S, im, m: im.putPixel((0, 0)), "putPixel() takes exactly 2 positional arguments (1 given)"),
    (lambda S, im, m: im.putPixel(value=(1, 2, 3)), "putPixel() takes exactly 2 positional arguments (0 given)"),
    (lambda S, im, m: im.putPixel((0, 0), coords=(0, 0)),
     "putPixel() got multiple values for keyword argument 'coords'"),
    (lambda S, im, m: im.copy(1), "copy() takes exactly 0 positional arguments (1 given)"),
    (lambda S, im, m: im.copy(deep=True), "copy() got an unexpected keyword argument 'deep'"),
    (lambda S, im, m: im.save(), "save() takes exactly 1 positional argument (0 given)"),
    (lambda S, im, m: im.__reduce__(1), "__reduce__() takes exactly 0 positional arguments (1 given)"),
    (lambda S, im, m: im.__setstate__(), "__setstate__() takes exactly 1 positional argument (0 given)"),
    (lambda S, im, m: S.open(), "open() takes exactly 1 positional argument (0 given)"),
    (lambda S, im, m: im.open(1, 2), "open() takes exactly 1 positional argument (2 given)"),
    (lambda S, im, m: S._streamToImage(), "_streamToImage() takes exactly 1 positional argument (0 given)"),
    (lambda S, im, m: m._readChunk(), "_readChunk() takes exactly 1 positional argument (0 given)"),
    (lambda S, im, m: m._makeChunk(b"IEND"), "_makeChunk() takes exactly 2 positional arguments (1 given)"),
    (lambda S, im, m: m._writePng(1, 2, 3), "_writePng() takes at least 4 positional arguments (3 given)"),
    (lambda S, im, m: m._writePng(*range(7)), "_writePng() takes at most 6 positional arguments (7 given)"),
    (lambda S, im, m: m._writePng(path=1, width=2, pixels=4),
     "_writePng() takes at least 4 positional arguments (2 given)"),
    (lambda S, im, m: m._writePngWithChunks(*range(5)),
     "_writePngWithChunks() takes at least 6 positional arguments (5 given)"),
    (lambda S, im, m: m._writeBmp(*range(6)), "_writeBmp() takes at most 5 positional arguments (6 given)"),
    (lambda S, im, m: m._split_idat_payload(b""), "_split_idat_payload() takes exactly 2 positional arguments (1 given)"),
    (lambda S, im, m: m._split_idat_payload(b"", [], x=1),
     "_split_idat_payload() got an unexpected keyword argument 'x'"),
    (lambda S, im, m: m._readChunk(**{"stream": 1, "other": 2}),
     "_readChunk() got an unexpected keyword argument 'other'"),
]


@pytest.mark.parametrize("call, expected", ARITY)
def test_arity_and_keywords(S, m, call, expected):
    im = make()
    assert msg(lambda: call(S, im, m)) == expected


def test_keywords_fill_parameters(S):
    im = S(pixels=b"abcdef", height=1, width=2, png_filters=b"\x04", alpha=b"xy")
    assert (im.size, bytes(im._pixels), bytes(im._alpha), bytes(im._png_filters)) == \
        ((2, 1), b"abcdef", b"xy", b"\x04")
    assert im.getPixel(coords=(1, 0)) == tuple(b"def")
    im.putPixel(value=[1, 2, 3], coords=(0, 0))
    assert im.getPixel((0, 0)) == (1, 2, 3)
    # An empty ** mapping is no keywords at all.
    assert im.getPixel((0, 0), **{}) == (1, 2, 3)


class MyTuple(tuple):
    pass


class MyBytes(bytes):
    pass


class MyStr(str):
    pass


WRONG_TYPE = [
    (lambda im, m: im.getPixel([0, 0]), "Argument 'coords' has incorrect type (expected tuple, got list)"),
    (lambda im, m: im.getPixel(None), "Argument 'coords' has incorrect type (expected tuple, got NoneType)"),
    (lambda im, m: im.putPixel([0, 0], (1, 2, 3)), "Argument 'coords' has incorrect type (expected tuple, got list)"),
    (lambda im, m: m._makeChunk(bytearray(b"IEND"), b""),
     "Argument 'chunkType' has incorrect type (expected bytes, got bytearray)"),
    (lambda im, m: m._makeChunk(b"IEND", bytearray()), "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
    (lambda im, m: m._makeChunk(b"IEND", memoryview(b"")),
     "Argument 'data' has incorrect type (expected bytes, got memoryview)"),
    (lambda im, m: m._makeChunk(None, b""), "Argument 'chunkType' has incorrect type (expected bytes, got NoneType)"),
    (lambda im, m: im.save(__import__("pathlib").Path("x.png")),
     "Argument 'path' has incorrect type (expected str, got {})".format(
         type(__import__("pathlib").Path("x")).__name__)),
    (lambda im, m: im.saveBmp(b"x.bmp"), "Argument 'path' has incorrect type (expected str, got bytes)"),
    (lambda im, m: m._split_idat_payload(bytearray(), []),
     "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
    (lambda im, m: m._split_idat_payload(b"", ()), "Argument 'lengths' has incorrect type (expected list, got tuple)"),
]


@pytest.mark.parametrize("call, expected", WRONG_TYPE)
def test_exact_type_checks(m, call, expected):
    assert msg(lambda: call(make(), m)) == expected


@pytest.mark.parametrize("call, base", [
    (lambda im, m: im.getPixel(MyTuple((0, 0))), "Argument 'coords' has incorrect type (expected tuple, got MyTuple)"),
    (lambda im, m: m._makeChunk(MyBytes(b"IEND"), b""),
     "Argument 'chunkType' has incorrect type (expected bytes, got MyBytes)"),
    (lambda im, m: im.save(MyStr("x.png")), "Argument 'path' has incorrect type (expected str, got MyStr)"),
])
def test_subclasses_of_exact_types_are_refused(m, call, base):
    text = msg(lambda: call(make(), m))
    assert text.startswith(base + ".") and "ubclass" in text


def test_none_passes_the_type_check_of_split(m):
    # None gets past the entry check of both parameters; what happens next is the body's business.
    with pytest.raises(Exception) as e:
        m._split_idat_payload(None, None)
    assert "incorrect type" not in str(e.value)


class Int:
    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v


class Index:
    def __index__(self):
        return 5


class BadInt:
    def __int__(self):
        return "x"


@pytest.mark.parametrize("value, stored", [
    (2.9, 2), (-2.9, -2), (True, True), (Int(7), 7), (Index(), 5),
    (2**31 - 1, 2**31 - 1), (-2**31, -2**31),
])
def test_int32_conversion(value, stored):
    im = make()
    im.width = value
    assert im.width == stored and type(im.width) is int


@pytest.mark.parametrize("value, exc, text", [
    (2**31, OverflowError, "value too large to convert to int"),
    (-2**31 - 1, OverflowError, "value too large to convert to int"),
    (2**100, OverflowError, "value too large to convert to int"),
    (Int(2**40), OverflowError, "value too large to convert to int"),
    (1e300, OverflowError, None),
    ("3", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (b"3", TypeError, "an integer is required"),
    (BadInt(), TypeError, None),
])
def test_int32_refusals(S, value, exc, text):
    im = make()
    with pytest.raises(exc) as e:
        im.width = value
    if text:
        assert str(e.value) == text
    assert im.width == 2  # unchanged
    with pytest.raises(exc):
        S(value, 1, b"")


def test_dimension_conversion_order(S, m):
    # width is converted before height, and both before anything is looked at.
    with pytest.raises(OverflowError):
        S(2**31, "x", None)
    with pytest.raises(TypeError, match="an integer is required"):
        S(1, "x", None)
    with pytest.raises(TypeError, match="an integer is required"):
        m._writePng("unused", 1, "x", b"")
    with pytest.raises(OverflowError):
        m._writeBmp("unused", 2**31, 1, b"")


class _Outer:
    class Inner:
        pass


def _renamed():
    cls = type("Original", (), {})
    cls.__name__ = "Renamed"
    return cls()


def _image_subclass():
    from Corvane.simpleImage_ext import SimpleImage

    class Sub(SimpleImage):
        pass
    return Sub(1, 1, bytes(3))


def _host_type_name(obj):
    # abs() names a type it cannot apply to by the type's tp_name, as the
    # module's messages do.
    with pytest.raises(TypeError) as e:
        abs(obj)
    return str(e.value).split("abs(): ", 1)[1].strip("'")


@pytest.mark.skipif(__import__("platform").python_implementation() == "PyPy",
                    reason="PyPy's abs() words its message otherwise, from its own type names")
@pytest.mark.parametrize("make_obj", [
    lambda m: __import__("collections").OrderedDict(),  # a static type of a module: "module.name"
    lambda m: iter([]),  # a built-in one: its name alone
    lambda m: make(),  # the module's own type
    lambda m: m._makeChunk,  # the module's functions
    lambda m: _Outer.Inner(),  # a class statement's: its __name__, not its qualified name
    lambda m: _renamed(),
    lambda m: _image_subclass(),
], ids=["OrderedDict", "list_iterator", "SimpleImage", "function", "nested", "renamed", "subclass"])
def test_messages_name_a_type_as_the_host_does(m, make_obj):
    obj = make_obj(m)
    name = _host_type_name(obj)
    assert msg(lambda: make().getPixel(obj)) == (
        "Argument 'coords' has incorrect type (expected tuple, got %s)" % name)
