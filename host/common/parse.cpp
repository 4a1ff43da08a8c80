#include "host/common/parse.h"

#include <cctype>
#include <limits>

namespace orvane {

namespace {
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

int64_t ParseLeadingIntSaturating(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  int64_t value = 0;
  bool saturated = false;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    const int digit = text[i] - '0';
    if (!saturated && value > (kMax - digit) / 10) saturated = true;
    if (!saturated) value = value * 10 + digit;
  }
  if (saturated) return negative ? std::numeric_limits<int64_t>::min() : kMax;
  return negative ? -value : value;
}

std::optional<uint32_t> ParseDecimalDigits(std::string_view text, size_t max_digits) {
  if (text.empty() || text.size() > max_digits || max_digits > 9) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return value;
}

std::optional<std::vector<uint16_t>> ParsePortList(std::string_view text) {
  std::vector<uint16_t> ports;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    const std::string_view item = text.substr(start, comma == std::string_view::npos ? std::string_view::npos
                                                                                     : comma - start);
    const auto value = ParseDecimalDigits(item, 5);
    if (!value || *value == 0 || *value > 65535) return std::nullopt;
    ports.push_back(static_cast<uint16_t>(*value));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return ports;
}

bool IsVersionText(std::string_view text) {
  int parts = 0;
  size_t start = 0;
  while (true) {
    const size_t dot = text.find('.', start);
    const std::string_view part =
        text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (!ParseDecimalDigits(part, 5)) return false;
    ++parts;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return parts == 3;
}

std::string_view TrimWhitespace(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && IsSpace(text[b])) ++b;
  while (e > b && IsSpace(text[e - 1])) --e;
  return text.substr(b, e - b);
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

std::string ToLowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

int32_t SaturatingAdd(int32_t a, int32_t b) {
  const int64_t sum = static_cast<int64_t>(a) + b;
  if (sum > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (sum < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(sum);
}

}  // namespace orvane
