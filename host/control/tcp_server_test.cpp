#include "host/control/tcp_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/common/byte_order.h"
#include "host/common/net.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using Steady = std::chrono::steady_clock;

using testing::WaitFor;

std::string Fmt(const char* format, unsigned a, unsigned b = 0) {
  char buf[256];
  std::snprintf(buf, sizeof buf, format, a, b);
  return buf;
}

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
  return v;
}

// The tablet's end of a control connection (blocking socket).
class TestClient {
 public:
  explicit TestClient(uint16_t server_port, int receive_buffer = 0) {
    int error = 0;
    s_ = net::Create(net::Kind::kTcp, &error);
    EXPECT_NE(s_, net::kInvalidSocket) << error;
    if (receive_buffer > 0) {
      EXPECT_EQ(net::SetReceiveBuffer(s_, receive_buffer), 0);
    }
    EXPECT_EQ(net::SetNoDelay(s_, true), 0);
    EXPECT_EQ(net::Connect(s_, "127.0.0.1", server_port), 0);
    port_ = net::LocalPort(s_, &error);
  }
  ~TestClient() { Close(); }
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  unsigned port() const { return port_; }
  void Close() {
    net::Close(s_);
    s_ = net::kInvalidSocket;
  }

  bool SendRaw(const uint8_t* data, size_t len) {
    size_t sent = 0;
    while (sent < len) {
      int error = 0;
      const long n = net::Send(s_, data + sent, len - sent, &error);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
  bool SendHeader(uint32_t length) {
    uint8_t header[4];
    StoreBe32(header, length);
    return SendRaw(header, 4);
  }
  bool SendFrame(const std::vector<uint8_t>& payload) {
    return SendHeader(static_cast<uint32_t>(payload.size())) && SendRaw(payload.data(), payload.size());
  }

  bool ReadExact(uint8_t* buf, size_t len) {
    size_t got = 0;
    while (got < len) {
      int error = 0;
      if (net::PollOne(s_, true, false, 5000, &error) != 1) return false;
      const long n = net::Recv(s_, buf + got, len - got, &error);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    return true;
  }
  bool ReadFrame(std::vector<uint8_t>* out) {
    uint8_t header[4];
    if (!ReadExact(header, 4)) return false;
    out->resize(LoadBe32(header));
    return ReadExact(out->data(), out->size());
  }
  // True once the server has closed (or reset) the connection.
  bool WaitClosed() {
    uint8_t buf[4096];
    for (;;) {
      int error = 0;
      if (net::PollOne(s_, true, false, 5000, &error) != 1) return false;
      if (net::Recv(s_, buf, sizeof buf, &error) <= 0) return true;
    }
  }

 private:
  net::Socket s_ = net::kInvalidSocket;
  unsigned port_ = 0;
};

// "HELLO:<id>" stands in for a plain Hello in these tests.
bool FakeHelloPeek(const uint8_t* payload, size_t length, std::string* client_id) {
  const std::string text(reinterpret_cast<const char*>(payload), length);
  if (text.rfind("HELLO:", 0) != 0 || text.size() == 6) return false;
  *client_id = text.substr(6);
  return true;
}

class TcpServerTest : public ::testing::Test {
 protected:
  void StartServer(size_t slots, uint32_t send_stall_ms = 10000) {
    TcpServerOptions options;
    options.clock = &clock_;
    options.send_stall_ms = send_stall_ms;
    server_ = std::make_unique<TcpServer>(slots, options);
    server_->SetHelloPeek(FakeHelloPeek);
    ASSERT_TRUE(server_->Start(0, "127.0.0.1")) << server_->LastResult().ToString();
    port_ = server_->ListeningPort();
    ASSERT_NE(port_, 0u);
  }

  bool HasLine(const std::string& line) const {
    const auto lines = log_.Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  bool WaitLine(const std::string& line) {
    const bool seen = WaitFor([&] { return HasLine(line); });
    EXPECT_TRUE(seen) << "missing log line: " << line;
    return seen;
  }

  // Connects and waits until the server put the connection into a slot.
  std::unique_ptr<TestClient> ConnectToSlot(size_t slot) {
    auto c = std::make_unique<TestClient>(port_);
    WaitLine(Fmt("[INFO ] [TCP] Client connected from 127.0.0.1:%u (slot %u)", c->port(), static_cast<unsigned>(slot)));
    return c;
  }
  std::unique_ptr<TestClient> ConnectAndAccept(size_t slot, uint64_t* key) {
    auto c = ConnectToSlot(slot);
    EXPECT_TRUE(server_->AcceptClient(slot, key));
    return c;
  }
  // Connects from the address of slot 0 and waits until it is held there.
  std::unique_ptr<TestClient> ConnectAsCandidate() {
    auto c = std::make_unique<TestClient>(port_);
    WaitLine(Fmt("[INFO ] [TCP] Connection 127.0.0.1:%u from the address of slot 0 held until its Hello", c->port()));
    return c;
  }

  testing::LogCapture log_;
  ManualClock clock_;
  std::unique_ptr<TcpServer> server_;
  unsigned port_ = 0;
};

// ------------------------------------------------------------------- framing

TEST_F(TcpServerTest, FrameLengthIsCheckedBeforeThePayloadIsAllocated) {
  struct Case {
    uint32_t length;
    bool accepted;
  };
  const Case cases[] = {{0, false}, {1048576, true}, {1048577, false}, {0xFFFFFFFFu, false}};
  StartServer(1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    log_.Clear();
    uint64_t key = 0;
    auto client = ConnectAndAccept(0, &key);
    std::vector<uint8_t> received;
    if (c.accepted) {
      const auto payload = Pattern(c.length, 3);
      std::thread sender([&] { EXPECT_TRUE(client->SendFrame(payload)); });
      EXPECT_TRUE(server_->ReceiveFrame(0, &received, key));
      sender.join();
      EXPECT_TRUE(received == payload);
      EXPECT_TRUE(server_->LastResult().ok());
      EXPECT_TRUE(server_->DropClient(0, key, "test done"));
      continue;
    }
    ASSERT_TRUE(client->SendHeader(c.length));
    EXPECT_FALSE(server_->ReceiveFrame(0, &received, key));
    EXPECT_EQ(received.capacity(), 0u);  // nothing was allocated for the announced payload
    const HostResult r = server_->LastResult();
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(r.message, "Invalid TCP frame size");
    EXPECT_EQ(r.hr, kEFail);
    EXPECT_TRUE(HasLine(Fmt("[ERROR] [TCP] Invalid frame size: %u", c.length)));
    EXPECT_TRUE(HasLine(Fmt("[INFO ] [TCP] Client disconnected (127.0.0.1:%u, slot 0)", client->port())));
    EXPECT_TRUE(client->WaitClosed());
    EXPECT_FALSE(server_->HasActiveClient(0));
  }
}

TEST_F(TcpServerTest, AFrameArrivingOneByteAtATimeIsReceivedWhole) {
  StartServer(1);
  uint64_t key = 0;
  auto client = ConnectAndAccept(0, &key);
  const auto payload = Pattern(37, 11);
  std::vector<uint8_t> wire(4 + payload.size());
  StoreBe32(wire.data(), static_cast<uint32_t>(payload.size()));
  std::copy(payload.begin(), payload.end(), wire.begin() + 4);
  std::thread sender([&] {
    for (uint8_t b : wire) {
      ASSERT_TRUE(client->SendRaw(&b, 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::vector<uint8_t> received;
  EXPECT_TRUE(server_->ReceiveFrame(0, &received, key));
  sender.join();
  EXPECT_TRUE(received == payload);
}

TEST_F(TcpServerTest, ConcurrentSendersNeverInterleaveFrames) {
  StartServer(1);
  uint64_t key = 0;
  auto client = ConnectAndAccept(0, &key);
  constexpr int kThreads = 4;
  constexpr int kFramesEach = 40;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int seq = 0; seq < kFramesEach; ++seq) {
        std::vector<uint8_t> frame(5 + static_cast<size_t>((seq * 7919 + t * 104729) % 30000));
        frame[0] = static_cast<uint8_t>(t);
        StoreBe32(&frame[1], static_cast<uint32_t>(seq));
        for (size_t i = 5; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(t * 37 + seq * 11 + i);
        EXPECT_TRUE(server_->SendFrame(0, frame.data(), frame.size()));
      }
    });
  }
  int next_seq[kThreads] = {};
  for (int n = 0; n < kThreads * kFramesEach; ++n) {
    std::vector<uint8_t> frame;
    ASSERT_TRUE(client->ReadFrame(&frame));
    ASSERT_GE(frame.size(), 5u);
    const int t = frame[0];
    ASSERT_LT(t, kThreads);
    const int seq = static_cast<int>(LoadBe32(&frame[1]));
    ASSERT_EQ(seq, next_seq[t]++);  // each sender's frames arrive whole and in order
    ASSERT_EQ(frame.size(), 5 + static_cast<size_t>((seq * 7919 + t * 104729) % 30000));
    for (size_t i = 5; i < frame.size(); ++i) {
      ASSERT_EQ(frame[i], static_cast<uint8_t>(t * 37 + seq * 11 + i)) << "thread " << t << " frame " << seq;
    }
  }
  for (auto& s : senders) s.join();
}

TEST_F(TcpServerTest, AnOversizedOutgoingFrameIsRefusedAndTheConnectionStays) {
  StartServer(1);
  uint64_t key = 0;
  auto client = ConnectAndAccept(0, &key);
  const auto big = Pattern(TcpServer::kMaxFrameBytes + 1, 5);
  EXPECT_FALSE(server_->SendFrame(0, big.data(), big.size()));
  const HostResult r = server_->LastResult();
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.message, "Frame too large to send");
  EXPECT_TRUE(HasLine("[ERROR] [TCP] Refusing to send a frame of 1048577 bytes on slot 0 (limit 1048576)"));
  EXPECT_TRUE(server_->HasActiveClient(0));

  std::thread sender([&] { EXPECT_TRUE(server_->SendFrame(0, big.data(), TcpServer::kMaxFrameBytes)); });
  std::vector<uint8_t> received;
  EXPECT_TRUE(client->ReadFrame(&received));
  sender.join();
  EXPECT_TRUE(std::equal(received.begin(), received.end(), big.begin()));
  EXPECT_EQ(received.size(), TcpServer::kMaxFrameBytes);
}

TEST_F(TcpServerTest, APeerThatStopsReadingMakesSendingFailAfterTheStallBound) {
  StartServer(1, /*send_stall_ms=*/300);
  uint64_t key = 0;
  auto client = std::make_unique<TestClient>(port_, /*receive_buffer=*/4096);
  WaitLine(Fmt("[INFO ] [TCP] Client connected from 127.0.0.1:%u (slot 0)", client->port()));
  ASSERT_TRUE(server_->AcceptClient(0, &key));
  const auto frame = Pattern(TcpServer::kMaxFrameBytes, 1);
  bool failed = false;
  for (int i = 0; i < 200 && !failed; ++i) failed = !server_->SendFrame(0, frame.data(), frame.size());
  ASSERT_TRUE(failed);
  const HostResult r = server_->LastResult();
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.hr, HResultFromWin32(net::kWsaETimedOut));
  EXPECT_EQ(log_.Count(Fmt("[INFO ] [TCP] Client disconnected (127.0.0.1:%u, slot 0): aborted by this PC's network "
                           "stack while sending a frame (wsa=10060); up 0 ms; rx 0 frames/0 KB, last never; tx ",
                           client->port())),
            1u);
  EXPECT_FALSE(server_->HasActiveClient(0));
}

// --------------------------------------------------------- slots and queue

TEST_F(TcpServerTest, ClientCallsNeedAnActiveClientWithTheExpectedKey) {
  StartServer(2);
  std::vector<uint8_t> out;
  EXPECT_FALSE(server_->ReceiveFrame(0, &out));
  EXPECT_EQ(server_->LastResult().code, 3);
  EXPECT_EQ(server_->LastResult().message, "No active TCP client");

  auto client = ConnectToSlot(0);
  EXPECT_FALSE(server_->HasActiveClient(0));  // placed, not yet taken by a session
  EXPECT_EQ(server_->ConnectionKey(0), 0u);
  const uint8_t byte = 1;
  EXPECT_FALSE(server_->SendFrame(0, &byte, 1));
  EXPECT_EQ(server_->LastResult().code, 3);

  uint64_t key = 0;
  ASSERT_TRUE(server_->AcceptClient(0, &key));
  EXPECT_EQ(key, 1u);  // connection keys start at 1
  EXPECT_EQ(server_->ConnectionKey(0), 1u);
  EXPECT_EQ(server_->PeerAddress(0), "127.0.0.1");
  EXPECT_FALSE(server_->ReceiveFrame(0, &out, key + 1));
  EXPECT_EQ(server_->LastResult().message, "No active TCP client");
  EXPECT_FALSE(server_->DropClient(0, key + 1, nullptr));
  EXPECT_FALSE(server_->AcceptClient(5, &key));  // beyond the slot table

  // Every socket option of the accepted connection took (Wine lacks the probe count).
  for (const auto& line : log_.Lines()) {
    if (line.rfind("[WARN ]", 0) != 0) continue;
    EXPECT_TRUE(RunningUnderWine() && line.find("TCP_KEEPCNT") != std::string::npos) << line;
  }
}

TEST_F(TcpServerTest, WithAllSlotsTakenOnlyTheNewestWaitingConnectionIsKeptAndPromoted) {
  StartServer(1);
  uint64_t key_a = 0;
  auto a = ConnectAndAccept(0, &key_a);
  auto b = std::make_unique<TestClient>(port_);
  WaitLine(Fmt("[INFO ] [TCP] Queued client 127.0.0.1:%u (queue=1)", b->port()));
  auto c = std::make_unique<TestClient>(port_);
  WaitLine(Fmt("[INFO ] [TCP] Queued client 127.0.0.1:%u (queue=1)", c->port()));
  EXPECT_TRUE(HasLine("[WARN ] [TCP] Replaced stale queued client with newer candidate"));
  EXPECT_TRUE(b->WaitClosed());

  ASSERT_TRUE(server_->DropClient(0, key_a, nullptr));
  EXPECT_TRUE(HasLine(Fmt("[WARN ] [TCP] Dropping client 127.0.0.1:%u of slot 0 (requested)", a->port())));
  EXPECT_TRUE(HasLine(Fmt("[INFO ] [TCP] Promoted queued client 127.0.0.1:%u to slot 0 (remaining queue=0)", c->port())));
  EXPECT_TRUE(a->WaitClosed());

  uint64_t key_c = 0;
  ASSERT_TRUE(server_->AcceptClient(0, &key_c));
  EXPECT_EQ(key_c, 3u);
  ASSERT_TRUE(c->SendFrame(Bytes("after promotion")));
  std::vector<uint8_t> received;
  ASSERT_TRUE(server_->ReceiveFrame(0, &received, key_c));
  EXPECT_EQ(received, Bytes("after promotion"));
}

TEST_F(TcpServerTest, APeerCloseIsLoggedWithItsCauseAndTheQueuedClientTakesOver) {
  StartServer(1);
  uint64_t key = 0;
  auto a = ConnectAndAccept(0, &key);
  auto b = std::make_unique<TestClient>(port_);
  WaitLine(Fmt("[INFO ] [TCP] Queued client 127.0.0.1:%u (queue=1)", b->port()));

  clock_.AdvanceMs(1000);
  const auto out = Pattern(2000, 9);
  ASSERT_TRUE(server_->SendFrame(0, out.data(), out.size()));
  std::vector<uint8_t> frame;
  ASSERT_TRUE(a->ReadFrame(&frame));  // read it all, so the close below is a FIN
  clock_.AdvanceMs(100);
  ASSERT_TRUE(a->SendFrame(Pattern(3000, 2)));
  ASSERT_TRUE(server_->ReceiveFrame(0, &frame, key));
  clock_.AdvanceMs(134);
  a->Close();

  EXPECT_FALSE(server_->ReceiveFrame(0, &frame, key));
  const HostResult r = server_->LastResult();
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.message, "Failed to receive frame header");
  EXPECT_TRUE(HasLine(Fmt("[INFO ] [TCP] Client disconnected (127.0.0.1:%u, slot 0): closed by the peer (FIN) while "
                          "waiting for a frame header; up 1234 ms; rx 1 frames/2 KB, last 134 ms ago; "
                          "tx 1 frames/1 KB, last 234 ms ago",
                          a->port())))
      << ::testing::PrintToString(log_.Lines());
  EXPECT_TRUE(HasLine(Fmt("[INFO ] [TCP] Promoted queued client 127.0.0.1:%u to slot 0 (remaining queue=0)", b->port())));
  uint64_t key_b = 0;
  EXPECT_TRUE(server_->AcceptClient(0, &key_b));
  EXPECT_EQ(key_b, 2u);
}

TEST_F(TcpServerTest, AcceptClientKeepsWaitingWhileAnotherSlotChanges) {
  StartServer(2);
  uint64_t key_a = 0, key_b = 0;
  auto a = ConnectAndAccept(0, &key_a);
  auto b = ConnectAndAccept(1, &key_b);
  ASSERT_TRUE(server_->DropClient(0, key_a, "test"));

  std::atomic<bool> returned{false};
  bool accepted = false;
  uint64_t key = 0;
  std::thread session([&] {
    accepted = server_->AcceptClient(0, &key);
    returned = true;
  });
  // Give the session time to block, then change slot 1, which wakes every waiter.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(server_->DropClient(1, key_b, "test"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(returned.load());

  auto c = ConnectToSlot(0);
  session.join();
  EXPECT_TRUE(accepted);
  EXPECT_EQ(key, 3u);
}

TEST_F(TcpServerTest, StopEndsBlockedCallsPromptly) {
  StartServer(3, /*send_stall_ms=*/60000);
  uint64_t key0 = 0, key1 = 0;
  auto reader = ConnectAndAccept(0, &key0);
  auto stalled = std::make_unique<TestClient>(port_, /*receive_buffer=*/4096);
  WaitLine(Fmt("[INFO ] [TCP] Client connected from 127.0.0.1:%u (slot 1)", stalled->port()));
  ASSERT_TRUE(server_->AcceptClient(1, &key1));

  std::atomic<int> sent{0};
  bool receive_ok = true, send_ok = true, accept_ok = true;
  std::thread receive([&] {
    std::vector<uint8_t> frame;
    receive_ok = server_->ReceiveFrame(0, &frame, key0);
  });
  std::thread send([&] {
    const auto frame = Pattern(TcpServer::kMaxFrameBytes, 4);
    while ((send_ok = server_->SendFrame(1, frame.data(), frame.size()))) ++sent;
  });
  std::thread accept([&] {
    uint64_t key = 0;
    accept_ok = server_->AcceptClient(2, &key);
  });
  // Let the sender fill the socket buffers and block.
  int last = -1;
  WaitFor([&] {
    const int now = sent.load();
    if (now != last) {
      last = now;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return sent.load() == now;
  }, 10000);

  const auto t0 = Steady::now();
  server_->Stop();
  receive.join();
  send.join();
  accept.join();
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - t0).count();
  EXPECT_LT(elapsed, 2000);
  EXPECT_FALSE(receive_ok);
  EXPECT_FALSE(send_ok);
  EXPECT_FALSE(accept_ok);
  EXPECT_EQ(server_->ListeningPort(), 0u);

  uint64_t key = 0;
  EXPECT_FALSE(server_->AcceptClient(0, &key));
  EXPECT_EQ(server_->LastResult().message, "No active client available");
  EXPECT_TRUE(reader->WaitClosed());
}

// ----------------------------------------------------- reconnect candidates

TEST_F(TcpServerTest, AReconnectingClientIsMatchedByItsHello) {
  struct Case {
    const char* hello;
    bool same_client;
  };
  const Case cases[] = {{"HELLO:tab-1", true}, {"HELLO:tab-2", false}, {"not a hello", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hello);
    StartServer(2);
    log_.Clear();
    uint64_t key_a = 0;
    auto a = ConnectAndAccept(0, &key_a);
    server_->SetClientId(0, key_a, "tab-1");
    bool old_read_ok = true;
    std::thread old_session([&] {
      std::vector<uint8_t> frame;
      old_read_ok = server_->ReceiveFrame(0, &frame, key_a);
    });

    auto b = ConnectAsCandidate();
    ASSERT_TRUE(b->SendFrame(Bytes(c.hello)));
    uint64_t key_b = 0;
    const size_t b_slot = c.same_client ? 0 : 1;
    if (c.same_client) {
      WaitLine(Fmt("[INFO ] [TCP] Client 127.0.0.1 reconnected (port %u); replacing its stale connection (port %u, "
                   "slot 0)",
                   b->port(), a->port()));
      old_session.join();
      EXPECT_FALSE(old_read_ok);
      EXPECT_TRUE(a->WaitClosed());
      EXPECT_EQ(log_.Count("Client disconnected"), 0u);  // replaced, not failed
    } else {
      WaitLine(Fmt("[INFO ] [TCP] Connection 127.0.0.1:%u is not the client of slot 0; placing it as a new client",
                   b->port()));
      WaitLine(Fmt("[INFO ] [TCP] Client connected from 127.0.0.1:%u (slot 1)", b->port()));
      EXPECT_EQ(server_->ConnectionKey(0), key_a);
      ASSERT_TRUE(server_->DropClient(0, key_a, nullptr));
      old_session.join();
    }
    ASSERT_TRUE(server_->AcceptClient(b_slot, &key_b));
    EXPECT_EQ(key_b, 2u);
    std::vector<uint8_t> first;
    ASSERT_TRUE(server_->ReceiveFrame(b_slot, &first, key_b));  // the peek left the frame in place
    EXPECT_EQ(first, Bytes(c.hello));
    server_->Stop();
  }
}

TEST_F(TcpServerTest, AConnectionFromAKnownAddressThatSendsNoHelloIsSettledAfterTheHold) {
  enum class Behaviour { kSilent, kCloses, kPartialHeader };
  struct Case {
    Behaviour behaviour;
    uint64_t advance_ms;
    const char* outcome;  // %u: the candidate's port
  };
  const Case cases[] = {
      {Behaviour::kSilent, TcpServer::kReconnectHoldMs,
       "[INFO ] [TCP] Discarding connection 127.0.0.1:%u from the address of slot 0 (no data before timeout)"},
      {Behaviour::kCloses, 0,
       "[INFO ] [TCP] Discarding connection 127.0.0.1:%u from the address of slot 0 (closed without sending data)"},
      {Behaviour::kPartialHeader, TcpServer::kReconnectHoldMs,
       "[INFO ] [TCP] Connection 127.0.0.1:%u is not the client of slot 0; placing it as a new client"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.outcome);
    StartServer(2);
    log_.Clear();
    uint64_t key_a = 0;
    auto a = ConnectAndAccept(0, &key_a);
    server_->SetClientId(0, key_a, "tab-1");

    auto b = std::make_unique<TestClient>(port_);
    const unsigned b_port = b->port();
    const uint8_t partial[2] = {0, 0};
    if (c.behaviour == Behaviour::kCloses) b->Close();
    if (c.behaviour == Behaviour::kPartialHeader) {
      ASSERT_TRUE(b->SendRaw(partial, sizeof partial));
    }
    WaitLine(Fmt("[INFO ] [TCP] Connection 127.0.0.1:%u from the address of slot 0 held until its Hello", b_port));
    if (c.behaviour == Behaviour::kSilent) {
      // Still young: the connection stays on hold.
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      EXPECT_EQ(log_.Count("Discarding"), 0u);
      EXPECT_EQ(log_.Count("is not the client"), 0u);
    }
    clock_.AdvanceMs(c.advance_ms);
    WaitLine(Fmt(c.outcome, b_port));
    if (c.behaviour == Behaviour::kSilent) {
      EXPECT_TRUE(b->WaitClosed());
    }
    if (c.behaviour == Behaviour::kPartialHeader) {
      WaitLine(Fmt("[INFO ] [TCP] Client connected from 127.0.0.1:%u (slot 1)", b_port));
    }
    EXPECT_EQ(server_->ConnectionKey(0), key_a);  // the known client was never touched
    server_->Stop();
  }
}

TEST_F(TcpServerTest, ANewerReconnectCandidateSupersedesTheOlderOne) {
  StartServer(2);
  uint64_t key_a = 0;
  auto a = ConnectAndAccept(0, &key_a);
  server_->SetClientId(0, key_a, "tab-1");
  auto b = ConnectAsCandidate();
  auto c = std::make_unique<TestClient>(port_);
  WaitLine(Fmt("[INFO ] [TCP] Connection 127.0.0.1:%u from the address of slot 0 held until its Hello", c->port()));
  EXPECT_TRUE(HasLine(Fmt("[INFO ] [TCP] Superseding reconnect candidate 127.0.0.1:%u", b->port())));
  EXPECT_TRUE(b->WaitClosed());

  // The slot's client fails before the candidate spoke: the candidate takes over.
  a->Close();
  std::vector<uint8_t> frame;
  EXPECT_FALSE(server_->ReceiveFrame(0, &frame, key_a));
  EXPECT_TRUE(HasLine(Fmt("[INFO ] [TCP] Promoted reconnecting client 127.0.0.1:%u (slot 0)", c->port())));
  uint64_t key_c = 0;
  ASSERT_TRUE(server_->AcceptClient(0, &key_c));
  EXPECT_EQ(key_c, 3u);
}

// ------------------------------------------------------------------ start

TEST_F(TcpServerTest, StartReportsWhyItFailed) {
  StartServer(1);
  EXPECT_TRUE(HasLine(Fmt("[INFO ] [TCP] Listening on port %u", port_)));

  TcpServer second(1);
  EXPECT_FALSE(second.Start(static_cast<uint16_t>(port_), "127.0.0.1"));  // the port is held
  EXPECT_EQ(second.LastSocketError(), net::kWsaEAddrInUse);
  EXPECT_EQ(second.ListeningPort(), 0u);
  HostResult r = second.LastResult();
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.message, "bind() failed");
  EXPECT_EQ(r.hr, HResultFromWin32(net::kWsaEAddrInUse));
  EXPECT_TRUE(HasLine(Fmt("[ERROR] [TCP] bind() failed on port %u: 10048", port_)));

  EXPECT_FALSE(second.Start(0, "300.1.2.3"));
  EXPECT_EQ(second.LastSocketError(), net::kWsaEInval);
  r = second.LastResult();
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.message, "Invalid bind address");
  EXPECT_EQ(r.hr, kEFail);
}

TEST_F(TcpServerTest, StartingAgainStopsWhatRanBefore) {
  StartServer(1);
  uint64_t key = 0;
  auto a = ConnectAndAccept(0, &key);
  ASSERT_TRUE(server_->Start(0, "127.0.0.1"));  // must not deadlock on its own stop
  EXPECT_TRUE(a->WaitClosed());
  EXPECT_FALSE(server_->HasActiveClient(0));
  port_ = server_->ListeningPort();
  auto b = ConnectToSlot(0);
  ASSERT_TRUE(server_->AcceptClient(0, &key));
  EXPECT_EQ(key, 2u);  // keys are never reused within one server
}

// ------------------------------------------------------------- cause texts

TEST(TcpCauseTextTest, DisconnectCausesReadAsDocumented) {
  struct Case {
    DisconnectReason reason;
    TransferPhase phase;
    int error;
    ConnectionTraffic traffic;
    const char* text;
  };
  const ConnectionTraffic idle{1234, 0, 0, -1, 0, 0, -1};
  const ConnectionTraffic busy{5123, 3, 2060, 5003, 9, 41000, 5100};
  const Case cases[] = {
      {DisconnectReason::kClosedByPeer, TransferPhase::kWaitingForHeader, 0, idle,
       "closed by the peer (FIN) while waiting for a frame header; up 1234 ms; rx 0 frames/0 KB, last never; "
       "tx 0 frames/0 KB, last never"},
      {DisconnectReason::kResetByPeer, TransferPhase::kSending, 10054, busy,
       "reset by the peer (RST) while sending a frame (wsa=10054); up 5123 ms; rx 3 frames/2 KB, last 120 ms ago; "
       "tx 9 frames/40 KB, last 23 ms ago"},
      {DisconnectReason::kAbortedLocally, TransferPhase::kReadingPayload, 10060, busy,
       "aborted by this PC's network stack while reading a frame payload (wsa=10060); up 5123 ms; rx 3 frames/2 KB, "
       "last 120 ms ago; tx 9 frames/40 KB, last 23 ms ago"},
      {DisconnectReason::kDroppedByHost, TransferPhase::kWaitingForHeader, 10053, idle,
       "dropped by the host while waiting for a frame header; up 1234 ms; rx 0 frames/0 KB, last never; "
       "tx 0 frames/0 KB, last never"},
      {DisconnectReason::kSocketError, TransferPhase::kSending, 10065, idle,
       "socket error while sending a frame (wsa=10065); up 1234 ms; rx 0 frames/0 KB, last never; "
       "tx 0 frames/0 KB, last never"},
      {static_cast<DisconnectReason>(9), static_cast<TransferPhase>(7), 5, idle,
       "unknown while unknown (wsa=5); up 1234 ms; rx 0 frames/0 KB, last never; tx 0 frames/0 KB, last never"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatDisconnectCause(c.reason, c.phase, c.error, c.traffic), c.text);
}

TEST(TcpCauseTextTest, TheReasonFollowsClosingThenTheOrderlyCloseThenTheError) {
  struct Case {
    bool closing;
    bool peer_closed;
    int error;
    DisconnectReason reason;
  };
  const Case cases[] = {
      {true, false, 10054, DisconnectReason::kDroppedByHost},  {true, true, 0, DisconnectReason::kDroppedByHost},
      {false, true, 0, DisconnectReason::kClosedByPeer},       {false, false, 10054, DisconnectReason::kResetByPeer},
      {false, false, 10053, DisconnectReason::kAbortedLocally}, {false, false, 10060, DisconnectReason::kAbortedLocally},
      {false, false, 10065, DisconnectReason::kSocketError},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ClassifyDisconnect(c.closing, c.peer_closed, c.error), c.reason)
        << c.closing << " " << c.peer_closed << " " << c.error;
  }
}

}  // namespace
}  // namespace orvane
