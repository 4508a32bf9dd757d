// png/deflate.hpp: the scanline stream compressed as the host's
// zlib.compress(data) compresses it (zlib's default level, window and memory
// settings, one stream), by the zlib the module links. No Python here.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace corvane {

// The version of the zlib linked in, as zlibVersion() gives it.
const char *linked_zlib_version();

// zlib.compress(data): false only when zlib could not get its memory.
bool deflate_like_host(std::span<const uint8_t> data, std::vector<uint8_t> &out);

}  // namespace corvane
