#pragma once
// Time sources. Every time-out and interval in the core goes through IClock so
// that waits of seconds or minutes are tested in virtual time.

#include <atomic>
#include <cstdint>
#include <mutex>

namespace orvane {

// Local calendar time, as printed in log lines and file names.
struct LocalTime {
  int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0, millisecond = 0;
};

class IClock {
 public:
  virtual ~IClock() = default;
  // Host clock: microseconds from the high-resolution counter (timestamp_us of
  // the control protocol, key epochs).
  virtual int64_t NowUs() = 0;
  // Monotonic millisecond tick (intervals, time-outs).
  virtual uint64_t TickMs() = 0;
  // Local wall-clock time.
  virtual LocalTime LocalNow() = 0;
  // Wall-clock time as 100 ns units since 1601-01-01 (file time).
  virtual int64_t FileTimeNow() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
};

// The real clocks (steady_clock is the performance counter on Windows).
IClock& SystemClock();

// Convenience wrappers over SystemClock().
int64_t HostClockUs();
uint64_t TickCountMs();

// A WASAPI capture position (IAudioCaptureClient::GetBuffer's performance-
// counter position, already converted by the audio engine to 100 ns units)
// as host-clock microseconds: position / 10. Position 0 or a buffer flagged
// with a timestamp error gives clock.NowUs() instead. The host clock is
// steady_clock, which on Windows (winpthreads' CLOCK_MONOTONIC) is
// QueryPerformanceCounter scaled to seconds, so both count from the same
// counter origin; audio and video timestamps share one time base. The
// division keeps the full 64-bit range (a multiply by 1 000 000 first would
// overflow after about 21 days of uptime).
int64_t HostClockUsFromQpcPosition(uint64_t position_100ns, bool timestamp_error,
                                   IClock& clock = SystemClock());

// Virtual time for tests: SleepMs advances the clock instead of waiting.
class ManualClock final : public IClock {
 public:
  explicit ManualClock(uint64_t start_ms = 1'000'000)
      : now_us_(static_cast<int64_t>(start_ms) * 1000), local_base_us_(static_cast<int64_t>(start_ms) * 1000) {}
  int64_t NowUs() override { return now_us_.load(); }
  uint64_t TickMs() override { return static_cast<uint64_t>(now_us_.load() / 1000); }
  LocalTime LocalNow() override;
  int64_t FileTimeNow() override;
  void SleepMs(uint32_t ms) override { AdvanceMs(ms); }

  void AdvanceMs(uint64_t ms) { now_us_ += static_cast<int64_t>(ms) * 1000; }
  void AdvanceUs(int64_t us) { now_us_ += us; }
  // The wall clock starts at this local time and moves with the tick.
  void SetLocalBase(const LocalTime& t);
  void SetFileTimeBase(int64_t file_time) { file_time_base_ = file_time; }

 private:
  std::atomic<int64_t> now_us_;
  std::mutex mu_;  // guards the wall-clock base
  LocalTime local_base_{2025, 1, 31, 12, 0, 0, 0};
  int64_t local_base_us_;
  int64_t file_time_base_ = 133'800'000'000'000'000;  // early 2025
};

// Days since 1970-01-01 for a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int year, int month, int day);
void CivilFromDays(int64_t days, int* year, int* month, int* day);

}  // namespace orvane
