// module/messages.hpp: the module's own messages, each written once. (Texts
// that are the host's own, its argument checks', its zlib's or struct's, are
// made where they arise, in the host's words.)
#pragma once

namespace corvane::msg {

inline constexpr const char *kUnsupportedFormat = "Unsupported image format";
inline constexpr const char *kNotPathOrBytes = "source must be a file path or raw bytes";
inline constexpr const char *kPixelMismatch = "Pixel data length does not match image dimensions";
inline constexpr const char *kAlphaMismatch = "Alpha channel length does not match image dimensions";
inline constexpr const char *kFilterMismatch = "PNG filter count does not match image height";
inline constexpr const char *kOutOfBounds = "Pixel coordinate out of bounds";
inline constexpr const char *kNoReduce = "no default __reduce__ due to non-trivial __cinit__";
inline constexpr const char *kPngSignature = "Unsupported PNG signature";
inline constexpr const char *kEofLength = "Unexpected EOF while reading chunk length";
inline constexpr const char *kEofType = "Unexpected EOF while reading chunk type";
inline constexpr const char *kEofData = "Unexpected EOF while reading chunk data";
inline constexpr const char *kEofCrc = "Unexpected EOF while reading chunk CRC";
inline constexpr const char *kBadCrc = "Corrupted PNG chunk detected";
inline constexpr const char *kIncompleteHeader = "Incomplete PNG header information";
inline constexpr const char *kOnly8Bit = "Only 8-bit PNG images are supported";
inline constexpr const char *kOnlyRgb = "Only RGB/RGBA PNG images are supported";
inline constexpr const char *kPngConfiguration = "Unsupported PNG configuration (compression/filter/interlace)";
inline constexpr const char *kMalformed = "Malformed PNG image data";
inline constexpr const char *kBmpHeader = "Unsupported BMP header";
inline constexpr const char *kBmpDibHeader = "Corrupted BMP DIB header";
inline constexpr const char *kBmpInfoHeader = "Only BITMAPINFOHEADER BMP files are supported";
inline constexpr const char *kBmp24Bit = "Only uncompressed 24-bit BMP files are supported";
inline constexpr const char *kBmpIncomplete = "Incomplete BMP pixel data";
// PyPy's open on the JIT side hands its C half the bytes, or a view of them.
inline constexpr const char *kNotBytesOrView = "bytes or a view of bytes from ffi.from_buffer expected";
inline constexpr const char *kNamespaceChanged = "the module's namespace is not as its body made it";

}  // namespace corvane::msg
