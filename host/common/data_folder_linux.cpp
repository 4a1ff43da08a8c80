#include "host/common/data_folder.h"

#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "host/common/file_io.h"

namespace orvane {

namespace {

std::optional<std::filesystem::path> ConfigHome() {
  const char* xdg = getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return std::filesystem::path(xdg);
  const char* home = getenv("HOME");
  if (!home || !home[0]) {
    const passwd* pw = getpwuid(getuid());
    if (!pw || !pw->pw_dir) return std::nullopt;
    home = pw->pw_dir;
  }
  return std::filesystem::path(home) / ".config";
}

}  // namespace

std::optional<std::filesystem::path> DataFolder() {
  auto base = ConfigHome();
  if (!base) return std::nullopt;
  std::filesystem::path folder = *base / "OrvaneDisplay";
  if (!EnsureDirectory(folder)) return std::nullopt;
  return folder;
}

std::filesystem::path RuntimeFolder() {
  const char* xdg = getenv("XDG_RUNTIME_DIR");
  if (xdg && xdg[0] == '/') return std::filesystem::path(xdg);
  std::filesystem::path fallback = "/tmp/orvane-" + std::to_string(getuid());
  mkdir(fallback.c_str(), 0700);
  return fallback;
}

}  // namespace orvane
