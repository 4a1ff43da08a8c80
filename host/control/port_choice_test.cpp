#include "host/control/port_choice.h"

#include <gtest/gtest.h>

#include <map>

#include "host/common/net.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

// A fake binder: ports listed map to an error; anything else binds (0 binds 50000).
auto Binder(std::map<uint16_t, int> errors, std::vector<uint16_t>* tried) {
  return [errors, tried](uint16_t port, uint16_t* bound) {
    tried->push_back(port);
    const auto it = errors.find(port);
    if (it != errors.end()) return it->second;
    *bound = port == 0 ? 50000 : port;
    return 0;
  };
}

TEST(PortChoice, ReservedDefaultPortFallsBackAndExplainsWhy) {
  testing::LogCapture log;
  std::vector<uint16_t> tried;
  const auto choice = ChoosePort(DefaultPortCandidates(9430), Binder({{9430, net::kWsaEAccess}}, &tried));
  ASSERT_TRUE(choice.bound);
  EXPECT_EQ(choice.port, 19430);
  EXPECT_EQ(tried, (std::vector<uint16_t>{9430, 19430}));
  LogPortFallback("Control", "tcp", 9430, choice.port, choice.failed);
  EXPECT_TRUE(log.Contains(
      "[WARN ] [Pool] Control port 9430 unavailable: 10013 (reserved by Windows (excluded port range) or blocked)"));
  EXPECT_TRUE(log.Contains("[WARN ] [Pool] Control port 9430 is not usable; using fallback port 19430. Check reserved "
                           "ranges with: netsh int ipv4 show excludedportrange protocol=tcp"));
  EXPECT_EQ(log.Lines().size(), 2u);
}

TEST(PortChoice, PortInUseNearTheTopUsesTheSystemChoice) {
  std::vector<uint16_t> tried;
  const auto choice = ChoosePort(DefaultPortCandidates(60000), Binder({{60000, net::kWsaEAddrInUse}}, &tried));
  EXPECT_EQ(tried, (std::vector<uint16_t>{60000, 0}));
  EXPECT_EQ(choice.port, 50000);
}

TEST(PortChoice, OtherErrorsEndTheAttempts) {
  std::vector<uint16_t> tried;
  const auto choice = ChoosePort({9430, 19430, 0}, Binder({{9430, net::kWsaEInval}}, &tried));
  EXPECT_FALSE(choice.bound);
  EXPECT_EQ(tried, (std::vector<uint16_t>{9430}));
  EXPECT_EQ(PortFailureCode(choice.failed), kSessionInitOtherFailure);
}

TEST(PortChoice, FailureMessages) {
  struct Case {
    bool explicit_port;
    std::vector<PortAttempt> failed;
    std::string message;
    int code;
  };
  const Case cases[] = {
      {true, {{9430, 10048}}, "Control TCP port (explicit, no fallback): bind failed (9430=10048)", 1},
      {false,
       {{9430, 10013}, {19430, 10013}, {29430, 10048}, {39430, 10013}, {0, 10013}},
       "Control TCP port: no candidate could be bound (9430=10013, 19430=10013, 29430=10048, 39430=10013, "
       "OS-assigned=10013)",
       1},
      {false, {{9430, 10013}, {19430, 10022}}, "Control TCP port: no candidate could be bound (9430=10013, 19430=10022)",
       2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PortFailureMessage("Control TCP", c.explicit_port, c.failed), c.message);
    EXPECT_EQ(PortFailureCode(c.failed), c.code) << c.message;
  }
}

TEST(PortChoice, LaterSlotInputCandidates) {
  struct Case {
    size_t slot;
    uint16_t slot0_port;
    bool input_explicit;
    std::vector<uint16_t> taken;
    std::vector<uint16_t> expected;
  };
  const Case cases[] = {
      {1, 9432, false, {9432}, {9433, 19433, 29433, 39433, 0}},
      {4, 9432, false, {9432, 9433, 9434, 9435}, {9436, 19436, 29436, 39436, 0}},
      // Slot 0 fell back: its neighbour first, the default ladder after it.
      {1, 19432, false, {19432}, {19433, 9433, 29433, 39433, 0}},
      // Ports earlier slots got are left out; 0 stays.
      {2, 19432, false, {19432, 9434}, {19434, 29434, 39434, 0}},
      // Explicit: the neighbour of the given port or the system's choice.
      {1, 7000, true, {7000}, {7001, 0}},
      // Slot 0 on a system-chosen port near the top.
      {2, 65534, false, {65534, 9434}, {19434, 29434, 39434, 0}},
      {1, 0, true, {}, {0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SlotInputCandidates(c.slot, c.slot0_port, c.input_explicit, c.taken), c.expected)
        << "slot " << c.slot << " after " << c.slot0_port;
  }
}

TEST(PortChoice, RequestingAnyPortIsNoFallback) {
  testing::LogCapture log;
  LogPortFallback("Input", "udp", 0, 50123, {});
  EXPECT_TRUE(log.Lines().empty());
}

}  // namespace
}  // namespace orvane
