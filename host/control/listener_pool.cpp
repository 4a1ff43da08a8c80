#include "host/control/listener_pool.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

#include "host/app/logger.h"
#include "host/common/net.h"
#include "host/control/port_choice.h"

namespace orvane {

namespace {
size_t SlotsFor(uint32_t tablet_count) { return std::clamp<uint32_t>(tablet_count, 1, 4) + 1; }
}  // namespace

ControlListenerPool::ControlListenerPool(uint32_t tablet_count) : server_(SlotsFor(tablet_count)) {}

ControlListenerPool::~ControlListenerPool() { server_.Stop(); }

bool ControlListenerPool::Initialize(const HostPorts& ports, SessionInitResult* result) {
  const std::vector<uint16_t> candidates =
      ports.control_candidates.empty() ? PortCandidates(ports.control_port, ports.control_explicit, std::nullopt)
                                       : ports.control_candidates;
  const PortChoice choice = ChoosePort(candidates, [this](uint16_t port, uint16_t* bound) {
    if (server_.Start(port)) {
      *bound = server_.ListeningPort();
      return 0;
    }
    const int error = server_.LastSocketError();
    return error != 0 ? error : net::kWsaEInval;
  });
  if (!choice.bound) {
    SessionInitResult failure{PortFailureCode(choice.failed),
                              PortFailureMessage("Control TCP", ports.control_explicit, choice.failed)};
    LogError("[Pool] %s", failure.message.c_str());
    if (result) *result = failure;
    return false;
  }
  LogPortFallback("Control", "tcp", ports.control_port, choice.port, choice.failed);
  control_port_ = choice.port;
  input_port_ = ports.input_port;
  if (result) *result = SessionInitResult{};
  return true;
}

void ControlListenerPool::Run() {
  std::vector<std::thread> threads;
  for (size_t slot = 0; slot < server_.SlotCount() && !stopping_.load(); ++slot) {
    try {
      threads.emplace_back([this, slot] { ServeSlot(slot); });
    } catch (const std::system_error& e) {
      LogError("[Pool] Failed to start the thread of slot %zu: %s", slot, e.what());
      RequestStop();
      break;
    }
  }
  for (auto& t : threads) t.join();
}

void ControlListenerPool::ServeSlot(size_t slot) {
  std::vector<uint8_t> frame;
  while (!stopping_.load()) {
    uint64_t key = 0;
    if (!server_.AcceptClient(slot, &key)) return;
    while (!stopping_.load() && server_.ReceiveFrame(slot, &frame, key)) {
      LogDebug("[Pool] Slot %zu received a frame of %zu bytes", slot, frame.size());
    }
  }
}

void ControlListenerPool::RequestStop() {
  stopping_.store(true);
  server_.Stop();
}

}  // namespace orvane
