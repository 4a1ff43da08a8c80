#pragma once
// ProtocolHandler: interprets the control messages of one tablet session.
//
// The session's control receive thread hands it every frame after the frame
// envelope has been opened. The handler answers Hello (version check, tablet
// limit, authentication), refuses everything else until the tablet is
// authenticated, and turns requests into state that the session's main loop
// takes and clears. Every message the host sends on the control channel
// leaves through SendControlMessage, which stamps the protocol version, the
// next sequence number and the host clock.
//
// This stage answers Hello and the stream start/stop requests. Key agreement
// and pairing are not part of the host yet: unless a Hello authenticator is
// installed, a tablet that says Hello is answered AUTH_RESULT_REJECTED and
// never becomes authenticated (the session closes it at its authentication
// time-out).
//
// Threads: HandleMessage runs on the session's receive thread; queries,
// take-and-clear operations and senders may run on any thread.

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "host/app/logger.h"
#include "host/common/clock.h"
#include "host/common/host_result.h"
#include "host/common/printf_check.h"
#include "host/common/rate_limiter.h"
#include "host/control/host_ports.h"
#include "host/control/session_types.h"
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

// The stream requests the main loop takes in one go. At most one of start
// and stop is set: the tablet's last request wins.
struct StreamRequests {
  bool start = false;
  bool stop = false;
  bool keyframe = false;
};

// The outcome of authenticating a Hello that passed the version check and
// the tablet limit.
struct HelloAuthDecision {
  protocol::v1::AuthResult result = protocol::v1::AUTH_RESULT_REJECTED;
  // The connection has session keys (the UDP channels may be enabled).
  bool session_keys_ready = false;
};

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

  using FrameSender = std::function<bool(const uint8_t* data, size_t length)>;
  // client_id, client_name -> admitted; *limit receives the tablet limit.
  using AdmissionCallback =
      std::function<bool(const std::string& client_id, const std::string& client_name, uint32_t* limit)>;
  using VersionRefusedCallback = std::function<void(const VersionRefusal&)>;
  // Stand-in for the key agreement and the credential check until they
  // exist; absent, every Hello is answered AUTH_RESULT_REJECTED.
  using HelloAuthenticator = std::function<HelloAuthDecision(const protocol::v1::Hello&)>;

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

  // Parses one opened frame and dispatches it. A frame that does not parse
  // gives code 4 and changes nothing.
  HostResult HandleControlFrame(const uint8_t* data, size_t length, bool encrypted);
  // Dispatches one message; handled and ignored messages give success.
  HostResult HandleMessage(const protocol::v1::ControlMessage& message, bool encrypted);
  // End of a connection: every per-connection flag, request and the
  // negotiated configuration go back to their start values.
  void Reset();
  HostResult LastResult() const;

  // Queries.
  bool HelloReceived() const { return hello_received_.load(); }
  bool IsAuthenticated() const { return authenticated_.load(); }
  bool HasSessionKeys() const { return session_keys_ready_.load(); }
  bool RefusedBusy() const { return refused_busy_.load(); }
  bool RefusedVersion() const { return refused_version_.load(); }
  bool InputEnabled() const { return input_enabled_.load(); }
  bool Streaming() const { return streaming_.load(); }
  std::string ClientId() const;
  std::string ClientName() const;
  std::string AppVersion() const;
  SessionConfig GetSessionConfig() const;
  std::string HostId() const;
  std::string HostName() const;
  // A short description of the tablet for the tablet list ("" before Hello).
  std::string DescribeClient() const;

  // Take-and-clear operations of the session's main loop.
  StreamRequests TakeStreamRequests();
  bool TakeUserEnded();

  // Stamps protocol_version, sequence_id and timestamp_us where the caller
  // left them zero, serialises and sends; one message at a time, so the
  // sequence on the wire is the order of the numbers.
  bool SendControlMessage(protocol::v1::ControlMessage* message);
  bool SendErrorMessage(uint32_t code, const std::string& description, bool fatal);
  bool SendStreamStopped(const std::string& session_id);

 private:
  void HandleHello(const protocol::v1::Hello& hello);
  void HandleStartStream(const protocol::v1::StartStream& start);
  void HandleStopStream(const protocol::v1::StopStream& stop);
  void HandleSessionTerminate(const protocol::v1::SessionTerminate& terminate);
  bool SendHelloAck(protocol::v1::AuthResult result, uint32_t max_sessions, bool auth_v2_requested);

  void RequestStreamStart();
  void RequestStreamStop();

  // A warning caused by the peer: rate-limited while the connection is not
  // authenticated.
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
  std::atomic<bool> window_commands_supported_{false};

  // The state lock: identity texts and the negotiated configuration.
  mutable std::mutex state_mu_;
  std::string host_id_ = kDefaultHostId;
  std::string host_name_ = kDefaultHostName;
  uint16_t media_port_ = kDefaultMediaPort;
  uint16_t input_port_ = kDefaultInputPort;
  std::string client_id_;
  std::string client_name_;
  std::string app_version_;
  SessionConfig config_;

  std::atomic<bool> hello_received_{false};
  std::atomic<bool> authenticated_{false};
  std::atomic<bool> session_keys_ready_{false};
  std::atomic<bool> auth_v2_pending_{false};
  std::atomic<bool> refused_busy_{false};
  std::atomic<bool> refused_version_{false};
  std::atomic<bool> input_enabled_{true};
  std::atomic<bool> streaming_{false};
  std::atomic<bool> video_paused_{false};
  std::atomic<bool> user_ended_{false};

  // Start and stop replace each other under one lock.
  enum class PendingStream { kNone, kStart, kStop };
  std::mutex requests_mu_;
  PendingStream pending_stream_ = PendingStream::kNone;
  bool keyframe_requested_ = false;

  // The control send lock: stamping and sending one message at a time.
  std::mutex send_mu_;
  uint64_t next_sequence_ = 1;  // never reset while the handler exists

  RateLimiter peer_warnings_{kPreAuthWarningIntervalMs};

  mutable std::mutex result_mu_;
  HostResult last_result_;
};

}  // namespace orvane
