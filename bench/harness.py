"""The benchmark harness: every measurement of open, save, per-pixel calls and memory, on one host.

    python bench/harness.py [--host NAME] [--quick] [--only png,bmp,pixels,memory,peers] [--markdown]

`make bench` runs it on every host (`make bench HOSTS="3.11 pypy"` limits
them). It builds or reuses the inputs under build/bench/ (see common.py),
measures, prints a table and writes build/bench/results-<host>.json (a
`--quick` smoke run writes quick-<host>.json instead, and a run limited with
`--only` writes nothing). `--markdown` (or `python bench/report.py`) prints
the latest full results of every host as one Markdown table.

Ratios are medians over interleaved rounds: each case runs beside its
baselines in every round, so a slow moment on the machine weighs on both.
The targets printed beside them are the ones the module is held to; a row
without a target is there for context.
"""
import argparse
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import ROOT, ensure_inputs, facts, host_name, say  # noqa: E402

MIB = 1 << 20

# Targets. PNG open, of zlib.decompress of the same data: per input and host
# (the small icon costs PyPy more, where each call crosses into C); and
# faster than Pillow's open and load everywhere.
OPEN_LIMIT = {"4K RGB": 0.45, "4K RGBA": 0.45, "512x512 RGB": 0.5, "64x64 icon RGBA": 1.0}
PYPY_OPEN_LIMIT = dict(OPEN_LIMIT, **{"64x64 icon RGBA": 1.5})
# PNG save, of zlib.compress of the scanline stream: on one core at its floor
# (no save slower than one zlib call); split over two cores or more, the
# targets below.
SAVE_LIMIT = {"4K RGB": 1.02, "4K RGBA": 1.02, "512x512 RGB": 1.02}
SAVE_LIMIT_CORES = {"4K RGB": 0.62, "4K RGBA": 0.62, "512x512 RGB": 0.8}
BMP_OPEN_VS_COPY, BMP_SAVE_VS_PILLOW = 1.5, 0.5
# PyPy makes every bytearray written from C twice (cleared, then copied where
# it will not move), where the copy baseline is made once.
PYPY_BMP_OPEN_VS_COPY, PYPY_BMP_SAVE_VS_PILLOW = 2.0, 0.6
SMALL_VS_PILLOW = 0.5
THREADS_LIMIT = 1.8
# Open against the fastest other library installed (bench_peers.py): faster
# than every one of them. Saves meet no such target: each library writes at
# its own default settings (OpenCV's: the Sub filter and zlib's run-length
# strategy, a light one), so their times are not one task.
PEER_OPEN_LIMIT = 1.0


def _row(section, label, value, unit, limit=None, strict=False, baseline=""):
    # A target is judged on the figure as printed (2 decimals for a ratio, 1 for ns and MiB).
    shown = None if value is None else round(value, 2 if unit == "x" else 1)
    ok = None if limit is None or value is None else (shown < limit if strict else shown <= limit)
    return {"section": section, "label": label, "value": value, "unit": unit, "limit": limit,
            "strict": strict, "ok": ok, "baseline": baseline}


def rows_of(res):
    pypy = res["versions"]["implementation"] == "PyPy"
    rows = []
    for e in res.get("png") or []:
        lim = (PYPY_OPEN_LIMIT if pypy else OPEN_LIMIT).get(e["name"])
        base = "zlib.decompress %.2f ms" % (e["decompress_s"] * 1e3)
        sec = "PNG open / zlib.decompress of the IDAT data"
        pil = e["open"]["Pillow open+load"]["ratio"]
        rows.append(_row(sec, "%s open(bytes)" % e["name"], e["open"]["open(bytes)"]["ratio"], "x", lim,
                         baseline=base))
        rows.append(_row(sec, "%s open(path)" % e["name"], e["open"]["open(path)"]["ratio"], "x", lim))
        rows.append(_row(sec, "%s Pillow open+load" % e["name"], pil, "x"))
        rows.append(_row(sec, "%s open(path) / Pillow" % e["name"], e["open"]["open(path)"]["ratio"] / pil, "x",
                         1.0, strict=True))
        fresh = e.get("open_fresh")
        if fresh:
            rows.append(_row(sec, "%s open(bytes), fresh pages" % e["name"], fresh["open(bytes)"]["ratio"], "x", lim,
                             baseline="zlib.decompress %.2f ms" % (fresh["open(bytes)"]["baseline_s"] * 1e3)))
            rows.append(_row(sec, "%s open(path), fresh pages" % e["name"], fresh["open(path)"]["ratio"], "x", lim))
    for e in res.get("small") or []:
        sec = "PNG open(bytes) per call / Pillow's open and load"
        rows.append(_row(sec, "%s open(bytes)" % e["name"], e["ratio"], "x", SMALL_VS_PILLOW,
                         baseline="%.1f us; Pillow %.1f us" % (e["seconds"] * 1e6, e["pillow_s"] * 1e6)))
    for e in res.get("png") or []:
        sec = "PNG save / zlib.compress of the scanline stream (default level)"
        if e.get("save"):
            cores = res["machine"].get("cores", 1)
            limit = (SAVE_LIMIT_CORES if cores >= 2 else SAVE_LIMIT).get(e["name"])
            rows.append(_row(sec, "%s save" % e["name"], e["save"]["ratio"], "x", limit,
                             baseline="zlib.compress %.2f ms" % (e["compress_s"] * 1e3)))
            if e["save"].get("identical") is False:  # a fast save of other bytes meets no target
                rows[-1]["ok"] = False
                rows[-1]["baseline"] += "; the file does NOT hold zlib.compress's bytes"
    sc = res.get("scaling")
    if sc:
        sec = "PNG save on k cores (taskset) / zlib.compress"
        for e in sc["saves"]:
            for k, c in e["by_cores"].items():
                limit = SAVE_LIMIT.get(e["name"]) if k == "1" else SAVE_LIMIT_CORES.get(e["name"])
                rows.append(_row(sec, "%s save, %s core%s" % (e["name"], k, "" if k == "1" else "s"), c["ratio"],
                                 "x", limit, baseline="zlib.compress %.2f ms" % (c["compress_s"] * 1e3)))
                if c.get("identical") is False:
                    rows[-1]["ok"] = False
                    rows[-1]["baseline"] += "; the file does NOT hold zlib.compress's bytes"
        m = sc.get("memory")
        if m:
            sec = "Peak RSS growth of a 4K RGB save; allowed: the scanline stream + the file + 16 MiB"
            rows.append(_row(sec, "4K RGB save", m["growth"] / MIB, "MiB", round(m["limit"] / MIB, 1),
                             baseline="stream %.1f MiB, file %.1f MiB" % (m["stream"] / MIB, m["file"] / MIB)))
    if res.get("bmp"):
        b = res["bmp"]
        sec = "BMP 4K RGB (%dx%d) / a plain copy, %s, and / Pillow" % (b["width"], b["height"], b["copy"])
        for label, c in b["cases"].items():
            rows.append(_row(sec, "%s / copy" % label, c["vs_copy"], "x",
                             None if label == "save" else PYPY_BMP_OPEN_VS_COPY if pypy else BMP_OPEN_VS_COPY,
                             baseline="copy %.2f ms" % (c["copy_s"] * 1e3)))
            save_limit = PYPY_BMP_SAVE_VS_PILLOW if pypy else BMP_SAVE_VS_PILLOW
            rows.append(_row(sec, "%s / Pillow" % label, c["vs_pillow"], "x",
                             save_limit if label == "save" else 1.0, strict=label != "save",
                             baseline="Pillow %.2f ms" % (c["pillow_s"] * 1e3)))
    if res.get("pixels"):
        p = res["pixels"]
        ns, r = p["ns"], p["ratios"]
        sec = "Per call, ns (best round, the empty loop taken off)"
        for k in ns:
            rows.append(_row(sec, k, ns[k], "ns"))
        sec = "Per call, ratios"
        get_pil = r["getPixel / Pillow px[x, y]"]
        put_pil = r["putPixel / Pillow px[x, y] = v"]
        if pypy:
            rows += [_row(sec, "getPixel / d.get(c)", r["getPixel / d.get(c)"], "x", 1.5),
                     _row(sec, "getPixel / Pillow px[x, y]", get_pil, "x", 1.0, strict=True),
                     _row(sec, "getPixel / divmod(x, y)", r["getPixel / divmod(x, y)"], "x"),
                     _row(sec, "putPixel / d.get(c)", r["putPixel / d.get(c)"], "x", 1.5),
                     _row(sec, "putPixel / Pillow px[x, y] = v", put_pil, "x", 1.0, strict=True),
                     _row(sec, "putPixel / d.get(c, v)", r["putPixel / d.get(c, v)"], "x")]
        else:
            rows += [_row(sec, "getPixel / Pillow px[x, y]", get_pil, "x", 1.0),
                     _row(sec, "getPixel / divmod(x, y)", r["getPixel / divmod(x, y)"], "x", 1.1),
                     _row(sec, "getPixel / d.get(c)", r["getPixel / d.get(c)"], "x"),
                     _row(sec, "putPixel / d.get(c, v)", r["putPixel / d.get(c, v)"], "x", 0.8),
                     _row(sec, "putPixel / Pillow px[x, y] = v", put_pil, "x"),
                     _row(sec, "putPixel / d.get(c)", r["putPixel / d.get(c)"], "x")]
    for m in res.get("memory") or []:
        sec = "Peak RSS growth of open(path), fresh process; allowed: the host's own bytearray of the planes + 8 MiB"
        rows.append(_row(sec, "%s open(path)" % m["name"], m["growth_bytes"] / MIB, "MiB",
                         round(m["limit_bytes"] / MIB, 1),
                         baseline="bytearray(%d): %.1f MiB" % (m["planes_bytes"], m["host_bytearray_bytes"] / MIB)))
    rows += peer_rows(res.get("peers"))
    t = res.get("threads")
    if t:
        sec = "Two threads / one, %s (throughput)" % t["name"]
        for label in ("open(path)", "save"):
            rows.append(_row(sec, label, t[label]["ratio"], "x"))
            rows[-1]["limit"], rows[-1]["ok"] = THREADS_LIMIT, round(t[label]["ratio"], 2) >= THREADS_LIMIT
            rows[-1]["at_least"] = True
    return rows


def peer_rows(p):
    if not p:
        return []
    import bench_peers

    rows = []
    names = ", ".join(p["peers"]) or "none installed"
    sec = "PNG open and save / the fastest other library here (%s)" % names
    for e in p["inputs"]:
        for label, op in e["ops"].items():
            key, r = bench_peers.fastest(op)
            if key is None:
                continue
            opens = label.startswith("open")
            rows.append(_row(sec, "%s %s" % (e["name"], label), r, "x", PEER_OPEN_LIMIT if opens else None,
                             strict=True, baseline="%s %.3f ms" % (key, op["peers"][key]["seconds"] * 1e3)))
    s = p.get("corpus_summary") or {}
    for label, g in s.items():
        if g["vs_fastest"] is not None:
            rows.append(_row(sec, "PngSuite (%d) %s, geomean" % (g["files"], label), g["vs_fastest"], "x",
                             PEER_OPEN_LIMIT if label.startswith("open") else None, strict=True))
    sec = "PNG open and save, ours / each library, geometric mean over the PngSuite files"
    for key in p["peers"]:
        for label, g in s.items():
            if g["vs_peer"].get(key) is not None:
                rows.append(_row(sec, "%s / %s" % (label, key), g["vs_peer"][key], "x"))
    sec = "PNG file size of each library's default save / ours"
    for key in p["peers"]:
        for e in p["inputs"]:
            op = e["ops"].get("save")
            if op and key in op["peers"]:
                rows.append(_row(sec, "%s, %s" % (key, e["name"]), op["peers"][key]["bytes"] / op["ours_bytes"], "x",
                                 baseline="%d bytes; ours %d" % (op["peers"][key]["bytes"], op["ours_bytes"])))
        g = s.get("save", {}).get("size_vs_ours", {}).get(key)
        if g is not None:
            rows.append(_row(sec, "%s, PngSuite (geomean)" % key, g, "x"))
    return rows


def module_changes(versions):
    """Uncommitted changes that can change the figures (the harness and the documents cannot)."""
    return [f for f in versions.get("git_changes", [])
            if not (f.startswith("bench/") or f.endswith(".md") or f == "Makefile")]


def fmt_value(row):
    v = row["value"]
    if row["unit"] == "x":
        return "%.2fx" % v
    if row["unit"] == "ns":
        return "%.1f ns" % v
    return "%.1f %s" % (v, row["unit"])


def fmt_limit(row):
    if row["limit"] is None:
        return ""
    if row.get("at_least"):
        return ">= %g%s" % (row["limit"], "x" if row["unit"] == "x" else "")
    unit = {"x": "x", "ns": " ns", "MiB": " MiB"}[row["unit"]]
    return "%s %g%s" % ("<" if row["strict"] else "<=", row["limit"], unit)


def print_table(res):
    v, m = res["versions"], res["machine"]
    runtime = "PyPy %s (Python %s)" % (v["pypy"], v["python"]) if "pypy" in v else "CPython %s" % v["python"]
    say("")
    say("== Corvane benchmark, host %s: %s, Pillow %s, zlib %s%s"
        % (res["host"], runtime, v["pillow"], v["zlib"], ", quick run" if res["quick"] else ""))
    say("   %s, %d cores, %s; %s; git %s%s; %.0f s"
        % (m["cpu_model"], m["cores"], m["system"], res["date"], v["git"],
           " + uncommitted changes to %s" % ", ".join(module_changes(v)) if module_changes(v) else "",
           res["seconds"]))
    if "loadavg_at_start" in m:
        say("   load average (1, 5, 15 min) at start %s, at end %s: other work on the machine shows here"
            % (" ".join("%.2f" % x for x in m["loadavg_at_start"]),
               " ".join("%.2f" % x for x in m.get("loadavg_at_end", []))))
    if res.get("peers"):
        p = res["peers"]
        say("   peers: %s%s" % (", ".join("%s %s" % (k, e["version"]) for k, e in p["peers"].items()) or "none",
                              "; skipped: " + "; ".join("%s (%s)" % kv for kv in p["skipped"].items())
                              if p["skipped"] else ""))
    if res.get("pixels"):
        p = res["pixels"]
        say("   per call: best of %d rounds, empty loop %.2f ns taken off" % (p["rounds"], p["loop_ns"]))
    section = None
    for row in res["rows"]:
        if row["section"] != section:
            section = row["section"]
            say("  " + section)
        status = "" if row["ok"] is None else ("ok" if row["ok"] else "MISSED")
        say("    %-36s %10s  %-10s %-7s %s" % (row["label"], fmt_value(row), fmt_limit(row), status,
                                               row["baseline"]))
    targets = [r for r in res["rows"] if r["ok"] is not None]
    say("  targets met: %d of %d" % (sum(r["ok"] for r in targets), len(targets)))


def main(argv=None):
    ap = argparse.ArgumentParser(description="Corvane benchmark harness")
    ap.add_argument("--host", default=host_name(), help="name of this host in the results (default: %(default)s)")
    ap.add_argument("--quick", action="store_true", help="a smoke run of a few seconds (4K saves left out)")
    ap.add_argument("--only", default="", help="comma-separated subset of png,small,bmp,pixels,memory,threads,scaling,"
                    "peers "
                    "(writes no JSON)")
    ap.add_argument("--markdown", action="store_true", help="print the latest results of every host as Markdown")
    args = ap.parse_args(argv)
    if args.markdown:
        import report
        return report.main([])
    parts = ["png", "small", "bmp", "pixels", "memory", "threads", "scaling", "peers"]
    only = [p for p in args.only.split(",") if p] or parts
    unknown = set(only) - set(parts)
    if unknown:
        ap.error("unknown part(s): %s" % ", ".join(sorted(unknown)))

    t0 = time.time()
    say("== %s: inputs in %s" % (args.host, os.path.relpath(ROOT)))
    manifest = ensure_inputs()
    versions, machine = facts()
    if hasattr(os, "getloadavg"):
        machine["loadavg_at_start"] = [round(x, 2) for x in os.getloadavg()]
    res = {"host": args.host, "date": time.strftime("%Y-%m-%d %H:%M"), "quick": args.quick,
           "parts": only, "versions": versions, "machine": machine, "inputs": manifest}
    import bench_codecs
    import bench_memory
    import bench_peers
    import bench_pixels
    import bench_scaling
    import bench_threads

    if "png" in only:
        say("== %s: PNG open and save" % args.host)
        res["png"] = bench_codecs.run_png(args.quick)
    if "small" in only:
        say("== %s: small PNG opens, per call" % args.host)
        res["small"] = bench_codecs.run_small(args.quick)
    if "bmp" in only:
        say("== %s: BMP open and save" % args.host)
        res["bmp"] = bench_codecs.run_bmp(args.quick)
    if "pixels" in only:
        say("== %s: getPixel / putPixel per call" % args.host)
        res["pixels"] = bench_pixels.run(args.quick)
    if "memory" in only:
        say("== %s: peak memory of open" % args.host)
        res["memory"] = bench_memory.run(args.quick)
    if "threads" in only:
        say("== %s: two threads against one" % args.host)
        res["threads"] = bench_threads.run(args.quick)
    if "scaling" in only:
        say("== %s: PNG save on 1, 2, ... cores" % args.host)
        res["scaling"] = bench_scaling.run(args.quick)
    if "peers" in only:
        say("== %s: PNG open and save against the other libraries" % args.host)
        res["peers"] = bench_peers.run(args.quick)
    res["seconds"] = time.time() - t0
    if hasattr(os, "getloadavg"):
        res["machine"]["loadavg_at_end"] = [round(x, 2) for x in os.getloadavg()]
    res["rows"] = rows_of(res)
    print_table(res)
    if only == parts:
        name = ("quick-%s.json" if args.quick else "results-%s.json") % args.host
        path = os.path.join(ROOT, name)
        tmp = "%s.tmp-%d" % (path, os.getpid())
        with open(tmp, "w") as f:
            json.dump(res, f, indent=1)
        os.replace(tmp, path)
        say("  written: %s" % os.path.relpath(path))
    return 0


if __name__ == "__main__":
    sys.exit(main())
