"""Two threads against one: opening and saving the 512 x 512 PNG.

Each round opens (or saves) the image N times in one thread, then N times
split over two threads started together, and takes the ratio of the two
times: the throughput two threads get over one. With the interpreter lock
let go for the byte work, it approaches 2 on a machine with two free cores.

Part of the harness: `python bench/harness.py`; this file alone runs only
these cases: `python bench/bench_threads.py [--quick]`.
"""
import os
import shutil
import statistics
import sys
import threading
import time

from common import PNG_INPUTS, out_dir, quiet, read_input, say


def _throughput(work, calls, threads):
    """Seconds for `calls` calls of work(i), spread over `threads` threads."""
    share = calls // threads
    barrier = threading.Barrier(threads + 1)

    def run(first):
        barrier.wait()
        for i in range(first, first + share):
            work(i)

    pool = [threading.Thread(target=run, args=(k * share,)) for k in range(threads)]
    for t in pool:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in pool:
        t.join()
    return time.perf_counter() - start


def run(quick=False, log=say):
    from Corvane.simpleImage_ext import SimpleImage

    name, fname = PNG_INPUTS[2][:2]
    path, data = read_input(fname)
    tmp = out_dir()
    rounds, calls = (1, 8) if quick else (5, 40)
    results = {"name": name, "file": fname, "rounds": rounds, "calls": calls}
    try:
        with quiet():
            img = SimpleImage.open(data)
            outs = [os.path.join(tmp, "out%d.png" % i) for i in range(calls)]
            cases = {"open(path)": lambda i: SimpleImage.open(path), "save": lambda i: img.save(outs[i])}
            for label, work in cases.items():
                work(0)
                ratios = []
                for _ in range(rounds):
                    one = _throughput(work, calls, 1)
                    two = _throughput(work, calls, 2)
                    ratios.append(one / two)
                results[label] = {"ratio": statistics.median(ratios), "runs": ratios}
                log("  %-16s %-10s two threads give %.2fx the throughput of one"
                    % (name, label, results[label]["ratio"]))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return results


if __name__ == "__main__":
    import harness
    sys.exit(harness.main(sys.argv[1:] + ["--only", "threads"]))
