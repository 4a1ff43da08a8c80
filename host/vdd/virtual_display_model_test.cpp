#include "host/vdd/virtual_display.h"

#include <gtest/gtest.h>

#include <string>

#include "host/vdd/virtual_display_backend.h"

namespace orvane {
namespace {

TEST(VirtualDisplayNames, KindsStatesAndTargetStatesByNumber) {
  EXPECT_STREQ(VirtualDisplayAcquireKindName(0), "created");
  EXPECT_STREQ(VirtualDisplayAcquireKindName(8), "restart-pending");
  EXPECT_STREQ(VirtualDisplayAcquireKindName(9), "unknown");
  EXPECT_STREQ(VirtualDisplayAcquireKindName(-1), "unknown");
  EXPECT_STREQ(VirtualDisplayStateName(0), "not-installed");
  EXPECT_STREQ(VirtualDisplayStateName(1), "installed");
  EXPECT_STREQ(VirtualDisplayStateName(2), "unavailable");
  EXPECT_STREQ(VirtualDisplayStateName(3), "unknown");
  EXPECT_STREQ(VddTargetStateName(0), "detached");
  EXPECT_STREQ(VddTargetStateName(1), "cloned");
  EXPECT_STREQ(VddTargetStateName(2), "extended");
  EXPECT_STREQ(VddTargetStateName(7), "unknown");
}

TEST(VirtualDisplayTargetId, FromTheMonitorDevicePath) {
  struct Case {
    const char* path;
    const char* id;
  };
  const Case cases[] = {
      {"\\\\?\\DISPLAY#MSH1234#5&1a2b3c&0&UID256#{e6f07b5f-ee97-4a90-b076-33f57bf4eaa7}",
       "DISPLAY\\MSH1234\\5&1A2B3C&0&UID256"},
      {"DISPLAY#abc#1", "DISPLAY\\ABC\\1"},
      {"\\\\?\\DISPLAY#X#{guid}#{second}", "DISPLAY\\X"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(TargetIdFromDevicePath(c.path), c.id) << c.path;
  EXPECT_EQ(FallbackTargetId(0x1234abcd, 260), "TARGET-1234ABCD-260");
  EXPECT_EQ(FallbackTargetId(0, 0), "TARGET-00000000-0");
}

TEST(VirtualDisplayToken, FormatAndParse) {
  EXPECT_EQ(FormatVddToken({true, "DISPLAY\\X\\1"}), "attached@DISPLAY\\X\\1");
  EXPECT_EQ(FormatVddToken({false, "T"}), "preexisting@T");
  EXPECT_EQ(FormatVddToken({true, ""}), "attached");
  struct Case {
    const char* text;
    bool valid;
    bool attached;
    const char* target;
  };
  const Case cases[] = {
      {"attached@DISPLAY\\X\\1", true, true, "DISPLAY\\X\\1"},
      {"preexisting@T@2", true, false, "T@2"},
      {"attached", true, true, ""},
      {"preexisting", true, false, ""},
      {"attached@", false, false, ""},
      {"Attached@T", false, false, ""},
      {"attachedX@T", false, false, ""},
      {"", false, false, ""},
      {"@T", false, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto token = ParseVddToken(c.text);
    ASSERT_EQ(token.has_value(), c.valid);
    if (!token) continue;
    EXPECT_EQ(token->attached, c.attached);
    EXPECT_EQ(token->target_id, c.target);
  }
}

TEST(NotInstalledVirtualDisplayBackend, DeclinesEverything) {
  NotInstalledVirtualDisplayBackend backend;
  EXPECT_STREQ(backend.GetId(), "none");
  EXPECT_STREQ(backend.GetDisplayName(), "no virtual display driver");
  const VirtualDisplayAvailability a = backend.QueryAvailability();
  EXPECT_EQ(a.state, VirtualDisplayState::kNotInstalled);
  EXPECT_EQ(a.detail, "no supported virtual display driver found");
  const VirtualDisplayModeLimits limits = backend.GetModeLimits();
  EXPECT_EQ(limits.min_width, 640u);
  EXPECT_EQ(limits.max_height, 4320u);
  EXPECT_EQ(limits.max_refresh_hz, 240u);
  EXPECT_TRUE(limits.refresh_rates.empty());
  VddAcquireResult result;
  result.monitor_id = "\\\\.\\DISPLAY3";
  std::string error;
  EXPECT_FALSE(backend.AcquireMonitorExcluding({1920, 1080, 60}, {}, &result, &error));
  EXPECT_EQ(error, "virtual display driver is not installed");
  EXPECT_EQ(backend.GetMaxMonitors(), 1u);
  EXPECT_FALSE(backend.RequestMonitorCount(2, &error));
  EXPECT_EQ(error, "the virtual display driver supports no more monitors");
  EXPECT_FALSE(backend.ReleaseLeftoverMonitor("attached@T", &error));
  EXPECT_EQ(backend.DetachUnusedMonitors({}).detached, 0u);
  EXPECT_EQ(backend.GetMonitorIdForToken(result), "\\\\.\\DISPLAY3");
}

}  // namespace
}  // namespace orvane
