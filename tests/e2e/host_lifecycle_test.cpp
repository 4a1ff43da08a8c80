// The Linux host as a newcomer runs it: started in console mode it listens and
// logs, places clients in slots, ends on "--shutdown" or a signal, and stays a
// single instance per runtime folder.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>

#include "tests/e2e/host_process.h"
#include "tests/support/test_support.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

class HostLifecycle : public ::testing::Test {
 protected:
  void SetUp() override { env_.root = temp_.path(); }

  bool StartHost(ChildProcess& host, uint16_t port, const std::string& tag = "host") {
    return host.Start(ORVANE_HOST_BINARY, {"--console", "--control-port", std::to_string(port)}, env_.Env(),
                      temp_.path() / (tag + ".out"));
  }

  std::optional<int> RunToEnd(const std::vector<std::string>& args, std::chrono::milliseconds timeout,
                              const std::string& tag) {
    ChildProcess p;
    if (!p.Start(ORVANE_HOST_BINARY, args, env_.Env(), temp_.path() / (tag + ".out"))) return std::nullopt;
    return p.Wait(timeout);
  }

  std::string LogFileText() {
    std::string text;
    const auto logs = env_.data_folder() / "logs";
    if (!std::filesystem::exists(logs)) return text;
    for (const auto& entry : std::filesystem::directory_iterator(logs)) text += ReadTextFile(entry.path());
    return text;
  }

  testing::ScopedTempDir temp_;
  HostEnvironment env_;
};

TEST_F(HostLifecycle, ListensPlacesAClientAndEndsOnShutdownRequest) {
  const uint16_t port = FreeTcpPort();
  ASSERT_NE(port, 0);
  ChildProcess host;
  ASSERT_TRUE(StartHost(host, port));
  ASSERT_TRUE(host.WaitForOutput("[TCP] Listening on port " + std::to_string(port), 20s)) << host.Output();
  ASSERT_TRUE(host.WaitForOutput("[Main] Ready. Waiting for mobile client...", 20s)) << host.Output();

  TcpClient client;
  ASSERT_TRUE(client.Connect(port, 5s));
  ASSERT_TRUE(client.SendFrame("hello"));
  EXPECT_TRUE(host.WaitForOutput("[TCP] Client connected from 127.0.0.1:", 10s)) << host.Output();
  EXPECT_TRUE(host.WaitForOutput("(slot 0)", 10s)) << host.Output();

  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(RunToEnd({"--shutdown"}, 10s, "shutdown"), std::optional<int>(0));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(host.Wait(10s), std::optional<int>(0)) << host.Output();
  EXPECT_NE(host.Output().find("[Main] Shutdown complete."), std::string::npos) << host.Output();

  const std::string log = LogFileText();
  EXPECT_NE(log.find("  Orvane Display Host v1.3.5"), std::string::npos) << log;
  EXPECT_NE(log.find("[Main] Ports: Control=" + std::to_string(port) + " (explicit)"), std::string::npos) << log;
  EXPECT_NE(log.find("=== Shutdown at "), std::string::npos) << log;
}

TEST_F(HostLifecycle, SecondInstanceLeavesWithZeroAndFirstKeepsRunning) {
  const uint16_t port = FreeTcpPort();
  ChildProcess host;
  ASSERT_TRUE(StartHost(host, port));
  ASSERT_TRUE(host.WaitForOutput("[Main] Ready. Waiting for mobile client...", 20s)) << host.Output();

  EXPECT_EQ(RunToEnd({"--console", "--control-port", std::to_string(FreeTcpPort())}, 10s, "second"),
            std::optional<int>(0));
  EXPECT_TRUE(host.Running());
  // "--restore-speakers" refuses while a host runs.
  EXPECT_EQ(RunToEnd({"--restore-speakers"}, 10s, "restore"), std::optional<int>(2));

  kill(host.pid(), SIGTERM);
  EXPECT_EQ(host.Wait(10s), std::optional<int>(0)) << host.Output();
  EXPECT_NE(host.Output().find("[Main] Shutdown signal received"), std::string::npos) << host.Output();
}

TEST_F(HostLifecycle, ShutdownWithoutARunningHostReturnsZeroAtOnce) {
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(RunToEnd({"--shutdown"}, 10s, "shutdown"), std::optional<int>(0));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
}

TEST_F(HostLifecycle, IsolatedHostsRunSideBySide) {
  testing::ScopedTempDir other_root;
  HostEnvironment other{other_root.path(), "", ""};
  const uint16_t port_a = FreeTcpPort();
  ChildProcess a;
  ASSERT_TRUE(StartHost(a, port_a, "a"));
  ASSERT_TRUE(a.WaitForOutput("[Main] Ready. Waiting for mobile client...", 20s)) << a.Output();
  const uint16_t port_b = FreeTcpPort();
  ChildProcess b;
  ASSERT_TRUE(b.Start(ORVANE_HOST_BINARY, {"--console", "--control-port", std::to_string(port_b)}, other.Env(),
                      temp_.path() / "b.out"));
  ASSERT_TRUE(b.WaitForOutput("[Main] Ready. Waiting for mobile client...", 20s)) << b.Output();
  EXPECT_TRUE(a.Running());

  kill(a.pid(), SIGINT);
  kill(b.pid(), SIGTERM);
  EXPECT_EQ(a.Wait(10s), std::optional<int>(0)) << a.Output();
  EXPECT_EQ(b.Wait(10s), std::optional<int>(0)) << b.Output();
}

}  // namespace
}  // namespace orvane::e2e
