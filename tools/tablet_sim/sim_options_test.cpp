#include "tools/tablet_sim/sim_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvane::sim {
namespace {

TEST(SimOptions, DefaultsMatchAHostOnThisComputer) {
  const ParseResult r = ParseSimCommandLine({});
  ASSERT_EQ(r.status, ParseStatus::kRun);
  EXPECT_EQ(r.options.host, "127.0.0.1");
  EXPECT_EQ(r.options.port, 9430);
  EXPECT_EQ(r.options.app_version, "1.3.5");
  EXPECT_EQ(r.options.protocol_version, 1u);
  EXPECT_FALSE(r.options.client_id.empty());
  EXPECT_FALSE(r.options.client_name.empty());
  EXPECT_TRUE(r.options.send_hello);
  EXPECT_EQ(r.options.hold_seconds, 0u);
  EXPECT_FALSE(r.options.quiet);
  EXPECT_EQ(r.options.key_order, KeyOrder::kLsb);
  EXPECT_TRUE(r.options.directional_nonce);
  // Auth v1 without a credential or memory: a probing tablet.
  EXPECT_EQ(r.options.auth_version, 1u);
  EXPECT_TRUE(r.options.pairing_code.empty());
  EXPECT_TRUE(r.options.state_file.empty());
  EXPECT_FALSE(r.options.accept_new_identity);
  EXPECT_FALSE(r.options.Authenticating());
  // Media: nothing dropped, every unit checked, the host's default input port.
  EXPECT_EQ(r.options.drop_percent, 0u);
  EXPECT_EQ(r.options.drop_seed, 1u);
  EXPECT_TRUE(r.options.check_synthetic);
  EXPECT_EQ(r.options.input_port, 9432);
  // No decoder or lateness figures reported.
  EXPECT_EQ(r.options.report_decode_pressure_pct, 0.0f);
  EXPECT_EQ(r.options.report_late_drop_pct, 0.0f);
}

TEST(SimOptions, ReadsTheReportedFiguresExactlyWithinTheirBounds) {
  const struct {
    const char* option;
    const char* value;
    float decode;
    float late;
  } cases[] = {
      {"--report-decode", "0", 0.0f, 0.0f},
      {"--report-decode", "120", 120.0f, 0.0f},
      {"--report-decode", "1000", 1000.0f, 0.0f},
      {"--report-decode", "999.999", 999.999f, 0.0f},
      {"--report-decode", "0.5", 0.5f, 0.0f},
      {"--report-decode", "0042.25", 42.25f, 0.0f},
      {"--report-late", "12.5", 0.0f, 12.5f},
      {"--report-late", "100", 0.0f, 100.0f},
      {"--report-late", "100.000", 0.0f, 100.0f},
      {"--report-late", "0.125", 0.0f, 0.125f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.option) + " " + c.value);
    const ParseResult r = ParseSimCommandLine({c.option, c.value});
    ASSERT_EQ(r.status, ParseStatus::kRun) << r.error;
    EXPECT_EQ(r.options.report_decode_pressure_pct, c.decode);
    EXPECT_EQ(r.options.report_late_drop_pct, c.late);
  }
  const ParseResult both = ParseSimCommandLine({"--report-decode", "150", "--report-late", "7"});
  ASSERT_EQ(both.status, ParseStatus::kRun) << both.error;
  EXPECT_EQ(both.options.report_decode_pressure_pct, 150.0f);
  EXPECT_EQ(both.options.report_late_drop_pct, 7.0f);
}

TEST(SimOptions, ReadsTheMediaOptions) {
  const ParseResult r = ParseSimCommandLine(
      {"--drop-percent", "50", "--drop-seed", "999999999", "--check-synthetic", "off", "--input-port", "19432"});
  ASSERT_EQ(r.status, ParseStatus::kRun) << r.error;
  EXPECT_EQ(r.options.drop_percent, 50u);
  EXPECT_EQ(r.options.drop_seed, 999999999u);
  EXPECT_FALSE(r.options.check_synthetic);
  EXPECT_EQ(r.options.input_port, 19432);
  EXPECT_TRUE(ParseSimCommandLine({"--check-synthetic", "on"}).options.check_synthetic);
}

TEST(SimOptions, ReadsTheAuthenticationOptions) {
  const ParseResult r = ParseSimCommandLine({"--auth-version", "2", "--pairing-code", "012345", "--state-file",
                                             "/tmp/t\xC3\xA9/tab.state", "--accept-new-identity"});
  ASSERT_EQ(r.status, ParseStatus::kRun) << r.error;
  EXPECT_EQ(r.options.auth_version, 2u);
  EXPECT_EQ(r.options.pairing_code, "012345");
  EXPECT_EQ(r.options.state_file, "/tmp/t\xC3\xA9/tab.state");
  EXPECT_TRUE(r.options.accept_new_identity);

  // Any one of them makes a run that authenticates.
  const struct {
    std::vector<std::string> args;
    bool authenticating;
  } cases[] = {
      {{"--auth-version", "1"}, false},
      {{"--accept-new-identity"}, false},
      {{"--auth-version", "2"}, true},
      {{"--pairing-code", "999999"}, true},
      {{"--state-file", "tab.state"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    const ParseResult p = ParseSimCommandLine(c.args);
    ASSERT_EQ(p.status, ParseStatus::kRun) << p.error;
    EXPECT_EQ(p.options.Authenticating(), c.authenticating);
  }
}

TEST(SimOptions, ReadsEveryOption) {
  const ParseResult r = ParseSimCommandLine({"--host", "192.168.1.20", "--port", "19430", "--name", "Tablet \xC3\xA9",
                                             "--id", "tab-a", "--app-version", "1.2.9", "--protocol-version", "2",
                                             "--no-hello", "--hold", "30", "--quiet", "--key-order", "msb",
                                             "--no-directional-nonce"});
  ASSERT_EQ(r.status, ParseStatus::kRun) << r.error;
  EXPECT_EQ(r.options.host, "192.168.1.20");
  EXPECT_EQ(r.options.port, 19430);
  EXPECT_EQ(r.options.client_name, "Tablet \xC3\xA9");
  EXPECT_EQ(r.options.client_id, "tab-a");
  EXPECT_EQ(r.options.app_version, "1.2.9");
  EXPECT_EQ(r.options.protocol_version, 2u);
  EXPECT_FALSE(r.options.send_hello);
  EXPECT_EQ(r.options.hold_seconds, 30u);
  EXPECT_TRUE(r.options.quiet);
  EXPECT_EQ(r.options.key_order, KeyOrder::kMsb);
  EXPECT_FALSE(r.options.directional_nonce);
  EXPECT_EQ(ParseSimCommandLine({"--key-order", "msb", "--key-order", "lsb"}).options.key_order, KeyOrder::kLsb);
}

TEST(SimOptions, TextsAreSentAsGivenWithinTheirBounds) {
  // The simulator must be able to send what a broken app would: empty ids
  // and versions the host refuses.
  const ParseResult r =
      ParseSimCommandLine({"--id", "", "--app-version", "1.3", "--name", std::string(kMaxClientNameBytes, 'n')});
  ASSERT_EQ(r.status, ParseStatus::kRun) << r.error;
  EXPECT_EQ(r.options.client_id, "");
  EXPECT_EQ(r.options.app_version, "1.3");
  EXPECT_EQ(r.options.client_name.size(), kMaxClientNameBytes);
}

TEST(SimOptions, HelpWinsOverEverythingElse) {
  EXPECT_EQ(ParseSimCommandLine({"--port", "1", "--help"}).status, ParseStatus::kHelp);
  EXPECT_EQ(ParseSimCommandLine({"-h"}).status, ParseStatus::kHelp);
  const std::string usage = SimUsageText();
  for (const char* option : {"--host", "--port", "--name", "--id", "--app-version", "--protocol-version", "--no-hello",
                             "--hold", "--quiet", "--help", "--key-order lsb|msb", "--no-directional-nonce",
                             "key-rotation[:EPOCH|same]", "--auth-version 1|2", "--pairing-code NNNNNN",
                             "--state-file PATH", "--accept-new-identity", "4 not authenticated",
                             "5 the state file", "[Sim] Pairing required", "end ", "--drop-percent P",
                             "--drop-seed S", "--check-synthetic on|off", "--input-port N", "wait-media:N[:MS]",
                             "wait-decoded:N[:MS]", "[Sim] Video: decoded=N fps=F first_frame_ms=M",
                             "touch[:N]", "key[:CODE]", "[Sim] Sent media punch to port N from port N",
                             "[Sim] Media: datagrams=N opened=N dropped_on_purpose=N", "--report-decode P",
                             "--report-late P", "mouse[:N]", "mouse-hold[:N]", "pen[:N]", "pen-barrel[:N]",
                             "[Sim] StreamResize encoded=WxH logical=WxH scale=N/1000",
                             "[Sim] Host bitrate current_bitrate_kbps=N", "[Sim] Parity group size N",
                             "[Sim] Parity groups: size=N count=N",
                             "[Sim] Video: first picture decoded after StreamResize: WxH"}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
}

TEST(SimOptions, RefusesBadValuesNamingTheOption) {
  struct Case {
    std::vector<std::string> args;
    const char* error_part;
  };
  const Case cases[] = {
      {{"--port"}, "--port needs a value"},
      {{"--port", "0"}, "--port"},
      {{"--port", "65536"}, "--port"},
      {{"--port", "12ab"}, "--port"},
      {{"--port", "-5"}, "--port"},
      {{"--host", "localhost"}, "--host"},
      {{"--host", "1.2.3.256"}, "--host"},
      {{"--hold", "86401"}, "--hold"},
      {{"--hold", "1.5"}, "--hold"},
      {{"--protocol-version", "1000000000"}, "--protocol-version"},
      {{"--id", std::string(kMaxClientIdBytes + 1, 'i')}, "--id"},
      {{"--name", std::string(kMaxClientNameBytes + 1, 'n')}, "--name"},
      {{"--name", "bad \xFF utf8"}, "--name"},
      {{"--app-version", std::string(kMaxAppVersionBytes + 1, '1')}, "--app-version"},
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"--drop-percent", "51"}, "--drop-percent needs a number from 0 to 50"},
      {{"--drop-percent", "5%"}, "--drop-percent"},
      {{"--drop-seed", "1000000000"}, "--drop-seed"},
      {{"--check-synthetic", "yes"}, "--check-synthetic needs on or off"},
      {{"--input-port", "0"}, "--input-port"},
      {{"--report-decode"}, "--report-decode needs a value"},
      {{"--report-decode", "1000.001"}, "--report-decode needs a number from 0 to 1000 (at most three decimals)"},
      {{"--report-decode", "1001"}, "--report-decode needs a number from 0 to 1000"},
      {{"--report-decode", "-1"}, "--report-decode"},
      {{"--report-decode", "1e2"}, "--report-decode"},
      {{"--report-decode", "12.3456"}, "--report-decode"},
      {{"--report-decode", "12."}, "--report-decode"},
      {{"--report-decode", ".5"}, "--report-decode"},
      {{"--report-decode", "1,5"}, "--report-decode"},
      {{"--report-decode", "nan"}, "--report-decode"},
      {{"--report-decode", "99999"}, "--report-decode"},
      {{"--report-late", "100.5"}, "--report-late needs a number from 0 to 100 (at most three decimals)"},
      {{"--report-late", "101"}, "--report-late needs a number from 0 to 100"},
      {{"--report-late", " 5"}, "--report-late"},
      {{"--report-late", ""}, "--report-late"},
      {{"--hold", "5", "stray"}, "unknown option 'stray'"},
      {{"--evil\n[Sim] Connected"}, "unknown option '--evil\\x0A[Sim] Connected'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front());
    const ParseResult r = ParseSimCommandLine(c.args);
    EXPECT_EQ(r.status, ParseStatus::kError);
    EXPECT_NE(r.error.find(c.error_part), std::string::npos) << r.error;
  }
}

TEST(SimOptions, ReadsTheScriptAndTheCapabilities) {
  const ParseResult defaults = ParseSimCommandLine({});
  EXPECT_TRUE(defaults.options.script.empty());
  EXPECT_EQ(defaults.options.answer_wait_ms, 2000u);
  EXPECT_EQ(defaults.options.capabilities.codecs, (std::vector<uint32_t>{1, 2}));

  const ParseResult r = ParseSimCommandLine({"--send", "capability,ping,empty", "--codecs", "hevc,h264,9", "--screen",
                                             "1200x1920", "--fps", "60,144", "--route", "usb_ncm", "--max-fragments",
                                             "100000", "--orientation", "portrait", "--software-decode",
                                             "--answer-wait", "250"});
  ASSERT_EQ(r.status, ParseStatus::kRun) << r.error;
  ASSERT_EQ(r.options.script.size(), 3u);
  EXPECT_EQ(r.options.script[1].kind, StepKind::kPing);
  const TabletCapabilities& c = r.options.capabilities;
  EXPECT_EQ(c.codecs, (std::vector<uint32_t>{2, 1, 9}));
  EXPECT_EQ(c.screen_width, 1200u);
  EXPECT_EQ(c.screen_height, 1920u);
  EXPECT_EQ(c.fps, (std::vector<uint32_t>{60, 144}));
  EXPECT_EQ(c.route_class, "usb_ncm");
  EXPECT_EQ(c.max_fragments, 100000u);
  EXPECT_EQ(c.orientation, 2u);
  EXPECT_FALSE(c.hardware_decode);
  EXPECT_EQ(r.options.answer_wait_ms, 250u);

  const ParseResult none = ParseSimCommandLine({"--codecs", "none", "--screen", "0x0", "--route", "Wi-Fi 5"});
  ASSERT_EQ(none.status, ParseStatus::kRun) << none.error;
  EXPECT_TRUE(none.options.capabilities.codecs.empty());
  EXPECT_EQ(none.options.capabilities.screen_width, 0u);
  EXPECT_EQ(none.options.capabilities.route_class, "Wi-Fi 5");  // the host filters, not the tablet

  const std::string usage = SimUsageText();
  for (const char* option : {"--send", "--codecs", "--screen", "--fps", "--route", "--max-fragments", "--orientation",
                             "--software-decode", "--answer-wait", "select-monitor:ID", "[Sim] Ping round trip"}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
}

TEST(SimOptions, RefusesBadCapabilitiesAndScripts) {
  struct Case {
    std::vector<std::string> args;
    const char* error_part;
  };
  const Case cases[] = {
      {{"--send", "ping,fly"}, "--send step 'fly' is unknown"},
      {{"--send", ""}, "--send needs at least one step"},
      {{"--codecs", ""}, "--codecs"},
      {{"--codecs", "h264,,hevc"}, "--codecs"},
      {{"--codecs", "vp9"}, "--codecs"},
      {{"--codecs", "1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1"}, "--codecs"},
      {{"--screen", "2560"}, "--screen"},
      {{"--screen", "2560x"}, "--screen"},
      {{"--screen", "16385x100"}, "--screen"},
      {{"--fps", "60;120"}, "--fps"},
      {{"--fps", ""}, "--fps"},
      {{"--route", std::string(kMaxRouteClassBytes + 1, 'r')}, "--route"},
      {{"--max-fragments", "1000000000"}, "--max-fragments"},
      {{"--orientation", "sideways"}, "--orientation"},
      {{"--answer-wait", "600001"}, "--answer-wait"},
      {{"--key-order", "big"}, "--key-order needs lsb or msb"},
      {{"--key-order", "LSB"}, "--key-order needs lsb or msb"},
      {{"--key-order"}, "--key-order needs a value"},
      {{"--auth-version", "3"}, "--auth-version needs 1 or 2"},
      {{"--auth-version", "0"}, "--auth-version needs 1 or 2"},
      {{"--pairing-code", "12345"}, "--pairing-code needs the six digits"},
      {{"--pairing-code", "1234567"}, "--pairing-code needs the six digits"},
      {{"--pairing-code", "12 456"}, "--pairing-code needs the six digits"},
      {{"--state-file", ""}, "--state-file needs a path"},
      {{"--state-file", std::string(kMaxStatePathBytes + 1, 's')}, "--state-file needs a path"},
      {{"--state-file", "bad \xFF"}, "--state-file needs a path"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front() + " " + c.args.back());
    const ParseResult r = ParseSimCommandLine(c.args);
    EXPECT_EQ(r.status, ParseStatus::kError);
    EXPECT_NE(r.error.find(c.error_part), std::string::npos) << r.error;
  }
}

TEST(SimOptions, ALaterRepetitionWins) {
  const ParseResult r = ParseSimCommandLine({"--port", "1000", "--port", "2000"});
  ASSERT_EQ(r.status, ParseStatus::kRun);
  EXPECT_EQ(r.options.port, 2000);
}

}  // namespace
}  // namespace orvane::sim
