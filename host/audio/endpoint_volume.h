#pragma once
// The PC's default speakers as the mute controller sees them: the default
// render device's id, its mute state and master volume, and the two changes
// the host may make. Device ids are UTF-16 code units on every platform
// (Windows endpoint ids as they are; Linux sink names converted from UTF-8),
// so speaker_state.ini stores them the same way everywhere.
//
// Windows: CoreAudioEndpointVolume (Core Audio, COM initialised per call).
// Linux: PulseEndpointVolume (the PulseAudio server's default sink; every
// call bounded to 2 s). Tests use a fake.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "host/common/host_result.h"

namespace orvane::endpoint_mute {

struct EndpointState {
  bool muted = false;
  float volume = 0.0f;  // master volume scalar, 0..1
};

// Result codes of the platform implementations.
enum EndpointResultCode : int {
  kEndpointUnavailable = 1,  // the audio system cannot be reached (COM, no server)
  kEndpointNoDevice = 2,     // there is no default render device
  kEndpointNotFound = 3,     // the device of the id cannot be opened
  kEndpointCallFailed = 4,   // the read or the change was refused
  kEndpointTimedOut = 5,     // the audio system did not answer in time
};

class IEndpointVolume {
 public:
  virtual ~IEndpointVolume() = default;
  // The default render device (console role). False when there is none or
  // it cannot be read; *result (may be null) says why.
  virtual bool DefaultRenderDeviceId(std::u16string* id, HostResult* result) = 0;
  virtual bool GetState(std::u16string_view id, EndpointState* state, HostResult* result) = 0;
  // Changes pass the host's event context, so the host can tell its own
  // changes from the user's. Failures log a warning.
  virtual bool SetMute(std::u16string_view id, bool muted, HostResult* result) = 0;
  virtual bool SetVolume(std::u16string_view id, float scalar, HostResult* result) = 0;
};

// The event context of the host's changes: {6B1C5E8A-3F0D-4E5A-9C47-2D8F0B7A4C11}.
struct EventContextGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
inline constexpr EventContextGuid kHostEventContext = {
    0x6B1C5E8Au, 0x3F0D, 0x4E5A, {0x9C, 0x47, 0x2D, 0x8F, 0x0B, 0x7A, 0x4C, 0x11}};

// The platform's implementation (CoreAudioEndpointVolume or
// PulseEndpointVolume) behind the checks. Creating it touches no device.
std::unique_ptr<IEndpointVolume> MakePlatformEndpointVolume();

// The checks every platform shares, around `platform`: a non-finite volume
// is refused (kEndpointCallFailed, E_INVALIDARG) without a call, others are
// clamped to 0..1; a failed change logs "[AudioMute] SetMute(%d) failed:
// 0x%08lX" or "[AudioMute] SetMasterVolumeLevelScalar failed: 0x%08lX" with
// the result's error number.
std::unique_ptr<IEndpointVolume> MakeCheckedEndpointVolume(std::unique_ptr<IEndpointVolume> platform);

// The platform's calls alone: changes get a volume within 0..1 and log
// nothing of their own failure.
std::unique_ptr<IEndpointVolume> MakeEndpointVolumeBackend();

}  // namespace orvane::endpoint_mute
