#pragma once
// The encode size decoder-load control asks for: a per-mille scale of the
// stream size (100..1000, full size when the tablet cannot follow a resize),
// even dimensions, and the scale that last failed to start, which is not
// asked again until a resize succeeds.

#include <cstdint>
#include <optional>

namespace orvane {

struct EncodeSize {
  uint32_t width = 0;
  uint32_t height = 0;
  friend bool operator==(const EncodeSize&, const EncodeSize&) = default;
};

// (2 x floor(scale x width / 2000)) x (2 x floor(scale x height / 2000)).
EncodeSize ScaledEncodeSize(uint32_t scale_permille, uint32_t width, uint32_t height);

class EncodeScalePlanner {
 public:
  static constexpr uint32_t kFullScale = 1000;
  static constexpr uint32_t kMinimumScale = 100;

  uint32_t Current() const { return current_; }

  // The scale to move to now, if any.
  std::optional<uint32_t> Next(uint32_t requested_permille, bool tablet_supports_resize) const;
  // The encoder started at `scale`.
  void Succeeded(uint32_t scale);
  // The encoder could not start at `scale`; the current scale stays.
  void Failed(uint32_t scale) { failed_ = scale; }

 private:
  uint32_t current_ = kFullScale;
  std::optional<uint32_t> failed_;
};

}  // namespace orvane
