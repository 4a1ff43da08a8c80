#pragma once
// The host's small settings and state files in the per-user data folder:
//   host_settings.ini     the user's choices (HostSettings)
//   tablet_modes.ini      the display mode chosen per tablet
//   tips.ini              how many second-monitor tips were shown
//   settings_window.ini   where the settings window was last placed
//
// Every file is optional. A file that is missing gives the defaults; a file
// that exists but cannot be read (or is larger than any real settings file)
// also gives the defaults, is reported as unreadable, and must not be
// replaced by a start-up write: it may hold the user's choices. Every write
// goes through the safe-replace helper, so a crash never leaves half a file.
//
// Each operation comes in two forms: one working in the data folder (the
// current folder when the data folder is not available), and one taking the
// folder explicitly (tests).

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "host/control/tablet_mode.h"

namespace orvane {

inline constexpr char kHostSettingsFileName[] = "host_settings.ini";
inline constexpr char kTabletModesFileName[] = "tablet_modes.ini";
inline constexpr char kTipsFileName[] = "tips.ini";
inline constexpr char kSettingsWindowFileName[] = "settings_window.ini";

// Upper bound of every file read here; these files hold a few hundred bytes,
// anything larger is not one of ours and is treated as unreadable.
inline constexpr size_t kMaxSettingsFileBytes = 64 * 1024;

enum class SettingsFileStatus : int {
  kRead = 0,        // the file was read (whatever it held)
  kAbsent = 1,      // no such file: defaults, and writing it is fine
  kUnreadable = 2,  // it exists but could not be read, or is too large
};

// "read", "absent", "unreadable".
const char* SettingsFileStatusName(SettingsFileStatus status);

// ---------------------------------------------------------------------------
// host_settings.ini

struct HostSettings {
  uint32_t capture_output_index = 0;  // 0..3
  int32_t capture_backend = 0;        // 0 auto, 1 dxgi, 2 wgc
  bool share_clipboard = true;
  bool tablet_only_audio = true;
  // Written as extended_display and extended_display_user_set.
  bool extended_display = false;
  bool extended_display_user_set = false;
  // As read: whether each of the two keys was in the file, and its value. The
  // host entry decides the effective extended-display setting from these.
  bool extended_display_present = false;
  bool extended_display_value = false;
  bool extended_display_user_set_present = false;
  bool extended_display_user_set_value = false;
  bool check_for_updates = true;
  std::string update_notified_version;  // "a.b.c" or empty
};

// "auto", "dxgi", "wgc" (anything but 1 and 2 is auto).
const char* CaptureBackendName(int32_t backend);

// Applies the lines of a host_settings.ini text to `settings`; true when at
// least one line's value was accepted. Unknown keys and bad values are
// ignored line by line. `settings` is changed only when the result is true.
bool ParseHostSettingsText(std::string_view text, HostSettings& settings);

// The whole file text.
std::string FormatHostSettings(const HostSettings& settings);

struct HostSettingsLoadResult {
  SettingsFileStatus file = SettingsFileStatus::kAbsent;
  bool recognised = false;  // at least one key was accepted; the record was updated
};

// Reads host_settings.ini into `settings` (unchanged unless recognised). An
// unreadable file logs a warning; the caller must then not rewrite it.
HostSettingsLoadResult LoadHostSettings(HostSettings& settings);
HostSettingsLoadResult LoadHostSettings(HostSettings& settings, const std::filesystem::path& folder);

bool SaveHostSettings(const HostSettings& settings);
bool SaveHostSettings(const HostSettings& settings, const std::filesystem::path& folder);

// The live values of the process (host_state.h), the update notified version
// taken under the settings lock.
HostSettings CurrentHostSettings();

// Saves CurrentHostSettings(). The snapshot and the write happen under one
// save lock, so concurrent callers cannot write an older snapshot over a
// newer one. Must not be called with the settings lock held.
bool SaveCurrentHostSettings();
bool SaveCurrentHostSettings(const std::filesystem::path& folder);

// ---------------------------------------------------------------------------
// tablet_modes.ini

// At most this many tablets are loaded (and saved).
inline constexpr size_t kMaxTabletModes = 64;
// Longer device ids are not saved: the file must stay well under the read bound.
inline constexpr size_t kMaxTabletIdBytes = 512;

struct TabletModesLoadResult {
  SettingsFileStatus file = SettingsFileStatus::kAbsent;
  TabletModeMap modes;  // only kExtend and kMirror entries
};

// The modes of a tablet_modes.ini text, line by line: "id=extend" or
// "id=mirror" (exact words; anything else, "default" included, is skipped),
// ids and values trimmed, lines starting with '#' skipped, a later line for an
// id replacing an earlier one, new ids taken only while fewer than
// kMaxTabletModes are held.
TabletModeMap ParseTabletModesText(std::string_view text);

TabletModesLoadResult LoadTabletModes();
TabletModesLoadResult LoadTabletModes(const std::filesystem::path& folder);

// True when the id reads back unchanged as a key of tablet_modes.ini: not
// empty, at most kMaxTabletIdBytes, no CR, LF, NUL or '=', no leading '#',
// no white space at either end.
bool IsStorableTabletId(std::string_view client_id);

// The file text: the header, then "id=mode" for each storable id in key
// order, at most kMaxTabletModes entries: the first kMaxTabletModes extend
// and mirror entries, and "default" entries only in the places those leave
// (they are never read back). Ids that cannot be stored (and modes outside
// the enum) are skipped with a warning each.
std::string FormatTabletModes(const TabletModeMap& modes);

bool SaveTabletModes(const TabletModeMap& modes);
bool SaveTabletModes(const TabletModeMap& modes, const std::filesystem::path& folder);

// ---------------------------------------------------------------------------
// tips.ini: the second-monitor tip, shown on the first three streams that put
// a tablet beside the PC's screen as a virtual monitor.

inline constexpr uint32_t kMaxSecondMonitorTips = 3;

// Where the virtual monitor sits relative to the PC's main screen.
enum class SecondMonitorSide : int { kUnknown = 0, kRight = 1, kLeft = 2, kAbove = 3, kBelow = 4 };

// "unknown", "right", "left", "above", "below".
const char* SecondMonitorSideName(SecondMonitorSide side);

// Message-table number of the tip for a side: 37 right (and unknown),
// 38 left, 39 above, 40 below.
int SecondMonitorTipMessage(SecondMonitorSide side);

struct SecondMonitorTipDecision {
  bool show = false;
  uint32_t number = 0;  // 1..3, the tip's number when shown
  int message = 0;      // message-table number when shown
};

// Called when a stream starts. For a virtual monitor (`extended`), under the
// tips lock: when fewer than three tips were shown, counts one more in
// tips.ini and returns the tip to show. The tip is shown only when the count
// was recorded, so no user sees more than three.
SecondMonitorTipDecision DecideSecondMonitorTip(bool extended, SecondMonitorSide side);
SecondMonitorTipDecision DecideSecondMonitorTip(bool extended, SecondMonitorSide side,
                                                const std::filesystem::path& folder);

// ---------------------------------------------------------------------------
// settings_window.ini

struct WindowPosition {
  int32_t x = 0;  // left, may be negative
  int32_t y = 0;  // top, may be negative
};

struct ScreenPoint {
  int32_t x = 0;
  int32_t y = 0;
};

// The saved position when both x and y are present (values saturate at the
// int32 range).
std::optional<WindowPosition> LoadSettingsWindowPosition();
std::optional<WindowPosition> LoadSettingsWindowPosition(const std::filesystem::path& folder);

// Keeps other sections and keys of the file. Refuses (false) to replace a
// file that exists but cannot be read.
bool SaveSettingsWindowPosition(WindowPosition position);
bool SaveSettingsWindowPosition(WindowPosition position, const std::filesystem::path& folder);

// The point that must lie on a monitor for the saved position to be used:
// a little inside the caption bar, (x + 40, y + 10), saturating.
ScreenPoint SettingsWindowProbePoint(WindowPosition position);

}  // namespace orvane
