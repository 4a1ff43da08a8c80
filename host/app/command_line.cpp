#include "host/app/command_line.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "host/common/logger.h"
#include "host/common/parse.h"
#include "host/common/utf.h"

namespace orvane {

namespace {

bool IsFlag(std::string_view arg) {
  return arg == "--shutdown" || arg == "--restore-speakers" || arg == "--console" || arg == "--vdd-selftest" ||
         arg == "--background" || arg == "--relaunched";
}

bool IsAllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Read like atoi (leading digits, 0 without any) but saturating, so a huge
// number is simply out of range instead of undefined.
uint16_t PortOrDefault(std::string_view text, uint16_t fallback) {
  const int64_t value = ParseLeadingIntSaturating(text);
  if (value < 1 || value > 65535) return fallback;
  return static_cast<uint16_t>(value);
}

std::optional<int32_t> CaptureBackendFromName(std::string_view name) {
  if (EqualsIgnoreCase(name, "wgc") || EqualsIgnoreCase(name, "windows-graphics-capture")) return 2;
  if (EqualsIgnoreCase(name, "dxgi") || EqualsIgnoreCase(name, "desktop-duplication")) return 1;
  // "auto" and every unknown name choose automatically.
  return 0;
}

bool IsLanguageCode(std::string_view text) {
  if (text.empty() || text.size() > kMaxLanguageCodeBytes) return false;
  for (char c : text) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '_';
    if (!ok) return false;
  }
  return true;
}

// A plain decimal number in [1.0, 3.0]; anything else (NaN, infinities,
// trailing text, hexadecimal) is rejected. from_chars does not depend on the
// C locale's decimal point.
std::optional<double> ParseUiScale(std::string_view text) {
  if (text.empty() || text.size() > 32) return std::nullopt;
  double value = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (!std::isfinite(value) || !(value >= 1.0 && value <= 3.0)) return std::nullopt;
  return value;
}

std::optional<std::vector<uint16_t>> ParseCandidateList(std::string_view text, const char* option) {
  // An item is at most five digits and a comma, so a longer text cannot be a
  // valid list; it is refused before anything is allocated for it.
  std::optional<std::vector<uint16_t>> list;
  if (text.size() <= kMaxCandidatePorts * 6) {
    list = ParsePortList(text);
    if (list && list->size() > kMaxCandidatePorts) list.reset();
  }
  if (!list) LogWarn("[Main] Ignoring invalid %s list", option);
  return list;
}

void ParseSelfTestArguments(const std::vector<std::string>& args, size_t flag_index, CommandLineOptions* out) {
  const size_t monitor_index = flag_index + 1;
  if (monitor_index >= args.size() || args[monitor_index].starts_with("-")) return;
  if (args[monitor_index].size() <= kMaxSelfTestModeBytes) out->vdd_selftest_monitor = args[monitor_index];
  const size_t seconds_index = monitor_index + 1;
  if (seconds_index >= args.size() || !IsAllDigits(args[seconds_index])) return;
  const int64_t seconds = ParseLeadingIntSaturating(args[seconds_index]);
  out->vdd_selftest_seconds = static_cast<uint32_t>(std::min<int64_t>(seconds, kMaxSelfTestSeconds));
}

}  // namespace

CommandLineOptions ParseCommandLine(const std::vector<std::string>& args) {
  CommandLineOptions out;

  // The flags first, wherever they are.
  bool selftest_seen = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--shutdown") out.shutdown = true;
    if (arg == "--restore-speakers") out.restore_speakers = true;
    if (arg == "--console") out.console = true;
    if (arg == "--background") out.background = true;
    if (arg == "--relaunched") out.relaunched = true;
    if (arg == "--vdd-selftest" && !selftest_seen) {
      selftest_seen = true;
      out.vdd_selftest = true;
      ParseSelfTestArguments(args, i, &out);
    }
  }

  // Then the value options. A value is not skipped: it is looked at as an
  // option name in its own turn.
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view name = args[i];
    if (IsFlag(name) || !name.starts_with("--")) continue;
    if (i + 1 >= args.size()) break;  // a value option without its value
    const std::string_view value = args[i + 1];

    if (name == "--control-port") {
      out.control_port = PortOrDefault(value, kDefaultControlPort);
      out.control_explicit = true;
    } else if (name == "--media-port") {
      out.media_port = PortOrDefault(value, kDefaultMediaPort);
    } else if (name == "--input-port") {
      out.input_port = PortOrDefault(value, kDefaultInputPort);
      out.input_explicit = true;
    } else if (name == "--control-port-candidates") {
      if (auto list = ParseCandidateList(value, "--control-port-candidates")) out.control_candidates = std::move(list);
    } else if (name == "--input-port-candidates") {
      if (auto list = ParseCandidateList(value, "--input-port-candidates")) out.input_candidates = std::move(list);
    } else if (name == "--monitors") {
      const int64_t count = ParseLeadingIntSaturating(value);
      if (count >= 1 && count <= 4) out.monitors = static_cast<uint32_t>(count);
    } else if (name == "--capture-output") {
      // 1..4 pick a monitor by its 1-based number; 0 (or no number) the first.
      const int64_t number = ParseLeadingIntSaturating(value);
      if (number == 0) {
        out.capture_output = 0;
      } else if (number >= 1 && number <= 4) {
        out.capture_output = static_cast<uint32_t>(number - 1);
      }
    } else if (name == "--capture-backend") {
      out.capture_backend = CaptureBackendFromName(value);
    } else if (name == "--lang") {
      if (IsLanguageCode(value)) out.lang = std::string(value);
    } else if (name == "--ui-theme") {
      if (EqualsIgnoreCase(value, "dark")) {
        out.ui_theme = 1;
      } else if (EqualsIgnoreCase(value, "light")) {
        out.ui_theme = 2;
      }
    } else if (name == "--ui-capture") {
      if (value.size() <= kMaxUiCapturePathBytes) out.ui_capture = std::string(value);
    } else if (name == "--ui-scale") {
      if (const auto scale = ParseUiScale(value)) out.ui_scale = *scale;
    }
  }
  return out;
}

void ApplyCommandLine(const CommandLineOptions& options, HostState* state) {
  if (options.capture_output) state->capture_output_index.store(*options.capture_output);
  if (options.capture_backend) state->capture_backend.store(*options.capture_backend);
  RelaunchArguments& relaunch = state->relaunch;
  relaunch.control_port = options.control_port;
  relaunch.media_port = options.media_port;
  relaunch.input_port = options.input_port;
  relaunch.monitors = options.monitors;
  relaunch.control_explicit = options.control_explicit;
  relaunch.input_explicit = options.input_explicit;
}

HostPorts HostPortsFromCommandLine(const CommandLineOptions& options) {
  HostPorts ports;
  ports.control_port = options.control_port;
  ports.media_port = options.media_port;
  ports.input_port = options.input_port;
  ports.control_explicit = options.control_explicit;
  ports.input_explicit = options.input_explicit;
  FillPortCandidates(&ports, options.control_candidates, options.input_candidates);
  return ports;
}

std::u16string CommandLineTextToUtf16(std::string_view text) {
  return IsValidUtf8(text) ? Utf8ToUtf16(text) : WidenBytes(text);
}

}  // namespace orvane
