"""_split_idat_payload: cutting a compressed stream over the IDAT lengths a file was read with."""
import random

import pytest

from test_png_write import host_error


def reference_split(data, lengths):
    """The splitting rules, one by one: skip lengths <= 0, the last length takes the rest, leftovers form a piece."""
    parts, offset = [], 0
    for idx, length in enumerate(lengths):
        if offset >= len(data):
            break
        if length <= 0:
            continue
        take = len(data) - offset if idx == len(lengths) - 1 else min(length, len(data) - offset)
        parts.append(data[offset:offset + take])
        offset += take
    if offset < len(data):
        parts.append(data[offset:])
    return parts


def stream(n):
    return bytes((i * 7 + 3) % 256 for i in range(n))


# (recorded lengths, size of the stream, sizes of the pieces)
EXAMPLES = [
    ([100, 100, 50], 230, [100, 100, 30]),
    ([100, 100, 50], 150, [100, 50]),
    ([100, 100, 50], 200, [100, 100]),
    ([100, 100, 50], 400, [100, 100, 200]),
    ([100], 1, [1]),
    ([100], 100, [100]),
    ([100], 1000, [1000]),
    ([], 1, [1]),
    ([], 250, [250]),
    ([], 0, []),
    ([100], 0, []),
    ([0, -1, 5], 0, []),
    ([100, 0], 250, [100, 150]),
    ([0, 100], 250, [250]),
    ([0], 4, [4]),
    ([-5, 2], 4, [4]),
    ([5, -1, 5], 20, [5, 15]),
    ([5, 5, 5], 15, [5, 5, 5]),
    ([5, 5, 5], 16, [5, 5, 6]),
    ([5, 5, 5], 10, [5, 5]),
    ([5, 0, 5], 12, [5, 7]),
    ([3, 0, 0], 9, [3, 6]),
]


@pytest.mark.parametrize("lengths, size, sizes", EXAMPLES)
def test_examples(m, lengths, size, sizes):
    data = stream(size)
    given = list(lengths)
    parts = m._split_idat_payload(data, given)
    assert type(parts) is list and parts is not given and given == lengths
    assert [len(p) for p in parts] == sizes
    assert all(type(p) is bytes for p in parts) and b"".join(parts) == data
    assert reference_split(data, lengths) == parts


def test_random_lists_follow_the_rules(m):
    rng = random.Random(3)
    for _ in range(500):
        lengths = [rng.randrange(-3, 13) for _ in range(rng.randrange(6))]
        data = stream(rng.randrange(41))
        parts = m._split_idat_payload(data=data, lengths=lengths)
        assert parts == reference_split(data, lengths), (lengths, len(data))
        assert b"".join(parts) == data and all(parts)
        assert len(parts) <= max(len(lengths), 1)


class Length(int):
    pass


@pytest.mark.parametrize("lengths, expected", [
    ([True, True], [b"a", b"bc"]),
    ([Length(2), Length(1)], [b"ab", b"c"]),
    ([2 ** 70, 3], [b"abc"]),
    ([-2 ** 70, 2], [b"abc"]),
    ([2 ** 70], [b"abc"]),
    ([2.5], [b"abc"]),          # the last length is only compared, never used as a bound
    ([-1.5, 2], [b"abc"]),
    ([5, 2.5], [b"abc"]),       # the data is used up before the float is looked at
    ([3, "x", None], [b"abc"]),
])
def test_lengths_that_are_not_plain_ints(m, lengths, expected):
    assert m._split_idat_payload(b"abc", lengths) == expected


def test_numpy_lengths(m):
    np = pytest.importorskip("numpy")
    assert m._split_idat_payload(b"abcd", [np.int64(3), np.int32(9)]) == [b"abc", b"d"]


def test_empty_data_looks_at_no_length(m):
    assert m._split_idat_payload(b"", ["x", None, object()]) == []


@pytest.mark.parametrize("lengths", [[2.0, 1], [1.5, 1], ["x", 1], [None], [object(), 1]])
def test_lengths_that_cannot_be_compared_or_sliced(m, lengths):
    with pytest.raises(TypeError):
        m._split_idat_payload(b"abc", lengths)


class Bytes(bytes):
    pass


class List(list):
    pass


@pytest.mark.parametrize("data, lengths, message", [
    (bytearray(b"x"), [1], "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
    (memoryview(b"x"), [1], "Argument 'data' has incorrect type (expected bytes, got memoryview)"),
    ("x", [1], "Argument 'data' has incorrect type (expected bytes, got str)"),
    (b"x", (1,), "Argument 'lengths' has incorrect type (expected list, got tuple)"),
    (b"x", 1, "Argument 'lengths' has incorrect type (expected list, got int)"),
    (None, (1,), "Argument 'lengths' has incorrect type (expected list, got tuple)"),
])
def test_exact_types(m, data, lengths, message):
    with pytest.raises(TypeError) as e:
        m._split_idat_payload(data, lengths)
    assert str(e.value) == message


@pytest.mark.parametrize("data, lengths, name, type_name", [
    (Bytes(b"x"), [1], "data", "bytes"),
    (b"x", List([1]), "lengths", "list"),
])
def test_subclasses_are_refused(m, data, lengths, name, type_name):
    with pytest.raises(TypeError) as e:
        m._split_idat_payload(data, lengths)
    given = type(data if name == "data" else lengths).__name__
    base = "Argument '%s' has incorrect type (expected %s, got %s)" % (name, type_name, given)
    assert str(e.value).startswith(base) and len(str(e.value)) > len(base)


@pytest.mark.parametrize("data, lengths", [(None, [1]), (None, []), (b"x", None), (b"", None), (None, None)])
def test_none_passes_the_type_check_and_fails_on_len(m, data, lengths):
    with pytest.raises(TypeError) as e:
        m._split_idat_payload(data, lengths)
    assert (TypeError, str(e.value)) == host_error(lambda: len(None))


def test_argument_count_and_keywords(m):
    with pytest.raises(TypeError) as e:
        m._split_idat_payload(b"x")
    assert str(e.value) == "_split_idat_payload() takes exactly 2 positional arguments (1 given)"
    with pytest.raises(TypeError) as e:
        m._split_idat_payload(b"x", [], [])
    assert str(e.value) == "_split_idat_payload() takes exactly 2 positional arguments (3 given)"
    with pytest.raises(TypeError) as e:
        m._split_idat_payload(b"x", [], size=1)
    assert str(e.value) == "_split_idat_payload() got an unexpected keyword argument 'size'"
    with pytest.raises(TypeError) as e:
        m._split_idat_payload(b"x", data=b"x")
    assert str(e.value) == "_split_idat_payload() got multiple values for keyword argument 'data'"
    assert m._split_idat_payload(lengths=[1, 1], data=b"xyz") == [b"x", b"yz"]
