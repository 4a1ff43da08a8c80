#pragma once
// The session as its frame loop sees it, and the media sender as the frame
// loop's and the audio pipeline's sink (the session's own files only).

#include <algorithm>
#include <memory>
#include <string>

#include "host/control/session_manager.h"

namespace orvane {

class MediaSenderSink final : public IVideoFrameSink {
 public:
  explicit MediaSenderSink(MediaSender& sender) : sender_(sender) {}
  bool SendVideoFrame(uint32_t& next_video_seq, uint64_t timestamp_us, bool keyframe, bool second_flag,
                      const uint8_t* data, size_t length) override {
    return sender_.SendVideoFrame(next_video_seq, timestamp_us, keyframe, second_flag, data, length);
  }
  void ResetStreamState() override { sender_.ResetStreamState(); }
  void SetClientFragmentLimit(uint32_t fragments) override { sender_.SetClientFragmentLimit(fragments); }

 private:
  MediaSender& sender_;
};

class SessionManager::StreamPort final : public IFrameLoopSession {
 public:
  StreamPort(SessionManager& session, std::string session_id)
      : session_(session), session_id_(std::move(session_id)), sink_(session.sender_) {}
  bool Streaming() override { return session_.streaming_.load() && !session_.stop_requested_.load(); }
  bool TakeClientKeyframeRequest() override { return session_.handler_.TakeKeyframeRequest(); }
  bool VideoPaused() override { return session_.handler_.VideoPaused(); }
  void FirstFrameProduced() override {
    const int64_t now = session_.clock_.NowUs();
    session_.handler_.SendFirstFrameProduced(session_id_, static_cast<uint64_t>(std::max<int64_t>(now, 0)),
                                             session_.frame_counter_.load());
  }
  void StreamResize(uint32_t encoded_width, uint32_t encoded_height, uint32_t logical_width,
                    uint32_t logical_height, uint32_t scale_permille) override {
    session_.handler_.SendStreamResize(session_id_, FrameSize{encoded_width, encoded_height},
                                       FrameSize{logical_width, logical_height}, scale_permille);
  }
  void StatsReport(uint32_t current_bitrate_kbps) override {
    HostStreamStats stats;
    stats.session_id = session_id_;
    stats.current_bitrate_kbps = current_bitrate_kbps;
    session_.handler_.SendStatsReport(stats);
  }
  void ErrorMessage(int code, const std::string& message) override {
    session_.handler_.SendErrorMessage(static_cast<uint32_t>(code), message, false);
  }
  IVideoFrameSink& sink() { return sink_; }

 private:
  SessionManager& session_;
  const std::string session_id_;
  MediaSenderSink sink_;
};

// The session's media sender as the audio pipeline's packet sink.
class SessionManager::AudioPort final : public IAudioPacketSink {
 public:
  explicit AudioPort(MediaSender& sender) : sender_(sender) {}
  bool SendAudioPacket(uint32_t sequence, uint64_t timestamp_us, uint8_t duration_ms, const uint8_t* data,
                       size_t length) override {
    return sender_.SendAudioPacket(sequence, timestamp_us, duration_ms, data, length);
  }

 private:
  MediaSender& sender_;
};

}  // namespace orvane
