// loadsave/target.cpp: writing a file in place. Seeking, not fstat, tells a
// file from a stream (the fstat of newer C libraries would ask more of the
// one a wheel runs on), and a reservation refused as ENODEV tells a device.
#include "loadsave/target.hpp"

#include <cerrno>
#include <cstddef>

#if defined(__linux__)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace corvane {

#if defined(__linux__)
namespace {

// Every byte of the pieces, from offset 0 (`positioned`) or wherever the
// descriptor is; false with errno set when a write fails, *done counting what
// went out.
bool write_all(int fd, std::span<const std::span<const uint8_t>> pieces, bool positioned, size_t *done) {
  *done = 0;
  for (std::span<const uint8_t> p : pieces) {
    while (!p.empty()) {
      const ssize_t r = positioned ? pwrite(fd, p.data(), p.size(), off_t(*done)) : write(fd, p.data(), p.size());
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        if (r == 0) errno = EIO;  // no progress and no reason given
        return false;
      }
      p = p.subspan(size_t(r));
      *done += size_t(r);
    }
  }
  return true;
}

template <class Call>
int retrying(Call &&call) {
  int r;
  do r = call();
  while (r < 0 && errno == EINTR);
  return r;
}

}  // namespace

Written write_in_place(const char *name, std::span<const std::span<const uint8_t>> pieces) {
  size_t total = 0;
  for (std::span<const uint8_t> p : pieces)
    if (__builtin_add_overflow(total, p.size(), &total)) return {};
  if (total > size_t(INT64_MAX)) return {};
  // What mode "wb" asks, but the truncation, which waits until the new bytes
  // are sure of their room.
  const int fd = retrying([&] { return open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666); });
  if (fd < 0) return {Written::OpenFailed, errno};
  // A close that fails after the bytes are out is a failure too; one
  // interrupted has closed the descriptor all the same.
  auto closed = [fd](Written w) {
    if (close(fd) < 0 && errno != EINTR && w.kind == Written::Done) w = {Written::Failed, errno};
    return w;
  };
  auto through = [&] {
    size_t done;
    return closed(write_all(fd, pieces, false, &done) ? Written{Written::Done} : Written{Written::Failed, errno});
  };
  const off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0) return through();  // a FIFO, a terminal: no place to reserve or cut
  if (total > 0 && retrying([&] { return fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, off_t(total)); }) < 0) {
    if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG) return closed({Written::Failed, errno});
    if (errno == ENODEV || errno == ESPIPE) return through();  // a device
    // Anything else (EOPNOTSUPP, ENOSYS): this file system reserves nothing.
  }
  size_t done;
  if (!write_all(fd, pieces, true, &done)) {
    const int err = errno;
    if (end > off_t(done)) retrying([&] { return ftruncate(fd, off_t(done)); });
    return closed({Written::Failed, err});
  }
  // A block device cannot be cut (EINVAL), and mode "wb" leaves it whole too.
  if (end > off_t(total) && retrying([&] { return ftruncate(fd, off_t(total)); }) < 0 && errno != EINVAL)
    return closed({Written::Failed, errno});
  return closed({Written::Done});
}

#else

Written write_in_place(const char *, std::span<const std::span<const uint8_t>>) { return {}; }

#endif

}  // namespace corvane
