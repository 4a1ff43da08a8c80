#pragma once
// The tablet's pointer values in the units of injected pointer frames.
// Every function is total: NaN, infinities and huge values give a value in
// range.

#include <cstdint>

namespace orvane {

inline constexpr uint32_t kMaxPointerPressure = 1024;

// pressure 0..1 as 0..1024, rounded; NaN counts as 0. A pointer touching the
// surface (at_least_one) never reports 0.
uint32_t PressureUnits(float pressure, bool at_least_one);

// Tilt in radians as whole degrees in -90..90.
int32_t TiltDegrees(float radians);

// Orientation in radians as whole degrees in 0..359.
uint32_t RotationDegrees(float radians);

// The tablet's button bits that mean the pen's barrel button.
inline constexpr uint32_t kBarrelButtonBits = 0x02 | 0x20 | 0x40;
inline bool BarrelPressed(uint32_t button_state) { return (button_state & kBarrelButtonBits) != 0; }

}  // namespace orvane
