#pragma once
// Choosing a port from an ordered candidate list, and the texts that explain a
// fallback or a failure. Used for the control TCP port and the input UDP ports.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/control/host_ports.h"

namespace orvane {

struct PortAttempt {
  uint16_t port = 0;  // 0 = let the system choose
  int error = 0;      // Winsock error of the failed attempt
};

struct PortChoice {
  bool bound = false;
  uint16_t port = 0;  // the bound port (for candidate 0, the port the system chose)
  std::vector<PortAttempt> failed;
};

// Tries the candidates in order. try_bind(port, &bound_port) returns 0 on
// success or the Winsock error. 10013 (reserved / access denied) and 10048 (in
// use) move on to the next candidate; any other error ends the attempts.
PortChoice ChoosePort(const std::vector<uint16_t>& candidates,
                      const std::function<int(uint16_t port, uint16_t* bound_port)>& try_bind);

// The input port candidates of slot `slot` >= 1, given the port slot 0 bound
// (`slot0_port`): slot0_port + slot first (when slot0_port is not 0 and the sum
// fits), then, unless the input port was explicit, 9432 + slot + j * 10000
// for j = 0..3 (each while it fits and is not listed yet), then 0. Every
// non-zero port in `taken` (what earlier slots got) is left out; 0 stays.
std::vector<uint16_t> SlotInputCandidates(size_t slot, uint16_t slot0_port, bool input_explicit,
                                          const std::vector<uint16_t>& taken);

// True for the errors that mean "this port cannot be had here".
bool IsPortUnavailableError(int error);

// "<label> port (explicit, no fallback): bind failed (9430=10048)" or
// "<label> port: no candidate could be bound (9430=10013, ..., OS-assigned=10013)".
std::string PortFailureMessage(const std::string& label, bool explicit_port, const std::vector<PortAttempt>& failed);

// 1 when every attempt failed with 10013 or 10048, else 2.
int PortFailureCode(const std::vector<PortAttempt>& failed);

// After a port was bound that differs from the requested one (a requested 0
// accepts any): one warning per failed attempt, then the fallback warning. name is "Control" or "Input",
// protocol "tcp" or "udp".
void LogPortFallback(const char* name, const char* protocol, uint16_t requested, uint16_t bound,
                     const std::vector<PortAttempt>& failed);

}  // namespace orvane
