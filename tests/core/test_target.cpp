// Writing a file in place: the whole file is the pieces, whatever it held
// before, in the same inode; a stream gets them written through; and what
// cannot be opened says why.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "loadsave/target.hpp"

using namespace corvane;
using Bytes = std::vector<uint8_t>;

static Bytes read_all(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

static Written write(const std::string &path, std::initializer_list<Bytes> parts) {
  std::vector<std::span<const uint8_t>> spans;
  for (const Bytes &p : parts) spans.emplace_back(p);
  return write_in_place(path.c_str(), spans, nullptr, nullptr);
}

int main() {
#if defined(__linux__)
  char tmpl[] = "/tmp/corvane-target-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string file = dir + "/f";
  const Bytes a(100000, 'a'), b{'b', 'c'}, c(7, 'z');

  // A new file, then a longer one over it, then a shorter one: each time the
  // file is exactly the pieces, in the inode it got first.
  CHECK(write(file, {a, b}).kind == Written::Done);
  Bytes want = a;
  want.insert(want.end(), b.begin(), b.end());
  CHECK(read_all(file) == want);
  struct stat first {}, later {};
  CHECK(stat(file.c_str(), &first) == 0);
  CHECK(write(file, {c}).kind == Written::Done && read_all(file) == c);
  CHECK(write(file, {c, a, c}).kind == Written::Done && read_all(file).size() == a.size() + 14);
  CHECK(write(file, {}).kind == Written::Done && read_all(file).empty());
  CHECK(stat(file.c_str(), &later) == 0 && later.st_ino == first.st_ino);

  // What cannot be opened: the reason, and nothing made.
  Written w = write(dir + "/missing/f", {b});
  CHECK(w.kind == Written::OpenFailed && w.err == ENOENT);
  w = write(dir, {b});
  CHECK(w.kind == Written::OpenFailed && w.err == EISDIR);

  // A device and a FIFO take the pieces as a stream.
  CHECK(write("/dev/null", {a, b}).kind == Written::Done);
  const std::string fifo = dir + "/fifo";
  CHECK(mkfifo(fifo.c_str(), 0600) == 0);
  Bytes got;
  std::thread reader([&] { got = read_all(fifo); });
  CHECK(write(fifo, {a, b}).kind == Written::Done);
  reader.join();
  CHECK(got == want);

  unlink(fifo.c_str());
  unlink(file.c_str());
  rmdir(dir.c_str());
#endif
  return check::finish();
}
