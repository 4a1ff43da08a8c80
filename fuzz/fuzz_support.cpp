#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "host/common/byte_order.h"
#include "host/common/file_io.h"
#include "host/common/logger.h"

namespace orvane::fuzz {

void CheckFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "FUZZ_CHECK failed: %s at %s:%d\n", condition, file, line);
  std::fflush(stderr);
  std::abort();
}

namespace {

namespace fs = std::filesystem;

void InstallFixedProtectionKey(const fs::path& config_home) {
  const fs::path folder = config_home / "OrvaneDisplay";
  std::error_code ec;
  FUZZ_CHECK(fs::create_directory(folder, ec));
  const fs::path key = folder / "protection.key";
  const int fd = open(key.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0);
  uint8_t bytes[32];
  for (size_t i = 0; i < sizeof(bytes); ++i) bytes[i] = static_cast<uint8_t>(i);
  FUZZ_CHECK(write(fd, bytes, sizeof(bytes)) == static_cast<ssize_t>(sizeof(bytes)));
  FUZZ_CHECK(close(fd) == 0);
}

}  // namespace

const fs::path& WorkspaceRoot() {
  // Kept alive past the exit handler that removes the folder.
  static const fs::path* const root = [] {
    std::string base = "/tmp";
    std::error_code ec;
    if (fs::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0) base = "/dev/shm";
    std::string pattern = base + "/orvane-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    const fs::path* made = new fs::path(pattern);
    FUZZ_CHECK(setenv("XDG_CONFIG_HOME", made->c_str(), 1) == 0);
    InstallFixedProtectionKey(*made);
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(*root, ignored);
    });
    return made;
  }();
  return *root;
}

fs::path EmptyStoreFolder() {
  const fs::path store = WorkspaceRoot() / "store";
  std::error_code ec;
  fs::remove_all(store, ec);
  FUZZ_CHECK(fs::create_directory(store, ec));
  return store;
}

void WriteFile(const fs::path& path, std::string_view bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
  FUZZ_CHECK(std::fclose(f) == 0);
}

std::string ReadWholeFile(const fs::path& path) {
  FileReadResult r = ReadFileBounded(path, 1u << 20);
  FUZZ_CHECK(r.status == FileReadStatus::kOk);
  return std::move(r.bytes);
}

fs::path WithSuffix(const fs::path& path, const char* suffix) {
  fs::path out = path;
  out += suffix;
  return out;
}

void QuietLogs() {
  static const bool once = [] {
    const char* env = std::getenv("ORVANE_FUZZ_LOG");
    Logger::Instance().SetStdoutEnabled(env != nullptr && env[0] == '1');
    return true;
  }();
  (void)once;
}

uint8_t FuzzReader::Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

uint16_t FuzzReader::U16() {
  const uint16_t high = Byte();
  return static_cast<uint16_t>((high << 8) | Byte());
}

uint64_t FuzzReader::U64() {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | Byte();
  return value;
}

bool FuzzReader::Record(ByteView* out) {
  if (empty()) return false;
  size_t length = Byte();
  if (length == 255) length = U16();
  if (length > remaining()) length = remaining();
  *out = ByteView(data_ + pos_, length);
  pos_ += length;
  return true;
}

ByteView FuzzReader::Rest() {
  const ByteView rest(data_ + pos_, size_ - pos_);
  pos_ = size_;
  return rest;
}

void AppendRecord(Bytes* out, ByteView record) {
  const size_t length = record.size() > 0xFFFF ? 0xFFFF : record.size();
  if (length < 255) {
    out->push_back(static_cast<uint8_t>(length));
  } else {
    out->push_back(255);
    uint8_t be[2];
    StoreBe16(be, static_cast<uint16_t>(length));
    out->insert(out->end(), be, be + 2);
  }
  out->insert(out->end(), record.begin(), record.begin() + static_cast<std::ptrdiff_t>(length));
}

const Bytes& FixedKey() {
  static const Bytes key = [] {
    Bytes k(32);
    for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(0x10 + i);
    return k;
  }();
  return key;
}

const Bytes& OtherKey() {
  static const Bytes key = [] {
    Bytes k(32);
    for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(0xA0 ^ (i * 7));
    return k;
  }();
  return key;
}

}  // namespace orvane::fuzz
