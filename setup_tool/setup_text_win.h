#pragma once
// UTF-8 <-> UTF-16 at the setup tool's Windows calls (Windows build only).

#include <windows.h>

#include <string>
#include <string_view>

namespace orvane::vdd_setup {

inline std::wstring Utf8ToWide(std::string_view text) {
  if (text.empty() || text.size() > 0x7FFFFFFF) return {};
  const int size = static_cast<int>(text.size());
  const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  if (units <= 0) return {};
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), units);
  return wide;
}

inline std::string WideToUtf8(std::wstring_view wide) {
  if (wide.empty() || wide.size() > 0x7FFFFFFF) return {};
  const int size = static_cast<int>(wide.size());
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string text(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, text.data(), bytes, nullptr, nullptr);
  return text;
}

}  // namespace orvane::vdd_setup
