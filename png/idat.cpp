// png/idat.cpp: the IDAT stage, the row target and the thread beside them.
#include "png/idat.hpp"

#include <algorithm>
#include <atomic>
#include <semaphore>
#include <system_error>
#include <thread>

namespace corvane {

bool IdatStage::push(std::span<const uint8_t> in, ByteSink &sink) {
  while (!ended_) {
    const size_t want = std::min(kPiece, expected_ + 1 - fed_);
    uint8_t *const into = sink.room(want);
    std::span<uint8_t> out(into, want);
    const Inflater::Status status = inflater_.run(in, out);
    const size_t produced = want - out.size();
    if (produced > 0 && !sink.take(produced)) return end({Err::NoMemory});
    fed_ += produced;
    // The room given never goes past the first byte too many, so when it is
    // filled that byte was inflated before anything the inflater found
    // wrong after it.
    if (fed_ > expected_) return end({Err::Malformed});
    if (status == Inflater::Status::Error) return end(inflater_.error());
    if (status == Inflater::Status::End) return end(fed_ == expected_ ? Failure{} : Failure{Err::Malformed});
    if (status == Inflater::Status::NeedInput) return true;
  }
  return false;
}

Failure IdatStage::finish() {
  // Data that ran out before the stream's end: what zlib.decompress raises
  // for it is zlib's Z_BUF_ERROR, which carries no message of its own.
  if (!ended_) end({Err::Zlib, 0, uint32_t(-5)});
  return outcome_;
}

RowTarget::RowTarget(const ImageLayout &layout, PlaneHost &host)
    : layout_(layout), host_(host), rows_(layout.width, layout.height, layout.channels) {}

bool RowTarget::start(uint64_t data_bytes) {
  const PngSizes &s = layout_.sizes;
  const int64_t planes = int64_t(s.rgb_bytes) + (layout_.channels == 4 ? s.area : 0) + layout_.height;
  // Data that cannot inflate to the header's size would leave whole planes
  // mostly unwritten: a short file then costs what it holds.
  const bool backed = data_bytes >= (layout_.expected() + kMaxInflation - 1) / kMaxInflation;
  return host_.begin(layout_, planes <= kWholeAtOnce && backed, room_);
}

uint8_t *RowTarget::room(size_t) {
  // The stage never asks for more than the stream's size and one byte: a
  // small image's open then costs no fresh quarter-megabyte of pages.
  if (!scratch_)
    scratch_ = std::make_unique_for_overwrite<uint8_t[]>(std::min<size_t>(IdatStage::kPiece, layout_.expected() + 1));
  return scratch_.get();
}

bool RowTarget::feed(std::span<const uint8_t> bytes) {
  const int64_t rows = rows_.rows_after(bytes.size());
  failed_ = failed_ || (rows > room_.rows && !host_.grow(rows, room_)) ||
            !rows_.feed(bytes, room_.rgb, room_.alpha, room_.filters);
  return !failed_;
}

namespace detail {

bool run_on_a_thread(RowTarget &rows, void (*produce)(void *, ByteSink &), void *context) {
  constexpr size_t kRing = 3, kDone = SIZE_MAX;
  struct Ring {
    std::unique_ptr<uint8_t[]> slot[kRing];
    size_t length[kRing] = {};
    std::counting_semaphore<kRing> free{kRing}, full{0};
    std::atomic<bool> failed{false};
  } ring;
  for (auto &s : ring.slot) s = std::make_unique_for_overwrite<uint8_t[]>(IdatStage::kPiece);
  // The producing side's sink: each piece is inflated into a free slot,
  // then handed over.
  struct Handover final : ByteSink {
    explicit Handover(Ring &r) : ring(r) {}
    Ring &ring;
    size_t next = 0;
    bool held = false;  // a slot taken and not yet handed over
    uint8_t *room(size_t) override {
      if (!held) ring.free.acquire();
      held = true;
      return ring.slot[next].get();
    }
    bool take(size_t n) override {
      if (ring.failed) return false;
      ring.length[next] = n;
      held = false;
      next = (next + 1) % kRing;
      ring.full.release();
      return true;
    }
  } handover{ring};
  std::atomic<bool> lost{false};
  std::thread producing;
  try {
    producing = std::thread([&] {
      // Nothing may leave a thread of its own: a failure to allocate on the
      // way is the rows' failure.
      try {
        produce(context, handover);
      } catch (...) {
        lost = true;
      }
      if (!handover.held) ring.free.acquire();
      ring.length[handover.next] = kDone;
      ring.full.release();
    });
  } catch (const std::system_error &) {
    return false;  // the same work, on this thread
  }
  for (size_t next = 0;; next = (next + 1) % kRing) {
    ring.full.acquire();
    if (ring.length[next] == kDone) break;
    if (!ring.failed && !rows.feed({ring.slot[next].get(), ring.length[next]})) ring.failed = true;
    ring.free.release();
  }
  producing.join();
  if (lost) rows.fail();
  return true;
}

}  // namespace detail

}  // namespace corvane
