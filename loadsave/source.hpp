// loadsave/source.hpp: where a file's bytes are read from, in memory or
// through a file descriptor, at any offset. No Python here, and nothing that
// needs the interpreter's lock.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

#include "image/result.hpp"

namespace corvane {

// Where the bytes come from: a span of memory, or a file descriptor read with
// pread() from a given offset on, in blocks of at most kBlock bytes.
class ByteSource {
 public:
  static constexpr size_t kBlock = 1 << 20;
  explicit ByteSource(std::span<const uint8_t> memory) : memory_(memory), size_(int64_t(memory.size())), in_memory_(true) {}
  // A file of `size` bytes (as it was when asked), read from `start` on.
  ByteSource(int fd, int64_t start, int64_t size) : fd_(fd), start_(start), size_(size > start ? size - start : 0) {}
  bool in_memory() const { return in_memory_; }
  std::span<const uint8_t> memory() const { return memory_; }
  // How many bytes there were to read when it was made: a size for buffers,
  // not a limit on reading (a file may grow).
  int64_t size_hint() const { return size_; }
  // The size of the file behind `fd` when it is one that can be read at any
  // offset (a regular file, a block device), else -1 (a pipe, a terminal).
  // (Seeking, not fstat: the fstat of newer C libraries would ask more of
  // the one a wheel runs on.) The descriptor's position is left where it was.
  static int64_t seekable_size(int fd);
  // Up to out.size() bytes from `pos` on (pos counted from the start): how
  // many were read (fewer only at the end), or -1 with `why` set (Err::Io
  // and the errno the system gave).
  int64_t read(int64_t pos, std::span<uint8_t> out, Failure &why) const;

 private:
  std::span<const uint8_t> memory_;
  int fd_ = -1;
  int64_t start_ = 0, size_ = 0;
  bool in_memory_ = false;
};

}  // namespace corvane
