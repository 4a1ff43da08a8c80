#include "host/app/single_instance.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>

#include "host/app/early_modes.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

// Counts callback calls made on the listener's thread.
class CallCounter {
 public:
  void Hit() {
    std::lock_guard<std::mutex> lock(mu_);
    ++count_;
    cv_.notify_all();
  }
  // Waits (bounded) until the count reaches n.
  bool WaitFor(int n) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return count_ >= n; });
  }
  int count() {
    std::lock_guard<std::mutex> lock(mu_);
    return count_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int count_ = 0;
};

// Virtual time whose sleeps run a hook first.
class HookClock final : public IClock {
 public:
  std::function<void()> on_sleep;
  int64_t NowUs() override { return clock_.NowUs(); }
  uint64_t TickMs() override { return clock_.TickMs(); }
  LocalTime LocalNow() override { return clock_.LocalNow(); }
  int64_t FileTimeNow() override { return clock_.FileTimeNow(); }
  void SleepMs(uint32_t ms) override {
    if (on_sleep) on_sleep();
    clock_.AdvanceMs(ms);
  }

 private:
  ManualClock clock_;
};

class SingleInstanceLinuxTest : public ::testing::Test {
 protected:
  InstanceNames Names() const { return InstanceNames{"OrvaneTestHost", dir_.path()}; }

  // Sends raw bytes over the instance socket.
  bool SendRaw(const std::string& bytes) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = (dir_.path() / "OrvaneTestHost.sock").native();
    std::memcpy(address.sun_path, path.data(), path.size());
    bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
              send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    close(fd);
    return ok;
  }

  testing::ScopedTempDir dir_;
};

TEST_F(SingleInstanceLinuxTest, FirstAcquireWinsUntilReleased) {
  SingleInstance first(Names());
  SingleInstance second(Names());
  auto probe = CreateRunningHostProbe(Names());
  EXPECT_FALSE(probe->IsHostRunning());

  EXPECT_EQ(first.Acquire(false), InstanceStatus::kOwner);
  EXPECT_TRUE(first.owned());
  EXPECT_EQ(second.Acquire(false), InstanceStatus::kAlreadyRunning);
  EXPECT_FALSE(second.owned());
  EXPECT_TRUE(probe->IsHostRunning());

  first.Release();
  EXPECT_FALSE(probe->IsHostRunning());
  EXPECT_EQ(second.Acquire(false), InstanceStatus::kOwner);
}

TEST_F(SingleInstanceLinuxTest, RelaunchedWaitsForThePredecessor) {
  // Leaves after 1.5 s of virtual time, or never.
  for (const bool predecessor_leaves : {true, false}) {
    SCOPED_TRACE(predecessor_leaves ? "predecessor leaves" : "predecessor stays");
    SingleInstance first(Names());
    ASSERT_EQ(first.Acquire(false), InstanceStatus::kOwner);
    HookClock clock;
    const uint64_t start = clock.TickMs();
    clock.on_sleep = [&] {
      if (predecessor_leaves && clock.TickMs() - start >= 1500) first.Release();
    };
    SingleInstance relaunched(Names());
    const InstanceStatus status = relaunched.Acquire(true, kRelaunchWaitMs, clock);
    EXPECT_EQ(status, predecessor_leaves ? InstanceStatus::kOwner : InstanceStatus::kWaitTimedOut);
    EXPECT_EQ(clock.TickMs() - start, predecessor_leaves ? 1600u : kRelaunchWaitMs);
  }
}

TEST_F(SingleInstanceLinuxTest, ListenerDispatchesCommands) {
  SingleInstance host(Names());
  ASSERT_EQ(host.Acquire(false), InstanceStatus::kOwner);
  CallCounter shutdowns;
  CallCounter show_settings;
  InstanceCommandListener listener(Names());
  ASSERT_TRUE(listener.Start({[&] { shutdowns.Hit(); }, [&] { show_settings.Hit(); }}));
  testing::LogCapture log;

  // A second instance hands over.
  EXPECT_TRUE(HandOverToRunningInstance(Names()));
  ASSERT_TRUE(show_settings.WaitFor(1));

  // Garbage, an over-long line and a bare connection change nothing; the
  // listener serves connections in order, so once the next command arrived
  // they have been dealt with.
  EXPECT_TRUE(SendRaw("reboot\n"));
  EXPECT_TRUE(SendRaw(std::string(100, 'x')));
  EXPECT_TRUE(SendRaw(""));
  EXPECT_TRUE(SendRaw("show-settings\r\n"));
  ASSERT_TRUE(show_settings.WaitFor(2));
  EXPECT_TRUE(log.Contains("[WARN ] [Main] Ignoring unknown instance command: reboot"));
  EXPECT_TRUE(log.Contains("[WARN ] [Main] Ignoring an over-long instance command"));
  EXPECT_EQ(shutdowns.count(), 0);

  // "--shutdown" from another process.
  auto probe = CreateRunningHostProbe(Names());
  EXPECT_TRUE(probe->SignalShutdown());
  ASSERT_TRUE(shutdowns.WaitFor(1));
  EXPECT_TRUE(log.Contains("[INFO ] [Main] Exit requested by an installer (--shutdown)"));
  EXPECT_EQ(show_settings.count(), 2);

  listener.Stop();
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "OrvaneTestHost.sock"));
  EXPECT_FALSE(HandOverToRunningInstance(Names()));
}

TEST_F(SingleInstanceLinuxTest, ShutdownModeSeesTheHostLeave) {
  SingleInstance host(Names());
  ASSERT_EQ(host.Acquire(false), InstanceStatus::kOwner);
  CallCounter shutdowns;
  InstanceCommandListener listener(Names());
  ASSERT_TRUE(listener.Start({[&] { shutdowns.Hit(); }, nullptr}));

  // The host ends when it got the request: it stops listening and unlocks.
  HookClock clock;
  clock.on_sleep = [&] {
    if (host.owned() && shutdowns.WaitFor(1)) {
      listener.Stop();
      host.Release();
    }
  };
  auto probe = CreateRunningHostProbe(Names());
  int restores = 0;
  EXPECT_EQ(RunShutdownMode(*probe, clock, [&] { ++restores; }), 0);
  EXPECT_EQ(restores, 1);
  EXPECT_EQ(shutdowns.count(), 1);
}

TEST_F(SingleInstanceLinuxTest, RestoreSpeakersModeRefusesWhileAHostRuns) {
  SingleInstance host(Names());
  ASSERT_EQ(host.Acquire(false), InstanceStatus::kOwner);
  auto probe = CreateRunningHostProbe(Names());
  int restores = 0;
  EXPECT_EQ(RunRestoreSpeakersMode(*probe, [&] { ++restores; }), kExitHostStillRunning);
  host.Release();
  EXPECT_EQ(RunRestoreSpeakersMode(*probe, [&] { ++restores; }), 0);
  EXPECT_EQ(restores, 1);
}

}  // namespace
}  // namespace orvane
