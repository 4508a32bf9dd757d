#!/usr/bin/env python3
"""fuzz/fuzz_python.py: atheris over the module's Python surface.

    python fuzz/fuzz_python.py [libFuzzer flags] [corpus dirs]

Each input is a file's bytes: SimpleImage.open() of it, _readChunk() over it
until it fails or ends, and, for whatever decodes, save() and saveBmp() to a
temporary folder and open() again, which must give the same pixels (and for
PNG the same filter types). An input starting with b"W" instead drives the
writers (_writePng, _writeBmp, _makeChunk, _split_idat_payload) with
arguments taken from its bytes. A PNG is mutated with its structure kept
(the scanline stream inflated, mutated and deflated again; a chunk's data
changed, dropped or repeated; CRCs made right) as often as its bytes are.

Any exception other than the documented ones is a finding, and so is a crash
or a sanitizer report. The seeds are written to build/fuzz-py/seeds at each
start (hand-made images, the W inputs, past findings from fuzz/corpus/python/,
and the PNG and BMP files of
<repo>/../shared/corpus, read at run time) and always read; new inputs go to
the first corpus folder given, else to build/fuzz-py/corpus; a crashing input
to build/fuzz-py/artifacts/.
"""
import io
import os
import pathlib
import random
import struct
import sys
import tempfile
import zlib

import atheris

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests" / "python"))

with atheris.instrument_imports():
    import pngtools
    from Corvane import simpleImage_ext as ext
    from Corvane.simpleImage_ext import SimpleImage

ALLOWED = (ValueError, TypeError, OverflowError, zlib.error, struct.error, MemoryError, OSError)
SIG = pngtools.SIGNATURE
TMP = tempfile.mkdtemp(prefix="corvane-fuzz-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)


class _Null(io.TextIOBase):
    def write(self, s):  # open() prints a line per image
        return len(s)


def quiet(fn, *args, also=()):
    """fn(*args), None when it raises a documented exception (or one of `also`)."""
    saved, sys.stdout = sys.stdout, _Null()
    try:
        return fn(*args)
    except ALLOWED + also:
        return None
    finally:
        sys.stdout = saved


def same_image(a, b, what, whole=True):
    """b, read back from what a was saved as, has a's pixels (and, when whole,
    its alpha and filter types: saveBmp drops both)."""
    if a.size != b.size or bytes(a._pixels) != bytes(b._pixels):
        raise AssertionError(f"{what}: pixels differ after the round trip")
    if whole and a._alpha is not None and bytes(a._alpha) != bytes(b._alpha or b""):
        raise AssertionError(f"{what}: alpha differs after the round trip")
    if whole and a._png_filters is not None and bytes(a._png_filters) != bytes(b._png_filters or b""):
        raise AssertionError(f"{what}: filter types differ after the round trip")


def check_open(data):
    img = quiet(SimpleImage.open, data)
    if img is None:
        return
    path = os.path.join(TMP, "out.png")
    if quiet(img.save, path) is None and os.path.exists(path):
        # What save wrote from an image that opened must open again.
        back = quiet(SimpleImage.open, path)
        if back is None:
            raise AssertionError("save wrote a file that does not open")
        same_image(img, back, "save")
        os.unlink(path)
    bmp = os.path.join(TMP, "out.bmp")
    if quiet(img.saveBmp, bmp) is None and os.path.exists(bmp):
        back = quiet(SimpleImage.open, bmp)
        if back is None:
            raise AssertionError("saveBmp wrote a file that does not open")
        same_image(img, back, "saveBmp", whole=False)
        os.unlink(bmp)
    quiet(img.copy)


def check_chunks(data):
    stream = io.BytesIO(data[8:] if data[:8] == SIG else data)
    for _ in range(64):
        if quiet(ext._readChunk, stream) is None:
            break


def check_writers(data):
    fdp = atheris.FuzzedDataProvider(data)
    w, h = fdp.ConsumeIntInRange(-2, 40), fdp.ConsumeIntInRange(-2, 40)
    pixels = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 3 * 40 * 40 + 8))
    alpha = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 40 * 40 + 4)) if fdp.ConsumeBool() else None
    filters = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 44)) if fdp.ConsumeBool() else None
    lengths = [fdp.ConsumeIntInRange(-(1 << 40), 1 << 40) for _ in range(fdp.ConsumeIntInRange(0, 6))]
    path = os.path.join(TMP, "w.png")
    # alpha and filter types go through a writable byte view, so bytes there
    # is BufferError (png/encode.cpp byte_view): reported, not in the list.
    quiet(ext._writePng, path, w, h, pixels, alpha, filters, also=(BufferError,))
    # A pixel buffer shorter than width * height * 3 is IndexError, as a
    # Python writer indexing it would raise (tests/python/test_bmp_write.py).
    meta = {"xppm": fdp.ConsumeIntInRange(-(1 << 33), 1 << 33)}
    quiet(ext._writeBmp, os.path.join(TMP, "w.bmp"), w, h, pixels, meta, also=(IndexError,))
    chunk = quiet(ext._makeChunk, fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 6)), fdp.ConsumeBytes(64))
    if chunk is not None:
        check_chunks(chunk)
    quiet(ext._split_idat_payload, fdp.ConsumeBytes(200), lengths)
    for f in ("w.png", "w.bmp"):
        if os.path.exists(os.path.join(TMP, f)):
            check_open(pathlib.Path(TMP, f).read_bytes())
            os.unlink(os.path.join(TMP, f))


def TestOneInput(data):
    if data[:1] == b"W":
        check_writers(data[1:])
        return
    check_open(data)
    check_chunks(data)


# --- structure-aware mutation ---------------------------------------------

def parse(data):
    """[(type, data)] of a PNG's chunks, None if it does not split cleanly."""
    out, pos = [], 8
    while pos + 12 <= len(data):
        (n,) = struct.unpack(">I", data[pos:pos + 4])
        if pos + 12 + n > len(data):
            return None
        out.append((data[pos + 4:pos + 8], data[pos + 8:pos + 8 + n]))
        pos += 12 + n
    return out if out and pos == len(data) else None


def build(chunks):
    return SIG + b"".join(pngtools.chunk(t, d) for t, d in chunks)


def mutate_png(data, max_size, rng):
    chunks = parse(data)
    if not chunks:
        return None
    kind = rng.randrange(4)
    if kind == 0:  # the scanline stream, inflated, mutated, deflated, re-cut
        joined = b"".join(d for t, d in chunks if t == b"IDAT")
        try:
            raw = zlib.decompress(joined)
        except zlib.error:
            raw = joined
        raw = atheris.Mutate(raw, max(len(raw) * 2, 64))
        packed = zlib.compress(raw, rng.choice([0, 1, 6, 9]))
        cuts = sorted(rng.randrange(len(packed) + 1) for _ in range(rng.randrange(3)))
        pieces = [packed[a:b] for a, b in zip([0] + cuts, cuts + [len(packed)])]
        first = next((i for i, (t, _) in enumerate(chunks) if t == b"IDAT"), len(chunks) - 1)
        rest = [c for c in chunks if c[0] != b"IDAT"]
        chunks = rest[:first] + [(b"IDAT", p) for p in pieces] + rest[first:]
    elif kind == 1:  # one chunk's data (IHDR often)
        i = 0 if rng.random() < 0.4 else rng.randrange(len(chunks))
        t, d = chunks[i]
        chunks[i] = (t, atheris.Mutate(d, len(d) + 16))
    elif kind == 2:  # drop, repeat or move a chunk
        i, j = rng.randrange(len(chunks)), rng.randrange(len(chunks))
        op = rng.randrange(3)
        if op == 0:
            del chunks[i]
        elif op == 1:
            chunks.insert(j, chunks[i])
        else:
            chunks.insert(j, chunks.pop(i))
    else:  # a chunk's type
        i = rng.randrange(len(chunks))
        chunks[i] = (atheris.Mutate(chunks[i][0], 4).ljust(4, b"A")[:4], chunks[i][1])
    out = build(chunks)
    return out if len(out) <= max_size else None


def CustomMutator(data, max_size, seed):
    rng = random.Random(seed)
    if data[:8] == SIG and rng.random() < 0.5:
        out = mutate_png(data, max_size, rng)
        if out is not None:
            return out
    return atheris.Mutate(data, max_size)


# --- seeds ----------------------------------------------------------------

def seeds():
    t = pngtools
    rng = random.Random(1)
    rows = lambda w, h, bpp: [bytes(rng.randrange(256) for _ in range(w * bpp)) for _ in range(h)]
    yield t.image(3, 2, rows(3, 2, 3), filters=[1, 4])
    yield t.image(7, 5, rows(7, 5, 4), colour=6, filters=[0, 1, 2, 3, 4], lengths=(10, 20))
    yield t.image(6, 3, rows(6, 3, 3), filters=[2, 3, 4], extra=[t.chunk(b"tEXt", b"Comment\0fuzz")])
    yield t.image(1, 1, rows(1, 1, 4), colour=6, tail=b"trailing")
    yield t.bmp(rows(5, 3, 3))
    yield t.bmp(rows(2, 4, 3), top_down=True, gap=b"\0" * 6)
    yield b"W" + bytes(rng.randrange(256) for _ in range(400))
    yield b"W\x05\x07" + bytes(range(256))
    for f in sorted((REPO / "fuzz" / "corpus" / "python").glob("*")):  # past findings
        yield f.read_bytes()
    corpus = REPO.parent / "shared" / "corpus"
    for f in sorted(corpus.rglob("*")):
        if f.suffix.lower() in (".png", ".bmp") and f.stat().st_size <= 16384:
            yield f.read_bytes()


def main():
    args = sys.argv[1:]
    seed_dir, work = REPO / "build" / "fuzz-py" / "seeds", REPO / "build" / "fuzz-py" / "corpus"
    if not any(not a.startswith("-") for a in args):
        work.mkdir(parents=True, exist_ok=True)
        args.append(str(work))
    seed_dir.mkdir(parents=True, exist_ok=True)
    for i, data in enumerate(seeds()):
        (seed_dir / f"seed-{i:03d}").write_bytes(data)
    args.append(str(seed_dir))
    artifacts = REPO / "build" / "fuzz-py" / "artifacts"
    artifacts.mkdir(parents=True, exist_ok=True)
    flags = ["-max_len=65536", f"-artifact_prefix={artifacts}/"]
    atheris.Setup([sys.argv[0]] + flags + args, TestOneInput, custom_mutator=CustomMutator)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
