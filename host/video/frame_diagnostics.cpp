#include "host/video/frame_diagnostics.h"

#include "host/common/logger.h"

namespace orvane {

namespace {

unsigned long long V(const std::atomic<uint64_t>& a) { return static_cast<unsigned long long>(a.load()); }

}  // namespace

void FrameCounters::RaisePeak(std::atomic<uint64_t>& peak, uint64_t value) {
  uint64_t seen = peak.load();
  while (value > seen && !peak.compare_exchange_weak(seen, value)) {
  }
}

uint64_t FrameCounters::FailureSum() const {
  return capture_fail + dup_reinit + wgc_reinit + dup_timeout + wgc_timeout + backend_switch + encode_fail +
         empty_access_units + send_fail + queue_drop + send_queue_drop + stale_drop + oversize_drop + enc_resets;
}

bool FrameDiagnostics::MaybeLog(uint64_t now_ms, const FrameDiagContext& context) {
  if (now_ms - last_ms_ < kMinimumIntervalMs) return false;
  const uint64_t failures = counters_.FailureSum();
  if (failures == last_failures_ && now_ms - last_ms_ < kQuietIntervalMs) return false;
  last_ms_ = now_ms;
  last_failures_ = failures;
  LogPipeline(context);
  return true;
}

void FrameDiagnostics::LogPipeline(const FrameDiagContext& x) {
  const FrameCounters& c = counters_;
  LogInfo(
      "[FrameDiag] Pipeline total_frames=%llu capture_fail=%llu dup_reinit=%llu wgc_reinit=%llu dup_timeout=%llu "
      "wgc_timeout=%llu backend_switch=%llu active_backend=%s encode_fail=%llu access_units=%llu "
      "empty_access_units=%llu send_fail=%llu queue_depth=%llu queue_peak=%llu queue_drop=%llu "
      "send_queue_depth=%llu send_queue_peak=%llu send_queue_drop=%llu send_queue_delay_peak_us=%llu "
      "kf_copy_skip=%llu idle_refresh=%llu kf_requests=%llu enc_resets=%llu stale_drop=%llu oversize_drop=%llu "
      "pacing_reanchor=%llu last_frame=%llu ts_us=%llu enc_mode=%s enc_mft=%s enc_adapter=%s enc_feature=0x%X "
      "enc_fallback=%s key_state=%s compat_promotions=%llu",
      V(c.total_frames), V(c.capture_fail), V(c.dup_reinit), V(c.wgc_reinit), V(c.dup_timeout), V(c.wgc_timeout),
      V(c.backend_switch), x.active_backend.c_str(), V(c.encode_fail), V(c.access_units), V(c.empty_access_units),
      V(c.send_fail), V(c.queue_depth), V(c.queue_peak), V(c.queue_drop), V(c.send_queue_depth),
      V(c.send_queue_peak), V(c.send_queue_drop), V(c.send_queue_delay_peak_us), V(c.kf_copy_skip),
      V(c.idle_refresh), V(c.kf_requests), V(c.enc_resets), V(c.stale_drop), V(c.oversize_drop),
      V(c.pacing_reanchor), static_cast<unsigned long long>(x.last_frame), static_cast<unsigned long long>(x.ts_us),
      x.enc_mode.c_str(), x.enc_mft.c_str(), x.enc_adapter.c_str(), x.enc_feature, x.enc_fallback.c_str(),
      x.key_state.c_str(), static_cast<unsigned long long>(x.compat_promotions));
}

void FrameDiagnostics::LogFinal(const FrameDiagContext& x) {
  const FrameCounters& c = counters_;
  LogInfo(
      "[FrameDiag] Final pipeline total_frames=%llu capture_fail=%llu dup_reinit=%llu wgc_reinit=%llu "
      "dup_timeout=%llu wgc_timeout=%llu backend_switch=%llu active_backend=%s encode_fail=%llu access_units=%llu "
      "empty_access_units=%llu send_fail=%llu queue_peak=%llu queue_drop=%llu send_queue_peak=%llu "
      "send_queue_drop=%llu send_queue_delay_peak_us=%llu kf_copy_skip=%llu idle_refresh=%llu kf_requests=%llu "
      "enc_resets=%llu stale_drop=%llu oversize_drop=%llu enc_mode=%s enc_mft=%s enc_adapter=%s enc_feature=0x%X "
      "enc_fallback=%s key_state=%s compat_promotions=%llu",
      V(c.total_frames), V(c.capture_fail), V(c.dup_reinit), V(c.wgc_reinit), V(c.dup_timeout), V(c.wgc_timeout),
      V(c.backend_switch), x.active_backend.c_str(), V(c.encode_fail), V(c.access_units), V(c.empty_access_units),
      V(c.send_fail), V(c.queue_peak), V(c.queue_drop), V(c.send_queue_peak), V(c.send_queue_drop),
      V(c.send_queue_delay_peak_us), V(c.kf_copy_skip), V(c.idle_refresh), V(c.kf_requests), V(c.enc_resets),
      V(c.stale_drop), V(c.oversize_drop), x.enc_mode.c_str(), x.enc_mft.c_str(), x.enc_adapter.c_str(),
      x.enc_feature, x.enc_fallback.c_str(), x.key_state.c_str(), static_cast<unsigned long long>(x.compat_promotions));
}

}  // namespace orvane
