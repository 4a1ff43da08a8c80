#pragma once
// Shared pieces of the fuzz targets: the entry point's declaration, a check
// that ends the run the way a fuzzer notices, a reader that cuts one input
// into records, and the fixed keys the harnesses seal with.
//
// Every target defines LLVMFuzzerTestOneInput. Built with clang's libFuzzer
// it is driven by the fuzzer; in the normal test build it is linked with
// regression_main.cpp, which replays the committed corpus through it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "host/security/crypto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// An invariant of the code under test does not hold: prints where and aborts,
// which libFuzzer reports as a crash with the input that caused it.
#define FUZZ_CHECK(condition)                                                        \
  do {                                                                               \
    if (!(condition)) ::orvane::fuzz::CheckFailed(#condition, __FILE__, __LINE__);   \
  } while (0)

namespace orvane::fuzz {

using crypto::ByteView;
using crypto::Bytes;

[[noreturn]] void CheckFailed(const char* condition, const char* file, int line);

// Called at the start of every input: the host's log lines are formatted as
// usual but not printed (ORVANE_FUZZ_LOG=1 prints them, for debugging a
// finding).
void QuietLogs();

// Reads one input from the front.
//
// Records: one length byte 0..254 followed by that many bytes, or 255
// followed by a 2-byte big-endian length (for the few records longer than
// 254 bytes). A record that announces more than is left takes what is left,
// so every input means something.
class FuzzReader {
 public:
  FuzzReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  size_t remaining() const { return size_ - pos_; }

  // 0 when nothing is left.
  uint8_t Byte();
  // Big-endian; missing bytes read as 0.
  uint16_t U16();
  uint64_t U64();
  // False when nothing is left.
  bool Record(ByteView* out);
  // Everything that is left.
  ByteView Rest();

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The inverse of FuzzReader::Record, for the seed writer and for harnesses
// that build inputs.
void AppendRecord(Bytes* out, ByteView record);

// Fixed 32-byte session keys: the key a harness installs and a second one
// (the compatibility key, or a wrong key).
const Bytes& FixedKey();
const Bytes& OtherKey();

// The folder of this process's file targets: made on first use, removed at
// exit, never a fixed path; on a memory file system when there is one, as
// every input writes and syncs files. The data folder (XDG_CONFIG_HOME)
// points there, and the Linux secret protection's key in it has fixed bytes
// 0x00..0x1f, so that seeds can carry protected blobs that open. Call before
// anything reads the data folder.
const std::filesystem::path& WorkspaceRoot();
// <root>/store, emptied (made again) for the next input.
std::filesystem::path EmptyStoreFolder();
// Writes (replaces) a whole file; a failure ends the run.
void WriteFile(const std::filesystem::path& path, std::string_view bytes);
// The whole file (at most 1 MiB); a missing or unreadable file ends the run.
std::string ReadWholeFile(const std::filesystem::path& path);
// path + suffix (".invalid", ".tmp").
std::filesystem::path WithSuffix(const std::filesystem::path& path, const char* suffix);

inline ByteView View(const std::string& s) {
  return ByteView(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

inline std::string AsString(ByteView bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace orvane::fuzz
