// png/walk.cpp: the chunk walk and the IDAT stream of png/walk.hpp.
#include "png/walk.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "png/inflate.hpp"

namespace corvane {

namespace {

uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// The source read front to back: memory as it is, a file through one block.
class Reader {
 public:
  explicit Reader(const ByteSource &s) : s_(s) {
    if (!s.in_memory()) {
      // Sized for the file, so a small one costs no megabyte; memory not
      // cleared, since every byte used is read first.
      block_size_ = size_t(std::clamp<int64_t>(s.size_hint(), 4096, ByteSource::kBlock));
      block_ = std::make_unique_for_overwrite<uint8_t[]>(block_size_);
    }
  }
  // Takes up to n bytes, handing each contiguous piece to visit(span): how
  // many there were (fewer only at the end), or -1 with errno set.
  template <class Visit>
  int64_t take(uint64_t n, Visit &&visit) {
    uint64_t got = 0;
    while (got < n) {
      std::span<const uint8_t> piece;
      if (s_.in_memory()) {
        const auto m = s_.memory();
        if (pos_ >= int64_t(m.size())) break;
        piece = m.subspan(size_t(pos_), size_t(std::min<uint64_t>(n - got, m.size() - size_t(pos_))));
      } else {
        if (used_ == have_) {
          const int64_t r = s_.read(pos_, {block_.get(), block_size_});
          if (r < 0) return -1;
          if (r == 0) break;
          have_ = size_t(r);
          used_ = 0;
        }
        piece = {block_.get() + used_, size_t(std::min<uint64_t>(n - got, have_ - used_))};
        used_ += piece.size();
      }
      pos_ += int64_t(piece.size());
      got += piece.size();
      visit(piece);
    }
    return int64_t(got);
  }
  int64_t pos() const { return pos_; }

 private:
  const ByteSource &s_;
  int64_t pos_ = 0;
  std::unique_ptr<uint8_t[]> block_;
  size_t block_size_ = 0, have_ = 0, used_ = 0;
};

}  // namespace

Walk walk_chunks(const ByteSource &source) {
  Walk w;
  Reader r(source);
  uint8_t field[4];
  size_t filled = 0;
  auto to_field = [&](std::span<const uint8_t> p) {
    std::memcpy(field + filled, p.data(), p.size());
    filled += p.size();
  };
  // A field of four bytes: how many there were, or -1 (Io recorded).
  auto read_field = [&]() -> int64_t {
    filled = 0;
    const int64_t got = r.take(4, to_field);
    if (got < 0) {
      w.error = WalkError::Io;
      w.io_errno = errno;
    }
    return got;
  };
  for (;;) {
    int64_t got = read_field();
    if (got <= 0) return w;  // a clean end, or a failed read
    if (got < 4) {
      w.error = WalkError::EofLength;
      return w;
    }
    const uint32_t length = be32(field);
    if ((got = read_field()) < 0) return w;
    if (got < 4) {
      w.error = WalkError::EofType;
      return w;
    }
    ChunkRecord rec{{field[0], field[1], field[2], field[3]}, r.pos(), length, {}};
    uint32_t crc = chunk_crc32(0, {field, 4});
    const bool keep = !source.in_memory() && !rec.is("IDAT");
    got = r.take(length, [&](std::span<const uint8_t> p) {
      crc = chunk_crc32(crc, p);
      if (keep) rec.data.insert(rec.data.end(), p.begin(), p.end());
    });
    if (got < 0 || got < int64_t(length)) {
      w.io_errno = got < 0 ? errno : 0;
      w.error = got < 0 ? WalkError::Io : WalkError::EofData;
      return w;
    }
    if ((got = read_field()) < 0) return w;
    if (got < 4 || be32(field) != crc) {
      w.error = got < 4 ? WalkError::EofCrc : WalkError::BadCrc;
      return w;
    }
    const bool end = rec.is("IEND");
    w.chunks.push_back(std::move(rec));
    if (end) return w;
  }
}

IdatStream::IdatStream(const ByteSource &source, const std::vector<ChunkRecord> &chunks) : source_(source) {
  uint64_t total = 0;
  for (const ChunkRecord &c : chunks)
    if (c.is("IDAT") && c.length > 0) spans_.emplace_back(c.at, c.length), total += c.length;
  if (!source.in_memory()) {
    buffer_size_ = size_t(std::min<uint64_t>(total, 256 << 10));
    buffer_ = std::make_unique_for_overwrite<uint8_t[]>(buffer_size_);
  }
}

int IdatStream::next(std::span<const uint8_t> &piece) {
  if (index_ == spans_.size()) {
    piece = {};
    return 0;
  }
  const auto [at, length] = spans_[index_];
  if (source_.in_memory()) {
    piece = source_.memory().subspan(size_t(at), length);
    ++index_;
    return 0;
  }
  const size_t n = std::min<size_t>(buffer_size_, length - done_);
  const int64_t got = source_.read(at + done_, {buffer_.get(), n});
  if (got < 0) return -1;
  if (got < int64_t(n)) {  // the file shrank since it was walked
    errno = EIO;
    return -1;
  }
  piece = {buffer_.get(), n};
  if ((done_ += uint32_t(n)) == length) {
    ++index_;
    done_ = 0;
  }
  return 0;
}

}  // namespace corvane
