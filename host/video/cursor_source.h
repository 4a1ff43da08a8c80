#pragma once
// The system pointer as the cursor tracker reads it: a cheap sample per poll
// (position, visibility, which shape) and, only when the shape changed, its
// picture.
//
// Windows reads GetCursorInfo and draws the cursor with DrawIconEx; Linux
// asks the X server (XQueryPointer per poll, XFixes cursor-change events and
// XFixesGetCursorImage only after one).

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace orvane {

// The system's standard cursors; anything else is custom.
enum class StandardCursor : int {
  kCustom = 0,
  kArrow,
  kHand,
  kText,
  kWait,
  kCross,
  kResizeEw,
  kResizeNs,
  kResizeNesw,
  kResizeNwse,
  kMove,
  kNotAllowed,
  kProgress,
};
// "arrow", "hand", "text", "wait", "cross", "resize_ew", "resize_ns",
// "resize_nesw", "resize_nwse", "move", "not_allowed", "progress", "custom".
const char* CursorShapeName(StandardCursor cursor);
// X cursor names (left_ptr, hand1, hand2, xterm, watch, crosshair,
// sb_h_double_arrow, sb_v_double_arrow, fd_double_arrow, bd_double_arrow,
// fleur, crossed_circle, left_ptr_watch) to the standard cursors; custom
// otherwise.
StandardCursor StandardCursorFromXName(std::string_view name);

struct CursorSample {
  int32_t x = 0;  // virtual-desktop pixels
  int32_t y = 0;
  bool visible = true;
  // Changes whenever the shape changes (the cursor handle on Windows, the
  // XFixes cursor serial on Linux); 0 when there is no cursor.
  uint64_t shape_key = 0;
  StandardCursor standard = StandardCursor::kCustom;
};

// One cursor picture. Pixels are 32-bit with alpha (0xAARRGGBB, so B, G, R, A
// in memory), width x height, top row first.
struct CursorShapeData {
  int32_t hotspot_x = 0;
  int32_t hotspot_y = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  // The cursor drawn normally into a zero-filled image; empty when not read.
  std::vector<uint32_t> pixels;
  // The cursor's masks, one entry per pixel, when it has them (Windows):
  // and_mask 0 or 1; xor_pixels the colour (0x00RRGGBB) of the colour bitmap,
  // or of the XOR mask of a monochrome cursor (0 or 0xFFFFFF). Empty when
  // there are none.
  std::vector<uint8_t> and_mask;
  std::vector<uint32_t> xor_pixels;
};

class ICursorSource {
 public:
  virtual ~ICursorSource() = default;
  // False when the cursor cannot be read now (nothing is sent).
  virtual bool Sample(CursorSample* out) = 0;
  // The shape of the last sample: hot spot and size always; pixels and masks
  // only when both sides are at most max_side. False when it cannot be read
  // (the shape is then sent without a picture).
  virtual bool ReadShape(uint32_t max_side, CursorShapeData* out) = 0;
};

// The platform's pointer; null when there is none to read (Linux without an
// X display).
std::unique_ptr<ICursorSource> MakePlatformCursorSource();

}  // namespace orvane
