// The host's command line: ParseCommandLine, the port configuration built
// from it, its publication into the process-wide state, and the conversion
// of command-line text to UTF-16.
//
// Input: the arguments after the program name, separated by NUL bytes (an
// empty input is no argument at all; "a\0" is "a" and an empty argument).
//
// Invariants:
// - every bound holds: tablet count 1..4, self-test seconds 0..120, the
//   self-test monitor at most kMaxSelfTestModeBytes and not starting with
//   '-', candidate lists of 1..kMaxCandidatePorts valid ports (1..65535),
//   the language code 1..kMaxLanguageCodeBytes of [A-Za-z0-9_-], the capture
//   path at most kMaxUiCapturePathBytes, ui_scale 0 or finite in 1.0..3.0,
//   ui_theme 0..2, capture output 0..3, back-end 0..2;
// - the result is the one an independent reading of the documented rules
//   gives: flags count wherever they are; every argument but the last is
//   looked at as a value option, the argument after it being its value (and
//   an option in its own turn); ports read like atoi, 1..65535 else the
//   default, control and input explicit whenever their option has a value;
//   a later accepted value replaces an earlier one, an ignored one keeps it;
//   the self-test reads the arguments after the first "--vdd-selftest";
// - parsing is deterministic;
// - the port configuration: the ports and explicit flags as parsed; an
//   explicit port's candidates are that port alone, otherwise the
//   command-line list, otherwise the default list from the port (the port,
//   +10000 steps up to 65535, then 0);
// - publishing sets the capture choices only when given and copies the
//   relaunch arguments;
// - CommandLineTextToUtf16 of the raw input and of every argument never
//   fails; valid UTF-8 round-trips through the shared UTF-8 helpers, other
//   text is each byte widened.

#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/app/command_line.h"
#include "host/app/host_state.h"
#include "host/common/parse.h"
#include "host/common/utf.h"

namespace orvane::fuzz {
namespace {

using Args = std::vector<std::string>;
using Ports = std::vector<uint16_t>;

Args Split(std::string_view input) {
  Args args;
  if (input.empty()) return args;
  size_t start = 0;
  while (true) {
    const size_t nul = input.find('\0', start);
    if (nul == std::string_view::npos) {
      args.emplace_back(input.substr(start));
      return args;
    }
    args.emplace_back(input.substr(start, nul - start));
    start = nul + 1;
  }
}

bool Same(const CommandLineOptions& a, const CommandLineOptions& b) {
  return a.shutdown == b.shutdown && a.restore_speakers == b.restore_speakers && a.console == b.console &&
         a.vdd_selftest == b.vdd_selftest && a.vdd_selftest_monitor == b.vdd_selftest_monitor &&
         a.vdd_selftest_seconds == b.vdd_selftest_seconds && a.background == b.background &&
         a.relaunched == b.relaunched && a.control_port == b.control_port &&
         a.control_explicit == b.control_explicit && a.media_port == b.media_port && a.input_port == b.input_port &&
         a.input_explicit == b.input_explicit && a.control_candidates == b.control_candidates &&
         a.input_candidates == b.input_candidates && a.monitors == b.monitors &&
         a.capture_output == b.capture_output && a.capture_backend == b.capture_backend && a.lang == b.lang &&
         a.ui_theme == b.ui_theme && a.ui_capture == b.ui_capture &&
         ((std::isnan(a.ui_scale) && std::isnan(b.ui_scale)) || a.ui_scale == b.ui_scale);
}

bool IsLanguageCode(std::string_view s) {
  if (s.empty() || s.size() > kMaxLanguageCodeBytes) return false;
  for (char c : s) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) {
      return false;
    }
  }
  return true;
}

bool ValidList(const std::optional<Ports>& list) {
  if (!list) return true;
  if (list->empty() || list->size() > kMaxCandidatePorts) return false;
  for (uint16_t port : *list) {
    if (port == 0) return false;
  }
  return true;
}

void CheckBounds(const CommandLineOptions& o) {
  FUZZ_CHECK(o.monitors >= 1 && o.monitors <= 4);
  FUZZ_CHECK(o.vdd_selftest_seconds <= kMaxSelfTestSeconds);
  FUZZ_CHECK(o.vdd_selftest_monitor.size() <= kMaxSelfTestModeBytes);
  FUZZ_CHECK(o.vdd_selftest_monitor.empty() || o.vdd_selftest_monitor.front() != '-');
  FUZZ_CHECK(ValidList(o.control_candidates));
  FUZZ_CHECK(ValidList(o.input_candidates));
  FUZZ_CHECK(o.control_port >= 1 && o.media_port >= 1 && o.input_port >= 1);
  if (o.lang) FUZZ_CHECK(IsLanguageCode(*o.lang));
  FUZZ_CHECK(o.ui_capture.size() <= kMaxUiCapturePathBytes);
  FUZZ_CHECK(o.ui_scale == 0.0 || (std::isfinite(o.ui_scale) && o.ui_scale >= 1.0 && o.ui_scale <= 3.0));
  FUZZ_CHECK(o.ui_theme >= 0 && o.ui_theme <= 2);
  if (o.capture_output) FUZZ_CHECK(*o.capture_output <= 3);
  if (o.capture_backend) FUZZ_CHECK(*o.capture_backend >= 0 && *o.capture_backend <= 2);
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

uint16_t PortOr(std::string_view value, uint16_t fallback) {
  const int64_t n = ParseLeadingIntSaturating(value);
  return n >= 1 && n <= 65535 ? static_cast<uint16_t>(n) : fallback;
}

// The documented rules, read independently of the parser.
void CheckAgainstRules(const Args& args, const CommandLineOptions& o) {
  const auto has = [&](std::string_view flag) {
    for (const auto& a : args) {
      if (a == flag) return true;
    }
    return false;
  };
  FUZZ_CHECK(o.shutdown == has("--shutdown"));
  FUZZ_CHECK(o.restore_speakers == has("--restore-speakers"));
  FUZZ_CHECK(o.console == has("--console"));
  FUZZ_CHECK(o.vdd_selftest == has("--vdd-selftest"));
  FUZZ_CHECK(o.background == has("--background"));
  FUZZ_CHECK(o.relaunched == has("--relaunched"));

  // The self-test's arguments follow its first flag.
  std::string monitor;
  uint32_t seconds = kDefaultSelfTestSeconds;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != "--vdd-selftest") continue;
    if (i + 1 < args.size() && !args[i + 1].starts_with("-")) {
      if (args[i + 1].size() <= kMaxSelfTestModeBytes) monitor = args[i + 1];
      if (i + 2 < args.size() && AllDigits(args[i + 2])) {
        const int64_t n = ParseLeadingIntSaturating(args[i + 2]);
        seconds = static_cast<uint32_t>(n > kMaxSelfTestSeconds ? kMaxSelfTestSeconds : n);
      }
    }
    break;
  }
  FUZZ_CHECK(o.vdd_selftest_monitor == monitor);
  FUZZ_CHECK(o.vdd_selftest_seconds == seconds);

  uint16_t control = kDefaultControlPort, media = kDefaultMediaPort, input = kDefaultInputPort;
  bool control_explicit = false, input_explicit = false;
  std::optional<Ports> control_list, input_list;
  uint32_t monitors = kDefaultTabletCount;
  std::optional<uint32_t> capture_output;
  std::optional<int32_t> backend;
  int32_t theme = 0;
  std::string capture;
  std::optional<std::string> lang;
  double scale = 0.0;
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    const std::string& name = args[i];
    const std::string& value = args[i + 1];
    if (name == "--control-port") {
      control = PortOr(value, kDefaultControlPort);
      control_explicit = true;
    } else if (name == "--media-port") {
      media = PortOr(value, kDefaultMediaPort);
    } else if (name == "--input-port") {
      input = PortOr(value, kDefaultInputPort);
      input_explicit = true;
    } else if (name == "--control-port-candidates" || name == "--input-port-candidates") {
      std::optional<Ports> list = ParsePortList(value);
      if (list && list->size() > kMaxCandidatePorts) list.reset();
      if (list) (name == "--control-port-candidates" ? control_list : input_list) = list;
    } else if (name == "--monitors") {
      const int64_t n = ParseLeadingIntSaturating(value);
      if (n >= 1 && n <= 4) monitors = static_cast<uint32_t>(n);
    } else if (name == "--capture-output") {
      const int64_t n = ParseLeadingIntSaturating(value);
      if (n == 0) capture_output = 0;
      if (n >= 1 && n <= 4) capture_output = static_cast<uint32_t>(n - 1);
    } else if (name == "--capture-backend") {
      if (EqualsIgnoreCase(value, "wgc") || EqualsIgnoreCase(value, "windows-graphics-capture")) {
        backend = 2;
      } else if (EqualsIgnoreCase(value, "dxgi") || EqualsIgnoreCase(value, "desktop-duplication")) {
        backend = 1;
      } else {
        backend = 0;
      }
    } else if (name == "--ui-theme") {
      if (EqualsIgnoreCase(value, "dark")) theme = 1;
      if (EqualsIgnoreCase(value, "light")) theme = 2;
    } else if (name == "--ui-capture") {
      if (value.size() <= kMaxUiCapturePathBytes) capture = value;
    } else if (name == "--lang") {
      if (IsLanguageCode(value)) lang = value;
    } else if (name == "--ui-scale") {
      // Which texts count as a number is from_chars's business; the parser
      // alone must give 0 or the value, and the last value counting wins.
      const double alone = ParseCommandLine({name, value}).ui_scale;
      if (alone != 0.0) scale = alone;
    }
  }
  FUZZ_CHECK(o.control_port == control && o.media_port == media && o.input_port == input);
  FUZZ_CHECK(o.control_explicit == control_explicit && o.input_explicit == input_explicit);
  FUZZ_CHECK(o.control_candidates == control_list && o.input_candidates == input_list);
  FUZZ_CHECK(o.monitors == monitors);
  FUZZ_CHECK(o.capture_output == capture_output);
  FUZZ_CHECK(o.capture_backend == backend);
  FUZZ_CHECK(o.ui_theme == theme);
  FUZZ_CHECK(o.ui_capture == capture);
  FUZZ_CHECK(o.lang == lang);
  FUZZ_CHECK(o.ui_scale == scale);
}

void CheckCandidates(uint16_t port, bool explicit_port, const std::optional<Ports>& list, const Ports& got) {
  if (explicit_port) {
    FUZZ_CHECK(got == Ports{port});
    return;
  }
  if (list && !list->empty()) {
    FUZZ_CHECK(got == *list);
    return;
  }
  // The port and its +10000 steps while they are ports, then 0.
  Ports defaults;
  for (uint32_t p = port; p <= 65535 && defaults.size() < 4; p += 10000) defaults.push_back(static_cast<uint16_t>(p));
  defaults.push_back(0);
  FUZZ_CHECK(got == defaults);
}

void CheckHostPorts(const CommandLineOptions& o) {
  const HostPorts p = HostPortsFromCommandLine(o);
  FUZZ_CHECK(p.control_port == o.control_port && p.media_port == o.media_port && p.input_port == o.input_port);
  FUZZ_CHECK(p.control_explicit == o.control_explicit && p.input_explicit == o.input_explicit);
  CheckCandidates(o.control_port, o.control_explicit, o.control_candidates, p.control_candidates);
  CheckCandidates(o.input_port, o.input_explicit, o.input_candidates, p.input_candidates);
}

void CheckApply(const CommandLineOptions& o) {
  HostState state;
  state.capture_output_index = 2;  // as loaded from the saved settings
  state.capture_backend = 1;
  ApplyCommandLine(o, &state);
  FUZZ_CHECK(state.capture_output_index.load() == o.capture_output.value_or(2));
  FUZZ_CHECK(state.capture_backend.load() == o.capture_backend.value_or(1));
  const RelaunchArguments& r = state.relaunch;
  FUZZ_CHECK(r.control_port == o.control_port && r.media_port == o.media_port && r.input_port == o.input_port);
  FUZZ_CHECK(r.monitors == o.monitors);
  FUZZ_CHECK(r.control_explicit == o.control_explicit && r.input_explicit == o.input_explicit);
}

void CheckUtf16(std::string_view text) {
  const std::u16string wide = CommandLineTextToUtf16(text);
  if (IsValidUtf8(text)) {
    FUZZ_CHECK(Utf16ToUtf8(wide) == text);
    FUZZ_CHECK(wide == Utf8ToUtf16(text));
  } else {
    FUZZ_CHECK(wide.size() == text.size());
    FUZZ_CHECK(wide == WidenBytes(text));
  }
}

}  // namespace
}  // namespace orvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvane;
  using namespace orvane::fuzz;
  QuietLogs();
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const Args args = Split(input);

  const CommandLineOptions o = ParseCommandLine(args);
  CheckBounds(o);
  FUZZ_CHECK(Same(ParseCommandLine(args), o));
  CheckAgainstRules(args, o);
  CheckHostPorts(o);
  CheckApply(o);

  CheckUtf16(input);
  for (const auto& arg : args) CheckUtf16(arg);
  CheckUtf16(o.ui_capture);
  return 0;
}
