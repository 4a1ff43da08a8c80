#include "tools/tablet_sim/sim_framing.h"

#include <cstring>

#include "host/common/byte_order.h"

namespace orvane::sim {

bool IsValidFrameLength(uint64_t length) { return length >= 1 && length <= kMaxFramePayloadBytes; }

bool EncodeFrame(const uint8_t* payload, size_t length, std::vector<uint8_t>* out) {
  if (!IsValidFrameLength(length) || payload == nullptr || out == nullptr) return false;
  out->resize(kFrameHeaderBytes + length);
  StoreBe32(out->data(), static_cast<uint32_t>(length));
  std::memcpy(out->data() + kFrameHeaderBytes, payload, length);
  return true;
}

const char* FrameStatusName(FrameStatus status) {
  switch (status) {
    case FrameStatus::kFrame: return "frame";
    case FrameStatus::kClosed: return "closed";
    case FrameStatus::kTimedOut: return "timed out";
    case FrameStatus::kError: return "error";
    case FrameStatus::kInvalidLength: return "invalid length";
  }
  return "unknown";
}

FrameStatus FrameReader::Read(IByteSource& source, std::vector<uint8_t>* payload) {
  auto take = [&](uint8_t* into, size_t wanted, FrameStatus* failed) {
    const ReadChunk chunk = source.Read(into, wanted);
    switch (chunk.kind) {
      case ReadChunk::Kind::kData:
        if (chunk.bytes == 0 || chunk.bytes > wanted) {
          // A source that breaks its contract ends the stream rather than
          // corrupting the frame.
          last_error_ = 0;
          *failed = FrameStatus::kError;
          return size_t{0};
        }
        return chunk.bytes;
      case ReadChunk::Kind::kClosed: *failed = FrameStatus::kClosed; break;
      case ReadChunk::Kind::kTimedOut: *failed = FrameStatus::kTimedOut; break;
      case ReadChunk::Kind::kError:
        last_error_ = chunk.error;
        *failed = FrameStatus::kError;
        break;
    }
    return size_t{0};
  };

  while (header_have_ < kFrameHeaderBytes) {
    FrameStatus failed = FrameStatus::kFrame;
    const size_t n = take(header_ + header_have_, kFrameHeaderBytes - header_have_, &failed);
    if (n == 0) return failed;
    header_have_ += n;
    if (header_have_ == kFrameHeaderBytes) {
      length_ = LoadBe32(header_);
      if (!IsValidFrameLength(length_)) return FrameStatus::kInvalidLength;
      payload_.resize(length_);
      payload_have_ = 0;
    }
  }
  while (payload_have_ < length_) {
    FrameStatus failed = FrameStatus::kFrame;
    const size_t n = take(payload_.data() + payload_have_, length_ - payload_have_, &failed);
    if (n == 0) return failed;
    payload_have_ += n;
  }
  payload->swap(payload_);
  payload_.clear();
  header_have_ = 0;
  payload_have_ = 0;
  return FrameStatus::kFrame;
}

}  // namespace orvane::sim
