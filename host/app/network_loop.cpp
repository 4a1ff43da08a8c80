#include "host/app/network_loop.h"

#include <algorithm>
#include <utility>

#include "host/common/logger.h"

namespace orvane {

namespace {

constexpr char kPortsReservedHelp[] =
    "[Main] Orvane Display can't start: Windows reserved its network ports. Hyper-V / WinNAT (WSL2, Docker, "
    "Windows Sandbox) reserves TCP/UDP port ranges at boot and the ranges move between boots. Check: netsh int "
    "ipv4 show excludedportrange protocol=tcp (and protocol=udp). Fix: restart the PC, or as administrator run: "
    "net stop winnat, netsh int ipv4 add excludedportrange protocol=tcp startport=9430 numberofports=1 "
    "store=persistent, net start winnat.";

}  // namespace

NetworkLoop::NetworkLoop(HostState& state, IClock& clock, NetworkPoolFactory factory, uint32_t tablet_count,
                         HostPorts ports)
    : state_(state),
      clock_(clock),
      factory_(std::move(factory)),
      tablet_count_(tablet_count),
      ports_(std::move(ports)),
      control_full_(ports_.control_candidates),
      input_full_(ports_.input_candidates) {}

void NetworkLoop::SetHooks(NetworkLoopHooks hooks) { hooks_ = std::move(hooks); }

HostPorts NetworkLoop::ports() const {
  std::lock_guard<std::mutex> lock(ports_mu_);
  return ports_;
}

void NetworkLoop::Run() {
  // A shutdown requested before or between passes starts no further pool.
  while (!ShutdownRequested()) {
    if (!RunPass()) break;
  }
}

bool NetworkLoop::RunPass() {
  if (hooks_.check_monitor_layout) hooks_.check_monitor_layout();

  std::unique_ptr<INetworkPool> pool = factory_ ? factory_(tablet_count_) : nullptr;
  SessionInitResult result;
  bool ok = false;
  if (!pool) {
    result.code = kSessionInitOtherFailure;
    result.message = "the session pool could not be created";
  } else {
    const HostPorts ports = this->ports();
    ok = pool->Initialize(ports, &result) && result.ok();
    if (!ok && result.ok()) {
      // A failure must never read as success further down.
      result.code = kSessionInitOtherFailure;
      if (result.message.empty()) result.message = "unknown failure";
    }
  }

  if (!ok) {
    LogError("[Main] Session initialization failed: %s", result.message.c_str());
    if (!last_pass_failed_) {
      last_pass_failed_ = true;
      OnInitFailure(result);
    }
    LogInfo("[Main] Retrying network setup in %lu s", static_cast<unsigned long>(backoff_ms_ / 1000));
    // Drop the failed pool first so whatever it did bind is free during the wait.
    pool.reset();
    SleepUnlessShutdown(backoff_ms_);
    backoff_ms_ = std::min(backoff_ms_ * 2, kNetworkBackoffMaxMs);
    return !ShutdownRequested();
  }

  OnPoolReady(*pool);

  {
    std::lock_guard<std::mutex> lock(active_pool_lock_);
    active_pool_ = pool.get();
    pool->SetClipboardSharing(state_.share_clipboard.load());
    pool->SetTabletOnlyAudioAllowed(state_.tablet_only_audio.load());
    // A shutdown that arrived while the pool was being set up found no
    // active pool to stop; stop it now so Run returns at once.
    if (ShutdownRequested()) pool->RequestStop();
  }

  pool->Run();

  {
    std::lock_guard<std::mutex> lock(active_pool_lock_);
    active_pool_ = nullptr;
  }
  if (ShutdownRequested()) return false;

  if (hooks_.reset_ui_status) hooks_.reset_ui_status(kUiStatusReconnecting);
  if (hooks_.set_tray_tooltip) hooks_.set_tray_tooltip(kMsgTooltipReconnecting);
  LogInfo("[Main] Session ended. Reconnecting in 2 seconds...");
  pool.reset();
  SleepUnlessShutdown(kReconnectPauseMs);
  return !ShutdownRequested();
}

void NetworkLoop::OnPoolReady(INetworkPool& pool) {
  if (last_pass_failed_) {
    LogInfo("[Main] Network setup recovered");
    last_pass_failed_ = false;
    backoff_ms_ = kNetworkBackoffStartMs;
    state_.network_state.store(0);
  }

  const uint16_t control_port = pool.ControlPort();
  const uint16_t input_port = pool.InputPort();
  state_.listening_control_port.store(control_port);

  // The next pool tries the ports that worked first, so a fallback port
  // stays stable across reconnects; explicit ports have no list to reorder.
  {
    std::lock_guard<std::mutex> lock(ports_mu_);
    if (!ports_.control_explicit) ports_.control_candidates = PreferBoundPort(control_port, control_full_);
    if (!ports_.input_explicit) ports_.input_candidates = PreferBoundPort(input_port, input_full_);
  }

  if (control_port != registered_port_) {
    if (registered_port_ != 0) {
      LogInfo("[Main] Control port changed %u -> %u; updating mDNS", static_cast<unsigned>(registered_port_),
              static_cast<unsigned>(control_port));
      if (hooks_.withdraw_dns_sd) hooks_.withdraw_dns_sd();
      registered_port_ = 0;
    }
    LogInfo("[Main] Listening: control TCP %u, input UDP %u%s", static_cast<unsigned>(control_port),
            static_cast<unsigned>(input_port),
            control_port != kDefaultControlPort
                ? " (fallback control port; manual IP entry on the phone needs this port)"
                : "");
    const bool registered = hooks_.register_dns_sd ? hooks_.register_dns_sd(control_port) : true;
    if (registered) {
      registered_port_ = control_port;
      state_.mdns_failed.store(false);
    } else {
      // Not recorded as registered, so the next pass tries again.
      state_.mdns_failed.store(true);
      if (!mdns_failure_reported_) {
        mdns_failure_reported_ = true;
        LogInfo("[Main] mDNS registration failed -- manual IP entry required on mobile");
        if (hooks_.show_notification) hooks_.show_notification(kMsgDiscoveryUnavailable, kBalloonNone);
      }
    }
  }

  if (hooks_.configure_pool) hooks_.configure_pool(pool);

  if (hooks_.set_tray_tooltip) {
    hooks_.set_tray_tooltip(state_.mdns_failed.load() ? kMsgTooltipManualIp : kMsgTooltipWaiting);
  }
  state_.tablets_connected.store(false);

  LogInfo("\n[Main] Ready. Waiting for mobile client...\n");
  if (hooks_.reset_ui_status) hooks_.reset_ui_status(kUiStatusWaiting);
}

void NetworkLoop::OnInitFailure(const SessionInitResult& result) {
  const bool ports_reserved = result.code == kSessionInitPortsUnavailable;
  if (ports_reserved) LogError("%s", kPortsReservedHelp);
  state_.network_state.store(ports_reserved ? 1 : 2);
  if (hooks_.reset_ui_status) hooks_.reset_ui_status(kUiStatusFailed);
  if (hooks_.set_tray_tooltip) hooks_.set_tray_tooltip(kMsgTooltipCannotStart);
  if (hooks_.show_notification) {
    if (ports_reserved) {
      hooks_.show_notification(kMsgPortsReserved, kBalloonReservedPortsHelp);
    } else {
      hooks_.show_notification(kMsgNetworkStartFailed, kBalloonNone);
    }
  }
  if (hooks_.open_settings_window) hooks_.open_settings_window();
}

bool NetworkLoop::SleepUnlessShutdown(uint32_t ms) {
  uint32_t slept = 0;
  while (slept < ms) {
    if (ShutdownRequested()) return false;
    const uint32_t step = std::min(kShutdownPollStepMs, ms - slept);
    clock_.SleepMs(step);
    slept += step;
  }
  return !ShutdownRequested();
}

void NetworkLoop::RequestShutdown() {
  if (hooks_.restore_speakers) hooks_.restore_speakers();
  state_.relaunch_on_console_close.store(false);
  state_.shutdown_requested.store(true);
  StopActivePool();
}

void NetworkLoop::StopActivePool() {
  std::lock_guard<std::mutex> lock(active_pool_lock_);
  if (active_pool_ != nullptr) active_pool_->RequestStop();
}

}  // namespace orvane
