#include "host/transport/input_receiver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <atomic>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/security/secure_frame.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using crypto::ByteView;
using crypto::Bytes;

Bytes KeyOf(uint8_t first, size_t size = 32) {
  Bytes key(size);
  for (size_t i = 0; i < size; ++i) key[i] = static_cast<uint8_t>(first + i);
  return key;
}

ByteView View(const std::string& s) { return ByteView(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

// A datagram as the tablet sends it.
Bytes SealInput(ByteView key, uint64_t counter, const std::string& plaintext,
                uint32_t prefix = security::kNonceInput) {
  crypto::AesGcm aes;
  return security::SealSecureFrame(aes, key, prefix, counter, View(plaintext));
}

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

constexpr Ipv4Address kTablet = {192, 168, 1, 20};

// ------------------------------------------------------------------ gate

class InputDatagramGateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gate_.SetKey(key_));
    gate_.SetExpectedPeer(kTablet);
  }

  InputVerdict Open(const Bytes& datagram, const Ipv4Address& source = kTablet) {
    plaintext_.clear();
    return gate_.Open(aes_, datagram, source, &plaintext_);
  }
  InputVerdict OpenCounter(uint64_t counter) { return Open(SealInput(key_, counter, "event " + std::to_string(counter))); }

  const Bytes key_ = KeyOf(0x11);
  InputDatagramGate gate_;
  crypto::AesGcm aes_;
  Bytes plaintext_;
};

TEST_F(InputDatagramGateTest, ReplayWindowAcceptsEachCounterOnceWithin64) {
  struct Step {
    uint64_t counter;
    InputVerdict verdict;
  };
  const Step steps[] = {
      {100, InputVerdict::kAccepted},
      {99, InputVerdict::kAccepted},   // behind, inside the window
      {100, InputVerdict::kReplayed},  // repeated
      {36, InputVerdict::kReplayed},   // 64 behind: too old
      {37, InputVerdict::kAccepted},   // 63 behind: the oldest still inside
      {37, InputVerdict::kReplayed},
      // A jump of exactly 64 starts a fresh mask: no old bit may survive it
      // (a shift by 64 would keep them).
      {164, InputVerdict::kAccepted},
      {163, InputVerdict::kAccepted},
      {101, InputVerdict::kAccepted},
      {164, InputVerdict::kReplayed},
      {100, InputVerdict::kReplayed},
      {170, InputVerdict::kAccepted},  // gaps are fine
      {165, InputVerdict::kAccepted},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.counter);
    EXPECT_EQ(InputVerdictName(OpenCounter(s.counter)), std::string(InputVerdictName(s.verdict)));
    if (s.verdict == InputVerdict::kAccepted) {
      EXPECT_EQ(Text(plaintext_), "event " + std::to_string(s.counter));
    } else {
      EXPECT_TRUE(plaintext_.empty());
    }
  }
}

TEST_F(InputDatagramGateTest, OnlyAuthenticSecureFramesUnderTheInputKeyOpen) {
  auto with = [](Bytes bytes, size_t index, uint8_t value) {
    bytes[index] = value;
    return bytes;
  };
  const Bytes good = SealInput(key_, 5, "touch");
  Bytes tag_flipped = good;
  tag_flipped.back() ^= 0x01;
  Bytes counter_changed = good;
  counter_changed[12] = 6;  // the header counter is bound through the nonce
  struct Case {
    const char* name;
    Bytes datagram;
    InputVerdict verdict;
  };
  const std::string plain_event = "\x08\x01\x10\x02";
  const Case cases[] = {
      {"sealed under the input key", good, InputVerdict::kAccepted},
      {"other flag bits are ignored", with(good, 4, 0x03), InputVerdict::kAccepted},
      {"plaintext InputEvent", Bytes(plain_event.begin(), plain_event.end()), InputVerdict::kNotSecureFrame},
      {"empty datagram", Bytes{}, InputVerdict::kNotSecureFrame},
      {"12-byte header", Bytes(good.begin(), good.begin() + 12), InputVerdict::kNotSecureFrame},
      {"encrypted flag clear", with(good, 4, 0x00), InputVerdict::kNotSecureFrame},
      {"other magic", with(good, 3, '2'), InputVerdict::kNotSecureFrame},
      {"13-byte header without tag", Bytes(good.begin(), good.begin() + 13), InputVerdict::kDecryptFailed},
      {"shorter than a tag", Bytes(good.begin(), good.begin() + 13 + 15), InputVerdict::kDecryptFailed},
      {"tag flipped", tag_flipped, InputVerdict::kDecryptFailed},
      {"header counter changed", counter_changed, InputVerdict::kDecryptFailed},
      {"another key", SealInput(KeyOf(0x99), 5, "touch"), InputVerdict::kDecryptFailed},
      {"media direction prefix", SealInput(key_, 5, "touch", security::kNonceMedia), InputVerdict::kDecryptFailed},
      {"empty plaintext", SealInput(key_, 5, ""), InputVerdict::kDecryptFailed},
      {"counter with the top bit set", SealInput(key_, uint64_t{1} << 63, "touch"), InputVerdict::kCounterTooLarge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A fresh window per case: only the verdict of this datagram matters.
    gate_.ClearKey();
    ASSERT_TRUE(gate_.SetKey(key_));
    EXPECT_EQ(InputVerdictName(Open(c.datagram)), std::string(InputVerdictName(c.verdict)));
    if (c.verdict == InputVerdict::kAccepted) {
      EXPECT_EQ(Text(plaintext_), "touch");
    } else {
      // A datagram that did not open must not take its counter.
      EXPECT_TRUE(plaintext_.empty());
      EXPECT_EQ(Open(good), InputVerdict::kAccepted);
    }
  }
}

TEST_F(InputDatagramGateTest, NeedsKeyAndPeerAndTheTabletsAddress) {
  struct Case {
    const char* name;
    bool key;
    bool peer;
    Ipv4Address source;
    InputVerdict verdict;
  };
  const Case cases[] = {
      {"tablet with key and peer", true, true, kTablet, InputVerdict::kAccepted},
      {"another address", true, true, {192, 168, 1, 21}, InputVerdict::kWrongPeer},
      {"no key", false, true, kTablet, InputVerdict::kNoKeyOrPeer},
      {"no expected peer", true, false, kTablet, InputVerdict::kNoKeyOrPeer},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gate_.ClearPeerAndKey();
    if (c.key) {
      ASSERT_TRUE(gate_.SetKey(key_));
    }
    if (c.peer) gate_.SetExpectedPeer(kTablet);
    EXPECT_EQ(InputVerdictName(Open(SealInput(key_, 1, "tap"), c.source)), std::string(InputVerdictName(c.verdict)));
  }
}

TEST_F(InputDatagramGateTest, KeyChangeBetweenDecryptionAndCommitDropsTheDatagram) {
  struct Case {
    const char* name;
    void (*change)(InputDatagramGate& gate, const Bytes& key);
  };
  const Case cases[] = {
      {"another key", [](InputDatagramGate& g, const Bytes&) { ASSERT_TRUE(g.SetKey(KeyOf(0x77))); }},
      {"key cleared", [](InputDatagramGate& g, const Bytes&) { g.ClearKey(); }},
      {"peer and key cleared", [](InputDatagramGate& g, const Bytes&) { g.ClearPeerAndKey(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(gate_.SetKey(key_));
    gate_.SetExpectedPeer(kTablet);
    const Bytes datagram = SealInput(key_, 7, "pen");

    InputDatagramGate::KeySnapshot snapshot;
    ASSERT_EQ(gate_.Snapshot(kTablet, &snapshot), InputVerdict::kAccepted);
    uint64_t counter = 0;
    ASSERT_EQ(InputDatagramGate::Decrypt(aes_, snapshot, datagram, &counter, &plaintext_), InputVerdict::kAccepted);
    EXPECT_EQ(counter, 7u);
    EXPECT_EQ(Text(plaintext_), "pen");
    c.change(gate_, key_);
    EXPECT_EQ(gate_.Commit(snapshot.generation, counter), InputVerdict::kKeyChanged);
  }
  // The dropped datagram left no trace in the new window.
  ASSERT_TRUE(gate_.SetKey(key_));
  gate_.SetExpectedPeer(kTablet);
  EXPECT_EQ(OpenCounter(7), InputVerdict::kAccepted);
}

TEST_F(InputDatagramGateTest, SameKeyAgainKeepsItsReplayWindow) {
  EXPECT_EQ(OpenCounter(5), InputVerdict::kAccepted);
  ASSERT_TRUE(gate_.SetKey(key_));
  EXPECT_TRUE(gate_.HasKey());
  EXPECT_EQ(OpenCounter(5), InputVerdict::kReplayed);
  EXPECT_EQ(OpenCounter(6), InputVerdict::kAccepted);
}

TEST_F(InputDatagramGateTest, DatagramBetweenKeyClearAndKeySetIsDropped) {
  EXPECT_EQ(OpenCounter(1), InputVerdict::kAccepted);
  gate_.ClearKey();
  EXPECT_FALSE(gate_.HasKey());
  EXPECT_TRUE(gate_.HasExpectedPeer());
  EXPECT_EQ(OpenCounter(2), InputVerdict::kNoKeyOrPeer);
  ASSERT_TRUE(gate_.SetKey(key_));
  EXPECT_EQ(OpenCounter(3), InputVerdict::kAccepted);

  // A key that is too short is refused and removes the one installed.
  EXPECT_FALSE(gate_.SetKey(KeyOf(0x11, 15)));
  EXPECT_FALSE(gate_.HasKey());
  EXPECT_EQ(OpenCounter(4), InputVerdict::kNoKeyOrPeer);
}

// ------------------------------------------------------- receive errors

TEST(InputRecvErrorPolicyTest, ClassifiesReceiveErrors) {
  using Kind = InputRecvErrorPolicy::Kind;
  struct Case {
    int error;
    Kind kind;
  };
  const Case cases[] = {
      {net::kWsaEConnReset, Kind::kHarmless},   {net::kWsaEIntr, Kind::kHarmless},
      {net::kWsaEWouldBlock, Kind::kHarmless},  {net::kWsaEMsgSize, Kind::kOversized},
      {net::kWsaEBadF, Kind::kUnexpected},      {net::kWsaENotSock, Kind::kUnexpected},
      {net::kWsaENoBufs, Kind::kUnexpected},    {net::kWsaENetDown, Kind::kUnexpected},
      {net::kWsaESysCallFailure, Kind::kUnexpected}, {0, Kind::kUnexpected},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ(InputRecvErrorPolicy::Classify(c.error), c.kind);
  }
}

TEST(InputRecvErrorPolicyTest, LogsOncePerSecondAndBacksOffAfterARunOfErrors) {
  struct Step {
    uint64_t at_ms;
    bool received_before;  // a datagram arrived since the previous step
    bool log;
    uint64_t suppressed;
    bool back_off;
  };
  const Step steps[] = {
      {0, false, true, 0, false},  // the first error is logged
      {1, false, false, 0, false},   {2, false, false, 0, false}, {3, false, false, 0, false},
      {4, false, false, 0, false},   {5, false, false, 0, false}, {6, false, false, 0, false},
      {7, false, false, 0, true},      // the eighth in a row: pause
      {999, false, false, 0, true},    // still within the second
      {1000, false, true, 8, true},    // one line a second, with what was swallowed
      {1001, true, false, 0, false},   // a datagram ends the run, not the rate limit
      {2500, false, true, 1, false},
  };
  InputRecvErrorPolicy policy;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.at_ms);
    if (s.received_before) policy.OnReceived();
    const InputRecvErrorPolicy::Step step = policy.OnUnexpected(s.at_ms);
    EXPECT_EQ(step.log, s.log);
    if (s.log) {
      EXPECT_EQ(step.suppressed, s.suppressed);
    }
    EXPECT_EQ(step.back_off, s.back_off);
  }
}

// -------------------------------------------------------------- receiver

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
bool PortIsFree(uint16_t port, const std::string& address = "127.0.0.1") {
  int error = 0;
  net::Socket s = net::Create(net::Kind::kUdp, &error);
  if (s == net::kInvalidSocket) return false;
  const bool ok = net::Bind(s, address, port) == 0;
  net::Close(s);
  return ok;
}

// Sends from a new socket (so every call has its own source port).
void SendFromLoopback(uint16_t port, const Bytes& datagram) {
  int error = 0;
  net::Socket s = net::Create(net::Kind::kUdp, &error);
  ASSERT_NE(s, net::kInvalidSocket);
  EXPECT_EQ(net::SendTo(s, datagram.data(), datagram.size(), net::Endpoint{"127.0.0.1", port}, &error),
            static_cast<long>(datagram.size()))
      << error;
  net::Close(s);
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
    ASSERT_TRUE(receiver_.SetInputKey(key_));
  }

  // A sealed datagram with the tablet's next counter.
  void SendSealed(const std::string& plaintext) { SendFromLoopback(port_, SealInput(key_, next_counter_++, plaintext)); }

  // Waits until the receive thread has judged this many datagrams in total,
  // then stops it. Waiting on the verdicts, not on the socket queue: a
  // datagram may still be on its way through the stack when the queue looks
  // empty.
  void WaitForVerdictsAndStop(InputVerdict verdict, uint64_t count) {
    EXPECT_TRUE(testing::WaitFor([&] { return receiver_.VerdictCount(verdict) >= count; }))
        << InputVerdictName(verdict) << " " << receiver_.VerdictCount(verdict) << " of " << count;
    receiver_.Stop();
  }

  const Bytes key_ = KeyOf(0x42);
  uint64_t next_counter_ = 1;
  ManualClock clock_;
  InputReceiver receiver_{clock_};
  net::Socket socket_ = net::kInvalidSocket;
  uint16_t port_ = 0;
  Inbox inbox_;
};

TEST_F(InputReceiverTest, DeliversThePlaintextOfSealedDatagramsFromTheTabletAndReplaysOnlyOnce) {
  ASSERT_TRUE(receiver_.SetExpectedPeer("127.0.0.1"));
  ASSERT_TRUE(receiver_.Start(port_, inbox_.Callback()));
  SendFromLoopback(port_, SealInput(key_, 1, "first"));
  SendFromLoopback(port_, SealInput(key_, 2, "second"));
  SendFromLoopback(port_, SealInput(key_, 1, "first"));  // captured and sent again
  SendFromLoopback(port_, SealInput(key_, 3, "third"));
  ASSERT_TRUE(inbox_.WaitFor(3));
  WaitForVerdictsAndStop(InputVerdict::kReplayed, 1);
  EXPECT_EQ(inbox_.Payloads(), (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_EQ(receiver_.VerdictCount(InputVerdict::kAccepted), 3u);
  EXPECT_EQ(receiver_.VerdictCount(InputVerdict::kReplayed), 1u);
  // Two sockets, two source ports: the port is not part of the check.
  std::lock_guard<std::mutex> lock(inbox_.mu);
  EXPECT_EQ(inbox_.sources[0].address, "127.0.0.1");
  EXPECT_NE(inbox_.sources[0].port, inbox_.sources[1].port);
  EXPECT_TRUE(receiver_.LastResult().ok());
}

TEST_F(InputReceiverTest, RefusesWhatIsNotFromTheTabletOrNotSealedUnderItsKey) {
  struct Case {
    const char* name;
    const char* expected_peer;  // nullptr: none set
    bool key;
    enum { kSealed, kPlain, kOtherKey } payload;
    bool delivered;
    InputVerdict verdict;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {"sealed from the tablet", "127.0.0.1", true, Case::kSealed, true, InputVerdict::kAccepted, 0, ""},
      {"plaintext from the tablet", "127.0.0.1", true, Case::kPlain, false, InputVerdict::kNotSecureFrame, 4,
       "Plaintext UDP input is not permitted"},
      {"sealed under another key", "127.0.0.1", true, Case::kOtherKey, false, InputVerdict::kDecryptFailed, 4,
       "Failed to decrypt secure UDP input payload"},
      // Silent drops leave the result alone, even for plaintext.
      {"plaintext from another address", "10.1.2.3", true, Case::kPlain, false, InputVerdict::kWrongPeer, 0, ""},
      {"sealed from another address", "10.1.2.3", true, Case::kSealed, false, InputVerdict::kWrongPeer, 0, ""},
      {"no expected peer", nullptr, true, Case::kPlain, false, InputVerdict::kNoKeyOrPeer, 0, ""},
      {"no input key", "127.0.0.1", false, Case::kPlain, false, InputVerdict::kNoKeyOrPeer, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::LogCapture log;
    clock_.AdvanceMs(kInputDropLogIntervalMs);
    Inbox inbox;
    receiver_.ClearPeerAndKeys();
    if (c.expected_peer) {
      ASSERT_TRUE(receiver_.SetExpectedPeer(c.expected_peer));
    }
    if (c.key) {
      ASSERT_TRUE(receiver_.SetInputKey(key_));
    }
    const uint64_t before = receiver_.VerdictCount(c.verdict);
    ASSERT_TRUE(receiver_.Start(port_, inbox.Callback()));
    ASSERT_TRUE(receiver_.LastResult().ok());
    for (const uint64_t counter : {1, 2}) {
      const std::string text = "event " + std::to_string(counter);
      switch (c.payload) {
        case Case::kSealed: SendFromLoopback(port_, SealInput(key_, counter, text)); break;
        case Case::kPlain: SendFromLoopback(port_, Bytes(text.begin(), text.end())); break;
        case Case::kOtherKey: SendFromLoopback(port_, SealInput(KeyOf(0x43), counter, text)); break;
      }
    }
    WaitForVerdictsAndStop(c.verdict, before + 2);
    EXPECT_EQ(receiver_.VerdictCount(c.verdict) - before, 2u);
    if (c.delivered) {
      EXPECT_EQ(inbox.Payloads(), (std::vector<std::string>{"event 1", "event 2"}));
    } else {
      EXPECT_TRUE(inbox.Payloads().empty());
    }
    const HostResult result = receiver_.LastResult();
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(result.message, c.message);
    if (c.code != 0) {
      EXPECT_EQ(result.hr, kEFail);
      // Two bad datagrams, one line.
      EXPECT_EQ(log.Count("[WARN ] [UDPRecv] Dropped input datagram from 127.0.0.1: " + std::string(c.message)), 1u);
    } else {
      EXPECT_EQ(log.Count("[UDPRecv] Dropped input datagram"), 0u);
    }
  }
}

TEST_F(InputReceiverTest, DatagramBetweenKeyClearAndKeySetIsNotDelivered) {
  ASSERT_TRUE(receiver_.SetExpectedPeer("127.0.0.1"));
  ASSERT_TRUE(receiver_.Start(port_, inbox_.Callback()));
  SendSealed("before");
  ASSERT_TRUE(inbox_.WaitFor(1));
  receiver_.ClearInputKey();
  SendSealed("between");
  ASSERT_TRUE(testing::WaitFor([&] { return receiver_.VerdictCount(InputVerdict::kNoKeyOrPeer) == 1; }));
  ASSERT_TRUE(receiver_.SetInputKey(key_));
  SendSealed("after");
  WaitForVerdictsAndStop(InputVerdict::kAccepted, 2);
  EXPECT_EQ(inbox_.Payloads(), (std::vector<std::string>{"before", "after"}));
}

TEST_F(InputReceiverTest, AdoptedPortStaysReservedAcrossStopAndRestartUntilClose) {
  testing::LogCapture log;
  ASSERT_TRUE(receiver_.SetExpectedPeer("127.0.0.1"));
  ASSERT_TRUE(receiver_.Start(port_, inbox_.Callback()));
  EXPECT_TRUE(receiver_.Running());
  EXPECT_EQ(receiver_.Port(), port_);
  EXPECT_TRUE(log.Contains("[INFO ] [UDPRecv] Listening for input on port " + std::to_string(port_)));
  SendSealed("one");
  ASSERT_TRUE(inbox_.WaitFor(1));

  receiver_.Stop();
  EXPECT_FALSE(receiver_.Running());
  EXPECT_EQ(receiver_.Port(), 0);
  EXPECT_FALSE(PortIsFree(port_)) << "Stop must keep the slot's port bound";

  ASSERT_TRUE(receiver_.Start(port_, inbox_.Callback()));
  SendSealed("two");
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
  SendSealed("wake");
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
  ASSERT_TRUE(receiver.SetInputKey(key_));
  ASSERT_TRUE(receiver.Start(0, inbox_.Callback()));
  const uint16_t port = receiver.Port();
  ASSERT_NE(port, 0);
  SendFromLoopback(port, SealInput(key_, 1, "own"));
  ASSERT_TRUE(inbox_.WaitFor(1));
  EXPECT_EQ(inbox_.Payloads(), std::vector<std::string>{"own"});
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

// A sealed datagram of exactly `size` bytes (13 header + plaintext + 16 tag).
Bytes SealedOfSize(ByteView key, uint64_t counter, size_t size) {
  return SealInput(key, counter, std::string(size - 29, 'k'));
}

TEST_F(InputReceiverTest, DatagramsLongerThan2048BytesAreDroppedAndCountedWithoutALogLine) {
  ASSERT_TRUE(receiver_.SetExpectedPeer("127.0.0.1"));
  ASSERT_TRUE(receiver_.Start(port_, inbox_.Callback()));
  testing::LogCapture log;
  struct Case {
    size_t size;
    bool delivered;
  };
  const Case cases[] = {{2048, true}, {2049, false}, {3000, false}, {3000, false}, {65507, false}, {100, true}};
  uint64_t counter = 1;
  size_t expected_delivered = 0;
  for (const Case& c : cases) {
    const Bytes datagram = SealedOfSize(key_, counter++, c.size);
    ASSERT_EQ(datagram.size(), c.size);
    SendFromLoopback(port_, datagram);
    if (c.delivered) ++expected_delivered;
  }
  // The last one is small and delivered: everything before it was judged.
  ASSERT_TRUE(inbox_.WaitFor(expected_delivered));
  WaitForVerdictsAndStop(InputVerdict::kAccepted, expected_delivered);
  EXPECT_EQ(receiver_.VerdictCount(InputVerdict::kAccepted), 2u);
  EXPECT_EQ(receiver_.VerdictCount(InputVerdict::kOversized), 4u);
  const std::vector<std::string> payloads = inbox_.Payloads();
  ASSERT_EQ(payloads.size(), 2u);
  EXPECT_EQ(payloads[0].size(), 2048u - 29u);
  EXPECT_EQ(payloads[1].size(), 100u - 29u);
  EXPECT_TRUE(receiver_.LastResult().ok());
  EXPECT_EQ(log.Count("[UDPRecv]"), 0u);
}

// The address a datagram from the socket arrives with ("" if none arrives).
std::string SourceAddressOf(net::Socket sender) {
  uint16_t port = 0;
  const net::Socket probe = BindLoopback(&port);
  if (probe == net::kInvalidSocket) return "";
  int error = 0;
  const uint8_t byte = 0;
  net::Endpoint from;
  if (net::SendTo(sender, &byte, 1, net::Endpoint{"127.0.0.1", port}, &error) == 1 &&
      net::PollOne(probe, true, false, 5000, &error) > 0) {
    uint8_t buffer[8];
    if (net::RecvFrom(probe, buffer, sizeof buffer, &from, &error) < 0) from.address.clear();
  }
  net::Close(probe);
  return from.address;
}

TEST_F(InputReceiverTest, AFloodOfGarbageNeitherFillsTheLogNorStopsTheTabletsInput) {
  ASSERT_TRUE(receiver_.SetExpectedPeer("127.0.0.1"));
  ASSERT_TRUE(receiver_.Start(port_, inbox_.Callback()));
  testing::LogCapture log;

  // A stranger on another loopback address; where that cannot be bound (or
  // the stack sends from 127.0.0.1 anyway, as Wine does), the garbage comes
  // from the tablet's own address, mostly unsealed.
  int error = 0;
  net::Socket flooder = net::Create(net::Kind::kUdp, &error);
  ASSERT_NE(flooder, net::kInvalidSocket) << error;
  const bool stranger = net::Bind(flooder, "127.0.0.2", 0) == 0 && SourceAddressOf(flooder) == "127.0.0.2";
  std::mt19937 random(20250131);
  std::vector<uint8_t> garbage(65507);
  for (uint8_t& b : garbage) b = static_cast<uint8_t>(random());
  std::uniform_int_distribution<size_t> size_of(0, garbage.size());
  const net::Endpoint target{"127.0.0.1", port_};
  for (int i = 0; i < 3000; ++i) {
    // The first one is the largest there is, and certainly queued.
    const size_t size = i == 0 ? garbage.size() : size_of(random);
    const long sent = net::SendTo(flooder, garbage.data(), size, target, &error);
    ASSERT_EQ(sent, static_cast<long>(size)) << "datagram " << i << " error " << error;
  }
  net::Close(flooder);

  // The stack may have dropped some garbage and, while the queue was full, a
  // sealed datagram too: the tablet keeps sending until one gets through.
  bool delivered = false;
  for (int attempt = 0; attempt < 100 && !delivered; ++attempt) {
    SendSealed("after the flood");
    delivered = testing::WaitFor([&] { return !inbox_.Payloads().empty(); }, 200);
  }
  ASSERT_TRUE(delivered);
  receiver_.Stop();
  EXPECT_EQ(inbox_.Payloads().front(), "after the flood");
  EXPECT_TRUE(receiver_.LastResult().ok());
  EXPECT_GE(receiver_.VerdictCount(InputVerdict::kOversized), 1u);
  EXPECT_EQ(log.Count("[UDPRecv] recvfrom error"), 0u);
  std::string lines;
  for (const std::string& line : log.Lines()) lines += line + "\n";
  std::string verdicts;
  for (size_t v = 0; v < kInputVerdictCount; ++v) {
    const InputVerdict verdict = static_cast<InputVerdict>(v);
    verdicts += std::string(InputVerdictName(verdict)) + "=" + std::to_string(receiver_.VerdictCount(verdict)) + " ";
  }
  if (stranger) {
    EXPECT_GE(receiver_.VerdictCount(InputVerdict::kWrongPeer), 1u) << verdicts;
    EXPECT_EQ(log.Count("[UDPRecv]"), 0u) << lines;
  } else {
    // The clock stands still: one line for all the plaintext.
    EXPECT_LE(log.Count("[UDPRecv]"), 1u) << lines;
  }
}

TEST_F(InputReceiverTest, StopClosesTheSocketOnlyAfterTheThreadHasEnded) {
  // The callback holds the receive thread, so Stop has to wait for it.
  std::mutex mu;
  std::condition_variable cv;
  bool entered = false;
  bool release = false;
  InputReceiver receiver(clock_);
  ASSERT_TRUE(receiver.SetExpectedPeer("127.0.0.1"));
  ASSERT_TRUE(receiver.SetInputKey(key_));
  ASSERT_TRUE(receiver.Start(0, [&](const uint8_t*, size_t, const net::Endpoint&) {
    std::unique_lock<std::mutex> lock(mu);
    entered = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  }));
  const uint16_t port = receiver.Port();
  ASSERT_NE(port, 0);
  SendFromLoopback(port, SealInput(key_, 1, "hold"));
  {
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return entered; }));
  }

  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    receiver.Stop();
    stopped.store(true);
  });
  // Stop has cleared the running flag and is waiting for the thread.
  EXPECT_TRUE(testing::WaitFor([&] { return !receiver.Running(); }));
  EXPECT_FALSE(stopped.load());
  EXPECT_FALSE(PortIsFree(port, "")) << "the socket was closed under the receive thread";
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
  }
  cv.notify_all();
  stopper.join();
  EXPECT_TRUE(stopped.load());
  EXPECT_TRUE(PortIsFree(port, ""));
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

TEST(InputReceiverKeyTest, ShortInputKeyIsRefused) {
  testing::LogCapture log;
  InputReceiver receiver;
  EXPECT_FALSE(receiver.SetInputKey(KeyOf(0x01, 15)));
  EXPECT_EQ(receiver.LastResult().code, 4);
  EXPECT_EQ(receiver.LastResult().message, "Input key must be at least 16 bytes");
  EXPECT_TRUE(log.Contains("[ERROR] [UDPRecv] Refusing an input key of 15 bytes"));
  EXPECT_TRUE(receiver.SetInputKey(KeyOf(0x01, 16)));
}

}  // namespace
}  // namespace orvane
