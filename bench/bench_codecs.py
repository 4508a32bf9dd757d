"""Cost of open and save against the work they cannot avoid, measured in one run.

PNG: `SimpleImage.open` from bytes and from a path against `zlib.decompress`
of the same IDAT data (Pillow's `Image.open(BytesIO(data)).load()` against the
same baseline, for context); `save` of the image opened from the file (so it
keeps the file's chunk list and filter types) against `zlib.compress` of the
same scanline stream at the default level.

BMP (the 4K image as a 24-bit BMP written by Pillow): `open` from bytes and
from a path, and `save`, against a plain copy of the file's bytes
(`bytearray(data)`: one allocation and one copy of that many bytes) and
against Pillow doing the same (`Image.open(...).load()`, `Image.save`).

Saved files go to a fresh folder on /dev/shm (a tmpfs) when there is one.

Every case is timed interleaved with its baselines (see common.interleaved) and
the median ratio kept. Part of the harness: `python bench/harness.py`; this
file alone runs only these cases: `python bench/bench_codecs.py [--quick]`.
"""
import gc
import io
import os
import shutil
import sys
import zlib

from common import PNG_INPUTS, BMP_INPUT, idat_data, interleaved, out_dir, quiet, read_input, say


def _rounds(size_bytes, quick, big, small):
    if quick:
        return 1 if size_bytes > 1 << 20 else 3
    return big if size_bytes > 1 << 20 else small


def run_png(quick=False, log=say):
    from PIL import Image
    from Corvane.simpleImage_ext import SimpleImage

    tmp = out_dir()
    out = os.path.join(tmp, "out.png")
    results = []
    try:
        for name, fname, w, h, mode, _ in PNG_INPUTS:
            path, data = read_input(fname)
            idat = idat_data(data)
            stream_bytes = len(zlib.decompress(idat))
            rounds = _rounds(len(data), quick, 11, 15)
            target = 0.0 if len(data) > 1 << 20 else (0.005 if quick else 0.02)
            entry = {"name": name, "file": fname, "width": w, "height": h, "mode": mode,
                     "file_bytes": len(data), "idat_bytes": len(idat), "stream_bytes": stream_bytes,
                     "rounds": rounds, "written_to": tmp}
            decompress = lambda: zlib.decompress(idat)
            with quiet():
                # Nothing big is held while open is timed (only the file's bytes and the IDAT data):
                # what the allocator hands out then depends on the calls timed, not on what an
                # earlier step left in the heap.
                cases = [("open(bytes)", lambda: SimpleImage.open(data)),
                         ("open(path)", lambda: SimpleImage.open(path)),
                         ("Pillow open+load", lambda: Image.open(io.BytesIO(data)).load())]
                entry["open"] = {}
                entry["open_fresh"] = {}
                for label, fn in cases:
                    gc.collect()
                    (r,), (base,), t, k = interleaved(fn, [decompress], rounds, target)
                    entry["open"][label] = {"ratio": r, "seconds": t, "baseline_s": base, "calls_per_run": k}
                    (r,), (base,), t, _ = interleaved(fn, [decompress], rounds, fresh=True)
                    entry["open_fresh"][label] = {"ratio": r, "seconds": t, "baseline_s": base}
                entry["decompress_s"] = entry["open"]["open(bytes)"]["baseline_s"]
                for key, how in (("open", "warm"), ("open_fresh", "fresh pages")):
                    log("  %-16s open(bytes) %5.2fx  open(path) %5.2fx  Pillow %5.2fx  of zlib.decompress %8.3f ms, %s"
                        % (name, entry[key]["open(bytes)"]["ratio"], entry[key]["open(path)"]["ratio"],
                           entry[key]["Pillow open+load"]["ratio"], entry[key]["open(bytes)"]["baseline_s"] * 1e3,
                           how))
                if quick and len(data) > 1 << 20:
                    entry["save"] = None  # a 4K save costs seconds: left out of a quick run
                    log("  %-16s save skipped in a quick run" % name)
                else:
                    save_rounds = _rounds(len(data), quick, 7, 11)
                    img = SimpleImage.open(data)
                    raw = zlib.decompress(idat)
                    gc.collect()
                    (r,), (base,), t, k = interleaved(lambda: img.save(out), [lambda: zlib.compress(raw)],
                                                      save_rounds, target)
                    with open(out, "rb") as f:
                        identical = idat_data(f.read()) == zlib.compress(raw)
                    entry["save"] = {"ratio": r, "seconds": t, "rounds": save_rounds, "calls_per_run": k,
                                     "identical": identical}
                    entry["compress_s"] = base
                    log("  %-16s save %5.2fx of zlib.compress %8.3f ms%s"
                        % (name, r, base * 1e3, "" if identical else "  NOT zlib.compress's bytes"))
                    img = raw = None
            results.append(entry)
            gc.collect()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return results


def run_small(quick=False, log=say):
    """Per call: open(bytes) of a 1 x 1 and a 16 x 16 RGB PNG against Pillow's
    open and load of the same bytes, where the cost is the crossings into
    and out of the host, not the work."""
    from PIL import Image
    from Corvane.simpleImage_ext import SimpleImage

    rows = [bytes(range(48))] * 16
    inputs = [("1x1", _tiny_png(1, 1, [b"abc"])), ("16x16", _tiny_png(16, 16, rows))]
    results = []
    with quiet():
        for name, data in inputs:
            ours, pillow = lambda: SimpleImage.open(data), lambda: Image.open(io.BytesIO(data)).load()
            for _ in range(2000):  # PyPy's JIT compiles both sides' Python before anything is timed
                ours()
                pillow()
            (r,), (pil_s,), t, k = interleaved(ours, [pillow],
                                               3 if quick else 15, 0.005 if quick else 0.05)
            results.append({"name": name, "file_bytes": len(data), "ratio": r, "seconds": t, "pillow_s": pil_s,
                            "calls_per_run": k})
            log("  %-6s open(bytes) %6.2f us a call, %5.2fx of Pillow's open and load (%6.2f us)"
                % (name, t * 1e6, r, pil_s * 1e6))
    return results


def _tiny_png(width, height, rows):
    import struct

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def run_bmp(quick=False, log=say):
    from PIL import Image
    from Corvane.simpleImage_ext import SimpleImage

    name, fname, _ = BMP_INPUT
    path, data = read_input(fname)
    tmp = out_dir()
    out, pil_out = os.path.join(tmp, "out.bmp"), os.path.join(tmp, "pil.bmp")
    rounds = 2 if quick else 9
    entry = {"name": name, "file": fname, "file_bytes": len(data), "rounds": rounds, "written_to": tmp,
             "copy": "bytearray(data)", "cases": {}}
    try:
        with quiet():
            copy = lambda: bytearray(data)
            saved = {}  # the images saved, opened only once the opens are timed (see run_png)
            cases = [
                ("open(bytes)", lambda: SimpleImage.open(data), lambda: Image.open(io.BytesIO(data)).load()),
                ("open(path)", lambda: SimpleImage.open(path), lambda: Image.open(path).load()),
                ("save", lambda: saved["img"].save(out), lambda: saved["pil"].save(pil_out, "BMP")),
            ]
            for label, fn, pillow in cases:
                if label == "save":
                    saved["img"] = SimpleImage.open(data)
                    saved["pil"] = Image.open(io.BytesIO(data))
                    saved["pil"].load()
                    entry["width"], entry["height"] = saved["img"].width, saved["img"].height
                gc.collect()
                (r_copy, r_pil), (copy_s, pil_s), t, _ = interleaved(fn, [copy, pillow], rounds)
                entry["cases"][label] = {"vs_copy": r_copy, "vs_pillow": r_pil, "seconds": t,
                                         "copy_s": copy_s, "pillow_s": pil_s}
                log("  %-16s %-11s %5.2fx of the copy (%6.2f ms)  %5.2fx of Pillow (%6.2f ms)"
                    % (name, label, r_copy, copy_s * 1e3, r_pil, pil_s * 1e3))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return entry


if __name__ == "__main__":
    import harness
    sys.exit(harness.main(sys.argv[1:] + ["--only", "png,bmp"]))
