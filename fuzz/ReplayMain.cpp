// Replays fuzz inputs through LLVMFuzzerTestOneInput: every file named on the command line, and
// every file inside each directory named there. Fails when a directory holds no input, so a
// corpus that went missing cannot pass unnoticed.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", file.c_str());
    return false;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <corpus directory or file>...\n", argv[0]);
    return 2;
  }
  std::size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    if (std::filesystem::is_directory(arg)) {
      std::size_t inDir = 0;
      for (const auto& entry : std::filesystem::directory_iterator(arg)) {
        if (!entry.is_regular_file()) continue;
        if (!replay(entry.path())) return 1;
        ++inDir;
      }
      if (inDir == 0) {
        std::fprintf(stderr, "%s holds no inputs\n", arg.c_str());
        return 1;
      }
      count += inDir;
    } else {
      if (!replay(arg)) return 1;
      ++count;
    }
  }
  std::printf("replayed %zu inputs\n", count);
  return 0;
}
