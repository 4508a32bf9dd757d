"""Reference leaks: a long loop over every operation, success and error paths alike, must not grow memory."""
import contextlib
import gc
import os
import sys

import pytest

from conftest import PYPY

def workload(m, big, Sub):
    S = m.SimpleImage
    sub = Sub(1, 1, b"abc")
    sub.attr = sub  # a cycle through the instance dict
    sub.copy()
    im = S(64, 64, big, alpha=bytes(4096), png_chunks=[(b"IEND", b"", 0)], bmp_header={"xppm": 1},
           png_filters=bytes(64))
    dup = im.copy()
    dup.width = 64.5
    dup.height = 64
    dup._pixels = bytearray(3)
    dup._alpha = [1]
    dup._png_chunks = (1,)
    dup._png_filters = "x"
    dup._bmp_header = {}
    del dup._alpha, dup._pixels
    im.putPixel((1, 2), (3, 4, 5))
    im.putPixel((True, 2), iter([3.5, "4", 2**70]))
    im.getPixel((3, 4))
    for bad in (lambda: im.getPixel((0.0, True)), lambda: S(2, 2, big), lambda: S(1, 1, b"abc", alpha=b""), lambda: S(2**31, 1, b""),
                lambda: S(1, 1, b"abc", bogus=1), lambda: im.getPixel([0, 0]), lambda: im.getPixel((99, 0)),
                lambda: im.putPixel((0, 0), (1, 2)), lambda: im.putPixel((0, 0), (1, None, 3)),
                lambda: im.copy(deep=1), lambda: im.__reduce__(), lambda: m._makeChunk(b"", bytearray()),
                lambda: setattr(im, "_pixels", b""), lambda: S(1, 1, [0, 0, 300])):
        try:
            bad()
        except (TypeError, ValueError, OverflowError):
            pass


def malloc_in_use():
    """Bytes the C allocator has handed out and not had back (glibc), None elsewhere.
    On PyPy this is where every object seen from C lives, and, unlike resident
    memory, it does not move with the garbage collector's heap."""
    import ctypes

    class Info(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]
    try:
        mallinfo2 = ctypes.CDLL("libc.so.6").mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = Info
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure():
    gc.collect()
    gc.collect()
    if PYPY:
        in_use = malloc_in_use()
        return in_use if in_use is not None else resident_bytes()
    return sys.getallocatedblocks()


def growth(call, rounds):
    """What `rounds` calls keep, after as many to warm up caches, free lists
    and the JIT: the smaller of two such windows in a row, since a leak grows
    in both while warming up, which on PyPy can outlast the first window when
    the test runs first in its process (the JIT settling a large workload took
    34 MB over the first 1,000 codec rounds, then moved by ±1.5 MB a window for
    a few more). Bytes in use on PyPy, allocated blocks on CPython."""
    def run():
        # Not a StringIO: what open prints would pile up in it.
        with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
            for _ in range(rounds):
                call()

    run()
    marks = [measure()]
    for _ in range(2):
        run()
        marks.append(measure())
    return min(marks[1] - marks[0], marks[2] - marks[1])


def unit():
    return "bytes" if PYPY else "blocks"


@pytest.mark.parametrize("rounds", [20000])
def test_no_growth(m, rounds):
    big = bytes(64 * 64 * 3)

    class Sub(m.SimpleImage):
        pass

    grown = growth(lambda: workload(m, big, Sub), rounds)
    # One leaked 12 KiB buffer per round would be ~240 MB, 200 bytes a round
    # 4 MB; one leaked small object per round 20000 blocks.
    assert grown < (4 << 20 if PYPY else 500), f"grew by {grown} {unit()} over {rounds} rounds"


def codec_workload(m, files, path):
    """Open, save and every refusal of the codecs, once each."""
    S = m.SimpleImage
    png, bmp, bad_inputs = files
    for data in (png, bmp):
        im = S.open(data)
        im.putPixel((0, 0), (1, 2, 3))
        im.save(path)
        S.open(path).saveBmp(path)
    S._streamToImage(__import__("io").BytesIO(png))
    m._writePng(path, 2, 1, b"abcdef", bytearray(b"xy"), bytearray(1))
    for data in bad_inputs:
        try:
            S.open(data)
        except Exception:
            pass
    for bad in (lambda: m._writePng(path, 2, 1, b"abc"), lambda: m._writePng(path, 1, 1, b"abc", None, bytearray([9])),
                lambda: m._writePngWithChunks(path, 1, 1, b"abc", None, [(b"IHDR",)]),
                lambda: m._writeBmp(path, -1, 1, b""), lambda: m._writeBmp(path, 1, 1, b"a"),
                lambda: m._split_idat_payload(None, [1]), lambda: m._readChunk(__import__("io").BytesIO(b"\0\0"))):
        try:
            bad()
        except Exception:
            pass


def codec_files():
    """A small PNG (RGBA, a text chunk, two IDAT), a BMP, and bad inputs that fail at different steps."""
    import struct
    import zlib

    import pngtools
    stream = zlib.compress(pngtools.scanlines([bytes(range(16))] * 3, [0, 1, 4], 4))
    png = pngtools.png(pngtools.chunk(b"IHDR", pngtools.ihdr(4, 3, colour=6)), pngtools.chunk(b"tEXt", b"k\x00v"),
                       *(pngtools.chunk(b"IDAT", part) for part in pngtools.split(stream, [5, 5])),
                       pngtools.chunk(b"IEND"))
    bmp = pngtools.bmp([bytes(9), bytes(range(9))])
    bad_inputs = [png[:40], png[:-5] + b"xxxxx", b"\x89PNG\r\n\x1a\n" + png[8:30], bmp[:60], b"GIF89a",
                  png.replace(b"IHDR", b"IHDr"),
                  b"\x89PNG\r\n\x1a\n" + pngtools.chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0))
                  + pngtools.chunk(b"IDAT", zlib.compress(bytes(400))) + pngtools.chunk(b"IEND", b"")]
    return png, bmp, bad_inputs


@pytest.mark.parametrize("rounds", [3000])
def test_codecs_no_growth(m, tmp_path, rounds):
    files, path = codec_files(), str(tmp_path / "out")
    grown = growth(lambda: codec_workload(m, files, path), rounds)
    # On PyPy 8 MB is 2.7 KB a round: one kept copy of the small file a call.
    assert grown < (8 << 20 if PYPY else 500), f"grew by {grown} {unit()} over {rounds} rounds"


# Every way a file's bytes reach the codecs, with a file large enough that
# keeping its bytes, or a copy of them, once per call shows at once. PyPy
# kept two copies of every PNG it opened while memoryviews made from C were
# handed the file's bytes: PyPy never frees those.
@pytest.mark.parametrize("how", ["png bytes", "png path", "png stream", "bmp path", "bmp bytes", "save png", "save bmp"])
def test_large_files_not_kept(m, tmp_path, how):
    import io

    import pngtools
    side = 512
    rows = [os.urandom(side * 3) for _ in range(side)]
    png = pngtools.image(side, side, rows, lengths=[300000])  # several IDAT chunks
    bmp = pngtools.bmp(rows)
    path = tmp_path / "in"
    path.write_bytes(bmp if how.startswith("bmp") else png)
    out = str(tmp_path / "out")
    im = m.SimpleImage.open(png)
    calls = {
        "png bytes": lambda: m.SimpleImage.open(bytes(bytearray(png))),  # a new object each time
        "png path": lambda: m.SimpleImage.open(str(path)),
        "png stream": lambda: m.SimpleImage._streamToImage(io.BytesIO(png)),
        "bmp path": lambda: m.SimpleImage.open(str(path)),
        "bmp bytes": lambda: m.SimpleImage.open(bytes(bytearray(bmp))),
        "save png": lambda: im.save(out),
        "save bmp": lambda: im.saveBmp(out),
    }

    rounds = 40
    grown = growth(calls[how], rounds)
    # A kept copy of the file is 40 * 0.8 MB = 31 MB; a kept image object 40 blocks.
    assert grown < (16 << 20 if PYPY else 30), f"grew by {grown} {unit()} over {rounds} calls"


# PyPy keeps 32 bytes for good with each buffer a bytearray exports to C; the
# writers take one of the pixels, the alpha plane and the filter types.
def test_bytearray_views_not_kept(m, tmp_path):
    path = str(tmp_path / "out")

    def call():
        try:
            m._writePng(path, 1, 1, bytearray(3), bytearray(1), bytearray([9]))
        except ValueError:  # filter type 9: refused once every view is taken
            pass

    rounds = 60000
    grown = growth(call, rounds)
    # Kept views would be 96 bytes a call, 5.8 MB in all; the allocator's own
    # movement is a chunk of 1 MiB now and then.
    assert grown < (5 << 19 if PYPY else 30), f"grew by {grown} {unit()} over {rounds} calls"


# CPython's method cache keeps the str an attribute was last looked up with,
# up to one per slot of its 4096. A module that built a fresh str for every
# lookup left hundreds behind over the first few thousand calls of a process:
# bounded, but enough to fail a short leak test that happened to run first.
@pytest.mark.skipif(PYPY, reason="CPython's method cache")
def test_lookups_leave_no_names_behind(tmp_path):
    import subprocess
    import textwrap
    script = textwrap.dedent("""
        import contextlib, gc, io, os, sys
        from test_leaks import codec_files, codec_workload
        import Corvane.simpleImage_ext as m
        files, path = codec_files(), sys.argv[1]
        with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
            codec_workload(m, files, path)
            gc.collect()
            before = sys.getallocatedblocks()
            for _ in range(1000):
                codec_workload(m, files, path)
            gc.collect()
        print(sys.getallocatedblocks() - before)
    """)
    run = subprocess.run([sys.executable, "-c", script, str(tmp_path / "out")], capture_output=True, text=True,
                         cwd=os.path.dirname(__file__), check=True)
    grown = int(run.stdout)
    assert grown < 30, f"grew by {grown} blocks over 1000 rounds"
