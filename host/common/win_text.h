#pragma once
// UTF-8 <-> wide text at Windows API boundaries (Windows build only).

#include <string>
#include <string_view>

#include "host/common/utf.h"

namespace orvane {

inline std::wstring ToWide(std::string_view utf8) {
  const std::u16string w = Utf8ToUtf16(utf8);
  return std::wstring(w.begin(), w.end());
}

inline std::string FromWide(std::wstring_view wide) {
  return Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
}

}  // namespace orvane
