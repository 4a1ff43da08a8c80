#include "host/video/color_convert.h"

#include <algorithm>

namespace orvane {

namespace {

uint32_t EvenDown(uint32_t v) { return v > 1 ? (v & ~1u) : v; }

}  // namespace

FitRectResult FitRect(uint32_t sw, uint32_t sh, uint32_t tw, uint32_t th) {
  FitRectResult r{0, 0, tw, th};
  if (sw == 0 || sh == 0 || tw == 0 || th == 0) return r;
  const uint64_t wide = static_cast<uint64_t>(th) * sw;  // th x sw against tw x sh
  const uint64_t tall = static_cast<uint64_t>(tw) * sh;
  uint64_t w = 0;
  uint64_t h = 0;
  if (wide > tall) {
    w = tw;
    h = static_cast<uint64_t>(tw) * sh / sw;
  } else if (wide == tall) {
    w = tw;
    h = th;
  } else {
    h = th;
    w = static_cast<uint64_t>(th) * sw / sh;
  }
  r.w = EvenDown(static_cast<uint32_t>(w));
  r.h = EvenDown(static_cast<uint32_t>(h));
  r.w = std::max(r.w, std::min(tw, 2u));
  r.h = std::max(r.h, std::min(th, 2u));
  r.x = ((tw - std::min(r.w, tw)) / 2) & ~1u;
  r.y = ((th - std::min(r.h, th)) / 2) & ~1u;
  return r;
}

}  // namespace orvane
