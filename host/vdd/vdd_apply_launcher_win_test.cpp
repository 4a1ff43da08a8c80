#include "host/vdd/vdd_apply_launcher.h"

#include <gtest/gtest.h>

#include <ctime>

#include "host/common/file_io.h"
#include "tests/support/test_support.h"

namespace orvane::vdd_apply {
namespace {

TEST(VddApplyWinLauncher, BootTimeIsInThePast) {
  const int64_t boot = PlatformBootTimeSeconds();
  EXPECT_GT(boot, 0);
  EXPECT_LE(boot, static_cast<int64_t>(std::time(nullptr)));
}

TEST(VddApplyWinLauncher, AMissingProgramFailsWithoutAPrompt) {
  testing::ScopedTempDir dir;
  const std::string missing = PathToUtf8(dir.path() / "OrvaneVddSetup.exe");
  auto launcher = MakePlatformToolLauncher();
  const LaunchResult launch = launcher->Launch(missing, false);
  EXPECT_EQ(launch.status, LaunchStatus::kFailed);
  EXPECT_NE(launch.error, 0u);
  EXPECT_NE(launch.error, 1223u);
  EXPECT_EQ(launch.process, nullptr);
  launcher->Stop();  // with nothing to stop
}

}  // namespace
}  // namespace orvane::vdd_apply
