#pragma once
// The host's command line. Arguments are ASCII except the "--ui-capture" path
// (UTF-8); unknown arguments are ignored.
//
// The flags ("--shutdown", "--restore-speakers", "--console", "--vdd-selftest",
// "--background", "--relaunched") count wherever they appear. Every argument is
// also compared with the value options in turn; a value option takes the
// argument after it as its value, and that argument is then compared with the
// option names like any other, so "--media-port --console" both leaves the
// media port at its default and turns on console mode. A value option given as
// the last argument is ignored.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/app/host_state.h"
#include "host/control/host_ports.h"

namespace orvane {

inline constexpr uint32_t kDefaultTabletCount = 4;
inline constexpr uint32_t kDefaultSelfTestSeconds = 5;
inline constexpr uint32_t kMaxSelfTestSeconds = 120;
// Bounds on text values taken from the command line.
inline constexpr size_t kMaxCandidatePorts = 32;
inline constexpr size_t kMaxSelfTestModeBytes = 64;
inline constexpr size_t kMaxLanguageCodeBytes = 16;
inline constexpr size_t kMaxUiCapturePathBytes = 32767;

struct CommandLineOptions {
  // Early modes and start-up flags.
  bool shutdown = false;
  bool restore_speakers = false;
  bool console = false;
  bool vdd_selftest = false;
  std::string vdd_selftest_monitor;  // mode text for the self-test; empty = its default
  uint32_t vdd_selftest_seconds = kDefaultSelfTestSeconds;  // 0..120
  bool background = false;
  bool relaunched = false;

  // Ports.
  uint16_t control_port = kDefaultControlPort;
  bool control_explicit = false;
  uint16_t media_port = kDefaultMediaPort;
  uint16_t input_port = kDefaultInputPort;
  bool input_explicit = false;
  std::optional<std::vector<uint16_t>> control_candidates;  // only a valid list
  std::optional<std::vector<uint16_t>> input_candidates;

  uint32_t monitors = kDefaultTabletCount;  // tablet count, 1..4

  // Capture choices; absent leaves the saved setting.
  std::optional<uint32_t> capture_output;   // monitor index 0..3
  std::optional<int32_t> capture_backend;   // 0 auto, 1 dxgi, 2 wgc

  // Settings window start-up values.
  std::optional<std::string> lang;  // language code as given; absent = follow Windows
  int32_t ui_theme = 0;             // 0 follow Windows, 1 dark, 2 light
  std::string ui_capture;           // UTF-8 path; empty = no page capture
  double ui_scale = 0.0;            // 0 = not given, else 1.0..3.0
};

// `args` are the arguments after the program name.
CommandLineOptions ParseCommandLine(const std::vector<std::string>& args);

// Publishes the parsed choices into the process-wide state: the capture
// output index and back-end when given, and the relaunch arguments. Call once,
// after the saved settings were loaded and before the console handler is
// installed.
void ApplyCommandLine(const CommandLineOptions& options, HostState* state);

// The pool's port configuration with its candidate lists: an explicit port
// gives a one-entry list, otherwise the command-line list, otherwise the
// default list built from the port.
HostPorts HostPortsFromCommandLine(const CommandLineOptions& options);

// Command-line text as UTF-16 for the Windows side: decoded as UTF-8 when
// valid, otherwise each byte widened on its own.
std::u16string CommandLineTextToUtf16(std::string_view text);

}  // namespace orvane
