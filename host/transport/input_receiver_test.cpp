#include "host/transport/input_receiver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

namespace orvane {
namespace {

// A UDP socket bound to 127.0.0.1 on an ephemeral port, as the pool probes it.
net::Socket BindLoopback(uint16_t* port) {
  int error = 0;
  net::Socket s = net::Create(net::Kind::kUdp, &error);
  if (s == net::kInvalidSocket) return s;
  if (net::Bind(s, "127.0.0.1", 0) != 0) {
    net::Close(s);
    return net::kInvalidSocket;
  }
  *port = net::LocalPort(s, &error);
  return s;
}

// Whether a fresh socket can take the port (it is released by its holder).
bool PortIsFree(uint16_t port) {
  int error = 0;
  net::Socket s = net::Create(net::Kind::kUdp, &error);
  if (s == net::kInvalidSocket) return false;
  const bool ok = net::Bind(s, "127.0.0.1", port) == 0;
  net::Close(s);
  return ok;
}

// Collects what the receiver delivers.
struct Inbox {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> payloads;
  std::vector<net::Endpoint> sources;

  InputReceiver::DatagramCallback Callback() {
    return [this](const uint8_t* data, size_t length, const net::Endpoint& from) {
      std::lock_guard<std::mutex> lock(mu);
      payloads.emplace_back(reinterpret_cast<const char*>(data), length);
      sources.push_back(from);
      cv.notify_all();
    };
  }
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::seconds(10), [&] { return payloads.size() >= count; });
  }
  std::vector<std::string> Payloads() {
    std::lock_guard<std::mutex> lock(mu);
    return payloads;
  }
};

class InputReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socket_ = BindLoopback(&port_);
    ASSERT_NE(socket_, net::kInvalidSocket);
    receiver_.AdoptSocket(socket_, port_);
  }

  // Sends from a new socket (so every call has its own source port).
  void SendFromLoopback(const std::string& payload) {
    int error = 0;
    net::Socket s = net::Create(net::Kind::kUdp, &error);
    ASSERT_NE(s, net::kInvalidSocket);
    EXPECT_EQ(net::SendTo(s, payload.data(), payload.size(), net::Endpoint{"127.0.0.1", port_}, &error),
              static_cast<long>(payload.size()))
        << error;
    net::Close(s);
  }

  // Waits until the receive thread has taken everything queued on the socket,
  // then stops it; after the join every datagram read has been handled.
  void DrainAndStop() {
    for (int i = 0; i < 1000; ++i) {
      int error = 0;
      if (net::PollOne(socket_, true, false, 0, &error) == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    receiver_.Stop();
  }

  InputReceiver receiver_;
  net::Socket socket_ = net::kInvalidSocket;
  uint16_t port_ = 0;
  Inbox inbox_;
};

TEST_F(InputReceiverTest, DeliversOnlyDatagramsFromTheExpectedPeerAddress) {
  struct Case {
    const char* name;
    const char* expected_peer;  // nullptr: none set
    bool delivered;
  };
  const Case cases[] = {
      {"tablet on loopback", "127.0.0.1", true},
      {"another address", "10.1.2.3", false},
      {"no expected peer", nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Inbox inbox;
    receiver_.ClearPeerAndKeys();
    if (c.expected_peer) {
      ASSERT_TRUE(receiver_.SetExpectedPeer(c.expected_peer));
    }
    ASSERT_TRUE(receiver_.Start(port_, inbox.Callback()));
    // Two sockets, two source ports: the port is not part of the check.
    SendFromLoopback("first");
    SendFromLoopback("second");
    if (c.delivered) {
      ASSERT_TRUE(inbox.WaitFor(2));
    }
    DrainAndStop();
    if (c.delivered) {
      EXPECT_EQ(inbox.Payloads(), (std::vector<std::string>{"first", "second"}));
      std::lock_guard<std::mutex> lock(inbox.mu);
      EXPECT_EQ(inbox.sources[0].address, "127.0.0.1");
      EXPECT_NE(inbox.sources[0].port, inbox.sources[1].port);
    } else {
      EXPECT_TRUE(inbox.Payloads().empty());
    }
    // A dropped datagram is not a failure of the channel.
    EXPECT_TRUE(receiver_.LastResult().ok());
  }
}

TEST_F(InputReceiverTest, AdoptedPortStaysReservedAcrossStopAndRestartUntilClose) {
  testing::LogCapture log;
  ASSERT_TRUE(receiver_.SetExpectedPeer("127.0.0.1"));
  ASSERT_TRUE(receiver_.Start(port_, inbox_.Callback()));
  EXPECT_TRUE(receiver_.Running());
  EXPECT_EQ(receiver_.Port(), port_);
  EXPECT_TRUE(log.Contains("[INFO ] [UDPRecv] Listening for input on port " + std::to_string(port_)));
  SendFromLoopback("one");
  ASSERT_TRUE(inbox_.WaitFor(1));

  receiver_.Stop();
  EXPECT_FALSE(receiver_.Running());
  EXPECT_EQ(receiver_.Port(), 0);
  EXPECT_FALSE(PortIsFree(port_)) << "Stop must keep the slot's port bound";

  ASSERT_TRUE(receiver_.Start(port_, inbox_.Callback()));
  SendFromLoopback("two");
  ASSERT_TRUE(inbox_.WaitFor(2));
  EXPECT_EQ(inbox_.Payloads(), (std::vector<std::string>{"one", "two"}));

  receiver_.Close();
  EXPECT_FALSE(receiver_.Running());
  EXPECT_TRUE(PortIsFree(port_)) << "Close gives the port up";
}

TEST_F(InputReceiverTest, StopWakesAThreadWaitingForDatagrams) {
  ASSERT_TRUE(receiver_.SetExpectedPeer("127.0.0.1"));
  ASSERT_TRUE(receiver_.Start(port_, inbox_.Callback()));
  // One delivery proves the thread is in its receive loop; it is now waiting
  // for the next datagram that never comes.
  SendFromLoopback("wake");
  ASSERT_TRUE(inbox_.WaitFor(1));

  const auto begin = std::chrono::steady_clock::now();
  receiver_.Stop();
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  EXPECT_FALSE(receiver_.Running());
  // Generous: only a stop that hangs on the receive fails this.
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST_F(InputReceiverTest, StartWithoutAMatchingAdoptedSocketBindsItsOwnAndStopReleasesIt) {
  InputReceiver receiver;
  ASSERT_TRUE(receiver.SetExpectedPeer("127.0.0.1"));
  ASSERT_TRUE(receiver.Start(0, inbox_.Callback()));
  const uint16_t port = receiver.Port();
  ASSERT_NE(port, 0);
  int error = 0;
  net::Socket s = net::Create(net::Kind::kUdp, &error);
  ASSERT_NE(s, net::kInvalidSocket);
  const std::string payload = "own";
  EXPECT_EQ(net::SendTo(s, payload.data(), payload.size(), net::Endpoint{"127.0.0.1", port}, &error), 3L);
  net::Close(s);
  ASSERT_TRUE(inbox_.WaitFor(1));
  receiver.Stop();
  EXPECT_TRUE(PortIsFree(port));
}

TEST_F(InputReceiverTest, BindFailureIsReported) {
  testing::LogCapture log;
  InputReceiver other;
  // port_ is held by the adopted socket of receiver_.
  EXPECT_FALSE(other.Start(port_, inbox_.Callback()));
  EXPECT_FALSE(other.Running());
  EXPECT_EQ(other.LastResult().code, 1);
  EXPECT_EQ(other.LastResult().message, "UDP receiver bind() failed");
  EXPECT_TRUE(log.Contains("[ERROR] [UDPRecv] bind() failed on port " + std::to_string(port_) + ": "));
}

TEST(InputReceiverPeerTest, InvalidExpectedPeerIsRefused) {
  testing::LogCapture log;
  InputReceiver receiver;
  for (const char* address : {"", "256.1.1.1", "1.2.3", "1.2.3.4.5", " 1.2.3.4", "tablet", "::1"}) {
    SCOPED_TRACE(address);
    EXPECT_FALSE(receiver.SetExpectedPeer(address));
  }
  EXPECT_EQ(log.Count("[WARN ] [UDPRecv] Refusing invalid expected peer address: "), 7u);
  EXPECT_TRUE(receiver.SetExpectedPeer("192.168.0.7"));
}

}  // namespace
}  // namespace orvane
