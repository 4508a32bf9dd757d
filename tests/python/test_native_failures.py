"""Native work that cannot have what it asks for: memory the C++ parts cannot get is the host's
MemoryError, and a helper thread that cannot be started costs only speed. Each case runs in a child
interpreter, so that a fault shows as that child's crash rather than the test run's."""
import json
import os
import platform
import resource
import subprocess
import sys
import zlib

import pytest

import pngtools as pt
from Corvane.simpleImage_ext import SimpleImage

TESTS = os.path.dirname(os.path.abspath(__file__))
PYPY = platform.python_implementation() == "PyPy"

PRELUDE = r"""
import json, resource, struct, sys
sys.path.insert(0, %r)
import Corvane.simpleImage_ext as m
from Corvane.simpleImage_ext import SimpleImage

def bound(extra):
    with open("/proc/self/status") as f:
        vm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + extra, vm + extra))

def outcome(call):
    try:
        return ["ok", call()]
    except Exception as e:
        return [type(e).__name__, str(e)]
""" % TESTS


def child(body, *args, preexec_fn=None, timeout=120):
    """Runs `body` after PRELUDE in a child interpreter and reads its last line of output as JSON."""
    run = subprocess.run([sys.executable, "-c", PRELUDE + body] + [str(a) for a in args], capture_output=True,
                         text=True, timeout=timeout, preexec_fn=preexec_fn)
    assert run.returncode == 0, "child ended with %d:\n%s" % (run.returncode, run.stderr[-3000:])
    return json.loads(run.stdout.splitlines()[-1])


def needs_address_cap():
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the address sanitizer reserves more address space than any cap allows")
    if not os.path.exists("/proc/self/status"):
        pytest.skip("needs /proc/self/status to cap the address space")


MANY = 10_000_000
# Each case builds a long list first, then caps the address space so that the list fits but the
# module's own vector of as many entries (8 bytes each) does not.
OUT_OF_MEMORY = {
    "split of a long length list": (
        "lengths = [1] * {many}\nbound(40 << 20)\n"
        "print(json.dumps(outcome(lambda: len(m._split_idat_payload(b'x', lengths)))))"),
    "save with very many IDAT entries": (
        "chunks = [(b'IHDR', struct.pack('>IIBBBBB', 4, 4, 8, 2, 0, 0, 0), 13)] + [(b'IDAT', None, 1)] * {many}"
        " + [(b'IEND', b'', 0)]\nim = SimpleImage(4, 4, bytes(48), png_chunks=chunks)\nbound(12 * {many})\n"
        "print(json.dumps(outcome(lambda: im.save({out!r}))))"),
    "save whose compressor cannot get its output": (
        "im = SimpleImage(4000, 4000, bytes(48000000))\nbound(40 << 20)\n"
        "print(json.dumps(outcome(lambda: im.save({out!r}))))"),
}


@pytest.mark.parametrize("case", sorted(OUT_OF_MEMORY))
def test_cxx_allocation_failure_is_memory_error(tmp_path, case):
    needs_address_cap()
    if PYPY and case == "save with very many IDAT entries":
        # cpyext gives every item of a list read from C an object of its own, so the cap is met
        # in the host's list handling long before the module's vector is asked for.
        pytest.skip("PyPy runs out in its own list conversion first")
    got = child(OUT_OF_MEMORY[case].format(many=MANY, out=str(tmp_path / "out.png")))
    assert got[0] == "MemoryError", got


def interleaved(pixels, alpha, width, y):
    """Row y as the PNG rows hold it: R, G, B (and A) of each pixel."""
    rgb = pixels[y * width * 3:(y + 1) * width * 3]
    if alpha is None:
        return rgb
    row = bytearray(width * 4)
    for k in range(3):
        row[k::4] = rgb[k::3]
    row[3::4] = alpha[y * width:(y + 1) * width]
    return bytes(row)


def _without_threads():
    # glibc sizes a new thread's stack by the stack limit the process started with: one far beyond
    # what the machine can commit makes every thread start fail with EAGAIN.
    resource.setrlimit(resource.RLIMIT_STACK, (1 << 44, 1 << 44))


THREAD_PROBE = r"""
import threading
try:
    t = threading.Thread(target=lambda: None)
    t.start()
    t.join()
    print(json.dumps(["started"]))
except RuntimeError as e:
    print(json.dumps(["refused", str(e)]))
"""


@pytest.mark.parametrize("channels", [3, 4])
def test_save_without_a_thread_gives_the_same_bytes(tmp_path, channels):
    if child(THREAD_PROBE, preexec_fn=_without_threads)[0] != "refused":
        pytest.skip("a huge stack limit does not keep threads from starting here")
    # Large enough for the stream to be deflated in several pieces, which asks for a thread.
    width, height = 400, 300
    pixels = os.urandom(width * height * 3)
    alpha = os.urandom(width * height) if channels == 4 else None
    filters = bytearray(y % 5 for y in range(height))
    (tmp_path / "pixels").write_bytes(pixels)
    (tmp_path / "alpha").write_bytes(alpha or b"")
    SimpleImage(width, height, pixels, alpha, png_filters=filters).save(str(tmp_path / "here.png"))
    assert child(r"""
d = sys.argv[1]
a = open(d + "/alpha", "rb").read() or None
im = SimpleImage(%d, %d, open(d + "/pixels", "rb").read(), a, png_filters=bytearray(y %% 5 for y in range(%d)))
print(json.dumps(outcome(lambda: im.save(d + "/there.png"))))
""" % (width, height, height), tmp_path, preexec_fn=_without_threads) == ["ok", None]
    there = (tmp_path / "there.png").read_bytes()
    assert there == (tmp_path / "here.png").read_bytes()
    rows = [interleaved(pixels, alpha, width, y) for y in range(height)]
    idat = b"".join(d for t, d in pt.parse(there) if t == b"IDAT")
    assert zlib.decompress(idat) == pt.scanlines(rows, list(filters), channels)
