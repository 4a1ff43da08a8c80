#include "host/control/session_manager.h"
#include "host/control/session_stream_port.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

#include "host/common/logger.h"
#include "host/common/platform_info.h"
#include "host/control/tablet_auth.h"
#include "host/control/tcp_server.h"
#include "host/audio/audio_pipeline.h"
#include "host/audio/speaker_mute.h"
#include "host/input/injection_platform.h"
#include "host/input/injector.h"
#include "host/vdd/virtual_display.h"
#include "host/video/cursor_sender.h"
#include "host/video/monitor_enumeration.h"

namespace orvane {

// ------------------------------------------------------------------ errors

SessionError EncoderInitFailedError() { return {kErrorEncoderInitFailed, "Video encoder init failed", true}; }

SessionError PenFallbackError(const std::string& line) { return {kErrorPenFallback, line, false}; }

SessionError SecureInputUnavailableError() {
  return {kErrorSecureInputUnavailable, "Secure input channel could not be started", true};
}

SessionError MonitorUnavailableError() { return {kErrorMonitorUnavailable, "Selected monitor is unavailable", false}; }

SessionError NoFreeEncoderError() {
  return {kErrorNoFreeEncoder,
          "This PC has no free video encoder for another tablet. Disconnect a tablet or lower the resolution, then "
          "reconnect.",
          true};
}

SessionError NoFreeVirtualMonitorError(uint32_t monitors_in_use) {
  return {kErrorNoFreeVirtualMonitor,
          "Every virtual monitor of this PC is in use (" + std::to_string(monitors_in_use) +
              "). Disconnect another tablet or choose Mirror for this one.",
          true};
}

SessionError DriverRestartPendingError() {
  return {kErrorDriverRestartPending,
          "Another monitor is ready after the virtual display driver restarts. Click Apply in Orvane Display on the "
          "PC, then reconnect.",
          true};
}

SessionError DisconnectedByHostError() { return {kErrorDisconnectedByHost, "Disconnected from the PC", true}; }

// ------------------------------------------------------------ construction

SessionManager::SessionManager(SessionSetup setup, SessionManagerOptions options)
    : slot_(setup.slot),
      server_(setup.server),
      pool_(std::move(setup.pool)),
      media_port_(setup.media_port),
      input_port_(setup.input_port),
      budget_(setup.encoder_budget),
      clock_(options.clock ? *options.clock : SystemClock()),
      options_(std::move(options)),
      authenticator_(std::move(setup.authenticator)),
      handler_(clock_),
      opener_(handler_.Keys(), clock_),
      receiver_(clock_),
      nack_(clock_, [this](uint32_t sequence) { return sender_.Retransmit(sequence); }) {
  if (setup.input_socket != net::kInvalidSocket) receiver_.AdoptSocket(setup.input_socket, setup.input_port);
  // A test's authenticator replaces the pool's.
  if (options_.hello_authenticator) {
    handler_.SetHelloAuthenticator(options_.hello_authenticator);
  } else if (authenticator_) {
    authenticator_->Attach(handler_);
  }
  opener_.SetRekeySender(
      [this](const char* reason, uint64_t server_epoch) { handler_.SendRekeyRequired(reason, server_epoch); });
}

SessionManager::~SessionManager() {
  Stop();
  StopVideoStream(kStreamStopSessionEnded);
  JoinAcquireThread();
  if (receive_thread_.joinable()) {
    // Run was left without its clean-up (it never returned normally); make
    // sure the thread can end before joining it.
    uint64_t held = 0;
    {
      std::lock_guard<std::mutex> lock(handoff_mu_);
      held = handed_key_;
    }
    if (held != 0 && server_ != nullptr) server_->DropClient(slot_, held, "session ended");
    receive_thread_.join();
  }
  receiver_.Close();
  sender_.CloseSocket();
}

SessionManagerOptions PlatformSessionOptions() {
  SessionManagerOptions options;
  // The tablet's input goes into the desktop; a machine that offers no way
  // to inject (a Linux host without an X display) logs it instead.
  options.make_input_injector = []() -> std::unique_ptr<IInputInjector> {
    const std::shared_ptr<IMonitorEnumerator> enumerator(MakePlatformMonitorEnumerator());
    std::unique_ptr<IInjectionPlatform> platform = MakePlatformInjection([enumerator] {
      std::vector<InjectionMonitor> monitors;
      for (const MonitorInfoData& m : enumerator->EnumerateMonitors()) {
        monitors.push_back({m.id, m.x, m.y, m.x + m.width, m.y + m.height, m.primary});
      }
      return monitors;
    });
    if (!platform) return std::make_unique<LoggingInputInjector>();
    return std::make_unique<InputInjector>(std::move(platform), SystemClock());
  };
  if (const char* permille = std::getenv("ORVANE_DEBUG_FORCE_RESIZE_PERMILLE")) {
    // Bounded here; the schedule parses and logs what it got.
    options.debug_resize_permille = std::string(permille).substr(0, 64);
  }
  options.make_encoder = [] { return MakePlatformVideoEncoder(); };
  // The PC sound: loopback capture, Opus and the process's speaker control.
  options.make_audio = [] { return MakeAudioPipeline(ProcessSpeakerMute()); };
  options.count_hardware_encoders = [](VideoCodec codec) { return CountHardwareEncoders(codec); };
  options.make_capture = [](const CaptureTarget& target, CaptureBackendChoice choice,
                            std::shared_ptr<GpuDevice> device) {
    auto manager = std::make_unique<CaptureManager>(choice, target, MakePlatformCaptureSources(),
                                                    std::shared_ptr<IMonitorEnumerator>(MakePlatformMonitorEnumerator()));
    manager->SetSharedDevice(std::move(device));
    return manager;
  };
  return options;
}

std::unique_ptr<IPoolSession> MakeSessionManager(SessionSetup setup) {
  return std::make_unique<SessionManager>(std::move(setup), PlatformSessionOptions());
}

SessionInitResult SessionManager::InitializeSlot() {
  SessionInitResult result;
  if (server_ == nullptr) {
    result.code = kSessionInitOtherFailure;
    result.message = "session has no control listener";
    return result;
  }
  if (!sender_.CreateSocket()) {
    const HostResult error = sender_.LastResult();
    LogError("[Session %zu] %s", slot_, error.ToString().c_str());
    result.code = kSessionInitOtherFailure;
    result.message = error.message;
    return result;
  }
  handler_.SetPorts(media_port_, input_port_);
  // The computer name comes from the wide API, converted to UTF-8, so names
  // outside the ANSI code page reach the tablet intact.
  const std::string computer_name = ComputerNameUtf8();
  if (!computer_name.empty()) handler_.SetHostIdentity("orvane-" + computer_name, computer_name);
  handler_.SetFrameSender([this](const uint8_t* data, size_t length) { return server_->SendFrame(slot_, data, length); });
  handler_.SetAdmissionCallback([this](const std::string& client_id, const std::string& client_name, uint32_t* limit) {
    if (!pool_.admit_client) return true;
    return pool_.admit_client(slot_, client_id, client_name, limit);
  });
  LogInfo("[Session %zu] Initialized. Media=%u, Input=%u", slot_, static_cast<unsigned>(media_port_),
          static_cast<unsigned>(input_port_));
  return result;
}

// ----------------------------------------------------------------- settings

void SessionManager::SetAudioRoute(bool plays_here, const std::string& owner_name) {
  std::lock_guard<std::mutex> lock(audio_route_mu_);
  audio_plays_here_ = plays_here;
  audio_owner_name_ = owner_name;
}

std::string SessionManager::DescribeClient() { return handler_.DescribeClient(); }

void SessionManager::SetClipboardSharing(bool enabled) { clipboard_sharing_ = enabled; }

void SessionManager::SetTabletOnlyAudioAllowed(bool allowed) { tablet_only_audio_allowed_ = allowed; }

void SessionManager::SetVirtualDisplayManager(IVirtualDisplayManager* manager) { virtual_displays_ = manager; }

void SessionManager::ApplyCaptureSettings(const CaptureSettings& settings) {
  std::lock_guard<std::mutex> lock(settings_mu_);
  pending_capture_ = settings;
  capture_pending_ = true;
}

void SessionManager::SetHostCallbacks(const SessionHostCallbacks& callbacks) {
  {
    std::lock_guard<std::mutex> lock(host_callbacks_mu_);
    host_callbacks_ = callbacks;
  }
  handler_.SetVersionRefusedCallback(callbacks.version_refused);
  handler_.SetWindowCommandsSupported(static_cast<bool>(callbacks.window_move));
}

void SessionManager::SetVersionRefusedCallback(std::function<void(const VersionRefusal&)> callback) {
  {
    std::lock_guard<std::mutex> lock(host_callbacks_mu_);
    host_callbacks_.version_refused = callback;
  }
  handler_.SetVersionRefusedCallback(std::move(callback));
}

// --------------------------------------------------------------- main loop

void SessionManager::Run() {
  if (server_ == nullptr || stop_requested_) {
    Cleanup();
    return;
  }
  if (!WaitForClient(true) && accept_failed_) {
    Cleanup();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(handoff_mu_);
    receive_thread_done_ = false;
  }
  try {
    receive_thread_ = std::thread([this] { ReceiveLoop(); });
  } catch (const std::system_error& e) {
    {
      std::lock_guard<std::mutex> lock(handoff_mu_);
      receive_thread_done_ = true;
    }
    LogError("[Session %zu] Could not start the control receive thread: %s", slot_, e.what());
    Cleanup();
    return;
  }

  while (!stop_requested_) {
    if (ClientConnected()) {
      ConnectedPass();
      ++passes_;
      WaitForWake(kPassIntervalMs);
      continue;
    }
    ClientDisconnected();
    ++passes_;
    if (stop_requested_) break;
    // The next pass starts at once: a client that is already waiting is
    // served without delay.
    if (!WaitForClient(false) && accept_failed_) break;
  }
  Cleanup();
}

void SessionManager::Stop() {
  {
    std::lock_guard<std::mutex> lock(wake_mu_);
    stop_requested_ = true;
  }
  wake_cv_.notify_all();
  {
    std::lock_guard<std::mutex> lock(handoff_mu_);
  }
  handoff_cv_.notify_all();
}

void SessionManager::WaitForWake(uint32_t ms) {
  std::unique_lock<std::mutex> lock(wake_mu_);
  wake_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_requested_.load() || disconnect_pending_; });
}

void SessionManager::WaitUnlessStopping(uint32_t ms) {
  std::unique_lock<std::mutex> lock(wake_mu_);
  wake_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_requested_.load(); });
}

bool SessionManager::WaitForClient(bool first) {
  accept_failed_ = false;
  {
    std::lock_guard<std::mutex> lock(settings_mu_);
    if (capture_pending_) {
      capture_ = pending_capture_;
      capture_pending_ = false;
    }
  }
  if (pool_.on_client_state) pool_.on_client_state(slot_, SessionClientState::kWaiting, std::string(), 0);
  if (first) {
    LogInfo("[Session] Waiting for mobile client connection...");
  } else {
    LogInfo("[Session] Waiting for next control client...");
  }

  uint64_t key = 0;
  if (!server_->AcceptClient(slot_, &key)) {
    accept_failed_ = true;
    if (!stop_requested_) {
      const HostResult error = server_->LastResult();
      LogError("[Session] Failed to accept client %s", error.ToString().c_str());
    } else {
      LogInfo("[Session %zu] Stopped waiting for a client (host is shutting down)", slot_);
    }
    return false;
  }

  connection_key_ = key;
  connect_time_ms_ = clock_.TickMs();
  waiting_for_authentication_ = true;
  closing_by_host_ = false;
  peer_address_ = server_->PeerAddress(slot_);
  input_disabled_warned_ = false;
  input_warnings_.Reset();

  bool remote_ok = false;
  HostResult remote_error;
  {
    std::lock_guard<std::mutex> lock(transport_mu_);
    remote_ok = sender_.SetRemote(peer_address_, media_port_);
    if (!remote_ok) remote_error = sender_.LastResult();
  }
  const std::string peer = EscapeUntrusted(peer_address_);
  if (!remote_ok) {
    LogError("[Session] Failed to configure UDP remote %s", remote_error.ToString().c_str());
    // Left in place, the connection would be accepted again at once by the
    // next wait; close it so the slot is free for the next tablet.
    server_->DropClient(slot_, key, "UDP remote could not be configured");
    connection_key_ = 0;
    waiting_for_authentication_ = false;
    return false;
  }
  if (first) {
    LogInfo("[Session] Active client: %s", peer.c_str());
  } else {
    LogInfo("[Session] Promoted/connected next client: %s", peer.c_str());
  }
  if (pool_.on_client_state) pool_.on_client_state(slot_, SessionClientState::kConnected, peer_address_, key);

  // Only now may the receive thread read frames: the pool has recorded the
  // slot as occupied, so the admission of the tablet's Hello finds it.
  {
    std::lock_guard<std::mutex> lock(handoff_mu_);
    handed_key_ = key;
  }
  handoff_cv_.notify_all();
  return true;
}

bool SessionManager::ClientConnected() const {
  const uint64_t key = connection_key_.load();
  return key != 0 && server_->ConnectionKey(slot_) == key;
}

void SessionManager::ConnectedPass() {
  ServeQueuedDisconnect();
  if (!ClientConnected()) return;
  CheckTimeouts();
  if (!ClientConnected()) return;

  ServeEndedFrameLoop();
  const StreamRequests requests = handler_.TakeStreamRequests();
  if (requests.start && !StartStreaming()) return;
  if (requests.stop) {
    StopStreaming(kStreamStopRequested);
    ReleaseVirtualMonitor("stream stopped");
    LogInfo("[Session] Stream stopped");
  }
  ServeStreamPass();
  ServeWindowCommands();
  // The audio route, switching the capture to the selected monitor,
  // extended-display placement, rotation, the speaker-mute wish and audio
  // toggles join this pass with the stream controller.
}

void SessionManager::ServeWindowCommands() {
  std::function<WindowMoveResult(const WindowMoveRequest&)> window_move;
  {
    std::lock_guard<std::mutex> lock(host_callbacks_mu_);
    window_move = host_callbacks_.window_move;
  }
  WindowCommandRequest command;
  while (handler_.TakeWindowCommand(&command)) {
    WindowMoveResult result;
    result.status = WindowMoveStatus::kNotExtended;
    if (window_move) {
      WindowMoveRequest request;
      request.slot = slot_;
      request.direction =
          command.move_back ? WindowMoveDirection::kBackToPrimary : WindowMoveDirection::kToClientDisplay;
      request.request_id = command.request_id;
      IVirtualDisplayManager* manager = virtual_displays_.load();
      if (manager != nullptr && manager->HoldsMonitor(slot_)) request.monitor_id = manager->GetMonitorId(slot_);
      result = window_move(request);
    }
    LogInfo("[Session] Window command %s request=%u -> %s", command.move_back ? "back-to-primary" : "to-client-display",
            command.request_id, WindowMoveStatusName(result.status));
    handler_.SendWindowCommandResult(command.request_id, command.move_back, result.status, result.window_title);
  }
}

void SessionManager::CheckTimeouts() {
  // A Hello on an authenticated connection starts authentication over: both
  // time-outs run again from that Hello.
  uint64_t hello_tick = 0;
  if (handler_.TakeAuthenticationRestart(&hello_tick)) {
    connect_time_ms_ = hello_tick;
    waiting_for_authentication_ = true;
  }
  if (!waiting_for_authentication_) return;
  if (handler_.IsAuthenticated()) {
    waiting_for_authentication_ = false;
    return;
  }
  const uint64_t now = clock_.TickMs();
  const uint64_t elapsed = now > connect_time_ms_ ? now - connect_time_ms_ : 0;
  const bool hello_late = !handler_.HelloReceived() && elapsed >= kHelloTimeoutMs;
  if (elapsed < kAuthenticationTimeoutMs && !hello_late) return;

  const std::string peer = EscapeUntrusted(peer_address_);
  const char* reason = nullptr;
  if (elapsed < kAuthenticationTimeoutMs) {
    LogWarn("[Session] Dropping control client %s: no valid Hello within %lld s", peer.c_str(),
            static_cast<long long>(kHelloTimeoutMs / 1000));
    reason = "hello timeout";
  } else {
    LogWarn("[Session] Dropping control client %s: not authenticated within %lld s", peer.c_str(),
            static_cast<long long>(kAuthenticationTimeoutMs / 1000));
    reason = "authentication timeout";
  }
  waiting_for_authentication_ = false;
  server_->DropClient(slot_, connection_key_.load(), reason);
}

void SessionManager::ServeQueuedDisconnect() {
  PendingDisconnect pending;
  {
    std::lock_guard<std::mutex> lock(wake_mu_);
    if (!disconnect_pending_) return;
    disconnect_pending_ = false;
    pending = std::move(pending_disconnect_);
    pending_disconnect_ = PendingDisconnect{};
  }
  if (pending.key != connection_key_.load()) return;  // that connection is gone already
  SendSessionError(DisconnectedByHostError());
  WaitUnlessStopping(kDisconnectNoticeDelayMs);
  closing_by_host_ = true;
  if (!server_->DropClient(slot_, pending.key, pending.reason.c_str())) closing_by_host_ = false;
}

bool SessionManager::Disconnect(uint64_t connection_key, const std::string& reason, bool notify) {
  if (server_ == nullptr) return false;
  const uint64_t current = connection_key_.load();
  if (current == 0 || (connection_key != 0 && connection_key != current)) return false;
  if (notify && handler_.IsAuthenticated()) {
    // The notice and the pause after it belong to the session's own thread:
    // the caller (the settings window, the pool) must not block on them.
    {
      std::lock_guard<std::mutex> lock(wake_mu_);
      disconnect_pending_ = true;
      pending_disconnect_ = PendingDisconnect{current, reason};
    }
    wake_cv_.notify_all();
    return true;
  }
  closing_by_host_ = true;
  const bool closed = server_->DropClient(slot_, current, reason.c_str());
  if (!closed) closing_by_host_ = false;
  return closed;
}

void SessionManager::ClientDisconnected() {
  const uint64_t key = connection_key_.exchange(0);
  if (key != 0 && pool_.on_client_state) {
    pool_.on_client_state(slot_, SessionClientState::kDisconnected, peer_address_, key);
  }
  waiting_for_authentication_ = false;
  {
    std::lock_guard<std::mutex> lock(wake_mu_);
    disconnect_pending_ = false;
    pending_disconnect_ = PendingDisconnect{};
  }
  const bool user_ended = handler_.TakeUserEnded();
  if (streaming_) {
    LogWarn("[Session %zu] Control client disconnected (%s) -- stopping stream", slot_,
            user_ended ? "the user ended the session" : "link dropped");
    StopStreaming(user_ended ? kStreamStopRequested : kStreamStopLinkDropped);
  }
  // Only after the stream has stopped: the media key goes with the
  // destination, and nothing is ever sent without a key.
  {
    std::lock_guard<std::mutex> lock(transport_mu_);
    transport_enabled_ = false;
    punched_port_ = 0;
    receiver_.ClearPeerAndKeys();
    sender_.Disable();
  }
  ReleaseVirtualMonitor("client disconnected");
  selected_monitor_id_.clear();
  {
    // The receive thread notices a closed connection within its read bound.
    std::unique_lock<std::mutex> lock(handoff_mu_);
    handoff_cv_.wait(lock, [this] { return handed_key_ == 0 || receive_thread_done_; });
  }
  handler_.Reset();
}

void SessionManager::Cleanup() {
  Stop();
  StopStreaming(kStreamStopSessionEnded);
  ReleaseVirtualMonitor("session ended");
  uint64_t held = 0;
  {
    std::lock_guard<std::mutex> lock(handoff_mu_);
    held = handed_key_;
  }
  // The receive thread blocks on its connection until the connection ends.
  if (held != 0 && server_ != nullptr) server_->DropClient(slot_, held, "session ended");
  if (receive_thread_.joinable()) receive_thread_.join();
  DisableTransport();
  sender_.CloseSocket();
}

// ------------------------------------------------------- control receiving

void SessionManager::ReceiveLoop() {
  std::vector<uint8_t> frame;
  for (;;) {
    uint64_t key = 0;
    {
      std::unique_lock<std::mutex> lock(handoff_mu_);
      handoff_cv_.wait(lock, [this] { return stop_requested_.load() || handed_key_ != 0; });
      if (handed_key_ == 0) break;
      key = handed_key_;
    }
    ServeConnection(key, frame);
  }
  {
    std::lock_guard<std::mutex> lock(handoff_mu_);
    handed_key_ = 0;
    receive_thread_done_ = true;
  }
  handoff_cv_.notify_all();
}

void SessionManager::ServeConnection(uint64_t key, std::vector<uint8_t>& frame) {
  opener_.Reset();
  frame_warnings_.Reset();
  while (server_->ReceiveFrame(slot_, &frame, key)) {
    if (stop_requested_) continue;  // drained until the clean-up closes the connection
    HandleFrame(key, frame);
  }
  ConnectionClosed(true);
}

void SessionManager::HandleFrame(uint64_t key, const std::vector<uint8_t>& frame) {
  const bool was_authenticated = handler_.IsAuthenticated();
  const uint64_t hellos_before = handler_.HelloCount();
  const OpenedControlFrame opened = opener_.OpenControlFrame(frame.data(), frame.size(), was_authenticated);
  if (opened.verdict == ControlFrameVerdict::kDrop) return;
  // The tablet turned out to use the other key: the UDP channels follow.
  if (opened.promoted) ApplyTransportSecurity();

  const HostResult result =
      handler_.HandleControlFrame(opened.data, opened.length, opened.verdict == ControlFrameVerdict::kEncrypted);
  if (!result.ok()) {
    uint64_t suppressed = 0;
    if (was_authenticated || frame_warnings_.Allow(clock_.TickMs(), &suppressed)) {
      if (suppressed > 0) {
        LogWarn("[Session] Control frame handling issue code=%d msg=%s (%llu similar suppressed)", result.code,
                result.message.c_str(), static_cast<unsigned long long>(suppressed));
      } else {
        LogWarn("[Session] Control frame handling issue code=%d msg=%s", result.code, result.message.c_str());
      }
    }
  }
  if (handler_.RefusedBusy()) {
    CloseAfterRefusal(key, "host busy");
    return;
  }
  if (handler_.RefusedVersion()) {
    CloseAfterRefusal(key, "app version mismatch");
    return;
  }
  const bool hello_again = was_authenticated && handler_.HelloCount() != hellos_before;
  if (hello_again) {
    // The UDP keys of the old authentication must not outlive it.
    ApplyTransportSecurity();
  }
  if ((!was_authenticated || hello_again) && handler_.IsAuthenticated()) CompleteAuthentication(key);
  ServeStreamFeedback();
  // Quality changes and the clipboard side channel are served here once the
  // stream controller exists.
}

void SessionManager::CloseAfterRefusal(uint64_t key, const char* reason) {
  WaitUnlessStopping(kRefusalCloseDelayMs);
  server_->DropClient(slot_, key, reason);
}

void SessionManager::CompleteAuthentication(uint64_t key) {
  {
    std::lock_guard<std::mutex> lock(injector_mu_);
    if (!injector_) {
      injector_ = options_.make_input_injector ? options_.make_input_injector()
                                               : std::make_unique<RecordingInputInjector>();
    }
  }
  // The control server recognises a reconnecting tablet by the client_id of
  // its Hello, so that is what it records (not the display name).
  server_->SetClientId(slot_, key, handler_.ClientId());
  if (pool_.on_authenticated) pool_.on_authenticated(slot_, handler_.ClientName());
  ApplyTransportSecurity();
  if (!receiver_.Running() && !StartInputReceiver()) {
    const HostResult error = receiver_.LastResult();
    LogError("[Session] Failed to start input UDP receiver %s", error.ToString().c_str());
    SendSessionError(SecureInputUnavailableError());
  }
}

void SessionManager::ConnectionClosed(bool log_closed) {
  if (log_closed) {
    const HostResult last = server_->LastResult();
    LogInfo("[Session] Control connection closed for active client (code=%d, msg=%s)", last.code,
            last.message.c_str());
  }
  handler_.Reset();
  opener_.Reset();
  ReleaseInput();
  DisableTransport();
  {
    std::lock_guard<std::mutex> lock(handoff_mu_);
    handed_key_ = 0;
  }
  handoff_cv_.notify_all();
}

// --------------------------------------------------------------- transport

void SessionManager::ApplyTransportSecurity() {
  std::lock_guard<std::mutex> lock(transport_mu_);
  const bool keys = handler_.HasSessionKeys();
  if (handler_.IsAuthenticated() && keys) {
    const std::string peer = server_->PeerAddress(slot_);
    crypto::Bytes key = handler_.Keys().ActiveKey();
    if (receiver_.SetExpectedPeer(peer)) {
      // A port the tablet punched on this connection stays its media port
      // when the keys change (a promotion, a new Hello).
      const uint16_t port = punched_port_ != 0 ? punched_port_ : media_port_;
      if (!sender_.SetRemote(peer, port)) {
        LogWarn("[Session] Media UDP remote could not be set %s", sender_.LastResult().ToString().c_str());
      }
      // Each channel gets its own copy of the key of this moment; a later
      // rotation of the control key does not change them.
      const bool media_key = sender_.SetMediaKey(key);
      const bool input_key = receiver_.SetInputKey(key);
      crypto::SecureWipe(key);
      if (!media_key || !input_key) {
        LogError("[Session] UDP keys could not be installed; transport stays disabled");
        transport_enabled_ = false;
        sender_.Disable();
        receiver_.ClearPeerAndKeys();
        return;
      }
      transport_enabled_ = true;
      LogInfo("[Session] Transport encryption enabled");
    } else {
      crypto::SecureWipe(key);
      LogError("[Session] Refusing to enable input: invalid control peer address");
      transport_enabled_ = false;
      sender_.Disable();
      receiver_.ClearPeerAndKeys();
    }
    return;
  }
  transport_enabled_ = false;
  sender_.Disable();
  receiver_.ClearPeerAndKeys();
  if (keys) LogWarn("[Session] UDP transport remains disabled until authentication completes");
}

void SessionManager::DisableTransport() {
  {
    std::lock_guard<std::mutex> lock(transport_mu_);
    transport_enabled_ = false;
    punched_port_ = 0;
    receiver_.ClearPeerAndKeys();
    sender_.Disable();
  }
  // Outside the transport lock: Stop joins the receiver's thread, which may
  // be waiting for that lock in the datagram callback.
  receiver_.Stop();
}

bool SessionManager::StartInputReceiver() {
  return receiver_.Start(input_port_, [this](const uint8_t* data, size_t length, const net::Endpoint& from) {
    OnInputDatagram(data, length, from);
  });
}

void SessionManager::OnInputDatagram(const uint8_t* data, size_t length, const net::Endpoint& from) {
  if (!handler_.IsAuthenticated() || !handler_.HasSessionKeys()) return;

  if (length == sizeof kMediaPunch && std::memcmp(data, kMediaPunch, sizeof kMediaPunch) == 0) {
    bool updated = false;
    HostResult error;
    {
      std::lock_guard<std::mutex> lock(transport_mu_);
      // A punch that raced with the end of the connection must not aim the
      // sender at a tablet that is gone.
      if (!transport_enabled_) return;
      updated = sender_.SetRemote(from.address, from.port);
      if (updated) punched_port_ = from.port;
      if (!updated) error = sender_.LastResult();
    }
    if (updated) {
      LogInfo("[Session] Media UDP remote endpoint updated via punch: %s:%u", EscapeUntrusted(from.address).c_str(),
              static_cast<unsigned>(from.port));
    } else {
      LogWarn("[Session] Media UDP punch endpoint update failed %s", error.ToString().c_str());
    }
    return;
  }

  if (!handler_.InputEnabled()) {
    if (!input_disabled_warned_.exchange(true)) {
      LogWarn("[Session] Dropping input events: input is disabled for this session");
    }
    return;
  }
  std::lock_guard<std::mutex> lock(injector_mu_);
  if (!injector_) return;
  if (DispatchInputEvent(data, length, *injector_) != InputDispatchResult::kMalformed) return;
  uint64_t suppressed = 0;
  if (!input_warnings_.Allow(clock_.TickMs(), &suppressed)) return;
  const unsigned bytes = static_cast<unsigned>(length);
  if (suppressed > 0) {
    LogWarn("[Session] Dropping malformed authenticated input packet (%u bytes) (%llu similar suppressed)", bytes,
            static_cast<unsigned long long>(suppressed));
  } else {
    LogWarn("[Session] Dropping malformed authenticated input packet (%u bytes)", bytes);
  }
}

// ------------------------------------------------------------------ helpers

void SessionManager::ReleaseVirtualMonitor(const char* reason) {
  IVirtualDisplayManager* manager = virtual_displays_.load();
  if (manager != nullptr && manager->HoldsMonitor(slot_)) manager->Release(slot_, reason);
}

bool SessionManager::SendSessionError(const SessionError& error) {
  return handler_.SendErrorMessage(error.code, error.description, error.fatal);
}

}  // namespace orvane
