"""Print the latest full results of every host (build/bench/results-*.json) as one Markdown table.

    python bench/report.py            (or: python bench/harness.py --markdown)
    python bench/report.py --chart    also draws the chart of the peers part into bench/chart.png
                                      (make bench-report)
    python bench/report.py --readme   draws the chart and puts it, the facts it was drawn from and the
                                      table into README.md, between their marks
    python bench/report.py --quick [--chart]
                                      the same from the quick runs (quick-*.json); the chart goes to
                                      build/bench/chart-quick.png and the README is left alone

The table needs only the standard library. The chart is drawn by chart.py
with matplotlib, from a tools environment of its own (.venv/bench-tools, made
with this Python the first time). A figure in bold missed its target on that
host.
"""
import glob
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import REPO, ROOT  # noqa: E402
from harness import fmt_limit, fmt_value, module_changes, rows_of  # noqa: E402

ORDER = ["3.8", "3.11", "3.13", "pypy"]
CHART = os.path.join(REPO, "bench", "chart.png")
TOOLS = os.path.join(REPO, ".venv", "bench-tools")
CHART_MARKS = ("<!-- bench-chart: drawn by `make bench-report` -->\n", "<!-- /bench-chart -->")
TABLE_MARKS = ("<!-- bench-table: the output of `make bench-report` -->\n", "<!-- /bench-table -->")


def load(quick=False):
    results = []
    for path in glob.glob(os.path.join(ROOT, ("quick-*.json" if quick else "results-*.json"))):
        with open(path) as f:
            res = json.load(f)
        res["path"] = path
        try:
            res["rows"] = rows_of(res)  # the current targets, applied to the stored figures
        except KeyError:
            pass  # written by an older harness: its own rows stand
        results.append(res)
    results.sort(key=lambda r: (ORDER.index(r["host"]) if r["host"] in ORDER else len(ORDER), r["host"]))
    return results


def runtime(res):
    v = res["versions"]
    if "pypy" in v:
        return "PyPy %s (Python %s)" % (v["pypy"], v["python"])
    return "CPython %s" % v["python"]


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    unknown = set(argv) - {"--readme", "--chart", "--quick"}
    if unknown:
        print("unknown option(s): %s" % " ".join(sorted(unknown)))
        return 2
    quick = "--quick" in argv
    if "--readme" in argv:
        if quick:
            print("--readme takes the full results only: the README shows no quick run")
            return 2
        return write_readme()
    status = table(print, quick)
    if not status and "--chart" in argv:
        status = chart(load(quick), os.path.join(ROOT, "chart-quick.png") if quick else CHART)
    return status


def tools_python():
    """The Python of the tools environment, with matplotlib (made the first time)."""
    py = os.path.join(TOOLS, "bin", "python")
    if not os.path.exists(py):
        subprocess.check_call([sys.executable, "-m", "venv", TOOLS], stdout=sys.stderr)
    if subprocess.call([py, "-c", "import matplotlib"], stderr=subprocess.DEVNULL):
        print("installing matplotlib into %s" % os.path.relpath(TOOLS, REPO), file=sys.stderr)
        pip = subprocess.run([py, "-m", "pip", "install", "-q", "matplotlib"], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, universal_newlines=True)
        # pip on this kind of machine warns about every missing local mirror folder: keep the rest
        sys.stderr.write("".join(line for line in pip.stdout.splitlines(True)
                                 if not line.startswith("WARNING: Location ")))
        if pip.returncode:
            raise SystemExit("could not install matplotlib into %s" % TOOLS)
    return py


def chart_title(results):
    hosts = [r for r in results if r.get("peers")]
    machines = sorted({"%s, %d cores" % (r["machine"]["cpu_model"], r["machine"]["cores"]) for r in hosts})
    return "Corvane %s; hosts %s; %s%s" % (
        "/".join(sorted({r["versions"]["git"] for r in hosts})), ", ".join(r["host"] for r in hosts),
        "; ".join(machines), "; QUICK RUNS" if any(r["quick"] for r in hosts) else "")


def chart(results, out):
    """Draws the chart of the peers part of `results` into `out`; 1 when no result has that part."""
    with_peers = [r for r in results if r.get("peers")]
    if not with_peers:
        print("no results with the peers part: no chart")
        return 1
    py = tools_python()
    here = os.path.dirname(os.path.abspath(__file__))
    subprocess.check_call([py, os.path.join(here, "chart.py"), out, chart_title(with_peers)]
                          + [r["path"] for r in with_peers])
    print("chart: %s" % os.path.relpath(out, REPO))
    return 0


def chart_text(results, image):
    """The Markdown beside the chart: the image, and the machine and versions it came from."""
    hosts = [r for r in results if r.get("peers")]
    lines = ["![Open and save time of each library, relative to the fastest other library, per image and host]"
             "(%s)" % image, ""]
    machines = sorted({"%s, %d cores, %s" % (r["machine"]["cpu_model"], r["machine"]["cores"],
                                            r["machine"]["system"]) for r in hosts})
    dates = sorted({r["date"][:10] for r in hosts})
    lines.append("Drawn from the %s of the hosts %s, on %s, %s. Versions:" % (
        "QUICK runs" if any(r["quick"] for r in hosts) else "full runs", ", ".join(r["host"] for r in hosts),
        "; ".join(machines),
        " to ".join([dates[0], dates[-1]] if len(dates) > 1 else dates)))
    lines.append("")
    for r in hosts:
        p = r["peers"]
        peers = ", ".join("%s %s" % kv for kv in ((k, e["version"]) for k, e in p["peers"].items()))
        skipped = sorted(p["skipped"])
        lines.append("- %s: %s, Corvane at git %s%s, zlib %s; %s%s" % (
            r["host"], runtime(r), r["versions"]["git"],
            " + uncommitted changes" if module_changes(r["versions"]) else "", r["versions"]["zlib"], peers,
            "; not installed here: %s" % ", ".join(skipped) if skipped else ""))
    return "\n".join(lines) + "\n"


def _between(text, marks, body):
    start, end = marks
    i, j = text.find(start), text.find(end)
    if i < 0 or j < i:
        return None
    return text[:i + len(start)] + body + text[j:]


def write_readme():
    import io
    buf = io.StringIO()
    status = table(lambda *a: print(*a, file=buf))
    if status:
        return status
    path = os.path.join(REPO, "README.md")
    with open(path) as f:
        text = f.read()
    text = _between(text, TABLE_MARKS, buf.getvalue() + "\n")
    if text is None:
        print("README.md has no bench-table marks")
        return 1
    results = load()
    charted = any(r.get("peers") for r in results)
    if charted:
        with_chart = _between(text, CHART_MARKS, chart_text(results, os.path.relpath(CHART, REPO)) + "\n")
        if with_chart is None:
            print("README.md has no bench-chart marks")
            return 1
        status = chart(results, CHART)
        if status:
            return status
        text = with_chart
    with open(path, "w") as f:
        f.write(text)
    print("README.md: %s updated" % ("chart and table" if charted else "table"))
    return 0


def table(print, quick=False):
    results = load(quick)
    if not results:
        print("no results in %s: run `make bench` first" % ROOT)
        return 1
    hosts = [r["host"] for r in results]
    machines = sorted({"%s, %d cores, %s" % (r["machine"]["cpu_model"], r["machine"]["cores"], r["machine"]["system"])
                       for r in results})
    dates = sorted({r["date"][:10] for r in results})
    print("Measured on %s, %s. Hosts: %s." % (
        "; ".join(machines), " to ".join([dates[0], dates[-1]] if len(dates) > 1 else dates),
        "; ".join("%s = %s, Pillow %s, zlib %s, git %s%s" % (
            r["host"], runtime(r), r["versions"]["pillow"], r["versions"]["zlib"], r["versions"]["git"],
            " + uncommitted changes to " + ", ".join(module_changes(r["versions"])) if module_changes(r["versions"])
            else "") for r in results)))
    print("A figure in bold misses its target on that host.")
    print()
    # rows in first-seen order, keyed by section and label
    keys, cells = [], {}
    for r in results:
        for row in r["rows"]:
            key = (row["section"], row["label"])
            if key not in cells:
                keys.append(key)
                cells[key] = {}
            cells[key][r["host"]] = row
    print("| measure | target | " + " | ".join(hosts) + " |")
    print("|---|---|" + "---:|" * len(hosts))
    section = None
    for key in keys:
        if key[0] != section:
            section = key[0]
            print("| **%s** | |%s" % (section, " |" * len(hosts)))
        by_limit = {}
        for h in hosts:
            row = cells[key].get(h)
            if row and row["limit"] is not None:
                by_limit.setdefault(fmt_limit(row), []).append(h)
        present = [h for h in hosts if cells[key].get(h)]
        if not by_limit:
            target = ""
        elif len(by_limit) == 1 and len(next(iter(by_limit.values()))) == len(present):
            target = next(iter(by_limit))  # the same target on every host
        else:
            target = "; ".join("%s: %s" % (", ".join(hs), lim) for lim, hs in by_limit.items())
        out = []
        for h in hosts:
            row = cells[key].get(h)
            if row is None or row["value"] is None:
                out.append("")
            else:
                v = fmt_value(row)
                out.append("**%s**" % v if row["ok"] is False else v)
        print("| %s | %s | %s |" % (key[1], target.replace("<=", "&le;"), " | ".join(out)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
