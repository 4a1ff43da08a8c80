// Loopback capture on Linux: the monitor of PulseAudio's default sink,
// recorded through libpulse. The threaded main loop's thread is the capture
// thread; the server converts to 48 kHz stereo s16le. A sink monitor holds
// every stream the sink plays, so only endpoint loopback exists here.

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/rtclock.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "host/audio/capture_timeline.h"
#include "host/audio/loopback_backend.h"
#include "host/common/clock.h"
#include "host/common/logger.h"

namespace orvane {

namespace {

constexpr uint32_t kRate = 48000;
constexpr uint32_t kChannels = 2;
constexpr uint32_t kBytesPerFrame = kChannels * sizeof(int16_t);
constexpr uint32_t kFragmentBytes = kRate / 50 * kBytesPerFrame;  // 20 ms
constexpr uint32_t kMaxQueueBytes = kRate * kBytesPerFrame;       // at most 1 s waits on the server
constexpr uint32_t kMaxDeliverFrames = kRate / 10;                // a callback gets at most 100 ms
constexpr int kWaitMs = 2000;                                     // every connect and request
constexpr pa_usec_t kMaxPlausibleLatencyUs = 10'000'000;
constexpr int kCodeStreamFailed = 3;                              // the capture broke while running
constexpr const char* kMonitorSource = "@DEFAULT_MONITOR@";

const char* ContextError(pa_context* context) {
  return context != nullptr ? pa_strerror(pa_context_errno(context)) : "no context";
}

class PulseLoopbackBackend final : public ILoopbackBackend {
 public:
  PulseLoopbackBackend() = default;
  ~PulseLoopbackBackend() override { Release(); }
  PulseLoopbackBackend(const PulseLoopbackBackend&) = delete;
  PulseLoopbackBackend& operator=(const PulseLoopbackBackend&) = delete;

  bool SetUp(int mode, AudioFormat* format, HostResult* result) override {
    if (mode == kLoopbackModeProcess) {
      // A sink monitor holds every stream the sink plays, the host's too.
      *result = HostResult::Failure(kAudioCaptureErrorCode, "Process loopback is not available with PulseAudio");
      return false;
    }
    result_ = result;
    const bool ok = SetUpEndpoint();
    result_ = nullptr;
    if (ok) *format = AudioFormat{kRate, kChannels, 16};
    return ok;
  }

  bool StartDelivery(PcmCallback callback, CaptureResultReport report, HostResult* result) override {
    if (loop_ == nullptr || stream_ == nullptr) {
      *result = HostResult::Failure(kAudioCaptureErrorCode, "Audio capture was not initialized before Start()");
      return false;
    }
    pa_threaded_mainloop_lock(loop_);
    callback_ = std::move(callback);
    report_ = std::move(report);
    run_failed_ = false;
    latency_failure_logged_ = false;
    timeline_.Restart();
    delivering_ = true;
    const bool uncorked = Cork(false);
    if (!uncorked) {
      delivering_ = false;
      callback_ = nullptr;
      report_ = nullptr;
    }
    pa_threaded_mainloop_unlock(loop_);
    if (!uncorked) {
      *result = HostResult::Failure(kAudioCaptureErrorCode, "Audio client start failed");
      return false;
    }
    return true;
  }

  bool Delivering() const override { return delivering_.load() && !run_failed_.load(); }

  void StopDelivery() override {
    if (loop_ == nullptr) return;
    pa_threaded_mainloop_lock(loop_);
    // Under the loop's lock no read callback is running; after this none
    // delivers.
    delivering_ = false;
    if (stream_ != nullptr && pa_stream_get_state(stream_) == PA_STREAM_READY) {
      if (!Cork(true)) LogWarn("[Audio] PulseAudio could not pause the monitor stream");
    }
    callback_ = nullptr;
    report_ = nullptr;
    pa_threaded_mainloop_unlock(loop_);
    // The capture thread ends; the connection and stream stay until Release.
    pa_threaded_mainloop_stop(loop_);
  }

  // Ends the loop thread and frees every libpulse object.
  void Release() override {
    if (loop_ == nullptr) return;
    pa_threaded_mainloop_lock(loop_);
    delivering_ = false;
    callback_ = nullptr;
    report_ = nullptr;
    if (stream_ != nullptr) {
      pa_stream_set_read_callback(stream_, nullptr, nullptr);
      pa_stream_set_state_callback(stream_, nullptr, nullptr);
      if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)) && pa_stream_disconnect(stream_) < 0) {
        LogWarn("[Audio] pa_stream_disconnect failed: %s", ContextError(context_));
      }
      pa_stream_unref(stream_);
      stream_ = nullptr;
    }
    if (context_ != nullptr) {
      pa_context_set_state_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
      pa_context_unref(context_);
      context_ = nullptr;
    }
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
  }

 private:
  // --- set-up (a failure leaves the rest to Release) ---

  bool SetUpEndpoint() {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr) {
      LogError("[Audio] pa_threaded_mainloop_new failed");
      return Fail("PulseAudio main loop creation failed");
    }
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Orvane Display host");
    if (context_ == nullptr) {
      LogError("[Audio] pa_context_new failed");
      Release();
      return Fail("PulseAudio context creation failed");
    }
    pa_context_set_state_callback(context_, &PulseLoopbackBackend::OnContextState, this);
    // The server comes from PULSE_SERVER or the client configuration; the
    // host never starts one of its own.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      LogWarn("[Audio] pa_context_connect failed: %s; audio will be unavailable", ContextError(context_));
      const std::string why = ContextError(context_);
      Release();
      return Fail("No PulseAudio server (" + why + "): audio will be unavailable");
    }
    if (pa_threaded_mainloop_start(loop_) < 0) {
      LogError("[Audio] pa_threaded_mainloop_start failed");
      Release();
      return Fail("PulseAudio main loop start failed");
    }

    pa_threaded_mainloop_lock(loop_);
    const bool ready = WaitLocked(
        [this] {
          const pa_context_state_t s = pa_context_get_state(context_);
          return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
        },
        kWaitMs);
    const pa_context_state_t state = pa_context_get_state(context_);
    if (!ready || state != PA_CONTEXT_READY) {
      const std::string why = ready ? ContextError(context_) : "no answer within 2000 ms";
      pa_threaded_mainloop_unlock(loop_);
      LogWarn("[Audio] PulseAudio connection failed: %s; audio will be unavailable", why.c_str());
      Release();
      return Fail("No PulseAudio server (" + why + "): audio will be unavailable");
    }

    pa_sample_spec sample_format{};
    sample_format.format = PA_SAMPLE_S16LE;
    sample_format.rate = kRate;
    sample_format.channels = kChannels;
    pa_channel_map map{};
    pa_channel_map_init_stereo(&map);
    stream_ = pa_stream_new(context_, "PC sound for the tablet", &sample_format, &map);
    if (stream_ == nullptr) {
      const std::string why = ContextError(context_);
      pa_threaded_mainloop_unlock(loop_);
      LogError("[Audio] pa_stream_new failed: %s", why.c_str());
      Release();
      return Fail("PulseAudio record stream creation failed");
    }
    pa_stream_set_state_callback(stream_, &PulseLoopbackBackend::OnStreamState, this);
    pa_stream_set_read_callback(stream_, &PulseLoopbackBackend::OnRead, this);
    pa_buffer_attr attr{};
    attr.maxlength = kMaxQueueBytes;
    attr.fragsize = kFragmentBytes;
    attr.tlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE |
                                                      PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_START_CORKED);
    if (pa_stream_connect_record(stream_, kMonitorSource, &attr, flags) < 0) {
      const std::string why = ContextError(context_);
      pa_threaded_mainloop_unlock(loop_);
      LogError("[Audio] pa_stream_connect_record(%s) failed: %s", kMonitorSource, why.c_str());
      Release();
      return Fail("PulseAudio monitor recording failed");
    }
    const bool settled = WaitLocked(
        [this] {
          const pa_stream_state_t s = pa_stream_get_state(stream_);
          return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
        },
        kWaitMs);
    if (!settled || pa_stream_get_state(stream_) != PA_STREAM_READY) {
      const std::string why = settled ? ContextError(context_) : "not ready within 2000 ms";
      pa_threaded_mainloop_unlock(loop_);
      LogError("[Audio] PulseAudio monitor stream failed: %s", why.c_str());
      Release();
      return Fail("PulseAudio monitor recording failed");
    }
    const pa_sample_spec* got = pa_stream_get_sample_spec(stream_);
    const char* device = pa_stream_get_device_name(stream_);
    const std::string source = EscapeUntrusted(device != nullptr ? device : "?");
    const bool spec_ok =
        got != nullptr && got->format == PA_SAMPLE_S16LE && got->rate == kRate && got->channels == kChannels;
    pa_threaded_mainloop_unlock(loop_);
    if (!spec_ok) {
      LogError("[Audio] PulseAudio monitor stream is not s16le %uHz %uch", kRate, kChannels);
      Release();
      return Fail("PulseAudio monitor stream has an unexpected format");
    }
    ++clients_created_;
    LogInfo("[Audio] Monitor source %s: %uHz, %uch, %ubit", source.c_str(), kRate, kChannels, 16u);
    LogInfo("[Audio] PulseAudio endpoint loopback initialized (client %u)", clients_created_);
    return true;
  }

  bool Fail(const std::string& message) {
    if (result_ != nullptr) *result_ = HostResult::Failure(kAudioCaptureErrorCode, message);
    return false;
  }

  // --- waits on the loop (its lock held, never on the loop thread) ---

  // Waits until done() holds or limit_ms passes; every callback of this
  // capture signals the loop, and a timer wakes the wait at the limit.
  template <typename Pred>
  bool WaitLocked(Pred done, int limit_ms) {
    const pa_usec_t deadline = pa_rtclock_now() + static_cast<pa_usec_t>(limit_ms) * 1000;
    pa_time_event* timer = pa_context_rttime_new(context_, deadline, &PulseLoopbackBackend::OnTimer, this);
    if (timer == nullptr) {
      LogError("[Audio] pa_context_rttime_new failed");
      return done();
    }
    bool ok = done();
    while (!ok && pa_rtclock_now() < deadline) {
      pa_threaded_mainloop_wait(loop_);
      ok = done();
    }
    pa_threaded_mainloop_get_api(loop_)->time_free(timer);
    return ok;
  }

  // Corks or uncorks the stream and waits for the server's answer.
  bool Cork(bool cork) {
    op_done_ = false;
    op_success_ = false;
    pa_operation* op = pa_stream_cork(stream_, cork ? 1 : 0, &PulseLoopbackBackend::OnStreamSuccess, this);
    if (op == nullptr) {
      LogError("[Audio] pa_stream_cork(%d) failed: %s", cork ? 1 : 0, ContextError(context_));
      return false;
    }
    const bool answered = WaitLocked([this] { return op_done_; }, kWaitMs);
    if (!answered) pa_operation_cancel(op);
    pa_operation_unref(op);
    if (!answered || !op_success_) {
      LogError("[Audio] pa_stream_cork(%d) was not confirmed: %s", cork ? 1 : 0,
               answered ? ContextError(context_) : "no answer within 2000 ms");
      return false;
    }
    return true;
  }

  // --- on the loop thread (its lock held) ---

  static void OnTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseLoopbackBackend*>(self)->loop_, 0);
  }

  static void OnContextState(pa_context* context, void* self_ptr) {
    auto* self = static_cast<PulseLoopbackBackend*>(self_ptr);
    if (pa_context_get_state(context) == PA_CONTEXT_FAILED && self->delivering_.load()) {
      self->RunFailure(pa_strerror(pa_context_errno(context)));
    }
    pa_threaded_mainloop_signal(self->loop_, 0);
  }

  static void OnStreamState(pa_stream* stream, void* self_ptr) {
    auto* self = static_cast<PulseLoopbackBackend*>(self_ptr);
    if (pa_stream_get_state(stream) == PA_STREAM_FAILED && self->delivering_.load()) {
      self->RunFailure(ContextError(self->context_));
    }
    pa_threaded_mainloop_signal(self->loop_, 0);
  }

  static void OnStreamSuccess(pa_stream*, int success, void* self_ptr) {
    auto* self = static_cast<PulseLoopbackBackend*>(self_ptr);
    self->op_success_ = success != 0;
    self->op_done_ = true;
    pa_threaded_mainloop_signal(self->loop_, 0);
  }

  // The first failure of a run is logged and ends it: the next Start
  // rebuilds.
  void RunFailure(const char* why) {
    if (run_failed_.exchange(true)) return;
    LogWarn("[Audio] PulseAudio capture failed: %s", why);
    if (report_) report_(HostResult::Failure(kCodeStreamFailed, "Audio capture stream failed"));
  }

  static void OnRead(pa_stream* stream, size_t, void* self_ptr) {
    static_cast<PulseLoopbackBackend*>(self_ptr)->ReadAvailable(stream);
  }

  void ReadAvailable(pa_stream* stream) {
    for (;;) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0) {
        RunFailure(ContextError(context_));
        return;
      }
      if (bytes == 0) return;  // nothing buffered (data is null too)
      if (delivering_.load() && callback_) {
        // The first frame of this chunk was played the latency ago: the
        // latency still counts the chunk (it is dropped below), which is the
        // same as now - latency after the drop - the chunk's duration.
        const auto frames = static_cast<uint32_t>(bytes / kBytesPerFrame);
        const int64_t estimate_us = HostClockUs() - Latency(stream, bytes);
        Deliver(static_cast<const int16_t*>(data), frames, timeline_.Stamp(estimate_us, frames));
      }
      if (pa_stream_drop(stream) < 0) {
        RunFailure(ContextError(context_));
        return;
      }
    }
  }

  // How long ago the first frame still buffered here was played by the
  // sink, in us. This is what pa_stream_get_latency() reports (the data not
  // yet read, plus the transport and the source's own buffer, minus the sink's
  // buffer for a monitor, whose data leaves the sink before it is heard), but
  // with the buffered part measured here: the interpolated figure starts from
  // the server's last timing report and is smoothed towards the truth, which
  // took over a second to settle after the start of a monitor stream and
  // would bend the timestamps meanwhile. The server's figures come from the
  // automatic timing updates.
  int64_t Latency(pa_stream* stream, size_t chunk_bytes) {
    size_t buffered = pa_stream_readable_size(stream);
    if (buffered == static_cast<size_t>(-1) || buffered < chunk_bytes) buffered = chunk_bytes;
    int64_t us = static_cast<int64_t>(buffered / kBytesPerFrame) * 1'000'000 / kRate;
    const pa_timing_info* timing = pa_stream_get_timing_info(stream);
    if (timing != nullptr) {
      const pa_usec_t server_us = timing->transport_usec + timing->source_usec;
      if (server_us > kMaxPlausibleLatencyUs || timing->sink_usec > kMaxPlausibleLatencyUs) {
        if (!latency_failure_logged_) {
          latency_failure_logged_ = true;
          LogWarn("[Audio] PulseAudio reported an implausible latency (source %llu us, sink %llu us); ignored",
                  static_cast<unsigned long long>(server_us), static_cast<unsigned long long>(timing->sink_usec));
        }
      } else {
        us += static_cast<int64_t>(server_us) - static_cast<int64_t>(timing->sink_usec);
      }
    }
    return us;
  }

  // samples null: a hole in the recording, delivered as silence.
  void Deliver(const int16_t* samples, uint32_t frames, int64_t timestamp_us) {
    uint32_t done = 0;
    while (done < frames) {
      const uint32_t n = std::min(frames - done, kMaxDeliverFrames);
      const int64_t at = timestamp_us + static_cast<int64_t>(done) * 1'000'000 / kRate;
      if (samples != nullptr) {
        callback_(samples + static_cast<size_t>(done) * kChannels, n, kChannels, at);
      } else {
        if (zeros_.empty()) zeros_.assign(static_cast<size_t>(kMaxDeliverFrames) * kChannels, 0);
        callback_(zeros_.data(), n, kChannels, at);
      }
      done += n;
    }
  }

  // Used by LoopbackCapture's calls, one at a time, and by the loop thread
  // under the loop's lock.
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  HostResult* result_ = nullptr;  // where SetUp's failure goes
  unsigned clients_created_ = 0;
  std::atomic<bool> delivering_{false};
  std::atomic<bool> run_failed_{false};

  // Under the loop's lock.
  PcmCallback callback_;
  CaptureResultReport report_;
  std::vector<int16_t> zeros_;
  CaptureTimeline timeline_{kRate};
  bool op_done_ = false;
  bool op_success_ = false;
  bool latency_failure_logged_ = false;
};

}  // namespace

std::unique_ptr<ILoopbackBackend> MakePlatformLoopbackBackend() { return std::make_unique<PulseLoopbackBackend>(); }

}  // namespace orvane
