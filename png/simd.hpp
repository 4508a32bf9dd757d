// png/simd.hpp: internal to the PNG core, not part of its API. unfilter_image
// reconstructs rows with x86 vector loops when the build has them (CMake's
// CORVANE_SIMD, on by default) and the CPU offers SSSE3 (and, for Paeth,
// SSE4.1), else with the scalar loops of png/scanline.cpp, which stay the
// reference. Every set of loops must produce the same bytes and the same
// Result, and write no byte the others leave alone; tests and the benchmark
// run each on one input through unfilter_image_with.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

#include "image/result.hpp"

#if defined(CORVANE_SIMD) && (defined(__x86_64__) || defined(__i386__))
#define CORVANE_HAVE_SIMD 1
#else
#define CORVANE_HAVE_SIMD 0
#endif

namespace corvane {

// In increasing order of what they need from the CPU.
enum class UnfilterImpl : uint8_t {
  Scalar,  // the reference loops, on any build and CPU
  Ssse3,   // vector loops needing SSSE3
  Sse41,   // the same, with an SSE4.1 Paeth
};

// The last impl that this build runs on this CPU: what unfilter_image uses.
UnfilterImpl unfilter_best();

// unfilter_image, its contract unchanged, with the row loops of impl; an impl
// past unfilter_best() runs as unfilter_best().
Result<int32_t> unfilter_image_with(UnfilterImpl impl, std::span<const uint8_t> raw,
                                    int32_t width, int32_t height, int channels,
                                    std::span<uint8_t> rgb, std::span<uint8_t> alpha,
                                    std::span<uint8_t> filters);

#if CORVANE_HAVE_SIMD
namespace simd {

enum class Level : uint8_t { None, Ssse3, Sse41 };

// What the CPU runs of the loops below; asked once.
Level cpu_level();

// Reconstructs row y of the planes (rgb holding 3 bytes a pixel, alpha with
// channels 4 one) from its filtered bytes `filt` (width * channels), reading
// row y - 1 of the planes as the row above (zeros for y 0). Require width > 0,
// type <= 4 and cpu_level() at least their own. Write exactly that row's
// bytes of the planes and read none outside filt and rows y - 1 and y.
void unfilter_row_ssse3(uint8_t type, int channels, const uint8_t *filt, uint8_t *rgb,
                        uint8_t *alpha, size_t y, size_t width);
void unfilter_row_sse41(uint8_t type, int channels, const uint8_t *filt, uint8_t *rgb,
                        uint8_t *alpha, size_t y, size_t width);

}  // namespace simd
#endif

}  // namespace corvane
