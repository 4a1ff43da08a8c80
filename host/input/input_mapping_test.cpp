#include "host/input/input_mapping.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace orvane {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(InputMappingTest, LetterboxOfContentInsideTheStream) {
  struct Case {
    uint32_t cw, ch, sw, sh;
    double left, top, width, height;
  };
  const Case cases[] = {
      // 16:10 content in a 16:9 stream fills the height and 1728 of 1920 columns.
      {1920, 1200, 1920, 1080, 0.05, 0.0, 0.9, 1.0},
      // 4:3 content in a 16:9 stream: 1440 of 1920 columns.
      {1024, 768, 1920, 1080, 0.125, 0.0, 0.75, 1.0},
      // 21:9 content in a 16:9 stream fills the width: 810 of 1080 rows.
      {2560, 1080, 1920, 1080, 0.0, 0.125, 1.0, 0.75},
      {1920, 1080, 1920, 1080, 0.0, 0.0, 1.0, 1.0},
      // Any zero size: the whole frame.
      {0, 1080, 1920, 1080, 0.0, 0.0, 1.0, 1.0},
      {1920, 1080, 0, 1080, 0.0, 0.0, 1.0, 1.0},
      // Extreme sizes stay in 64 bits and at least one pixel.
      {4'000'000'000u, 1, 4'000'000'000u, 4'000'000'000u, 0.0, 0.5 - 0.5 / 4e9, 1.0, 1.0 / 4e9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.cw) + "x" + std::to_string(c.ch) + " in " + std::to_string(c.sw) + "x" +
                 std::to_string(c.sh));
    const LetterboxMapping m = ComputeLetterbox(c.cw, c.ch, c.sw, c.sh);
    EXPECT_NEAR(m.left_margin, c.left, 1e-12);
    EXPECT_NEAR(m.top_margin, c.top, 1e-12);
    EXPECT_NEAR(m.width_scale, c.width, 1e-12);
    EXPECT_NEAR(m.height_scale, c.height, 1e-12);
  }
}

TEST(InputMappingTest, NormalisedCoordinateToPixel) {
  const LetterboxMapping m = ComputeLetterbox(1920, 1200, 1920, 1080);
  struct Case {
    float v;
    double margin, scale;
    int32_t origin;
    int64_t extent;
    int32_t pixel;
  };
  const Case cases[] = {
      {0.05f, m.left_margin, m.width_scale, 0, 1920, 0},
      {0.95f, m.left_margin, m.width_scale, 0, 1920, 1919},
      {0.01f, m.left_margin, m.width_scale, 0, 1920, 0},
      {0.99f, m.left_margin, m.width_scale, 0, 1920, 1919},
      {0.5f, m.left_margin, m.width_scale, 0, 1920, 960},
      {kNaN, m.left_margin, m.width_scale, 0, 1920, 0},
      {kInf, 0.0, 1.0, 0, 1920, 0},
      {-kInf, 0.0, 1.0, 0, 1920, 0},
      // A monitor left of the primary.
      {0.0f, 0.0, 1.0, -1920, 1920, -1920},
      {1.0f, 0.0, 1.0, -1920, 1920, -1},
      // Extents 1 and 2.
      {1.0f, 0.0, 1.0, 10, 1, 10},
      {0.0f, 0.0, 1.0, 10, 2, 10},
      {1.0f, 0.0, 1.0, 10, 2, 11},
      {1.0f, 0.0, 1.0, 10, 0, 10},
      // A degenerate scale is bounded, not divided by.
      {0.5f, 0.5, 0.0, 0, 100, 0},
      {0.6f, 0.5, 0.0, 0, 100, 99},
      // The result saturates at the 32-bit range.
      {1.0f, 0.0, 1.0, std::numeric_limits<int32_t>::max() - 5, 100, std::numeric_limits<int32_t>::max()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.v) + " origin " + std::to_string(c.origin) + " extent " + std::to_string(c.extent));
    EXPECT_EQ(MapNormalized(c.v, c.margin, c.scale, c.origin, c.extent), c.pixel);
  }
}

TEST(InputMappingTest, PixelToVirtualDesk) {
  struct Case {
    int32_t pixel, origin, extent, expected;
  };
  const Case cases[] = {
      {-1920, -1920, 3840, 0},
      {1919, -1920, 3840, 65535},
      {0, -1920, 3840, 32776},  // 1920 * 65535 / 3839
      {-5000, -1920, 3840, 0},
      {5000, -1920, 3840, 65535},
      // 39999 * 65535 does not fit 32 bits.
      {39999, 0, 40000, 65535},
      {20000, 0, 40000, 32768},  // 20000 * 65535 / 39999
      // Widths below 3 divide by 1.
      {0, 0, 2, 0},
      {1, 0, 2, 65535},
      {0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.pixel) + " over " + std::to_string(c.origin) + "+" + std::to_string(c.extent));
    EXPECT_EQ(ToVirtualDesk(c.pixel, c.origin, c.extent), c.expected);
  }
}

TEST(InputMappingTest, TargetRectangleChoice) {
  const InjectionMonitor left{"\\\\.\\DISPLAY2", -1920, 0, 0, 1080, false};
  const InjectionMonitor primary{"\\\\.\\DISPLAY1", 0, 0, 2560, 1440, true};
  const InjectionMonitor empty_named{"\\\\.\\DISPLAY3", 100, 100, 100, 100, false};
  const PixelRect current{5, 6, 805, 606};
  struct Case {
    const char* what;
    std::vector<InjectionMonitor> monitors;
    std::string name;
    PixelRect current;
    PixelRect expected;
  };
  const Case cases[] = {
      {"named monitor", {primary, left}, "\\\\.\\DISPLAY2", current, {-1920, 0, 0, 1080}},
      {"unknown name keeps the current rectangle", {primary, left}, "\\\\.\\DISPLAY9", current, current},
      {"named monitor with an empty rectangle", {empty_named, primary}, "\\\\.\\DISPLAY3", current, current},
      {"no current rectangle: the primary", {left, primary}, "\\\\.\\DISPLAY9", {}, {0, 0, 2560, 1440}},
      {"no primary: the first monitor", {left, empty_named}, "", {}, {-1920, 0, 0, 1080}},
      {"empty primary: the first monitor", {empty_named, InjectionMonitor{"p", 0, 0, 0, 0, true}}, "", {},
       {100, 100, 100, 100}},
      {"empty name never matches", {InjectionMonitor{"", 1, 1, 2, 2, false}, primary}, "", {}, {0, 0, 2560, 1440}},
      {"no monitors", {}, "\\\\.\\DISPLAY1", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ChooseTargetRect(c.monitors, c.name, c.current), c.expected);
  }
}

TEST(InputMappingTest, RectangleFromSetTargetSizes) {
  EXPECT_EQ(TargetRectFromSize(10, 20, 1920, 1080), (PixelRect{10, 20, 1930, 1100}));
  EXPECT_EQ(TargetRectFromSize(10, 20, 0, -5), (PixelRect{10, 20, 11, 21}));
  EXPECT_EQ(TargetRectFromSize(10, 20, 1, 2), (PixelRect{10, 20, 11, 22}));
  EXPECT_EQ(TargetRectFromSize(std::numeric_limits<int32_t>::max(), 0, 100, 100),
            (PixelRect{std::numeric_limits<int32_t>::max(), 0, std::numeric_limits<int32_t>::max(), 100}));
}

}  // namespace
}  // namespace orvane
