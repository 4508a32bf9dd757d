// png/tokens.hpp: the literals and matches a raw deflate stream is made of,
// read back one at a time, without making the bytes they stand for. The
// parallel compressor reads the streams zlib wrote for each segment with it.
// No Python here.
#pragma once
#include <cstdint>
#include <span>

namespace corvane {

// One token: a literal byte, or a match of `length` (3..258) bytes `distance`
// (1..32768) back. Packed as zlib keeps its symbols: distance << 8 | value,
// value the literal or length - 3, distance 0 for a literal.
struct Token {
  uint32_t packed;
  static Token literal(uint8_t c) { return {c}; }
  static Token match(unsigned length, unsigned distance) { return {distance << 8 | (length - 3)}; }
  bool is_match() const { return packed >> 8 != 0; }
  unsigned distance() const { return packed >> 8; }
  unsigned value() const { return packed & 0xff; }
  unsigned length() const { return is_match() ? value() + 3 : 1; }
};

// By symbol: a length's base and extra bits (0 for a literal, the end of
// a block and the two unused codes); a distance's (0 past the 30 codes).
struct SymbolBases {
  uint16_t length[288] = {}, dist[32] = {};
  uint8_t length_extra[288] = {}, dist_extra[32] = {};
  constexpr SymbolBases() {
    int base = 3;
    for (int code = 0; code < 28; ++code) {
      const int extra = code < 8 ? 0 : (code - 4) / 4;
      length[257 + code] = uint16_t(base), length_extra[257 + code] = uint8_t(extra);
      base += 1 << extra;
    }
    length[285] = 258;
    base = 1;
    for (int code = 0; code < 30; ++code) {
      const int extra = code < 4 ? 0 : (code - 2) / 2;
      dist[code] = uint16_t(base), dist_extra[code] = uint8_t(extra);
      base += 1 << extra;
    }
  }
};
inline constexpr SymbolBases kBases{};

// Reads a raw deflate stream (no zlib header) token by token. A stored
// block gives its bytes as literals. next() is false at the end of the last
// block, and also on a stream that is not well formed (failed() tells them
// apart); the reader never reads past the span.
class TokenReader {
 public:
  explicit TokenReader(std::span<const uint8_t> in) : in_(in) {}
  bool next(Token &t) {
    if (have_ == used_) {
      have_ = read(batch_, kBatch), used_ = 0;
      if (have_ == 0) return false;
    }
    t = batch_[used_++];
    return true;
  }
  bool failed() const { return failed_; }
  // Whether the last token came out of a stored block, which keeps the
  // bytes but not the matches the compressor found in them.
  bool stored() const { return stored_batch_; }

 private:
  // A Huffman code, decoded through a table on its first kFast bits; longer
  // codes go the canonical way through the counts.
  static constexpr int kFast = 11;
  static constexpr uint32_t kFastMask = (1u << kFast) - 1;
  struct Code {
    // By the next kFast bits: symbol | code length << 9 | extra bits << 13
    // | both lengths << 17 (the extra bits being a length's or a distance's,
    // as the code is); code length 0: a longer code.
    uint32_t fast[1 << kFast];
    uint16_t count[16];
    uint16_t symbol[288];
    // `fast_limit`: symbols from it on (the end of a block, the codes
    // deflate never uses) are left to the checked way.
    bool build(const uint8_t *lengths, int n, const uint8_t *extra, int fast_skip = -1, int fast_limit = 288);
  };

  bool refill_ok(int bits);
  uint32_t peek(int bits) { return uint32_t(bitbuf_ & ((uint64_t(1) << bits) - 1)); }
  void drop(int bits) {
    bitbuf_ >>= bits;
    bitcount_ -= bits;
  }
  bool take(int bits, uint32_t &v);
  bool next_checked(Token &t);
  // Up to n tokens into out; 0 at the end (or on a fault).
  size_t read(Token *out, size_t n);
  static constexpr size_t kBatch = 64;
  Token batch_[kBatch];
  size_t have_ = 0, used_ = 0;
  bool stored_batch_ = false;  // the batch came out of a stored block
  bool decode(const Code &c, int &sym);
  bool start_block();
  bool fail() {
    failed_ = true;
    done_ = true;
    return false;
  }

  std::span<const uint8_t> in_;
  size_t at_ = 0;        // the next byte of in_ to go into the bit buffer
  uint64_t bitbuf_ = 0;  // bits not yet used, the next one lowest
  int bitcount_ = 0;
  size_t stored_left_ = 0;  // bytes of the stored block under way
  enum class Block { None, Stored, Coded } block_ = Block::None;
  bool last_ = false, done_ = false, failed_ = false;
  Code lit_, dist_;
};

}  // namespace corvane
