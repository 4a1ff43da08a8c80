#include "host/control/input_port_probe.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace orvane {
namespace {

TEST(InputPortProbe, ReadBackDecidesTheReportedPort) {
  struct Case {
    uint16_t requested;
    uint16_t read_back;
    int read_error;
    uint16_t port;
    int error;
  };
  const Case cases[] = {
      {9432, 9432, 0, 9432, 0},
      {9432, 0, net::kWsaENoBufs, 9432, 0},  // a fixed port is where it was asked for
      {0, 50123, 0, 50123, 0},
      {0, 0, net::kWsaENoBufs, 0, net::kWsaENoBufs},  // never "port 0 bound"
      {0, 0, 0, 0, net::kWsaEInval},
  };
  for (const Case& c : cases) {
    int error = -1;
    EXPECT_EQ(ProbedPort(c.requested, c.read_back, c.read_error, &error), c.port) << c.requested;
    EXPECT_EQ(error, c.error) << c.requested;
  }
}

TEST(InputPortProbe, KeepsThePortUntilTheSocketIsClosed) {
  uint16_t port = 0;
  net::Socket held = net::kInvalidSocket;
  ASSERT_EQ(ProbeInputPort(0, &port, &held), 0);
  ASSERT_NE(held, net::kInvalidSocket);
  EXPECT_NE(port, 0);

  uint16_t again = 0;
  net::Socket second = net::kInvalidSocket;
  EXPECT_EQ(ProbeInputPort(port, &again, &second), net::kWsaEAddrInUse);
  EXPECT_EQ(second, net::kInvalidSocket);

  net::Close(held);
  ASSERT_EQ(ProbeInputPort(port, &again, &second), 0);
  EXPECT_EQ(again, port);
  net::Close(second);
}

}  // namespace
}  // namespace orvane
