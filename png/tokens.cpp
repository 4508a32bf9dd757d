// png/tokens.cpp: the token reader of png/tokens.hpp.
#include "png/tokens.hpp"

#include <cstring>

namespace corvane {
namespace {

constexpr uint8_t kCodeOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

uint32_t reversed(uint32_t code, int len) {
  uint32_t r = 0;
  for (int i = 0; i < len; ++i, code >>= 1) r = r << 1 | (code & 1);
  return r;
}

}  // namespace

// Over-subscribed lengths are refused; an incomplete code (zlib writes one
// for a block with a single distance) is kept, its unused codes failing
// when met.
bool TokenReader::Code::build(const uint8_t *lengths, int n, const uint8_t *extra, int fast_skip, int fast_limit) {
  std::memset(count, 0, sizeof count);
  for (int s = 0; s < n; ++s) ++count[lengths[s]];
  count[0] = 0;
  int left = 1;
  for (int len = 1; len < 16; ++len) {
    left = (left << 1) - count[len];
    if (left < 0) return false;
  }
  uint16_t offs[16], next[16];
  offs[1] = 0;
  for (int len = 1; len < 15; ++len) offs[len + 1] = uint16_t(offs[len] + count[len]);
  uint32_t code = 0;
  for (int len = 1; len < 16; ++len) {
    code = (code + (len > 1 ? count[len - 1] : 0)) << 1;
    next[len] = uint16_t(code);
  }
  std::memset(fast, 0, sizeof fast);
  for (int s = 0; s < n; ++s) {
    const int len = lengths[s];
    if (len == 0) continue;
    symbol[offs[len]++] = uint16_t(s);
    const uint32_t r = reversed(next[len]++, len);
    if (len > kFast || s == fast_skip || s >= fast_limit) continue;
    const uint32_t x = extra[s];
    const uint32_t entry = uint32_t(s) | uint32_t(len) << 9 | x << 13 | (uint32_t(len) + x) << 17;
    for (uint32_t i = r; i < (1u << kFast); i += 1u << len) fast[i] = entry;
  }
  return true;
}

bool TokenReader::refill_ok(int bits) {
  while (bitcount_ <= 56 && at_ < in_.size()) {
    bitbuf_ |= uint64_t(in_[at_++]) << bitcount_;
    bitcount_ += 8;
  }
  return bitcount_ >= bits;
}

bool TokenReader::take(int bits, uint32_t &v) {
  if (bitcount_ < bits && !refill_ok(bits)) return fail();
  v = peek(bits);
  drop(bits);
  return true;
}

bool TokenReader::decode(const Code &c, int &sym) {
  if (bitcount_ < 15) refill_ok(15);
  const uint32_t e = c.fast[peek(kFast)];
  const int len = int(e >> 9 & 15);
  if (len != 0) {
    if (len > bitcount_) return fail();
    sym = int(e & 511);
    drop(len);
    return true;
  }
  // A code longer than the table: bit by bit, the first bits highest.
  const uint32_t bits = uint32_t(bitbuf_);
  int code = 0, first = 0, index = 0;
  for (int l = 1; l < 16; ++l) {
    code |= int(bits >> (l - 1)) & 1;
    const int n = c.count[l];
    if (code - first < n) {
      if (l > bitcount_) return fail();
      sym = c.symbol[index + code - first];
      drop(l);
      return true;
    }
    index += n;
    first = (first + n) << 1;
    code <<= 1;
  }
  return fail();
}

bool TokenReader::start_block() {
  if (last_) {
    done_ = true;
    return false;
  }
  uint32_t header;
  if (!take(3, header)) return false;
  last_ = header & 1;
  const uint32_t type = header >> 1;
  if (type == 0) {
    drop(bitcount_ % 8);
    uint32_t len, nlen;
    if (!take(16, len) || !take(16, nlen)) return false;
    if ((len ^ 0xffff) != nlen) return fail();
    stored_left_ = len;
    block_ = Block::Stored;
    return true;
  }
  uint8_t lengths[288 + 32];
  if (type == 1) {
    static const struct Fixed {
      Code lit, dist;
      Fixed() {
        uint8_t l[288], d[30];
        std::memset(l, 8, 144);
        std::memset(l + 144, 9, 112);
        std::memset(l + 256, 7, 24);
        std::memset(l + 280, 8, 8);
        std::memset(d, 5, 30);
        lit.build(l, 288, kBases.length_extra, 256, 286);
        dist.build(d, 30, kBases.dist_extra);
      }
    } fixed;
    lit_ = fixed.lit;
    dist_ = fixed.dist;
    block_ = Block::Coded;
    return true;
  }
  if (type != 2) return fail();
  uint32_t hlit, hdist, hclen;
  if (!take(5, hlit) || !take(5, hdist) || !take(4, hclen)) return false;
  hlit += 257, hdist += 1, hclen += 4;
  if (hlit > 286 || hdist > 30) return fail();
  uint8_t code_lengths[19] = {};
  for (uint32_t i = 0; i < hclen; ++i) {
    uint32_t v;
    if (!take(3, v)) return false;
    code_lengths[kCodeOrder[i]] = uint8_t(v);
  }
  static constexpr uint8_t kNoExtra[19] = {};
  if (!lit_.build(code_lengths, 19, kNoExtra)) return fail();  // the code-length code, briefly in lit_
  for (uint32_t i = 0; i < hlit + hdist;) {
    int sym;
    if (!decode(lit_, sym)) return false;
    if (sym < 16) {
      lengths[i++] = uint8_t(sym);
      continue;
    }
    uint32_t repeat, value = 0;
    if (sym == 16) {
      if (i == 0 || !take(2, repeat)) return fail();
      value = lengths[i - 1];
      repeat += 3;
    } else if (sym == 17) {
      if (!take(3, repeat)) return false;
      repeat += 3;
    } else {
      if (!take(7, repeat)) return false;
      repeat += 11;
    }
    if (i + repeat > hlit + hdist) return fail();
    std::memset(lengths + i, int(value), repeat);
    i += repeat;
  }
  if (lengths[256] == 0 || !lit_.build(lengths, int(hlit), kBases.length_extra, 256) ||
      !dist_.build(lengths + hlit, int(hdist), kBases.dist_extra))
    return fail();
  block_ = Block::Coded;
  return true;
}

// The common case without a branch on the token's kind: a match is decoded
// whatever the symbol, and kept only if it is one. Codes longer than the
// tables, the end of a block and the stream's last bytes go the checked way.
size_t TokenReader::read(Token *out, size_t n) {
  size_t k = 0;
  if (block_ == Block::Coded) {
    const uint8_t *in = in_.data();
    const size_t size = in_.size();
    uint64_t bits = bitbuf_;
    int count = bitcount_;
    size_t at = at_;
    while (k < n && size - at >= 8) {
      uint64_t w;
      std::memcpy(&w, in + at, 8);
      bits |= w << count;  // bits above the count are the next ones, or zero
      at += size_t(63 - count) >> 3;
      count |= 56;
      // One load holds a whole match: 11 + 5 + 11 + 13 bits from the tables.
      const uint32_t e = lit_.fast[bits & kFastMask];
      const unsigned sym = e & 511, clen = e >> 9 & 15, lbits = e >> 17;
      const uint64_t b2 = bits >> lbits;
      const uint32_t de = dist_.fast[b2 & kFastMask];
      const unsigned dsym = de & 511, dlen = de >> 9 & 15, dx = de >> 13 & 15;
      const bool match = sym > 256;
      if (clen == 0 || (match && dlen == 0)) break;
      const unsigned length = kBases.length[sym] + unsigned((bits >> clen) & ((1u << (e >> 13 & 15)) - 1));
      const unsigned dist = kBases.dist[dsym] + unsigned((b2 >> dlen) & ((1u << dx) - 1));
      const unsigned used = match ? lbits + (de >> 17) : clen;
      bits >>= used;
      count -= int(used);
      out[k++].packed = match ? dist << 8 | (length - 3) : sym;
    }
    bitbuf_ = bits, bitcount_ = count, at_ = at;
    if (k) {
      stored_batch_ = false;
      return k;
    }
  }
  if (!next_checked(out[0])) return 0;
  stored_batch_ = block_ == Block::Stored;
  return 1;
}

bool TokenReader::next_checked(Token &t) {
  for (;;) {
    if (block_ == Block::None) {
      if (done_ || !start_block()) return false;
      continue;
    }
    if (block_ == Block::Stored) {
      if (stored_left_ == 0) {
        block_ = Block::None;
        continue;
      }
      uint32_t c;
      if (!take(8, c)) return false;
      --stored_left_;
      t = Token::literal(uint8_t(c));
      return true;
    }
    int sym;
    if (!decode(lit_, sym)) return false;
    if (sym < 256) {
      t = Token::literal(uint8_t(sym));
      return true;
    }
    if (sym == 256) {
      block_ = Block::None;
      continue;
    }
    if (sym > 285) return fail();
    uint32_t extra = 0, dextra = 0;
    if (kBases.length_extra[sym] && !take(kBases.length_extra[sym], extra)) return false;
    int dsym;
    if (!decode(dist_, dsym)) return false;
    if (dsym >= 30) return fail();
    if (kBases.dist_extra[dsym] && !take(kBases.dist_extra[dsym], dextra)) return false;
    t = Token::match(kBases.length[sym] + extra, kBases.dist[dsym] + dextra);
    return true;
  }
}

}  // namespace corvane
