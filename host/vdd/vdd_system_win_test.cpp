// The Virtual Display Driver back-end's Windows calls that need no desktop:
// registry reads in the 64-bit view (missing values, wrong types, strings
// read whole), device nodes that do not exist, and the uptime.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "host/common/platform_info.h"
#include "host/common/win_text.h"
#include "host/vdd/vdd_system.h"
#include "tests/support/test_support.h"

namespace orvane::vdd {
namespace {

constexpr char kVersionKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr char kMissingKey[] = "SOFTWARE\\Orvane Display test key that does not exist";

TEST(VddSystemWinTest, RegistryReadsAnswerWindowsErrorNumbers) {
  struct Case {
    const char* key;
    const char* value;
    bool dword;
    int32_t error;
  };
  const Case cases[] = {
      {kMissingKey, "VddFirstOrvaneMonitor", true, kErrorFileNotFound},
      {kMissingKey, "VDDPATH", false, kErrorFileNotFound},
      {kVersionKey, "Orvane value that does not exist", true, kErrorFileNotFound},
      {kVersionKey, "Orvane value that does not exist", false, kErrorFileNotFound},
      {kVersionKey, "ProductName", false, kErrorSuccess},
      {kVersionKey, "InstallDate", true, kErrorSuccess},
      {kVersionKey, "ProductName", true, ERROR_UNSUPPORTED_TYPE},
      {kVersionKey, "InstallDate", false, ERROR_UNSUPPORTED_TYPE},
  };
  auto system = MakePlatformVddSystem();
  ASSERT_NE(system, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " / " + c.value + (c.dword ? " (DWORD)" : " (string)"));
    testing::LogCapture log;
    if (c.dword) {
      uint32_t number = 12345;
      EXPECT_EQ(system->ReadRegistryDword(c.key, c.value, &number), c.error);
      if (c.error == kErrorSuccess) {
        EXPECT_GT(number, 0u);  // seconds since 1970
      } else {
        EXPECT_EQ(number, 0u);
      }
    } else {
      std::string text = "left over";
      EXPECT_EQ(system->ReadRegistryString(c.key, c.value, &text), c.error);
      EXPECT_EQ(text.empty(), c.error != kErrorSuccess) << text;
    }
    const std::string line = std::string("[VDD] RegGetValueW(HKLM\\") + c.key + ", " + c.value +
                             ") failed (err=" + std::to_string(c.error) + ")";
    // An absent value is no failure worth a warning.
    const bool warned = c.error != kErrorSuccess && c.error != kErrorFileNotFound;
    EXPECT_EQ(log.Count(line), warned ? 1u : 0u);
    EXPECT_EQ(log.Count("[WARN ] [VDD] RegGetValueW"), warned ? 1u : 0u);
  }
}

// A volatile key under HKEY_LOCAL_MACHINE (64-bit view), removed at the end.
class ScratchMachineKey {
 public:
  ScratchMachineKey() : name_("SOFTWARE\\Orvane Display test " + std::to_string(GetCurrentProcessId())) {
    const std::wstring wide = ToWide(name_);
    status_ = RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key_, nullptr);
  }
  ~ScratchMachineKey() {
    if (status_ != ERROR_SUCCESS) return;
    RegCloseKey(key_);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, ToWide(name_).c_str(), KEY_WOW64_64KEY, 0);
  }
  LONG status() const { return status_; }
  const std::string& name() const { return name_; }

  // `bytes` of the text's UTF-16 form, as given (no terminator is added).
  bool SetString(const char* value, const std::wstring& text, DWORD bytes) {
    return RegSetValueExW(key_, ToWide(value).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          bytes) == ERROR_SUCCESS;
  }
  bool SetString(const char* value, const std::wstring& text) {
    return SetString(value, text, static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  bool SetDword(const char* value, DWORD number) {
    return RegSetValueExW(key_, ToWide(value).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                          sizeof(number)) == ERROR_SUCCESS;
  }

 private:
  std::string name_;
  HKEY key_ = nullptr;
  LONG status_ = ERROR_SUCCESS;
};

TEST(VddSystemWinTest, RegistryStringsAreReadWholeUpToTheirLimit) {
  ScratchMachineKey key;
  if (key.status() != ERROR_SUCCESS) {
    const std::string reason = "no key can be created under HKEY_LOCAL_MACHINE (err=" +
                               std::to_string(key.status()) + "; the test needs administrator rights)";
    std::printf("[  SKIPPED ] %s\n", reason.c_str());
    GTEST_SKIP() << reason;
  }
  const std::string folder = "C:\\Program Files\\Vdd \xC3\xA9\xE6\x97\xA5\xE6\x9C\xAC";  // é日本
  const std::wstring wide_folder = ToWide(folder);
  const std::wstring long_text(600, L'x');  // longer than a 520-byte buffer
  const std::wstring longest(32767, L'y');
  const std::wstring too_long(32768, L'z');
  ASSERT_TRUE(key.SetString("folder", wide_folder));
  ASSERT_TRUE(key.SetString("unterminated", wide_folder, static_cast<DWORD>(wide_folder.size() * sizeof(wchar_t))));
  ASSERT_TRUE(key.SetString("long", long_text));
  ASSERT_TRUE(key.SetString("longest", longest));
  ASSERT_TRUE(key.SetString("too long", too_long));
  ASSERT_TRUE(key.SetString("empty", L""));
  ASSERT_TRUE(key.SetDword("count", 3));

  struct Case {
    const char* value;
    int32_t error;
    std::string text;
  };
  const Case cases[] = {
      {"folder", kErrorSuccess, folder},
      {"unterminated", kErrorSuccess, folder},
      {"long", kErrorSuccess, FromWide(long_text)},
      {"longest", kErrorSuccess, FromWide(longest)},
      {"too long", kErrorMoreData, ""},
      {"empty", kErrorSuccess, ""},
      {"count", ERROR_UNSUPPORTED_TYPE, ""},
  };
  auto system = MakePlatformVddSystem();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    std::string text = "left over";
    EXPECT_EQ(system->ReadRegistryString(key.name(), c.value, &text), c.error);
    EXPECT_EQ(text, c.text);
  }
  uint32_t count = 0;
  EXPECT_EQ(system->ReadRegistryDword(key.name(), "count", &count), kErrorSuccess);
  EXPECT_EQ(count, 3u);
}

TEST(VddSystemWinTest, DeviceNodesThatDoNotExistAreRefusedAndLogged) {
  auto system = MakePlatformVddSystem();
  const std::string unknown = "ROOT\\ORVANE_NO_SUCH_DEVICE\\0000";
  testing::LogCapture log;
  std::vector<DeviceNode> children(1);
  EXPECT_NE(system->ListChildNodes(unknown, &children), kErrorSuccess);
  EXPECT_TRUE(children.empty());
  std::string parent = "left over";
  EXPECT_NE(system->GetParentInstanceId(unknown, &parent), kErrorSuccess);
  EXPECT_TRUE(parent.empty());
  EXPECT_EQ(log.Count("[VDD] CM_Locate_DevNodeW(" + unknown + ") failed (cr=0x"), 2u);
}

TEST(VddSystemWinTest, TheUptimeCountsFromBoot) { EXPECT_GT(MakePlatformVddSystem()->UptimeMs(), 0u); }

}  // namespace
}  // namespace orvane::vdd
