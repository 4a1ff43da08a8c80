#pragma once
// Small parsers for untrusted text (command line, settings files).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// Like atoi, without undefined behaviour: optional leading white space and
// sign, then leading decimal digits (0 when there are none); the value
// saturates at the int64 range instead of overflowing.
int64_t ParseLeadingIntSaturating(std::string_view text);

// Exactly 1..max_digits decimal digits and nothing else.
std::optional<uint32_t> ParseDecimalDigits(std::string_view text, size_t max_digits);

// Comma-separated ports, each 1..5 decimal digits and 1..65535; any bad or
// empty item rejects the whole list.
std::optional<std::vector<uint16_t>> ParsePortList(std::string_view text);

// Three dot-separated decimal numbers of 1 to 5 digits each ("1.3.5").
bool IsVersionText(std::string_view text);

// Trim spaces, tabs and other ASCII white space at both ends.
std::string_view TrimWhitespace(std::string_view text);

bool EqualsIgnoreCase(std::string_view a, std::string_view b);
std::string ToLowerAscii(std::string_view text);

// Saturating 32-bit addition (file values plus offsets).
int32_t SaturatingAdd(int32_t a, int32_t b);

}  // namespace orvane
