#pragma once
// SessionManager: the tablet session of one slot of the session pool.
//
// It waits for a tablet's control connection on its slot of the control
// server, feeds the control frames through its ProtocolHandler, closes a
// tablet that does not say Hello within 10 s or does not authenticate within
// 120 s of being accepted, enables the UDP transport once the tablet is
// authenticated, serves the tablet's input datagrams and turns the handler's
// requests into actions. When the connection ends it cleans up and waits for
// the next client on the same slot.
//
// Threads: Run (the main loop, one pass every 50 ms), the control receive
// thread, and the input receiver's thread (which calls the datagram
// callback). The main loop hands each accepted connection to the receive
// thread only after the pool has recorded it as connected, so a Hello can
// never reach the pool's admission before the slot is occupied.
//
// Time-outs are measured with the injected clock, so tests run them in
// virtual time; the pauses between passes are real waits that Stop (and a
// queued disconnect notice) interrupt.
//
// The stream (session_stream.cpp) runs the frame loop over the encoder and
// capture factories of SessionManagerOptions. Left to seams: key agreement
// and pairing (ProtocolHandler::HelloAuthenticator), the platform input
// injector (IInputInjector), the PC audio (IStreamAudio), the clipboard side
// channel and window commands.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/common/clock.h"
#include "host/common/host_result.h"
#include "host/common/rate_limiter.h"
#include "host/audio/stream_audio.h"
#include "host/common/precise_sleep.h"
#include "host/control/capture_selection.h"
#include "host/control/control_frame.h"
#include "host/control/encoder_budget.h"
#include "host/control/protocol_handler.h"
#include "host/control/session_types.h"
#include "host/input/input_injector.h"
#include "host/transport/input_receiver.h"
#include "host/transport/media_sender.h"
#include "host/transport/nack_server.h"
#include "host/transport/stream_control.h"
#include "host/vdd/virtual_display.h"
#include "host/video/capture_manager.h"
#include "host/video/cursor_sender.h"
#include "host/video/frame_loop.h"
#include "host/video/video_encoder.h"

namespace orvane {

class TcpServer;
class IVirtualDisplayManager;

// ErrorMessage codes the session sends to the tablet.
inline constexpr uint32_t kErrorEncoderInitFailed = 2;
inline constexpr uint32_t kErrorPenFallback = 2205;
inline constexpr uint32_t kErrorSecureInputUnavailable = 2206;
inline constexpr uint32_t kErrorMonitorUnavailable = 2401;
inline constexpr uint32_t kErrorNoFreeEncoder = 2501;
inline constexpr uint32_t kErrorNoFreeVirtualMonitor = 2502;
inline constexpr uint32_t kErrorDriverRestartPending = 2503;
inline constexpr uint32_t kErrorDisconnectedByHost = 2504;

// One ErrorMessage as the tablet receives it.
struct SessionError {
  uint32_t code = 0;
  std::string description;
  bool fatal = false;
};

SessionError EncoderInitFailedError();
// The pen fallback line is composed by the stream start.
SessionError PenFallbackError(const std::string& line);
SessionError SecureInputUnavailableError();
SessionError MonitorUnavailableError();
SessionError NoFreeEncoderError();
SessionError NoFreeVirtualMonitorError(uint32_t monitors_in_use);
SessionError DriverRestartPendingError();
SessionError DisconnectedByHostError();

// Why a stream stops (StopStreaming's argument).
inline constexpr int kStreamStopForRestart = 0;
inline constexpr int kStreamStopRequested = 2;
inline constexpr int kStreamStopLinkDropped = 3;
inline constexpr int kStreamStopSessionEnded = 4;

struct SessionManagerOptions {
  // Time-outs, rate limits and the host clock; SystemClock() when null.
  IClock* clock = nullptr;
  // Creates the input injector when a tablet first authenticates;
  // RecordingInputInjector when empty.
  std::function<std::unique_ptr<IInputInjector>()> make_input_injector;
  // See ProtocolHandler::HelloAuthenticator.
  ProtocolHandler::HelloAuthenticator hello_authenticator;
  // The stream: an encoder for each stream and the capture front-end for
  // the chosen monitor (on the encoder's device when it runs GPU-direct).
  // Without make_encoder every StartStream is refused (no pipeline).
  std::function<std::unique_ptr<IVideoEncoder>()> make_encoder;
  std::function<std::unique_ptr<CaptureManager>(const CaptureTarget&, CaptureBackendChoice, std::shared_ptr<GpuDevice>)>
      make_capture;
  // Hardware encoder transforms for a codec (the encoder plan).
  std::function<uint32_t(VideoCodec)> count_hardware_encoders;
  // The frame loop's waits; SystemPreciseSleeper() when null.
  IPreciseSleeper* sleeper = nullptr;
  // Sees every access unit the frame loop sends (tests, benchmarks).
  IFrameObserver* frame_observer = nullptr;
  // The stream's PC audio; SilentStreamAudio when empty.
  std::function<std::unique_ptr<IStreamAudio>()> make_audio;
  // The developer's forced encode-resize schedule (per-mille as text), read
  // from the environment by the platform options; none in tests.
  std::optional<std::string> debug_resize_permille;
  // Starts the frame loop's thread: true with *out joinable. Default:
  // std::thread, false when the system refuses a thread.
  std::function<bool(std::function<void()> body, std::thread* out)> start_thread;
};

class SessionManager final : public IPoolSession {
 public:
  static constexpr uint32_t kPassIntervalMs = 50;
  static constexpr uint64_t kHelloTimeoutMs = 10'000;
  static constexpr uint64_t kAuthenticationTimeoutMs = 120'000;
  // Lets the refusing HelloAck leave before the connection closes.
  static constexpr uint32_t kRefusalCloseDelayMs = 300;
  // Lets the disconnect notice leave before the connection closes.
  static constexpr uint32_t kDisconnectNoticeDelayMs = 150;
  static constexpr uint64_t kInputWarningIntervalMs = 1000;
  // The media punch: the tablet's media port as seen from the host.
  static constexpr char kMediaPunch[6] = {'O', 'V', 'D', 'M', 'P', '1'};

  explicit SessionManager(SessionSetup setup, SessionManagerOptions options = {});
  ~SessionManager() override;

  SessionManager(const SessionManager&) = delete;
  SessionManager& operator=(const SessionManager&) = delete;

  // IPoolSession.
  SessionInitResult InitializeSlot() override;
  void Run() override;
  void Stop() override;
  // True when the disconnect was carried out, or, with notify to an
  // authenticated tablet, queued: the session's own thread then sends the
  // notice, waits for it to leave and closes.
  bool Disconnect(uint64_t connection_key, const std::string& reason, bool notify) override;
  void SetAudioRoute(bool plays_here, const std::string& owner_name) override;
  std::string DescribeClient() override;
  void SetClipboardSharing(bool enabled) override;
  void SetTabletOnlyAudioAllowed(bool allowed) override;
  void SetVirtualDisplayManager(IVirtualDisplayManager* manager) override;
  void ApplyCaptureSettings(const CaptureSettings& settings) override;
  void SetHostCallbacks(const SessionHostCallbacks& callbacks) override;

  void SetVersionRefusedCallback(std::function<void(const VersionRefusal&)> callback);

  // Binds the slot's input port and starts receiving input datagrams.
  bool StartInputReceiver();

  // Stream operations, called by the main loop.
  bool StartStreaming();
  void StopStreaming(int reason);
  bool Streaming() const { return streaming_.load(); }

  // Completed passes of the main loop (diagnostics; tests wait on it).
  uint64_t CompletedPasses() const { return passes_.load(); }
  // The current connection key (0: none).
  uint64_t ConnectionKey() const { return connection_key_.load(); }
  const ProtocolHandler& Handler() const { return handler_; }
  // The stream's bitrate where it is used: the frame loop's figure, the
  // sender's pacing and the retransmission budget (diagnostics, tests).
  struct StreamRates {
    uint32_t frame_loop_kbps = 0;
    media::PacingRate pacing;
    double retransmit_budget_bytes_per_us = 0;
  };
  StreamRates CurrentStreamRates();

 private:
  bool WaitForClient(bool first);
  bool ClientConnected() const;
  void ConnectedPass();
  void CheckTimeouts();
  void ServeWindowCommands();
  void ServeQueuedDisconnect();
  void ClientDisconnected();
  void Cleanup();
  // Real wait, cut short by Stop and by a queued disconnect notice.
  void WaitForWake(uint32_t ms);
  // Real wait, cut short by Stop only.
  void WaitUnlessStopping(uint32_t ms);

  void ReceiveLoop();
  void ServeConnection(uint64_t key, std::vector<uint8_t>& frame);
  void HandleFrame(uint64_t key, const std::vector<uint8_t>& frame);
  void CloseAfterRefusal(uint64_t key, const char* reason);
  void CompleteAuthentication(uint64_t key);
  void ConnectionClosed(bool log_closed);

  // The real stream: encoder plan, capture choice, frame loop.
  bool StartVideoStream();
  void StopVideoStream(int reason);
  bool PlanEncoder(const SessionConfig& config);
  void ReturnEncoderUnit();
  CaptureSelection SelectCaptureSourceForStream(const SessionConfig& config);
  CaptureSelection MirrorSelection(CaptureReason reason, bool log_mirror);
  CaptureSelection AcquireVirtualMonitor(IVirtualDisplayManager& manager, const SessionConfig& config);
  // Whether this start will show the slot's virtual monitor.
  bool StreamWillBeVirtual();
  // Black keyframes while the virtual monitor is made; false when none
  // could be sent.
  bool SendPlaceholderFrame(int attempts, const SessionConfig& config);
  void JoinAcquireThread();
  // Where the injector places the tablet's input.
  void TargetMonitor(const MonitorInfoData& monitor, uint32_t stream_width, uint32_t stream_height);
  void TargetPrimaryMonitor(uint32_t stream_width, uint32_t stream_height);
  // Every key and pointer still down goes up.
  void ReleaseInput();
  // A pen that falls back is reported to the tablet (2205) at stream start.
  void CheckPenCapability();
  // Each main-loop pass: monitor selection, rotation, the extended
  // display's place, the audio route.
  void ServeStreamPass();
  void HandleDeviceRotation();
  void UpdateExtendedDisplayInfo(bool forced);
  void UpdateAudioRoute();
  void StartAudioHere(const SessionConfig& config);
  void StopAudioHere(int stop_mode);
  bool SelectMonitorById(const std::string& monitor_id);
  // A frame loop that ended at its set-up is stopped as a failed start.
  void ServeEndedFrameLoop();
  void RefuseStream(uint32_t code, const std::string& message, const std::string& session_id);
  class StreamPort;
  // The pointer's updates beside the stream, for the selected monitor;
  // nothing when the machine has no pointer to read.
  void StartCursorUpdates();
  // The tablet's retransmission requests and statistics, after each control
  // frame (receive thread).
  void ServeStreamFeedback();
  // Publishes what the stream control decided (control receive thread or
  // stream start, under the stream-control lock).
  void ApplyStreamControl(const StreamControlOutput& out);

  void ApplyTransportSecurity();
  void DisableTransport();
  void OnInputDatagram(const uint8_t* data, size_t length, const net::Endpoint& from);

  void ReleaseVirtualMonitor(const char* reason);
  bool SendSessionError(const SessionError& error);

  const size_t slot_;
  TcpServer* const server_;
  const SessionPoolCallbacks pool_;
  const uint16_t media_port_;
  const uint16_t input_port_;
  const std::shared_ptr<EncoderBudget> budget_;
  IClock& clock_;
  const SessionManagerOptions options_;

  std::shared_ptr<TabletAuthenticator> authenticator_;
  ProtocolHandler handler_;
  ControlFrameOpener opener_;  // receive thread only
  MediaSender sender_;
  InputReceiver receiver_;

  // The transport lock: enabling and disabling sender and receiver. The
  // receiver is never stopped under it, because its thread takes it in the
  // datagram callback.
  std::mutex transport_mu_;
  bool transport_enabled_ = false;
  uint16_t punched_port_ = 0;  // the tablet's media port from its punch; 0: none

  std::mutex injector_mu_;
  std::unique_ptr<IInputInjector> injector_;
  std::atomic<bool> input_disabled_warned_{false};
  RateLimiter input_warnings_{kInputWarningIntervalMs};

  // Stop and queued disconnect notices wake the main loop.
  std::mutex wake_mu_;
  std::condition_variable wake_cv_;
  std::atomic<bool> stop_requested_{false};
  struct PendingDisconnect {
    uint64_t key = 0;
    std::string reason;
  };
  bool disconnect_pending_ = false;  // under wake_mu_
  PendingDisconnect pending_disconnect_;

  // The connection handed to the receive thread; the thread clears it when
  // the connection is gone.
  std::mutex handoff_mu_;
  std::condition_variable handoff_cv_;
  uint64_t handed_key_ = 0;
  bool receive_thread_done_ = true;
  std::thread receive_thread_;
  RateLimiter frame_warnings_{ProtocolHandler::kPreAuthWarningIntervalMs};

  // Connection state of the main loop.
  std::atomic<uint64_t> connection_key_{0};
  uint64_t connect_time_ms_ = 0;
  bool waiting_for_authentication_ = false;
  std::string peer_address_;
  std::atomic<bool> closing_by_host_{false};
  bool accept_failed_ = false;
  std::string selected_monitor_id_;

  std::atomic<bool> streaming_{false};
  std::atomic<uint64_t> passes_{0};

  // The stream-control lock: the retransmission server and the stream's
  // bitrate and decoder-load control, reset at each stream start (main loop)
  // and fed by the receive thread.
  std::mutex stream_control_mu_;
  NackServer nack_;
  StreamControl stream_control_;
  // The frame loop's latest keyframe of its own (host clock, us; 0 none).
  std::atomic<int64_t> own_keyframe_us_{0};

  // The real stream (main loop thread, except the atomics the frame loop
  // reads and the frame loop's own thread).
  std::unique_ptr<IVideoEncoder> encoder_;
  std::unique_ptr<IStreamAudio> audio_;
  EncoderUnit budget_unit_ = EncoderUnit::kNone;
  std::unique_ptr<StreamPort> stream_port_;
  std::unique_ptr<FrameLoop> frame_loop_;
  std::thread frame_loop_thread_;
  std::atomic<bool> frame_loop_failed_{false};
  std::atomic<uint32_t> stream_bitrate_kbps_{0};
  std::atomic<uint32_t> fps_cap_{0};
  std::atomic<uint32_t> encode_scale_permille_{1000};
  std::atomic<bool> internal_keyframe_request_{false};
  std::atomic<uint64_t> frame_counter_{0};
  std::atomic<uint32_t> video_seq_{0};  // written by the send worker of the stream that runs
  CaptureTarget capture_target_;
  uint64_t capture_adapter_luid_ = 0;  // the captured monitor's adapter (0: unknown)
  std::string stream_session_id_;
  bool capturing_virtual_ = false;
  bool has_extended_report_ = false;
  uint64_t last_extended_report_ms_ = 0;
  uint8_t last_extended_side_ = 0;
  bool last_extended_has_windows_ = false;
  // The PC sound on this tablet (main loop): prepared once, running while
  // the pool makes this session the sound's owner during a stream.
  class AudioPort;
  std::unique_ptr<AudioPort> audio_port_;
  bool audio_prepared_ = false;
  bool audio_running_ = false;
  bool audio_running_enabled_ = false;  // the negotiated audio it started with
  bool last_audio_enabled_ = false;     // for the pool's toggle callback
  std::atomic<bool> audio_active_{false};
  bool audio_route_sent_ = false;
  bool last_route_audio_enabled_ = false;
  bool last_route_plays_here_ = false;
  std::string last_route_owner_;
  CaptureReason mirror_fallback_ = CaptureReason::kNone;
  bool placeholder_sent_ = false;
  std::vector<uint8_t> placeholder_image_;
  uint32_t placeholder_width_ = 0;
  uint32_t placeholder_height_ = 0;
  // The virtual monitor acquire in flight (its own thread; a start that
  // gives up leaves it to finish, and a monitor it brings then is released).
  struct AcquireTask {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    bool abandoned = false;
    VirtualDisplayAcquireResult result;
  };
  std::shared_ptr<AcquireTask> acquire_task_;
  std::thread acquire_thread_;

  std::unique_ptr<CursorSender> cursor_sender_;

  std::atomic<IVirtualDisplayManager*> virtual_displays_{nullptr};
  std::atomic<bool> clipboard_sharing_{true};
  std::atomic<bool> tablet_only_audio_allowed_{false};

  std::mutex settings_mu_;  // the settings lock
  CaptureSettings capture_;
  CaptureSettings pending_capture_;
  bool capture_pending_ = false;

  std::mutex audio_route_mu_;  // taken inside the pool mutex
  bool audio_plays_here_ = false;
  std::string audio_owner_name_;

  std::mutex host_callbacks_mu_;
  SessionHostCallbacks host_callbacks_;
};

// The platform's encoder, capture and input for a session.
SessionManagerOptions PlatformSessionOptions();

// The pool's factory for real sessions.
std::unique_ptr<IPoolSession> MakeSessionManager(SessionSetup setup);

}  // namespace orvane
