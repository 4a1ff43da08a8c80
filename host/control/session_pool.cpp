#include "host/control/session_pool.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "host/common/logger.h"
#include "host/control/control_frame.h"
#include "host/control/input_port_probe.h"
#include "host/control/port_choice.h"
#include "host/vdd/virtual_display.h"

namespace orvane {

namespace {

bool StartStdThread(std::function<void()> body, std::thread* out) {
  try {
    *out = std::thread(std::move(body));
    return true;
  } catch (const std::system_error& e) {
    LogError("[Pool] The system refused a thread: %s (%d)", e.what(), e.code().value());
    return false;
  }
}

// Two slots hold the same tablet only when both know its identity; devices
// without an id are never taken for one another.
bool SameTablet(const std::string& a, const std::string& b) { return !a.empty() && a == b; }

SessionInitResult PortFailure(const std::string& label, bool explicit_port, const std::vector<PortAttempt>& failed) {
  SessionInitResult result{PortFailureCode(failed), PortFailureMessage(label, explicit_port, failed)};
  LogError("[Pool] %s", result.message.c_str());
  return result;
}

std::string JoinPorts(const std::vector<uint16_t>& ports) {
  std::string text;
  for (size_t i = 0; i < ports.size(); ++i) {
    if (i > 0) text += ",";
    text += std::to_string(ports[i]);
  }
  return text;
}

}  // namespace

SessionPool::SessionPool(uint32_t requested_tablets, SessionPoolEnvironment env)
    : tablet_count_(std::clamp<uint32_t>(requested_tablets, 1, kMaxTablets)),
      slot_count_(static_cast<size_t>(tablet_count_) + 1),
      env_(std::move(env)),
      server_(slot_count_),
      unclaimed_sockets_(slot_count_, net::kInvalidSocket),
      slots_(slot_count_),
      limit_(tablet_count_) {
  if (!env_.bind_control) {
    env_.bind_control = [this](uint16_t port, uint16_t* bound) {
      if (server_.Start(port)) {
        *bound = server_.ListeningPort();
        return 0;
      }
      const int error = server_.LastSocketError();
      return error != 0 ? error : net::kWsaEInval;
    };
  }
  if (!env_.probe_input) env_.probe_input = ProbeInputPort;
  if (!env_.encoder_budget) env_.encoder_budget = std::make_shared<EncoderBudget>(SystemClock());
  if (!env_.start_thread) env_.start_thread = StartStdThread;
  if (!env_.hello_peek) env_.hello_peek = PeekHelloClientId;
  server_.SetHelloPeek(env_.hello_peek);
}

SessionPool::~SessionPool() {
  stopping_.store(true);
  server_.Stop();
  std::vector<std::unique_ptr<IPoolSession>> sessions;
  {
    std::lock_guard<std::mutex> lock(mu_);
    sessions.swap(sessions_);
  }
  // Outside the mutex: a session that shuts down may still report to the
  // pool, which then sees no sessions.
  sessions.clear();
  CloseUnclaimedSockets();
}

// ---------------------------------------------------------------------------
// Initialisation

bool SessionPool::Initialize(const HostPorts& ports, SessionInitResult* result) {
  SessionInitResult outcome;
  if (initialize_called_) {
    outcome = {kSessionInitOtherFailure, "the session pool was already initialised"};
    LogError("[Pool] %s", outcome.message.c_str());
  } else {
    initialize_called_ = true;
    outcome = InitializeUnguarded(ports);
  }
  // Ports claimed for slots that never got their session are given back at
  // once; the host tries again with a new pool.
  if (!outcome.ok()) CloseUnclaimedSockets();
  ready_.store(outcome.ok());
  if (result) *result = outcome;
  return outcome.ok();
}

SessionInitResult SessionPool::InitializeUnguarded(const HostPorts& ports) {
  if (!env_.make_session) {
    const SessionInitResult result{kSessionInitOtherFailure, "session factory missing"};
    LogError("[Pool] %s", result.message.c_str());
    return result;
  }
  media_port_.store(ports.media_port);

  const std::vector<uint16_t> control_candidates =
      PortCandidates(ports.control_port, ports.control_explicit, ports.control_candidates);
  const PortChoice control = ChoosePort(control_candidates, env_.bind_control);
  if (!control.bound) return PortFailure("Control TCP", ports.control_explicit, control.failed);
  LogPortFallback("Control", "tcp", ports.control_port, control.port, control.failed);
  control_port_.store(control.port);

  if (SessionInitResult inputs = ChooseInputPorts(ports); !inputs.ok()) return inputs;
  if (SessionInitResult sessions = CreateSessions(); !sessions.ok()) return sessions;

  LogInfo("[Pool] Initialized for %u tablet(s) (+1 slot for busy answers). Control=%u, Media=%u, Input=%s",
          tablet_count_, static_cast<unsigned>(control_port_.load()), static_cast<unsigned>(media_port_.load()),
          JoinPorts(InputPorts()).c_str());
  return {};
}

SessionInitResult SessionPool::ChooseInputPorts(const HostPorts& ports) {
  std::vector<uint16_t> taken;
  taken.reserve(slot_count_);
  for (size_t slot = 0; slot < slot_count_; ++slot) {
    const std::vector<uint16_t> candidates =
        slot == 0 ? PortCandidates(ports.input_port, ports.input_explicit, ports.input_candidates)
                  : SlotInputCandidates(slot, taken.front(), ports.input_explicit, taken);
    const PortChoice choice = ChoosePort(
        candidates, [&](uint16_t port, uint16_t* bound) { return ProbeForSlot(slot, taken, port, bound); });
    if (!choice.bound) {
      // Only slot 0's port is the one given on the command line; later slots
      // always keep the system's choice as a fallback.
      return PortFailure("Input UDP (slot " + std::to_string(slot) + ")", slot == 0 && ports.input_explicit,
                         choice.failed);
    }
    if (slot == 0) LogPortFallback("Input", "udp", ports.input_port, choice.port, choice.failed);
    taken.push_back(choice.port);
  }
  input_port_.store(taken.front());
  std::lock_guard<std::mutex> lock(mu_);
  input_ports_ = std::move(taken);
  return {};
}

int SessionPool::ProbeForSlot(size_t slot, const std::vector<uint16_t>& taken, uint16_t port, uint16_t* bound) {
  uint16_t got = 0;
  net::Socket socket = net::kInvalidSocket;
  const int error = env_.probe_input(port, &got, &socket);
  if (error != 0) return error;
  if (got == 0) {
    // Bound somewhere nobody can name: the tablet could never be told.
    net::Close(socket);
    return net::kWsaEInval;
  }
  if (std::find(taken.begin(), taken.end(), got) != taken.end()) {
    net::Close(socket);
    return net::kWsaEAddrInUse;
  }
  unclaimed_sockets_[slot] = socket;
  *bound = got;
  return 0;
}

SessionInitResult SessionPool::CreateSessions() {
  const std::vector<uint16_t> input_ports = InputPorts();
  for (size_t slot = 0; slot < slot_count_; ++slot) {
    SessionSetup setup;
    setup.slot = slot;
    setup.server = &server_;
    setup.media_port = media_port_.load();
    setup.input_port = input_ports[slot];
    setup.input_socket = std::exchange(unclaimed_sockets_[slot], net::kInvalidSocket);
    setup.pool = MakeCallbacks();
    setup.authenticator = env_.authenticator;
    setup.encoder_budget = env_.encoder_budget;
    std::unique_ptr<IPoolSession> session = env_.make_session(std::move(setup));
    if (!session) {
      const SessionInitResult result{kSessionInitOtherFailure,
                                     "the session of slot " + std::to_string(slot) + " could not be created"};
      LogError("[Pool] %s", result.message.c_str());
      return result;
    }
    IPoolSession* raw = session.get();
    {
      std::lock_guard<std::mutex> settings_lock(settings_mu_);
      {
        std::lock_guard<std::mutex> lock(mu_);
        sessions_.push_back(std::move(session));
      }
      if (clipboard_sharing_) raw->SetClipboardSharing(*clipboard_sharing_);
      if (tablet_only_audio_) raw->SetTabletOnlyAudioAllowed(*tablet_only_audio_);
      raw->SetVirtualDisplayManager(display_manager_.load());
      if (capture_settings_) raw->ApplyCaptureSettings(*capture_settings_);
      raw->SetHostCallbacks(host_callbacks_);
    }
    // A stop that came while this session was being created missed it.
    if (stopping_.load()) raw->Stop();

    const SessionInitResult init = raw->InitializeSlot();
    if (!init.ok()) {
      // A session that cannot start is never a port reservation problem.
      return {kSessionInitOtherFailure, init.message};
    }
  }
  return {};
}

void SessionPool::CloseUnclaimedSockets() {
  for (net::Socket& socket : unclaimed_sockets_) {
    if (socket != net::kInvalidSocket) net::Close(std::exchange(socket, net::kInvalidSocket));
  }
}

SessionPoolCallbacks SessionPool::MakeCallbacks() {
  SessionPoolCallbacks callbacks;
  callbacks.admit_client = [this](size_t slot, const std::string& id, const std::string& name, uint32_t* limit) {
    return AdmitClient(slot, id, name, limit);
  };
  callbacks.on_authenticated = [this](size_t slot, const std::string& name) { OnAuthenticated(slot, name); };
  callbacks.use_extended_display = [this](size_t slot) { return UseExtendedDisplay(slot); };
  callbacks.monitor_number_for = [this](size_t slot) { return MonitorNumberFor(slot); };
  callbacks.on_client_state = [this](size_t slot, SessionClientState state, const std::string& peer, uint64_t key) {
    OnClientState(slot, state, peer, key);
  };
  callbacks.on_stream_started = [this](size_t slot, const SessionStreamInfo& info) { OnStreamStarted(slot, info); };
  callbacks.on_stream_stopped = [this](size_t slot, bool restart) { OnStreamStopped(slot, restart); };
  callbacks.other_tablet_plays_audio = [this](size_t slot) { return OtherTabletPlaysAudio(slot); };
  callbacks.on_audio_toggled = [this](size_t slot, bool on) { OnAudioToggled(slot, on); };
  return callbacks;
}

// ---------------------------------------------------------------------------
// Running and stopping

void SessionPool::Run() {
  const std::vector<IPoolSession*> sessions = SessionList();
  if (!ready_.load() || sessions.empty()) {
    LogError("[Pool] Run without a successful Initialize");
    std::lock_guard<std::mutex> lock(run_result_mu_);
    run_result_ = HostResult::Failure(kPoolRunNotInitialized, "the pool is not initialised");
    return;
  }

  std::vector<std::thread> threads;
  threads.reserve(sessions.size());
  bool all_started = true;
  size_t failed_slot = 0;
  for (size_t slot = 0; slot < sessions.size(); ++slot) {
    IPoolSession* session = sessions[slot];
    std::thread thread;
    const bool started = env_.start_thread([session] { session->Run(); }, &thread);
    if (thread.joinable()) threads.push_back(std::move(thread));
    if (!started || threads.size() != slot + 1) {
      all_started = false;
      failed_slot = slot;
      break;
    }
  }

  HostResult outcome = HostResult::Success();
  if (!all_started) {
    // Half a pool would serve some tablets and silently ignore others; stop
    // what runs and let the host start over with a new pool.
    LogError("[Pool] Could not start the thread of slot %zu; stopping every session", failed_slot);
    outcome = HostResult::Failure(kPoolRunThreadFailed,
                                  "could not start the thread of slot " + std::to_string(failed_slot));
    RequestStop();
  }
  for (std::thread& thread : threads) thread.join();

  std::lock_guard<std::mutex> lock(run_result_mu_);
  run_result_ = std::move(outcome);
}

void SessionPool::RequestStop() {
  stopping_.store(true);
  for (IPoolSession* session : SessionList()) session->Stop();
  server_.Stop();
}

HostResult SessionPool::LastRunResult() const {
  std::lock_guard<std::mutex> lock(run_result_mu_);
  return run_result_;
}

std::vector<uint16_t> SessionPool::InputPorts() const {
  std::lock_guard<std::mutex> lock(mu_);
  return input_ports_;
}

std::vector<IPoolSession*> SessionPool::SessionList() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<IPoolSession*> list;
  list.reserve(sessions_.size());
  for (const auto& session : sessions_) list.push_back(session.get());
  return list;
}

IPoolSession* SessionPool::SessionAt(size_t slot) const {
  std::lock_guard<std::mutex> lock(mu_);
  return slot < sessions_.size() ? sessions_[slot].get() : nullptr;
}

// ---------------------------------------------------------------------------
// Settings pushed to every session

void SessionPool::SetClipboardSharing(bool enabled) {
  std::lock_guard<std::mutex> settings_lock(settings_mu_);
  clipboard_sharing_ = enabled;
  for (IPoolSession* session : SessionList()) session->SetClipboardSharing(enabled);
}

void SessionPool::SetTabletOnlyAudioAllowed(bool allowed) {
  std::lock_guard<std::mutex> settings_lock(settings_mu_);
  tablet_only_audio_ = allowed;
  for (IPoolSession* session : SessionList()) session->SetTabletOnlyAudioAllowed(allowed);
}

void SessionPool::SetVirtualDisplayManager(IVirtualDisplayManager* manager) {
  std::lock_guard<std::mutex> settings_lock(settings_mu_);
  display_manager_.store(manager);
  for (IPoolSession* session : SessionList()) session->SetVirtualDisplayManager(manager);
}

void SessionPool::ApplyCaptureSettings(const CaptureSettings& settings) {
  std::lock_guard<std::mutex> settings_lock(settings_mu_);
  capture_settings_ = settings;
  for (IPoolSession* session : SessionList()) session->ApplyCaptureSettings(settings);
}

void SessionPool::SetHostCallbacks(const SessionHostCallbacks& callbacks) {
  std::lock_guard<std::mutex> settings_lock(settings_mu_);
  host_callbacks_ = callbacks;
  for (IPoolSession* session : SessionList()) session->SetHostCallbacks(callbacks);
}

bool SessionPool::DisconnectAll(const std::string& reason) {
  bool any = false;
  for (IPoolSession* session : SessionList()) {
    if (session->Disconnect(0, reason, false)) any = true;
  }
  return any;
}

void SessionPool::SetStateChangedCallback(std::function<void()> callback) {
  std::lock_guard<std::mutex> lock(mu_);
  state_changed_ = std::move(callback);
}

void SessionPool::SetTabletModesChangedCallback(std::function<void(const TabletModeMap&)> callback) {
  std::lock_guard<std::mutex> lock(mu_);
  modes_changed_ = std::move(callback);
}

void SessionPool::NotifyStateChanged() {
  std::function<void()> callback;
  {
    std::lock_guard<std::mutex> lock(mu_);
    callback = state_changed_;
  }
  if (callback) callback();
}

bool SessionPool::DriverAvailable() const {
  IVirtualDisplayManager* manager = display_manager_.load();
  return manager != nullptr && manager->DriverAvailable();
}

// ---------------------------------------------------------------------------
// Slot table helpers (mu_ held)

bool SessionPool::EffectiveExtendedLocked(const PoolSlot& slot, bool driver_available) const {
  const auto it = modes_.find(slot.client_id);
  if (it != modes_.end()) {
    if (it->second == multi_session::TabletMode::kExtend) return true;
    if (it->second == multi_session::TabletMode::kMirror) return false;
  }
  return driver_available;
}

uint32_t SessionPool::FreeMonitorNumberLocked(size_t slot) const {
  for (uint32_t number = 1; number <= slots_.size(); ++number) {
    bool held = false;
    for (size_t i = 0; i < slots_.size() && !held; ++i) {
      held = i != slot && slots_[i].admitted && slots_[i].monitor_number == number;
    }
    if (!held) return number;
  }
  return 0;
}

std::optional<size_t> SessionPool::FindSlotLocked(uint64_t connection_key) const {
  if (connection_key == 0) return std::nullopt;
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].occupied && slots_[i].connection_key == connection_key) return i;
  }
  return std::nullopt;
}

std::optional<size_t> SessionPool::AudioOwnerLocked() const {
  std::optional<size_t> earliest;
  for (size_t i = 0; i < slots_.size(); ++i) {
    const PoolSlot& slot = slots_[i];
    if (!slot.authenticated || !(slot.streaming || slot.restart_pending)) continue;
    // The user's pick wins even with its audio off.
    if (SameTablet(preferred_audio_tablet_, slot.client_id)) return i;
    if (slot.audio_enabled && (!earliest || slot.stream_order < slots_[*earliest].stream_order)) earliest = i;
  }
  return earliest;
}

void SessionPool::BroadcastAudioOwnerLocked() {
  const std::optional<size_t> owner = AudioOwnerLocked();
  std::string owner_name;
  if (owner) {
    const PoolSlot& slot = slots_[*owner];
    owner_name = slot.client_name.empty() ? slot.peer_address : slot.client_name;
  }
  for (size_t i = 0; i < sessions_.size(); ++i) {
    sessions_[i]->SetAudioRoute(owner.has_value() && *owner == i, owner_name);
  }
}

// ---------------------------------------------------------------------------
// Callbacks from the sessions (each with the session's own slot)

bool SessionPool::AdmitClient(size_t slot, const std::string& client_id, const std::string& client_name,
                              uint32_t* limit) {
  if (limit) *limit = limit_;
  bool admitted = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (slot >= slots_.size()) return false;
    PoolSlot& record = slots_[slot];
    record.admitted = false;
    record.authenticated = false;
    record.monitor_number = 0;
    record.client_id = client_id;
    record.client_name = client_name;
    uint32_t others = 0;
    for (size_t i = 0; i < slots_.size(); ++i) {
      if (i != slot && slots_[i].admitted && !SameTablet(slots_[i].client_id, client_id)) ++others;
    }
    // The same tablet on another slot is about to be replaced, so it never
    // counts against the limit.
    admitted = others < limit_;
    record.admitted = admitted;
  }
  if (!admitted) {
    LogWarn("[Pool] Refusing %s on slot %zu: %u tablet(s) already connected",
            client_name.empty() ? "a device" : EscapeUntrusted(client_name).c_str(), slot, limit_);
  }
  NotifyStateChanged();
  return admitted;
}

void SessionPool::OnAuthenticated(size_t slot, const std::string& /*client_name*/) {
  struct Replaced {
    size_t slot;
    uint64_t connection_key;
  };
  std::vector<Replaced> replaced;
  uint32_t number = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (slot >= slots_.size() || !slots_[slot].admitted) return;
    PoolSlot& record = slots_[slot];
    record.authenticated = true;
    for (size_t i = 0; i < slots_.size(); ++i) {
      PoolSlot& other = slots_[i];
      if (i == slot || !other.admitted || !SameTablet(other.client_id, record.client_id)) continue;
      replaced.push_back({i, other.connection_key});
      other.admitted = false;
      other.authenticated = false;
      other.monitor_number = 0;
      other.streaming = false;
      other.restart_pending = false;
    }
    record.monitor_number = FreeMonitorNumberLocked(slot);
    number = record.monitor_number;
    // The replaced slot may have owned the audio.
    if (!replaced.empty()) BroadcastAudioOwnerLocked();
  }

  LogInfo("[Pool] Slot %zu authenticated (monitor number %u)", slot, number);
  for (const Replaced& old : replaced) {
    LogInfo("[Pool] Dropping slot %zu: the same tablet reconnected on slot %zu", old.slot, slot);
    if (IVirtualDisplayManager* manager = display_manager_.load()) manager->MarkTabletReconnected(old.slot);
    if (IPoolSession* session = SessionAt(old.slot)) {
      session->Disconnect(old.connection_key, "same tablet reconnected", false);
    }
  }
  NotifyStateChanged();
}

bool SessionPool::UseExtendedDisplay(size_t slot) {
  const bool driver_available = DriverAvailable();
  std::lock_guard<std::mutex> lock(mu_);
  if (slot >= slots_.size()) return false;
  return EffectiveExtendedLocked(slots_[slot], driver_available);
}

uint32_t SessionPool::MonitorNumberFor(size_t slot) {
  std::lock_guard<std::mutex> lock(mu_);
  if (slot >= slots_.size()) return 0;
  PoolSlot& record = slots_[slot];
  if (record.authenticated && record.monitor_number != 0) {
    // Numbers close their gaps when tablets leave.
    const uint32_t lowest = FreeMonitorNumberLocked(slot);
    if (lowest > 0 && lowest < record.monitor_number) record.monitor_number = lowest;
  }
  return record.monitor_number;
}

void SessionPool::OnClientState(size_t slot, SessionClientState state, const std::string& peer_address,
                                uint64_t key) {
  bool notify = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (slot >= slots_.size()) return;
    PoolSlot& record = slots_[slot];
    switch (state) {
      case SessionClientState::kConnected:
        record = PoolSlot{};
        record.occupied = true;
        record.connection_key = key;
        record.peer_address = peer_address;
        break;
      case SessionClientState::kWaiting:
        if (record.occupied) record = PoolSlot{};
        break;
      case SessionClientState::kDisconnected:
        if (record.occupied) record = PoolSlot{};
        BroadcastAudioOwnerLocked();
        notify = true;
        break;
    }
  }
  if (notify) NotifyStateChanged();
}

void SessionPool::OnStreamStarted(size_t slot, const SessionStreamInfo& info) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (slot >= slots_.size()) return;
    PoolSlot& record = slots_[slot];
    record.audio_enabled = info.audio_enabled;
    if (record.stream_order == 0) record.stream_order = ++stream_order_counter_;
    record.streaming = true;
    record.restart_pending = false;
    record.extended = info.extended;
    record.stream_width = info.width;
    record.stream_height = info.height;
    record.stream_fps = info.fps;
    BroadcastAudioOwnerLocked();
  }
  NotifyStateChanged();
}

void SessionPool::OnStreamStopped(size_t slot, bool restart_pending) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (slot >= slots_.size()) return;
    PoolSlot& record = slots_[slot];
    record.streaming = false;
    record.restart_pending = restart_pending;
    record.extended = false;
    BroadcastAudioOwnerLocked();
  }
  NotifyStateChanged();
}

bool SessionPool::OtherTabletPlaysAudio(size_t slot) {
  std::lock_guard<std::mutex> lock(mu_);
  for (size_t i = 0; i < slots_.size(); ++i) {
    const PoolSlot& other = slots_[i];
    if (i != slot && other.authenticated && (other.streaming || other.restart_pending) && other.audio_enabled) {
      return true;
    }
  }
  return false;
}

void SessionPool::OnAudioToggled(size_t slot, bool on) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (slot >= slots_.size()) return;
    slots_[slot].audio_enabled = on;
    BroadcastAudioOwnerLocked();
  }
  LogInfo("[Pool] Tablet on slot %zu turned its audio %s", slot, on ? "on" : "off");
  NotifyStateChanged();
}

// ---------------------------------------------------------------------------
// Settings window operations

std::vector<TabletListEntry> SessionPool::ListTablets() {
  const bool driver_available = DriverAvailable();
  struct Row {
    IPoolSession* session;
    TabletListEntry entry;
  };
  std::vector<Row> rows;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const std::optional<size_t> owner = AudioOwnerLocked();
    for (size_t i = 0; i < slots_.size(); ++i) {
      const PoolSlot& slot = slots_[i];
      if (!slot.occupied || !slot.admitted) continue;
      TabletListEntry entry;
      entry.connection_key = slot.connection_key;
      entry.display_name = slot.client_name.empty() ? slot.peer_address : slot.client_name;
      entry.peer_address = slot.peer_address;
      entry.client_id = slot.client_id;
      entry.authenticated = slot.authenticated;
      entry.streaming = slot.streaming;
      entry.extended = slot.extended;
      entry.monitor_number = slot.monitor_number;
      entry.stream_width = slot.stream_width;
      entry.stream_height = slot.stream_height;
      entry.stream_fps = slot.stream_fps;
      const auto mode = modes_.find(slot.client_id);
      if (mode != modes_.end()) entry.mode = mode->second;
      entry.effective_extended = EffectiveExtendedLocked(slot, driver_available);
      entry.audio_owner = owner.has_value() && *owner == i;
      rows.push_back({i < sessions_.size() ? sessions_[i].get() : nullptr, std::move(entry)});
    }
  }
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    // Numbered tablets first, by number; then by connection key.
    const uint64_t na = a.entry.monitor_number == 0 ? UINT64_MAX : a.entry.monitor_number;
    const uint64_t nb = b.entry.monitor_number == 0 ? UINT64_MAX : b.entry.monitor_number;
    if (na != nb) return na < nb;
    return a.entry.connection_key < b.entry.connection_key;
  });

  std::vector<TabletListEntry> list;
  list.reserve(rows.size());
  for (Row& row : rows) {
    // The description comes from the session's own locks, so it is asked
    // for with the pool mutex released.
    if (row.session) row.entry.description = row.session->DescribeClient();
    list.push_back(std::move(row.entry));
  }
  return list;
}

bool SessionPool::DisconnectFromSettings(uint64_t connection_key) {
  std::optional<size_t> slot;
  {
    std::lock_guard<std::mutex> lock(mu_);
    slot = FindSlotLocked(connection_key);
  }
  if (!slot) return false;
  LogInfo("[Pool] Disconnecting the tablet on slot %d (settings window)", static_cast<int>(*slot));
  IPoolSession* session = SessionAt(*slot);
  return session != nullptr && session->Disconnect(connection_key, "disconnected on the PC", true);
}

bool SessionPool::SetTabletMode(uint64_t connection_key, multi_session::TabletMode mode) {
  if (!multi_session::IsValidTabletMode(mode)) return false;
  const bool driver_available = DriverAvailable();
  size_t slot = 0;
  bool reconnect = false;
  TabletModeMap copy;
  std::function<void(const TabletModeMap&)> modes_changed;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const std::optional<size_t> found = FindSlotLocked(connection_key);
    if (!found) return false;
    slot = *found;
    const PoolSlot& record = slots_[slot];
    // A mode is remembered per tablet identity; without one there is
    // nothing to remember it by.
    if (!record.authenticated || record.client_id.empty()) return false;
    const bool before = EffectiveExtendedLocked(record, driver_available);
    if (mode != multi_session::TabletMode::kDefault) {
      modes_[record.client_id] = mode;
    } else {
      modes_.erase(record.client_id);
    }
    const bool after = EffectiveExtendedLocked(record, driver_available);
    reconnect = record.streaming && before != after;
    copy = modes_;
    modes_changed = modes_changed_;
  }
  LogInfo("[Pool] Tablet on slot %d set to %s%s", static_cast<int>(slot), multi_session::TabletModeName(mode),
          reconnect ? "; reconnecting it" : "");
  if (modes_changed) modes_changed(copy);
  if (reconnect) {
    if (IPoolSession* session = SessionAt(slot)) session->Disconnect(connection_key, "display mode changed", false);
  }
  NotifyStateChanged();
  return true;
}

bool SessionPool::SetPreferredAudioTablet(uint64_t connection_key) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    const std::optional<size_t> slot = FindSlotLocked(connection_key);
    if (!slot) return false;
    preferred_audio_tablet_ = slots_[*slot].client_id;
    BroadcastAudioOwnerLocked();
  }
  NotifyStateChanged();
  return true;
}

void SessionPool::LoadTabletModes(const TabletModeMap& modes) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& [client_id, mode] : modes) {
    if (client_id.empty() || !multi_session::IsValidTabletMode(mode)) continue;
    if (mode != multi_session::TabletMode::kDefault) {
      modes_[client_id] = mode;
    } else {
      modes_.erase(client_id);
    }
  }
}

TabletModeMap SessionPool::TabletModes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return modes_;
}

}  // namespace orvane
