#include "host/app/autostart.h"

#include <gtest/gtest.h>

#include "host/common/file_io.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

TEST(AutostartLinuxTest, EntryRoundTrip) {
  testing::ScopedTempDir dir;
  testing::ScopedEnv config_home("XDG_CONFIG_HOME", dir.path().string());
  const auto entry = dir.path() / "autostart" / "orvane-display.desktop";
  testing::LogCapture log;

  EXPECT_FALSE(IsStartWithWindowsEnabled());
  ASSERT_TRUE(EnableStartWithWindows("/opt/Orvane Display/OrvaneHost"));
  EXPECT_TRUE(IsStartWithWindowsEnabled());
  EXPECT_TRUE(log.Contains("[INFO ] [Main] Start with Windows enabled (status=0)"));
  const FileReadResult read = ReadFileBounded(entry, 4096);
  ASSERT_EQ(read.status, FileReadStatus::kOk);
  EXPECT_NE(read.bytes.find("[Desktop Entry]\n"), std::string::npos);
  EXPECT_NE(read.bytes.find("\nExec=\"/opt/Orvane Display/OrvaneHost\" --background\n"), std::string::npos);

  EXPECT_TRUE(DisableStartWithWindows([] { FAIL() << "no machine-wide entry on Linux"; }));
  EXPECT_FALSE(IsStartWithWindowsEnabled());
  EXPECT_FALSE(std::filesystem::exists(entry));
  EXPECT_TRUE(log.Contains("[INFO ] [Main] Start with Windows disabled"));
  // Disabling again is fine.
  EXPECT_TRUE(DisableStartWithWindows(nullptr));
}

TEST(AutostartLinuxTest, NothingIsWrittenForAnUnusablePath) {
  testing::ScopedTempDir dir;
  testing::ScopedEnv config_home("XDG_CONFIG_HOME", dir.path().string());
  for (const char* path : {"", "/opt/a\"b", "/opt/$HOME/host", "/opt/100%/host", "/opt/a\nExec=evil"}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(EnableStartWithWindows(path));
    EXPECT_FALSE(IsStartWithWindowsEnabled());
  }
}

TEST(AutostartLinuxTest, EnablesThisProgram) {
  testing::ScopedTempDir dir;
  testing::ScopedEnv config_home("XDG_CONFIG_HOME", dir.path().string());
  ASSERT_TRUE(EnableStartWithWindows());
  const FileReadResult read = ReadFileBounded(dir.path() / "autostart" / "orvane-display.desktop", 4096);
  ASSERT_EQ(read.status, FileReadStatus::kOk);
  EXPECT_NE(read.bytes.find("Exec=\"" + ProgramPathUtf8() + "\" --background\n"), std::string::npos);
}

}  // namespace
}  // namespace orvane
