#pragma once
// The host's network loop: create a session pool, bind its ports, run it until
// every session has ended, pause, and start again; when the ports cannot be
// bound, retry with an exponential back-off. The loop also owns the active
// pool, so that every shutdown path (tray Exit, installer signal, console
// events) can stop the pool that is running.
//
// Every platform and UI dependency comes in through a seam: the pool through a
// factory, time through IClock, the process-wide flags through HostState, and
// what other subsystems add (DNS-SD, tray, settings window, speaker restore)
// through optional hooks.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "host/app/host_state.h"
#include "host/common/clock.h"
#include "host/control/host_ports.h"
#include "host/control/network_pool.h"

namespace orvane {

using NetworkPoolFactory = std::function<std::unique_ptr<INetworkPool>(uint32_t tablet_count)>;

// UI status values of the status record.
inline constexpr int kUiStatusFailed = 0;
inline constexpr int kUiStatusWaiting = 1;
inline constexpr int kUiStatusReconnecting = 4;

// Message numbers of the tray tooltip and notifications.
inline constexpr int kMsgTooltipWaiting = 7;
inline constexpr int kMsgTooltipReconnecting = 9;
inline constexpr int kMsgTooltipManualIp = 10;
inline constexpr int kMsgTooltipCannotStart = 11;
inline constexpr int kMsgDiscoveryUnavailable = 27;
inline constexpr int kMsgPortsReserved = 31;
inline constexpr int kMsgNetworkStartFailed = 32;
// Balloon actions.
inline constexpr int kBalloonNone = 0;
inline constexpr int kBalloonReservedPortsHelp = 2;

// The back-off of network set-up retries.
inline constexpr uint32_t kNetworkBackoffStartMs = 15'000;
inline constexpr uint32_t kNetworkBackoffMaxMs = 300'000;
inline constexpr uint32_t kReconnectPauseMs = 2'000;
inline constexpr uint32_t kShutdownPollStepMs = 100;

// Hooks filled in by the host entry as its subsystems exist. Each may be
// empty. They are called on the loop's thread unless noted.
struct NetworkLoopHooks {
  // Counts the desktop monitors before each pool is created.
  std::function<void()> check_monitor_layout;
  // DNS-SD: register the control port (true on success) and withdraw it.
  // Without a register hook the port counts as registered.
  std::function<bool(uint16_t control_port)> register_dns_sd;
  std::function<void()> withdraw_dns_sd;
  // Capture settings, virtual display back-end, pairing code manager, the
  // pool's notifications and the saved tablet modes, before the pool runs.
  std::function<void(INetworkPool& pool)> configure_pool;
  // Resets the UI status record to the status and queues a refresh of the
  // tray and the settings window.
  std::function<void(int status)> reset_ui_status;
  std::function<void(int message)> set_tray_tooltip;
  std::function<void(int message, int balloon_action)> show_notification;
  std::function<void()> open_settings_window;
  // Restores the PC speakers (RequestShutdown; any thread).
  std::function<void()> restore_speakers;
};

class NetworkLoop {
 public:
  // `ports` carries the candidate lists built from the command line.
  NetworkLoop(HostState& state, IClock& clock, NetworkPoolFactory factory, uint32_t tablet_count, HostPorts ports);

  NetworkLoop(const NetworkLoop&) = delete;
  NetworkLoop& operator=(const NetworkLoop&) = delete;

  // Before Run, and before any other thread may call RequestShutdown.
  void SetHooks(NetworkLoopHooks hooks);

  // Runs passes until shutdown is requested.
  void Run();

  // The request-shutdown operation (the tray's Exit): restore the speakers,
  // clear relaunch-on-console-close, set the shutdown request and stop the
  // active pool. Any thread.
  void RequestShutdown();

  // Stops the active pool, if any, under the active-pool lock (console events
  // and the installer's signal, after they set the shutdown request). Any
  // thread.
  void StopActivePool();

  // The port configuration the next pass will use.
  HostPorts ports() const;
  // The next back-off; read on the loop's thread (or after Run returned).
  uint32_t backoff_ms() const { return backoff_ms_; }

 private:
  // One pass; returns false when the loop must end.
  bool RunPass();
  void OnPoolReady(INetworkPool& pool);
  void OnInitFailure(const SessionInitResult& result);
  // Sleeps in short steps; returns early (false) when shutdown is requested.
  bool SleepUnlessShutdown(uint32_t ms);
  bool ShutdownRequested() const { return state_.shutdown_requested.load(); }

  HostState& state_;
  IClock& clock_;
  NetworkPoolFactory factory_;
  const uint32_t tablet_count_;
  NetworkLoopHooks hooks_;

  mutable std::mutex ports_mu_;  // guards ports_ (read by ports() from tests and diagnostics)
  HostPorts ports_;
  // The lists as first configured; a successful start puts the bound port in
  // front of these.
  const std::vector<uint16_t> control_full_;
  const std::vector<uint16_t> input_full_;

  // Loop-thread state.
  uint32_t backoff_ms_ = kNetworkBackoffStartMs;
  bool last_pass_failed_ = false;
  uint16_t registered_port_ = 0;  // control port registered with DNS-SD; 0 = none
  bool mdns_failure_reported_ = false;

  std::mutex active_pool_lock_;
  INetworkPool* active_pool_ = nullptr;
};

}  // namespace orvane
