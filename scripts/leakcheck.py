"""scripts/leakcheck.py: the workload and the verdict of scripts/leakcheck.sh.

  leakcheck.py run ROUNDS
      Every way into the module, success and failure alike, ROUNDS times over:
      the bad inputs of tests/python/test_bad_input.py, the loops of
      test_leaks.py, streams and objects that raise or answer wrongly at each
      step, stand-ins for the module's late-bound names, refused writes.
  leakcheck.py report lsan|valgrind ROUNDS LOG...
      Reads the leak records of those logs. A record is the module's when a
      frame of its stack lies in simpleImage_ext, or when it holds at least
      ROUNDS blocks: a leaked reference to an object the caller made has no
      frame of ours in its stack, nor has an object whose memory came from
      one of the host's free lists (the stack is that of the first
      allocation), but either leaks once per round. Prints those records in
      full and exits 1 if there is any.

Arguments are made afresh in each round, so that a reference the module
keeps by mistake leaves an object nothing points to, which is what the leak
checkers see. A kept reference to an object that lives on anyway, or to one
the cycle collector tracks (its lists keep it reachable), is invisible to
them: the run counts those itself.
"""
import collections
import contextlib
import gc
import io
import os
import pathlib
import re
import sys
import tempfile
import time
import types
import zlib

TESTS = pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"


class Boom(Exception):
    pass


def boom(*_):
    raise Boom("raised by the caller's object")


class Hostile:
    """Every conversion, comparison, length, iteration and item access raises."""
    __index__ = __int__ = __len__ = __iter__ = __getitem__ = boom
    __lt__ = __le__ = __gt__ = __ge__ = __eq__ = __ne__ = boom
    __add__ = __radd__ = __mul__ = __rmul__ = __and__ = __rand__ = boom
    __hash__ = object.__hash__


class LyingLength:
    """Says it holds n items and yields one fewer."""
    def __init__(self, n):
        self.n = n

    def __len__(self):
        return self.n

    def __iter__(self):
        return iter(range(self.n - 1))


class RaisingIter:
    """Yields `good` items, then raises."""
    def __init__(self, good, item=1):
        self.good, self.item = good, item

    def __iter__(self):
        for _ in range(self.good):
            yield self.item
        raise Boom("midway")


class Sliceable:
    """A sequence whose slicing raises."""
    def __len__(self):
        return 4

    def __getitem__(self, key):
        raise Boom("slice")


class Int(int):
    """Not an exact int: takes the general pixel paths."""


class Key:
    """A pixel index whose __index__ raises, as a coordinate's arithmetic may give one."""
    def __add__(self, other):
        return self
    __radd__ = __mul__ = __rmul__ = __add__
    __index__ = boom


class Coord(int):
    """A coordinate that compares as an int but adds up to a Key."""
    def __add__(self, other):
        return Key()
    __radd__ = __add__


class Unformattable(int):
    """An int whose format() raises: open's report of the size fails."""
    __format__ = boom


class Failing(io.BytesIO):
    """A stream whose call number `at` (read, seek or readinto) answers `how`:
    raises, returns the wrong type, or returns nothing."""
    def __init__(self, data, at, how):
        super().__init__(data)
        self.at, self.how = at, how

    def _turn(self):
        self.at -= 1
        return self.at == -1

    def _odd(self):
        if self.how == "raise":
            raise Boom("stream")
        return 42 if self.how == "int" else b""

    def read(self, n=-1):
        return self._odd() if self._turn() else super().read(n)

    def seek(self, pos, whence=0):
        return self._odd() if self._turn() else super().seek(pos, whence)

    def readinto(self, buffer):
        return self._odd() if self._turn() else super().readinto(buffer)


class Counting(io.BytesIO):
    """Counts the reads and seeks made on it."""
    def __init__(self, data):
        super().__init__(data)
        self.calls = 0

    def read(self, n=-1):
        self.calls += 1
        return super().read(n)

    def seek(self, pos, whence=0):
        self.calls += 1
        return super().seek(pos, whence)


def under(m, name, value, call):
    """call() with the module's `name` bound to a stand-in, put back afterwards."""
    ns = m.__dict__
    old = ns[name]
    ns[name] = value
    try:
        return call()
    finally:
        ns[name] = old


def fresh(data):
    """A new bytes object equal to data."""
    return bytes(bytearray(data))


def calls(m, tmp):
    """The calls of one round, as a list of functions of no arguments."""
    import test_bad_input
    import test_leaks
    from pngtools import ihdr
    S = m.SimpleImage
    png, bmp, bad_inputs = test_leaks.codec_files()
    path, png_path, bmp_path = str(tmp / "out"), tmp / "in.png", tmp / "in.bmp"
    png_path.write_bytes(png)
    bmp_path.write_bytes(bmp)
    out = []

    # The README's table of bad input: each opening call gets a new copy of
    # its file, which also goes through a stream only the decoders read.
    for row in test_bad_input.INPUTS.values():
        for call in row:
            if call.__defaults__ and isinstance(call.__defaults__[0], bytes):
                data = call.__defaults__[0]
                out.append(lambda c=call, d=data: c(fresh(d)))
                out.append(lambda d=data: S._streamToImage(io.BytesIO(fresh(d))))
            else:
                out.append(call)

    # The loops of test_leaks.py.
    big = bytes(64 * 64 * 3)

    class Sub(S):
        pass

    out.append(lambda: test_leaks.workload(m, big, Sub))
    out.append(lambda: test_leaks.codec_workload(m, (png, bmp, [fresh(d) for d in bad_inputs]), path))

    # Success paths, with new objects each time.
    def success():
        for source in (fresh(png), bytearray(png), fresh(bmp), str(png_path), png_path, "".join([str(bmp_path)])):
            im = S.open(source)
            im.copy().save(path)
            im.saveBmp(path)
            S.open(im)
            Sub.open(source)
        S._streamToImage(io.BytesIO(fresh(png)))
        S._streamToImage(io.BytesIO(fresh(bmp)))
        m._readChunk(io.BytesIO(fresh(png[8:])))
        m._makeChunk(fresh(b"tEXt"), fresh(b"k\0v"))
        m._split_idat_payload(fresh(b"abcdefgh"), [3, True, 4])
        im = S(2, 2, bytearray(12), alpha=bytearray(4), png_filters=bytearray(2),
               png_chunks=[(b"IHDR", ihdr(2, 2, colour=6), 13), (b"IDAT", None, 3), (b"IDAT", None, 3),
                           (b"IEND", b"", 0)])
        im.getPixel((Int(1), Int(1)))
        im.putPixel((Int(1), 1), [Int(7), 2.5, True])
        im.putPixel((1, 1), (1 << 70, -1, 3))
        im.save(path)
        S.open(path).copy()
        import inspect
        inspect.signature(S.putPixel)
        inspect.signature(S)
        repr(S.open), S.open.__reduce__()
        f = m._writeBmp
        f.__doc__, f.__annotations__ = "doc", {"x": 1}
        f.__doc__, f.__annotations__ = None, {"return": "None"}
        f.tag = object()
        del f.tag
        bound = im.copy
        bound()
        im.putPixel(coords=(0, 0), value=(1, 2, 3))
        S(width=1, height=1, pixels=b"abc").getPixel(coords=(0, 0))
    out.append(success)

    # Streams that raise, or answer with the wrong type or nothing, at each
    # call a good load makes; and at each call _readChunk makes.
    for data in (png, bmp):
        counter = Counting(data)
        S._streamToImage(counter)
        for at in range(counter.calls + 1):
            for how in ("raise", "int", "empty"):
                out.append(lambda d=data, a=at, h=how: S._streamToImage(Failing(fresh(d), a, h)))
    for at in range(6):
        for how in ("raise", "int", "empty"):
            out.append(lambda a=at, h=how: m._readChunk(Failing(fresh(png[8:]), a, h)))
    big_length = b"\x7f\xff\xff\xffIDAT" + b"x" * 20  # read in pieces, the last one short
    out.append(lambda: m._readChunk(io.BytesIO(fresh(big_length))))

    # Caller objects that raise or lie, in every argument that converts them.
    im = S(2, 2, bytearray(12), alpha=bytearray(4), png_chunks=[(b"IEND", b"", 0)], png_filters=bytearray(2),
           bmp_header={"xppm": 1})
    hostile_calls = [
        lambda: S(Hostile(), 1, b"abc"), lambda: S(1, Hostile(), b"abc"), lambda: S(1, 1, Hostile()),
        lambda: S(1, 1, LyingLength(3)), lambda: S(1, 1, b"abc", alpha=Hostile()),
        lambda: S(1, 1, b"abc", alpha=LyingLength(1)), lambda: S(1, 1, b"abc", png_chunks=RaisingIter(2)),
        lambda: S(1, 1, b"abc", png_filters=Hostile()), lambda: S(1, 1, b"abc", png_filters=LyingLength(1)),
        lambda: S(1, 1, b"abc", bmp_header=Hostile()), lambda: S(1, 1, b"abc", bmp_header=[(1, 2, 3)]),
        lambda: S(width=1, height=1, pixels=b"abc", alpha=None, png_chunks=None, bmp_header=None, png_filters=None,
                  bogus=fresh(b"x")),
        lambda: S(1, 1, b"abc", width=1),
        lambda: setattr(im, "width", Hostile()), lambda: setattr(im, "height", "x"), lambda: delattr(im, "width"),
        lambda: setattr(im, "_pixels", fresh(b"abc")),
        lambda: im.getPixel((Hostile(), 0)), lambda: im.getPixel((0, Hostile())),
        lambda: im.getPixel((Coord(1), 0)), lambda: im.putPixel((Coord(1), 1), (1, 2, 3)),
        lambda: im.getPixel((Coord(9), 0)), lambda: im.putPixel((0, 0), RaisingIter(2)),
        lambda: im.putPixel((0, 0), [1, Hostile(), 3]), lambda: im.putPixel((Coord(0), 0), (1, Hostile(), 3)),
        lambda: im.putPixel((0, 0), Hostile()), lambda: im.putPixel((0, 0), [1, 2, 3, 4]),
        lambda: im.getPixel((0, 0, 0)), lambda: im.getPixel(coords=(0, 0), extra=1),
        lambda: S.getPixel(5, (0, 0)), lambda: S.getPixel(), lambda: im.copy(1),
        lambda: im.__setstate__(fresh(b"state")),
        lambda: setattr(m._writeBmp, "__name__", 3), lambda: setattr(m._writeBmp, "__qualname__", None),
        lambda: setattr(m._writeBmp, "__annotations__", 3),
        lambda: S._streamToImage(Hostile()), lambda: S._streamToImage(fresh(png)),
        lambda: m._readChunk(io.BytesIO(fresh(b"\0\0\0\x04IDA"))),
        lambda: m._split_idat_payload(fresh(b"abcdef"), [Hostile()]),
        lambda: m._split_idat_payload(fresh(b"abcdef"), [2.0, Hostile()]),
        lambda: m._split_idat_payload(fresh(b"abcdef"), fresh(b"ab")),
        lambda: m._makeChunk(fresh(b"IHDR"), bytearray(b"x")),
    ]
    out += hostile_calls

    # Images whose fields were replaced, then copied, or read and written
    # through the general pixel path.
    def changed(field, value, op):
        def call():
            dup = S(2, 2, bytearray(12), alpha=bytearray(4))
            setattr(dup, field, value)
            op(dup)
        return call
    copy, get, put = (lambda im: im.copy()), (lambda im: im.getPixel((1, 1))), \
        (lambda im: im.putPixel((Int(1), 1), (1, 2, 3)))
    for field, value in [("_alpha", Sliceable()), ("_alpha", 5), ("_png_chunks", Sliceable()),
                         ("_png_filters", Sliceable()), ("_png_filters", b"xyz"), ("_bmp_header", 5),
                         ("_bmp_header", Hostile()), ("_alpha", fresh(b"ab"))]:
        out.append(changed(field, value, copy))
    for value in (None, bytearray(3)):
        out += [changed("_pixels", value, op) for op in (copy, get, put)]

    # Refused writes, each after the file's bytes were prepared or on the way.
    missing = str(tmp / "missing" / "out.png")
    refusals = [
        lambda: im.save(str(tmp)), lambda: im.saveBmp(str(tmp)), lambda: im.save(missing),
        lambda: S(1, 1, b"abc").save(missing), lambda: S(1, 1, b"abc", bmp_header={}).save(missing),
        lambda: m._writePng(path, 2, 1, bytearray(6), fresh(b"ab")),
        lambda: m._writePng(path, 2, 1, bytearray(6), memoryview(bytearray(4)).cast("B", [2, 2])),
        lambda: m._writePng(path, 2, 1, bytearray(6), memoryview(bytearray(2)).cast("b")),
        lambda: m._writePng(path, 2, 1, bytearray(6), None, Hostile()),
        lambda: m._writePng(path, 2, 1, bytearray(6), None, bytearray([5])),
        lambda: m._writePng(path, 2, 1, Hostile()), lambda: m._writePng(path, 2, 1, LyingLength(6)),
        lambda: m._writePngWithChunks(path, 1, 1, b"abc", None, RaisingIter(1, (b"IHDR", b"", 13))),
        lambda: m._writePngWithChunks(path, 1, 1, b"abc", None, [(b"IHDR", 5, 13), (b"IEND", b"", 0)]),
        lambda: m._writePngWithChunks(path, 1, 1, b"abc", None, [(Hostile(), b"", 0)]),
        lambda: m._writePngWithChunks(path, 1, 1, b"abc", None, [(b"IDAT", None, Hostile())]),
        lambda: m._writePngWithChunks(path, 1, 1, b"abc", None, [(b"IHDR", Hostile(), 13)]),
        lambda: m._writePngWithChunks(missing, 1, 1, b"abc", None, [(b"IDAT", None, 4), (b"IEND", None, 0)]),
        lambda: m._writeBmp(path, 1, 1, b"abc", Hostile()),
        lambda: m._writeBmp(path, 1, 1, b"abc", {"xppm": Hostile()}),
        lambda: m._writeBmp(path, 1, 1, Hostile()), lambda: m._writeBmp(path, 2, 2, bytearray(3)),
        lambda: m._writeBmp(missing, 1, 1, b"abc", {"xppm": -5}),
    ]
    out += refusals
    if os.path.exists("/dev/full"):  # the writes themselves fail: in write() for a large file, at close for a small one
        noisy = S(64, 64, os.urandom(64 * 64 * 3))
        out += [lambda: noisy.save("/dev/full"), lambda: noisy.saveBmp("/dev/full"), lambda: im.save("/dev/full"),
                lambda: im.saveBmp("/dev/full")]

    # Stand-ins for the module's late-bound names: each refuses, or answers
    # wrongly, at the point the module asks it.
    def compressor(result):
        return types.SimpleNamespace(compress=lambda raw: result(raw), crc32=zlib.crc32,
                                     decompress=lambda data: result(data))

    def raising_struct(op):
        import struct
        ns = types.SimpleNamespace(pack=struct.pack, unpack=struct.unpack)
        setattr(ns, op, boom)
        return ns

    read_chunk = m._readChunk

    def idat_as(kind, pair):
        return (pair[0], kind(pair[1])) if pair[0] == b"IDAT" else pair

    chunky = S(1, 1, b"abc", png_chunks=[(b"IHDR", b"", 13), (b"IDAT", None, 2), (b"IDAT", None, 2),
                                          (b"IEND", b"", 0)])
    stand_ins = [
        ("zlib", types.SimpleNamespace(compress=zlib.compress, decompress=zlib.decompress, crc32=zlib.crc32),
         [lambda: S.open(fresh(png)), lambda: im.save(path), lambda: chunky.save(path)]),
        ("zlib", compressor(boom), [lambda: S.open(fresh(png)), lambda: im.save(path)]),
        ("zlib", compressor(lambda d: "text"), [lambda: S.open(fresh(png)), lambda: chunky.save(path)]),
        ("zlib", compressor(lambda d: fresh(b"short")), [lambda: S.open(fresh(png))]),
        ("zlib", object(), [lambda: S.open(fresh(png)), lambda: m._makeChunk(b"IEND", b"")]),
        ("struct", raising_struct("unpack"), [lambda: S.open(fresh(png)), lambda: S.open(fresh(bmp))]),
        ("struct", raising_struct("pack"), [lambda: im.save(path), lambda: chunky.save(path),
                                            lambda: S(1, 1, b"abc").saveBmp(path)]),
        ("_readChunk", boom, [lambda: S.open(fresh(png))]),
        ("_readChunk", lambda s: (s.read(0) or b"IHDR",), [lambda: S.open(fresh(png))]),
        ("_readChunk", lambda s: RaisingIter(1, b"IHDR"), [lambda: S.open(fresh(png))]),
        ("_readChunk", lambda s: idat_as(list, read_chunk(s)), [lambda: S.open(fresh(png))]),
        ("_readChunk", lambda s: idat_as(memoryview, read_chunk(s)), [lambda: S.open(fresh(png))]),
        ("_makeChunk", lambda t, d: 5, [lambda: S(1, 1, b"abc").save(path)]),
        ("_makeChunk", boom, [lambda: S(1, 1, b"abc").save(path)]),
        ("_split_idat_payload", boom, [lambda: chunky.save(path)]),
        ("_split_idat_payload", lambda d, n: [], [lambda: chunky.save(path)]),
        ("_split_idat_payload", lambda d, n: [5], [lambda: chunky.save(path)]),
        ("_writePng", boom, [lambda: S(1, 1, b"abc").save(path)]),
        ("_writeBmp", boom, [lambda: im.saveBmp(path)]),
        ("_writePngWithChunks", boom, [lambda: chunky.save(path)]),
        ("BytesIO", boom, [lambda: S.open(fresh(png))]),
        ("BytesIO", lambda source: Hostile(), [lambda: S.open(fresh(png))]),
        ("PNG_SIGNATURE", 5, [lambda: S.open(fresh(png)), lambda: S(1, 1, b"abc").save(path)]),
        ("Path", 5, [lambda: S.open(3)]),
    ]
    for name, value, group in stand_ins:
        out += [lambda n=name, v=value, c=call: under(m, n, v, c) for call in group]

    # A subclass whose loader hands back something else than the 8 fields.
    loaded = [lambda s: (1, 1), lambda s: RaisingIter(3), boom, lambda s: (Hostile(),) * 8,
              lambda s: (Unformattable(1), 1, fresh(b"abc"), 3, None, None, None, None),
              lambda s: (1, 1, fresh(b"ab"), 3, None, None, None, None)]
    for loader in loaded:
        Loader = type("Loader", (S,), {"_streamToImage": staticmethod(loader)})
        out.append(lambda L=Loader: L.open(fresh(png)))
    return out


def tracked():
    """How many objects of each type the cycle collector tracks, after a collection."""
    gc.collect()
    return floats(collections.Counter(type(o).__qualname__ for o in gc.get_objects()))


def long_lived(m):
    """Objects that outlive the workload and that the module hands out or
    takes often: a reference to one kept by mistake only shows in its count."""
    S = m.SimpleImage
    named = dict(m.__dict__, **{"SimpleImage." + k: v for k, v in vars(S).items()})
    named.update({repr(v): v for v in (None, True, False, b"", S.open, S._streamToImage)})
    named.update({"int %d" % i: i for i in range(-5, 257)})
    return {name: v for name, v in named.items() if not name.startswith("__")}


def references(objects):
    # The type attribute cache holds a reference to None in every unused
    # entry and drops it as the entry fills: emptied, it holds the same number.
    sys._clear_type_cache()
    return floats({name: sys.getrefcount(v) for name, v in objects.items()})


def floats(numbers):
    """A plain dict of floats: one the collector does not track and that holds
    no reference to the small ints being watched."""
    return {name: float(n) for name, n in numbers.items()}


def run(rounds):
    """The workload. From 10 rounds on (below, warm-up noise is as large as
    what is looked for) it also counts, from the end of the first round to
    the end of the last, the objects the collector tracks by type and the
    references to long-lived objects, and exits 3 when any grew by one or
    more per round."""
    sys.path.insert(0, str(TESTS))
    import Corvane.simpleImage_ext as m
    counting = rounds >= 10
    snapshots = []
    with tempfile.TemporaryDirectory() as tmp, open(os.devnull, "w") as sink:
        os.chdir(tmp)  # the table's calls write "file" and "out.png" here
        todo = calls(m, pathlib.Path(tmp))
        tracked()  # its own first use fills caches (those of isinstance among them)
        watched = long_lived(m)
        raised = 0
        start = time.monotonic()
        with contextlib.redirect_stdout(sink):
            for i in range(rounds):
                for call in todo:
                    try:
                        call()
                    except Exception:
                        raised += 1
                if counting and i in (0, rounds - 1):  # both taken with the same things alive
                    snapshots.append((tracked(), references(watched)))
        seconds = time.monotonic() - start
        os.chdir("/")
    print("leakcheck: %d rounds of %d calls (%d raised) in %.1f s" % (rounds, len(todo), raised, seconds))
    if not counting:
        return
    # Objects the collector tracks stay reachable through its lists, so the
    # leak checkers never see a kept reference to one; nor one to an object
    # that lives on anyway. Both are counted here instead.
    (objects, refs), (objects_after, refs_after) = snapshots
    found = False
    for what, before, after in (("%s objects", objects, objects_after), ("references to %s", refs, refs_after)):
        for name, n in sorted(after.items()):
            if n - before.get(name, 0) >= rounds - 1:
                print("leakcheck: %d more %s after %d rounds" % (n - before.get(name, 0), what % name, rounds - 1))
                found = True
    if found:
        sys.exit(3)


# One record per leak: LeakSanitizer's "Direct leak of N byte(s) in K object(s)
# allocated from:" and valgrind's "N bytes in K blocks are definitely lost in
# loss record ...", each followed by its stack up to a blank line.
HEADS = {
    "lsan": re.compile(r"^(Direct|Indirect) leak of [\d,]+ byte\(s\) in ([\d,]+) object\(s\)"),
    "valgrind": re.compile(r"^==\d+== [\d,]+(?: \([^)]*\))? bytes in ([\d,]+) blocks are (definitely|indirectly) lost"),
}
# A frame of the module: its file when there are no line numbers, its
# namespace when there are.
MODULE = re.compile(r"simpleImage_ext|corvane::")


def records(kind, text):
    """(head, blocks, stack lines) of every leak record in a log."""
    head = HEADS[kind]
    out, current = [], None
    for line in text.splitlines():
        match = head.match(line)
        if match:
            blocks = int(match.group(2 if kind == "lsan" else 1).replace(",", ""))
            current = (line.strip(), blocks, [])
            out.append(current)
        elif current is not None and re.match(r"^(==\d+==)?\s*$", line):
            current = None
        elif current is not None:
            current[2].append(line.rstrip())
    return out


def report(kind, rounds, logs):
    found = [r for log in logs for r in records(kind, pathlib.Path(log).read_text(errors="replace"))]
    ours = [r for r in found if r[1] >= rounds or any(MODULE.search(line) for line in r[2])]
    for head, _, stack in ours:
        print(head)
        print("\n".join(stack))
        print()
    blocks = sum(r[1] for r in found)
    print("leakcheck %s: %d leak records (%d blocks) in all, %d attributed to the module" %
          (kind, len(found), blocks, len(ours)))
    return 1 if ours else 0


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "run":
        run(int(sys.argv[2]))
    elif len(sys.argv) >= 4 and sys.argv[1] == "report" and sys.argv[2] in HEADS:
        sys.exit(report(sys.argv[2], int(sys.argv[3]), sys.argv[4:]))
    else:
        sys.exit(__doc__)
