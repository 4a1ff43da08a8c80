#include "host/app/autostart.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(AutostartTest, BuildsTheCommand) {
  const struct {
    const char* path;
    const char* expected;
  } cases[] = {
      {"C:\\Program Files\\Orvane Display\\OrvaneHost.exe", "\"C:\\Program Files\\Orvane Display\\OrvaneHost.exe\" --background"},
      {"/opt/orvane/OrvaneHost", "\"/opt/orvane/OrvaneHost\" --background"},
      {"", ""},                 // the path could not be read
      {"C:\\a\"b.exe", ""},     // a quote would end the quoted path
      {"C:\\a\r\nb.exe", ""},   // control characters
      {"C:\\a\xC3.exe", ""},    // invalid UTF-8
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(StartWithWindowsCommand(c.path), c.expected);
  }
}

}  // namespace
}  // namespace orvane
