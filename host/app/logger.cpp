// Temporary minimal logger (replaced by the full implementation).
#include "host/app/logger.h"

#include <cstdio>

namespace orvane {

struct Logger::State {
  std::mutex mu;
  Observer observer;
  bool stdout_enabled = true;
};

const char* LogLevelName(LogLevel level) {
  switch (level) {
    case LogLevel::kDebug: return "DEBUG";
    case LogLevel::kInfo: return "INFO ";
    case LogLevel::kWarn: return "WARN ";
    case LogLevel::kError: return "ERROR";
  }
  return "INFO ";
}

Logger::Logger() : state_(new State) {}
Logger& Logger::Instance() {
  static Logger* logger = new Logger();
  return *logger;
}
void Logger::Open(const std::string&) {}
void Logger::Open(const std::string&, const std::filesystem::path&) {}
void Logger::Shutdown() {}
void Logger::Log(LogLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  VLog(level, format, args);
  va_end(args);
}
void Logger::VLog(LogLevel level, const char* format, va_list args) {
  if (level < LogLevel::kInfo) return;
  char buf[2048];
  std::vsnprintf(buf, sizeof buf, format, args);
  std::lock_guard<std::mutex> lock(state_->mu);
  if (state_->stdout_enabled) std::printf("[%s] %s\n", LogLevelName(level), buf);
  if (state_->observer) state_->observer(level, buf);
}
void Logger::LogIfUnlocked(LogLevel, const char*, ...) {}
std::filesystem::path Logger::CurrentPath() { return {}; }
void Logger::SetEnvironmentForTest(IClock*, ILogFileSystem*) {}
void Logger::SetStdoutEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->stdout_enabled = enabled;
}
void Logger::SetObserver(Observer observer) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->observer = std::move(observer);
}

#define ORVANE_LOG_FN(fn, level)        \
  void fn(const char* format, ...) {    \
    va_list args;                       \
    va_start(args, format);             \
    Logger::Instance().VLog(level, format, args); \
    va_end(args);                       \
  }
ORVANE_LOG_FN(LogDebug, LogLevel::kDebug)
ORVANE_LOG_FN(LogInfo, LogLevel::kInfo)
ORVANE_LOG_FN(LogWarn, LogLevel::kWarn)
ORVANE_LOG_FN(LogError, LogLevel::kError)

std::string EscapeUntrusted(std::string_view text) { return std::string(text); }

}  // namespace orvane
