#include "host/vdd/vdd_modes.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace orvane::vdd {
namespace {

DisplaySettings Listed(uint32_t width, uint32_t height, uint32_t refresh, uint32_t orientation = kDmdoDefault) {
  DisplaySettings m;
  m.fields = kDmPelsWidth | kDmPelsHeight | kDmDisplayFrequency;
  if (orientation != kDmdoDefault) m.fields |= kDmDisplayOrientation;
  m.width = width;
  m.height = height;
  m.refresh_hz = refresh;
  m.orientation = orientation;
  return m;
}

std::string Describe(const std::vector<ModeCandidate>& modes) {
  std::string text;
  for (const ModeCandidate& m : modes) {
    text += std::to_string(m.width) + "x" + std::to_string(m.height) + "@" + std::to_string(m.refresh_hz) +
            (m.rotated ? "r " : " ");
  }
  return text;
}

TEST(ChooseClosestModes, PicksShapeThenAspectThenFitThenRefresh) {
  struct Case {
    const char* name;
    std::vector<DisplaySettings> listed;
    VirtualDisplayMode request;
    std::vector<ModeCandidate> expected;
  };
  const Case cases[] = {
      {"portrait request on a landscape-only driver turns the monitor",
       {Listed(1920, 1080, 60)}, {1080, 1920, 60}, {{1080, 1920, 60, true}}},
      {"the aspect ratio beats the size",
       {Listed(2560, 1440, 60), Listed(1920, 1200, 60)}, {2560, 1600, 60}, {{1920, 1200, 60, false}}},
      {"equally far refresh rates go to the higher one",
       {Listed(1920, 1080, 50), Listed(1920, 1080, 70)}, {1920, 1080, 60}, {{1920, 1080, 70, false}}},
      {"the closest refresh rate",
       {Listed(1920, 1080, 75), Listed(1920, 1080, 59)}, {1920, 1080, 60}, {{1920, 1080, 59, false}}},
      {"a mode listed at 90 degrees counts in its native orientation",
       {Listed(1080, 1920, 60, kDmdo90)}, {1920, 1080, 60}, {{1920, 1080, 60, false}}},
      {"a mode listed at 270 degrees serves a portrait request turned",
       {Listed(1080, 1920, 60, kDmdo270)}, {1080, 1920, 60}, {{1080, 1920, 60, true}}},
      {"the orientation counts only with its field bit",
       {[] { DisplaySettings m = Listed(1080, 1920, 60); m.orientation = kDmdo90; return m; }()},
       {1080, 1920, 60}, {{1080, 1920, 60, false}}},
      {"zero-sided modes are skipped",
       {Listed(0, 1080, 60), Listed(1920, 0, 60), Listed(1280, 720, 60)}, {1920, 1080, 60},
       {{1280, 720, 60, false}}},
      {"a fitting mode beats a larger one",
       {Listed(2560, 1440, 60), Listed(1280, 720, 60)}, {1920, 1080, 60}, {{1280, 720, 60, false}}},
      {"among fitting modes the larger area",
       {Listed(1280, 720, 60), Listed(1600, 900, 60)}, {1920, 1080, 60}, {{1600, 900, 60, false}}},
      {"among modes too large the smaller area",
       {Listed(2560, 1440, 60), Listed(1920, 1080, 60)}, {1280, 720, 60}, {{1920, 1080, 60, false}}},
      {"areas beyond 32 bits compare right",
       {Listed(65000, 65000, 60), Listed(66000, 66000, 60)}, {100000, 100000, 60}, {{66000, 66000, 60, false}}},
      {"a square mode stays for a portrait request",
       {Listed(1000, 1000, 60), Listed(2000, 1200, 60)}, {1200, 2000, 60}, {{1200, 2000, 60, true}}},
      {"a square request takes landscape modes",
       {Listed(1920, 1080, 60)}, {1500, 1500, 60}, {{1920, 1080, 60, false}}},
      {"both orientations: unrotated first",
       {Listed(1920, 1080, 60), Listed(1080, 1920, 60)}, {1080, 1920, 60},
       {{1080, 1920, 60, false}, {1080, 1920, 60, true}}},
      {"duplicates are dropped",
       {Listed(1920, 1080, 60), Listed(1920, 1080, 60)}, {1920, 1080, 60}, {{1920, 1080, 60, false}}},
      {"a tie on size keeps the earlier entry",
       {Listed(1000, 960, 60), Listed(1200, 800, 60)}, {1920, 1080, 60}, {{1000, 960, 60, false}}},
      {"nothing listed", {}, {1920, 1080, 60}, {}},
      {"invalid request", {Listed(1920, 1080, 60)}, {1920, 0, 60}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Describe(ChooseClosestModes(c.listed, c.request)), Describe(c.expected));
  }
}

TEST(ModeCandidatesToTry, FallsBackToTheRequestTurnedForPortrait) {
  EXPECT_EQ(Describe(ModeCandidatesToTry({}, {1080, 1920, 60})), Describe({{1080, 1920, 60, false}, {1080, 1920, 60, true}}));
  EXPECT_EQ(Describe(ModeCandidatesToTry({}, {1920, 1080, 60})), Describe({{1920, 1080, 60, false}}));
  EXPECT_EQ(Describe(ModeCandidatesToTry({Listed(0, 0, 60)}, {1920, 1080, 60})), Describe({{1920, 1080, 60, false}}));
  EXPECT_EQ(Describe(ModeCandidatesToTry({Listed(1920, 1080, 60)}, {1080, 1920, 30})),
            Describe({{1080, 1920, 60, true}}));
  EXPECT_TRUE(ModeCandidatesToTry({}, {0, 1920, 60}).empty());
}

TEST(ModeCandidate, CurrentMatchAndSettings) {
  DisplaySettings current = Listed(1080, 1920, 60);
  current.orientation = kDmdo270;
  EXPECT_TRUE(CandidateIsCurrent({1080, 1920, 60, true}, current));
  EXPECT_FALSE(CandidateIsCurrent({1080, 1920, 60, false}, current));
  EXPECT_FALSE(CandidateIsCurrent({1080, 1920, 50, true}, current));
  current.orientation = kDmdo180;
  EXPECT_TRUE(CandidateIsCurrent({1080, 1920, 60, false}, current));

  const DisplaySettings turned = CandidateSettings({1080, 1920, 60, true}, DesktopPosition{3200, -10});
  EXPECT_EQ(turned.fields, kDmPelsWidth | kDmPelsHeight | kDmDisplayFrequency | kDmDisplayOrientation | kDmPosition);
  EXPECT_EQ(turned.orientation, kDmdo90);
  EXPECT_EQ(turned.width, 1080u);
  EXPECT_EQ(turned.height, 1920u);
  EXPECT_EQ(turned.x, 3200);
  EXPECT_EQ(turned.y, -10);
  const DisplaySettings plain = CandidateSettings({1920, 1080, 60, false}, std::nullopt);
  EXPECT_EQ(plain.fields, kDmPelsWidth | kDmPelsHeight | kDmDisplayFrequency | kDmDisplayOrientation);
  EXPECT_EQ(plain.orientation, kDmdoDefault);
}

TEST(PositionRightOf, LargestRightEdgeWithTies) {
  struct Case {
    const char* name;
    std::vector<DesktopRect> monitors;
    DesktopPosition expected;
  };
  const Case cases[] = {
      {"primary and a second monitor to its right",
       {{"\\\\.\\DISPLAY1", 0, 0, 1920, 1080, true}, {"\\\\.\\DISPLAY2", 1920, 0, 1280, 1024, false}}, {3200, 0}},
      {"only the primary", {{"\\\\.\\DISPLAY1", 0, 0, 1920, 1080, true}}, {1920, 0}},
      {"no monitor", {}, {0, 0}},
      {"a tie goes to the primary",
       {{"\\\\.\\DISPLAY2", 0, 1080, 1920, 1080, false}, {"\\\\.\\DISPLAY1", 0, 0, 1920, 1080, true}}, {1920, 0}},
      {"then to the smaller top",
       {{"\\\\.\\DISPLAY2", 1920, 300, 1280, 1024, false}, {"\\\\.\\DISPLAY3", 2200, -200, 1000, 800, false}},
       {3200, -200}},
      {"a monitor left of the primary",
       {{"\\\\.\\DISPLAY2", -1920, 0, 1920, 1080, false}, {"\\\\.\\DISPLAY1", 0, 0, 2560, 1440, true}}, {2560, 0}},
      {"a right edge beyond 32 bits is clamped",
       {{"\\\\.\\DISPLAY1", 2147483000, 5, 4000, 1080, true}}, {2147483647, 5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DesktopPosition p = PositionRightOf(c.monitors);
    EXPECT_EQ(p.x, c.expected.x);
    EXPECT_EQ(p.y, c.expected.y);
  }
}

}  // namespace
}  // namespace orvane::vdd
