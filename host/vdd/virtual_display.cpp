#include "host/vdd/virtual_display.h"

#include <cstdio>
#include <iterator>

namespace orvane {

const char* VirtualDisplayAcquireKindName(int kind) {
  static const char* const kNames[] = {"created",          "reused",        "reconfigured",
                                       "extended-mode-off", "driver-not-installed", "add-failed",
                                       "monitor-not-found", "no-free-monitor",      "restart-pending"};
  if (kind < 0 || kind >= static_cast<int>(std::size(kNames))) return "unknown";
  return kNames[kind];
}

const char* VirtualDisplayStateName(int state) {
  static const char* const kNames[] = {"not-installed", "installed", "unavailable"};
  if (state < 0 || state >= static_cast<int>(std::size(kNames))) return "unknown";
  return kNames[state];
}

const char* VddTargetStateName(int state) {
  static const char* const kNames[] = {"detached", "cloned", "extended"};
  if (state < 0 || state >= static_cast<int>(std::size(kNames))) return "unknown";
  return kNames[state];
}

std::string TargetIdFromDevicePath(std::string_view path) {
  constexpr std::string_view kPrefix = "\\\\?\\";
  if (path.substr(0, kPrefix.size()) == kPrefix) path.remove_prefix(kPrefix.size());
  const size_t cut = path.find("#{");
  if (cut != std::string_view::npos) path = path.substr(0, cut);
  std::string id;
  id.reserve(path.size());
  for (const char c : path) {
    if (c == '#') {
      id.push_back('\\');
    } else if (c >= 'a' && c <= 'z') {
      id.push_back(static_cast<char>(c - 'a' + 'A'));
    } else {
      id.push_back(c);
    }
  }
  return id;
}

std::string FallbackTargetId(uint32_t adapter_luid_low, uint32_t target_number) {
  char text[32];
  std::snprintf(text, sizeof text, "TARGET-%08lX-%u", static_cast<unsigned long>(adapter_luid_low), target_number);
  return text;
}

std::string FormatVddToken(const VddToken& token) {
  std::string text = token.attached ? "attached" : "preexisting";
  if (!token.target_id.empty()) text += "@" + token.target_id;
  return text;
}

std::optional<VddToken> ParseVddToken(std::string_view text) {
  const size_t at = text.find('@');
  const std::string_view word = text.substr(0, at);
  VddToken token;
  if (word == "attached") {
    token.attached = true;
  } else if (word != "preexisting") {
    return std::nullopt;
  }
  if (at != std::string_view::npos) {
    token.target_id = std::string(text.substr(at + 1));
    if (token.target_id.empty()) return std::nullopt;
  }
  return token;
}

}  // namespace orvane
