#pragma once
// A network pool that only runs the control server: it binds the control port
// with its fallbacks, places tablets' connections in slots and reads their
// frames, without sessions behind the slots. The host runs it until the
// session pool takes its place.

#include <atomic>
#include <cstdint>

#include "host/app/network_loop.h"
#include "host/control/tcp_server.h"

namespace orvane {

class ControlListenerPool final : public INetworkPool {
 public:
  // tablet_count is clamped to 1..4; the server has one slot more, for a
  // tablet beyond the limit.
  explicit ControlListenerPool(uint32_t tablet_count);
  ~ControlListenerPool() override;

  bool Initialize(const HostPorts& ports, SessionInitResult* result) override;
  uint16_t ControlPort() const override { return control_port_; }
  uint16_t InputPort() const override { return input_port_; }
  void SetClipboardSharing(bool) override {}
  void SetTabletOnlyAudioAllowed(bool) override {}
  void Run() override;
  void RequestStop() override;

  size_t SlotCount() const { return server_.SlotCount(); }

 private:
  void ServeSlot(size_t slot);

  TcpServer server_;
  std::atomic<bool> stopping_{false};
  uint16_t control_port_ = 0;
  uint16_t input_port_ = 0;
};

}  // namespace orvane
