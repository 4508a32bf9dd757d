// png/reader.hpp: a PNG read from its bytes: the chunk walk with every CRC
// checked as the bytes arrive, the IDAT data inflated into the planes as it
// is read, and the one policy for which inflater's verdict counts. No
// Python here, and nothing that needs the interpreter's lock.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "image/result.hpp"
#include "loadsave/source.hpp"
#include "png/header.hpp"
#include "png/idat.hpp"

namespace corvane {

struct ChunkRecord {
  std::array<uint8_t, 4> type;
  int64_t at;       // where the data starts in the source
  uint32_t length;  // of the data
  uint32_t crc;     // as the file gives it (and as computed: the walk checked)
  std::vector<uint8_t> data;  // a chunk other than IDAT from a source not in memory: its data
  bool is(const char *t) const { return type[0] == t[0] && type[1] == t[1] && type[2] == t[2] && type[3] == t[3]; }
  std::span<const uint8_t> data_in(const ByteSource &s) const {
    return s.in_memory() ? s.memory().subspan(size_t(at), length) : std::span<const uint8_t>(data);
  }
};

// What the image data is for: inflated into the planes, or kept for a
// zlib.decompress of the caller's own.
enum class ImageData : uint8_t { Inflate, Keep };

struct PngRead {
  // Every chunk read whole and CRC-checked, in order: from the first up to
  // IEND (included), a clean end (no byte where a chunk would start), or the
  // first chunk cut short or failing its CRC. Nothing past IEND is read.
  std::vector<ChunkRecord> chunks;
  // What stopped the walk short of IEND or a clean end.
  Failure walk;
  // With ImageData::Inflate, once the walk ended well and its last IHDR
  // passes check_header: the image data's outcome for that header, Ok with
  // the planes filled.
  Failure image;
  // With ImageData::Keep: the IDAT data, joined.
  std::vector<uint8_t> idat;
};

// The PNG in `source` (from just after the signature) up to IEND. IDAT data
// is inflated as it is read, against the header read before it, so every
// byte inflated is a byte whose CRC is checked; should the header that
// counts (the last one) turn out another, or the first inflater give up on
// the stream, the data is inflated again from the source, checked against
// the CRCs recorded, or from memory. The planes come from `planes`.
// Nothing here needs the interpreter's lock; `planes` may take it back.
PngRead read_png(const ByteSource &source, PlaneHost &planes, ImageData what);

// The image data of `layout` given as pieces, in order, into `planes` by
// the same policy: igzip first, zlib's verdict and words for a stream igzip
// does not take to its end.
Failure inflate_pieces(std::span<const std::span<const uint8_t>> pieces, const ImageLayout &layout,
                       PlaneHost &planes);

// The rows of a whole scanline stream of exactly layout.expected() bytes
// into `planes`.
Failure unfilter_into(std::span<const uint8_t> raw, const ImageLayout &layout, PlaneHost &planes);

}  // namespace corvane
