"""Round trips: files from outside (the shared corpus, Pillow) opened, saved and opened again keep their shape.

The corpus lives beside the clone (../shared/corpus, described by its README.md and expected.json);
without it those tests are skipped.
"""
import hashlib
import io
import json
import pathlib
import struct
import zlib

import pytest

import pngtools
from test_bmp_write import bmp_file
from test_png_write import SIG, chunk, chunks_of, filtered, noise
from test_split import reference_split

CORPUS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus"
EXPECTED = json.loads((CORPUS / "expected.json").read_text()) if (CORPUS / "expected.json").is_file() else {}


def decodable(suffix):
    names = sorted(n for n, v in EXPECTED.items() if v["outcome"] == "decodes" and n.endswith(suffix))
    return names or [pytest.param(None, marks=pytest.mark.skip(reason="no test corpus at %s" % CORPUS))]


def rewritten(img):
    """The file the chunk writer must make of an opened PNG: kept chunks, new IDATs where the first one was."""
    raw = filtered(img.width, img.height, img._pixels, img._alpha, img._png_filters)
    data = zlib.compress(raw)
    lengths = [n for t, _, n in img._png_chunks if t == b"IDAT"]
    parts = reference_split(data, lengths) or [data]
    out, placed = [SIG], False
    for ctype, body, _ in img._png_chunks:
        if ctype != b"IDAT":
            out.append(chunk(ctype, body or b""))
        elif not placed:
            out += [chunk(b"IDAT", p) for p in parts]
            placed = True
    return b"".join(out), data


def interleaved(img):
    if img._alpha is None:
        return bytes(img._pixels)
    return b"".join(bytes(img._pixels[3 * p:3 * p + 3]) + img._alpha[p:p + 1] for p in range(len(img._alpha)))


def check_png_round_trip(S, tmp_path, source):
    """Open, save, reopen, save again; returns the first image and the reopened one."""
    Image = pytest.importorskip("PIL.Image")
    img = S.open(source)
    first = tmp_path / "first.png"
    img.save(str(first))
    data = first.read_bytes()
    expected, compressed = rewritten(img)
    assert data == expected
    again = S.open(str(first))
    assert (again.size, again._pixels, again._alpha, again._png_filters) == (
        img.size, img._pixels, img._alpha, img._png_filters)
    assert [c for c in again._png_chunks if c[0] != b"IDAT"] == [c for c in img._png_chunks if c[0] != b"IDAT"]
    lengths = [n for t, _, n in img._png_chunks if t == b"IDAT"]
    if all(n > 0 for n in lengths) and len(compressed) > sum(lengths[:-1]):
        assert len([t for t, _, _ in again._png_chunks if t == b"IDAT"]) == len(lengths)
    with Image.open(io.BytesIO(data)) as im:
        assert (im.mode, im.size) == ("RGB" if img._alpha is None else "RGBA", img.size)
        assert im.tobytes() == interleaved(img)
    second = tmp_path / "second.png"
    again.save(str(second))
    assert second.read_bytes() == data  # a file this module wrote comes back byte for byte
    return img, again


@pytest.mark.parametrize("name", decodable(".png"))
def test_corpus_png(S, tmp_path, name):
    want = EXPECTED[name]
    original = (CORPUS / name).read_bytes()
    img, again = check_png_round_trip(S, tmp_path, original)
    assert hashlib.sha256(again._pixels).hexdigest() == want["sha256_rgb"]
    assert (None if again._alpha is None else hashlib.sha256(again._alpha).hexdigest()) == want["sha256_alpha"]
    # every chunk but IDAT is the very chunk of the file that was read
    kept = [(t, d) for t, d in pngtools.parse(original) if t != b"IDAT"]
    assert [(t, d) for t, d in chunks_of((tmp_path / "first.png").read_bytes()) if t != b"IDAT"] == kept


@pytest.mark.parametrize("name", decodable(".bmp"))
def test_corpus_bmp(S, tmp_path, name):
    original = (CORPUS / name).read_bytes()
    img = S.open(original)
    img.save(str(tmp_path / "out.bmp"))
    data = (tmp_path / "out.bmp").read_bytes()
    assert data == bmp_file(img.width, img.height, img._pixels, **img._bmp_header)
    again = S.open(data)
    assert (again.size, again._pixels, again._bmp_header) == (img.size, img._pixels, img._bmp_header)
    assert again._bmp_header == EXPECTED[name]["bmp_meta"]
    if same_shape(original):
        assert data == original


def same_shape(data):
    """Whether a BMP holds exactly what the writer writes: zero pads and reserved fields, offset 54, bottom-up,
    size fields as computed and nothing after the last row."""
    size, r1, r2, offset = struct.unpack("<IHHI", data[2:14])
    width, height = struct.unpack("<ii", data[18:26])
    image_size = struct.unpack("<I", data[34:38])[0]
    stride = (width * 3 + 3) // 4 * 4
    pads = [data[54 + y * stride + 3 * width:54 + (y + 1) * stride] for y in range(max(height, 0))]
    return (r1, r2, offset) == (0, 0, 54) and height > 0 and image_size == stride * height and \
        size == len(data) == 54 + stride * height and not any(any(p) for p in pads)


def test_corpus_has_a_bmp_that_comes_back_byte_for_byte():
    if not EXPECTED:
        pytest.skip("no test corpus at %s" % CORPUS)
    assert same_shape((CORPUS / "bmpsuite/g/rgb24.bmp").read_bytes())
    assert not same_shape((CORPUS / "bmpsuite/g/rgb24pal.bmp").read_bytes())


@pytest.mark.parametrize("rows_kw, identical", [
    (dict(), True),
    (dict(xppm=-3, yppm=2 ** 31 - 1, clr_used=9, clr_important=1), True),
    (dict(top_down=True), False),
    (dict(pad=0x55), False),
    (dict(gap=b"\0" * 16), False),
    (dict(tail=b"junk"), False),
])
def test_bmp_byte_for_byte_conditions(S, tmp_path, rows_kw, identical):
    rows = [bytes(noise(5 * 3, y)) for y in range(3)]
    original = pngtools.bmp(rows, **rows_kw)
    img = S.open(original)
    img.save(str(tmp_path / "b.bmp"))
    data = (tmp_path / "b.bmp").read_bytes()
    assert same_shape(original) is identical and (data == original) is identical
    assert data == bmp_file(5, 3, b"".join(rows), **img._bmp_header)


def pillow_png(mode, size, pattern):
    Image = pytest.importorskip("PIL.Image")
    PngInfo = pytest.importorskip("PIL.PngImagePlugin").PngInfo
    channels = len(mode)
    width, height = size
    if pattern == "noise":
        raw = bytes(noise(width * height * channels, width))
    else:  # smooth ramps, so that Pillow picks a mix of filter types
        raw = bytes((x * 5 + y * 3 * (c + 1)) % 256
                    for y in range(height) for x in range(width) for c in range(channels))
    info = PngInfo()
    info.add_text("Comment", "written by Pillow")
    info.add(b"gAMA", struct.pack(">I", 45455))
    info.add(b"prVt", b"\0private\xff")
    info.add(b"tEXt", b"Late\0after the image data", after_idat=True)
    out = io.BytesIO()
    Image.frombytes(mode, size, raw).save(out, "PNG", pnginfo=info, dpi=(300, 300))
    return out.getvalue(), raw


@pytest.mark.parametrize("mode", ["RGB", "RGBA"])
@pytest.mark.parametrize("size, pattern", [((40, 25), "noise"), ((64, 48), "ramp"), ((1, 1), "noise")])
@pytest.mark.parametrize("fractions", [(), (0.25, 0.25), (0.1, 0.1, 0.1, 0.1)])
def test_pillow_png_with_extra_chunks_and_several_idats(S, tmp_path, mode, size, pattern, fractions):
    made, raw = pillow_png(mode, size, pattern)
    joined = b"".join(d for t, d in pngtools.parse(made) if t == b"IDAT")
    lengths = [max(1, int(len(joined) * f)) for f in fractions]
    source = pngtools.resplit(made, lengths)
    img, again = check_png_round_trip(S, tmp_path, source)
    assert interleaved(again) == raw
    types = [t for t, _, _ in img._png_chunks]
    assert {b"tEXt", b"pHYs", b"gAMA", b"prVt"} <= set(types) and types.count(b"tEXt") == 2
    assert types.count(b"IDAT") == len(lengths) + 1 == [t for t, _, _ in again._png_chunks].count(b"IDAT")


@pytest.mark.parametrize("name", decodable(""))
def test_pixels_hand_over_to_pillow(S, name):
    Image = pytest.importorskip("PIL.Image")
    img = S.open(str(CORPUS / name))
    mine = Image.frombytes("RGB", img.size, bytes(img._pixels))
    with Image.open(CORPUS / name) as theirs:
        assert (mine.mode, mine.size, mine.tobytes()) == ("RGB", theirs.size, theirs.convert("RGB").tobytes())
