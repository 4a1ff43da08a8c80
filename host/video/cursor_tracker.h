#pragma once
// CursorTracker: turns samples of the system pointer into cursor updates.
//
// An update is due when the pointer moved, its visibility changed or its
// shape changed; only a shape change carries the picture. The shape name,
// hot spot and size of the current shape are remembered and go with every
// update. Pictures larger than 256 x 256 are not sent (the shape still is).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/common/rate_limiter.h"
#include "host/video/cursor_source.h"

namespace orvane {

inline constexpr uint32_t kCursorImageMaxSide = 256;

struct CursorState {
  int32_t x = 0;
  int32_t y = 0;
  bool visible = false;
  std::string shape = "arrow";
  int32_t hotspot_x = 0;
  int32_t hotspot_y = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  // width x height x 4 bytes (B, G, R, A), only when the shape changed.
  std::vector<uint8_t> image;
  bool changed = false;
  bool shape_changed = false;  // this update reports a new shape
};

// The picture to send for a shape: its pixels when any has alpha; otherwise
// from the masks (AND 0: the XOR colour, opaque; AND 1 and XOR 0:
// transparent; AND 1 and XOR set, which inverts the screen: opaque black);
// the pixels as they are when there are no masks. Empty when the size is 0,
// above kCursorImageMaxSide, or the data does not match it.
std::vector<uint8_t> ComposeCursorImage(const CursorShapeData& shape);

class CursorTracker {
 public:
  explicit CursorTracker(std::unique_ptr<ICursorSource> source);

  CursorState Poll();
  // The next Poll reports everything (position, shape, picture) as changed.
  void ForceFullUpdate();

 private:
  std::unique_ptr<ICursorSource> source_;
  bool have_last_ = false;
  uint64_t last_key_ = 0;
  int32_t last_x_ = 0;
  int32_t last_y_ = 0;
  bool last_visible_ = false;
  uint64_t warned_key_ = 0;  // the shape whose oversize picture was reported
  bool warned_ = false;
  CursorState shape_;  // the remembered shape (name, hot spot, size)
};

}  // namespace orvane
