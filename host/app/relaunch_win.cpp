#include "host/app/relaunch.h"

#include <windows.h>

#include <vector>

#include "host/common/logger.h"
#include "host/common/platform_info.h"
#include "host/common/win_text.h"

namespace orvane {

bool RelaunchInBackground(const RelaunchArguments& args) {
  LogInfo("[Main] Console close intercepted -- relaunching in background");
  SetLastError(ERROR_SUCCESS);
  const std::string program = ProgramPathUtf8();
  if (program.empty()) {
    DWORD error = GetLastError();
    if (error == ERROR_SUCCESS) error = ERROR_INSUFFICIENT_BUFFER;  // too long to read whole
    LogWarn("[Main] Relaunch path lookup failed: 0x%08lX", error);
    return false;
  }
  std::string command_line;
  if (!BuildRelaunchCommandLine(program, args, &command_line)) {
    LogWarn("[Main] Background relaunch failed: 0x%08lX", static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    return false;
  }
  const std::wstring program_wide = ToWide(program);
  // CreateProcessW may write into the command line, so it gets its own buffer.
  const std::wstring line_wide = ToWide(command_line);
  std::vector<wchar_t> line(line_wide.begin(), line_wide.end());
  line.push_back(L'\0');

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program_wide.c_str(), line.data(), nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS, nullptr, nullptr, &startup,
                      &process)) {
    LogWarn("[Main] Background relaunch failed: 0x%08lX", GetLastError());
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  LogInfo("[Main] Background relaunch requested after console close");
  return true;
}

}  // namespace orvane
