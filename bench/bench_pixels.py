"""Per-call cost of getPixel / putPixel against Pillow and the host's own calls, in one run.

Every statement runs in a timeit loop of its own, calibrated to about 60 ms a
run (PyPy's JIT compiles each loop before it is timed); the rounds interleave
all statements, and each keeps its best run. The empty loop's best is taken
off every other. Baselines:

- Pillow's PixelAccess on a 64 x 64 RGB image: `px[c]` (a read, `px[x, y]`)
  and `px[c] = v` (a write), with the same coordinate tuple `c = (3, 4)`;
- the host's own native calls: `d.get(c)` (a dict look-up with a tuple key),
  `d.get(c, v)`, `divmod(x, y)` (returns a new tuple, like getPixel);
- `im.width` (a property read: the cheapest call into the module).

Part of the harness: `python bench/harness.py`; this file alone runs only
these cases: `python bench/bench_pixels.py [--quick]`.
"""
import gc
import sys
import timeit

from common import say

CASES = [
    ("empty loop", "pass"),
    ("getPixel(c)", "im.getPixel(c)"),
    ("putPixel(c, v)", "im.putPixel(c, v)"),
    ("Pillow px[x, y]", "px[c]"),
    ("Pillow px[x, y] = v", "px[c] = v"),
    ("d.get(c)", "d.get(c)"),
    ("d.get(c, v)", "d.get(c, v)"),
    ("divmod(x, y)", "divmod(x, y)"),
    ("im.width", "im.width"),
]


def _number(timer, target):
    n = 1000
    while True:
        t = timer.timeit(n)
        if t >= target / 5:
            return max(1, int(n * target / t))
        n *= 10


def run(quick=False, log=say):
    from PIL import Image
    from Corvane.simpleImage_ext import SimpleImage

    pil = Image.new("RGB", (64, 64))
    env = {
        "im": SimpleImage(64, 64, bytes(64 * 64 * 3)),
        "px": pil.load(),
        "d": {(3, 4): 1},
        "c": (3, 4),
        "v": (1, 2, 3),
        "x": 1000,
        "y": 7,
    }
    target = 0.004 if quick else 0.06
    rounds = 2 if quick else 9
    timers = {name: timeit.Timer(stmt, globals=env) for name, stmt in CASES}
    numbers = {name: _number(t, target) for name, t in timers.items()}
    for name, t in timers.items():  # one more warm-up run each, at the final size
        t.timeit(numbers[name])
    best = {name: float("inf") for name in timers}
    names = list(timers)
    gc.collect()
    for r in range(rounds):
        order = names[r % len(names):] + names[:r % len(names)]
        for name in order:
            best[name] = min(best[name], timers[name].timeit(numbers[name]) / numbers[name] * 1e9)
    loop = best.pop("empty loop")
    ns = {k: max(v - loop, 0.01) for k, v in best.items()}
    result = {"loop_ns": loop, "ns": ns, "rounds": rounds, "calls_per_run": numbers,
              "statements": dict(CASES), "ratios": {
                  "getPixel / Pillow px[x, y]": ns["getPixel(c)"] / ns["Pillow px[x, y]"],
                  "getPixel / divmod(x, y)": ns["getPixel(c)"] / ns["divmod(x, y)"],
                  "getPixel / d.get(c)": ns["getPixel(c)"] / ns["d.get(c)"],
                  "putPixel / Pillow px[x, y] = v": ns["putPixel(c, v)"] / ns["Pillow px[x, y] = v"],
                  "putPixel / d.get(c, v)": ns["putPixel(c, v)"] / ns["d.get(c, v)"],
                  "putPixel / d.get(c)": ns["putPixel(c, v)"] / ns["d.get(c)"],
              }}
    log("  per call, ns (empty loop %.2f ns taken off): %s"
        % (loop, ", ".join("%s %.1f" % (k, v) for k, v in ns.items())))
    return result


if __name__ == "__main__":
    import harness
    sys.exit(harness.main(sys.argv[1:] + ["--only", "pixels"]))
