#include "host/control/port_choice.h"

#include <algorithm>

#include "host/common/logger.h"
#include "host/common/net.h"

namespace orvane {

bool IsPortUnavailableError(int error) { return error == net::kWsaEAccess || error == net::kWsaEAddrInUse; }

PortChoice ChoosePort(const std::vector<uint16_t>& candidates,
                      const std::function<int(uint16_t port, uint16_t* bound_port)>& try_bind) {
  PortChoice choice;
  for (const uint16_t port : candidates) {
    uint16_t bound_port = 0;
    const int error = try_bind(port, &bound_port);
    if (error == 0) {
      choice.bound = true;
      choice.port = bound_port;
      return choice;
    }
    choice.failed.push_back({port, error});
    if (!IsPortUnavailableError(error)) break;
  }
  return choice;
}

std::vector<uint16_t> SlotInputCandidates(size_t slot, uint16_t slot0_port, bool input_explicit,
                                          const std::vector<uint16_t>& taken) {
  std::vector<uint16_t> list;
  const auto listed = [&list](uint32_t port) { return std::find(list.begin(), list.end(), port) != list.end(); };
  if (slot0_port != 0 && static_cast<uint64_t>(slot0_port) + slot <= 65535) {
    list.push_back(static_cast<uint16_t>(slot0_port + slot));
  }
  if (!input_explicit) {
    for (uint64_t step = 0; step <= 30000; step += 10000) {
      const uint64_t port = kDefaultInputPort + slot + step;
      if (port > 65535) break;
      if (!listed(static_cast<uint32_t>(port))) list.push_back(static_cast<uint16_t>(port));
    }
  }
  list.push_back(0);
  std::erase_if(list, [&taken](uint16_t port) {
    return port != 0 && std::find(taken.begin(), taken.end(), port) != taken.end();
  });
  return list;
}

std::string PortFailureMessage(const std::string& label, bool explicit_port, const std::vector<PortAttempt>& failed) {
  std::string message = label;
  message += explicit_port ? " port (explicit, no fallback): bind failed (" : " port: no candidate could be bound (";
  for (size_t i = 0; i < failed.size(); ++i) {
    if (i > 0) message += ", ";
    if (failed[i].port == 0) {
      message.append("OS-assigned");
    } else {
      message.append(std::to_string(failed[i].port));
    }
    message.append("=").append(std::to_string(failed[i].error));
  }
  message += ")";
  return message;
}

int PortFailureCode(const std::vector<PortAttempt>& failed) {
  if (failed.empty()) return kSessionInitOtherFailure;
  for (const auto& attempt : failed) {
    if (!IsPortUnavailableError(attempt.error)) return kSessionInitOtherFailure;
  }
  return kSessionInitPortsUnavailable;
}

void LogPortFallback(const char* name, const char* protocol, uint16_t requested, uint16_t bound,
                     const std::vector<PortAttempt>& failed) {
  // Asking for 0 means "any port": whatever the system gave is no fallback.
  if (bound == requested || requested == 0) return;
  for (const auto& attempt : failed) {
    const char* why = attempt.error == net::kWsaEAccess     ? "reserved by Windows (excluded port range) or blocked"
                      : attempt.error == net::kWsaEAddrInUse ? "in use by another program"
                                                             : "socket error";
    LogWarn("[Pool] %s port %u unavailable: %d (%s)", name, static_cast<unsigned>(attempt.port), attempt.error, why);
  }
  LogWarn("[Pool] %s port %u is not usable; using fallback port %u. Check reserved ranges with: netsh int ipv4 show "
          "excludedportrange protocol=%s",
          name, static_cast<unsigned>(requested), static_cast<unsigned>(bound), protocol);
}

}  // namespace orvane
