#include "host/video/encoder_transform.h"

namespace orvane {

const char* VideoSubtypeName(VideoSubtype subtype) {
  switch (subtype) {
    case VideoSubtype::kH264:
      return "H264";
    case VideoSubtype::kHevc:
      return "HEVC";
    case VideoSubtype::kNv12:
      return "NV12";
    case VideoSubtype::kArgb32:
      return "ARGB32";
    case VideoSubtype::kRgb32:
      return "RGB32";
  }
  return "unknown";
}

void VideoEncoderAsyncState::OnEvent(uint32_t type, HResult status) {
  {
    std::lock_guard<std::mutex> lock(mu);
    switch (type) {
      case kEventError:
        error = status < 0 ? status : kEFail;
        break;
      case kEventNeedInput:
        ++need_input;
        break;
      case kEventHaveOutput:
        ++have_output;
        break;
      default:
        break;
    }
    if (stopping) callback_ended = true;
  }
  cv.notify_all();
}

void VideoEncoderAsyncState::OnEventRequestFailed(HResult hr) {
  {
    std::lock_guard<std::mutex> lock(mu);
    if (!stopping) error = hr < 0 ? hr : kEFail;
    callback_ended = true;
  }
  cv.notify_all();
}

void VideoEncoderAsyncState::OnNoGenerator() {
  {
    std::lock_guard<std::mutex> lock(mu);
    callback_ended = true;
  }
  cv.notify_all();
}

bool VideoEncoderAsyncState::IsStopping() {
  std::lock_guard<std::mutex> lock(mu);
  return stopping;
}

}  // namespace orvane
