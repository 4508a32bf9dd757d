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

// A signal that interrupts a call: the call is made again if the caller's
// go_on says so.
struct Retry {
  bool (*go_on)(void *);
  void *context;
  bool stopped = false;
  // r, the result of a call: whether to make it again.
  bool again(long r) {
    if (r >= 0 || errno != EINTR) return false;
    if (go_on && !go_on(context)) {
      stopped = true;
      return false;
    }
    return true;
  }
};

// Every byte of the pieces, from offset 0 (`positioned`) or wherever the
// descriptor is; false with errno set when a write fails or is stopped,
// *done counting what went out.
bool write_all(int fd, std::span<const std::span<const uint8_t>> pieces, bool positioned, size_t *done,
               Retry &retry) {
  *done = 0;
  for (std::span<const uint8_t> p : pieces) {
    while (!p.empty()) {
      const ssize_t r = positioned ? pwrite(fd, p.data(), p.size(), off_t(*done)) : write(fd, p.data(), p.size());
      if (retry.again(r)) continue;
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

Written write_in_place(const char *name, std::span<const std::span<const uint8_t>> pieces,
                       bool (*go_on)(void *context), void *context) {
  size_t total = 0;
  for (std::span<const uint8_t> p : pieces)
    if (__builtin_add_overflow(total, p.size(), &total)) return {};
  if (total > size_t(INT64_MAX)) return {};
  Retry retry{go_on, context};
  auto failed = [&retry](int err) { return Written{retry.stopped ? Written::Stopped : Written::Failed, err}; };
  // What mode "wb" asks, but the truncation, which waits until the new bytes
  // are sure of their room.
  int fd;
  do fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  while (retry.again(fd));
  if (fd < 0) return {retry.stopped ? Written::Stopped : Written::OpenFailed, errno};
  // A close that fails after the bytes are out is a failure too; one
  // interrupted has closed the descriptor all the same.
  auto closed = [fd](Written w) {
    if (close(fd) < 0 && errno != EINTR && w.kind == Written::Done) w = {Written::Failed, errno};
    return w;
  };
  auto through = [&] {
    size_t done;
    return closed(write_all(fd, pieces, false, &done, retry) ? Written{Written::Done} : failed(errno));
  };
  const off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0) return through();  // a FIFO, a terminal: no place to reserve or cut
  if (total > 0 && retrying([&] { return fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, off_t(total)); }) < 0) {
    if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG) return closed({Written::Failed, errno});
    if (errno == ENODEV || errno == ESPIPE) return through();  // a device
    // Anything else (EOPNOTSUPP, ENOSYS): this file system reserves nothing.
  }
  size_t done;
  if (!write_all(fd, pieces, true, &done, retry)) {
    const int err = errno;
    if (end > off_t(done)) retrying([&] { return ftruncate(fd, off_t(done)); });
    return closed(failed(err));
  }
  // A block device cannot be cut (EINVAL), and mode "wb" leaves it whole too.
  if (end > off_t(total) && retrying([&] { return ftruncate(fd, off_t(total)); }) < 0 && errno != EINVAL)
    return closed({Written::Failed, errno});
  return closed({Written::Done});
}

#else

Written write_in_place(const char *, std::span<const std::span<const uint8_t>>, bool (*)(void *), void *) {
  return {};
}

#endif

}  // namespace corvane
