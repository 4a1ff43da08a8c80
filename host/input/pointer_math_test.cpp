#include "host/input/pointer_math.h"

#include <gtest/gtest.h>

#include <limits>
#include <numbers>
#include <string>

namespace orvane {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kPi = std::numbers::pi_v<float>;

TEST(PointerMathTest, Pressure) {
  struct Case {
    float pressure;
    bool at_least_one;
    uint32_t units;
  };
  const Case cases[] = {
      {kNaN, true, 1},   {kNaN, false, 0},  {0.0f, true, 1},   {0.0f, false, 0},     {0.5f, true, 512},
      {1.7f, true, 1024}, {1.0f, false, 1024}, {-3.0f, false, 0}, {kInf, false, 1024}, {-kInf, true, 1},
      {0.0004f, false, 0}, {0.0005f, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.pressure) + (c.at_least_one ? " touching" : ""));
    EXPECT_EQ(PressureUnits(c.pressure, c.at_least_one), c.units);
  }
}

TEST(PointerMathTest, TiltInWholeDegrees) {
  struct Case {
    float radians;
    int32_t degrees;
  };
  const Case cases[] = {
      {0.0f, 0},   {2.0f, 90},        {-2.0f, -90}, {kPi / 4, 45}, {-kPi / 6, -30},
      {kNaN, 0},   {kInf, 0},         {-kInf, 0},   {3e38f, 90},   {-3e38f, -90},
      {0.0087f, 0}, {0.0088f, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.radians));
    EXPECT_EQ(TiltDegrees(c.radians), c.degrees);
  }
}

TEST(PointerMathTest, RotationReducedIntoOneTurn) {
  struct Case {
    float radians;
    uint32_t degrees;
  };
  const Case cases[] = {
      {0.0f, 0},      {-kPi / 2, 270}, {kPi / 2, 90},  {2 * kPi, 0},     {kPi, 180},
      {-2 * kPi, 0},  {7 * kPi, 180},  {kNaN, 0},      {kInf, 0},        {-kInf, 0},
      {-0.0001f, 0},  {6.2831f, 0},    {6.27f, 359},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.radians));
    EXPECT_EQ(RotationDegrees(c.radians), c.degrees);
  }
  // Huge finite angles stay finite in double precision and land in a turn.
  for (const float huge : {3e38f, -3e38f, std::numeric_limits<float>::max(), 1e20f}) {
    SCOPED_TRACE(std::to_string(huge));
    EXPECT_LT(RotationDegrees(huge), 360u);
  }
}

TEST(PointerMathTest, BarrelButtonBits) {
  for (const uint32_t bits : {0x02u, 0x20u, 0x40u, 0x62u, 0xFFu}) EXPECT_TRUE(BarrelPressed(bits)) << bits;
  for (const uint32_t bits : {0x00u, 0x01u, 0x04u, 0x10u, 0x80u}) EXPECT_FALSE(BarrelPressed(bits)) << bits;
}

}  // namespace
}  // namespace orvane
