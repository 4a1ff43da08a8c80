#include "host/app/early_modes.h"

#include <gtest/gtest.h>

#include <optional>

namespace orvane {
namespace {

// A host that leaves a given time after it was signalled (or never).
class FakeProbe final : public IRunningHostProbe {
 public:
  FakeProbe(IClock& clock, bool running, std::optional<uint64_t> exits_after_signal_ms)
      : clock_(clock), running_(running), exits_after_ms_(exits_after_signal_ms) {}

  bool SignalShutdown() override {
    ++signals;
    if (!running_) return false;
    signalled_at_ = clock_.TickMs();
    return true;
  }
  bool IsHostRunning() override {
    ++probes;
    if (!running_) return false;
    if (signalled_at_ && exits_after_ms_ && clock_.TickMs() - *signalled_at_ >= *exits_after_ms_) running_ = false;
    return running_;
  }

  int signals = 0;
  int probes = 0;

 private:
  IClock& clock_;
  bool running_;
  std::optional<uint64_t> exits_after_ms_;
  std::optional<uint64_t> signalled_at_;
};

struct ShutdownCase {
  const char* name;
  bool running;
  std::optional<uint64_t> exits_after_ms;
  int expected_code;
  bool expect_restore;
  uint64_t expected_elapsed_ms;
};

TEST(EarlyModesTest, ShutdownModeWaitsForTheHostToLeave) {
  const ShutdownCase cases[] = {
      {"no host", false, std::nullopt, 0, true, 0},
      {"host exits after 1.2 s", true, 1200, 0, true, 1200},
      {"host never exits", true, std::nullopt, kExitHostStillRunning, false, kShutdownWaitMs},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ManualClock clock;
    FakeProbe probe(clock, c.running, c.exits_after_ms);
    int restores = 0;
    const uint64_t start = clock.TickMs();
    EXPECT_EQ(RunShutdownMode(probe, clock, [&] { ++restores; }), c.expected_code);
    EXPECT_EQ(probe.signals, 1);
    EXPECT_EQ(restores, c.expect_restore ? 1 : 0);
    EXPECT_EQ(clock.TickMs() - start, c.expected_elapsed_ms);
  }
}

TEST(EarlyModesTest, ShutdownModeChecksEvery100Ms) {
  ManualClock clock;
  FakeProbe probe(clock, true, std::nullopt);
  RunShutdownMode(probe, clock, nullptr);
  // One check at 0 ms and one after each of the fifty 100 ms steps.
  EXPECT_EQ(probe.probes, 51);
}

TEST(EarlyModesTest, RestoreSpeakersModeRestoresOnlyWithoutAHost) {
  for (bool running : {false, true}) {
    SCOPED_TRACE(running ? "host running" : "no host");
    ManualClock clock;
    FakeProbe probe(clock, running, std::nullopt);
    int restores = 0;
    EXPECT_EQ(RunRestoreSpeakersMode(probe, [&] { ++restores; }), running ? kExitHostStillRunning : 0);
    EXPECT_EQ(restores, running ? 0 : 1);
    EXPECT_EQ(probe.signals, 0);
  }
}

}  // namespace
}  // namespace orvane
