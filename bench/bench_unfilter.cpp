// bench/bench_unfilter.cpp: unfilter_image's scalar loops against its SIMD
// ones (SSSE3, and SSSE3 with the SSE4.1 Paeth) on photo-like images, filtered
// whole with each type, with a per-row choice (the smallest sum of absolute
// filtered bytes, the usual encoder heuristic; on this noise it picks Average
// nearly always) and with types drawn evenly per row. The loops run in turn on
// the same stream and each figure is the median of several runs, so the
// ratios come from one run under the same machine load. Throughput counts
// unfiltered bytes (width * height * channels). Built with CORVANE_CORE_TESTS;
// run a Release build: bench_unfilter [runs]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "png/scanline.hpp"
#include "png/simd.hpp"

using namespace corvane;
using Bytes = std::vector<uint8_t>;

namespace {

struct Planes {
  int32_t w, h;
  int ch;
  Bytes rgb, alpha;
};

// A smooth field (a 16 x 9 grid of random colours, interpolated), flat
// ellipses and rectangles over it, and sensor noise of -8..7, all from a
// fixed seed; alpha, when asked for, a gradient down the image.
Planes photo(int32_t w, int32_t h, int ch) {
  Planes p{w, h, ch, Bytes(size_t(w) * size_t(h) * 3), Bytes(ch == 4 ? size_t(w) * size_t(h) : 0)};
  uint32_t seed = 12345;
  auto rnd = [&] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  int grid[10][17][3];
  for (auto &row : grid)
    for (auto &cell : row)
      for (int &v : cell) v = int(rnd() % 256);
  struct Shape { int x0, y0, x1, y1, round; uint8_t fill[3]; };
  std::vector<Shape> shapes(40);
  for (Shape &s : shapes) {
    s.x0 = int(rnd() % uint32_t(w)), s.y0 = int(rnd() % uint32_t(h));
    s.x1 = s.x0 + int(rnd() % uint32_t(w / 8 + 1)), s.y1 = s.y0 + int(rnd() % uint32_t(h / 8 + 1));
    s.round = int(rnd() % 2);
    for (uint8_t &v : s.fill) v = uint8_t(rnd());
  }
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const size_t i = size_t(y) * size_t(w) + size_t(x);
      const double gx = 16.0 * x / w, gy = 9.0 * y / h;
      const int cx = int(gx), cy = int(gy);
      const double fx = gx - cx, fy = gy - cy;
      int v[3];
      for (int k = 0; k < 3; ++k)
        v[k] = int((grid[cy][cx][k] * (1 - fx) + grid[cy][cx + 1][k] * fx) * (1 - fy) +
                   (grid[cy + 1][cx][k] * (1 - fx) + grid[cy + 1][cx + 1][k] * fx) * fy);
      for (const Shape &s : shapes) {
        if (x < s.x0 || x > s.x1 || y < s.y0 || y > s.y1) continue;
        const double rx = (s.x1 - s.x0) / 2.0 + 0.5, ry = (s.y1 - s.y0) / 2.0 + 0.5;
        const double dx = (x - s.x0 - rx + 0.5) / rx, dy = (y - s.y0 - ry + 0.5) / ry;
        if (!s.round || dx * dx + dy * dy <= 1)
          for (int k = 0; k < 3; ++k) v[k] = s.fill[k];
      }
      for (int k = 0; k < 3; ++k)
        p.rgb[3 * i + size_t(k)] = uint8_t(std::clamp(v[k] + int(rnd() % 16) - 8, 0, 255));
      if (ch == 4) p.alpha[i] = uint8_t(255 * y / std::max(h - 1, 1));
    }
  return p;
}

Bytes filtered(const Planes &p, const Bytes &types) {
  const size_t stride = size_t(p.w) * size_t(p.ch);
  Bytes raw(size_t(p.h) * (stride + 1));
  if (!filter_image(p.rgb, p.alpha, p.w, p.h, types, raw)) std::abort();
  return raw;
}

// Rows are filtered from unfiltered data only, so each row of the mix can be
// taken from the stream filtered whole with its type.
Bytes adaptive(const Planes &p, const Bytes (&by_type)[5], int (&count)[5]) {
  const size_t step = size_t(p.w) * size_t(p.ch) + 1;
  Bytes raw(by_type[0].size());
  for (size_t y = 0; y < size_t(p.h); ++y) {
    long best_sum = -1;
    int best = 0;
    for (int t = 0; t < 5; ++t) {
      long sum = 0;
      for (size_t i = 1; i < step; ++i) sum += std::abs(int(int8_t(by_type[t][y * step + i])));
      if (best_sum < 0 || sum < best_sum) best_sum = sum, best = t;
    }
    ++count[best];
    std::copy_n(by_type[best].begin() + long(y * step), step, raw.begin() + long(y * step));
  }
  return raw;
}

// Each row's type drawn evenly from 0-4 (fixed seed): what the SIMD loops
// gain when no one type dominates.
Bytes even(const Planes &p, const Bytes (&by_type)[5]) {
  const size_t step = size_t(p.w) * size_t(p.ch) + 1;
  Bytes raw(by_type[0].size());
  uint32_t seed = 777;
  for (size_t y = 0; y < size_t(p.h); ++y) {
    seed = seed * 1664525u + 1013904223u;
    const Bytes &from = by_type[(seed >> 16) % 5];
    std::copy_n(from.begin() + long(y * step), step, raw.begin() + long(y * step));
  }
  return raw;
}

double seconds(UnfilterImpl impl, const Planes &p, const Bytes &raw, Planes &out, Bytes &types) {
  const auto t0 = std::chrono::steady_clock::now();
  auto r = unfilter_image_with(impl, raw, p.w, p.h, p.ch, out.rgb, out.alpha, types);
  const auto t1 = std::chrono::steady_clock::now();
  if (!r) std::abort();
  return std::chrono::duration<double>(t1 - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void bench(int32_t w, int32_t h, int ch, int runs) {
  const Planes p = photo(w, h, ch);
  Bytes by_type[5];
  for (int t = 0; t < 5; ++t) by_type[t] = filtered(p, Bytes(size_t(h), uint8_t(t)));
  int count[5] = {};
  const Bytes mixes[2] = {adaptive(p, by_type, count), even(p, by_type)};
  const double mb = double(w) * h * ch / 1e6;
  // Small images repeat within a run so that each timing covers ~10 MB.
  const int reps = std::max(1, int(10 / mb));

  Planes out = p;
  Bytes types(static_cast<size_t>(h));
  const char *names[7] = {"None", "Sub", "Up", "Average", "Paeth", "adaptive", "even"};
  const UnfilterImpl impls[3] = {UnfilterImpl::Scalar, UnfilterImpl::Ssse3, UnfilterImpl::Sse41};
  const int n_impls = 1 + int(unfilter_best());
  for (int t = 0; t < 7; ++t) {
    const Bytes &raw = t < 5 ? by_type[t] : mixes[t - 5];
    std::vector<double> times[3];
    for (int r = 0; r < runs; ++r)
      for (int i = 0; i < n_impls; ++i) {
        double s = 0;
        for (int k = 0; k < reps; ++k) s += seconds(impls[i], p, raw, out, types);
        times[i].push_back(s / reps);
        if (out.rgb != p.rgb || out.alpha != p.alpha) std::abort();
      }
    double rate[3] = {};
    for (int i = 0; i < n_impls; ++i) rate[i] = mb / median(times[i]);
    std::printf("%4dx%-4d %d ch  %-8s %8.0f", w, h, ch, names[t], rate[0]);
    for (int i = 1; i < 3; ++i)
      if (i < n_impls) std::printf(" %8.0f", rate[i]);
      else std::printf(" %8s", "-");
    std::printf(" %7.2fx\n", rate[n_impls - 1] / rate[0]);
  }
  std::printf("%4dx%-4d %d ch  adaptive rows: None %d, Sub %d, Up %d, Average %d, Paeth %d\n", w,
              h, ch, count[0], count[1], count[2], count[3], count[4]);
}

}  // namespace

int main(int argc, char **argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
  const char *best[3] = {"scalar (no SIMD in this build or CPU)", "SSSE3", "SSE4.1"};
  std::printf("unfilter_image runs: %s; median of %d runs, MB/s of unfiltered bytes\n",
              best[int(unfilter_best())], runs);
  std::printf("%-17s %-8s %8s %8s %8s %8s\n", "image", "filter", "scalar", "SSSE3", "SSE4.1",
              "best/sc");
  for (int ch : {3, 4}) {
    bench(3840, 2160, ch, runs);
    bench(512, 512, ch, runs);
  }
  return 0;
}
