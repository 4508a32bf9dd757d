// png/blocks.hpp: the tokens of one whole stream, written as zlib's
// compress2 at its default level writes them: the zlib header, blocks cut
// where zlib cuts them (every 16,383 symbols), each one stored, fixed or
// dynamic by zlib's own reckoning, its Huffman codes built by zlib's rules
// (the same heap and tie-breaks, the same repair of codes that grew too
// long), and the Adler-32 trailer. Given the tokens zlib found, the bytes are
// zlib's. No Python here.
//
// zlib decides one thing from where its window stands: a block may be stored
// only while its bytes are still in the window. The writer follows the window
// as zlib's lazy matcher moves it over the tokens, so the tokens must be the
// ones zlib's level-6 matcher makes (memory level 8, 32 KiB window).
#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "png/tokens.hpp"

namespace corvane {

// Deflate's length and distance codes, as zlib tabulates them.
struct DeflateCodes {
  static constexpr int kDCodes = 30;
  uint8_t extra_l[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
  uint8_t extra_d[kDCodes] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
  uint8_t length_code[256] = {};  // length - 3 -> length code - 257
  uint8_t dist_code[512] = {};    // distance - 1 -> code, looked up as zlib's d_code() does
  uint16_t length_base[29] = {}, dist_base[kDCodes] = {};
  constexpr DeflateCodes() {
    int length = 0;
    for (int code = 0; code < 28; ++code) {
      length_base[code] = uint16_t(length);
      for (int n = 0; n < 1 << extra_l[code]; ++n) length_code[length++] = uint8_t(code);
    }
    length_code[255] = 28;  // 258 has a code of its own, not 227 + 31,
    length_base[28] = 255;  // and no extra bits
    int dist = 0;
    for (int code = 0; code < 16; ++code) {
      dist_base[code] = uint16_t(dist);
      for (int n = 0; n < 1 << extra_d[code]; ++n) dist_code[dist++] = uint8_t(code);
    }
    dist >>= 7;
    for (int code = 16; code < kDCodes; ++code) {
      dist_base[code] = uint16_t(dist << 7);
      for (int n = 0; n < 1 << (extra_d[code] - 7); ++n) dist_code[256 + dist++] = uint8_t(code);
    }
  }
  constexpr unsigned dist(unsigned d) const { return d < 256 ? dist_code[d] : dist_code[256 + (d >> 7)]; }
};
inline constexpr DeflateCodes kDeflateCodes{};

class ZlibBlockWriter {
 public:
  // `stream`: the bytes the tokens stand for, all of them; `out` gets the
  // zlib stream (it is appended to, and grown as needed).
  ZlibBlockWriter(std::span<const uint8_t> stream, std::vector<uint8_t> &out);
  ~ZlibBlockWriter();
  ZlibBlockWriter(const ZlibBlockWriter &) = delete;
  ZlibBlockWriter &operator=(const ZlibBlockWriter &) = delete;

  // The next token, in stream order.
  void add(Token t) {
    const size_t at = pos_;
    if (at >= check_at_) loop_top(at);
    if (pending_) flush(false), pending_ = false;
    syms_[nsyms_++] = t;
    // Counted without a branch on the kind.
    const bool match = t.is_match();
    const unsigned v = t.value();
    const size_t half = nsyms_ & 1;  // two sets of counts: a run of one symbol does not wait on itself
    ++lcount_[half][match ? kDeflateCodes.length_code[v] + 257 : v];
    ++dcount_[half][match ? kDeflateCodes.dist(t.distance() - 1) : DeflateCodes::kDCodes];
    pos_ = at + (match ? v + 3 : 1);
    if (match && at + 1 >= check_at_) loop_top(at + 1);
    if (nsyms_ == kBlockSymbols) {
      if (match) {
        flush(false);
      } else {
        pending_ = true;
      }
    }
  }

  // Once the tokens cover the stream: the last block and the trailer.
  // False if they do not end where the stream ends.
  bool finish(uint32_t adler);

 private:
  static constexpr size_t kBlockSymbols = 16383;  // (1 << (memLevel 8 + 6)) - 1

  struct Trees;
  void loop_top(size_t t);
  void flush(bool last);

  std::span<const uint8_t> stream_;
  std::vector<uint8_t> &out_;
  std::unique_ptr<Trees> trees_;
  // The block's symbol counts; a literal's distance count goes to the slot
  // past the codes.
  uint32_t lcount_[2][288] = {}, dcount_[2][DeflateCodes::kDCodes + 2] = {};
  std::unique_ptr<Token[]> syms_;
  size_t nsyms_ = 0;
  size_t pos_ = 0, base_ = 0, block_start_ = 0;
  size_t check_at_ = 0;  // the first step at which zlib could slide its window
  bool pending_ = false;  // a literal filled the block; zlib cuts it at the next step
  uint64_t bits_ = 0;
  int nbits_ = 0;
};

}  // namespace corvane
