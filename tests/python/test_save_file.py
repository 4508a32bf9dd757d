"""How the writers meet the file system: a save the file system has no room for fails with the old
file whole; every error is the one the host's own open(path, "wb") and write raise for the same
situation, type and words; the file keeps its identity and permission bits; special files and a
stand-in open are served as the host's open serves them."""
import ctypes
import json
import os
import shutil
import stat
import subprocess
import sys
import threading

import pytest

import Corvane.simpleImage_ext as m
from Corvane.simpleImage_ext import SimpleImage

TESTS = os.path.dirname(os.path.abspath(__file__))


def noisy(width=400, height=300, alpha=False):
    """An image whose files are about as large as its pixels (noise does not compress)."""
    return SimpleImage(width, height, os.urandom(width * height * 3), os.urandom(width * height) if alpha else None)


def opened_png(width=400, height=300):
    """An image opened from a PNG, so that save keeps its chunk list."""
    data = noisy(width, height)
    path = os.path.join(os.environ.get("TMPDIR", "/tmp"), "corvane-opened-%d.png" % os.getpid())
    try:
        data.save(path)
        with open(path, "rb") as f:
            return SimpleImage.open(f.read())
    finally:
        os.remove(path)


# Each writer, and the bytes it writes for an image, as a normal save writes them.
WRITERS = {
    "PNG with its chunks": lambda im, p: im.save(p),
    "plain PNG": lambda im, p: m._writePng(p, im.width, im.height, im._pixels, im._alpha),
    "BMP": lambda im, p: im.saveBmp(p),
}


def image_for(writer):
    return opened_png() if writer == "PNG with its chunks" else noisy()


def file_bytes(writer, im, tmp_path):
    p = str(tmp_path / "reference")
    WRITERS[writer](im, p)
    with open(p, "rb") as f:
        return f.read()


def error_of(call):
    try:
        call()
    except OSError as e:
        return type(e), str(e)
    return None


def host_write(path, data):
    """What the host raises for open(path, "wb") and a write of data."""
    def write():
        with open(path, "wb") as f:
            f.write(data)
    return error_of(write)


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
    try:
        yield d
    finally:
        subprocess.run(["umount", str(d)], check=True)


@pytest.mark.parametrize("writer", sorted(WRITERS))
def test_no_space_keeps_the_old_file(small_fs, tmp_path, writer):
    old_image = SimpleImage(16, 16, bytes(range(256)) * 3)
    target = str(small_fs / "image")
    WRITERS[writer](old_image, target)
    with open(target, "rb") as f:
        old = f.read()
    im = image_for(writer)
    data = file_bytes(writer, im, tmp_path)
    assert len(data) > 256 << 10  # more than the file system holds
    got = error_of(lambda: WRITERS[writer](im, target))
    with open(target, "rb") as f:
        assert f.read() == old
    back = SimpleImage.open(target)
    assert back._pixels == old_image._pixels
    # The host's own open and write meet the same lack of space in the same words.
    want = host_write(str(small_fs / "other"), data)
    os.remove(str(small_fs / "other"))
    assert got == want and want is not None


@pytest.mark.parametrize("writer", sorted(WRITERS))
@pytest.mark.parametrize("case", ["missing directory", "directory as the target", "bytes path, missing directory",
                                  "read-only file system", "immutable file"])
def test_errors_are_the_host_open_errors(request, tmp_path, writer, case):
    if case.startswith("bytes") and writer != "plain PNG":
        pytest.skip("save and saveBmp take str paths only")
    im = opened_png(8, 8) if writer == "PNG with its chunks" else noisy(8, 8)
    data, old = file_bytes(writer, im, tmp_path), b"old bytes"
    if case in ("read-only file system", "immutable file"):
        fs = request.getfixturevalue("small_fs")
        target = str(fs / "x")
        with open(target, "wb") as f:
            f.write(old)
        if case == "read-only file system":
            subprocess.run(["mount", "-o", "remount,ro", str(fs)], check=True)
            request.addfinalizer(lambda: subprocess.run(["mount", "-o", "remount,rw", str(fs)], check=True))
        elif not shutil.which("chattr") or subprocess.run(["chattr", "+i", target], capture_output=True).returncode:
            pytest.skip("needs chattr(1) and a tmpfs that takes the immutable flag")
        else:
            request.addfinalizer(lambda: subprocess.run(["chattr", "-i", target], check=True))
    else:
        target = {"missing directory": str(tmp_path / "missing" / "x"), "directory as the target": str(tmp_path),
                  "bytes path, missing directory": os.fsencode(str(tmp_path / "missing" / "x"))}[case]
    got = error_of(lambda: WRITERS[writer](im, target))
    want = host_write(target, data)
    assert got == want and want is not None
    if case in ("read-only file system", "immutable file"):
        with open(target, "rb") as f:
            assert f.read() == old


CHILD = r"""
import json, os, sys
sys.path.insert(0, %r)
from test_save_file import WRITERS, error_of, host_write, image_for, noisy
""" % TESTS


def run_child(body, preexec_fn=None):
    run = subprocess.run([sys.executable, "-c", CHILD + body], capture_output=True, text=True, timeout=120,
                         preexec_fn=preexec_fn)
    assert run.returncode == 0, run.stderr[-3000:]
    return run.stdout.splitlines()[-1]


def _without_dac_override():
    # Root passes every permission check through CAP_DAC_OVERRIDE; taken out of the bounding set,
    # it is gone from the interpreter about to be run.
    libc = ctypes.CDLL(None, use_errno=True)
    for cap in (1, 2):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH
        if libc.prctl(24, cap, 0, 0, 0) != 0:  # PR_CAPBSET_DROP
            raise OSError(ctypes.get_errno(), "prctl")


@pytest.mark.parametrize("writer", sorted(WRITERS))
def test_no_permission_is_the_host_open_error(tmp_path, writer):
    if sys.platform != "linux" or os.geteuid() != 0:
        pytest.skip("needs root on Linux, to drop the capability that passes permission checks")
    locked_file, locked_dir = tmp_path / "locked", tmp_path / "closed"
    locked_file.write_bytes(b"old bytes")
    locked_file.chmod(0o444)
    locked_dir.mkdir()
    locked_dir.chmod(0o555)
    body = r"""
paths = sys.argv[1:]
try:
    open(paths[0], "wb")
    print(json.dumps("not refused"))
    sys.exit(0)
except PermissionError:
    pass
im = image_for(%r)
out = []
for p in paths:
    got = error_of(lambda: WRITERS[%r](im, p))
    out.append([repr(got), repr(host_write(p, b"x"))])
print(json.dumps(out))
""" % (writer, writer)
    run = subprocess.run([sys.executable, "-c", CHILD + body, str(locked_file), str(locked_dir / "new")],
                         capture_output=True, text=True, timeout=120, preexec_fn=_without_dac_override)
    assert run.returncode == 0, run.stderr[-3000:]
    got = json.loads(run.stdout.splitlines()[-1])
    if got == "not refused":
        pytest.skip("permission checks do not apply here")
    for ours, theirs in got:
        assert ours == theirs and "PermissionError" in ours
    assert locked_file.read_bytes() == b"old bytes"
    assert not (locked_dir / "new").exists()


@pytest.mark.parametrize("writer", sorted(WRITERS))
def test_write_past_the_file_size_limit_is_the_host_write_error(tmp_path, writer):
    # RLIMIT_FSIZE is no limit a reservation sees (it keeps the file's size), so the writes meet
    # it: the error, and the part written, are what the host's own open and write leave.
    limit = 100_000
    body = r"""
import resource, signal
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
d = sys.argv[1]
im = image_for(%r)
WRITERS[%r](im, d + "/reference")
data = open(d + "/reference", "rb").read()
with open(d + "/ours", "wb") as f:
    f.write(os.urandom(200) * 1000)  # an old file longer than the limit
resource.setrlimit(resource.RLIMIT_FSIZE, (%d, %d))
got = error_of(lambda: WRITERS[%r](im, d + "/ours"))
want = host_write(d + "/theirs", data)
print(json.dumps([repr(got), repr(want), os.path.getsize(d + "/ours"), os.path.getsize(d + "/theirs"),
                  open(d + "/ours", "rb").read() == data[:os.path.getsize(d + "/ours")]]))
""" % (writer, writer, limit, limit, writer)
    run = subprocess.run([sys.executable, "-c", CHILD + body, str(tmp_path)], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr[-3000:]
    ours, theirs, our_size, their_size, prefix = json.loads(run.stdout.splitlines()[-1])
    assert ours == theirs and "File too large" in ours
    assert our_size == their_size == limit and prefix


@pytest.mark.parametrize("writer", sorted(WRITERS))
def test_save_over_a_file_keeps_its_identity_and_mode(tmp_path, writer):
    target = tmp_path / "image"
    target.write_bytes(os.urandom(2_000_000))  # longer than what replaces it
    target.chmod(0o640)
    before = os.stat(str(target))
    im = image_for(writer)
    WRITERS[writer](im, str(target))
    after = os.stat(str(target))
    assert (after.st_ino, after.st_dev) == (before.st_ino, before.st_dev)
    assert stat.S_IMODE(after.st_mode) == 0o640
    assert target.read_bytes() == file_bytes(writer, im, tmp_path)


@pytest.mark.parametrize("writer", sorted(WRITERS))
def test_a_new_file_gets_the_host_open_mode(tmp_path, writer):
    im = image_for(writer)
    old = os.umask(0o027)
    try:
        WRITERS[writer](im, str(tmp_path / "ours"))
        open(str(tmp_path / "theirs"), "wb").close()
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(str(tmp_path / "ours")).st_mode) == 0o640
    assert stat.S_IMODE(os.stat(str(tmp_path / "theirs")).st_mode) == 0o640


@pytest.mark.parametrize("writer", sorted(WRITERS))
@pytest.mark.parametrize("target", ["FIFO", "/dev/null", "/dev/full"])
def test_special_files_are_written_as_the_host_writes_them(tmp_path, writer, target):
    im = image_for(writer)
    data = file_bytes(writer, im, tmp_path)
    if target == "FIFO":
        path = str(tmp_path / "fifo")
        os.mkfifo(path)
        received = []
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
    elif not os.path.exists(target):
        pytest.skip("no %s here" % target)
    else:
        assert error_of(lambda: WRITERS[writer](im, target)) == host_write(target, data)


def test_a_stand_in_open_is_still_the_one_that_opens(tmp_path):
    # Bound before the module is loaded, the stand-in is the module's open: every writer goes
    # through it, with mode "wb", and gives the same file.
    stand_in = r"""
import builtins, io, os
calls = []
def stand_in(file, mode="r", *args, **kw):
    calls.append([os.fsdecode(file), mode])
    return io.open(file, mode, *args, **kw)
builtins.open = stand_in
"""
    body = r"""
builtins.open = io.open
calls.clear()
for name in sorted(WRITERS):
    WRITERS[name](noisy(5, 4), "%s/%s" % (sys.argv[1], name))
print(json.dumps(calls))
"""
    run = subprocess.run([sys.executable, "-c", stand_in + CHILD + body, str(tmp_path)], capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-3000:]
    calls = json.loads(run.stdout.splitlines()[-1])
    assert calls == [["%s/%s" % (tmp_path, name), "wb"] for name in sorted(WRITERS)]
    for name in sorted(WRITERS):
        assert SimpleImage.open(str(tmp_path / name)).size == (5, 4)


def test_audit_hooks_see_the_open_the_host_would_raise(tmp_path):
    body = r"""
seen = []
sys.addaudithook(lambda event, args: seen.append([event] + list(args)) if event == "open" else None)
target = sys.argv[1]
noisy(5, 4).save(target)
ours = [e for e in seen if e[1] == target]
del seen[:]
open(target, "wb").close()
print(json.dumps([ours, [e for e in seen if e[1] == target]]))
"""
    ours, theirs = json.loads(subprocess.run([sys.executable, "-c", CHILD + body, str(tmp_path / "image.png")],
                                             capture_output=True, text=True, timeout=120,
                                             check=True).stdout.splitlines()[-1])
    assert ours == theirs and theirs


@pytest.mark.parametrize("writer", sorted(WRITERS))
def test_a_signal_ends_a_save_that_waits_as_it_ends_the_host_open(tmp_path, writer):
    # Opening a FIFO for writing waits for a reader; a signal handler that raises ends the wait,
    # with its exception, as it ends the host's own open.
    body = r"""
import signal
class Alarm(Exception):
    pass
def ring(*_):
    raise Alarm("no reader came")
signal.signal(signal.SIGALRM, ring)
fifo = sys.argv[1]
os.mkfifo(fifo)
im = image_for(%r)
out = []
for call in (lambda: WRITERS[%r](im, fifo), lambda: open(fifo, "wb")):
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        call()
        out.append("no exception")
    except Alarm as e:
        out.append("Alarm: %%s" %% e)
print(json.dumps(out))
""" % (writer, writer)
    try:
        run = subprocess.run([sys.executable, "-c", CHILD + body, str(tmp_path / "fifo")], capture_output=True,
                             text=True, timeout=30)
    except subprocess.TimeoutExpired:
        pytest.fail("the save went on waiting for a reader")
    assert run.returncode == 0, run.stderr[-3000:]
    assert json.loads(run.stdout.splitlines()[-1]) == ["Alarm: no reader came"] * 2
