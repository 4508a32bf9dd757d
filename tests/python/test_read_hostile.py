"""Hostile input: crafted files of a few bytes or megabytes must cost neither gigabytes nor minutes,
oversize headers are refused before anything is allocated, and every truncation and single-bit flip
of small valid files ends in a documented outcome. Each case runs in a child interpreter, under a
cap on its address space where memory is the point, so that a fault cannot take the run down.
"""
import json
import os
import pathlib
import subprocess
import sys
import zlib

import pytest

import pngtools
from pngtools import chunk, ihdr, png

TESTS = str(pathlib.Path(__file__).resolve().parent)
INCOMPLETE = ["builtins.ValueError", "Incomplete BMP pixel data"]
MALFORMED = ["builtins.ValueError", "Malformed PNG image data"]
TOO_LARGE = ["builtins.OverflowError", "image dimensions too large"]
CORRUPT = "Corrupted PNG chunk detected"
EOF = {k: "Unexpected EOF while reading chunk " + k for k in ("length", "type", "data", "CRC")}
HEADROOM = 256 << 20
SECONDS = 10

PRELUDE = r"""
import contextlib, io, json, resource, struct, sys, time, zlib
sys.path.insert(0, %r)
import pngtools
from pngtools import chunk, ihdr, png
from Corvane.simpleImage_ext import SimpleImage

def bound(extra):
    with open("/proc/self/status") as f:
        vm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + extra, vm + extra))

def outcome(call):
    start = time.monotonic()
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            result = ["ok", call()]
    except Exception as e:
        result = ["%%s.%%s" %% (type(e).__module__, type(e).__name__), str(e)]
    return result + [time.monotonic() - start]

def stream_calls(data):
    stream = pngtools.Recording(data)
    try:
        SimpleImage._streamToImage(stream)
    except Exception as e:
        return [type(e).__name__, str(e), stream.calls]
"""


def child(body, extra=None, stdin="", timeout=120):
    """Runs `body` after PRELUDE in a child interpreter; its last line of output is read as JSON."""
    if extra is not None:
        if "libasan" in os.environ.get("LD_PRELOAD", ""):
            pytest.skip("the address sanitizer reserves more address space than any cap allows")
        if not os.path.exists("/proc/self/status"):
            pytest.skip("needs /proc/self/status to cap the address space")
    try:
        run = subprocess.run([sys.executable, "-c", PRELUDE % TESTS + body], input=stdin, capture_output=True,
                             text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail("no result within %d s" % timeout)
    assert run.returncode == 0, "child ended with %d:\n%s" % (run.returncode, run.stderr[-3000:])
    return json.loads(run.stdout.splitlines()[-1])


def zlib_error(data):
    try:
        zlib.decompress(data)
    except zlib.error as e:
        return ["zlib.error", str(e)]
    raise AssertionError("valid zlib data")


BOMB = "pngtools.deflate_zeros(520000)"  # 6.8 MB that inflate to 1 GiB
ZEROS_WIDTH = 86 + 688 * 2000            # one RGB row of zeros inflates to exactly 1 + 3 * width bytes

BOUNDED = [
    # a BMP header alone, claiming 2 GB of pixels in range: refused at once, without the allocation
    ("bmp 26000 x 26000", "pngtools.bmp_header(26000, 26000)", "open", INCOMPLETE),
    ("bmp 26754 x 26754", "pngtools.bmp_header(26754, 26754)", "open", INCOMPLETE),
    ("bmp 1 x 715827882", "pngtools.bmp_header(1, 715827882)", "open", INCOMPLETE),
    # rows of stride 0 are not read one by one
    ("bmp 0 x 2**31-1", "pngtools.bmp_header(0, 2**31 - 1)", "open", ["ok", [0, 2 ** 31 - 1]]),
    # a chunk length of 4 GiB in a small file on disk
    ("png chunk of 2**32-1 bytes", "FILE", "open",
     ["builtins.ValueError", EOF["data"]]),
    # decompression bombs
    ("png bomb, 1 x 1", "png(chunk(b'IHDR', ihdr(1, 1)), chunk(b'IDAT', %s), chunk(b'IEND'))" % BOMB, "open",
     MALFORMED),
    ("png bomb over 1 MiB IDATs, 1024 x 1024 RGBA",
     "png(chunk(b'IHDR', ihdr(1024, 1024, colour=6)), *[chunk(b'IDAT', p) for p in pngtools.split(%s, [1 << 20] * 6)])"
     % BOMB, "open", MALFORMED),
    ("png of zeros, exactly the size", "png(chunk(b'IHDR', ihdr(%d, 1)), chunk(b'IDAT', pngtools.deflate_zeros(2000)))"
     % ZEROS_WIDTH, "open", ["ok", [ZEROS_WIDTH, 1]]),
    # huge headers in range on tiny files
    ("png 715827882 x 1, too little data",
     "png(chunk(b'IHDR', ihdr(715827882, 1)), chunk(b'IDAT', zlib.compress(bytes(10))))", "open", MALFORMED),
    ("png 1 x 429496729 RGBA, no zlib data",
     "png(chunk(b'IHDR', ihdr(1, 429496729, colour=6)), chunk(b'IDAT', b'garbage'))", "open",
     zlib_error(b"garbage")),
    # headers beyond the supported range: refused after the header checks and before decompressing
    ("png 65536 x 65536", "png(chunk(b'IHDR', ihdr(65536, 65536)), chunk(b'IDAT', b'garbage'))", "open", TOO_LARGE),
    ("png 715827883 x 1", "png(chunk(b'IHDR', ihdr(715827883, 1)), chunk(b'IDAT', b'garbage'))", "open", TOO_LARGE),
    ("png 1 x 429496730 RGBA", "png(chunk(b'IHDR', ihdr(1, 429496730, colour=6)), chunk(b'IDAT', b'x'))", "open",
     TOO_LARGE),
    ("png too large and 16-bit", "png(chunk(b'IHDR', ihdr(65536, 65536, depth=16)))", "open",
     ["builtins.ValueError", "Only 8-bit PNG images are supported"]),
] + [
    ("bmp %d x %d" % size, "pngtools.bmp_header(%d, %d) + bytes(1000)" % size, "calls",
     ["ok", ["OverflowError", "image dimensions too large",
             [["read", 8], ["seek", 0], ["read", 14], ["read", 4], ["read", 36]]]])
    for size in [(26755, 26755), (1, -715827883), (1, -2 ** 31), (3000000, 2000000)]
]


@pytest.mark.parametrize("name, build, call, expected", BOUNDED, ids=[case[0] for case in BOUNDED])
def test_bounded_cost(tmp_path, name, build, call, expected):
    if build == "FILE":
        path = tmp_path / "huge-chunk.png"
        path.write_bytes(png(chunk(b"IHDR", ihdr(1, 1))) + b"\xff\xff\xff\xfftEXt" + bytes(100))
        build = repr(str(path))
    call = {"open": "SimpleImage.open(data).size", "calls": "stream_calls(data)"}[call]
    got = child("data = %s\nbound(%d)\nprint(json.dumps(outcome(lambda: %s)))" % (build, HEADROOM, call),
                extra=HEADROOM)
    assert got[:2] == expected
    assert got[2] < SECONDS, "took %.1f s" % got[2]


# --- every truncation and every single-bit flip of two small valid files ---

PNG_CHUNKS = [(b"IHDR", ihdr(3, 2, colour=6)), (b"tEXt", b"a\0b")] + \
    [(b"IDAT", piece) for piece in pngtools.split(zlib.compress(pngtools.scanlines(
        [bytes(range(12)), bytes(range(200, 212))], [1, 4], 4)), [10])] + [(b"IEND", b"")]
SMALL_PNG = png(*[chunk(t, d) for t, d in PNG_CHUNKS])
SMALL_BMP = pngtools.bmp([bytes(range(9)), bytes(range(50, 59))], pad=7)

PIXELS = [[3, 2], [0, 1, 2, 4, 5, 6, 8, 9, 10, 200, 201, 202, 204, 205, 206, 208, 209, 210]]

SWEEP = r"""
results = []
for data in json.loads(sys.stdin.read()):
    data = bytes.fromhex(data)
    results.append(outcome(lambda: (lambda img: [img.size, list(img._pixels)])(SimpleImage.open(data))))
print(json.dumps(results))
"""


def sweep(inputs):
    return child(SWEEP, stdin=json.dumps([data.hex() for data in inputs]))


def png_prefix_outcome(n):
    """What the first n bytes of SMALL_PNG must give."""
    if n < 8:
        return ["builtins.ValueError", "Unsupported image format"]
    pos, idat = 8, b""
    for ctype, data in PNG_CHUNKS:
        if n == pos:  # a clean end before this chunk
            if ctype == b"IHDR":
                return ["builtins.ValueError", "Incomplete PNG header information"]
            try:
                raw = zlib.decompress(idat)
            except zlib.error as e:
                return ["zlib.error", str(e)]
            return ["ok", PIXELS] if len(raw) == 26 else MALFORMED
        for part, size in (("length", 4), ("type", 4), ("data", len(data)), ("CRC", 4)):
            if n < pos + size:
                return ["builtins.ValueError", EOF[part]]
            pos += size
        if ctype == b"IDAT":
            idat += data
    return ["ok", PIXELS]


def test_every_truncation_of_a_png():
    got = sweep([SMALL_PNG[:n] for n in range(len(SMALL_PNG) + 1)])
    assert [result[:2] for result in got] == [png_prefix_outcome(n) for n in range(len(SMALL_PNG) + 1)]
    assert got[-1][:2] == ["ok", PIXELS]


def bmp_prefix_outcome(n):
    for end, result in [(1, ["builtins.ValueError", "Unsupported image format"]),
                        (13, ["builtins.ValueError", "Unsupported BMP header"]),
                        (17, ["builtins.ValueError", "Corrupted BMP DIB header"]),
                        (53, ["struct.error"]),
                        (len(SMALL_BMP) - 1, INCOMPLETE)]:
        if n <= end:
            return result
    return ["ok", [[3, 2], list(range(9)) + list(range(50, 59))]]


def test_every_truncation_of_a_bmp():
    got = sweep([SMALL_BMP[:n] for n in range(len(SMALL_BMP) + 1)])
    for n, result in enumerate(got):
        assert result[:len(bmp_prefix_outcome(n))] == bmp_prefix_outcome(n), n


def flips(data):
    out = []
    for i in range(len(data)):
        for bit in range(8):
            flipped = bytearray(data)
            flipped[i] ^= 1 << bit
            out.append((i, bytes(flipped)))
    return out


DOCUMENTED = {"ok", "builtins.ValueError", "struct.error", "zlib.error", "builtins.OverflowError"}


def test_bit_flips_in_a_png():
    cases = flips(SMALL_PNG)
    lengths, pos = set(), 8
    for _, data in PNG_CHUNKS:
        lengths.update(range(pos, pos + 4))
        pos += 12 + len(data)
    for (i, _), result in zip(cases, sweep([data for _, data in cases])):
        if i < 8:
            assert result[:2] == ["builtins.ValueError", "Unsupported image format"], i
        elif i in lengths:
            assert result[0] == "builtins.ValueError" and result[1] in (EOF["data"], EOF["CRC"], CORRUPT), i
        else:  # type, data and CRC are all covered by the CRC
            assert result[:2] == ["builtins.ValueError", CORRUPT], i


def test_bit_flips_in_a_bmp():
    cases = flips(SMALL_BMP)
    pixels = list(range(9)) + list(range(50, 59))
    for (i, _), result in zip(cases, sweep([data for _, data in cases])):
        assert result[0] in DOCUMENTED, (i, result)
        if i < 2:
            assert result[:2] == ["builtins.ValueError", "Unsupported image format"], i
        elif 2 <= i < 10 or 34 <= i:
            # file size, reserved fields, image size, resolution, colour counts and the pixel rows
            assert result[0] == "ok", (i, result)
            changed = sum(bin(a ^ b).count("1") for a, b in zip(result[1][1], pixels))
            in_pixels = i >= 54 and (i - 54) % 12 < 9  # rows of 9 pixel bytes and 3 pad bytes
            assert (result[1][0], changed) == ([3, 2], 1 if in_pixels else 0), (i, result)
        elif 14 <= i < 18:
            assert result[:2] == ["builtins.ValueError", "Only BITMAPINFOHEADER BMP files are supported"], i
        elif 26 <= i < 34:
            assert result[:2] == ["builtins.ValueError", "Only uncompressed 24-bit BMP files are supported"], i


def test_native_work_out_of_memory_is_memory_error(tmp_path):
    # A save whose compressor cannot get its output buffer under a capped
    # address space: the host's MemoryError, not a C++ exception through it.
    body = ("im = SimpleImage(4000, 4000, bytes(48000000))\nbound(40 << 20)\n"
            "print(json.dumps(outcome(lambda: im.save(%r))))" % str(tmp_path / "out.png"))
    got = child(body, extra=40 << 20)
    assert got[:1] == ["builtins.MemoryError"]
