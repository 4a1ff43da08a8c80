#pragma once
// The port configuration handed to the session pool, the pool's initialisation
// result, and the candidate lists the pool tries when a port cannot be bound.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

inline constexpr uint16_t kDefaultControlPort = 9430;
inline constexpr uint16_t kDefaultMediaPort = 9431;
inline constexpr uint16_t kDefaultInputPort = 9432;

struct HostPorts {
  uint16_t control_port = kDefaultControlPort;  // requested control TCP port
  uint16_t media_port = kDefaultMediaPort;      // UDP port on the tablet that receives media
  uint16_t input_port = kDefaultInputPort;      // requested input UDP port of slot 0
  // Carried with the configuration for compatibility; the pool does not use it.
  uint32_t reserved = 1;
  bool control_explicit = false;  // given on the command line: no fallback
  bool input_explicit = false;    // given on the command line: no fallback
  std::vector<uint16_t> control_candidates;  // ordered fallback list for the control port
  std::vector<uint16_t> input_candidates;    // ordered fallback list for slot 0's input port
};

// Result codes of the pool's Initialize.
inline constexpr int kSessionInitOk = 0;
// Every bind attempt failed with 10013 (reserved by Windows / access denied)
// or 10048 (address in use).
inline constexpr int kSessionInitPortsUnavailable = 1;
inline constexpr int kSessionInitOtherFailure = 2;

struct SessionInitResult {
  int code = kSessionInitOk;
  std::string message;
  bool ok() const { return code == kSessionInitOk; }
};

// p, p + 10000, p + 20000, p + 30000 (each only while <= 65535; none when p
// is 0), then 0, which lets the system choose a free port.
std::vector<uint16_t> DefaultPortCandidates(uint16_t port);

// The candidates for one port: only the port itself when it was given
// explicitly; otherwise the configured list, or the default list built from
// the port when no list (or an empty one) was configured.
std::vector<uint16_t> PortCandidates(uint16_t port, bool explicit_port,
                                     const std::optional<std::vector<uint16_t>>& configured);

// Fills both candidate lists of `ports` from its ports and explicit flags and
// the lists given on the command line (absent when none was given).
void FillPortCandidates(HostPorts* ports, const std::optional<std::vector<uint16_t>>& control_list,
                        const std::optional<std::vector<uint16_t>>& input_list);

// The list for the next start after `bound` was bound: `bound` first, then
// every entry of `full` except `bound`, in order. A `bound` of 0 gives `full`.
std::vector<uint16_t> PreferBoundPort(uint16_t bound, const std::vector<uint16_t>& full);

}  // namespace orvane
