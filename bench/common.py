"""Shared parts of the benchmark harness: the inputs and their cache, timing, host facts.

The inputs are built deterministically with Pillow and cached under build/bench/
so that every host measures the very same files (Pillow differs between hosts,
and a resize or an encoder setting that changes between its versions would
change the files). The cache is made under a lock, each file is written to a
private temporary name and renamed into place, and a manifest written last
records each file's size and SHA-256: a file that is missing, truncated or
made by another generator version makes the whole set be rebuilt (by the
Pillow of the host that finds it so), never used.
"""
import contextlib
import gc
import hashlib
import io
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
ROOT = os.path.join(REPO, "build", "bench")

STDOUT = sys.stdout


def say(*args):
    """print to the stdout the harness started with (open's own line is silenced around the timed calls)."""
    print(*args, file=STDOUT, flush=True)


# Bump when photo() or the list below changes: the cache is then rebuilt.
GENERATOR = 1

# name, file, width, height, mode, seed
PNG_INPUTS = [
    ("4K RGB", "photo-3840x2160-rgb.png", 3840, 2160, "RGB", 0),
    ("4K RGBA", "photo-3840x2160-rgba.png", 3840, 2160, "RGBA", 1),
    ("512x512 RGB", "photo-512x512-rgb.png", 512, 512, "RGB", 2),
    ("64x64 icon RGBA", "icon-64x64-rgba.png", 64, 64, "RGBA", 3),
]
# The 4K RGB image (the PNG above, same pixels) as a 24-bit BMP.
BMP_INPUT = ("4K RGB BMP", "photo-3840x2160-rgb.bmp", "photo-3840x2160-rgb.png")


def photo(width, height, mode, seed):
    """A photo-like image: a smooth random field, hard-edged shapes, sensor noise."""
    from PIL import Image, ImageChops, ImageDraw

    rnd = random.Random(seed)
    small = Image.frombytes("RGB", (16, 9), bytes(rnd.getrandbits(8) for _ in range(16 * 9 * 3)))
    img = small.resize((width, height), Image.BICUBIC)
    draw = ImageDraw.Draw(img)
    for _ in range(40):
        x, y = rnd.randrange(width), rnd.randrange(height)
        w, h = rnd.randrange(width // 8 + 1), rnd.randrange(height // 8 + 1)
        fill = tuple(rnd.getrandbits(8) for _ in range(3))
        (draw.ellipse if rnd.random() < 0.5 else draw.rectangle)([x, y, x + w, y + h], fill=fill)
    noise = Image.frombytes("RGB", (width, height), bytes(rnd.getrandbits(4) for _ in range(width * height * 3))
                            if width * height < 100_000 else rnd.getrandbits(8 * width * height * 3).to_bytes(
                                width * height * 3, "little"))
    noise = noise.point(lambda v: v & 15)
    img = ImageChops.add(img, noise, 1, -8)
    if mode == "RGBA":
        alpha = Image.linear_gradient("L").resize((width, height))
        img.putalpha(alpha)
    return img


def _sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def _write_atomic(path, data):
    tmp = "%s.tmp-%d" % (path, os.getpid())
    with open(tmp, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)


@contextlib.contextmanager
def _locked(path):
    try:
        import fcntl
    except ImportError:  # not on Linux: no second host can run beside us anyway
        yield
        return
    with open(path, "a") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(f, fcntl.LOCK_UN)


def _valid(manifest, fname):
    entry = manifest.get("files", {}).get(fname)
    path = os.path.join(ROOT, fname)
    return (entry is not None and os.path.isfile(path) and os.path.getsize(path) == entry["bytes"]
            and _sha256(path) == entry["sha256"])


def ensure_inputs(log=say):
    """Build (once) and check the cached inputs; return the manifest."""
    os.makedirs(ROOT, exist_ok=True)
    mpath = os.path.join(ROOT, "inputs.json")
    with _locked(os.path.join(ROOT, "inputs.lock")):
        try:
            with open(mpath) as f:
                manifest = json.load(f)
        except (OSError, ValueError):
            manifest = {}
        if manifest.get("generator") != GENERATOR:
            manifest = {"generator": GENERATOR, "files": {}}
        names = [p[1] for p in PNG_INPUTS] + [BMP_INPUT[1]]
        if all(_valid(manifest, n) for n in names):
            return manifest
        # One file missing or damaged: rebuild the whole set, so that every
        # file of it comes from one Pillow.
        manifest = {"generator": GENERATOR, "files": {}}
        stale = names
        import PIL
        from PIL import Image

        for name, fname, w, h, mode, seed in PNG_INPUTS:
            if fname in stale:
                log("  building %s (%dx%d %s) with Pillow %s" % (fname, w, h, mode, PIL.__version__))
                buf = io.BytesIO()
                photo(w, h, mode, seed).save(buf, "PNG")
                _write_atomic(os.path.join(ROOT, fname), buf.getvalue())
                manifest["files"][fname] = {"bytes": len(buf.getvalue()),
                                            "sha256": hashlib.sha256(buf.getvalue()).hexdigest(),
                                            "width": w, "height": h, "mode": mode, "seed": seed,
                                            "made_by": "Pillow %s" % PIL.__version__}
        _, fname, src = BMP_INPUT
        if fname in stale or src in stale:
            log("  building %s from %s with Pillow %s" % (fname, src, PIL.__version__))
            buf = io.BytesIO()
            with Image.open(os.path.join(ROOT, src)) as im:
                im.save(buf, "BMP")
                w, h = im.size
            _write_atomic(os.path.join(ROOT, fname), buf.getvalue())
            manifest["files"][fname] = {"bytes": len(buf.getvalue()),
                                        "sha256": hashlib.sha256(buf.getvalue()).hexdigest(),
                                        "width": w, "height": h, "mode": "RGB", "from": src,
                                        "made_by": "Pillow %s" % PIL.__version__}
        _write_atomic(mpath, json.dumps(manifest, indent=1).encode())
        return manifest


def read_input(fname):
    path = os.path.join(ROOT, fname)
    with open(path, "rb") as f:
        return path, f.read()


def idat_data(data):
    """The concatenated IDAT payloads of a PNG file."""
    pos, out = 8, []
    while pos < len(data):
        n = int.from_bytes(data[pos:pos + 4], "big")
        if data[pos + 4:pos + 8] == b"IDAT":
            out.append(data[pos + 8:pos + 8 + n])
        pos += 12 + n
    return b"".join(out)


class _Null(io.TextIOBase):
    """A stdout that drops everything (open prints one line per image)."""

    def write(self, s):
        return len(s)


def quiet():
    return contextlib.redirect_stdout(_Null())


def out_dir():
    """A fresh folder for the files the cases write: on a tmpfs when there is one,
    so that the disk's writeback (ext4 flushes a file rewritten after a
    truncation when it is closed) does not enter the figures."""
    import tempfile
    shm = "/dev/shm"
    base = shm if os.path.isdir(shm) and os.access(shm, os.W_OK) else None
    return tempfile.mkdtemp(prefix="corvane-bench-", dir=base)


def repeated(fn, k):
    if k == 1:
        return fn

    def run():
        for _ in range(k):
            fn()
    return run


def calibrate(fns, target):
    """How many calls of the first of fns make one timed run of at least `target` seconds."""
    fn = fns[0]
    t0 = time.perf_counter()
    fn()
    t = time.perf_counter() - t0
    return max(1, int(round(target / max(t, 1e-7))))


def _trimmer():
    """glibc's malloc_trim, or None: what hands freed memory back to the system."""
    try:
        import ctypes
        return ctypes.CDLL(None).malloc_trim
    except (ImportError, OSError, AttributeError):
        return None


_TRIM = _trimmer()


def fresh_pages():
    """Frees what can be freed and hands it back to the system, so that the
    next large buffer lands in pages never touched, as each image does in a
    program that opens many files."""
    gc.collect()
    if _TRIM is not None:
        _TRIM(0)


def interleaved(case, bases, rounds, target=0.0, fresh=False, calls=None):
    """Time `case` against each of `bases`, interleaved.

    Every round runs the case and each baseline once, the order rotating from
    round to round, so that a slow spell on the machine hits all alike. When
    `target` is given, a run is `k` calls, k chosen so a baseline run takes
    about that long; otherwise a run is one call, and a full collection runs
    before it, untimed, so that no call pays for the garbage of another (on
    PyPy a 4K buffer is freed only by a collection). With `fresh`, each run
    is one call and what was freed goes back to the system before it
    (fresh_pages), so every call pays for its first touch of the memory it
    fills, the baselines as well. `calls` sets k itself (where the first
    baseline is not the one to size the runs on). Returns (per-baseline
    median of case/base, per-baseline median seconds of one call, median
    seconds of one call of the case, k).
    """
    fns = [case] + list(bases)
    for fn in fns:  # warm up (caches, allocator, PyPy's JIT)
        fn()
    k = 1 if fresh else calls or (calibrate(bases, target) if target else 1)
    runs = [repeated(fn, k) for fn in fns]
    times = [[] for _ in fns]
    for r in range(rounds):
        order = list(range(len(fns)))
        order = order[r % len(fns):] + order[:r % len(fns)]
        for i in order:
            if fresh:
                fresh_pages()
            elif k == 1:
                gc.collect()
            t0 = time.perf_counter()
            runs[i]()
            times[i].append((time.perf_counter() - t0) / k)
    ratios = [statistics.median(c / b for c, b in zip(times[0], times[i])) for i in range(1, len(fns))]
    base_s = [statistics.median(times[i]) for i in range(1, len(fns))]
    return ratios, base_s, statistics.median(times[0]), k


def host_name():
    if platform.python_implementation() == "PyPy":
        return "pypy"
    return "%d.%d" % sys.version_info[:2]


def _cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _git(*args):
    try:
        return subprocess.run(["git", "-C", REPO] + list(args), stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, universal_newlines=True, timeout=10).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return ""


def facts():
    import PIL
    import Corvane.simpleImage_ext as ext

    versions = {
        "implementation": platform.python_implementation(),
        "python": platform.python_version(),
        "pillow": PIL.__version__,
        "zlib": getattr(zlib, "ZLIB_RUNTIME_VERSION", zlib.ZLIB_VERSION),
        "module": ext.__file__,
        "module_mtime": time.strftime("%Y-%m-%dT%H:%M:%S", time.localtime(os.path.getmtime(ext.__file__))),
        "git": _git("rev-parse", "--short", "HEAD"),
        # tracked files changed since that commit: what the figures measured beyond it
        "git_changes": [line[2:].strip() for line in _git("status", "--porcelain", "--untracked-files=no").splitlines()],
    }
    if hasattr(sys, "pypy_version_info"):
        versions["pypy"] = "%d.%d.%d" % sys.pypy_version_info[:3]
    try:
        import numpy
        versions["numpy"] = numpy.__version__
    except ImportError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            mem = f.readline().split(":", 1)[1].strip()
    except OSError:
        pass
    machine = {
        "cpu_model": _cpu_model(),
        "cores": os.cpu_count(),
        "usable_cores": len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count(),
        "memory": mem,
        "arch": platform.machine(),
        "system": "%s %s" % (platform.system(), platform.release()),
    }
    return versions, machine
