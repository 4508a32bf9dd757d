"""_writePngWithChunks: a kept chunk list written back around freshly compressed, freshly split image data."""
import io
import struct
import zlib

import pytest

from conftest import refuse_without_touching

from test_png_write import (ALPHA, FILTER_COUNT, OLD, PIXELS, SIG, TOO_LARGE, chunk, chunks_of, filtered,
                            ihdr_data, noise, plain_png, writable_refusal)

W, H = 5, 4
PIXELS_5x4 = noise(W * H * 3, 11)
ALPHA_5x4 = noise(W * H, 12)
TYPES = bytearray([0, 1, 3, 4])
IHDR = (b"IHDR", ihdr_data(W, H), 13)
IEND = (b"IEND", b"", 0)
TEXT = (b"tEXt", b"Comment\0kept as it was", 22)


def idat(length):
    return (b"IDAT", None, length)


def compressed(alpha=None):
    return zlib.compress(filtered(W, H, PIXELS_5x4, alpha, TYPES))


def write(m, path, chunks, alpha=None, **kw):
    assert m._writePngWithChunks(str(path), W, H, PIXELS_5x4, alpha, chunks, TYPES, **kw) is None
    return path.read_bytes()


@pytest.mark.parametrize("lengths, cuts", [
    ([10, 10], [10]),            # two pieces: the second holds the rest
    ([10, 10, 10], [10, 20]),
    ([10, 0, 10], [10]),
    ([0, 10], []),               # a skipped first length leaves one piece
    ([10], []),
    ([10000, 10], []),           # everything fits into the first recorded length
])
def test_idat_chunks_follow_the_recorded_lengths(m, S, tmp_path, lengths, cuts):
    data = write(m, tmp_path / "s.png", [IHDR] + [idat(n) for n in lengths] + [IEND])
    c = compressed()
    assert len(c) > 30  # long enough for every cut above
    bounds = [0] + cuts + [len(c)]
    parts = [c[a:b] for a, b in zip(bounds, bounds[1:])]
    assert data == SIG + chunk(b"IHDR", IHDR[1]) + b"".join(chunk(b"IDAT", p) for p in parts) + chunk(b"IEND")
    img = S.open(data)
    assert (img._pixels, list(img._png_filters)) == (PIXELS_5x4, list(TYPES))
    assert [n for t, _, n in img._png_chunks if t == b"IDAT"] == [len(p) for p in parts]


def test_other_chunks_keep_their_place_and_bytes(m, S, tmp_path):
    Image = pytest.importorskip("PIL.Image")
    phys = (b"pHYs", struct.pack(">IIB", 2835, 2835, 1), 9)
    late = (b"tEXt", b"Late\0after the first image data", 31)
    rgba = (b"IHDR", ihdr_data(W, H, ALPHA_5x4), 13)
    chunks = [rgba, phys, idat(10), TEXT, idat(10), late, idat(10), (b"prVt", b"\0\xff" * 40, 80), IEND]
    data = write(m, tmp_path / "o.png", chunks, ALPHA_5x4)
    c = compressed(ALPHA_5x4)
    # all new IDAT chunks stand where the first one stood; the recorded length of other chunks is not used
    assert chunks_of(data) == [rgba[:2], phys[:2], (b"IDAT", c[:10]), (b"IDAT", c[10:20]),
                               (b"IDAT", c[20:]), TEXT[:2], late[:2], (b"prVt", b"\0\xff" * 40), (b"IEND", b"")]
    img = S.open(data)
    assert (img._pixels, img._alpha) == (PIXELS_5x4, ALPHA_5x4)
    with Image.open(io.BytesIO(data)) as im:
        assert im.mode == "RGBA" and im.getchannel("A").tobytes() == ALPHA_5x4


def test_without_iend_entry_no_iend_is_written(m, S, tmp_path):
    data = write(m, tmp_path / "e.png", [IHDR, idat(8)])
    c = compressed()
    assert data == SIG + chunk(b"IHDR", IHDR[1]) + chunk(b"IDAT", c)
    assert S.open(data)._pixels == PIXELS_5x4


def test_entries_are_taken_as_given(m, tmp_path):
    chunks = (
        [b"IHDR", IHDR[1], 0],
        (b"prVt", None, 99),                 # None is written as empty data
        (b"zzZz", bytearray(b"bytes-like"), 1),
        (b"ab", b"odd type", 8),             # the type is written unchanged, whatever its length
        idat(-3),
        IEND,
    )
    data = write(m, tmp_path / "t.png", chunks)
    assert data == (SIG + chunk(b"IHDR", IHDR[1]) + bytes.fromhex("00000000") + b"prVt"
                    + struct.pack(">I", zlib.crc32(b"prVt")) + chunk(b"zzZz", b"bytes-like")
                    + chunk(b"ab", b"odd type") + chunk(b"IDAT", compressed()) + chunk(b"IEND"))


@pytest.mark.parametrize("chunks", [None, [], ()], ids=["None", "list", "tuple"])
@pytest.mark.parametrize("with_alpha", [False, True])
def test_no_chunk_list_writes_the_plain_file(m, tmp_path, chunks, with_alpha):
    alpha = ALPHA_5x4 if with_alpha else None
    assert write(m, tmp_path / "p.png", chunks, alpha) == plain_png(W, H, PIXELS_5x4, alpha, TYPES)


def test_no_chunk_list_hands_over_to_the_module_writer(m, tmp_path, monkeypatch):
    calls = []
    monkeypatch.setattr(m, "_writePng", lambda *a, **k: calls.append((a, k)) or "ignored")
    path = str(tmp_path / "h.png")
    assert m._writePngWithChunks(path, 5.9, True, b"abc" * 5, None, [], None) is None
    assert calls == [((path, 5, 1, b"abc" * 5, None, None), {})]
    assert type(calls[0][0][1]) is int and type(calls[0][0][2]) is int
    assert not (tmp_path / "h.png").exists()


@pytest.mark.parametrize("chunks, order", [
    ([IHDR, TEXT, IEND], [b"IHDR", b"tEXt", b"IDAT", b"IEND"]),
    ([IHDR, TEXT], [b"IHDR", b"tEXt", b"IDAT"]),
    ([IHDR], [b"IHDR", b"IDAT"]),
    ([IHDR, IEND, TEXT, IEND], [b"IHDR", b"IDAT", b"IEND", b"tEXt", b"IEND"]),
    ([IEND], [b"IDAT", b"IEND"]),
])
def test_without_idat_entry_the_data_goes_before_the_first_iend(m, tmp_path, chunks, order):
    found = chunks_of(write(m, tmp_path / "n.png", chunks))
    assert [t for t, _ in found] == order
    assert [d for t, d in found if t == b"IDAT"] == [compressed()]


def test_without_idat_entry_the_file_stays_readable(m, S, tmp_path):
    img = S.open(write(m, tmp_path / "r.png", [IHDR, TEXT, IEND]))
    assert img._pixels == PIXELS_5x4 and [t for t, _, _ in img._png_chunks] == [b"IHDR", b"tEXt", b"IDAT", b"IEND"]


def test_split_and_zlib_are_looked_up_at_each_call(m, tmp_path, monkeypatch):
    seen = []

    def split(data, lengths):
        seen.append((data, lengths))
        return [b"A", b"BC"] if len(seen) == 1 else []

    monkeypatch.setattr(m, "_split_idat_payload", split)
    chunks = [IHDR, idat(4), TEXT, idat(6), IEND]
    data = write(m, tmp_path / "l.png", chunks)
    assert seen == [(compressed(), [4, 6])] and type(seen[0][0]) is bytes and type(seen[0][1]) is list
    assert chunks_of(data) == [(b"IHDR", IHDR[1]), (b"IDAT", b"A"), (b"IDAT", b"BC"), TEXT[:2], (b"IEND", b"")]
    # an empty result means one piece holding the whole stream
    assert [d for t, d in chunks_of(write(m, tmp_path / "l.png", chunks)) if t == b"IDAT"] == [compressed()]
    monkeypatch.undo()

    class FakeZlib:
        crc32 = staticmethod(zlib.crc32)
        compress = staticmethod(lambda raw: b"0123456789ABCDEFGHIJ")

    monkeypatch.setattr(m, "zlib", FakeZlib)
    found = chunks_of(write(m, tmp_path / "l.png", chunks))
    assert [d for t, d in found if t == b"IDAT"] == [b"0123", b"456789ABCDEFGHIJ"]


def refusals():
    """(name, overrides of the call, expected exception, expected message or None)."""
    good = [IHDR, idat(10), TEXT, idat(10), IEND]
    return [
        ("pixels short", dict(pixels=PIXELS_5x4[:-1]), ValueError, PIXELS),
        ("alpha short", dict(alpha=ALPHA_5x4[:-1]), ValueError, ALPHA),
        ("filter count", dict(filter_types=bytearray(H + 1)), ValueError, FILTER_COUNT),
        ("filter value", dict(filter_types=bytearray([0, 0, 9, 0])), ValueError, "Unsupported PNG filter: 9"),
        ("alpha as bytes", dict(alpha=bytes(ALPHA_5x4))) + writable_refusal(bytes(ALPHA_5x4)),
        ("width not a number", dict(width="5"), TypeError, "an integer is required"),
        ("too large", dict(width=65536, height=65536, pixels=b"", filter_types=None), OverflowError, TOO_LARGE),
        ("entry of two", dict(chunks=good[:-1] + [(b"IEND", b"")]), ValueError, "not enough values to unpack"),
        ("entry of four", dict(chunks=[IHDR + (0,)] + good[1:]), ValueError, "too many values to unpack"),
        ("entry not iterable", dict(chunks=good + [7]), TypeError, "cannot unpack non-iterable int object"),
        ("idat length not comparable", dict(chunks=[IHDR, idat("10"), IEND]), TypeError, None),
        ("type a str", dict(chunks=good[:-1] + [("IEND", b"", 0)]), TypeError, None),
        ("type None", dict(chunks=good[:2] + [(None, b"x", 1)] + good[2:]), TypeError, None),
        ("data a str", dict(chunks=good[:-1] + [(b"tEXt", "text", 4), IEND]), TypeError, None),
        ("data an int", dict(chunks=good + [(b"zzZz", 5, 5)]), TypeError, None),
        # two faults at once: the earlier check reports
        ("pixels before entries", dict(pixels=b"", chunks=[(b"IHDR",)]), ValueError, PIXELS),
        ("filters before entries", dict(filter_types=bytearray([5] * H), chunks=[(b"IHDR",)]), ValueError,
         "Unsupported PNG filter: 5"),
    ]


REFUSALS = refusals()


@pytest.mark.parametrize("name, overrides, exc, message", REFUSALS, ids=[r[0] for r in REFUSALS])
@pytest.mark.parametrize("existing", [False, True], ids=["new", "existing"])
def test_refused_calls_touch_no_file(m, tmp_path, name, overrides, exc, message, existing):
    path = tmp_path / "target.png"
    call = dict(path=str(path), width=W, height=H, pixels=PIXELS_5x4, alpha=None,
                chunks=[IHDR, idat(10), TEXT, idat(10), IEND], filter_types=TYPES)
    call.update(overrides)
    refuse_without_touching(path, OLD if existing else None, lambda: m._writePngWithChunks(**call), exc, message,
                            prefix=True)


def test_io_errors_come_from_open(m, tmp_path):
    with pytest.raises(IsADirectoryError):
        m._writePngWithChunks(str(tmp_path), W, H, PIXELS_5x4, None, [IHDR, idat(1), IEND], TYPES)


def test_argument_count(m, tmp_path):
    with pytest.raises(TypeError) as e:
        m._writePngWithChunks(str(tmp_path / "x.png"), W, H, PIXELS_5x4, None)
    assert str(e.value) == "_writePngWithChunks() takes at least 6 positional arguments (5 given)"
    assert not (tmp_path / "x.png").exists()


@pytest.mark.parametrize("compressed", [None, bytearray(b"xyz"), "text"])
def test_stand_in_zlib_output_meets_the_same_checks_as_a_direct_call(m, tmp_path, monkeypatch, compressed):
    # The writers hand zlib.compress's result to _makeChunk or
    # _split_idat_payload; whatever it is, it is checked as those check it.
    import types
    monkeypatch.setattr(m, "zlib", types.SimpleNamespace(compress=lambda raw: compressed, crc32=zlib.crc32))
    path = tmp_path / "out.png"
    for write, direct in (
            (lambda: m._writePng(str(path), 1, 1, b"abc"), lambda: m._makeChunk(b"IDAT", compressed)),
            (lambda: m._writePngWithChunks(str(path), 1, 1, b"abc", None, [IHDR, idat(5), IEND]),
             lambda: m._split_idat_payload(compressed, [5]))):
        with pytest.raises(TypeError) as expected:
            direct()
        refuse_without_touching(path, None, write, TypeError, str(expected.value))


def test_a_list_changed_by_a_length_comparison_is_written_as_it_then_is(m, tmp_path):
    """The lengths are gathered, then compared while the stream is split (caller
    code may run there), then the list is walked again to write the file."""
    chunks = []

    class Length(int):
        def __le__(self, other):
            chunks[:] = [TEXT]
            return int(self) <= other

    chunks += [IHDR, idat(Length(10)), idat(10), IEND]
    data = compressed()
    # No IDAT entry is left and no IEND either: the new IDAT chunks go last.
    assert write(m, tmp_path / "a.png", chunks) == SIG + chunk(*TEXT[:2]) + chunk(b"IDAT", data[:10]) + \
        chunk(b"IDAT", data[10:])
