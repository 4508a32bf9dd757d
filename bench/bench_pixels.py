"""Per-call cost of getPixel / putPixel against trivial calls, measured in the same run.

Baselines: `im.width` (a property read: the cheapest call into the module's
native code), `d.get(key)` (a native method of the host itself, one tuple
argument like getPixel) and `divmod(x, y)` (a native function of the host that,
like getPixel, returns a new tuple). Run on each host: `python bench/bench_pixels.py`.
"""
import platform
import sys
import timeit

from Corvane.simpleImage_ext import SimpleImage

N = 1_000_000
REPEAT = 7

setup = {
    "im": SimpleImage(64, 64, bytes(64 * 64 * 3)),
    "d": {(3, 4): 1},
    "c": (3, 4),
    "v": (1, 2, 3),
    "vl": [1, 2, 3],
    "x": 1000,
    "y": 7,
}

CASES = [
    ("empty loop", "pass"),
    ("im.width", "im.width"),
    ("d.get(c)", "d.get(c)"),
    ("d.get(c, v)", "d.get(c, v)"),
    ("divmod(x, y)", "divmod(x, y)"),
    ("im.getPixel(c)", "im.getPixel(c)"),
    ("im.getPixel((3, 4))", "im.getPixel((3, 4))"),
    ("im.putPixel(c, v)", "im.putPixel(c, v)"),
    ("im.putPixel(c, [1,2,3])", "im.putPixel(c, vl)"),
    ("im.getPixel(coords=c)", "im.getPixel(coords=c)"),
]


def best_ns(stmt):
    t = timeit.Timer(stmt, globals=setup)
    t.timeit(N // 10)  # warm up (and let PyPy's JIT compile the loop)
    return min(t.repeat(REPEAT, N)) / N * 1e9


def main():
    host = f"{platform.python_implementation()} {platform.python_version()}"
    times = {name: best_ns(stmt) for name, stmt in CASES}
    loop = times.pop("empty loop")
    net = {k: max(v - loop, 0.01) for k, v in times.items()}
    print(f"{host}: ns per call, loop overhead ({loop:.1f} ns) subtracted")
    for name in net:
        print(f"  {name:26s} {net[name]:7.1f} ns   x{net[name] / net['im.width']:5.2f} of im.width"
              f"   x{net[name] / net['d.get(c)']:6.2f} of d.get(c)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
