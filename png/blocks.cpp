// png/blocks.cpp: the zlib-exact block writer of png/blocks.hpp. The rules
// are zlib's (deflate.c's lazy matcher for where blocks end and where its
// window stands, trees.c for the codes and the block types), written out here
// from their documented behaviour; what each step must reproduce is noted
// where it is not plain deflate.
#include "png/blocks.hpp"

#include <algorithm>
#include <cstring>

namespace corvane {
namespace {

constexpr int kLCodes = 286, kDCodes = DeflateCodes::kDCodes, kBLCodes = 19, kHeapSize = 2 * kLCodes + 1;
constexpr int kMaxBits = 15, kMaxBLBits = 7, kEndBlock = 256;
constexpr size_t kWindow = 32768, kMinLookahead = 262, kMaxDist = kWindow - kMinLookahead;

constexpr uint8_t kExtraBL[19] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
constexpr uint8_t kBLOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};


uint16_t reverse(unsigned code, int len) {
  unsigned r = 0;
  for (int i = 0; i < len; ++i, code >>= 1) r = r << 1 | (code & 1);
  return uint16_t(r);
}

// zlib's fixed codes.
struct Tables {
  uint16_t static_lcode[288], static_dcode[30];
  uint8_t static_llen[288];
  Tables() {
    uint16_t count[kMaxBits + 1] = {};
    for (int n = 0; n < 288; ++n) {
      static_llen[n] = n < 144 ? 8 : n < 256 ? 9 : n < 280 ? 7 : 8;
      ++count[static_llen[n]];
    }
    uint16_t next[kMaxBits + 1];
    unsigned code = 0;
    for (int bits = 1; bits <= kMaxBits; ++bits) next[bits] = uint16_t(code = (code + count[bits - 1]) << 1);
    for (int n = 0; n < 288; ++n) static_lcode[n] = reverse(next[static_llen[n]]++, static_llen[n]);
    for (int n = 0; n < kDCodes; ++n) static_dcode[n] = reverse(unsigned(n), 5);
  }
};

}  // namespace

// One tree as trees.c keeps it, the unions of frequency/code and
// parent/length kept apart (no step reads one through the other).
struct Tree {
  uint32_t freq[kHeapSize];
  uint16_t code[kHeapSize];
  uint16_t len[kHeapSize + 1];  // + 1: room for the guard scan and send put after the last code
  uint16_t dad[kHeapSize];
  int max_code = 0;
};

struct ZlibBlockWriter::Trees {
  Tree l, d, bl;
  int heap[kHeapSize];
  int heap_len = 0, heap_max = 0;
  uint8_t depth[kHeapSize];
  uint16_t bl_count[kMaxBits + 1];
  uint64_t opt_len = 0, static_len = 0;  // wrap as zlib's do, to the same end

  struct Desc {
    Tree *tree;
    const uint8_t *static_len;  // null for the bit-length tree
    const uint8_t *extra;
    int base, elems, max_length;
  };

  void init_block() {
    std::fill_n(l.freq, kLCodes, 0u);
    std::fill_n(d.freq, kDCodes, 0u);
    std::fill_n(bl.freq, kBLCodes, 0u);
    l.freq[kEndBlock] = 1;
    opt_len = static_len = 0;
  }

  // zlib's smaller(): frequency, then depth, ties to the first.
  bool smaller(const Tree &t, int n, int m) const {
    return t.freq[n] < t.freq[m] || (t.freq[n] == t.freq[m] && depth[n] <= depth[m]);
  }
  void down_heap(const Tree &t, int k) {
    const int v = heap[k];
    int j = k << 1;
    while (j <= heap_len) {
      if (j < heap_len && smaller(t, heap[j + 1], heap[j])) ++j;
      if (smaller(t, v, heap[j])) break;
      heap[k] = heap[j];
      k = j;
      j <<= 1;
    }
    heap[k] = v;
  }

  void gen_bitlen(const Desc &desc) {
    Tree &t = *desc.tree;
    const int max_code = t.max_code;
    std::fill_n(bl_count, kMaxBits + 1, uint16_t(0));
    t.len[heap[heap_max]] = 0;  // the root
    int overflow = 0, h;
    for (h = heap_max + 1; h < kHeapSize; ++h) {
      const int n = heap[h];
      int bits = t.len[t.dad[n]] + 1;
      if (bits > desc.max_length) bits = desc.max_length, ++overflow;
      t.len[n] = uint16_t(bits);
      if (n > max_code) continue;  // not a leaf
      ++bl_count[bits];
      const int xbits = n >= desc.base ? desc.extra[n - desc.base] : 0;
      const uint64_t f = t.freq[n];
      opt_len += f * unsigned(bits + xbits);
      if (desc.static_len) static_len += f * unsigned(desc.static_len[n] + xbits);
    }
    if (overflow == 0) return;
    // Codes grew too long: zlib moves leaves up the tree from the deepest
    // level that has one below the limit, two at a time...
    do {
      int bits = desc.max_length - 1;
      while (bl_count[bits] == 0) --bits;
      --bl_count[bits];
      bl_count[bits + 1] += 2;
      --bl_count[desc.max_length];
      overflow -= 2;
    } while (overflow > 0);
    // ...then hands the lengths out again in the heap's order.
    for (int bits = desc.max_length; bits != 0; --bits) {
      int n = bl_count[bits];
      while (n != 0) {
        const int m = heap[--h];
        if (m > max_code) continue;
        if (t.len[m] != unsigned(bits)) {
          opt_len += (uint64_t(bits) - t.len[m]) * t.freq[m];
          t.len[m] = uint16_t(bits);
        }
        --n;
      }
    }
  }

  void gen_codes(Tree &t) {
    uint16_t next[kMaxBits + 1];
    unsigned code = 0;
    for (int bits = 1; bits <= kMaxBits; ++bits) next[bits] = uint16_t(code = (code + bl_count[bits - 1]) << 1);
    for (int n = 0; n <= t.max_code; ++n)
      if (t.len[n]) t.code[n] = reverse(next[t.len[n]]++, t.len[n]);
  }

  void build(const Desc &desc) {
    Tree &t = *desc.tree;
    int max_code = -1;
    heap_len = 0, heap_max = kHeapSize;
    for (int n = 0; n < desc.elems; ++n) {
      if (t.freq[n] != 0) {
        heap[++heap_len] = max_code = n;
        depth[n] = 0;
      } else {
        t.len[n] = 0;
      }
    }
    // At least two codes, even for one symbol or none: zlib adds symbols 0
    // and 1 (or 0), counting them out of the lengths again.
    while (heap_len < 2) {
      const int node = heap[++heap_len] = max_code < 2 ? ++max_code : 0;
      t.freq[node] = 1;
      depth[node] = 0;
      --opt_len;
      if (desc.static_len) static_len -= desc.static_len[node];
    }
    t.max_code = max_code;
    for (int n = heap_len / 2; n >= 1; --n) down_heap(t, n);
    int node = desc.elems;
    do {
      const int n = heap[1];
      heap[1] = heap[heap_len--];
      down_heap(t, 1);
      const int m = heap[1];
      heap[--heap_max] = n;
      heap[--heap_max] = m;
      t.freq[node] = t.freq[n] + t.freq[m];
      depth[node] = uint8_t((depth[n] >= depth[m] ? depth[n] : depth[m]) + 1);
      t.dad[n] = t.dad[m] = uint16_t(node);
      heap[1] = node++;
      down_heap(t, 1);
    } while (heap_len >= 2);
    heap[--heap_max] = heap[1];
    gen_bitlen(desc);
    gen_codes(t);
  }

  // The run-length pass over a tree's lengths, counting (scan) or sending.
  template <class Each>
  static void runs(Tree &t, int max_code, Each &&each) {
    int prevlen = -1, nextlen = t.len[0], count = 0, max_count = 7, min_count = 4;
    if (nextlen == 0) max_count = 138, min_count = 3;
    t.len[max_code + 1] = 0xffff;  // guard
    for (int n = 0; n <= max_code; ++n) {
      const int curlen = nextlen;
      nextlen = t.len[n + 1];
      if (++count < max_count && curlen == nextlen) continue;
      each(curlen, prevlen, count, min_count);
      count = 0;
      prevlen = curlen;
      if (nextlen == 0) {
        max_count = 138, min_count = 3;
      } else if (curlen == nextlen) {
        max_count = 6, min_count = 3;
      } else {
        max_count = 7, min_count = 4;
      }
    }
  }
  void scan(Tree &t, int max_code) {
    runs(t, max_code, [this](int curlen, int prevlen, int count, int min_count) {
      if (count < min_count) {
        bl.freq[curlen] += unsigned(count);
      } else if (curlen != 0) {
        if (curlen != prevlen) ++bl.freq[curlen];
        ++bl.freq[16];
      } else if (count <= 10) {
        ++bl.freq[17];
      } else {
        ++bl.freq[18];
      }
    });
  }

  int build_bl_tree() {
    scan(l, l.max_code);
    scan(d, d.max_code);
    build({&bl, nullptr, kExtraBL, 0, kBLCodes, kMaxBLBits});
    int max_blindex;
    for (max_blindex = kBLCodes - 1; max_blindex >= 3; --max_blindex)
      if (bl.len[kBLOrder[max_blindex]] != 0) break;
    opt_len += 3 * (uint64_t(max_blindex) + 1) + 5 + 5 + 4;
    return max_blindex;
  }
};

ZlibBlockWriter::ZlibBlockWriter(std::span<const uint8_t> stream, std::vector<uint8_t> &out)
    : stream_(stream), out_(out), trees_(std::make_unique<Trees>()), syms_(new Token[kBlockSymbols + 1]) {
  trees_->init_block();
  out_.push_back(0x78);  // deflate, 32 KiB window
  out_.push_back(0x9c);  // default level, no dictionary; 0x789c % 31 == 0
}

ZlibBlockWriter::~ZlibBlockWriter() = default;

// deflate_slow's loop top at t: when fewer than 262 bytes are left ahead,
// zlib refills its 64 KiB window, first sliding it down by 32 KiB once t is
// that far in. It holds the whole input from the start (compress2 hands it
// over in one call), so each refill fills the window to the top. Between
// slides nothing is to be done before check_at_.
void ZlibBlockWriter::loop_top(size_t t) {
  const size_t filled = std::min(stream_.size(), base_ + 2 * kWindow);
  if (filled - t < kMinLookahead && t - base_ >= kWindow + kMaxDist) base_ += kWindow;
  const size_t next_filled = std::min(stream_.size(), base_ + 2 * kWindow);
  check_at_ = std::max(next_filled >= kMinLookahead ? next_filled - kMinLookahead + 1 : 0, base_ + kWindow + kMaxDist);
}

bool ZlibBlockWriter::finish(uint32_t adler) {
  if (pos_ != stream_.size()) return false;
  loop_top(pos_);
  flush(true);
  for (int shift = 24; shift >= 0; shift -= 8) out_.push_back(uint8_t(adler >> shift));
  return true;
}

namespace {

// The bits of one block, lowest first; put() keeps fewer than 32 of them.
struct BitOut {
  uint8_t *o;
  uint64_t bits;
  int n;
  void put(uint32_t value, int length) {
    bits |= uint64_t(value) << n;
    n += length;
    if (n >= 32) {
      const uint32_t w = uint32_t(bits);
      std::memcpy(o, &w, 4);  // little-endian hosts only, as the wheels are
      o += 4;
      bits >>= 32;
      n -= 32;
    }
  }
  void windup() {
    for (; n > 0; n -= 8) *o++ = uint8_t(bits), bits >>= 8;
    bits = 0, n = 0;
  }
};

// A block's symbols by its codes, each token in one value: a literal's
// code, or a length's code and extra bits and a distance's.
void compress_block(BitOut &w, const Token *syms, size_t nsyms, const uint16_t *lcode, const uint8_t *llen,
                    const uint16_t *dcode, const uint8_t *dlen) {
  uint32_t sym_bits[256 + 256];  // literals, then matches by length - 3
  uint8_t sym_n[256 + 256];
  for (unsigned c = 0; c < 256; ++c) sym_bits[c] = lcode[c], sym_n[c] = llen[c];
  for (unsigned lc = 0; lc < 256; ++lc) {
    const unsigned code = kDeflateCodes.length_code[lc], sym = code + 257;
    sym_bits[256 + lc] = lcode[sym] | (lc - kDeflateCodes.length_base[code]) << llen[sym];
    sym_n[256 + lc] = uint8_t(llen[sym] + kDeflateCodes.extra_l[code]);
  }
  uint32_t dist_bits[kDCodes];
  uint8_t dist_n[kDCodes];
  for (int dc = 0; dc < kDCodes; ++dc) dist_bits[dc] = dcode[dc], dist_n[dc] = uint8_t(dlen[dc] + kDeflateCodes.extra_d[dc]);
  for (; w.n >= 8; w.n -= 8) *w.o++ = uint8_t(w.bits), w.bits >>= 8;
  // The bit buffer in locals (stores through the output byte pointer could
  // otherwise be taken to change it), fewer than 8 bits kept after each
  // token, whose at most 48 bits go out whole bytes at a time: the block's
  // room has 8 bytes more than it needs.
  uint8_t *o = w.o;
  uint64_t bits = w.bits;
  int n = w.n;
  for (size_t i = 0; i < nsyms; ++i) {
    const Token t = syms[i];
    const bool match = t.is_match();
    const unsigned s = t.value() | unsigned(match) << 8;
    const unsigned dist = t.distance() - unsigned(match), dc = kDeflateCodes.dist(dist);  // 0 for a literal
    const unsigned dn = match ? dist_n[dc] : 0;
    const uint64_t d = match ? (dist_bits[dc] | (dist - kDeflateCodes.dist_base[dc]) << dlen[dc]) : 0;
    bits |= (sym_bits[s] | d << sym_n[s]) << n;
    n += sym_n[s] + int(dn);
    std::memcpy(o, &bits, 8);
    o += n >> 3;
    bits >>= n & ~7;
    n &= 7;
  }
  w.o = o, w.bits = bits, w.n = n;
  w.put(lcode[kEndBlock], llen[kEndBlock]);
}

}  // namespace

void ZlibBlockWriter::flush(bool last) {
  Trees &tr = *trees_;
  static const Tables tb;
  const size_t stored_len = pos_ - block_start_;
  const bool in_window = block_start_ >= base_;
  for (int i = 0; i < kLCodes; ++i) tr.l.freq[i] += lcount_[0][i] + lcount_[1][i];
  for (int i = 0; i < kDCodes; ++i) tr.d.freq[i] = dcount_[0][i] + dcount_[1][i];
  std::memset(lcount_, 0, sizeof lcount_);
  std::memset(dcount_, 0, sizeof dcount_);
  tr.build({&tr.l, tb.static_llen, kDeflateCodes.extra_l, 257, kLCodes, kMaxBits});
  static constexpr uint8_t kStaticD[kDCodes] = {5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5,
                                                5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5};
  tr.build({&tr.d, kStaticD, kDeflateCodes.extra_d, 0, kDCodes, kMaxBits});
  const int max_blindex = tr.build_bl_tree();
  uint64_t opt_lenb = (tr.opt_len + 3 + 7) >> 3;
  const uint64_t static_lenb = (tr.static_len + 3 + 7) >> 3;
  if (static_lenb <= opt_lenb) opt_lenb = static_lenb;

  // Room for the block: a symbol takes at most 48 bits, the trees fewer
  // than 600 bytes, a stored block its bytes and 5 more.
  const size_t used = out_.size();
  out_.resize(used + std::max(nsyms_ * 6 + 1024, stored_len + 16) + 8);
  BitOut w{out_.data() + used, bits_, nbits_};

  // Stored only while its bytes are still in the window (zlib has no other
  // copy of them); the 4 is the two length words.
  if (stored_len + 4 <= opt_lenb && in_window && stored_len <= 0xffff) {
    w.put(0 + last, 3);
    w.windup();
    const uint16_t n = uint16_t(stored_len), nn = uint16_t(~stored_len);
    *w.o++ = uint8_t(n), *w.o++ = uint8_t(n >> 8), *w.o++ = uint8_t(nn), *w.o++ = uint8_t(nn >> 8);
    std::memcpy(w.o, stream_.data() + block_start_, stored_len);
    w.o += stored_len;
  } else if (static_lenb == opt_lenb) {
    w.put(2 + last, 3);
    compress_block(w, syms_.get(), nsyms_, tb.static_lcode, tb.static_llen, tb.static_dcode, kStaticD);
  } else {
    w.put(4 + last, 3);
    const int lcodes = tr.l.max_code + 1, dcodes = tr.d.max_code + 1, blcodes = max_blindex + 1;
    w.put(unsigned(lcodes - 257), 5);
    w.put(unsigned(dcodes - 1), 5);
    w.put(unsigned(blcodes - 4), 4);
    for (int rank = 0; rank < blcodes; ++rank) w.put(tr.bl.len[kBLOrder[rank]], 3);
    auto send_tree = [&](Tree &t, int max_code) {
      Trees::runs(t, max_code, [&](int curlen, int prevlen, int count, int min_count) {
        auto code = [&](int c) { w.put(tr.bl.code[c], tr.bl.len[c]); };
        if (count < min_count) {
          do code(curlen);
          while (--count != 0);
        } else if (curlen != 0) {
          if (curlen != prevlen) code(curlen), --count;
          code(16), w.put(unsigned(count - 3), 2);
        } else if (count <= 10) {
          code(17), w.put(unsigned(count - 3), 3);
        } else {
          code(18), w.put(unsigned(count - 11), 7);
        }
      });
    };
    send_tree(tr.l, lcodes - 1);
    send_tree(tr.d, dcodes - 1);
    uint8_t llen[kLCodes], dlen[kDCodes];
    // Symbols past max_code never occur; their lengths (the guard among
    // them) are left out of the tables.
    for (int i = 0; i < kLCodes; ++i) llen[i] = i <= tr.l.max_code ? uint8_t(tr.l.len[i]) : 0;
    for (int i = 0; i < kDCodes; ++i) dlen[i] = i <= tr.d.max_code ? uint8_t(tr.d.len[i]) : 0;
    compress_block(w, syms_.get(), nsyms_, tr.l.code, llen, tr.d.code, dlen);
  }
  if (last) w.windup();
  out_.resize(size_t(w.o - out_.data()));
  bits_ = w.bits, nbits_ = w.n;
  nsyms_ = 0;
  tr.init_block();
  block_start_ = pos_;
}

}  // namespace corvane
