#include "host/common/platform_info.h"

#include <windows.h>

#include <vector>

#include "host/common/win_text.h"

namespace orvane {

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string ComputerNameUtf8() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size)) return {};
  return FromWide(std::wstring_view(name, size));
}

std::string ProgramPathUtf8() {
  // Grow the buffer until the path fits; a truncated path is never returned.
  std::vector<wchar_t> buf(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) return FromWide(std::wstring_view(buf.data(), n));
    if (buf.size() >= 32768) return {};
    buf.resize(buf.size() * 2);
  }
}

}  // namespace orvane
