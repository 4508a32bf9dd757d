"""The PNG chunk codec: _makeChunk's layout and CRC, _readChunk's reads, end of stream and errors."""
import io
import zlib

import pytest

import pngtools
from pngtools import Recording

EOF_LENGTH = "Unexpected EOF while reading chunk length"
EOF_TYPE = "Unexpected EOF while reading chunk type"
EOF_DATA = "Unexpected EOF while reading chunk data"
EOF_CRC = "Unexpected EOF while reading chunk CRC"
CORRUPT = "Corrupted PNG chunk detected"

CHUNKS = [
    (b"IEND", b""),
    (b"IHDR", pngtools.ihdr(3, 2)),
    (b"\0\0\0\0", b"\0"),                 # types are never inspected
    (b"tEXt", bytes(range(256)) * 3),
    (b"prVt", b"\xff" * 70001),
]


def read_error(m, data):
    with pytest.raises(ValueError) as e:
        m._readChunk(io.BytesIO(data))
    return str(e.value)


def test_iend_bytes_and_the_clean_end(m):
    iend = m._makeChunk(b"IEND", b"")
    assert type(iend) is bytes and iend == bytes.fromhex("00000000 49454E44 AE426082")
    stream = io.BytesIO(iend)
    assert m._readChunk(stream) == (b"IEND", b"") and stream.tell() == 12
    end = m._readChunk(stream)
    assert end == (b"", b"") and m._readChunk(io.BytesIO()) is end  # one shared pair


@pytest.mark.parametrize("ctype, data", CHUNKS)
def test_make_then_read(m, ctype, data):
    made = m._makeChunk(data=data, chunkType=ctype)
    assert made == pngtools.chunk(ctype, data)
    stream = Recording(made + b"next")
    got = m._readChunk(stream=stream)
    assert got == (ctype, data) and type(got) is tuple and all(type(x) is bytes for x in got)
    assert stream.reads() == [4, 4, len(data), 4] and stream.tell() == 12 + len(data)


def test_make_uses_any_type_as_given(m):
    # neither padded nor cut: the CRC covers exactly the bytes passed
    for ctype in (b"", b"ab", b"LONGTYPE"):
        assert m._makeChunk(ctype, b"data") == pngtools.chunk(ctype, b"data")


@pytest.mark.parametrize("n", range(17))
def test_every_truncation(m, n):
    stream = Recording(pngtools.chunk(b"abCD", b"12345")[:n])
    message = None
    for end, text in [(3, EOF_LENGTH), (7, EOF_TYPE), (12, EOF_DATA), (16, EOF_CRC)]:
        if 0 < n <= end:
            message = message or text
    if message is None:
        assert m._readChunk(stream) == (b"", b"")
    else:
        with pytest.raises(ValueError) as e:
            m._readChunk(stream)
        assert str(e.value) == message
    # each read is made once with the count wanted, never retried, and nothing is read past the failure
    assert stream.reads() == [4, 4, 5, 4][:1 + (n >= 4) + (n >= 8) + (n >= 13)]


@pytest.mark.parametrize("byte", range(4, 17))
def test_flips_in_type_data_or_crc_are_corruption(m, byte):
    whole = bytearray(pngtools.chunk(b"abCD", b"12345"))
    for bit in range(8):
        flipped = bytearray(whole)
        flipped[byte] ^= 1 << bit
        assert read_error(m, bytes(flipped)) == CORRUPT


@pytest.mark.parametrize("bit, message", [
    (0, CORRUPT),           # length 4: the CRC is read one byte early
    (2, CORRUPT),           # length 1
    (1, EOF_CRC),           # length 7: data takes two CRC bytes, two are left for the CRC
    (3, EOF_DATA),          # length 13: more than the 9 bytes that follow the type
    (31, EOF_DATA),         # length 2**31 + 5
])
def test_flips_in_length(m, bit, message):
    whole = bytearray(pngtools.chunk(b"abCD", b"12345"))
    whole[3 - bit // 8] ^= 1 << (bit % 8)
    assert read_error(m, bytes(whole)) == message


def test_crc_does_not_cover_the_length(m):
    assert read_error(m, pngtools.chunk(b"tEXt", b"", crc=zlib.crc32(b"\0\0\0\0tEXt") & 0xFFFFFFFF)) == CORRUPT


class Odd:
    """A stream whose read number `at` (0-based) returns `value` instead of the real bytes, or raises it."""

    def __init__(self, data, at, value):
        self.stream, self.at, self.value, self.count = io.BytesIO(data), at, value, 0

    def read(self, n):
        real = self.stream.read(n)
        self.count += 1
        if self.count - 1 != self.at:
            return real
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value(real) if callable(self.value) else self.value


@pytest.mark.parametrize("at", range(4))
def test_odd_reads(m, at):
    whole = pngtools.chunk(b"abCD", b"12345")
    # one byte too many is as wrong as one too few
    with pytest.raises(ValueError) as e:
        m._readChunk(Odd(whole, at, lambda real: real + b"!"))
    assert str(e.value) == [EOF_LENGTH, EOF_TYPE, EOF_DATA, EOF_CRC][at]
    # something that is not bytes, of the right length or none
    for value in (None, "12345" if at == 2 else "abcd", 4):
        with pytest.raises(TypeError):
            m._readChunk(Odd(whole, at, value))
    # errors of read itself pass through untouched
    error = OSError("disk on fire")
    with pytest.raises(OSError) as e:
        m._readChunk(Odd(whole, at, error))
    assert e.value is error


def test_huge_length_is_read_in_bounded_pieces(m):
    stream = Recording(b"\xff\xff\xff\xffabCD" + b"x" * 10)
    with pytest.raises(ValueError) as e:
        m._readChunk(stream)
    assert str(e.value) == EOF_DATA
    reads = stream.reads()
    # no single read asks for gigabytes, and the first short piece ends the reading
    assert reads[:2] == [4, 4] and len(reads) == 3 and 10 < reads[2] <= 64 << 20
    assert stream.tell() == 18


def test_large_chunk_reads_whole(m):
    data = bytes(range(256)) * (40 << 12) + b"end"  # 40 MiB and 3 bytes
    stream = Recording(pngtools.chunk(b"IDAT", data))
    assert m._readChunk(stream) == (b"IDAT", data)
    reads = stream.reads()
    assert reads[:2] == [4, 4] and reads[-1] == 4 and sum(reads[2:-1]) == len(data)
    assert max(reads[2:-1]) <= 64 << 20 and stream.tell() == len(data) + 12


def test_type_is_checked_before_data(m):
    with pytest.raises(TypeError) as e:
        m._makeChunk(bytearray(b"IEND"), None)
    assert "'chunkType'" in str(e.value)
