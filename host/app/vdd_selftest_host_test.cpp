#include "host/app/vdd_selftest_host.h"

#include <gtest/gtest.h>

#include <string>

#include "host/vdd/vdd_selftest.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

// Beside a running host the self-test touches nothing: not the manager, not
// the ledger, not the driver.
TEST(VddSelfTestAsHost, RefusesWhileAnotherHostOwnsTheInstance) {
  testing::ScopedTempDir dir;
  InstanceNames names;
  names.base = "OrvaneTestHost-" + dir.path().filename().string();
  names.folder = dir.path();
  names.tray_window_class = "OrvaneTestTrayWnd-" + dir.path().filename().string();
  SingleInstance host(names);
  ASSERT_EQ(host.Acquire(false), InstanceStatus::kOwner);

  testing::LogCapture log;
  SingleInstance selftest(names);
  EXPECT_EQ(RunVddSelfTestAsHost(selftest, "1920x1080@60", 0), kVddSelfTestHostRunning);
  EXPECT_FALSE(selftest.owned());
  EXPECT_TRUE(log.Contains("[ERROR] [VddSelfTest] A running host owns the virtual monitors; stop it first"));
  EXPECT_EQ(log.Lines().size(), 1u);
}

}  // namespace
}  // namespace orvane
