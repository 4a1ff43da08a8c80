#include "host/video/monitor_enumeration.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/common/clock.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using testing::LogCapture;

MonitorInfoData Monitor(const std::string& id, bool primary, int32_t x = 0) {
  MonitorInfoData m;
  m.id = id;
  m.display_name = id;
  m.x = x;
  m.width = 1920;
  m.height = 1080;
  m.primary = primary;
  return m;
}

TEST(MonitorEnumerationTest, SyntheticMonitorIsOnePrimaryAtTheOrigin) {
  for (const std::vector<MonitorInfoData>& monitors :
       {SyntheticMonitorEnumerator().EnumerateMonitors(),
        ScanningMonitorEnumerator([] { return std::optional<DesktopScan>(); }).EnumerateMonitors()}) {
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
  }
}

TEST(MonitorEnumerationTest, ChooseMonitor) {
  std::vector<MonitorInfoData> two = {Monitor("A", false), Monitor("B", true, 1920)};
  std::vector<MonitorInfoData> no_primary = {Monitor("A", false), Monitor("B", false, 1920)};
  struct Case {
    const char* name;
    const std::vector<MonitorInfoData>* list;
    std::string id;
    uint32_t index;
    const char* chosen;  // nullptr: none
    const char* matched_by;
    bool exact;
  };
  const std::vector<MonitorInfoData> empty;
  const Case cases[] = {
      {"empty list", &empty, "A", 0, nullptr, "none", false},
      {"id present", &two, "A", 1, "A", "id", true},
      {"index with an empty id", &two, "", 0, "A", "index", true},
      {"index out of range", &two, "", 5, "B", "primary", false},
      {"absent id, index 0", &two, "Z", 0, "B", "primary", false},
      {"no primary", &no_primary, "Z", 0, "A", "first", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const MonitorChoice choice = ChooseMonitor(*c.list, c.id, c.index);
    if (c.chosen == nullptr) {
      EXPECT_FALSE(choice.monitor.has_value());
    } else {
      ASSERT_TRUE(choice.monitor.has_value());
      EXPECT_EQ(choice.monitor->id, c.chosen);
    }
    EXPECT_EQ(choice.matched_by, c.matched_by);
    EXPECT_EQ(choice.exact, c.exact);
  }
}

TEST(MonitorEnumerationTest, CompletesTheScannedList) {
  DesktopScan scan;
  scan.monitors = {Monitor("\\\\.\\DISPLAY1", true), Monitor("\\\\.\\DISPLAY2", false, 1920),
                   Monitor("\\\\.\\DISPLAY3", false, 3840)};
  scan.monitors[0].refresh_rate = 0;
  scan.monitors[1].refresh_rate = 1;
  scan.monitors[2].refresh_rate = 144;
  scan.monitors[2].display_name.clear();
  // Two outputs name DISPLAY1 (a duplicated output): the first one wins.
  scan.outputs = {{"\\\\.\\DISPLAY1", 0, 0, 0x1234, true},
                  {"\\\\.\\DISPLAY1", 1, 0, 0x9999, false},
                  {"\\\\.\\DISPLAY3", 0, 1, 0x1234, false}};
  const std::vector<MonitorInfoData> list = CompleteMonitorList(scan);
  ASSERT_EQ(list.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(list[i].index, i);
  EXPECT_EQ(list[0].refresh_rate, 60u);
  EXPECT_EQ(list[1].refresh_rate, 60u);
  EXPECT_EQ(list[2].refresh_rate, 144u);
  EXPECT_TRUE(list[0].has_output);
  EXPECT_EQ(list[0].adapter_index, 0u);
  EXPECT_EQ(list[0].adapter_luid, 0x1234u);
  EXPECT_TRUE(list[0].hdr);
  EXPECT_FALSE(list[1].has_output);  // no output drives it
  EXPECT_EQ(list[1].adapter_luid, 0u);
  EXPECT_TRUE(list[2].has_output);
  EXPECT_EQ(list[2].output_index, 1u);
  EXPECT_EQ(list[2].display_name, "\\\\.\\DISPLAY3");
}

TEST(MonitorEnumerationTest, CountLineIsThrottledUntilTheListChanges) {
  ResetMonitorCountLogForTest();
  ManualClock clock(5'000'000);
  DesktopScan scan;
  scan.monitors = {Monitor("A", true), Monitor("B", false, 1920), Monitor("C", false, 3840)};
  ScanningMonitorEnumerator enumerator([&scan] { return std::optional<DesktopScan>(scan); }, &clock);
  LogCapture log;
  for (int second = 0; second < 125; ++second) {
    EXPECT_EQ(enumerator.EnumerateMonitors().size(), 3u);
    clock.AdvanceMs(1000);
  }
  EXPECT_EQ(log.Count("[INFO ] [MonitorEnum] Found 3 monitors"), 3u);  // at 0, 60 and 120 s
  scan.monitors.pop_back();
  enumerator.EnumerateMonitors();
  EXPECT_EQ(log.Count("[INFO ] [MonitorEnum] Found 2 monitors"), 1u);  // a changed list at once
  ResetMonitorCountLogForTest();
}

}  // namespace
}  // namespace orvane
