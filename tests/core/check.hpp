// tests/core/check.hpp: a minimal test harness for the core, no dependencies.
// CHECK records a failure and goes on; main() returns non-zero if any failed.
#pragma once
#include <cstdio>

namespace check {
inline int passed = 0, failed = 0;
inline void record(bool ok, const char *expr, const char *file, int line) {
  if (ok) {
    ++passed;
    return;
  }
  ++failed;
  std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", file, line, expr);
}
inline int finish() {
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed ? 1 : 0;
}
}  // namespace check

#define CHECK(expr) check::record(static_cast<bool>(expr), #expr, __FILE__, __LINE__)
