#pragma once
// A small reader and writer of profile files (the "[section]" / "key=value"
// text format of Windows .ini files), so that the host's little state files
// can be written through the safe-replace helper and tested on every platform.
//
// Reading follows the Windows profile functions: section and key names are
// compared case-insensitively (ASCII), white space around names and values is
// ignored, the first matching section and key win. Lines starting with ';' or
// '#' are comments. Set() changes one line and keeps every other line of the
// file as it was (other sections, unknown keys, comments).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

class ProfileFile {
 public:
  ProfileFile() = default;

  // Never fails: lines that are neither a section, a key nor a comment are
  // kept as they are and otherwise ignored.
  static ProfileFile Parse(std::string_view text);

  std::optional<std::string> Get(std::string_view section, std::string_view key) const;

  // The value read like GetPrivateProfileInt: optional sign and leading
  // decimal digits (0 when there are none), saturated to the int32 range;
  // nullopt when the key is missing.
  std::optional<int32_t> GetInt(std::string_view section, std::string_view key) const;

  // Replaces the key's value, or adds the key at the end of its section, or
  // adds the section at the end of the file. False (nothing changed) when the
  // names or the value would not read back the same: empty names, CR, LF or
  // NUL anywhere, '=' in a key, ']' in a section, a key starting with '[',
  // ';' or '#', or white space at either end.
  bool Set(std::string_view section, std::string_view key, std::string_view value);

  // Every line followed by "\r\n", as Windows writes profile files.
  std::string Serialize() const;

 private:
  // Index of the first line of the first section named `section` (the line
  // after its header) and the index one past its last line; nullopt when the
  // section is missing.
  struct SectionRange {
    size_t begin;
    size_t end;
  };
  std::optional<SectionRange> FindSection(std::string_view section) const;
  std::optional<size_t> FindKey(const SectionRange& range, std::string_view key) const;

  std::vector<std::string> lines_;
};

}  // namespace orvane
