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
    state = {"flip": 0}

    def flip_rows():
        pattern = NEW if state["flip"] % 2 == 0 else OLD
        state["flip"] += 1
        for y in range(0, HEIGHT, 3):
            pixels[y * ROW:(y + 1) * ROW] = pattern
        time.sleep(0)  # PyPy hands the lock back from a loop like this one only after many passes

    def saves():
        for k in range(rounds):
            im.save(str(tmp_path / ("out%d.png" % k)))

    assert run_beside(saves, flip_rows) == []
    assert state["flip"] > rounds  # the rows really changed during the saves
    for k in range(rounds):
        data = (tmp_path / ("out%d.png" % k)).read_bytes()
        ours = SimpleImage.open(data)._pixels
        theirs = Image.open(io.BytesIO(data)).convert("RGB").tobytes()
        assert ours == theirs
        bad = [y for y in range(HEIGHT) if not torn_or_whole(ours[y * ROW:(y + 1) * ROW])]
        assert bad == [], "save %d: rows %s decode to values nobody wrote" % (k, bad[:10])
