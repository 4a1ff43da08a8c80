#pragma once
// "Start with Windows": the host starts in the background when the user logs
// on. Windows: the value "Orvane Display" under HKEY_CURRENT_USER
// "Software\Microsoft\Windows\CurrentVersion\Run"; an installer may have
// written the same value under HKEY_LOCAL_MACHINE. Linux: the XDG autostart
// entry $XDG_CONFIG_HOME/autostart/orvane-display.desktop (else
// ~/.config/autostart), written through SafeReplaceFile.

#include <functional>
#include <string>
#include <string_view>

namespace orvane {

inline constexpr char kStartWithWindowsValueName[] = "Orvane Display";

// "\"<program path>\" --background"; empty when the path is empty, not valid
// UTF-8, or holds a quote or a control character (nothing is written then).
std::string StartWithWindowsCommand(std::string_view program_path);

// Writes the entry for this program (ProgramPathUtf8()); nothing is written
// when the program path cannot be read. Logs INFO
// "[Main] Start with Windows enabled (status=%ld)" with the write's status.
bool EnableStartWithWindows();
// The same for a given program path (tests).
bool EnableStartWithWindows(std::string_view program_path);

// Removes the user's entry. Windows: when the machine-wide value exists and
// cannot be removed (it needs administrator rights), calls
// show_machine_entry_message so that the UI can tell the user; Linux never
// calls it. Logs INFO "[Main] Start with Windows disabled". False when an
// entry is left behind.
bool DisableStartWithWindows(const std::function<void()>& show_machine_entry_message);

// True when the host starts at log-on: Windows: the value exists under
// HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE; Linux: the autostart entry exists.
bool IsStartWithWindowsEnabled();

}  // namespace orvane
