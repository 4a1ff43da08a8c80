#include <algorithm>
#include <chrono>
#include <system_error>

#include "host/common/logger.h"
#include "host/control/session_manager.h"
#include "host/control/session_stream_port.h"
#include "host/video/desktop_redraw.h"
#include "host/video/monitor_enumeration.h"
#include "host/video/synthetic_stream.h"

// The stream half of the session: planning the encoder against the host's
// budget, choosing the monitor, starting and stopping the frame loop, and
// the synthetic stream of builds that have no encoder.

namespace orvane {

namespace {

CaptureBackendChoice BackendChoice(int backend) { return CaptureBackendChoiceFromInt(backend); }

}  // namespace

bool SessionManager::StartStreaming() {
  if (options_.make_encoder) return StartVideoStream();
  if (!options_.stream.start) {
    if (options_.synthetic_stream) return StartSyntheticStream();
    LogWarn("[Session] StartStream refused: streaming is not available in this build");
    return false;
  }
  if (!options_.stream.start()) return false;
  streaming_ = true;
  return true;
}

bool SessionManager::StartSyntheticStream() {
  if (streaming_) return true;
  const SessionConfig config = handler_.GetSessionConfig();
  sender_.SetBitrate(config.bitrate_kbps);
  sender_.SetClientFragmentLimit(config.fragment_limit);
  {
    std::lock_guard<std::mutex> lock(nack_mu_);
    nack_.Reset(config.bitrate_kbps);
  }
  StreamStartedInfo info;
  info.session_id = config.session_id;
  info.source_width = config.width;
  info.source_height = config.height;
  handler_.SendStreamStarted(info);
  {
    std::lock_guard<std::mutex> lock(synthetic_mu_);
    synthetic_stop_ = false;
  }
  try {
    synthetic_thread_ = std::thread([this, config] { SyntheticStreamLoop(config); });
  } catch (const std::system_error& e) {
    LogError("[Session] Could not start the synthetic stream thread: %s", e.what());
    return false;
  }
  streaming_ = true;
  LogInfo("[Session] Synthetic stream started: %ux%u @%u fps, %u kbps (test source; this build has no capture)",
          config.width, config.height, config.fps, config.bitrate_kbps);
  StartCursorUpdates();
  return true;
}

void SessionManager::StartCursorUpdates() {
  std::unique_ptr<ICursorSource> source = MakePlatformCursorSource();
  if (!source) return;  // no pointer to follow on this machine
  const std::shared_ptr<IMonitorEnumerator> enumerator = handler_.MonitorEnumerator();
  const std::vector<MonitorInfoData> monitors =
      enumerator ? enumerator->EnumerateMonitors() : std::vector<MonitorInfoData>{};
  const MonitorChoice choice = ChooseMonitor(monitors, handler_.SelectedMonitorId(), 0);
  CursorSenderOptions options;
  if (choice.monitor) {
    options.rect = {choice.monitor->x, choice.monitor->y, choice.monitor->width, choice.monitor->height};
  }
  options.send = [this](const protocol::v1::CursorUpdate& update) {
    protocol::v1::ControlMessage message;
    *message.mutable_cursor_update() = update;
    return handler_.SendControlMessage(&message);
  };
  options.stream_size = [this] {
    const SessionConfig config = handler_.GetSessionConfig();
    return CursorStreamSize{config.width, config.height};
  };
  cursor_sender_ = std::make_unique<CursorSender>(std::make_unique<CursorTracker>(std::move(source)), std::move(options));
  if (!cursor_sender_->Start()) cursor_sender_.reset();
}

void SessionManager::StopSyntheticStream() {
  cursor_sender_.reset();  // stops its thread
  {
    std::lock_guard<std::mutex> lock(synthetic_mu_);
    synthetic_stop_ = true;
  }
  synthetic_cv_.notify_all();
  if (synthetic_thread_.joinable()) synthetic_thread_.join();
}

void SessionManager::SyntheticStreamLoop(SessionConfig config) {
  const uint32_t fps = config.fps == 0 ? 60 : config.fps;
  const SyntheticFrameShape shape{fps, config.bitrate_kbps, fps * 2};
  const auto interval = std::chrono::microseconds(1'000'000 / fps);
  auto next = std::chrono::steady_clock::now();
  std::vector<uint8_t> frame;
  uint32_t next_video_seq = video_seq_.load();
  for (uint64_t index = 0;; ++index) {
    {
      std::unique_lock<std::mutex> lock(synthetic_mu_);
      if (synthetic_cv_.wait_until(lock, next, [this] { return synthetic_stop_; })) return;
    }
    next += interval;
    const bool keyframe = index % shape.keyframe_interval == 0 || handler_.TakeKeyframeRequest();
    const int64_t now = clock_.NowUs();
    const uint64_t timestamp = now > 0 ? static_cast<uint64_t>(now) : index;
    frame.resize(SyntheticFrameLength(shape, index, keyframe));
    FillSyntheticFrame(timestamp, keyframe, frame.data(), frame.size());
    const bool sent = sender_.SendVideoFrame(next_video_seq, timestamp, keyframe, false, frame.data(), frame.size());
    video_seq_.store(next_video_seq);
    if (!sent) {
      uint64_t suppressed = 0;
      if (stream_warnings_.Allow(clock_.TickMs(), &suppressed)) {
        const HostResult error = sender_.LastResult();
        LogWarn("[Session] Synthetic frame not sent %s (%llu similar suppressed)", error.ToString().c_str(),
                static_cast<unsigned long long>(suppressed));
      }
    }
  }
}

void SessionManager::ServeStreamFeedback() {
  TabletStats stats;
  const bool have_stats = handler_.TakeTabletStats(&stats);
  if (have_stats) sender_.SetLoss(static_cast<int>(stats.packet_loss_pct + 0.5f));
  NackBatch batch;
  const bool have_nacks = handler_.TakeNackBatch(&batch);
  if (!have_stats && !have_nacks) return;
  std::lock_guard<std::mutex> lock(nack_mu_);
  if (have_stats) nack_.UpdateRetryInterval(stats.rtt_ms);
  if (have_nacks) {
    nack_.Serve(batch.stream_type, batch.sequence_numbers);
    nack_.MaybeLog();
  }
}

void SessionManager::StopStreaming(int reason) {
  if (options_.make_encoder) {
    StopVideoStream(reason);
    return;
  }
  if (!streaming_.exchange(false)) return;
  StopSyntheticStream();
  if (options_.stream.stop) options_.stream.stop(reason);
}

void SessionManager::RefuseStream(uint32_t code, const std::string& message, const std::string& session_id) {
  handler_.SendErrorMessage(code, message, true);
  handler_.SendStreamStopped(session_id);
}

bool SessionManager::PlanEncoder(const SessionConfig& config) {
  const VideoCodec codec = VideoCodecFromWire(config.codec);
  encoder_ = options_.make_encoder();
  if (!encoder_) return false;
  bool ok = false;
  if (budget_) {
    const uint32_t hardware = options_.count_hardware_encoders ? options_.count_hardware_encoders(codec) : 0;
    const EncoderBudget::Plan plan = budget_->Reserve(hardware);
    LogInfo("[Session %zu] Encoder plan=%s (hardware %u running, cap %s; software %u of %u)", slot_, plan.Name(),
            plan.hardware_running, plan.CapText().c_str(), plan.software_running, EncoderBudget::kSoftwareMaximum);
    budget_unit_ = plan.unit;
    if (budget_unit_ == EncoderUnit::kHardware) {
      encoder_->SetPreference(EncoderPreference::kHardwareOnly);
      ok = encoder_->Initialize(codec, config.width, config.height, config.fps, config.bitrate_kbps);
      if (!ok) {
        budget_unit_ = budget_->HardwareFailed();
        LogWarn("[Session %zu] No hardware encoder for this tablet; next: %s", slot_,
                budget_unit_ == EncoderUnit::kSoftware ? "software" : "refuse");
      }
    }
    if (!ok && budget_unit_ == EncoderUnit::kSoftware) {
      encoder_->SetPreference(EncoderPreference::kSoftwareOnly);
      ok = encoder_->Initialize(codec, config.width, config.height, config.fps, config.bitrate_kbps);
    }
    if (ok) {
      const EncoderUnit used = encoder_->GetMode() == EncoderMode::kSw ? EncoderUnit::kSoftware : EncoderUnit::kHardware;
      budget_->Convert(budget_unit_, used);
      budget_unit_ = used;
    }
  } else {
    encoder_->SetPreference(EncoderPreference::kAuto);
    ok = encoder_->Initialize(codec, config.width, config.height, config.fps, config.bitrate_kbps);
  }
  if (!ok) {
    ReturnEncoderUnit();
    encoder_.reset();
    return false;
  }
  const EncoderRuntimeInfo info = encoder_->GetRuntimeInfo();
  LogInfo("[Session %zu] Monitor pipeline ready", slot_);
  LogInfo(
      "[Session %zu] Encoder runtime mode=%s adapter=%s vendor=0x%04X device=0x%04X luid=0x%016llX feature=0x%X "
      "d3d_hr=0x%08lX d3d_mgr_hr=0x%08lX fallback=%s",
      slot_, encoder_->GetModeName(), info.adapter_name.empty() ? "unknown" : info.adapter_name.c_str(),
      info.vendor_id, info.device_id, static_cast<unsigned long long>(info.adapter_luid), info.feature_level,
      static_cast<unsigned long>(static_cast<uint32_t>(info.d3d_hr)),
      static_cast<unsigned long>(static_cast<uint32_t>(info.d3d_mgr_hr)), info.fallback_reason.c_str());
  return true;
}

void SessionManager::ReturnEncoderUnit() {
  if (budget_ && budget_unit_ != EncoderUnit::kNone) budget_->Release(budget_unit_, true);
  budget_unit_ = EncoderUnit::kNone;
}

bool SessionManager::SelectMonitorById(const std::string& monitor_id) {
  const std::shared_ptr<IMonitorEnumerator> enumerator = handler_.MonitorEnumerator();
  const std::vector<MonitorInfoData> monitors =
      enumerator ? enumerator->EnumerateMonitors() : std::vector<MonitorInfoData>{};
  const SessionConfig config = handler_.GetSessionConfig();
  uint32_t output_index = 0;
  {
    std::lock_guard<std::mutex> lock(settings_mu_);
    output_index = capture_.output_index;
  }
  const MonitorInfoData* found = nullptr;
  if (!monitor_id.empty()) {
    for (const MonitorInfoData& m : monitors) {
      if (m.id == monitor_id) found = &m;
    }
    if (found == nullptr) {
      LogWarn("[Session] Requested monitor is unavailable: %s", EscapeUntrusted(monitor_id).c_str());
      SendSessionError(MonitorUnavailableError());
      return false;
    }
  } else {
    for (const MonitorInfoData& m : monitors) {
      if (m.index == output_index) found = &m;
    }
    if (found == nullptr) {
      for (const MonitorInfoData& m : monitors) {
        if (m.primary) found = &m;
      }
    }
  }
  if (found == nullptr) {
    LogWarn("[Session] Monitor enumeration returned no usable target");
    return monitor_id.empty();
  }
  capture_target_ = SelectCaptureTarget(monitors, found->id, found->index);
  {
    std::lock_guard<std::mutex> lock(settings_mu_);
    capture_.output_index = found->index;
    capture_.monitor_id = found->id;
  }
  handler_.SetActiveMonitorId(found->id);
  LogInfo("[Session] Monitor target id=%s output=%u bounds=%d,%d %ux%u stream=%ux%u",
          EscapeUntrusted(found->id).c_str(), found->index, found->x, found->y, found->width, found->height,
          config.width, config.height);
  return true;
}

CaptureSelection SessionManager::SelectCaptureSourceForStream(const SessionConfig& /*config*/) {
  // Virtual monitors join this with their back-end; until then every stream
  // mirrors the selected monitor.
  return SelectMonitorById(handler_.SelectedMonitorId()) ? CaptureSelection::kSelected
                                                          : CaptureSelection::kKeptPrevious;
}

bool SessionManager::StartVideoStream() {
  handler_.TakeUserEnded();
  if (streaming_.load() || frame_loop_thread_.joinable()) {
    LogWarn("[Session] StartStream received while a stream is active; restarting stream");
    StopStreaming(kStreamStopForRestart);
  }
  SessionConfig config = handler_.GetSessionConfig();
  const DeviceOrientation device = DeviceOrientationFromWire(handler_.Orientation());
  const StreamSize asked{config.width, config.height};
  const StreamSize oriented = OrientStream(asked, device, false);
  if (!(oriented == asked)) {
    LogInfo("[Session] Stream orientation %ux%u -> %ux%u (device=%s, capture=%s)", asked.width, asked.height,
            oriented.width, oriented.height, DeviceOrientationName(device), "mirror");
    handler_.SetNegotiatedSize(oriented.width, oriented.height);
    config = handler_.GetSessionConfig();
  }
  handler_.SendDisplayOrientationUpdate(config.session_id, config.width, config.height);
  LogInfo("[Session %zu] Starting stream: %s %ux%u @%ufps %ukbps (next_video_seq=%u last_frame=%llu)", slot_,
          VideoCodecName(VideoCodecFromWire(config.codec)), config.width, config.height, config.fps,
          config.bitrate_kbps, video_seq_.load(), static_cast<unsigned long long>(frame_counter_.load()));

  auto stream_ended = [this] {
    std::function<void()> ended;
    {
      std::lock_guard<std::mutex> lock(host_callbacks_mu_);
      ended = host_callbacks_.stream_ended;
    }
    if (ended) ended();
  };
  if (!PlanEncoder(config)) {
    if (budget_) {
      LogError("[Session %zu] Stream refused: no video encoder is free", slot_);
      const SessionError e = NoFreeEncoderError();
      RefuseStream(e.code, e.description, config.session_id);
    } else {
      LogError("[Session %zu] Stream start aborted: no monitor pipeline is ready", slot_);
      const SessionError e = EncoderInitFailedError();
      RefuseStream(e.code, e.description, config.session_id);
    }
    if (pool_.on_stream_stopped) pool_.on_stream_stopped(slot_, false);
    stream_ended();
    return false;
  }

  const CaptureSelection selection = SelectCaptureSourceForStream(config);
  if (selection == CaptureSelection::kRefused) {
    encoder_.reset();
    ReturnEncoderUnit();
    if (pool_.on_stream_stopped) pool_.on_stream_stopped(slot_, false);
    stream_ended();
    return false;
  }
  if (selection == CaptureSelection::kKeptPrevious) {
    LogWarn("[Session %zu] Keeping previous capture source after invalid monitor selection", slot_);
  }
  CaptureSettings settings;
  {
    std::lock_guard<std::mutex> lock(settings_mu_);
    settings = capture_;
  }
  LogInfo("[Session] Capture source selection: output_index=%u backend=%s", settings.output_index,
          settings.backend == 1 ? "dxgi" : settings.backend == 2 ? "wgc" : "auto");
  handler_.SendStreamWarmup(config.session_id, "prepare_display", "initializing-capture", 2000);

  sender_.SetBitrate(config.bitrate_kbps);
  sender_.SetLoss(0);
  stream_bitrate_kbps_ = config.bitrate_kbps;
  fps_cap_ = 0;
  encode_scale_permille_ = 1000;
  internal_keyframe_request_ = false;
  {
    std::lock_guard<std::mutex> lock(nack_mu_);
    nack_.Reset(config.bitrate_kbps);
  }
  handler_.SendStreamWarmup(config.session_id, "waiting_first_frame", "starting-frame-loop", 12000);

  streaming_ = true;
  uint32_t source_width = 0;
  uint32_t source_height = 0;
  if (capture_target_.found) {
    source_width = static_cast<uint32_t>(std::max<int64_t>(0, capture_target_.params.Width()));
    source_height = static_cast<uint32_t>(std::max<int64_t>(0, capture_target_.params.Height()));
  }
  StreamStartedInfo started;
  started.session_id = config.session_id;
  started.source_width = source_width;
  started.source_height = source_height;
  handler_.SendStreamStarted(started);

  stream_session_id_ = config.session_id;
  stream_port_ = std::make_unique<StreamPort>(*this, config.session_id);
  FrameLoopSettings loop_settings;
  loop_settings.width = config.width;
  loop_settings.height = config.height;
  loop_settings.fps = config.fps;
  loop_settings.bitrate_kbps = config.bitrate_kbps;
  loop_settings.codec = VideoCodecFromWire(config.codec);
  loop_settings.fragment_limit = config.fragment_limit;
  loop_settings.supports_resize = config.stream_resize_supported;
  loop_settings.second_flag = settings.header_flag != 0;
  loop_settings.monitor_index = settings.output_index;
  FrameLoopShared shared{&stream_bitrate_kbps_, &fps_cap_, &encode_scale_permille_,
                         &internal_keyframe_request_, &frame_counter_, &video_seq_};
  FrameLoopDeps deps;
  deps.clock = &clock_;
  deps.sleeper = options_.sleeper != nullptr ? options_.sleeper : &SystemPreciseSleeper();
  deps.encoder = encoder_.get();
  deps.sink = &stream_port_->sink();
  const CaptureTarget target = capture_target_;
  const CaptureBackendChoice choice = BackendChoice(settings.backend);
  if (options_.make_capture) {
    auto make = options_.make_capture;
    deps.make_capture = [make, target, choice](std::shared_ptr<GpuDevice> device) {
      return make(target, choice, std::move(device));
    };
  }
  deps.redraw_desktop = [] { return RedrawDesktop(); };
  deps.observer = options_.frame_observer;
  frame_loop_ = std::make_unique<FrameLoop>(loop_settings, shared, *stream_port_, deps);
  frame_loop_failed_ = false;
  try {
    frame_loop_thread_ = std::thread([this] {
      if (!frame_loop_->Run()) frame_loop_failed_ = true;
    });
  } catch (const std::system_error& e) {
    LogError("[Session %zu] Could not start the frame loop thread: %s", slot_, e.what());
    streaming_ = false;
    frame_loop_.reset();
    stream_port_.reset();
    encoder_.reset();
    ReturnEncoderUnit();
    handler_.SendStreamStopped(config.session_id);
    if (pool_.on_stream_stopped) pool_.on_stream_stopped(slot_, false);
    stream_ended();
    return false;
  }
  StartCursorUpdates();

  const std::string client_name = handler_.ClientName();
  LogInfo("[Session %zu] Streaming to %s as %s %u", slot_, EscapeUntrusted(client_name).c_str(), "mirror of output",
          settings.output_index + 1);
  SessionStreamInfo info;
  info.client_id = handler_.ClientId();
  info.client_name = client_name;
  info.width = config.width;
  info.height = config.height;
  info.fps = config.fps;
  info.audio_enabled = config.audio_enabled;
  info.monitor_number = pool_.monitor_number_for ? pool_.monitor_number_for(slot_) : 0;
  std::function<void(const SessionStreamInfo&)> started_callback;
  {
    std::lock_guard<std::mutex> lock(host_callbacks_mu_);
    started_callback = host_callbacks_.stream_started;
  }
  if (started_callback) started_callback(info);
  if (pool_.on_stream_started) pool_.on_stream_started(slot_, info);
  return true;
}

void SessionManager::StopVideoStream(int /*reason*/) {
  const bool was_streaming = streaming_.exchange(false);
  cursor_sender_.reset();
  {
    std::lock_guard<std::mutex> lock(injector_mu_);
    if (injector_) injector_->ReleaseAllContacts();
  }
  if (frame_loop_thread_.joinable()) {
    if (frame_loop_thread_.get_id() == std::this_thread::get_id()) {
      LogError("[Session %zu] The frame loop cannot stop itself", slot_);
    } else {
      frame_loop_thread_.join();
    }
  }
  frame_loop_.reset();
  stream_port_.reset();
  if (encoder_) {
    encoder_->Shutdown();
    encoder_.reset();
  }
  ReturnEncoderUnit();
  if (was_streaming && pool_.on_stream_stopped) pool_.on_stream_stopped(slot_, false);
}

void SessionManager::ServeEndedFrameLoop() {
  if (!frame_loop_failed_.exchange(false)) return;
  // The loop found no pipeline: the stream never ran.
  const std::string session_id = stream_session_id_;
  StopStreaming(kStreamStopRequested);
  const SessionError e = EncoderInitFailedError();
  RefuseStream(e.code, e.description, session_id);
  std::function<void()> ended;
  {
    std::lock_guard<std::mutex> lock(host_callbacks_mu_);
    ended = host_callbacks_.stream_ended;
  }
  if (ended) ended();
}

}  // namespace orvane
