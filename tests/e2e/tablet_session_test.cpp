// A tablet's first seconds on the real Linux host, played by orvane-tablet-sim:
// the connection lands in a slot, a silent tablet is dropped after the hello
// time-out, tablets up to the limit each keep a slot, and one beyond the limit
// is answered "host busy" and closed.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/e2e/host_process.h"
#include "tests/support/test_support.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

// Generous: the host under test is a sanitised build on a shared machine.
constexpr auto kStartDeadline = 30s;
constexpr auto kAnswerDeadline = 20s;
constexpr auto kHelloTimeoutDeadline = 45s;

class TabletSession : public ::testing::Test {
 protected:
  void SetUp() override { env_.root = temp_.path(); }

  // Starts the host for `tablets` tablets (tablets + 1 slots) on free ports
  // and waits until it accepts tablets.
  void StartHost(int tablets) {
    ASSERT_TRUE(StartHostForTablets(host_, env_, tablets, &control_port_));
    ASSERT_TRUE(host_.WaitForOutput("[TCP] Listening on port " + std::to_string(control_port_), kStartDeadline))
        << host_.Output();
    ASSERT_TRUE(host_.WaitForOutput("[Main] Ready. Waiting for mobile client...", kStartDeadline)) << host_.Output();
  }

  void StartSim(ChildProcess& sim, const std::string& tag, std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", std::to_string(control_port_)});
    ASSERT_TRUE(sim.Start(ORVANE_TABLET_SIM_BINARY, args, {}, temp_.path() / (tag + ".out")));
  }

  // The simulator's local port, which the host logs as the peer port.
  static std::string LocalPortOf(const ChildProcess& sim) {
    if (!sim.WaitForOutput("(local port ", kAnswerDeadline)) return "?";
    const std::string out = sim.Output();
    const size_t at = out.find("(local port ") + 12;
    return out.substr(at, out.find(')', at) - at);
  }

  // Ends the host with a signal, as the tests of its life cycle do; every
  // tablet still connected sees the host close.
  void StopHost() {
    kill(host_.pid(), SIGTERM);
    EXPECT_EQ(host_.Wait(20s), std::optional<int>(0)) << host_.Output();
  }

  testing::ScopedTempDir temp_;
  HostEnvironment env_;
  ChildProcess host_;
  uint16_t control_port_ = 0;
};

TEST_F(TabletSession, SilentTabletIsDroppedAfterTheHelloTimeOut) {
  ASSERT_NO_FATAL_FAILURE(StartHost(4));
  const auto started = std::chrono::steady_clock::now();
  ChildProcess sim;
  ASSERT_NO_FATAL_FAILURE(StartSim(sim, "silent", {"--no-hello"}));
  ASSERT_TRUE(sim.WaitForOutput("[Sim] Connected to 127.0.0.1:" + std::to_string(control_port_), kAnswerDeadline))
      << sim.Output();
  const std::string peer = "127.0.0.1:" + LocalPortOf(sim);

  EXPECT_TRUE(WaitForLineWith(host_, {"[TCP] Client connected from " + peer + " (slot 0)"}, kAnswerDeadline))
      << host_.Output();
  EXPECT_TRUE(WaitForLineWith(host_, {"[Session] Active client: ", "127.0.0.1"}, kAnswerDeadline)) << host_.Output();

  ASSERT_TRUE(WaitForLineWith(host_, {"[Session] Dropping control client ", ": no valid Hello within 10 s"},
                              kHelloTimeoutDeadline))
      << host_.Output();
  // The host counts from its accept, which came after the simulator started.
  EXPECT_GE(std::chrono::steady_clock::now() - started, 10s);
  EXPECT_TRUE(WaitForLineWith(host_, {"[TCP] Dropping client " + peer + " of slot 0 (hello timeout)"}, kAnswerDeadline))
      << host_.Output();

  EXPECT_TRUE(sim.WaitForOutput("[Sim] Connection closed by host", kAnswerDeadline)) << sim.Output();
  EXPECT_EQ(sim.Wait(kAnswerDeadline), std::optional<int>(0)) << sim.Output();
  EXPECT_FALSE(HasLineWith(sim.Output(), {"[Sim] Received"})) << sim.Output();
  StopHost();
}

TEST_F(TabletSession, TwoTabletsEachHoldASlot) {
  ASSERT_NO_FATAL_FAILURE(StartHost(2));
  ChildProcess a;
  ASSERT_NO_FATAL_FAILURE(StartSim(a, "a", {"--id", "tab-a", "--name", "Tablet A"}));
  ASSERT_TRUE(a.WaitForOutput("[Sim] Received HelloAck auth_result=", kAnswerDeadline)) << a.Output()
                                                                                          << host_.Output();
  ChildProcess b;
  ASSERT_NO_FATAL_FAILURE(StartSim(b, "b", {"--id", "tab-b", "--name", "Tablet B", "--hold", "2"}));
  ASSERT_TRUE(b.WaitForOutput("[Sim] Received HelloAck auth_result=", kAnswerDeadline)) << b.Output()
                                                                                          << host_.Output();
  // Both at once: the first is still connected when the second is answered.
  EXPECT_TRUE(a.Running()) << a.Output();
  EXPECT_FALSE(HasLineWith(a.Output(), {"[Sim] Connection closed by host"})) << a.Output();

  const std::string peer_a = "127.0.0.1:" + LocalPortOf(a);
  const std::string peer_b = "127.0.0.1:" + LocalPortOf(b);
  const std::string host_out = host_.Output();
  EXPECT_TRUE(HasLineWith(host_out, {"[TCP] Client connected from " + peer_a + " (slot 0)"})) << host_out;
  EXPECT_TRUE(HasLineWith(host_out, {"[TCP] Client connected from " + peer_b + " (slot 1)"})) << host_out;
  EXPECT_TRUE(HasLineWith(host_out, {"[Protocol] Hello from Tablet A (tab-a) v1.3.5 protocol_version=1"})) << host_out;
  EXPECT_TRUE(HasLineWith(host_out, {"[Protocol] Hello from Tablet B (tab-b) v1.3.5 protocol_version=1"})) << host_out;
  EXPECT_FALSE(HasLineWith(host_out, {"[Pool] Refusing"})) << host_out;
  for (const ChildProcess* sim : {&a, &b}) {
    EXPECT_FALSE(HasLineWith(sim->Output(), {"AUTH_RESULT_HOST_BUSY"})) << sim->Output();
  }

  // The second tablet leaves on its own after its hold; the host notices.
  EXPECT_TRUE(b.WaitForOutput("[Sim] Held the connection for 2 s; closing it", kAnswerDeadline)) << b.Output();
  EXPECT_EQ(b.Wait(kAnswerDeadline), std::optional<int>(0)) << b.Output();
  EXPECT_TRUE(WaitForLineWith(host_, {"[TCP] Client disconnected (" + peer_b + ", slot 1): closed by the peer (FIN)"},
                              kAnswerDeadline))
      << host_.Output();

  StopHost();
  EXPECT_TRUE(a.WaitForOutput("[Sim] Connection closed by host", kAnswerDeadline)) << a.Output();
  EXPECT_EQ(a.Wait(kAnswerDeadline), std::optional<int>(0)) << a.Output();
}

TEST_F(TabletSession, TabletBeyondTheLimitIsAnsweredBusyAndClosed) {
  ASSERT_NO_FATAL_FAILURE(StartHost(1));
  ChildProcess a;
  ASSERT_NO_FATAL_FAILURE(StartSim(a, "a", {"--id", "tab-a", "--name", "Tablet A"}));
  ASSERT_TRUE(a.WaitForOutput("[Sim] Received HelloAck auth_result=", kAnswerDeadline)) << a.Output()
                                                                                          << host_.Output();
  EXPECT_FALSE(HasLineWith(a.Output(), {"AUTH_RESULT_HOST_BUSY"})) << a.Output();

  ChildProcess b;
  ASSERT_NO_FATAL_FAILURE(StartSim(b, "b", {"--id", "tab-b", "--name", "Tablet B"}));
  EXPECT_TRUE(
      b.WaitForOutput("[Sim] Received HelloAck auth_result=AUTH_RESULT_HOST_BUSY (5) max_sessions=1 ", kAnswerDeadline))
      << b.Output() << host_.Output();
  EXPECT_TRUE(b.WaitForOutput("[Sim] Connection closed by host", kAnswerDeadline)) << b.Output();
  EXPECT_EQ(b.Wait(kAnswerDeadline), std::optional<int>(0)) << b.Output();

  const std::string peer_b = "127.0.0.1:" + LocalPortOf(b);
  EXPECT_TRUE(WaitForLineWith(host_, {"[TCP] Dropping client " + peer_b + " of slot 1 (host busy)"}, kAnswerDeadline))
      << host_.Output();
  const std::string host_out = host_.Output();
  EXPECT_TRUE(HasLineWith(host_out, {"[Pool] Refusing Tablet B on slot 1: 1 tablet(s) already connected"}))
      << host_out;
  EXPECT_TRUE(HasLineWith(host_out, {"[Protocol] Hello refused: this PC already serves 1 tablet(s)"})) << host_out;
  // The tablet inside the limit keeps its connection.
  EXPECT_TRUE(a.Running()) << a.Output();

  StopHost();
  EXPECT_TRUE(a.WaitForOutput("[Sim] Connection closed by host", kAnswerDeadline)) << a.Output();
  EXPECT_EQ(a.Wait(kAnswerDeadline), std::optional<int>(0)) << a.Output();
}

}  // namespace
}  // namespace orvane::e2e
