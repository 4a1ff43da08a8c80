#include "host/audio/loopback_backend.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_support.h"

namespace orvane {
namespace {

using testing::LogCapture;

constexpr AudioFormat kConverted{48000, 2, 16};

// Records the calls; each set-up answers as scripted.
struct BackendScript {
  bool process_available = true;
  bool endpoint_available = true;
  bool start_ok = true;
  bool delivering = true;
  std::vector<std::string> calls;
  PcmCallback callback;
  CaptureResultReport report;
};

class FakeBackend final : public ILoopbackBackend {
 public:
  explicit FakeBackend(BackendScript* script) : s_(script) {}
  bool SetUp(int mode, AudioFormat* format, HostResult* result) override {
    s_->calls.push_back("setup " + std::to_string(mode));
    const bool ok = mode == kLoopbackModeProcess ? s_->process_available : s_->endpoint_available;
    if (!ok) {
      *result = HostResult::Failure(kAudioCaptureErrorCode, mode == kLoopbackModeProcess ? "no process" : "no endpoint");
      return false;
    }
    *format = kConverted;
    return true;
  }
  bool StartDelivery(PcmCallback callback, CaptureResultReport report, HostResult* result) override {
    s_->calls.push_back("start");
    if (!s_->start_ok) {
      *result = HostResult::Failure(kAudioCaptureErrorCode, "Audio client start failed");
      return false;
    }
    s_->callback = std::move(callback);
    s_->report = std::move(report);
    s_->delivering = true;
    return true;
  }
  bool Delivering() const override { return s_->delivering; }
  void StopDelivery() override {
    s_->calls.push_back("stop");
    s_->report = nullptr;
  }
  void Release() override { s_->calls.push_back("release"); }

 private:
  BackendScript* s_;
};

std::string Calls(BackendScript& s) {
  std::string out;
  for (const std::string& c : s.calls) out += (out.empty() ? "" : ",") + c;
  s.calls.clear();
  return out;
}

void Ignore(const int16_t*, uint32_t, uint32_t, int64_t) {}

TEST(LoopbackCapture, InitializeTakesTheModeOrFallsBackToEndpointLoopback) {
  struct Case {
    const char* name;
    int preferred;
    bool process;
    bool endpoint;
    bool ok;
    int mode;
    const char* calls;
    size_t fallback_warnings;
    const char* result;
  };
  const Case cases[] = {
      {"process", kLoopbackModeProcess, true, true, true, kLoopbackModeProcess, "release,setup 1", 0, ""},
      {"process refused", kLoopbackModeProcess, false, true, true, kLoopbackModeEndpoint,
       "release,setup 1,release,setup 0", 1, ""},
      {"endpoint", kLoopbackModeEndpoint, true, true, true, kLoopbackModeEndpoint, "release,setup 0", 0, ""},
      {"nothing", kLoopbackModeProcess, false, false, false, kLoopbackModeEndpoint,
       "release,setup 1,release,setup 0,release", 1, "no endpoint"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    BackendScript script;
    script.process_available = c.process;
    script.endpoint_available = c.endpoint;
    LoopbackCapture capture(std::make_unique<FakeBackend>(&script));
    EXPECT_EQ(capture.Initialize(c.preferred), c.ok);
    EXPECT_EQ(Calls(script), c.calls);
    EXPECT_EQ(capture.Initialized(), c.ok);
    EXPECT_EQ(capture.Mode(), c.mode);
    EXPECT_EQ(capture.Format(), c.ok ? kConverted : AudioFormat{});
    EXPECT_EQ(log.Count("[Audio] Process loopback unavailable; using endpoint loopback"), c.fallback_warnings);
    EXPECT_EQ(capture.LastResult().ok(), c.ok);
    EXPECT_EQ(capture.LastResult().message, c.result);
    EXPECT_EQ(capture.LastResult().code, c.ok ? 0 : kAudioCaptureErrorCode);
  }
}

TEST(LoopbackCapture, StartBeforeInitializeFailsWithTheCaptureCode) {
  BackendScript script;
  LoopbackCapture capture(std::make_unique<FakeBackend>(&script));
  EXPECT_FALSE(capture.Start(Ignore));
  EXPECT_EQ(capture.LastResult().code, kAudioCaptureErrorCode);
  EXPECT_EQ(capture.LastResult().message, "Audio capture was not initialized before Start()");
  EXPECT_EQ(Calls(script), "");
}

TEST(LoopbackCapture, EveryRunAfterTheFirstGetsAFreshClientInTheModeAskedFor) {
  LogCapture log;
  BackendScript script;
  script.process_available = false;
  LoopbackCapture capture(std::make_unique<FakeBackend>(&script));
  ASSERT_TRUE(capture.Initialize(kLoopbackModeProcess));
  Calls(script);
  ASSERT_TRUE(capture.Start(Ignore));
  EXPECT_TRUE(capture.Start(Ignore)) << "a running capture takes a second Start as done";
  EXPECT_EQ(Calls(script), "start");
  capture.Stop();
  capture.Stop();
  EXPECT_EQ(Calls(script), "stop");
  EXPECT_TRUE(capture.Initialized()) << "Stop keeps the set-up";

  // Process loopback is asked for again, and refused again.
  script.process_available = true;
  ASSERT_TRUE(capture.Start(Ignore));
  EXPECT_EQ(Calls(script), "release,setup 1,start");
  EXPECT_EQ(capture.Mode(), kLoopbackModeProcess);
  EXPECT_EQ(log.Count("[Audio] Capture started"), 2u);

  capture.Reset();
  EXPECT_EQ(Calls(script), "stop,release");
  EXPECT_FALSE(capture.Initialized());
  EXPECT_FALSE(capture.Start(Ignore));
  EXPECT_EQ(capture.LastResult().message, "Audio capture was not initialized before Start()");
}

TEST(LoopbackCapture, AThreadThatEndedOnItsOwnIsJoinedAndRebuiltByTheNextStart) {
  LogCapture log;
  BackendScript script;
  LoopbackCapture capture(std::make_unique<FakeBackend>(&script));
  ASSERT_TRUE(capture.Initialize(kLoopbackModeEndpoint));
  ASSERT_TRUE(capture.Start(Ignore));
  Calls(script);

  // The device went away: the thread reports and ends.
  script.report(HostResult::Failure(3, "Audio capture GetBuffer() failed"));
  script.delivering = false;
  EXPECT_EQ(capture.LastResult().code, 3);
  ASSERT_TRUE(capture.Start(Ignore));
  EXPECT_EQ(Calls(script), "stop,release,setup 0,start");
  EXPECT_TRUE(capture.LastResult().ok());

  // A rebuild that fails leaves the capture stopped with the reason.
  capture.Stop();
  script.endpoint_available = false;
  EXPECT_FALSE(capture.Start(Ignore));
  EXPECT_EQ(capture.LastResult().message, "no endpoint");
  EXPECT_TRUE(log.Contains("[Audio] Could not set up a fresh capture client for the restart"));
  EXPECT_FALSE(capture.Initialized());
}

TEST(LoopbackCapture, AFailedStartKeepsItsReasonAndIsNotRunning) {
  BackendScript script;
  script.start_ok = false;
  LoopbackCapture capture(std::make_unique<FakeBackend>(&script));
  ASSERT_TRUE(capture.Initialize(kLoopbackModeEndpoint));
  EXPECT_FALSE(capture.Start(Ignore));
  EXPECT_EQ(capture.LastResult().message, "Audio client start failed");
  Calls(script);
  // Nothing ran: the next Start uses the same client.
  script.start_ok = true;
  EXPECT_TRUE(capture.Start(Ignore));
  EXPECT_EQ(Calls(script), "start");
}

}  // namespace
}  // namespace orvane
