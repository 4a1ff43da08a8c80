#include "vdd_settings/vdd_settings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/test_support.h"

namespace tvr_vdd {
namespace {

TEST(VddSettingsLocation, FolderTrimmedAndDefaulted) {
  const std::string sep(1, kPathSeparator);
  struct Case {
    const char* folder;
    std::string path;
  };
  const Case cases[] = {
      {"", std::string("C:\\VirtualDisplayDriver") + sep + "vdd_settings.xml"},
      {"D:\\Drivers\\VDD\\", "D:\\Drivers\\VDD" + sep + "vdd_settings.xml"},
      {"/srv/vdd//", "/srv/vdd" + sep + "vdd_settings.xml"},
      {"X", "X" + sep + "vdd_settings.xml"},
  };
  for (const Case& c : cases) EXPECT_EQ(SettingsFileInFolder(c.folder), c.path) << c.folder;
}

TEST(VddSettingsText, CountOutsideCommentsOnly) {
  struct Case {
    const char* text;
    bool found;
    uint32_t count;
  };
  const Case cases[] = {
      {"<count>2</count>", true, 2},
      {"<vdd>\n  <count> 3 \r\n</count>\n</vdd>", true, 3},
      {"<!-- <count>9</count> --><count>4</count>", true, 4},
      {"<!-- <count>9</count>", false, 0},
      {"<counter>5</counter><count\t>6</count>", true, 6},
      {"<count>0</count>", false, 0},
      {"<count>100000</count>", true, 100000},
      {"<count>100001</count>", false, 0},
      {"<count>+2</count>", false, 0},
      {"<count>2x</count>", false, 0},
      {"<count></count>", false, 0},
      {"<count>2", false, 0},
      {"<cou", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint32_t count = 0;
    EXPECT_EQ(ReadMonitorCount(c.text, &count), c.found);
    EXPECT_EQ(count, c.found ? c.count : 0u);
  }
  EXPECT_TRUE(InsideComment("a<!-- b --> c", 5));
  EXPECT_FALSE(InsideComment("a<!-- b --> c", 12));
  EXPECT_FALSE(InsideComment("<!-- b -->", 7)) << "the closing marker's own start ends the comment";
}

TEST(VddSettingsText, ReadsWholeBytesAndRefusesOversizedFiles) {
  orvane::testing::ScopedTempDir dir;
  const std::string small = (dir.path() / "small.xml").string();
  {
    std::ofstream out(small, std::ios::binary);
    out << "<count>2</count>\r\n";
  }
  SettingsText read = ReadSettingsText(small);
  EXPECT_TRUE(read.opened);
  EXPECT_EQ(read.text, "<count>2</count>\r\n");
  const std::string big = (dir.path() / "big.xml").string();
  {
    std::ofstream out(big, std::ios::binary);
    out << std::string(kMaxSettingsFileBytes + 1, ' ');
  }
  EXPECT_FALSE(ReadSettingsText(big).opened);
  EXPECT_FALSE(ReadSettingsText((dir.path() / "missing.xml").string()).opened);
}

}  // namespace
}  // namespace tvr_vdd
