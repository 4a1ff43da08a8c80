#include "host/control/host_ports.h"

namespace orvane {

std::vector<uint16_t> DefaultPortCandidates(uint16_t port) {
  std::vector<uint16_t> list;
  if (port != 0) {
    for (uint32_t step = 0; step <= 30000; step += 10000) {
      const uint32_t candidate = static_cast<uint32_t>(port) + step;
      if (candidate > 65535) break;
      list.push_back(static_cast<uint16_t>(candidate));
    }
  }
  list.push_back(0);
  return list;
}

std::vector<uint16_t> PortCandidates(uint16_t port, bool explicit_port,
                                     const std::optional<std::vector<uint16_t>>& configured) {
  if (explicit_port) return {port};
  if (configured && !configured->empty()) return *configured;
  return DefaultPortCandidates(port);
}

void FillPortCandidates(HostPorts* ports, const std::optional<std::vector<uint16_t>>& control_list,
                        const std::optional<std::vector<uint16_t>>& input_list) {
  ports->control_candidates = PortCandidates(ports->control_port, ports->control_explicit, control_list);
  ports->input_candidates = PortCandidates(ports->input_port, ports->input_explicit, input_list);
}

std::vector<uint16_t> PreferBoundPort(uint16_t bound, const std::vector<uint16_t>& full) {
  // 0 is not a port that was bound; putting it first would make the system's
  // choice win over every fixed candidate.
  if (bound == 0) return full;
  std::vector<uint16_t> list;
  list.reserve(full.size() + 1);
  list.push_back(bound);
  for (uint16_t port : full) {
    if (port != bound) list.push_back(port);
  }
  return list;
}

}  // namespace orvane
