#include "host/app/relaunch.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

RelaunchArguments Args(bool control_explicit, bool input_explicit) {
  RelaunchArguments args;
  args.control_port = 9500;
  args.media_port = 9431;
  args.input_port = 9600;
  args.monitors = 2;
  args.control_explicit = control_explicit;
  args.input_explicit = input_explicit;
  return args;
}

TEST(RelaunchTest, BuildsTheCommandLine) {
  struct Case {
    const char* name;
    std::string path;
    RelaunchArguments args;
    bool ok;
    std::string expected;
  };
  const std::string exe = "C:\\Program Files\\Orvane Display\\OrvaneHost.exe";
  const std::string base = "\"" + exe + "\" --background --relaunched --media-port 9431 --monitors 2";
  const Case cases[] = {
      {"neither port explicit", exe, Args(false, false), true, base},
      {"control port explicit", exe, Args(true, false), true, base + " --control-port 9500"},
      {"input port explicit", exe, Args(false, true), true, base + " --input-port 9600"},
      {"both explicit", exe, Args(true, true), true, base + " --control-port 9500 --input-port 9600"},
      {"non-ASCII path", "C:\\Users\\J\xC3\xBCrgen\\OrvaneHost.exe", Args(false, false), true,
       "\"C:\\Users\\J\xC3\xBCrgen\\OrvaneHost.exe\" --background --relaunched --media-port 9431 --monitors 2"},
      {"empty path (lookup failed)", "", Args(false, false), false, ""},
      {"1100-character path", "C:\\" + std::string(1097, 'a'), Args(false, false), false, ""},
      {"quote in path", "C:\\a\"b.exe", Args(false, false), false, ""},
      {"line break in path", "C:\\a\nb.exe", Args(false, false), false, ""},
      {"invalid UTF-8", "C:\\a\xFF.exe", Args(false, false), false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string line = "untouched";
    EXPECT_EQ(BuildRelaunchCommandLine(c.path, c.args, &line), c.ok);
    EXPECT_EQ(line, c.ok ? c.expected : "untouched");
  }
}

TEST(RelaunchTest, LimitsTheLineTo1024Characters) {
  const RelaunchArguments args = Args(true, true);
  std::string probe;
  ASSERT_TRUE(BuildRelaunchCommandLine("x", args, &probe));
  const size_t fixed = probe.size() - 1;  // everything but the path
  std::string line;
  // A path of multi-byte characters is counted in UTF-16 units, not bytes.
  const std::string two_byte = "\xC3\xA9";
  std::string fits;
  for (size_t i = 0; i < kMaxRelaunchCommandLine - fixed; ++i) fits += two_byte;
  EXPECT_TRUE(BuildRelaunchCommandLine(fits, args, &line));
  EXPECT_FALSE(BuildRelaunchCommandLine(fits + "a", args, &line));
}

}  // namespace
}  // namespace orvane
