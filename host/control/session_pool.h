#pragma once
// SessionPool: lets several tablets use the host at once. It owns the control
// server (one client slot more than the tablets it serves, so a tablet beyond
// the limit can be answered "host busy"), one session per slot, and the slot
// table that records who is connected, authenticated, which display number a
// tablet has, who streams and which tablet plays the PC's audio. It also
// chooses the control port and every slot's input port, with fallbacks.
//
// Lock order: the pool mutex before a session's audio-route lock (the audio
// owner broadcast is the one place that holds both). Every other call into a
// session, and every notification, happens with the pool mutex released.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/common/host_result.h"
#include "host/common/net.h"
#include "host/control/encoder_budget.h"
#include "host/control/host_ports.h"
#include "host/control/network_pool.h"
#include "host/control/session_types.h"
#include "host/control/tablet_mode.h"
#include "host/control/tcp_server.h"

namespace orvane {

class IVirtualDisplayManager;

// One row of the settings window's tablet list.
struct TabletListEntry {
  uint64_t connection_key = 0;
  std::string display_name;  // client name, or the peer address when the name is empty
  std::string peer_address;
  std::string client_id;
  std::string description;   // the session's negotiated client, in a few words
  bool authenticated = false;
  bool streaming = false;
  bool extended = false;     // the running stream shows a virtual monitor
  uint32_t monitor_number = 0;
  uint32_t stream_width = 0;
  uint32_t stream_height = 0;
  uint32_t stream_fps = 0;
  multi_session::TabletMode mode = multi_session::TabletMode::kDefault;  // the stored choice
  bool effective_extended = false;  // what the mode means now
  bool audio_owner = false;
};

// What the pool reaches the outside world through. Empty members take the
// real behaviour, except make_session, which the host must supply.
struct SessionPoolEnvironment {
  // Creates the session of a slot. From the call on, setup.input_socket
  // belongs to the factory (and the session it returns), also when it
  // returns null.
  SessionFactory make_session;
  // Handed to every session (see SessionSetup::authenticator).
  std::shared_ptr<TabletAuthenticator> authenticator;
  // The host-wide encoder budget handed to every session; the pool makes
  // one when none is given.
  std::shared_ptr<EncoderBudget> encoder_budget;
  // Binds and listens on the control port: 0 with *bound, or the Winsock
  // error. Default: the pool's TcpServer.
  std::function<int(uint16_t port, uint16_t* bound)> bind_control;
  // Claims an input UDP port: 0 with *bound and an open *socket that the
  // pool then owns, or the Winsock error with nothing open. Default:
  // ProbeInputPort.
  std::function<int(uint16_t port, uint16_t* bound, net::Socket* socket)> probe_input;
  // Starts a thread running body: true with *out joinable. Default:
  // std::thread, false when the system refuses a thread.
  std::function<bool(std::function<void()> body, std::thread* out)> start_thread;
  // Installed on the control server: recognises a reconnecting tablet by
  // its Hello. Default: PeekHelloClientId.
  TcpServer::HelloPeek hello_peek;
};

// Codes of LastRunResult().
inline constexpr int kPoolRunOk = 0;
inline constexpr int kPoolRunNotInitialized = 1;
inline constexpr int kPoolRunThreadFailed = 2;

class SessionPool final : public INetworkPool {
 public:
  static constexpr uint32_t kMaxTablets = 4;

  // The tablet count is clamped to 1..4; the pool has one slot more.
  explicit SessionPool(uint32_t requested_tablets, SessionPoolEnvironment env = {});
  ~SessionPool() override;

  SessionPool(const SessionPool&) = delete;
  SessionPool& operator=(const SessionPool&) = delete;

  // INetworkPool. Initialize binds the control port, claims every slot's
  // input port and creates and initialises the sessions; on failure nothing
  // is rolled back except the input sockets no session took over (the host
  // discards the pool).
  bool Initialize(const HostPorts& ports, SessionInitResult* result) override;
  uint16_t ControlPort() const override { return control_port_.load(); }
  uint16_t InputPort() const override { return input_port_.load(); }
  void SetClipboardSharing(bool enabled) override;
  void SetTabletOnlyAudioAllowed(bool allowed) override;
  // One thread per session; returns when every session has returned. When a
  // thread cannot be started the pool stops every session, joins the threads
  // already running and records the failure in LastRunResult().
  void Run() override;
  void RequestStop() override;

  HostResult LastRunResult() const;
  uint32_t TabletCount() const { return tablet_count_; }
  size_t SlotCount() const { return slot_count_; }
  uint16_t MediaPort() const { return media_port_.load(); }
  // Every slot's input port in slot order (empty before Initialize chose them).
  std::vector<uint16_t> InputPorts() const;

  // Settings pushed to every session; sessions created later get them too.
  void SetVirtualDisplayManager(IVirtualDisplayManager* manager);  // not owned; may be null
  void ApplyCaptureSettings(const CaptureSettings& settings);
  void SetHostCallbacks(const SessionHostCallbacks& callbacks);
  // Every session closes its client with the reason, without notice; true if
  // any did.
  bool DisconnectAll(const std::string& reason);

  // Notifications; called on the calling thread of whatever changed the
  // state, never with the pool mutex held.
  void SetStateChangedCallback(std::function<void()> callback);
  void SetTabletModesChangedCallback(std::function<void(const TabletModeMap&)> callback);

  // Settings window operations. A connection key of 0 matches nothing.
  std::vector<TabletListEntry> ListTablets();
  bool DisconnectFromSettings(uint64_t connection_key);
  bool SetTabletMode(uint64_t connection_key, multi_session::TabletMode mode);
  bool SetPreferredAudioTablet(uint64_t connection_key);
  // Entries with an empty id are ignored; kDefault removes an entry.
  void LoadTabletModes(const TabletModeMap& modes);
  TabletModeMap TabletModes() const;
  // Removing a trusted device and the pairing accessors join here together
  // with the trusted-device store.

 private:
  struct PoolSlot {
    bool occupied = false;
    uint64_t connection_key = 0;
    std::string peer_address;
    bool admitted = false;
    bool authenticated = false;
    std::string client_id;
    std::string client_name;
    uint32_t monitor_number = 0;
    bool streaming = false;
    bool restart_pending = false;
    bool extended = false;
    uint32_t stream_width = 0;
    uint32_t stream_height = 0;
    uint32_t stream_fps = 0;
    uint64_t stream_order = 0;
    bool audio_enabled = true;
  };

  // The callbacks a session gets; each forwards to the member below.
  SessionPoolCallbacks MakeCallbacks();
  bool AdmitClient(size_t slot, const std::string& client_id, const std::string& client_name, uint32_t* limit);
  void OnAuthenticated(size_t slot, const std::string& client_name);
  bool UseExtendedDisplay(size_t slot);
  uint32_t MonitorNumberFor(size_t slot);
  void OnClientState(size_t slot, SessionClientState state, const std::string& peer_address, uint64_t key);
  void OnStreamStarted(size_t slot, const SessionStreamInfo& info);
  void OnStreamStopped(size_t slot, bool restart_pending);
  bool OtherTabletPlaysAudio(size_t slot);
  void OnAudioToggled(size_t slot, bool on);

  SessionInitResult InitializeUnguarded(const HostPorts& ports);
  SessionInitResult ChooseInputPorts(const HostPorts& ports);
  SessionInitResult CreateSessions();
  int ProbeForSlot(size_t slot, const std::vector<uint16_t>& taken, uint16_t port, uint16_t* bound);
  void CloseUnclaimedSockets();

  // The virtual display driver's availability, asked outside the pool mutex
  // so the pool never holds its mutex while the manager takes its own.
  bool DriverAvailable() const;
  std::vector<IPoolSession*> SessionList() const;
  IPoolSession* SessionAt(size_t slot) const;
  void NotifyStateChanged();

  // These run with mu_ held.
  bool EffectiveExtendedLocked(const PoolSlot& slot, bool driver_available) const;
  uint32_t FreeMonitorNumberLocked(size_t slot) const;
  // Index of the occupied slot with the key; nullopt for 0 or no match.
  std::optional<size_t> FindSlotLocked(uint64_t connection_key) const;
  std::optional<size_t> AudioOwnerLocked() const;
  void BroadcastAudioOwnerLocked();

  const uint32_t tablet_count_;
  const size_t slot_count_;
  SessionPoolEnvironment env_;
  TcpServer server_;

  std::atomic<bool> stopping_{false};
  std::atomic<uint16_t> control_port_{0};
  std::atomic<uint16_t> input_port_{0};
  std::atomic<uint16_t> media_port_{kDefaultMediaPort};
  std::atomic<IVirtualDisplayManager*> display_manager_{nullptr};
  bool initialize_called_ = false;  // Initialize's thread only
  std::atomic<bool> ready_{false};  // Initialize succeeded

  // Input sockets claimed by the port probe and not yet handed to a session
  // (Initialize's thread and the destructor only).
  std::vector<net::Socket> unclaimed_sockets_;

  mutable std::mutex run_result_mu_;
  HostResult run_result_ = HostResult::Failure(kPoolRunNotInitialized, "the pool has not run");

  // Serialises pushing settings into sessions, so a session created during a
  // push ends up with the newest values. Taken before mu_.
  std::mutex settings_mu_;
  std::optional<bool> clipboard_sharing_;
  std::optional<bool> tablet_only_audio_;
  std::optional<CaptureSettings> capture_settings_;
  SessionHostCallbacks host_callbacks_;

  mutable std::mutex mu_;  // the pool mutex
  std::vector<PoolSlot> slots_;
  std::vector<uint16_t> input_ports_;
  const uint32_t limit_;
  std::string preferred_audio_tablet_;
  uint64_t stream_order_counter_ = 0;
  TabletModeMap modes_;
  std::function<void()> state_changed_;
  std::function<void(const TabletModeMap&)> modes_changed_;
  // Created by Initialize, destroyed with the pool; the objects stay put, so
  // pointers taken under mu_ remain valid after it is released.
  std::vector<std::unique_ptr<IPoolSession>> sessions_;
};

}  // namespace orvane
