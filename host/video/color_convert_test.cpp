#include "host/video/color_convert.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(FitRectTest, LetterboxesEvenly) {
  const struct {
    uint32_t sw, sh, tw, th;
    FitRectResult fit;
  } cases[] = {
      {1920, 1080, 1920, 1200, {0, 60, 1920, 1080}},
      {1080, 1920, 1920, 1080, {656, 0, 606, 1080}},
      {2560, 1600, 1920, 1080, {96, 0, 1728, 1080}},
      {3, 1, 1920, 1080, {0, 220, 1920, 640}},
      {1, 1, 1, 1, {0, 0, 1, 1}},
      {1920, 1080, 1280, 800, {0, 40, 1280, 720}},
      {1366, 768, 1280, 800, {0, 40, 1280, 718}},
      {1920, 1080, 1920, 1080, {0, 0, 1920, 1080}},
      {0, 1080, 1280, 800, {0, 0, 1280, 800}},
      {1920, 1080, 0, 800, {0, 0, 0, 800}},
      {10000, 1, 4, 4, {0, 0, 4, 2}},  // a sliver still gets two rows
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FitRect(c.sw, c.sh, c.tw, c.th), c.fit) << c.sw << "x" << c.sh << " in " << c.tw << "x" << c.th;
  }
}

}  // namespace
}  // namespace orvane
