"""Print the latest full results of every host (build/bench/results-*.json) as one Markdown table.

    python bench/report.py            (or: python bench/harness.py --markdown, make bench-report)
    python bench/report.py --readme   puts the table into README.md, between its bench-table marks

Needs only the standard library. A figure in bold missed its target on that host.
"""
import glob
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import REPO, ROOT  # noqa: E402
from harness import fmt_limit, fmt_value, module_changes, rows_of  # noqa: E402

ORDER = ["3.8", "3.11", "3.13", "pypy"]


def load():
    results = []
    for path in glob.glob(os.path.join(ROOT, "results-*.json")):
        with open(path) as f:
            res = json.load(f)
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
    if "--readme" in argv:
        return write_readme()
    return table(print)


def write_readme():
    import io
    buf = io.StringIO()
    status = table(lambda *a: print(*a, file=buf))
    if status:
        return status
    path = os.path.join(REPO, "README.md")
    with open(path) as f:
        text = f.read()
    start, end = "<!-- bench-table: the output of `make bench-report` -->\n", "<!-- /bench-table -->"
    i, j = text.find(start), text.find(end)
    if i < 0 or j < i:
        print("README.md has no bench-table marks")
        return 1
    text = text[:i + len(start)] + buf.getvalue() + "\n" + text[j:]
    with open(path, "w") as f:
        f.write(text)
    print("README.md: table updated")
    return 0


def table(print):
    results = load()
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
