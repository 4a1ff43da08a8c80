#include "host/common/net.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "host/common/platform_info.h"

namespace orvane::net {
namespace {

// Closes the socket at the end of the scope.
struct Owned {
  explicit Owned(Socket s) : s(s) {}
  ~Owned() { Close(s); }
  Socket s;
};

Socket Listener(uint16_t* port) {
  int error = 0;
  Socket s = Create(Kind::kTcp, &error);
  EXPECT_NE(s, kInvalidSocket) << error;
  EXPECT_EQ(SetListenerAddressOptions(s), 0);
  EXPECT_EQ(Bind(s, "127.0.0.1", 0), 0);
  EXPECT_EQ(Listen(s), 0);
  *port = LocalPort(s, &error);
  EXPECT_NE(*port, 0) << error;
  return s;
}

TEST(NetTest, LoopbackStreamMovesBytesAndReportsTheOrderlyClose) {
  uint16_t port = 0;
  Owned listener(Listener(&port));
  int error = 0;
  Owned client(Create(Kind::kTcp, &error));
  ASSERT_EQ(Connect(client.s, "127.0.0.1", port), 0);
  const uint16_t client_port = LocalPort(client.s, &error);

  Endpoint peer;
  Owned server(Accept(listener.s, &peer, &error));
  ASSERT_NE(server.s, kInvalidSocket) << error;
  EXPECT_EQ(peer.address, "127.0.0.1");
  EXPECT_EQ(peer.port, client_port);
  EXPECT_EQ(SetNoDelay(server.s, true), 0);
  EXPECT_EQ(SetKeepAlive(server.s, 5000, 1000, 0), 0);
  // Wine (like Windows before 10 version 1703) does not know TCP_KEEPCNT.
  const int probes = SetKeepAliveProbes(server.s, 5);
  if (RunningUnderWine()) {
    EXPECT_TRUE(probes == 0 || probes == kWsaENoProtoOpt) << probes;
  } else {
    EXPECT_EQ(probes, 0);
  }
  EXPECT_EQ(SetUserTimeout(server.s, 10000), 0);

  EXPECT_EQ(PollOne(server.s, true, false, 0, &error), 0);  // nothing yet
  ASSERT_EQ(Send(client.s, "hello", 5, &error), 5);
  ASSERT_EQ(PollOne(server.s, true, false, 5000, &error), 1);
  char buf[16] = {};
  ASSERT_EQ(Peek(server.s, buf, sizeof buf, &error), 5);  // a peek leaves the bytes in place
  EXPECT_EQ(std::string(buf, 5), "hello");
  std::memset(buf, 0, sizeof buf);
  ASSERT_EQ(Recv(server.s, buf, sizeof buf, &error), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");

  ASSERT_EQ(SetNonBlocking(server.s, true), 0);
  EXPECT_EQ(Recv(server.s, buf, sizeof buf, &error), -1);
  EXPECT_EQ(error, kWsaEWouldBlock);

  ShutdownBoth(client.s);
  ASSERT_EQ(PollOne(server.s, true, false, 5000, &error), 1);
  EXPECT_EQ(Recv(server.s, buf, sizeof buf, &error), 0);
}

TEST(NetTest, ASecondListenerOnAHeldPortFailsWithAddressInUse) {
  uint16_t port = 0;
  Owned first(Listener(&port));
  int error = 0;
  Owned second(Create(Kind::kTcp, &error));
  ASSERT_EQ(SetListenerAddressOptions(second.s), 0);
  EXPECT_EQ(Bind(second.s, "127.0.0.1", port), kWsaEAddrInUse);
}

TEST(NetTest, AddressTextsAreCheckedBeforeUse) {
  struct Case {
    const char* text;
    bool valid;
  };
  const Case cases[] = {{"127.0.0.1", true}, {"0.0.0.0", true},   {"192.168.1.254", true}, {"", false},
                        {"256.1.1.1", false}, {"1.2.3", false},   {"localhost", false},    {"::1", false},
                        {"1.2.3.4 ", false},  {"1.2.3.4.5", false}};
  for (const auto& c : cases) EXPECT_EQ(IsValidIpv4(c.text), c.valid) << c.text;

  int error = 0;
  Owned s(Create(Kind::kTcp, &error));
  EXPECT_EQ(Bind(s.s, "300.0.0.1", 0), kWsaEInval);
}

TEST(NetTest, DatagramsCarryTheSendersEndpoint) {
  int error = 0;
  Owned a(Create(Kind::kUdp, &error));
  Owned b(Create(Kind::kUdp, &error));
  ASSERT_EQ(Bind(a.s, "127.0.0.1", 0), 0);
  ASSERT_EQ(Bind(b.s, "127.0.0.1", 0), 0);
  const uint16_t a_port = LocalPort(a.s, &error);
  const uint16_t b_port = LocalPort(b.s, &error);

  ASSERT_EQ(SendTo(a.s, "ping", 4, Endpoint{"127.0.0.1", b_port}, &error), 4);
  ASSERT_EQ(PollOne(b.s, true, false, 5000, &error), 1);
  char buf[8] = {};
  Endpoint from;
  ASSERT_EQ(RecvFrom(b.s, buf, sizeof buf, &from, &error), 4);
  EXPECT_EQ(std::string(buf, 4), "ping");
  EXPECT_EQ(from.address, "127.0.0.1");
  EXPECT_EQ(from.port, a_port);
  EXPECT_EQ(SendTo(a.s, "x", 1, Endpoint{"not an address", 1}, &error), -1);
  EXPECT_EQ(error, kWsaEInval);
}

#ifndef _WIN32
TEST(NetTest, ErrnoValuesMapToWinsockNumbers) {
  struct Case {
    int errno_value;
    int wsa;
  };
  const Case cases[] = {
      {0, 0},
      {EADDRINUSE, kWsaEAddrInUse},
      {EACCES, kWsaEAccess},
      {EPERM, kWsaEAccess},
      {ECONNRESET, kWsaEConnReset},
      {EPIPE, kWsaEConnReset},
      {ECONNABORTED, kWsaEConnAborted},
      {ETIMEDOUT, kWsaETimedOut},
      {EWOULDBLOCK, kWsaEWouldBlock},
      {EAGAIN, kWsaEWouldBlock},
      {EINTR, kWsaEIntr},
      {EINVAL, kWsaEInval},
      {ENOTCONN, kWsaENotConn},
      {ECONNREFUSED, kWsaEConnRefused},
      {EMSGSIZE, kWsaEMsgSize},
      {EBADF, kWsaEBadF},
      {ENOTSOCK, kWsaENotSock},
      {EMFILE, kWsaEMFile},
      {ENOBUFS, kWsaENoBufs},
      {EADDRNOTAVAIL, kWsaEAddrNotAvail},
      {ENETUNREACH, kWsaENetUnreach},
      {EHOSTUNREACH, kWsaEHostUnreach},
      {ENOENT, kWsaESysCallFailure},  // no Winsock counterpart
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorFromErrno(c.errno_value), c.wsa) << c.errno_value;
}
#endif

}  // namespace
}  // namespace orvane::net
