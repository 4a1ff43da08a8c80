#include <cstdio>
#include <string>
#include <vector>

#include "host/video/color_convert.h"
#include "host/video/test_pattern.h"
#include "tools/tablet_sim/testing/pattern_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

// libx265 3.5 keeps blocks of every encoder it opens (its own leak); the
// sanitizer build's leak check skips that library.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libx265.so\n";
}

namespace orvane::sim {
namespace {

std::string AvText(const char* what, int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(error, text, sizeof text) < 0) std::snprintf(text, sizeof text, "error %d", error);
  return std::string(what) + ": " + text;
}

class LibavTestPatternEncoder final : public TestPatternEncoder {
 public:
  explicit LibavTestPatternEncoder(const TestPatternEncoderOptions& options) : options_(options) {}
  ~LibavTestPatternEncoder() override {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
  }

  bool Open(std::string* why) {
    const bool hevc = options_.codec == SimCodec::kHevc;
    const AVCodec* codec = avcodec_find_encoder_by_name(hevc ? "libx265" : "libx264");
    if (codec == nullptr) {
      *why = hevc ? "libavcodec has no libx265" : "libavcodec has no libx264";
      return false;
    }
    context_ = avcodec_alloc_context3(codec);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (context_ == nullptr || frame_ == nullptr || packet_ == nullptr) {
      *why = "out of memory";
      return false;
    }
    context_->width = static_cast<int>(options_.width);
    context_->height = static_cast<int>(options_.height);
    context_->pix_fmt = AV_PIX_FMT_YUV420P;
    context_->time_base = AVRational{1, static_cast<int>(options_.fps)};
    context_->framerate = AVRational{static_cast<int>(options_.fps), 1};
    context_->bit_rate = static_cast<int64_t>(options_.kbps) * 1000;
    context_->gop_size = 100000;  // keyframes only when asked
    context_->max_b_frames = 0;
    context_->thread_count = 1;
    context_->flags &= ~AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* dict = nullptr;
    av_dict_set(&dict, "preset", "ultrafast", 0);
    av_dict_set(&dict, "tune", "zerolatency", 0);
    av_dict_set(&dict, "forced-idr", "1", 0);
    // Keyframes only where the test puts them.
    av_dict_set(&dict, hevc ? "x265-params" : "x264-params",
                hevc ? "log-level=error:open-gop=0:scenecut=0" : "scenecut=0", 0);
    const int rc = avcodec_open2(context_, codec, &dict);
    av_dict_free(&dict);
    if (rc < 0) {
      *why = AvText("avcodec_open2", rc);
      return false;
    }
    frame_->format = AV_PIX_FMT_YUV420P;
    frame_->width = context_->width;
    frame_->height = context_->height;
    const int got = av_frame_get_buffer(frame_, 0);
    if (got < 0) {
      *why = AvText("av_frame_get_buffer", got);
      return false;
    }
    bgra_.resize(static_cast<size_t>(options_.source_width) * options_.source_height * 4);
    return true;
  }

  bool Encode(uint64_t counter, bool keyframe, EncodedUnit* out, std::string* why) override {
    RenderTestPattern(counter, options_.source_width, options_.source_height, bgra_.data(), options_.source_width * 4);
    BgraFrame picture{bgra_.data(), options_.source_width * 4, options_.source_width, options_.source_height};
    if (!FitToNegotiatedSize(&picture, options_.width, options_.height, &scaled_)) {
      *why = "the scaler refused the picture";
      return false;
    }
    int rc = av_frame_make_writable(frame_);
    if (rc < 0) {
      *why = AvText("av_frame_make_writable", rc);
      return false;
    }
    const I420Planes planes{frame_->data[0], static_cast<uint32_t>(frame_->linesize[0]),
                            frame_->data[1], static_cast<uint32_t>(frame_->linesize[1]),
                            frame_->data[2], static_cast<uint32_t>(frame_->linesize[2])};
    if (!ConvertBgraToI420Cpu(picture.pixels, picture.pitch, picture.width, picture.height, planes)) {
      *why = "the conversion refused the picture";
      return false;
    }
    frame_->pts = next_pts_++;
    frame_->pict_type = keyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    rc = avcodec_send_frame(context_, frame_);
    if (rc < 0) {
      *why = AvText("avcodec_send_frame", rc);
      return false;
    }
    out->bytes.clear();
    out->keyframe = false;
    for (;;) {
      rc = avcodec_receive_packet(context_, packet_);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
      if (rc < 0) {
        *why = AvText("avcodec_receive_packet", rc);
        return false;
      }
      out->bytes.insert(out->bytes.end(), packet_->data, packet_->data + packet_->size);
      out->keyframe = out->keyframe || (packet_->flags & AV_PKT_FLAG_KEY) != 0;
      av_packet_unref(packet_);
    }
    if (out->bytes.empty()) {
      *why = "the encoder held the picture back";
      return false;
    }
    return true;
  }

 private:
  TestPatternEncoderOptions options_;
  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  int64_t next_pts_ = 0;
  std::vector<uint8_t> bgra_;
  std::vector<uint8_t> scaled_;
};

}  // namespace

std::unique_ptr<TestPatternEncoder> MakeTestPatternEncoder(const TestPatternEncoderOptions& options, std::string* why) {
  if (options.width == 0 || options.height == 0 || options.source_width == 0 || options.source_height == 0 ||
      options.fps == 0) {
    *why = "a size or rate of 0";
    return nullptr;
  }
  // The library's notes (capabilities, profile) would crowd the test output.
  av_log_set_level(AV_LOG_ERROR);
  auto encoder = std::make_unique<LibavTestPatternEncoder>(options);
  if (!encoder->Open(why)) return nullptr;
  return encoder;
}

}  // namespace orvane::sim
