#include "tests/support/test_support.h"

#include <atomic>
#include <cstdlib>
#include <random>

#include "host/common/clock.h"

namespace orvane::testing {

ScopedTempDir::ScopedTempDir() {
  static std::atomic<int> counter{0};
  std::random_device rd;
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = "orvane-test-" + std::to_string(rd()) + "-" + std::to_string(counter++);
    std::error_code ec;
    if (std::filesystem::create_directory(base / name, ec)) {
      path_ = base / name;
      return;
    }
  }
  ADD_FAILURE() << "could not create a temporary folder";
}

ScopedTempDir::~ScopedTempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

LogCapture::LogCapture() {
  Logger::Instance().SetObserver([this](LogLevel level, const std::string& message) {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.push_back(std::string("[") + LogLevelName(level) + "] " + message);
  });
}

LogCapture::~LogCapture() { Logger::Instance().SetObserver(nullptr); }

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

size_t LogCapture::Count(const std::string& text) const {
  std::lock_guard<std::mutex> lock(mu_);
  size_t n = 0;
  for (const auto& line : lines_) n += line.find(text) != std::string::npos;
  return n;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.clear();
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  if (const char* old = std::getenv(name)) {
    had_old_ = true;
    old_ = old;
  }
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

ScopedEnv::~ScopedEnv() {
#ifdef _WIN32
  _putenv_s(name_.c_str(), had_old_ ? old_.c_str() : "");
#else
  if (had_old_) setenv(name_.c_str(), old_.c_str(), 1);
  else unsetenv(name_.c_str());
#endif
}

}  // namespace orvane::testing
