#include "host/transport/media_sender.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/common/byte_order.h"
#include "host/security/secure_frame.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using crypto::ByteView;
using crypto::Bytes;

// The largest payload of an IPv4 UDP datagram (65535 - 20 - 8).
constexpr size_t kMaxUdpPayloadForTest = 65507;

Bytes KeyOf(uint8_t first, size_t size = 32) {
  Bytes key(size);
  for (size_t i = 0; i < size; ++i) key[i] = static_cast<uint8_t>(first + i);
  return key;
}

ByteView View(const std::string& s) { return ByteView(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

// One media datagram as the tablet opens it.
struct Opened {
  bool ok = false;
  uint64_t counter = 0;
  std::string plaintext;
};

Opened OpenMedia(const Bytes& frame, ByteView key) {
  Opened result;
  security::SecureFrameView view;
  if (!security::ParseSecureFrame(frame, &view) || view.flags != security::kSecureFrameEncryptedFlag) return result;
  crypto::AesGcm aes;
  Bytes plaintext;
  if (!security::OpenAesGcm(aes, key, security::kNonceMedia, view.counter, view.payload, &plaintext)) return result;
  result.ok = true;
  result.counter = view.counter;
  result.plaintext.assign(plaintext.begin(), plaintext.end());
  return result;
}

// The tablet's media socket on loopback.
class LoopbackTablet {
 public:
  LoopbackTablet() {
    int error = 0;
    socket_ = net::Create(net::Kind::kUdp, &error);
    if (socket_ != net::kInvalidSocket && net::Bind(socket_, "127.0.0.1", 0) == 0) {
      port_ = net::LocalPort(socket_, &error);
    }
  }
  ~LoopbackTablet() {
    if (socket_ != net::kInvalidSocket) net::Close(socket_);
  }
  uint16_t port() const { return port_; }

  // The next datagram; empty when none arrives within the (generous) bound.
  Bytes Receive() {
    int error = 0;
    if (net::PollOne(socket_, true, false, 5000, &error) != 1) return {};
    Bytes buffer(70000);
    net::Endpoint from;
    const long n = net::RecvFrom(socket_, buffer.data(), buffer.size(), &from, &error);
    if (n < 0) return {};
    buffer.resize(static_cast<size_t>(n));
    return buffer;
  }

 private:
  net::Socket socket_ = net::kInvalidSocket;
  uint16_t port_ = 0;
};

class MediaSenderSendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(tablet_.port(), 0);
    ASSERT_TRUE(sender_.CreateSocket());
    ASSERT_TRUE(sender_.SetRemote("127.0.0.1", tablet_.port()));
  }

  bool Send(const std::string& payload) {
    return sender_.SendDatagram(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
  }

  // Proves that nothing arrived before: the marker, sent under a fresh key,
  // must be the very next datagram the tablet sees (loopback keeps order).
  void ExpectMarkerIsNextDatagram() {
    const Bytes marker_key = KeyOf(0xA0);
    ASSERT_TRUE(sender_.SetRemote("127.0.0.1", tablet_.port()));
    ASSERT_TRUE(sender_.SetMediaKey(marker_key));
    ASSERT_TRUE(Send("marker"));
    const Opened opened = OpenMedia(tablet_.Receive(), marker_key);
    EXPECT_TRUE(opened.ok) << "an earlier datagram arrived first";
    EXPECT_EQ(opened.plaintext, "marker");
  }

  ManualClock clock_;
  LoopbackTablet tablet_;
  MediaSender sender_{clock_};
};

TEST_F(MediaSenderSendTest, EachDatagramCarriesTheNextCounterAndOpensWithTheMediaPrefix) {
  const Bytes key = KeyOf(0x10);
  ASSERT_TRUE(sender_.SetMediaKey(key));
  EXPECT_TRUE(sender_.HasMediaKey());
  const std::vector<std::string> payloads = {"video fragment", "", std::string(1220, 'v')};
  for (const std::string& p : payloads) ASSERT_TRUE(Send(p)) << sender_.LastResult().ToString();
  EXPECT_TRUE(sender_.LastResult().ok());

  for (uint64_t i = 0; i < payloads.size(); ++i) {
    SCOPED_TRACE(i);
    const Bytes frame = tablet_.Receive();
    ASSERT_EQ(frame.size(), payloads[i].size() + security::kSecureFrameOverheadBytes);
    EXPECT_EQ(LoadBe64(frame.data() + 5), i);
    const Opened opened = OpenMedia(frame, key);
    ASSERT_TRUE(opened.ok);
    EXPECT_EQ(opened.plaintext, payloads[i]);
    // The direction is part of the nonce: the input prefix does not open it.
    // (Checked on data only: Wine's AES-GCM accepts any tag on empty input.)
    if (!payloads[i].empty()) {
      crypto::AesGcm aes;
      Bytes plaintext;
      EXPECT_FALSE(security::OpenAesGcm(aes, key, security::kNonceInput, i,
                                        ByteView(frame).subspan(security::kSecureFrameHeaderBytes), &plaintext));
    }
  }
}

TEST_F(MediaSenderSendTest, CounterNeverRestartsForACipherKeyItHasUsed) {
  enum Op { kInstallA, kInstallAOtherTail, kInstallB, kDisableAndAimAgain, kClearKey, kSend };
  struct Case {
    const char* name;
    std::vector<Op> ops;
    std::vector<uint64_t> counters;  // of the kSend steps, in order
  };
  const Case cases[] = {
      {"a new key starts at 0", {kInstallA, kSend, kSend, kInstallB, kSend}, {0, 1, 0}},
      {"same key again continues", {kInstallA, kSend, kInstallA, kSend}, {0, 1}},
      {"same key after Disable continues", {kInstallA, kSend, kSend, kDisableAndAimAgain, kInstallA, kSend}, {0, 1, 2}},
      {"same key after ClearMediaKey continues", {kInstallA, kSend, kClearKey, kInstallA, kSend}, {0, 1}},
      {"a key in between does not reset it", {kInstallA, kSend, kSend, kInstallB, kSend, kInstallA, kSend}, {0, 1, 0, 2}},
      // Only the first 16 bytes are the cipher key; the rest does not make
      // it a different key.
      {"same cipher key, other tail", {kInstallA, kSend, kInstallAOtherTail, kSend}, {0, 1}},
  };
  const Bytes key_a = KeyOf(0x20);
  Bytes key_a_other_tail = key_a;
  key_a_other_tail[31] ^= 0xFF;
  const Bytes key_b = KeyOf(0x60);

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackTablet tablet;
    MediaSender sender(clock_);
    ASSERT_TRUE(sender.CreateSocket());
    ASSERT_TRUE(sender.SetRemote("127.0.0.1", tablet.port()));
    Bytes installed;
    std::vector<uint64_t> counters;
    for (const Op op : c.ops) {
      switch (op) {
        case kInstallA: ASSERT_TRUE(sender.SetMediaKey(key_a)); installed = key_a; break;
        case kInstallAOtherTail: ASSERT_TRUE(sender.SetMediaKey(key_a_other_tail)); installed = key_a; break;
        case kInstallB: ASSERT_TRUE(sender.SetMediaKey(key_b)); installed = key_b; break;
        case kDisableAndAimAgain:
          sender.Disable();
          ASSERT_TRUE(sender.SetRemote("127.0.0.1", tablet.port()));
          break;
        case kClearKey: sender.ClearMediaKey(); break;
        case kSend: {
          const std::string payload = "datagram " + std::to_string(counters.size());
          ASSERT_TRUE(sender.SendDatagram(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
          const Opened opened = OpenMedia(tablet.Receive(), installed);
          ASSERT_TRUE(opened.ok);
          EXPECT_EQ(opened.plaintext, payload);
          counters.push_back(opened.counter);
          break;
        }
      }
    }
    EXPECT_EQ(counters, c.counters);
  }
}

TEST_F(MediaSenderSendTest, RefusesToSendWithoutKeyOrDestinationAndSendsNothing) {
  struct Case {
    const char* name;
    bool install_key;
    bool disable;
    bool clear_key;
    bool clear_destination;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {"no key ever installed", false, false, false, false, 7, "No media key installed: datagram not sent"},
      {"key cleared", true, false, true, false, 7, "No media key installed: datagram not sent"},
      {"no destination", true, false, false, true, 2, "UDP remote is not configured"},
      {"after Disable", true, true, false, false, 2, "UDP remote is not configured"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MediaSender& sender = sender_;
    sender.ClearMediaKey();
    ASSERT_TRUE(sender.SetRemote("127.0.0.1", tablet_.port()));
    if (c.install_key) {
      ASSERT_TRUE(sender.SetMediaKey(KeyOf(0x30)));
    }
    if (c.clear_key) sender.ClearMediaKey();
    if (c.clear_destination) {
      EXPECT_FALSE(sender.SetRemote("", 0));
    }
    if (c.disable) {
      sender.Disable();
      EXPECT_FALSE(sender.HasMediaKey());
      EXPECT_FALSE(sender.Remote(nullptr));
      EXPECT_FALSE(sender.Enabled());
    }
    EXPECT_FALSE(Send("secret frame"));
    const HostResult result = sender.LastResult();
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(result.message, c.message);
    EXPECT_EQ(result.hr, kEFail);
    ExpectMarkerIsNextDatagram();
  }
}

TEST(MediaSenderSealTest, SealedDatagramHasTheExactEnvelope) {
  MediaSender sender;
  const std::string plaintext = "media datagram";
  Bytes frame;
  // Without a key nothing is produced, and no plaintext is handed out.
  EXPECT_FALSE(sender.SealMediaDatagram(View(plaintext), &frame));
  EXPECT_TRUE(frame.empty());
  EXPECT_EQ(sender.LastResult().code, 7);
  EXPECT_EQ(sender.LastResult().message, "No media key installed: datagram not sent");

  const Bytes key = KeyOf(0x00);
  ASSERT_TRUE(sender.SetMediaKey(key));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(sender.SealMediaDatagram(View(plaintext), &frame));

  // The third datagram: counter 2.
  const uint8_t header[] = {'O', 'V', 'D', '1', 0x01, 0, 0, 0, 0, 0, 0, 0, 2};
  ASSERT_EQ(frame.size(), sizeof(header) + plaintext.size() + crypto::kAesGcmTagBytes);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + sizeof(header)), Bytes(std::begin(header), std::end(header)));
  crypto::AesGcm aes;
  EXPECT_EQ(frame, security::SealSecureFrame(aes, key, security::kNonceMedia, 2, View(plaintext)));
  Bytes opened;
  ASSERT_TRUE(security::OpenAesGcm(aes, key, security::kNonceMedia, 2,
                                   ByteView(frame).subspan(sizeof(header)), &opened));
  EXPECT_EQ(std::string(opened.begin(), opened.end()), plaintext);
  // Ciphertext, not the plaintext in the clear.
  EXPECT_NE(std::string(frame.begin() + sizeof(header), frame.begin() + sizeof(header) + plaintext.size()), plaintext);
}

TEST(MediaSenderSealTest, ShortKeyIsRefusedAndLeavesNoKey) {
  testing::LogCapture log;
  MediaSender sender;
  ASSERT_TRUE(sender.SetMediaKey(KeyOf(0x40)));
  EXPECT_FALSE(sender.SetMediaKey(KeyOf(0x40, 15)));
  EXPECT_FALSE(sender.HasMediaKey());
  EXPECT_EQ(sender.LastResult().code, 7);
  EXPECT_EQ(sender.LastResult().message, "Media key must be at least 16 bytes");
  EXPECT_TRUE(log.Contains("[ERROR] [UDPSend] Refusing a media key of 15 bytes"));
  Bytes frame;
  EXPECT_FALSE(sender.SealMediaDatagram(View("x"), &frame));
  // Exactly 16 bytes is a key.
  EXPECT_TRUE(sender.SetMediaKey(KeyOf(0x40, 16)));
  EXPECT_TRUE(sender.HasMediaKey());
}

TEST_F(MediaSenderSendTest, FailedSendtoIsReportedWithTheSocketErrorAndLoggedRateLimited) {
  testing::LogCapture log;
  const Bytes key = KeyOf(0x50);
  ASSERT_TRUE(sender_.SetMediaKey(key));
  // Sealed, this is one byte more than an IPv4 UDP datagram can carry.
  const std::string too_large(kMaxUdpPayloadForTest - security::kSecureFrameOverheadBytes + 1, 'x');
  EXPECT_FALSE(Send(too_large));
  const HostResult result = sender_.LastResult();
  EXPECT_EQ(result.code, 2);
  EXPECT_EQ(result.message, "sendto() failed for encrypted UDP payload");
  EXPECT_EQ(result.hr, HResultFromWin32(net::kWsaEMsgSize));
  EXPECT_FALSE(Send(too_large));
  EXPECT_EQ(log.Count("[WARN ] [UDPSend] sendto() failed for encrypted UDP payload: 10040"), 1u);
  clock_.AdvanceMs(kMediaSendLogIntervalMs);
  EXPECT_FALSE(Send(too_large));
  EXPECT_TRUE(log.Contains("[WARN ] [UDPSend] sendto() failed for encrypted UDP payload: 10040 (1 similar suppressed)"));

  // The failed datagrams used their counters; the next one does not reuse them.
  ASSERT_TRUE(Send("after"));
  const Opened opened = OpenMedia(tablet_.Receive(), key);
  ASSERT_TRUE(opened.ok);
  EXPECT_EQ(opened.counter, 3u);
}

TEST(MediaSenderTest, SetRemoteValidatesAddressAndPort) {
  struct Case {
    const char* address;
    uint16_t port;
    bool ok;
  };
  const Case cases[] = {
      {"192.168.1.20", 9431, true}, {"127.0.0.1", 1, true},   {"", 9431, false},
      {"256.1.1.1", 9431, false},   {"1.2.3", 9431, false},   {"tablet.local", 9431, false},
      {"::1", 9431, false},         {"10.0.0.1", 0, false},   {"1.2.3.4 ", 9431, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.address) + ":" + std::to_string(c.port));
    MediaSender sender;
    ASSERT_TRUE(sender.CreateSocket());
    // A good destination first, so a refused one must also clear it.
    ASSERT_TRUE(sender.SetRemote("10.9.9.9", 5000));
    EXPECT_EQ(sender.SetRemote(c.address, c.port), c.ok);
    EXPECT_EQ(sender.Enabled(), c.ok);
    net::Endpoint remote;
    EXPECT_EQ(sender.Remote(&remote), c.ok);
    if (c.ok) {
      EXPECT_EQ(remote.address, c.address);
      EXPECT_EQ(remote.port, c.port);
      EXPECT_TRUE(sender.LastResult().ok());
    } else {
      EXPECT_EQ(sender.LastResult().code, 1);
      EXPECT_EQ(sender.LastResult().message, "Invalid UDP remote address");
    }
  }
}

TEST(MediaSenderTest, EnabledNeedsSocketAndDestinationAndDisableClearsKeyAndDestination) {
  MediaSender sender;
  EXPECT_FALSE(sender.Enabled());
  ASSERT_TRUE(sender.SetRemote("127.0.0.1", 9431));
  EXPECT_FALSE(sender.Enabled()) << "no socket yet";

  ASSERT_TRUE(sender.CreateSocket());
  EXPECT_TRUE(sender.LastResult().ok());
  EXPECT_TRUE(sender.Enabled());
  ASSERT_TRUE(sender.SetMediaKey(KeyOf(0x70)));

  sender.Disable();
  EXPECT_FALSE(sender.Enabled());
  EXPECT_FALSE(sender.Remote(nullptr));
  EXPECT_FALSE(sender.HasMediaKey());

  // The socket survives Disable: the next tablet only needs a destination.
  ASSERT_TRUE(sender.SetRemote("127.0.0.1", 9432));
  EXPECT_TRUE(sender.Enabled());
  ASSERT_TRUE(sender.SetMediaKey(KeyOf(0x70)));

  sender.CloseSocket();
  EXPECT_FALSE(sender.Enabled());
  EXPECT_FALSE(sender.Remote(nullptr));
  EXPECT_FALSE(sender.HasMediaKey());
  // Reopening works and starts without a destination.
  ASSERT_TRUE(sender.CreateSocket());
  EXPECT_FALSE(sender.Enabled());
}

}  // namespace
}  // namespace orvane
