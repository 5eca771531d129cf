// Runs a fuzz target's check over inputs given as files or folders of files,
// without libFuzzer: for builds that have none (the 32-bit Windows program's
// compiler), so that the same check runs on that target's code. Prints the
// number of inputs run; a broken check aborts, as under the fuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

long RunFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  long inputs = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path path(argv[i]);
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
      for (const auto& item : std::filesystem::directory_iterator(path, error)) {
        if (item.is_regular_file(error)) inputs += RunFile(item.path());
      }
    } else if (std::filesystem::is_regular_file(path, error)) {
      inputs += RunFile(path);
    } else {
      std::fprintf(stderr, "replay: no such file or folder: %s\n", argv[i]);
      return 2;
    }
  }
  std::printf("%ld inputs, no difference\n", inputs);
  return 0;
}
