// png/inflate.cpp: the inflaters behind png/inflate.hpp.
#include "png/inflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <new>

#if defined(CORVANE_ISAL)
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#endif

namespace corvane {

uint32_t chunk_crc32(uint32_t crc, std::span<const uint8_t> bytes) {
#if defined(CORVANE_ISAL)
  return crc32_gzip_refl(crc, bytes.data(), bytes.size());
#else
  // zlib takes at most 4 GiB a call.
  while (bytes.size() > 0) {
    const size_t n = std::min<size_t>(bytes.size(), 1u << 30);
    crc = uint32_t(::crc32(crc, bytes.data(), uInt(n)));
    bytes = bytes.subspan(n);
  }
  return crc;
#endif
}

std::string decompress_error_text(int code, const char *text) {
  std::string message = text ? text : "";
  if (message.empty()) {
    // The texts the host's zlib module puts where zlib gives none.
    if (code == Z_BUF_ERROR) message = "incomplete or truncated stream";
    else if (code == Z_STREAM_ERROR) message = "inconsistent stream state";
    else if (code == Z_DATA_ERROR) message = "invalid input data";
  }
  std::string out = "Error " + std::to_string(code) + " while decompressing data";
  return message.empty() ? out : out + ": " + message;
}

namespace {

// zlib inflate, as the host's zlib.decompress sets it up (a 32 KiB window).
class ZlibImpl {
 public:
  ZlibImpl() {
    if (inflateInit(&zs_) != Z_OK) throw std::bad_alloc();
  }
  ~ZlibImpl() { inflateEnd(&zs_); }
  ZlibImpl(const ZlibImpl &) = delete;
  ZlibImpl &operator=(const ZlibImpl &) = delete;
  // Ready for a new stream, keeping the memory zlib has.
  void reset() { inflateReset(&zs_); }

  Inflater::Status run(std::span<const uint8_t> &in, std::span<uint8_t> &out, Failure &error) {
    for (;;) {
      // zlib counts in uInt: at most 1 GiB each way a call.
      const uInt give = uInt(std::min<size_t>(in.size(), 1u << 30)), room = uInt(std::min<size_t>(out.size(), 1u << 30));
      zs_.next_in = const_cast<Bytef *>(in.data());
      zs_.avail_in = give;
      zs_.next_out = out.data();
      zs_.avail_out = room;
      const int r = inflate(&zs_, Z_NO_FLUSH);
      in = in.subspan(give - zs_.avail_in);
      out = out.subspan(room - zs_.avail_out);
      if (r == Z_STREAM_END) return Inflater::Status::End;
      if (r != Z_OK && r != Z_BUF_ERROR) {
        // zlib's messages are string literals: they outlive the stream.
        error = {Err::Zlib, 0, uint32_t(r), zs_.msg};
        return Inflater::Status::Error;
      }
      if (out.empty()) return Inflater::Status::OutputFull;
      if (in.empty()) return Inflater::Status::NeedInput;
    }
  }

 private:
  z_stream zs_{};
};

#if defined(CORVANE_ISAL)
// igzip, with the two zlib header bytes checked here as zlib checks them
// (igzip would take a 64 KiB window, or a dictionary's flag, that zlib
// refuses) and its window set to the one the header declares; igzip then
// inflates the deflate data and verifies the Adler-32 after it.
class IsalImpl {
 public:
  IsalImpl() { reset(); }
  void reset() {
    isal_inflate_init(&st_);
    st_.crc_flag = ISAL_ZLIB_NO_HDR_VER;
    st_.hist_bits = 0;  // the default window, until a header declares another
    header_got_ = 0;
  }

  Inflater::Status run(std::span<const uint8_t> &in, std::span<uint8_t> &out, Failure &error) {
    while (header_got_ < 2) {
      if (in.empty()) return Inflater::Status::NeedInput;
      header_[header_got_++] = in.front();
      in = in.subspan(1);
      if (header_got_ == 2 && !header_ok()) {
        error = {Err::Zlib};
        return Inflater::Status::Error;
      }
    }
    if (st_.block_state == ISAL_BLOCK_FINISH) return Inflater::Status::End;
    for (;;) {
      const uint32_t give = uint32_t(std::min<size_t>(in.size(), 1u << 30));
      const uint32_t room = uint32_t(std::min<size_t>(out.size(), 1u << 30));
      st_.next_in = const_cast<uint8_t *>(in.data());
      st_.avail_in = give;
      st_.next_out = out.data();
      st_.avail_out = room;
      const int r = isal_inflate(&st_);
      in = in.subspan(give - st_.avail_in);
      out = out.subspan(room - st_.avail_out);
      if (r < 0 || r == ISAL_NEED_DICT) {
        error = {Err::Zlib};
        return Inflater::Status::Error;
      }
      if (st_.block_state == ISAL_BLOCK_FINISH) return Inflater::Status::End;
      if (out.empty()) return Inflater::Status::OutputFull;
      if (in.empty()) return Inflater::Status::NeedInput;
    }
  }

 private:
  bool header_ok() {
    const unsigned cmf = header_[0], flg = header_[1];
    if ((cmf * 256 + flg) % 31 != 0 || (cmf & 15) != 8 || (cmf >> 4) > 7 || (flg & 0x20)) return false;
    // A window below 32 KiB is igzip's to enforce; the full one is its
    // default, which keeps its fastest loop.
    if ((cmf >> 4) < 7) st_.hist_bits = (cmf >> 4) + 8;
    return true;
  }

  inflate_state st_;  // isal_inflate_init sets what it needs: the rest is window and tables, not to be cleared
  uint8_t header_[2] = {};
  int header_got_ = 0;
};
#endif

}  // namespace

namespace {

// Each thread keeps the state of the last inflater it finished with, for the
// next: igzip's is 85 KiB, and a small image's open would otherwise spend
// more on making it (in a heap that the host's small objects have cut into
// pieces) than on inflating.
template <class State>
struct Spare {
  static std::unique_ptr<State> take() {
    if (!held) return std::make_unique<State>();
    held->reset();
    return std::move(held);
  }
  static void give(std::unique_ptr<State> &state) {
    if (state && !held) held = std::move(state);
  }
  static inline thread_local std::unique_ptr<State> held;
};

}  // namespace

// One of the two, chosen when the inflater is made.
struct Inflater::Impl {
  std::unique_ptr<ZlibImpl> zlib;
#if defined(CORVANE_ISAL)
  std::unique_ptr<IsalImpl> isal;
#endif
  ~Impl() {
    Spare<ZlibImpl>::give(zlib);
#if defined(CORVANE_ISAL)
    Spare<IsalImpl>::give(isal);
#endif
  }
};

Inflater::Inflater(bool exact) : impl_(std::make_unique<Impl>()) {
#if defined(CORVANE_ISAL)
  exact_ = exact;
  if (exact_) impl_->zlib = Spare<ZlibImpl>::take();
  else impl_->isal = Spare<IsalImpl>::take();
#else
  (void)exact;
  exact_ = true;
  impl_->zlib = Spare<ZlibImpl>::take();
#endif
}

Inflater::~Inflater() = default;

Inflater::Status Inflater::run(std::span<const uint8_t> &in, std::span<uint8_t> &out) {
#if defined(CORVANE_ISAL)
  if (impl_->isal) return impl_->isal->run(in, out, error_);
#endif
  return impl_->zlib->run(in, out, error_);
}

}  // namespace corvane
