// A plain main() for a fuzz target built without libFuzzer: every file named
// on the command line, and every file of every directory named, goes through
// LLVMFuzzerTestOneInput once, in name order. A fault aborts the run with the
// input's name printed before it; finding no input at all fails as well, so
// that a wrong corpus path cannot pass.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
// Only the targets that need set-up define it.
extern "C" [[gnu::weak]] int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> Inputs(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const fs::path named = argv[i];
    std::error_code error;
    if (!fs::is_directory(named, error)) {
      inputs.push_back(named);
      continue;
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(named))
      if (entry.is_regular_file()) inputs.push_back(entry.path());
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <corpus directory or input file>...\n", argv[0]);
    return 2;
  }
  const std::vector<fs::path> inputs = Inputs(argc, argv);
  if (inputs.empty()) {
    std::fprintf(stderr, "%s: no inputs\n", argv[0]);
    return 1;
  }
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  for (const fs::path& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "Running: %s\n", path.c_str());
    // A buffer of exactly the input's size, so that a sanitizer sees a read past its end.
    const auto data = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), data.get());
    LLVMFuzzerTestOneInput(data.get(), bytes.size());
  }
  std::printf("%zu inputs\n", inputs.size());
  return 0;
}
