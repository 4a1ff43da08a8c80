#include "host/video/cursor_tracker.h"

#include <cstring>

#include "host/common/logger.h"

namespace orvane {

const char* CursorShapeName(StandardCursor cursor) {
  switch (cursor) {
    case StandardCursor::kArrow: return "arrow";
    case StandardCursor::kHand: return "hand";
    case StandardCursor::kText: return "text";
    case StandardCursor::kWait: return "wait";
    case StandardCursor::kCross: return "cross";
    case StandardCursor::kResizeEw: return "resize_ew";
    case StandardCursor::kResizeNs: return "resize_ns";
    case StandardCursor::kResizeNesw: return "resize_nesw";
    case StandardCursor::kResizeNwse: return "resize_nwse";
    case StandardCursor::kMove: return "move";
    case StandardCursor::kNotAllowed: return "not_allowed";
    case StandardCursor::kProgress: return "progress";
    case StandardCursor::kCustom: break;
  }
  return "custom";
}

StandardCursor StandardCursorFromXName(std::string_view name) {
  struct Entry {
    const char* name;
    StandardCursor cursor;
  };
  static constexpr Entry kNames[] = {
      {"left_ptr", StandardCursor::kArrow},
      {"hand1", StandardCursor::kHand},
      {"hand2", StandardCursor::kHand},
      {"xterm", StandardCursor::kText},
      {"watch", StandardCursor::kWait},
      {"crosshair", StandardCursor::kCross},
      {"sb_h_double_arrow", StandardCursor::kResizeEw},
      {"sb_v_double_arrow", StandardCursor::kResizeNs},
      {"fd_double_arrow", StandardCursor::kResizeNesw},
      {"bd_double_arrow", StandardCursor::kResizeNwse},
      {"fleur", StandardCursor::kMove},
      {"crossed_circle", StandardCursor::kNotAllowed},
      {"left_ptr_watch", StandardCursor::kProgress},
  };
  for (const Entry& e : kNames) {
    if (name == e.name) return e.cursor;
  }
  return StandardCursor::kCustom;
}

std::vector<uint8_t> ComposeCursorImage(const CursorShapeData& shape) {
  if (shape.width == 0 || shape.height == 0 || shape.width > kCursorImageMaxSide ||
      shape.height > kCursorImageMaxSide) {
    return {};
  }
  const size_t count = static_cast<size_t>(shape.width) * shape.height;
  if (shape.pixels.size() != count) return {};
  bool any_alpha = false;
  for (uint32_t p : shape.pixels) {
    if ((p >> 24) != 0) {
      any_alpha = true;
      break;
    }
  }
  std::vector<uint32_t> out;
  const bool masks = shape.and_mask.size() == count && shape.xor_pixels.size() == count;
  if (any_alpha || !masks) {
    out = shape.pixels;
  } else {
    // A monochrome cursor, or a colour one without alpha: the masks say
    // what the cursor covers.
    out.resize(count);
    for (size_t i = 0; i < count; ++i) {
      const uint32_t color = shape.xor_pixels[i] & 0x00FFFFFFu;
      if (shape.and_mask[i] == 0) {
        out[i] = 0xFF000000u | color;
      } else if (color == 0) {
        out[i] = 0;  // the screen shows through
      } else {
        out[i] = 0xFF000000u;  // inverts the screen: black is what a tablet can draw
      }
    }
  }
  std::vector<uint8_t> bytes(count * 4);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t p = out[i];
    bytes[i * 4 + 0] = static_cast<uint8_t>(p);
    bytes[i * 4 + 1] = static_cast<uint8_t>(p >> 8);
    bytes[i * 4 + 2] = static_cast<uint8_t>(p >> 16);
    bytes[i * 4 + 3] = static_cast<uint8_t>(p >> 24);
  }
  return bytes;
}

CursorTracker::CursorTracker(std::unique_ptr<ICursorSource> source) : source_(std::move(source)) {}

void CursorTracker::ForceFullUpdate() { have_last_ = false; }

CursorState CursorTracker::Poll() {
  CursorState state = shape_;
  state.image.clear();
  state.changed = false;
  state.shape_changed = false;
  CursorSample sample;
  if (!source_ || !source_->Sample(&sample)) {
    state.x = last_x_;
    state.y = last_y_;
    state.visible = last_visible_;
    return state;
  }
  const bool full = !have_last_;
  const bool moved = full || sample.x != last_x_ || sample.y != last_y_;
  const bool visibility = full || sample.visible != last_visible_;
  const bool reshaped = full || sample.shape_key != last_key_;
  have_last_ = true;
  last_x_ = sample.x;
  last_y_ = sample.y;
  last_visible_ = sample.visible;
  state.x = sample.x;
  state.y = sample.y;
  state.visible = sample.visible;
  if (reshaped) {
    last_key_ = sample.shape_key;
    shape_.shape = CursorShapeName(sample.standard);
    CursorShapeData data;
    if (sample.shape_key != 0 && source_->ReadShape(kCursorImageMaxSide, &data)) {
      shape_.hotspot_x = data.hotspot_x;
      shape_.hotspot_y = data.hotspot_y;
      shape_.width = data.width;
      shape_.height = data.height;
      state.image = ComposeCursorImage(data);
      if (state.image.empty() && (data.width > kCursorImageMaxSide || data.height > kCursorImageMaxSide) &&
          (!warned_ || warned_key_ != sample.shape_key)) {
        warned_ = true;
        warned_key_ = sample.shape_key;
        LogWarn("[Cursor] Cursor image %ux%u is larger than %ux%u; sending shape %s without its picture", data.width,
                data.height, kCursorImageMaxSide, kCursorImageMaxSide, shape_.shape.c_str());
      }
    } else {
      shape_.hotspot_x = 0;
      shape_.hotspot_y = 0;
      shape_.width = 0;
      shape_.height = 0;
    }
    state.shape = shape_.shape;
    state.hotspot_x = shape_.hotspot_x;
    state.hotspot_y = shape_.hotspot_y;
    state.width = shape_.width;
    state.height = shape_.height;
  }
  state.shape_changed = reshaped;
  state.changed = moved || visibility || reshaped;
  return state;
}

}  // namespace orvane
