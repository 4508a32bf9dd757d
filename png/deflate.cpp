// png/deflate.cpp: the compressors of png/deflate.hpp.
#include "png/deflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <new>
#include <system_error>

namespace corvane {

const char *linked_zlib_version() { return zlibVersion(); }

struct DeflateStream {
  z_stream zs{};
  std::vector<uint8_t> out;
  bool ok = false;
  explicit DeflateStream(size_t total) {
    // What zlib.compress(data) sets up: deflateInit at Z_DEFAULT_COMPRESSION,
    // that is a 32 KiB window and memory level 8, the default strategy.
    if (deflateInit(&zs, Z_DEFAULT_COMPRESSION) != Z_OK) return;
    out.resize(deflateBound(&zs, uLong(total)));
    zs.next_out = out.data();
    ok = true;
  }
  ~DeflateStream() {
    if (ok) deflateEnd(&zs);
  }
  // The output was sized for the whole stream, so each call takes its input
  // whole; zlib counts in uInt, so at most 1 GiB a call.
  bool take(std::span<const uint8_t> data, bool last) {
    int r = Z_OK;
    while (r == Z_OK && !data.empty()) {
      const uInt give = uInt(std::min<size_t>(data.size(), 1u << 30));
      zs.next_in = const_cast<Bytef *>(data.data());
      zs.avail_in = give;
      zs.avail_out = uInt(std::min<size_t>(out.size() - zs.total_out, 1u << 30));
      r = deflate(&zs, last && give == data.size() ? Z_FINISH : Z_NO_FLUSH);
      data = data.subspan(give - zs.avail_in);
    }
    while (last && r == Z_OK) {
      zs.avail_in = 0;
      zs.avail_out = uInt(std::min<size_t>(out.size() - zs.total_out, 1u << 30));
      r = deflate(&zs, Z_FINISH);
    }
    return last ? r == Z_STREAM_END : r == Z_OK;
  }
};

namespace {
constexpr size_t kPiece = 256 << 10;
}  // namespace

PieceDeflater::PieceDeflater(size_t total, size_t unit) : z_(std::make_unique<DeflateStream>(total)), total_(total) {
  piece_size_ = std::min(std::max(unit, kPiece / std::max<size_t>(unit, 1) * unit), std::max<size_t>(total, 1));
  const bool threaded = total > piece_size_ && z_->ok;
  buffers_.resize(threaded ? kRing : 1);
  lengths_.resize(buffers_.size());
  for (auto &b : buffers_) b = std::make_unique_for_overwrite<uint8_t[]>(piece_size_);
  failed_ = !z_->ok;
  if (!threaded) return;
  // The worker only hides the compression behind the filtering: without one
  // (a process or cgroup at its thread limit) the pieces are compressed as
  // they are pushed, into the same bytes.
  try {
    worker_ = std::thread([this] { work(); });
  } catch (const std::system_error &) {
    buffers_.resize(1);
    lengths_.resize(1);
  }
}

PieceDeflater::~PieceDeflater() {
  if (worker_.joinable()) {
    stop_ = true;
    waiting_.release();  // wakes the worker if it waits for a piece
    worker_.join();
  }
}

std::span<uint8_t> PieceDeflater::buffer() {
  if (worker_.joinable()) free_.acquire();
  return {buffers_[next_fill_].get(), piece_size_};
}

std::span<uint8_t> PieceDeflater::try_buffer() {
  if (worker_.joinable() && !free_.try_acquire()) return {};
  return {buffers_[next_fill_].get(), piece_size_};
}

void PieceDeflater::push(size_t n) {
  pushed_ += n;
  const bool last = pushed_ >= total_;
  if (!worker_.joinable()) {
    if (!z_->take({buffers_[0].get(), n}, last)) failed_ = true;
    return;
  }
  lengths_[next_fill_] = n;
  next_fill_ = (next_fill_ + 1) % buffers_.size();
  waiting_.release();
}

void PieceDeflater::work() {
  size_t done = 0, next = 0;
  while (done < total_) {
    waiting_.acquire();
    if (stop_) return;  // given up before the stream was whole
    done += lengths_[next];
    if (!z_->take({buffers_[next].get(), lengths_[next]}, done >= total_)) failed_ = true;
    next = (next + 1) % buffers_.size();
    free_.release();
  }
}

bool PieceDeflater::finish(std::vector<uint8_t> &out) {
  if (total_ == 0 && !failed_ && !z_->take({}, true)) failed_ = true;
  if (worker_.joinable()) worker_.join();
  if (failed_) return false;
  z_->out.resize(z_->zs.total_out);
  out = std::move(z_->out);
  return true;
}

}  // namespace corvane
