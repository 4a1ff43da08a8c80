#include "host/video/frame_loop.h"

#include <algorithm>
#include <set>

#include "host/common/logger.h"
#include "host/video/first_image_watch.h"
#include "host/video/frame_pacer.h"
#include "host/video/keyframe_policy.h"
#include "host/video/thread_priority.h"

namespace orvane {

namespace {

// Adapters on which no encoder would start, for the life of the process:
// later streams keep the default encoder instead of trying again.
std::mutex g_no_encoder_mu;
std::set<uint64_t>& NoEncoderAdapters() {
  static std::set<uint64_t> adapters;
  return adapters;
}

bool AdapterWithoutEncoder(uint64_t luid) {
  std::lock_guard<std::mutex> lock(g_no_encoder_mu);
  return NoEncoderAdapters().count(luid) != 0;
}

void NoteAdapterWithoutEncoder(uint64_t luid) {
  std::lock_guard<std::mutex> lock(g_no_encoder_mu);
  NoEncoderAdapters().insert(luid);
}

const char* BackendName(CaptureBackendKind kind) {
  switch (kind) {
    case CaptureBackendKind::kDxgi:
      return "dxgi";
    case CaptureBackendKind::kWgc:
      return "wgc";
    case CaptureBackendKind::kGdi:
      return "gdi";
    default:
      return "none";
  }
}

const char* OrUnknown(const std::string& s) { return s.empty() ? "unknown" : s.c_str(); }

unsigned long long Ull(uint64_t v) { return static_cast<unsigned long long>(v); }

}  // namespace

FrameLoop::FrameLoop(FrameLoopSettings settings, FrameLoopShared shared, IFrameLoopSession& session,
                     FrameLoopDeps deps)
    : settings_(settings),
      shared_(shared),
      session_(session),
      deps_(std::move(deps)),
      clock_(*deps_.clock),
      diag_(deps_.clock->TickMs()),
      governor_(settings.fragment_limit),
      encode_width_(settings.width),
      encode_height_(settings.height) {}

FrameLoop::~FrameLoop() { StopWorkers(); }

bool FrameLoop::WorkersIdle() const {
  // Jobs first: once the encode worker is through them, every unit they gave
  // has been counted in.
  if (jobs_out_.load() != jobs_in_.load()) return false;
  return units_out_.load() == units_in_.load();
}

bool FrameLoop::Run() {
  ThreadTaskScope task("Pro Audio", "orvane-capture");
  LogInfo("[FrameLoop] Started (MMCSS=%s, monitors=%zu)", task.StatusText(),
          static_cast<size_t>(deps_.encoder != nullptr ? 1 : 0));
  if (!SetUp()) return false;
  CaptureLoop();
  StopWorkers();
  LogInfo("[FrameLoop] Stopped after %llu frames", Ull(diag_.counters().total_frames.load()));
  diag_.LogFinal(DiagContext());
  capture_.reset();
  return true;
}

bool FrameLoop::SetUp() {
  if (deps_.encoder == nullptr) {
    LogError("[FrameLoop] No monitor pipeline is available");
    return false;
  }
  if (!deps_.encoder->IsInitialized()) {
    LogError("[FrameLoop] No active monitor encoder pipeline is ready");
    return false;
  }
  MatchAdapter();

  deps_.sink->SetClientFragmentLimit(settings_.fragment_limit);
  if (governor_.CapBytes() != 0) {
    const FrameSizeLimits limits = governor_.Limits();
    deps_.encoder->SetFrameSizeLimits(limits.vbv_bits, limits.min_qp);
  }
  LogInfo("[FrameLoop] Frame size cap %u bytes (%u fragments)", governor_.CapBytes(), settings_.fragment_limit);

  RecreateCapture();
  stream_start_us_ = clock_.NowUs();
  encode_thread_ = std::thread([this] { EncodeWorker(); });
  send_thread_ = std::thread([this] { SendWorker(); });
  return true;
}

void FrameLoop::MatchAdapter() {
  IVideoEncoder& encoder = *deps_.encoder;
  const uint64_t luid = settings_.capture_adapter_luid;
  const EncoderRuntimeInfo before = encoder.GetRuntimeInfo();
  if (luid != 0 && luid != before.adapter_luid && !AdapterWithoutEncoder(luid)) {
    LogInfo("[FrameLoop] Capture monitor is on adapter luid=0x%016llX, encoder on 0x%016llX (%s); moving encoder",
            Ull(luid), Ull(before.adapter_luid), OrUnknown(before.adapter_name));
    encoder.SetPreferredAdapter(luid);
    if (!encoder.Reset()) {
      LogWarn("[FrameLoop] Encoder could not start on the capture adapter; restoring default adapter");
      encoder.SetPreferredAdapter(0);
      encoder.Reset();
    }
    if (encoder.GetRuntimeInfo().adapter_luid != luid) {
      NoteAdapterWithoutEncoder(luid);
      LogInfo("[FrameLoop] No encoder runs on adapter luid=0x%016llX; later streams keep the default encoder",
              Ull(luid));
    }
    generation_.fetch_add(1);
  }
  const EncoderRuntimeInfo info = encoder.GetRuntimeInfo();
  LogInfo("[FrameLoop] Encoder runtime mode=%s mft=%s adapter=%s fallback=%s", encoder.GetModeName(),
          OrUnknown(info.mft_name), OrUnknown(info.adapter_name), info.fallback_reason.c_str());
}

void FrameLoop::RecreateCapture() {
  capture_.reset();
  if (!deps_.make_capture) return;
  IVideoEncoder& encoder = *deps_.encoder;
  capture_ = deps_.make_capture(encoder.IsGpuDirect() ? encoder.GetDevice() : nullptr);
  if (capture_ != nullptr && !capture_->Start(true)) {
    LogWarn("[FrameLoop] Capture could not start; the first-image watch will retry");
  }
}

FrameDiagContext FrameLoop::DiagContext() {
  FrameDiagContext x;
  x.active_backend = capture_ != nullptr ? BackendName(capture_->ActiveKind()) : "none";
  x.last_frame = shared_.frame_counter->load();
  x.ts_us = static_cast<uint64_t>(std::max<int64_t>(0, clock_.NowUs()));
  if (deps_.encoder != nullptr) {
    const EncoderRuntimeInfo info = deps_.encoder->GetRuntimeInfo();
    x.enc_mode = deps_.encoder->GetModeName();
    x.enc_mft = OrUnknown(info.mft_name);
    x.enc_adapter = OrUnknown(info.adapter_name);
    x.enc_feature = info.feature_level;
    x.enc_fallback = info.fallback_reason;
  }
  x.key_state = "media";
  return x;
}

void FrameLoop::CaptureLoop() {
  FramePacer pacer(clock_.NowUs());
  KeyframePolicy policy(stream_start_us_);
  FirstImageWatch watch(clock_.TickMs());
  FrameCounters& c = diag_.counters();
  std::shared_ptr<const CpuImage> previous_image;
  std::shared_ptr<const GpuTexture> previous_texture;
  uint32_t previous_width = 0;
  uint32_t previous_height = 0;
  uint64_t seen_generation = generation_.load();
  bool paused = false;
  uint64_t pauses = 0;
  uint64_t last_stats_ms = clock_.TickMs();
  bool has_protected_notice = false;
  uint64_t last_protected_ms = 0;
  int64_t last_job_ts = 0;
  CaptureCounters last_capture{};

  while (session_.Streaming()) {
    const bool now_paused = session_.VideoPaused();
    if (now_paused != paused) {
      paused = now_paused;
      if (paused) {
        LogInfo("[FrameLoop] Video paused by the client (graphics tablet mode, pause #%llu)", Ull(++pauses));
      } else {
        LogInfo("[FrameLoop] Video resumed; forcing a keyframe");
        MarkOwnKeyframe();
        policy.RequestFromPipeline();
      }
    }
    if (paused) {
      deps_.sleeper->SleepUs(static_cast<int64_t>(kPausePollMs) * 1000);
      continue;
    }

    const uint32_t fps = pacer.Update(settings_.fps, shared_.fps_cap->load());
    deps_.sleeper->SleepUs(pacer.DueUs() - clock_.NowUs());
    if (!session_.Streaming()) break;

    const uint64_t generation = generation_.load();
    if (generation != seen_generation) {
      seen_generation = generation;
      if (capture_ != nullptr) {
        capture_->SetSharedDevice(deps_.encoder->IsGpuDirect() ? deps_.encoder->GetDevice() : nullptr);
      }
      LogInfo("[FrameLoop] Encoder generation %llu active; capture re-targeted", Ull(generation));
    }

    CapturedFrame frame;
    if (capture_ != nullptr) {
      const uint32_t wait_ms = std::clamp<uint32_t>(1000 / fps, 1, 16);
      frame = capture_->Acquire(wait_ms, deps_.encoder->IsGpuDirect(), clock_.TickMs());
      const CaptureCounters cc = capture_->Counters();
      c.capture_fail += cc.capture_fail - last_capture.capture_fail;
      c.dup_reinit += cc.dup_reinit - last_capture.dup_reinit;
      c.wgc_reinit += cc.wgc_reinit - last_capture.wgc_reinit;
      c.dup_timeout += cc.dup_timeout - last_capture.dup_timeout;
      c.wgc_timeout += cc.wgc_timeout - last_capture.wgc_timeout;
      c.backend_switch += cc.backend_switch - last_capture.backend_switch;
      last_capture = cc;
    }
    const int64_t now_us = clock_.NowUs();
    const uint64_t now_ms = clock_.TickMs();
    const bool new_image = frame.status == CaptureStatus::kFrame &&
                           (frame.texture != nullptr || (frame.image != nullptr && frame.width != 0));

    if (new_image) {
      watch.OnImage(now_ms);
      if (frame.protected_content && (!has_protected_notice || now_ms - last_protected_ms >= kProtectedNoticeIntervalMs)) {
        has_protected_notice = true;
        last_protected_ms = now_ms;
        LogWarn("[Capture] Protected content appears masked by Desktop Duplication (best-effort diagnostic)");
        session_.ErrorMessage(kProtectedContentError,
                              "Protected content cannot be captured; display may show black content in those regions.");
      }
    } else {
      const bool has_previous = previous_image != nullptr || previous_texture != nullptr;
      const FirstImageAction action =
          watch.Poll(now_ms, has_previous, policy.Pending(), shared_.next_video_seq->load());
      if (action == FirstImageAction::kRedraw && deps_.redraw_desktop) {
        deps_.redraw_desktop();
      } else if (action == FirstImageAction::kRecreateCapture) {
        RecreateCapture();
        watch.Restart(clock_.TickMs());
      }
    }
    if (pacer.FinishPass(new_image, now_us)) c.pacing_reanchor++;

    if (session_.TakeClientKeyframeRequest()) policy.RequestFromClient();
    if (shared_.keyframe_request->exchange(false)) policy.RequestFromPipeline();

    const bool has_previous = previous_image != nullptr || previous_texture != nullptr;
    const EncodeDecision decision = policy.Decide(now_us, new_image, has_previous);
    c.idle_refresh = policy.IdleRefreshes();
    if (decision.action != EncodeAction::kNothing) {
      if (decision.action == EncodeAction::kNewImage) {
        previous_image = frame.image;
        previous_texture = frame.texture;
        previous_width = frame.width;
        previous_height = frame.height;
      }
      EncodeJob job;
      job.frame_number = shared_.frame_counter->fetch_add(1);
      // Strictly increasing: the tablet orders and de-duplicates by it.
      job.timestamp_us = std::max(now_us, last_job_ts + 1);
      last_job_ts = job.timestamp_us;
      job.image = previous_image;
      job.texture = previous_texture;
      job.width = previous_width;
      job.height = previous_height;
      job.fps = fps;
      job.bitrate_kbps = StartupBitrateKbps(shared_.bitrate_kbps->load(), settings_.bitrate_kbps, settings_.width,
                                            settings_.height, settings_.fps, now_us - stream_start_us_);
      job.keyframe = decision.keyframe;
      job.keyframe_copies = decision.keyframe_copies;
      job.repeat = decision.action != EncodeAction::kNewImage;
      job.encoder_generation = generation;
      jobs_in_++;
      const uint64_t dropped = encode_queue_.Push(std::move(job));
      jobs_out_ += dropped;
      if (dropped > 0) {
        c.queue_drop += dropped;
        uint64_t suppressed = 0;
        if (overflow_log_.Allow(now_ms, &suppressed)) {
          LogWarn("[FrameLoop] Frame queue overflow; dropping oldest frame (dropped=%llu)", Ull(c.queue_drop.load()));
        }
      }
      const uint64_t depth = encode_queue_.Depth();
      c.queue_depth = depth;
      FrameCounters::RaisePeak(c.queue_peak, depth);
      c.total_frames++;
    }

    if (now_ms - last_stats_ms >= kStatsIntervalMs) {
      last_stats_ms = now_ms;
      session_.StatsReport(shared_.bitrate_kbps->load());
    }
    c.send_queue_depth = send_queue_.Depth();
    diag_.MaybeLog(now_ms, DiagContext());
  }
}

void FrameLoop::StopWorkers() {
  stopping_ = true;
  encode_queue_.Stop();
  send_queue_.Stop();
  if (deps_.sink != nullptr) deps_.sink->ResetStreamState();
  if (encode_thread_.joinable()) encode_thread_.join();
  if (send_thread_.joinable()) send_thread_.join();
}

void FrameLoop::EncodeWorker() {
  ThreadTaskScope task("Playback", "orvane-encode");
  LogInfo("[FrameLoop] Encode worker started (MMCSS=%s)", task.StatusText());
  EncodeJob job;
  while (!stopping_ && encode_queue_.Pop(&job)) {
    Encode(job);
    job = EncodeJob{};  // the image goes back to its pool now
    jobs_out_++;
  }
  LogInfo("[FrameLoop] Encode worker stopped");
}

bool FrameLoop::StartEncoderAt(uint32_t width, uint32_t height) {
  return deps_.encoder->Initialize(settings_.codec, width, height, settings_.fps, settings_.bitrate_kbps);
}

void FrameLoop::ResizeIfAsked() {
  const auto target = planner_.Next(shared_.encode_scale_permille->load(), settings_.supports_resize);
  if (!target) return;
  const uint32_t from = planner_.Current();
  const EncodeSize size = ScaledEncodeSize(*target, settings_.width, settings_.height);
  LogInfo("[FrameLoop] Decoder load: encode size %u/1000 -> %u/1000 (%ux%u, stream %ux%u)", from, *target,
          size.width, size.height, settings_.width, settings_.height);
  session_.StreamResize(size.width, size.height, settings_.width, settings_.height, *target);
  if (size.width != 0 && size.height != 0 && StartEncoderAt(size.width, size.height)) {
    planner_.Succeeded(*target);
    encode_width_ = size.width;
    encode_height_ = size.height;
  } else {
    const HostResult r = deps_.encoder->GetLastResult();
    LogWarn("[FrameLoop] Encoder could not start at %ux%u (code=%d msg=%s); keeping %u/1000", size.width,
            size.height, r.code, r.message.c_str(), from);
    planner_.Failed(*target);
    const EncodeSize back = ScaledEncodeSize(from, settings_.width, settings_.height);
    session_.StreamResize(back.width, back.height, settings_.width, settings_.height, from);
    if (StartEncoderAt(back.width, back.height)) {
      encode_width_ = back.width;
      encode_height_ = back.height;
    } else {
      LogError("[FrameLoop] Encoder restore at %ux%u failed; the reset path will retry", back.width, back.height);
    }
  }
  if (governor_.CapBytes() != 0) {
    const FrameSizeLimits limits = governor_.Limits();
    deps_.encoder->SetFrameSizeLimits(limits.vbv_bits, limits.min_qp);
  }
  generation_.fetch_add(1);
  RequestPipelineKeyframe();
}

void FrameLoop::ResetEncoder() {
  const uint64_t now_ms = clock_.TickMs();
  if (has_reset_ && now_ms - last_reset_ms_ < 1000) return;
  has_reset_ = true;
  last_reset_ms_ = now_ms;
  IVideoEncoder& encoder = *deps_.encoder;
  LogWarn("[FrameLoop] Encoder needs reset (consecutive_failures=%u); reinitializing", consecutive_failures_);
  if (encoder.Reset()) {
    FrameCounters& c = diag_.counters();
    c.enc_resets++;
    consecutive_failures_ = 0;
    generation_.fetch_add(1);
    RequestPipelineKeyframe();
    LogInfo("[FrameLoop] Encoder reset complete mode=%s resets=%llu", encoder.GetModeName(),
            Ull(c.enc_resets.load()));
  } else {
    const HostResult r = encoder.GetLastResult();
    LogError("[FrameLoop] Encoder reset failed code=%d msg=%s hr=0x%08lX", r.code, r.message.c_str(),
             static_cast<unsigned long>(static_cast<uint32_t>(r.hr)));
  }
}

void FrameLoop::Encode(EncodeJob& job) {
  IVideoEncoder& encoder = *deps_.encoder;
  FrameCounters& c = diag_.counters();
  if (job.texture != nullptr && job.encoder_generation != generation_.load()) {
    c.stale_drop++;
    RequestPipelineKeyframe();
    return;
  }
  ResizeIfAsked();
  if (encoder.NeedsReset() || !encoder.IsInitialized()) {
    ResetEncoder();
    if (encoder.NeedsReset() || !encoder.IsInitialized()) return;
  }
  {
    std::lock_guard<std::mutex> lock(recent_mu_);
    recent_[recent_next_] = RecentJob{job.timestamp_us, job.frame_number, job.keyframe_copies};
    recent_next_ = (recent_next_ + 1) % std::size(recent_);
  }
  encoder.SetBitrate(job.bitrate_kbps);
  encoder.SetFrameRate(job.fps);
  if (job.keyframe) encoder.RequestKeyframe();
  const int64_t start_us = clock_.NowUs();
  bool ok = false;
  if (job.texture != nullptr && encoder.IsGpuDirect()) {
    ok = encoder.EncodeTexture(job.texture.get(), job.width, job.height, job.timestamp_us);
  } else if (job.image != nullptr && job.image->stride() > 0) {
    ok = encoder.EncodeBgra(job.image->bytes(), static_cast<uint32_t>(job.image->stride()), job.width, job.height,
                            job.timestamp_us);
  }
  if (!ok) {
    c.encode_fail++;
    ++consecutive_failures_;
    uint64_t suppressed = 0;
    if (encode_fail_log_.Allow(clock_.TickMs(), &suppressed)) {
      const HostResult r = encoder.GetLastResult();
      LogWarn(
          "[FrameDiag] Encode failed monitor=%u frame=%llu code=%d msg=%s hr=0x%08lX consecutive=%u suppressed=%llu",
          settings_.monitor_index, Ull(job.frame_number), r.code, r.message.c_str(),
          static_cast<unsigned long>(static_cast<uint32_t>(r.hr)), consecutive_failures_, Ull(suppressed));
    }
    if (encoder.NeedsReset()) ResetEncoder();
    return;
  }
  consecutive_failures_ = 0;
  Collect(job, start_us);
}

void FrameLoop::Collect(const EncodeJob& job, int64_t encode_start_us) {
  IVideoEncoder& encoder = *deps_.encoder;
  EncodedAccessUnit unit;
  while (encoder.ReceiveAccessUnit(&unit)) {
    PushAccessUnit(unit, job, encode_start_us);
    unit = EncodedAccessUnit{};
  }
}

void FrameLoop::PushAccessUnit(EncodedAccessUnit& unit, const EncodeJob& job, int64_t encode_start_us) {
  FrameCounters& c = diag_.counters();
  const uint64_t now_ms = clock_.TickMs();
  // The encoder may lag a frame or choose its own IDR: the unit's own
  // timestamp and keyframe flag count; frame number and copies follow the
  // job with that timestamp.
  const int64_t ts = unit.timestamp_us != 0 ? unit.timestamp_us : job.timestamp_us;
  uint64_t frame_number = job.frame_number;
  uint32_t copies = job.keyframe_copies;
  {
    std::lock_guard<std::mutex> lock(recent_mu_);
    for (const RecentJob& r : recent_) {
      if (r.timestamp_us == ts) {
        frame_number = r.frame_number;
        copies = r.copies;
        break;
      }
    }
  }
  if (unit.data.empty()) {
    c.empty_access_units++;
    if (empty_unit_log_.Allow(now_ms)) {
      LogWarn("[FrameDiag] Encoder returned empty access unit (monitor=%u, frame=%llu, ts_us=%llu)",
              settings_.monitor_index, Ull(frame_number), Ull(static_cast<uint64_t>(ts)));
    }
    return;
  }
  const OversizeVerdict verdict = governor_.Check(unit.data.size());
  if (verdict.level_changed) {
    const FrameSizeLimits limits = governor_.Limits();
    deps_.encoder->SetFrameSizeLimits(limits.vbv_bits, limits.min_qp);
  }
  if (verdict.drop) {
    c.oversize_drop++;
    RequestPipelineKeyframe();
    // What follows depends on the dropped unit: wait for the keyframe.
    if (send_queue_.WaitForKeyframe()) c.kf_requests++;
    if (oversize_log_.Allow(now_ms)) {
      const FrameSizeLimits limits = governor_.Limits();
      LogWarn(
          "[FrameLoop] Dropped %s of %zu bytes over the client's %u-byte frame limit (frame=%llu, level=%u, vbv=%u "
          "bits, min_qp=%u, drops=%llu)",
          unit.keyframe ? "keyframe" : "frame", unit.data.size(), governor_.CapBytes(), Ull(frame_number),
          governor_.Level(), limits.vbv_bits, limits.min_qp, Ull(c.oversize_drop.load()));
    }
    return;
  }
  if (!first_frame_sent_) {
    first_frame_sent_ = true;
    session_.FirstFrameProduced();
    LogInfo("[FrameDiag] First frame produced frame=%llu ts_us=%llu", Ull(frame_number),
            Ull(static_cast<uint64_t>(ts)));
  }
  SendItem item;
  item.data = std::move(unit.data);
  item.frame_number = frame_number;
  item.timestamp_us = ts;
  item.keyframe = unit.keyframe;
  item.second_flag = settings_.second_flag;
  item.send_count = unit.keyframe ? std::max<uint32_t>(copies, 1) : 1;
  item.encode_start_us = encode_start_us;
  item.encode_end_us = clock_.NowUs();
  units_in_++;
  const SendPushResult pushed = send_queue_.Push(std::move(item), clock_.NowUs());
  units_out_ += pushed.dropped;
  if (pushed.dropped > 0) {
    c.send_queue_drop += pushed.dropped;
    if (pushed.keyframe_requested) {
      c.kf_requests++;
      RequestPipelineKeyframe();
    }
    if (send_queue_log_.Allow(now_ms)) {
      LogWarn("[FrameLoop] Send queue backed up; dropped stale access units (dropped=%llu, keyframe_requested=%s)",
              Ull(c.send_queue_drop.load()), send_queue_.WaitingForKeyframe() ? "yes" : "no");
    }
  }
  const uint64_t depth = send_queue_.Depth();
  FrameCounters::RaisePeak(c.send_queue_peak, depth);
}

void FrameLoop::SendWorker() {
  ThreadTaskScope task("Games", "orvane-send");
  LogInfo("[FrameLoop] Send worker started (MMCSS=%s)", task.StatusText());
  FrameCounters& c = diag_.counters();
  SendItem item;
  int64_t waited_us = 0;
  while (!stopping_ && send_queue_.Pop(&item, clock_, &waited_us)) {
    FrameCounters::RaisePeak(c.send_queue_delay_peak_us, static_cast<uint64_t>(waited_us));
    FrameTiming timing;
    timing.frame_number = item.frame_number;
    timing.capture_us = item.timestamp_us;
    timing.keyframe = item.keyframe;
    timing.bytes = item.data.size();
    timing.encode_start_us = item.encode_start_us;
    timing.encode_end_us = item.encode_end_us;
    for (uint32_t i = 0; i < item.send_count; ++i) {
      if (stopping_) break;
      if (i > 0 && send_queue_.HasWaiting()) {
        c.kf_copy_skip += item.send_count - i;
        break;
      }
      uint32_t seq = shared_.next_video_seq->load();
      const int64_t before_us = clock_.NowUs();
      const bool ok = deps_.sink->SendVideoFrame(seq, static_cast<uint64_t>(item.timestamp_us), item.keyframe,
                                                 item.second_flag, item.data.data(), item.data.size());
      shared_.next_video_seq->store(seq);
      if (ok) {
        c.access_units++;
      } else {
        c.send_fail++;
        // The tablet cannot decode past a unit it did not get.
        if (send_queue_.WaitForKeyframe()) {
          c.kf_requests++;
          RequestPipelineKeyframe();
        }
        break;
      }
      if (i == 0) {
        timing.send_start_us = before_us;
        timing.last_datagram_us = clock_.NowUs();
      }
    }
    if (deps_.observer != nullptr && timing.last_datagram_us != 0) deps_.observer->OnFrameSent(timing);
    item = SendItem{};
    units_out_++;
  }
  LogInfo("[FrameLoop] Send worker stopped");
}

}  // namespace orvane
