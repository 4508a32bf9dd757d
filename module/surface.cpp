// module/surface.cpp: every Python-visible callable with its parameters,
// defaults, annotations and entry checks, and the image's properties. Each
// entry converts its arguments, then calls a body that sees only checked values.
#include "module/surface.hpp"

#include "image/image.hpp"
#include "loadsave/loadsave.hpp"
#include "module/errors.hpp"
#include "bmp/bmp.hpp"
#include "png/png.hpp"

namespace corvane {
namespace {

constexpr Binding kFunction = Binding::Function, kMethod = Binding::Method, kStatic = Binding::Static,
                  kClass = Binding::Class;

int to_dims(const BoundArgs &a, Py_ssize_t at, int32_t *w, int32_t *h) {
  return (to_i32(a[at], w) < 0 || to_i32(a[at + 1], h) < 0) ? -1 : 0;
}

// --- module functions -------------------------------------------------------

constexpr Param kStream[] = {{"stream", nullptr}};
PyObject *read_chunk_entry(PyObject *fn, PyObject *, const BoundArgs &a) { return read_chunk(fn, a[0]); }
const FnDef kReadChunk{{"_readChunk", "_readChunk", kStream, 1, "Tuple[bytes, bytes]", kFunction}, read_chunk_entry};

constexpr Param kMakeChunkParams[] = {{"chunkType", "bytes"}, {"data", "bytes"}};
PyObject *make_chunk_entry(PyObject *fn, PyObject *, const BoundArgs &a) {
  if (check_exact_bytes(a[0], "chunkType") < 0 || check_exact_bytes(a[1], "data") < 0) return nullptr;
  return make_chunk(fn, a[0], a[1]);
}
const FnDef kMakeChunk{{"_makeChunk", "_makeChunk", kMakeChunkParams, 2, "bytes", kFunction}, make_chunk_entry};

constexpr Param kWritePngParams[] = {{"path", nullptr},   {"width", nullptr}, {"height", nullptr},
                                     {"pixels", nullptr}, {"alpha", nullptr}, {"filter_types", nullptr}};
PyObject *write_png_entry(PyObject *fn, PyObject *, const BoundArgs &a) {
  int32_t w, h;
  if (to_dims(a, 1, &w, &h) < 0) return nullptr;
  return write_png(fn, a[0], w, h, a[3], a[4], a[5]);
}
const FnDef kWritePng{{"_writePng", "_writePng", kWritePngParams, 4, "None", kFunction}, write_png_entry};

constexpr Param kSplitParams[] = {{"data", nullptr}, {"lengths", nullptr}};
PyObject *split_entry(PyObject *, PyObject *, const BoundArgs &a) {
  if (check_exact_bytes_or_none(a[0], "data") < 0 || check_exact_list_or_none(a[1], "lengths") < 0) return nullptr;
  return split_idat_payload(a[0], a[1]);
}
const FnDef kSplit{{"_split_idat_payload", "_split_idat_payload", kSplitParams, 2, nullptr, kFunction}, split_entry};

constexpr Param kWriteChunksParams[] = {{"path", nullptr},  {"width", nullptr},  {"height", nullptr},
                                        {"pixels", nullptr}, {"alpha", nullptr},  {"chunks", nullptr},
                                        {"filter_types", nullptr}};
PyObject *write_chunks_entry(PyObject *fn, PyObject *, const BoundArgs &a) {
  int32_t w, h;
  if (to_dims(a, 1, &w, &h) < 0) return nullptr;
  return write_png_with_chunks(fn, a[0], w, h, a[3], a[4], a[5], a[6]);
}
const FnDef kWriteChunks{{"_writePngWithChunks", "_writePngWithChunks", kWriteChunksParams, 6, nullptr, kFunction},
                         write_chunks_entry};

constexpr Param kWriteBmpParams[] = {
    {"path", nullptr}, {"width", nullptr}, {"height", nullptr}, {"pixels", nullptr}, {"meta", nullptr}};
PyObject *write_bmp_entry(PyObject *fn, PyObject *, const BoundArgs &a) {
  int32_t w, h;
  if (to_dims(a, 1, &w, &h) < 0) return nullptr;
  return write_bmp(fn, a[0], w, h, a[3], a[4]);
}
const FnDef kWriteBmp{{"_writeBmp", "_writeBmp", kWriteBmpParams, 4, "None", kFunction}, write_bmp_entry};

constexpr NamedFn kModuleFunctionTable[] = {
    {"_readChunk", &kReadChunk},
    {"_makeChunk", &kMakeChunk},
    {"_writePng", &kWritePng},
    {"_split_idat_payload", &kSplit},
    {"_writePngWithChunks", &kWriteChunks},
    {"_writeBmp", &kWriteBmp},
};

// --- class members ------------------------------------------------------------

PyObject *stream_to_image_entry(PyObject *fn, PyObject *, const BoundArgs &a) {
  Loaded r;
  return stream_to_image(fn, a[0], r) < 0 ? nullptr : r.to_tuple();
}

}  // namespace

const FnDef kStreamToImageDef{{"_streamToImage", "SimpleImage._streamToImage", kStream, 1, nullptr, kStatic},
                           stream_to_image_entry};

namespace {

constexpr Param kSource[] = {{"source", "ImageInput"}};
PyObject *open_entry(PyObject *fn, PyObject *cls, const BoundArgs &a) { return open_image(fn, cls, a[0]); }
const FnDef kOpen{{"open", "SimpleImage.open", kSource, 1, "SimpleImage", kClass}, open_entry};

constexpr Param kCoords[] = {{"coords", "Tuple[int, int]"}};
PyObject *get_pixel_direct(PyObject *self, PyObject *const *a) {
  if (check_exact_tuple(a[0], "coords") < 0) return nullptr;
  return image_get_pixel(self, a[0]);
}
PyObject *get_pixel_entry(PyObject *, PyObject *self, const BoundArgs &a) { return get_pixel_direct(self, a.v); }
const FnDef kGetPixel{{"getPixel", "SimpleImage.getPixel", kCoords, 1, "Tuple[int, int, int]", kMethod},
                      get_pixel_entry, &ImageType, get_pixel_direct};

constexpr Param kCoordsValue[] = {{"coords", "Tuple[int, int]"}, {"value", "Sequence[int]"}};
PyObject *put_pixel_direct(PyObject *self, PyObject *const *a) {
  if (check_exact_tuple(a[0], "coords") < 0) return nullptr;
  return image_put_pixel(self, a[0], a[1]);
}
PyObject *put_pixel_entry(PyObject *, PyObject *self, const BoundArgs &a) { return put_pixel_direct(self, a.v); }
const FnDef kPutPixel{{"putPixel", "SimpleImage.putPixel", kCoordsValue, 2, "None", kMethod}, put_pixel_entry,
                      &ImageType, put_pixel_direct};

PyObject *copy_entry(PyObject *, PyObject *self, const BoundArgs &) { return image_copy(self); }
const FnDef kCopy{{"copy", "SimpleImage.copy", {}, 0, "SimpleImage", kMethod}, copy_entry, &ImageType};

constexpr Param kPath[] = {{"path", "str"}};
PyObject *save_entry(PyObject *fn, PyObject *self, const BoundArgs &a) {
  return check_exact_str(a[0], "path") < 0 ? nullptr : save_image(fn, self, a[0]);
}
const FnDef kSave{{"save", "SimpleImage.save", kPath, 1, "None", kMethod}, save_entry, &ImageType};
PyObject *save_bmp_entry(PyObject *fn, PyObject *self, const BoundArgs &a) {
  return check_exact_str(a[0], "path") < 0 ? nullptr : save_bmp(fn, self, a[0]);
}
const FnDef kSaveBmp{{"saveBmp", "SimpleImage.saveBmp", kPath, 1, "None", kMethod}, save_bmp_entry, &ImageType};

constexpr NamedFn kClassMemberTable[] = {
    {"_streamToImage", &kStreamToImageDef}, {"open", &kOpen},         {"getPixel", &kGetPixel},
    {"putPixel", &kPutPixel},            {"copy", &kCopy},         {"save", &kSave},
    {"saveBmp", &kSaveBmp},
};

PyObject *refuse_pickle_entry(PyObject *, PyObject *, const BoundArgs &) { return image_refuse_pickle(); }
constexpr Param kState[] = {{"state", nullptr}};

}  // namespace

std::span<const NamedFn> kModuleFunctions = kModuleFunctionTable;
std::span<const NamedFn> kClassMembers = kClassMemberTable;

const FnDef kReduceDef{{"__reduce__", "SimpleImage.__reduce__", {}, 0, nullptr, kMethod}, refuse_pickle_entry,
                       &ImageType};
const FnDef kSetStateDef{{"__setstate__", "SimpleImage.__setstate__", kState, 1, nullptr, kMethod},
                         refuse_pickle_entry, &ImageType};

PyGetSetDef kImageProperties[] = {
    {"size", image_get_size, nullptr, nullptr, nullptr},
    {"width", image_get_width, image_set_width, nullptr, nullptr},
    {"height", image_get_height, image_set_height, nullptr, nullptr},
    {"_pixels", image_get_pixels, image_set_pixels, nullptr, nullptr},
    {"_alpha", image_get_alpha, image_set_alpha, nullptr, nullptr},
    {"_png_chunks", image_get_chunks, image_set_chunks, nullptr, nullptr},
    {"_png_filters", image_get_filters, image_set_filters, nullptr, nullptr},
    {"_bmp_header", image_get_bmp_header, image_set_bmp_header, nullptr, nullptr},
    {},
};

}  // namespace corvane
