#include "host/common/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace orvane {

namespace {

class RealClock final : public IClock {
 public:
  int64_t NowUs() override {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  uint64_t TickMs() override {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  }
  LocalTime LocalNow() override {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &secs);
#else
    localtime_r(&secs, &tm);
#endif
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                     static_cast<int>(ms < 0 ? 0 : ms)};
  }
  int64_t FileTimeNow() override {
    // 1601-01-01 to 1970-01-01 is 11 644 473 600 s.
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    return us * 10 + 116'444'736'000'000'000LL;
  }
  void SleepMs(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

}  // namespace

IClock& SystemClock() {
  static RealClock clock;  // trivially destructible state: safe during static destruction
  return clock;
}

int64_t HostClockUs() { return SystemClock().NowUs(); }
uint64_t TickCountMs() { return SystemClock().TickMs(); }

int64_t HostClockUsFromQpcPosition(uint64_t position_100ns, bool timestamp_error, IClock& clock) {
  if (position_100ns == 0 || timestamp_error) return clock.NowUs();
  return static_cast<int64_t>(position_100ns / 10);
}

int64_t DaysFromCivil(int year, int month, int day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yoe = year - era * 400;
  const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int* year, int* month, int* day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = static_cast<int>(yoe + era * 400 + (m <= 2));
  *month = m;
  *day = d;
}

LocalTime ManualClock::LocalNow() {
  std::lock_guard<std::mutex> lock(mu_);
  const int64_t elapsed_ms = (now_us_.load() - local_base_us_) / 1000;
  int64_t total_ms = ((local_base_.hour * 60 + local_base_.minute) * 60 + local_base_.second) * 1000LL +
                     local_base_.millisecond + elapsed_ms;
  int64_t days = DaysFromCivil(local_base_.year, local_base_.month, local_base_.day);
  days += total_ms / 86'400'000;
  total_ms %= 86'400'000;
  LocalTime t;
  CivilFromDays(days, &t.year, &t.month, &t.day);
  t.millisecond = static_cast<int>(total_ms % 1000);
  t.second = static_cast<int>(total_ms / 1000 % 60);
  t.minute = static_cast<int>(total_ms / 60'000 % 60);
  t.hour = static_cast<int>(total_ms / 3'600'000);
  return t;
}

int64_t ManualClock::FileTimeNow() {
  std::lock_guard<std::mutex> lock(mu_);
  return file_time_base_ + (now_us_.load() - local_base_us_) * 10;
}

void ManualClock::SetLocalBase(const LocalTime& t) {
  std::lock_guard<std::mutex> lock(mu_);
  local_base_ = t;
  // Keep the file time moving from the same point.
  file_time_base_ += (now_us_.load() - local_base_us_) * 10;
  local_base_us_ = now_us_.load();
}

}  // namespace orvane
