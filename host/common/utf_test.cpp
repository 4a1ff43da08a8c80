#include "host/common/utf.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace orvane
