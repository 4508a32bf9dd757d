// png/inflate.hpp: one zlib stream inflated in bounded pieces, and the CRC-32
// of PNG chunks. Built with ISA-L (CORVANE_ISAL) the stream goes through
// igzip, several times faster than zlib; without it, through zlib. Either
// way an error is reported as zlib itself reports it (its code and message),
// since callers raise exactly what the host's zlib module would: a stream
// that igzip refuses is inflated again by zlib (inflate_exact), which gives
// the words, or, where the two disagree, the output. No Python here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "image/result.hpp"

namespace corvane {

// zlib's crc32(crc, bytes): continue `crc` over `bytes`.
uint32_t chunk_crc32(uint32_t crc, std::span<const uint8_t> bytes);

// Whether every inflater is zlib's (a build without ISA-L).
#if defined(CORVANE_ISAL)
inline constexpr bool kZlibOnly = false;
#else
inline constexpr bool kZlibOnly = true;
#endif

class Inflater {
 public:
  enum class Status {
    NeedInput,  // all input taken, the stream goes on
    OutputFull,  // no room left in `out`
    End,        // the stream's end (its checksum verified); input after it is not taken
    Error,      // see error()
  };
  // `exact` asks for zlib itself, whatever the build has.
  explicit Inflater(bool exact = false);
  ~Inflater();
  Inflater(const Inflater &) = delete;
  Inflater &operator=(const Inflater &) = delete;

  // Inflates from the front of `in` into the front of `out`, dropping what it
  // took and filled from both.
  Status run(std::span<const uint8_t> &in, std::span<uint8_t> &out);
  // Once run() said Error: Err::Zlib with zlib's code (detail) and message
  // (text, null where zlib set none). Only an exact inflater has them;
  // another one's error says only that the stream must be inflated again
  // exactly.
  const Failure &error() const { return error_; }
  bool exact() const { return exact_; }

  struct Impl;  // zlib's or igzip's

 private:
  std::unique_ptr<Impl> impl_;
  Failure error_;
  bool exact_;
};

// The message the host's zlib module raises for zlib's `code` and `text`
// while decompressing: "Error <code> while decompressing data: <message>",
// the message standing in for the ones zlib leaves unset as the module does.
std::string decompress_error_text(int code, const char *text);

}  // namespace corvane
