#pragma once
// The display mode the user chose for one tablet. Default follows the virtual
// display driver: extended when the driver is available, mirrored otherwise.

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace orvane::multi_session {

enum class TabletMode : int { kDefault = 0, kExtend = 1, kMirror = 2 };

// "default", "extend", "mirror"; "unknown" for a value outside the enum.
constexpr const char* TabletModeName(TabletMode mode) {
  switch (mode) {
    case TabletMode::kDefault: return "default";
    case TabletMode::kExtend: return "extend";
    case TabletMode::kMirror: return "mirror";
  }
  return "unknown";
}

// The mode for a number from outside (a UI command, a file); nullopt for a
// value that is not a mode, so unknown values never enter the program.
constexpr std::optional<TabletMode> TabletModeFromInt(int value) {
  switch (value) {
    case 0: return TabletMode::kDefault;
    case 1: return TabletMode::kExtend;
    case 2: return TabletMode::kMirror;
    default: return std::nullopt;
  }
}

// Exact, case-sensitive name as TabletModeName() writes it.
constexpr std::optional<TabletMode> TabletModeFromName(std::string_view name) {
  if (name == "default") return TabletMode::kDefault;
  if (name == "extend") return TabletMode::kExtend;
  if (name == "mirror") return TabletMode::kMirror;
  return std::nullopt;
}

constexpr bool IsValidTabletMode(TabletMode mode) { return TabletModeFromInt(static_cast<int>(mode)).has_value(); }

}  // namespace orvane::multi_session

namespace orvane {

// The stored mode of each tablet, by client id.
using TabletModeMap = std::map<std::string, multi_session::TabletMode>;

}  // namespace orvane
