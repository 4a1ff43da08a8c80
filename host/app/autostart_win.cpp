#include "host/app/autostart.h"

#include <windows.h>

#include "host/common/logger.h"
#include "host/common/platform_info.h"
#include "host/common/win_text.h"

namespace orvane {

namespace {

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

bool RunValueExists(HKEY root) {
  const std::wstring name = ToWide(kStartWithWindowsValueName);
  DWORD size = 0;
  return RegGetValueW(root, kRunKey, name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &size) == ERROR_SUCCESS;
}

}  // namespace

bool EnableStartWithWindows() { return EnableStartWithWindows(ProgramPathUtf8()); }

bool EnableStartWithWindows(std::string_view program_path) {
  const std::string command = StartWithWindowsCommand(program_path);
  if (command.empty()) {
    LogWarn("[Main] Start with Windows not enabled: the program path could not be read");
    return false;
  }
  const std::wstring name = ToWide(kStartWithWindowsValueName);
  const std::wstring value = ToWide(command);
  const LONG status = RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, name.c_str(), REG_SZ, value.c_str(),
                                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  LogInfo("[Main] Start with Windows enabled (status=%ld)", status);
  return status == ERROR_SUCCESS;
}

bool DisableStartWithWindows(const std::function<void()>& show_machine_entry_message) {
  const std::wstring name = ToWide(kStartWithWindowsValueName);
  bool ok = true;
  const LONG user_status = RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, name.c_str());
  if (user_status != ERROR_SUCCESS && user_status != ERROR_FILE_NOT_FOUND) {
    LogWarn("[Main] Removing the Start with Windows value failed: %ld", user_status);
    ok = false;
  }
  // An installer may have written the value for the machine; removing it
  // needs administrator rights, which the host normally does not have.
  if (RunValueExists(HKEY_LOCAL_MACHINE)) {
    const LONG machine_status = RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kRunKey, name.c_str());
    if (machine_status != ERROR_SUCCESS) {
      LogWarn("[Main] Removing the machine-wide Start with Windows value failed: %ld", machine_status);
      ok = false;
      if (show_machine_entry_message) show_machine_entry_message();
    }
  }
  LogInfo("[Main] Start with Windows disabled");
  return ok;
}

bool IsStartWithWindowsEnabled() { return RunValueExists(HKEY_CURRENT_USER) || RunValueExists(HKEY_LOCAL_MACHINE); }

}  // namespace orvane
