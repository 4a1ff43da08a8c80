// PulseEndpointVolume: the PulseAudio server's default sink as the PC
// speakers. Every call opens a connection of its own on a private main loop
// (no server is spawned) and gives up after 2 s, so a stuck server cannot
// hold the mute controller's lock for longer.

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cmath>
#include <string>

#include "host/audio/endpoint_volume.h"
#include "host/common/clock.h"
#include "host/common/logger.h"
#include "host/common/rate_limiter.h"
#include "host/common/utf.h"

namespace orvane::endpoint_mute {

namespace {

constexpr uint32_t kCallLimitMs = 2000;

void SetResult(HostResult* result, int code, std::string message) {
  if (result) *result = HostResult::Failure(code, std::move(message));
}

// One connection for one call.
class PulseCall {
 public:
  PulseCall() : deadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(kCallLimitMs)) {}
  ~PulseCall() {
    if (context_) {
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    if (loop_) pa_mainloop_free(loop_);
  }
  PulseCall(const PulseCall&) = delete;
  PulseCall& operator=(const PulseCall&) = delete;

  // Connects to the server (PULSE_SERVER or the user's default).
  bool Connect(HostResult* result) {
    loop_ = pa_mainloop_new();
    if (!loop_) return Fail(result, kEndpointUnavailable, "pa_mainloop_new failed");
    context_ = pa_context_new(pa_mainloop_get_api(loop_), "Orvane Display speakers");
    if (!context_) return Fail(result, kEndpointUnavailable, "pa_context_new failed");
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      return Fail(result, kEndpointUnavailable, std::string("pa_context_connect: ") + ErrorText());
    }
    for (;;) {
      const pa_context_state_t state = pa_context_get_state(context_);
      if (state == PA_CONTEXT_READY) return true;
      if (!PA_CONTEXT_IS_GOOD(state)) {
        return Fail(result, kEndpointUnavailable, std::string("connection failed: ") + ErrorText());
      }
      if (!Iterate(result)) return false;
    }
  }

  // Runs the loop until *done or the operation ends; takes the operation.
  bool Finish(pa_operation* op, const bool* done, HostResult* result) {
    if (!op) return Fail(result, kEndpointCallFailed, std::string("request refused: ") + ErrorText());
    bool ok = true;
    while (!*done && pa_operation_get_state(op) == PA_OPERATION_RUNNING) {
      if (!Iterate(result)) {
        ok = false;
        break;
      }
    }
    if (ok && !*done) ok = Fail(result, kEndpointCallFailed, std::string("request cancelled: ") + ErrorText());
    if (!ok) pa_operation_cancel(op);
    pa_operation_unref(op);
    return ok;
  }

  pa_context* context() const { return context_; }
  int error() const { return context_ ? pa_context_errno(context_) : PA_ERR_CONNECTIONREFUSED; }
  const char* ErrorText() const { return pa_strerror(error()); }

 private:
  bool Iterate(HostResult* result) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline_ - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      SetResult(result, kEndpointTimedOut, "no answer within 2000 ms");
      return false;
    }
    if (pa_mainloop_prepare(loop_, static_cast<int>(left.count())) < 0 || pa_mainloop_poll(loop_) < 0 ||
        pa_mainloop_dispatch(loop_) < 0) {
      SetResult(result, kEndpointUnavailable, "main loop failed");
      return false;
    }
    return true;
  }
  static bool Fail(HostResult* result, int code, std::string message) {
    SetResult(result, code, std::move(message));
    return false;
  }

  std::chrono::steady_clock::time_point deadline_;
  pa_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
};

struct SinkQuery {
  bool done = false;
  bool found = false;
  bool muted = false;
  float volume = 0.0f;
  uint8_t channels = 0;
};

void OnSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  auto* q = static_cast<SinkQuery*>(userdata);
  if (info && !q->found) {
    q->found = true;
    q->muted = info->mute != 0;
    q->volume = static_cast<float>(static_cast<double>(pa_cvolume_avg(&info->volume)) / PA_VOLUME_NORM);
    q->channels = info->volume.channels;
  }
  if (eol != 0) q->done = true;
}

struct ServerQuery {
  bool done = false;
  std::string default_sink;
};

void OnServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* q = static_cast<ServerQuery*>(userdata);
  if (info && info->default_sink_name) q->default_sink = info->default_sink_name;
  q->done = true;
}

struct SuccessQuery {
  bool done = false;
  bool success = false;
};

void OnSuccess(pa_context*, int success, void* userdata) {
  auto* q = static_cast<SuccessQuery*>(userdata);
  q->success = success != 0;
  q->done = true;
}

class PulseEndpointVolume final : public IEndpointVolume {
 public:
  bool DefaultRenderDeviceId(std::u16string* id, HostResult* result) override {
    PulseCall call;
    HostResult r;
    if (!Connect(call, &r)) return Fail(result, r);
    ServerQuery q;
    if (!call.Finish(pa_context_get_server_info(call.context(), OnServerInfo, &q), &q.done, &r)) {
      if (AllowWarning()) LogWarn("[AudioMute] PulseAudio server information could not be read: %s", r.message.c_str());
      return Fail(result, r);
    }
    if (q.default_sink.empty()) {
      SetResult(result, kEndpointNoDevice, "the server has no default sink");
      return false;
    }
    *id = Utf8ToUtf16(q.default_sink);
    if (result) *result = HostResult::Success();
    return true;
  }

  bool GetState(std::u16string_view id, EndpointState* state, HostResult* result) override {
    PulseCall call;
    HostResult r;
    SinkQuery q;
    if (!QuerySink(call, id, &q, &r)) return Fail(result, r);
    state->muted = q.muted;
    state->volume = q.volume;
    if (result) *result = HostResult::Success();
    return true;
  }

  bool SetMute(std::u16string_view id, bool muted, HostResult* result) override {
    PulseCall call;
    HostResult r;
    const std::string name = Utf16ToUtf8(id);
    SuccessQuery q;
    bool ok = Connect(call, &r) &&
              call.Finish(pa_context_set_sink_mute_by_name(call.context(), name.c_str(), muted ? 1 : 0, OnSuccess, &q),
                          &q.done, &r);
    if (ok && !q.success) {
      ok = false;
      r = HostResult::Failure(kEndpointCallFailed, std::string("refused: ") + call.ErrorText());
    }
    if (!ok) return Fail(result, WithErrorNumber(call, r));
    if (result) *result = HostResult::Success();
    return true;
  }

  bool SetVolume(std::u16string_view id, float scalar, HostResult* result) override {
    PulseCall call;
    HostResult r;
    SinkQuery q;
    bool ok = QuerySink(call, id, &q, &r);
    if (ok && q.channels == 0) {
      ok = false;
      r = HostResult::Failure(kEndpointCallFailed, "sink has no channels");
    }
    SuccessQuery done;
    if (ok) {
      pa_cvolume volume;
      pa_cvolume_set(&volume, q.channels,
                     static_cast<pa_volume_t>(std::lround(static_cast<double>(scalar) * PA_VOLUME_NORM)));
      const std::string name = Utf16ToUtf8(id);
      ok = call.Finish(pa_context_set_sink_volume_by_name(call.context(), name.c_str(), &volume, OnSuccess, &done),
                       &done.done, &r);
      if (ok && !done.success) {
        ok = false;
        r = HostResult::Failure(kEndpointCallFailed, std::string("refused: ") + call.ErrorText());
      }
    }
    if (!ok) return Fail(result, WithErrorNumber(call, r));
    if (result) *result = HostResult::Success();
    return true;
  }

 private:
  bool AllowWarning() { return limit_.Allow(TickCountMs()); }

  bool Connect(PulseCall& call, HostResult* r) {
    if (call.Connect(r)) return true;
    if (AllowWarning()) LogWarn("[AudioMute] PulseAudio is not reachable: %s", r->message.c_str());
    return false;
  }

  bool QuerySink(PulseCall& call, std::u16string_view id, SinkQuery* q, HostResult* r) {
    if (id.empty()) {
      *r = HostResult::Failure(kEndpointNotFound, "empty sink name");
      return false;
    }
    if (!Connect(call, r)) return false;
    const std::string name = Utf16ToUtf8(id);
    if (!call.Finish(pa_context_get_sink_info_by_name(call.context(), name.c_str(), OnSinkInfo, q), &q->done, r)) {
      if (AllowWarning()) {
        LogWarn("[AudioMute] Sink %s could not be read: %s", EscapeUntrusted(name).c_str(), r->message.c_str());
      }
      return false;
    }
    if (!q->found) {
      *r = HostResult::Failure(kEndpointNotFound, "no such sink");
      if (AllowWarning()) {
        LogWarn("[AudioMute] Sink %s could not be read: %s", EscapeUntrusted(name).c_str(), r->message.c_str());
      }
      return false;
    }
    return true;
  }

  // The result with the server's error number as its error, or the result
  // code when the call never reached the server.
  static HostResult WithErrorNumber(const PulseCall& call, HostResult r) {
    const int error = call.context() ? call.error() : 0;
    r.hr = static_cast<HResult>(error != 0 ? error : r.code);
    return r;
  }

  static bool Fail(HostResult* result, const HostResult& r) {
    if (result) *result = r;
    return false;
  }

  // Without a server every mute attempt fails; one line per 10 s says so.
  RateLimiter limit_{10'000};
};

}  // namespace

std::unique_ptr<IEndpointVolume> MakeEndpointVolumeBackend() { return std::make_unique<PulseEndpointVolume>(); }

}  // namespace orvane::endpoint_mute
