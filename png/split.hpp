// png/split.hpp: how a new compressed stream is cut into IDAT chunks whose
// sizes follow the IDAT lengths recorded from the file that was read. No
// Python here; only the piece sizes are computed, the caller slices.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace corvane {

// Piece sizes for a stream of `total` bytes, in stream order. Walking the
// recorded lengths: stop once the stream is used up; a length <= 0 gives no
// piece; the last length takes all that is left, whatever it says; any other
// takes min(length, what is left). Bytes left after the walk (no lengths, or
// a skipped last one) form one more piece. So the pieces are non-empty, sum
// to total, number at most max(lengths.size(), 1), and total 0 gives none.
// Lengths beyond int64 can be saturated to INT64_MAX / INT64_MIN by the
// caller without changing the answer.
std::vector<size_t> split_idat(size_t total, std::span<const int64_t> lengths);

}  // namespace corvane
