#include "host/audio/endpoint_volume.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "tests/support/test_support.h"

namespace orvane::endpoint_mute {
namespace {

constexpr HResult kRefused = static_cast<HResult>(0x88890008u);

// Takes every change, or refuses each with kRefused.
struct Backend final : IEndpointVolume {
  bool refuse = false;
  std::vector<float> volumes;
  std::vector<bool> mutes;
  bool DefaultRenderDeviceId(std::u16string* id, HostResult*) override {
    *id = u"speakers";
    return true;
  }
  bool GetState(std::u16string_view, EndpointState*, HostResult*) override { return true; }
  bool SetMute(std::u16string_view, bool muted, HostResult* result) override {
    mutes.push_back(muted);
    return Answer(result);
  }
  bool SetVolume(std::u16string_view, float scalar, HostResult* result) override {
    volumes.push_back(scalar);
    return Answer(result);
  }
  bool Answer(HostResult* result) {
    if (!refuse) return true;
    if (result) *result = HostResult::Failure(kEndpointCallFailed, "refused", kRefused);
    return false;
  }
};

TEST(CheckedEndpointVolume, VolumesAreClampedAndNonNumbersNeverReachTheAudioSystem) {
  struct Case {
    float given;
    bool passed;
    float sent;
  };
  const float inf = std::numeric_limits<float>::infinity();
  const Case cases[] = {{0.5f, true, 0.5f},  {1.5f, true, 1.0f},   {-0.25f, true, 0.0f},
                        {0.0f, true, 0.0f},  {1.0f, true, 1.0f},   {std::nanf(""), false, 0},
                        {inf, false, 0},     {-inf, false, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    testing::LogCapture log;
    auto backend = std::make_unique<Backend>();
    Backend* seen = backend.get();
    auto volume = MakeCheckedEndpointVolume(std::move(backend));
    HostResult result;
    EXPECT_EQ(volume->SetVolume(u"speakers", c.given, &result), c.passed);
    if (c.passed) {
      ASSERT_EQ(seen->volumes.size(), 1u);
      EXPECT_EQ(seen->volumes[0], c.sent);
      EXPECT_TRUE(result.ok());
      EXPECT_EQ(log.Count("[AudioMute]"), 0u);
    } else {
      EXPECT_TRUE(seen->volumes.empty());
      EXPECT_EQ(result.code, kEndpointCallFailed);
      EXPECT_EQ(result.hr, kEInvalidArg);
      EXPECT_EQ(log.Count("[AudioMute] SetMasterVolumeLevelScalar failed: 0x80070057"), 1u);
    }
  }
}

TEST(CheckedEndpointVolume, ARefusedChangeIsLoggedWithItsErrorAndPassedOn) {
  testing::LogCapture log;
  auto backend = std::make_unique<Backend>();
  backend->refuse = true;
  auto volume = MakeCheckedEndpointVolume(std::move(backend));
  HostResult result;
  EXPECT_FALSE(volume->SetMute(u"speakers", true, &result));
  EXPECT_EQ(result.hr, kRefused);
  EXPECT_EQ(log.Count("[AudioMute] SetMute(1) failed: 0x88890008"), 1u);
  EXPECT_FALSE(volume->SetVolume(u"speakers", 0.5f, nullptr));
  EXPECT_EQ(log.Count("[AudioMute] SetMasterVolumeLevelScalar failed: 0x88890008"), 1u);
  std::u16string id;
  EXPECT_TRUE(volume->DefaultRenderDeviceId(&id, nullptr));
  EXPECT_EQ(id, u"speakers");
}

}  // namespace
}  // namespace orvane::endpoint_mute
