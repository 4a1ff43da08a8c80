#pragma once
// Shared helpers for the unit tests of every subsystem.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/common/logger.h"
#include "host/common/platform_info.h"

// Skips a test that needs what Wine lacks, printing why. Never skips on real
// Windows or on Linux.
#define ORVANE_SKIP_UNDER_WINE(reason)                                     \
  do {                                                                     \
    if (::orvane::RunningUnderWine()) {                                    \
      std::printf("[  SKIPPED ] under Wine: %s\n", reason);                \
      GTEST_SKIP() << "under Wine: " << reason;                            \
    }                                                                      \
  } while (0)

namespace orvane::testing {

// A fresh folder under the system temporary folder, removed at the end.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Collects the logger's lines while alive (standard output stays on).
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> Lines() const;
  // Lines containing the text.
  size_t Count(const std::string& text) const;
  bool Contains(const std::string& text) const { return Count(text) > 0; }
  void Clear();

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

// Waits (in real time, bounded) until the condition holds: for work that
// happens on other threads. Time-outs under test run on a virtual clock.
template <typename Pred>
bool WaitFor(Pred pred, int limit_ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Sets an environment variable for the scope (restores the old value).
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();

 private:
  std::string name_;
  bool had_old_ = false;
  std::string old_;
};

}  // namespace orvane::testing
