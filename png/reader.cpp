// png/reader.cpp: the chunk walk and the decode of png/reader.hpp.
#include "png/reader.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

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
  // many there were (fewer only at the end), or -1 with why() set.
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
          const int64_t r = s_.read(pos_, {block_.get(), block_size_}, why_);
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
  const Failure &why() const { return why_; }

 private:
  const ByteSource &s_;
  int64_t pos_ = 0;
  std::unique_ptr<uint8_t[]> block_;
  size_t block_size_ = 0, have_ = 0, used_ = 0;
  Failure why_;
};

// The chunks of a source, read in order. The walk can stop before the data
// of the first IDAT chunk, so that the planes are made for the header read
// so far, and go on from there, feeding IDAT data to a stage as it passes.
class Walker {
 public:
  Walker(const ByteSource &s, PngRead &out, bool keep_idat)
      : r_(s), out_(out), keep_idat_(keep_idat), copy_data_(!s.in_memory()) {}

  // True when it stopped before an IDAT chunk's data (only with
  // `stop_at_idat`); false at the end of the walk, out.walk saying how.
  bool run(bool stop_at_idat, IdatStage *stage, ByteSink *sink) {
    try {
      return walk(stop_at_idat, stage, sink);
    } catch (const std::bad_alloc &) {
      // A chunk's data is kept as far as it arrives, and may be more than
      // memory holds: the walk ends there.
      out_.walk = {Err::NoMemory};
      return false;
    }
  }
  // The chunk whose data is next, once run() stopped before it.
  const ChunkRecord &pending() const { return rec_; }

 private:
  bool walk(bool stop_at_idat, IdatStage *stage, ByteSink *sink) {
    for (;;) {
      if (!pending_) {
        int64_t got = field();
        if (got < 0) return fail(r_.why());
        if (got == 0) return false;  // a clean end
        if (got < 4) return fail({Err::EofLength});
        const uint32_t length = be32(field_);
        if ((got = field()) < 0) return fail(r_.why());
        if (got < 4) return fail({Err::EofType});
        rec_ = ChunkRecord{{field_[0], field_[1], field_[2], field_[3]}, r_.pos(), length, 0, {}};
        if (stop_at_idat && rec_.is("IDAT")) return pending_ = true;
      }
      pending_ = false;
      const bool idat = rec_.is("IDAT");
      bool feeding = idat && stage && !stage->ended();
      uint32_t crc = chunk_crc32(0, rec_.type);
      // Each piece is inflated as its CRC is computed: the chunk's CRC is
      // checked after its data was inflated, and a chunk that fails it fails
      // the whole decode, so no byte that did not pass reaches the image.
      int64_t got = r_.take(rec_.length, [&](std::span<const uint8_t> p) {
        crc = chunk_crc32(crc, p);
        if (idat) {
          if (feeding) feeding = stage->push(p, *sink);
          if (keep_idat_) out_.idat.insert(out_.idat.end(), p.begin(), p.end());
        } else if (copy_data_) {
          rec_.data.insert(rec_.data.end(), p.begin(), p.end());
        }
      });
      if (got < 0) return fail(r_.why());
      if (got < int64_t(rec_.length)) return fail({Err::EofData});
      if ((got = field()) < 0) return fail(r_.why());
      if (got < 4) return fail({Err::EofCrc});
      if (be32(field_) != crc) return fail({Err::BadCrc});
      rec_.crc = crc;
      const bool end = rec_.is("IEND");
      out_.chunks.push_back(std::move(rec_));
      if (end) return false;
    }
  }

  // A field of four bytes into field_: how many there were, or -1.
  int64_t field() {
    size_t filled = 0;
    return r_.take(4, [&](std::span<const uint8_t> p) {
      std::memcpy(field_ + filled, p.data(), p.size());
      filled += p.size();
    });
  }
  bool fail(Failure f) {
    out_.walk = f;
    return false;
  }

  Reader r_;
  PngRead &out_;
  bool keep_idat_, copy_data_;
  uint8_t field_[4] = {};
  bool pending_ = false;
  ChunkRecord rec_{};
};

// The header the chunks read so far give: the last IHDR's, when it passes.
std::optional<ImageLayout> layout_of(const ByteSource &source, const std::vector<ChunkRecord> &chunks,
                                     std::span<const uint8_t> *ihdr_data = nullptr) {
  for (auto c = chunks.rbegin(); c != chunks.rend(); ++c) {
    if (!c->is("IHDR")) continue;
    PngHeader h;
    ImageLayout l;
    if (!parse_ihdr(c->data_in(source), h) || !check_header(h, l)) return std::nullopt;
    if (ihdr_data) *ihdr_data = c->data_in(source);
    return l;
  }
  return std::nullopt;
}

uint64_t idat_bytes(const std::vector<ChunkRecord> &chunks) {
  uint64_t n = 0;
  for (const ChunkRecord &c : chunks)
    if (c.is("IDAT")) n += c.length;
  return n;
}

// Calls fn(piece) for the IDAT data of `read`, in order: from memory, or
// read again from the file with each chunk's CRC checked against the one the
// walk recorded, so that a chunk that reads otherwise now fails (as it would
// have failed the walk).
template <class Fn>
Failure each_idat_piece(const ByteSource &source, const PngRead &read, Fn &&fn) {
  if (source.in_memory()) {
    for (const ChunkRecord &c : read.chunks)
      if (c.is("IDAT")) fn(c.data_in(source));
    return {};
  }
  const auto buffer = std::make_unique_for_overwrite<uint8_t[]>(IdatStage::kPiece);
  for (const ChunkRecord &c : read.chunks) {
    if (!c.is("IDAT")) continue;
    uint32_t crc = chunk_crc32(0, c.type);
    for (uint32_t done = 0; done < c.length;) {
      const size_t n = std::min<size_t>(IdatStage::kPiece, c.length - done);
      Failure why;
      const int64_t got = source.read(c.at + done, {buffer.get(), n}, why);
      if (got < 0) return why;
      if (got < int64_t(n)) return {Err::EofData};
      const std::span<const uint8_t> piece(buffer.get(), n);
      crc = chunk_crc32(crc, piece);
      fn(piece);
      done += uint32_t(n);
    }
    if (crc != c.crc) return {Err::BadCrc};
  }
  return {};
}

// Whether an outcome is the stage's verdict on the stream (which zlib may
// give otherwise), rather than a lack of memory or a bad row.
bool stream_refused(Err e) { return e == Err::Malformed || e == Err::Zlib; }

// One pass of the IDAT data, as `pieces(fn)` hands it out, through a stage
// into `target`. `refused` says whether the stream itself was refused.
template <class Pieces>
Failure one_pass(RowTarget &target, bool exact, Pieces &&pieces, bool &refused) {
  IdatStage stage(target.layout().expected(), exact);
  Failure unread;
  inflate_into(target, [&](ByteSink &sink) {
    unread = pieces([&](std::span<const uint8_t> p) {
      if (!stage.ended()) stage.push(p, sink);
    });
  });
  refused = false;
  if (!unread) return unread;
  if (target.failed()) return {Err::NoMemory};
  const Failure f = stage.finish();
  if (!f) {
    refused = stream_refused(f.err);
    return f;
  }
  return target.result();
}

// The policy for whose verdict counts: a stream the fast inflater did not
// take to its end is inflated again by zlib, which gives the host's verdict
// and words and, where it takes the stream after all, the rows.
template <class Pieces>
Failure zlib_again(RowTarget &target, Failure f, bool refused, bool exact, Pieces &&pieces) {
  if (f || !refused || exact) return f;
  target.restart();
  return one_pass(target, true, pieces, refused);
}

template <class Pieces>
Failure inflate_all(RowTarget &target, Pieces &&pieces) {
  bool refused = false;
  const Failure f = one_pass(target, kZlibOnly, pieces, refused);
  return zlib_again(target, f, refused, kZlibOnly, pieces);
}

}  // namespace

PngRead read_png(const ByteSource &source, PlaneHost &planes, ImageData what) {
  PngRead out;
  const bool inflate = what == ImageData::Inflate;
  Walker walker(source, out, !inflate);
  std::optional<RowTarget> target;
  std::optional<IdatStage> stage;
  std::vector<uint8_t> armed;  // the IHDR data the planes were made for
  Failure armed_failure;
  if (walker.run(inflate, nullptr, nullptr)) {
    std::span<const uint8_t> ihdr;
    if (const auto l = layout_of(source, out.chunks, &ihdr)) {
      armed.assign(ihdr.begin(), ihdr.end());
      target.emplace(*l, planes);
      const int64_t at = walker.pending().at;
      if (!target->start(source.size_hint() > at ? uint64_t(source.size_hint() - at) : 0))
        armed_failure = {Err::NoMemory};
      else
        stage.emplace(l->expected(), kZlibOnly);
    }
    if (stage)
      inflate_into(*target, [&](ByteSink &sink) { walker.run(false, &*stage, &sink); });
    else
      walker.run(false, nullptr, nullptr);
  }
  if (!out.walk || !inflate) return out;
  std::span<const uint8_t> ihdr;
  const auto layout = layout_of(source, out.chunks, &ihdr);
  if (!layout) return out;  // the glue refuses the header, in the host's words

  auto pieces = [&](auto &&fn) { return each_idat_piece(source, out, fn); };
  if (!armed.empty() && std::equal(armed.begin(), armed.end(), ihdr.begin(), ihdr.end())) {
    if (!armed_failure) {
      out.image = armed_failure;
      return out;
    }
    Failure f = target->failed() ? Failure{Err::NoMemory} : stage->finish();
    const bool refused = !f && stream_refused(f.err);
    if (f) f = target->result();
    out.image = zlib_again(*target, f, refused, stage->exact(), pieces);
    return out;
  }
  // The data was read before the header that counts: it is inflated now,
  // from the start, into planes made for that header.
  stage.reset();
  target.emplace(*layout, planes);
  out.image = target->start(idat_bytes(out.chunks)) ? inflate_all(*target, pieces) : Failure{Err::NoMemory};
  return out;
}

Failure inflate_pieces(std::span<const std::span<const uint8_t>> pieces, const ImageLayout &layout,
                       PlaneHost &planes) {
  uint64_t total = 0;
  for (const auto &p : pieces) total += p.size();
  RowTarget target(layout, planes);
  if (!target.start(total)) return {Err::NoMemory};
  return inflate_all(target, [&](auto &&fn) {
    for (const auto &p : pieces) fn(p);
    return Failure{};
  });
}

Failure unfilter_into(std::span<const uint8_t> raw, const ImageLayout &layout, PlaneHost &planes) {
  RowTarget target(layout, planes);
  if (!target.start(raw.size())) return {Err::NoMemory};
  target.feed(raw);
  return target.result();
}

}  // namespace corvane
