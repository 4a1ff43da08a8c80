#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>

#include "host/app/logger.h"
#include "host/common/byte_order.h"

namespace orvane::fuzz {

void CheckFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "FUZZ_CHECK failed: %s at %s:%d\n", condition, file, line);
  std::fflush(stderr);
  std::abort();
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
