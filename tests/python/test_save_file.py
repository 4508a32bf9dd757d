"""How the writers meet the file system: a save the file system has no room for fails with the old
file whole; every error is the one the host's own open(path, "wb") and write raise for the same
situation, type and words; the file keeps its identity and permission bits; FIFOs, devices, signals,
audit hooks and a stand-in open are met as the host's open meets them."""
import ctypes
import json
import os
import shutil
import stat
import struct
import subprocess
import sys
import threading

import pytest

import Corvane.simpleImage_ext as m
from Corvane.simpleImage_ext import SimpleImage

TESTS = os.path.dirname(os.path.abspath(__file__))


def image(width=400, height=300):
    """Noise: its files are about as large as its pixels."""
    return SimpleImage(width, height, os.urandom(width * height * 3))


def kept_chunks(im):
    """A chunk list as an image opened from a PNG of two IDAT chunks keeps it."""
    ihdr = struct.pack(">IIBBBBB", im.width, im.height, 8, 2, 0, 0, 0)
    return [(b"IHDR", ihdr, 13), (b"IDAT", None, 8192), (b"IDAT", None, 8192), (b"IEND", b"", 0)]


# The three ways into the file: the chunk-preserving PNG writer, the plain one, the BMP writer.
WRITERS = {
    "PNG with its chunks": lambda im, p: m._writePngWithChunks(p, im.width, im.height, im._pixels, None,
                                                               kept_chunks(im)),
    "plain PNG": lambda im, p: m._writePng(p, im.width, im.height, im._pixels),
    "BMP": lambda im, p: im.saveBmp(p),
}
ALL = pytest.mark.parametrize("writer", sorted(WRITERS))


def file_bytes(writer, im, tmp_path):
    """What the writer puts in a file for the image when nothing goes wrong."""
    WRITERS[writer](im, str(tmp_path / "reference"))
    return (tmp_path / "reference").read_bytes()


def error_of(call):
    try:
        call()
    except OSError as e:
        return type(e).__name__, str(e)
    return None


def host_write(path, data):
    """What the host raises for open(path, "wb") and a write of data."""
    def write():
        with open(path, "wb") as f:
            f.write(data)
    return error_of(write)


def child(body, *args, preexec_fn=None, before=""):
    """body (after `before` and the imports of this file) run in a child; its last line, as JSON."""
    code = before + "import json, os, sys\nsys.path.insert(0, %r)\nfrom test_save_file import *\n" % TESTS + body
    try:
        run = subprocess.run([sys.executable, "-c", code] + [str(a) for a in args], capture_output=True, text=True,
                             timeout=60, preexec_fn=preexec_fn)
    except subprocess.TimeoutExpired:
        pytest.fail("the child did not finish")
    assert run.returncode == 0, run.stderr[-3000:]
    return json.loads(run.stdout.splitlines()[-1])


@pytest.fixture
def small_fs(tmp_path):
    """A 256 KiB tmpfs of its own; skipped where mounting one is not allowed."""
    if not hasattr(os, "geteuid") or os.geteuid() != 0 or not shutil.which("mount"):
        pytest.skip("mounting a tmpfs needs root and mount(8)")
    d = tmp_path / "fs"
    d.mkdir()
    run = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(d)], capture_output=True, text=True)
    if run.returncode:
        pytest.skip("cannot mount a tmpfs here: %s" % run.stderr.strip())
    yield d
    subprocess.run(["umount", str(d)], check=True)


@ALL
def test_no_space_keeps_the_old_file(small_fs, tmp_path, writer):
    old_image, target = SimpleImage(16, 16, bytes(range(256)) * 3), str(small_fs / "image")
    WRITERS[writer](old_image, target)
    old = (small_fs / "image").read_bytes()
    im = image()
    data = file_bytes(writer, im, tmp_path)
    assert len(data) > 256 << 10  # more than the file system holds
    got = error_of(lambda: WRITERS[writer](im, target))
    assert (small_fs / "image").read_bytes() == old
    assert SimpleImage.open(target)._pixels == old_image._pixels
    # The host's own open and write meet the same lack of space in the same words.
    want = host_write(str(small_fs / "other"), data)
    os.remove(str(small_fs / "other"))
    assert got == want == ("OSError", "[Errno 28] No space left on device")


@ALL
@pytest.mark.parametrize("case", ["missing directory", "directory as the target", "bytes path", "read-only file system",
                                  "immutable file"])
def test_errors_are_the_host_open_errors(request, tmp_path, writer, case):
    if case == "bytes path" and writer == "BMP":
        pytest.skip("saveBmp takes str paths only")
    im, old = image(8, 8), b"old bytes"
    data = file_bytes(writer, im, tmp_path)
    target = {"missing directory": str(tmp_path / "missing" / "x"), "directory as the target": str(tmp_path),
              "bytes path": os.fsencode(str(tmp_path / "missing" / "x"))}.get(case)
    if target is None:  # the file exists, on a file system that will not have it written
        fs = request.getfixturevalue("small_fs")
        target = str(fs / "x")
        (fs / "x").write_bytes(old)
        if case == "read-only file system":
            subprocess.run(["mount", "-o", "remount,ro", str(fs)], check=True)
            request.addfinalizer(lambda: subprocess.run(["mount", "-o", "remount,rw", str(fs)], check=True))
        elif not shutil.which("chattr") or subprocess.run(["chattr", "+i", target], capture_output=True).returncode:
            pytest.skip("needs chattr(1) and a tmpfs that takes the immutable flag")
        else:
            request.addfinalizer(lambda: subprocess.run(["chattr", "-i", target], check=True))
    got = error_of(lambda: WRITERS[writer](im, target))
    assert got == host_write(target, data) and got is not None
    if case in ("read-only file system", "immutable file"):
        assert (fs / "x").read_bytes() == old


def _without_dac_override():
    # Root passes every permission check through CAP_DAC_OVERRIDE; taken out of the bounding set,
    # it is gone from the interpreter about to be run.
    libc = ctypes.CDLL(None, use_errno=True)
    for cap in (1, 2):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH
        if libc.prctl(24, cap, 0, 0, 0) != 0:  # PR_CAPBSET_DROP
            raise OSError(ctypes.get_errno(), "prctl")


@ALL
def test_no_permission_is_the_host_open_error(tmp_path, writer):
    if sys.platform != "linux" or os.geteuid() != 0:
        pytest.skip("needs root on Linux, to drop the capability that passes permission checks")
    (tmp_path / "locked").write_bytes(b"old bytes")
    (tmp_path / "locked").chmod(0o444)
    (tmp_path / "closed").mkdir()
    (tmp_path / "closed").chmod(0o555)
    got = child(r"""
try:
    open(sys.argv[1], "wb")
    print(json.dumps("not refused"))
except PermissionError:
    im = image(8, 8)
    print(json.dumps([[error_of(lambda: WRITERS[%r](im, p)), host_write(p, b"x")] for p in sys.argv[1:]]))
""" % writer, tmp_path / "locked", tmp_path / "closed" / "new", preexec_fn=_without_dac_override)
    if got == "not refused":
        pytest.skip("permission checks do not apply here")
    for ours, theirs in got:
        assert ours == theirs and ours[0] == "PermissionError"
    assert (tmp_path / "locked").read_bytes() == b"old bytes" and not (tmp_path / "closed" / "new").exists()


@ALL
def test_write_past_the_file_size_limit_is_the_host_write_error(tmp_path, writer):
    # RLIMIT_FSIZE is no limit a reservation sees (it keeps the file's size), so the writes meet
    # it: the error, and the part written, are what the host's own open and write leave.
    ours, theirs, left = child(r"""
import resource, signal
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
d, im = sys.argv[1], image()
WRITERS[%r](im, d + "/reference")
data = open(d + "/reference", "rb").read()
with open(d + "/ours", "wb") as f:
    f.write(bytes(200_000))  # an old file longer than the limit
resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))
got = error_of(lambda: WRITERS[%r](im, d + "/ours"))
want = host_write(d + "/theirs", data)
print(json.dumps([got, want, [open(d + name, "rb").read() == data[:100_000] for name in ("/ours", "/theirs")]]))
""" % (writer, writer), tmp_path)
    assert ours == theirs == ["OSError", "[Errno 27] File too large"]
    assert left == [True, True]  # each file holds what was written before the limit, and no more


@ALL
def test_a_save_keeps_the_file_and_its_mode_and_a_new_file_gets_the_host_mode(tmp_path, writer):
    target = tmp_path / "image"
    target.write_bytes(os.urandom(2_000_000))  # longer than what replaces it
    target.chmod(0o640)
    before, im = os.stat(str(target)), image()
    old_umask = os.umask(0o027)
    try:
        WRITERS[writer](im, str(target))
        WRITERS[writer](im, str(tmp_path / "new"))
        open(str(tmp_path / "host's new"), "wb").close()
    finally:
        os.umask(old_umask)
    after = os.stat(str(target))
    assert (after.st_ino, after.st_dev, stat.S_IMODE(after.st_mode)) == (before.st_ino, before.st_dev, 0o640)
    assert target.read_bytes() == (tmp_path / "new").read_bytes() == file_bytes(writer, im, tmp_path)
    assert stat.S_IMODE(os.stat(str(tmp_path / "new")).st_mode) == \
        stat.S_IMODE(os.stat(str(tmp_path / "host's new")).st_mode) == 0o640


@ALL
@pytest.mark.parametrize("target", ["FIFO", "/dev/null", "/dev/full"])
def test_special_files_are_written_as_the_host_writes_them(tmp_path, writer, target):
    im = image()
    data = file_bytes(writer, im, tmp_path)
    if target != "FIFO":
        if not os.path.exists(target):
            pytest.skip("no %s here" % target)
        assert error_of(lambda: WRITERS[writer](im, target)) == host_write(target, data)
        return
    path, received = str(tmp_path / "fifo"), []
    os.mkfifo(path)

    def read():
        with open(path, "rb") as f:
            received.append(f.read())

    reader = threading.Thread(target=read)
    reader.start()
    try:
        WRITERS[writer](im, path)
    finally:
        reader.join(30)
        if reader.is_alive():  # never opened for writing: let the reader go
            open(path, "wb").close()
            reader.join()
    assert received == [data]


@ALL
def test_a_signal_ends_a_save_that_waits_as_it_ends_the_host_open(tmp_path, writer):
    # Opening a FIFO for writing waits for a reader; a signal handler that raises ends the wait,
    # with its exception, as it ends the host's own open.
    got = child(r"""
import signal
class Alarm(Exception):
    pass
def ring(*_):
    raise Alarm("no reader came")
signal.signal(signal.SIGALRM, ring)
os.mkfifo(sys.argv[1])
im, out = image(8, 8), []
for call in (lambda: WRITERS[%r](im, sys.argv[1]), lambda: open(sys.argv[1], "wb")):
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        call()
        out.append("no exception")
    except Alarm as e:
        out.append(str(e))
print(json.dumps(out))
""" % writer, tmp_path / "fifo")
    assert got == ["no reader came"] * 2


def test_a_stand_in_open_is_still_the_one_that_opens(tmp_path):
    # Bound before the module is loaded, the stand-in is the module's open: every writer goes
    # through it, with mode "wb", and gives the same file.
    calls = child(r"""
builtins.open = io.open
del calls[:]
for name in sorted(WRITERS):
    WRITERS[name](image(5, 4), os.path.join(sys.argv[1], name))
print(json.dumps(calls))
""", tmp_path, before=r"""
import builtins, io, os
calls = []
def stand_in(file, mode="r", *args, **kw):
    calls.append([os.fsdecode(file), mode])
    return io.open(file, mode, *args, **kw)
builtins.open = stand_in
""")
    assert calls == [[str(tmp_path / name), "wb"] for name in sorted(WRITERS)]
    assert [SimpleImage.open(str(tmp_path / name)).size for name in sorted(WRITERS)] == [(5, 4)] * 3


@pytest.mark.parametrize("width, height", [(2, 1), (0, 3)])
def test_a_stand_in_open_gets_a_bmp_in_its_four_writes(tmp_path, width, height):
    # The pixel array is the module's own memory; the host's file still gets
    # it as an object of its own, the last of four writes, even when empty.
    got = child(r"""
builtins.open = io.open
from Corvane.simpleImage_ext import SimpleImage
SimpleImage(%d, %d, bytes(range(%d))).saveBmp(sys.argv[1])
print(json.dumps([writes, list(open(sys.argv[1], "rb").read()[54:])]))
""" % (width, height, width * height * 3), tmp_path / "out.bmp", before=r"""
import builtins, io
writes = []
class Recorded(io.FileIO):
    def write(self, data):
        writes.append([type(data).__name__, len(data)])
        return super().write(data)
builtins.open = lambda file, mode="r", *args, **kw: Recorded(file, mode.replace("b", ""))
""")
    row = (width * 3 + 3) // 4 * 4
    assert got[0] == [["bytes", 2], ["bytes", 12], ["bytes", 40], ["bytearray", row * height]]
    pixels = bytes(range(width * height * 3))
    expected = b"".join(bytes(reversed(pixels[(y * width + x) * 3:(y * width + x) * 3 + 3]))
                        for y in reversed(range(height)) for x in range(width))
    assert bytes(got[1]) == (expected + bytes(row - width * 3) if width else b"")


def test_audit_hooks_see_the_open_the_host_would_raise(tmp_path):
    ours, theirs = child(r"""
seen = []
sys.addaudithook(lambda event, args: seen.append([event] + list(args)) if event == "open" else None)
image(5, 4).saveBmp(sys.argv[1])
ours = [e for e in seen if e[1] == sys.argv[1]]
del seen[:]
open(sys.argv[1], "wb").close()
print(json.dumps([ours, [e for e in seen if e[1] == sys.argv[1]]]))
""", tmp_path / "image")
    assert ours == theirs and theirs
