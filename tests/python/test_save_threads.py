"""Saving while other threads use the image: rows changed meanwhile go out as values someone wrote
(old or new), and buffers resized meanwhile neither fail the other thread nor the save."""
import io
import threading
import time

import pytest
from PIL import Image

from Corvane.simpleImage_ext import SimpleImage

WIDTH, HEIGHT = 2000, 2000
ROW = WIDTH * 3
# Two row patterns that differ in every byte, by neither 0 nor 128, so that a row filtered against
# one and decoded against the other (2a - b) reads as neither.
OLD = bytes((i * 7 + 3) % 256 for i in range(ROW))
NEW = bytes((o + 60 + i % 5) % 256 for i, o in enumerate(OLD))


def torn_or_whole(row):
    """Whether every byte of a decoded row is that byte of OLD or of NEW: a row the writer read while
    it was being written may mix the two (a copy is not atomic), but holds nothing else."""
    if row == OLD or row == NEW:
        return True
    return all(r == o or r == n for r, o, n in zip(row, OLD, NEW))


def run_beside(work, meddle):
    """Runs meddle() in a loop on a second thread for as long as work() takes; the exceptions of both."""
    done, errors = threading.Event(), []

    def loop():
        try:
            while not done.is_set():
                meddle()
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    t = threading.Thread(target=loop)
    t.start()
    try:
        work()
    except Exception as e:  # noqa: BLE001
        errors.append(e)
    finally:
        done.set()
        t.join()
    return errors


@pytest.mark.parametrize("filter_type", [2, 3, 4])
def test_rows_changed_during_a_save_decode_to_what_was_written(tmp_path, filter_type):
    # Every row's predictor reads the row above: filtering row y + 1 against bytes of row y other
    # than those that went out makes row y + 1 decode to values nobody wrote.
    im = SimpleImage(WIDTH, HEIGHT, OLD * HEIGHT, png_filters=bytearray([filter_type]) * HEIGHT)
    pixels, rounds = im._pixels, 6
    state = {"pass": 0, "rows": 0}

    def flip_rows():
        pattern = NEW if state["pass"] % 2 == 0 else OLD
        state["pass"] += 1
        for y in range(0, HEIGHT, 3):
            pixels[y * ROW:(y + 1) * ROW] = pattern
            state["rows"] += 1
            if y % 96 == 0:
                time.sleep(1e-6)  # PyPy hands the lock back from a loop like this one only after many passes

    def saves():
        for k in range(rounds):
            im.save(str(tmp_path / ("out%d.png" % k)))

    assert run_beside(saves, flip_rows) == []
    assert state["rows"] >= rounds  # rows really changed during the saves
    for k in range(rounds):
        data = (tmp_path / ("out%d.png" % k)).read_bytes()
        ours = SimpleImage.open(data)._pixels
        theirs = Image.open(io.BytesIO(data)).convert("RGB").tobytes()
        assert ours == theirs
        bad = [y for y in range(HEIGHT) if not torn_or_whole(ours[y * ROW:(y + 1) * ROW])]
        assert bad == [], "save %d: rows %s decode to values nobody wrote" % (k, bad[:10])


SMALL = (1000, 700)
MISMATCH = {"_pixels": "Pixel data length does not match image dimensions",
            "_alpha": "Alpha channel length does not match image dimensions",
            "_png_filters": "PNG filter count does not match image height"}


class HostZlib:
    """The host's zlib behind a stand-in: the writer then hands the whole stream to its compress."""
    def __getattr__(self, name):
        return getattr(__import__("zlib"), name)


def _resizable_image():
    w, h = SMALL
    pixels = bytes((i * 31 + i // 7) % 256 for i in range(w * h * 3))
    alpha = bytes((i * 3) % 256 for i in range(w * h))
    return SimpleImage(w, h, pixels, alpha, png_filters=bytearray(y % 5 for y in range(h))), pixels, alpha


@pytest.mark.parametrize("writer, plane", [("save", "_pixels"), ("save", "_alpha"), ("save", "_png_filters"),
                                           ("stand-in zlib", "_pixels"), ("saveBmp", "_pixels")])
@pytest.mark.parametrize("change", ["grow, then shrink back", "shrink, then grow back"])
def test_resizing_during_a_save_fails_neither_thread(m, tmp_path, writer, plane, change):
    # A writer that held the lock throughout would never make a resize elsewhere fail; one that
    # lets it go holds no view of a caller's buffer meanwhile, and a buffer found short when the
    # views are taken again is refused in the writer's own words, before the file is touched.
    im, pixels, alpha = _resizable_image()
    buf, tail = getattr(im, plane), b"\x01" * 16
    old, size = b"not an image", len(buf)
    paths = [tmp_path / ("out%d" % k) for k in range(40)]
    for p in paths:
        p.write_bytes(old)

    def resize():
        if change.startswith("grow"):
            buf.extend(tail)
            del buf[-len(tail):]
        else:
            end = bytes(buf[-len(tail):])
            del buf[-len(tail):]
            buf.extend(end)
        time.sleep(1e-6)  # the lock offered with the buffer at its own size

    refused, saved = [], []

    def saves():
        # Until a few saves went through: one that starts while the buffer is off its size is
        # refused at once, as it would be by any writer, so each starts when it is not.
        for p in paths:
            if len(saved) == 4:
                break
            while len(buf) != size:
                time.sleep(1e-6)
            try:
                if writer == "saveBmp":
                    im.saveBmp(str(p))
                else:
                    im.save(str(p))
            except (ValueError, IndexError) as e:
                refused.append((p, type(e), str(e)))
            else:
                saved.append(p)

    real_zlib = m.zlib
    if writer == "stand-in zlib":
        m.zlib = HostZlib()
    try:
        assert run_beside(saves, resize) == []
    finally:
        m.zlib = real_zlib
    # A length found wrong when it is checked (at the start, or for a piece) is the writer's refusal.
    # The BMP writer, which takes len() as it comes, refuses a short buffer as indexing past its end.
    assert saved
    for p, kind, message in refused:
        if writer == "saveBmp":
            assert (kind, message) == (IndexError, "bytearray index out of range")
        else:
            assert (kind, message) == (ValueError, MISMATCH[plane])
        assert p.read_bytes() == old
    for p in saved:
        back = SimpleImage.open(p.read_bytes())
        assert back._pixels == pixels
        if writer != "saveBmp":
            assert back._alpha == alpha and list(back._png_filters) == [y % 5 for y in range(SMALL[1])]
