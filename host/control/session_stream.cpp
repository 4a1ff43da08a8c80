#include <algorithm>
#include <chrono>
#include <cstdio>
#include <system_error>

#include "host/common/logger.h"
#include "host/control/session_manager.h"
#include "host/control/session_stream_port.h"
#include "host/video/desktop_redraw.h"
#include "host/video/monitor_enumeration.h"

// The stream half of the session: planning the encoder against the host's
// budget, choosing the monitor, starting and stopping the frame loop.

namespace orvane {

namespace {

CaptureBackendChoice BackendChoice(int backend) { return CaptureBackendChoiceFromInt(backend); }

}  // namespace

bool SessionManager::StartStreaming() { return StartVideoStream(); }

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

void SessionManager::ServeStreamFeedback() {
  TabletStats stats;
  const bool have_stats = handler_.TakeTabletStats(&stats);
  uint32_t profile_kbps = 0;
  const bool have_profile = handler_.TakeQualityChanged(&profile_kbps) && profile_kbps != 0;
  NackBatch batch;
  const bool have_nacks = handler_.TakeNackBatch(&batch);
  if (!have_stats && !have_profile && !have_nacks) return;
  const bool streaming = streaming_.load();
  std::lock_guard<std::mutex> lock(stream_control_mu_);
  // A profile without a bitrate (frame rate or codec only) leaves the
  // bitrate alone; one that arrives before the stream is taken by its start.
  if (have_profile && streaming) ApplyStreamControl(stream_control_.ClientQualityProfile(profile_kbps));
  if (have_stats) {
    LinkReport report;
    report.rtt_ms = stats.rtt_ms;
    report.packet_loss_pct = stats.packet_loss_pct;
    report.jitter_ms = stats.jitter_ms;
    report.receiver_drop_pct = stats.receiver_drop_pct;
    report.decode_pressure_pct = stats.decode_pressure_pct;
    report.late_drop_pct = stats.late_drop_pct;
    report.route_class = stats.route_class;
    report.drop_reasons = stats.drop_reasons;
    if (streaming) {
      const int64_t now_us = clock_.NowUs();
      const bool recovering = InRecoveryWindow(own_keyframe_us_.load(), now_us);
      ApplyStreamControl(stream_control_.OnReport(report, now_us, recovering));
    }
    nack_.UpdateRetryInterval(stats.rtt_ms);
    sender_.SetLoss(static_cast<int>(stats.packet_loss_pct + 0.5f));
    // The stream's audio is made before streaming_ is set and kept after.
    if (streaming && audio_) audio_->SetNetworkConditions(stats.packet_loss_pct, HeavyLossForAudio(report));
  }
  if (have_nacks) {
    nack_.Serve(batch.stream_type, batch.sequence_numbers);
    nack_.MaybeLog();
  }
}

void SessionManager::ApplyStreamControl(const StreamControlOutput& out) {
  if (out.bitrate_changed) {
    sender_.SetBitrate(out.bitrate_kbps);
    nack_.UpdateBudgetRate(out.bitrate_kbps);
    stream_bitrate_kbps_ = out.bitrate_kbps;
  }
  if (out.fps_cap_changed) fps_cap_ = out.fps_cap;
  if (out.encode_scale_changed) encode_scale_permille_ = out.encode_scale_permille;
}

SessionManager::StreamRates SessionManager::CurrentStreamRates() {
  std::lock_guard<std::mutex> lock(stream_control_mu_);
  StreamRates rates;
  rates.frame_loop_kbps = stream_bitrate_kbps_.load();
  rates.pacing = sender_.Pacing();
  rates.retransmit_budget_bytes_per_us = nack_.BudgetBytesPerUs();
  return rates;
}

void SessionManager::StopStreaming(int reason) { StopVideoStream(reason); }

void SessionManager::RefuseStream(uint32_t code, const std::string& message, const std::string& session_id) {
  handler_.SendErrorMessage(code, message, true);
  handler_.SendStreamStopped(session_id);
}

bool SessionManager::PlanEncoder(const SessionConfig& config) {
  const VideoCodec codec = VideoCodecFromWire(config.codec);
  if (!options_.make_encoder) return false;
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
  // By id when one is asked for (no other monitor stands in for it), else
  // the capture output's monitor, else the primary one.
  const MonitorChoice choice = ChooseMonitor(monitors, monitor_id, output_index);
  if (!monitor_id.empty() && !choice.exact) {
    LogWarn("[Session] Requested monitor is unavailable: %s", EscapeUntrusted(monitor_id).c_str());
    SendSessionError(MonitorUnavailableError());
    return false;
  }
  const MonitorInfoData* found = choice.monitor ? &*choice.monitor : nullptr;
  if (found == nullptr) {
    LogWarn("[Session] Monitor enumeration returned no usable target");
    TargetPrimaryMonitor(config.width, config.height);
    return monitor_id.empty();
  }
  TargetMonitor(*found, config.width, config.height);
  capture_target_ = SelectCaptureTarget(monitors, found->id, found->index);
  capture_adapter_luid_ = found->adapter_luid;
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

CaptureSelection SessionManager::MirrorSelection(CaptureReason reason, bool log_mirror) {
  if (log_mirror) LogInfo("[Session %zu] Capture source: mirror (%s)", slot_, CaptureReasonName(static_cast<int>(reason)));
  return SelectMonitorById(handler_.SelectedMonitorId()) ? CaptureSelection::kSelected
                                                          : CaptureSelection::kKeptPrevious;
}

bool SessionManager::StreamWillBeVirtual() {
  IVirtualDisplayManager* manager = virtual_displays_.load();
  if (manager == nullptr) return false;
  const bool wanted = pool_.use_extended_display ? pool_.use_extended_display(slot_) : manager->DefaultExtended();
  if (!wanted || !manager->DriverAvailable()) return false;
  const std::string selected = handler_.SelectedMonitorId();
  return selected.empty() || selected == manager->GetMonitorId(slot_);
}

CaptureSelection SessionManager::SelectCaptureSourceForStream(const SessionConfig& config) {
  capturing_virtual_ = false;
  mirror_fallback_ = CaptureReason::kNone;
  IVirtualDisplayManager* manager = virtual_displays_.load();
  if (manager == nullptr) return MirrorSelection(CaptureReason::kNone, false);

  const bool wanted = pool_.use_extended_display ? pool_.use_extended_display(slot_) : manager->DefaultExtended();
  const std::string held = manager->GetMonitorId(slot_);
  const std::string selected = handler_.SelectedMonitorId();
  CaptureReason reason = CaptureReason::kNone;
  if (!wanted) {
    reason = CaptureReason::kExtendedModeOff;
  } else if (!manager->DriverAvailable()) {
    reason = CaptureReason::kDriverNotInstalled;
  } else if (!selected.empty() && selected != held) {
    reason = CaptureReason::kClientSelectedMonitor;
  }
  if (reason == CaptureReason::kNone) return AcquireVirtualMonitor(*manager, config);

  mirror_fallback_ = StoredFallbackReason(reason);
  const bool held_monitor = manager->HoldsMonitor(slot_);
  if (held_monitor) manager->Release(slot_, CaptureReasonName(static_cast<int>(reason)));
  return MirrorSelection(reason, !(reason == CaptureReason::kExtendedModeOff && !held_monitor));
}

void SessionManager::TargetMonitor(const MonitorInfoData& monitor, uint32_t stream_width, uint32_t stream_height) {
  std::lock_guard<std::mutex> lock(injector_mu_);
  if (injector_) {
    injector_->SetTarget(monitor.id, monitor.x, monitor.y, monitor.width, monitor.height, stream_width, stream_height);
  }
}

void SessionManager::TargetPrimaryMonitor(uint32_t stream_width, uint32_t stream_height) {
  std::lock_guard<std::mutex> lock(injector_mu_);
  if (injector_) injector_->SetPrimaryTarget(stream_width, stream_height);
}

void SessionManager::ReleaseInput() {
  std::lock_guard<std::mutex> lock(injector_mu_);
  if (!injector_) return;
  injector_->ReleaseAllKeys();
  injector_->ReleaseAllPointers();
}

void SessionManager::CheckPenCapability() {
  PenDegradation pen;
  bool degraded = false;
  {
    std::lock_guard<std::mutex> lock(injector_mu_);
    degraded = injector_ && injector_->PenDegraded(&pen);
  }
  if (!degraded) return;
  char line[512];
  std::snprintf(line, sizeof line,
                "pen_fallback err=%lu reason=%s admin=%d synthetic_pen=%d native_touch=%d "
                "remediation=restart_host_as_admin_and_reconnect",
                pen.error, pen.reason.c_str(), pen.admin ? 1 : 0, pen.synthetic_pen ? 1 : 0, pen.native_touch ? 1 : 0);
  LogWarn("[Session] Pen capability degraded: %s", line);
  SendSessionError(PenFallbackError(line));
}

void SessionManager::JoinAcquireThread() {
  if (acquire_thread_.joinable()) acquire_thread_.join();
  acquire_task_.reset();
}

CaptureSelection SessionManager::AcquireVirtualMonitor(IVirtualDisplayManager& manager, const SessionConfig& config) {
  JoinAcquireThread();
  const VirtualDisplayMode mode{config.width, config.height, config.fps};
  handler_.SendStreamWarmup(config.session_id, "prepare_display", "creating-virtual-display", 6000);
  auto task = std::make_shared<AcquireTask>();
  acquire_task_ = task;
  IVirtualDisplayManager* backend = &manager;
  const size_t slot = slot_;
  try {
    acquire_thread_ = std::thread([task, backend, slot, mode] {
      VirtualDisplayAcquireResult result = backend->Acquire(slot, mode);
      std::unique_lock<std::mutex> lock(task->mu);
      if (task->abandoned) {
        // The stream start gave up on it: nobody will use the monitor.
        lock.unlock();
        if (IsAcquireSuccess(result.kind)) backend->Release(slot, "stream start abandoned");
        lock.lock();
      }
      task->result = std::move(result);
      task->done = true;
      task->cv.notify_all();
    });
  } catch (const std::system_error& e) {
    LogError("[Session %zu] Could not start the virtual monitor acquire: %s", slot_, e.what());
    acquire_task_.reset();
    return MirrorSelection(CaptureReason::kVirtualCreateFailed, true);
  }

  const uint64_t start_ms = clock_.TickMs();
  uint64_t next_placeholder_ms = start_ms + 150;
  bool placeholders = true;
  bool first_placeholder = true;
  bool sent_any = false;
  VirtualDisplayAcquireResult result;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(task->mu);
      if (task->done) {
        result = task->result;
        break;
      }
      if (stop_requested_.load() || !ClientConnected()) {
        // Shutting down or the tablet left: the acquire finishes on its own
        // and its monitor is given back.
        task->abandoned = true;
        lock.unlock();
        LogWarn("[Session %zu] Virtual monitor acquire abandoned (%s)", slot_,
                stop_requested_.load() ? "host stopping" : "tablet disconnected");
        ReleaseVirtualMonitor("stream start abandoned");
        return CaptureSelection::kRefused;
      }
      task->cv.wait_for(lock, std::chrono::milliseconds(5));
    }
    if (const uint64_t now_ms = clock_.TickMs(); now_ms >= next_placeholder_ms) {
      next_placeholder_ms = now_ms + 250;
      if (placeholders) {
        if (SendPlaceholderFrame(first_placeholder ? 4 : 1, config)) {
          sent_any = true;
        } else {
          placeholders = false;
        }
        first_placeholder = false;
      }
    }
  }
  LogInfo("[Session %zu] Virtual monitor acquire took %lld ms (%s, placeholder=%s)", slot_,
          static_cast<long long>(clock_.TickMs() - start_ms), VirtualDisplayAcquireKindName(static_cast<int>(result.kind)),
          sent_any ? "sent" : "none");

  CaptureReason reason = CaptureReason::kVirtualCreateFailed;
  bool refuse = false;
  switch (result.kind) {
    case VirtualDisplayAcquireKind::kCreated:
    case VirtualDisplayAcquireKind::kReused:
    case VirtualDisplayAcquireKind::kReconfigured:
      if (SelectMonitorById(result.monitor_id)) {
        LogInfo("[Session %zu] Capture source: virtual monitor %s %ux%u@%u (%s)", slot_,
                EscapeUntrusted(result.monitor_id).c_str(), mode.width, mode.height, mode.refresh_hz,
                VirtualDisplayAcquireKindName(static_cast<int>(result.kind)));
        capturing_virtual_ = true;
        return CaptureSelection::kSelected;
      }
      reason = CaptureReason::kVirtualMonitorNotFound;
      break;
    case VirtualDisplayAcquireKind::kExtendedModeOff:
      reason = CaptureReason::kExtendedModeOff;
      break;
    case VirtualDisplayAcquireKind::kDriverNotInstalled:
      reason = CaptureReason::kDriverNotInstalled;
      break;
    case VirtualDisplayAcquireKind::kMonitorNotFound:
      reason = CaptureReason::kVirtualMonitorNotFound;
      break;
    case VirtualDisplayAcquireKind::kNoFreeMonitor:
      reason = CaptureReason::kNoFreeVirtualMonitor;
      refuse = true;
      break;
    case VirtualDisplayAcquireKind::kRestartPending:
      reason = CaptureReason::kMonitorRestartPending;
      refuse = true;
      break;
    default:
      break;
  }
  const std::string why =
      result.message.empty() ? VirtualDisplayAcquireKindName(static_cast<int>(result.kind)) : result.message;
  if (refuse) {
    LogWarn("[Session %zu] No virtual monitor for this tablet (%s: %s)", slot_,
            CaptureReasonName(static_cast<int>(reason)), why.c_str());
    const SessionError e = reason == CaptureReason::kMonitorRestartPending ? DriverRestartPendingError()
                                                                          : NoFreeVirtualMonitorError(result.monitor_count);
    RefuseStream(e.code, e.description, config.session_id);
    return CaptureSelection::kRefused;
  }
  LogWarn("[Session %zu] Extended display unavailable (%s: %s); mirroring the selected monitor instead", slot_,
          CaptureReasonName(static_cast<int>(reason)), why.c_str());
  mirror_fallback_ = StoredFallbackReason(reason);
  ReleaseVirtualMonitor("fallback to mirror");
  return MirrorSelection(reason, false);
}

bool SessionManager::SendPlaceholderFrame(int attempts, const SessionConfig& config) {
  if (!encoder_ || !encoder_->IsInitialized() || config.width == 0 || config.height == 0) return false;
  if (placeholder_width_ != config.width || placeholder_height_ != config.height) {
    placeholder_image_.assign(static_cast<size_t>(config.width) * config.height * 4, 0);
    for (size_t i = 3; i < placeholder_image_.size(); i += 4) placeholder_image_[i] = 0xFF;
    placeholder_width_ = config.width;
    placeholder_height_ = config.height;
  }
  for (int attempt = 0; attempt < attempts; ++attempt) {
    encoder_->RequestKeyframe();
    const int64_t now = clock_.NowUs();
    if (!encoder_->EncodeBgra(placeholder_image_.data(), config.width * 4, config.width, config.height, now)) {
      const HostResult r = encoder_->GetLastResult();
      LogWarn("[Session] Placeholder frame encode failed code=%d msg=%s", r.code, r.message.c_str());
      return false;
    }
    bool sent = false;
    EncodedAccessUnit unit;
    while (encoder_->ReceiveAccessUnit(&unit)) {
      uint32_t seq = video_seq_.load();
      const uint64_t ts = static_cast<uint64_t>(unit.timestamp_us != 0 ? unit.timestamp_us : now);
      if (sender_.SendVideoFrame(seq, ts, unit.keyframe, false, unit.data.data(), unit.data.size())) sent = true;
      video_seq_.store(seq);
      unit = EncodedAccessUnit{};
    }
    if (sent) {
      if (!placeholder_sent_) {
        placeholder_sent_ = true;
        LogInfo("[Session] Placeholder frame sent while the virtual monitor is created (%ux%u)", config.width,
                config.height);
      }
      return true;
    }
    if (attempt + 1 < attempts) std::this_thread::sleep_for(std::chrono::milliseconds(15));
  }
  return false;
}

bool SessionManager::StartVideoStream() {
  handler_.TakeUserEnded();
  if (streaming_.load() || frame_loop_thread_.joinable()) {
    LogWarn("[Session] StartStream received while a stream is active; restarting stream");
    StopStreaming(kStreamStopForRestart);
  }
  SessionConfig config = handler_.GetSessionConfig();
  placeholder_sent_ = false;
  const DeviceOrientation device = DeviceOrientationFromWire(handler_.Orientation());
  const bool will_be_virtual = StreamWillBeVirtual();
  const StreamSize asked{config.width, config.height};
  const StreamSize oriented = OrientStream(asked, device, will_be_virtual);
  if (!(oriented == asked)) {
    LogInfo("[Session] Stream orientation %ux%u -> %ux%u (device=%s, capture=%s)", asked.width, asked.height,
            oriented.width, oriented.height, DeviceOrientationName(device),
            will_be_virtual ? "virtual monitor" : "mirror");
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
  if (!placeholder_sent_) {
    handler_.SendStreamWarmup(config.session_id, "prepare_display", "initializing-capture", 2000);
  }

  CheckPenCapability();
  if (!audio_) audio_ = options_.make_audio ? options_.make_audio() : std::make_unique<SilentStreamAudio>();
  // The PC speakers go quiet only when the host allows it and the tablet
  // both plays the sound and asked for it.
  if (audio_) {
    audio_->SetMuteWish(tablet_only_audio_allowed_.load() && config.audio_enabled && config.mute_host_speakers);
  }
  last_audio_enabled_ = config.audio_enabled;
  sender_.SetLoss(0);
  internal_keyframe_request_ = false;
  own_keyframe_us_ = 0;
  StreamControlStart control;
  control.width = config.width;
  control.height = config.height;
  control.fps = config.fps;
  control.hevc = VideoCodecFromWire(config.codec) == VideoCodec::kHevc;
  control.supports_resize = config.stream_resize_supported;
  control.route_class = config.route_class;
  control.negotiated_kbps = config.bitrate_kbps;
  control.now_us = clock_.NowUs();
  control.debug_env = options_.debug_resize_permille;
  uint32_t start_kbps = 0;
  {
    std::lock_guard<std::mutex> lock(stream_control_mu_);
    const StreamControlOutput out = stream_control_.Start(control);
    start_kbps = out.bitrate_kbps;
    // The sender, the retransmission budget and the frame loop all start
    // from the bounded bitrate.
    sender_.SetBitrate(start_kbps);
    nack_.Reset(start_kbps);
    stream_bitrate_kbps_ = start_kbps;
    fps_cap_ = out.fps_cap;
    encode_scale_permille_ = out.encode_scale_permille;
  }
  if (!placeholder_sent_) {
    handler_.SendStreamWarmup(config.session_id, "waiting_first_frame", "starting-frame-loop", 12000);
  }

  streaming_ = true;
  uint32_t source_width = 0;
  uint32_t source_height = 0;
  if (capture_target_.found) {
    source_width = static_cast<uint32_t>(std::max<int64_t>(0, capture_target_.params.Width()));
    source_height = static_cast<uint32_t>(std::max<int64_t>(0, capture_target_.params.Height()));
  }
  const uint32_t display_number = pool_.monitor_number_for ? pool_.monitor_number_for(slot_) : 0;
  StreamStartedInfo started;
  started.session_id = config.session_id;
  started.extended_display = capturing_virtual_;
  started.display_number = display_number;
  started.mirror_fallback = MirrorFallbackFor(mirror_fallback_);
  started.source_width = source_width;
  started.source_height = source_height;
  handler_.SendStreamStarted(started);
  has_extended_report_ = false;
  UpdateExtendedDisplayInfo(true);

  stream_session_id_ = config.session_id;
  stream_port_ = std::make_unique<StreamPort>(*this, config.session_id);
  FrameLoopSettings loop_settings;
  loop_settings.width = config.width;
  loop_settings.height = config.height;
  loop_settings.fps = config.fps;
  loop_settings.bitrate_kbps = start_kbps;
  loop_settings.codec = VideoCodecFromWire(config.codec);
  loop_settings.fragment_limit = config.fragment_limit;
  loop_settings.supports_resize = config.stream_resize_supported;
  loop_settings.second_flag = settings.header_flag != 0;
  loop_settings.monitor_index = settings.output_index;
  loop_settings.capture_adapter_luid = capture_adapter_luid_;
  FrameLoopShared shared{&stream_bitrate_kbps_,        &fps_cap_,      &encode_scale_permille_,
                         &internal_keyframe_request_, &frame_counter_, &video_seq_,
                         &own_keyframe_us_};
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
  auto body = [this] {
    if (!frame_loop_->Run()) frame_loop_failed_ = true;
  };
  bool thread_started = false;
  if (options_.start_thread) {
    thread_started = options_.start_thread(body, &frame_loop_thread_);
  } else {
    try {
      frame_loop_thread_ = std::thread(body);
      thread_started = true;
    } catch (const std::system_error& e) {
      LogError("[Session %zu] Could not start the frame loop thread: %s", slot_, e.what());
    }
  }
  if (!thread_started) {
    LogError("[Session %zu] Stream start undone: the frame loop did not start", slot_);
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
  LogInfo("[Session %zu] Streaming to %s as %s %u", slot_, EscapeUntrusted(client_name).c_str(),
          capturing_virtual_ ? "monitor" : "mirror of output",
          capturing_virtual_ ? display_number : settings.output_index + 1);
  SessionStreamInfo info;
  info.client_id = handler_.ClientId();
  info.client_name = client_name;
  info.width = config.width;
  info.height = config.height;
  info.fps = config.fps;
  info.audio_enabled = config.audio_enabled;
  info.monitor_number = display_number;
  info.extended = capturing_virtual_;
  info.capture_monitor_id = capture_target_.params.monitor_id;
  info.mirror_fallback_reason = static_cast<int>(mirror_fallback_);
  info.extended_side = last_extended_side_;
  std::function<void(const SessionStreamInfo&)> started_callback;
  {
    std::lock_guard<std::mutex> lock(host_callbacks_mu_);
    started_callback = host_callbacks_.stream_started;
  }
  if (started_callback) started_callback(info);
  if (pool_.on_stream_started) pool_.on_stream_started(slot_, info);
  return true;
}

void SessionManager::StopVideoStream(int reason) {
  const bool other_plays = pool_.other_tablet_plays_audio ? pool_.other_tablet_plays_audio(slot_) : false;
  const int audio_mode = AudioStopMode(reason, other_plays);
  const bool was_streaming = streaming_.exchange(false);
  cursor_sender_.reset();
  ReleaseInput();
  if (frame_loop_thread_.joinable()) {
    if (frame_loop_thread_.get_id() == std::this_thread::get_id()) {
      LogError("[Session %zu] The frame loop cannot stop itself", slot_);
    } else {
      frame_loop_thread_.join();
    }
  }
  frame_loop_.reset();
  stream_port_.reset();
  if (was_streaming) StopAudioHere(audio_mode);
  if (encoder_) {
    encoder_->Shutdown();
    encoder_.reset();
  }
  ReturnEncoderUnit();
  if (was_streaming && pool_.on_stream_stopped) pool_.on_stream_stopped(slot_, reason == kStreamStopForRestart);
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

void SessionManager::ServeStreamPass() {
  if (handler_.TakeMonitorChanged()) {
    selected_monitor_id_ = handler_.SelectedMonitorId();
    if (options_.make_encoder && streaming_.load()) {
      // A monitor enumeration does not know keeps the stream as it is (2401 went out).
      if (SelectMonitorById(selected_monitor_id_)) {
        StopStreaming(kStreamStopForRestart);
        StartStreaming();
      }
    }
  }
  if (handler_.TakeOrientationChanged()) HandleDeviceRotation();
  if (options_.make_encoder && streaming_.load()) {
    UpdateExtendedDisplayInfo(false);
    UpdateAudioRoute();
  }
}

void SessionManager::HandleDeviceRotation() {
  const DeviceOrientation device = DeviceOrientationFromWire(handler_.Orientation());
  const char* name = DeviceOrientationName(device);
  if (!options_.make_encoder || !streaming_.load() || device == DeviceOrientation::kUnspecified) {
    LogInfo("[Session %zu] Device orientation %s noted (no active stream to re-orient)", slot_, name);
    return;
  }
  const SessionConfig config = handler_.GetSessionConfig();
  const StreamSize current{config.width, config.height};
  if (capturing_virtual_) {
    const StreamSize rotated = OrientStream(current, device, true);
    if (!(rotated == current)) {
      LogInfo("[Session %zu] Device turned %s: re-orienting the virtual monitor and restarting the stream "
              "(next_video_seq=%u)",
              slot_, name, video_seq_.load());
      const uint64_t start_ms = clock_.TickMs();
      StopStreaming(kStreamStopForRestart);
      const bool ok = StartStreaming();
      LogInfo("[Session %zu] Stream restart after rotation %s in %lld ms (next_video_seq=%u)", slot_,
              ok ? "done" : "failed", static_cast<long long>(clock_.TickMs() - start_ms), video_seq_.load());
      return;
    }
  }
  LogInfo("[Session %zu] Device orientation %s: stream stays %ux%u (%s)", slot_, name, current.width, current.height,
          capturing_virtual_ ? "already oriented" : "mirroring a monitor");
  handler_.SendDisplayOrientationUpdate(config.session_id, current.width, current.height);
}

void SessionManager::UpdateExtendedDisplayInfo(bool forced) {
  if (!capturing_virtual_ || capture_target_.params.monitor_id.empty()) return;
  const uint64_t now_ms = clock_.TickMs();
  if (!forced && has_extended_report_ && now_ms - last_extended_report_ms_ < 1000) return;
  last_extended_report_ms_ = now_ms;
  const std::shared_ptr<IMonitorEnumerator> enumerator = handler_.MonitorEnumerator();
  if (!enumerator) return;
  const std::vector<MonitorInfoData> monitors = enumerator->EnumerateMonitors();
  const MonitorInfoData* streamed = nullptr;
  const MonitorInfoData* primary = nullptr;
  for (const MonitorInfoData& m : monitors) {
    if (m.id == capture_target_.params.monitor_id) streamed = &m;
    if (m.primary) primary = &m;
  }
  uint8_t side = 0;
  if (streamed != nullptr && primary != nullptr && streamed != primary) {
    side = ExtendedSide({streamed->x, streamed->y, static_cast<int32_t>(streamed->width),
                         static_cast<int32_t>(streamed->height)},
                        {primary->x, primary->y, static_cast<int32_t>(primary->width), static_cast<int32_t>(primary->height)});
  }
  // Which windows lie on the monitor is the window commands' to tell.
  const bool has_windows = false;
  if (forced || !has_extended_report_ || side != last_extended_side_ || has_windows != last_extended_has_windows_) {
    has_extended_report_ = true;
    last_extended_side_ = side;
    last_extended_has_windows_ = has_windows;
    handler_.SendExtendedDisplayInfo(side, has_windows);
  }
}

void SessionManager::StartAudioHere(const SessionConfig& config) {
  if (!audio_) return;
  if (!audio_prepared_) {
    audio_prepared_ = true;
    audio_->Prepare();
  }
  if (!audio_port_) audio_port_ = std::make_unique<AudioPort>(sender_);
  StreamAudioStart start;
  start.audio_enabled = config.audio_enabled;
  start.sink = audio_port_.get();
  start.active = &audio_active_;
  audio_active_ = true;
  audio_->Start(start);
  audio_running_ = true;
  audio_running_enabled_ = config.audio_enabled;
}

void SessionManager::StopAudioHere(int stop_mode) {
  audio_active_ = false;
  if (audio_) audio_->Stop(stop_mode);
  audio_running_ = false;
}

void SessionManager::UpdateAudioRoute() {
  const SessionConfig config = handler_.GetSessionConfig();
  bool plays_here = false;
  std::string owner;
  {
    std::lock_guard<std::mutex> lock(audio_route_mu_);
    plays_here = audio_plays_here_;
    owner = audio_owner_name_;
  }
  if (config.audio_enabled != last_audio_enabled_) {
    last_audio_enabled_ = config.audio_enabled;
    if (pool_.on_audio_toggled) pool_.on_audio_toggled(slot_, config.audio_enabled);
  }
  if (plays_here && !audio_running_) {
    StartAudioHere(config);
  } else if (!plays_here && audio_running_) {
    LogInfo("[Session %zu] PC audio moves to another tablet", slot_);
    StopAudioHere(2);
  } else if (plays_here && config.audio_enabled != audio_running_enabled_) {
    // The tablet switched its sound on or off: the pipeline starts again
    // with the new setting.
    StopAudioHere(2);
    StartAudioHere(config);
  }
  if (audio_route_sent_ && config.audio_enabled == last_route_audio_enabled_ && plays_here == last_route_plays_here_ &&
      owner == last_route_owner_) {
    return;
  }
  audio_route_sent_ = true;
  last_route_audio_enabled_ = config.audio_enabled;
  last_route_plays_here_ = plays_here;
  last_route_owner_ = owner;
  handler_.SendAudioRoute(plays_here, owner);
}

}  // namespace orvane
