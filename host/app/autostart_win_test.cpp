#include "host/app/autostart.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <optional>

#include "host/common/platform_info.h"
#include "host/common/win_text.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

std::optional<std::wstring> ReadRunValue(HKEY root) {
  const std::wstring name = ToWide(kStartWithWindowsValueName);
  wchar_t buf[2048];
  DWORD size = sizeof buf;
  DWORD type = 0;
  if (RegGetValueW(root, kRunKey, name.c_str(), RRF_RT_REG_SZ, &type, buf, &size) != ERROR_SUCCESS) return std::nullopt;
  return std::wstring(buf);
}

// These tests write the real Run value (of the test prefix under Wine); an
// entry that was there before is put back.
class AutostartWinTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = ReadRunValue(HKEY_CURRENT_USER); }
  void TearDown() override {
    if (saved_) {
      RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, ToWide(kStartWithWindowsValueName).c_str(), REG_SZ,
                      saved_->c_str(), static_cast<DWORD>((saved_->size() + 1) * sizeof(wchar_t)));
    }
  }
  std::optional<std::wstring> saved_;
};

TEST_F(AutostartWinTest, RunValueRoundTrip) {
  testing::LogCapture log;
  ASSERT_TRUE(EnableStartWithWindows("C:\\Program Files\\Orvane Display\\OrvaneHost.exe"));
  EXPECT_EQ(ReadRunValue(HKEY_CURRENT_USER), L"\"C:\\Program Files\\Orvane Display\\OrvaneHost.exe\" --background");
  EXPECT_TRUE(IsStartWithWindowsEnabled());
  EXPECT_TRUE(log.Contains("[INFO ] [Main] Start with Windows enabled (status=0)"));

  EXPECT_TRUE(DisableStartWithWindows([] { FAIL() << "no machine-wide value was written"; }));
  EXPECT_EQ(ReadRunValue(HKEY_CURRENT_USER), std::nullopt);
  EXPECT_TRUE(log.Contains("[INFO ] [Main] Start with Windows disabled"));
  if (!ReadRunValue(HKEY_LOCAL_MACHINE)) {
    EXPECT_FALSE(IsStartWithWindowsEnabled());
  }
}

TEST_F(AutostartWinTest, ThisProgramAndUnreadablePaths) {
  ASSERT_TRUE(EnableStartWithWindows());
  EXPECT_EQ(ReadRunValue(HKEY_CURRENT_USER), L"\"" + ToWide(ProgramPathUtf8()) + L"\" --background");
  ASSERT_TRUE(DisableStartWithWindows(nullptr));

  // A path that could not be read writes nothing.
  EXPECT_FALSE(EnableStartWithWindows(""));
  EXPECT_EQ(ReadRunValue(HKEY_CURRENT_USER), std::nullopt);
}

TEST_F(AutostartWinTest, DisableAlsoRemovesAMachineWideValue) {
  const std::wstring name = ToWide(kStartWithWindowsValueName);
  const std::wstring value = L"\"C:\\Orvane\\OrvaneHost.exe\" --background";
  if (ReadRunValue(HKEY_LOCAL_MACHINE) ||
      RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRunKey, name.c_str(), REG_SZ, value.c_str(),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS) {
    GTEST_SKIP() << "the machine-wide value cannot be set up here (needs administrator rights)";
  }
  EXPECT_TRUE(IsStartWithWindowsEnabled());
  int messages = 0;
  EXPECT_TRUE(DisableStartWithWindows([&] { ++messages; }));
  EXPECT_EQ(messages, 0);  // removed, so there is nothing to tell the user
  EXPECT_EQ(ReadRunValue(HKEY_LOCAL_MACHINE), std::nullopt);
  EXPECT_FALSE(IsStartWithWindowsEnabled());
}

}  // namespace
}  // namespace orvane
