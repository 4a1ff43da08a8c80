#pragma once
// The host's single log. Lines go to standard output and to a daily file in
// the data folder's "logs" folder, which rotates by date and size.
//
//   LogInfo("[TCP] Listening on port %u", port);
//
// Untrusted text (tablet names, ids, addresses from the network) goes through
// EscapeUntrusted() before it is formatted into a line.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "host/common/clock.h"
#include "host/common/printf_check.h"

namespace orvane {

enum class LogLevel : int { kDebug = 0, kInfo = 1, kWarn = 2, kError = 3 };

// "DEBUG", "INFO ", "WARN ", "ERROR".
const char* LogLevelName(LogLevel level);

// The file operations the logger needs; the real one works on the disk, tests
// use a fake to drive rotation and clean-up.
class ILogFileSystem {
 public:
  virtual ~ILogFileSystem() = default;
  // An open file; each implementation derives its own handle from it.
  struct File {
    virtual ~File() = default;
  };
  // Opens for appending, shared with other readers and writers.
  virtual File* OpenAppend(const std::filesystem::path& path) = 0;
  virtual bool Write(File* file, std::string_view bytes) = 0;
  virtual bool Flush(File* file) = 0;
  virtual void Close(File* file) = 0;
  // Current length of an open file in bytes.
  virtual uint64_t Size(File* file) = 0;
  // Rename, replacing an existing target.
  virtual bool Rename(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // Files in folder whose names start with prefix and end with suffix, with
  // their last-write time (100 ns units since 1601).
  struct Entry {
    std::filesystem::path path;
    int64_t last_write_file_time;
  };
  virtual std::vector<Entry> List(const std::filesystem::path& folder, const std::string& prefix,
                                  const std::string& suffix) = 0;
  virtual bool Remove(const std::filesystem::path& path) = 0;
  virtual bool EnsureFolder(const std::filesystem::path& folder) = 0;
};

// The disk. Never destroyed, so lines logged during process exit still work.
ILogFileSystem& RealLogFileSystem();

// Fixed limits of the log.
inline constexpr size_t kLogMessageBufferBytes = 2048;                    // a message keeps at most 2047 bytes
inline constexpr uint64_t kLogOversizeBytes = 52'428'800;                 // 50 MiB: rotate to the overflow name
inline constexpr int64_t kLogRetentionFileTime = 6'048'000'000'000;       // 7 days in 100 ns units
inline constexpr uint64_t kLogOpenRetryIntervalMs = 60'000;               // retry a failed open at most once a minute

class Logger {
 public:
  // The process-wide logger. It is never destroyed, so threads may log up to
  // the end of the process; the file is closed by Shutdown().
  static Logger& Instance();

  // Opens <folder>/<name>_<YYYYMMDD>.log; folder defaults to the data
  // folder's "logs" subfolder.
  void Open(const std::string& name);
  void Open(const std::string& name, const std::filesystem::path& folder);

  // Writes the shutdown line and closes the file; later lines reach standard
  // output only.
  void Shutdown();

  void Log(LogLevel level, const char* format, ...) ORVANE_PRINTF(3, 4);
  void VLog(LogLevel level, const char* format, va_list args) ORVANE_PRINTF(3, 0);

  // For the crash path: logs only if the logger's lock can be taken at once,
  // so a thread that crashed while holding it cannot deadlock the handler.
  void LogIfUnlocked(LogLevel level, const char* format, ...) ORVANE_PRINTF(3, 4);

  // The folder and path of the open log (empty when none is open).
  std::filesystem::path CurrentPath();

  // Test seams: the clock and file system the logger uses, standard output
  // on or off, and an observer that sees every formatted message (after the
  // level filter) with its level.
  using Observer = std::function<void(LogLevel, const std::string&)>;
  // nullptr restores the default (SystemClock(), RealLogFileSystem()). A file
  // that is open is closed (without the shutdown line) and file output is off
  // until the next Open.
  void SetEnvironmentForTest(IClock* clock, ILogFileSystem* fs);
  void SetStdoutEnabled(bool enabled);
  // Where the standard-output lines go (nullptr: stdout).
  void SetConsoleForTest(std::FILE* console);
  void SetObserver(Observer observer);

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  struct State;

 private:
  Logger();
  ~Logger() = delete;
  std::unique_ptr<State> state_;
};

// While one lives, every line this thread logs is written at DEBUG (so not
// at all): for retries whose failures the caller sums up in a line of its own.
class ScopedLogDemotion {
 public:
  ScopedLogDemotion();
  ~ScopedLogDemotion();
  ScopedLogDemotion(const ScopedLogDemotion&) = delete;
  ScopedLogDemotion& operator=(const ScopedLogDemotion&) = delete;
  static bool Active();
};

void LogDebug(const char* format, ...) ORVANE_PRINTF(1, 2);
void LogInfo(const char* format, ...) ORVANE_PRINTF(1, 2);
void LogWarn(const char* format, ...) ORVANE_PRINTF(1, 2);
void LogError(const char* format, ...) ORVANE_PRINTF(1, 2);

// Untrusted text made safe for one log line: control characters (below 0x20,
// 0x7F and U+0080..U+009F) and invalid UTF-8 bytes become "\xNN" escapes and a
// backslash becomes "\\", so a peer cannot forge or split lines.
std::string EscapeUntrusted(std::string_view text);

}  // namespace orvane
