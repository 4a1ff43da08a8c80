#pragma once
// Keeps access units inside the tablet's frame limit. A unit longer than the
// cap is dropped and the encoder is held to a tighter level (smaller VBV
// buffer, higher minimum QP); 900 units in a row at no more than 60 % of the
// cap loosen it a level again.

#include <cstdint>

namespace orvane {

inline constexpr uint32_t kFragmentPayloadBytes = 1200;

struct FrameSizeLimits {
  uint32_t vbv_bits = 0;
  uint32_t min_qp = 0;
};

struct OversizeVerdict {
  bool drop = false;
  bool level_changed = false;  // the encoder should get Limits()
};

class OversizeGovernor {
 public:
  static constexpr uint32_t kLevels = 5;
  static constexpr uint32_t kStableUnits = 900;

  // The cap is the fragment limit the sender enforces x 1200 bytes.
  explicit OversizeGovernor(uint32_t fragment_limit);

  uint32_t CapBytes() const { return cap_bytes_; }
  uint32_t Level() const { return level_; }
  // The encoder's limits at the current level: cap x factor x 8 / 1000 bits
  // (64-bit), the level's minimum QP. Zero without a cap.
  FrameSizeLimits Limits() const;

  OversizeVerdict Check(uint64_t unit_bytes);
  uint64_t Drops() const { return drops_; }

 private:
  uint32_t cap_bytes_;
  uint32_t level_ = 0;
  uint32_t stable_ = 0;
  uint64_t drops_ = 0;
};

}  // namespace orvane
