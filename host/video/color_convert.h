#pragma once
// Fitting a picture into another without distortion: the letterbox rectangle
// shared by the colour conversion (blit and CPU scaling) and the cursor
// mapping, so the pointer lands where the picture is.

#include <cstdint>

namespace orvane {

struct FitRectResult {
  uint32_t x = 0;
  uint32_t y = 0;
  uint32_t w = 0;
  uint32_t h = 0;
  friend bool operator==(const FitRectResult&, const FitRectResult&) = default;
};

// The largest rectangle of the source's aspect inside the target, centred:
// widths and heights above 1 rounded down to even, at least min(target, 2),
// offsets rounded down to even. {0, 0, tw, th} when any argument is 0.
FitRectResult FitRect(uint32_t source_width, uint32_t source_height, uint32_t target_width, uint32_t target_height);

}  // namespace orvane
