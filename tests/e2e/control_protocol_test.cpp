// The control protocol handler of the real Linux host, driven by
// orvane-tablet-sim: a tablet with another app version is refused and closed
// after a short pause, a tablet beyond the limit is answered "host busy" with
// the limit, and a message without payload before authentication is only
// logged while the connection stays.
//
// The same message after authentication ("Unhandled message type") is in
// pairing_test.cpp, where the tablet authenticates.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/host_process.h"
#include "tests/support/test_support.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

// Generous: the host under test is a sanitised build on a shared machine.
constexpr auto kStartDeadline = 30s;
constexpr auto kAnswerDeadline = 20s;

// The pause the host keeps between a refusing HelloAck and the close, so
// that the answer leaves before the connection ends.
constexpr int64_t kRefusalCloseDelayMs = 300;

// Milliseconds since the epoch of a log file line's "YYYY-MM-DD HH:MM:SS.mmm" stamp.
std::optional<int64_t> StampMs(const std::string& line) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
  if (std::sscanf(line.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d", &y, &mo, &d, &h, &mi, &s, &ms) != 7) {
    return std::nullopt;
  }
  using namespace std::chrono;
  const sys_days day = year{y} / month{static_cast<unsigned>(mo)} / std::chrono::day{static_cast<unsigned>(d)};
  return duration_cast<milliseconds>(day.time_since_epoch()).count() + ((h * 60 + mi) * 60 + s) * 1000LL + ms;
}

// The stamp of the first line of the text holding every fragment.
std::optional<int64_t> StampOfLineWith(const std::string& text, std::initializer_list<std::string> fragments) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    bool all = true;
    for (const auto& f : fragments) all = all && line.find(f) != std::string::npos;
    if (all) return StampMs(line);
  }
  return std::nullopt;
}

class ControlProtocol : public ::testing::Test {
 protected:
  void SetUp() override { env_.root = temp_.path(); }

  // The host for `tablets` tablets (one more slot, for the busy answer).
  void StartHost(int tablets) {
    ASSERT_TRUE(StartHostForTablets(host_, env_, tablets, &control_port_));
    ASSERT_TRUE(host_.WaitForOutput("[Main] Ready. Waiting for mobile client...", kStartDeadline)) << host_.Output();
  }

  void StartSim(ChildProcess& sim, const std::string& tag, std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", std::to_string(control_port_)});
    ASSERT_TRUE(sim.Start(ORVANE_TABLET_SIM_BINARY, args, {}, temp_.path() / (tag + ".out")));
  }

  // "127.0.0.1:N" with the simulator's local port, as the host logs its peer.
  static std::string PeerOf(const ChildProcess& sim) {
    if (!sim.WaitForOutput("(local port ", kAnswerDeadline)) return "?";
    const std::string out = sim.Output();
    const size_t at = out.find("(local port ") + 12;
    return "127.0.0.1:" + out.substr(at, out.find(')', at) - at);
  }

  std::string LogFileText() const {
    std::string text;
    const auto logs = env_.data_folder() / "logs";
    if (!std::filesystem::exists(logs)) return text;
    for (const auto& entry : std::filesystem::directory_iterator(logs)) text += ReadTextFile(entry.path());
    return text;
  }

  void StopHost() {
    kill(host_.pid(), SIGTERM);
    EXPECT_EQ(host_.Wait(20s), std::optional<int>(0)) << host_.Output();
  }

  testing::ScopedTempDir temp_;
  HostEnvironment env_;
  ChildProcess host_;
  uint16_t control_port_ = 0;
};

TEST_F(ControlProtocol, OtherAppVersionIsAnsweredMismatchAndClosedAfterAPause) {
  ASSERT_NO_FATAL_FAILURE(StartHost(1));
  ChildProcess sim;
  // The ping would only be sent if the host left the connection open.
  ASSERT_NO_FATAL_FAILURE(StartSim(sim, "old", {"--id", "tab-old", "--app-version", "1.2.9", "--send", "wait:10000,ping"}));
  const std::string ack = "[Sim] Received HelloAck auth_result=AUTH_RESULT_VERSION_MISMATCH (2) max_sessions=0 ";
  const std::string closed = "[Sim] Connection closed by host";
  ASSERT_TRUE(sim.WaitForOutput(closed, kAnswerDeadline)) << sim.Output() << host_.Output();
  EXPECT_EQ(sim.Wait(kAnswerDeadline), std::optional<int>(0)) << sim.Output();
  const std::string sim_out = sim.Output();
  ASSERT_NE(sim_out.find(ack), std::string::npos) << sim_out;
  EXPECT_LT(sim_out.find(ack), sim_out.find(closed)) << sim_out;  // the answer arrives before the close
  EXPECT_FALSE(HasLineWith(sim_out, {"[Sim] Waited"})) << sim_out;
  EXPECT_FALSE(HasLineWith(sim_out, {"[Sim] Sent Ping"})) << sim_out;

  const std::string peer = PeerOf(sim);
  ASSERT_TRUE(WaitForLineWith(host_, {"[TCP] Dropping client " + peer + " of slot 0 (app version mismatch)"},
                              kAnswerDeadline))
      << host_.Output();
  EXPECT_TRUE(HasLineWith(host_.Output(), {"[WARN ] [Protocol] Hello rejected: app version '1.2.9' does not match "
                                           "host version '1.3.5' (verdict=1)"}))
      << host_.Output();

  // The host's own log file times both ends of the pause: the HelloAck is
  // logged once it is sent, the drop after the pause.
  const std::string log = LogFileText();
  const auto sent_at = StampOfLineWith(log, {"[Protocol] Sent HelloAck (result=2,"});
  const auto dropped_at = StampOfLineWith(log, {"[TCP] Dropping client " + peer, "(app version mismatch)"});
  ASSERT_TRUE(sent_at && dropped_at) << log;
  // Stamps are cut to whole milliseconds.
  EXPECT_GE(*dropped_at - *sent_at, kRefusalCloseDelayMs - 1) << log;
  EXPECT_LT(*dropped_at - *sent_at, 10'000) << log;
  StopHost();
}

TEST_F(ControlProtocol, FifthTabletIsAnsweredBusyWithTheLimitWhileFourKeepTheirSlots) {
  ASSERT_NO_FATAL_FAILURE(StartHost(4));
  ChildProcess tablets[4];
  for (int i = 0; i < 4; ++i) {
    const std::string id = "tab-" + std::to_string(i + 1);
    ASSERT_NO_FATAL_FAILURE(StartSim(tablets[i], id, {"--id", id, "--name", "Tablet " + std::to_string(i + 1)}));
    ASSERT_TRUE(tablets[i].WaitForOutput("[Sim] Received HelloAck auth_result=", kAnswerDeadline))
        << tablets[i].Output() << host_.Output();
    EXPECT_FALSE(HasLineWith(tablets[i].Output(), {"AUTH_RESULT_HOST_BUSY"})) << tablets[i].Output();
  }

  ChildProcess fifth;
  ASSERT_NO_FATAL_FAILURE(StartSim(fifth, "tab-5", {"--id", "tab-5", "--name", "Tablet 5"}));
  EXPECT_TRUE(fifth.WaitForOutput("[Sim] Received HelloAck auth_result=AUTH_RESULT_HOST_BUSY (5) max_sessions=4 ",
                                  kAnswerDeadline))
      << fifth.Output() << host_.Output();
  EXPECT_TRUE(fifth.WaitForOutput("[Sim] Connection closed by host", kAnswerDeadline)) << fifth.Output();
  EXPECT_EQ(fifth.Wait(kAnswerDeadline), std::optional<int>(0)) << fifth.Output();

  const std::string peer = PeerOf(fifth);
  EXPECT_TRUE(WaitForLineWith(host_, {"[TCP] Dropping client " + peer + " of slot 4 (host busy)"}, kAnswerDeadline))
      << host_.Output();
  EXPECT_TRUE(HasLineWith(host_.Output(), {"[WARN ] [Protocol] Hello refused: this PC already serves 4 tablet(s)"}))
      << host_.Output();
  for (ChildProcess& t : tablets) {
    EXPECT_TRUE(t.Running()) << t.Output();
    EXPECT_FALSE(HasLineWith(t.Output(), {"[Sim] Connection closed by host"})) << t.Output();
  }

  StopHost();
  for (ChildProcess& t : tablets) {
    EXPECT_TRUE(t.WaitForOutput("[Sim] Connection closed by host", kAnswerDeadline)) << t.Output();
    EXPECT_EQ(t.Wait(kAnswerDeadline), std::optional<int>(0)) << t.Output();
  }
}

TEST_F(ControlProtocol, MessageWithoutPayloadBeforeAuthenticationIsOnlyLogged) {
  ASSERT_NO_FATAL_FAILURE(StartHost(1));
  struct Case {
    const char* name;
    std::vector<std::string> args;
  };
  // The wait keeps the warning clear of the host's rate limit for peer-caused
  // lines (one per second), whatever the Hello itself logged.
  const Case cases[] = {
      {"after-hello", {"--send", "wait:1200,empty,ping"}},
      {"without-hello", {"--no-hello", "--send", "wait:1200,empty,ping"}},
  };
  const std::string ignored = "[WARN ] [Protocol] Ignoring control message type=0 before authentication";
  size_t tablets = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChildProcess sim;
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--answer-wait", "500", "--hold", "2"});
    ASSERT_NO_FATAL_FAILURE(StartSim(sim, c.name, args));
    ++tablets;
    EXPECT_TRUE(sim.WaitForOutput("[Sim] Sent none (type=0 ", kAnswerDeadline)) << sim.Output() << host_.Output();
    EXPECT_TRUE(WaitForLineWith(host_, {ignored}, kAnswerDeadline)) << host_.Output();
    // The connection outlives the message: the ping goes out (unanswered
    // before authentication) and the simulator leaves on its own.
    EXPECT_TRUE(sim.WaitForOutput("[Sim] Held the connection for 2 s; closing it", kAnswerDeadline)) << sim.Output();
    EXPECT_EQ(sim.Wait(kAnswerDeadline), std::optional<int>(0)) << sim.Output();
    const std::string sim_out = sim.Output();
    EXPECT_TRUE(HasLineWith(sim_out, {"[Sim] Sent Ping "})) << sim_out;
    EXPECT_TRUE(HasLineWith(sim_out, {"[Sim] No answer to ping within 500 ms"})) << sim_out;
    EXPECT_FALSE(HasLineWith(sim_out, {"[Sim] Connection closed by host"})) << sim_out;

    const std::string peer = PeerOf(sim);
    EXPECT_TRUE(WaitForLineWith(host_, {"[TCP] Client disconnected (" + peer + ", slot ", "closed by the peer (FIN)"},
                                kAnswerDeadline))
        << host_.Output();
    const std::string host_out = host_.Output();
    EXPECT_EQ(CountLinesWith(host_out, ignored), tablets) << host_out;
    EXPECT_FALSE(HasLineWith(host_out, {"[TCP] Dropping client " + peer})) << host_out;
    EXPECT_FALSE(HasLineWith(host_out, {"Unhandled message type"})) << host_out;
    EXPECT_FALSE(HasLineWith(host_out, {"[Session] Control frame handling issue"})) << host_out;
  }
  StopHost();
}

// The text after "key=" up to the next ',' or ' ' in the first line with the fragment.
std::string FieldAfter(const std::string& text, const std::string& fragment, const std::string& key) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(fragment) == std::string::npos) continue;
    const size_t at = line.find(key + "=");
    if (at == std::string::npos) return {};
    const size_t start = at + key.size() + 1;
    return line.substr(start, line.find_first_of(", )", start) - start);
  }
  return {};
}

TEST_F(ControlProtocol, HostAndTabletAgreeOnTheSessionKeys) {
  ASSERT_NO_FATAL_FAILURE(StartHost(1));
  const struct {
    const char* order;
    bool promotes;
  } cases[] = {{"lsb", false}, {"msb", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.order);
    const size_t seen = host_.Output().size();
    ChildProcess sim;
    // The ping leaves sealed (the tablet has keys once the HelloAck is in);
    // the host opens it before it refuses it for want of authentication.
    ASSERT_NO_FATAL_FAILURE(StartSim(sim, c.order, {"--key-order", c.order, "--send", "ping", "--hold", "2"}));
    ASSERT_TRUE(sim.WaitForOutput("[Sim] Session keys derived:", kAnswerDeadline)) << sim.Output() << host_.Output();
    ASSERT_TRUE(sim.WaitForOutput("[Sim] Sent Ping", kAnswerDeadline)) << sim.Output();
    EXPECT_EQ(sim.Wait(kAnswerDeadline), std::optional<int>(0)) << sim.Output();
    // The host has handled everything once it noticed the tablet leave.
    const auto deadline = std::chrono::steady_clock::now() + kAnswerDeadline;
    while (!HasLineWith(host_.Output().substr(seen), {"[Session] Control connection closed"}) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }

    const std::string host_out = host_.Output().substr(seen);
    const std::string active = FieldAfter(host_out, "[Protocol] Session key derived (", "fp");
    const std::string compat = FieldAfter(host_out, "[Protocol] Session key derived (", "compat_fp");
    const std::string used = FieldAfter(sim.Output(), "[Sim] Session keys derived:", "fp");
    const std::string other = FieldAfter(sim.Output(), "[Sim] Session keys derived:", "other_fp");
    ASSERT_EQ(active.size(), 8u) << host_out;
    ASSERT_EQ(compat.size(), 8u) << host_out;
    EXPECT_EQ(used, c.promotes ? compat : active) << sim.Output();
    EXPECT_EQ(other, c.promotes ? active : compat) << sim.Output();
    EXPECT_EQ(HasLineWith(host_out, {"[WARN ] [Protocol] Promoted compatibility session key as active"}), c.promotes)
        << host_out;
    EXPECT_FALSE(HasLineWith(host_out, {"Failed to decrypt secure control frame"})) << host_out;
    EXPECT_FALSE(HasLineWith(host_out, {"Dropping replayed/stale"})) << host_out;
  }
  StopHost();
}

}  // namespace
}  // namespace orvane::e2e
