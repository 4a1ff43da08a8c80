// The Core Audio endpoint: the default speakers are read where there are
// some, an unknown id is refused, and a thread in a single-threaded
// apartment keeps its COM initialisation after a call.

#include <windows.h>

#include <objbase.h>

#include <gtest/gtest.h>

#include <thread>

#include "host/audio/endpoint_volume.h"
#include "host/common/platform_info.h"
#include "tests/support/test_support.h"

namespace orvane::endpoint_mute {
namespace {

TEST(CoreAudioEndpointVolume, ReadsTheDefaultSpeakers) {
  auto endpoint = MakePlatformEndpointVolume();
  std::u16string id;
  HostResult result;
  if (!endpoint->DefaultRenderDeviceId(&id, &result)) {
    const std::string reason = "no default render endpoint (" + result.ToString() + ")";
    std::printf("[  SKIPPED ] %s%s\n", reason.c_str(), RunningUnderWine() ? " under Wine" : "");
    GTEST_SKIP() << reason;
  }
  EXPECT_FALSE(id.empty());
  EndpointState state;
  ASSERT_TRUE(endpoint->GetState(id, &state, &result)) << result.ToString();
  EXPECT_GE(state.volume, 0.0f);
  EXPECT_LE(state.volume, 1.0f);
}

TEST(CoreAudioEndpointVolume, RefusesAnUnknownDevice) {
  auto endpoint = MakePlatformEndpointVolume();
  EndpointState state;
  HostResult result;
  EXPECT_FALSE(endpoint->GetState(u"{0.0.0.00000000}.{00000000-0000-0000-0000-000000000000}", &state, &result));
  EXPECT_EQ(result.code, kEndpointNotFound) << result.ToString();
  testing::LogCapture log;
  EXPECT_FALSE(endpoint->SetMute(u"", true, &result));
  EXPECT_TRUE(log.Contains("[AudioMute] SetMute(1) failed: 0x")) << result.ToString();
  EXPECT_FALSE(endpoint->SetVolume(u"", 0.5f, &result));
  EXPECT_TRUE(log.Contains("[AudioMute] SetMasterVolumeLevelScalar failed: 0x"));
}

TEST(CoreAudioEndpointVolume, LeavesASingleThreadedApartmentInitialised) {
  HRESULT again = E_FAIL;
  HostResult result;
  std::thread sta([&] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    std::u16string id;
    MakePlatformEndpointVolume()->DefaultRenderDeviceId(&id, &result);
    // Still initialised: a second initialisation only counts up.
    again = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(again)) CoUninitialize();
    CoUninitialize();
  });
  sta.join();
  EXPECT_EQ(again, S_FALSE);
  EXPECT_NE(result.code, kEndpointUnavailable) << result.ToString();
}

}  // namespace
}  // namespace orvane::endpoint_mute
