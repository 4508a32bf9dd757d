"""One way of reading a PNG behind every way in: the file read once, every
byte inflated checked by its chunk's CRC; the same outcome from open(bytes),
open(path) and a caller's stream on damaged files; the size rule (the first
byte too many) on every path; no thread needed; a short file costs what it
holds."""
import os
import random
import resource
import subprocess
import sys
import textwrap
import zlib

import pytest

import pngtools as pt
from conftest import PYPY, Reader

IEND = pt.chunk(b"IEND")


def outcome(reader, data):
    """What reading data gives: the loader result, or the exception's type and text."""
    try:
        return ("ok",) + reader.load(data)
    except Exception as e:  # noqa: BLE001 - the outcome is what is compared
        return (type(e).__name__, str(e))


# --- the same outcome, whichever way the file comes in ------------------------

def damaged(seed):
    """A small image and damaged copies of it: cut anywhere, bits flipped (the CRC left
    wrong or put right), its IDAT data damaged under a correct CRC, a chunk's length changed."""
    rng = random.Random(seed)
    colour = rng.choice([2, 6])
    width, height = rng.randrange(1, 9), rng.randrange(1, 9)
    bpp = 3 if colour == 2 else 4
    rows = [bytes(rng.randrange(256) for _ in range(width * bpp)) for _ in range(height)]
    lengths = sorted(rng.sample(range(1, 40), rng.randrange(0, 3)))
    good = pt.image(width, height, rows, colour=colour, filters=[rng.randrange(5) for _ in range(height)],
                    lengths=lengths, extra=[pt.chunk(b"tEXt", b"k\0v")])
    yield good
    chunks = pt.parse(good)
    for _ in range(8):
        yield good[:rng.randrange(len(good))]
    for fix_crc in (False, True):
        for _ in range(6):
            i = rng.randrange(len(chunks))
            t, d = chunks[i]
            if not d:
                continue
            d = bytearray(d)
            d[rng.randrange(len(d))] ^= 1 << rng.randrange(8)
            crc = None if fix_crc else zlib.crc32(t + bytes(chunks[i][1])) & 0xFFFFFFFF
            yield pt.png(*[pt.chunk(tt, bytes(d) if j == i else dd, crc if j == i else None)
                           for j, (tt, dd) in enumerate(chunks)])
    stream = zlib.compress(pt.scanlines(rows, [0] * height, bpp))
    for change in (stream[:-1], stream + b"\0", stream[:-4] + b"\0\0\0\0", stream[:2] + stream[3:],
                   zlib.compress(pt.scanlines(rows, [0] * height, bpp) + b"\0")):
        yield pt.png(pt.chunk(b"IHDR", pt.ihdr(width, height, colour=colour)), pt.chunk(b"IDAT", change), IEND)
    at = 8 + 25 + rng.randrange(2) * 15  # the length field of the chunk after IHDR, or of the one after it
    yield good[:at] + (int.from_bytes(good[at:at + 4], "big") + rng.choice([-1, 1, 1000])).to_bytes(4, "big") \
        + good[at + 4:]


@pytest.mark.parametrize("seed", range(30))
def test_every_way_in_reads_damaged_files_alike(tmp_path, seed):
    ways = [Reader(how, tmp_path) for how in ("bytes", "path", "stream")]
    for data in damaged(seed):
        results = [outcome(way, data) for way in ways]
        assert results[0] == results[1] == results[2], (seed, data.hex())


# --- the first byte too many, wherever the data is cut ----------------------------

def one_too_many(checksum_ok):
    """Image data that inflates to one byte past what a 7 x 5 RGB header needs, then
    ends well, or fails its checksum."""
    raw = pt.scanlines([bytes(21)] * 5, [0] * 5, 3) + b"\0"
    stream = zlib.compress(raw)
    return stream if checksum_ok else stream[:-4] + bytes(b ^ 0xFF for b in stream[-4:])


@pytest.mark.parametrize("checksum_ok", [True, False])
@pytest.mark.parametrize("cut", ["whole", "checksum alone", "every byte"])
def test_the_first_byte_too_many_is_malformed_on_every_path(read, checksum_ok, cut):
    stream = one_too_many(checksum_ok)
    pieces = {"whole": [stream], "checksum alone": [stream[:-4], stream[-4:]],
              "every byte": [stream[i:i + 1] for i in range(len(stream))]}[cut]
    data = pt.png(pt.chunk(b"IHDR", pt.ihdr(7, 5)), *[pt.chunk(b"IDAT", p) for p in pieces], IEND)
    assert read.refusal(data) == "Malformed PNG image data"


# --- the file read once ---------------------------------------------------------

# A file whose IDAT data (one row of uniform pixels, stored uncompressed) and a
# tEXt chunk after it carry a version number, before a large chunk that takes a
# while to walk; a writer rewrites the versioned part in place over and over.
# Read in order, once, the pixels can only be as old as the text or older.
VERSIONED = """
    import os, struct, sys, zlib
    path, width = sys.argv[1], int(sys.argv[2])
    def chunk(t, d):
        return struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d) & 0xFFFFFFFF)
    def part(k):
        raw = b"\\0" + k.to_bytes(3, "big") * width
        return chunk(b"IDAT", zlib.compress(raw, 0)) + chunk(b"tEXt", b"v\\0%08d" % k)
    head = b"\\x89PNG\\r\\n\\x1a\\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, 1, 8, 2, 0, 0, 0))
    big = chunk(b"zzZz", bytes(16 << 20))
    with open(path, "wb") as f:
        f.write(head + part(0) + big + chunk(b"IEND", b""))
    fd = os.open(path, os.O_WRONLY)
    print("ready", flush=True)
    k = 1
    while True:
        os.pwrite(fd, part(k % 10 ** 8), len(head))
        k += 1
"""


def versions(im):
    pixel = int.from_bytes(bytes(im._pixels[:3]), "big")
    assert bytes(im._pixels) == pixel.to_bytes(3, "big") * im.width  # never torn
    text = next(d for t, d, _ in im._png_chunks if t == b"tEXt")
    return pixel, int(text[2:])


def test_a_file_rewritten_while_it_is_read_gives_no_image_of_two_versions(m, tmp_path, capsys):
    path, width = tmp_path / "changing.png", 2000
    writer = subprocess.Popen([sys.executable, "-c", textwrap.dedent(VERSIONED), str(path), str(width)],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert writer.stdout.readline() == "ready\n"
        opened = refused = 0
        for _ in range(40):
            try:
                im = m.SimpleImage.open(str(path))
            except ValueError as e:  # a chunk read while it was being written
                assert str(e) == "Corrupted PNG chunk detected"
                refused += 1
                continue
            pixel, text = versions(im)
            assert pixel <= text, "pixels of a later version than a chunk that follows them"
            opened += 1
    finally:
        writer.kill()
        writer.wait()
        writer.stdout.close()
    capsys.readouterr()
    assert opened > 0, refused


# A file cut short and put back over and over: what an open meets is a file
# cut somewhere, or whole, never an I/O error the disk did not give.
TRUNCATING = """
    import os, sys, time
    path = sys.argv[1]
    data = open(path, "rb").read()
    fd = os.open(path, os.O_WRONLY)
    print("ready", flush=True)
    k = 0
    while True:
        k += 1
        cut = len(data) - 1 - (k * 7919) % (len(data) // 4)  # somewhere in its last quarter
        os.ftruncate(fd, cut)
        time.sleep(0.0005)
        os.pwrite(fd, data[cut:], cut)
        time.sleep(0.001)
"""


def test_a_file_cut_while_it_is_read_fails_as_a_cut_file(m, tmp_path, capsys):
    rng = random.Random(5)
    rows = [bytes(rng.randrange(256) for _ in range(3000)) for _ in range(1000)]
    path = tmp_path / "cut.png"
    path.write_bytes(pt.image(1000, 1000, rows, lengths=[1 << 16] * 40))
    writer = subprocess.Popen([sys.executable, "-c", textwrap.dedent(TRUNCATING), str(path)],
                              stdout=subprocess.PIPE, text=True)
    cut_messages = {"Unexpected EOF while reading chunk %s" % p for p in ("length", "type", "data", "CRC")}
    cut_messages |= {"Corrupted PNG chunk detected", "Incomplete PNG header information"}
    try:
        assert writer.stdout.readline() == "ready\n"
        for _ in range(100):
            try:
                im = m.SimpleImage.open(str(path))
            except ValueError as e:
                assert str(e) in cut_messages
            except zlib.error as e:  # cut between two IDAT chunks
                assert str(e) == "Error -5 while decompressing data: incomplete or truncated stream"
            else:
                assert bytes(im._pixels) == b"".join(rows)
    finally:
        writer.kill()
        writer.wait()
        writer.stdout.close()
    capsys.readouterr()


# --- no thread to be had ----------------------------------------------------------

NO_THREADS = """
    import threading, zlib
    from Corvane.simpleImage_ext import SimpleImage
    try:
        threading.Thread(target=lambda: None).start()
        print("threads")
    except RuntimeError:
        pass
    raw = bytes(range(256)) * 4096 + b"\\0"
    for path in (PATHS):
        im = SimpleImage.open(path)
        print(zlib.crc32(im._pixels), zlib.crc32(im._alpha or b""))
"""


def no_threads():
    # glibc sizes every thread's stack by this limit, which no memory can back
    resource.setrlimit(resource.RLIMIT_STACK, (1 << 42, 1 << 42))


@pytest.mark.parametrize("colour", [2, 6])
def test_an_open_needs_no_second_thread(m, tmp_path, capsys, colour):
    rng = random.Random(colour)
    bpp = 3 if colour == 2 else 4
    rows = [bytes(rng.randrange(256) for _ in range(600 * bpp)) for _ in range(500)]  # a stream of 1.2 MB
    path = tmp_path / "big.png"
    path.write_bytes(pt.image(600, 500, rows, colour=colour, filters=[y % 5 for y in range(500)]))
    im = m.SimpleImage.open(str(path))
    want = "%d %d\n" % (zlib.crc32(im._pixels), zlib.crc32(im._alpha or b""))
    code = textwrap.dedent(NO_THREADS).replace("PATHS", repr(str(path)) + ", open(%r, 'rb').read()" % str(path))
    proc = subprocess.run([sys.executable, "-c", code], preexec_fn=no_threads, capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    lines = proc.stdout.splitlines(keepends=True)
    if lines and lines[0] == "threads\n":
        pytest.skip("threads could still be started in the child")
    assert [line for line in lines if not line.startswith("[")] == [want, want]


# --- a short file costs what it holds ---------------------------------------------

SHORT_FILE = """
    import contextlib, io, sys
    from Corvane.simpleImage_ext import SimpleImage
    data = DATA
    def status(key):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) << 10 for line in f if line.startswith(key + ":"))
    with contextlib.redirect_stdout(io.StringIO()):
        SimpleImage.open(SMALL)
    tracing = TRACE
    if tracing:
        import tracemalloc
        tracemalloc.start()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS")
    for _ in range(3):
        try:
            SimpleImage.open(data)
        except ValueError as e:
            assert str(e) == "Malformed PNG image data", e
    peak = tracemalloc.get_traced_memory()[1] if tracing else status("VmHWM") - before
    print(peak)
"""


def test_a_short_file_with_a_large_header_costs_what_it_holds():
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizers' instrumentation is what such a run would measure")
    # 4096 x 4095 RGBA, just under what planes are made whole for, with data for two rows
    stream = zlib.compress(pt.scanlines([bytes(4096 * 4)] * 2, [0, 0], 4))
    data = pt.png(pt.chunk(b"IHDR", pt.ihdr(4096, 4095, colour=6)), pt.chunk(b"IDAT", stream), IEND)
    assert len(data) < 200
    # CPython leaves untouched memory unbacked, so what it allocates is counted there
    code = (textwrap.dedent(SHORT_FILE).replace("DATA", repr(data)).replace("SMALL", repr(pt.image(1, 1, [b"abc"])))
            .replace("TRACE", repr(not PYPY)))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert int(proc.stdout.split()[-1]) < 8 << 20

