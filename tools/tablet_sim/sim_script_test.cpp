#include "tools/tablet_sim/sim_script.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvane::sim {
namespace {

TEST(SimScript, ReadsStepsWithTheirArgumentsAndDefaults) {
  struct Case {
    const char* text;
    StepKind kind;
    std::string step_text;
    uint32_t first, second, third;
  };
  const Case cases[] = {
      {"hello", StepKind::kHello, "", 0, 0, 0},
      {"capability", StepKind::kCapability, "", 0, 0, 0},
      {"start-stream", StepKind::kStartStream, "sim-session", 0, 0, 0},
      {"start-stream:tab-7", StepKind::kStartStream, "tab-7", 0, 0, 0},
      {"stop-stream:s\xC3\xA9", StepKind::kStopStream, "s\xC3\xA9", 0, 0, 0},
      {"quality", StepKind::kQuality, "", 8000, 60, 1},
      {"quality:0/0/hevc", StepKind::kQuality, "", 0, 0, 2},
      {"quality:12000/120/7", StepKind::kQuality, "", 12000, 120, 7},
      {"keyframe", StepKind::kKeyframe, "sim-session", 0, 0, 0},
      {"audio", StepKind::kAudio, "", 1, 0, 0},
      {"audio:off", StepKind::kAudio, "", 0, 0, 0},
      {"audio:tablet-only", StepKind::kAudio, "", 1, 1, 0},
      {"audio:1:1", StepKind::kAudio, "", 1, 1, 0},
      {"audio:1:0", StepKind::kAudio, "", 1, 0, 0},
      {"audio:0:1", StepKind::kAudio, "", 0, 1, 0},
      {"audio:0:0", StepKind::kAudio, "", 0, 0, 0},
      {"pause", StepKind::kPause, "", 0, 0, 0},
      {"resume", StepKind::kResume, "", 0, 0, 0},
      {"first-frame", StepKind::kFirstFrame, "sim-session", 0, 0, 0},
      {"file-transfer", StepKind::kFileTransfer, "", 0, 0, 0},
      {"clipboard:copied", StepKind::kClipboard, "copied", 0, 0, 0},
      {"nack", StepKind::kNack, "", 1, 3, 1},
      {"nack:100-2147", StepKind::kNack, "", 100, 2147, 1},
      {"nack:9@2", StepKind::kNack, "", 9, 9, 2},
      {"stats", StepKind::kStats, "", 0, 0, 0},
      {"ping", StepKind::kPing, "", 0, 0, 0},
      {"terminate", StepKind::kTerminate, "user left", 0, 0, 0},
      {"monitors", StepKind::kMonitors, "", 0, 0, 0},
      {"select-monitor:\\\\.\\DISPLAY2", StepKind::kSelectMonitor, "\\\\.\\DISPLAY2", 0, 0, 0},
      {"orientation:portrait", StepKind::kOrientation, "", 2, 0, 0},
      {"orientation:unspecified", StepKind::kOrientation, "", 0, 0, 0},
      {"window", StepKind::kWindow, "", 1, 0, 0},
      {"window:back", StepKind::kWindow, "", 2, 0, 0},
      {"window:none", StepKind::kWindow, "", 0, 0, 0},
      {"key-rotation", StepKind::kKeyRotation, "fresh", 0, 0, 0},
      {"key-rotation:same", StepKind::kKeyRotation, "same", 0, 0, 0},
      {"key-rotation:42", StepKind::kKeyRotation, "exact", 42, 0, 0},
      {"key-rotation:0", StepKind::kKeyRotation, "exact", 0, 0, 0},
      {"empty", StepKind::kEmpty, "", 0, 0, 0},
      {"wait:600000", StepKind::kWait, "", 600000, 0, 0},
      {"wait-media:60", StepKind::kWaitMedia, "", 60, 10000, 0},
      {"wait-media:60:2500", StepKind::kWaitMedia, "", 60, 2500, 0},
      {"wait-decoded:285", StepKind::kWaitDecoded, "", 285, 10000, 0},
      {"wait-decoded:1:750", StepKind::kWaitDecoded, "", 1, 750, 0},
      {"wait-cursor:1", StepKind::kWaitCursor, "", 1, 10000, 0},
      {"wait-cursor:3:500", StepKind::kWaitCursor, "", 3, 500, 0},
      {"touch", StepKind::kTouch, "", 3, 0, 0},
      {"touch:100", StepKind::kTouch, "", 100, 0, 0},
      {"mouse", StepKind::kMouse, "", 4, 0, 0},
      {"mouse:2", StepKind::kMouse, "", 2, 0, 0},
      {"mouse-hold", StepKind::kMouseHold, "", 4, 0, 0},
      {"mouse-hold:100", StepKind::kMouseHold, "", 100, 0, 0},
      {"pen", StepKind::kPen, "", 4, 0, 0},
      {"pen:7", StepKind::kPen, "", 7, 0, 0},
      {"pen-barrel", StepKind::kPenBarrel, "", 4, 0, 0},
      {"pen-barrel:2", StepKind::kPenBarrel, "", 2, 0, 0},
      {"key", StepKind::kKey, "", 65, 0, 0},
      {"key:13", StepKind::kKey, "", 13, 0, 0},
      {"end", StepKind::kEnd, "", 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<ScriptStep> steps;
    std::string error;
    ASSERT_TRUE(ParseScript(c.text, &steps, &error)) << error;
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].kind, c.kind);
    EXPECT_EQ(steps[0].text, c.step_text);
    EXPECT_EQ(steps[0].first, c.first);
    EXPECT_EQ(steps[0].second, c.second);
    EXPECT_EQ(steps[0].third, c.third);
  }
}

TEST(SimScript, KeepsTheOrderAndAllowsRepeats) {
  std::vector<ScriptStep> steps;
  std::string error;
  ASSERT_TRUE(ParseScript("capability,ping,start-stream,empty,ping", &steps, &error)) << error;
  const StepKind expected[] = {StepKind::kCapability, StepKind::kPing, StepKind::kStartStream, StepKind::kEmpty,
                               StepKind::kPing};
  ASSERT_EQ(steps.size(), 5u);
  for (size_t i = 0; i < steps.size(); ++i) EXPECT_EQ(steps[i].kind, expected[i]) << i;

  std::string longest;
  for (size_t i = 0; i < kMaxScriptSteps; ++i) longest += i == 0 ? "ping" : ",ping";
  EXPECT_TRUE(ParseScript(longest, &steps, &error)) << error;
  EXPECT_EQ(steps.size(), kMaxScriptSteps);
}

TEST(SimScript, RefusesBadStepsNamingThem) {
  struct Case {
    std::string text;
    const char* error_part;
  };
  std::string too_many;
  for (size_t i = 0; i <= kMaxScriptSteps; ++i) too_many += i == 0 ? "ping" : ",ping";
  const Case cases[] = {
      {"", "--send needs at least one step"},
      {"ping,,empty", "--send step '' is unknown"},
      {"ping,", "--send step '' is unknown"},
      {"bogus", "'bogus' is unknown"},
      {"Ping", "'Ping' is unknown"},
      {"ping:now", "'ping:now' takes no argument"},
      {"select-monitor", "'select-monitor' needs an argument"},
      {"select-monitor:", "needs an argument"},
      {"wait", "needs an argument"},
      {"wait:600001", "'wait:600001' needs a number of milliseconds"},
      {"wait:-1", "needs a number of milliseconds"},
      {"quality:8000/60", "needs KBPS/FPS/CODEC"},
      {"quality:8000/60/h265", "needs KBPS/FPS/CODEC"},
      {"quality:a/60/h264", "needs KBPS/FPS/CODEC"},
      {"quality:1/2/3/4", "needs KBPS/FPS/CODEC"},
      {"audio:loud", "needs on, off or tablet-only"},
      {"audio:1:2", "needs on, off or tablet-only (or ENABLED:MUTE"},
      {"orientation:upside-down", "needs landscape, portrait or unspecified"},
      {"window:left", "needs to-tablet, back or none"},
      {"key-rotation:soon", "'key-rotation:soon' needs same or an epoch from 0 to 999999999"},
      {"key-rotation:1000000000", "needs same or an epoch"},
      {"nack:5-4", "needs FIRST-LAST"},
      {"nack:1-2049", "needs FIRST-LAST with at most 2048 numbers"},
      {"nack:1-3@x", "needs a stream type number"},
      {"wait-media", "needs an argument"},
      {"wait-media:0", "'wait-media:0' needs N[:MS] with N from 1 to 1000000"},
      {"wait-media:5:", "needs N[:MS]"},
      {"wait-media:5:600001", "needs N[:MS]"},
      {"wait-media:5:1:2", "needs N[:MS]"},
      {"wait-cursor:0", "'wait-cursor:0' needs N[:MS] with N from 1 to 1000000"},
      {"wait-decoded", "needs an argument"},
      {"wait-decoded:0", "'wait-decoded:0' needs N[:MS] with N from 1 to 1000000"},
      {"wait-decoded:9:x", "needs N[:MS]"},
      {"touch:1", "'touch:1' needs a number of events from 2 to 100"},
      {"touch:101", "needs a number of events from 2 to 100"},
      {"mouse:1", "'mouse:1' needs a number of events from 2 to 100"},
      {"mouse:-3", "'mouse:-3' needs a number of events"},
      {"mouse-hold:101", "'mouse-hold:101' needs a number of events from 2 to 100"},
      {"pen:0", "'pen:0' needs a number of events from 2 to 100"},
      {"pen-barrel:x", "'pen-barrel:x' needs a number of events"},
      {"pen-eraser", "'pen-eraser' is unknown"},
      {"key:0", "'key:0' needs a virtual-key code from 1 to 254"},
      {"key:255", "needs a virtual-key code"},
      {"clipboard:" + std::string(kMaxStepArgumentBytes + 1, 'c'), "needs UTF-8 text of at most 256 bytes"},
      {"clipboard:bad \xFF", "needs UTF-8 text"},
      {"evil\n[Sim] Connected", "'evil\\x0A[Sim] Connected' is unknown"},
      {too_many, "is one too many (at most 64 steps)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    std::vector<ScriptStep> steps(1);
    std::string error;
    EXPECT_FALSE(ParseScript(c.text, &steps, &error));
    EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
    EXPECT_EQ(steps.size(), 1u);  // untouched on failure
  }
}

TEST(SimScript, StepsThatTheHostAnswersWaitForTheirAnswer) {
  EXPECT_EQ(ExpectedAnswers(StepKind::kPing), std::vector<int>{51});
  EXPECT_EQ(ExpectedAnswers(StepKind::kCapability), (std::vector<int>{13, 60}));
  EXPECT_EQ(ExpectedAnswers(StepKind::kMonitors), std::vector<int>{91});
  EXPECT_EQ(ExpectedAnswers(StepKind::kFileTransfer), std::vector<int>{60});
  EXPECT_EQ(ExpectedAnswers(StepKind::kKeyRotation), std::vector<int>{81});
  EXPECT_TRUE(ExpectedAnswers(StepKind::kEmpty).empty());
  EXPECT_TRUE(ExpectedAnswers(StepKind::kKeyframe).empty());
  EXPECT_TRUE(ExpectedAnswers(StepKind::kTouch).empty());
  for (const StepKind input : {StepKind::kMouse, StepKind::kMouseHold, StepKind::kPen, StepKind::kPenBarrel}) {
    EXPECT_TRUE(ExpectedAnswers(input).empty()) << StepName(input);
  }
  EXPECT_STREQ(StepName(StepKind::kMouse), "mouse");
  EXPECT_STREQ(StepName(StepKind::kMouseHold), "mouse-hold");
  EXPECT_STREQ(StepName(StepKind::kPen), "pen");
  EXPECT_STREQ(StepName(StepKind::kPenBarrel), "pen-barrel");
  EXPECT_TRUE(ExpectedAnswers(StepKind::kWaitDecoded).empty());
  EXPECT_STREQ(StepName(StepKind::kWaitDecoded), "wait-decoded");
  EXPECT_STREQ(StepName(StepKind::kSelectMonitor), "select-monitor");
  EXPECT_STREQ(StepName(StepKind::kEmpty), "empty");
  const std::string usage = ScriptUsageText();
  for (const char* step : {"hello", "capability", "start-stream", "stop-stream", "quality", "keyframe", "audio", "pause",
                           "resume", "first-frame", "file-transfer", "clipboard", "nack", "stats", "ping", "terminate",
                           "monitors", "select-monitor", "orientation", "window", "key-rotation", "empty", "wait",
                           "wait-media", "wait-decoded", "touch", "mouse[:N]", "mouse-hold[:N]", "pen[:N]",
                           "pen-barrel[:N]", "key"}) {
    EXPECT_NE(usage.find(std::string("    ") + step), std::string::npos) << step;
  }
}

}  // namespace
}  // namespace orvane::sim
