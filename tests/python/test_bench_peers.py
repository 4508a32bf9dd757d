"""The benchmark's peers part and its chart, on made-up results and on a real icon (no timing is judged)."""
import io
import os
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "bench")
if not os.path.isdir(BENCH):
    pytest.skip("no bench/ beside the tests", allow_module_level=True)
sys.path.insert(0, BENCH)

import bench_peers  # noqa: E402
import chart  # noqa: E402
import harness  # noqa: E402
import report  # noqa: E402


def _op(ours_vs_floor, **ours_vs_peer):
    return {"ours_s": 1.0, "calls_per_run": 1, "rounds": 1, "floor": {"ratio": ours_vs_floor, "seconds": 1.0},
            "peers": {k: {"ratio": r, "seconds": 1.0 / r} for k, r in ours_vs_peer.items()}}


def _save(ours_bytes, **peer_bytes):
    op = _op(1.0, **{k: 0.5 for k in peer_bytes})
    op["ours_bytes"] = ours_bytes
    for k, b in peer_bytes.items():
        op["peers"][k]["bytes"] = b
    return op


def _results(host="3.11"):
    inputs = [{"name": "4K RGB", "left_out": {},
               "ops": {"open(bytes)": _op(0.5, Pillow=0.4, OpenCV=0.8), "save": _save(100, Pillow=90, OpenCV=150)}}]
    corpus = [{"name": "a.png", "left_out": {}, "ops": {"open(bytes)": _op(2.0, Pillow=0.5, OpenCV=2.0)}},
              {"name": "b.png", "left_out": {"OpenCV": "an alpha plane we do not have (from tRNS?)"},
               "ops": {"open(bytes)": _op(2.0, Pillow=0.5)}}]
    peers = {"peers": {"Pillow": {"version": "13.0.0"}, "OpenCV": {"version": "5.1.0"}},
             "skipped": {"pyspng": "ModuleNotFoundError: No module named 'pyspng'"},
             "inputs": inputs, "corpus": corpus, "corpus_summary": bench_peers.summary(corpus)}
    return {"host": host, "date": "2026-12-09 10:00", "quick": False, "peers": peers,
            "versions": {"implementation": "CPython", "python": "3.11.7", "pillow": "13.0.0", "zlib": "1.2.13",
                         "git": "abc1234", "git_changes": []},
            "machine": {"cpu_model": "CPU", "cores": 2, "system": "Linux"}}


def test_peers_that_do_not_import_are_skipped_with_the_reason():
    def broken():
        import no_such_png_library  # noqa: F401
    found, skipped = bench_peers.find_peers([("Pillow", bench_peers._pillow), ("broken", broken)])
    assert [p.key for p in found] == ["Pillow"]
    assert list(skipped) == ["broken"] and "no_such_png_library" in skipped["broken"]


def test_rows_compare_with_the_fastest_peer_and_hold_opens_to_it():
    rows = {r["label"]: r for r in harness.peer_rows(_results()["peers"])}
    op = rows["4K RGB open(bytes)"]
    # OpenCV's ratio is the larger: ours / the fastest peer
    assert op["value"] == 0.8 and op["baseline"].startswith("OpenCV") and op["limit"] == 1.0 and op["ok"]
    assert rows["4K RGB save"]["limit"] is None
    corpus = rows["PngSuite (2) open(bytes), geomean"]
    # per file: 2.0 (OpenCV on a.png), 0.5 (Pillow alone on b.png) -> geomean 1.0, not below it
    assert corpus["value"] == pytest.approx(1.0) and corpus["ok"] is False
    assert rows["open(bytes) / OpenCV"]["value"] == pytest.approx(2.0)  # b.png left OpenCV out
    assert rows["OpenCV, 4K RGB"]["value"] == 1.5 and rows["Pillow, 4K RGB"]["value"] == 0.9


def test_chart_data_is_relative_to_the_fastest_peer_per_image_and_host():
    data = chart.plots([_results("3.11"), _results("pypy")])
    rel = data["open(bytes)"]["4K RGB"]["3.11"]
    assert rel == pytest.approx({"Corvane": 0.8, "zlib floor": 1.6, "Pillow": 2.0, "OpenCV": 1.0})
    assert set(data["open(bytes)"]["4K RGB"]) == {"3.11", "pypy"}
    corpus = [k for k in data["open(bytes)"] if k.startswith("PngSuite")]
    assert corpus == ["PngSuite\n(2 files, geomean)"]
    assert data["open(bytes)"][corpus[0]]["3.11"]["Corvane"] == pytest.approx(1.0)
    assert data["open(path)"] == {}
    assert chart.libraries(data)[:2] == ["Corvane", "zlib floor"]


def test_readme_text_names_versions_and_skipped_peers():
    text = report.chart_text([_results()], "bench/chart.png")
    assert "](bench/chart.png)" in text
    assert "Pillow 13.0.0, OpenCV 5.1.0" in text and "not installed here: pyspng" in text
    marks = ("<!-- a -->\n", "<!-- /a -->")
    assert report._between("x<!-- a -->\nold<!-- /a -->y", marks, "new\n") == "x<!-- a -->\nnew\n<!-- /a -->y"
    assert report._between("no marks", marks, "new") is None


def test_chart_is_drawn(tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "chart.png"
    chart.draw([_results("3.11"), _results("pypy")], str(out), "title")
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_measure_checks_pixels_and_records_sizes(tmp_path):
    from PIL import Image

    path = tmp_path / "in.png"
    img = Image.frombytes("RGB", (8, 4), bytes(range(96)))
    img.save(str(path))
    wrong = bench_peers.Peer("wrong", "0", lambda data: None, lambda p: None,
                             lambda _: ((b"\0" * 96, None), None))
    e = bench_peers.measure("in", str(path), [bench_peers._pillow(), wrong], str(tmp_path), 1, 1, 0.0005,
                            fresh=False, log=lambda *a: None)
    assert e["left_out"] == {"wrong": "pixels differ"}
    assert set(e["ops"]) == {"open(bytes)", "open(path)", "save"}
    assert list(e["ops"]["open(path)"]["peers"]) == ["Pillow"]
    save = e["ops"]["save"]["peers"]["Pillow"]
    assert save["pixels_ok"] is True and save["bytes"] == os.path.getsize(str(tmp_path / "Pillow.png"))
    buf = io.BytesIO()
    img.save(buf, "PNG")
    assert e["file_bytes"] == len(buf.getvalue()) and (e["width"], e["height"], e["channels"]) == (8, 4, 3)
