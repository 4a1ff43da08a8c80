#include "host/video/monitor_enumeration.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(SyntheticMonitorEnumeratorTest, ReportsOnePrimaryMonitor) {
  const auto enumerator = MakePlatformMonitorEnumerator();
  ASSERT_NE(enumerator, nullptr);
  const std::vector<MonitorInfoData> monitors = enumerator->EnumerateMonitors();
  ASSERT_EQ(monitors.size(), 1u);
  const MonitorInfoData& m = monitors[0];
  EXPECT_EQ(m.id, "\\\\.\\DISPLAY1");
  EXPECT_EQ(m.display_name, "Synthetic Display");
  EXPECT_EQ(m.x, 0);
  EXPECT_EQ(m.y, 0);
  EXPECT_EQ(m.width, 1920);
  EXPECT_EQ(m.height, 1080);
  EXPECT_TRUE(m.primary);
  EXPECT_EQ(m.refresh_rate, 60u);
  EXPECT_EQ(m.index, 0u);
  // A fresh list every call.
  EXPECT_EQ(enumerator->EnumerateMonitors().size(), 1u);
}

}  // namespace
}  // namespace orvane
