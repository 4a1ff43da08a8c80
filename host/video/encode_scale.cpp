#include "host/video/encode_scale.h"

#include <algorithm>

namespace orvane {

EncodeSize ScaledEncodeSize(uint32_t scale_permille, uint32_t width, uint32_t height) {
  return {static_cast<uint32_t>(2 * (static_cast<uint64_t>(scale_permille) * width / 2000)),
          static_cast<uint32_t>(2 * (static_cast<uint64_t>(scale_permille) * height / 2000))};
}

std::optional<uint32_t> EncodeScalePlanner::Next(uint32_t requested_permille, bool tablet_supports_resize) const {
  const uint32_t target =
      tablet_supports_resize ? std::clamp(requested_permille, kMinimumScale, kFullScale) : kFullScale;
  if (target == current_ || (failed_ && *failed_ == target)) return std::nullopt;
  return target;
}

void EncodeScalePlanner::Succeeded(uint32_t scale) {
  current_ = scale;
  failed_.reset();
}

}  // namespace orvane
