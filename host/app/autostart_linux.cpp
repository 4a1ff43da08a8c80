#include "host/app/autostart.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <system_error>

#include "host/common/file_io.h"
#include "host/common/logger.h"
#include "host/common/platform_info.h"

namespace orvane {

namespace {

std::optional<std::filesystem::path> AutostartFolder() {
  const char* xdg = getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::filesystem::path(xdg) / "autostart";
  const char* home = getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    const passwd* pw = getpwuid(getuid());
    if (pw == nullptr || pw->pw_dir == nullptr) return std::nullopt;
    home = pw->pw_dir;
  }
  return std::filesystem::path(home) / ".config" / "autostart";
}

std::optional<std::filesystem::path> EntryPath() {
  auto folder = AutostartFolder();
  if (!folder) return std::nullopt;
  return *folder / "orvane-display.desktop";
}

// Inside a quoted Exec argument these need escapes of their own (and the
// desktop file format escapes backslashes once more); an installed program's
// path does not hold them, so they are refused rather than escaped.
bool ExecSafe(std::string_view path) {
  return path.find_first_of("\\`$%") == std::string_view::npos;
}

}  // namespace

bool EnableStartWithWindows() { return EnableStartWithWindows(ProgramPathUtf8()); }

bool EnableStartWithWindows(std::string_view program_path) {
  const std::string command = StartWithWindowsCommand(program_path);
  const auto path = EntryPath();
  if (command.empty()) {
    LogWarn("[Main] Start with Windows not enabled: the program path could not be read");
    return false;
  }
  if (!ExecSafe(program_path) || !path) {
    LogWarn("[Main] Start with Windows not enabled: no autostart entry can be written for this program");
    return false;
  }
  const std::string entry =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Orvane Display\n"
      "Exec=" + command + "\n"
      "Terminal=false\n"
      "X-GNOME-Autostart-enabled=true\n";
  HostResult result;
  long status = 0;
  if (!EnsureDirectory(path->parent_path())) {
    status = 1;
  } else if (!SafeReplaceFile(*path, entry, &result)) {
    status = result.code;
  }
  LogInfo("[Main] Start with Windows enabled (status=%ld)", status);
  return status == 0;
}

bool DisableStartWithWindows(const std::function<void()>& /*show_machine_entry_message*/) {
  bool ok = true;
  if (const auto path = EntryPath()) {
    std::error_code ec;
    std::filesystem::remove(*path, ec);
    if (ec) {
      LogWarn("[Main] Removing the autostart entry failed: %s", ec.message().c_str());
      ok = false;
    }
  }
  LogInfo("[Main] Start with Windows disabled");
  return ok;
}

bool IsStartWithWindowsEnabled() {
  const auto path = EntryPath();
  std::error_code ec;
  return path && std::filesystem::is_regular_file(*path, ec);
}

}  // namespace orvane
