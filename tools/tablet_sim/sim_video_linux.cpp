// The simulator's decoder on Linux: libavcodec's H.264 and HEVC decoders,
// one access unit in, its picture out (no frame threads, low delay: a
// stream without B-frames gives every picture at once).

#include <climits>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/tablet_sim/sim_video.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

namespace orvane::sim {
namespace {

std::string AvText(const char* what, int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(error, text, sizeof text) < 0) std::snprintf(text, sizeof text, "error %d", error);
  return std::string(what) + ": " + text;
}

class LibavDecoder final : public IVideoDecoder {
 public:
  ~LibavDecoder() override {
    av_packet_free(&packet_);
    av_frame_free(&received_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
  }

  bool Open(SimCodec codec, std::string* why) {
    const AVCodec* decoder = avcodec_find_decoder(codec == SimCodec::kHevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    if (decoder == nullptr) {
      *why = std::string("libavcodec has no ") + SimCodecName(codec) + " decoder";
      return false;
    }
    context_ = avcodec_alloc_context3(decoder);
    frame_ = av_frame_alloc();
    received_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (context_ == nullptr || frame_ == nullptr || received_ == nullptr || packet_ == nullptr) {
      *why = "out of memory for the decoder";
      return false;
    }
    // Slice threads only: frame threads would hold pictures back.
    context_->thread_count = 2;
    context_->thread_type = FF_THREAD_SLICE;
    context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    const int rc = avcodec_open2(context_, decoder, nullptr);
    if (rc < 0) {
      *why = AvText("avcodec_open2", rc);
      return false;
    }
    return true;
  }

  DecodeStatus Decode(const uint8_t* data, size_t length, DecodedPicture* picture, std::string* why) override {
    if (data == nullptr || length == 0 || length > static_cast<size_t>(INT_MAX) - AV_INPUT_BUFFER_PADDING_SIZE) {
      *why = "no access unit, or one too large";
      return DecodeStatus::kFailed;
    }
    // The parser may read a little past the end: a zeroed tail.
    padded_.assign(data, data + length);
    padded_.resize(length + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    packet_->data = padded_.data();
    packet_->size = static_cast<int>(length);
    int rc = avcodec_send_packet(context_, packet_);
    packet_->data = nullptr;
    packet_->size = 0;
    if (rc < 0) {
      *why = AvText("avcodec_send_packet", rc);
      return DecodeStatus::kFailed;
    }
    bool got = false;
    for (;;) {
      // Into a frame of its own: a call that gives nothing clears its frame.
      rc = avcodec_receive_frame(context_, received_);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
      if (rc < 0) {
        *why = AvText("avcodec_receive_frame", rc);
        return DecodeStatus::kFailed;
      }
      got = true;  // a second picture for one unit replaces the first
      av_frame_unref(frame_);
      av_frame_move_ref(frame_, received_);
      if (frame_->decode_error_flags != 0) {
        *why = "the picture decoded with errors (flags " + std::to_string(frame_->decode_error_flags) + ")";
        return DecodeStatus::kFailed;
      }
    }
    if (!got) return DecodeStatus::kNoPicture;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame_->format));
    if (desc == nullptr || (desc->flags & AV_PIX_FMT_FLAG_RGB) != 0 || desc->nb_components < 1 ||
        desc->comp[0].plane != 0 || desc->comp[0].step != 1 || desc->comp[0].depth != 8) {
      *why = std::string("the picture is not 8-bit YUV (") + (desc != nullptr ? desc->name : "unknown format") + ")";
      return DecodeStatus::kFailed;
    }
    if (frame_->width <= 0 || frame_->height <= 0 || frame_->linesize[0] < frame_->width ||
        frame_->data[0] == nullptr) {
      *why = "the picture has no luma plane";
      return DecodeStatus::kFailed;
    }
    picture->width = static_cast<uint32_t>(frame_->width);
    picture->height = static_cast<uint32_t>(frame_->height);
    picture->y = frame_->data[0];
    picture->y_stride = static_cast<uint32_t>(frame_->linesize[0]);
    return DecodeStatus::kPicture;
  }

 private:
  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;     // the picture handed out
  AVFrame* received_ = nullptr;  // what the decoder gives
  AVPacket* packet_ = nullptr;
  std::vector<uint8_t> padded_;
};

}  // namespace

std::unique_ptr<IVideoDecoder> MakeBuildVideoDecoder(SimCodec codec, std::string* why) {
  // libavcodec's own messages would go to standard error, which tests read
  // as the simulator's errors; the decoder's failures are reported by value.
  static std::once_flag quiet;
  std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
  if (codec != SimCodec::kH264 && codec != SimCodec::kHevc) {
    *why = "unknown codec";
    return nullptr;
  }
  auto decoder = std::make_unique<LibavDecoder>();
  if (!decoder->Open(codec, why)) return nullptr;
  return decoder;
}

bool BuildHasVideoDecoder() { return true; }

}  // namespace orvane::sim
