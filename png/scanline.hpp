// png/scanline.hpp: PNG row filtering (filter method 0, types 0-4) for 8-bit
// images of 3 channels (RGB) or 4 (RGBA), in both directions, straight between
// the scanline stream and the image's planes: an RGB plane of 3 bytes a pixel
// and, with 4 channels, a separate alpha plane of 1 byte a pixel. A type above
// 4 is Err::BadFilter with the type in Result::detail. No Python here; only
// the filters' row buffers and a row split between feeds are allocated.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "image/result.hpp"

namespace corvane {

// PNG's Paeth predictor: whichever of a (left), b (up) and c (upper left) lies
// nearest to p = a + b - c, ties going to a, then to b. The distances are
// written out (|p - a| = |b - c|, ...) and the choice made with masks, not
// ternaries, which leave compilers free to branch (GCC 12 did, in one lane of
// a row loop): on noisy 3-channel rows the masks ran some 15% faster.
inline uint8_t paeth(uint8_t a, uint8_t b, uint8_t c) {
  const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
  const int take_c = -int(pb > pc), not_a = -int((pa > pb) | (pa > pc));
  const int bc = b ^ ((b ^ c) & take_c);
  return uint8_t(a ^ ((a ^ bc) & not_a));
}

struct PngSizes {
  int32_t area = 0;       // width * height: the alpha plane
  int32_t rgb_bytes = 0;  // area * 3: the RGB plane
  int32_t stride = 0;     // width * channels: one unfiltered row
  int32_t raw_bytes = 0;  // (stride + 1) * height: the scanline stream
};

// The sizes of a width x height image of `channels` (3 or 4; anything else is
// Err::BadLength). Every product must fit int32, else Err::Overflow with all
// values zero. Negative dimensions are not refused: the products keep their
// signs (width -1, height -1, 3 channels: area 1, rgb_bytes 3, stride -3,
// raw_bytes 2), so a caller uses them as lengths only after checking that
// width and height are >= 0.
Result<PngSizes> png_sizes(int32_t width, int32_t height, int channels);

// Decoder. `raw` is the scanline stream: height rows of one filter-type byte
// and `stride` filtered bytes. Each row is reconstructed in one pass straight
// into `rgb` (rgb_bytes) and, with 4 channels, `alpha` (area bytes; empty with
// 3); row 0 is predicted from zeros. `filters` (height bytes) gets each row's
// type. width and height must be >= 0 and pass png_sizes, and every span must
// have exactly its size, else Err::BadLength (or png_sizes' error) and nothing
// is written.
// Returns the number of rows reconstructed: height, or for the first row
// whose type is above 4, its index with Err::BadFilter: rows above it are
// done, filters[row] and detail hold its type, `at` is the offset of its type
// byte in raw, and no pixel of that row or below is written.
Result<int32_t> unfilter_image(std::span<const uint8_t> raw, int32_t width, int32_t height,
                               int channels, std::span<uint8_t> rgb, std::span<uint8_t> alpha,
                               std::span<uint8_t> filters);

// unfilter_image for a stream that arrives in pieces of any size, so the
// whole stream is never held: each row is reconstructed as soon as its last
// byte is fed. The caller sizes the planes to the rows a feed completes
// (rows_after) and passes them to each feed; they may move between feeds. A
// type above 4 stops reconstruction at that row, but feeding goes on, so the
// caller can still tell a stream of the wrong length (which it reports first)
// from a bad row. Dimensions must be >= 0 and pass png_sizes with channels.
class StreamUnfilter {
 public:
  StreamUnfilter(int32_t width, int32_t height, int channels);
  // Rows complete once n more bytes are fed (at most height).
  int32_t rows_after(size_t n) const;
  // Feeds bytes past the end of the stream too, counting them only. False
  // when memory for a row split between feeds could not be had.
  bool feed(std::span<const uint8_t> bytes, std::span<uint8_t> rgb, std::span<uint8_t> alpha,
            std::span<uint8_t> filters);
  size_t fed() const { return fed_; }
  // Once fed() is the stream's length: as unfilter_image (at: the offset of
  // the bad row's type byte).
  Result<int32_t> result() const;

 private:
  void row(const uint8_t *bytes, std::span<uint8_t> rgb, std::span<uint8_t> alpha, std::span<uint8_t> filters);
  void feed_types_only(std::span<const uint8_t> bytes, std::span<uint8_t> filters);

  size_t width_, height_, step_, fed_ = 0, done_ = 0, bad_row_ = 0;
  int channels_;
  uint8_t bad_type_ = 0;
  bool bad_ = false;
  std::vector<uint8_t> partial_;  // the start of a row split between feeds
};

// Encoder, the exact inverse of unfilter_image. Writes to `raw` (exactly
// raw_bytes) each row's type byte, then the row's interleaved RGB or RGBA
// bytes filtered with that type: (byte - predictor) mod 256, the predictor
// taken from the unfiltered bytes of this row and the row above (zeros above
// row 0). An empty `alpha` means 3 channels, otherwise it must hold area bytes
// (for area 0 the two read alike); an empty `filter_types` means type 0 for
// every row, otherwise it must hold height bytes. Sizes and dimensions are
// checked as for unfilter_image. Returns height, or for the first row whose
// type is above 4 its index with Err::BadFilter, `at` the same index and
// detail the type; raw then holds only the rows above it. Allocates two rows
// (RowFilter): std::bad_alloc when they cannot be had.
Result<int32_t> filter_image(std::span<const uint8_t> rgb, std::span<const uint8_t> alpha,
                             int32_t width, int32_t height,
                             std::span<const uint8_t> filter_types, std::span<uint8_t> raw);

// filter_image a run of rows at a time, from the top, for planes that may
// change (or move) between runs and while they are read. Each row is read
// from the planes once, into a row of the filter's own, and filtered against
// the row above as it was read then, which the filter keeps from one run to
// the next: however the planes change, the stream decodes to bytes that were
// in them when each row was read, a row at worst torn between old and new
// bytes, never to bytes nobody wrote.
class RowFilter {
 public:
  // For a width x height image of `channels` (3 or 4). Allocates its two
  // rows (std::bad_alloc when they cannot be had) when there are rows.
  RowFilter(int32_t width, int32_t height, int channels);
  // The rows next() .. next() + n - 1 into `out`, n whole rows (type byte and
  // filtered bytes each), from the planes as they are now: the planes and
  // types are the whole image's, checked as for filter_image (and for the
  // channels given here). Returns next() after them, or BadFilter as
  // filter_image, the rows above the bad one done.
  Result<int32_t> rows(std::span<const uint8_t> rgb, std::span<const uint8_t> alpha,
                       std::span<const uint8_t> filter_types, std::span<uint8_t> out);
  int32_t next() const { return next_; }

 private:
  int32_t width_, height_, next_ = 0;
  int channels_;
  std::vector<uint8_t> rows_;  // two rows: the row being filtered and the one above (zeros above row 0)
  bool second_ = false;        // whether the row above is the second of the two
};

}  // namespace corvane
