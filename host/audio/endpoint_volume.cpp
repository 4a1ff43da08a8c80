#include "host/audio/endpoint_volume.h"

#include <cmath>
#include <utility>

#include "host/common/logger.h"

namespace orvane::endpoint_mute {

namespace {

unsigned long Bits(HResult hr) { return static_cast<unsigned long>(static_cast<uint32_t>(hr)); }

// What every platform does around its calls: a volume that is no number is
// refused before it reaches the audio system, others are clamped to 0..1,
// and a refused change says so.
class CheckedEndpointVolume final : public IEndpointVolume {
 public:
  explicit CheckedEndpointVolume(std::unique_ptr<IEndpointVolume> platform) : platform_(std::move(platform)) {}

  bool DefaultRenderDeviceId(std::u16string* id, HostResult* result) override {
    return platform_->DefaultRenderDeviceId(id, result);
  }

  bool GetState(std::u16string_view id, EndpointState* state, HostResult* result) override {
    return platform_->GetState(id, state, result);
  }

  bool SetMute(std::u16string_view id, bool muted, HostResult* result) override {
    HostResult r;
    if (platform_->SetMute(id, muted, &r)) return Done(result);
    LogWarn("[AudioMute] SetMute(%d) failed: 0x%08lX", muted ? 1 : 0, Bits(r.hr));
    return Fail(result, std::move(r));
  }

  bool SetVolume(std::u16string_view id, float scalar, HostResult* result) override {
    HostResult r;
    if (!std::isfinite(scalar)) {
      r = HostResult::Failure(kEndpointCallFailed, "volume is not a number", kEInvalidArg);
    } else if (platform_->SetVolume(id, std::fmin(std::fmax(scalar, 0.0f), 1.0f), &r)) {
      return Done(result);
    }
    LogWarn("[AudioMute] SetMasterVolumeLevelScalar failed: 0x%08lX", Bits(r.hr));
    return Fail(result, std::move(r));
  }

 private:
  static bool Done(HostResult* result) {
    if (result) *result = HostResult::Success();
    return true;
  }
  static bool Fail(HostResult* result, HostResult r) {
    if (result) *result = std::move(r);
    return false;
  }

  std::unique_ptr<IEndpointVolume> platform_;
};

}  // namespace

std::unique_ptr<IEndpointVolume> MakeCheckedEndpointVolume(std::unique_ptr<IEndpointVolume> platform) {
  return std::make_unique<CheckedEndpointVolume>(std::move(platform));
}

std::unique_ptr<IEndpointVolume> MakePlatformEndpointVolume() {
  return MakeCheckedEndpointVolume(MakeEndpointVolumeBackend());
}

}  // namespace orvane::endpoint_mute
