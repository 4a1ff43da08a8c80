#include "host/common/limited_log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "host/common/clock.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using testing::LogCapture;

constexpr uint64_t kIntervalMs = 60'000;

// One line per interval: the first at once, the rest of the interval
// swallowed, and the next line after it counts them.
TEST(RateLimitedLogTest, OneLinePerIntervalCountsWhatItSwallowed) {
  ManualClock clock;
  LogCapture logs;
  RateLimitedLog log(LogLevel::kWarn, "[Input] ", kIntervalMs, clock);
  EXPECT_TRUE(log.Log("batch %d refused (%s)", 1, "too long"));
  for (int i = 0; i < 3; ++i) {
    clock.AdvanceMs(kIntervalMs / 4);
    EXPECT_FALSE(log.Log("batch %d refused (%s)", 2 + i, "too long"));
  }
  clock.AdvanceMs(kIntervalMs / 4 - 1);  // one millisecond short of the interval
  EXPECT_FALSE(log.Log("batch %d refused (%s)", 5, "too long"));
  clock.AdvanceMs(1);
  EXPECT_TRUE(log.Log("batch %d refused (%s)", 6, "too long"));
  const std::vector<std::string> expected = {
      "[WARN ] [Input] batch 1 refused (too long) (0 similar suppressed)",
      "[WARN ] [Input] batch 6 refused (too long) (4 similar suppressed)",
  };
  EXPECT_EQ(logs.Lines(), expected);
}

TEST(RateLimitedLogTest, TheLineHasTheLevelAndPrefixItWasMadeWith) {
  struct Case {
    LogLevel level;
    const char* prefix;
    const char* expected;
  };
  const Case cases[] = {
      {LogLevel::kInfo, "", "[INFO ] ready (0 similar suppressed)"},
      {LogLevel::kWarn, "[Input] XTEST injection: ", "[WARN ] [Input] XTEST injection: ready (0 similar suppressed)"},
      {LogLevel::kError, "[Capture] ", "[ERROR] [Capture] ready (0 similar suppressed)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    ManualClock clock;
    LogCapture logs;
    RateLimitedLog log(c.level, c.prefix, kIntervalMs, clock);
    EXPECT_TRUE(log.Log("%s", "ready"));
    EXPECT_EQ(logs.Lines(), std::vector<std::string>{c.expected});
  }
}

TEST(RateLimitedLogTest, ALongMessageIsCutToTheBuffer) {
  ManualClock clock;
  LogCapture logs;
  RateLimitedLog log(LogLevel::kWarn, "[Input] ", kIntervalMs, clock);
  const std::string long_text(1000, 'x');
  EXPECT_TRUE(log.Log("%s", long_text.c_str()));
  const std::string kept(RateLimitedLog::kMessageBufferBytes - 1, 'x');
  EXPECT_EQ(logs.Lines(), std::vector<std::string>{"[WARN ] [Input] " + kept + " (0 similar suppressed)"});
}

// Threads that log at the same moment: one line, and every other call is
// counted in the next.
TEST(RateLimitedLogTest, ThreadsShareTheLimit) {
  ManualClock clock;
  LogCapture logs;
  RateLimitedLog log(LogLevel::kWarn, "", kIntervalMs, clock);
  constexpr int kThreads = 4;
  constexpr int kCalls = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log] {
      for (int i = 0; i < kCalls; ++i) log.Log("busy");
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(logs.Lines(), std::vector<std::string>{"[WARN ] busy (0 similar suppressed)"});
  clock.AdvanceMs(kIntervalMs);
  EXPECT_TRUE(log.Log("busy"));
  EXPECT_EQ(logs.Lines().back(), "[WARN ] busy (999 similar suppressed)");
}

}  // namespace
}  // namespace orvane
