#include "host/app/profile_file.h"

#include <gtest/gtest.h>

#include <climits>

namespace orvane {
namespace {

TEST(ProfileFileTest, GetFollowsProfileLookupRules) {
  const ProfileFile file = ProfileFile::Parse(
      "top=ignored\r\n"
      "[Window]\r\n"
      "  X = -12 \r\n"
      "; y=1\r\n"
      "# y=2\r\n"
      "y=5\n"
      "y=6\n"
      "noequals\n"
      "[window]\n"
      "z=second section is never reached\n"
      "[other]\n"
      "x=99\n");
  struct Case {
    const char* section;
    const char* key;
    std::optional<std::string> value;
  };
  const Case cases[] = {
      {"window", "x", "-12"},          // names case-insensitive, value trimmed
      {"WINDOW", "y", "5"},            // comments skipped, first key wins
      {"window", "z", std::nullopt},   // only the first section of a name counts
      {"window", "noequals", std::nullopt},
      {"other", "x", "99"},
      {"missing", "x", std::nullopt},
      {"window", "top", std::nullopt},  // lines before any section belong to none
  };
  for (const auto& c : cases) {
    EXPECT_EQ(file.Get(c.section, c.key), c.value) << c.section << "/" << c.key;
  }
}

TEST(ProfileFileTest, GetIntReadsLikeTheProfileApiAndSaturates) {
  const ProfileFile file = ProfileFile::Parse(
      "[s]\na=42\nb=-7px\nc=abc\nd=99999999999999\ne=-99999999999999\nf=\n");
  struct Case {
    const char* key;
    std::optional<int32_t> value;
  };
  const Case cases[] = {{"a", 42},      {"b", -7},      {"c", 0},           {"d", INT32_MAX},
                        {"e", INT32_MIN}, {"f", 0},     {"g", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(file.GetInt("s", c.key), c.value) << c.key;
}

TEST(ProfileFileTest, SetKeepsEverythingElse) {
  ProfileFile file = ProfileFile::Parse(
      "; written by hand\n"
      "[a]\n"
      "keep=1\n"
      "X=1\n"
      "\n"
      "[b]\n"
      "other=2\n");
  EXPECT_TRUE(file.Set("A", "x", "10"));     // replaced in place, whatever the case
  EXPECT_TRUE(file.Set("a", "y", "20"));     // added after the section's last line
  EXPECT_TRUE(file.Set("c", "z", "-30"));    // new section at the end
  EXPECT_EQ(file.Serialize(),
            "; written by hand\r\n"
            "[a]\r\n"
            "keep=1\r\n"
            "x=10\r\n"
            "y=20\r\n"
            "\r\n"
            "[b]\r\n"
            "other=2\r\n"
            "[c]\r\n"
            "z=-30\r\n");
  const ProfileFile again = ProfileFile::Parse(file.Serialize());
  EXPECT_EQ(again.Get("a", "x"), "10");
  EXPECT_EQ(again.Get("a", "y"), "20");
  EXPECT_EQ(again.Get("c", "z"), "-30");
  EXPECT_EQ(again.Get("b", "other"), "2");
}

TEST(ProfileFileTest, SetRefusesWhatWouldNotReadBack) {
  struct Case {
    std::string section, key, value;
  };
  const Case cases[] = {
      {"", "k", "v"},   {"s]", "k", "v"},   {" s", "k", "v"},  {"s", "", "v"},      {"s", "k=1", "v"},
      {"s", "k\n", "v"}, {"s", ";k", "v"},  {"s", "#k", "v"},  {"s", "[k", "v"},     {"s", "k ", "v"},
      {"s", "k", "v\r\nx=1"}, {"s", "k", " v"}, {"s", "k", std::string("v\0w", 3)},
  };
  for (const auto& c : cases) {
    ProfileFile file;
    EXPECT_FALSE(file.Set(c.section, c.key, c.value)) << c.section << "/" << c.key << "/" << c.value;
    EXPECT_EQ(file.Serialize(), "");
  }
}

}  // namespace
}  // namespace orvane
