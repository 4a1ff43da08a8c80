#include "host/control/host_ports.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

using Ports = std::vector<uint16_t>;

TEST(HostPortsTest, DefaultsMatchTheProtocolPorts) {
  const HostPorts ports;
  EXPECT_EQ(ports.control_port, 9430);
  EXPECT_EQ(ports.media_port, 9431);
  EXPECT_EQ(ports.input_port, 9432);
  EXPECT_EQ(ports.reserved, 1u);
  EXPECT_FALSE(ports.control_explicit);
  EXPECT_FALSE(ports.input_explicit);
  EXPECT_TRUE(ports.control_candidates.empty());
  EXPECT_TRUE(ports.input_candidates.empty());
  EXPECT_TRUE(SessionInitResult{}.ok());
}

TEST(HostPortsTest, DefaultCandidatesStepByTenThousandWhileTheyFit) {
  const struct {
    uint16_t port;
    Ports expected;
  } cases[] = {
      {9430, {9430, 19430, 29430, 39430, 0}},
      {9432, {9432, 19432, 29432, 39432, 0}},
      {35535, {35535, 45535, 55535, 65535, 0}},
      {45536, {45536, 55536, 0}},
      {60000, {60000, 0}},
      {65535, {65535, 0}},
      {1, {1, 10001, 20001, 30001, 0}},
      {0, {0}},
  };
  for (const auto& c : cases) EXPECT_EQ(DefaultPortCandidates(c.port), c.expected) << c.port;
}

TEST(HostPortsTest, CandidatesFollowExplicitThenConfiguredThenDefault) {
  const std::optional<Ports> none;
  const std::optional<Ports> configured = Ports{5000, 6000};
  const std::optional<Ports> empty = Ports{};
  EXPECT_EQ(PortCandidates(9430, true, configured), Ports({9430}));
  EXPECT_EQ(PortCandidates(9430, false, configured), Ports({5000, 6000}));
  EXPECT_EQ(PortCandidates(9430, false, none), Ports({9430, 19430, 29430, 39430, 0}));
  EXPECT_EQ(PortCandidates(9430, false, empty), Ports({9430, 19430, 29430, 39430, 0}));

  HostPorts ports;
  ports.input_port = 7000;
  ports.input_explicit = true;
  FillPortCandidates(&ports, configured, configured);
  EXPECT_EQ(ports.control_candidates, Ports({5000, 6000}));
  EXPECT_EQ(ports.input_candidates, Ports({7000}));
}

TEST(HostPortsTest, BoundPortMovesToTheFront) {
  const Ports full{9430, 19430, 29430, 39430, 0};
  EXPECT_EQ(PreferBoundPort(19430, full), Ports({19430, 9430, 29430, 39430, 0}));
  EXPECT_EQ(PreferBoundPort(9430, full), full);
  // A port the system chose is not in the list; it goes first, the list follows.
  EXPECT_EQ(PreferBoundPort(51234, full), Ports({51234, 9430, 19430, 29430, 39430, 0}));
  EXPECT_EQ(PreferBoundPort(0, full), full);
}

}  // namespace
}  // namespace orvane
