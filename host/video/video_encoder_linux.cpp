#include "host/video/video_encoder_linux.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "host/common/logger.h"
#include "host/video/color_convert.h"
#include "host/video/encoder_rules.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
}

namespace orvane {

namespace {

constexpr uint64_t kReopenIntervalMs = 1000;
// Highest QP both libraries take at 8 bits.
constexpr uint32_t kMaxQp = 51;
// Input times waiting for their access units; the libraries hold none with
// these settings, so this only bounds a misbehaving one.
constexpr size_t kMaxPendingTimes = 256;

std::string AvErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(error, text, sizeof(text)) < 0) {
    return "libav error " + std::to_string(error);
  }
  return text;
}

unsigned long HrArg(HResult hr) { return static_cast<unsigned long>(static_cast<uint32_t>(hr)); }

// kbps x 1000 x opened fps / current fps, saturating like every bit rate the
// host hands an encoder. A bit rate of 0 would switch the libraries to
// constant quality, which later rate changes cannot leave, so 1 kbit/s is the
// floor.
int64_t ScaledBitRate(uint32_t kbps, uint32_t opened_fps, uint32_t current_fps) {
  const uint64_t bits = static_cast<uint64_t>(std::max<uint32_t>(kbps, 1)) * 1000 * opened_fps /
                        std::max<uint32_t>(current_fps, 1);
  return static_cast<int64_t>(std::min<uint64_t>(bits, std::numeric_limits<uint32_t>::max()));
}

// The VBV limit, else a quarter second of the (unscaled) bit rate. Both
// libraries count the buffer in kbit, so less than 1000 bits would turn it off.
int VbvBufferBits(uint32_t kbps, uint32_t vbv_bits) {
  const uint64_t bits = vbv_bits != 0 ? vbv_bits : BitsPerSecond(std::max<uint32_t>(kbps, 1)) / 4;
  return static_cast<int>(std::clamp<uint64_t>(bits, 1000, INT_MAX));
}


// Pictures of at least this many pixels are converted by two threads.
constexpr uint64_t kSplitConversionPixels = 640 * 360;

// One BGRA picture (or a band of its rows) and the planes it goes to: NV12
// (Y, interleaved CbCr) or I420 (Y, Cb, Cr).
struct ConversionJob {
  const uint8_t* pixels = nullptr;
  uint32_t pitch = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  bool i420 = false;
  uint8_t* planes[3] = {};
  uint32_t strides[3] = {};
};

bool RunConversion(const ConversionJob& j) {
  if (j.i420) {
    return ConvertBgraToI420Cpu(j.pixels, j.pitch, j.width, j.height,
                                I420Planes{j.planes[0], j.strides[0], j.planes[1], j.strides[1], j.planes[2],
                                           j.strides[2]});
  }
  return ConvertBgraToNv12Cpu(j.pixels, j.pitch, j.width, j.height,
                              Nv12Planes{j.planes[0], j.strides[0], j.planes[1], j.strides[1]});
}

// Rows [first, first + rows) of the picture; first is even, so every band
// keeps the top-left pixel of each 2x2 block as its chroma sample.
ConversionJob Band(const ConversionJob& whole, uint32_t first, uint32_t rows) {
  ConversionJob band = whole;
  band.pixels = whole.pixels + static_cast<size_t>(first) * whole.pitch;
  band.height = rows;
  band.planes[0] = whole.planes[0] + static_cast<size_t>(first) * whole.strides[0];
  for (int p = 1; p < (whole.i420 ? 3 : 2); ++p) {
    band.planes[p] = whole.planes[p] + static_cast<size_t>(first / 2) * whole.strides[p];
  }
  return band;
}

}  // namespace

// A thread that converts the lower half of a picture while the caller
// converts the upper half. The encoder's threads are idle between frames, so
// a core is free for it. A band the helper has not started when the caller is
// done is taken back, so a busy machine costs no more than one thread would.
class LibavVideoEncoder::ConversionHelper {
 public:
  // Null when no thread could be started.
  static std::unique_ptr<ConversionHelper> Start() {
    auto helper = std::make_unique<ConversionHelper>();
    try {
      helper->thread_ = std::thread([h = helper.get()] { h->Loop(); });
    } catch (const std::system_error& e) {
      LogWarn("[Encoder] Conversion helper thread could not start (%s); converting on one thread", e.what());
      return nullptr;
    }
    return helper;
  }

  ~ConversionHelper() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  bool Convert(const ConversionJob& whole) {
    const uint32_t split = (whole.height / 2) & ~1u;
    {
      std::lock_guard<std::mutex> lock(mu_);
      job_ = Band(whole, split, whole.height - split);
      pending_ = true;
      done_ = false;
    }
    cv_.notify_all();
    const bool upper = RunConversion(Band(whole, 0, split));
    std::unique_lock<std::mutex> lock(mu_);
    if (pending_) {
      pending_ = false;  // not started yet: ours again
      const ConversionJob lower = job_;
      lock.unlock();
      return RunConversion(lower) && upper;
    }
    cv_.wait(lock, [this] { return done_; });
    return result_ && upper;
  }

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      cv_.wait(lock, [this] { return pending_ || stop_; });
      if (stop_) return;
      pending_ = false;
      const ConversionJob job = job_;
      lock.unlock();
      const bool ok = RunConversion(job);
      lock.lock();
      result_ = ok;
      done_ = true;
      cv_.notify_all();
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  ConversionJob job_;
  bool pending_ = false;  // job_ waits for the helper
  bool done_ = false;     // the helper finished job_
  bool result_ = false;
  bool stop_ = false;
  std::thread thread_;
};

const char* LibavEncoderName(VideoCodec codec) { return IsHevc(codec) ? "libx265" : "libx264"; }

// One open libavcodec encoder with its reusable picture and packet, the
// settings it was opened with and its own picture clock.
struct LibavVideoEncoder::OpenedCodec {
  AVCodecContext* context = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  bool hevc = false;
  RateSettings settings;
  int64_t next_pts = 0;
  int64_t pts_step = 1;
  // (picture-clock pts, caller's timestamp) of frames not yet out, oldest first.
  std::deque<std::pair<int64_t, int64_t>> pending_times;

  ~OpenedCodec() {
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
  }

  // The caller's timestamp of the unit with this pts; frames the library
  // dropped before it are forgotten. 0 when the pts is unknown.
  int64_t TakeTimestamp(int64_t pts) {
    while (!pending_times.empty() && pending_times.front().first < pts) pending_times.pop_front();
    if (pending_times.empty() || pending_times.front().first != pts) return 0;
    const int64_t timestamp = pending_times.front().second;
    pending_times.pop_front();
    return timestamp;
  }
};

LibavVideoEncoder::LibavVideoEncoder(IClock& clock) : clock_(clock) {
  current_.fps = 60;
  current_.kbps = 8000;
}

LibavVideoEncoder::~LibavVideoEncoder() {
  std::lock_guard<std::mutex> lock(mu_);
  ShutdownLocked();
}

void LibavVideoEncoder::Fail(int code, const char* message, HResult hr) {
  last_result_ = HostResult::Failure(code, message, hr);
}

void LibavVideoEncoder::CountFailure(HResult hr) {
  ++consecutive_failures_;
  // No GPU device here: only the device-lost results themselves count as lost.
  const bool device_lost = IsDeviceLostHResult(hr);
  if (!device_lost && consecutive_failures_ < kEncoderFailuresBeforeReset) return;
  if (!needs_reset_) {
    LogWarn("[Encoder] Encoder needs reset (device_lost=%s consecutive_failures=%u hr=0x%08lX)",
            device_lost ? "yes" : "no", consecutive_failures_, HrArg(hr));
  }
  needs_reset_ = true;
}

bool LibavVideoEncoder::OpenCodec(std::unique_ptr<OpenedCodec>* out, int* error) {
  out->reset();
  *error = 0;
  const bool hevc = IsHevc(codec_);
  const char* name = LibavEncoderName(codec_);
  const AVCodec* codec = avcodec_find_encoder_by_name(name);
  if (codec == nullptr) return false;

  auto opened = std::make_unique<OpenedCodec>();
  opened->hevc = hevc;
  opened->settings = current_;
  opened->context = avcodec_alloc_context3(codec);
  opened->frame = av_frame_alloc();
  opened->packet = av_packet_alloc();
  if (opened->context == nullptr || opened->frame == nullptr || opened->packet == nullptr) {
    *error = AVERROR(ENOMEM);
    return false;
  }

  const RateSettings& s = opened->settings;
  AVCodecContext* c = opened->context;
  c->width = static_cast<int>(width_);
  c->height = static_cast<int>(height_);
  // libx265 takes no NV12.
  c->pix_fmt = hevc ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_NV12;
  c->time_base = AVRational{1, 1'000'000};
  c->framerate = AVRational{static_cast<int>(s.fps), 1};
  c->gop_size = static_cast<int>(GopLength(s.fps));
  c->max_b_frames = 0;
  // Annex-B with the parameter sets in band before every keyframe.
  c->flags &= ~AV_CODEC_FLAG_GLOBAL_HEADER;
  c->color_range = AVCOL_RANGE_MPEG;
  c->colorspace = AVCOL_SPC_BT709;
  c->color_primaries = AVCOL_PRI_BT709;
  c->color_trc = AVCOL_TRC_BT709;
  c->bit_rate = ScaledBitRate(s.kbps, s.fps, s.fps);
  c->rc_max_rate = c->bit_rate;
  c->rc_buffer_size = VbvBufferBits(s.kbps, s.vbv_bits);
  if (s.min_qp != 0) c->qmin = static_cast<int>(std::min(s.min_qp, kMaxQp));
  if (hevc) {
    // Frame threads would hold pictures back; x265's wavefront pool still
    // uses every core.
    c->thread_count = 1;
  } else {
    // Sliced threads keep one picture in, one access unit out.
    c->thread_count = 0;
    c->thread_type = FF_THREAD_SLICE;
  }

  AVDictionary* options = nullptr;
  av_dict_set(&options, "preset", "ultrafast", 0);
  av_dict_set(&options, "tune", "zerolatency", 0);
  av_dict_set(&options, "forced-idr", "1", 0);
  if (hevc) {
    // A closed GOP, else a forced keyframe is a CRA. SAO stays on: x265 3.5
    // frees its SAO buffers only then, and every re-open would leak them.
    // x265 prints to stderr on its own, so only its errors.
    std::string params = "open-gop=0:sao=1:log-level=error";
    if (s.min_qp != 0) params += ":qpmin=" + std::to_string(std::min(s.min_qp, kMaxQp));
    av_dict_set(&options, "x265-params", params.c_str(), 0);
  }
  const int result = avcodec_open2(c, codec, &options);
  av_dict_free(&options);
  if (result < 0) {
    *error = result;
    return false;
  }

  AVFrame* f = opened->frame;
  f->format = c->pix_fmt;
  f->width = c->width;
  f->height = c->height;
  f->color_range = AVCOL_RANGE_MPEG;
  f->colorspace = AVCOL_SPC_BT709;
  f->color_primaries = AVCOL_PRI_BT709;
  f->color_trc = AVCOL_TRC_BT709;
  const int buffer = av_frame_get_buffer(f, 0);
  if (buffer < 0) {
    *error = buffer;
    return false;
  }
  opened->pts_step = 1'000'000 / static_cast<int64_t>(s.fps);
  LogInfo("[Encoder] %s opened: %ux%u @%u fps bit_rate=%lld vbv=%d bits qmin=%d gop=%d", name, width_, height_,
          s.fps, static_cast<long long>(c->bit_rate), c->rc_buffer_size, s.min_qp != 0 ? c->qmin : 0, c->gop_size);
  *out = std::move(opened);
  return true;
}

bool LibavVideoEncoder::Initialize(VideoCodec codec, uint32_t width, uint32_t height, uint32_t fps, uint32_t kbps) {
  std::lock_guard<std::mutex> lock(mu_);
  return InitializeLocked(codec, width, height, fps, kbps);
}

bool LibavVideoEncoder::InitializeLocked(VideoCodec codec, uint32_t width, uint32_t height, uint32_t fps,
                                         uint32_t kbps) {
  ShutdownLocked();
  last_result_ = HostResult::Success();
  current_.fps = NormalizeFrameRate(fps);
  current_.kbps = kbps;
  initialized_ = false;
  queue_.clear();
  inputs_submitted_ = 0;
  outputs_produced_ = 0;
  needs_reset_ = false;
  consecutive_failures_ = 0;
  info_ = EncoderRuntimeInfo{};
  info_.fallback_reason = "none";

  codec_ = codec;
  width_ = width;
  height_ = height;
  fps_as_passed_ = fps;
  kbps_remembered_ = kbps;
  configured_ = true;

  // NV12 and I420 need even sizes; negotiated sizes are multiples of 8.
  if (width == 0 || height == 0 || (width % 2) != 0 || (height % 2) != 0 || width > kMaxDimension ||
      height > kMaxDimension) {
    Fail(6, "Invalid encoder dimensions", kEFail);
    return false;
  }

  // This platform has no hardware encoder, so there is no hardware attempt.
  std::string reason;
  if (preference_ == EncoderPreference::kSoftwareOnly) {
    reason = "software_only_requested";
  } else if (preference_ == EncoderPreference::kHardwareOnly) {
    LogError("[Encoder] No %s encoder found for %s", "hardware", VideoCodecName(codec));
    info_.fallback_reason = "no_hardware_encoder";
    Fail(6, "Hardware encoder unavailable (hardware-only preference)", kEFail);
    return false;
  }

  std::unique_ptr<OpenedCodec> opened;
  int error = 0;
  if (!OpenCodec(&opened, &error)) {
    if (error == 0) {
      LogError("[Encoder] No %s encoder found for %s", "software", VideoCodecName(codec));
      Fail(6, "Failed to create hardware or software encoder", kEFail);
    } else if (error == AVERROR(ENOMEM)) {
      LogError("[Encoder] %s could not be created: %s", LibavEncoderName(codec), AvErrorText(error).c_str());
      Fail(6, "Failed to create hardware or software encoder", kEFail);
    } else {
      LogError("[Encoder] %s could not be opened: %s", LibavEncoderName(codec), AvErrorText(error).c_str());
      Fail(6, "Failed to configure software encoder", kEFail);
    }
    return false;
  }
  opened_ = std::move(opened);
  last_open_ms_ = clock_.TickMs();
  if (static_cast<uint64_t>(width) * height >= kSplitConversionPixels && std::thread::hardware_concurrency() >= 2) {
    helper_ = ConversionHelper::Start();
  }

  info_.mft_name = LibavEncoderName(codec);
  info_.mft_adapter_luid = 0;
  info_.async = false;
  info_.rate_control = "cbr";  // bit rate = maximum rate, with a VBV buffer
  info_.gop_length = GopLength(current_.fps);
  info_.fallback_reason = reason.empty() ? "software_encoder_selected" : reason;
  if (current_.vbv_bits != 0 || current_.min_qp != 0) {
    LogInfo("[Encoder] Frame size limits (%s): vbv_buffer=%u bits (hr=0x%08lX) min_qp=%u (hr=0x%08lX)", "init",
            current_.vbv_bits, HrArg(current_.vbv_bits != 0 ? kSOk : 1), current_.min_qp, HrArg(kSOk));
  }

  initialized_ = true;
  last_result_ = HostResult::Success();
  LogInfo("[Encoder] Initialized: %s %ux%u @%u fps, %u kbps mode=%s mft=%s async=%s rc=%s gop=%u adapter=%s "
          "feature=0x%X fallback=%s",
          VideoCodecName(codec), width, height, current_.fps, kbps, EncoderModeName(EncoderMode::kSw),
          info_.mft_name.c_str(), "no", info_.rate_control.c_str(), info_.gop_length,
          info_.adapter_name.empty() ? "unknown" : info_.adapter_name.c_str(), info_.feature_level,
          info_.fallback_reason.c_str());
  return true;
}

void LibavVideoEncoder::Shutdown() {
  std::lock_guard<std::mutex> lock(mu_);
  ShutdownLocked();
}

void LibavVideoEncoder::ShutdownLocked() {
  opened_.reset();
  helper_.reset();
  initialized_ = false;
  keyframe_requested_ = false;
  rates_dirty_ = false;
  reopen_pending_ = false;
  queue_.clear();
  scaled_.clear();
  scaled_.shrink_to_fit();
}

bool LibavVideoEncoder::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!configured_) {
    Fail(6, "Encoder is not initialized", kEFail);
    return false;
  }
  // Failure resets are counted only for hardware encoders, which this
  // platform does not have.
  LogWarn("[Encoder] Resetting encoder (mode=%s last_hr=0x%08lX)", EncoderModeName(EncoderMode::kSw),
          HrArg(last_result_.hr));
  const uint64_t resets = info_.resets;
  ShutdownLocked();
  const bool ok = InitializeLocked(codec_, width_, height_, fps_as_passed_, kbps_remembered_);
  info_.resets = ok ? resets + 1 : resets;
  return ok;
}

bool LibavVideoEncoder::NeedsReset() {
  std::lock_guard<std::mutex> lock(mu_);
  return needs_reset_;
}

void LibavVideoEncoder::ApplyPendingSettings() {
  if (reopen_pending_ && clock_.TickMs() - last_open_ms_ >= kReopenIntervalMs) {
    last_open_ms_ = clock_.TickMs();  // a failed attempt waits as long
    std::unique_ptr<OpenedCodec> fresh;
    int error = 0;
    if (OpenCodec(&fresh, &error)) {
      // Whatever the running encoder still holds leaves before it closes.
      if (avcodec_send_frame(opened_->context, nullptr) >= 0) CollectPackets();
      opened_ = std::move(fresh);
      reopen_pending_ = false;
      rates_dirty_ = false;
      keyframe_requested_ = false;  // a new encoder starts with an IDR
      info_.gop_length = GopLength(opened_->settings.fps);
    } else {
      LogWarn("[Encoder] %s could not be re-opened with new rates: %s; keeping the running encoder",
              LibavEncoderName(codec_), error == 0 ? "encoder not found" : AvErrorText(error).c_str());
    }
  }
  if (rates_dirty_ && opened_ && !opened_->hevc) {
    // libx264 reconfigures itself when these differ at the next frame.
    AVCodecContext* c = opened_->context;
    c->bit_rate = ScaledBitRate(current_.kbps, opened_->settings.fps, current_.fps);
    c->rc_max_rate = c->bit_rate;
    c->rc_buffer_size = VbvBufferBits(current_.kbps, current_.vbv_bits);
    rates_dirty_ = false;
  }
}

// libx264 takes new rates at the next frame (a new minimum QP needs a
// re-open); libx265 is re-opened unless the settings are back to its own.
void LibavVideoEncoder::MarkRatesChanged() {
  if (!opened_) return;
  const RateSettings& o = opened_->settings;
  if (opened_->hevc) {
    reopen_pending_ = current_.fps != o.fps || current_.kbps != o.kbps || current_.vbv_bits != o.vbv_bits ||
                      current_.min_qp != o.min_qp;
  } else {
    rates_dirty_ = true;
    reopen_pending_ = current_.min_qp != o.min_qp;
  }
}

bool LibavVideoEncoder::CollectPackets() {
  AVPacket* packet = opened_->packet;
  for (;;) {
    const int result = avcodec_receive_packet(opened_->context, packet);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
    if (result < 0) {
      LogError("[Encoder] avcodec_receive_packet failed: %s", AvErrorText(result).c_str());
      Fail(6, "Encoder process output failed", kEFail);
      CountFailure(kEFail);
      return false;
    }
    EncodedAccessUnit unit;
    if (packet->data != nullptr && packet->size > 0) {
      unit.data.assign(packet->data, packet->data + packet->size);
    }
    unit.keyframe = ScanForKeyframe(codec_, unit.data.data(), unit.data.size());
    unit.timestamp_us = opened_->TakeTimestamp(packet->pts);
    av_packet_unref(packet);
    queue_.push_back(std::move(unit));
    ++outputs_produced_;
    consecutive_failures_ = 0;
    last_result_ = HostResult::Success();
  }
}

bool LibavVideoEncoder::SendFrame(AVFrame* frame) {
  int result = avcodec_send_frame(opened_->context, frame);
  if (result == AVERROR(EAGAIN)) {
    // The encoder wants its output taken first; then the frame once more.
    if (!CollectPackets()) return false;
    result = avcodec_send_frame(opened_->context, frame);
  }
  if (result < 0) {
    LogError("[Encoder] avcodec_send_frame failed: %s", AvErrorText(result).c_str());
    Fail(6, "Encoder process input failed", kEFail);
    CountFailure(kEFail);
    return false;
  }
  return true;
}

bool LibavVideoEncoder::EncodeBgra(const uint8_t* pixels, uint32_t pitch, uint32_t width, uint32_t height,
                                   int64_t timestamp_us) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!initialized_ || !opened_) {
    Fail(6, "Encoder is not initialized", kEFail);
    return false;
  }
  if (needs_reset_) {
    Fail(6, "Encoder requires reset", last_result_.hr);
    return false;
  }
  if (pixels == nullptr || width == 0 || height == 0 ||
      static_cast<uint64_t>(pitch) < static_cast<uint64_t>(width) * 4 || width_ == 0 || height_ == 0) {
    Fail(7, "Invalid BGRA frame dimensions or pitch", kEFail);
    return false;
  }
  ApplyPendingSettings();

  BgraFrame source{pixels, pitch, width, height};
  if (!FitToNegotiatedSize(&source, width_, height_, &scaled_)) {
    Fail(7, "Failed to scale BGRA frame to negotiated encoder dimensions", kEFail);
    return false;
  }

  OpenedCodec& o = *opened_;
  AVFrame* frame = o.frame;
  // The encoder copies each picture, so this only allocates if it kept one.
  const int writable = av_frame_make_writable(frame);
  if (writable < 0) {
    LogError("[Encoder] av_frame_make_writable failed: %s", AvErrorText(writable).c_str());
    Fail(7, "Failed to allocate encoder input buffer", kEFail);
    CountFailure(kEFail);
    return false;
  }
  ConversionJob job;
  job.pixels = source.pixels;
  job.pitch = source.pitch;
  job.width = source.width;
  job.height = source.height;
  job.i420 = o.hevc;
  for (int p = 0; p < (o.hevc ? 3 : 2); ++p) {
    job.planes[p] = frame->data[p];
    job.strides[p] = static_cast<uint32_t>(frame->linesize[p]);
  }
  const bool converted = helper_ ? helper_->Convert(job) : RunConversion(job);
  if (!converted) {
    Fail(7, "Failed to convert BGRA frame to encoder input", kEFail);
    return false;
  }

  frame->pts = o.next_pts;
  frame->pict_type = keyframe_requested_ ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  if (o.pending_times.size() >= kMaxPendingTimes) o.pending_times.pop_front();
  o.pending_times.emplace_back(frame->pts, timestamp_us);
  if (!SendFrame(frame)) {
    if (opened_ && !opened_->pending_times.empty()) opened_->pending_times.pop_back();
    return false;
  }
  opened_->next_pts += opened_->pts_step;
  keyframe_requested_ = false;
  ++inputs_submitted_;
  last_result_ = HostResult::Success();
  return CollectPackets();
}

bool LibavVideoEncoder::EncodeTexture(const GpuTexture*, uint32_t, uint32_t, int64_t) {
  std::lock_guard<std::mutex> lock(mu_);
  Fail(6, "GPU-direct encode path is unavailable", kEFail);
  return false;
}

bool LibavVideoEncoder::ReceiveAccessUnit(EncodedAccessUnit* out) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!initialized_ || !opened_) {
    Fail(6, "Encoder is not initialized", kEFail);
    return false;
  }
  if (queue_.empty() && !CollectPackets()) return false;
  if (queue_.empty() || out == nullptr) return false;
  *out = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

void LibavVideoEncoder::RequestKeyframe() {
  std::lock_guard<std::mutex> lock(mu_);
  if (opened_) keyframe_requested_ = true;
}

void LibavVideoEncoder::SetBitrate(uint32_t kbps) {
  std::lock_guard<std::mutex> lock(mu_);
  if (kbps == current_.kbps) return;
  current_.kbps = kbps;
  if (configured_) kbps_remembered_ = kbps;
  MarkRatesChanged();
}

void LibavVideoEncoder::SetFrameSizeLimits(uint32_t vbv_buffer_bits, uint32_t min_qp) {
  std::lock_guard<std::mutex> lock(mu_);
  if (vbv_buffer_bits == current_.vbv_bits && min_qp == current_.min_qp) return;
  current_.vbv_bits = vbv_buffer_bits;
  current_.min_qp = min_qp;
  if (!opened_) return;
  LogInfo("[Encoder] Frame size limits (%s): vbv_buffer=%u bits (hr=0x%08lX) min_qp=%u (hr=0x%08lX)", "update",
          vbv_buffer_bits, HrArg(vbv_buffer_bits != 0 ? kSOk : 1), min_qp, HrArg(kSOk));
  MarkRatesChanged();
}

void LibavVideoEncoder::SetFrameRate(uint32_t fps) {
  std::lock_guard<std::mutex> lock(mu_);
  const uint32_t normalized = NormalizeFrameRate(fps);
  if (normalized == current_.fps) return;
  current_.fps = normalized;
  MarkRatesChanged();
}

void LibavVideoEncoder::SetPreferredAdapter(uint64_t adapter_luid) {
  std::lock_guard<std::mutex> lock(mu_);
  preferred_adapter_luid_ = adapter_luid;
}

bool LibavVideoEncoder::IsInitialized() {
  std::lock_guard<std::mutex> lock(mu_);
  return initialized_;
}

bool LibavVideoEncoder::IsGpuDirect() { return false; }

EncoderMode LibavVideoEncoder::GetMode() { return EncoderMode::kSw; }

const char* LibavVideoEncoder::GetModeName() { return EncoderModeName(EncoderMode::kSw); }

EncoderRuntimeInfo LibavVideoEncoder::GetRuntimeInfo() {
  std::lock_guard<std::mutex> lock(mu_);
  return info_;
}

std::shared_ptr<GpuDevice> LibavVideoEncoder::GetDevice() { return nullptr; }

HostResult LibavVideoEncoder::GetLastResult() {
  std::lock_guard<std::mutex> lock(mu_);
  return last_result_;
}

void LibavVideoEncoder::SetPreference(EncoderPreference preference) {
  std::lock_guard<std::mutex> lock(mu_);
  preference_ = preference;
}

std::unique_ptr<IVideoEncoder> MakePlatformVideoEncoder() {
  // The libraries' own chatter (statistics at every close) stays out of the
  // host's console; their errors reach us as return codes.
  static std::once_flag quiet;
  std::call_once(quiet, [] { av_log_set_level(AV_LOG_ERROR); });
  return std::make_unique<LibavVideoEncoder>(SystemClock());
}

uint32_t CountHardwareEncoders(VideoCodec) { return 0; }

}  // namespace orvane
