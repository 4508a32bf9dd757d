"""SimpleImage.open and _streamToImage: source kinds, sniffing, the printed line, subclasses, late binding."""
import io
import pathlib
import zlib
from types import SimpleNamespace

import pytest

import pngtools
from conftest import make
from pngtools import Recording

KIND = "source must be a file path or raw bytes"
FORMAT = "Unsupported image format"
ROWS = [bytes(range(0, 9)), bytes(range(100, 109))]
PNG = pngtools.image(3, 2, ROWS, filters=[1, 4], extra=[pngtools.chunk(b"tEXt", b"k\0v")])
RGBA = pngtools.image(2, 1, [bytes(range(8))], colour=6)
BMP = pngtools.bmp(ROWS, top_down=True, xppm=-3)


def state(img):
    return (type(img), img.size, bytes(img._pixels), img._alpha, img._png_chunks, img._png_filters, img._bmp_header)


@pytest.fixture
def files(tmp_path):
    (tmp_path / "a.png").write_bytes(PNG)
    (tmp_path / "a.bmp").write_bytes(BMP)
    return tmp_path


@pytest.fixture
def rebind(m):
    saved = {}

    def set_attribute(name, value):
        saved.setdefault(name, getattr(m, name))
        setattr(m, name, value)

    yield set_attribute
    for name, value in saved.items():
        setattr(m, name, value)


def sub(base):
    return type("My" + base.__name__, (base,), {})


class PathLike:
    def __init__(self, path):
        self.path = str(path)

    def __fspath__(self):
        return self.path


def test_an_image_is_returned_unchanged(S, capsys):
    class Sub(S):
        pass

    for img in (make(), Sub(1, 1, b"abc")):
        assert S.open(img) is img and Sub.open(source=img) is img
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("name", ["a.png", "a.bmp"])
def test_every_source_kind_gives_the_same_image(S, capsys, files, name):
    path = files / name
    data = path.read_bytes()
    sources = [str(path), path, sub(str)(path), sub(type(path))(path),
               data, bytearray(data), sub(bytes)(data), sub(bytearray)(data)]
    images = [S.open(source) for source in sources]
    assert all(state(img) == state(images[0]) for img in images)
    assert capsys.readouterr().out == "[SimpleImage] Opened image: 3x2, channels=3\n" * len(sources)


@pytest.mark.parametrize("make_source", [
    lambda p: memoryview(p.read_bytes()), lambda p: 5, lambda p: None, lambda p: [0x89, 0x50],
    lambda p: PathLike(p), lambda p: pathlib.PurePosixPath(p), lambda p: io.BytesIO(p.read_bytes()),
], ids=["memoryview", "int", "None", "list", "PathLike", "PurePath", "stream"])
def test_refused_sources(S, capsys, files, make_source):
    with pytest.raises(TypeError) as e:
        S.open(make_source(files / "a.png"))
    assert str(e.value) == KIND and capsys.readouterr().out == ""


def test_an_open_file_is_refused(S, files):
    with open(files / "a.png", "rb") as f:
        with pytest.raises(TypeError) as e:
            S.open(f)
        assert str(e.value) == KIND and f.tell() == 0


@pytest.mark.parametrize("source, exc", [("missing.png", FileNotFoundError), ("", IsADirectoryError)])
def test_paths_that_do_not_open(S, capsys, files, source, exc):
    with pytest.raises(exc):
        S.open(str(files / source))
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("data, message", [
    (b"", FORMAT), (b"B", FORMAT), (pngtools.SIGNATURE[:7], FORMAT), (pngtools.SIGNATURE[:7] + b"BM", FORMAT),
    (b"GIF89a" + bytes(50), FORMAT), (b"BA" + BMP[2:], FORMAT), (b"/tmp/a.png", FORMAT),  # bytes are contents
    (b"BM", "Unsupported BMP header"),
    (pngtools.SIGNATURE, "Incomplete PNG header information"),
    (pngtools.SIGNATURE + b"BM", "Unexpected EOF while reading chunk length"),
])
def test_sniffing(S, capsys, data, message):
    with pytest.raises(ValueError) as e:
        S.open(data)
    assert str(e.value) == message and capsys.readouterr().out == ""


def test_stream_to_image_reads_eight_then_starts_over(S):
    stream = Recording(PNG)
    result = S._streamToImage(stream)
    n = [len(d) for t, d in pngtools.parse(PNG)]
    assert stream.calls[:3] == [("read", 8), ("seek", 0), ("read", 8)]
    assert stream.reads()[2:] == [k for length in n for k in (4, 4, length, 4)]
    assert result[:4] == (3, 2, b"".join(ROWS), 3)
    # the signature is taken from where the stream stands
    stream = io.BytesIO(b"--" + PNG)
    stream.seek(2)
    with pytest.raises(ValueError) as e:
        make()._streamToImage(stream=stream)
    assert str(e.value) == "Unsupported PNG signature"


def test_subclasses_build_their_own_kind(S, capsys):
    class Sub(S):
        pass

    for img in (Sub.open(PNG), Sub(1, 1, b"abc").open(BMP), Sub.open(source=bytearray(RGBA))):
        assert type(img) is Sub
    assert type(make().open(PNG)) is S
    assert len(capsys.readouterr().out.splitlines()) == 4


def overriding(S, result=None, seen=None, action=None):
    class Sub(S):
        @staticmethod
        def _streamToImage(stream):
            if seen is not None:
                seen.append(stream)
            if action:
                action(stream)
            return result if result is not None else S._streamToImage(stream)

    return Sub


def test_override_gives_the_fields(S, capsys):
    meta, chunks = {"xppm": 1}, [(b"IEND", b"", 0)]
    Sub = overriding(S, result=[2, 1, bytearray(b"abcdef"), 7, bytearray(b"xy"), chunks, meta, bytearray(b"\4")])
    img = Sub.open(b"anything at all")
    assert type(img) is Sub
    assert state(img)[1:] == ((2, 1), b"abcdef", b"xy", chunks, b"\4", meta)
    assert img._bmp_header is not meta and img._png_chunks is not chunks
    assert capsys.readouterr().out == "[SimpleImage] Opened image: 2x1, channels=7\n"


def unpacking_error(items):
    try:
        a, b, c, d, e, f, g, h = items
    except ValueError as error:
        return str(error)  # the host's own message


@pytest.mark.parametrize("result, message", [
    ((1,) * 7, unpacking_error((1,) * 7)), ((1,) * 9, unpacking_error((1,) * 9)),
    ((2, 2, bytearray(3), 3, None, None, None, None), "Pixel data length does not match image dimensions"),
])
def test_override_result_errors(S, capsys, result, message):
    with pytest.raises(ValueError) as e:
        overriding(S, result=result).open(b"")
    assert str(e.value) == message and capsys.readouterr().out == ""


def test_the_file_is_closed_on_every_path(S, capsys, files):
    seen = []
    img = overriding(S, seen=seen).open(files / "a.png")
    assert isinstance(seen[0], io.BufferedReader) and seen[0].mode == "rb" and seen[0].closed
    assert bytes(img._pixels) == b"".join(ROWS)

    def boom(stream):
        assert not stream.closed
        raise KeyError("boom")

    with pytest.raises(KeyError):
        overriding(S, seen=seen, action=boom).open(str(files / "a.bmp"))
    assert seen[1].closed and seen[1].name == str(files / "a.bmp")


def test_bytes_are_wrapped_in_bytesio_and_copied(S, capsys):
    source, seen = bytearray(PNG), []
    img = overriding(S, seen=seen, action=lambda stream: source.__setitem__(slice(None), b"")).open(source)
    assert type(seen[0]) is io.BytesIO and bytes(img._pixels) == b"".join(ROWS)


# --- late binding: module attributes are looked up at each call ---

def fake_zlib(decompress=zlib.decompress, crc32=zlib.crc32):
    return SimpleNamespace(decompress=decompress, crc32=crc32)


def test_zlib_decompress_is_the_modules(S, m, rebind):
    calls = []
    rebind("zlib", fake_zlib(decompress=lambda *a, **k: calls.append((a, k)) or zlib.decompress(*a, **k)))
    split = pngtools.resplit(PNG, [3, 4])
    joined = b"".join(d for t, d in pngtools.parse(split) if t == b"IDAT")
    assert bytes(S.open(split)._pixels) == b"".join(ROWS)
    assert calls == [((joined,), {})]
    # whatever it returns is what gets unfiltered and measured
    rebind("zlib", fake_zlib(decompress=lambda data: b"\0abcdefghi\0jklmnopqr"))
    assert bytes(S.open(PNG)._pixels) == b"abcdefghijklmnopqr"
    rebind("zlib", fake_zlib(decompress=lambda data: b"\0" * 21))
    with pytest.raises(ValueError) as e:
        S.open(PNG)
    assert str(e.value) == "Malformed PNG image data"


@pytest.mark.parametrize("value", [-1, 0xFFFFFFFF, (1 << 40) - 1])
def test_crc_is_the_modules_crc32_masked(m, rebind, value):
    calls = []
    rebind("zlib", fake_zlib(crc32=lambda *args: calls.append(args) or value))
    assert m._makeChunk(b"tEXt", b"x") == b"\0\0\0\1tEXtx\xff\xff\xff\xff"
    assert calls == [(b"tEXt",), (b"x", value)]  # over the type, then on over the data
    assert m._readChunk(io.BytesIO(b"\0\0\0\1tEXtx\xff\xff\xff\xff")) == (b"tEXt", b"x")
    with pytest.raises(ValueError) as e:
        m._readChunk(io.BytesIO(pngtools.chunk(b"tEXt", b"x")))
    assert str(e.value) == "Corrupted PNG chunk detected"


class Boom(Exception):
    pass


def boom(*args):
    raise Boom()


@pytest.mark.parametrize("call", [
    lambda m: m._makeChunk(b"IEND", b""), lambda m: m._readChunk(io.BytesIO(PNG[8:])),
    lambda m: m.SimpleImage.open(BMP), lambda m: m.SimpleImage.open(PNG),
], ids=["make", "read", "bmp", "png"])
def test_struct_is_the_modules(m, rebind, call):
    rebind("struct", SimpleNamespace(pack=boom, unpack=boom))
    with pytest.raises(Boom):
        call(m)


def test_png_signature_is_the_modules(S, m, rebind, capsys):
    other = b"\x89PNX\r\n\x1a\n"
    rebind("PNG_SIGNATURE", other)
    with pytest.raises(ValueError) as e:
        S.open(PNG)
    assert str(e.value) == FORMAT
    assert bytes(S.open(other + PNG[8:])._pixels) == b"".join(ROWS)


def test_read_chunk_is_the_modules(S, m, rebind, capsys):
    seen, real = [], m._readChunk
    rebind("_readChunk", lambda stream: seen.append(stream.tell()) or real(stream))
    S.open(PNG)
    assert len(seen) == len(pngtools.parse(PNG)) and seen[0] == 8
    rebind("_readChunk", lambda stream: (b"IEND", b""))
    with pytest.raises(ValueError) as e:
        S.open(PNG)
    assert str(e.value) == "Incomplete PNG header information"


def test_bytesio_is_the_modules(S, m, rebind, capsys):
    made = []
    rebind("BytesIO", lambda source: made.append(source) or io.BytesIO(RGBA))
    assert S.open(b"ignored").size == (2, 1) and made == [b"ignored"]


def test_path_is_the_modules(S, m, rebind, capsys, files):
    rebind("Path", PathLike)
    assert S.open(PathLike(files / "a.png")).size == (3, 2)
    with pytest.raises(TypeError) as e:
        S.open(files / "a.png")
    assert str(e.value) == KIND
    assert S.open(str(files / "a.bmp")).size == (3, 2)
    # paths are recognised before raw bytes: with Path bound to bytes, bytes name a file
    rebind("Path", bytes)
    assert S.open(str(files / "a.bmp").encode()).size == (3, 2)


# --- caller code that runs in the middle of open ---

@pytest.mark.parametrize("data", [PNG, BMP], ids=["png", "bmp"])
def test_a_bytearray_changed_during_open_is_read_as_it_was(S, capsys, data):
    """Looking up _streamToImage on a class can run the caller's code; BytesIO
    already holds a copy of the bytearray by then, and that copy is what is read."""
    source = bytearray(data)

    class Meddling(type(S)):
        def __getattribute__(cls, name):
            if name == "_streamToImage":
                source[:] = b"\0" * len(source)
            return super().__getattribute__(name)

    img = Meddling("Meddled", (S,), {}).open(source)
    assert bytes(img._pixels) == b"".join(ROWS) and not any(source)


@pytest.mark.parametrize("where", ["bytes", "path"])
def test_read_chunk_rebound_by_the_signature_comparison_is_used(S, m, rebind, capsys, files, where):
    """Every name is looked up when it is used, even when caller code rebinds it mid-call."""
    seen, real = [], m._readChunk

    class Signature(bytes):  # sniffing needs bytes; a subclass's comparison runs first
        def __ne__(self, other):
            m._readChunk = lambda stream: seen.append(stream.tell()) or real(stream)
            return bytes(self) != other

    rebind("_readChunk", real)  # restored afterwards
    rebind("PNG_SIGNATURE", Signature(pngtools.SIGNATURE))
    img = S.open(PNG if where == "bytes" else str(files / "a.png"))
    assert bytes(img._pixels) == b"".join(ROWS)
    assert len(seen) == len(pngtools.parse(PNG)) and seen[0] == 8
