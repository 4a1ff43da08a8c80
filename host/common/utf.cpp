#include "host/common/utf.h"

#include <cstdint>

namespace orvane {

namespace {

// Decodes one code point at text[i]; returns its length, or 0 when the
// sequence is invalid (overlong, surrogate, out of range, truncated).
size_t DecodeUtf8(std::string_view text, size_t i, char32_t* out) {
  const auto b = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t c0 = b(i);
  if (c0 < 0x80) {
    *out = c0;
    return 1;
  }
  size_t len;
  char32_t cp;
  char32_t min;
  if ((c0 & 0xE0) == 0xC0) {
    len = 2; cp = c0 & 0x1F; min = 0x80;
  } else if ((c0 & 0xF0) == 0xE0) {
    len = 3; cp = c0 & 0x0F; min = 0x800;
  } else if ((c0 & 0xF8) == 0xF0) {
    len = 4; cp = c0 & 0x07; min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > text.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const uint8_t c = b(i + k);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  *out = cp;
  return len;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    char32_t cp;
    const size_t n = DecodeUtf8(utf8, i, &cp);
    if (n == 0) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
        ++i;
      } else {
        cp = 0xFFFD;
      }
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    AppendUtf8(&out, cp);
  }
  return out;
}

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    char32_t cp;
    const size_t n = DecodeUtf8(text, i, &cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string_view Utf8Prefix(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  size_t cut = max_bytes;
  // Step back over continuation bytes to the start of the cut sequence.
  while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

std::u16string WidenBytes(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (char c : bytes) out.push_back(static_cast<char16_t>(static_cast<uint8_t>(c)));
  return out;
}

void AppendUtf8(std::string* out, char32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::vector<std::string> SplitUtf16MultiString(std::u16string_view units) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < units.size()) {
    size_t end = units.find(u'\0', start);
    if (end == std::u16string_view::npos) end = units.size();
    if (end == start) break;
    out.push_back(Utf16ToUtf8(units.substr(start, end - start)));
    start = end + 1;
  }
  return out;
}

}  // namespace orvane
