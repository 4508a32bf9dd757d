"""Open and save against the libraries a user would pick instead ("peers").

Peers: Pillow (always there: the harness needs it), pyspng (libspng; it has
no encoder), imagecodecs' libpng codec (`png_decode`, `png_encode`) and its
libspng codec (`spng_decode`, `spng_encode`) where it has one, and OpenCV
(`cv2.imdecode`, `cv2.imread`, `cv2.imwrite`, with IMREAD_UNCHANGED so that
an alpha plane is kept). Each is measured only where it imports; one that
does not is named with the reason, in the output and in the results. They
are installed for the benchmark alone (scripts/bench-peers.sh, from
`make bench`), never as requirements of the package.

On the harness's PNG inputs and on every PngSuite file of the shared corpus
that `SimpleImage.open` opens, in the same interleaved rounds (see
common.interleaved), ours against the zlib floor and every peer:

- open from bytes, and from a path (a library without a path API reads the
  file and decodes it, as its user would), warm; the harness's inputs also
  with fresh pages. Before anything is timed, each peer's pixels are checked
  to be ours (OpenCV's BGR(A) turned into RGB(A) for that check only); a peer
  whose pixels differ is left out of that image, with the reason.
- save at each library's default settings, to a path on the tmpfs (an
  encoder that returns bytes has them written there too), from the image
  that library itself decoded; the bytes each writes, and whether the file
  opens back to our pixels. OpenCV's default is a light one (the Sub filter
  on every row, zlib's run-length strategy): the fastest, another task.

The corpus files are a few kilobytes: each run of them is many calls, sized
so that the slowest library takes about the run's target.

Part of the harness: `python bench/harness.py`; this file alone runs only
these cases: `python bench/bench_peers.py [--quick]`.
"""
import gc
import glob
import io
import json
import math
import os
import shutil
import sys
import time
import zlib

from common import PNG_INPUTS, REPO, idat_data, interleaved, out_dir, quiet, read_input, say

CORPUS = os.path.join(os.path.dirname(REPO), "shared", "corpus")
OPENS = ("open(bytes)", "open(path)")


def _read(path):
    with open(path, "rb") as f:
        return f.read()


class Peer:
    """One library: how its user opens a PNG from bytes and from a path, and saves one.

    decode(data) and load(path) return the library's own image; planes(image)
    gives its (RGB bytes, alpha bytes or None), for the check alone; save(image,
    path) writes a PNG at the library's default settings (None: it has no
    encoder)."""

    def __init__(self, key, version, decode, load, planes, save=None, path_api=True):
        self.key, self.version = key, version
        self.decode, self.load, self.planes, self.save = decode, load, planes, save
        self.path_api = path_api


def _array_planes(arr, bgr=False):
    import numpy as np

    if arr.dtype != np.uint8 or arr.ndim != 3 or arr.shape[2] not in (3, 4):
        return None, "a %s array of shape %s" % (arr.dtype, "x".join(map(str, arr.shape)))
    rgb = arr[..., 2::-1] if bgr else arr[..., :3]
    alpha = arr[..., 3].tobytes() if arr.shape[2] == 4 else None
    return (rgb.tobytes(), alpha), None


def _pillow():
    import PIL
    from PIL import Image

    def decode(data):
        im = Image.open(io.BytesIO(data))
        im.load()
        return im

    def load(path):
        with Image.open(path) as im:
            im.load()
            return im

    def planes(im):
        if im.mode not in ("RGB", "RGBA"):
            return None, "mode %s" % im.mode
        return (im.convert("RGB").tobytes(), im.getchannel("A").tobytes() if im.mode == "RGBA" else None), None

    return Peer("Pillow", PIL.__version__, decode, load, planes, lambda im, path: im.save(path, "PNG"))


def _pyspng():
    import pyspng

    # No encoder in pyspng: it is measured on open alone.
    return Peer("pyspng", "%s (libspng)" % getattr(pyspng, "__version__", "?"), pyspng.load,
                lambda path: pyspng.load(_read(path)), _array_planes, path_api=False)


def _write_encoded(encode):
    def save(arr, path):
        with open(path, "wb") as f:
            f.write(encode(arr))
    return save


def _imagecodecs(codec):
    import imagecodecs

    flags = getattr(imagecodecs, codec.upper(), None)  # older releases have no such flags, some no spng
    if not hasattr(imagecodecs, codec + "_decode") or (flags is not None and not flags.available):
        raise ImportError("imagecodecs %s has no %s codec" % (imagecodecs.__version__, codec))
    decode, encode = getattr(imagecodecs, codec + "_decode"), getattr(imagecodecs, codec + "_encode")
    version = getattr(imagecodecs, codec + "_version", None)
    lib = version() if version else codec
    return Peer("imagecodecs.%s" % codec, "%s (%s)" % (imagecodecs.__version__, lib), decode,
                lambda path: decode(_read(path)), _array_planes, _write_encoded(encode), path_api=False)


def _opencv():
    import cv2
    import numpy as np

    flag = cv2.IMREAD_UNCHANGED  # the default flag, IMREAD_COLOR, drops the alpha plane

    def save(arr, path):
        if not cv2.imwrite(path, arr):
            raise OSError("cv2.imwrite refused %s" % path)

    return Peer("OpenCV", cv2.__version__, lambda data: cv2.imdecode(np.frombuffer(data, np.uint8), flag),
                lambda path: cv2.imread(path, flag), lambda arr: _array_planes(arr, bgr=True), save)


PEERS = [("Pillow", _pillow), ("pyspng", _pyspng), ("imagecodecs.png", lambda: _imagecodecs("png")),
         ("imagecodecs.spng", lambda: _imagecodecs("spng")), ("OpenCV", _opencv)]


def find_peers(makers=PEERS):
    """The peers that import here, and {key: why not} for the others."""
    found, skipped = [], {}
    for key, make in makers:
        try:
            found.append(make())
        except Exception as e:  # an import error, or a broken wheel: that peer is skipped, the run goes on
            skipped[key] = "%s: %s" % (type(e).__name__, str(e).splitlines()[0] if str(e) else "")
    return found, skipped


def corpus_files(corpus=CORPUS):
    """The PngSuite files SimpleImage.open opens, and how many disagree with expected.json."""
    from Corvane.simpleImage_ext import SimpleImage

    try:
        with open(os.path.join(corpus, "expected.json")) as f:
            expected = json.load(f)
    except (OSError, ValueError):
        expected = {}
    keep, disagree = [], []
    for path in sorted(glob.glob(os.path.join(corpus, "pngsuite", "*.png"))):
        try:
            with quiet():
                SimpleImage.open(path)
            opens = True
        except Exception:
            opens = False
        rel = os.path.relpath(path, corpus)
        if rel in expected and (expected[rel]["outcome"] == "decodes") != opens:
            disagree.append(rel)
        if opens:
            keep.append(path)
    return keep, disagree


def _ours_planes(img):
    return bytes(img._pixels), None if img._alpha is None else bytes(img._alpha)


def _check(peer, image, want):
    """None when the peer's image holds our pixels, else why not."""
    try:
        got, why = peer.planes(image)
    except Exception as e:
        return "%s: %s" % (type(e).__name__, e)
    if why:
        return why
    if got[1] is not None and want[1] is None:
        return "an alpha plane we do not have (from tRNS?)"
    if got != want:
        return "pixels differ"
    return None


def _calls(fns, target):
    """Calls a run, so that the slowest of fns takes about `target` seconds."""
    slowest = 0.0
    for fn in fns:
        t0 = time.perf_counter()
        for _ in range(5):
            fn()
        slowest = max(slowest, (time.perf_counter() - t0) / 5)
    return max(1, int(round(target / max(slowest, 1e-7))))


def _timed(ours, floor, peers, rounds, target, fresh=False):
    """ours against floor and each of peers ({key: fn}) in one set of interleaved rounds."""
    keys = list(peers)
    bases = [floor] + [peers[k] for k in keys]
    calls = None if fresh or not target else _calls([ours] + bases, target)
    ratios, base_s, t, k = interleaved(ours, bases, rounds, fresh=fresh, calls=calls)
    return {"ours_s": t, "calls_per_run": k, "rounds": rounds,
            "floor": {"ratio": ratios[0], "seconds": base_s[0]},
            "peers": {key: {"ratio": r, "seconds": s} for key, r, s in zip(keys, ratios[1:], base_s[1:])}}


def measure(name, path, peers, tmp, rounds, save_rounds, target, fresh, save=True, log=say):
    """Every case of one PNG file; the peers whose pixels are not ours are left out of it."""
    from Corvane.simpleImage_ext import SimpleImage

    data = _read(path)
    idat = idat_data(data)
    with quiet():
        img = SimpleImage.open(data)
    want = _ours_planes(img)
    entry = {"name": name, "file": os.path.basename(path), "width": img.width, "height": img.height,
             "channels": 3 if img._alpha is None else 4, "file_bytes": len(data), "left_out": {}, "ops": {}}
    img = None
    usable = []
    for p in peers:
        why = None
        for how, fn, arg in (("bytes", p.decode, data), ("path", p.load, path)):
            try:
                why = why or _check(p, fn(arg), want)
            except Exception as e:
                why = "open(%s): %s: %s" % (how, type(e).__name__, e)
        if why:
            entry["left_out"][p.key] = why
        else:
            usable.append(p)
    decompress = lambda: zlib.decompress(idat)
    with quiet():
        cases = [("open(bytes)", lambda: SimpleImage.open(data), {p.key: (lambda p=p: p.decode(data)) for p in usable}),
                 ("open(path)", lambda: SimpleImage.open(path), {p.key: (lambda p=p: p.load(path)) for p in usable})]
        for label, ours, theirs in cases:
            gc.collect()
            entry["ops"][label] = _timed(ours, decompress, theirs, rounds, target)
            if fresh:
                gc.collect()
                entry["ops"][label + ", fresh pages"] = _timed(ours, decompress, theirs, rounds, 0.0, fresh=True)
        if save:
            savers = [p for p in usable if p.save is not None]
            out = os.path.join(tmp, "ours.png")
            outs = {p.key: os.path.join(tmp, "%s.png" % p.key) for p in savers}
            img = SimpleImage.open(data)
            images = {p.key: p.decode(data) for p in savers}
            raw = zlib.decompress(idat)
            gc.collect()
            theirs = {p.key: (lambda p=p: p.save(images[p.key], outs[p.key])) for p in savers}
            op = _timed(lambda: img.save(out), lambda: zlib.compress(raw), theirs, save_rounds, target)
            op["ours_bytes"] = os.path.getsize(out)
            op["floor"]["bytes"] = len(zlib.compress(raw))
            for key, path_out in outs.items():
                op["peers"][key]["bytes"] = os.path.getsize(path_out)
                try:
                    op["peers"][key]["pixels_ok"] = _ours_planes(SimpleImage.open(path_out)) == want
                except Exception:  # a file we cannot open (16 bits, a palette) is still a valid save
                    op["peers"][key]["pixels_ok"] = None
            entry["ops"]["save"] = op
            img = images = raw = None
    gc.collect()
    return entry


def geomean(values):
    values = [v for v in values if v]
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else None


def fastest(op):
    """(key, ours / it) of the fastest peer of one op, or (None, None)."""
    if not op or not op["peers"]:
        return None, None
    key = max(op["peers"], key=lambda k: op["peers"][k]["ratio"])  # the largest ours/peer: the fastest peer
    return key, op["peers"][key]["ratio"]


def summary(images):
    """Geometric means over the images given, per op: ours / the fastest peer, and ours / each peer."""
    out = {}
    for label in ("open(bytes)", "open(path)", "save"):
        ops = [e["ops"].get(label) for e in images]
        ops = [op for op in ops if op]
        if not ops:
            continue
        keys = sorted({k for op in ops for k in op["peers"]})
        out[label] = {"files": len(ops),
                      "vs_fastest": geomean([fastest(op)[1] for op in ops]),
                      "vs_floor": geomean([op["floor"]["ratio"] for op in ops]),
                      "vs_peer": {k: geomean([op["peers"][k]["ratio"] for op in ops if k in op["peers"]])
                                  for k in keys}}
        if label == "save":
            out[label]["size_vs_ours"] = {k: geomean([op["peers"][k]["bytes"] / op["ours_bytes"] for op in ops
                                                      if k in op["peers"]]) for k in keys}
    return out


def _log_op(log, name, label, op):
    parts = ["%s %.2fx" % (k, op["peers"][k]["ratio"]) for k in op["peers"]]
    log("  %-22s %-26s ours %9.3f ms; ours / zlib %.2fx; ours / %s"
        % (name, label, op["ours_s"] * 1e3, op["floor"]["ratio"], ", ".join(parts) or "no peer"))
    if label == "save":
        sizes = ["%s %d" % (k, op["peers"][k]["bytes"]) for k in op["peers"]]
        bad = [k for k in op["peers"] if op["peers"][k].get("pixels_ok") is False]
        log("  %-22s %-26s bytes: ours %d, zlib.compress %d, %s%s"
            % (name, "", op["ours_bytes"], op["floor"]["bytes"], ", ".join(sizes),
               "; NOT our pixels: " + ", ".join(bad) if bad else ""))


def run(quick=False, log=say, corpus=CORPUS):
    peers, skipped = find_peers()
    for key, why in skipped.items():
        log("  peer %s skipped: %s" % (key, why))
    log("  peers: %s" % ", ".join("%s %s" % (p.key, p.version) for p in peers))
    res = {"peers": {p.key: {"version": p.version, "path_api": p.path_api, "saves": p.save is not None}
                     for p in peers},
           "skipped": skipped, "inputs": [], "corpus": []}
    tmp = out_dir()
    try:
        for name, fname, *_ in PNG_INPUTS:
            path, data = read_input(fname)
            big = len(data) > 1 << 20
            rounds = (1 if big else 3) if quick else (9 if big else 15)
            save = not (quick and big)  # a 4K save costs seconds: left out of a quick run
            e = measure(name, path, peers, tmp, rounds, 1 if quick else (5 if big else 11),
                        0.0 if big else (0.005 if quick else 0.02), fresh=True, save=save, log=log)
            for label, op in e["ops"].items():
                _log_op(log, name, label, op)
            for key, why in e["left_out"].items():
                log("  %-22s %s left out: %s" % (name, key, why))
            res["inputs"].append(e)
        files, disagree = corpus_files(corpus)
        res["corpus_dir"] = os.path.relpath(corpus, REPO)
        if disagree:
            res["corpus_disagree"] = disagree
            log("  corpus: these open where expected.json says otherwise, or not where it says they do: %s"
                % ", ".join(disagree))
        if not files:
            log("  corpus: no PngSuite file that opens in %s: left out" % corpus)
        for path in files:
            e = measure(os.path.basename(path), path, peers, tmp, 3 if quick else 9, 3 if quick else 9,
                        0.001 if quick else 0.005, fresh=False, log=log)
            if e["left_out"]:
                log("  %-22s left out: %s" % (e["name"], "; ".join("%s: %s" % kv for kv in e["left_out"].items())))
            res["corpus"].append(e)
        res["corpus_summary"] = summary(res["corpus"])
        for label, s in res["corpus_summary"].items():
            log("  PngSuite, %d files, %-11s geomean: ours / fastest peer %.2fx, / zlib %.2fx, / %s"
                % (s["files"], label, s["vs_fastest"] or 0, s["vs_floor"] or 0,
                   ", ".join("%s %.2fx" % kv for kv in s["vs_peer"].items())))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return res


if __name__ == "__main__":
    import harness
    sys.exit(harness.main(sys.argv[1:] + ["--only", "peers"]))
