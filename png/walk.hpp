// png/walk.hpp: a PNG's chunks read straight from its bytes, in memory or in
// a file read in blocks, with their CRCs checked as they are read; then its
// IDAT data handed out piece by piece for the inflater. No Python here, and
// nothing that needs the interpreter's lock.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "loadsave/source.hpp"

namespace corvane {

// How reading a chunk failed: the messages _readChunk gives, in its order.
enum class WalkError : uint8_t { None, EofLength, EofType, EofData, EofCrc, BadCrc, Io };

struct ChunkRecord {
  std::array<uint8_t, 4> type;
  int64_t at;       // where the data starts in the source
  uint32_t length;  // of the data
  std::vector<uint8_t> data;  // a chunk other than IDAT read from a file: its data
  bool is(const char *t) const { return type[0] == t[0] && type[1] == t[1] && type[2] == t[2] && type[3] == t[3]; }
};

struct Walk {
  std::vector<ChunkRecord> chunks;  // every chunk read whole and CRC-checked, in order
  WalkError error = WalkError::None;  // what stopped the walk short of IEND or a clean end
  int io_errno = 0;
};

// The chunks from the start of `source` up to IEND (included), a clean end
// (no byte where a chunk would start), or the first chunk that is cut short
// or fails its CRC. Nothing past IEND is read.
Walk walk_chunks(const ByteSource &source);

// The data of the IDAT chunks of a walk, in order, as one stream handed out
// in pieces: spans of the memory, or blocks read from the file into a buffer
// of its own.
class IdatStream {
 public:
  IdatStream(const ByteSource &source, const std::vector<ChunkRecord> &chunks);
  // The next piece, empty at the end; -1 with errno set when a read fails.
  int next(std::span<const uint8_t> &piece);

 private:
  const ByteSource &source_;
  std::vector<std::pair<int64_t, uint32_t>> spans_;  // (at, length) of each IDAT
  size_t index_ = 0;
  uint32_t done_ = 0;  // of the current span
  std::unique_ptr<uint8_t[]> buffer_;
  size_t buffer_size_ = 0;
};

}  // namespace corvane
