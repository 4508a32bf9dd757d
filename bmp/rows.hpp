// bmp/rows.hpp: the pixel array of an uncompressed 24-bit BMP. A stored row
// is width pixels of blue, green, red, then 0-3 pad bytes that bring it to a
// multiple of 4; the image's RGB plane is red, green, blue, top row first.
// No Python here; nothing throws, and only caller-provided spans are written.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

#include "image/result.hpp"

namespace corvane {

struct BmpSizes {
  int32_t stride = 0;       // ((width * 3 + 3) // 4) * 4: one stored row
  int32_t pad = 0;          // stride - width * 3
  int32_t pixel_bytes = 0;  // stride * height: the pixel array
  int32_t file_bytes = 0;   // 54 + pixel_bytes: both headers, then the pixels
};

// The sizes above, each (and width * 3 and width * 3 + 3) in int32, else Err::Overflow with
// all values zero: width 715827881 is the widest that has a stride, and
// file_bytes caps the area further. Negative dimensions are not refused; the
// values are what Python's floor division gives, so a writer can tell which
// header field a negative would fail on: width -1 has stride 0 and pad 3,
// width -2 stride -4 and pad 2; a negative height makes pixel_bytes <= 0 and
// file_bytes <= 54.
Result<BmpSizes> bmp_sizes(int32_t width, int32_t height);

// One stored row into one RGB row: rgb.size() / 3 pixels are read from the
// front of `stored`; the rest of `stored` (the pad) is ignored, whatever it
// holds. Err::BadLength, nothing written, when rgb is not whole pixels or
// stored is shorter than rgb.
Err bmp_decode_row(std::span<const uint8_t> stored, std::span<uint8_t> rgb);

// The pixel array of a bottom-up file: RGB row height - 1 first, each pixel
// as blue, green, red, each row followed by zero pad bytes. width and height
// must be >= 0 and pass bmp_sizes, and `out` must be exactly pixel_bytes,
// else Err::BadLength (or bmp_sizes' error) with nothing written. `rgb` needs
// width * height * 3 bytes; any more are ignored. With fewer, the result is
// Err::BadLength after writing what a pixel-by-pixel writer manages before its
// first read past the end: the whole pixels of the bottom row that rgb holds.
// value is the number of leading bytes of out written (out.size() if Ok).
Result<size_t> bmp_encode_pixels(std::span<const uint8_t> rgb, int32_t width, int32_t height,
                                 std::span<uint8_t> out);

// Stored rows `first` .. `first + count - 1` of a pixel array of `rows` rows
// (`stored` holds those rows, `stride` bytes each) decoded into their places
// in `plane` (row_bytes each, top row first): the bottom row is stored first
// when `bottom_up`. The caller has checked every size.
void bmp_decode_rows(std::span<const uint8_t> stored, size_t first, size_t count, size_t rows, size_t stride,
                     size_t row_bytes, bool bottom_up, uint8_t *plane);

// Reverses the order of the rows of `plane` (rows of row_bytes each, the last
// partial row, if any, left alone), in place: a bottom-up file read in file
// order becomes top row first.
void flip_rows(std::span<uint8_t> plane, size_t row_bytes);

}  // namespace corvane
