#include "host/input/input_mapping.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvane {

namespace {

int32_t Saturate32(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

PixelRect RectOf(const InjectionMonitor& m) { return PixelRect{m.left, m.top, m.right, m.bottom}; }

}  // namespace

PixelRect ChooseTargetRect(const std::vector<InjectionMonitor>& monitors, const std::string& monitor_name,
                           const PixelRect& current) {
  if (!monitor_name.empty()) {
    for (const InjectionMonitor& m : monitors) {
      if (m.device_name == monitor_name && !RectOf(m).Empty()) return RectOf(m);
    }
  }
  if (!current.Empty()) return current;
  for (const InjectionMonitor& m : monitors) {
    if (m.primary && !RectOf(m).Empty()) return RectOf(m);
  }
  if (!monitors.empty()) return RectOf(monitors.front());
  return PixelRect{};
}

PixelRect TargetRectFromSize(int32_t left, int32_t top, int32_t width, int32_t height) {
  const int64_t w = width < 2 ? 1 : width;
  const int64_t h = height < 2 ? 1 : height;
  return PixelRect{left, top, Saturate32(left + w), Saturate32(top + h)};
}

LetterboxMapping ComputeLetterbox(uint32_t content_width, uint32_t content_height, uint32_t stream_width,
                                  uint32_t stream_height) {
  LetterboxMapping mapping;
  if (content_width == 0 || content_height == 0 || stream_width == 0 || stream_height == 0) return mapping;
  const uint64_t cw = content_width;
  const uint64_t ch = content_height;
  const uint64_t sw = stream_width;
  const uint64_t sh = stream_height;
  uint64_t dw = 0;
  uint64_t dh = 0;
  if (ch * sw < cw * sh) {
    dw = sw;
    dh = ch * sw / cw;
  } else {
    dh = sh;
    dw = cw * sh / ch;
  }
  const uint64_t shown_w = std::max<uint64_t>(std::min(sw, dw), 1);
  const uint64_t shown_h = std::max<uint64_t>(std::min(sh, dh), 1);
  mapping.width_scale = static_cast<double>(shown_w) / static_cast<double>(sw);
  mapping.height_scale = static_cast<double>(shown_h) / static_cast<double>(sh);
  mapping.left_margin = (1.0 - mapping.width_scale) / 2.0;
  mapping.top_margin = (1.0 - mapping.height_scale) / 2.0;
  return mapping;
}

int32_t MapNormalized(float value, double margin, double scale, int32_t origin, int64_t extent) {
  const double v = std::isfinite(value) ? static_cast<double>(value) : 0.0;
  double a = (v - margin) / std::max(scale, 0.0001);
  if (!std::isfinite(a)) a = 0.0;
  a = std::clamp(a, 0.0, 1.0);
  const int64_t span = extent < 2 ? 0 : extent - 1;
  const int64_t offset = std::llround(a * static_cast<double>(span));
  return Saturate32(static_cast<int64_t>(origin) + offset);
}

int32_t ToVirtualDesk(int32_t pixel, int32_t origin, int32_t extent) {
  const int64_t span = extent < 3 ? 1 : static_cast<int64_t>(extent) - 1;
  const int64_t d = std::clamp<int64_t>(static_cast<int64_t>(pixel) - origin, 0, span);
  return static_cast<int32_t>(d * 65535 / span);
}

}  // namespace orvane
