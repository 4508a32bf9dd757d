// png/split.cpp: cutting a compressed stream over recorded IDAT lengths.
#include "png/split.hpp"

#include <algorithm>

namespace corvane {

std::vector<size_t> split_idat(size_t total, std::span<const int64_t> lengths) {
  std::vector<size_t> parts;
  size_t offset = 0;
  for (size_t idx = 0; idx < lengths.size() && offset < total; ++idx) {
    const int64_t length = lengths[idx];
    if (length <= 0) continue;
    const size_t rest = total - offset;
    // The last recorded IDAT takes the rest so that a longer new stream does
    // not grow a chunk the file never had.
    const size_t take =
        idx + 1 == lengths.size() ? rest : size_t(std::min<uint64_t>(uint64_t(length), rest));
    parts.push_back(take);
    offset += take;
  }
  if (offset < total) parts.push_back(total - offset);
  return parts;
}

}  // namespace corvane
