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


def child(body, preexec_fn=None, timeout=120):
    """Runs `body` after PRELUDE in a child interpreter and reads its last line of output as JSON."""
    run = subprocess.run([sys.executable, "-c", PRELUDE + body], capture_output=True, text=True,
                         timeout=timeout, preexec_fn=preexec_fn)
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
