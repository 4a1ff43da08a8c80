#pragma once
// A rate-limited log line for hot paths and failing devices: one line per
// interval gets through, and it says how many were swallowed before it:
//
//   RateLimitedLog warn(LogLevel::kWarn, "[Input] ", 60'000);
//   warn.Log("SendInput took %u of %zu inputs", sent, count);
//   // [WARN ] [Input] SendInput took 1 of 2 inputs (0 similar suppressed)

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/common/clock.h"
#include "host/common/logger.h"
#include "host/common/printf_check.h"
#include "host/common/rate_limiter.h"

namespace orvane {

class RateLimitedLog {
 public:
  // A formatted message keeps at most kMessageBufferBytes - 1 bytes; the rest
  // is cut.
  static constexpr size_t kMessageBufferBytes = 256;

  // Every line starts with `prefix`; the interval is measured on `clock`.
  RateLimitedLog(LogLevel level, std::string prefix, uint64_t interval_ms, IClock& clock = SystemClock());

  // "<prefix><message> (<n> similar suppressed)" when the limiter lets it
  // through; true when the line was logged. Safe from several threads.
  bool Log(const char* format, ...) ORVANE_PRINTF(2, 3);

  RateLimitedLog(const RateLimitedLog&) = delete;
  RateLimitedLog& operator=(const RateLimitedLog&) = delete;

 private:
  const LogLevel level_;
  const std::string prefix_;
  IClock& clock_;
  RateLimiter limiter_;
};

}  // namespace orvane
