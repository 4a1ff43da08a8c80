#pragma once
// Shared helpers for the unit tests of every subsystem.

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "host/app/logger.h"
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
