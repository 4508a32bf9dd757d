#!/usr/bin/env python3
"""fuzz/make_seeds.py: writes the seed inputs of corpus/<target>/ (seed-*),
laid out as each target reads its input (see the comment at the top of each
fuzz_<target>.cpp). Deterministic; crash-* files beside them are kept."""
import pathlib
import random
import struct
import zlib

root = pathlib.Path(__file__).resolve().parent / "corpus"
rng = random.Random(9)


def noise(n):
    return bytes(rng.randrange(256) for _ in range(n))


def write(target, seeds):
    d = root / target
    d.mkdir(parents=True, exist_ok=True)
    for old in d.glob("seed-*"):
        old.unlink()
    for i, data in enumerate(seeds):
        (d / f"seed-{i:02d}").write_bytes(data)


# width, height, flags (1: 4 channels, 2: tidy types, 12: short stream,
# 16: trailing bytes), fill, piece count, pieces, stream bytes
unfilter = []
for w, h, flags, pieces in [(0, 0, 0, b""), (1, 1, 2, b""), (5, 3, 3, b"\x01"), (6, 4, 2, b"\x07\x00\x03"),
                            (7, 5, 3, b"\xff"), (16, 8, 2, b"\x02\x05"), (33, 2, 19, b"\x00"),
                            (64, 6, 3, b"\x11\x40"), (255, 16, 2, b""), (0, 9, 2, b"\x01"),
                            (9, 7, 14, b"\x03"), (10, 4, 15, b"\x05\x01"), (21, 3, 0, b""), (4, 32, 3, b"\x09")]:
    unfilter.append(bytes([w, h, flags, 0xA5, len(pieces)]) + pieces + noise(48))
# every type on every row of a 4-channel and a 3-channel image, and a bad row
for ch in (2, 3):
    unfilter.append(bytes([11, 5, ch, 0, 0]) + noise(300))
unfilter.append(bytes([6, 3, 3, 0, 0]) + bytes([4]) + noise(24) + bytes([0xFF]) + noise(24))
write("unfilter", unfilter)

# width, height, flags (1: 4 channels, 2: default types, 4: keep bad types), types, pixels
roundtrip = []
for w, h, flags in [(0, 0, 0), (1, 1, 0), (5, 5, 1), (6, 5, 0), (7, 5, 1), (17, 10, 0), (40, 3, 1),
                    (3, 6, 2), (3, 6, 3), (8, 6, 5), (12, 4, 4), (255, 16, 1), (0, 7, 1)]:
    types = bytes(rng.choice([0, 1, 2, 3, 4, 0xF7]) for _ in range(h))
    roundtrip.append(bytes([w, h, flags]) + types + noise(64))
write("roundtrip", roundtrip)

# flags (1/2: negative w/h, 8: short rgb, 16: long rgb, 32: wrong out size),
# width, height, row length, stored length, slack, bytes
bmp = []
for flags, w, h, row, stored, slack in [(0, 0, 0, 0, 0, 0), (0, 1, 1, 3, 3, 0), (0, 2, 3, 6, 8, 1),
                                        (0, 3, 2, 9, 9, 2), (0, 4, 5, 12, 11, 3), (8, 5, 4, 7, 20, 4),
                                        (8, 6, 6, 15, 15, 7), (16, 7, 3, 30, 40, 5), (32, 3, 3, 0, 1, 0),
                                        (1, 2, 2, 3, 3, 0), (2, 2, 2, 3, 3, 0), (3, 2, 3, 3, 3, 0),
                                        (0, 69, 23, 255, 255, 6), (8, 1, 7, 3, 2, 0)]:
    bmp.append(bytes([flags, w, h, row, stored, slack]) + noise(64))
write("bmp_rows", bmp)

# width, height (int32 LE), channels (int8), x, y, row width (int64 LE),
# total flags and total, length count, then (kind, value) lengths
def sizes_seed(w, h, ch, x, y, width, total, lengths):
    b = struct.pack("<iib", w, h, ch) + struct.pack("<qqq", x, y, width)
    b += bytes([0x80]) + struct.pack("<Q", total) + bytes([len(lengths)])
    for v in lengths:
        b += bytes([8]) + struct.pack("<q", v)
    return b

sizes = [
    sizes_seed(0, 0, 3, 0, 0, 1, 0, []),
    sizes_seed(24, 12, 4, 2, 1, 24, 272, [90, 90, 92]),
    sizes_seed(-1, -1, 3, 0, 0, 1, 100, [-5, 0, 40]),
    sizes_seed(715827881, 1, 3, 5, 7, 1 << 40, 2**64 - 1, [2**63 - 1, 1]),
    sizes_seed(715827882, 2, 4, 0, 2**40, 2**23, 7, [3]),
    sizes_seed(2**31 - 1, 1, 3, 1, 3074457345618258602, 1, 10, [1, 1, 1, 1]),
    sizes_seed(-2**31, -1, 4, 0, 1, 3074457345618258602, 5, [-2**63, 2, 2**63 - 1]),
    sizes_seed(46341, 46340, 3, 3, 3, 4, 1 << 32, [1 << 31, 1 << 31, 5]),
    sizes_seed(536870911, 1, 4, 0, 0, 2**63 - 1, 3, [0, 0, 0]),
    sizes_seed(-715827882, 3, 5, 9, 9, 10, 64, [10] * 8),
]
write("sizes", sizes)

# width, height, flags (1: 4 channels, 2: 12 times the size), piece count,
# piece lengths, zlib data:
# streams of real scanlines, whole, cut, corrupted, and of the wrong size
def scan(w, h, ch, types):
    out = bytearray()
    for y in range(h):
        out.append(types[y % len(types)])
        out += bytes((x * 7 + y * 13) % 256 for x in range(w * ch))
    return bytes(out)

inflate = []
for w, h, flags, cuts, level in [(0, 0, 0, [], 6), (1, 1, 0, [1], 9), (8, 8, 1, [3, 40], 1), (16, 5, 0, [], 6),
                                 (33, 9, 1, [200, 1, 1], 6), (64, 64, 0, [7] * 7, 9), (5, 5, 1, [0, 2], 0)]:
    data = zlib.compress(scan(w, h, 3 + (flags & 1), [0, 1, 2, 3, 4]), level)
    inflate.append(bytes([w, h, flags, len(cuts)] + cuts) + data)
    inflate.append(bytes([w, h, flags, 0]) + data[:-5])  # cut short
    broken = bytearray(data)
    broken[len(broken) // 2] ^= 0x10
    inflate.append(bytes([w, h, flags, 0]) + bytes(broken))
inflate.append(bytes([4, 4, 0, 0]) + zlib.compress(scan(4, 5, 3, [0])))  # a row too many
inflate.append(bytes([4, 4, 0, 0]) + zlib.compress(scan(4, 4, 3, [7])))  # a bad row type
write("inflate", inflate)


# a PNG after its signature: whole, with its IDAT data split, with a later
# header, cut, with a bad CRC
def chunk(t, d=b""):
    return struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d) & 0xFFFFFFFF)


def ihdr(w, h, colour=2, depth=8):
    return struct.pack(">IIBBBBB", w, h, depth, colour, 0, 0, 0)


pngs = []
for w, h, colour in [(1, 1, 2), (5, 3, 6), (12, 7, 2), (0, 4, 6)]:
    z = zlib.compress(scan(w, h, 3 if colour == 2 else 4, [0, 1, 2, 3, 4]))
    whole = chunk(b"IHDR", ihdr(w, h, colour)) + chunk(b"tEXt", b"a\0b") + chunk(b"IDAT", z) + chunk(b"IEND")
    pngs.append(whole)
    pngs.append(chunk(b"IHDR", ihdr(w, h, colour)) + chunk(b"IDAT", z[:7]) + chunk(b"IDAT", z[7:])
                + chunk(b"IEND"))
    pngs.append(chunk(b"IHDR", ihdr(9, 9, 6)) + chunk(b"IDAT", z) + chunk(b"IHDR", ihdr(w, h, colour)))
    pngs.append(whole[:len(whole) // 2])
    pngs.append(whole[:-5] + bytes([whole[-5] ^ 1]) + whole[-4:])
write("png", pngs)
