#pragma once
// The PC sound of a stream as the session drives it: the speaker-mute wish
// at stream start and the way audio ends with the stream (0 stop and
// restore the speakers, 1 keep them as they are for a reconnect, 2 hand over
// or restart), and the link's condition for the encoder. The loopback capture and Opus pipeline plug in here;
// SilentStreamAudio stands in until they do.

#include <memory>

namespace orvane {

class IStreamAudio {
 public:
  virtual ~IStreamAudio() = default;
  virtual void SetMuteWish(bool mute_host_speakers) = 0;
  virtual void Stop(int stop_mode) = 0;
  // The tablet's latest loss figure; constrained when the link is under
  // heavy loss or the tablet drops much of what arrives. Called on the
  // control receive thread while the stream runs.
  virtual void SetNetworkConditions(float loss_pct, bool constrained) = 0;
};

class SilentStreamAudio final : public IStreamAudio {
 public:
  void SetMuteWish(bool) override {}
  void Stop(int) override {}
  void SetNetworkConditions(float, bool) override {}
};

}  // namespace orvane
