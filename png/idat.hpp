// png/idat.hpp: a PNG's image data, from its IDAT bytes to its planes. The
// IDAT stage inflates the joined IDAT data, never more than one byte past
// the size the header gives; the row target rebuilds the rows from what it
// inflates, straight into planes made by whoever owns them. No Python here,
// and nothing that needs the interpreter's lock.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "image/result.hpp"
#include "png/header.hpp"
#include "png/inflate.hpp"
#include "png/scanline.hpp"

namespace corvane {

// Where inflated bytes go, a piece at a time.
class ByteSink {
 public:
  // Memory to inflate up to n bytes (at most IdatStage::kPiece) into.
  virtual uint8_t *room(size_t n) = 0;
  // The first n bytes of that memory are the stream's next ones; false when
  // they could not be taken (memory ran out).
  virtual bool take(size_t n) = 0;

 protected:
  ~ByteSink() = default;
};

// The joined IDAT data, pushed in as it arrives, inflated into a sink.
// The rule for the stream's size is the one the decoder promises: the first
// byte past the header's size ends it as Malformed, whatever follows (an
// error, more data, a bad checksum), and an end short of the size is
// Malformed too. Otherwise a stream the inflater refuses is Err::Zlib, and
// one whose data runs out before its end is zlib's Z_BUF_ERROR, as the
// host's zlib.decompress reports both. The outcome does not depend on how
// the data is cut into pieces.
class IdatStage {
 public:
  // Inflated output is handed on in pieces of at most this size.
  static constexpr size_t kPiece = 256 << 10;

  // `exact` asks for zlib itself, whatever the build has (png/inflate.hpp).
  IdatStage(size_t expected, bool exact) : inflater_(exact), expected_(expected) {}

  // Inflates all of `in` into `sink`: true while the stream goes on, false
  // once it has ended (outcome() is then final; later input is not looked at).
  bool push(std::span<const uint8_t> in, ByteSink &sink);
  // What the stream came to, once all of its input was pushed.
  Failure finish();
  bool ended() const { return ended_; }
  bool exact() const { return inflater_.exact(); }

 private:
  bool end(Failure f) {
    ended_ = true;
    outcome_ = f;
    return false;
  }

  Inflater inflater_;
  size_t expected_, fed_ = 0;
  bool ended_ = false;
  Failure outcome_;
};

// The image's planes, as far as they are made: the RGB plane, the alpha
// plane (4 channels; empty with 3), the row types, with room for `rows`
// whole rows in each.
struct PlaneRoom {
  std::span<uint8_t> rgb, alpha, filters;
  int64_t rows = 0;
};

// Whoever makes the planes (the glue: the image's own bytearrays). Called
// only from the thread that runs the decoder.
class PlaneHost {
 public:
  // Planes for `layout`, anew: at their full size when `whole`, else as
  // small as it likes. False when they could not be had.
  virtual bool begin(const ImageLayout &layout, bool whole, PlaneRoom &room) = 0;
  // Room for at least `rows` rows (no more than the height). False when it
  // could not be had.
  virtual bool grow(int64_t rows, PlaneRoom &room) = 0;

 protected:
  ~PlaneHost() = default;
};

// The rows rebuilt from the inflated stream, each as soon as its last byte
// arrives, into planes of a PlaneHost. Planes of a modest size, for data
// that can fill them, are made whole at once; any others grow with the rows
// completed, so a header's claimed size is never reserved before data backs
// it.
class RowTarget final : public ByteSink {
 public:
  // What a header may cost before its data backs it.
  static constexpr int64_t kWholeAtOnce = 64 << 20;
  // No deflate stream inflates to more than this many bytes a byte (a
  // 258-byte match in two bits).
  static constexpr uint64_t kMaxInflation = 1032;

  RowTarget(const ImageLayout &layout, PlaneHost &host);
  // Makes the planes, for image data of at most `data_bytes` bytes.
  bool start(uint64_t data_bytes);
  // Whether the planes were made whole: no room ever to be made.
  bool whole() const { return room_.rows >= layout_.height; }
  const ImageLayout &layout() const { return layout_; }

  uint8_t *room(size_t n) override;
  bool take(size_t n) override { return feed({scratch_.get(), n}); }
  // Rows from the next bytes of the stream, making room for them first.
  bool feed(std::span<const uint8_t> bytes);
  // A piece that never arrived (memory ran out on the way): the rows are not
  // whole.
  void fail() { failed_ = true; }
  bool failed() const { return failed_; }
  // Back to the first row, for a stream that is inflated again.
  void restart() {
    rows_ = StreamUnfilter(layout_.width, layout_.height, layout_.channels);
    failed_ = false;
  }
  // Once the stream ended well: NoMemory if a feed failed, else a bad row's
  // error, or Ok.
  Failure result() const { return failed_ ? Failure{Err::NoMemory} : rows_.result().failure(); }

 private:
  ImageLayout layout_;
  PlaneHost &host_;
  PlaneRoom room_;
  StreamUnfilter rows_;
  std::unique_ptr<uint8_t[]> scratch_;
  bool failed_ = false;
};

// A stream below this inflates in less time than a thread takes to start.
inline constexpr size_t kAlongside = 256 << 10;

namespace detail {
// produce(sink) with the sink's pieces handed to `rows` on this thread;
// false when no thread could be started (nothing was produced then).
bool run_on_a_thread(RowTarget &rows, void (*produce)(void *, ByteSink &), void *context);
}  // namespace detail

// produce(sink), which pushes a whole stream into the sink it is given, with
// its rows rebuilt into `rows`. For planes made whole and a stream of some
// size, produce runs on a thread of its own while the rows are rebuilt on
// this one, the pieces passing between them through a ring of buffers; else,
// or when no thread can be started, it runs here, straight into `rows`.
template <class Produce>
void inflate_into(RowTarget &rows, Produce &&produce) {
  if (rows.whole() && rows.layout().expected() >= kAlongside) {
    auto call = [](void *p, ByteSink &sink) { (*static_cast<std::remove_reference_t<Produce> *>(p))(sink); };
    if (detail::run_on_a_thread(rows, call, &produce)) return;
  }
  produce(static_cast<ByteSink &>(rows));
}

}  // namespace corvane
