// png/deflate.hpp: the scanline stream compressed as the host's
// zlib.compress(data) compresses it (zlib's default level, window and memory
// settings, one stream), by the zlib the module links. No Python here.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <semaphore>
#include <span>
#include <thread>
#include <vector>

namespace corvane {

// The version of the zlib linked in, as zlibVersion() gives it.
const char *linked_zlib_version();

struct DeflateStream;

// zlib.compress of a stream handed over in pieces, in order: the bytes are
// those of one call over the whole stream (zlib's output does not depend on
// how its input arrives). A stream of more than one piece is compressed on a
// thread of its own while the caller makes the next pieces, so that making
// them costs next to nothing; the caller fills buffer() and hands it over
// with push(), then finish() waits for the stream. A one-piece stream, or one
// for which no thread can be started, is compressed by push() itself, on the
// calling thread, with the same result. Memory that cannot be had is
// std::bad_alloc from the constructor.
class PieceDeflater {
 public:
  // `total`: the stream's length; `unit`: pieces are whole multiples of it.
  PieceDeflater(size_t total, size_t unit);
  ~PieceDeflater();
  PieceDeflater(const PieceDeflater &) = delete;
  PieceDeflater &operator=(const PieceDeflater &) = delete;

  // Room for the next piece (a whole number of units, at least one); it
  // waits while every buffer is still being compressed.
  std::span<uint8_t> buffer();
  // buffer() if one is free now, else empty: a caller that must not wait
  // with something held lets it go before it calls buffer().
  std::span<uint8_t> try_buffer();
  // Whether a thread of the compressor's own compresses the pieces; without
  // one, push() compresses each piece itself.
  bool threaded() const { return worker_.joinable(); }
  // The first n bytes of buffer() are the next piece.
  void push(size_t n);
  // Once every piece was pushed: the compressed stream; false when zlib could
  // not get its memory.
  bool finish(std::vector<uint8_t> &out);

 private:
  static constexpr size_t kRing = 3;
  void work();

  std::unique_ptr<DeflateStream> z_;
  size_t total_, pushed_ = 0, piece_size_;
  std::vector<std::unique_ptr<uint8_t[]>> buffers_;
  std::vector<size_t> lengths_;
  size_t next_fill_ = 0;  // the producer's place in the ring; the worker keeps its own
  // Buffers free to fill and pieces waiting: the two sides hand the ring to
  // each other through these alone. (Semaphores, not a condition variable:
  // they live in the headers, so the module asks nothing of a newer C++
  // runtime than the oldest one a wheel allows.)
  std::counting_semaphore<kRing> free_{kRing}, waiting_{0};
  std::atomic<bool> failed_{false}, stop_{false};
  std::thread worker_;
};

}  // namespace corvane
