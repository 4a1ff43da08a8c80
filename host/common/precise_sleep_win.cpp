#include "host/common/precise_sleep.h"

#include <windows.h>

#include <timeapi.h>

#include "host/common/logger.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace orvane {

namespace {

// Far beyond any pacing sleep; keeps the 100 ns due time in range.
constexpr int64_t kMaxSleepUs = int64_t{24} * 3600 * 1'000'000;

enum class Method { kHighResolutionTimer, kTimer, kSleep };

// Which kind of timer this system gives, decided once per process.
Method ProbeMethod() {
  static const Method method = [] {
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (timer != nullptr) {
      CloseHandle(timer);
      return Method::kHighResolutionTimer;
    }
    timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    if (timer != nullptr) {
      CloseHandle(timer);
      return Method::kTimer;
    }
    return Method::kSleep;
  }();
  return method;
}

// An ordinary waitable timer fires on the system timer's tick (15.6 ms by
// default); while a thread uses one, it holds the 1 ms timer resolution.
// Every successful timeBeginPeriod(1) is matched by one timeEndPeriod(1).
class TimerResolution {
 public:
  TimerResolution() = default;
  TimerResolution(const TimerResolution&) = delete;
  TimerResolution& operator=(const TimerResolution&) = delete;
  ~TimerResolution() {
    if (!held_) return;
    const MMRESULT result = timeEndPeriod(1);
    if (result != TIMERR_NOERROR) {
      LogWarn("[Timer] timeEndPeriod(1) failed (%u)", static_cast<unsigned>(result));
    } else {
      LogDebug("[Timer] System timer resolution released");
    }
  }

  void Acquire() {
    if (held_) return;
    const MMRESULT result = timeBeginPeriod(1);
    if (result != TIMERR_NOERROR) {
      LogWarn("[Timer] timeBeginPeriod(1) failed (%u); waits follow the default timer tick",
              static_cast<unsigned>(result));
      return;
    }
    held_ = true;
    LogDebug("[Timer] System timer resolution raised to 1 ms");
  }

 private:
  bool held_ = false;
};

// One timer per thread: a waitable timer set from two threads at once would
// wake only the one that set it last.
class ThreadTimer {
 public:
  ThreadTimer() = default;
  ThreadTimer(const ThreadTimer&) = delete;
  ThreadTimer& operator=(const ThreadTimer&) = delete;
  ~ThreadTimer() {
    // The timer goes first; the resolution it relied on is released after.
    if (timer_ != nullptr) CloseHandle(timer_);
  }

  // Null when no timer can be had on this thread.
  HANDLE Get() {
    if (!tried_) {
      tried_ = true;
      const Method method = ProbeMethod();
      if (method != Method::kSleep) {
        const DWORD flags = method == Method::kHighResolutionTimer ? CREATE_WAITABLE_TIMER_HIGH_RESOLUTION : 0;
        timer_ = CreateWaitableTimerExW(nullptr, nullptr, flags, TIMER_ALL_ACCESS);
        if (timer_ != nullptr && method == Method::kTimer) resolution_.Acquire();
      }
    }
    return timer_;
  }

 private:
  TimerResolution resolution_;  // declared first: destroyed after the timer
  HANDLE timer_ = nullptr;
  bool tried_ = false;
};

class WaitableTimerSleeper final : public IPreciseSleeper {
 public:
  void SleepUs(int64_t us) override {
    if (us <= 0) return;
    if (us > kMaxSleepUs) us = kMaxSleepUs;
    thread_local ThreadTimer timer;
    if (HANDLE handle = timer.Get(); handle != nullptr) {
      LARGE_INTEGER due;
      due.QuadPart = -us * 10;  // relative, in 100 ns units
      // The wait is bounded too: a timer that never fires must not hang the
      // sending thread.
      const DWORD bound_ms = static_cast<DWORD>(us / 1000 + 1000);
      if (SetWaitableTimer(handle, &due, 0, nullptr, nullptr, FALSE) &&
          WaitForSingleObject(handle, bound_ms) == WAIT_OBJECT_0) {
        return;
      }
    }
    // Coarse, but never shorter than asked.
    Sleep(static_cast<DWORD>((us + 999) / 1000));
  }
};

}  // namespace

IPreciseSleeper& SystemPreciseSleeper() {
  static WaitableTimerSleeper sleeper;  // stateless: safe during static destruction
  return sleeper;
}

const char* PreciseSleepMethod() {
  switch (ProbeMethod()) {
    case Method::kHighResolutionTimer: return "high-resolution waitable timer";
    case Method::kTimer: return "waitable timer";
    case Method::kSleep: break;
  }
  return "Sleep";
}

}  // namespace orvane
