"""A large save is deflated on every core the process may use, and its file still holds exactly
zlib.compress's bytes of the scanline stream: whatever the image holds (rows that splice at once,
noise zlib stores, a blank image whose segments never fall into step), however many cores there
are, and with no thread to be had."""
import json
import os
import platform
import resource
import shutil
import subprocess
import sys
import threading
import time
import zlib

import pytest
from PIL import Image

import pngtools as pt
from Corvane.simpleImage_ext import SimpleImage

TESTS = os.path.dirname(os.path.abspath(__file__))
PYPY = platform.python_implementation() == "PyPy"
# PyPy's os has no sched_*affinity: the cores are then counted, and narrowed, by taskset.
CORES = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
# Streams of 1.6 MB and more: above the size from which a save splits its work.
SIZES = {3: (1100, 500), 4: (800, 500)}


def pixels_of(kind, width, height, channels, seed):
    """The RGB and alpha planes of a test image, made by Pillow (quick even on CPython)."""
    if kind == "noise":
        return os.urandom(width * height * 3), os.urandom(width * height) if channels == 4 else None
    if kind == "blank":
        return bytes(width * height * 3), bytes(width * height) if channels == 4 else None
    gradient = Image.linear_gradient("L").resize((width, height))
    noise = Image.effect_noise((width, height), 12 + seed)
    fractal = Image.effect_mandelbrot((width, height), (-2.0, -1.2, 0.8, 1.2), 60 + seed)
    rgb = Image.merge("RGB", (gradient, fractal, Image.blend(gradient, noise, 0.3)))
    if kind == "stripes":  # rows repeated far apart: long matches, some beyond the window
        band = rgb.crop((0, 0, width, 37))
        for y in range(0, height, 37):
            rgb.paste(band, (0, y))
    alpha = Image.blend(fractal, noise, 0.5).tobytes() if channels == 4 else None
    return rgb.tobytes(), alpha


def filters_of(pattern, height):
    return bytearray({"mixed": [y % 5 for y in range(height)], "paeth": [4] * height,
                      "none": [0] * height}[pattern])


def idat(data):
    return b"".join(d for t, d in pt.parse(data) if t == b"IDAT")


def check_file(data, width, height, rgb, alpha):
    """The file's image data is zlib.compress's own bytes of its stream, and an independent decoder
    reads back the pixels saved."""
    stream = idat(data)
    assert stream == zlib.compress(zlib.decompress(stream))
    with Image.open(__import__("io").BytesIO(data)) as im:
        assert im.size == (width, height)
        if alpha is None:
            assert im.mode == "RGB" and im.tobytes() == rgb
        else:
            assert im.mode == "RGBA"
            r, g, b, a = im.split()
            assert a.tobytes() == alpha
            assert Image.merge("RGB", (r, g, b)).tobytes() == rgb


@pytest.mark.parametrize("kind,pattern", [("photo", "mixed"), ("photo", "paeth"), ("stripes", "none"),
                                          ("noise", "mixed"), ("blank", "none")])
@pytest.mark.parametrize("channels", [3, 4])
def test_a_large_save_holds_zlib_compress_bytes(tmp_path, kind, pattern, channels):
    width, height = SIZES[channels]
    rgb, alpha = pixels_of(kind, width, height, channels, channels)
    filters = filters_of(pattern, height)
    path = tmp_path / "big.png"
    SimpleImage(width, height, rgb, alpha, png_filters=filters).save(str(path))
    check_file(path.read_bytes(), width, height, rgb, alpha)


def test_saves_on_several_threads_at_once_each_hold_their_own_bytes(tmp_path):
    # Every save starts threads of its own; several at once must not share a segment or a buffer.
    width, height = SIZES[3]
    images = [pixels_of("photo", width, height, 3, seed) for seed in range(4)]
    errors = []

    def save(i):
        try:
            rgb, _ = images[i]
            SimpleImage(width, height, rgb, None, png_filters=filters_of("mixed", height)).save(
                str(tmp_path / ("%d.png" % i)))
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=save, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for i, (rgb, _) in enumerate(images):
        check_file((tmp_path / ("%d.png" % i)).read_bytes(), width, height, rgb, None)


def thread_share(save):
    """The part of the process's CPU time that save() spends on the calling thread. One zlib call
    runs on a helper thread while the caller filters rows (a small part); a save split over the
    cores has the caller deflate and write its share. CPU times, not the clock: a busy machine
    moves neither."""
    t, p = time.thread_time(), time.process_time()
    save()
    return (time.thread_time() - t) / (time.process_time() - p)


@pytest.mark.skipif(CORES < 2, reason="one core: every save is one zlib call")
def test_a_large_save_works_on_more_than_one_core(tmp_path):
    width, height = 1600, 1000
    rgb, _ = pixels_of("photo", width, height, 3, 0)
    im = SimpleImage(width, height, rgb, None, png_filters=filters_of("paeth", height))
    assert thread_share(lambda: im.save(str(tmp_path / "big.png"))) > 0.3
    # Below the size from which the work is split: one zlib call, on the helper.
    small = SimpleImage(600, 400, rgb[:600 * 400 * 3], None, png_filters=filters_of("paeth", 400))
    assert thread_share(lambda: small.save(str(tmp_path / "small.png"))) < 0.3


CHILD = r"""
import json, os, resource, sys, zlib
sys.path.insert(0, %r)
from Corvane.simpleImage_ext import SimpleImage
d = sys.argv[1]
w, h = %d, %d
im = SimpleImage(w, h, open(d + "/rgb", "rb").read(), None, png_filters=bytearray(y %% 5 for y in range(h)))
im.save(d + "/there.png")
print(json.dumps("saved"))
"""


def no_threads():
    # glibc sizes a new thread's stack by the stack limit the process started with: one far beyond
    # what the machine can commit makes every thread start fail.
    resource.setrlimit(resource.RLIMIT_STACK, (1 << 44, 1 << 44))


@pytest.mark.parametrize("limit", ["one-cpu", "no-threads"])
def test_a_large_save_without_other_cores_gives_the_same_file(tmp_path, limit):
    width, height = SIZES[3]
    rgb, _ = pixels_of("photo", width, height, 3, 9)
    (tmp_path / "rgb").write_bytes(rgb)
    SimpleImage(width, height, rgb, None, png_filters=bytearray(y % 5 for y in range(height))).save(
        str(tmp_path / "here.png"))
    command = [sys.executable, "-c", CHILD % (TESTS, width, height), str(tmp_path)]
    if limit == "one-cpu" and not shutil.which("taskset"):
        pytest.skip("no taskset to narrow the child to one core")
    if limit == "one-cpu":
        proc = subprocess.run(["taskset", "-c", "0"] + command, capture_output=True, text=True, timeout=120)
    else:
        proc = subprocess.run(command, preexec_fn=no_threads, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert json.loads(proc.stdout.splitlines()[-1]) == "saved"
    assert (tmp_path / "there.png").read_bytes() == (tmp_path / "here.png").read_bytes()
    check_file((tmp_path / "here.png").read_bytes(), width, height, rgb, None)


MEMORY = r"""
import json, os, sys
sys.path.insert(0, %r)
from Corvane.simpleImage_ext import SimpleImage
d = sys.argv[1]
w, h = %d, %d
im = SimpleImage(w, h, open(d + "/rgb", "rb").read(), None, png_filters=bytearray([4]) * h)

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))

with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak starts again from here
before = status("VmRSS")
im.save(d + "/big.png")
print(json.dumps(status("VmHWM") - before))
"""


def test_a_large_save_holds_at_most_the_stream_and_the_file_and_16_mib(tmp_path):
    # The whole stream is made before its last segment can be deflated; beyond it and the
    # compressed result, only the segments in flight (their tokens) and each thread's zlib.
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the address sanitizer's redzones and quarantine are what such a run would measure")
    width, height = 3000, 1200
    rgb, _ = pixels_of("photo", width, height, 3, 5)
    (tmp_path / "rgb").write_bytes(rgb)
    proc = subprocess.run([sys.executable, "-c", MEMORY % (TESTS, width, height), str(tmp_path)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    growth = json.loads(proc.stdout.splitlines()[-1])
    stream, compressed = (width * 3 + 1) * height, len(idat((tmp_path / "big.png").read_bytes()))
    # PyPy copies the result once more, into an object of its own.
    allowed = stream + compressed + (16 << 20) + (compressed if PYPY else 0)
    assert growth <= allowed
