#include "host/common/limited_log.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

namespace orvane {

RateLimitedLog::RateLimitedLog(LogLevel level, std::string prefix, uint64_t interval_ms, IClock& clock)
    : level_(level), prefix_(std::move(prefix)), clock_(clock), limiter_(interval_ms) {}

bool RateLimitedLog::Log(const char* format, ...) {
  uint64_t suppressed = 0;
  if (!limiter_.Allow(clock_.TickMs(), &suppressed)) return false;
  char text[kMessageBufferBytes];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (n < 0) text[0] = '\0';
  Logger::Instance().Log(level_, "%s%s (%llu similar suppressed)", prefix_.c_str(), text,
                         static_cast<unsigned long long>(suppressed));
  return true;
}

}  // namespace orvane
