#include "host/vdd/vdd_settings_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/common/file_io.h"
#include "host/vdd/sim_vdd_system.h"
#include "host/vdd/vdd_backend.h"
#include "tests/support/test_support.h"
#include "tools/sim_vdd/sim_vdd_world.h"
#include "vdd_settings/settings_text.h"
#include "vdd_settings/vdd_settings.h"

namespace orvane {
namespace {

using vdd::CopyAnswer;
using vdd::CopyOutcome;
using vdd::ISettingsFiles;
using vdd::RemoveOutcome;

constexpr uint32_t kInjectedError = 112;  // the disk is full

// The platform's file calls with failures injected.
class FaultyFiles final : public ISettingsFiles {
 public:
  bool create_fails = false;
  bool write_fails = false;
  bool flush_fails = false;
  bool close_fails = false;
  bool replace_fails = false;
  bool previous_copy_fails = false;
  bool previous_copy_leaves_half = false;  // fails after writing part of the copy

  CopyAnswer CopyIfAbsent(const std::string& from, const std::string& to) override {
    const bool previous = to.ends_with(tvr_vdd::kSettingsPreviousSuffix);
    if (previous && previous_copy_leaves_half && !real_->Exists(to)) {
      std::ofstream(PathFromUtf8(to), std::ios::binary) << "<vdd_set";
      return {CopyOutcome::kFailed, kInjectedError};
    }
    if (previous && previous_copy_fails) return {CopyOutcome::kFailed, kInjectedError};
    return real_->CopyIfAbsent(from, to);
  }
  bool Exists(const std::string& path) override { return real_->Exists(path); }
  Handle Create(const std::string& path, uint32_t* error) override {
    if (create_fails) {
      *error = 5;
      return kNoFile;
    }
    return real_->Create(path, error);
  }
  uint32_t Write(Handle file, std::string_view bytes) override {
    if (write_fails) {
      real_->Write(file, bytes.substr(0, bytes.size() / 2));
      return kInjectedError;
    }
    return real_->Write(file, bytes);
  }
  uint32_t Flush(Handle file) override {
    const uint32_t err = real_->Flush(file);
    return flush_fails ? kInjectedError : err;
  }
  uint32_t Close(Handle file) override {
    const uint32_t err = real_->Close(file);
    return close_fails ? kInjectedError : err;
  }
  uint32_t Replace(const std::string& from, const std::string& to) override {
    return replace_fails ? kInjectedError : real_->Replace(from, to);
  }
  RemoveOutcome Remove(const std::string& path, uint32_t* error) override { return real_->Remove(path, error); }

 private:
  std::unique_ptr<ISettingsFiles> real_ = vdd::MakePlatformSettingsFiles();
};

std::string ReadText(const std::string& path) {
  std::ifstream in(PathFromUtf8(path), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(PathFromUtf8(path), std::ios::binary) << text;
}

bool Exists(const std::string& path) { return std::filesystem::exists(PathFromUtf8(path)); }

// A settings file listing `sizes` ("WxH") at 60 Hz and `globals` global
// refresh rates, with a monitor count of `count`.
std::string Settings(const std::vector<std::string>& sizes, uint32_t globals, uint32_t count = 1) {
  std::string text = "<vdd_settings>\n  <monitors>\n    <count>" + std::to_string(count) +
                     "</count>\n  </monitors>\n  <resolutions>\n";
  for (const std::string& size : sizes) {
    const size_t x = size.find('x');
    text += "    <resolution>\n      <width>" + size.substr(0, x) + "</width>\n      <height>" + size.substr(x + 1) +
            "</height>\n      <refresh_rate>60</refresh_rate>\n    </resolution>\n";
  }
  text += "  </resolutions>\n";
  for (uint32_t i = 0; i < globals; ++i) {
    text += "  <g_refresh_rate>" + std::to_string(90 + 30 * i) + "</g_refresh_rate>\n";
  }
  return text + "</vdd_settings>\n";
}

// A file at the mode budget: a size of the user's, then 31 of a tablet size
// the editor may give up, two global rates: 32 x 3 = 96 modes.
std::string FullSettings(const std::string& tablet_size = "2560x1440") {
  std::vector<std::string> sizes = {"1366x768"};
  sizes.insert(sizes.end(), 31, tablet_size);
  return Settings(sizes, 2);
}

// The events raised while alive, as "name WxH".
class EventRecorder {
 public:
  EventRecorder() {
    tvr_vdd::SetResolutionEventHandler([this](tvr_vdd::ResolutionEvent event, uint32_t width, uint32_t height) {
      events.push_back(std::string(tvr_vdd::ResolutionEventName(event)) + " " + std::to_string(width) + "x" +
                       std::to_string(height));
    });
  }
  ~EventRecorder() { tvr_vdd::SetResolutionEventHandler(nullptr); }
  std::vector<std::string> events;
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  return all;
}

class VddSettingsHostTest : public ::testing::Test {
 protected:
  std::string Folder() const { return PathToUtf8(dir_.path()); }
  std::string SettingsPath() const { return tvr_vdd::SettingsFileInFolder(Folder()); }

  testing::ScopedTempDir dir_;
};

// --- events ---

TEST_F(VddSettingsHostTest, EventsGoToTheHandlerOutsideItsMutex) {
  EXPECT_STREQ(tvr_vdd::ResolutionEventName(tvr_vdd::ResolutionEvent::Added), "added");
  EXPECT_STREQ(tvr_vdd::ResolutionEventName(tvr_vdd::ResolutionEvent::PendingRestart), "pending-restart");
  EXPECT_STREQ(tvr_vdd::ResolutionEventName(tvr_vdd::ResolutionEvent::Offered), "offered");
  EXPECT_STREQ(tvr_vdd::ResolutionEventName(static_cast<tvr_vdd::ResolutionEvent>(3)), "unknown");

  tvr_vdd::RaiseResolutionEvent(tvr_vdd::ResolutionEvent::Added, 1, 2);  // no handler: nothing happens
  std::vector<std::string> seen;
  // A handler that replaces itself while it runs: it runs outside the mutex.
  tvr_vdd::SetResolutionEventHandler([&seen](tvr_vdd::ResolutionEvent event, uint32_t width, uint32_t height) {
    seen.push_back(std::string(tvr_vdd::ResolutionEventName(event)) + " " + std::to_string(width) + "x" +
                   std::to_string(height));
    tvr_vdd::SetResolutionEventHandler(nullptr);
  });
  tvr_vdd::RaiseResolutionEvent(tvr_vdd::ResolutionEvent::Offered, 2000, 1200);
  tvr_vdd::RaiseResolutionEvent(tvr_vdd::ResolutionEvent::Added, 1, 3);
  EXPECT_EQ(seen, std::vector<std::string>{"offered 2000x1200"});

  EventRecorder recorder;
  SettingsFileVddRequests requests;
  requests.Offered({1920, 1080, 60});
  EXPECT_EQ(recorder.events, std::vector<std::string>{"offered 1920x1080"});
}

// --- writing ---

TEST_F(VddSettingsHostTest, WritesThroughATemporaryFileAndKeepsTheEarlierTexts) {
  const std::string path = SettingsPath();
  WriteText(path, "first");
  FaultyFiles files;
  ASSERT_TRUE(tvr_vdd::WriteSettingsText(files, path, "second"));
  EXPECT_EQ(ReadText(path), "second");
  EXPECT_EQ(ReadText(path + ".orvane-backup"), "first");
  EXPECT_EQ(ReadText(path + ".orvane-previous"), "first");
  EXPECT_FALSE(Exists(path + ".orvane-tmp"));

  // Both copies are made only when absent: the backup keeps the text before
  // the first edit ever, the previous copy the one before the first edit no
  // restart confirmed.
  ASSERT_TRUE(tvr_vdd::WriteSettingsText(files, path, "third"));
  EXPECT_EQ(ReadText(path), "third");
  EXPECT_EQ(ReadText(path + ".orvane-backup"), "first");
  EXPECT_EQ(ReadText(path + ".orvane-previous"), "first");
  std::filesystem::remove(PathFromUtf8(path + ".orvane-previous"));
  ASSERT_TRUE(tvr_vdd::WriteSettingsText(files, path, "fourth"));
  EXPECT_EQ(ReadText(path + ".orvane-backup"), "first");
  EXPECT_EQ(ReadText(path + ".orvane-previous"), "third");

  // The platform's calls, as the host uses them.
  ASSERT_TRUE(tvr_vdd::WriteSettingsText(path, "fifth"));
  EXPECT_EQ(ReadText(path), "fifth");
  EXPECT_EQ(ReadText(path + ".orvane-previous"), "third");
}

TEST_F(VddSettingsHostTest, AFailedWriteLeavesTheFileAndNoTemporaryFile) {
  struct Case {
    const char* name;
    std::function<void(FaultyFiles&)> fault;
    const char* logged;  // %s: the settings path
    bool previous_kept;
  };
  const Case cases[] = {
      {"not writable", [](FaultyFiles& f) { f.create_fails = true; },
       "[INFO ] [VDD] %s is not writable without elevation", false},
      {"write", [](FaultyFiles& f) { f.write_fails = true; }, "[WARN ] [VDD] Writing %s.orvane-tmp failed", true},
      {"flush", [](FaultyFiles& f) { f.flush_fails = true; },
       "[WARN ] [VDD] Writing %s.orvane-tmp failed (flush, err=112)", true},
      {"close", [](FaultyFiles& f) { f.close_fails = true; },
       "[WARN ] [VDD] Writing %s.orvane-tmp failed (close, err=112)", true},
      {"replace", [](FaultyFiles& f) { f.replace_fails = true; }, "[WARN ] [VDD] Replacing %s failed (err=112)", true},
      {"previous copy", [](FaultyFiles& f) { f.previous_copy_fails = true; },
       "[WARN ] [VDD] Not editing %s: %s.orvane-previous could not be kept", false},
      {"half a previous copy", [](FaultyFiles& f) { f.previous_copy_leaves_half = true; },
       "[WARN ] [VDD] Copying %s to %s.orvane-previous failed (err=112)", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedTempDir dir;
    const std::string path = tvr_vdd::SettingsFileInFolder(PathToUtf8(dir.path()));
    WriteText(path, "before");
    FaultyFiles files;
    c.fault(files);
    testing::LogCapture log;
    EXPECT_FALSE(tvr_vdd::WriteSettingsText(files, path, "after"));
    std::string expected = c.logged;
    for (size_t at; (at = expected.find("%s")) != std::string::npos;) expected.replace(at, 2, path);
    EXPECT_TRUE(log.Contains(expected)) << Joined(log.Lines());
    EXPECT_EQ(ReadText(path), "before");
    EXPECT_FALSE(Exists(path + ".orvane-tmp"));
    EXPECT_EQ(Exists(path + ".orvane-previous"), c.previous_kept);
    if (c.previous_kept) {
      EXPECT_EQ(ReadText(path + ".orvane-previous"), "before");
    }
    // Where nothing may be written, nothing is copied either.
    EXPECT_EQ(Exists(path + ".orvane-backup"), !files.create_fails);
  }
}

// --- a tablet's resolution ---

TEST_F(VddSettingsHostTest, RequestedResolutionsAreAddedWhenTheFileHasRoom) {
  struct Case {
    const char* name;
    std::optional<std::string> before;  // none: no file
    VirtualDisplayMode requested;
    VirtualDisplayMode applied;
    const char* logged;  // %s: the settings path
    const char* event;   // empty: none
    const char* listed;  // a size the file lists afterwards; empty: unchanged
  };
  const Case cases[] = {
      {"same shape: added", Settings({"1920x1080"}, 0), {1920, 1200, 60}, {2560, 1600, 60},
       "[INFO ] [VDD] Added 1920x1200@60 to %s; Windows offers it after the driver restarts (reboot, or tray: Apply "
       "virtual display resolutions)",
       "added 1920x1200", "1920x1200"},
      {"same shape on a full file: not added", FullSettings(), {1920, 1200, 60}, {2560, 1600, 60},
       "[INFO ] [VDD] Not adding 1920x1200 to %s: it lists 96 modes, the most the driver handles is 96. The monitor "
       "runs at 2560x1600@60 instead (same shape, scaled to the stream)",
       "", ""},
      {"another shape on a full file: a tablet size makes room", FullSettings(), {2000, 1200, 60}, {1920, 1080, 60},
       "[INFO ] [VDD] Added 2000x1200@60 to %s in place of 2560x1440 (no listed mode had its shape; same mode count, "
       "within the budget of 96); Windows offers it after the driver restarts (reboot, or tray: Apply virtual display "
       "resolutions)",
       "added 2000x1200", "2000x1200"},
      {"another shape, only kept sizes to give up", FullSettings("1280x800"), {2000, 1200, 60}, {1920, 1080, 60},
       "[INFO ] [VDD] Not adding 2000x1200 to %s: it lists 96 modes, the most the driver handles is 96. The monitor "
       "runs at 1920x1080@60 instead (different shape, scaled to the stream)",
       "", ""},
      {"listed already", Settings({"2000x1200"}, 0), {2000, 1200, 60}, {1920, 1080, 60},
       "[INFO ] [VDD] 2000x1200 is in %s but not offered yet; it appears after the driver restarts (reboot, or tray: "
       "Apply virtual display resolutions)",
       "pending-restart 2000x1200", ""},
      {"no resolutions block", "<vdd_settings><count>1</count></vdd_settings>", {2000, 1200, 60}, {1920, 1080, 60},
       "[INFO ] [VDD] Not adding 2000x1200 to %s (no-resolutions-block)", "", ""},
      {"too large", Settings({"1920x1080"}, 0), {20000, 1200, 60}, {1920, 1080, 60},
       "[INFO ] [VDD] Not adding 20000x1200 to %s (invalid-mode)", "", ""},
      {"no file", std::nullopt, {2000, 1200, 60}, {1920, 1080, 60},
       "[INFO ] [VDD] %s not readable; 2000x1200 stays unavailable until it is added there", "", ""},
      {"an empty file", "", {2000, 1200, 60}, {1920, 1080, 60},
       "[INFO ] [VDD] %s not readable; 2000x1200 stays unavailable until it is added there", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedTempDir dir;
    const std::string path = tvr_vdd::SettingsFileInFolder(PathToUtf8(dir.path()));
    if (c.before) WriteText(path, *c.before);
    EventRecorder recorder;
    testing::LogCapture log;
    SettingsFileVddRequests requests;
    requests.RequestResolution(path, c.requested, c.applied);
    std::string expected = c.logged;
    expected.replace(expected.find("%s"), 2, path);
    EXPECT_TRUE(log.Contains(expected)) << Joined(log.Lines());
    EXPECT_EQ(Joined(recorder.events), *c.event ? std::string(c.event) + "\n" : "");
    if (!c.before) {
      EXPECT_FALSE(Exists(path));
      continue;
    }
    const std::string after = ReadText(path);
    if (*c.listed == '\0') {
      EXPECT_EQ(after, *c.before);
      EXPECT_FALSE(Exists(path + ".orvane-previous"));
      continue;
    }
    const std::string listed = c.listed;
    const tvr_vdd::ModeSize size{static_cast<uint32_t>(std::stoul(listed)),
                                 static_cast<uint32_t>(std::stoul(listed.substr(listed.find('x') + 1)))};
    const tvr_vdd::VddSettingsSummary summary = tvr_vdd::ParseSettings(after);
    EXPECT_NE(std::find(summary.listed_sizes.begin(), summary.listed_sizes.end(), size), summary.listed_sizes.end());
    EXPECT_LE(tvr_vdd::ModeCount(summary), tvr_vdd::kModeBudget);
    EXPECT_EQ(ReadText(path + ".orvane-previous"), *c.before);
  }
}

TEST_F(VddSettingsHostTest, AnUnwritableFileKeepsTheClosestListedMode) {
  const std::string path = SettingsPath();
  const std::string before = Settings({"1920x1080"}, 0);
  WriteText(path, before);
  FaultyFiles files;
  files.create_fails = true;
  SettingsFileVddRequests requests(files);
  EventRecorder recorder;
  testing::LogCapture log;
  requests.RequestResolution(path, {2000, 1200, 60}, {1920, 1080, 60});
  EXPECT_TRUE(log.Contains("[INFO ] [VDD] " + path + " is not writable without elevation"));
  EXPECT_TRUE(log.Contains("[INFO ] [VDD] Using the closest listed mode for 2000x1200"));
  EXPECT_TRUE(recorder.events.empty());
  EXPECT_EQ(ReadText(path), before);

  std::string message;
  EXPECT_FALSE(requests.RequestMonitorCount(path, 2, 1, &message));
  EXPECT_EQ(message, path + " is not writable; the driver keeps 1 monitor(s)");
  EXPECT_TRUE(recorder.events.empty());
  EXPECT_EQ(ReadText(path), before);
}

// --- the monitor count ---

TEST_F(VddSettingsHostTest, MonitorCountRequests) {
  struct Case {
    const char* name;
    std::optional<std::string> before;  // none: no file
    uint32_t count;
    uint32_t known;
    bool restart;
    const char* message;  // %s: the settings path
    const char* event;    // empty: none
    const char* after;    // the count element afterwards; empty: unchanged
  };
  const Case cases[] = {
      {"more than Orvane uses", Settings({}, 0), 5, 1, false, "Orvane uses at most 4 virtual monitors", "", ""},
      {"none", Settings({}, 0), 0, 1, false, "Orvane uses at most 4 virtual monitors", "", ""},
      {"raised", Settings({}, 0, 1), 2, 1, true, "monitor count raised to 2; the driver must restart", "added 1x2",
       "<count>2</count>"},
      {"enough listed", Settings({}, 0, 3), 2, 1, true,
       "vdd_settings.xml lists enough monitors; the driver must restart", "pending-restart 1x2", ""},
      {"no count element", "<vdd_settings><count /></vdd_settings>", 2, 1, false,
       "monitor count not changed (no-count-element)", "", ""},
      {"no file", std::nullopt, 3, 2, false, "%s is not readable; the driver keeps 2 monitor(s)", "", ""},
      {"an empty file", "", 3, 0, false, "%s is not readable; the driver keeps 0 monitor(s)", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedTempDir dir;
    const std::string path = tvr_vdd::SettingsFileInFolder(PathToUtf8(dir.path()));
    if (c.before) WriteText(path, *c.before);
    EventRecorder recorder;
    testing::LogCapture log;
    SettingsFileVddRequests requests;
    std::string message;
    const bool restart = requests.RequestMonitorCount(path, c.count, c.known, &message);
    EXPECT_EQ(restart, c.restart);
    std::string expected = c.message;
    if (const size_t at = expected.find("%s"); at != std::string::npos) expected.replace(at, 2, path);
    EXPECT_EQ(message, expected);
    EXPECT_EQ(Joined(recorder.events), *c.event ? std::string(c.event) + "\n" : "");
    if (!c.before) continue;
    if (*c.after == '\0') {
      EXPECT_EQ(ReadText(path), *c.before);
      continue;
    }
    EXPECT_NE(ReadText(path).find(c.after), std::string::npos);
    EXPECT_TRUE(log.Contains("[INFO ] [VDD] Raised the monitor count in " + path + " to " + std::to_string(c.count) +
                             "; the driver creates them after it restarts"));
  }
}

// --- through the back-end ---

TEST_F(VddSettingsHostTest, TheBackEndAsksForAnUnlistedSizeAndGetsItWritten) {
  WriteText(SettingsPath(), Settings({"1920x1080"}, 0));
  sim_vdd::SimVddWorld world;
  world.state().registry.has_vdd_path = true;
  world.state().registry.vdd_path = Folder();
  ManualClock clock;
  std::unique_ptr<vdd::IVddSystem> system = vdd::MakeSimVddSystem(world, clock);
  SettingsFileVddRequests requests;
  VirtualDriversVddBackend backend(*system, requests, clock);
  EventRecorder recorder;
  testing::LogCapture log;

  VddAcquireResult result;
  std::string error;
  ASSERT_TRUE(backend.AcquireMonitor({1200, 2000, 60}, &result, &error)) << error;
  EXPECT_TRUE(log.Contains("[INFO ] [VDD] Added 2000x1200@60 to " + SettingsPath() + "; Windows offers it"))
      << Joined(log.Lines());
  EXPECT_EQ(recorder.events, std::vector<std::string>{"added 2000x1200"});
  const tvr_vdd::VddSettingsSummary summary = tvr_vdd::ParseSettings(ReadText(SettingsPath()));
  EXPECT_EQ(summary.listed_sizes, (std::vector<tvr_vdd::ModeSize>{{1920, 1080}, {2000, 1200}}));

  // A size the monitor offers raises Offered instead.
  std::string release_error;
  ASSERT_TRUE(backend.ReleaseMonitor(result.token, &release_error)) << release_error;
  recorder.events.clear();
  ASSERT_TRUE(backend.AcquireMonitor({1920, 1080, 60}, &result, &error)) << error;
  EXPECT_EQ(recorder.events, std::vector<std::string>{"offered 1920x1080"});

  // The monitor count goes to the same file, with the driver's count known.
  std::string message;
  EXPECT_TRUE(backend.RequestMonitorCount(2, &message));
  EXPECT_EQ(message, "monitor count raised to 2; the driver must restart");
  uint32_t count = 0;
  ASSERT_TRUE(tvr_vdd::ReadMonitorCount(ReadText(SettingsPath()), &count));
  EXPECT_EQ(count, 2u);
}

}  // namespace
}  // namespace orvane
