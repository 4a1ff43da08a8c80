#pragma once
// ProtocolHandler: interprets the control messages of one tablet session.
//
// The session's control receive thread hands it every frame after the frame
// envelope has been opened. The handler answers Hello (version check, tablet
// limit, identity, authentication), refuses everything else until the tablet
// is authenticated, negotiates the stream from CapabilityExchange and turns
// every other request into state that the session and the stream take and
// clear. Every message the host sends on the control channel leaves through
// SendControlMessage, which stamps the protocol version, the next sequence
// number and the host clock.
//
// The handler owns the connection's key state: every Hello starts a key
// agreement, the tablet's key rotations are served here, and the send path
// seals every message but HelloAck. Pairing and the second authentication
// version plug in through the HelloAuthenticator and ControlSecurityHooks.
// Without an authenticator a tablet that says Hello gets session keys but is
// answered AUTH_RESULT_REJECTED and never becomes authenticated (the session
// closes it at its authentication time-out).
//
// Threads: HandleControlFrame runs on the session's receive thread; queries,
// take-and-clear operations and builders may run on any thread.

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "host/common/clock.h"
#include "host/common/host_result.h"
#include "host/common/logger.h"
#include "host/common/printf_check.h"
#include "host/common/rate_limiter.h"
#include "host/control/host_ports.h"
#include "host/control/session_types.h"
#include "host/security/control_key_state.h"
#include "host/security/crypto.h"
#include "host/video/monitor_enumeration.h"
#include "orvane_protocol_v1.pb.h"

namespace orvane {

// The protocol version the host speaks; a Hello with a newer one is refused.
inline constexpr uint32_t kSupportedProtocolVersion = 1;

// The negotiated stream of a connection.
struct SessionConfig {
  uint32_t codec = 1;  // 1 H.264, 2 HEVC
  uint32_t width = 1920;
  uint32_t height = 1080;
  uint32_t fps = 60;
  uint32_t bitrate_kbps = 8000;
  bool audio_enabled = false;
  bool mute_host_speakers = false;
  bool input_enabled = true;
  uint16_t media_port = kDefaultMediaPort;
  uint16_t input_port = kDefaultInputPort;
  bool stream_resize_supported = false;
  // Fragments per frame the tablet accepts, after clamping; the only value
  // of the limit that consumers use.
  uint32_t fragment_limit = 256;
  std::string route_class;
  std::string session_id;
};

// How a tablet's app version compares with the host's.
enum class VersionVerdict : int {
  kEqual = 0,
  kAppOlder = 1,
  kAppInvalid = 2,  // empty or not three numbers of 1 to 5 digits
  kAppNewer = 3,    // or the host's own version is not in that form
};

VersionVerdict CompareAppVersion(std::string_view app_version, std::string_view host_version);

// ------------------------------------------------------------ negotiation

// A codec the tablet can decode, as negotiation sees it.
struct CodecCandidate {
  uint32_t codec = 1;  // 1 H.264, 2 HEVC
  uint32_t max_width = 1920;
  uint32_t max_height = 1080;
  uint32_t max_fps = 60;
  bool hardware_decode = true;
  bool uhd120_capable = false;
  bool present = false;
};

struct FrameSize {
  uint32_t width = 0;
  uint32_t height = 0;
  bool operator==(const FrameSize& other) const { return width == other.width && height == other.height; }
};

struct StreamMode {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t fps = 0;
};

// Frame rates the stream runs at: >= 120 -> 120, >= 90 -> 90, >= 60 -> 60,
// otherwise 30.
uint32_t NormalizeFps(uint32_t fps);
// The frame rate a quality profile asks for: >= 120 -> 120, >= 90 -> 90,
// < 60 -> 30, otherwise 60.
uint32_t NormalizeQualityFps(uint32_t fps);
// Scales (w, h), taken as landscape, into W x H without enlarging it and
// rounds each side down to a multiple of 8; exact integer arithmetic.
FrameSize FitInto(uint32_t w, uint32_t h, uint32_t max_w, uint32_t max_h);
// The first size and frame rate, from the target downwards, that the
// candidate can decode; 1280 x 720 at 30 when none.
StreamMode FitMode(uint32_t width, uint32_t height, uint32_t fps, const CodecCandidate& candidate);
// Initial bitrate in kbit/s for a negotiated mode.
uint32_t InitialBitrateKbps(uint32_t codec, uint32_t width, uint32_t height, uint32_t fps);
// A route class as reported by the tablet: its first 32 bytes, kept only
// when every byte is a-z or '_'; otherwise empty.
std::string FilterRouteClass(const std::string& route_class);

// ------------------------------------------------------ requests and data

// Stream start/stop as the main loop takes them. At most one is set: the
// tablet's last request wins. Keyframe requests are taken separately.
struct StreamRequests {
  bool start = false;
  bool stop = false;
};

struct ClipboardIn {
  std::string text;
  std::string image_data;
  std::string mime_type;
};

// Retransmission requests for the video stream.
struct NackBatch {
  uint32_t stream_type = 0;
  std::vector<uint32_t> sequence_numbers;  // at most kMaxNackBatch
};

// The tablet's link and decoder statistics, sanitised on intake: finite,
// percentages 0..100 (decode pressure 0..kMaxDecodePressurePct), times
// 0..60000 ms, route class filtered.
inline constexpr float kMaxDecodePressurePct = 1000.0f;

struct TabletStats {
  float rtt_ms = 0;
  float packet_loss_pct = 0;
  float jitter_ms = 0;
  float decode_pressure_pct = 0;
  float receiver_drop_pct = 0;
  uint32_t fec_recovered_packets = 0;
  float late_drop_pct = 0;
  std::string route_class;
  std::string drop_reasons;  // first 512 bytes
};

struct WindowCommandRequest {
  bool move_back = false;
  uint32_t request_id = 0;
};

// Why a stream shows a mirrored monitor instead of a virtual one.
enum class MirrorFallbackCause : int {
  kNone = 0,
  kDriverNotInstalled = 1,
  kVirtualDisplayFailed = 2,
  kMonitorNotFound = 3,
  kOther = 4,
};

struct StreamStartedInfo {
  std::string session_id;
  bool extended_display = false;
  uint32_t display_number = 0;  // sent only with extended_display
  MirrorFallbackCause mirror_fallback = MirrorFallbackCause::kNone;
  uint32_t source_width = 0;
  uint32_t source_height = 0;
};

struct HostStreamStats {
  std::string session_id;
  float capture_ms_p50 = 0;
  float capture_ms_p95 = 0;
  float encode_ms_p50 = 0;
  float encode_ms_p95 = 0;
  uint32_t current_bitrate_kbps = 0;
};

// ------------------------------------------------------- security seams

// The outcome of authenticating a Hello that passed the version check, the
// tablet limit and the handshake start. The authenticator establishes the
// session keys in the handler's key state (Keys()) and checks the tablet's
// credential, or answers the second authentication version's Hello.
struct HelloAuthDecision {
  protocol::v1::AuthResult result = protocol::v1::AUTH_RESULT_REJECTED;
  // Authentication version 2: the tablet's AuthProof is awaited; the
  // connection becomes authenticated through FinishAuthV2.
  bool auth_v2_pending = false;
  std::string host_identity_public_key;  // successful auth v2 answer only
  std::string host_signature;
};

// Hooks of the pairing and identity layer; every member may be empty.
struct ControlSecurityHooks {
  std::function<void(const protocol::v1::AuthProof&, bool encrypted)> handle_auth_proof;
};

// "moved", "no-window", "elevated", "not-responding", "not-extended",
// "failed"; "unknown" for any other value.
const char* WindowMoveStatusName(WindowMoveStatus status);

class ProtocolHandler {
 public:
  static constexpr const char* kHostVersion = ORVANE_HOST_VERSION;
  static constexpr const char* kDefaultHostId = "orvane-host";
  static constexpr const char* kDefaultHostName = "Windows PC";
  // Warnings caused by a tablet that is not authenticated: one per interval
  // per connection, counting what was suppressed.
  static constexpr uint64_t kPreAuthWarningIntervalMs = 1000;
  // Identity texts kept for logs and refusals.
  static constexpr size_t kClientTextLogBytes = 128;
  static constexpr size_t kAppVersionLogBytes = 32;
  static constexpr size_t kRouteClassBytes = 32;
  static constexpr size_t kDropReasonsBytes = 512;
  static constexpr size_t kMaxNackBatch = 1024;
  static constexpr size_t kMaxWindowCommands = 4;
  static constexpr uint32_t kNackStreamVideo = 1;
  static constexpr uint32_t kErrorFileTransferUnavailable = 2301;
  static constexpr float kMaxStatsTimeMs = 60000.0f;
  // The highest bitrate any stream runs at (HEVC, 2160p at 120 fps): a
  // quality profile asking for more is taken as asking for this.
  static constexpr uint32_t kMaxBitrateKbps = 160000;

  using FrameSender = std::function<bool(const uint8_t* data, size_t length)>;
  // client_id, client_name -> admitted; *limit receives the tablet limit.
  using AdmissionCallback =
      std::function<bool(const std::string& client_id, const std::string& client_name, uint32_t* limit)>;
  using VersionRefusedCallback = std::function<void(const VersionRefusal&)>;
  // The session keys and the tablet's credential for a usable Hello. Absent,
  // an auth v1 Hello gets its session keys and is then refused (no tablet
  // can be trusted without the pairing layer); auth v2 is refused.
  // It receives the connection's key state to establish the keys in.
  using HelloAuthenticator =
      std::function<HelloAuthDecision(const protocol::v1::Hello&, security::ControlKeyState& keys)>;

  explicit ProtocolHandler(IClock& clock = SystemClock());

  ProtocolHandler(const ProtocolHandler&) = delete;
  ProtocolHandler& operator=(const ProtocolHandler&) = delete;

  // Set-up by the session.
  void SetHostIdentity(const std::string& host_id, const std::string& host_name);
  void SetPorts(uint16_t media_port, uint16_t input_port);
  void SetWindowCommandsSupported(bool supported);
  void SetFrameSender(FrameSender sender);
  void SetAdmissionCallback(AdmissionCallback callback);
  void SetVersionRefusedCallback(VersionRefusedCallback callback);
  void SetHelloAuthenticator(HelloAuthenticator authenticator);
  void SetSecurityHooks(ControlSecurityHooks hooks);
  // The platform enumeration by default.
  void SetMonitorEnumerator(std::shared_ptr<IMonitorEnumerator> enumerator);
  // The enumeration the monitor list comes from (null when none was set).
  std::shared_ptr<IMonitorEnumerator> MonitorEnumerator() const;

  // Parses one opened frame and dispatches it. A frame that does not parse
  // gives code 4 and changes nothing.
  HostResult HandleControlFrame(const uint8_t* data, size_t length, bool encrypted);
  // Dispatches one message; handled and ignored messages give success.
  HostResult HandleMessage(const protocol::v1::ControlMessage& message, bool encrypted);
  // End of a connection: every per-connection item goes back to its start
  // value, except the count of messages dropped before authentication (the
  // next Hello reports it) and the user-ended flag (the session takes it).
  void Reset();
  HostResult LastResult() const;

  // Authentication version 2 finished (the AuthProof was checked): clears
  // the pending proof, marks the connection authenticated when result is OK
  // and answers AuthStatus.
  bool FinishAuthV2(protocol::v1::AuthResult result);
  // An outgoing message was dropped because the tablet is not authenticated.
  void CountDroppedBeforeAuthentication() { ++dropped_before_auth_; }
  uint64_t DroppedBeforeAuthentication() const { return dropped_before_auth_.load(); }

  // Queries.
  bool HelloReceived() const { return hello_received_.load(); }
  // Incremented by every Hello (the session notices a Hello on an
  // authenticated connection by it).
  uint64_t HelloCount() const { return hello_count_.load(); }
  bool IsAuthenticated() const { return authenticated_.load(); }
  bool AuthV2Pending() const { return auth_v2_pending_.load(); }
  // The connection has a session key (the UDP channels may use it).
  bool HasSessionKeys() const { return keys_.KeyReady() && keys_.HasActiveKey(); }
  // The control connection's keys.
  security::ControlKeyState& Keys() { return keys_; }
  const security::ControlKeyState& Keys() const { return keys_; }
  bool RefusedBusy() const { return refused_busy_.load(); }
  bool RefusedVersion() const { return refused_version_.load(); }
  bool InputEnabled() const;
  bool Streaming() const { return streaming_.load(); }
  bool VideoPaused() const { return video_paused_.load(); }
  bool WindowCommandsSupported() const { return window_commands_supported_.load(); }
  std::string ClientId() const;
  std::string ClientName() const;
  std::string AppVersion() const;
  SessionConfig GetSessionConfig() const;
  std::string HostId() const;
  std::string HostName() const;
  std::string SelectedMonitorId() const;
  // 0 unspecified, 1 landscape, 2 portrait.
  uint32_t Orientation() const { return orientation_.load(); }
  // A short description of the tablet for the tablet list ("" before Hello).
  std::string DescribeClient() const;

  // Take-and-clear operations.
  StreamRequests TakeStreamRequests();
  bool TakeKeyframeRequest();
  bool TakeUserEnded();
  // A SetQualityProfile changed the negotiated configuration; with
  // target_bitrate_kbps, the bitrate the tablet asked for since the last take
  // (0 when its profiles named none).
  bool TakeQualityChanged(uint32_t* target_bitrate_kbps = nullptr);
  bool TakeMonitorChanged();
  bool TakeOrientationChanged();
  bool TakeClipboardIn(ClipboardIn* out);
  bool TakeNackBatch(NackBatch* out);
  bool TakeTabletStats(TabletStats* out);
  bool TakeWindowCommand(WindowCommandRequest* out);
  // A Hello arrived on an authenticated connection: the session restarts its
  // hello and authentication time-outs from *hello_tick_ms (the tick of that
  // Hello).
  bool TakeAuthenticationRestart(uint64_t* hello_tick_ms);

  // Session-side updates.
  void SetNegotiatedSize(uint32_t width, uint32_t height);
  // The monitor the stream captures; reported as active in the monitor list
  // when the tablet selected none.
  void SetActiveMonitorId(const std::string& monitor_id);

  // Stamps protocol_version, sequence_id and timestamp_us where the caller
  // left them zero, serialises and sends; one message at a time, so the
  // sequence on the wire and the envelope counters follow the numbers.
  // HelloAck leaves plain; AuthStatus needs a session key; everything else
  // needs an authenticated connection and leaves in a secure frame.
  bool SendControlMessage(protocol::v1::ControlMessage* message);

  // Builders.
  bool SendAuthStatus(protocol::v1::AuthResult result);
  bool SendStreamStarted(const StreamStartedInfo& info);
  bool SendStreamStopped(const std::string& session_id);
  bool SendStreamWarmup(const std::string& session_id, const std::string& phase, const std::string& reason,
                        uint32_t expected_first_frame_deadline_ms);
  bool SendFirstFrameProduced(const std::string& session_id, uint64_t timestamp_us, uint64_t frame_number);
  // False (and nothing sent) when the tablet does not support stream resize.
  bool SendStreamResize(const std::string& session_id, FrameSize encoded, FrameSize logical, uint32_t scale_permille);
  bool SendDisplayOrientationUpdate(const std::string& session_id, uint32_t width, uint32_t height);
  bool SendExtendedDisplayInfo(uint32_t side, bool has_windows);
  bool SendAudioRoute(bool plays_here, const std::string& owner_name);
  bool SendMonitorListResponse();
  bool SendWindowCommandResult(uint32_t request_id, bool move_back, WindowMoveStatus status,
                               const std::string& window_title);
  bool SendErrorMessage(uint32_t code, const std::string& description, bool fatal);
  bool SendStatsReport(const HostStreamStats& stats);
  bool SendPong(uint64_t ping_timestamp_us);
  bool SendRekeyRequired(const std::string& reason, uint64_t server_epoch);

 private:
  void HandleHello(const protocol::v1::Hello& hello);
  void HandleCapabilityExchange(const protocol::v1::CapabilityExchange& caps);
  void HandleStartStream(const protocol::v1::StartStream& start);
  void HandleStopStream(const protocol::v1::StopStream& stop);
  void HandleQualityProfile(const protocol::v1::SetQualityProfile& profile);
  void HandleClipboard(const protocol::v1::ClipboardUpdate& update);
  void HandleNack(const protocol::v1::NackRequest& nack);
  void HandleStats(const protocol::v1::StatsReport& report);
  void HandleSessionTerminate(const protocol::v1::SessionTerminate& terminate);
  void HandleSelectMonitor(const protocol::v1::SelectMonitor& select);
  void HandleOrientation(const protocol::v1::DisplayOrientationUpdate& update);
  void HandleWindowCommand(const protocol::v1::WindowCommand& command);
  // Auth v1 keys without a pairing layer: the keys are established, the
  // tablet cannot be trusted.
  HelloAuthDecision EstablishKeysWithoutTrust(const protocol::v1::Hello& hello);
  bool SendHelloAck(protocol::v1::AuthResult result, uint32_t max_sessions, bool auth_v2_requested,
                    bool directional, const HelloAuthDecision* decision);
  // False (and the "ignored before authentication" warning) when the
  // connection lost its authentication while the message was on its way.
  bool StillAuthenticated(const char* message_name);

  void RequestStreamStart();
  void RequestStreamStop();

  // Peer-caused lines: rate-limited per connection until authentication.
  void PeerLog(LogLevel level, const char* format, va_list args) ORVANE_PRINTF(3, 0);
  void PeerWarn(const char* format, ...) ORVANE_PRINTF(2, 3);
  void PeerError(const char* format, ...) ORVANE_PRINTF(2, 3);
  void SetResult(HostResult result);

  IClock& clock_;

  mutable std::mutex callbacks_mu_;
  FrameSender frame_sender_;
  AdmissionCallback admission_;
  VersionRefusedCallback version_refused_;
  HelloAuthenticator authenticator_;
  ControlSecurityHooks security_;
  std::shared_ptr<IMonitorEnumerator> monitors_;
  std::atomic<bool> window_commands_supported_{false};

  // The state lock: identity texts, the negotiated configuration and the
  // codecs the tablet offered.
  mutable std::mutex state_mu_;
  std::string host_id_ = kDefaultHostId;
  std::string host_name_ = kDefaultHostName;
  uint16_t media_port_ = kDefaultMediaPort;
  uint16_t input_port_ = kDefaultInputPort;
  std::string client_id_;
  std::string client_name_;
  std::string app_version_;
  SessionConfig config_;
  uint32_t quality_bitrate_kbps_ = 0;  // the last profile's bitrate, not yet taken
  bool offered_h264_ = false;
  bool offered_hevc_ = false;

  std::atomic<bool> hello_received_{false};
  std::atomic<uint64_t> hello_count_{0};
  std::atomic<bool> authenticated_{false};
  std::atomic<bool> auth_v2_pending_{false};
  std::atomic<bool> refused_busy_{false};
  std::atomic<bool> refused_version_{false};
  std::atomic<bool> streaming_{false};
  std::atomic<bool> video_paused_{false};
  std::atomic<bool> user_ended_{false};
  std::atomic<bool> keyframe_requested_{false};
  std::atomic<bool> quality_changed_{false};
  std::atomic<bool> monitor_changed_{false};
  std::atomic<uint32_t> orientation_{0};
  std::atomic<bool> orientation_changed_{false};
  std::atomic<uint64_t> dropped_before_auth_{0};
  std::atomic<bool> auth_restart_pending_{false};
  std::atomic<uint64_t> auth_restart_tick_ms_{0};

  // Start and stop replace each other under one lock.
  enum class PendingStream { kNone, kStart, kStop };
  std::mutex requests_mu_;
  PendingStream pending_stream_ = PendingStream::kNone;

  mutable std::mutex monitor_mu_;  // the monitor lock
  std::string selected_monitor_id_;
  std::string active_monitor_id_;

  std::mutex clipboard_mu_;
  ClipboardIn clipboard_;
  bool clipboard_pending_ = false;

  std::mutex nack_mu_;
  NackBatch nack_;
  bool nack_pending_ = false;

  std::mutex stats_mu_;
  TabletStats stats_;
  bool stats_pending_ = false;

  std::mutex window_mu_;
  std::deque<WindowCommandRequest> window_commands_;

  security::ControlKeyState keys_;
  std::atomic<bool> nondirectional_warned_{false};

  // The control send lock (taken before the key lock): stamping, sealing and
  // sending one message at a time.
  std::mutex send_mu_;
  uint64_t next_sequence_ = 1;  // never reset while the handler exists
  crypto::AesGcm send_cipher_;  // under send_mu_

  RateLimiter peer_warnings_{kPreAuthWarningIntervalMs};

  mutable std::mutex result_mu_;
  HostResult last_result_;
};

}  // namespace orvane
