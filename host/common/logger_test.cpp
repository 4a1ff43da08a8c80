#include "host/common/logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <thread>

#include "host/common/file_io.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

constexpr uint64_t kDayMs = 86'400'000;
constexpr int64_t kDayFileTime = 864'000'000'000;  // one day in 100 ns units

std::string Key(const std::filesystem::path& p) { return p.generic_string(); }

// In-memory files; the size of a file can be inflated without storing bytes.
class FakeLogFs final : public ILogFileSystem {
 public:
  explicit FakeLogFs(IClock* clock) : clock_(clock) {}

  struct Handle final : File {
    std::string key;
  };

  File* OpenAppend(const std::filesystem::path& path) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++opens;
    if (fail_opens) return nullptr;
    auto& f = files_[Key(path)];
    if (f.mtime == 0) f.mtime = clock_->FileTimeNow();
    auto* h = new Handle;
    h->key = Key(path);
    return h;
  }
  bool Write(File* file, std::string_view bytes) override {
    if (write_hook) write_hook();
    std::lock_guard<std::mutex> lock(mu_);
    auto& f = files_[static_cast<Handle*>(file)->key];
    f.text.append(bytes);
    f.mtime = clock_->FileTimeNow();
    return true;
  }
  bool Flush(File*) override {
    ++flushes;
    return true;
  }
  void Close(File* file) override {
    ++closes;
    delete static_cast<Handle*>(file);
  }
  uint64_t Size(File* file) override {
    std::lock_guard<std::mutex> lock(mu_);
    const auto& f = files_[static_cast<Handle*>(file)->key];
    return f.text.size() + f.extra;
  }
  bool Rename(const std::filesystem::path& from, const std::filesystem::path& to) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++renames;
    if (fail_renames || !files_.count(Key(from))) return false;
    files_[Key(to)] = files_[Key(from)];
    files_.erase(Key(from));
    return true;
  }
  std::vector<Entry> List(const std::filesystem::path& folder, const std::string& prefix,
                          const std::string& suffix) override {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<Entry> out;
    for (const auto& [key, f] : files_) {
      const std::filesystem::path p(key);
      const std::string name = p.filename().string();
      if (Key(p.parent_path()) != Key(folder) || name.size() < prefix.size() + suffix.size()) continue;
      if (name.rfind(prefix, 0) != 0 || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
      out.push_back({p, f.mtime});
    }
    return out;
  }
  bool Remove(const std::filesystem::path& path) override {
    std::lock_guard<std::mutex> lock(mu_);
    return files_.erase(Key(path)) > 0;
  }
  bool EnsureFolder(const std::filesystem::path&) override { return true; }

  // Test helpers.
  void Add(const std::string& key, int64_t mtime, uint64_t size = 0) {
    std::lock_guard<std::mutex> lock(mu_);
    files_[key] = Stored{"", size, mtime};
  }
  void SetSize(const std::string& key, uint64_t size) {
    std::lock_guard<std::mutex> lock(mu_);
    auto& f = files_[key];
    f.extra = size - f.text.size();
  }
  bool Exists(const std::string& key) {
    std::lock_guard<std::mutex> lock(mu_);
    return files_.count(key) > 0;
  }
  std::string Text(const std::string& key) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = files_.find(key);
    return it == files_.end() ? std::string() : it->second.text;
  }

  std::atomic<int> opens{0}, flushes{0}, closes{0}, renames{0};
  bool fail_opens = false;
  bool fail_renames = false;
  std::function<void()> write_hook;

 private:
  struct Stored {
    std::string text;
    uint64_t extra = 0;
    int64_t mtime = 0;
  };
  IClock* clock_;
  std::mutex mu_;
  std::map<std::string, Stored> files_;
};

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

size_t CountOf(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
  return n;
}

class LoggerTest : public ::testing::Test {
 protected:
  static constexpr const char* kToday = "logs/orvane_20250131.log";

  void SetUp() override { Fresh({2025, 1, 31, 12, 0, 0, 0}); }
  void TearDown() override {
    log().Shutdown();
    log().SetEnvironmentForTest(nullptr, nullptr);
  }
  // A new empty file system and the clock at start (also between table rows).
  void Fresh(const LocalTime& start) {
    log().Shutdown();
    log().SetEnvironmentForTest(nullptr, nullptr);  // closes with the file system that opened
    fs_ = std::make_unique<FakeLogFs>(&clock_);
    clock_.SetLocalBase(start);
    log().SetEnvironmentForTest(&clock_, fs_.get());
    capture_.Clear();
  }
  static Logger& log() { return Logger::Instance(); }
  void OpenLog() { log().Open("orvane", "logs"); }

  ManualClock clock_;
  std::unique_ptr<FakeLogFs> fs_;
  testing::LogCapture capture_;
};

TEST(LoggerLevelTest, NamesAreFiveCharacters) {
  const struct {
    LogLevel level;
    const char* name;
  } cases[] = {{LogLevel::kDebug, "DEBUG"}, {LogLevel::kInfo, "INFO "}, {LogLevel::kWarn, "WARN "},
               {LogLevel::kError, "ERROR"}};
  for (const auto& c : cases) EXPECT_STREQ(LogLevelName(c.level), c.name);
}

TEST_F(LoggerTest, OpenWritesHeaderThenTimeStampedLines) {
  OpenLog();
  EXPECT_EQ(Key(log().CurrentPath()), kToday);
  LogInfo("[Main] hello %d", 5);
  clock_.AdvanceMs(1234);
  LogWarn("[TCP] slow");
  LogError("[Crash] bad");
  EXPECT_EQ(fs_->Text(kToday),
            "\n=== orvane started at 2025-01-31 12:00:00.000 ===\n"
            "2025-01-31 12:00:00.000 [INFO ] [Main] hello 5\n"
            "2025-01-31 12:00:01.234 [WARN ] [TCP] slow\n"
            "2025-01-31 12:00:01.234 [ERROR] [Crash] bad\n");
  EXPECT_EQ(capture_.Lines(),
            (std::vector<std::string>{"[INFO ] [Main] hello 5", "[WARN ] [TCP] slow", "[ERROR] [Crash] bad"}));
}

TEST_F(LoggerTest, DemotionSilencesOnlyItsOwnThreadWhileItLives) {
  OpenLog();
  {
    ScopedLogDemotion quiet;
    EXPECT_TRUE(ScopedLogDemotion::Active());
    LogError("[Capture] retry failed");
    std::thread other([] { LogWarn("[Other] still written"); });
    other.join();
    {
      ScopedLogDemotion nested;
      LogWarn("[Capture] nested");
    }
    LogWarn("[Capture] outer again");
  }
  EXPECT_FALSE(ScopedLogDemotion::Active());
  LogWarn("[Capture] summary");
  EXPECT_EQ(capture_.Lines(), (std::vector<std::string>{"[WARN ] [Other] still written", "[WARN ] [Capture] summary"}));
}

TEST_F(LoggerTest, MessagesAreTrimmedAndCut) {
  const std::string x2045(2045, 'x'), x2046(2046, 'x');
  const struct {
    const char* name;
    std::string input;
    std::string stored;
  } cases[] = {
      {"CR and two LFs removed once", "[T] abc\r\n\n", "[T] abc"},
      {"leading newline kept", "\n[Main] Ready. Waiting for mobile client...\n",
       "\n[Main] Ready. Waiting for mobile client..."},
      {"inner line breaks kept", "[T] a\r\nb\r", "[T] a\r\nb"},
      {"only line breaks", "\r\n\n", ""},
      {"longer than 2047 bytes is cut", std::string(3000, 'y'), std::string(2047, 'y')},
      {"exactly 2047 bytes kept", x2046 + "z", x2046 + "z"},
      {"cut does not split a 2-byte character", x2046 + "\xC3\xA9" + "zz", x2046},
      {"complete 2-byte character at the cut kept", x2045 + "\xC3\xA9" + "z", x2045 + "\xC3\xA9"},
      {"cut does not split a 3-byte character", x2045 + "\xE2\x82\xAC", x2045},
  };
  OpenLog();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    capture_.Clear();
    const std::string before = fs_->Text(kToday);
    LogInfo("%s", c.input.c_str());
    EXPECT_EQ(capture_.Lines(), std::vector<std::string>{"[INFO ] " + c.stored});
    EXPECT_EQ(fs_->Text(kToday).substr(before.size()), "2025-01-31 12:00:00.000 [INFO ] " + c.stored + "\n");
  }
}

TEST_F(LoggerTest, DebugLinesAreNotWrittenAnywhere) {
  OpenLog();
  const std::string before = fs_->Text(kToday);
  const int flushes = fs_->flushes;
  LogDebug("[T] detail %d", 1);
  Logger::Instance().Log(LogLevel::kDebug, "[T] detail %d", 2);
  EXPECT_EQ(fs_->Text(kToday), before);
  EXPECT_EQ(fs_->flushes, flushes);
  EXPECT_TRUE(capture_.Lines().empty());
}

TEST_F(LoggerTest, InfoAndAboveAreFlushedAtOnce) {
  OpenLog();
  for (LogLevel level : {LogLevel::kInfo, LogLevel::kWarn, LogLevel::kError}) {
    SCOPED_TRACE(LogLevelName(level));
    const int before = fs_->flushes;
    log().Log(level, "[T] line");
    EXPECT_EQ(fs_->flushes, before + 1);
  }
}

TEST_F(LoggerTest, FirstLineAfterMidnightRotatesWithoutRename) {
  Fresh({2025, 1, 31, 23, 59, 59, 500});
  OpenLog();
  LogInfo("[T] before");
  clock_.AdvanceMs(1000);
  LogInfo("[T] after");
  EXPECT_TRUE(EndsWith(fs_->Text(kToday),
                       "2025-01-31 23:59:59.500 [INFO ] [T] before\n=== Log rotated at 2025-02-01 00:00:00.500 ===\n"));
  EXPECT_EQ(fs_->Text("logs/orvane_20250201.log"), "2025-02-01 00:00:00.500 [INFO ] [T] after\n");
  EXPECT_EQ(fs_->renames, 0);
  EXPECT_EQ(Key(log().CurrentPath()), "logs/orvane_20250201.log");
}

TEST_F(LoggerTest, FileOf50MiBMovesToOverflowNameAndLoggingContinues) {
  const struct {
    uint64_t size;
    bool rotates;
  } cases[] = {{kLogOversizeBytes - 1, false}, {kLogOversizeBytes, true}};
  const std::string overflow = "logs/orvane_20250131_overflow_20250131_120000.log";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    Fresh({2025, 1, 31, 12, 0, 0, 0});
    OpenLog();
    fs_->SetSize(kToday, c.size);
    LogInfo("[T] next");
    EXPECT_EQ(fs_->Exists(overflow), c.rotates);
    EXPECT_EQ(fs_->renames, c.rotates ? 1 : 0);
    if (c.rotates) {
      EXPECT_TRUE(EndsWith(fs_->Text(overflow), "=== Log rotated at 2025-01-31 12:00:00.000 ===\n"));
      LogInfo("[T] again");  // the fresh file is small: no second rotation
      EXPECT_EQ(fs_->renames, 1);
      EXPECT_EQ(fs_->Text(kToday),
                "2025-01-31 12:00:00.000 [INFO ] [T] next\n2025-01-31 12:00:00.000 [INFO ] [T] again\n");
    } else {
      EXPECT_TRUE(EndsWith(fs_->Text(kToday), "[T] next\n"));
    }
  }
}

TEST_F(LoggerTest, OldLogFilesAreDeletedAtRotation) {
  Fresh({2025, 1, 31, 23, 59, 59, 0});
  OpenLog();
  clock_.AdvanceMs(2000);  // past midnight: the next line rotates
  const int64_t now = clock_.FileTimeNow();
  const struct {
    const char* key;
    int64_t age;
    bool deleted;
  } cases[] = {
      {"logs/orvane_20250120.log", kLogRetentionFileTime + 1, true},
      {"logs/orvane_20250124.log", kLogRetentionFileTime, false},
      {"logs/orvane_20250101_overflow_20250101_101010.log", 30 * kDayFileTime, true},
      {"logs/orvane_20250123_2.log", 8 * kDayFileTime, true},
      {"logs/other_20250101.log", 30 * kDayFileTime, false},
      {"logs/orvane_20250101.txt", 30 * kDayFileTime, false},
      {"elsewhere/orvane_20250101.log", 30 * kDayFileTime, false},
  };
  for (const auto& c : cases) fs_->Add(c.key, now - c.age);
  LogInfo("[T] new day");
  for (const auto& c : cases) EXPECT_EQ(fs_->Exists(c.key), !c.deleted) << c.key;
  EXPECT_TRUE(fs_->Exists(kToday));
}

TEST_F(LoggerTest, OldLogFilesAreAlsoDeletedAtOpen) {
  fs_->Add("logs/orvane_20250101.log", clock_.FileTimeNow() - 8 * kDayFileTime);
  fs_->Add("logs/orvane_20250130.log", clock_.FileTimeNow() - kDayFileTime);
  OpenLog();
  EXPECT_FALSE(fs_->Exists("logs/orvane_20250101.log"));
  EXPECT_TRUE(fs_->Exists("logs/orvane_20250130.log"));
}

TEST_F(LoggerTest, FailedOpenIsRetriedAtMostOnceAMinuteOrAtADateChange) {
  const struct {
    const char* name;
    LocalTime start;
    uint64_t advance_ms;
    bool retried;
    const char* file;
  } cases[] = {
      {"59.999 s later", {2025, 1, 31, 12, 0, 0, 0}, 59'999, false, kToday},
      {"a minute later", {2025, 1, 31, 12, 0, 0, 0}, 60'000, true, kToday},
      {"date change", {2025, 1, 31, 23, 59, 30, 0}, 31'000, true, "logs/orvane_20250201.log"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh(c.start);
    fs_->fail_opens = true;
    OpenLog();
    EXPECT_EQ(capture_.Count("[WARN ] [Log] Failed to open log file"), 1u);
    LogInfo("[T] during");
    EXPECT_EQ(fs_->opens, 1);
    fs_->fail_opens = false;
    clock_.AdvanceMs(c.advance_ms);
    LogInfo("[T] after");
    EXPECT_EQ(fs_->opens, c.retried ? 2 : 1);
    EXPECT_TRUE(capture_.Contains("[INFO ] [T] after"));
    const std::string text = fs_->Text(c.file);
    EXPECT_EQ(CountOf(text, "[T] after"), c.retried ? 1u : 0u);
    EXPECT_EQ(CountOf(text, "[Log] Log file opened after an earlier failure"), c.retried ? 1u : 0u);
    EXPECT_EQ(CountOf(text, "[T] during"), 0u);
  }
}

TEST_F(LoggerTest, OpenThatKeepsFailingWarnsOnce) {
  fs_->fail_opens = true;
  OpenLog();
  for (int i = 0; i < 5; ++i) {
    LogInfo("[T] line %d", i);
    clock_.AdvanceMs(kLogOpenRetryIntervalMs);
  }
  LogInfo("[T] last");
  EXPECT_EQ(fs_->opens, 6);  // Open, then once a minute
  EXPECT_EQ(capture_.Count("[Log] Failed to open log file"), 1u);
}

TEST_F(LoggerTest, FailedOverflowRenameContinuesInNumberedFileWithOneWarning) {
  const struct {
    const char* name;
    uint64_t existing_2;  // 0: no _2 file
    const char* expected;
  } cases[] = {
      {"no continuation yet", 0, "logs/orvane_20250131_2.log"},
      {"earlier continuation with room", 100, "logs/orvane_20250131_2.log"},
      {"earlier continuation full", kLogOversizeBytes, "logs/orvane_20250131_3.log"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh({2025, 1, 31, 12, 0, 0, 0});
    if (c.existing_2) fs_->Add("logs/orvane_20250131_2.log", clock_.FileTimeNow(), c.existing_2);
    fs_->fail_renames = true;
    OpenLog();
    fs_->SetSize(kToday, kLogOversizeBytes);
    LogInfo("[T] second");
    LogInfo("[T] third");
    clock_.AdvanceMs(5000);
    LogInfo("[T] fourth");
    EXPECT_EQ(fs_->renames, 1);
    EXPECT_EQ(capture_.Count("[WARN ] [Log] Failed to move oversize log file"), 1u);
    EXPECT_EQ(Key(log().CurrentPath()), c.expected);
    const std::string text = fs_->Text(c.expected);
    const size_t warn = text.find("[WARN ] [Log] Failed to move oversize log file");
    EXPECT_NE(warn, std::string::npos);
    EXPECT_LT(warn, text.find("[T] second"));
    EXPECT_TRUE(EndsWith(text, "[T] fourth\n"));
    EXPECT_EQ(CountOf(fs_->Text(kToday), "[T] second"), 0u);
  }
}

TEST_F(LoggerTest, AfterShutdownLinesReachObserverOnly) {
  OpenLog();
  LogInfo("[T] before");
  log().Shutdown();
  const std::string closed = fs_->Text(kToday);
  EXPECT_TRUE(EndsWith(closed, "[T] before\n=== Shutdown at 2025-01-31 12:00:00.000 ===\n"));
  EXPECT_EQ(fs_->closes, 1);
  EXPECT_TRUE(log().CurrentPath().empty());
  const int opens = fs_->opens;
  clock_.AdvanceMs(kDayMs);  // neither a minute nor a date change reopens it
  LogWarn("[T] after");
  EXPECT_TRUE(capture_.Contains("[WARN ] [T] after"));
  EXPECT_EQ(fs_->Text(kToday), closed);
  EXPECT_EQ(fs_->opens, opens);
}

TEST_F(LoggerTest, ObserverSeesLinesBeforeOpen) {
  LogInfo("[T] early %s", "line");
  EXPECT_EQ(capture_.Lines(), std::vector<std::string>{"[INFO ] [T] early line"});
  EXPECT_EQ(fs_->opens, 0);
}

TEST_F(LoggerTest, LogIfUnlockedWritesWhenTheLockIsFree) {
  OpenLog();
  log().LogIfUnlocked(LogLevel::kError, "[Crash] free %d", 1);
  EXPECT_TRUE(capture_.Contains("[ERROR] [Crash] free 1"));
  EXPECT_TRUE(EndsWith(fs_->Text(kToday), "[ERROR] [Crash] free 1\n"));
}

TEST_F(LoggerTest, LogIfUnlockedDoesNotWaitForAnotherThreadHoldingTheLock) {
  OpenLog();
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> first{true};
  fs_->write_hook = [&] {
    if (first.exchange(false)) {
      entered.set_value();
      released.wait();
    }
  };
  std::thread holder([] { LogInfo("[T] slow write"); });
  entered.get_future().wait();  // the holder is inside the file write, under the logger's lock
  log().LogIfUnlocked(LogLevel::kError, "[Crash] while held");
  EXPECT_TRUE(capture_.Contains("[ERROR] [Crash] while held"));
  release.set_value();
  holder.join();
  fs_->write_hook = nullptr;
  EXPECT_EQ(CountOf(fs_->Text(kToday), "[Crash] while held"), 0u);
  EXPECT_EQ(CountOf(fs_->Text(kToday), "[T] slow write"), 1u);
}

TEST_F(LoggerTest, LogIfUnlockedOnTheThreadHoldingTheLockDoesNotDeadlock) {
  OpenLog();
  std::atomic<bool> first{true};
  fs_->write_hook = [&] {
    // As if this thread crashed inside a file write.
    if (first.exchange(false)) log().LogIfUnlocked(LogLevel::kError, "[Crash] nested");
  };
  LogInfo("[T] outer");
  fs_->write_hook = nullptr;
  EXPECT_TRUE(capture_.Contains("[ERROR] [Crash] nested"));
  EXPECT_EQ(CountOf(fs_->Text(kToday), "[Crash] nested"), 0u);
}

// Restores the console settings of the test program.
class ConsoleRedirect {
 public:
  explicit ConsoleRedirect(std::FILE* to) {
    Logger::Instance().SetConsoleForTest(to);
    Logger::Instance().SetStdoutEnabled(true);
  }
  ~ConsoleRedirect() {
    Logger::Instance().SetStdoutEnabled(false);
    Logger::Instance().SetConsoleForTest(nullptr);
  }
};

TEST_F(LoggerTest, ConsoleLinesAreFlushedForWarningsAndErrors) {
  testing::ScopedTempDir dir;
  const auto path = dir.path() / "console.txt";
  std::FILE* console = OpenSharedFile(path, "wb");
  ASSERT_NE(console, nullptr);
  ASSERT_EQ(std::setvbuf(console, nullptr, _IOFBF, 16384), 0);
  {
    ConsoleRedirect redirect(console);
    LogInfo("[T] info");
    EXPECT_EQ(ReadFileBounded(path, 1 << 16).bytes, "");  // still buffered
    LogWarn("[T] warn");
    EXPECT_EQ(ReadFileBounded(path, 1 << 16).bytes, "[INFO ] [T] info\n[WARN ] [T] warn\n");
    LogInfo("[T] info2");
    LogError("[T] error");
    EXPECT_EQ(ReadFileBounded(path, 1 << 16).bytes,
              "[INFO ] [T] info\n[WARN ] [T] warn\n[INFO ] [T] info2\n[ERROR] [T] error\n");
  }
  std::fclose(console);
}

TEST(EscapeUntrustedTest, EscapesWhatCouldForgeOrSplitLines) {
  const struct {
    const char* name;
    std::string input;
    std::string expected;
  } cases[] = {
      {"plain text", "Galaxy Tab S9", "Galaxy Tab S9"},
      {"empty", "", ""},
      {"line feed and carriage return", "tab\r\n2025-01-31 [INFO ] fake", "tab\\x0D\\x0A2025-01-31 [INFO ] fake"},
      {"tab, NUL, escape, DEL", std::string("a\tb\0c\x1B\x7F", 7), "a\\x09b\\x00c\\x1B\\x7F"},
      {"backslash doubled", "C:\\x41", "C:\\\\x41"},
      {"C1 control (NEL) as its bytes", "a\xC2\x85z", "a\\xC2\\x85z"},
      {"U+00A0 is not a control", "a\xC2\xA0z", "a\xC2\xA0z"},
      {"valid multi-byte kept", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"lone continuation byte", "a\x80z", "a\\x80z"},
      {"truncated sequence", "a\xE2\x82", "a\\xE2\\x82"},
      {"overlong slash", "\xC0\xAF", "\\xC0\\xAF"},
      {"surrogate", "\xED\xA0\x80", "\\xED\\xA0\\x80"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
      {"0xFF", "\xFF", "\\xFF"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeUntrusted(c.input), c.expected) << c.name;
}

// The real file system, in a temporary folder (both builds; Windows under Wine).
TEST(LoggerRealFileSystemTest, WritesRotatesMovesOverflowAndCleansUp) {
  testing::ScopedTempDir dir;
  const auto folder = dir.path() / "logs";
  ASSERT_TRUE(EnsureDirectory(folder));
  const auto day = folder / "orvane_20250131.log";
  const auto old_log = folder / "orvane_20241201.log";
  const auto other = folder / "other_20241201.log";
  for (const auto& p : {day, old_log, other}) ASSERT_TRUE(SafeReplaceFile(p, "x\n"));
  const auto month_ago = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 30);
  std::filesystem::last_write_time(old_log, month_ago);
  std::filesystem::last_write_time(other, month_ago);
  std::filesystem::resize_file(day, kLogOversizeBytes);

  ManualClock clock;
  clock.SetLocalBase({2025, 1, 31, 23, 59, 0, 0});
  clock.SetFileTimeBase(SystemClock().FileTimeNow());
  Logger& log = Logger::Instance();
  log.SetEnvironmentForTest(&clock, nullptr);
  log.Open("orvane", folder);
  EXPECT_FALSE(std::filesystem::exists(old_log));
  EXPECT_TRUE(std::filesystem::exists(other));

  LogInfo("[T] after overflow");  // the 50 MiB file moves aside
  const auto overflow = folder / "orvane_20250131_overflow_20250131_235900.log";
  EXPECT_TRUE(std::filesystem::exists(overflow));
  std::error_code ec;
  EXPECT_GE(std::filesystem::file_size(overflow, ec), kLogOversizeBytes);
  FileReadResult fresh = ReadFileBounded(day, 1 << 16);
  ASSERT_EQ(fresh.status, FileReadStatus::kOk);
  EXPECT_NE(fresh.bytes.find("2025-01-31 23:59:00.000 [INFO ] [T] after overflow"), std::string::npos);

  clock.AdvanceMs(60'000);
  LogInfo("[T] next day");
  log.Shutdown();
  log.SetEnvironmentForTest(nullptr, nullptr);
  const FileReadResult next = ReadFileBounded(folder / "orvane_20250201.log", 1 << 16);
  ASSERT_EQ(next.status, FileReadStatus::kOk);
  EXPECT_NE(next.bytes.find("[INFO ] [T] next day"), std::string::npos);
  EXPECT_NE(next.bytes.find("=== Shutdown at 2025-02-01 00:00:00.000 ==="), std::string::npos);
  EXPECT_NE(ReadFileBounded(day, 1 << 16).bytes.find("=== Log rotated at 2025-02-01 00:00:00.000 ==="),
            std::string::npos);
}

}  // namespace
}  // namespace orvane
