// fuzz/fuzz.hpp: what every core fuzz target shares: a reader that takes the
// target's parameters from the front of the input (zeros once it runs out),
// and FUZZ_CHECK, which aborts so that libFuzzer and the replay runner both
// report the input. Targets define LLVMFuzzerTestOneInput and nothing else.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fuzz {

using Bytes = std::vector<uint8_t>;

[[noreturn]] inline void fail(const char *expr, const char *file, int line) {
  std::fprintf(stderr, "%s:%d: FUZZ_CHECK failed: %s\n", file, line, expr);
  std::abort();
}

struct Reader {
  std::span<const uint8_t> s;
  uint8_t byte() {
    if (s.empty()) return 0;
    uint8_t b = s[0];
    s = s.subspan(1);
    return b;
  }
  // n bytes little-endian (n <= 8).
  uint64_t le(int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= uint64_t(byte()) << (8 * i);
    return v;
  }
  std::span<const uint8_t> take(size_t n) {
    n = std::min(n, s.size());
    auto head = s.first(n);
    s = s.subspan(n);
    return head;
  }
};

// n bytes: src repeated (zeros when src is empty), in an allocation of
// exactly n bytes so that AddressSanitizer sees any read past the end.
inline Bytes cycle(std::span<const uint8_t> src, size_t n) {
  Bytes out(n);
  for (size_t i = 0; i < n && !src.empty(); ++i) out[i] = uint8_t(src[i % src.size()] + i / src.size());
  return out;
}

}  // namespace fuzz

#define FUZZ_CHECK(expr) ((expr) ? (void)0 : fuzz::fail(#expr, __FILE__, __LINE__))
