#pragma once
// The per-user data folder: Windows: the roaming application data folder +
// "\OrvaneDisplay"; Linux: $XDG_CONFIG_HOME/OrvaneDisplay, else
// ~/.config/OrvaneDisplay. Created on first use.

#include <filesystem>
#include <optional>

namespace orvane {

// The folder, created when missing; nullopt when it cannot be located or
// created.
std::optional<std::filesystem::path> DataFolder();

// DataFolder(), or "." (the current directory) when it is not available.
std::filesystem::path DataFolderOrCurrent();

// A subfolder of the data folder ("logs", "crashes"), created when missing;
// "." when the data folder is not available.
std::filesystem::path DataSubfolder(const char* name);

// Linux: the per-login runtime folder ($XDG_RUNTIME_DIR, else /tmp/orvane-<uid>)
// for the single-instance lock and socket; Windows: unused (named objects).
std::filesystem::path RuntimeFolder();

}  // namespace orvane
