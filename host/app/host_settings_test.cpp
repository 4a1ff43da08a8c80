#include "host/app/host_settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "host/app/host_state.h"
#include "host/app/profile_file.h"
#include "host/common/file_io.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using multi_session::TabletMode;
using testing::LogCapture;
using testing::ScopedTempDir;

void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << PathToUtf8(path);
}

std::string ReadFile(const std::filesystem::path& path) {
  const FileReadResult r = ReadFileBounded(path, 1 << 20);
  EXPECT_EQ(r.status, FileReadStatus::kOk) << PathToUtf8(path);
  return r.bytes;
}

// Every field, so a mismatch shows which one.
std::string Describe(const HostSettings& s) {
  std::ostringstream o;
  o << "index=" << s.capture_output_index << " backend=" << s.capture_backend << " clip=" << s.share_clipboard
    << " audio=" << s.tablet_only_audio << " ext=" << s.extended_display << " user_set=" << s.extended_display_user_set
    << " ext_present=" << s.extended_display_present << " ext_value=" << s.extended_display_value
    << " user_set_present=" << s.extended_display_user_set_present
    << " user_set_value=" << s.extended_display_user_set_value << " updates=" << s.check_for_updates
    << " version=" << s.update_notified_version;
  return o.str();
}

// A file in the folder that exists but cannot be read: a directory of that
// name (works for every user, root included, and on Windows).
void MakeUnreadable(const std::filesystem::path& path) { ASSERT_TRUE(EnsureDirectory(path)); }

// ---------------------------------------------------------------------------
// host_settings.ini parsing

TEST(HostSettingsTest, ParsesLineByLine) {
  struct Case {
    const char* name;
    std::string text;
    bool recognised;
    void (*expect)(HostSettings&);  // applied to defaults to give the expected record
  };
  const Case cases[] = {
      {"case-insensitive key and word, trimmed", "  SHARE_CLIPBOARD = Off  \n", true,
       [](HostSettings& s) { s.share_clipboard = false; }},
      {"yes is no boolean", "share_clipboard=yes\n", false, [](HostSettings&) {}},
      {"yes ignored beside a good line", "share_clipboard=yes\ncapture_backend=dxgi\n", true,
       [](HostSettings& s) { s.capture_backend = 1; }},
      {"only exact 1 and 0", "share_clipboard=01\ntablet_only_audio=TRUE\ncheck_for_updates=oFF\n", true,
       [](HostSettings& s) { s.check_for_updates = false; }},
      {"index 7 ignored", "capture_output_index=7\n", false, [](HostSettings&) {}},
      {"index -1 ignored", "capture_output_index=-1\n", false, [](HostSettings&) {}},
      {"huge index ignored", "capture_output_index=99999999999999999999999\n", false, [](HostSettings&) {}},
      {"index 3", "capture_output_index=3\n", true, [](HostSettings& s) { s.capture_output_index = 3; }},
      {"index read like atoi", "capture_output_index=2abc\n", true,
       [](HostSettings& s) { s.capture_output_index = 2; }},
      {"backend names", "capture_backend=Windows-Graphics-Capture\n", true,
       [](HostSettings& s) { s.capture_backend = 2; }},
      {"backend desktop-duplication", "capture_backend=desktop-duplication\n", true,
       [](HostSettings& s) { s.capture_backend = 1; }},
      {"backend auto after wgc", "capture_backend=wgc\ncapture_backend=AUTO\n", true,
       [](HostSettings& s) { s.capture_backend = 0; }},
      {"unknown backend ignored", "capture_backend=gdi\n", false, [](HostSettings&) {}},
      {"two-part version ignored", "update_notified_version=1.2\n", false, [](HostSettings&) {}},
      {"six-digit part ignored", "update_notified_version=123456.0.0\n", false, [](HostSettings&) {}},
      {"1.10.0 accepted", "update_notified_version= 1.10.0\n", true,
       [](HostSettings& s) { s.update_notified_version = "1.10.0"; }},
      {"only extended_display=1", "extended_display=1\n", true,
       [](HostSettings& s) {
         s.extended_display = true;
         s.extended_display_present = true;
         s.extended_display_value = true;
       }},
      {"user set read separately", "extended_display_user_set=false\n", true,
       [](HostSettings& s) { s.extended_display_user_set_present = true; }},
      {"comments, blank and bare lines", "# share_clipboard=0\n; share_clipboard=0\n\nshare_clipboard\n=0\n", false,
       [](HostSettings&) {}},
      {"unknown key", "colour=blue\n", false, [](HostSettings&) {}},
      {"CRLF line ends", "tablet_only_audio=0\r\ncapture_output_index=1\r\n", true,
       [](HostSettings& s) {
         s.tablet_only_audio = false;
         s.capture_output_index = 1;
       }},
      {"later line wins, no final line end", "capture_output_index=1\ncapture_output_index=2", true,
       [](HostSettings& s) { s.capture_output_index = 2; }},
  };
  for (const auto& c : cases) {
    HostSettings actual;
    HostSettings expected;
    c.expect(expected);
    EXPECT_EQ(ParseHostSettingsText(c.text, actual), c.recognised) << c.name;
    EXPECT_EQ(Describe(actual), Describe(expected)) << c.name;
  }
}

TEST(HostSettingsTest, UnrecognisedTextLeavesTheRecordAlone) {
  HostSettings s;
  s.capture_output_index = 2;
  s.share_clipboard = false;
  const std::string before = Describe(s);
  EXPECT_FALSE(ParseHostSettingsText("capture_output_index=9\nshare_clipboard=maybe\n", s));
  EXPECT_EQ(Describe(s), before);
}

TEST(HostSettingsTest, FormatsTheWholeFile) {
  HostSettings defaults;
  EXPECT_EQ(FormatHostSettings(defaults),
            "# Orvane Display host settings\n"
            "capture_output_index=0\n"
            "capture_backend=auto\n"
            "share_clipboard=1\n"
            "tablet_only_audio=1\n"
            "extended_display=0\n"
            "extended_display_user_set=0\n"
            "check_for_updates=1\n");

  HostSettings s;
  s.capture_output_index = 9;  // written as 3
  s.capture_backend = 1;
  s.share_clipboard = false;
  s.tablet_only_audio = false;
  s.extended_display = true;
  s.extended_display_user_set = true;
  s.check_for_updates = false;
  s.update_notified_version = "1.4.0";
  EXPECT_EQ(FormatHostSettings(s),
            "# Orvane Display host settings\n"
            "capture_output_index=3\n"
            "capture_backend=dxgi\n"
            "share_clipboard=0\n"
            "tablet_only_audio=0\n"
            "extended_display=1\n"
            "extended_display_user_set=1\n"
            "check_for_updates=0\n"
            "update_notified_version=1.4.0\n");

  // A version that could not be read back (or would split the file) is left out.
  s.update_notified_version = "1.4.0\ncapture_output_index=0";
  EXPECT_EQ(FormatHostSettings(s).find("update_notified_version"), std::string::npos);
  s.capture_backend = 2;
  EXPECT_NE(FormatHostSettings(s).find("\ncapture_backend=wgc\n"), std::string::npos);
}

TEST(HostSettingsTest, SaveAndLoadRoundTrip) {
  ScopedTempDir dir;
  HostSettings saved;
  saved.capture_output_index = 2;
  saved.capture_backend = 2;
  saved.share_clipboard = false;
  saved.tablet_only_audio = false;
  saved.extended_display = true;
  saved.extended_display_user_set = false;
  saved.check_for_updates = false;
  saved.update_notified_version = "2.0.11";
  ASSERT_TRUE(SaveHostSettings(saved, dir.path()));
  EXPECT_EQ(ReadFile(dir.path() / kHostSettingsFileName), FormatHostSettings(saved));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "host_settings.ini.tmp"));

  LogCapture log;
  HostSettings loaded;
  const HostSettingsLoadResult r = LoadHostSettings(loaded, dir.path());
  EXPECT_EQ(r.file, SettingsFileStatus::kRead);
  EXPECT_TRUE(r.recognised);
  HostSettings expected = saved;
  expected.extended_display_present = true;
  expected.extended_display_value = true;
  expected.extended_display_user_set_present = true;
  expected.extended_display_user_set_value = false;
  EXPECT_EQ(Describe(loaded), Describe(expected));
  EXPECT_TRUE(log.Contains(
      "[INFO ] [Main] Loaded host settings: output_index=2 backend=wgc share_clipboard=0 tablet_only_audio=0 "
      "extended_display=1 user_set=0"));
}

TEST(HostSettingsTest, LoadedLineReportsUserSetFromExtendedDisplayWhenItsKeyIsMissing) {
  ScopedTempDir dir;
  WriteFile(dir.path() / kHostSettingsFileName, "extended_display=1\n");
  LogCapture log;
  HostSettings s;
  EXPECT_TRUE(LoadHostSettings(s, dir.path()).recognised);
  EXPECT_TRUE(log.Contains(
      "[INFO ] [Main] Loaded host settings: output_index=0 backend=auto share_clipboard=1 tablet_only_audio=1 "
      "extended_display=1 user_set=1"));
}

// ---------------------------------------------------------------------------
// Absent versus unreadable: the entry rewrites an absent file, never an
// unreadable one.

enum class FileSetup { kAbsent, kDirectory, kTooLarge, kEmpty };

void Prepare(const std::filesystem::path& path, FileSetup setup) {
  switch (setup) {
    case FileSetup::kAbsent: break;
    case FileSetup::kDirectory: MakeUnreadable(path); break;
    case FileSetup::kTooLarge: WriteFile(path, std::string(kMaxSettingsFileBytes + 1, '#')); break;
    case FileSetup::kEmpty: WriteFile(path, ""); break;
  }
}

struct StatusCase {
  const char* name;
  FileSetup setup;
  SettingsFileStatus status;
  bool warns;
};
const StatusCase kStatusCases[] = {
    {"absent", FileSetup::kAbsent, SettingsFileStatus::kAbsent, false},
    {"directory", FileSetup::kDirectory, SettingsFileStatus::kUnreadable, true},
    {"too large", FileSetup::kTooLarge, SettingsFileStatus::kUnreadable, true},
    {"empty", FileSetup::kEmpty, SettingsFileStatus::kRead, false},
};

TEST(HostSettingsTest, TellsAbsentFromUnreadable) {
  for (const auto& c : kStatusCases) {
    ScopedTempDir dir;
    Prepare(dir.path() / kHostSettingsFileName, c.setup);
    LogCapture log;
    HostSettings s;
    s.capture_output_index = 1;
    const HostSettingsLoadResult r = LoadHostSettings(s, dir.path());
    EXPECT_EQ(r.file, c.status) << c.name;
    EXPECT_FALSE(r.recognised) << c.name;
    EXPECT_EQ(s.capture_output_index, 1u) << c.name;
    EXPECT_EQ(log.Contains("[WARN ] [Main] Cannot read settings file"), c.warns) << c.name;
  }
}

TEST(HostSettingsTest, OtherFilesTellAbsentFromUnreadable) {
  for (const auto& c : kStatusCases) {
    ScopedTempDir dir;
    Prepare(dir.path() / kTabletModesFileName, c.setup);
    Prepare(dir.path() / kSettingsWindowFileName, c.setup);
    LogCapture log;
    const TabletModesLoadResult modes = LoadTabletModes(dir.path());
    EXPECT_EQ(modes.file, c.status) << c.name;
    EXPECT_TRUE(modes.modes.empty()) << c.name;
    EXPECT_FALSE(LoadSettingsWindowPosition(dir.path()).has_value()) << c.name;
    EXPECT_EQ(log.Count("[WARN ] [Main] Cannot read settings file"), c.warns ? 2u : 0u) << c.name;
  }
}

TEST(HostSettingsTest, StateFilesThatCannotBeReadAreNotReplaced) {
  ScopedTempDir dir;
  MakeUnreadable(dir.path() / kTipsFileName);
  MakeUnreadable(dir.path() / kSettingsWindowFileName);
  EXPECT_FALSE(DecideSecondMonitorTip(true, SecondMonitorSide::kRight, dir.path()).show);
  EXPECT_FALSE(SaveSettingsWindowPosition({10, 20}, dir.path()));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / kTipsFileName));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / kSettingsWindowFileName));
}

TEST(HostSettingsTest, FailedWritesWarnWithThePath) {
  ScopedTempDir dir;
  MakeUnreadable(dir.path() / kHostSettingsFileName);  // cannot be replaced
  const std::filesystem::path missing_folder = dir.path() / "missing";
  LogCapture log;
  EXPECT_FALSE(SaveHostSettings(HostSettings{}, dir.path()));
  EXPECT_TRUE(log.Contains("[WARN ] [Main] Failed to write host settings file: " +
                           PathToUtf8(dir.path() / kHostSettingsFileName)));
  EXPECT_FALSE(SaveTabletModes({{"a", TabletMode::kExtend}}, missing_folder));
  EXPECT_TRUE(log.Contains("[WARN ] [Main] Failed to write tablet modes file"));
  EXPECT_FALSE(SaveSettingsWindowPosition({1, 2}, missing_folder));
  EXPECT_FALSE(DecideSecondMonitorTip(true, SecondMonitorSide::kLeft, missing_folder).show);
  EXPECT_EQ(log.Count("[WARN ] [Main] Replacing "), 4u);
}

// ---------------------------------------------------------------------------
// SaveCurrentHostSettings

class SavedHostState {
 public:
  SavedHostState() : saved_(CurrentHostSettings()) {}
  ~SavedHostState() {
    HostState& st = GetHostState();
    st.capture_output_index = saved_.capture_output_index;
    st.capture_backend = saved_.capture_backend;
    st.share_clipboard = saved_.share_clipboard;
    st.tablet_only_audio = saved_.tablet_only_audio;
    st.extended_display = saved_.extended_display;
    st.extended_display_user_set = saved_.extended_display_user_set;
    st.check_for_updates = saved_.check_for_updates;
    std::lock_guard<std::mutex> lock(st.settings_lock);
    st.update_notified_version = saved_.update_notified_version;
  }

 private:
  HostSettings saved_;
};

TEST(HostSettingsTest, SavesTheLiveValues) {
  SavedHostState restore;
  HostState& st = GetHostState();
  st.capture_output_index = 1;
  st.capture_backend = 1;
  st.share_clipboard = false;
  st.tablet_only_audio = true;
  st.extended_display = true;
  st.extended_display_user_set = true;
  st.check_for_updates = false;
  {
    std::lock_guard<std::mutex> lock(st.settings_lock);
    st.update_notified_version = "1.3.6";
  }
  ScopedTempDir dir;
  ASSERT_TRUE(SaveCurrentHostSettings(dir.path()));
  EXPECT_EQ(ReadFile(dir.path() / kHostSettingsFileName),
            "# Orvane Display host settings\n"
            "capture_output_index=1\n"
            "capture_backend=dxgi\n"
            "share_clipboard=0\n"
            "tablet_only_audio=1\n"
            "extended_display=1\n"
            "extended_display_user_set=1\n"
            "check_for_updates=0\n"
            "update_notified_version=1.3.6\n");
}

TEST(HostSettingsTest, ConcurrentSavesLeaveTheLatestValues) {
  SavedHostState restore;
  ScopedTempDir dir;
  HostState& st = GetHostState();
  constexpr int kThreads = 4;
  constexpr int kRounds = 10;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        st.capture_output_index = static_cast<uint32_t>((t + i) % 4);
        st.share_clipboard = ((t + i) % 2) == 0;
        {
          std::lock_guard<std::mutex> lock(st.settings_lock);
          st.update_notified_version = "1." + std::to_string(t) + "." + std::to_string(i);
        }
        if (!SaveCurrentHostSettings(dir.path())) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  // The snapshot is taken under the save lock, so the last write holds the
  // values every thread left behind.
  const std::string text = ReadFile(dir.path() / kHostSettingsFileName);
  EXPECT_EQ(text, FormatHostSettings(CurrentHostSettings()));
  HostSettings loaded;
  EXPECT_TRUE(ParseHostSettingsText(text, loaded));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "host_settings.ini.tmp"));
}

// ---------------------------------------------------------------------------
// tablet_modes.ini

TEST(TabletModesTest, FormatsInByteOrder) {
  const TabletModeMap modes = {
      {"b-tablet", TabletMode::kMirror},
      {"\xC3\xA9tablet", TabletMode::kExtend},  // bytes above ASCII sort last
      {"A-tablet", TabletMode::kExtend},
      {"a-tablet", TabletMode::kDefault},
  };
  EXPECT_EQ(FormatTabletModes(modes),
            "# Orvane Display per-tablet display mode (device id = extend | mirror)\n"
            "A-tablet=extend\n"
            "a-tablet=default\n"
            "b-tablet=mirror\n"
            "\xC3\xA9tablet=extend\n");
}

TEST(TabletModesTest, LoadsLineByLine) {
  ScopedTempDir dir;
  WriteFile(dir.path() / kTabletModesFileName,
            "# Orvane Display per-tablet display mode (device id = extend | mirror)\n"
            "  spaced id  =  mirror  \r\n"
            "=extend\n"
            "no-equals\n"
            "upper=Extend\n"
            "dflt=default\n"
            "#hidden=extend\n"
            "twice=extend\n"
            ";semi=extend\n"
            "twice=mirror\n");
  const TabletModesLoadResult r = LoadTabletModes(dir.path());
  EXPECT_EQ(r.file, SettingsFileStatus::kRead);
  const TabletModeMap expected = {
      {"spaced id", TabletMode::kMirror}, {"twice", TabletMode::kMirror}, {";semi", TabletMode::kExtend}};
  EXPECT_EQ(r.modes, expected);
}

TEST(TabletModesTest, ParsesTextInMemory) {
  struct Case {
    const char* name;
    std::string text;
    TabletModeMap expected;
  };
  const Case cases[] = {
      {"empty", "", {}},
      {"header only", "# Orvane Display per-tablet display mode (device id = extend | mirror)\n", {}},
      {"trimmed, CRLF, no final line end", " a = mirror \r\nb=extend",
       {{"a", TabletMode::kMirror}, {"b", TabletMode::kExtend}}},
      {"exact words only", "a=Extend\nb=default\nc=\n=mirror\nd\n", {}},
      {"later line wins", "a=extend\na=mirror\n", {{"a", TabletMode::kMirror}}},
      {"value after the first equals sign", "a=b=extend\n", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseTabletModesText(c.text), c.expected) << c.name;

  // The file reader is this parser over the file's bytes.
  ScopedTempDir dir;
  const std::string text = "x=extend\n#y=mirror\nz=mirror\n";
  WriteFile(dir.path() / kTabletModesFileName, text);
  EXPECT_EQ(LoadTabletModes(dir.path()).modes, ParseTabletModesText(text));
}

TEST(TabletModesTest, KeepsTheFirst64Tablets) {
  ScopedTempDir dir;
  std::string text;
  char id[16];
  for (int i = 0; i < 70; ++i) {
    std::snprintf(id, sizeof id, "tab%02d", i);
    text += std::string(id) + "=extend\n";
  }
  text += "tab00=mirror\n";  // an existing tablet still takes a later line
  WriteFile(dir.path() / kTabletModesFileName, text);
  const TabletModeMap modes = LoadTabletModes(dir.path()).modes;
  ASSERT_EQ(modes.size(), 64u);
  EXPECT_EQ(modes.begin()->first, "tab00");
  EXPECT_EQ(modes.begin()->second, TabletMode::kMirror);
  EXPECT_EQ(modes.rbegin()->first, "tab63");
}

TEST(TabletModesTest, SaveAndLoadRoundTrip) {
  ScopedTempDir dir;
  const TabletModeMap modes = {
      {"0123456789abcdef", TabletMode::kExtend}, {"a b", TabletMode::kMirror}, {";x", TabletMode::kMirror},
      {"a#b", TabletMode::kExtend},              {"\xC3\xBCnic\xC3\xB6" "de", TabletMode::kMirror},
      {std::string(kMaxTabletIdBytes, 'z'), TabletMode::kExtend},
  };
  ASSERT_TRUE(SaveTabletModes(modes, dir.path()));
  EXPECT_EQ(ReadFile(dir.path() / kTabletModesFileName), FormatTabletModes(modes));
  const TabletModesLoadResult r = LoadTabletModes(dir.path());
  EXPECT_EQ(r.file, SettingsFileStatus::kRead);
  EXPECT_EQ(r.modes, modes);
}

TEST(TabletModesTest, SkipsIdsThatWouldNotSurviveAReload) {
  const std::vector<std::string> bad = {
      "",        "a\rb",    "a\nmirror=extend", "a=b",  std::string("a\0b", 3), "#a",
      " lead",   "trail ",  "tab\t",            std::string(kMaxTabletIdBytes + 1, 'x'),
  };
  TabletModeMap modes = {{"good", TabletMode::kExtend}};
  for (const auto& id : bad) {
    EXPECT_FALSE(IsStorableTabletId(id)) << id;
    modes[id] = TabletMode::kMirror;
  }
  modes["odd-mode"] = static_cast<TabletMode>(7);
  ASSERT_EQ(modes.size(), bad.size() + 2);

  ScopedTempDir dir;
  LogCapture log;
  ASSERT_TRUE(SaveTabletModes(modes, dir.path()));
  EXPECT_EQ(log.Count("[WARN ] [Main] Not saving the display mode of tablet"), bad.size());
  EXPECT_EQ(log.Count("[WARN ] [Main] Not saving display mode 7 of tablet \"odd-mode\""), 1u);
  for (const auto& line : log.Lines()) {
    EXPECT_EQ(line.find_first_of(std::string_view("\r\n\0", 3)), std::string::npos) << "id not escaped";
  }
  EXPECT_EQ(ReadFile(dir.path() / kTabletModesFileName),
            "# Orvane Display per-tablet display mode (device id = extend | mirror)\ngood=extend\n");
  const TabletModeMap expected = {{"good", TabletMode::kExtend}};
  EXPECT_EQ(LoadTabletModes(dir.path()).modes, expected);
}

TEST(TabletModesTest, SavesAtMost64Tablets) {
  TabletModeMap modes;
  char id[16];
  for (int i = 0; i < 70; ++i) {
    std::snprintf(id, sizeof id, "tab%02d", i);
    modes[id] = TabletMode::kMirror;
  }
  ScopedTempDir dir;
  ASSERT_TRUE(SaveTabletModes(modes, dir.path()));
  const TabletModeMap loaded = LoadTabletModes(dir.path()).modes;
  EXPECT_EQ(loaded.size(), 64u);
  EXPECT_EQ(loaded.rbegin()->first, "tab63");
}

TEST(TabletModesTest, DefaultEntriesNeverTakeThePlaceOfModes) {
  // "default" is written but never read back, so it must not use up the
  // entries the reader keeps.
  TabletModeMap modes;
  char id[16];
  for (int i = 0; i < 70; ++i) {
    std::snprintf(id, sizeof id, "d%02d", i);
    modes[id] = TabletMode::kDefault;
  }
  modes["e"] = TabletMode::kExtend;
  modes["m"] = TabletMode::kMirror;
  const std::string text = FormatTabletModes(modes);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + static_cast<std::ptrdiff_t>(kMaxTabletModes));
  EXPECT_NE(text.find("\nd61=default\ne=extend\nm=mirror\n"), std::string::npos);
  EXPECT_EQ(text.find("d62="), std::string::npos);
  const TabletModeMap expected = {{"e", TabletMode::kExtend}, {"m", TabletMode::kMirror}};
  EXPECT_EQ(ParseTabletModesText(text), expected);
}

TEST(TabletModesTest, ModeNames) {
  struct Case {
    int value;
    const char* name;
  };
  const Case cases[] = {{0, "default"}, {1, "extend"}, {2, "mirror"}};
  for (const auto& c : cases) {
    const auto mode = multi_session::TabletModeFromInt(c.value);
    ASSERT_TRUE(mode.has_value()) << c.value;
    EXPECT_STREQ(multi_session::TabletModeName(*mode), c.name);
    EXPECT_EQ(multi_session::TabletModeFromName(c.name), mode);
  }
  EXPECT_FALSE(multi_session::TabletModeFromInt(3).has_value());
  EXPECT_FALSE(multi_session::TabletModeFromInt(-1).has_value());
  EXPECT_FALSE(multi_session::TabletModeFromName("Extend").has_value());
  EXPECT_STREQ(multi_session::TabletModeName(static_cast<TabletMode>(9)), "unknown");
}

// ---------------------------------------------------------------------------
// tips.ini

TEST(SecondMonitorTipTest, AtMostThreeTipsPerUser) {
  ScopedTempDir dir;
  LogCapture log;
  struct Step {
    SecondMonitorSide side;
    bool show;
    uint32_t number;
    int message;
    const char* line;
  };
  const Step steps[] = {
      {SecondMonitorSide::kRight, true, 1, 37, "[INFO ] [Main] Second monitor tip 1 of 3 (side=right)"},
      {SecondMonitorSide::kLeft, true, 2, 38, "[INFO ] [Main] Second monitor tip 2 of 3 (side=left)"},
      {SecondMonitorSide::kAbove, true, 3, 39, "[INFO ] [Main] Second monitor tip 3 of 3 (side=above)"},
      {SecondMonitorSide::kBelow, false, 0, 0, nullptr},
  };
  for (const auto& step : steps) {
    const SecondMonitorTipDecision d = DecideSecondMonitorTip(true, step.side, dir.path());
    EXPECT_EQ(d.show, step.show);
    EXPECT_EQ(d.number, step.number);
    EXPECT_EQ(d.message, step.message);
    if (step.line) {
      EXPECT_TRUE(log.Contains(step.line)) << step.line;
    }
  }
  EXPECT_EQ(log.Count("Second monitor tip"), 3u);
  EXPECT_EQ(ProfileFile::Parse(ReadFile(dir.path() / kTipsFileName)).GetInt("second_monitor", "pc_tip_shown"), 3);
}

TEST(SecondMonitorTipTest, MirroredStreamsNeitherShowNorCount) {
  ScopedTempDir dir;
  EXPECT_FALSE(DecideSecondMonitorTip(false, SecondMonitorSide::kRight, dir.path()).show);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / kTipsFileName));
}

TEST(SecondMonitorTipTest, CountsInAFileWithOtherContent) {
  struct Case {
    const char* name;
    const char* file;
    bool show;
  };
  const Case cases[] = {
      {"two shown", "[other]\r\nkeep=1\r\n[Second_Monitor]\r\n PC_TIP_SHOWN = 2 \r\n", true},
      {"negative is huge", "[second_monitor]\npc_tip_shown=-1\n", false},
      {"not a number reads 0", "[second_monitor]\npc_tip_shown=many\n", true},
      {"no section", "[other]\nkeep=1\n", true},
  };
  for (const auto& c : cases) {
    ScopedTempDir dir;
    WriteFile(dir.path() / kTipsFileName, c.file);
    EXPECT_EQ(DecideSecondMonitorTip(true, SecondMonitorSide::kUnknown, dir.path()).show, c.show) << c.name;
    const ProfileFile after = ProfileFile::Parse(ReadFile(dir.path() / kTipsFileName));
    EXPECT_EQ(after.Get("other", "keep").value_or("1"), "1") << c.name;
  }
}

TEST(SecondMonitorTipTest, MessageForEverySide) {
  struct Case {
    SecondMonitorSide side;
    int message;
    const char* name;
  };
  const Case cases[] = {{SecondMonitorSide::kRight, 37, "right"},
                        {SecondMonitorSide::kLeft, 38, "left"},
                        {SecondMonitorSide::kAbove, 39, "above"},
                        {SecondMonitorSide::kBelow, 40, "below"},
                        {SecondMonitorSide::kUnknown, 37, "unknown"},
                        {static_cast<SecondMonitorSide>(99), 37, "unknown"}};
  for (const auto& c : cases) {
    EXPECT_EQ(SecondMonitorTipMessage(c.side), c.message) << c.name;
    EXPECT_STREQ(SecondMonitorSideName(c.side), c.name);
  }
}

// ---------------------------------------------------------------------------
// settings_window.ini

TEST(SettingsWindowPositionTest, RoundTripKeepsOtherContent) {
  ScopedTempDir dir;
  EXPECT_FALSE(LoadSettingsWindowPosition(dir.path()).has_value());
  WriteFile(dir.path() / kSettingsWindowFileName, "[size]\r\nw=800\r\n[window]\r\nx=5\r\n");
  EXPECT_FALSE(LoadSettingsWindowPosition(dir.path()).has_value());  // y missing
  ASSERT_TRUE(SaveSettingsWindowPosition({-1920, -8}, dir.path()));
  const auto pos = LoadSettingsWindowPosition(dir.path());
  ASSERT_TRUE(pos.has_value());
  EXPECT_EQ(pos->x, -1920);
  EXPECT_EQ(pos->y, -8);
  EXPECT_EQ(ReadFile(dir.path() / kSettingsWindowFileName), "[size]\r\nw=800\r\n[window]\r\nx=-1920\r\ny=-8\r\n");
}

TEST(SettingsWindowPositionTest, FileValuesSaturate) {
  ScopedTempDir dir;
  WriteFile(dir.path() / kSettingsWindowFileName, "[window]\nx=99999999999999\ny=-99999999999999\n");
  const auto pos = LoadSettingsWindowPosition(dir.path());
  ASSERT_TRUE(pos.has_value());
  EXPECT_EQ(pos->x, INT32_MAX);
  EXPECT_EQ(pos->y, INT32_MIN);
}

TEST(SettingsWindowPositionTest, ProbePointSaturates) {
  struct Case {
    WindowPosition pos;
    ScreenPoint probe;
  };
  const Case cases[] = {
      {{0, 0}, {40, 10}},
      {{-1920, -1080}, {-1880, -1070}},
      {{INT32_MAX - 40, INT32_MAX - 10}, {INT32_MAX, INT32_MAX}},
      {{INT32_MAX - 39, INT32_MAX - 9}, {INT32_MAX, INT32_MAX}},
      {{INT32_MAX, INT32_MAX}, {INT32_MAX, INT32_MAX}},
      {{INT32_MIN, INT32_MIN}, {INT32_MIN + 40, INT32_MIN + 10}},
  };
  for (const auto& c : cases) {
    const ScreenPoint p = SettingsWindowProbePoint(c.pos);
    EXPECT_EQ(p.x, c.probe.x) << c.pos.x;
    EXPECT_EQ(p.y, c.probe.y) << c.pos.y;
  }
}

}  // namespace
}  // namespace orvane
