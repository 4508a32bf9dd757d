"""The README's chart: open and save time of every library, relative to the fastest other library, per image and host.

    python bench/chart.py OUT.png TITLE RESULTS.json...

Run by report.py (`make bench-report`, `python3 bench/report.py --readme`)
with the Python of the tools environment that has matplotlib; plots() alone
needs only the standard library, so the tests check what is drawn without it.
"""
import os
import sys
import textwrap

from bench_peers import fastest, geomean

# The panels: the op of the peers part each one shows.
PANELS = [("open(bytes)", "open from bytes"), ("open(path)", "open from a path"),
          ("save", "save, each library at its default settings")]
OURS, FLOOR = "Corvane", "zlib floor"
CORPUS = "PngSuite"


def _relative(op):
    """{library: its time / the fastest peer's}, ours and the zlib floor included; None without a peer."""
    best = fastest(op)[1]  # ours / the fastest peer
    if best is None:
        return None
    rel = {OURS: best, FLOOR: best / op["floor"]["ratio"]}
    rel.update({k: best / p["ratio"] for k, p in op["peers"].items()})
    return rel


def plots(results):
    """What the chart shows: {panel op: {image: {host: {library: time / the fastest peer's}}}}, the
    images in order (the harness's inputs, then the geometric mean over the PngSuite files)."""
    out = {op: {} for op, _ in PANELS}
    for res in results:
        p = res.get("peers")
        if not p:
            continue
        for op, _ in PANELS:
            for e in p["inputs"]:
                rel = _relative(e["ops"].get(op))
                if rel:
                    out[op].setdefault(e["name"], {})[res["host"]] = rel
            rels = [r for r in (_relative(e["ops"].get(op)) for e in p["corpus"]) if r]
            if rels:
                libs = sorted({k for r in rels for k in r})
                name = "%s\n(%d files, geomean)" % (CORPUS, len(rels))
                out[op].setdefault(name, {})[res["host"]] = {
                    k: geomean([r[k] for r in rels if k in r]) for k in libs}
    return out


def libraries(data):
    """Every library drawn, ours and the floor first, then the peers in first-seen order."""
    seen = [OURS, FLOOR]
    for images in data.values():
        for hosts in images.values():
            for rel in hosts.values():
                seen += [k for k in rel if k not in seen]
    return seen


def draw(results, out, title):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.ticker import FixedLocator, FuncFormatter, NullLocator

    data = plots(results)
    libs = libraries(data)
    hosts = [r["host"] for r in results if r.get("peers")]
    colours = {OURS: "#d62728", FLOOR: "#7f7f7f"}
    palette = ["#1f77b4", "#2ca02c", "#9467bd", "#ff7f0e", "#17becf", "#8c564b", "#e377c2", "#bcbd22"]
    for i, lib in enumerate(k for k in libs if k not in colours):
        colours[lib] = palette[i % len(palette)]
    markers = dict(zip(hosts, "osD^vP*X"))
    panels = [(op, label) for op, label in PANELS if data[op]]
    fig, axes = plt.subplots(len(panels), 1, figsize=(11, 3.6 * len(panels) + 1.2), squeeze=False)
    values = [v for op, _ in panels for hs in data[op].values() for rel in hs.values() for v in rel.values()]
    lo, hi = min(values + [1.0]) / 1.25, max(values + [1.0]) * 1.25
    ticks = [t for t in (0.05, 0.1, 0.2, 0.3, 0.5, 0.7, 1, 1.5, 2, 3, 5, 7, 10, 20) if lo <= t <= hi]
    width = 0.8 / max(1, len(hosts))
    for ax, (op, label) in zip(axes[:, 0], panels):
        images = list(data[op])
        for x, image in enumerate(images):
            for j, host in enumerate(hosts):
                rel = data[op][image].get(host)
                if not rel:
                    continue
                hx = x - 0.4 + width * (j + 0.5)
                for lib in libs:
                    if lib not in rel:
                        continue
                    ours = lib == OURS
                    ax.scatter([hx], [rel[lib]], s=70 if ours else 34, marker=markers[host], color=colours[lib],
                               edgecolors="black" if ours else "none", linewidths=0.8, zorder=4 if ours else 3)
            if x:
                ax.axvline(x - 0.5, color="#dddddd", linewidth=0.8, zorder=1)
        ax.axhline(1.0, color="black", linewidth=1.0, zorder=2)
        ax.set_yscale("log")
        ax.set_ylim(lo, hi)
        ax.yaxis.set_major_locator(FixedLocator(ticks))
        ax.yaxis.set_minor_locator(NullLocator())
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: "%g" % v))
        ax.grid(axis="y", color="#eeeeee", zorder=0)
        ax.set_xticks(range(len(images)))
        ax.set_xticklabels(images)
        ax.set_xlim(-0.5, len(images) - 0.5)
        ax.set_title(label, loc="left", fontsize=11)
        ax.set_ylabel("time / fastest other library")
    handles = [Line2D([], [], linestyle="", marker="o", color=colours[lib], markersize=7,
                      markeredgecolor="black" if lib == OURS else colours[lib], label=lib) for lib in libs]
    handles += [Line2D([], [], linestyle="", marker=markers[h], color="#444444", markersize=7, label="host %s" % h)
                for h in hosts]
    fig.legend(handles=handles, loc="upper center", ncol=min(len(handles), 6), fontsize=9, frameon=False,
               bbox_to_anchor=(0.5, 1 - 0.35 / fig.get_figheight()))
    h = fig.get_figheight()
    fig.suptitle(title, fontsize=10, y=1 - 0.08 / h)
    fig.text(0.01, 0.1 / h, textwrap.fill("Each mark: one library's median time on one image and host, over the fastest other "
             "library's there (log scale; below the line at 1, faster than all of them). zlib floor: "
             "zlib.decompress of the IDAT data (open), zlib.compress of the scanline stream (save). "
             "Ringed: Corvane. Saves at each library's default settings (OpenCV's: the Sub filter and zlib's "
             "run-length strategy), so they are not one task, and their files differ in size.", 175), fontsize=8, color="#333333")
    fig.tight_layout(rect=(0, 0.45 / h, 1, 1 - 0.7 / h))
    tmp = "%s.tmp-%d.png" % (out, os.getpid())
    fig.savefig(tmp, dpi=100)
    plt.close(fig)
    os.replace(tmp, out)


def main(argv):
    import json

    out, title, paths = argv[0], argv[1], argv[2:]
    results = []
    for path in paths:
        with open(path) as f:
            results.append(json.load(f))
    draw(results, out, title)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
