#pragma once
// A cursor source whose pointer a test moves and reshapes, from any thread.

#include <memory>
#include <mutex>

#include "host/video/cursor_source.h"

namespace orvane::testing {

struct FakeCursorState {
  std::mutex mu;
  CursorSample sample;
  CursorShapeData shape;
  bool readable = true;
  int shape_reads = 0;

  void MoveTo(int32_t x, int32_t y) {
    std::lock_guard<std::mutex> lock(mu);
    sample.x = x;
    sample.y = y;
  }
  void SetVisible(bool visible) {
    std::lock_guard<std::mutex> lock(mu);
    sample.visible = visible;
  }
  // A solid square shape of the given side, colour 0xAARRGGBB.
  void SetShape(uint64_t key, StandardCursor standard, uint32_t side, uint32_t argb, int32_t hotspot = 1) {
    std::lock_guard<std::mutex> lock(mu);
    sample.shape_key = key;
    sample.standard = standard;
    shape = CursorShapeData{};
    shape.hotspot_x = hotspot;
    shape.hotspot_y = hotspot;
    shape.width = side;
    shape.height = side;
    shape.pixels.assign(static_cast<size_t>(side) * side, argb);
  }
};

class FakeCursorSource final : public ICursorSource {
 public:
  explicit FakeCursorSource(std::shared_ptr<FakeCursorState> state) : state_(std::move(state)) {}

  bool Sample(CursorSample* out) override {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (!state_->readable) return false;
    *out = state_->sample;
    return true;
  }

  bool ReadShape(uint32_t max_side, CursorShapeData* out) override {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->shape_reads += 1;
    *out = state_->shape;
    if (out->width > max_side || out->height > max_side) {
      out->pixels.clear();
      out->and_mask.clear();
      out->xor_pixels.clear();
    }
    return true;
  }

 private:
  std::shared_ptr<FakeCursorState> state_;
};

}  // namespace orvane::testing
