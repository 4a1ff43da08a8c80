#pragma once
// Control channel framing as the tablet speaks it: every frame is a 4-byte
// big-endian payload length followed by that many payload bytes. A length
// outside 1..1 MiB is a broken or hostile peer; it is refused as soon as the
// header is in, before anything is allocated for the payload.
//
// Frames arrive through IByteSource, so the reader can be driven by a socket
// or, in tests, by scripted chunks.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvane::sim {

inline constexpr size_t kFrameHeaderBytes = 4;
inline constexpr uint32_t kMaxFramePayloadBytes = 1'048'576;  // 1 MiB

// 1 <= length <= 1 MiB.
bool IsValidFrameLength(uint64_t length);

// Header and payload in one buffer, ready for one send loop. False (and *out
// untouched) for a length that the host would refuse.
bool EncodeFrame(const uint8_t* payload, size_t length, std::vector<uint8_t>* out);

// What one read from the byte stream gave.
struct ReadChunk {
  enum class Kind {
    kData,      // `bytes` bytes were stored (at least 1)
    kClosed,    // orderly close by the peer
    kTimedOut,  // the caller's deadline passed; nothing was consumed
    kError,     // `error` holds the Winsock-numbered error
  };
  Kind kind = Kind::kData;
  size_t bytes = 0;
  int error = 0;
};

class IByteSource {
 public:
  virtual ~IByteSource() = default;
  // Stores at most `capacity` bytes (capacity >= 1).
  virtual ReadChunk Read(uint8_t* buffer, size_t capacity) = 0;
};

enum class FrameStatus : int {
  kFrame = 0,          // one whole frame is in the caller's payload vector
  kClosed = 1,         // the peer closed (mid_frame() tells whether a frame was cut short)
  kTimedOut = 2,       // the source's deadline passed; the next Read continues the same frame
  kError = 3,          // the source failed; last_error() tells why
  kInvalidLength = 4,  // the header announced 0 or more than 1 MiB; announced_length() has it
};

// "frame", "closed", "timed out", "error", "invalid length"; "unknown" otherwise.
const char* FrameStatusName(FrameStatus status);

// Reassembles frames from a byte stream, one at a time. After kClosed, kError
// or kInvalidLength the stream is unusable and the reader must not be called
// again.
class FrameReader {
 public:
  FrameStatus Read(IByteSource& source, std::vector<uint8_t>* payload);

  // Length field of the last complete header.
  uint32_t announced_length() const { return length_; }
  int last_error() const { return last_error_; }
  // Bytes of an unfinished frame are held.
  bool mid_frame() const { return header_have_ > 0; }
  // Bytes reserved for the payload of the frame being read (0 until a valid
  // header is in).
  size_t reserved_payload_bytes() const { return payload_.capacity(); }

 private:
  uint8_t header_[kFrameHeaderBytes] = {};
  size_t header_have_ = 0;
  uint32_t length_ = 0;
  std::vector<uint8_t> payload_;
  size_t payload_have_ = 0;
  int last_error_ = 0;
};

}  // namespace orvane::sim
