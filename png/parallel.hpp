// png/parallel.hpp: zlib.compress's bytes, made on several cores. No Python
// here.
//
// Finding matches is nearly all of deflate's time, and it is what zlib is
// left to do: each thread deflates one segment of the stream with the
// linked zlib, primed with the 32 KiB before it. Shortly after its start a
// segment's matcher is in the very state the whole stream's matcher is in at
// the same place, and from there on it finds the same literals and matches:
// at the first place both just ended a match, or both went 262 bytes without
// finding one (the lazy matcher carries nothing further). Segments start at
// multiples of 32 KiB, where zlib's window starts too, so that both windows
// hold the same bytes at the same places. The tokens are read back out of
// each segment's stream, spliced where the segments agree, and written once,
// in order, as zlib writes them (png/blocks.hpp).
//
// Where a splice cannot be proved (no agreement within the segment's margin,
// or a stored block, whose matches are lost), the whole stream is compressed
// on one thread instead: the bytes never rest on a guess.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <thread>
#include <vector>

namespace corvane {

struct ParallelPlan {
  unsigned threads = 0;  // 0: every segment on the calling thread (for the probe and the tests)
  size_t segment = 0;    // a multiple of 32 KiB
};

// How the module would compress a stream of n bytes: a plan with threads >= 2,
// or threads == 0 when one zlib call is the better way (too small a stream,
// one core, or a zlib whose output this code has not reproduced).
ParallelPlan parallel_plan(size_t n);
// Below this many bytes the plan is always one call (and no probe is run).
size_t parallel_min_bytes();

// Whether the block writer reproduces the linked zlib, checked once per
// process on a probe stream.
bool parallel_reproduces_zlib();

// compress2(in, default level) by the plan; false if the splice could not
// be proved (the caller compresses in one call then) or memory ran out.
bool parallel_compress(std::span<const uint8_t> in, std::vector<uint8_t> &out, const ParallelPlan &plan);

// The PieceDeflater interface (png/deflate.hpp) over the parallel
// compressor: the stream is made in one buffer, a piece at a time, and each
// segment is compressed as soon as the bytes it needs are there.
class ParallelDeflater {
 public:
  ParallelDeflater(size_t total, size_t unit, const ParallelPlan &plan);
  ~ParallelDeflater();
  ParallelDeflater(const ParallelDeflater &) = delete;
  ParallelDeflater &operator=(const ParallelDeflater &) = delete;

  std::span<uint8_t> buffer();  // never waits
  std::span<uint8_t> try_buffer() { return buffer(); }
  bool threaded() const { return true; }
  void push(size_t n);
  // zlib.compress's bytes; false only when memory ran out.
  bool finish(std::vector<uint8_t> &out);

  struct Job;

 private:
  std::unique_ptr<Job> job_;
  size_t piece_;
};

}  // namespace corvane
