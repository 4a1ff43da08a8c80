#include "host/app/command_line.h"

#include <gtest/gtest.h>

#include <functional>

#include "tests/support/test_support.h"

namespace orvane {
namespace {

using Args = std::vector<std::string>;
using Ports = std::vector<uint16_t>;

struct Case {
  const char* name;
  Args args;
  std::function<void(const CommandLineOptions&)> check;
};

void RunCases(const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.check(ParseCommandLine(c.args));
  }
}

TEST(CommandLineTest, DefaultsWithoutArguments) {
  const CommandLineOptions o = ParseCommandLine({});
  EXPECT_FALSE(o.shutdown || o.restore_speakers || o.console || o.vdd_selftest || o.background || o.relaunched);
  EXPECT_EQ(o.control_port, 9430);
  EXPECT_EQ(o.media_port, 9431);
  EXPECT_EQ(o.input_port, 9432);
  EXPECT_FALSE(o.control_explicit);
  EXPECT_FALSE(o.input_explicit);
  EXPECT_FALSE(o.control_candidates.has_value());
  EXPECT_FALSE(o.input_candidates.has_value());
  EXPECT_EQ(o.monitors, 4u);
  EXPECT_FALSE(o.capture_output.has_value());
  EXPECT_FALSE(o.capture_backend.has_value());
  EXPECT_FALSE(o.lang.has_value());
  EXPECT_EQ(o.ui_theme, 0);
  EXPECT_TRUE(o.ui_capture.empty());
  EXPECT_EQ(o.ui_scale, 0.0);
}

TEST(CommandLineTest, FlagsCountAnywhere) {
  RunCases({
      {"each flag", {"--shutdown", "--restore-speakers", "--console", "--background", "--relaunched"},
       [](const CommandLineOptions& o) {
         EXPECT_TRUE(o.shutdown && o.restore_speakers && o.console && o.background && o.relaunched);
         EXPECT_FALSE(o.vdd_selftest);
       }},
      {"flag as the value of an option", {"--media-port", "--console"},
       [](const CommandLineOptions& o) {
         EXPECT_TRUE(o.console);
         EXPECT_EQ(o.media_port, 9431);
       }},
      {"flag after unknown words", {"junk", "--monitors", "2", "x", "--shutdown"},
       [](const CommandLineOptions& o) {
         EXPECT_TRUE(o.shutdown);
         EXPECT_EQ(o.monitors, 2u);
       }},
      {"flags are case-sensitive", {"--CONSOLE", "--Shutdown"},
       [](const CommandLineOptions& o) { EXPECT_FALSE(o.console || o.shutdown); }},
  });
}

TEST(CommandLineTest, ValueSpelledLikeAnOptionActsAsThatOption) {
  RunCases({
      {"value option eats the next option as its value and it still applies",
       {"--control-port", "--input-port", "7000"},
       [](const CommandLineOptions& o) {
         EXPECT_EQ(o.control_port, 9430);  // "--input-port" is no number
         EXPECT_TRUE(o.control_explicit);
         EXPECT_EQ(o.input_port, 7000);
         EXPECT_TRUE(o.input_explicit);
       }},
      {"a number value is not an option", {"--monitors", "3", "--media-port", "5000"},
       [](const CommandLineOptions& o) {
         EXPECT_EQ(o.monitors, 3u);
         EXPECT_EQ(o.media_port, 5000);
       }},
      {"value option given last is ignored", {"--media-port", "5000", "--control-port"},
       [](const CommandLineOptions& o) {
         EXPECT_EQ(o.media_port, 5000);
         EXPECT_EQ(o.control_port, 9430);
         EXPECT_FALSE(o.control_explicit);
       }},
      {"later value wins", {"--media-port", "5000", "--media-port", "6000"},
       [](const CommandLineOptions& o) { EXPECT_EQ(o.media_port, 6000); }},
  });
}

TEST(CommandLineTest, PortsAreReadLikeAtoiWithoutOverflow) {
  const struct {
    const char* value;
    std::optional<uint16_t> expected;  // absent: the option's default
  } cases[] = {
      {"1", 1},           {"65535", 65535},       {"65536", {}}, {"0", {}},
      {"-5", {}},         {"abc", {}},            {"", {}},      {"9555abc", 9555},
      {" 9555", 9555},    {"+9555", 9555},        {"99999999999999999999", {}},
      {"-99999999999999999999", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const CommandLineOptions o = ParseCommandLine({"--control-port", c.value, "--media-port", c.value,
                                                   "--input-port", c.value});
    EXPECT_EQ(o.control_port, c.expected.value_or(9430));
    EXPECT_EQ(o.media_port, c.expected.value_or(9431));
    EXPECT_EQ(o.input_port, c.expected.value_or(9432));
    // Explicit even when the value fell back to the default.
    EXPECT_TRUE(o.control_explicit);
    EXPECT_TRUE(o.input_explicit);
  }
}

TEST(CommandLineTest, CandidateListsAreAllOrNothing) {
  const struct {
    const char* value;
    std::optional<Ports> expected;
  } cases[] = {
      {"9430", Ports{9430}},
      {"9430,19430,0", std::nullopt},  // 0 is not a port
      {"100,65535,7", Ports{100, 65535, 7}},
      {"9430,,19430", std::nullopt},
      {"9430,", std::nullopt},
      {",9430", std::nullopt},
      {"", std::nullopt},
      {"65536", std::nullopt},
      {"009430", std::nullopt},  // more than five digits
      {"94 30", std::nullopt},
      {"-9430", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    testing::LogCapture log;
    const CommandLineOptions o =
        ParseCommandLine({"--control-port-candidates", c.value, "--input-port-candidates", c.value});
    EXPECT_EQ(o.control_candidates, c.expected);
    EXPECT_EQ(o.input_candidates, c.expected);
    const size_t warnings = c.expected ? 0 : 1;
    EXPECT_EQ(log.Count("[WARN ] [Main] Ignoring invalid --control-port-candidates list"), warnings);
    EXPECT_EQ(log.Count("[WARN ] [Main] Ignoring invalid --input-port-candidates list"), warnings);
  }
}

TEST(CommandLineTest, CandidateListLengthIsBounded) {
  std::string at_limit = "1";
  for (size_t i = 1; i < kMaxCandidatePorts; ++i) at_limit += ",65535";
  EXPECT_EQ(ParseCommandLine({"--control-port-candidates", at_limit}).control_candidates->size(),
            kMaxCandidatePorts);
  testing::LogCapture log;
  EXPECT_FALSE(ParseCommandLine({"--control-port-candidates", at_limit + ",2"}).control_candidates);
  EXPECT_FALSE(ParseCommandLine({"--control-port-candidates", std::string(100000, '1')}).control_candidates);
  EXPECT_EQ(log.Count("Ignoring invalid --control-port-candidates list"), 2u);
}

TEST(CommandLineTest, TabletCountAndCaptureOutput) {
  const struct {
    const char* value;
    uint32_t monitors;
    std::optional<uint32_t> capture_output;
  } cases[] = {
      {"0", 4, 0u},         {"1", 1, 0u},         {"4", 4, 3u},          {"2", 2, 1u},
      {"5", 4, std::nullopt}, {"7", 4, std::nullopt}, {"-1", 4, std::nullopt}, {"abc", 4, 0u},
      {"99999999999999999999", 4, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const CommandLineOptions o = ParseCommandLine({"--monitors", c.value, "--capture-output", c.value});
    EXPECT_EQ(o.monitors, c.monitors);
    EXPECT_EQ(o.capture_output, c.capture_output);
  }
}

TEST(CommandLineTest, CaptureBackendNames) {
  const struct {
    const char* value;
    int32_t expected;
  } cases[] = {
      {"wgc", 2},  {"WGC", 2},  {"Windows-Graphics-Capture", 2}, {"dxgi", 1}, {"DXGI", 1},
      {"desktop-duplication", 1}, {"auto", 0}, {"gdi", 0}, {"", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(ParseCommandLine({"--capture-backend", c.value}).capture_backend, c.expected);
  }
}

TEST(CommandLineTest, SettingsWindowValues) {
  RunCases({
      {"theme dark", {"--ui-theme", "DARK"}, [](const CommandLineOptions& o) { EXPECT_EQ(o.ui_theme, 1); }},
      {"theme light", {"--ui-theme", "light"}, [](const CommandLineOptions& o) { EXPECT_EQ(o.ui_theme, 2); }},
      {"theme unknown", {"--ui-theme", "blue"}, [](const CommandLineOptions& o) { EXPECT_EQ(o.ui_theme, 0); }},
      {"language", {"--lang", "pt-BR"}, [](const CommandLineOptions& o) { EXPECT_EQ(o.lang, "pt-BR"); }},
      {"language with odd characters", {"--lang", "en;rm"},
       [](const CommandLineOptions& o) { EXPECT_FALSE(o.lang); }},
      {"language too long", {"--lang", std::string(kMaxLanguageCodeBytes + 1, 'a')},
       [](const CommandLineOptions& o) { EXPECT_FALSE(o.lang); }},
      {"capture path", {"--ui-capture", "C:\\t\xC3\xA9st\\page.png"},
       [](const CommandLineOptions& o) { EXPECT_EQ(o.ui_capture, "C:\\t\xC3\xA9st\\page.png"); }},
      {"capture path too long", {"--ui-capture", std::string(kMaxUiCapturePathBytes + 1, 'a')},
       [](const CommandLineOptions& o) { EXPECT_TRUE(o.ui_capture.empty()); }},
  });
}

TEST(CommandLineTest, UiScaleAcceptsOnlyOneToThree) {
  const struct {
    const char* value;
    double expected;
  } cases[] = {
      {"1", 1.0},   {"1.0", 1.0}, {"1.25", 1.25}, {"3", 3.0},   {"3.0", 3.0},  {"0.5", 0.0},
      {"3.01", 0.0}, {"-2", 0.0}, {"nan", 0.0},   {"inf", 0.0}, {"1.5x", 0.0}, {"", 0.0},
      {"abc", 0.0}, {"0x2", 0.0}, {"1e0", 0.0},   {"2,5", 0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(ParseCommandLine({"--ui-scale", c.value}).ui_scale, c.expected);
  }
}

TEST(CommandLineTest, SelfTestArguments) {
  const struct {
    Args args;
    std::string monitor;
    uint32_t seconds;
  } cases[] = {
      {{"--vdd-selftest"}, "", 5},
      {{"--vdd-selftest", "1920x1080@60"}, "1920x1080@60", 5},
      {{"--vdd-selftest", "1920x1080@60", "30"}, "1920x1080@60", 30},
      {{"--vdd-selftest", "1920x1080@60", "0"}, "1920x1080@60", 0},
      {{"--vdd-selftest", "1920x1080@60", "500"}, "1920x1080@60", 120},
      {{"--vdd-selftest", "1920x1080@60", "99999999999999999999"}, "1920x1080@60", 120},
      {{"--vdd-selftest", "1920x1080@60", "ten"}, "1920x1080@60", 5},
      {{"--vdd-selftest", "1920x1080@60", "-3"}, "1920x1080@60", 5},
      {{"--vdd-selftest", "1920x1080@60", "12s"}, "1920x1080@60", 5},
      {{"--vdd-selftest", "--console", "30"}, "", 5},  // no monitor: nothing after it is read
      {{"--console", "--vdd-selftest", "x", "7"}, "x", 7},
      {{"--vdd-selftest", std::string(kMaxSelfTestModeBytes + 1, '1'), "9"}, "", 9},
  };
  for (const auto& c : cases) {
    const CommandLineOptions o = ParseCommandLine(c.args);
    EXPECT_TRUE(o.vdd_selftest);
    EXPECT_EQ(o.vdd_selftest_monitor, c.monitor) << c.args.size();
    EXPECT_EQ(o.vdd_selftest_seconds, c.seconds) << c.args.size();
  }
}

TEST(CommandLineTest, PublishesCaptureChoicesAndRelaunchArguments) {
  HostState state;
  state.capture_output_index = 2;  // from the saved settings
  state.capture_backend = 1;
  ApplyCommandLine(ParseCommandLine({"--capture-output", "7", "--control-port", "5000", "--media-port", "6000",
                                     "--monitors", "2"}),
                   &state);
  EXPECT_EQ(state.capture_output_index.load(), 2u);  // 7 keeps the saved index
  EXPECT_EQ(state.capture_backend.load(), 1);
  EXPECT_EQ(state.relaunch.control_port, 5000);
  EXPECT_TRUE(state.relaunch.control_explicit);
  EXPECT_EQ(state.relaunch.media_port, 6000);
  EXPECT_EQ(state.relaunch.input_port, 9432);
  EXPECT_FALSE(state.relaunch.input_explicit);
  EXPECT_EQ(state.relaunch.monitors, 2u);

  ApplyCommandLine(ParseCommandLine({"--capture-output", "1", "--capture-backend", "wgc"}), &state);
  EXPECT_EQ(state.capture_output_index.load(), 0u);
  EXPECT_EQ(state.capture_backend.load(), 2);
}

TEST(CommandLineTest, HostPortsCandidateLists) {
  RunCases({
      {"defaults", {},
       [](const CommandLineOptions& o) {
         const HostPorts p = HostPortsFromCommandLine(o);
         EXPECT_EQ(p.control_candidates, Ports({9430, 19430, 29430, 39430, 0}));
         EXPECT_EQ(p.input_candidates, Ports({9432, 19432, 29432, 39432, 0}));
         EXPECT_EQ(p.media_port, 9431);
       }},
      {"explicit ports win over lists", {"--control-port", "60000", "--control-port-candidates", "1,2"},
       [](const CommandLineOptions& o) {
         const HostPorts p = HostPortsFromCommandLine(o);
         EXPECT_TRUE(p.control_explicit);
         EXPECT_EQ(p.control_candidates, Ports({60000}));
       }},
      {"command-line list", {"--input-port-candidates", "7000,7001", "--input-port", "junk"},
       [](const CommandLineOptions& o) {
         const HostPorts p = HostPortsFromCommandLine(o);
         EXPECT_EQ(p.input_candidates, Ports({9432}));  // explicit, though the value fell back
       }},
      {"list without explicit port", {"--input-port-candidates", "7000,7001"},
       [](const CommandLineOptions& o) {
         EXPECT_EQ(HostPortsFromCommandLine(o).input_candidates, Ports({7000, 7001}));
       }},
      {"rejected list uses the default list", {"--control-port-candidates", "1,,2"},
       [](const CommandLineOptions& o) {
         EXPECT_EQ(HostPortsFromCommandLine(o).control_candidates, Ports({9430, 19430, 29430, 39430, 0}));
       }},
  });
}

TEST(CommandLineTest, TextToUtf16KeepsInvalidBytes) {
  EXPECT_EQ(CommandLineTextToUtf16("a\xC3\xA9"), std::u16string(u"a\u00E9"));
  EXPECT_EQ(CommandLineTextToUtf16("a\xE9"), std::u16string(u"a\u00E9"));  // Latin-1 byte widened
}

}  // namespace
}  // namespace orvane
