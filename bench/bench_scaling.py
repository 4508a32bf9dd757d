"""PNG save on 1, 2, ... cores, and the peak memory of a 4K save.

Each figure comes from a child process narrowed with taskset to the first k
cores (the module splits a save over the cores the process may use): the
save of the image against zlib.compress of its scanline stream, interleaved
in the same child. The memory figure is the growth of the child's peak RSS
over a 4K save (the peak reset once the image is open), against what the
save must hold: the scanline stream, the compressed stream, and 16 MiB.
"""
import json
import os
import shutil
import subprocess
import sys

from common import PNG_INPUTS, say

HERE = os.path.dirname(os.path.abspath(__file__))
MIB = 1 << 20

CHILD = r"""
import contextlib, gc, io, json, os, sys, zlib
sys.path.insert(0, %(here)r)
from common import idat_data, interleaved, read_input
from Corvane.simpleImage_ext import SimpleImage
path, data = read_input(%(fname)r)
raw = zlib.decompress(idat_data(data))
with contextlib.redirect_stdout(io.StringIO()):
    img = SimpleImage.open(path)
out = os.path.join(%(out)r, "scaling-%%d.png" %% os.getpid())
data = None
if %(memory)r:
    def status(key):
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) * 1024 for l in f if l.startswith(key + ":"))
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak RSS starts again from here
    before = status("VmRSS")
    img.save(out)
    size = os.path.getsize(out)
    os.unlink(out)
    print(json.dumps({"growth": status("VmHWM") - before, "stream": len(raw), "file": size}))
else:
    (r,), (base,), t, _ = interleaved(lambda: img.save(out), [lambda: zlib.compress(raw)], %(rounds)d)
    with open(out, "rb") as f:
        identical = idat_data(f.read()) == zlib.compress(raw)
    os.unlink(out)
    print(json.dumps({"ratio": r, "save_s": t, "compress_s": base, "identical": identical}))
"""


def _child(fname, cores, rounds=0, memory=False):
    out = os.path.join(HERE, "..", "build", "bench")
    code = CHILD % {"here": HERE, "fname": fname, "out": os.path.abspath(out), "rounds": rounds, "memory": memory}
    cmd = [sys.executable, "-c", code]
    if shutil.which("taskset"):
        cmd = ["taskset", "-c", "0-%d" % (cores - 1)] + cmd
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=1800)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr[-2000:])
    return json.loads(proc.stdout.splitlines()[-1])


def run(quick=False, log=say):
    cores = os.cpu_count() or 1
    counts = sorted({1, 2, 4, 8, cores} & set(range(1, cores + 1))) if shutil.which("taskset") else [cores]
    results = {"cores": cores, "saves": [], "memory": None}
    for name, fname, *_ in PNG_INPUTS:
        if quick and "4K" in name:
            continue
        entry = {"name": name, "by_cores": {}}
        for k in counts:
            e = _child(fname, k, rounds=3 if "4K" in name else 9)
            entry["by_cores"][str(k)] = e
            log("  %-16s save on %d core%s %5.2fx of zlib.compress %8.3f ms"
                % (name, k, "" if k == 1 else "s", e["ratio"], e["compress_s"] * 1e3))
        results["saves"].append(entry)
    if not quick:
        m = _child(PNG_INPUTS[0][1], cores, memory=True)
        m["limit"] = m["stream"] + m["file"] + 16 * MIB
        results["memory"] = m
        log("  4K RGB save: peak RSS growth %.1f MiB (stream %.1f MiB, file %.1f MiB)"
            % (m["growth"] / MIB, m["stream"] / MIB, m["file"] / MIB))
    return results
