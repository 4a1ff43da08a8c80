#pragma once
// UTF-8 inside, UTF-16 only at Windows API boundaries.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// Invalid input is replaced with U+FFFD; never fails.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);
// Appends the UTF-8 form of one code point (the caller checks its range).
void AppendUtf8(std::string* out, char32_t cp);

bool IsValidUtf8(std::string_view text);

// The longest prefix of at most max_bytes bytes that does not cut a UTF-8
// sequence in half.
std::string_view Utf8Prefix(std::string_view text, size_t max_bytes);

// Bytes widened one by one (for text that is not valid UTF-8).
std::u16string WidenBytes(std::string_view bytes);

// The strings of a UTF-16 multi-string (REG_MULTI_SZ) as UTF-8, read within
// the given units only: a missing final terminator ends the last string at
// the end of the data, an empty string ends the list.
std::vector<std::string> SplitUtf16MultiString(std::u16string_view units);

}  // namespace orvane
