// The tablet's keys on their own, and against the host's real key state,
// frame opener and protocol handler: what one side seals, the other opens.
//
// Cases that run the ECDH derivation skip under Wine; the envelope cases use
// installed keys and run everywhere.

#include "tools/tablet_sim/sim_keys.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "host/common/clock.h"
#include "host/control/control_frame.h"
#include "host/control/protocol_handler.h"
#include "host/security/control_key_state.h"
#include "host/security/secure_frame.h"
#include "orvane_protocol_v1.pb.h"
#include "tests/support/test_support.h"

namespace orvane::sim {
namespace {

namespace pb = ::orvane::protocol::v1;

constexpr const char* kNoEcdhUnderWine = "BCryptDeriveKey(RAW_SECRET) is a stub in Wine 8";

Bytes Key(uint8_t fill) { return Bytes(security::kSessionKeyBytes, fill); }

ByteView View(const std::string& text) {
  return ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

pb::ControlMessage Ping(uint64_t stamp) {
  pb::ControlMessage m;
  m.set_sequence_id(stamp);
  m.mutable_ping()->set_send_timestamp_us(stamp);
  return m;
}

// A frame as the host seals it for the tablet.
Bytes HostFrame(const Bytes& key, uint32_t prefix, uint64_t counter, const pb::ControlMessage& m) {
  crypto::AesGcm cipher;
  return security::SealSecureFrame(cipher, key, prefix, counter, View(m.SerializeAsString()));
}

// What the tablet sends: sealed once it has keys, plain before.
Bytes TabletFrame(TabletKeys& tablet, const pb::ControlMessage& m) {
  const std::string plain = m.SerializeAsString();
  if (!tablet.Sealing()) return Bytes(plain.begin(), plain.end());
  Bytes frame;
  uint64_t counter = 0;
  EXPECT_TRUE(tablet.Seal(View(plain), &frame, &counter));
  return frame;
}

// One host frame as the tablet reads it.
struct Received {
  OpenResult result;
  pb::ControlMessage message;
};

Received TabletOpen(TabletKeys& tablet, const Bytes& frame) {
  Received r;
  Bytes plain;
  r.result = tablet.Open(frame, &plain);
  if (r.result.status == OpenStatus::kOpened) {
    EXPECT_TRUE(r.message.ParseFromArray(plain.data(), static_cast<int>(plain.size())));
  } else if (r.result.status == OpenStatus::kPlain) {
    // May fail: plain bytes need not be a message.
    (void)r.message.ParseFromArray(frame.data(), static_cast<int>(frame.size()));
  }
  return r;
}

// ------------------------------------------------------------ envelopes

TEST(TabletKeys, SealedFramesCarryTheTabletPrefixAndOpenInTheHostOpener) {
  for (const bool directional : {true, false}) {
    SCOPED_TRACE(directional ? "directional" : "shared nonces");
    TabletKeys tablet;
    tablet.InstallKeys(Key(0xA1), Key(0xC3), directional);
    ManualClock clock;
    security::ControlKeyState host_keys(clock);
    host_keys.InstallSessionKey(Key(0xA1));
    ControlFrameOpener opener(host_keys, clock);
    crypto::AesGcm cipher;

    for (uint64_t i = 0; i < 3; ++i) {
      const std::string plain = Ping(100 + i).SerializeAsString();
      Bytes frame;
      uint64_t counter = 99;
      ASSERT_TRUE(tablet.Seal(View(plain), &frame, &counter));
      EXPECT_EQ(counter, i);
      ASSERT_EQ(frame.size(), plain.size() + security::kSecureFrameOverheadBytes);
      EXPECT_EQ(std::string(frame.begin(), frame.begin() + 4), "OVD1");
      EXPECT_EQ(frame[4], 0x01);
      for (size_t b = 0; b < 8; ++b) EXPECT_EQ(frame[5 + b], b == 7 ? i : 0u) << b;
      // The tablet's direction always uses 0x00000001, whatever the host's rule.
      Bytes opened;
      EXPECT_TRUE(security::OpenAesGcm(cipher, Key(0xA1), security::kNonceControl, i,
                                       ByteView(frame).subspan(security::kSecureFrameHeaderBytes), &opened));
      EXPECT_EQ(Text(opened), plain);

      const OpenedControlFrame host = opener.OpenControlFrame(frame.data(), frame.size(), true);
      ASSERT_EQ(host.verdict, ControlFrameVerdict::kEncrypted);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(host.data), host.length), plain);
    }
    EXPECT_EQ(tablet.next_send_counter(), 3u);
  }
}

TEST(TabletKeys, HostFramesOpenWithThePrefixTheHelloAckConfirmed) {
  const struct {
    const char* name;
    bool directional;
    uint32_t host_prefix;
    OpenStatus expected;
  } cases[] = {
      {"directional, host prefix", true, security::kNonceControlHostDirectional, OpenStatus::kOpened},
      {"directional, tablet prefix", true, security::kNonceControl, OpenStatus::kFailed},
      {"shared, shared prefix", false, security::kNonceControl, OpenStatus::kOpened},
      {"shared, host prefix", false, security::kNonceControlHostDirectional, OpenStatus::kFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TabletKeys tablet;
    tablet.InstallKeys(Key(0xA1), Key(0xC3), c.directional);
    const Received r = TabletOpen(tablet, HostFrame(Key(0xA1), c.host_prefix, 0, Ping(7)));
    EXPECT_EQ(r.result.status, c.expected) << OpenStatusName(r.result.status);
    if (c.expected == OpenStatus::kOpened) {
      EXPECT_EQ(r.message.ping().send_timestamp_us(), 7u);
    }
  }
}

TEST(TabletKeys, ReceiveRulesForHostFrames) {
  TabletKeys tablet;
  const uint32_t prefix = security::kNonceControlHostDirectional;
  // Without keys a secure frame cannot open; plain frames pass untouched.
  EXPECT_EQ(TabletOpen(tablet, HostFrame(Key(0xA1), prefix, 0, Ping(1))).result.status, OpenStatus::kNoKey);
  tablet.InstallKeys(Key(0xA1), {}, true);

  const std::string plain = Ping(1).SerializeAsString();
  Bytes no_flag = HostFrame(Key(0xA1), prefix, 9, Ping(1));
  no_flag[4] = 0x00;
  Bytes bad_tag = HostFrame(Key(0xA1), prefix, 9, Ping(1));
  bad_tag.back() ^= 0x01;
  const struct {
    const char* name;
    Bytes frame;
    OpenStatus expected;
    int64_t last_after;
  } steps[] = {
      {"plain message", Bytes(plain.begin(), plain.end()), OpenStatus::kPlain, -1},
      {"magic without header", Bytes{'O', 'V', 'D', '1', 1, 0, 0}, OpenStatus::kPlain, -1},
      {"first frame at 2", HostFrame(Key(0xA1), prefix, 2, Ping(1)), OpenStatus::kOpened, 2},
      {"gaps are fine: 5", HostFrame(Key(0xA1), prefix, 5, Ping(1)), OpenStatus::kOpened, 5},
      {"4 after 5 is stale", HostFrame(Key(0xA1), prefix, 4, Ping(1)), OpenStatus::kStale, 5},
      {"5 again is a replay", HostFrame(Key(0xA1), prefix, 5, Ping(1)), OpenStatus::kStale, 5},
      {"top bit set is stale", HostFrame(Key(0xA1), prefix, 1ull << 63, Ping(1)), OpenStatus::kStale, 5},
      {"encrypted flag clear", no_flag, OpenStatus::kNotEncrypted, 5},
      {"tag does not verify", bad_tag, OpenStatus::kFailed, 5},
      {"another key", HostFrame(Key(0xB2), prefix, 9, Ping(1)), OpenStatus::kFailed, 5},
      {"tag only, no ciphertext", Bytes{'O', 'V', 'D', '1', 1, 0, 0, 0, 0, 0, 0, 0, 9}, OpenStatus::kFailed, 5},
      {"9 after the failures", HostFrame(Key(0xA1), prefix, 9, Ping(1)), OpenStatus::kOpened, 9},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.name);
    EXPECT_EQ(TabletOpen(tablet, s.frame).result.status, s.expected);
    EXPECT_EQ(tablet.last_receive_counter(), s.last_after);
  }
}

TEST(TabletKeys, AnMsbTabletOpensLsbFramesOnlyUntilTheHostSwitched) {
  const uint32_t prefix = security::kNonceControlHostDirectional;
  const Bytes lsb = Key(0xA1);
  const Bytes msb = Key(0xC3);

  TabletKeys tablet(KeyOrder::kMsb);
  tablet.InstallKeys(msb, lsb, true);
  Received r = TabletOpen(tablet, HostFrame(lsb, prefix, 0, Ping(1)));
  EXPECT_EQ(r.result.status, OpenStatus::kOpened);
  EXPECT_TRUE(r.result.other_order);
  r = TabletOpen(tablet, HostFrame(msb, prefix, 1, Ping(2)));
  EXPECT_EQ(r.result.status, OpenStatus::kOpened);
  EXPECT_FALSE(r.result.other_order);
  // The host promoted its compatibility key; it never goes back.
  EXPECT_EQ(TabletOpen(tablet, HostFrame(lsb, prefix, 2, Ping(3))).result.status, OpenStatus::kFailed);

  // An lsb tablet never takes the other order's key.
  TabletKeys lsb_tablet(KeyOrder::kLsb);
  lsb_tablet.InstallKeys(lsb, msb, true);
  EXPECT_EQ(TabletOpen(lsb_tablet, HostFrame(msb, prefix, 0, Ping(1))).result.status, OpenStatus::kFailed);
  EXPECT_EQ(TabletOpen(lsb_tablet, HostFrame(lsb, prefix, 0, Ping(1))).result.status, OpenStatus::kOpened);
}

// ---------------------------------------------------------------- Hello

TEST(TabletKeys, AHelloEndsTheKeysAndTheHelloAckDecidesTheNextOnes) {
  TabletKeys tablet;
  Bytes frame;
  uint64_t counter = 0;
  EXPECT_FALSE(tablet.Sealing());
  EXPECT_FALSE(tablet.Seal(View("x"), &frame, &counter));

  ASSERT_TRUE(tablet.NewHelloPair());
  const Bytes first = tablet.HelloPublicKey();
  EXPECT_EQ(first.size(), 64u);
  ASSERT_TRUE(tablet.NewHelloPair());
  EXPECT_NE(tablet.HelloPublicKey(), first);  // one pair per Hello

  tablet.InstallKeys(Key(0xA1), {}, true);
  ASSERT_TRUE(tablet.Seal(View("a"), &frame, &counter));
  ASSERT_TRUE(tablet.Seal(View("b"), &frame, &counter));
  // The next Hello still leaves sealed under the old key...
  ASSERT_TRUE(tablet.NewHelloPair());
  ASSERT_TRUE(tablet.Seal(View("hello"), &frame, &counter));
  EXPECT_EQ(counter, 2u);
  // ...and ends sealing: nothing more until the HelloAck, counting from 0.
  tablet.HelloSent();
  EXPECT_FALSE(tablet.Sealing());
  EXPECT_EQ(tablet.next_send_counter(), 0u);
  // What the host still sends under the old key opens.
  EXPECT_EQ(TabletOpen(tablet, HostFrame(Key(0xA1), security::kNonceControlHostDirectional, 3, Ping(1))).result.status,
            OpenStatus::kOpened);

  const std::string key64(64, '\x11');  // shaped like a key, not a point on the curve
  const struct {
    const char* name;
    int result;
    std::string host_key;
    bool new_pair;
    HelloAckKeys expected;
  } cases[] = {
      {"version mismatch", 2, key64, true, HelloAckKeys::kHostHasNone},
      {"host busy", 5, key64, true, HelloAckKeys::kHostHasNone},
      {"no host key", 0, "", true, HelloAckKeys::kNoHostKey},
      {"65-byte host key", 3, std::string(65, '\x04'), true, HelloAckKeys::kBadHostKey},
      {"Hello without a key", 3, key64, false, HelloAckKeys::kNoPair},
      {"host key off the curve", 3, key64, true, HelloAckKeys::kDeriveFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tablet.InstallKeys(Key(0xA1), {}, true);
    if (c.new_pair) {
      ASSERT_TRUE(tablet.NewHelloPair());
    }
    tablet.HelloSent();
    EXPECT_EQ(tablet.OnHelloAck(c.result, View(c.host_key), true), c.expected);
    // Every HelloAck answers a Hello that made the host drop its keys.
    EXPECT_FALSE(tablet.HasKeys());
    EXPECT_FALSE(tablet.Sealing());
    EXPECT_TRUE(tablet.HelloPublicKey().empty());  // the pair served its one handshake
  }
}

TEST(TabletKeys, AnAuthV2HelloAckGivesOneKeyBoundToTheTranscript) {
  TabletKeys tablet;
  const Bytes hash(security::kTranscriptHashBytes, 0x3C);
  const std::string key64(64, '\x11');  // shaped like a key, not a point on the curve
  const struct {
    const char* name;
    std::string host_key;
    bool new_pair;
    HelloAckKeys expected;
  } cases[] = {
      {"no host key", "", true, HelloAckKeys::kNoHostKey},
      {"65-byte host key", std::string(65, '\x04'), true, HelloAckKeys::kBadHostKey},
      {"Hello without a key", key64, false, HelloAckKeys::kNoPair},
      {"host key off the curve", key64, true, HelloAckKeys::kDeriveFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tablet.InstallKeys(Key(0xA1), Key(0xA2), true);
    if (c.new_pair) {
      ASSERT_TRUE(tablet.NewHelloPair());
    }
    tablet.HelloSent();
    EXPECT_EQ(tablet.OnAuthV2HelloAck(View(c.host_key), hash, true), c.expected);
    EXPECT_FALSE(tablet.HasKeys());
    EXPECT_TRUE(tablet.HelloPublicKey().empty());
  }

  // The tablet refuses the host: no keys, and the pair is gone.
  tablet.InstallKeys(Key(0xA1), Key(0xA2), true);
  ASSERT_TRUE(tablet.NewHelloPair());
  tablet.HelloSent();
  tablet.DropHelloKeys();
  EXPECT_FALSE(tablet.HasKeys());
  EXPECT_TRUE(tablet.OtherKey().empty());
  EXPECT_TRUE(tablet.HelloPublicKey().empty());

  // Against the host's derivation: the same key, and no other order's key.
  ORVANE_SKIP_UNDER_WINE(kNoEcdhUnderWine);
  ManualClock clock;
  security::ControlKeyState host(clock);
  ASSERT_TRUE(tablet.NewHelloPair());
  pb::Hello hello;
  hello.set_client_id("tab-a");
  hello.set_auth_version(2);
  hello.set_ephemeral_public_key(Text(tablet.HelloPublicKey()));
  ASSERT_TRUE(host.StartHandshake(hello).usable);
  tablet.HelloSent();
  const Bytes host_key = security::DeriveAuthV2SessionKey(host.HostEphemeralKey(), tablet.HelloPublicKey(), hash);
  ASSERT_EQ(host_key.size(), security::kSessionKeyBytes);
  EXPECT_EQ(tablet.OnAuthV2HelloAck(host.HostEphemeralPublicKey(), hash, true), HelloAckKeys::kDerived);
  EXPECT_EQ(tablet.KeyInUse(), host_key);
  EXPECT_TRUE(tablet.OtherKey().empty());
  EXPECT_TRUE(tablet.Sealing());
  EXPECT_TRUE(tablet.directional());
}

// ------------------------------------------------------------- rotation

TEST(TabletKeys, RotationEpochsRiseAboveTheHostClockAndEveryEarlierOne) {
  ManualClock clock;
  TabletKeys tablet;
  const uint64_t wall_us = static_cast<uint64_t>(clock.FileTimeNow()) / 10;
  EXPECT_EQ(tablet.FreshEpoch(clock), wall_us);
  // Far above the host's epochs, which are readings of its monotonic clock.
  EXPECT_GT(tablet.FreshEpoch(clock), static_cast<uint64_t>(clock.NowUs()));

  Bytes key;
  ASSERT_TRUE(tablet.BeginRotation(wall_us + 1'000'000, &key));
  EXPECT_EQ(key.size(), 64u);
  EXPECT_EQ(tablet.FreshEpoch(clock), wall_us + 1'000'001);  // above the last one used
  clock.AdvanceMs(2'000);
  EXPECT_EQ(tablet.FreshEpoch(clock), wall_us + 2'000'000);
  // An explicit lower epoch does not lower the floor.
  ASSERT_TRUE(tablet.BeginRotation(5, &key));
  EXPECT_EQ(tablet.last_epoch(), wall_us + 1'000'000);
}

TEST(TabletKeys, RotationAnswersThatDoNotSwitchKeepTheKey) {
  const std::string host_key(64, '\x22');
  const struct {
    const char* name;
    // The host's messages: KeyRotation (epoch offset, key) first when set,
    // then KeyRotationAck (epoch offset, accepted).
    bool rotation_first;
    int64_t rotation_epoch_offset;
    std::string rotation_key;
    RotationStep rotation_step;
    int64_t ack_epoch_offset;
    bool accepted;
    RotationAckStep ack_step;
    bool pending_after;
  } cases[] = {
      {"duplicate epoch: accepting ack only", false, 0, "", RotationStep::kSwitched, 0, true, RotationAckStep::kKeptKey,
       false},
      {"stale epoch: refusing ack only", false, 0, "", RotationStep::kSwitched, 0, false, RotationAckStep::kKeptKey,
       false},
      {"ack for another epoch", false, 0, "", RotationStep::kSwitched, 1, true, RotationAckStep::kUnexpected, true},
      {"KeyRotation for another epoch", true, 1, host_key, RotationStep::kOtherEpoch, 0, false,
       RotationAckStep::kKeptKey, false},
      {"KeyRotation with a 65-byte key", true, 0, std::string(65, '\x04'), RotationStep::kBadHostKey, 0, true,
       RotationAckStep::kUnexpected, false},
      {"KeyRotation with a key off the curve", true, 0, host_key, RotationStep::kDeriveFailed, 0, true,
       RotationAckStep::kUnexpected, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TabletKeys tablet;
    tablet.InstallKeys(Key(0xA1), Key(0xC3), true);
    const uint64_t epoch = 1000;
    EXPECT_EQ(tablet.OnHostRotation(epoch, View(host_key)), RotationStep::kNotPending);
    Bytes key;
    ASSERT_TRUE(tablet.BeginRotation(epoch, &key));
    EXPECT_TRUE(tablet.RotationPending());
    if (c.rotation_first) {
      EXPECT_EQ(tablet.OnHostRotation(epoch + c.rotation_epoch_offset, View(c.rotation_key)), c.rotation_step);
    }
    EXPECT_EQ(tablet.OnHostRotationAck(epoch + c.ack_epoch_offset, c.accepted), c.ack_step);
    EXPECT_EQ(tablet.RotationPending(), c.pending_after);
    EXPECT_EQ(tablet.KeyInUse(), Key(0xA1));
    EXPECT_EQ(tablet.OtherKey(), Key(0xC3));
  }

  // A new Hello forgets a pending rotation.
  TabletKeys tablet;
  tablet.InstallKeys(Key(0xA1), {}, true);
  Bytes key;
  ASSERT_TRUE(tablet.BeginRotation(7, &key));
  tablet.HelloSent();
  EXPECT_FALSE(tablet.RotationPending());
}

// ------------------------------------------- against the host's handler

// The host side of one connection: the real protocol handler behind the
// real frame opener, authenticating every Hello with the auth v1 keys (ecdh)
// or with an installed key.
class HostPeer {
 public:
  static Bytes InstalledKey() { return Key(0x5A); }

  explicit HostPeer(bool ecdh) {
    handler_.SetHostIdentity("orvane-PC", "PC");
    handler_.SetFrameSender([this](const uint8_t* data, size_t length) {
      sent_.emplace_back(data, data + length);
      return true;
    });
    handler_.SetHelloAuthenticator([ecdh](const pb::Hello&, security::ControlKeyState& keys) {
      HelloAuthDecision decision;
      if (ecdh) {
        if (keys.EstablishAuthV1Keys()) decision.result = pb::AUTH_RESULT_OK;
      } else {
        keys.InstallSessionKey(InstalledKey());
        decision.result = pb::AUTH_RESULT_OK;
      }
      return decision;
    });
  }

  // One frame from the tablet, through the opener into the handler.
  ControlFrameVerdict Receive(const Bytes& frame, bool* promoted = nullptr) {
    const OpenedControlFrame opened = opener_.OpenControlFrame(frame.data(), frame.size(), handler_.IsAuthenticated());
    if (promoted != nullptr) *promoted = opened.promoted;
    if (opened.verdict != ControlFrameVerdict::kDrop) {
      EXPECT_TRUE(
          handler_.HandleControlFrame(opened.data, opened.length, opened.verdict == ControlFrameVerdict::kEncrypted)
              .ok());
    }
    return opened.verdict;
  }

  std::vector<Bytes> TakeSent() { return std::exchange(sent_, {}); }
  ProtocolHandler& handler() { return handler_; }
  security::ControlKeyState& keys() { return handler_.Keys(); }
  ManualClock& clock() { return clock_; }

 private:
  ManualClock clock_;
  ProtocolHandler handler_{clock_};
  ControlFrameOpener opener_{handler_.Keys(), clock_};
  std::vector<Bytes> sent_;
};

// Hello with the tablet's key, the host's HelloAck, the tablet's keys.
void Handshake(HostPeer& host, TabletKeys& tablet, bool directional, bool ecdh) {
  ASSERT_TRUE(tablet.NewHelloPair());
  pb::ControlMessage m;
  pb::Hello* hello = m.mutable_hello();
  hello->set_client_id("tab-1");
  hello->set_client_name("Tablet One");
  hello->set_app_version(ProtocolHandler::kHostVersion);
  hello->set_protocol_version(1);
  hello->set_ephemeral_public_key(Text(tablet.HelloPublicKey()));
  hello->set_directional_control_nonce(directional);
  ASSERT_EQ(host.Receive(TabletFrame(tablet, m)), tablet.Sealing() ? ControlFrameVerdict::kEncrypted
                                                                    : ControlFrameVerdict::kPlaintext);
  tablet.HelloSent();
  std::vector<Bytes> sent = host.TakeSent();
  ASSERT_EQ(sent.size(), 1u);
  const Received r = TabletOpen(tablet, sent[0]);
  ASSERT_EQ(r.result.status, OpenStatus::kPlain);  // HelloAck is the one plain message
  const pb::HelloAck& ack = r.message.hello_ack();
  ASSERT_EQ(ack.result(), pb::AUTH_RESULT_OK);
  EXPECT_EQ(ack.directional_control_nonce(), directional);
  if (ecdh) {
    ASSERT_EQ(tablet.OnHelloAck(ack.result(), View(ack.ephemeral_public_key()), ack.directional_control_nonce()),
              HelloAckKeys::kDerived);
  } else {
    tablet.InstallKeys(HostPeer::InstalledKey(), {}, ack.directional_control_nonce());
  }
  ASSERT_TRUE(host.handler().IsAuthenticated());
}

// The tablet pings; the host's Pong as the tablet opens it.
Received PingPong(HostPeer& host, TabletKeys& tablet, uint64_t stamp, bool* promoted = nullptr) {
  EXPECT_EQ(host.Receive(TabletFrame(tablet, Ping(stamp)), promoted), ControlFrameVerdict::kEncrypted);
  std::vector<Bytes> sent = host.TakeSent();
  EXPECT_EQ(sent.size(), 1u);
  if (sent.empty()) return {};
  Received r = TabletOpen(tablet, sent[0]);
  EXPECT_EQ(r.result.status, OpenStatus::kOpened) << OpenStatusName(r.result.status);
  EXPECT_EQ(r.message.pong().ping_timestamp_us(), stamp);
  return r;
}

void ExchangeBothWays(bool ecdh) {
  for (const bool directional : {true, false}) {
    SCOPED_TRACE(directional ? "directional" : "shared nonces");
    HostPeer host(ecdh);
    TabletKeys tablet;
    ASSERT_NO_FATAL_FAILURE(Handshake(host, tablet, directional, ecdh));
    EXPECT_EQ(tablet.KeyInUse(), host.keys().ActiveKey());
    if (ecdh) {
      EXPECT_EQ(tablet.OtherKey(), host.keys().CompatKey());
    }

    // A message the host sends on its own, then an answer.
    ASSERT_TRUE(host.handler().SendAudioRoute(true, "Tablet One"));
    std::vector<Bytes> sent = host.TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    const Received route = TabletOpen(tablet, sent[0]);
    ASSERT_EQ(route.result.status, OpenStatus::kOpened);
    EXPECT_EQ(route.result.counter, 0u);
    EXPECT_TRUE(route.message.audio_route().plays_here());
    const Received pong = PingPong(host, tablet, 4242);
    EXPECT_EQ(pong.result.counter, 1u);
    EXPECT_EQ(tablet.next_send_counter(), 1u);
  }
}

TEST(TabletKeysWithHost, InstalledKeyMessagesOpenOnBothSidesInBothNonceModes) { ExchangeBothWays(false); }

TEST(TabletKeysWithHost, DerivedKeyMessagesOpenOnBothSidesInBothNonceModes) {
  ORVANE_SKIP_UNDER_WINE(kNoEcdhUnderWine);
  ExchangeBothWays(true);
}

TEST(TabletKeysWithHost, AnMsbTabletMakesTheHostPromoteItsCompatibilityKey) {
  ORVANE_SKIP_UNDER_WINE(kNoEcdhUnderWine);
  HostPeer host(true);
  TabletKeys tablet(KeyOrder::kMsb);
  ASSERT_NO_FATAL_FAILURE(Handshake(host, tablet, true, true));
  EXPECT_EQ(tablet.KeyInUse(), host.keys().CompatKey());
  EXPECT_EQ(tablet.OtherKey(), host.keys().ActiveKey());

  // Before the tablet's first frame the host seals under its active key.
  ASSERT_TRUE(host.handler().SendExtendedDisplayInfo(1, false));
  std::vector<Bytes> sent = host.TakeSent();
  ASSERT_EQ(sent.size(), 1u);
  const Received early = TabletOpen(tablet, sent[0]);
  EXPECT_EQ(early.result.status, OpenStatus::kOpened);
  EXPECT_TRUE(early.result.other_order);

  // The tablet's first frame promotes the compatibility key; the answer
  // comes under the tablet's key.
  bool promoted = false;
  const Received pong = PingPong(host, tablet, 77, &promoted);
  EXPECT_TRUE(promoted);
  EXPECT_FALSE(pong.result.other_order);
  EXPECT_EQ(host.keys().ActiveKey(), tablet.KeyInUse());
  EXPECT_EQ(host.keys().CompatPromotions(), 1u);
}

// The tablet asks for a rotation; the host's KeyRotation opens under the old
// key, its KeyRotationAck under the new one.
void Rotate(HostPeer& host, TabletKeys& tablet, uint64_t epoch) {
  const Bytes old_key = tablet.KeyInUse();
  Bytes key;
  ASSERT_TRUE(tablet.BeginRotation(epoch, &key));
  pb::ControlMessage m;
  m.mutable_key_rotation()->set_next_epoch(epoch);
  m.mutable_key_rotation()->set_ephemeral_public_key(Text(key));
  ASSERT_EQ(host.Receive(TabletFrame(tablet, m)), ControlFrameVerdict::kEncrypted);
  std::vector<Bytes> sent = host.TakeSent();
  ASSERT_EQ(sent.size(), 2u);

  const Received rotation = TabletOpen(tablet, sent[0]);
  ASSERT_EQ(rotation.result.status, OpenStatus::kOpened);
  EXPECT_FALSE(rotation.result.other_order);  // the old key the tablet used
  ASSERT_TRUE(rotation.message.has_key_rotation());
  EXPECT_EQ(rotation.message.key_rotation().next_epoch(), epoch);
  ASSERT_EQ(tablet.OnHostRotation(epoch, View(rotation.message.key_rotation().ephemeral_public_key())),
            RotationStep::kSwitched);
  EXPECT_NE(tablet.KeyInUse(), old_key);
  // The host holds the new pair as active (lsb) and compatibility (msb) key.
  const bool msb = tablet.order() == KeyOrder::kMsb;
  EXPECT_EQ(tablet.KeyInUse(), msb ? host.keys().CompatKey() : host.keys().ActiveKey());
  EXPECT_EQ(tablet.OtherKey(), msb ? host.keys().ActiveKey() : host.keys().CompatKey());

  const Received ack = TabletOpen(tablet, sent[1]);
  ASSERT_EQ(ack.result.status, OpenStatus::kOpened) << OpenStatusName(ack.result.status);
  // The host confirms under its new active key: the lsb one.
  EXPECT_EQ(ack.result.other_order, msb);
  ASSERT_TRUE(ack.message.has_key_rotation_ack());
  EXPECT_TRUE(ack.message.key_rotation_ack().accepted());
  EXPECT_EQ(tablet.OnHostRotationAck(epoch, true), RotationAckStep::kConfirmed);
  EXPECT_FALSE(tablet.RotationPending());
  EXPECT_EQ(host.keys().Epoch(), epoch);
}

TEST(TabletKeysWithHost, RotationMovesBothSidesToTheNewKey) {
  ORVANE_SKIP_UNDER_WINE(kNoEcdhUnderWine);
  for (const KeyOrder order : {KeyOrder::kLsb, KeyOrder::kMsb}) {
    SCOPED_TRACE(KeyOrderName(order));
    HostPeer host(true);
    TabletKeys tablet(order);
    ASSERT_NO_FATAL_FAILURE(Handshake(host, tablet, true, true));
    // For msb the first frame promotes the compatibility key, so the
    // rotation starts from a promoted key.
    bool promoted = false;
    PingPong(host, tablet, 1, &promoted);
    EXPECT_EQ(promoted, order == KeyOrder::kMsb);

    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(round);
      const uint64_t epoch = tablet.FreshEpoch(host.clock());
      ASSERT_NO_FATAL_FAILURE(Rotate(host, tablet, epoch));
      // The tablet's next frame opens on the host under the new key (an msb
      // one promotes it again) and the answer opens on the tablet.
      const Received pong = PingPong(host, tablet, 10 + round, &promoted);
      EXPECT_EQ(promoted, order == KeyOrder::kMsb);
      EXPECT_FALSE(pong.result.other_order);
      EXPECT_EQ(host.keys().ActiveKey(), tablet.KeyInUse());
    }

    // A repeated epoch and a stale one: only an ack, the keys stay.
    const Bytes key_before = tablet.KeyInUse();
    const struct {
      const char* name;
      uint64_t epoch;
      bool accepted;
    } repeats[] = {{"repeated", tablet.last_epoch(), true}, {"stale", 5, false}};
    for (const auto& r : repeats) {
      SCOPED_TRACE(r.name);
      Bytes key;
      ASSERT_TRUE(tablet.BeginRotation(r.epoch, &key));
      pb::ControlMessage m;
      m.mutable_key_rotation()->set_next_epoch(r.epoch);
      m.mutable_key_rotation()->set_ephemeral_public_key(Text(key));
      ASSERT_EQ(host.Receive(TabletFrame(tablet, m)), ControlFrameVerdict::kEncrypted);
      std::vector<Bytes> sent = host.TakeSent();
      ASSERT_EQ(sent.size(), 1u);
      const Received ack = TabletOpen(tablet, sent[0]);
      ASSERT_EQ(ack.result.status, OpenStatus::kOpened);
      ASSERT_TRUE(ack.message.has_key_rotation_ack());
      EXPECT_EQ(ack.message.key_rotation_ack().accepted(), r.accepted);
      EXPECT_EQ(tablet.OnHostRotationAck(r.epoch, r.accepted), RotationAckStep::kKeptKey);
      EXPECT_EQ(tablet.KeyInUse(), key_before);
      PingPong(host, tablet, 99);
    }
  }
}

}  // namespace
}  // namespace orvane::sim
