// fuzz/replay_main.cpp: runs a fuzz target over saved inputs without libFuzzer,
// so that the same target builds with any compiler and ctest replays the seed
// and regression corpus. Arguments are files or directories (every regular
// file in them, in name order). Fails if no input was found: an empty corpus
// would pass without testing anything.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char **argv) {
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    const fs::path arg = argv[i];
    if (fs::is_directory(arg)) {
      for (const auto &e : fs::directory_iterator(arg))
        if (e.is_regular_file()) files.push_back(e.path());
    } else {
      files.push_back(arg);
    }
  }
  std::sort(files.begin(), files.end());
  for (const fs::path &f : files) {
    std::ifstream in(f, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", f.c_str());
      return 1;
    }
    std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), {}};
    // An exact-size copy, so that a read past the end is one past the input.
    std::vector<uint8_t> exact(data.begin(), data.end());
    std::fprintf(stderr, "%s (%zu bytes)\n", f.c_str(), exact.size());
    LLVMFuzzerTestOneInput(exact.data(), exact.size());
  }
  std::printf("%zu inputs replayed\n", files.size());
  return files.empty() ? 1 : 0;
}
