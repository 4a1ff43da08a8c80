#pragma once
// What the session pool and its per-slot sessions exchange: the callbacks a
// session calls on the pool, the host entry's notifications, the settings the
// pool pushes into every session, and the session interface the pool drives.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/common/net.h"
#include "host/control/host_ports.h"

namespace orvane {

class TcpServer;
class IVirtualDisplayManager;
class TabletAuthenticator;
class EncoderBudget;

enum class SessionClientState : int { kWaiting = 0, kConnected = 1, kDisconnected = 2 };

// Facts about a stream that just started on a slot.
struct SessionStreamInfo {
  std::string client_id;
  std::string client_name;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t fps = 0;
  bool extended = false;       // the stream shows a virtual monitor
  bool audio_enabled = false;  // the tablet wants audio
  uint32_t monitor_number = 0;  // the display number
  std::string capture_monitor_id;
  int mirror_fallback_reason = 0;  // the session's capture reason kept for a mirror (0, 2, 4 or 5)
  uint8_t extended_side = 0;       // 1 right, 2 left, 3 above, 4 below of the primary monitor; 0 none
};

// A tablet refused for its app version (texts cut for display).
struct VersionRefusal {
  std::string client_id;    // at most 128 bytes
  std::string client_name;  // at most 128 bytes
  std::string app_version;  // at most 32 bytes
  std::string host_version;
  // 1: the app is older; 2: its version is empty or malformed; 3: the app is
  // newer (or the host's own version is malformed).
  int verdict = 0;
};

enum class WindowMoveDirection : int { kToClientDisplay = 0, kBackToPrimary = 1 };

// Result of a window command, in the order the log names them.
enum class WindowMoveStatus : int {
  kMoved = 0,
  kNoWindow = 1,
  kElevated = 2,
  kNotResponding = 3,
  kNotExtended = 4,
  kFailed = 5,
};

struct WindowMoveRequest {
  size_t slot = 0;
  WindowMoveDirection direction = WindowMoveDirection::kToClientDisplay;
  uint32_t request_id = 0;
  std::string monitor_id;  // the slot's virtual monitor, empty when none
};

struct WindowMoveResult {
  WindowMoveStatus status = WindowMoveStatus::kFailed;
  std::string window_title;
};

// Capture settings the host entry pushes into every session; a session takes
// them over the next time it waits for a client.
struct CaptureSettings {
  uint32_t output_index = 0;
  std::string monitor_id;
  int backend = 0;         // 0 auto, 1 dxgi, 2 wgc
  int header_flag = 0;     // reaches bit 1 of the media fragment header; the host passes 0
};

// The pool's side of a session: every call carries the session's own slot.
struct SessionPoolCallbacks {
  // client_id, client_name -> admitted; *limit receives the tablet limit.
  std::function<bool(size_t slot, const std::string& client_id, const std::string& client_name, uint32_t* limit)>
      admit_client;
  std::function<void(size_t slot, const std::string& client_name)> on_authenticated;
  std::function<bool(size_t slot)> use_extended_display;
  std::function<uint32_t(size_t slot)> monitor_number_for;
  std::function<void(size_t slot, SessionClientState state, const std::string& peer_address, uint64_t connection_key)>
      on_client_state;
  std::function<void(size_t slot, const SessionStreamInfo& info)> on_stream_started;
  std::function<void(size_t slot, bool restart_pending)> on_stream_stopped;
  std::function<bool(size_t slot)> other_tablet_plays_audio;
  std::function<void(size_t slot, bool on)> on_audio_toggled;
};

// The host entry's notifications, copied into every session.
struct SessionHostCallbacks {
  std::function<void(const VersionRefusal&)> version_refused;
  std::function<void(const SessionStreamInfo&)> stream_started;
  std::function<void()> stream_ended;
  // When set, the session reports window commands as supported.
  std::function<WindowMoveResult(const WindowMoveRequest&)> window_move;
  // Texts for the settings window: (text, count) and (text, text).
  std::function<void(const std::string&, uint32_t)> ui_text_count;
  std::function<void(const std::string&, const std::string&)> ui_text_pair;
};

// Everything a session needs from the pool when it is created.
struct SessionSetup {
  size_t slot = 0;
  TcpServer* server = nullptr;  // not owned; shared by every slot
  uint16_t media_port = kDefaultMediaPort;
  uint16_t input_port = 0;
  // The slot's input socket, bound by the pool's port probe and kept bound
  // so that no other program can take the port before the tablet
  // authenticates. The session's input receiver takes it over.
  net::Socket input_socket = net::kInvalidSocket;
  SessionPoolCallbacks pool;
  // Who may use the host: the pool's trusted devices, pairing code and host
  // identity, shared by every slot. Without it no tablet is authenticated.
  std::shared_ptr<TabletAuthenticator> authenticator;
  // The pool's encoder budget, shared by every slot; null: no budget.
  std::shared_ptr<EncoderBudget> encoder_budget;
};

// A session as the pool drives it. The real one serves a tablet; tests give
// the pool fakes.
class IPoolSession {
 public:
  virtual ~IPoolSession() = default;

  virtual SessionInitResult InitializeSlot() = 0;
  // The session's main loop; returns when the session is stopped.
  virtual void Run() = 0;
  // Ends Run and the session's threads; any thread, also before Run.
  virtual void Stop() = 0;
  // Closes the current client when its connection key matches (0 = any);
  // with notify an authenticated tablet is told first.
  virtual bool Disconnect(uint64_t connection_key, const std::string& reason, bool notify) = 0;

  // Called by the pool under its mutex; the session stores both under its
  // audio-route lock.
  virtual void SetAudioRoute(bool plays_here, const std::string& owner_name) = 0;
  // A short description of the negotiated client for the tablet list.
  virtual std::string DescribeClient() = 0;

  virtual void SetClipboardSharing(bool enabled) = 0;
  virtual void SetTabletOnlyAudioAllowed(bool allowed) = 0;
  virtual void SetVirtualDisplayManager(IVirtualDisplayManager* manager) = 0;
  virtual void ApplyCaptureSettings(const CaptureSettings& settings) = 0;
  virtual void SetHostCallbacks(const SessionHostCallbacks& callbacks) = 0;
};

using SessionFactory = std::function<std::unique_ptr<IPoolSession>(SessionSetup setup)>;

}  // namespace orvane
