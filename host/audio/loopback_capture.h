#pragma once
// Loopback capture of what the PC plays: interleaved 16-bit PCM with a
// host-clock timestamp, handed to a callback on the capture's own thread.
// Mode 1 is process loopback of every application except the host (used
// while the PC speakers are muted), mode 0 the default render endpoint.

#include <cstdint>
#include <functional>
#include <memory>

#include "host/common/host_result.h"

namespace orvane {

inline constexpr int kLoopbackModeEndpoint = 0;
inline constexpr int kLoopbackModeProcess = 1;
// HostResult code of capture failures.
inline constexpr int kAudioCaptureErrorCode = 7;

struct AudioFormat {
  uint32_t sample_rate = 0;
  uint32_t channels = 0;
  uint32_t bits_per_sample = 0;
  friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

// samples: frames x channels interleaved values; timestamp_us: the host
// clock (HostClockUs) at the first frame.
using PcmCallback =
    std::function<void(const int16_t* samples, uint32_t frames, uint32_t channels, int64_t timestamp_us)>;

class ILoopbackCapture {
 public:
  virtual ~ILoopbackCapture() = default;
  // Sets up the capture, preferring `preferred_mode`; process loopback falls
  // back to endpoint loopback. False with LastResult() when neither works.
  virtual bool Initialize(int preferred_mode) = 0;
  // Starts delivering to the callback (a capture started before is rebuilt
  // first). False with LastResult() on failure.
  virtual bool Start(PcmCallback callback) = 0;
  // Stops delivering and joins the capture thread; the set-up stays.
  virtual void Stop() = 0;
  // Stops and releases everything: back to uninitialised.
  virtual void Reset() = 0;
  virtual bool Initialized() const = 0;
  // The format delivered to the callback (always 16-bit samples).
  virtual AudioFormat Format() const = 0;
  // The mode actually set up (endpoint after a fallback).
  virtual int Mode() const = 0;
  virtual HostResult LastResult() const = 0;
};

// The machine's loopback capture (WASAPI; PulseAudio on Linux).
std::unique_ptr<ILoopbackCapture> MakePlatformLoopbackCapture();

}  // namespace orvane
