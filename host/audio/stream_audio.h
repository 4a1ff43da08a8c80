#pragma once
// The PC sound of a session as the session drives it (AudioPipeline; the
// silent stand-in where a session has no sound): prepared once, started when
// the session's stream owns the PC sound, stopped with the way audio ends
// (0 stream ended: restore the speakers; 1 the tablet's link is lost and may
// come back; 2 the stream restarts or the sound moves to another tablet),
// the tablet-only sound wish, and the link's condition for the encoder.

#include <atomic>
#include <memory>

#include "host/audio/audio_packet_sink.h"

namespace orvane {

struct StreamAudioStart {
  bool audio_enabled = false;             // the negotiated stream's audio
  IAudioPacketSink* sink = nullptr;       // outlives the start, until Stop
  const std::atomic<bool>* active = nullptr;  // the session's audio-active flag; null: always
};

class IStreamAudio {
 public:
  virtual ~IStreamAudio() = default;
  // Probes the capture once, so that a machine without sound says so early.
  virtual void Prepare() = 0;
  virtual void Start(const StreamAudioStart& start) = 0;
  virtual void Stop(int stop_mode) = 0;
  // The tablet alone should play the sound (the PC speakers muted).
  virtual void SetMuteWish(bool tablet_only) = 0;
  // The tablet's latest loss figure; constrained when the link is under
  // heavy loss or the tablet drops much of what arrives. Called on the
  // control receive thread while the stream runs.
  virtual void SetNetworkConditions(float loss_pct, bool constrained) = 0;
};

class SilentStreamAudio final : public IStreamAudio {
 public:
  void Prepare() override {}
  void Start(const StreamAudioStart&) override {}
  void Stop(int) override {}
  void SetMuteWish(bool) override {}
  void SetNetworkConditions(float, bool) override {}
};

}  // namespace orvane
