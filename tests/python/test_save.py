"""save and saveBmp: which writer runs (by what the image carries, never by the file name) and with what."""
import copy
import inspect
import pathlib
import zlib

import pytest

from test_bmp_write import bmp_file
from test_png_write import PIXELS, SIG, chunk, filtered, ihdr_data, noise, plain_png

WRITERS = ("_writePngWithChunks", "_writeBmp", "_writePng")


@pytest.fixture
def calls(m, monkeypatch):
    """Every writer replaced by a recorder; each call noted as (writer, its arguments by parameter name)."""
    noted = []
    for name in WRITERS:
        signature = inspect.signature(getattr(m, name))

        def recorder(*args, _name=name, _signature=signature, **kw):
            noted.append((_name, dict(_signature.bind(*args, **kw).arguments)))
            return "a value that is dropped"
        monkeypatch.setattr(m, name, recorder)
    return noted


def image(S, chunks=None, bmp=None, alpha=False, filters=False):
    return S(3, 2, noise(18), noise(6) if alpha else None, chunks, bmp, bytearray([1, 2]) if filters else None)


@pytest.mark.parametrize("chunks, bmp, writer", [
    ([(b"IHDR", b"", 13)], {"xppm": 1}, "_writePngWithChunks"),
    ([], {"xppm": 1}, "_writePngWithChunks"),      # empty, but not None
    (None, {}, "_writeBmp"),                       # empty, but not None
    (None, {"xppm": 1}, "_writeBmp"),
    (None, None, "_writePng"),
])
@pytest.mark.parametrize("name", ["out.png", "out.bmp", "out"])
def test_save_chooses_by_what_the_image_carries(S, calls, chunks, bmp, writer, name):
    img = image(S, chunks, bmp, alpha=True, filters=True)
    assert img.save(name) is None
    [(called, args)] = calls
    assert called == writer and args.pop("path") == name
    assert (args.pop("width"), args.pop("height")) == (3, 2)
    fields = {"pixels": img._pixels, "alpha": img._alpha, "chunks": img._png_chunks,
              "filter_types": img._png_filters, "meta": img._bmp_header}
    assert args.keys() <= fields.keys() and all(args[k] is fields[k] for k in args)
    assert set(args) == {"_writePngWithChunks": {"pixels", "alpha", "chunks", "filter_types"},
                         "_writeBmp": {"pixels", "meta"},
                         "_writePng": {"pixels", "alpha", "filter_types"}}[writer]


@pytest.mark.parametrize("chunks, bmp", [([(b"IHDR", b"", 13)], {"xppm": 1}), (None, None), ([], None)])
def test_save_bmp_always_writes_bmp(S, calls, chunks, bmp):
    img = image(S, chunks, bmp, alpha=True, filters=True)
    assert img.saveBmp(path="x.png") is None
    [(called, args)] = calls
    assert called == "_writeBmp" and args == {"path": "x.png", "width": 3, "height": 2, "pixels": img._pixels,
                                              "meta": img._bmp_header}
    assert args["pixels"] is img._pixels and args["meta"] is img._bmp_header


def test_writers_are_looked_up_at_each_call(m, S, tmp_path, monkeypatch):
    img = image(S)
    path = str(tmp_path / "x.png")
    seen = []
    monkeypatch.setattr(m, "_writePng", lambda *a: seen.append("first"))
    img.save(path)
    monkeypatch.setattr(m, "_writePng", lambda *a: seen.append("second"))
    img.save(path)
    assert seen == ["first", "second"] and not (tmp_path / "x.png").exists()
    monkeypatch.undo()
    img.save(path)
    assert (tmp_path / "x.png").read_bytes() == plain_png(3, 2, img._pixels)


@pytest.mark.parametrize("method", ["save", "saveBmp"])
def test_writer_errors_pass_unchanged(m, S, monkeypatch, method):
    error = LookupError("from the writer")

    def fail(*args):
        raise error
    for name in WRITERS:
        monkeypatch.setattr(m, name, fail)
    with pytest.raises(LookupError) as e:
        getattr(image(S), method)("x.png")
    assert e.value is error


class Str(str):
    pass


@pytest.mark.parametrize("method", ["save", "saveBmp"])
@pytest.mark.parametrize("path, type_name", [
    (pathlib.Path("x.png"), type(pathlib.Path("x.png")).__name__), (None, "NoneType"), (b"x.png", "bytes"),
    (Str("x.png"), "Str"),
])
def test_path_must_be_exactly_str(S, calls, tmp_path, monkeypatch, method, path, type_name):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError) as e:
        getattr(image(S), method)(path)
    base = "Argument 'path' has incorrect type (expected str, got %s)" % type_name
    assert str(e.value) == base if type(path) is not Str else str(e.value).startswith(base)
    assert calls == [] and list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("method", ["save", "saveBmp"])
def test_argument_count(S, calls, method):
    img = image(S)
    for args, kw, message in [((), {}, "%s() takes exactly 1 positional argument (0 given)"),
                              (("a", "b"), {}, "%s() takes exactly 1 positional argument (2 given)"),
                              (("a",), {"format": "png"}, "%s() got an unexpected keyword argument 'format'")]:
        with pytest.raises(TypeError) as e:
            getattr(img, method)(*args, **kw)
        assert str(e.value) == message % method
    assert calls == []


def opened_png(S, alpha=False):
    pixels, types = noise(4 * 3 * 3, 5), bytearray([4, 0, 3])
    alpha = noise(4 * 3, 6) if alpha else None
    text = chunk(b"tEXt", b"Title\0kept")
    stream = filtered(4, 3, pixels, alpha, types)
    data = SIG + chunk(b"IHDR", ihdr_data(4, 3, alpha)) + text + chunk(b"IDAT", zlib.compress(stream)) + chunk(b"IEND")
    return S.open(data), data


@pytest.mark.parametrize("alpha", [False, True])
def test_opened_png_is_png_whatever_the_name_and_bmp_with_save_bmp(S, tmp_path, alpha):
    img, data = opened_png(S, alpha)
    img.save(str(tmp_path / "out.bmp"))
    assert (tmp_path / "out.bmp").read_bytes() == data
    img.saveBmp(str(tmp_path / "out.png"))
    assert (tmp_path / "out.png").read_bytes() == bmp_file(4, 3, img._pixels)


def test_opened_bmp_is_bmp_whatever_the_name(S, tmp_path):
    pixels = noise(3 * 2 * 3, 8)
    original = bmp_file(3, 2, pixels, 100, 200, 3, 1)
    img = S.open(original)
    img.save(str(tmp_path / "out.png"))
    assert (tmp_path / "out.png").read_bytes() == original


def test_in_memory_images(S, tmp_path):
    img = image(S, alpha=True, filters=True)
    img.save(str(tmp_path / "a.bmp"))
    assert (tmp_path / "a.bmp").read_bytes() == plain_png(3, 2, img._pixels, img._alpha, img._png_filters)
    # an empty chunk list still picks the chunk writer, which writes the plain file, BMP values or not
    img = image(S, [], {"xppm": 1}, filters=True)
    img.save(str(tmp_path / "b.bmp"))
    assert (tmp_path / "b.bmp").read_bytes() == plain_png(3, 2, img._pixels, None, img._png_filters)
    img = image(S, None, {"xppm": 1, "clrUsed": 2})
    img.saveBmp(str(tmp_path / "c.png"))
    assert (tmp_path / "c.png").read_bytes() == bmp_file(3, 2, img._pixels, 1, 2835, 2)


def snapshot(img):
    return copy.deepcopy((img.size, bytes(img._pixels), img._alpha, img._png_chunks, img._png_filters,
                          img._bmp_header))


@pytest.mark.parametrize("make", ["png", "png+alpha", "bmp", "memory"])
def test_saving_twice_gives_the_same_file_and_never_changes_the_image(S, tmp_path, make):
    if make.startswith("png"):
        img = opened_png(S, make.endswith("alpha"))[0]
    elif make == "bmp":
        img = S.open(bmp_file(3, 2, noise(18, 2), 1, 2, 3, 4))
    else:
        img = image(S, alpha=True, filters=True)
    before = snapshot(img)
    for method in ("save", "saveBmp"):
        getattr(img, method)(str(tmp_path / "one"))
        getattr(img, method)(str(tmp_path / "two"))
        assert (tmp_path / "one").read_bytes() == (tmp_path / "two").read_bytes()
        assert snapshot(img) == before


def test_fields_that_no_longer_match_are_the_writers_to_refuse(S, tmp_path):
    img = image(S, alpha=True)
    img.width = 4
    with pytest.raises(ValueError, match=PIXELS):
        img.save(str(tmp_path / "x.png"))
    with pytest.raises(IndexError):
        img.saveBmp(str(tmp_path / "x.bmp"))
    assert list(tmp_path.iterdir()) == []
