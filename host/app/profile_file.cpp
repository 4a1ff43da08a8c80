#include "host/app/profile_file.h"

#include <algorithm>
#include <limits>

#include "host/common/parse.h"

namespace orvane {

namespace {

// The name inside "[name]" (trimmed) when the trimmed line is a section
// header; a header without ']' is not one.
std::optional<std::string_view> SectionName(std::string_view line) {
  const std::string_view t = TrimWhitespace(line);
  if (t.empty() || t.front() != '[') return std::nullopt;
  const size_t close = t.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return TrimWhitespace(t.substr(1, close - 1));
}

bool IsComment(std::string_view trimmed) {
  return !trimmed.empty() && (trimmed.front() == ';' || trimmed.front() == '#');
}

struct KeyValue {
  std::string_view key;
  std::string_view value;
};

std::optional<KeyValue> SplitKeyValue(std::string_view line) {
  const std::string_view t = TrimWhitespace(line);
  if (t.empty() || IsComment(t) || t.front() == '[') return std::nullopt;
  const size_t eq = t.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return KeyValue{TrimWhitespace(t.substr(0, eq)), TrimWhitespace(t.substr(eq + 1))};
}

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool IsTrimmed(std::string_view text) { return TrimWhitespace(text).size() == text.size(); }

bool IsStorableSection(std::string_view section) {
  return !section.empty() && IsTrimmed(section) && !HasLineBreakOrNul(section) &&
         section.find(']') == std::string_view::npos;
}

bool IsStorableKey(std::string_view key) {
  return !key.empty() && IsTrimmed(key) && !HasLineBreakOrNul(key) && key.find('=') == std::string_view::npos &&
         key.front() != '[' && !IsComment(key);
}

bool IsStorableValue(std::string_view value) { return IsTrimmed(value) && !HasLineBreakOrNul(value); }

}  // namespace

ProfileFile ProfileFile::Parse(std::string_view text) {
  ProfileFile file;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    file.lines_.emplace_back(line);
    start = end + 1;
  }
  return file;
}

std::optional<ProfileFile::SectionRange> ProfileFile::FindSection(std::string_view section) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    const auto name = SectionName(lines_[i]);
    if (!name || !EqualsIgnoreCase(*name, section)) continue;
    size_t end = i + 1;
    while (end < lines_.size() && !SectionName(lines_[end])) ++end;
    return SectionRange{i + 1, end};
  }
  return std::nullopt;
}

std::optional<size_t> ProfileFile::FindKey(const SectionRange& range, std::string_view key) const {
  for (size_t i = range.begin; i < range.end; ++i) {
    const auto kv = SplitKeyValue(lines_[i]);
    if (kv && EqualsIgnoreCase(kv->key, key)) return i;
  }
  return std::nullopt;
}

std::optional<std::string> ProfileFile::Get(std::string_view section, std::string_view key) const {
  const auto range = FindSection(section);
  if (!range) return std::nullopt;
  const auto index = FindKey(*range, key);
  if (!index) return std::nullopt;
  return std::string(SplitKeyValue(lines_[*index])->value);
}

std::optional<int32_t> ProfileFile::GetInt(std::string_view section, std::string_view key) const {
  const auto text = Get(section, key);
  if (!text) return std::nullopt;
  const int64_t value = ParseLeadingIntSaturating(*text);
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

bool ProfileFile::Set(std::string_view section, std::string_view key, std::string_view value) {
  if (!IsStorableSection(section) || !IsStorableKey(key) || !IsStorableValue(value)) return false;
  std::string line;
  line.reserve(key.size() + 1 + value.size());
  line.append(key).append("=").append(value);

  const auto range = FindSection(section);
  if (!range) {
    std::string header;
    header.reserve(section.size() + 2);
    header.append("[").append(section).append("]");
    lines_.push_back(std::move(header));
    lines_.push_back(std::move(line));
    return true;
  }
  if (const auto index = FindKey(*range, key)) {
    lines_[*index] = std::move(line);
    return true;
  }
  // After the section's last non-blank line, so blank lines that separate it
  // from the next section stay where they are.
  size_t insert_at = range->end;
  while (insert_at > range->begin && TrimWhitespace(lines_[insert_at - 1]).empty()) --insert_at;
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insert_at), std::move(line));
  return true;
}

std::string ProfileFile::Serialize() const {
  std::string out;
  for (const auto& line : lines_) out.append(line).append("\r\n");
  return out;
}

}  // namespace orvane
