#include "tools/tablet_sim/sim_options.h"

#include <initializer_list>
#include <optional>
#include <string_view>

#include "host/app/logger.h"
#include "host/common/net.h"
#include "host/common/parse.h"
#include "host/common/utf.h"

namespace orvane::sim {
namespace {

// At most 9 digits: the shared parser's limit, which keeps the value in range.
std::optional<uint32_t> ParseNumber(std::string_view text, size_t max_digits, uint32_t min, uint32_t max) {
  const std::optional<uint32_t> v = ParseDecimalDigits(text, max_digits);
  if (!v || *v < min || *v > max) return std::nullopt;
  return v;
}

bool ValidText(const std::string& text, size_t max_bytes) { return text.size() <= max_bytes && IsValidUtf8(text); }

// Pieces joined by appending (GCC 12 warns falsely about "literal" + string).
std::string Join(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (const std::string_view p : parts) out.append(p);
  return out;
}

}  // namespace

ParseResult ParseSimCommandLine(const std::vector<std::string>& args) {
  ParseResult r;
  SimOptions& o = r.options;
  auto fail = [&](const std::string& message) {
    r.status = ParseStatus::kError;
    r.error = message;
    return r;
  };

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      r.status = ParseStatus::kHelp;
      return r;
    }
    if (arg == "--no-hello") {
      o.send_hello = false;
      continue;
    }
    if (arg == "--quiet") {
      o.quiet = true;
      continue;
    }
    const bool takes_value = arg == "--host" || arg == "--port" || arg == "--name" || arg == "--id" ||
                             arg == "--app-version" || arg == "--protocol-version" || arg == "--hold";
    if (!takes_value) return fail(Join({"unknown option '", EscapeUntrusted(Utf8Prefix(arg, 64)), "'"}));
    if (i + 1 >= args.size()) return fail(Join({arg, " needs a value"}));
    const std::string& value = args[++i];

    if (arg == "--host") {
      if (!net::IsValidIpv4(value)) return fail("--host needs a dotted IPv4 address");
      o.host = value;
    } else if (arg == "--port") {
      const auto v = ParseNumber(value, 5, 1, 65535);
      if (!v) return fail("--port needs a number from 1 to 65535");
      o.port = static_cast<uint16_t>(*v);
    } else if (arg == "--name") {
      if (!ValidText(value, kMaxClientNameBytes)) {
        return fail(Join({"--name needs UTF-8 text of at most ", std::to_string(kMaxClientNameBytes), " bytes"}));
      }
      o.client_name = value;
    } else if (arg == "--id") {
      if (!ValidText(value, kMaxClientIdBytes)) {
        return fail(Join({"--id needs UTF-8 text of at most ", std::to_string(kMaxClientIdBytes), " bytes"}));
      }
      o.client_id = value;
    } else if (arg == "--app-version") {
      if (!ValidText(value, kMaxAppVersionBytes)) {
        return fail(Join({"--app-version needs UTF-8 text of at most ", std::to_string(kMaxAppVersionBytes), " bytes"}));
      }
      o.app_version = value;
    } else if (arg == "--protocol-version") {
      const auto v = ParseNumber(value, 9, 0, kMaxProtocolVersion);
      if (!v) return fail(Join({"--protocol-version needs a number from 0 to ", std::to_string(kMaxProtocolVersion)}));
      o.protocol_version = *v;
    } else {  // --hold
      const auto v = ParseNumber(value, 6, 0, kMaxHoldSeconds);
      if (!v) return fail(Join({"--hold needs a number of seconds from 0 to ", std::to_string(kMaxHoldSeconds)}));
      o.hold_seconds = *v;
    }
  }
  return r;
}

std::string SimUsageText() {
  return "Usage: orvane-tablet-sim [options]\n"
         "\n"
         "Plays the tablet's side of the control channel against an Orvane Display host:\n"
         "connects over TCP, says Hello and prints what the host answers.\n"
         "\n"
         "Options:\n"
         "  --host ADDR              host's IPv4 address (default 127.0.0.1)\n"
         "  --port N                 control port, 1..65535 (default 9430)\n"
         "  --name NAME              client_name of the Hello (default \"Orvane Tablet Sim\")\n"
         "  --id CLIENT_ID           client_id of the Hello (default \"orvane-tablet-sim\")\n"
         "  --app-version V          app_version of the Hello, sent as given (default 1.3.5)\n"
         "  --protocol-version N     protocol_version of the Hello and the envelope (default 1,\n"
         "                           at most 999999999)\n"
         "  --no-hello               connect and stay silent\n"
         "  --hold SECONDS           stay connected this long after the Hello exchange\n"
         "                           (counted from the HelloAck, or from the Hello or the\n"
         "                           connect when none arrives); 0 = until the host closes\n"
         "                           (default 0, at most 86400)\n"
         "  --quiet                  print errors only\n"
         "  --help, -h               this text\n"
         "\n"
         "Output (one line per event, flushed at once):\n"
         "  [Sim] Connected to ADDR:PORT (local port N)\n"
         "  [Sim] Sent Hello client_id=... client_name=... app_version=... protocol_version=N\n"
         "  [Sim] Received HelloAck auth_result=NAME (N) max_sessions=N host_id=... ...\n"
         "  [Sim] Received TYPE ... (any other message, with its key fields)\n"
         "  [Sim] Connection closed by host\n"
         "  [Sim] Held the connection for N s; closing it\n"
         "\n"
         "Exit codes: 0 normal end (host closed, or the hold ran out); 1 could not connect;\n"
         "2 bad command line; 3 the connection failed or the host broke the framing.\n";
}

}  // namespace orvane::sim
