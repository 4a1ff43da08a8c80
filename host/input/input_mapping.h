#pragma once
// Where a tablet's normalised coordinate lands on the PC: the choice of the
// target monitor's rectangle, the letterbox of the monitor's content inside
// the stream frame, and the conversion of a pixel into the absolute
// virtual-desk units of mouse input. Pure arithmetic, no state.

#include <cstdint>
#include <string>
#include <vector>

#include "host/input/injection_platform.h"

namespace orvane {

// A rectangle in physical pixels (right and bottom exclusive).
struct PixelRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
  int64_t Width() const { return static_cast<int64_t>(right) - left; }
  int64_t Height() const { return static_cast<int64_t>(bottom) - top; }
  bool Empty() const { return Width() <= 0 || Height() <= 0; }
  friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

// The rectangle input lands in: the monitor named monitor_name (when the
// name is set and its rectangle is not empty), else the current rectangle
// when not empty, else the primary monitor's non-empty rectangle, else the
// first monitor's, else all zero.
PixelRect ChooseTargetRect(const std::vector<InjectionMonitor>& monitors, const std::string& monitor_name,
                           const PixelRect& current);

// The rectangle SetTarget describes: left, top and left + width, top +
// height, where a width or height below 2 counts as 1 (saturated to the
// 32-bit range).
PixelRect TargetRectFromSize(int32_t left, int32_t top, int32_t width, int32_t height);

// The part of the stream frame that shows the monitor's content, as
// fractions of the frame.
struct LetterboxMapping {
  double left_margin = 0.0;
  double top_margin = 0.0;
  double width_scale = 1.0;
  double height_scale = 1.0;
  friend bool operator==(const LetterboxMapping&, const LetterboxMapping&) = default;
};

// Content of content_width x content_height scaled to fit a stream of
// stream_width x stream_height, centred; scales 1 and margins 0 unless all
// four sizes are non-zero.
LetterboxMapping ComputeLetterbox(uint32_t content_width, uint32_t content_height, uint32_t stream_width,
                                  uint32_t stream_height);

// A normalised coordinate of the stream frame as a pixel of the span that
// starts at origin and is extent pixels long: values outside the content
// clamp to its edges, NaN and infinities count as 0.
int32_t MapNormalized(float value, double margin, double scale, int32_t origin, int64_t extent);

// A pixel as an absolute virtual-desk coordinate (0..65535) over the virtual
// screen's span that starts at origin and is extent pixels long.
int32_t ToVirtualDesk(int32_t pixel, int32_t origin, int32_t extent);

}  // namespace orvane
