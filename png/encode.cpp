// png/encode.cpp: the PNG writers. Both filter every row with its recorded
// type (png/scanline.hpp), compress the stream once through the module's
// zlib, and prepare every byte of the file before they open it: a refused
// call leaves an existing file untouched, and only the open, the writes and
// the close can fail afterwards.
#include <cstring>
#include <optional>
#include <vector>

#include "image/sizes.hpp"
#include "module/args.hpp"
#include "module/buffer.hpp"
#include "module/errors.hpp"
#include "module/gil.hpp"
#include "module/host.hpp"
#include "module/messages.hpp"
#include "module/unpack.hpp"
#include "png/deflate.hpp"
#include "png/inflate.hpp"
#include "png/parallel.hpp"
#include "png/png.hpp"
#include "png/scanline.hpp"
#include "png/split.hpp"

namespace corvane {
namespace {

// The sizes the writers work with; beyond int32 the image is refused before
// anything is read. Without rows the row arithmetic is moot.
int encode_sizes(int32_t width, int32_t height, bool has_alpha, PngSizes &out) {
  Result<ImageSizes> image = image_sizes(width, height);
  if (!image) return fail(raise_core(image));
  Result<PngSizes> png = png_sizes(height == 0 ? 0 : width, height, has_alpha ? 4 : 3);
  if (!png) return fail(raise_core(png));
  out = png.value;
  out.area = image.value.area;
  out.rgb_bytes = image.value.rgb_bytes;
  return 0;
}

// len(o) == n, else ValueError(message).
int check_length(PyObject *o, int32_t n, const char *message) {
  Py_ssize_t len = PyObject_Size(o);
  if (len < 0) return -1;
  return len == n ? 0 : fail(value_error(message));
}

int check_lengths(PyObject *pixels, PyObject *alpha, const PngSizes &s) {
  if (check_length(pixels, s.rgb_bytes, msg::kPixelMismatch) < 0) return -1;
  return alpha == Py_None ? 0 : check_length(alpha, s.area, msg::kAlphaMismatch);
}

// pixels itself when it is a bytearray (or a subclass), else bytearray(pixels).
PyObject *as_bytearray(PyObject *pixels) {
  if (PyByteArray_Check(pixels)) return Ref::borrow(pixels).release();
  return call(reinterpret_cast<PyObject *>(&PyByteArray_Type), pixels);
}

// The view the alpha plane and the filter types are read through: writable,
// one-dimensional, unsigned bytes, as the image record holds them. The
// host's buffer interface refuses anything else (bytes, lists) itself.
int byte_view(PyObject *o, BufferView &v) {
  if (v.get(o, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_ND) < 0) return -1;
  const Py_buffer &b = v.raw();
  if (b.ndim != 1)
    return PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected 1, got %d)", b.ndim), -1;
  const char *f = b.format ? b.format : "B";
  if (*f == '@' || *f == '=' || *f == '<' || *f == '>' || *f == '!') ++f;
  if (f[0] != 'B' || f[1] != '\0')
    return PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected 'unsigned char' but got '%s'",
                        b.format), -1;
  return 0;
}

// A buffer shorter than its len() claimed (a subclass that lies) is refused
// rather than read past its end.
int view_holds(const BufferView &v, int32_t n, const char *message) {
  return v.size() >= size_t(n) ? 0 : fail(value_error(message));
}

// The buffers the rows are made from, checked; their views are taken only by
// views(), after the last call that can run caller code.
class RowSource {
 public:
  RowSource(int32_t width, int32_t height, PyObject *pix_buf, PyObject *alpha, PyObject *filter_types,
            const PngSizes &s)
      : width_(width), height_(height), pix_buf_(pix_buf), alpha_(alpha), filter_types_(filter_types), s_(s) {}

  // The checks, in their order. The rows are filtered through buffers of
  // width x channels bytes, which is where a negative width is refused,
  // whatever the lengths said. len(filter_types) may run caller code that
  // resizes or frees a buffer already looked at, and on PyPy a bytearray
  // moves with no export to stop it: the view taken to check alpha is let go
  // before that call.
  int check() {
    if (width_ < 0) return fail(refuse_negative_count());
    if (alpha_ != Py_None) {
      BufferView probe;
      if (byte_view(alpha_, probe) < 0) return -1;
    }
    if (filter_types_ != Py_None) {
      Py_ssize_t n = PyObject_Size(filter_types_);
      if (n < 0) return -1;
      if (n != height_) return fail(value_error(msg::kFilterMismatch));
    }
    return 0;
  }
  // The views the rows are read through, each checked to hold what its
  // length promised; taken again after release(), when the buffers may have
  // changed size, and then checked again.
  int views() {
    if (held_) return 0;
    release();
    if ((alpha_ != Py_None && byte_view(alpha_, alpha_view_.emplace()) < 0) ||
        (filter_types_ != Py_None && byte_view(filter_types_, filter_view_.emplace()) < 0))
      return -1;
    if (height_ <= 0) return 0;
    if (pixel_view_.emplace().get(pix_buf_) < 0 || view_holds(*pixel_view_, s_.rgb_bytes, msg::kPixelMismatch) < 0)
      return -1;
    rgb_ = pixel_view_->bytes().first(size_t(s_.rgb_bytes));
    if (alpha_ != Py_None) {
      if (view_holds(*alpha_view_, s_.area, msg::kAlphaMismatch) < 0) return -1;
      alpha_bytes_ = alpha_view_->bytes().first(size_t(s_.area));
    }
    if (filter_types_ != Py_None) {
      if (view_holds(*filter_view_, height_, msg::kFilterMismatch) < 0) return -1;
      filter_bytes_ = filter_view_->bytes().first(size_t(height_));
    }
    held_ = true;
    return 0;
  }
  // The first row type above 4, refused as filtering would refuse it.
  int types_ok() const {
    for (size_t y = 0; y < filter_bytes_.size(); ++y)
      if (filter_bytes_[y] > 4) return fail(raise_core(Err::BadFilter, y, filter_bytes_[y]));
    return 0;
  }
  void release() {
    held_ = false;
    rgb_ = alpha_bytes_ = filter_bytes_ = {};
    pixel_view_.reset();
    alpha_view_.reset();
    filter_view_.reset();
  }
  // The filter's next rows into `out` (whole rows), from the views.
  Result<int32_t> rows(RowFilter &filter, std::span<uint8_t> out) const {
    return filter.rows(rgb_, alpha_bytes_, filter_bytes_, out);
  }
  RowFilter filter() const { return RowFilter(width_, height_, alpha_ == Py_None ? 3 : 4); }
  size_t row_step() const { return size_t(s_.stride) + 1; }
  size_t raw_bytes() const { return height_ > 0 ? size_t(s_.raw_bytes) : 0; }

 private:
  int32_t width_, height_;
  PyObject *pix_buf_, *alpha_, *filter_types_;
  const PngSizes &s_;
  std::optional<BufferView> alpha_view_, filter_view_, pixel_view_;
  std::span<const uint8_t> rgb_, alpha_bytes_, filter_bytes_;
  bool held_ = false;
};

// The scanline stream: every row's type byte, then the row filtered with it.
// The rows are read from the caller's buffers, so with the lock held.
PyObject *scanlines(RowSource &src) {
  Ref raw = Ref::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(src.raw_bytes())));
  if (!raw || src.raw_bytes() == 0) return raw.release();
  auto out = std::span(reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(raw.get())), src.raw_bytes());
  RowFilter filter = src.filter();
  Result<int32_t> rows = src.rows(filter, out);
  return rows ? raw.release() : raise_core(rows);
}

// zlib.compress(scanlines) with the zlib linked here: the rows are filtered
// a piece at a time while a thread of the compressor's own compresses the
// pieces before. The rows are read from the caller's buffers, which another
// thread may resize whenever the lock is free (an export held meanwhile would
// make that resize fail, and on PyPy there is none to stop it), so each piece
// is filtered with the lock held; it is let go only over the compressor's own
// memory: while waiting for a free buffer, while a piece is compressed on
// this thread, and for the end of the stream. The views are let go first,
// and taken and checked again for the next piece.
template <class Deflater>
PyObject *compressed_by(RowSource &src, Deflater &deflater) {
  RowFilter filter = src.filter();
  const size_t step = src.row_step(), rows = src.raw_bytes() / step;
  for (size_t y = 0; y < rows;) {
    std::span<uint8_t> room = deflater.try_buffer();
    if (room.empty()) {
      src.release();
      room = without_gil([&] { return deflater.buffer(); });
    }
    if (src.views() < 0) return nullptr;
    const size_t n = std::min(room.size() / step, rows - y);
    Result<int32_t> r = src.rows(filter, room.first(n * step));
    if (!r) return raise_core(r);
    if (deflater.threaded()) {
      deflater.push(n * step);
    } else {
      src.release();
      without_gil([&] { deflater.push(n * step); });
    }
    y += n;
  }
  src.release();
  std::vector<uint8_t> out;
  if (!without_gil([&] { return deflater.finish(out); })) return PyErr_NoMemory();
  return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(out.data()), Py_ssize_t(out.size()));
}

// A stream large enough to gain is compressed on every core the process may
// use (png/parallel.hpp), into the same bytes.
PyObject *compressed_here(RowSource &src) {
  ParallelPlan plan;
  if (src.raw_bytes() >= parallel_min_bytes()) {
    src.release();  // the first plan of a process runs the probe, without the lock
    plan = without_gil([&] { return parallel_plan(src.raw_bytes()); });
  }
  if (plan.threads >= 2) {
    ParallelDeflater deflater(src.raw_bytes(), src.row_step(), plan);
    return compressed_by(src, deflater);
  }
  PieceDeflater deflater(src.raw_bytes(), src.row_step());
  return compressed_by(src, deflater);
}

// The checked, filtered and compressed image data shared by both writers.
PyObject *compressed_image(PyObject *fn, int32_t width, int32_t height, PyObject *pixels, PyObject *alpha,
                           PyObject *filter_types, const PngSizes &s) {
  Ref pix_buf = Ref::steal(as_bytearray(pixels));
  if (!pix_buf) return nullptr;
  RowSource src(width, height, pix_buf.get(), alpha, filter_types, s);
  // The rows' own errors come before anything of the compressor's, as the
  // rows are made before it is called; the views are then let go, for the
  // lookup of zlib.compress may run caller code, and taken again after it.
  if (src.check() < 0 || src.views() < 0 || src.types_ok() < 0) return nullptr;
  src.release();
  Ref zlib = Ref::steal(global(fn, "zlib"));
  Ref compress = Ref::steal(zlib ? attr(zlib.get(), "compress") : nullptr);
  if (!compress || src.views() < 0) return nullptr;
  if (compress.get() == host.zlib_compress && host.native_deflate)
    return compressed_here(src);
  Ref raw = Ref::steal(scanlines(src));
  return raw ? call(compress.get(), raw.get()) : nullptr;
}

// The bytes of a file, gathered as the objects that hold them (bytes, the
// caller's chunk data, views of the compressed stream) and laid out once,
// before the target is opened: anything that is not bytes-like is refused
// while the old file is still intact, and the file is one write. What is
// added is frozen as it is added, so caller code run later in the walk
// cannot change a chunk whose length and CRC are already computed.
class FileImage {
 public:
  int add(PyObject *o) {
    Ref frozen = Ref::steal(freeze(o));
    if (!frozen) return -1;
    parts_.push_back({std::move(frozen), {}});
    return 0;
  }
  // n bytes of `owner` (exact bytes) from `at` on, taken without a slice.
  void add_span(PyObject *owner, size_t at, size_t n) {
    parts_.push_back({Ref::borrow(owner), {reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(owner)) + at, n}});
  }
  // `n` bytes made here (a length or a CRC field).
  int add_made(const uint8_t *p, size_t n) {
    Ref b = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(p), Py_ssize_t(n)));
    return b ? add(b.get()) : -1;
  }
  // The file laid out once, then one write. Parts that are all bytes are
  // copied into it here; otherwise a b"".join of them refuses what is not
  // bytes-like in its own words.
  int write(PyObject *path) const {
    size_t total = 0;
    bool fixed = true;
    for (const Part &p : parts_) {
      const auto b = p.span.data() ? std::optional(p.span) : fixed_bytes(p.obj.get());
      fixed = fixed && b;
      if (b) total += b->size();
    }
    Ref whole;
    if (fixed) {
      whole = Ref::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(total)));
      if (!whole) return -1;
      auto *at = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(whole.get()));
      for (const Part &p : parts_) {
        const std::span<const uint8_t> b = p.span.data() ? p.span : *fixed_bytes(p.obj.get());
        if (!b.empty()) std::memcpy(at, b.data(), b.size());
        at += b.size();
      }
    } else {
      Ref list = Ref::steal(PyList_New(Py_ssize_t(parts_.size())));
      if (!list) return -1;
      for (size_t i = 0; i < parts_.size(); ++i) {
        const Part &p = parts_[i];
        PyObject *o = p.span.data() ? PyBytes_FromStringAndSize(reinterpret_cast<const char *>(p.span.data()),
                                                                Py_ssize_t(p.span.size()))
                                    : Ref::borrow(p.obj.get()).release();
        if (!o) return -1;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), o);
      }
      if (!(whole = Ref::steal(call_method(host.empty_bytes, "join", list.get())))) return -1;
    }
    PyObject *one[] = {whole.get()};
    return write_file(path, one, 1);
  }

 private:
  struct Part {
    Ref obj;
    std::span<const uint8_t> span;  // of obj's bytes, when set
  };
  std::vector<Part> parts_;
};

// A chunk through the module's _makeChunk. With its own, the data is not
// copied into a chunk object: the file takes the frame and the data as they are.
int add_made_chunk(PyObject *fn, FileImage &file, const char *type, PyObject *data) {
  Ref maker = Ref::steal(global(fn, "_makeChunk"));
  Ref t = Ref::steal(maker ? PyBytes_FromStringAndSize(type, 4) : nullptr);
  if (!t) return -1;
  if (maker.get() != host.make_chunk) {
    Ref chunk = Ref::steal(call(maker.get(), t.get(), data));
    return chunk ? file.add(chunk.get()) : -1;
  }
  Ref length, crc;
  if (check_exact_bytes(data, "data") < 0 || chunk_frame(fn, t.get(), data, length, crc) < 0) return -1;
  file.add(length.get());
  file.add(t.get());
  file.add(data);
  return file.add(crc.get());
}

// One chunk as the chunk-preserving writer lays it out: the length as
// len(data).to_bytes(4, "big"), the type, the data, the CRC packed ">I".
// Type and data are frozen first, and the length is that of the bytes
// written, so the frame always fits what it frames.
int add_kept_chunk(PyObject *fn, FileImage &file, PyObject *chunk_type, PyObject *chunk_data) {
  Ref type = Ref::steal(freeze(chunk_type));
  Ref data = Ref::steal(type ? freeze(chunk_data) : nullptr);
  if (!data) return -1;
  Py_ssize_t n = written_size(data.get());
  if (n < 0) return -1;
  Ref size = Ref::steal(PyLong_FromSsize_t(n));
  Ref four = Ref::steal(PyLong_FromLong(4));
  PyObject *big = name("big");
  if (!size || !four || !big) return -1;
  Ref length = Ref::steal(call_method(size.get(), "to_bytes", four.get(), big));
  if (!length) return -1;
  Ref crc_value = Ref::steal(chunk_crc(fn, type.get(), data.get()));
  Ref crc = Ref::steal(crc_value ? struct_call(fn, "pack", ">I", crc_value.get()) : nullptr);
  if (!crc) return -1;
  file.add(length.get());
  file.add(type.get());
  file.add(data.get());
  return file.add(crc.get());
}

// Calls visit(item) for each item of an iterable, stopping at the first -1.
template <class Visit>
int for_each(PyObject *iterable, Visit &&visit) {
  Ref it = Ref::steal(PyObject_GetIter(iterable));
  if (!it) return -1;
  while (Ref item = Ref::steal(PyIter_Next(it.get())))
    if (visit(item.get()) < 0) return -1;
  return PyErr_Occurred() ? -1 : 0;
}

// Calls visit(type, data, length) for each entry of chunks, each unpacked
// into exactly three items.
template <class Visit>
int for_each_entry(PyObject *chunks, Visit &&visit) {
  return for_each(chunks, [&](PyObject *entry) {
    Ref f[3];
    return unpack_exact(entry, f, 3) < 0 ? -1 : visit(f[0].get(), f[1].get(), f[2].get());
  });
}

// _split_idat_payload with the host's comparisons and arithmetic, for
// lengths that are not all plain ints.
PyObject *split_general(PyObject *data, PyObject *lengths, Py_ssize_t total, Py_ssize_t count) {
  Ref parts = Ref::steal(PyList_New(0));
  Ref offset = Ref::steal(PyLong_FromLong(0));
  Ref total_obj = Ref::steal(PyLong_FromSsize_t(total));
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!parts || !offset || !total_obj || !zero) return nullptr;
  auto slice = [&](PyObject *start, PyObject *stop) -> PyObject * {
    Ref s = Ref::steal(PySlice_New(start, stop, nullptr));
    return s ? PyObject_GetItem(data, s.get()) : nullptr;
  };
  for (Py_ssize_t idx = 0; idx < count; ++idx) {
    Ref length = Ref::steal(PySequence_GetItem(lengths, idx));
    if (!length) return nullptr;
    int r = PyObject_RichCompareBool(offset.get(), total_obj.get(), Py_GE);
    if (r) {
      if (r < 0) return nullptr;
      break;
    }
    if ((r = PyObject_RichCompareBool(length.get(), zero.get(), Py_LE)) != 0) {
      if (r < 0) return nullptr;
      continue;
    }
    Ref rest = Ref::steal(PyNumber_Subtract(total_obj.get(), offset.get()));
    if (!rest) return nullptr;
    Ref take;
    if (idx == count - 1) {
      take = std::move(rest);
    } else {  // min(length, rest): rest only when strictly smaller
      if ((r = PyObject_RichCompareBool(rest.get(), length.get(), Py_LT)) < 0) return nullptr;
      take = r ? std::move(rest) : std::move(length);
    }
    Ref stop = Ref::steal(PyNumber_Add(offset.get(), take.get()));
    Ref piece = Ref::steal(stop ? slice(offset.get(), stop.get()) : nullptr);
    if (!piece || PyList_Append(parts.get(), piece.get()) < 0) return nullptr;
    offset = std::move(stop);
  }
  int r = PyObject_RichCompareBool(offset.get(), total_obj.get(), Py_LT);
  if (r < 0) return nullptr;
  if (r) {
    Ref piece = Ref::steal(slice(offset.get(), Py_None));
    if (!piece || PyList_Append(parts.get(), piece.get()) < 0) return nullptr;
  }
  return parts.release();
}

PyObject *split_into_views(PyObject *data, PyObject *lengths);

// The new IDAT data cut into pieces through the module's _split_idat_payload;
// [compressed] when that gives none. The module's own cuts views, not copies,
// after the argument check its entry makes (a stand-in zlib may return
// something other than bytes).
PyObject *idat_parts(PyObject *fn, PyObject *compressed, PyObject *lengths) {
  Ref splitter = Ref::steal(global(fn, "_split_idat_payload"));
  if (!splitter) return nullptr;
  if (splitter.get() == host.split_idat_payload && check_exact_bytes_or_none(compressed, "data") < 0) return nullptr;
  Ref parts = Ref::steal(splitter.get() == host.split_idat_payload ? split_into_views(compressed, lengths)
                                                                    : call(splitter.get(), compressed, lengths));
  if (!parts) return nullptr;
  int any = PyObject_IsTrue(parts.get());
  if (any) return any < 0 ? nullptr : parts.release();
  Ref only = Ref::steal(PyList_New(1));
  if (only) PyList_SET_ITEM(only.get(), 0, Ref::borrow(compressed).release());
  return only.release();
}

}  // namespace

namespace {

// The piece sizes of _split_idat_payload for plain int lengths; false when
// some length is not a plain int (the host's arithmetic decides those).
bool plain_split(Py_ssize_t total, PyObject *lengths, std::vector<size_t> &sizes) {
  Py_ssize_t count = PyList_GET_SIZE(lengths);
  std::vector<int64_t> plain(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject *item = PyList_GET_ITEM(lengths, i);  // no caller code runs in this loop
    if (!PyLong_CheckExact(item)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
    plain[size_t(i)] = overflow > 0 ? INT64_MAX : overflow < 0 ? INT64_MIN : v;
  }
  sizes = split_idat(size_t(total), plain);
  return true;
}

// The same pieces as _split_idat_payload, as views of `data` instead of copies.
PyObject *split_into_views(PyObject *data, PyObject *lengths) {
  std::vector<size_t> sizes;
  if (!PyBytes_CheckExact(data) || !plain_split(PyBytes_GET_SIZE(data), lengths, sizes))
    return split_idat_payload(data, lengths);
  Slices view;
  Ref parts = Ref::steal(view.init(data) == 0 ? PyList_New(Py_ssize_t(sizes.size())) : nullptr);
  if (!parts) return nullptr;
  Py_ssize_t at = 0;
  for (size_t i = 0; i < sizes.size(); ++i) {
    PyObject *piece = view.slice(at, at + Py_ssize_t(sizes[i]));
    if (!piece) return nullptr;
    PyList_SET_ITEM(parts.get(), Py_ssize_t(i), piece);
    at += Py_ssize_t(sizes[i]);
  }
  return parts.release();
}

}  // namespace

PyObject *split_idat_payload(PyObject *data, PyObject *lengths) {
  Py_ssize_t total = PyObject_Size(data);
  if (total < 0) return nullptr;
  Py_ssize_t count = PyObject_Size(lengths);
  if (count < 0) return nullptr;
  std::vector<size_t> sizes;
  if (!plain_split(total, lengths, sizes)) return split_general(data, lengths, total, count);
  Ref parts = Ref::steal(PyList_New(Py_ssize_t(sizes.size())));
  if (!parts) return nullptr;
  const char *at = PyBytes_AS_STRING(data);
  for (size_t i = 0; i < sizes.size(); ++i) {
    PyObject *piece = PyBytes_FromStringAndSize(at, Py_ssize_t(sizes[i]));
    if (!piece) return nullptr;
    PyList_SET_ITEM(parts.get(), Py_ssize_t(i), piece);
    at += sizes[i];
  }
  return parts.release();
}

namespace {

// Whether the IDAT chunks of the chunk-preserving writer may be framed here:
// the stream is bytes, and the names the framing goes through are the
// module's own and the host's (_split_idat_payload, zlib.crc32, struct.pack).
bool genuine_idat_framing(PyObject *fn, PyObject *compressed) {
  if (!PyBytes_CheckExact(compressed)) return false;
  Ref splitter = Ref::steal(global(fn, "_split_idat_payload")), zlib = Ref::steal(global(fn, "zlib")),
      st = Ref::steal(global(fn, "struct"));
  // Attributes are asked of the host's own modules only: a stand-in's lookup
  // could run caller code the plain path would not run here.
  const bool modules = zlib.get() == host.zlib && st.get() == host.struct_module;
  Ref crc32 = Ref::steal(modules ? attr(zlib.get(), "crc32") : nullptr);
  Ref pack = Ref::steal(modules ? attr(st.get(), "pack") : nullptr);
  PyErr_Clear();  // a name that is missing only rules this out: the plain path meets it again
  return splitter.get() == host.split_idat_payload && crc32.get() == host.zlib_crc32 && pack &&
         pack.get() == host.struct_pack;
}

void put_be32(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}

// One IDAT chunk around n bytes of the stream from `at`: the frame
// add_kept_chunk would give it, computed here.
int add_idat_here(FileImage &file, PyObject *stream, size_t at, size_t n) {
  static const uint8_t kType[4] = {'I', 'D', 'A', 'T'};
  const auto data = std::span(reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(stream)) + at, n);
  uint8_t length[4], crc[4];
  put_be32(length, uint32_t(n));
  put_be32(crc, chunk_crc32(chunk_crc32(0, kType), data));
  if (file.add_made(length, 4) < 0 || file.add_made(kType, 4) < 0) return -1;
  file.add_span(stream, at, n);
  return file.add_made(crc, 4);
}

}  // namespace

PyObject *write_png(PyObject *fn, PyObject *path, int32_t width, int32_t height, PyObject *pixels, PyObject *alpha,
                    PyObject *filter_types) {
  PngSizes s;
  if (encode_sizes(width, height, alpha != Py_None, s) < 0 || check_lengths(pixels, alpha, s) < 0) return nullptr;
  Ref w = Ref::steal(PyLong_FromLong(width)), h = Ref::steal(PyLong_FromLong(height));
  Ref depth = Ref::steal(PyLong_FromLong(8)), colour = Ref::steal(PyLong_FromLong(alpha != Py_None ? 6 : 2));
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!w || !h || !depth || !colour || !zero) return nullptr;
  Ref ihdr = Ref::steal(struct_call(fn, "pack", ">IIBBBBB", w.get(), h.get(), depth.get(), colour.get(), zero.get(),
                                    zero.get(), zero.get()));
  if (!ihdr) return nullptr;
  Ref compressed = Ref::steal(compressed_image(fn, width, height, pixels, alpha, filter_types, s));
  if (!compressed) return nullptr;
  FileImage file;
  Ref signature = Ref::steal(global(fn, "PNG_SIGNATURE"));
  if (!signature || file.add(signature.get()) < 0 || add_made_chunk(fn, file, "IHDR", ihdr.get()) < 0 ||
      add_made_chunk(fn, file, "IDAT", compressed.get()) < 0 ||
      add_made_chunk(fn, file, "IEND", host.empty_bytes) < 0 || file.write(path) < 0)
    return nullptr;
  Py_RETURN_NONE;
}

PyObject *write_png_with_chunks(PyObject *fn, PyObject *path, int32_t width, int32_t height, PyObject *pixels,
                                PyObject *alpha, PyObject *chunks, PyObject *filter_types) {
  int any = PyObject_IsTrue(chunks);
  if (any < 0) return nullptr;
  if (!any) {
    Ref writer = Ref::steal(global(fn, "_writePng"));
    Ref w = Ref::steal(PyLong_FromLong(width)), h = Ref::steal(PyLong_FromLong(height));
    if (!writer || !w || !h) return nullptr;
    Ref r = Ref::steal(call(writer.get(), path, w.get(), h.get(), pixels, alpha, filter_types));
    return r ? new_none() : nullptr;
  }
  PngSizes s;
  if (encode_sizes(width, height, alpha != Py_None, s) < 0 || check_lengths(pixels, alpha, s) < 0) return nullptr;
  Ref compressed = Ref::steal(compressed_image(fn, width, height, pixels, alpha, filter_types, s));
  if (!compressed) return nullptr;

  Ref lengths = Ref::steal(PyList_New(0));
  if (!lengths) return nullptr;
  if (for_each_entry(chunks, [&](PyObject *type, PyObject *, PyObject *length) {
        int idat = chunk_type_is(type, "IDAT");
        return idat <= 0 ? idat : PyList_Append(lengths.get(), length);
      }) < 0)
    return nullptr;
  const bool has_idat = PyList_GET_SIZE(lengths.get()) > 0;
  // With the module's own split, plain lengths and the host's crc32 and
  // struct, the IDAT chunks are framed here around spans of the stream: no
  // piece is sliced off it.
  std::vector<size_t> here;
  Ref parts;
  if (!(genuine_idat_framing(fn, compressed.get()) && plain_split(PyBytes_GET_SIZE(compressed.get()),
                                                                   lengths.get(), here))) {
    here.clear();
    if (!(parts = Ref::steal(idat_parts(fn, compressed.get(), lengths.get())))) return nullptr;
  } else if (here.empty()) {
    here.push_back(size_t(PyBytes_GET_SIZE(compressed.get())));  // [compressed] when the split gives nothing
  }

  // The whole file, in order, before the target is touched.
  FileImage file;
  Ref signature = Ref::steal(global(fn, "PNG_SIGNATURE"));
  Ref idat_type = Ref::steal(PyBytes_FromStringAndSize("IDAT", 4));
  if (!signature || !idat_type || file.add(signature.get()) < 0) return nullptr;
  bool idat_written = false;
  auto add = [&](PyObject *type, PyObject *data) { return add_kept_chunk(fn, file, type, data); };
  auto add_idat = [&]() {
    idat_written = true;
    if (!here.empty()) {
      size_t at = 0;
      for (size_t n : here) {
        if (add_idat_here(file, compressed.get(), at, n) < 0) return -1;
        at += n;
      }
      return 0;
    }
    return for_each(parts.get(), [&](PyObject *part) { return add(idat_type.get(), part); });
  };
  if (for_each_entry(chunks, [&](PyObject *type, PyObject *data, PyObject *) {
        int r = chunk_type_is(type, "IDAT");
        if (r) return r < 0 || idat_written ? r : add_idat();
        // A list without IDAT entries gets its image data before IEND, so
        // that the file stays readable.
        if (!has_idat && !idat_written) {
          if ((r = chunk_type_is(type, "IEND")) < 0 || (r && add_idat() < 0)) return -1;
        }
        return add(type, data == Py_None ? host.empty_bytes : data);
      }) < 0)
    return nullptr;
  if ((!idat_written && add_idat() < 0) || file.write(path) < 0) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace corvane
