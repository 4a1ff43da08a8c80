#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/common/file_io.h"
#include "host/vdd/vdd_system.h"
#include "tests/support/test_support.h"

namespace orvane::vdd {
namespace {

TEST(LinuxVddSystem, TheSimulatedWorldWhenOneIsNamed) {
  testing::ScopedTempDir dir;
  {
    testing::ScopedEnv env("ORVANE_SIM_VDD", PathToUtf8(dir.path()));
    const auto system = MakePlatformVddSystem();
    ASSERT_NE(system, nullptr);
    std::vector<DisplayClassDevice> devices;
    ASSERT_EQ(system->ListDisplayClassDevices(&devices), kErrorSuccess);
    bool driver = false;
    for (const DisplayClassDevice& d : devices) {
      for (const std::string& id : d.hardware_ids) driver = driver || id == "Root\\TvrVDD";
    }
    EXPECT_TRUE(driver);
  }
  {
    testing::ScopedEnv env("ORVANE_SIM_VDD", "");
    EXPECT_EQ(MakePlatformVddSystem(), nullptr);
  }
}

}  // namespace
}  // namespace orvane::vdd
