// The UDP envelopes on the tablet's side, checked against the host's own
// media sender and input gate.

#include "tools/tablet_sim/sim_udp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/common/precise_sleep.h"
#include "host/security/secure_frame.h"
#include "host/transport/input_receiver.h"
#include "host/transport/media_sender.h"

namespace orvane::sim {
namespace {

using crypto::Bytes;
using crypto::ByteView;

Bytes KeyOf(uint8_t fill) { return Bytes(32, fill); }

ByteView View(const std::string& text) {
  return ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

class NullSink final : public IDatagramSink {
 public:
  int SendTo(net::Socket, const net::Endpoint&, const uint8_t*, size_t) override { return 0; }
};

// The host's media sealing: its real sender with a key installed.
struct HostMedia {
  explicit HostMedia(const Bytes& key) { EXPECT_TRUE(sender.SetMediaKey(key)); }
  Bytes Seal(const std::string& plaintext) {
    Bytes out;
    EXPECT_TRUE(sender.SealMediaDatagram(View(plaintext), &out));
    return out;
  }
  ManualClock clock;
  ManualSleeper sleeper{clock};
  NullSink sink;
  MediaSender sender{clock, sleeper, sink};
};

TEST(HostUdpKey, FollowsAuthenticationPromotionAndRotationLikeTheHost) {
  const Bytes a_in = KeyOf(0xA1), a_other = KeyOf(0xA2);
  const Bytes b_in = KeyOf(0xB1), b_other = KeyOf(0xB2);
  struct Case {
    const char* name;
    KeyOrder order;
    bool with_other;  // auth v1 gives two keys; auth v2 one
    // The host's UDP key after authentication, after the first sealed
    // frame, and after a rotation followed by another sealed frame.
    Bytes at_auth, after_first_frame, after_rotation;
    bool first_frame_changes, rotation_frame_changes;
  };
  const Case cases[] = {
      {"lsb, auth v1", KeyOrder::kLsb, true, a_in, a_in, a_in, false, false},
      {"msb, auth v1", KeyOrder::kMsb, true, a_other, a_in, b_in, true, true},
      {"msb, auth v2", KeyOrder::kMsb, false, a_in, a_in, a_in, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TabletKeys keys(c.order);
    keys.InstallKeys(a_in, c.with_other ? a_other : Bytes(), true);
    HostUdpKey udp;
    EXPECT_FALSE(udp.has_key());
    udp.OnAuthenticated(keys);
    EXPECT_EQ(udp.key(), c.at_auth);
    EXPECT_EQ(udp.OnSealedFrame(keys), c.first_frame_changes);
    EXPECT_EQ(udp.key(), c.after_first_frame);
    // Once promoted, further frames change nothing.
    EXPECT_FALSE(udp.OnSealedFrame(keys));
    // A rotation alone leaves the UDP key where it is.
    keys.InstallKeys(b_in, c.with_other ? b_other : Bytes(), true);
    udp.OnRotation(keys);
    EXPECT_EQ(udp.key(), c.after_first_frame);
    EXPECT_EQ(udp.OnSealedFrame(keys), c.rotation_frame_changes);
    EXPECT_EQ(udp.key(), c.after_rotation);
    udp.Clear();
    EXPECT_FALSE(udp.has_key());
  }
}

TEST(MediaOpener, OpensTheHostsDatagramsOnceEachInAnyOrderWithinTheWindow) {
  const Bytes key = KeyOf(0x21);
  HostMedia host(key);
  std::vector<Bytes> sealed;
  for (int i = 0; i < 70; ++i) sealed.push_back(host.Seal("media " + std::to_string(i)));

  MediaOpener opener;
  Bytes plain;
  uint64_t counter = 0;
  EXPECT_EQ(opener.Open(sealed[0], &plain, &counter), MediaOpenStatus::kNoKey);
  opener.SetKey(key);
  struct Step {
    size_t index;
    MediaOpenStatus status;
  };
  const Step steps[] = {
      {0, MediaOpenStatus::kOpened},   {2, MediaOpenStatus::kOpened},  {1, MediaOpenStatus::kOpened},
      {2, MediaOpenStatus::kReplayed}, {69, MediaOpenStatus::kOpened}, {5, MediaOpenStatus::kReplayed},  // too old
      {6, MediaOpenStatus::kOpened},   {6, MediaOpenStatus::kReplayed},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.index);
    EXPECT_EQ(opener.Open(sealed[s.index], &plain, &counter), s.status);
    EXPECT_EQ(counter, s.index);
    if (s.status == MediaOpenStatus::kOpened) {
      EXPECT_EQ(std::string(plain.begin(), plain.end()), "media " + std::to_string(s.index));
    } else {
      EXPECT_TRUE(plain.empty());
    }
  }
}

TEST(MediaOpener, RefusesWhatIsNotTheHostsMediaEnvelope) {
  const Bytes key = KeyOf(0x22);
  MediaOpener opener;
  opener.SetKey(key);
  crypto::AesGcm aes;
  Bytes no_flag = security::SealSecureFrame(aes, key, security::kNonceMedia, 1, View("x"));
  no_flag[4] = 0;
  Bytes tampered = security::SealSecureFrame(aes, key, security::kNonceMedia, 2, View("x"));
  tampered.back() ^= 1;
  const struct {
    const char* name;
    Bytes datagram;
    MediaOpenStatus status;
  } cases[] = {
      {"plain media", Bytes{1, 1, 0, 0}, MediaOpenStatus::kNotSecure},
      {"encrypted flag clear", no_flag, MediaOpenStatus::kNotSecure},
      {"input prefix", security::SealSecureFrame(aes, key, security::kNonceInput, 3, View("x")),
       MediaOpenStatus::kFailed},
      {"other key", security::SealSecureFrame(aes, KeyOf(0x23), security::kNonceMedia, 4, View("x")),
       MediaOpenStatus::kFailed},
      {"tag changed", tampered, MediaOpenStatus::kFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes plain;
    uint64_t counter = 0;
    EXPECT_EQ(opener.Open(c.datagram, &plain, &counter), c.status);
    EXPECT_TRUE(plain.empty());
  }
}

TEST(MediaOpener, KeepsThePreviousKeyForDatagramsInFlight) {
  const Bytes first = KeyOf(0x31), second = KeyOf(0x32), third = KeyOf(0x33);
  HostMedia host_first(first), host_second(second);
  const Bytes old_datagram = host_first.Seal("old");
  // A promotion installs a new key: the host's counter starts over under it.
  const Bytes new_datagram = host_second.Seal("new");
  MediaOpener opener;
  opener.SetKey(first);
  opener.SetKey(second);
  opener.SetKey(second);  // the same key again changes nothing
  Bytes plain;
  uint64_t counter = 0;
  EXPECT_EQ(opener.Open(new_datagram, &plain, &counter), MediaOpenStatus::kOpened);
  EXPECT_EQ(opener.Open(old_datagram, &plain, &counter), MediaOpenStatus::kOpened);
  EXPECT_EQ(std::string(plain.begin(), plain.end()), "old");
  EXPECT_EQ(opener.Open(old_datagram, &plain, &counter), MediaOpenStatus::kReplayed);
  // Two keys later the first one is gone.
  opener.SetKey(third);
  EXPECT_EQ(opener.Open(host_first.Seal("older"), &plain, &counter), MediaOpenStatus::kFailed);
  EXPECT_EQ(opener.Open(host_second.Seal("newer"), &plain, &counter), MediaOpenStatus::kOpened);
  opener.SetKey({});
  EXPECT_EQ(opener.Open(host_second.Seal("gone"), &plain, &counter), MediaOpenStatus::kNoKey);
}

TEST(InputSealer, PunchAndInputOpenInTheHostsInputGateWithTheSameKey) {
  const Bytes key = KeyOf(0x41);
  InputDatagramGate gate;
  Ipv4Address tablet{};
  ASSERT_TRUE(ParseIpv4Address("127.0.0.1", &tablet));
  gate.SetExpectedPeer(tablet);
  ASSERT_TRUE(gate.SetKey(key));

  InputSealer sealer;
  Bytes datagram;
  uint64_t counter = 99;
  EXPECT_FALSE(sealer.Seal(View("x"), &datagram, &counter));  // no key yet
  EXPECT_EQ(counter, 99u);
  sealer.SetKey(key);
  crypto::AesGcm aes;
  Bytes plain;
  const std::string payloads[] = {std::string(reinterpret_cast<const char*>(kMediaPunch), sizeof kMediaPunch),
                                  "an input event", "another"};
  uint64_t expected_counter = 0;
  std::vector<Bytes> sent;
  for (const std::string& p : payloads) {
    SCOPED_TRACE(p);
    ASSERT_TRUE(sealer.Seal(View(p), &datagram, &counter));
    EXPECT_EQ(counter, expected_counter++);
    EXPECT_EQ(gate.Open(aes, datagram, tablet, &plain), InputVerdict::kAccepted);
    EXPECT_EQ(std::string(plain.begin(), plain.end()), p);
    sent.push_back(datagram);
  }
  EXPECT_EQ(std::string(payloads[0]), "OVDMP1");
  // The host's replay window refuses a datagram it has seen.
  EXPECT_EQ(gate.Open(aes, sent[1], tablet, &plain), InputVerdict::kReplayed);

  // A new key on both sides (a promotion): the counter keeps rising and the
  // host, with an empty window, accepts it.
  const Bytes promoted = KeyOf(0x42);
  sealer.SetKey(promoted);
  ASSERT_TRUE(gate.SetKey(promoted));
  ASSERT_TRUE(sealer.Seal(View("after"), &datagram, &counter));
  EXPECT_EQ(counter, 3u);
  EXPECT_EQ(gate.Open(aes, datagram, tablet, &plain), InputVerdict::kAccepted);
  // Sealed under the old key, it does not open any more.
  InputSealer stale;
  stale.SetKey(key);
  ASSERT_TRUE(stale.Seal(View("stale"), &datagram, &counter));
  EXPECT_EQ(gate.Open(aes, datagram, tablet, &plain), InputVerdict::kDecryptFailed);
}

}  // namespace
}  // namespace orvane::sim
