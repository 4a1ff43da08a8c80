#include "host/vdd/vdd_ledger.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "host/common/file_io.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using testing::LogCapture;
using testing::ScopedTempDir;

constexpr const char* kHeader = "# Orvane virtual display ledger (removed on next host start)\n";

std::string ReadAll(const std::filesystem::path& path) {
  const FileReadResult r = ReadFileBounded(path, 1 << 20);
  return r.bytes;
}

void WriteRaw(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

TEST(VddLedgerSafe, BytesAndLength) {
  struct Case {
    std::string text;
    bool safe;
  };
  const Case cases[] = {
      {"tvr-vdd", true},
      {"attached@DISPLAY\\TVR\\1", true},
      {"!", true},
      {"~", true},
      {std::string(128, 'a'), true},
      {std::string(129, 'a'), false},
      {"", false},
      {"a b", false},
      {"a|b", false},
      {"a#b", false},
      {"tab\there", false},
      {"del\x7f", false},
      {"caf\xc3\xa9", false},
      {"new\nline", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsLedgerSafe(c.text), c.safe) << c.text;
}

TEST(VddLedgerList, DistinctSafeAndBounded) {
  VddLedgerList list;
  EXPECT_TRUE(list.Add({"tvr-vdd", "attached@A"}));
  EXPECT_TRUE(list.Add({"tvr-vdd", "attached@A"}));
  EXPECT_EQ(list.size(), 1u);
  EXPECT_FALSE(list.Add({"tvr-vdd", "attached@A|B"}));
  EXPECT_FALSE(list.Add({"tvr vdd", "attached@A"}));
  EXPECT_FALSE(list.Add({"tvr-vdd", "#x"}));
  for (int i = 1; i < 16; ++i) EXPECT_TRUE(list.Add({"tvr-vdd", "attached@T" + std::to_string(i)}));
  EXPECT_EQ(list.size(), 16u);
  EXPECT_FALSE(list.Add({"tvr-vdd", "attached@T16"}));
  EXPECT_TRUE(list.Add({"tvr-vdd", "attached@T3"}));  // already listed
  list.Remove({"tvr-vdd", "attached@A"});
  EXPECT_FALSE(list.Contains({"tvr-vdd", "attached@A"}));
  EXPECT_EQ(list.size(), 15u);
  EXPECT_EQ(list.entries().front().token, "attached@T1");
}

TEST(VddLedgerText, FormatsHeaderAndLinesAndLeavesOutUnsafeEntries) {
  EXPECT_EQ(FormatVddLedger({}), kHeader);
  EXPECT_EQ(FormatVddLedger({{"tvr-vdd", "attached@DISPLAY\\TVR\\0"}, {"tvr-vdd", "bad|token"}, {"x", "preexisting"}}),
            std::string(kHeader) + "display=tvr-vdd|attached@DISPLAY\\TVR\\0\ndisplay=x|preexisting\n");
}

TEST(VddLedgerText, Parses) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<VddLedgerEntry> entries;
  };
  const Case cases[] = {
      {"written form", std::string(kHeader) + "display=tvr-vdd|attached@A\n", {{"tvr-vdd", "attached@A"}}},
      {"crlf and trailing blanks", "display=tvr-vdd|attached@A \r\ndisplay=none|preexisting  \r\r\n",
       {{"tvr-vdd", "attached@A"}, {"none", "preexisting"}}},
      {"no final newline", "display=a|b", {{"a", "b"}}},
      {"split at the first bar: the token is not safe", "display=a|b|c\ndisplay=a|d\n", {{"a", "d"}}},
      {"prefix exact", "Display=a|b\n display=a|c\ndisplay:a|e\ndisplay=a|f\n", {{"a", "f"}}},
      {"empty fields", "display=|b\ndisplay=a|\ndisplay=ab\n", {}},
      {"unsafe bytes", "display=a b|c\ndisplay=a|c#d\ndisplay=a|c\td\n", {}},
      {"duplicates once", "display=a|b\ndisplay=a|b\ndisplay=a|c\n", {{"a", "b"}, {"a", "c"}}},
      {"comments and junk", "# comment\n\njunk\n", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseVddLedger(c.text), c.entries) << c.name;
}

TEST(VddLedgerText, KeepsTheFirstSixteenDistinctEntries) {
  std::string text = kHeader;
  std::vector<VddLedgerEntry> expected;
  for (int i = 0; i < 20; ++i) {
    const std::string token = "attached@T" + std::to_string(i);
    text += "display=tvr-vdd|" + token + "\n";
    if (i == 3) text += "display=tvr-vdd|attached@T0\n";  // a duplicate does not take a place
    if (expected.size() < 16) expected.push_back({"tvr-vdd", token});
  }
  EXPECT_EQ(ParseVddLedger(text), expected);
}

TEST(VddLedgerFile, WritesReadsAndDeletes) {
  ScopedTempDir dir;
  const auto path = dir.path() / "virtual_display_ledger.ini";
  VddLedgerList list;
  ASSERT_TRUE(list.Add({"tvr-vdd", "attached@DISPLAY\\TVR\\0"}));
  ASSERT_TRUE(WriteVddLedger(path, list));
  EXPECT_EQ(ReadAll(path), std::string(kHeader) + "display=tvr-vdd|attached@DISPLAY\\TVR\\0\n");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "virtual_display_ledger.ini.tmp"));
  const VddLedgerRead read = ReadVddLedger(path);
  EXPECT_TRUE(read.present);
  EXPECT_EQ(read.entries, list.entries());

  list.Clear();
  EXPECT_TRUE(WriteVddLedger(path, list));
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(WriteVddLedger(path, list));  // already gone
  EXPECT_FALSE(ReadVddLedger(path).present);
  EXPECT_TRUE(WriteVddLedger({}, list));
  EXPECT_FALSE(ReadVddLedger({}).present);
}

TEST(VddLedgerFile, AFileThatCannotBeWrittenWarns) {
  ScopedTempDir dir;
  LogCapture log;
  VddLedgerList list;
  ASSERT_TRUE(list.Add({"tvr-vdd", "attached@A"}));
  const auto path = dir.path() / "missing-folder" / "ledger.ini";
  EXPECT_FALSE(WriteVddLedger(path, list));
  EXPECT_EQ(log.Count("[VDD] Cannot write ledger " + PathToUtf8(path) +
                      "; a crash would leave the virtual monitor until reboot"),
            1u);
}

TEST(VddLedgerFile, OversizedOrUnreadableRecoversNothing) {
  ScopedTempDir dir;
  LogCapture log;
  const auto big = dir.path() / "big.ini";
  std::string text = std::string(kHeader) + "display=tvr-vdd|attached@A\n";
  text.resize(kVddLedgerMaxFileBytes + 1, '\n');
  WriteRaw(big, text);
  const VddLedgerRead too_large = ReadVddLedger(big);
  EXPECT_FALSE(too_large.present);
  EXPECT_TRUE(too_large.entries.empty());
  EXPECT_TRUE(log.Contains("[VDD] Ledger " + PathToUtf8(big) + " is too large"));

  text.resize(kVddLedgerMaxFileBytes);  // exactly at the bound is read
  WriteRaw(big, text);
  EXPECT_EQ(ReadVddLedger(big).entries.size(), 1u);

  const auto folder = dir.path() / "a-folder.ini";
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  const VddLedgerRead unreadable = ReadVddLedger(folder);
  EXPECT_FALSE(unreadable.present);
  EXPECT_TRUE(log.Contains("[VDD] Ledger " + PathToUtf8(folder) + " is unreadable"));
}

}  // namespace
}  // namespace orvane
