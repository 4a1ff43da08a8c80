#include "host/app/crash_handler.h"

#include <gtest/gtest.h>

#include <string>

namespace orvane {
namespace {

TEST(CrashHandlerTest, FileNamesFollowTheTimeStampPattern) {
  const struct {
    int y, mo, d, h, mi, s;
    const char* ext;
    const char* expected;
  } cases[] = {
      {2025, 1, 31, 23, 5, 9, ".dmp", "crash_20250131_230509.dmp"},
      {1999, 12, 1, 0, 0, 0, ".txt", "crash_19991201_000000.txt"},
      {2100, 10, 10, 10, 10, 10, ".dmp", "crash_21001010_101010.dmp"},
  };
  for (const auto& c : cases) {
    char buf[64];
    size_t pos = 0;
    crash_text::AppendCrashFileName(buf, sizeof buf, &pos, c.y, c.mo, c.d, c.h, c.mi, c.s, c.ext);
    EXPECT_STREQ(buf, c.expected);
    EXPECT_EQ(pos, std::string(c.expected).size());
  }
}

TEST(CrashHandlerTest, UtcTimeWithoutTheCLibrary) {
  const struct {
    int64_t seconds;
    const char* name;
  } cases[] = {
      {0, "crash_19700101_000000.txt"},
      {951'782'400, "crash_20000229_000000.txt"},
      {1'738'367'999, "crash_20250131_235959.txt"},
      {-1, "crash_19691231_235959.txt"},
  };
  for (const auto& c : cases) {
    char buf[64];
    EXPECT_EQ(FormatCrashNoteName(buf, sizeof buf, c.seconds), std::string(c.name).size());
    EXPECT_STREQ(buf, c.name) << c.seconds;
  }
}

TEST(CrashHandlerTest, NoteTextAndBoundedBuffers) {
  char buf[256];
  const size_t n = FormatCrashNoteText(buf, sizeof buf, 11, "SIGSEGV", 4242, 1'738'367'999);
  const std::string expected = "OrvaneHost crashed\nsignal: 11 (SIGSEGV)\npid: 4242\ntime (UTC): 2025-01-31 23:59:59\n";
  EXPECT_EQ(std::string(buf, n), expected);

  char small[8];
  EXPECT_EQ(FormatCrashNoteText(small, sizeof small, 11, "SIGSEGV", 4242, 0), 7u);
  EXPECT_STREQ(small, "OrvaneH");
  char tiny_name[10];
  EXPECT_EQ(FormatCrashNoteName(tiny_name, sizeof tiny_name, 0), 9u);
  EXPECT_STREQ(tiny_name, "crash_197");
}

}  // namespace
}  // namespace orvane
