#include "host/transport/media_sender.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/common/byte_order.h"
#include "host/common/precise_sleep.h"
#include "host/security/secure_frame.h"
#include "host/transport/media_packet.h"
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

// ------------------------------------------------------------ media path
// Virtual time, and a sink that records what would have left (or fails on
// the attempts it is told to).

struct SentFrame {
  int64_t at_us = 0;
  Bytes frame;  // sealed
};

class RecordingSink final : public IDatagramSink {
 public:
  explicit RecordingSink(IClock& clock) : clock_(clock) {}

  int SendTo(net::Socket, const net::Endpoint&, const uint8_t* data, size_t length) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++attempts_;
    if (failing_.count(attempts_) != 0) return fail_error_;
    sent_.push_back({clock_.NowUs(), Bytes(data, data + length)});
    return 0;
  }
  // Attempts are counted from 1 over the sink's whole life.
  void FailAttempts(std::set<size_t> attempts, int error) {
    std::lock_guard<std::mutex> lock(mu_);
    failing_ = std::move(attempts);
    fail_error_ = error;
  }
  std::vector<SentFrame> Sent() const {
    std::lock_guard<std::mutex> lock(mu_);
    return sent_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    sent_.clear();
  }

 private:
  IClock& clock_;
  mutable std::mutex mu_;
  size_t attempts_ = 0;
  std::set<size_t> failing_;
  int fail_error_ = 0;
  std::vector<SentFrame> sent_;
};

Bytes AccessUnit(size_t length, uint8_t seed) {
  Bytes au(length);
  for (size_t i = 0; i < length; ++i) au[i] = static_cast<uint8_t>(seed + i * 131 + (i >> 8));
  return au;
}

Bytes OpenOrEmpty(const Bytes& frame, ByteView key, uint64_t* counter = nullptr) {
  security::SecureFrameView view;
  if (!security::ParseSecureFrame(frame, &view)) return {};
  crypto::AesGcm aes;
  Bytes plaintext;
  if (!security::OpenAesGcm(aes, key, security::kNonceMedia, view.counter, view.payload, &plaintext)) return {};
  if (counter) *counter = view.counter;
  return plaintext;
}

// What the tablet would see: video fragments by sequence number and parity
// packets in order.
struct Received {
  std::map<uint32_t, Bytes> video;
  std::vector<Bytes> parity;
  std::vector<Bytes> all;
};

struct MediaHarness {
  explicit MediaHarness(bool install_key = true) {
    EXPECT_TRUE(sender.CreateSocket());
    EXPECT_TRUE(sender.SetRemote("127.0.0.1", 9431));
    if (install_key) {
      EXPECT_TRUE(sender.SetMediaKey(key));
    }
  }

  bool Send(uint32_t& seq, const Bytes& au, bool keyframe = false, bool second_flag = false,
            uint64_t timestamp_us = 1000) {
    return sender.SendVideoFrame(seq, timestamp_us, keyframe, second_flag, au.data(), au.size());
  }

  Received Receive(ByteView with_key) const {
    Received r;
    for (const SentFrame& f : sink.Sent()) {
      Bytes p = OpenOrEmpty(f.frame, with_key);
      EXPECT_FALSE(p.empty()) << "a frame that does not open";
      media::VideoHeader header;
      if (media::ParseVideoHeader(p, &header)) {
        EXPECT_EQ(r.video.count(header.sequence), 0u) << "sequence number sent twice: " << header.sequence;
        r.video[header.sequence] = p;
      } else if (!p.empty() && p[0] == media::kTypeFecParity) {
        r.parity.push_back(p);
      }
      r.all.push_back(std::move(p));
    }
    return r;
  }
  Received Receive() const { return Receive(key); }

  ManualClock clock;
  ManualSleeper sleeper{clock};
  RecordingSink sink{clock};
  MediaSender sender{clock, sleeper, sink};
  Bytes key = KeyOf(0x11);
};

// Rebuilds member `missing` of a parity group from the parity and the other
// members, as the tablet does.
Bytes Recover(const media::FecParityView& parity, size_t missing, const std::map<uint32_t, Bytes>& members) {
  Bytes x(parity.parity.begin(), parity.parity.end());
  for (size_t j = 0; j < parity.lengths.size(); ++j) {
    if (j == missing) continue;
    const Bytes& d = members.at(parity.first_sequence + static_cast<uint32_t>(j));
    for (size_t i = 0; i < d.size() && i < x.size(); ++i) x[i] ^= d[i];
  }
  x.resize(std::min<size_t>(x.size(), parity.lengths[missing]));
  return x;
}

TEST(MediaPathTest, FragmentsAccessUnitsAt1200BytePayloads) {
  struct Case {
    size_t length;
    bool keyframe;
    bool second_flag;
    size_t fragments;
  };
  const Case cases[] = {
      {1, true, false, 1},     {1200, true, false, 1}, {1201, false, false, 2},
      {2400, true, false, 2},  {2401, false, true, 3}, {2401, true, true, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + (c.keyframe ? " keyframe" : "") + (c.second_flag ? " second" : ""));
    MediaHarness h;
    const Bytes au = AccessUnit(c.length, 7);
    uint32_t seq = 500;
    const uint64_t timestamp = 0x0102030405060708ull;
    ASSERT_TRUE(h.Send(seq, au, c.keyframe, c.second_flag, timestamp)) << h.sender.LastResult().ToString();
    EXPECT_TRUE(h.sender.LastResult().ok());
    EXPECT_EQ(seq, 500 + c.fragments);
    const Received r = h.Receive();
    ASSERT_EQ(r.video.size(), c.fragments);
    for (size_t i = 0; i < c.fragments; ++i) {
      SCOPED_TRACE(i);
      const Bytes& d = r.video.at(static_cast<uint32_t>(500 + i));
      const size_t payload = std::min<size_t>(1200, c.length - i * 1200);
      ASSERT_EQ(d.size(), 20 + payload);
      const uint8_t flags = static_cast<uint8_t>((c.keyframe && i == 0 ? 1 : 0) | (c.second_flag ? 2 : 0));
      const Bytes header = {1, 1, flags, 0, 0, 0, static_cast<uint8_t>((500 + i) >> 8), static_cast<uint8_t>(500 + i),
                            1, 2, 3, 4, 5, 6, 7, 8, 0, static_cast<uint8_t>(i), 0, static_cast<uint8_t>(c.fragments)};
      EXPECT_EQ(Bytes(d.begin(), d.begin() + 20), header);
      EXPECT_TRUE(std::equal(d.begin() + 20, d.end(), au.begin() + static_cast<std::ptrdiff_t>(i * 1200)));
    }
  }
}

TEST(MediaPathTest, RefusedAccessUnitsSendNothingAndKeepTheSequenceNumber) {
  struct Case {
    const char* name;
    uint32_t limit;
    size_t length;
    bool ok;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {"over the client's limit", 2, 2401, false, 2, "Video frame exceeds the client's fragment limit"},
      {"at the client's limit", 2, 2400, true, 0, ""},
      {"no limit", 0, 2401, true, 0, ""},
      {"more fragments than the header can count", 0, 65535 * 1200 + 1, false, 2,
       "Video frame exceeds the client's fragment limit"},
      {"empty", 0, 0, false, 7, "Video frame payload is empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MediaHarness h;
    h.sender.SetClientFragmentLimit(c.limit);
    const Bytes au(c.length, 0x5A);
    uint32_t seq = 77;
    EXPECT_EQ(h.Send(seq, au), c.ok);
    EXPECT_EQ(h.sender.LastResult().code, c.code);
    EXPECT_EQ(h.sender.LastResult().message, c.message);
    if (c.ok) {
      EXPECT_EQ(seq, 77 + media::FragmentCount(c.length));
    } else {
      EXPECT_EQ(seq, 77u);
      EXPECT_TRUE(h.sink.Sent().empty());
    }
  }
}

TEST(MediaPathTest, SequenceNumbersWrapInsideAnAccessUnit) {
  MediaHarness h;
  h.sender.SetLoss(7);  // groups of 4
  uint32_t seq = 0xFFFFFFFEu;
  const Bytes au = AccessUnit(4 * 1200, 3);
  ASSERT_TRUE(h.Send(seq, au, true));
  EXPECT_EQ(seq, 2u);
  const Received r = h.Receive();
  const std::vector<uint32_t> expected = {0xFFFFFFFEu, 0xFFFFFFFFu, 0, 1};
  for (size_t i = 0; i < expected.size(); ++i) {
    media::VideoHeader header;
    ASSERT_TRUE(media::ParseVideoHeader(r.video.at(expected[i]), &header));
    EXPECT_EQ(header.index, i);
    EXPECT_EQ(header.count, 4);
  }
  ASSERT_EQ(r.parity.size(), 1u);
  media::FecParityView parity;
  ASSERT_TRUE(media::ParseFecParity(r.parity[0], &parity));
  EXPECT_EQ(parity.first_sequence, 0xFFFFFFFEu);
  EXPECT_EQ(parity.lengths.size(), 4u);
  // Parity is the last datagram of the group.
  EXPECT_EQ(r.all.back(), r.parity[0]);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(Recover(parity, i, r.video), r.video.at(expected[i])) << i;
  // Both sides of the wrap are in the history.
  for (const uint32_t s : expected) {
    h.sink.Clear();
    ASSERT_TRUE(h.sender.Retransmit(s)) << s;
    const Received again = h.Receive();
    ASSERT_EQ(again.all.size(), 1u);
    EXPECT_EQ(again.all[0], r.video.at(s));
  }
}

TEST(MediaPathTest, ParityRebuildsAnySingleMissingFragmentOfEveryGroup) {
  struct Case {
    int loss;
    std::vector<size_t> group_counts;  // of the parity packets, in order
  };
  // 47 fragments: a keyframe of 5, then P-frames of 3, 12, 2 and 25. The
  // keyframe's fragment 0 asks for a group of 4, and below 6 % loss the
  // next fragment asks for another size, so it stands alone.
  const Case cases[] = {
      {0, {1, 10, 10, 10, 10}},
      {2, {1, 8, 8, 8, 8, 8}},
      {4, {1, 6, 6, 6, 6, 6, 6, 6}},
      {7, {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4}},
  };
  const size_t sizes[] = {6000, 2500, 14000, 1201, 30000};
  for (const Case& c : cases) {
    SCOPED_TRACE("loss " + std::to_string(c.loss));
    MediaHarness h;
    h.sender.SetLoss(c.loss);
    uint32_t seq = 1000;
    for (size_t f = 0; f < std::size(sizes); ++f) {
      ASSERT_TRUE(h.Send(seq, AccessUnit(sizes[f], static_cast<uint8_t>(f)), f == 0, false, 1000 + f));
    }
    ASSERT_EQ(seq, 1047u);
    const Received r = h.Receive();
    std::vector<size_t> counts;
    std::set<uint32_t> covered;
    bool spans_access_units = false;
    uint32_t next_first = 1000;
    for (const Bytes& packet : r.parity) {
      media::FecParityView parity;
      ASSERT_TRUE(media::ParseFecParity(packet, &parity));
      counts.push_back(parity.lengths.size());
      // Groups follow each other without gaps or overlap.
      EXPECT_EQ(parity.first_sequence, next_first);
      next_first = parity.first_sequence + static_cast<uint32_t>(parity.lengths.size());
      std::set<uint64_t> timestamps;
      for (size_t j = 0; j < parity.lengths.size(); ++j) {
        const uint32_t s = parity.first_sequence + static_cast<uint32_t>(j);
        const Bytes& member = r.video.at(s);
        EXPECT_EQ(parity.lengths[j], member.size());
        EXPECT_EQ(Recover(parity, j, r.video), member) << "sequence " << s;
        covered.insert(s);
        timestamps.insert(LoadBe64(member.data() + 8));
      }
      spans_access_units = spans_access_units || timestamps.size() > 1;
    }
    EXPECT_EQ(counts, c.group_counts);
    EXPECT_TRUE(spans_access_units);
    // Only the last, still open group is not yet protected.
    EXPECT_EQ(covered.size() + (1047 - next_first), 47u);
  }
}

TEST(MediaPathTest, AFailedFragmentKeepsItsNumberAndCanStillBeDelivered) {
  struct Case {
    const char* name;
    size_t first_fragments;  // of the access unit that fails
    size_t failing_attempt;  // sink attempts, parity included
    uint32_t seq_after;      // the failed fragment used its number; the rest did not
    size_t second_fragments; // a following access unit that completes the group
  };
  const Case cases[] = {
      {"third of five fails", 5, 3, 3, 7},
      // The group closes with the failed fragment: its parity still goes.
      {"tenth of twelve fails", 12, 10, 10, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MediaHarness h;
    h.sink.FailAttempts({c.failing_attempt}, net::kWsaENoBufs);
    uint32_t seq = 0;
    const Bytes first = AccessUnit(c.first_fragments * 1200, 1);
    EXPECT_FALSE(h.Send(seq, first));
    const HostResult result = h.sender.LastResult();
    EXPECT_EQ(result.code, 2);
    EXPECT_EQ(result.message, "sendto() failed for encrypted UDP payload");
    EXPECT_EQ(result.hr, HResultFromWin32(net::kWsaENoBufs));
    EXPECT_EQ(seq, c.seq_after);
    const uint32_t failed = c.seq_after - 1;
    EXPECT_EQ(h.Receive().video.count(failed), 0u);
    EXPECT_EQ(h.Receive().video.size(), c.seq_after - 1) << "nothing after the failure was sent";

    if (c.second_fragments != 0) {
      ASSERT_TRUE(h.Send(seq, AccessUnit(c.second_fragments * 1200, 2)));
    }
    // The group's parity covers the failed fragment: the tablet rebuilds it.
    const Received r = h.Receive();
    ASSERT_EQ(r.parity.size(), 1u);
    media::FecParityView parity;
    ASSERT_TRUE(media::ParseFecParity(r.parity[0], &parity));
    EXPECT_EQ(parity.first_sequence, 0u);
    ASSERT_EQ(parity.lengths.size(), 10u);
    const Bytes rebuilt = Recover(parity, failed, r.video);
    media::VideoHeader header;
    ASSERT_TRUE(media::ParseVideoHeader(rebuilt, &header));
    EXPECT_EQ(header.sequence, failed);
    EXPECT_EQ(header.index, failed);
    EXPECT_TRUE(std::equal(rebuilt.begin() + 20, rebuilt.end(), first.begin() + failed * 1200));

    // And a resend delivers the same bytes.
    h.sink.Clear();
    EXPECT_TRUE(h.sender.Retransmit(failed));
    ASSERT_EQ(h.Receive().all.size(), 1u);
    EXPECT_EQ(h.Receive().all[0], rebuilt);
    // A fragment that was never built is not in the history.
    EXPECT_FALSE(h.sender.Retransmit(seq + 100));
  }
}

TEST(MediaPathTest, PacerSpreadsA200KbKeyframeAt8Mbps) {
  MediaHarness h;
  h.sender.SetBitrate(8000);
  const media::PacingRate rate = h.sender.Pacing();
  EXPECT_EQ(rate.pacing_kbps, 24480u);
  EXPECT_EQ(rate.bytes_per_second, 3'060'000u);  // 3.06 bytes/us
  EXPECT_EQ(rate.burst_bytes, 24000u);

  const int64_t t0 = h.clock.NowUs();
  uint32_t seq = 0;
  ASSERT_TRUE(h.Send(seq, AccessUnit(200'000, 9), true));
  EXPECT_EQ(seq, 167u);
  const std::vector<SentFrame> sent = h.sink.Sent();
  ASSERT_EQ(sent.size(), 167u + 17u);  // 17 parity packets: the keyframe start alone, then 16 groups of 10

  for (const int64_t s : h.sleeper.Sleeps()) {
    EXPECT_GE(s, 250);
    EXPECT_LE(s, 20000);
  }
  // At every datagram, what has left is within the burst, the rate since the
  // start and the 250 us that are not worth a sleep.
  double cumulative = 0;
  size_t at_start = 0;
  for (const SentFrame& f : sent) {
    cumulative += static_cast<double>(f.frame.size() + media::kIpUdpOverheadBytes);
    const double allowed = 24000 + 3.06 * static_cast<double>(f.at_us - t0 + 250) + 1;
    EXPECT_LE(cumulative, allowed) << "at " << f.at_us - t0 << " us";
    if (f.at_us == t0) ++at_start;
  }
  // About 24000 bytes go at once, the rest at 3.06 bytes/us.
  EXPECT_EQ(at_start, 19u);
  const double expected_us = (cumulative - 24000) / 3.06;
  const double took_us = static_cast<double>(sent.back().at_us - t0);
  EXPECT_NEAR(took_us, expected_us, 250.0 + static_cast<double>(h.sleeper.Sleeps().size()));
  EXPECT_GT(took_us, 60'000);
}

TEST(MediaPathTest, BelowOneMegabitNothingIsPaced) {
  for (const uint32_t kbps : {0u, 999u}) {
    SCOPED_TRACE(kbps);
    MediaHarness h;
    h.sender.SetBitrate(kbps);
    EXPECT_FALSE(h.sender.Pacing().enabled());
    uint32_t seq = 0;
    ASSERT_TRUE(h.Send(seq, AccessUnit(200'000, 9), true));
    EXPECT_TRUE(h.sleeper.Sleeps().empty());
  }
}

TEST(MediaPathTest, AudioAndResendsAreNeverPaced) {
  MediaHarness h;
  h.sender.SetBitrate(8000);
  uint32_t seq = 0;
  ASSERT_TRUE(h.Send(seq, AccessUnit(40 * 1200, 1)));
  h.sleeper.Clear();
  const Bytes opus(1200, 0x33);
  for (uint32_t i = 0; i < 50; ++i) ASSERT_TRUE(h.sender.SendAudioPacket(i, i * 20000, 20, opus.data(), opus.size()));
  for (uint32_t s = 0; s < 40; ++s) ASSERT_TRUE(h.sender.Retransmit(s));
  EXPECT_TRUE(h.sleeper.Sleeps().empty());
  // They were counted: the next video datagram waits for them.
  ASSERT_TRUE(h.Send(seq, AccessUnit(100, 2)));
  ASSERT_EQ(h.sleeper.Sleeps().size(), 1u);
  EXPECT_EQ(h.sleeper.Sleeps()[0], 20000);
}

TEST(MediaPathTest, AudioPacketsUpTo1200Bytes) {
  struct Case {
    size_t length;
    bool ok;
  };
  for (const Case& c : {Case{0, true}, Case{1, true}, Case{1200, true}, Case{1201, false}}) {
    SCOPED_TRACE(c.length);
    MediaHarness h;
    const Bytes opus = AccessUnit(c.length, 4);
    EXPECT_EQ(h.sender.SendAudioPacket(0x01020304u, 0x0A0B0C0D0E0F1011ull, 20, opus.data(), opus.size()), c.ok);
    const Received r = h.Receive();
    if (!c.ok) {
      EXPECT_EQ(h.sender.LastResult().code, 2);
      EXPECT_EQ(h.sender.LastResult().message, "Audio packet exceeds UDP MTU-safe payload");
      EXPECT_EQ(h.sender.LastResult().hr, kEFail);
      EXPECT_TRUE(r.all.empty());
      continue;
    }
    ASSERT_EQ(r.all.size(), 1u);
    Bytes expected = {1, 2, 0, 20, 1, 2, 3, 4, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11};
    expected.insert(expected.end(), opus.begin(), opus.end());
    EXPECT_EQ(r.all[0], expected);
  }
}

TEST(MediaPathTest, ResendsComeFromThe800MsHistoryInANewEnvelope) {
  MediaHarness h;
  uint32_t seq = 40;
  ASSERT_TRUE(h.Send(seq, AccessUnit(1000, 5)));
  const Bytes original = h.Receive().video.at(40);
  EXPECT_FALSE(h.sender.Retransmit(41)) << "never sent";

  h.clock.AdvanceMs(799);
  h.sink.Clear();
  ASSERT_TRUE(h.sender.Retransmit(40));
  uint64_t counter = 0;
  const std::vector<SentFrame> sent = h.sink.Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(OpenOrEmpty(sent[0].frame, h.key, &counter), original);
  EXPECT_EQ(counter, 1u) << "a new counter, not the original envelope";

  h.clock.AdvanceMs(2);  // 801 ms after the send
  EXPECT_FALSE(h.sender.Retransmit(40));
  EXPECT_TRUE(h.sender.LastResult().ok()) << "a miss is not a failure of the sender";
  EXPECT_EQ(h.sink.Sent().size(), 1u);

  // A resend whose send fails reports false, so the caller can count it unsent.
  ASSERT_TRUE(h.Send(seq, AccessUnit(1000, 6)));
  h.sender.ClearMediaKey();
  EXPECT_FALSE(h.sender.Retransmit(41));
}

TEST(MediaPathTest, ClearingTheKeysEmptiesHistoryAndFecButAPromotionKeepsThem) {
  enum Op { kDisable, kClearMediaKey, kResetStreamState, kPromote };
  struct Case {
    const char* name;
    Op op;
    bool kept;
  };
  const Case cases[] = {
      {"Disable at disconnect", kDisable, false},
      {"ClearMediaKey", kClearMediaKey, false},
      {"ResetStreamState", kResetStreamState, false},
      {"a new key over the old one", kPromote, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MediaHarness h;
    uint32_t seq = 0;
    ASSERT_TRUE(h.Send(seq, AccessUnit(3 * 1200, 1)));  // a group of 10 is left open with 3
    const Bytes next_key = KeyOf(0x99);
    switch (c.op) {
      case kDisable: h.sender.Disable(); break;
      case kClearMediaKey: h.sender.ClearMediaKey(); break;
      case kResetStreamState: h.sender.ResetStreamState(); break;
      case kPromote: break;
    }
    // The slot's next peer (or the same one under its promoted key).
    ASSERT_TRUE(h.sender.SetRemote("127.0.0.1", 9431));
    ASSERT_TRUE(h.sender.SetMediaKey(next_key));
    h.sink.Clear();
    EXPECT_EQ(h.sender.Retransmit(0), c.kept);
    ASSERT_TRUE(h.Send(seq, AccessUnit(10 * 1200, 2)));
    const Received r = h.Receive(next_key);
    ASSERT_EQ(r.parity.size(), 1u);
    media::FecParityView parity;
    ASSERT_TRUE(media::ParseFecParity(r.parity[0], &parity));
    // Kept: the group goes on from 0. Cleared: a fresh group starts at 3, and
    // no byte of the earlier fragments is in its parity.
    EXPECT_EQ(parity.first_sequence, c.kept ? 0u : 3u);
    if (!c.kept) {
      for (size_t j = 0; j < parity.lengths.size(); ++j) {
        EXPECT_EQ(Recover(parity, j, r.video), r.video.at(3 + static_cast<uint32_t>(j)));
      }
    }
  }
}

TEST(MediaPathTest, NothingBuiltWithoutAKeyIsSentUnderTheNextOne) {
  MediaHarness h(/*install_key=*/false);
  uint32_t seq = 0;
  EXPECT_FALSE(h.Send(seq, AccessUnit(2 * 1200, 1)));
  EXPECT_EQ(h.sender.LastResult().code, 7);
  EXPECT_EQ(h.sender.LastResult().message, "No media key installed: datagram not sent");
  EXPECT_EQ(seq, 1u);
  EXPECT_TRUE(h.sink.Sent().empty());
  ASSERT_TRUE(h.sender.SetMediaKey(h.key));
  EXPECT_FALSE(h.sender.Retransmit(0));
  EXPECT_TRUE(h.sink.Sent().empty());
}

// Video, audio, resends and control calls from their own threads, as in a
// session: every datagram still leaves in counter order (the sink is called
// under the send lock), and every one opens.
TEST(MediaPathTest, ConcurrentCallersKeepCountersInOrder) {
  MediaHarness h;
  h.sender.SetBitrate(20000);
  std::atomic<bool> video_done{false};
  std::thread video([&] {
    uint32_t seq = 0;
    for (int f = 0; f < 30; ++f) h.Send(seq, AccessUnit(f % 10 == 0 ? 30000 : 6000, static_cast<uint8_t>(f)), f % 10 == 0);
    video_done = true;
  });
  std::thread audio([&] {
    const Bytes opus(200, 1);
    for (uint32_t i = 0; i < 200; ++i) h.sender.SendAudioPacket(i, i, 20, opus.data(), opus.size());
  });
  std::thread resend([&] {
    for (uint32_t i = 0; i < 300; ++i) h.sender.Retransmit(i % 200);
  });
  for (int i = 0; i < 50; ++i) {
    h.sender.SetLoss(i % 10);
    h.sender.SetBitrate(static_cast<uint32_t>(5000 + 1000 * (i % 7)));
    h.sender.SetClientFragmentLimit(i % 5 == 0 ? 0 : 100);
    if (i == 25) h.sender.ResetStreamState();
    std::this_thread::yield();
  }
  video.join();
  audio.join();
  resend.join();
  EXPECT_TRUE(video_done);
  uint64_t previous = 0;
  bool first = true;
  for (const SentFrame& f : h.sink.Sent()) {
    uint64_t counter = 0;
    ASSERT_FALSE(OpenOrEmpty(f.frame, h.key, &counter).empty());
    if (!first) {
      EXPECT_GT(counter, previous);
    }
    previous = counter;
    first = false;
  }
}

}  // namespace
}  // namespace orvane
