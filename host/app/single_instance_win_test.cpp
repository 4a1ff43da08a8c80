#include "host/app/single_instance.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "host/app/early_modes.h"
#include "host/common/win_text.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

// Names of this test alone: the Wine prefix (and its wineserver) may be
// shared with other test runs.
InstanceNames UniqueNames() {
  static std::atomic<int> counter{0};
  const std::string suffix = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
  InstanceNames names;
  names.base = "OrvaneTestHost-" + suffix;
  names.tray_window_class = "OrvaneTestTrayWnd-" + suffix;
  return names;
}

class Flag {
 public:
  void Set() {
    std::lock_guard<std::mutex> lock(mu_);
    set_ = true;
    cv_.notify_all();
  }
  // Bounded wait for an event on another thread.
  bool Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return set_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool set_ = false;
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

// Acquires on a thread of its own (mutex ownership belongs to a thread),
// releases there and reports the status.
InstanceStatus AcquireOnOtherThread(const InstanceNames& names, bool relaunched, uint32_t wait_ms) {
  InstanceStatus status = InstanceStatus::kFailed;
  std::thread([&] {
    SingleInstance instance(names);
    status = instance.Acquire(relaunched, wait_ms);
  }).join();
  return status;
}

TEST(SingleInstanceWinTest, FirstAcquireWinsUntilReleased) {
  const InstanceNames names = UniqueNames();
  auto probe = CreateRunningHostProbe(names);
  EXPECT_FALSE(probe->IsHostRunning());

  SingleInstance first(names);
  ASSERT_EQ(first.Acquire(false), InstanceStatus::kOwner);
  EXPECT_TRUE(probe->IsHostRunning());
  SingleInstance second(names);
  EXPECT_EQ(second.Acquire(false), InstanceStatus::kAlreadyRunning);
  EXPECT_FALSE(second.owned());

  first.Release();
  EXPECT_FALSE(probe->IsHostRunning());
  EXPECT_EQ(second.Acquire(false), InstanceStatus::kOwner);
}

TEST(SingleInstanceWinTest, RelaunchedWaitTimesOutWhileThePredecessorHoldsIt) {
  const InstanceNames names = UniqueNames();
  SingleInstance first(names);
  ASSERT_EQ(first.Acquire(false), InstanceStatus::kOwner);
  // A zero wait: the time-out path without waiting in real time.
  EXPECT_EQ(AcquireOnOtherThread(names, true, 0), InstanceStatus::kWaitTimedOut);
  EXPECT_EQ(AcquireOnOtherThread(names, false, 0), InstanceStatus::kAlreadyRunning);
}

TEST(SingleInstanceWinTest, RelaunchedWaitSucceedsWhenThePredecessorReleases) {
  const InstanceNames names = UniqueNames();
  SingleInstance first(names);
  ASSERT_EQ(first.Acquire(false), InstanceStatus::kOwner);
  // Keeps the mutex object alive whatever the order of the two threads, so
  // the relaunched instance always finds it existing and waits on it.
  HANDLE keep = OpenMutexW(SYNCHRONIZE, FALSE, (L"Local\\" + ToWide(names.base)).c_str());
  ASSERT_NE(keep, nullptr);

  InstanceStatus status = InstanceStatus::kFailed;
  std::thread relaunched([&] {
    SingleInstance instance(names);
    status = instance.Acquire(true, kRelaunchWaitMs);
  });
  first.Release();
  relaunched.join();
  CloseHandle(keep);
  EXPECT_EQ(status, InstanceStatus::kOwner);
}

TEST(SingleInstanceWinTest, AbandonedMutexPassesToTheRelaunchedInstance) {
  const InstanceNames names = UniqueNames();
  // The predecessor's thread ends without releasing, as when its process
  // is ended after a console close.
  SingleInstance predecessor(names);
  std::thread([&] { ASSERT_EQ(predecessor.Acquire(false), InstanceStatus::kOwner); }).join();
  EXPECT_EQ(AcquireOnOtherThread(names, true, kRelaunchWaitMs), InstanceStatus::kOwner);
}

TEST(SingleInstanceWinTest, ShutdownEventReachesTheListener) {
  const InstanceNames names = UniqueNames();
  auto probe = CreateRunningHostProbe(names);
  EXPECT_FALSE(probe->SignalShutdown());  // no host: nothing to signal

  testing::LogCapture log;
  Flag called;
  InstanceCommandListener listener(names);
  ASSERT_TRUE(listener.Start({[&] { called.Set(); }, nullptr}));
  EXPECT_TRUE(probe->IsHostRunning());  // the event alone marks a host
  EXPECT_TRUE(probe->SignalShutdown());
  ASSERT_TRUE(called.Wait());
  listener.Stop();
  EXPECT_TRUE(log.Contains("[INFO ] [Main] Exit requested by an installer (--shutdown)"));
  EXPECT_FALSE(probe->IsHostRunning());
}

TEST(SingleInstanceWinTest, ShutdownModeSeesTheHostLeave) {
  const InstanceNames names = UniqueNames();
  SingleInstance host(names);
  ASSERT_EQ(host.Acquire(false), InstanceStatus::kOwner);
  Flag requested;
  InstanceCommandListener listener(names);
  ASSERT_TRUE(listener.Start({[&] { requested.Set(); }, nullptr}));

  // The host ends once it got the request (same thread as its Acquire).
  HookClock clock;
  clock.on_sleep = [&] {
    if (host.owned() && requested.Wait()) {
      listener.Stop();
      host.Release();
    }
  };
  auto probe = CreateRunningHostProbe(names);
  int restores = 0;
  EXPECT_EQ(RunShutdownMode(*probe, clock, [&] { ++restores; }), 0);
  EXPECT_EQ(restores, 1);
}

TEST(SingleInstanceWinTest, ShutdownModeGivesUpOnAHostThatStays) {
  const InstanceNames names = UniqueNames();
  SingleInstance host(names);
  ASSERT_EQ(host.Acquire(false), InstanceStatus::kOwner);
  ManualClock clock;
  auto probe = CreateRunningHostProbe(names);
  int restores = 0;
  const uint64_t start = clock.TickMs();
  EXPECT_EQ(RunShutdownMode(*probe, clock, [&] { ++restores; }), kExitHostStillRunning);
  EXPECT_EQ(clock.TickMs() - start, kShutdownWaitMs);
  EXPECT_EQ(restores, 0);
}

// A stand-in for the tray: a message-only window of the tray's class on a
// thread of its own, which reports the show-settings message.
class FakeTray {
 public:
  explicit FakeTray(std::string window_class) : class_name_(ToWide(window_class)) {
    thread_ = std::thread([this] { Run(); });
    created_.Wait();
  }
  ~FakeTray() {
    if (window_ != nullptr) PostMessageW(window_, WM_CLOSE, 0, 0);
    thread_.join();
  }
  HWND window() const { return window_; }
  Flag show_settings;

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<FakeTray*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self != nullptr && message == self->show_message_ && wparam == 0 && lparam == 0) {
      self->show_settings.Set();
      return 0;
    }
    if (message == WM_CLOSE) {
      DestroyWindow(hwnd);
      return 0;
    }
    if (message == WM_DESTROY) {
      PostQuitMessage(0);
      return 0;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }

  void Run() {
    const std::wstring& class_name = class_name_;
    show_message_ = RegisterWindowMessageW(ToWide(kShowSettingsMessageName).c_str());
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = class_name.c_str();
    RegisterClassExW(&wc);
    window_ = CreateWindowExW(0, class_name.c_str(), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    if (window_ != nullptr) SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    created_.Set();
    if (window_ == nullptr) return;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    UnregisterClassW(class_name.c_str(), wc.hInstance);
  }

  std::wstring class_name_;
  std::thread thread_;
  Flag created_;
  HWND window_ = nullptr;
  UINT show_message_ = 0;
};

TEST(SingleInstanceWinTest, HandOverPostsShowSettingsToTheTray) {
  const InstanceNames names = UniqueNames();
  EXPECT_FALSE(HandOverToRunningInstance(names));  // no tray window yet
  FakeTray tray(names.tray_window_class);
  ASSERT_NE(tray.window(), nullptr);
  EXPECT_TRUE(HandOverToRunningInstance(names));
  EXPECT_TRUE(tray.show_settings.Wait());
}

}  // namespace
}  // namespace orvane
