#include "host/common/logger.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "host/common/data_folder.h"

namespace orvane {

namespace {

constexpr LogLevel kMinimumLevel = LogLevel::kInfo;
constexpr uint32_t kFlushLineCount = 32;
constexpr uint64_t kFlushIntervalMs = 1000;
// A failed overflow rename continues in name_date_N.log; this bounds the search.
constexpr int kMaxContinuationFiles = 100;

// Set while this thread runs the observer, so an observer that logs does not
// recurse into itself.
thread_local bool t_in_observer = false;

std::string TimeStamp(const LocalTime& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.millisecond);
  return buf;
}

std::string DateText(const LocalTime& t) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", t.year, t.month, t.day);
  return buf;
}

// Length of text without an incomplete UTF-8 sequence at its end (a cut in
// the middle of a character).
size_t WithoutCutCharacter(const char* text, size_t length) {
  size_t lead = length;
  size_t back = 0;
  while (lead > 0 && back < 4) {
    --lead;
    ++back;
    const auto byte = static_cast<unsigned char>(text[lead]);
    if ((byte & 0xC0) != 0x80) {
      size_t needed = 1;
      if ((byte & 0xE0) == 0xC0) needed = 2;
      else if ((byte & 0xF0) == 0xE0) needed = 3;
      else if ((byte & 0xF8) == 0xF0) needed = 4;
      return back < needed ? lead : length;
    }
  }
  return length;
}

// Formats into the message buffer: cut to 2047 bytes on a character boundary,
// trailing carriage returns and line feeds removed.
std::string FormatMessage(const char* format, va_list args) {
  char buf[kLogMessageBufferBytes];
  const int n = std::vsnprintf(buf, sizeof buf, format, args);
  if (n < 0) return std::string();
  size_t length = static_cast<size_t>(n);
  if (length >= sizeof buf) length = WithoutCutCharacter(buf, sizeof buf - 1);
  while (length > 0 && (buf[length - 1] == '\r' || buf[length - 1] == '\n')) --length;
  return std::string(buf, length);
}

struct PendingLine {
  LogLevel level;
  std::string message;
};

}  // namespace

const char* LogLevelName(LogLevel level) {
  switch (level) {
    case LogLevel::kDebug: return "DEBUG";
    case LogLevel::kInfo: return "INFO ";
    case LogLevel::kWarn: return "WARN ";
    case LogLevel::kError: return "ERROR";
  }
  return "INFO ";
}

struct Logger::State {
  // Guards everything below up to the observer.
  std::mutex mu;
  // The thread holding mu, so the crash path never waits for itself.
  std::atomic<std::thread::id> owner{};

  IClock* clock = nullptr;
  ILogFileSystem* fs = nullptr;
  ILogFileSystem::File* file = nullptr;
  std::filesystem::path folder;
  std::filesystem::path path;  // the open (or wanted) file
  std::string name;
  std::string date;
  bool enabled = false;
  bool open_failed = false;        // the last open attempt failed
  bool open_failure_warned = false;
  bool rename_failure_warned = false;
  uint64_t last_open_attempt_ms = 0;
  uint32_t lines_since_flush = 0;
  uint64_t last_flush_ms = 0;

  std::atomic<bool> stdout_enabled{true};
  std::atomic<std::FILE*> console{nullptr};

  std::mutex observer_mu;
  std::shared_ptr<const Observer> observer;

  IClock& Clock() { return clock ? *clock : SystemClock(); }
  ILogFileSystem& Fs() { return fs ? *fs : RealLogFileSystem(); }

  void WriteConsole(LogLevel level, std::string_view message);
  void NotifyObserver(LogLevel level, const std::string& message, bool may_wait);
  // Console and observer of one line.
  void Emit(LogLevel level, const std::string& message, bool may_wait) {
    WriteConsole(level, message);
    NotifyObserver(level, message, may_wait);
  }

  // Everything below runs under mu. The logger's own lines are written to the
  // file at once and collected in pending for the console and observer, which
  // the caller emits after releasing mu.
  void WriteLine(LogLevel level, const std::string& stamp, std::string_view message);
  void WriteRaw(std::string_view bytes) {
    if (file) Fs().Write(file, bytes);
  }
  void FlushNow() {
    if (!file) return;
    Fs().Flush(file);
    lines_since_flush = 0;
    last_flush_ms = Clock().TickMs();
  }
  void CloseFile() {
    if (file) Fs().Close(file);
    file = nullptr;
  }
  std::filesystem::path DayPath(const std::string& day) const { return folder / (name + "_" + day + ".log"); }
  bool OpenPath(const std::filesystem::path& target, std::vector<PendingLine>* pending);
  void EnsureFile(const LocalTime& now, std::vector<PendingLine>* pending);
  void Rotate(const LocalTime& now, bool oversize, std::vector<PendingLine>* pending);
  void OpenContinuation(std::vector<PendingLine>* pending);
  void CleanUp();
  void OwnLine(LogLevel level, const std::string& message, std::vector<PendingLine>* pending) {
    WriteLine(level, TimeStamp(Clock().LocalNow()), message);
    pending->push_back({level, message});
  }
};

void Logger::State::WriteConsole(LogLevel level, std::string_view message) {
  if (!stdout_enabled.load()) return;
  std::FILE* out = console.load();
  if (!out) out = stdout;
  // One write per line keeps lines of different threads whole in most cases.
  char line[kLogMessageBufferBytes + 16];
  const int n = std::snprintf(line, sizeof line, "[%s] %.*s\n", LogLevelName(level), static_cast<int>(message.size()),
                              message.data());
  if (n > 0) std::fwrite(line, 1, std::min(static_cast<size_t>(n), sizeof line - 1), out);
  if (level >= LogLevel::kWarn) std::fflush(out);
}

void Logger::State::NotifyObserver(LogLevel level, const std::string& message, bool may_wait) {
  if (t_in_observer) return;
  std::shared_ptr<const Observer> current;
  {
    std::unique_lock<std::mutex> lock(observer_mu, std::defer_lock);
    if (may_wait) {
      lock.lock();
    } else if (!lock.try_lock()) {
      return;
    }
    current = observer;
  }
  if (!current || !*current) return;
  t_in_observer = true;
  (*current)(level, message);
  t_in_observer = false;
}

void Logger::State::WriteLine(LogLevel level, const std::string& stamp, std::string_view message) {
  if (!file) return;
  std::string line;
  line.reserve(stamp.size() + message.size() + 12);
  line.append(stamp).append(" [").append(LogLevelName(level)).append("] ").append(message).append("\n");
  Fs().Write(file, line);
  ++lines_since_flush;
  const uint64_t now_ms = Clock().TickMs();
  if (level >= LogLevel::kInfo || last_flush_ms == 0 || lines_since_flush >= kFlushLineCount ||
      now_ms - last_flush_ms >= kFlushIntervalMs) {
    FlushNow();
  }
}

bool Logger::State::OpenPath(const std::filesystem::path& target, std::vector<PendingLine>* pending) {
  last_open_attempt_ms = Clock().TickMs();
  Fs().EnsureFolder(folder);
  file = Fs().OpenAppend(target);
  path = target;
  if (!file) {
    if (!open_failure_warned) {
      open_failure_warned = true;
      pending->push_back({LogLevel::kWarn, "[Log] Failed to open log file " + target.string() +
                                               "; lines reach the console only, retrying once a minute"});
    }
    open_failed = true;
    return false;
  }
  if (open_failed) {
    open_failed = false;
    WriteRaw("\n=== " + name + " started at " + TimeStamp(Clock().LocalNow()) + " ===\n");
    OwnLine(LogLevel::kInfo, "[Log] Log file opened after an earlier failure", pending);
  }
  return true;
}

void Logger::State::CleanUp() {
  const int64_t now = Clock().FileTimeNow();
  for (const auto& entry : Fs().List(folder, name + "_", ".log")) {
    if (entry.path == path) continue;
    if (now - entry.last_write_file_time > kLogRetentionFileTime) Fs().Remove(entry.path);  // failures ignored
  }
}

void Logger::State::OpenContinuation(std::vector<PendingLine>* pending) {
  for (int n = 2; n <= kMaxContinuationFiles; ++n) {
    const auto candidate = folder / (name + "_" + date + "_" + std::to_string(n) + ".log");
    if (!OpenPath(candidate, pending)) return;
    if (Fs().Size(file) < kLogOversizeBytes) return;
    CloseFile();
  }
  // Every continuation is full: keep writing to the day's file.
  OpenPath(DayPath(date), pending);
}

void Logger::State::Rotate(const LocalTime& now, bool oversize, std::vector<PendingLine>* pending) {
  const std::string today = DateText(now);
  WriteRaw("=== Log rotated at " + TimeStamp(now) + " ===\n");
  FlushNow();
  CloseFile();
  const std::filesystem::path old_path = path.empty() ? DayPath(today) : path;
  bool continue_numbered = false;
  if (oversize) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d_%02d%02d%02d", now.year, now.month, now.day, now.hour,
                  now.minute, now.second);
    const auto overflow = folder / (name + "_" + (date.empty() ? today : date) + "_overflow_" + stamp + ".log");
    if (!Fs().Rename(old_path, overflow)) {
      // Reopening the same name would continue the oversize file and rotate
      // again at every line: continue in a numbered file of the day instead.
      continue_numbered = date == today;
      if (!rename_failure_warned) {
        rename_failure_warned = true;
        pending->push_back({LogLevel::kWarn, "[Log] Failed to move oversize log file " + old_path.string() + " to " +
                                                 overflow.string() + "; continuing in a new file"});
      }
    }
  }
  date = today;
  if (continue_numbered) {
    OpenContinuation(pending);
  } else {
    OpenPath(DayPath(today), pending);
  }
  // The warning goes into the new file ahead of the line that caused it.
  for (const auto& line : *pending) {
    if (line.level == LogLevel::kWarn) WriteLine(line.level, TimeStamp(now), line.message);
  }
  CleanUp();
}

void Logger::State::EnsureFile(const LocalTime& now, std::vector<PendingLine>* pending) {
  const std::string today = DateText(now);
  if (!file) {
    // A failed open is retried at a date change or once a minute.
    if (date == today && Clock().TickMs() - last_open_attempt_ms < kLogOpenRetryIntervalMs) return;
    const bool new_day = date != today;
    date = today;
    if (OpenPath(DayPath(today), pending) && new_day) CleanUp();
    return;
  }
  const bool oversize = Fs().Size(file) >= kLogOversizeBytes;
  if (date == today && !oversize) return;
  Rotate(now, oversize, pending);
}

Logger::Logger() : state_(std::make_unique<State>()) {}

Logger& Logger::Instance() {
  // Never destroyed: threads may log until the process ends.
  static Logger* logger = new Logger();
  return *logger;
}

void Logger::Open(const std::string& name) {
  const auto folder = DataFolder();
  Open(name, folder ? *folder / "logs" : std::filesystem::path("."));
}

void Logger::Open(const std::string& name, const std::filesystem::path& folder) {
  std::vector<PendingLine> pending;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->owner.store(std::this_thread::get_id());
    State& s = *state_;
    s.CloseFile();
    s.name = name;
    s.folder = folder;
    const LocalTime now = s.Clock().LocalNow();
    s.date = DateText(now);
    s.open_failed = false;
    s.open_failure_warned = false;
    s.rename_failure_warned = false;
    s.lines_since_flush = 0;
    s.last_flush_ms = 0;
    s.enabled = true;  // also when the open fails: lines retry it
    if (s.OpenPath(s.DayPath(s.date), &pending)) {
      s.WriteRaw("\n=== " + name + " started at " + TimeStamp(now) + " ===\n");
      s.FlushNow();
    }
    s.CleanUp();
    s.owner.store(std::thread::id());
  }
  for (const auto& line : pending) state_->Emit(line.level, line.message, true);
}

void Logger::Shutdown() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->owner.store(std::this_thread::get_id());
  State& s = *state_;
  if (s.file) {
    s.WriteRaw("=== Shutdown at " + TimeStamp(s.Clock().LocalNow()) + " ===\n");
    s.FlushNow();
    s.CloseFile();
  }
  s.enabled = false;
  s.path.clear();
  s.owner.store(std::thread::id());
}

void Logger::Log(LogLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  VLog(level, format, args);
  va_end(args);
}

namespace {
thread_local int t_demotions = 0;
}  // namespace

ScopedLogDemotion::ScopedLogDemotion() { ++t_demotions; }
ScopedLogDemotion::~ScopedLogDemotion() { --t_demotions; }
bool ScopedLogDemotion::Active() { return t_demotions > 0; }

void Logger::VLog(LogLevel level, const char* format, va_list args) {
  if (t_demotions > 0) level = LogLevel::kDebug;
  if (level < kMinimumLevel) return;
  const std::string message = FormatMessage(format, args);
  state_->Emit(level, message, true);
  std::vector<PendingLine> pending;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->owner.store(std::this_thread::get_id());
    State& s = *state_;
    if (s.enabled) {
      const LocalTime now = s.Clock().LocalNow();
      s.EnsureFile(now, &pending);
      s.WriteLine(level, TimeStamp(now), message);
    }
    s.owner.store(std::thread::id());
  }
  for (const auto& line : pending) state_->Emit(line.level, line.message, true);
}

void Logger::LogIfUnlocked(LogLevel level, const char* format, ...) {
  if (level < kMinimumLevel) return;
  va_list args;
  va_start(args, format);
  const std::string message = FormatMessage(format, args);
  va_end(args);
  state_->Emit(level, message, false);
  // The thread that holds the lock may be the one that crashed: never wait,
  // and never try a lock this thread already holds.
  if (state_->owner.load() == std::this_thread::get_id()) return;
  std::unique_lock<std::mutex> lock(state_->mu, std::try_to_lock);
  if (!lock.owns_lock()) return;
  State& s = *state_;
  if (s.enabled && s.file) s.WriteLine(level, TimeStamp(s.Clock().LocalNow()), message);
}

std::filesystem::path Logger::CurrentPath() {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->file ? state_->path : std::filesystem::path();
}

void Logger::SetEnvironmentForTest(IClock* clock, ILogFileSystem* fs) {
  std::lock_guard<std::mutex> lock(state_->mu);
  State& s = *state_;
  s.CloseFile();
  s.enabled = false;
  s.path.clear();
  s.clock = clock;
  s.fs = fs;
}

void Logger::SetStdoutEnabled(bool enabled) { state_->stdout_enabled.store(enabled); }

void Logger::SetConsoleForTest(std::FILE* console) { state_->console.store(console); }

void Logger::SetObserver(Observer observer) {
  auto next = observer ? std::make_shared<const Observer>(std::move(observer)) : nullptr;
  std::lock_guard<std::mutex> lock(state_->observer_mu);
  state_->observer = std::move(next);
}

#define ORVANE_LOG_FUNCTION(function, level)      \
  void function(const char* format, ...) {        \
    va_list args;                                 \
    va_start(args, format);                       \
    Logger::Instance().VLog(level, format, args); \
    va_end(args);                                 \
  }
ORVANE_LOG_FUNCTION(LogDebug, LogLevel::kDebug)
ORVANE_LOG_FUNCTION(LogInfo, LogLevel::kInfo)
ORVANE_LOG_FUNCTION(LogWarn, LogLevel::kWarn)
ORVANE_LOG_FUNCTION(LogError, LogLevel::kError)
#undef ORVANE_LOG_FUNCTION

namespace {

// Length of the valid UTF-8 sequence at text[i], or 0.
size_t ValidSequenceLength(std::string_view text, size_t i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  size_t length = 0;
  uint32_t code = 0;
  uint32_t min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2, code = b0 & 0x1Fu, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3, code = b0 & 0x0Fu, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4, code = b0 & 0x07u, min = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    code = (code << 6) | (b & 0x3Fu);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  if (code >= 0x80 && code <= 0x9F) return 0;  // C1 controls are escaped byte by byte
  return length;
}

void AppendEscape(std::string* out, unsigned char byte) {
  static const char kHex[] = "0123456789ABCDEF";
  out->append("\\x");
  out->push_back(kHex[byte >> 4]);
  out->push_back(kHex[byte & 0x0F]);
}

}  // namespace

std::string EscapeUntrusted(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      if (byte < 0x20 || byte == 0x7F) {
        AppendEscape(&out, byte);
      } else if (byte == '\\') {
        out.append("\\\\");
      } else {
        out.push_back(static_cast<char>(byte));
      }
      ++i;
      continue;
    }
    const size_t length = ValidSequenceLength(text, i);
    if (length == 0) {
      AppendEscape(&out, byte);
      ++i;
      continue;
    }
    out.append(text.substr(i, length));
    i += length;
  }
  return out;
}

}  // namespace orvane
