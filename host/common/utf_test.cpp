#include "host/common/utf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvane {
namespace {

TEST(Utf, RoundTripsAcrossPlanes) {
  const std::string text = "Tablet \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  const std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide.size(), 7u + 2u + 2u);
  EXPECT_EQ(Utf16ToUtf8(wide), text);
}

TEST(Utf, InvalidBytesBecomeReplacementCharacters) {
  EXPECT_EQ(Utf8ToUtf16("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");        // overlong
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // surrogate
  EXPECT_EQ(Utf16ToUtf8(u"\xD800x"), "\xEF\xBF\xBDx");       // lone surrogate
  EXPECT_FALSE(IsValidUtf8("\xE2\x82"));
  EXPECT_TRUE(IsValidUtf8("\xE2\x82\xAC"));
}

TEST(Utf, PrefixNeverCutsACharacter) {
  const std::string euro3 = "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC";
  struct Case { size_t max; size_t expected; };
  for (const Case c : {Case{9, 9}, Case{8, 6}, Case{7, 6}, Case{6, 6}, Case{5, 3}, Case{1, 0}, Case{0, 0}}) {
    EXPECT_EQ(Utf8Prefix(euro3, c.max).size(), c.expected) << c.max;
  }
  EXPECT_EQ(Utf8Prefix("abc", 2), "ab");
}

TEST(Utf, MultiStringsAreReadWithinTheirUnits) {
  struct Case {
    std::u16string units;
    std::vector<std::string> strings;
  };
  const Case cases[] = {
      {std::u16string(u"Root\\TvrVDD\0TvrVDD\0\0", 20), {"Root\\TvrVDD", "TvrVDD"}},
      {std::u16string(u"A\0B", 3), {"A", "B"}},  // no final terminator
      {std::u16string(u"A\0\0B\0", 5), {"A"}},  // an empty string ends the list
      {std::u16string(u"\u00e9t\u00e9", 3), {"\xc3\xa9t\xc3\xa9"}},
      {std::u16string(), {}},
      {std::u16string(u"\0", 1), {}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitUtf16MultiString(c.units), c.strings) << Utf16ToUtf8(c.units);
}

}  // namespace
}  // namespace orvane
