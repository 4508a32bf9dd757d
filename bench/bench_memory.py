"""Peak memory of `SimpleImage.open(path)` for the 4K PNGs, in a fresh process each.

The child imports the module, resets the kernel's peak-RSS mark (writing "5"
to /proc/self/clear_refs) and reads VmRSS, opens the file by path, then reads
VmHWM: the growth is what the open itself needed at its peak. Where the mark
cannot be reset, VmHWM before the open is the start instead (the method is
recorded). The allowance is what the host itself needs to hold one
`bytearray` of the planes' size (RGB pixels, the alpha plane, one filter byte
a row), measured the same way in a child of its own, plus 8 MiB.

Part of the harness: `python bench/harness.py`; this file alone runs only
these cases: `python bench/bench_memory.py [--quick]`.
"""
import json
import os
import statistics
import subprocess
import sys

MIB = 1 << 20


def _status():
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmHWM", "VmRSS"):
                out[key] = int(rest.split()[0]) * 1024
    return out


def child(path, planes=None):
    import gc
    import io
    import contextlib
    from Corvane.simpleImage_ext import SimpleImage

    sink = io.StringIO()
    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        method = "clear_refs: VmHWM after - VmRSS before"
        start = _status()["VmRSS"]
    except OSError:
        method = "VmHWM after - VmHWM before"
        start = _status()["VmHWM"]
    with contextlib.redirect_stdout(sink):
        held = bytearray(planes) if planes is not None else SimpleImage.open(path)
    peak = _status()["VmHWM"]
    print(json.dumps({"growth": peak - start, "method": method, "held": type(held).__name__}))


def planes_bytes(width, height, channels):
    return width * height * 3 + (width * height if channels == 4 else 0) + height


def _growth(args):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child"] + args,
                         stdout=subprocess.PIPE, check=True, universal_newlines=True).stdout
    rec = json.loads(out.strip().splitlines()[-1])
    return rec["growth"], rec["method"]


def run(quick=False, log=None):
    from common import PNG_INPUTS, ROOT, say

    log = log or say
    children = 1 if quick else 3
    results = []
    for name, fname, w, h, mode, _ in PNG_INPUTS[:2]:
        path = os.path.join(ROOT, fname)
        planes = planes_bytes(w, h, len(mode))
        growths, host_growths = [], []
        for _ in range(children):
            growth, method = _growth([path])
            growths.append(growth)
            host_growths.append(_growth([path, str(planes)])[0])
        host = statistics.median(host_growths)
        entry = {"name": name, "file": fname, "growth_bytes": statistics.median(growths), "runs": growths,
                 "method": method, "planes_bytes": planes, "host_bytearray_bytes": host,
                 "limit_bytes": host + 8 * MIB}
        results.append(entry)
        log("  %-16s open(path) peak RSS growth %6.1f MiB, allowed %6.1f MiB (the host's bytearray of %.1f MiB: %.1f)"
            % (name, entry["growth_bytes"] / MIB, entry["limit_bytes"] / MIB, planes / MIB, host / MIB))
    return results


if __name__ == "__main__":
    if len(sys.argv) in (3, 4) and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]) if len(sys.argv) == 4 else None)
    else:
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import harness
        sys.exit(harness.main(sys.argv[1:] + ["--only", "memory"]))
