// loadsave/source.hpp: where a file's bytes are read from: memory, a file
// descriptor read at any offset, or bytes the host hands over in order (a
// stream native code cannot read itself). No Python here, and nothing that
// needs the interpreter's lock.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

#include "image/result.hpp"

namespace corvane {

// Bytes handed over in order by whoever can read them (the glue, from a
// stream only the host can read). pull() fills up to out.size() bytes and
// says how many (fewer only at the end), or -1 when the host raised: the
// glue keeps that exception (Err::Host).
class Puller {
 public:
  virtual int64_t pull(std::span<uint8_t> out) = 0;

 protected:
  ~Puller() = default;
};

class ByteSource {
 public:
  static constexpr size_t kBlock = 1 << 20;
  explicit ByteSource(std::span<const uint8_t> memory) : memory_(memory), size_(int64_t(memory.size())), kind_(Memory) {}
  // A file of `size` bytes (as it was when asked), read from `start` on.
  ByteSource(int fd, int64_t start, int64_t size) : fd_(fd), start_(start), size_(size > start ? size - start : 0), kind_(File) {}
  // Bytes pulled in order; `size_hint` is what the glue expects there to be.
  ByteSource(Puller &puller, int64_t size_hint) : puller_(&puller), size_(size_hint), kind_(Pulled) {}

  bool in_memory() const { return kind_ == Memory; }
  // Whether any byte can be read again (not so for pulled bytes).
  bool rereadable() const { return kind_ != Pulled; }
  std::span<const uint8_t> memory() const { return memory_; }
  // How many bytes there were to read when it was made: a size for buffers,
  // not a limit on reading (a file may grow).
  int64_t size_hint() const { return size_; }
  // The size of the file behind `fd` when it is one that can be read at any
  // offset (a regular file, a block device), else -1 (a pipe, a terminal).
  // (Seeking, not fstat: the fstat of newer C libraries would ask more of
  // the one a wheel runs on.) The descriptor's position is left where it was.
  static int64_t seekable_size(int fd);
  // Up to out.size() bytes from `pos` on (pos counted from the start; pulled
  // bytes must be read in order): how many were read (fewer only at the
  // end), or -1 with `why` set (Err::Io with the errno, or Err::Host).
  int64_t read(int64_t pos, std::span<uint8_t> out, Failure &why) const;

 private:
  enum Kind : uint8_t { Memory, File, Pulled };
  std::span<const uint8_t> memory_;
  Puller *puller_ = nullptr;
  int fd_ = -1;
  int64_t start_ = 0, size_ = 0;
  Kind kind_;
};

}  // namespace corvane
