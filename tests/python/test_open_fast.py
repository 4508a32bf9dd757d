"""open(bytes) as users call it: the quickest way in (on PyPy a Python function
the JIT compiles, which takes the common case to the PNG reading itself) must
come to exactly what the general way gives: a bytearray source always takes
the general way, so every outcome of open(bytes) is held to open(bytearray)'s
with the module's names bound as the module binds them or rebound."""
import contextlib
import io
import struct
import zlib
from types import SimpleNamespace

import pytest

import pngtools as pt

ROWS = [bytes(range(0, 9)), bytes(range(100, 109))]
PNG = pt.image(3, 2, ROWS, filters=[1, 4], extra=[pt.chunk(b"tEXt", b"k\0v")])
RGBA = pt.image(2, 1, [bytes(range(8))], colour=6)
BMP = pt.bmp(ROWS, top_down=True)
BAD_CRC = PNG[:-5] + bytes([PNG[-5] ^ 1]) + PNG[-4:]
# Past 64 KiB, PyPy reads the bytes at their address: large files of both kinds.
_RND = __import__("random").Random(3)
_BIG_ROWS = [bytes(_RND.getrandbits(8) for _ in range(450)) for _ in range(150)]
BIG_PNG, BIG_BMP = pt.image(150, 150, _BIG_ROWS, filters=[4] * 150), pt.bmp(_BIG_ROWS)
DATA = {"big png": BIG_PNG, "big png cut": BIG_PNG[:-1000], "big bmp": BIG_BMP, "big bmp cut": BIG_BMP[:-100],
        "big bmp 32-bit": BIG_BMP[:28] + b"\x20" + BIG_BMP[29:], "big bmp top-down": pt.bmp(_BIG_ROWS, top_down=True),
        "rgb": PNG, "rgba": RGBA, "bmp": BMP, "truncated": PNG[:40], "bad crc": BAD_CRC,
        "signature only": pt.SIGNATURE, "short": PNG[:5], "empty": b"",
        "16-bit": pt.png(pt.chunk(b"IHDR", pt.ihdr(1, 1, depth=16)), pt.chunk(b"IEND"))}


class Counting:
    """A stand-in that counts its calls and does what the genuine one does."""

    def __init__(self, real):
        self.real, self.calls = real, 0

    def __call__(self, *args):
        self.calls += 1
        return self.real(*args)


def rebinding(m, name):
    """(attribute, value, counter): one module-level name rebound, or nothing."""
    if name == "nothing":
        return None, None, None
    if name == "PNG_SIGNATURE equal":
        return name.split()[0], bytes(bytearray(pt.SIGNATURE)), None
    if name == "PNG_SIGNATURE subclass":
        return name.split()[0], type("Sig", (bytes,), {})(pt.SIGNATURE), None
    if name == "PNG_SIGNATURE prefix":
        return name.split()[0], pt.SIGNATURE[:4], None
    if name == "PNG_SIGNATURE str":
        return name.split()[0], "\x89PNG", None
    if name in ("_readChunk", "BytesIO", "Path"):
        counter = Counting({"_readChunk": m._readChunk, "BytesIO": io.BytesIO, "Path": m.Path}[name])
        return name, counter if name != "Path" else type("P", (), {}), counter
    if name == "struct":
        counter = Counting(struct.unpack)
        return name, SimpleNamespace(unpack=counter, pack=struct.pack), counter
    if name == "zlib.crc32":
        counter = Counting(zlib.crc32)
        return "zlib", SimpleNamespace(crc32=counter, decompress=zlib.decompress, compress=zlib.compress,
                                       error=zlib.error), counter
    if name == "zlib.decompress":
        counter = Counting(zlib.decompress)
        return "zlib", SimpleNamespace(crc32=zlib.crc32, decompress=counter, compress=zlib.compress,
                                       error=zlib.error), counter
    raise AssertionError(name)


def outcome(open_, source):
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out):
            img = open_(source)
    except Exception as e:  # noqa: BLE001 - the outcome is what is compared
        return type(e), str(e), out.getvalue()
    return (img.size, bytes(img._pixels), img._alpha and bytes(img._alpha), img._png_chunks,
            img._png_filters and bytes(img._png_filters), img._bmp_header, out.getvalue())


NAMES = ["nothing", "PNG_SIGNATURE equal", "PNG_SIGNATURE subclass", "PNG_SIGNATURE prefix", "PNG_SIGNATURE str",
         "_readChunk", "BytesIO", "Path", "struct", "zlib.crc32", "zlib.decompress"]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("kind", sorted(DATA))
def test_bytes_open_as_a_bytearray_does(m, name, kind):
    data = DATA[kind]
    attribute, value, counter = rebinding(m, name)
    saved = getattr(m, attribute) if attribute else None
    if attribute:
        setattr(m, attribute, value)
    try:
        general = outcome(m.SimpleImage.open, bytearray(data))
        general_calls = counter and counter.calls
        if counter:
            counter.calls = 0
        quick = outcome(m.SimpleImage.open, data)
        assert quick == general
        assert (counter and counter.calls) == general_calls
    finally:
        if attribute:
            setattr(m, attribute, saved)


def test_a_rebound_loader_gets_its_stream(m):
    seen = []
    saved = m.SimpleImage.__dict__["_streamToImage"]
    m.SimpleImage._streamToImage = staticmethod(
        lambda stream: seen.append((type(stream), stream.tell(), stream.getvalue())) or saved.__func__(stream))
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            img = m.SimpleImage.open(PNG)
    finally:
        m.SimpleImage._streamToImage = saved
    assert seen == [(io.BytesIO, 0, PNG)] and bytes(img._pixels) == b"".join(ROWS)


@pytest.mark.parametrize("call, message", [
    (lambda S: S.open(), "open() takes exactly 1 positional argument (0 given)"),
    (lambda S: S.open(PNG, PNG), "open() takes exactly 1 positional argument (2 given)"),
    (lambda S: S.open(PNG, source=PNG), "open() got multiple values for keyword argument 'source'"),
    (lambda S: S.open(sourc=PNG), "open() got an unexpected keyword argument 'sourc'"),
])
def test_call_forms_are_refused_in_the_methods_words(S, call, message):
    with pytest.raises(TypeError) as e:
        call(S)
    assert str(e.value) == message


@pytest.mark.parametrize("call", [lambda S: S.open(source=PNG), lambda S: S.open.__func__(S, PNG),
                                  lambda S: S(1, 1, b"abc").open(PNG), lambda S: type("Sub", (S,), {}).open(PNG)])
def test_every_way_of_calling_open_reads_the_image(S, capsys, call):
    img = call(S)
    assert bytes(img._pixels) == b"".join(ROWS) and img._png_filters == bytearray([1, 4])
    assert capsys.readouterr().out == "[SimpleImage] Opened image: 3x2, channels=3\n"


def test_the_report_goes_through_the_print_of_the_module_load(S, monkeypatch, capsys):
    import builtins
    printed = []
    monkeypatch.setattr(builtins, "print", lambda *a, **k: printed.append(a))
    S.open(RGBA)
    assert printed == [] and capsys.readouterr().out == "[SimpleImage] Opened image: 2x1, channels=4\n"


# --- what an open of bytes costs: the file's bytes are read where they are ---

PEAK = """
import contextlib, io, json, sys
from Corvane.simpleImage_ext import SimpleImage
path, how = sys.argv[1:]
data = open(path, "rb").read()
def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith(key + ":"))
with contextlib.redirect_stdout(io.StringIO()):
    SimpleImage.open(data[:0] + SMALL)  # the module's code paths loaded before anything is measured
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS")
    img = SimpleImage.open(data if how == "bytes" else path)
    print(json.dumps(status("VmHWM") - before), file=sys.stderr)
"""


def open_peak(path, how):
    import os
    import subprocess
    import sys
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizers' own memory is what such a run would measure")
    code = PEAK.replace("SMALL", repr(pt.image(1, 1, [b"abc"])))
    proc = subprocess.run([sys.executable, "-c", code, str(path), how], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    return int(proc.stderr.splitlines()[-1])


@pytest.mark.parametrize("kind", ["png", "bmp"])
def test_bytes_cost_no_copy_of_the_file(tmp_path, kind):
    import random
    rnd = random.Random(7)
    width, height = 1024, 2048
    # Incompressible rows, so the file is as large as the image.
    rows = [bytes(rnd.getrandbits(8) for _ in range(width * 3)) for _ in range(16)] * (height // 16)
    path = tmp_path / ("big." + kind)
    path.write_bytes(pt.image(width, height, rows) if kind == "png" else pt.bmp(rows, top_down=True))
    from_path, from_bytes = open_peak(path, "path"), open_peak(path, "bytes")
    assert path.stat().st_size > 6 << 20
    assert from_bytes <= from_path + (3 << 20), (from_bytes, from_path)


def test_the_c_half_takes_no_address_from_its_caller(S):
    from conftest import PYPY
    if not PYPY:
        pytest.skip("open is the C method itself on CPython")
    cells = [c.cell_contents for c in S.__dict__["open"].__func__.__closure__]
    halves = [f for f in cells if getattr(f, "__name__", "").startswith("_open_")]
    assert sorted(f.__name__ for f in halves) == ["_open_bmp_bytes", "_open_png_bytes"]
    for half in halves:
        args = (0x1000,) if half.__name__ == "_open_png_bytes" else (BMP[:54], 0x1000)
        with pytest.raises(TypeError) as e:
            half(*args)
        assert str(e.value) == "bytes or a view of bytes from ffi.from_buffer expected"
