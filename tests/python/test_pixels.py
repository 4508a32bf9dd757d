"""getPixel / putPixel: host semantics on the caller's objects, and safety when they fight back."""
import pytest

from conftest import make

OOB = "Pixel coordinate out of bounds"


def test_get_reads_the_three_bytes_of_the_pixel():
    im = make()
    assert [im.getPixel((x, y)) for y in range(2) for x in range(2)] == \
        [(0, 1, 2), (3, 4, 5), (6, 7, 8), (9, 10, 11)]
    assert all(type(v) is int for v in im.getPixel((1, 1)))


@pytest.mark.parametrize("coords", [(2, 0), (0, 2), (-1, 0), (0, -1), (2**64, 0), (0, -2**64), (10**30, 10**30)])
def test_out_of_bounds(coords):
    im = make()
    for call in (lambda: im.getPixel(coords), lambda: im.putPixel(coords, (1, 2, 3))):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == OOB
    assert im._pixels == bytearray(range(12))


def test_empty_image_has_no_pixels(S):
    im = S(0, 0, b"")
    for coords in [(0, 0), (-1, -1), (1, 0)]:
        with pytest.raises(ValueError, match=OOB):
            im.getPixel(coords)


@pytest.mark.parametrize("coords, message", [
    ((1,), "need more than 1 value to unpack"),
    ((), "need more than 0 values to unpack"),
    ((0, 0, 0), "too many values to unpack (expected 2)"),
])
def test_coordinate_unpacking(coords, message):
    im = make()
    for call in (lambda: im.getPixel(coords), lambda: im.putPixel(coords, (1, 2, 3))):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == message


def test_alpha_is_neither_read_nor_written(S):
    im = S(1, 1, b"abc", alpha=b"\x80")
    assert im.getPixel((0, 0)) == (97, 98, 99)
    im.putPixel((0, 0), (1, 2, 3))
    assert im.getPixel((0, 0)) == (1, 2, 3) and im._alpha == b"\x80"


@pytest.mark.parametrize("value, stored", [
    ((300, -1, 12.7), (44, 255, 12)),
    ([1, 2, 3], (1, 2, 3)),
    (bytes([1, 2, 3]), (1, 2, 3)),
    (bytearray([4, 5, 6]), (4, 5, 6)),
    (iter([7, 8, 9]), (7, 8, 9)),
    ({1: 0, 2: 0, 3: 0}, (1, 2, 3)),
    (("12", True, -256), (12, 1, 0)),
    ((2**70 + 5, -2**70, -2**70 - 1), (5, 0, 255)),
    ((256, 511, -129), (0, 255, 127)),
    # either side of the one-digit ints that are read in place
    ((2**15 - 1, 2**15, -2**15 - 1), (255, 0, 255)),
    ([2**30 - 1, 2**30 + 7, -(2**30) - 1], (255, 7, 255)),
    ([2**31 + 3, -(2**62) - 2, 2**63 + 9], (3, 254, 9)),
])
def test_put_wraps_to_eight_bits(value, stored):
    im = make()
    im.putPixel((1, 0), value)
    assert im.getPixel((1, 0)) == stored
    assert im._pixels[:3] == b"\x00\x01\x02" and im._pixels[6:] == bytes(range(6, 12))


def counting(n, taken):
    for i in range(n):
        taken.append(i)
        yield i


@pytest.mark.parametrize("value, message", [
    ([1, 2], "need more than 2 values to unpack"),
    ((1,), "need more than 1 value to unpack"),
    ([], "need more than 0 values to unpack"),
    ((1, 2, 3, 4), "too many values to unpack (expected 3)"),
    ([1, 2, 3, 4, 5], "too many values to unpack (expected 3)"),
    (b"\x01\x02", "need more than 2 values to unpack"),
])
def test_put_value_unpacking(value, message):
    im = make()
    with pytest.raises(ValueError) as e:
        im.putPixel((0, 0), value)
    assert str(e.value) == message
    assert im._pixels == bytearray(range(12))


def test_put_takes_exactly_four_items_from_an_overlong_iterator():
    im = make()
    taken = []
    with pytest.raises(ValueError) as e:
        im.putPixel((0, 0), counting(10, taken))
    assert str(e.value) == "too many values to unpack (expected 3)" and taken == [0, 1, 2, 3]
    taken = []
    with pytest.raises(ValueError) as e:
        im.putPixel((0, 0), counting(2, taken))
    assert str(e.value) == "need more than 2 values to unpack"
    assert im._pixels == bytearray(range(12))


def test_put_refuses_a_non_iterable_value():
    with pytest.raises(TypeError):
        make().putPixel((0, 0), 5)


def test_bounds_are_checked_before_the_value():
    with pytest.raises(ValueError, match=OOB):
        make().putPixel((5, 5), 5)


def test_component_writes_are_not_atomic():
    im = make()
    with pytest.raises(TypeError):
        im.putPixel((0, 0), (10, 0, None))
    assert im.getPixel((0, 0)) == (10, 0, 2)
    with pytest.raises(ValueError):
        im.putPixel((1, 0), (7, "x", 9))
    assert im.getPixel((1, 0)) == (7, 4, 5)


def test_host_errors_of_the_buffer_pass_through():
    im = make()
    im._pixels = None
    with pytest.raises(TypeError):
        im.getPixel((0, 0))
    with pytest.raises(TypeError):
        im.putPixel((0, 0), (1, 2, 3))
    im = make()
    im.width = 3  # no longer matches the 12-byte buffer
    assert im.getPixel((1, 0)) == (3, 4, 5)
    with pytest.raises(IndexError):
        im.getPixel((2, 1))
    with pytest.raises(IndexError):
        im.putPixel((2, 1), (1, 2, 3))
    assert im._pixels == bytearray(range(12))
    with pytest.raises(TypeError):
        make().getPixel((0.5, 0))


def test_index_beyond_any_buffer_is_the_hosts_error():
    im = make()
    im.width = im.height = 2**31 - 1
    with pytest.raises(IndexError):
        im.getPixel((2**31 - 2, 2**31 - 2))
    with pytest.raises(IndexError):
        im.putPixel((2**31 - 2, 2**31 - 2), (1, 2, 3))


def test_int_subclasses_and_floats_use_host_arithmetic():
    im = make()
    assert im.getPixel((True, True)) == (9, 10, 11)
    im.putPixel((True, False), (7, 7, 7))
    assert im._pixels[3:6] == b"\x07\x07\x07"
    # 1.0 passes the bounds test, but (0 * 2 + 1.0) * 3 is no index
    with pytest.raises(TypeError):
        im.getPixel((1.0, 0))


class Coord:
    """A coordinate that compares and adds like an int but runs `action` on first comparison."""

    def __init__(self, v, action=None):
        self.v, self.action = v, action

    def _fire(self):
        if self.action:
            action, self.action = self.action, None
            action()

    def __ge__(self, other):  # 0 <= self
        self._fire()
        return self.v >= other

    def __lt__(self, other):
        return self.v < other

    def __radd__(self, other):
        return other + self.v

    def __rmul__(self, other):
        return other * self.v


def test_general_bounds_read_current_dimensions():
    im = make()

    def shrink():
        im.width = 0

    with pytest.raises(ValueError, match=OOB):
        im.getPixel((Coord(1, shrink), 0))


@pytest.mark.parametrize("action, exc", [
    (lambda im: im.__setattr__("_pixels", bytearray(0)), IndexError),
    (lambda im: im.__setattr__("_pixels", None), TypeError),
    (lambda im: im._pixels.clear(), IndexError),
])
def test_buffer_replaced_or_shrunk_during_comparison(action, exc):
    im = make()
    for call in (lambda c: im.getPixel(c), lambda c: im.putPixel(c, (1, 2, 3))):
        im._pixels = bytearray(range(12))
        with pytest.raises(exc):
            call((Coord(1, lambda: action(im)), 1))


def test_buffer_grown_during_comparison_is_the_one_read():
    im = make()

    def regrow():
        im._pixels = bytearray(range(100, 112))

    assert im.getPixel((Coord(1, regrow), 1)) == (109, 110, 111)


class Component:
    def __init__(self, v, action):
        self.v, self.action = v, action

    def __int__(self):
        self.action()
        return self.v


def test_buffer_shrunk_in_place_by_a_component():
    im = make()
    green = Component(5, lambda: im._pixels.clear())
    with pytest.raises(IndexError):
        im.putPixel((1, 1), (4, green, 6))
    assert im._pixels == bytearray()


def test_buffer_replaced_by_a_component_receives_the_rest():
    im = make()
    fresh = bytearray(12)
    green = Component(5, lambda: setattr(im, "_pixels", fresh))
    old = im._pixels
    im.putPixel((1, 1), (4, green, 6))
    assert old[9:] == b"\x04\x0a\x0b" and fresh[9:] == b"\x00\x05\x06"


def test_component_that_resizes_the_list_it_came_from():
    im = make()
    value = [1, None, 3]
    value[1] = Component(2, lambda: value.clear())
    im.putPixel((0, 0), value)
    assert im.getPixel((0, 0)) == (1, 2, 3)


def test_put_then_get_roundtrip_everywhere(S):
    im = S(3, 2, bytes(18))
    for y in range(2):
        for x in range(3):
            im.putPixel((x, y), (x, y, x + y * 3))
    assert bytes(im._pixels) == bytes(v for y in range(2) for x in range(3) for v in (x, y, x + y * 3))
