// png/decode.cpp: the PNG decoder's glue. A stream the front door made is
// read by the core's walk (png/reader.hpp) when the names the chunk reading
// goes through are the genuine ones and its bytes can be read at any offset;
// any other is read through _readChunk, call for call. Either way the chunk
// list is recorded here, the header checked in the host's terms, and the
// image data inflated by the core's IDAT stage, unless zlib.decompress is a
// stand-in, which gets the joined data as the host's own code would give it.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "module/args.hpp"
#include "module/buffer.hpp"
#include "module/errors.hpp"
#include "module/gil.hpp"
#include "module/host.hpp"
#include "module/messages.hpp"
#include "module/plane.hpp"
#include "module/unpack.hpp"
#include "png/png.hpp"
#include "png/reader.hpp"

namespace corvane {
namespace {

// The IHDR values through the module's struct, as the host reads them. The
// host's own struct.unpack of 13 bytes gives the values the bytes spell
// (ints that fit): they are read here without the call.
int read_header(PyObject *fn, PyObject *data, PngHeader &h) {
  Ref st = Ref::steal(global(fn, "struct"));
  Ref unpack = Ref::steal(st ? attr(st.get(), "unpack") : nullptr);
  PyObject *format = unpack ? name(">IIBBBBB") : nullptr;
  if (!format) return -1;
  if (unpack.get() == host.struct_unpack && PyBytes_CheckExact(data)) {
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(data)),
                                         size_t(PyBytes_GET_SIZE(data)));
    if (parse_ihdr(bytes, h)) return 0;
  }
  Ref values = Ref::steal(call(unpack.get(), format, data));
  if (!values) return -1;
  Ref item[7];
  if (unpack_exact(values.get(), item, 7) < 0) return -1;
  PngHeader next;
  for (int i = 0; i < 7; ++i)
    if (to_i32(item[i].get(), &next.v[i]) < 0) return -1;
  h = next;
  return 0;
}

// What the decoder keeps of one chunk read: (type, data, len(data)), IDAT
// as (type, None, its length).
int record_chunk(PyObject *chunks, PyObject *type, PyObject *data, Py_ssize_t length, bool idat) {
  Ref n = Ref::steal(PyLong_FromSsize_t(length));
  Ref record = Ref::steal(n ? PyTuple_Pack(3, type, idat ? Py_None : data, n.get()) : nullptr);
  return record ? PyList_Append(chunks, record.get()) : -1;
}

[[gnu::cold]] int raise_failure(const Failure &f) { return fail(raise_core(f)); }

// The loader result around the finished planes and the chunk list.
int hand_over(BytearrayPlanes &planes, const PngHeader &h, const ImageLayout &l, Ref chunks, Loaded &out) {
  if (planes.finish(out) < 0) return -1;
  out.width = Ref::steal(PyLong_FromLong(h.width()));
  out.height = Ref::steal(PyLong_FromLong(h.height()));
  out.channels = Ref::steal(PyLong_FromLong(l.channels));
  if (!out.width || !out.height || !out.channels) return -1;
  out.chunks = std::move(chunks);
  out.bmp_meta = Ref::borrow(Py_None);
  return 0;
}

// raw = decompress(data) through a stand-in, size-checked, into the planes.
// The size that counts is the buffer's: a len() may lie. A result that is
// not bytes is taken as bytes first: making the planes may run the host's
// collector, and with it caller code that could resize a buffer being read.
int decompress_with(PyObject *decompress, PyObject *data, const ImageLayout &l, BytearrayPlanes &planes) {
  Ref raw = Ref::steal(call(decompress, data));
  if (!raw) return -1;
  const Py_ssize_t n = PyObject_Size(raw.get());
  if (n < 0) return -1;
  if (size_t(n) != l.expected()) return raise_failure({Err::Malformed});
  if (!PyBytes_Check(raw.get()) && !(raw = Ref::steal(PyBytes_FromObject(raw.get())))) return -1;
  BufferView view;
  if (view.get(raw.get()) < 0) return -1;
  if (view.size() != l.expected()) return raise_failure({Err::Malformed});
  const Failure f = unfilter_into(view.bytes(), l, planes);
  return f ? 0 : raise_failure(f);
}

// The core's IDAT stage over pieces of memory that nothing can change while
// the lock is let go, the planes made and grown with it taken back.
int inflate_here(std::span<const std::span<const uint8_t>> pieces, const ImageLayout &l, BytearrayPlanes &planes) {
  uint64_t total = 0;
  for (const auto &p : pieces) total += p.size();
  const Failure f = planes.unlocked(total, [&] { return inflate_pieces(pieces, l, planes); });
  return f ? 0 : raise_failure(f);
}

// --- reading through _readChunk, in the host's terms.

// The next (type, data) through the module's _readChunk; the module's own is
// run directly, without a round trip through a call.
int next_through_reader(PyObject *fn, PyObject *stream, Ref &type, Ref &data) {
  Ref reader = Ref::steal(global(fn, "_readChunk"));
  if (!reader) return -1;
  Ref result = Ref::steal(reader.get() == host.read_chunk ? read_chunk(fn, stream) : call(reader.get(), stream));
  Ref pair[2];
  if (!result || unpack_exact(result.get(), pair, 2) < 0) return -1;
  type = std::move(pair[0]);
  data = std::move(pair[1]);
  return 0;
}

// zlib.decompress(b"".join(idat)), looked up and called when the host's code
// would look it up and call it. The host's own is the core's IDAT stage over
// the pieces as they are (they are bytes, which nothing changes), joined
// only where the join itself must judge them.
int image_from_pieces(PyObject *fn, PyObject *idat, const ImageLayout &l, BytearrayPlanes &planes) {
  Ref zlib = Ref::steal(global(fn, "zlib"));
  Ref decompress = Ref::steal(zlib ? attr(zlib.get(), "decompress") : nullptr);
  if (!decompress) return -1;
  const Py_ssize_t count = PyList_GET_SIZE(idat);
  bool all_bytes = true;
  for (Py_ssize_t i = 0; i < count && all_bytes; ++i) all_bytes = PyBytes_CheckExact(PyList_GET_ITEM(idat, i));
  if (decompress.get() != host.zlib_decompress || !all_bytes) {
    Ref joined = Ref::steal(call_method(host.empty_bytes, "join", idat));
    if (!joined) return -1;
    if (decompress.get() != host.zlib_decompress) return decompress_with(decompress.get(), joined.get(), l, planes);
    const std::span<const uint8_t> whole(reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(joined.get())),
                                         size_t(PyBytes_GET_SIZE(joined.get())));
    return inflate_here({&whole, 1}, l, planes);
  }
  std::vector<std::span<const uint8_t>> pieces(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject *piece = PyList_GET_ITEM(idat, i);
    pieces[size_t(i)] = {reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(piece)), size_t(PyBytes_GET_SIZE(piece))};
  }
  return inflate_here(pieces, l, planes);
}

int load_through_reader(PyObject *fn, PyObject *stream, Loaded &out) {
  Ref idat = Ref::steal(PyList_New(0));
  Ref chunks = Ref::steal(PyList_New(0));
  if (!idat || !chunks) return -1;
  PngHeader h;
  for (;;) {
    Ref type, data;
    if (next_through_reader(fn, stream, type, data) < 0) return -1;
    int end, ihdr, is_idat;
    if ((end = chunk_type_is(type.get(), "", 0)) != 0) {
      if (end < 0) return -1;
      break;
    }
    if ((ihdr = chunk_type_is(type.get(), "IHDR")) < 0 || (ihdr && read_header(fn, data.get(), h) < 0)) return -1;
    const Py_ssize_t n = PyObject_Size(data.get());
    if (n < 0 || (is_idat = chunk_type_is(type.get(), "IDAT")) < 0) return -1;
    if (is_idat && PyList_Append(idat.get(), data.get()) < 0) return -1;
    if (record_chunk(chunks.get(), type.get(), data.get(), n, is_idat) < 0) return -1;
    if ((end = chunk_type_is(type.get(), "IEND")) != 0) {
      if (end < 0) return -1;
      break;
    }
  }
  ImageLayout l;
  const Failure checked = check_header(h, l);
  if (!checked) return raise_failure(checked);
  BytearrayPlanes planes;
  if (image_from_pieces(fn, idat.get(), l, planes) < 0) return -1;
  idat = Ref();
  return hand_over(planes, h, l, std::move(chunks), out);
}

// --- the core's walk, for a stream only the front door reads.

// Whether the names the chunk reading uses are the module's own and the
// host's: only then may the core's walk stand in for _readChunk.
bool genuine_chunk_reading(PyObject *fn) {
  Ref reader = Ref::steal(global(fn, "_readChunk")), st = Ref::steal(global(fn, "struct")),
      zlib = Ref::steal(global(fn, "zlib"));
  Ref unpack = Ref::steal(st ? attr(st.get(), "unpack") : nullptr);
  Ref crc32 = Ref::steal(zlib ? attr(zlib.get(), "crc32") : nullptr);
  PyErr_Clear();  // a name that is missing only rules the walk out
  return reader.get() == host.read_chunk && st.get() == host.struct_module && unpack.get() == host.struct_unpack &&
         zlib.get() == host.zlib && crc32.get() == host.zlib_crc32;
}

int load_walked(PyObject *fn, PyObject *stream, const PrivateStream &priv, Loaded &out) {
  std::optional<ByteSource> source;
  if (priv.memory.data() || priv.source) {
    const std::span<const uint8_t> bytes =
        priv.memory.data() ? priv.memory
                           : std::span(reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(priv.source)),
                                       size_t(PyBytes_GET_SIZE(priv.source)));
    source.emplace(bytes.subspan(std::min<size_t>(8, bytes.size())));
  } else {
    Ref fd_obj = Ref::steal(call_method(stream, "fileno"));
    Ref pos_obj = Ref::steal(fd_obj ? call_method(stream, "tell") : nullptr);
    if (!pos_obj) return -1;
    const long fd = PyLong_AsLong(fd_obj.get());
    const long long pos = PyLong_AsLongLong(pos_obj.get());
    if (PyErr_Occurred()) return -1;
    const int64_t size = ByteSource::seekable_size(int(fd));
    // A file that cannot be read at an offset (one whose end cannot be
    // sought) is read as its stream reads it, once, in _readChunk's terms.
    if (size < 0) return load_through_reader(fn, stream, out);
    source.emplace(int(fd), int64_t(pos), size);
  }
  // Whether zlib.decompress is the host's own (zlib itself is, or the walk
  // would not run): a stand-in gets the joined data once the walk is over.
  Ref decompress = Ref::steal(attr(host.zlib, "decompress"));
  if (!decompress) return -1;
  const ImageData what = decompress.get() == host.zlib_decompress ? ImageData::Inflate : ImageData::Keep;

  BytearrayPlanes planes;
  const int64_t input = source->size_hint();
  const PngRead r = planes.unlocked(input > 0 ? uint64_t(input) : 0, [&] { return read_png(*source, planes, what); });
  Ref chunks = Ref::steal(PyList_New(0));
  if (!chunks) return -1;
  PngHeader h;
  // The records come first: a chunk the walk finished was read before the
  // one that failed, and its header's own errors come first.
  for (const ChunkRecord &c : r.chunks) {
    const bool idat = c.is("IDAT");
    const auto bytes = c.data_in(*source);
    PyObject *common = idat ? host.idat : c.is("IHDR") ? host.ihdr : c.is("IEND") ? host.iend : nullptr;
    Ref type = Ref::steal(common ? Ref::borrow(common).release()
                                 : PyBytes_FromStringAndSize(reinterpret_cast<const char *>(c.type.data()), 4));
    Ref data = Ref::steal(idat ? Ref::borrow(Py_None).release()
                          : bytes.empty() ? Ref::borrow(host.empty_bytes).release()
                                          : PyBytes_FromStringAndSize(reinterpret_cast<const char *>(bytes.data()),
                                                                      Py_ssize_t(bytes.size())));
    if (!type || !data || (c.is("IHDR") && read_header(fn, data.get(), h) < 0) ||
        record_chunk(chunks.get(), type.get(), data.get(), Py_ssize_t(c.length), idat) < 0)
      return -1;
  }
  if (!r.walk) return raise_failure(r.walk);
  ImageLayout l;
  const Failure checked = check_header(h, l);
  if (!checked) return raise_failure(checked);
  if (what == ImageData::Keep) {
    Ref joined = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(r.idat.data()),
                                                      Py_ssize_t(r.idat.size())));
    if (!joined || decompress_with(decompress.get(), joined.get(), l, planes) < 0) return -1;
  } else if (!r.image) {
    planes.reset();
    return raise_failure(r.image);
  }
  return hand_over(planes, h, l, std::move(chunks), out);
}

}  // namespace

int load_png_walked(PyObject *fn, const PrivateStream &bytes, Loaded &out) {
  return load_walked(fn, nullptr, bytes, out);
}

int load_png(PyObject *fn, PyObject *stream, Loaded &out, const PrivateStream *priv) {
  Ref signature = Ref::steal(stream ? stream_read(stream, 8) : priv->head(8));
  if (!signature) return -1;
  Ref expected_signature = Ref::steal(global(fn, "PNG_SIGNATURE"));
  if (!expected_signature) return -1;
  bool starts = false, equal = false;
  const int differs = exact_bytes_pair(signature.get(), expected_signature.get(), starts, equal)
                          ? !equal
                          : PyObject_RichCompareBool(signature.get(), expected_signature.get(), Py_NE);
  if (differs) return differs < 0 ? -1 : fail(value_error(msg::kPngSignature));
  // Whether the names involved are genuine is asked only now: the comparison
  // above may have run a caller's code.
  if (priv && genuine_chunk_reading(fn)) return load_walked(fn, stream, *priv, out);
  Ref made;
  if (priv && !(stream = priv->stream_at(stream, 8, made))) return -1;
  return load_through_reader(fn, stream, out);
}

}  // namespace corvane
