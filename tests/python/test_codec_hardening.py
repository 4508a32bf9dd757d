"""Codecs under callers that fight back: caller code that changes what a codec
already looked at, results whose len() lies, chunk data changed after it was
framed, files with long tails or streams that fail late. The cost checks hold
the module to one zlib.decompress of the same data, each in a fresh process."""
import json
import os
import subprocess
import sys
import textwrap
import zlib

import pytest

import pngtools as pt
from conftest import PYPY
from test_hardening import run_isolated

# --- views kept across caller code -------------------------------------------

# len(filter_types) runs caller code after the writer has looked at alpha and
# before it reads the rows; whatever that code does to the buffers, the file
# holds the buffers as they then stand, or the call is refused.
def resize_during_len(action, call, out):
    return "\n".join([
        "from Corvane.simpleImage_ext import SimpleImage, _writePng, _writePngWithChunks",
        "w = h = 64",
        "alpha = bytearray(b'\\xaa' * (w * h)); pixels = bytearray(b'\\x11' * (w * h * 3))",
        f"out = {out!r}",
        "class Filters(bytearray):",
        "    def __len__(self):",
        f"        {action}",
        "        return h",
        "def check():",
        "    im = SimpleImage.open(open(out, 'rb').read())",
        "    print(set(im._alpha), set(im._pixels), len(im._alpha))",
        "try:",
        f"    {call}; check()",
        "except ValueError as e:",
        "    print('refused:', type(e).__name__, e)",
    ])


WRITERS = {
    "plain": "_writePng(out, w, h, pixels, alpha, Filters(h))",
    "chunks": ("SimpleImage(w, h, pixels, alpha).save(out); chunks = SimpleImage.open(out)._png_chunks; "
               "_writePngWithChunks(out, w, h, pixels, alpha, chunks, Filters(h))"),
}


@pytest.mark.parametrize("writer", sorted(WRITERS))
@pytest.mark.parametrize("action, expected", [
    # alpha's storage freed and reused: the old address must not be read
    ("alpha.clear(); alpha.extend(b'\\xaa' * 4096); junk = [bytearray(b'\\xee' * 4096) for _ in range(1000)]",
     "{170} {17} 4096"),
    ("alpha.extend(b'\\xaa' * (1 << 22)); import gc; gc.collect(); "
     "junk = [bytearray(b'\\xee' * 4096) for _ in range(1000)]", "{170} {17} 4096"),
    ("del alpha[1:]", "refused: ValueError Alpha channel length does not match image dimensions"),
    ("del pixels[5:]", "refused: ValueError Pixel data length does not match image dimensions"),
])
def test_buffers_changed_by_caller_code_mid_write(tmp_path, writer, action, expected):
    out = run_isolated(resize_during_len(action, WRITERS[writer], str(tmp_path / "out.png")))
    assert out.strip().splitlines()[-1] == expected


# --- lengths that lie ----------------------------------------------------------

LIES = """
    import zlib, Corvane.simpleImage_ext as m
    data = {data!r}
    Lying = type("Lying", ({base},), {{"__len__": lambda self: 25 * 151}})
    class Zlib:
        crc32 = staticmethod(zlib.crc32)
        error = zlib.error
        decompress = staticmethod(lambda d: Lying(b"\\x07" * {held}))
    m.zlib = Zlib
    try:
        m.SimpleImage.open(data)
    except ValueError as e:
        print(e)
"""


@pytest.mark.parametrize("base", ["bytes", "bytearray"])
@pytest.mark.parametrize("held", [0, 10, 3775, 10_000])  # bytes really held, of the 3,775 claimed and expected
def test_a_decompressed_result_whose_len_lies_is_malformed(base, held):
    code = textwrap.dedent(LIES).format(data=pt.image(50, 25, [bytes(150)] * 25), base=base, held=held)
    if PYPY and base == "bytes" and held > 3775:
        # cpyext sizes its copy of a bytes subclass by len() and aborts the
        # process when the bytes do not fit (README, On PyPy).
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
        assert proc.returncode != 0 and "bytes_attach" in proc.stdout + proc.stderr
        return
    assert run_isolated(code).strip().splitlines()[-1] == ("Unsupported PNG filter: 7" if held == 3775 else
                                                           "Malformed PNG image data")


# --- chunks changed after they were framed -----------------------------------

def _open_chunks(m, path):
    return [(t, d) for t, d, _ in m.SimpleImage.open(path.read_bytes())._png_chunks]


IHDR_1x1 = (b"IHDR", pt.ihdr(1, 1), 13)


@pytest.mark.parametrize("how", ["type __eq__", "crc32 stand-in"])
def test_chunk_data_changed_after_framing_is_written_as_framed(m, tmp_path, how):
    text = bytearray(b"Title\x00")
    eq_calls = []

    class Type(bytes):
        __hash__ = bytes.__hash__

        def __eq__(self, other):
            eq_calls.append(1)
            text.extend(b"!")  # the tEXt before this entry was framed already
            return bytes.__eq__(self, other)

    chunks = [IHDR_1x1, (b"tEXt", text, 6), (b"IDAT", None, 10), (b"IEND", b"", 0)]
    saved = m.zlib
    if how == "type __eq__":
        chunks.insert(2, (Type(b"zzZz"), b"x", 1))
    else:
        class Zlib:
            compress = staticmethod(zlib.compress)

            @staticmethod
            def crc32(data, start=0):
                value = zlib.crc32(data, start)
                text.extend(b"!")
                return value
        m.zlib = Zlib
    try:
        m._writePngWithChunks(tmp_path / "out.png", 1, 1, b"abc", None, chunks)
    finally:
        m.zlib = saved
    # The file opens (its frames fit), holding the text as it was when framed.
    written = dict(_open_chunks(m, tmp_path / "out.png"))[b"tEXt"]
    assert written.startswith(b"Title\x00") and len(written) < len(text) and (eq_calls or how != "type __eq__")


def test_a_reused_chunk_buffer_is_written_as_it_was_returned(m, tmp_path):
    made = bytearray()

    def make_chunk(ctype, data):
        made[:] = saved(ctype, data)  # the same buffer every time
        return made

    saved, m._makeChunk = m._makeChunk, make_chunk
    try:
        m._writePng(tmp_path / "out.png", 2, 1, bytes(range(6)))
    finally:
        m._makeChunk = saved
    im = m.SimpleImage.open(tmp_path / "out.png")
    assert bytes(im._pixels) == bytes(range(6)) and [t for t, _, _ in im._png_chunks] == [b"IHDR", b"IDAT", b"IEND"]


def test_a_chunk_of_wide_items_is_framed_by_its_bytes(m, tmp_path):
    import array
    words = memoryview(array.array("I", [1, 2, 3]))  # len() 3, 12 bytes
    m._writePngWithChunks(tmp_path / "out.png", 1, 1, b"abc", None,
                          [IHDR_1x1, (b"zzZz", words, 3), (b"IDAT", None, 9), (b"IEND", None, 0)])
    assert (b"zzZz", words.tobytes()) in _open_chunks(m, tmp_path / "out.png")


# --- the two slips from the host's own behaviour ---------------------------------

@pytest.mark.parametrize("entry, message", [(None, "cannot unpack non-iterable NoneType object"),
                                            (7, "cannot unpack non-iterable int object")])
def test_a_chunk_entry_that_is_not_iterable(m, tmp_path, entry, message):
    with pytest.raises(TypeError) as e:
        m._writePngWithChunks(tmp_path / "out.png", 1, 1, b"abc", None, [IHDR_1x1, entry])
    assert str(e.value) == message and not (tmp_path / "out.png").exists()


def test_a_negative_width_is_refused_before_the_filter_count(m, tmp_path):
    im = m.SimpleImage(1, 1, b"abc", png_chunks=[IHDR_1x1, (b"IDAT", None, 9), (b"IEND", b"", 0)],
                       png_filters=bytearray(1))
    im.width = im.height = -1
    im._png_filters = bytearray(5)  # a wrong count too, found later
    for call in (lambda: im.save(str(tmp_path / "a.png")),
                 lambda: m._writePngWithChunks(str(tmp_path / "b.png"), -1, -1, b"abc", None, im._png_chunks)):
        with pytest.raises(ValueError, match="^negative count$"):
            call()
    assert not list(tmp_path.iterdir())


# --- what an open costs: the image, not what follows it or how it fails ----------

COST = """
    import contextlib, io, json, sys, time, zlib
    from Corvane.simpleImage_ext import SimpleImage
    path, idat, what = sys.argv[1:]
    data = open(idat, "rb").read()
    def call():
        try:
            return zlib.decompress(data) if what == "zlib" else SimpleImage.open(path)
        except Exception as e:
            return e
    def status(key):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) << 10 for line in f if line.startswith(key + ":"))
    with contextlib.redirect_stdout(io.StringIO()):
        SimpleImage.open(pt_small)  # the module's code paths loaded before anything is measured
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # the peak mark back to what is resident now
        before = status("VmRSS")
        start = time.perf_counter(); r = call(); first = time.perf_counter() - start
        peak = status("VmHWM") - before
        del r
        times = [first]
        for _ in range(2):
            start = time.perf_counter(); call(); times.append(time.perf_counter() - start)
    print(json.dumps({"peak": peak, "time": min(times)}))
"""


def cost(png_path, idat, what):
    """Peak memory and best time of one call in a fresh interpreter."""
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizers' instrumentation is what such a run would measure")
    idat_path = png_path.with_suffix(".idat")
    idat_path.write_bytes(idat)
    small = pt.image(1, 1, [b"abc"])
    code = textwrap.dedent(COST).replace("pt_small", repr(small))
    proc = subprocess.run([sys.executable, "-c", code, str(png_path), str(idat_path), what],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.splitlines()[-1])


def assert_costs_like_one_decompress(png_path, idat):
    # A busy machine only ever adds time, so a pair measured over the bound
    # is measured again: an open that really did the work twice is over it
    # every time.
    for _ in range(3):
        ours, floor = cost(png_path, idat, "module"), cost(png_path, idat, "zlib")
        if ours["time"] <= 1.5 * floor["time"] + 0.02:
            break
    assert ours["time"] <= 1.5 * floor["time"] + 0.02, (ours, floor)
    assert ours["peak"] <= 1.3 * floor["peak"] + (24 << 20), (ours, floor)


def test_the_tail_after_iend_is_never_read(m, tmp_path):
    path = tmp_path / "tail.png"
    path.write_bytes(pt.image(1, 1, [b"abc"]))
    with open(path, "r+b") as f:
        f.truncate(1 << 30)  # a sparse gigabyte after IEND
    im = m.SimpleImage.open(path)
    assert bytes(im._pixels) == b"abc"
    ours = cost(path, b"", "module")
    assert ours["peak"] < 24 << 20 and ours["time"] < 0.25, ours


def test_a_lying_chunk_length_reads_no_more_than_the_file(m, tmp_path):
    path = tmp_path / "short.png"
    path.write_bytes(pt.png(pt.chunk(b"IHDR", pt.ihdr(1, 1))) + b"\x7f\xff\xff\xffIDAT" + bytes(100))
    with pytest.raises(ValueError, match="^Unexpected EOF while reading chunk data$"):
        m.SimpleImage.open(path)


def _late_failing(how):
    """A 4096 x 4096 RGB image whose zlib stream breaks only after all its rows."""
    raw = (bytes([0]) + bytes(range(256)) * 48) * 4096
    stream = zlib.compress(raw, 1)
    stream = stream[:-4] + (b"\0\0\0\0" if how == "checksum" else b"")
    return pt.png(pt.chunk(b"IHDR", pt.ihdr(4096, 4096)), pt.chunk(b"IDAT", stream), pt.chunk(b"IEND")), stream


@pytest.mark.parametrize("how", ["checksum", "truncated"])
def test_a_stream_that_fails_late_fails_as_zlib_decompress(m, how):
    data, stream = _late_failing(how)
    with pytest.raises(zlib.error) as e:
        m.SimpleImage.open(data)
    with pytest.raises(zlib.error) as host:
        zlib.decompress(stream)
    assert str(e.value) == str(host.value)


# PyPy copies a bytearray made from C into memory that does not move the
# first time C asks for its storage, so planes cost twice their size while
# they are made; a zlib.decompress that fails on a bad checksum holds only its
# output.
PLANES_TWICE = pytest.mark.xfail(PYPY, strict=True, reason="PyPy: a bytearray made from C is copied once")


@pytest.mark.parametrize("how", [pytest.param("checksum", marks=PLANES_TWICE), "truncated"])
def test_a_stream_that_fails_late_is_inflated_once(tmp_path, how):
    data, stream = _late_failing(how)
    path = tmp_path / "late.png"
    path.write_bytes(data)
    assert_costs_like_one_decompress(path, stream)


def test_width_zero_rows_cost_like_their_stream(tmp_path):
    height = 1 << 26
    stream = zlib.compress(bytes(height), 9)
    path = tmp_path / "w0.png"
    path.write_bytes(pt.png(pt.chunk(b"IHDR", pt.ihdr(0, height)), pt.chunk(b"IDAT", stream), pt.chunk(b"IEND")))
    assert_costs_like_one_decompress(path, stream)


@pytest.mark.parametrize("types, expected", [(b"\x00\x01\x02\x03\x04", None), (b"\x00\x04\x05\x07", 5)])
def test_width_zero_rows_keep_their_types(m, types, expected):
    data = pt.png(pt.chunk(b"IHDR", pt.ihdr(0, len(types))), pt.chunk(b"IDAT", zlib.compress(types)),
                  pt.chunk(b"IEND"))
    if expected is None:
        assert bytes(m.SimpleImage.open(data)._png_filters) == types
    else:
        with pytest.raises(ValueError, match=f"^Unsupported PNG filter: {expected}$"):
            m.SimpleImage.open(data)
