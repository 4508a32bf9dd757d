// module/plane.hpp: the image's planes as the decoders make them: bytearrays
// that the image adopts, made whole at once or grown as the data arrives.
// A header may claim far more than its file holds; a few bytes of input must
// not cost gigabytes before the short data is found.
#pragma once
#include "module/python.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>

#include "image/pages.hpp"
#include "loadsave/loaded.hpp"
#include "module/errors.hpp"
#include "module/gil.hpp"
#include "module/ref.hpp"
#include "png/idat.hpp"

namespace corvane {

// A bytearray of n bytes, for the caller to write every byte of before
// anyone else sees it. CPython leaves its memory untouched, so a large one
// is given huge pages at its first write; PyPy has cleared it already.
inline PyObject *new_plane(Py_ssize_t n) {
  PyObject *o = PyByteArray_FromStringAndSize(nullptr, n);
#if !defined(PYPY_VERSION)
  if (o) prefer_huge_pages(PyByteArray_AS_STRING(o), size_t(n));
#endif
  return o;
}

// A bytearray that grows in doubling steps capped at the size the header
// promises. On success it is handed over at the size filled.
class GrowingPlane {
 public:
  explicit GrowingPlane(int64_t total) : total_(total) {}
  // With `whole`, the plane is made at its full size at once: where the
  // header's size is modest, one allocation costs less than growing (on
  // PyPy much less: each growth copies).
  int init(bool whole = false) {
    const int64_t n = whole ? total_ : 0;
    if (!(plane_ = Ref::steal(new_plane(Py_ssize_t(n))))) return -1;
    capacity_ = n;
    return 0;
  }

  // Capacity for at least n bytes (n <= total); -1 with an exception set.
  int reserve(int64_t n) {
    if (n <= capacity_) return 0;
    int64_t want = std::min(total_, std::max({capacity_ * 2, n, int64_t{64} << 10}));
    if (PyByteArray_Resize(plane_.get(), Py_ssize_t(want)) < 0) return -1;
#if !defined(PYPY_VERSION)
    prefer_huge_pages(data() + capacity_, size_t(want - capacity_));
#endif
    capacity_ = want;
    return 0;
  }
  // Room for n more bytes at the end; nullptr with an exception set if none.
  uint8_t *append(int64_t n) {
    if (reserve(filled_ + n) < 0) return nullptr;
    uint8_t *at = data() + filled_;
    filled_ += n;
    return at;
  }
  int64_t total() const { return total_; }
  uint8_t *data() { return reinterpret_cast<uint8_t *>(PyByteArray_AS_STRING(plane_.get())); }
  // All the memory reserved so far; it moves when reserve grows it.
  std::span<uint8_t> room() { return {data(), size_t(capacity_)}; }
  void set_filled(int64_t n) { filled_ = n; }
  // The bytearray at the size filled.
  PyObject *finish() {
    if (capacity_ != filled_ && PyByteArray_Resize(plane_.get(), Py_ssize_t(filled_)) < 0) return nullptr;
    return plane_.release();
  }

 private:
  Ref plane_;
  int64_t total_, filled_ = 0, capacity_ = 0;
};

// The PNG decoder's planes: RGB, alpha (4 channels) and the row types. The
// decoder runs with the interpreter's lock let go (unlocked()), and takes it
// back only to make or grow them. Used, and destroyed, on one thread.
class BytearrayPlanes final : public PlaneHost {
 public:
  // Input below this is decoded in less time than letting the lock go and
  // taking it back costs (on PyPy, microseconds each way).
  static constexpr uint64_t kWorthLettingGo = 64 << 10;

  // fn() with the lock let go, the planes taking it back to be made or
  // grown; for input of fewer than kWorthLettingGo bytes, with it held.
  template <class Fn>
  auto unlocked(uint64_t input_bytes, Fn &&fn) {
    if (input_bytes < kWorthLettingGo) return fn();
    WithoutGil lock_gone;
    released_ = &lock_gone;
    struct Done {
      WithoutGil *&released;
      ~Done() { released = nullptr; }
    } done{released_};
    return fn();
  }

  bool begin(const ImageLayout &l, bool whole, PlaneRoom &room) override {
    return with_gil(released_, [&] {
      const PngSizes &s = l.sizes;
      planes_.emplace(Planes{GrowingPlane(s.rgb_bytes), GrowingPlane(l.channels == 4 ? s.area : 0),
                             GrowingPlane(l.height)});
      layout_ = l;
      if (planes_->rgb.init(whole) < 0 || planes_->alpha.init(whole) < 0 || planes_->filters.init(whole) < 0)
        return dropped();
      look_up(room, whole ? l.height : 0);
      return true;
    });
  }
  bool grow(int64_t rows, PlaneRoom &room) override {
    return with_gil(released_, [&] {
      const int64_t w = layout_.width;
      if (!planes_) return false;
      if (planes_->rgb.reserve(rows * w * 3) < 0 ||
          planes_->alpha.reserve(layout_.channels == 4 ? rows * w : 0) < 0 || planes_->filters.reserve(rows) < 0)
        return dropped();
      look_up(room, rows);
      return true;
    });
  }

  // The planes, filled, into the loader result (the lock held): -1 with an
  // error when they could not be handed over.
  int finish(Loaded &out) {
    if (!planes_) return fail(raise(PyExc_SystemError, "planes handed over before they were made"));
    const int64_t area = int64_t(layout_.width) * layout_.height;
    planes_->rgb.set_filled(area * 3);
    planes_->filters.set_filled(layout_.height);
    if (!(out.pixels = Ref::steal(planes_->rgb.finish())) ||
        !(out.png_filters = Ref::steal(planes_->filters.finish())))
      return -1;
    if (layout_.channels == 3) {
      out.alpha = Ref::borrow(Py_None);
      return 0;
    }
    planes_->alpha.set_filled(area);
    return (out.alpha = Ref::steal(planes_->alpha.finish())) ? 0 : -1;
  }
  // Gives the planes up (the lock held), as soon as the decode has failed.
  void reset() { planes_.reset(); }

 private:
  struct Planes {
    GrowingPlane rgb, alpha, filters;
  };
  // The memory a failed allocation left is let go at once; the decoder
  // reports the failure (MemoryError) in its turn, after errors found earlier
  // in the file.
  bool dropped() {
    PyErr_Clear();
    planes_.reset();
    return false;
  }
  // The planes' memory, looked up while the lock is held: on PyPy that is a
  // call into the host.
  void look_up(PlaneRoom &room, int64_t rows) {
    room = {planes_->rgb.room(), planes_->alpha.room(), planes_->filters.room(), rows};
  }

  std::optional<Planes> planes_;
  ImageLayout layout_;
  WithoutGil *released_ = nullptr;
};

}  // namespace corvane
