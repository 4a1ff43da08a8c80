#pragma once
// The session pool as the host's network loop drives it: the loop creates a
// pool, binds its ports, runs it until every session has ended and destroys
// it.

#include <cstdint>

#include "host/control/host_ports.h"

namespace orvane {

// What the loop needs from a session pool. A pool is used once: initialised,
// run, stopped, destroyed.
class INetworkPool {
 public:
  virtual ~INetworkPool() = default;
  // Binds the control port and chooses every slot's input port.
  virtual bool Initialize(const HostPorts& ports, SessionInitResult* result) = 0;
  // The ports bound by a successful Initialize.
  virtual uint16_t ControlPort() const = 0;
  virtual uint16_t InputPort() const = 0;  // slot 0's input port
  // Host-wide switches, pushed to every session while the pool is active.
  virtual void SetClipboardSharing(bool enabled) = 0;
  virtual void SetTabletOnlyAudioAllowed(bool allowed) = 0;
  // Blocks until every session has ended.
  virtual void Run() = 0;
  // Safe from any thread, also before Run.
  virtual void RequestStop() = 0;
};

}  // namespace orvane
