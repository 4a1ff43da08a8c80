#pragma once
// The Virtual Display Driver's settings file, vdd_settings.xml, as text: its
// location, how many monitors it asks for, and a bounded read. A tolerant
// byte-wise scanner, not an XML parser: comments ("<!--" to "-->") are
// skipped, everything is case-sensitive. Used by the host and the setup tool;
// nothing here depends on either.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tvr_vdd {

inline constexpr char kDefaultSettingsFolder[] = "C:\\VirtualDisplayDriver";
inline constexpr char kSettingsFileName[] = "vdd_settings.xml";
// Larger files count as unreadable.
inline constexpr size_t kMaxSettingsFileBytes = 1024 * 1024;
// What separates the folder from the file name: '\\' on Windows, '/' where
// a simulated driver keeps its folder on Linux.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// The settings file in the driver's folder (the VDDPATH value): trailing
// '\\' and '/' removed, then the separator and "vdd_settings.xml"; an empty
// folder is kDefaultSettingsFolder.
std::string SettingsFileInFolder(std::string_view folder);

// A position lies inside a comment when the last "<!--" starting at or
// before it has no "-->" after it, or its first "-->" starts after the
// position.
bool InsideComment(std::string_view text, size_t position);

// The first "count" element outside comments (a self-closing "<count .../>"
// is none, and a "</count>" inside a comment closes nothing): its content,
// trimmed of white space, a decimal number of 1 to 100000. False when there
// is none or it is not such a number (callers then take 1).
bool ReadMonitorCount(std::string_view text, uint32_t* count);

struct SettingsText {
  bool opened = false;
  std::string text;  // the whole file as bytes, never re-encoded
};
// Reads the file whole without newline translation, sharing it with readers
// and writers; a file larger than kMaxSettingsFileBytes is not opened.
// `path` is UTF-8.
SettingsText ReadSettingsText(const std::string& path);

}  // namespace tvr_vdd
