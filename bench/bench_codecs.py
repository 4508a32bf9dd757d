"""Cost of open and save against the zlib calls they must make, in one run.

Inputs are built deterministically with Pillow (seeded random field, shapes,
noise) and saved by Pillow with its default settings, so they carry its
adaptive filters and 64 KiB IDAT chunks; they are cached under build/bench/
for the next host. Each case is timed interleaved with its baseline and the
median ratio reported: `python bench/bench_codecs.py [--quick]`.
"""
import io
import os
import platform
import random
import statistics
import sys
import tempfile
import time
import zlib
from contextlib import redirect_stdout

from PIL import Image, ImageChops, ImageDraw

from Corvane.simpleImage_ext import SimpleImage

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench")


def photo(width, height, mode, seed):
    """A photo-like image: a smooth random field, hard-edged shapes, sensor noise."""
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


INPUTS = [("4K RGB", 3840, 2160, "RGB"), ("4K RGBA", 3840, 2160, "RGBA"),
          ("512x512 RGB", 512, 512, "RGB"), ("64x64 icon RGBA", 64, 64, "RGBA")]


def inputs():
    os.makedirs(ROOT, exist_ok=True)
    for i, (name, w, h, mode) in enumerate(INPUTS):
        path = os.path.join(ROOT, f"input{i}.png")
        if not os.path.exists(path):
            buf = io.BytesIO()
            photo(w, h, mode, seed=i).save(buf, "PNG")
            with open(path + ".tmp", "wb") as f:
                f.write(buf.getvalue())
            os.replace(path + ".tmp", path)
        with open(path, "rb") as f:
            yield name, path, f.read()


def idat_data(data):
    pos, out = 8, []
    while pos < len(data):
        n = int.from_bytes(data[pos:pos + 4], "big")
        if data[pos + 4:pos + 8] == b"IDAT":
            out.append(data[pos + 8:pos + 8 + n])
        pos += 12 + n
    return b"".join(out)


def ratio(case, base, repeat):
    """Median of case/base over interleaved runs."""
    rs = []
    for _ in range(repeat):
        t0 = time.perf_counter(); base(); t1 = time.perf_counter(); case(); t2 = time.perf_counter()
        rs.append((t2 - t1) / (t1 - t0))
    return statistics.median(rs), t1 - t0


def main():
    quick = "--quick" in sys.argv
    host = f"{platform.python_implementation()} {platform.python_version()}"
    print(f"== {host}: ratio to the zlib call the operation must make (median)")
    tmp = tempfile.mkdtemp()
    for name, path, data in inputs():
        idat = idat_data(data)
        raw = zlib.decompress(idat)
        repeat = 3 if quick else (7 if len(data) > 1 << 20 else 25)
        with redirect_stdout(io.StringIO()):
            img = SimpleImage.open(data)
            out = os.path.join(tmp, "out.png")
            r_bytes, base = ratio(lambda: SimpleImage.open(data), lambda: zlib.decompress(idat), repeat)
            r_path, _ = ratio(lambda: SimpleImage.open(path), lambda: zlib.decompress(idat), repeat)
            r_save, cbase = ratio(lambda: img.save(out), lambda: zlib.compress(raw), max(3, repeat // 2))
        print(f"{name:16} open(bytes) {r_bytes:5.2f}x  open(path) {r_path:5.2f}x  (decompress {base * 1e3:7.2f} ms)"
              f"   save {r_save:5.2f}x  (compress {cbase * 1e3:7.1f} ms)")


if __name__ == "__main__":
    main()
