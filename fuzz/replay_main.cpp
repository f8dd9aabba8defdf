// Runs a fuzz target's body over files, without libFuzzer: every argument is a file or a
// folder whose files are fed one by one. A failing oracle aborts, so the run fails.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void run_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // An exact-size heap copy, so that a sanitizer sees any read past the end.
  std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(copy.data(), copy.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t runs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    if (std::filesystem::is_directory(arg)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::directory_iterator(arg))
        if (entry.is_regular_file()) files.push_back(entry.path());
      if (files.empty()) {
        std::fprintf(stderr, "replay: no inputs in %s\n", argv[i]);
        return 1;
      }
      std::sort(files.begin(), files.end());
      for (const auto& f : files) run_file(f), ++runs;
    } else if (std::filesystem::is_regular_file(arg)) {
      run_file(arg);
      ++runs;
    } else {
      std::fprintf(stderr, "replay: no such file or folder: %s\n", argv[i]);
      return 1;
    }
  }
  std::printf("replay: %zu inputs passed\n", runs);
  return 0;
}
