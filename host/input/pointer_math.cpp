#include "host/input/pointer_math.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace orvane {

namespace {

// Degrees of an angle in radians; anything that is not finite on the way
// counts as 0. Double precision keeps every finite float finite.
double Degrees(float radians) {
  if (!std::isfinite(radians)) return 0.0;
  const double degrees = static_cast<double>(radians) * (180.0 / std::numbers::pi);
  return std::isfinite(degrees) ? degrees : 0.0;
}

}  // namespace

uint32_t PressureUnits(float pressure, bool at_least_one) {
  const double p = std::isnan(pressure) ? 0.0 : std::clamp(static_cast<double>(pressure), 0.0, 1.0);
  uint32_t units = static_cast<uint32_t>(std::lround(p * kMaxPointerPressure));
  if (at_least_one && units < 1) units = 1;
  return std::min(units, kMaxPointerPressure);
}

int32_t TiltDegrees(float radians) {
  const double degrees = std::clamp(Degrees(radians), -90.0, 90.0);
  return static_cast<int32_t>(std::lround(degrees));
}

uint32_t RotationDegrees(float radians) {
  double degrees = std::fmod(Degrees(radians), 360.0);
  if (!std::isfinite(degrees)) degrees = 0.0;
  if (degrees < 0.0) degrees += 360.0;
  const long whole = std::lround(degrees);
  return (whole >= 360 || whole < 0) ? 0u : static_cast<uint32_t>(whole);
}

}  // namespace orvane
