#pragma once
// The simulator's command line.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/tablet_sim/sim_keys.h"
#include "tools/tablet_sim/sim_script.h"

namespace orvane::sim {

// Bounds for the texts a tablet puts into its Hello. They are generous on
// purpose (the host must cope with long names), but bounded.
inline constexpr size_t kMaxClientIdBytes = 256;
inline constexpr size_t kMaxClientNameBytes = 1024;
inline constexpr size_t kMaxAppVersionBytes = 64;
inline constexpr uint32_t kMaxHoldSeconds = 86'400;
inline constexpr uint32_t kMaxProtocolVersion = 999'999'999;
inline constexpr size_t kMaxRouteClassBytes = 256;
inline constexpr size_t kMaxListItems = 16;
inline constexpr uint32_t kMaxScreenSide = 16'384;
inline constexpr uint32_t kMaxAnswerWaitMs = 600'000;
inline constexpr size_t kMaxStatePathBytes = 4096;
inline constexpr uint32_t kMaxDropPercent = 50;
// The figures --report-decode and --report-late put into every StatsReport:
// decode pressure is a load (a decoder needing 120 % of the frame interval
// reports 120), late drops a share.
inline constexpr uint32_t kMaxReportDecodePct = 1000;
inline constexpr uint32_t kMaxReportLatePct = 100;
inline constexpr uint16_t kDefaultHostInputPort = 9432;

// What the tablet tells the host in its CapabilityExchange. The defaults are
// a current 120 Hz tablet on Wi-Fi with hardware decoders for both codecs.
struct TabletCapabilities {
  std::vector<uint32_t> codecs = {1, 2};  // VideoCodec numbers in the order offered; may be empty
  uint32_t screen_width = 2560;           // preferred_resolution; 0 x 0 leaves it out
  uint32_t screen_height = 1600;
  std::vector<uint32_t> fps = {30, 60, 90, 120};
  std::string route_class = "wifi_local";  // sent as given, the host filters it
  uint32_t max_fragments = 512;            // max_fragments_per_frame; 0 = not sent
  uint32_t orientation = 1;                // DisplayOrientation
  bool hardware_decode = true;             // of every codec_capabilities entry
};

struct SimOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 9430;
  std::string client_id = "orvane-tablet-sim";
  std::string client_name = "Orvane Tablet Sim";
  std::string app_version = "1.3.5";
  uint32_t protocol_version = 1;
  bool send_hello = true;
  // How long to stay connected once the Hello exchange is over; 0 = until the
  // host closes the connection.
  uint32_t hold_seconds = 0;
  bool quiet = false;
  // Messages sent after the Hello exchange, in order (empty: none).
  std::vector<ScriptStep> script;
  TabletCapabilities capabilities;
  // How long a step that expects an answer waits for it.
  uint32_t answer_wait_ms = 2000;
  // The session key the tablet uses of the two that one key agreement gives.
  KeyOrder key_order = KeyOrder::kLsb;
  // directional_control_nonce of the Hello; off only to try the host's
  // handling of tablets that do not ask for it.
  bool directional_nonce = true;

  // Authentication: 1 puts the pairing proof into the Hello; 2 checks the
  // host's signed transcript and sends AuthProof under the session key.
  uint32_t auth_version = 1;
  // Six digits shown by the host: the credential is derived from it (and
  // preferred over a stored one).
  std::string pairing_code;
  // UTF-8 path of the file with the stored credential and the host identity
  // seen before; empty: the tablet remembers nothing between runs.
  std::string state_file;
  // Trust a host identity key other than the remembered one (and remember it).
  bool accept_new_identity = false;

  // Media and input (once authenticated).
  // The host's input port while no CapabilityAccept has named it.
  uint16_t input_port = kDefaultHostInputPort;
  // Share of the received media datagrams dropped on purpose (0..50), chosen
  // by a generator seeded with drop_seed, so that a run can be repeated.
  uint32_t drop_percent = 0;
  uint32_t drop_seed = 1;
  // Fixed decode_pressure_pct and late_drop_pct of the periodic StatsReport
  // (0: not reported, as without them).
  float report_decode_pressure_pct = 0;
  float report_late_drop_pct = 0;
  // Check what arrives: access units of the host's synthetic stream byte by
  // byte, decoded pictures against the test pattern they carry.
  bool check_synthetic = true;

  // The run tries to authenticate: it has a credential or a state file, or
  // speaks auth v2. It then stops when authentication fails and ends with
  // kSimExitNotAuthenticated unless it is authenticated at the end; other
  // runs go on after a refused Hello (to try the host's handling of
  // unauthenticated tablets) and end with 0.
  bool Authenticating() const { return auth_version >= 2 || !pairing_code.empty() || !state_file.empty(); }
};

enum class ParseStatus { kRun, kHelp, kError };

struct ParseResult {
  ParseStatus status = ParseStatus::kRun;
  SimOptions options;
  std::string error;  // for kError: one line naming the offending option
};

// args excludes the program name. Options may come in any order; a later
// repetition wins.
ParseResult ParseSimCommandLine(const std::vector<std::string>& args);

// The --help text.
std::string SimUsageText();

}  // namespace orvane::sim
