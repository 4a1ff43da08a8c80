#pragma once
// The simulator's command line.

#include <cstdint>
#include <string>
#include <vector>

namespace orvane::sim {

// Bounds for the texts a tablet puts into its Hello. They are generous on
// purpose (the host must cope with long names), but bounded.
inline constexpr size_t kMaxClientIdBytes = 256;
inline constexpr size_t kMaxClientNameBytes = 1024;
inline constexpr size_t kMaxAppVersionBytes = 64;
inline constexpr uint32_t kMaxHoldSeconds = 86'400;
inline constexpr uint32_t kMaxProtocolVersion = 999'999'999;

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
