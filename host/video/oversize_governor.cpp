#include "host/video/oversize_governor.h"

#include <algorithm>
#include <limits>

namespace orvane {

namespace {

constexpr uint32_t kVbvPermille[OversizeGovernor::kLevels] = {850, 700, 550, 450, 350};
constexpr uint32_t kMinQp[OversizeGovernor::kLevels] = {0, 24, 30, 36, 42};

}  // namespace

OversizeGovernor::OversizeGovernor(uint32_t fragment_limit)
    : cap_bytes_(static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(fragment_limit) * kFragmentPayloadBytes,
                                                          std::numeric_limits<uint32_t>::max()))) {}

FrameSizeLimits OversizeGovernor::Limits() const {
  if (cap_bytes_ == 0) return {};
  const uint64_t bits = static_cast<uint64_t>(cap_bytes_) * kVbvPermille[level_] * 8 / 1000;
  return {static_cast<uint32_t>(std::min<uint64_t>(bits, std::numeric_limits<uint32_t>::max())), kMinQp[level_]};
}

OversizeVerdict OversizeGovernor::Check(uint64_t unit_bytes) {
  OversizeVerdict v;
  if (cap_bytes_ == 0) return v;
  if (unit_bytes > cap_bytes_) {
    v.drop = true;
    ++drops_;
    stable_ = 0;
    if (level_ + 1 < kLevels) {
      ++level_;
      v.level_changed = true;
    }
    return v;
  }
  if (level_ > 0 && unit_bytes * 10 <= static_cast<uint64_t>(cap_bytes_) * 6) {
    if (++stable_ >= kStableUnits) {
      --level_;
      stable_ = 0;
      v.level_changed = true;
    }
  } else {
    stable_ = 0;
  }
  return v;
}

}  // namespace orvane
