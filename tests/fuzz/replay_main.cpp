// The entry of a fuzz target in the normal build: runs the target on every
// file named on the command line, or in a directory named there, so that
// each reproducer kept in tests/fuzz/regressions is a test. A crash, a
// sanitizer report, a hang or memory beyond kAddressSpace fails it; a
// refused input is the expected end.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/resource.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

// Far above what any target needs at its 16 MiB output limit, far below what
// a bomb decoded without limits takes (the address space: a reservation of
// what an input merely announces counts too). Sanitizer builds reserve
// terabytes of shadow memory and keep their own checks instead.
constexpr rlim_t kAddressSpace = rlim_t{1} << 30;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

bool Replay(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::printf("%s (%zu bytes)\n", path.c_str(), bytes.size());
  std::fflush(stdout);
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!kSanitized) {
    const rlimit limit{kAddressSpace, kAddressSpace};
    if (setrlimit(RLIMIT_AS, &limit) != 0) {
      std::perror("setrlimit");
      return 1;
    }
  }
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    if (std::filesystem::is_directory(arg)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    } else {
      inputs.push_back(arg);
    }
  }
  std::sort(inputs.begin(), inputs.end());
  for (const auto& input : inputs)
    if (!Replay(input)) return 1;
  std::printf("%zu inputs replayed\n", inputs.size());
  return inputs.empty() ? 1 : 0;
}
