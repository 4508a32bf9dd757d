"""Long loops over every operation of the module, success and error paths,
watching memory: `python scripts/soak.py [--iterations N]` (default 100000).

Each round runs the leak tests' two workloads: the image record (construct,
copy, change every field, pixel calls, every argument refusal) and the codecs
(open PNG and BMP from bytes and from a path, save both, every reading and
writing refusal). Memory is sampled ten times. The first half warms caches,
free lists and, on PyPy, the JIT and the heap; growth is judged over the
second half only, so that a one-time step (an interpreter table growing once,
as seen under tracemalloc) is not taken for a leak, which grows steadily.
Resident memory and the C allocator's bytes in use on every host (the
latter is where PyPy keeps every object C code has seen, and what a native
leak grows), and on CPython also the object allocator's block count and
tracemalloc's traced total (the latter over a shorter run, as tracing slows
every allocation).

Exits 1 when the growth over the second half exceeds what a leak of one
small object per round would cost, 0 otherwise.
"""
import argparse
import contextlib
import gc
import os
import pathlib
import platform
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))

import test_leaks  # noqa: E402  (the workloads live with the tests that run them briefly)
import Corvane.simpleImage_ext as m  # noqa: E402

PYPY = platform.python_implementation() == "PyPy"


def sample(traced):
    gc.collect()
    gc.collect()
    out = {"rss": test_leaks.resident_bytes()}
    in_use = test_leaks.malloc_in_use()
    if in_use is not None:
        out["malloc"] = in_use
    if not PYPY:
        out["blocks"] = sys.getallocatedblocks()
    if traced:
        import tracemalloc
        out["traced"] = tracemalloc.get_traced_memory()[0]
    return out


def soak(iterations, traced=False):
    big = bytes(64 * 64 * 3)

    class Sub(m.SimpleImage):
        pass

    files = test_leaks.codec_files()
    samples = []
    with tempfile.TemporaryDirectory() as tmp, open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        path = os.path.join(tmp, "out")
        step = max(1, iterations // 10)
        start = time.perf_counter()
        for i in range(iterations):
            if i % step == 0:
                samples.append(sample(traced))
            test_leaks.workload(m, big, Sub)
            test_leaks.codec_workload(m, files, path)
        samples.append(sample(traced))
        elapsed = time.perf_counter() - start
    return samples, elapsed


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--iterations", type=int, default=100000)
    ap.add_argument("--traced-iterations", type=int, default=10000,
                    help="rounds of the second run under tracemalloc (CPython only; 0 skips it)")
    args = ap.parse_args()
    host = f"{platform.python_implementation()} {platform.python_version()}"
    runs = [("untraced", args.iterations, False)]
    if not PYPY and args.traced_iterations:
        runs.append(("tracemalloc", args.traced_iterations, True))
    failed = False
    for name, n, traced in runs:
        if traced:
            import tracemalloc
            tracemalloc.start()
        samples, elapsed = soak(n, traced)
        if traced:
            tracemalloc.stop()
        warm, end = samples[len(samples) // 2], samples[-1]
        print(f"{host}, {name}: {n} rounds in {elapsed:.1f} s ({elapsed / n * 1e6:.0f} us a round)")
        for key in warm:
            series = " ".join(str(s[key] // 1024 if key != "blocks" else s[key]) for s in samples)
            unit = "blocks" if key == "blocks" else "KiB"
            growth = end[key] - warm[key]
            # One leaked object per round is at least one block and 16 traced
            # or allocated bytes. Resident memory moves by whole arenas (and PyPy's heap by
            # a few MiB whatever runs): it only catches larger leaks.
            rounds = n - n // 10 * (len(samples) // 2)
            limit = {"blocks": rounds // 10, "traced": rounds * 4, "malloc": rounds * 16 + (2 << 20),
                     "rss": (64 << 20) if PYPY else 16 << 20}[key]
            verdict = "ok" if growth <= limit else "GREW"
            failed |= growth > limit
            print(f"  {key} ({unit}): {series}")
            print(f"  {key} growth over the second half: {growth if key == 'blocks' else growth // 1024} "
                  f"(limit {limit if key == 'blocks' else limit // 1024}) {verdict}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
