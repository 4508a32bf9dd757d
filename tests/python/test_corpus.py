"""Real files from outside the project: PngSuite and a BMP suite, each with the outcome it must have.

The corpus lives beside the clone (../shared/corpus); expected.json there says, for every file,
whether it decodes (with hashes of the RGB and alpha bytes and what the file keeps) or which
exception and message refuse it. All files are opened in one child interpreter, so that a crash on
one of them fails the tests that reach it instead of ending the run.
"""
import json
import pathlib
import subprocess
import sys

import pytest

import pngtools

CORPUS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus"
EXPECTED = json.loads((CORPUS / "expected.json").read_text()) if (CORPUS / "expected.json").is_file() else {}
# entries whose expected text explains the message in a parenthetical after it
EXPLAINED = {"bmpsuite/b/reallybig.bmp"}

OPEN_ALL = r"""
import contextlib, hashlib, io, json, sys
from Corvane.simpleImage_ext import SimpleImage
root, names, out = sys.argv[1], json.loads(sys.argv[2]), {}
for name in names:
    sys.stderr.write(name + "\n")
    sys.stderr.flush()
    printed = io.StringIO()
    try:
        with contextlib.redirect_stdout(printed):
            img = SimpleImage.open(root + "/" + name)
    except Exception as e:
        out[name] = {"error": "%s: %s" % (type(e).__name__, e), "printed": printed.getvalue()}
        continue
    out[name] = {
        "printed": printed.getvalue(), "size": list(img.size), "types": [type(img._pixels).__name__],
        "rgb": hashlib.sha256(img._pixels).hexdigest(),
        "alpha": None if img._alpha is None else hashlib.sha256(img._alpha).hexdigest(),
        "filters": None if img._png_filters is None else "".join(map(str, img._png_filters)),
        "chunks": None if img._png_chunks is None else
            [[t.decode("latin-1"), None if d is None else d.hex(), n] for t, d, n in img._png_chunks],
        "bmp": None if img._bmp_header is None else list(img._bmp_header.items()),
    }
print(json.dumps(out))
"""


@pytest.fixture(scope="module")
def outcomes():
    run = subprocess.run([sys.executable, "-c", OPEN_ALL, str(CORPUS), json.dumps(sorted(EXPECTED))],
                         capture_output=True, text=True, timeout=600)
    if run.returncode != 0:
        return {"crash": "the interpreter ended with %d while opening %s" % (
            run.returncode, (run.stderr.splitlines() or ["?"])[-1])}
    return json.loads(run.stdout)


def names():
    if not EXPECTED:
        return [pytest.param(None, marks=pytest.mark.skip(reason="no test corpus at %s" % CORPUS))]
    return sorted(EXPECTED)


@pytest.mark.parametrize("name", names())
def test_corpus_file(outcomes, name):
    assert name in outcomes, outcomes.get("crash")
    want, got = EXPECTED[name], outcomes[name]
    if want["outcome"] == "refused":
        error = got.get("error")
        expected = want["error"].split(" (", 1)[0] if name in EXPLAINED else want["error"]
        assert error == expected and got["printed"] == ""
        return
    assert "error" not in got, got["error"]
    assert got["printed"] == "[SimpleImage] Opened image: %dx%d, channels=%d\n" % (
        want["width"], want["height"], want["channels"])
    assert got["size"] == [want["width"], want["height"]] and got["types"] == ["bytearray"]
    assert (got["rgb"], got["alpha"]) == (want["sha256_rgb"], want["sha256_alpha"])
    if name.endswith(".png"):
        assert got["filters"] == want["row_filters"] and got["bmp"] is None
        assert [c[0] for c in got["chunks"]] == want["chunks"]
        assert [n for t, d, n in got["chunks"] if t == "IDAT"] == want["idat_lengths"]
        in_file = pngtools.parse((CORPUS / name).read_bytes())
        assert got["chunks"] == [[t.decode("latin-1"), None if t == b"IDAT" else d.hex(), len(d)] for t, d in in_file]
    else:
        assert got["bmp"] == [[k, want["bmp_meta"][k]] for k in ("xppm", "yppm", "clrUsed", "clrImportant")]
        assert got["filters"] is None and got["chunks"] is None and got["alpha"] is None


def test_corpus_is_complete():
    if not EXPECTED:
        pytest.skip("no test corpus at %s" % CORPUS)
    outcomes = [v["outcome"] for v in EXPECTED.values()]
    assert (len(outcomes), outcomes.count("decodes")) == (265, 34)
    assert all((CORPUS / name).is_file() for name in EXPECTED)
