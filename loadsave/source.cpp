// loadsave/source.cpp: reading a ByteSource.
#include "loadsave/source.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace corvane {

int64_t ByteSource::read(int64_t pos, std::span<uint8_t> out, Failure &why) const {
  if (in_memory_) {
    if (pos >= int64_t(memory_.size())) return 0;
    const size_t n = std::min(out.size(), memory_.size() - size_t(pos));
    std::memcpy(out.data(), memory_.data() + pos, n);
    return int64_t(n);
  }
  size_t got = 0;
  while (got < out.size()) {
    const ssize_t r = pread(fd_, out.data() + got, out.size() - got, off_t(start_ + pos + int64_t(got)));
    if (r < 0) {
      if (errno == EINTR) continue;
      why = {Err::Io, 0, uint32_t(errno)};
      return -1;
    }
    if (r == 0) break;
    got += size_t(r);
  }
  return int64_t(got);
}

int64_t ByteSource::seekable_size(int fd) {
  const off_t at = lseek(fd, 0, SEEK_CUR);
  if (at < 0) return -1;
  const off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0 || lseek(fd, at, SEEK_SET) < 0) return -1;
  return int64_t(end);
}

}  // namespace corvane
