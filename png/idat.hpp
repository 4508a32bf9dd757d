// png/idat.hpp: a PNG's IDAT data inflated into rows, never more than one
// byte past the size its header gives, and how that ended. The rows go to a
// sink of the caller's: has_room(n) (room for the rows n more bytes
// complete), feed_rows(bytes) (false when memory ran out) and fed(). No
// Python here, and nothing that needs the interpreter's lock.
#pragma once
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <semaphore>
#include <span>
#include <thread>
#include <vector>

#include "png/inflate.hpp"
#include "png/walk.hpp"

namespace corvane {

struct Inflated {
  enum Kind {
    Done,       // exactly the expected bytes, and the stream's end
    Malformed,  // a byte past the expected size, or an end short of it
    Truncated,  // the data ran out before the stream's end
    Corrupt,    // the inflater refused the stream: `error` has zlib's words, from an exact one
    Io,         // a read failed: io_errno
    NoMemory,
  };
  Inflated(Kind k = Done, ZlibError e = {}, int io = 0) : kind(k), error(std::move(e)), io_errno(io) {}
  Kind kind;
  ZlibError error;
  int io_errno;
};

class IdatDecoder {
 public:
  // Inflated output is handed on in pieces of at most this size.
  static constexpr size_t kPiece = 256 << 10;

  IdatDecoder(const ByteSource &source, const std::vector<ChunkRecord> &chunks, size_t expected, bool exact)
      : inflater_(exact), idat_(source, chunks), expected_(expected),
        piece_size_(std::min(kPiece, expected + 1)), piece_(std::make_unique_for_overwrite<uint8_t[]>(piece_size_)) {}

  // Inflates into `sink` until the stream has ended (how, returned) or the
  // sink lacks room for the next piece (nothing returned; room_wanted() says
  // for how many bytes).
  template <class Sink>
  std::optional<Inflated> run(Sink &sink) {
    for (;;) {
      const size_t want = std::min(piece_size_, expected_ + 1 - sink.fed());
      if (!sink.has_room(want)) {
        room_wanted_ = want;
        return std::nullopt;
      }
      if (in_.empty()) {
        if (idat_.next(in_) < 0) return Inflated(Inflated::Io, {}, errno);
        if (in_.empty()) return Inflated(Inflated::Truncated);
      }
      // A sink may hand out the memory the piece is to be inflated into.
      uint8_t *const into = [&] {
        if constexpr (requires { sink.piece(want); }) return sink.piece(want);
        else return piece_.get();
      }();
      std::span<uint8_t> out(into, want);
      const Inflater::Status status = inflater_.run(in_, out);
      const size_t produced = want - out.size();
      // An error found in the call that filled the last byte allowed is the
      // error: zlib.decompress raises it as it drops that call's output.
      if (status == Inflater::Status::Error) return Inflated(Inflated::Corrupt, inflater_.error());
      if (produced > 0 && !sink.feed_rows({into, produced})) return Inflated(Inflated::NoMemory);
      if (sink.fed() > expected_) return past_the_size();
      if (status == Inflater::Status::End)
        return Inflated(sink.fed() == expected_ ? Inflated::Done : Inflated::Malformed);
    }
  }
  size_t room_wanted() const { return room_wanted_; }

 private:
  // A byte past the size: Malformed, unless zlib.decompress of the joined
  // data would have met an error in the same inflate call, which goes on as
  // far as it can with no room for output (to the stream's end and its
  // checksum). Where the IDAT chunks cut the data, that call saw all of it,
  // so the rest is given to zlib here with no room either. igzip leaves this
  // to zlib's verdict.
  Inflated past_the_size() {
    if (!inflater_.exact()) return Inflated(Inflated::Malformed);
    for (;;) {
      std::span<uint8_t> none(piece_.get(), 0);
      if (inflater_.run(in_, none) == Inflater::Status::Error) return Inflated(Inflated::Corrupt, inflater_.error());
      if (!in_.empty()) return Inflated(Inflated::Malformed);  // it needs room to go on
      if (idat_.next(in_) < 0) return Inflated(Inflated::Io, {}, errno);
      if (in_.empty()) return Inflated(Inflated::Malformed);
    }
  }

  Inflater inflater_;
  IdatStream idat_;
  size_t expected_, piece_size_, room_wanted_ = 0;
  std::unique_ptr<uint8_t[]> piece_;
  std::span<const uint8_t> in_;
};

// decoder.run(rows) with the inflating on a thread of its own and the rows
// reconstructed on the calling one, the two overlapping: for a sink whose
// room is all made (has_room never false), so that the calling thread has
// nothing to wait for but pieces. The pieces pass through a ring of three
// buffers, inflated into in place.
template <class Rows>
Inflated run_alongside(IdatDecoder &decoder, Rows &rows) {
  constexpr size_t kRing = 3, kDone = SIZE_MAX;
  struct Ring {
    std::unique_ptr<uint8_t[]> slot[kRing];
    size_t length[kRing] = {};
    std::counting_semaphore<kRing> free{kRing}, full{0};
    std::atomic<bool> failed{false};
  } ring;
  for (auto &s : ring.slot) s = std::make_unique_for_overwrite<uint8_t[]>(IdatDecoder::kPiece);
  // The inflating side: the decoder's sink, counting what it hands over.
  struct Handover {
    Ring &ring;
    size_t next = 0, n = 0;
    bool held = false;  // a slot taken and not yet handed over
    bool has_room(size_t) const { return true; }
    uint8_t *piece(size_t) {
      if (!held) ring.free.acquire();
      held = true;
      return ring.slot[next].get();
    }
    bool feed_rows(std::span<const uint8_t> bytes) {
      if (ring.failed) return false;
      ring.length[next] = bytes.size();
      n += bytes.size();
      held = false;
      next = (next + 1) % kRing;
      ring.full.release();
      return true;
    }
    size_t fed() const { return n; }
  } handover{ring};
  Inflated ended;
  std::thread inflating([&] {
    ended = *decoder.run(handover);
    if (!handover.held) ring.free.acquire();
    ring.length[handover.next] = kDone;
    ring.full.release();
  });
  for (size_t next = 0;; next = (next + 1) % kRing) {
    ring.full.acquire();
    if (ring.length[next] == kDone) break;
    if (!ring.failed && !rows.feed_rows({ring.slot[next].get(), ring.length[next]})) ring.failed = true;
    ring.free.release();
  }
  inflating.join();
  return ring.failed && ended.kind == Inflated::Done ? Inflated(Inflated::NoMemory) : ended;
}

// zlib's verdict on the IDAT data, bounded the same way, the output counted
// and dropped: for a stream the fast inflater did not take to its end.
inline Inflated zlib_verdict(const ByteSource &source, const std::vector<ChunkRecord> &chunks, size_t expected) {
  struct Counter {
    size_t n = 0;
    bool has_room(size_t) const { return true; }
    bool feed_rows(std::span<const uint8_t> bytes) { return n += bytes.size(), true; }
    size_t fed() const { return n; }
  } counter;
  return *IdatDecoder(source, chunks, expected, true).run(counter);
}

}  // namespace corvane
