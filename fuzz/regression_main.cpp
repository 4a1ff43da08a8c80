// Replays a fuzz target's committed inputs without libFuzzer: the normal test
// build links every target with this main and ctest runs it over the target's
// seed corpus and its crash regressions, under the build's sanitizers.
//
//   fuzz_<name>_regression <corpus dir> [<more dirs or files>...]
//
// The first folder must exist and hold at least one input; later ones may be
// missing (a target without regressions yet). Files whose names start with a
// dot are skipped. Inputs run in name order, each on its own, so a failure
// names the file that caused it.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

namespace fs = std::filesystem;

// libFuzzer's default -max_len is far below this; a committed input larger
// than this is a mistake, not a test.
constexpr uintmax_t kMaxInputBytes = 1u << 20;

bool Collect(const fs::path& path, bool required, std::vector<fs::path>* out) {
  std::error_code ec;
  if (fs::is_regular_file(path, ec)) {
    out->push_back(path);
    return true;
  }
  if (!fs::is_directory(path, ec)) {
    if (required) std::fprintf(stderr, "no such corpus folder: %s\n", path.string().c_str());
    return !required;
  }
  std::vector<fs::path> files;
  for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    if (it->path().filename().string().rfind('.', 0) == 0) continue;
    files.push_back(it->path());
  }
  if (ec) {
    std::fprintf(stderr, "cannot list %s: %s\n", path.string().c_str(), ec.message().c_str());
    return false;
  }
  std::sort(files.begin(), files.end());
  if (required && files.empty()) {
    std::fprintf(stderr, "corpus folder %s holds no input\n", path.string().c_str());
    return false;
  }
  out->insert(out->end(), files.begin(), files.end());
  return true;
}

bool Read(const fs::path& path, std::vector<uint8_t>* out) {
  std::error_code ec;
  const uintmax_t size = fs::file_size(path, ec);
  if (ec || size > kMaxInputBytes) {
    std::fprintf(stderr, "%s: unreadable or larger than %ju bytes\n", path.string().c_str(), kMaxInputBytes);
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return in.good() || in.eof();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <corpus dir> [<more dirs or files>...]\n", argv[0]);
    return 2;
  }
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);

  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (!Collect(argv[i], i == 1, &inputs)) return 2;
  }
  std::vector<uint8_t> bytes;
  for (const fs::path& path : inputs) {
    if (!Read(path, &bytes)) return 2;
    std::fprintf(stderr, "running %s (%zu bytes)\n", path.string().c_str(), bytes.size());
    // A copy of exactly the input's size, so the sanitizers see a read
    // beyond its end.
    std::vector<uint8_t> exact(bytes.begin(), bytes.end());
    static const uint8_t kNoByte = 0;
    LLVMFuzzerTestOneInput(exact.empty() ? &kNoByte : exact.data(), exact.size());
  }
  std::printf("%zu inputs passed\n", inputs.size());
  return 0;
}
