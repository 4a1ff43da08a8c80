#include "host/app/host_settings.h"

#include <mutex>
#include <string>

#include "host/app/host_state.h"
#include "host/app/profile_file.h"
#include "host/common/data_folder.h"
#include "host/common/file_io.h"
#include "host/common/host_result.h"
#include "host/common/logger.h"
#include "host/common/parse.h"
#include "host/common/utf.h"

namespace orvane {

namespace {

using multi_session::TabletMode;

constexpr char kHostSettingsHeader[] = "# Orvane Display host settings";
constexpr char kTabletModesHeader[] = "# Orvane Display per-tablet display mode (device id = extend | mirror)";
constexpr char kTipsSection[] = "second_monitor";
constexpr char kTipsKey[] = "pc_tip_shown";
constexpr char kWindowSection[] = "window";

// Log lines quote at most this much of an id from the network.
constexpr size_t kMaxLoggedIdBytes = 96;

// One lock per file written here: the writes go through "<file>.tmp", which
// two writers must never share, and a snapshot must not be overtaken by an
// older one. All are leaves apart from the host settings save lock, which is
// taken before the settings lock (for the snapshot) and the logger.
std::mutex& HostSettingsSaveLock() {
  static std::mutex* mu = new std::mutex();
  return *mu;
}
std::mutex& TabletModesSaveLock() {
  static std::mutex* mu = new std::mutex();
  return *mu;
}
std::mutex& TipsLock() {
  static std::mutex* mu = new std::mutex();
  return *mu;
}
std::mutex& WindowPositionLock() {
  static std::mutex* mu = new std::mutex();
  return *mu;
}

struct SettingsText {
  SettingsFileStatus status = SettingsFileStatus::kAbsent;
  std::string bytes;
};

// A bounded read that tells a missing file from one that is there but cannot
// be read; the latter is logged here once for every caller.
SettingsText ReadSettingsFile(const std::filesystem::path& path) {
  FileReadResult r = ReadFileBounded(path, kMaxSettingsFileBytes);
  SettingsText text;
  switch (r.status) {
    case FileReadStatus::kOk:
      text.status = SettingsFileStatus::kRead;
      text.bytes = std::move(r.bytes);
      return text;
    case FileReadStatus::kAbsent:
      text.status = SettingsFileStatus::kAbsent;
      return text;
    case FileReadStatus::kUnreadable:
    case FileReadStatus::kTooLarge:
      break;
  }
  text.status = SettingsFileStatus::kUnreadable;
  LogWarn("[Main] Cannot read settings file %s (%s, error %d); using defaults and leaving the file unchanged",
          PathToUtf8(path).c_str(), FileReadStatusName(r.status), r.error);
  return text;
}

// Calls f(line) for every line, trimmed, without its line break.
template <typename F>
void ForEachTrimmedLine(std::string_view text, F&& f) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    f(TrimWhitespace(text.substr(start, end - start)));
    start = end + 1;
  }
}

std::optional<bool> ParseBool(std::string_view value) {
  if (value == "1" || EqualsIgnoreCase(value, "true") || EqualsIgnoreCase(value, "on")) return true;
  if (value == "0" || EqualsIgnoreCase(value, "false") || EqualsIgnoreCase(value, "off")) return false;
  return std::nullopt;
}

std::optional<int32_t> ParseCaptureBackend(std::string_view value) {
  if (EqualsIgnoreCase(value, "wgc") || EqualsIgnoreCase(value, "windows-graphics-capture")) return 2;
  if (EqualsIgnoreCase(value, "dxgi") || EqualsIgnoreCase(value, "desktop-duplication")) return 1;
  if (EqualsIgnoreCase(value, "auto")) return 0;
  return std::nullopt;
}

// Applies one key; true when its value was accepted.
bool ApplyHostSetting(std::string_view key, std::string_view value, HostSettings& s) {
  if (EqualsIgnoreCase(key, "capture_output_index")) {
    // Read like atoi and taken as unsigned: a negative number is out of range.
    const int64_t index = ParseLeadingIntSaturating(value);
    if (index < 0 || index > 3) return false;
    s.capture_output_index = static_cast<uint32_t>(index);
    return true;
  }
  if (EqualsIgnoreCase(key, "capture_backend")) {
    const auto backend = ParseCaptureBackend(value);
    if (!backend) return false;
    s.capture_backend = *backend;
    return true;
  }
  if (EqualsIgnoreCase(key, "update_notified_version")) {
    if (!IsVersionText(value)) return false;
    s.update_notified_version = std::string(value);
    return true;
  }
  const bool is_share = EqualsIgnoreCase(key, "share_clipboard");
  const bool is_audio = EqualsIgnoreCase(key, "tablet_only_audio");
  const bool is_updates = EqualsIgnoreCase(key, "check_for_updates");
  const bool is_extended = EqualsIgnoreCase(key, "extended_display");
  const bool is_user_set = EqualsIgnoreCase(key, "extended_display_user_set");
  if (!is_share && !is_audio && !is_updates && !is_extended && !is_user_set) return false;
  const auto flag = ParseBool(value);
  if (!flag) return false;
  if (is_share) s.share_clipboard = *flag;
  if (is_audio) s.tablet_only_audio = *flag;
  if (is_updates) s.check_for_updates = *flag;
  if (is_extended) {
    s.extended_display = *flag;
    s.extended_display_present = true;
    s.extended_display_value = *flag;
  }
  if (is_user_set) {
    s.extended_display_user_set_present = true;
    s.extended_display_user_set_value = *flag;
  }
  return true;
}

std::string LoggableId(std::string_view id) {
  const std::string_view head = Utf8Prefix(id, kMaxLoggedIdBytes);
  std::string out = EscapeUntrusted(head);
  if (head.size() < id.size()) out += "...";
  return out;
}

void WarnReplaceFailed(const std::filesystem::path& path, const HostResult& result) {
  LogWarn("[Main] Replacing %s failed: %s", PathToUtf8(path).c_str(), result.ToString().c_str());
}

bool WriteHostSettingsLocked(const HostSettings& settings, const std::filesystem::path& folder) {
  const std::filesystem::path path = folder / kHostSettingsFileName;
  HostResult result;
  if (SafeReplaceFile(path, FormatHostSettings(settings), &result)) return true;
  WarnReplaceFailed(path, result);
  // Code 1 covers both creating and writing the temporary file; only the
  // latter is a failed flush of data that was opened for writing.
  if (result.code == 1 && result.message == "Failed to write temporary file") {
    LogWarn("[Main] Failed to flush host settings file: %s", PathToUtf8(path).c_str());
  } else {
    LogWarn("[Main] Failed to write host settings file: %s", PathToUtf8(path).c_str());
  }
  return false;
}

}  // namespace

const char* SettingsFileStatusName(SettingsFileStatus status) {
  switch (status) {
    case SettingsFileStatus::kRead: return "read";
    case SettingsFileStatus::kAbsent: return "absent";
    case SettingsFileStatus::kUnreadable: return "unreadable";
  }
  return "unknown";
}

// ---------------------------------------------------------------------------
// host_settings.ini

const char* CaptureBackendName(int32_t backend) {
  switch (backend) {
    case 1: return "dxgi";
    case 2: return "wgc";
    default: return "auto";
  }
}

bool ParseHostSettingsText(std::string_view text, HostSettings& settings) {
  HostSettings work = settings;
  bool recognised = false;
  ForEachTrimmedLine(text, [&](std::string_view line) {
    if (line.empty() || line.front() == '#' || line.front() == ';') return;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) return;
    if (ApplyHostSetting(TrimWhitespace(line.substr(0, eq)), TrimWhitespace(line.substr(eq + 1)), work)) {
      recognised = true;
    }
  });
  if (recognised) settings = std::move(work);
  return recognised;
}

std::string FormatHostSettings(const HostSettings& s) {
  const uint32_t index = s.capture_output_index > 3 ? 3 : s.capture_output_index;
  std::string out;
  out.reserve(256);
  out.append(kHostSettingsHeader).append("\n");
  out.append("capture_output_index=").append(std::to_string(index)).append("\n");
  out.append("capture_backend=").append(CaptureBackendName(s.capture_backend)).append("\n");
  out.append("share_clipboard=").append(s.share_clipboard ? "1" : "0").append("\n");
  out.append("tablet_only_audio=").append(s.tablet_only_audio ? "1" : "0").append("\n");
  out.append("extended_display=").append(s.extended_display ? "1" : "0").append("\n");
  out.append("extended_display_user_set=").append(s.extended_display_user_set ? "1" : "0").append("\n");
  out.append("check_for_updates=").append(s.check_for_updates ? "1" : "0").append("\n");
  // The version comes from the update check's download; only a well-formed
  // version is written, as only that would be read back.
  if (!s.update_notified_version.empty() && IsVersionText(s.update_notified_version)) {
    out.append("update_notified_version=").append(s.update_notified_version).append("\n");
  }
  return out;
}

HostSettingsLoadResult LoadHostSettings(HostSettings& settings) {
  return LoadHostSettings(settings, DataFolderOrCurrent());
}

HostSettingsLoadResult LoadHostSettings(HostSettings& settings, const std::filesystem::path& folder) {
  HostSettingsLoadResult result;
  const SettingsText text = ReadSettingsFile(folder / kHostSettingsFileName);
  result.file = text.status;
  if (text.status != SettingsFileStatus::kRead) return result;
  result.recognised = ParseHostSettingsText(text.bytes, settings);
  if (!result.recognised) return result;
  const bool user_set = settings.extended_display_user_set_present
                            ? settings.extended_display_user_set_value
                            : (settings.extended_display_present && settings.extended_display_value);
  LogInfo(
      "[Main] Loaded host settings: output_index=%u backend=%s share_clipboard=%d tablet_only_audio=%d "
      "extended_display=%d user_set=%d",
      static_cast<unsigned>(settings.capture_output_index), CaptureBackendName(settings.capture_backend),
      settings.share_clipboard ? 1 : 0, settings.tablet_only_audio ? 1 : 0, settings.extended_display ? 1 : 0,
      user_set ? 1 : 0);
  return result;
}

bool SaveHostSettings(const HostSettings& settings) { return SaveHostSettings(settings, DataFolderOrCurrent()); }

bool SaveHostSettings(const HostSettings& settings, const std::filesystem::path& folder) {
  std::lock_guard<std::mutex> lock(HostSettingsSaveLock());
  return WriteHostSettingsLocked(settings, folder);
}

HostSettings CurrentHostSettings() {
  HostState& state = GetHostState();
  HostSettings s;
  s.capture_output_index = state.capture_output_index.load();
  s.capture_backend = state.capture_backend.load();
  s.share_clipboard = state.share_clipboard.load();
  s.tablet_only_audio = state.tablet_only_audio.load();
  s.extended_display = state.extended_display.load();
  s.extended_display_user_set = state.extended_display_user_set.load();
  s.check_for_updates = state.check_for_updates.load();
  {
    std::lock_guard<std::mutex> lock(state.settings_lock);
    s.update_notified_version = state.update_notified_version;
  }
  return s;
}

bool SaveCurrentHostSettings() { return SaveCurrentHostSettings(DataFolderOrCurrent()); }

bool SaveCurrentHostSettings(const std::filesystem::path& folder) {
  std::lock_guard<std::mutex> lock(HostSettingsSaveLock());
  return WriteHostSettingsLocked(CurrentHostSettings(), folder);
}

// ---------------------------------------------------------------------------
// tablet_modes.ini

TabletModesLoadResult LoadTabletModes() { return LoadTabletModes(DataFolderOrCurrent()); }

TabletModeMap ParseTabletModesText(std::string_view text) {
  TabletModeMap modes;
  ForEachTrimmedLine(text, [&](std::string_view line) {
    if (line.empty() || line.front() == '#') return;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq == 0) return;
    const std::string_view value = TrimWhitespace(line.substr(eq + 1));
    TabletMode mode;
    if (value == "extend") {
      mode = TabletMode::kExtend;
    } else if (value == "mirror") {
      mode = TabletMode::kMirror;
    } else {
      return;
    }
    std::string key(TrimWhitespace(line.substr(0, eq)));
    auto it = modes.find(key);
    if (it != modes.end()) {
      it->second = mode;
    } else if (modes.size() < kMaxTabletModes) {
      modes.emplace(std::move(key), mode);
    }
  });
  return modes;
}

TabletModesLoadResult LoadTabletModes(const std::filesystem::path& folder) {
  TabletModesLoadResult result;
  const SettingsText text = ReadSettingsFile(folder / kTabletModesFileName);
  result.file = text.status;
  if (text.status == SettingsFileStatus::kRead) result.modes = ParseTabletModesText(text.bytes);
  return result;
}

bool IsStorableTabletId(std::string_view id) {
  if (id.empty() || id.size() > kMaxTabletIdBytes) return false;
  if (id.find_first_of(std::string_view("\r\n=\0", 4)) != std::string_view::npos) return false;
  if (id.front() == '#') return false;
  return TrimWhitespace(id).size() == id.size();
}

std::string FormatTabletModes(const TabletModeMap& modes) {
  // The reader keeps at most kMaxTabletModes extend and mirror entries and
  // skips "default" ones, so only the former are bounded by what is read
  // back. "default" entries are written while the file stays within that
  // many entries in all (which keeps it far below the read bound), but never
  // in place of a mode that would be read back.
  const auto kept = [](const std::string& id, TabletMode mode) {
    return IsStorableTabletId(id) && (mode == TabletMode::kExtend || mode == TabletMode::kMirror);
  };
  size_t modes_to_write = 0;
  for (const auto& [id, mode] : modes) {
    if (kept(id, mode) && modes_to_write < kMaxTabletModes) ++modes_to_write;
  }
  const size_t default_slots = kMaxTabletModes - modes_to_write;

  std::string out;
  out.append(kTabletModesHeader).append("\n");
  size_t modes_written = 0;
  size_t defaults_written = 0;
  for (const auto& [id, mode] : modes) {
    if (!IsStorableTabletId(id)) {
      LogWarn("[Main] Not saving the display mode of tablet \"%s\": its id cannot be stored in %s",
              LoggableId(id).c_str(), kTabletModesFileName);
      continue;
    }
    if (!multi_session::IsValidTabletMode(mode)) {
      LogWarn("[Main] Not saving display mode %d of tablet \"%s\": not a mode", static_cast<int>(mode),
              LoggableId(id).c_str());
      continue;
    }
    const bool is_default = mode == TabletMode::kDefault;
    size_t& written = is_default ? defaults_written : modes_written;
    if (written == (is_default ? default_slots : modes_to_write)) continue;
    out.append(id).append("=").append(multi_session::TabletModeName(mode)).append("\n");
    ++written;
  }
  return out;
}

bool SaveTabletModes(const TabletModeMap& modes) { return SaveTabletModes(modes, DataFolderOrCurrent()); }

bool SaveTabletModes(const TabletModeMap& modes, const std::filesystem::path& folder) {
  const std::string text = FormatTabletModes(modes);
  std::lock_guard<std::mutex> lock(TabletModesSaveLock());
  const std::filesystem::path path = folder / kTabletModesFileName;
  HostResult result;
  if (SafeReplaceFile(path, text, &result)) return true;
  WarnReplaceFailed(path, result);
  LogWarn("[Main] Failed to write tablet modes file");
  return false;
}

// ---------------------------------------------------------------------------
// tips.ini

const char* SecondMonitorSideName(SecondMonitorSide side) {
  switch (side) {
    case SecondMonitorSide::kRight: return "right";
    case SecondMonitorSide::kLeft: return "left";
    case SecondMonitorSide::kAbove: return "above";
    case SecondMonitorSide::kBelow: return "below";
    case SecondMonitorSide::kUnknown: break;
  }
  return "unknown";
}

int SecondMonitorTipMessage(SecondMonitorSide side) {
  switch (side) {
    case SecondMonitorSide::kLeft: return 38;
    case SecondMonitorSide::kAbove: return 39;
    case SecondMonitorSide::kBelow: return 40;
    case SecondMonitorSide::kRight:
    case SecondMonitorSide::kUnknown: break;
  }
  return 37;
}

SecondMonitorTipDecision DecideSecondMonitorTip(bool extended, SecondMonitorSide side) {
  return DecideSecondMonitorTip(extended, side, DataFolderOrCurrent());
}

SecondMonitorTipDecision DecideSecondMonitorTip(bool extended, SecondMonitorSide side,
                                                const std::filesystem::path& folder) {
  if (!extended) return {};
  std::lock_guard<std::mutex> lock(TipsLock());
  const std::filesystem::path path = folder / kTipsFileName;
  const SettingsText text = ReadSettingsFile(path);
  // An unreadable count could be anything: no tip, and the file stays as it is.
  if (text.status == SettingsFileStatus::kUnreadable) return {};
  ProfileFile file = text.status == SettingsFileStatus::kRead ? ProfileFile::Parse(text.bytes) : ProfileFile();
  // A negative count is huge when taken as unsigned, as the profile API does.
  const int32_t shown = file.GetInt(kTipsSection, kTipsKey).value_or(0);
  if (shown < 0 || static_cast<uint32_t>(shown) >= kMaxSecondMonitorTips) return {};
  const uint32_t number = static_cast<uint32_t>(shown) + 1;
  file.Set(kTipsSection, kTipsKey, std::to_string(number));
  HostResult result;
  if (!SafeReplaceFile(path, file.Serialize(), &result)) {
    WarnReplaceFailed(path, result);
    return {};
  }
  LogInfo("[Main] Second monitor tip %u of %u (side=%s)", static_cast<unsigned>(number),
          static_cast<unsigned>(kMaxSecondMonitorTips), SecondMonitorSideName(side));
  SecondMonitorTipDecision decision;
  decision.show = true;
  decision.number = number;
  decision.message = SecondMonitorTipMessage(side);
  return decision;
}

// ---------------------------------------------------------------------------
// settings_window.ini

std::optional<WindowPosition> LoadSettingsWindowPosition() {
  return LoadSettingsWindowPosition(DataFolderOrCurrent());
}

std::optional<WindowPosition> LoadSettingsWindowPosition(const std::filesystem::path& folder) {
  std::lock_guard<std::mutex> lock(WindowPositionLock());
  const SettingsText text = ReadSettingsFile(folder / kSettingsWindowFileName);
  if (text.status != SettingsFileStatus::kRead) return std::nullopt;
  const ProfileFile file = ProfileFile::Parse(text.bytes);
  const auto x = file.GetInt(kWindowSection, "x");
  const auto y = file.GetInt(kWindowSection, "y");
  if (!x || !y) return std::nullopt;
  return WindowPosition{*x, *y};
}

bool SaveSettingsWindowPosition(WindowPosition position) {
  return SaveSettingsWindowPosition(position, DataFolderOrCurrent());
}

bool SaveSettingsWindowPosition(WindowPosition position, const std::filesystem::path& folder) {
  std::lock_guard<std::mutex> lock(WindowPositionLock());
  const std::filesystem::path path = folder / kSettingsWindowFileName;
  const SettingsText text = ReadSettingsFile(path);
  if (text.status == SettingsFileStatus::kUnreadable) return false;
  ProfileFile file = text.status == SettingsFileStatus::kRead ? ProfileFile::Parse(text.bytes) : ProfileFile();
  file.Set(kWindowSection, "x", std::to_string(position.x));
  file.Set(kWindowSection, "y", std::to_string(position.y));
  HostResult result;
  if (SafeReplaceFile(path, file.Serialize(), &result)) return true;
  WarnReplaceFailed(path, result);
  return false;
}

ScreenPoint SettingsWindowProbePoint(WindowPosition position) {
  return ScreenPoint{SaturatingAdd(position.x, 40), SaturatingAdd(position.y, 10)};
}

}  // namespace orvane
