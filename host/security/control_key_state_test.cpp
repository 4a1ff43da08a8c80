#include "host/security/control_key_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/security/key_agreement.h"
#include "tests/support/test_support.h"

namespace orvane::security {
namespace {

namespace pb = protocol::v1;

#define SKIP_ECDH_UNDER_WINE() ORVANE_SKIP_UNDER_WINE("BCryptDeriveKey(RAW_SECRET) is a stub in Wine 8")

pb::Hello MakeHello(const std::string& key, uint32_t auth_version = 0, bool directional = false,
                    const std::string& client_id = "tab-1") {
  pb::Hello hello;
  hello.set_client_id(client_id);
  hello.set_ephemeral_public_key(key);
  hello.set_auth_version(auth_version);
  hello.set_directional_control_nonce(directional);
  return hello;
}

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// What the key state sent, with the active key of the moment of sending.
struct Sent {
  pb::ControlMessage message;
  Bytes key_at_send;
};

class ControlKeyStateTest : public ::testing::Test {
 protected:
  ControlKeyState::MessageSender Sender() {
    return [this](pb::ControlMessage* message) {
      sent_.push_back({*message, keys_.ActiveKey()});
      return true;
    };
  }

  // A real handshake with a tablet pair, and the auth v1 keys.
  void Establish() {
    ASSERT_TRUE(tablet_.Generate());
    ASSERT_TRUE(keys_.StartHandshake(MakeHello(Text(tablet_.public_key()))).usable);
    ASSERT_TRUE(keys_.EstablishAuthV1Keys());
  }

  ManualClock clock_;
  testing::LogCapture log_;
  ControlKeyState keys_{clock_};
  EphemeralKeyPair tablet_;
  std::vector<Sent> sent_;
};

TEST(KeyStateNameTest, Names) {
  EXPECT_STREQ(KeyStateName(0), "idle");
  EXPECT_STREQ(KeyStateName(1), "pending_ack");
  EXPECT_STREQ(KeyStateName(2), "active");
  EXPECT_STREQ(KeyStateName(3), "idle");
  EXPECT_STREQ(KeyStateName(-1), "idle");
}

TEST(KeyFingerprintTest, KnownValuesAndPrefixes) {
  EXPECT_EQ(KeyFingerprint(std::string_view("abc")), "1A47E90B");
  EXPECT_EQ(KeyFingerprint(std::string_view("")), "811C9DC5");
  EXPECT_EQ(KeyFingerprintOrNone(ByteView()), "none");
  const Bytes bytes = {0x00, 0xAB, 0x10, 0xFF, 0x7E};
  EXPECT_EQ(HexPrefix(bytes, 4), "00AB10FF");
  EXPECT_EQ(HexPrefix(bytes, 99), "00AB10FF7E");
  EXPECT_EQ(HexPrefix(ByteView(), 4), "none");
  EXPECT_EQ(HexPrefix(Bytes(40, 0xAA), 40).size(), 24u);
}

TEST_F(ControlKeyStateTest, HandshakeDecidesUsabilityAndDirection) {
  const struct {
    const char* name;
    size_t key_length;
    uint32_t auth_version;
    bool directional_flag;
    const char* client_id;
    bool usable;
    bool directional;
  } cases[] = {
      {"v1, 64 bytes", 64, 0, false, "tab-1", true, false},
      {"v1, 32 bytes", 32, 1, false, "tab-1", true, false},
      {"v1, 65 bytes (with 0x04)", 65, 0, true, "tab-1", false, true},
      {"v1, no key", 0, 0, false, "tab-1", false, false},
      {"v1, no client id", 64, 0, false, "", false, false},
      {"v2, 64 bytes", 64, 2, false, "tab-1", true, true},
      {"v2, 32 bytes", 32, 2, false, "tab-1", false, true},
      {"v2, 65 bytes", 65, 3, false, "tab-1", false, true},
      {"v1 asking for directional nonces", 64, 0, true, "tab-1", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    keys_.ResetKeys();
    const Bytes host_before = keys_.HostEphemeralPublicKey();
    const HandshakeResult result =
        keys_.StartHandshake(MakeHello(std::string(c.key_length, 'k'), c.auth_version, c.directional_flag,
                                       c.client_id));
    EXPECT_EQ(result.usable, c.usable);
    EXPECT_EQ(result.directional, c.directional);
    EXPECT_EQ(keys_.Directional(), c.directional);
    // Every Hello gets a new host pair.
    EXPECT_EQ(keys_.HostEphemeralPublicKey().size(), kEphemeralPublicKeyBytes);
    EXPECT_NE(keys_.HostEphemeralPublicKey(), host_before);
    EXPECT_EQ(keys_.PeerEphemeralKey().size(), c.usable ? c.key_length : 0u);
    EXPECT_FALSE(keys_.HasActiveKey());
  }
}

TEST_F(ControlKeyStateTest, ResetClearsEverythingButTheHostPair) {
  keys_.StartHandshake(MakeHello(std::string(64, 'k'), 2));
  keys_.InstallSessionKey(Bytes(32, 1), Bytes(32, 2));
  Bytes key;
  uint64_t counter = 0;
  bool directional = false;
  ASSERT_TRUE(keys_.TakeSendKey(&key, &counter, &directional));
  ASSERT_TRUE(keys_.TakeSendKey(&key, &counter, &directional));
  EXPECT_EQ(counter, 1u);
  EXPECT_TRUE(directional);
  keys_.SetAuthV2Pending(true, Bytes(32, 3));
  const Bytes host = keys_.HostEphemeralPublicKey();
  const uint64_t generation = keys_.ResetGeneration();

  keys_.ResetKeys();
  EXPECT_FALSE(keys_.HasActiveKey());
  EXPECT_FALSE(keys_.HasCompatKey());
  EXPECT_FALSE(keys_.KeyReady());
  EXPECT_FALSE(keys_.Directional());
  EXPECT_FALSE(keys_.AuthV2Pending());
  EXPECT_EQ(keys_.AuthVersion(), 0u);
  EXPECT_TRUE(keys_.TranscriptHash().empty());
  EXPECT_TRUE(keys_.PeerEphemeralKey().empty());
  EXPECT_EQ(keys_.Epoch(), 0u);
  EXPECT_EQ(keys_.State(), KeyState::kIdle);
  EXPECT_EQ(keys_.ResetGeneration(), generation + 1);
  EXPECT_EQ(keys_.HostEphemeralPublicKey(), host);
  EXPECT_FALSE(keys_.TakeSendKey(&key, &counter, &directional));
  keys_.InstallSessionKey(Bytes(32, 1));
  ASSERT_TRUE(keys_.TakeSendKey(&key, &counter, &directional));
  EXPECT_EQ(counter, 0u) << "the send counter starts over";
}

TEST_F(ControlKeyStateTest, AuthV1KeysDifferOnlyByTheByteOrderOfTheSecret) {
  SKIP_ECDH_UNDER_WINE();
  clock_.AdvanceUs(123);
  Establish();
  const Bytes active = keys_.ActiveKey();
  const Bytes compat = keys_.CompatKey();
  ASSERT_EQ(active.size(), kSessionKeyBytes);
  ASSERT_EQ(compat.size(), kSessionKeyBytes);
  EXPECT_NE(active, compat);

  // The tablet's view of the same secret, most significant byte first.
  Bytes host_point = {crypto::kP256UncompressedPrefix};
  const Bytes host_public = keys_.HostEphemeralPublicKey();
  host_point.insert(host_point.end(), host_public.begin(), host_public.end());
  Bytes raw = tablet_.key().DeriveSharedSecret(host_point);
  ASSERT_EQ(raw.size(), 32u);
  EXPECT_EQ(HkdfSha256(raw, {}, AsBytes(kSessionKeyInfo), 32), compat);
  std::reverse(raw.begin(), raw.end());
  EXPECT_EQ(HkdfSha256(raw, {}, AsBytes(kSessionKeyInfo), 32), active);

  EXPECT_TRUE(keys_.KeyReady());
  EXPECT_EQ(keys_.State(), KeyState::kActive);
  EXPECT_EQ(keys_.Epoch(), static_cast<uint64_t>(clock_.NowUs()));
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Session key derived (32 bytes, epoch=" +
                            std::to_string(keys_.Epoch()) + ", fp=" + KeyFingerprint(active) +
                            ", compat_fp=" + KeyFingerprint(compat) + ", key_state=active)"));
  EXPECT_TRUE(log_.Contains("p256_reverse=0"));
  EXPECT_TRUE(log_.Contains("p256_reverse=1"));
}

TEST_F(ControlKeyStateTest, KeysThatCannotBeDerivedEstablishNothing) {
  // 32 bytes pass the handshake but cannot be imported: X alone is no point.
  ASSERT_TRUE(keys_.StartHandshake(MakeHello(std::string(32, 'k'))).usable);
  EXPECT_FALSE(keys_.EstablishAuthV1Keys());
  EXPECT_TRUE(log_.Contains("[ERROR] [Crypto] Import peer public key failed: 0x"));
  EXPECT_FALSE(keys_.HasActiveKey());
  EXPECT_FALSE(keys_.KeyReady());
  EXPECT_EQ(keys_.State(), KeyState::kIdle);
}

TEST_F(ControlKeyStateTest, CompatibilityKeyIsPromotedOnce) {
  keys_.InstallSessionKey(Bytes(32, 1), Bytes(32, 2));
  EXPECT_TRUE(keys_.CompatAvailable());
  clock_.AdvanceUs(77);
  ASSERT_TRUE(keys_.PromoteCompatKey());
  EXPECT_EQ(keys_.ActiveKey(), Bytes(32, 2));
  EXPECT_FALSE(keys_.HasCompatKey());
  EXPECT_FALSE(keys_.CompatAvailable());
  EXPECT_TRUE(keys_.CompatPromoted());
  EXPECT_EQ(keys_.CompatPromotions(), 1u);
  EXPECT_TRUE(log_.Contains("[WARN ] [Protocol] Promoted compatibility session key as active (count=1 ts_us=" +
                            std::to_string(clock_.NowUs()) + ")"));

  // The promoted flag is looked at before the (now empty) compatibility key.
  EXPECT_FALSE(keys_.PromoteCompatKey());
  EXPECT_TRUE(log_.Contains(
      "[WARN ] [Protocol] Compatibility session key promotion suppressed (already promoted once)"));
  EXPECT_EQ(keys_.ActiveKey(), Bytes(32, 2));
  EXPECT_EQ(keys_.CompatPromotions(), 1u);

  // A key without a compatibility key has nothing to promote.
  keys_.InstallSessionKey(Bytes(32, 3));
  EXPECT_FALSE(keys_.PromoteCompatKey());
  EXPECT_EQ(keys_.ActiveKey(), Bytes(32, 3));
}

TEST_F(ControlKeyStateTest, RotationsThatAreRefusedChangeNothing) {
  // Keys installed now get the epoch 1000000000 (the host clock in us).
  const std::string key64(64, 'k');
  const struct {
    const char* name;
    bool has_key;
    uint64_t epoch;
    std::string peer;
    const char* line;
  } cases[] = {
      {"no epoch", true, 0, key64, "[WARN ] [Protocol] KeyRotation rejected: missing epoch or peer key"},
      {"no key", true, 5, "", "[WARN ] [Protocol] KeyRotation rejected: missing epoch or peer key"},
      {"65-byte key", true, 5, std::string(65, 'k'),
       "[WARN ] [Protocol] KeyRotation rejected: unsupported peer key size=65"},
      {"no session key", false, 5, key64, "[WARN ] [Protocol] KeyRotation rejected: session key is not available"},
      {"stale epoch", true, 999, key64,
       "[INFO ] [Protocol] KeyRotation duplicate/stale epoch=999 current=1000000000 accepted=0"},
      {"point off the curve", true, 2000000000, key64,
       "[WARN ] [Protocol] KeyRotation rejected: key derivation failed for epoch=2000000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    keys_.ResetKeys();
    log_.Clear();
    sent_.clear();
    if (c.has_key) keys_.InstallSessionKey(Bytes(32, 1), Bytes(32, 2));
    const uint64_t epoch_before = keys_.Epoch();
    pb::KeyRotation rotation;
    rotation.set_next_epoch(c.epoch);
    rotation.set_ephemeral_public_key(c.peer);
    keys_.HandleKeyRotation(rotation, Sender());
    EXPECT_TRUE(log_.Contains(c.line));
    ASSERT_EQ(sent_.size(), 1u);
    EXPECT_TRUE(sent_[0].message.has_key_rotation_ack());
    EXPECT_FALSE(sent_[0].message.key_rotation_ack().accepted());
    EXPECT_EQ(sent_[0].message.key_rotation_ack().next_epoch(), c.epoch);
    EXPECT_EQ(keys_.Epoch(), epoch_before);
    EXPECT_EQ(keys_.PendingEpoch(), 0u);
    if (c.has_key) {
      EXPECT_EQ(keys_.ActiveKey(), Bytes(32, 1));
      EXPECT_EQ(keys_.CompatKey(), Bytes(32, 2));
    }
  }
}

TEST_F(ControlKeyStateTest, DuplicateEpochIsAcceptedWithoutNewKeys) {
  keys_.InstallSessionKey(Bytes(32, 1));
  pb::KeyRotation rotation;
  rotation.set_next_epoch(keys_.Epoch());
  rotation.set_ephemeral_public_key(std::string(64, 'k'));
  keys_.HandleKeyRotation(rotation, Sender());
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_TRUE(sent_[0].message.key_rotation_ack().accepted());
  EXPECT_EQ(keys_.ActiveKey(), Bytes(32, 1));
  EXPECT_EQ(keys_.State(), KeyState::kActive);
  EXPECT_TRUE(log_.Contains("duplicate/stale epoch=" + std::to_string(keys_.Epoch()) +
                            " current=" + std::to_string(keys_.Epoch()) + " accepted=1"));
}

TEST_F(ControlKeyStateTest, RotationAnswersUnderTheOldKeyAndConfirmsUnderTheNew) {
  SKIP_ECDH_UNDER_WINE();
  Establish();
  const Bytes old_active = keys_.ActiveKey();
  EphemeralKeyPair next;
  ASSERT_TRUE(next.Generate());
  const uint64_t epoch = keys_.Epoch() + 10;
  pb::KeyRotation rotation;
  rotation.set_next_epoch(epoch);
  rotation.set_ephemeral_public_key(Text(next.public_key()));
  keys_.HandleKeyRotation(rotation, Sender());

  ASSERT_EQ(sent_.size(), 2u);
  ASSERT_TRUE(sent_[0].message.has_key_rotation());
  EXPECT_EQ(sent_[0].message.key_rotation().next_epoch(), epoch);
  EXPECT_EQ(sent_[0].key_at_send, old_active);
  ASSERT_TRUE(sent_[1].message.has_key_rotation_ack());
  EXPECT_TRUE(sent_[1].message.key_rotation_ack().accepted());
  EXPECT_EQ(sent_[1].key_at_send, keys_.ActiveKey());
  EXPECT_NE(keys_.ActiveKey(), old_active);

  // The tablet derives the same keys from the host's answer.
  const std::string& host_answer = sent_[0].message.key_rotation().ephemeral_public_key();
  EXPECT_EQ(DeriveSessionKey(next.key(), AsBytes(host_answer), old_active, false), keys_.ActiveKey());
  EXPECT_EQ(DeriveSessionKey(next.key(), AsBytes(host_answer), old_active, true), keys_.CompatKey());
  EXPECT_EQ(keys_.Epoch(), epoch);
  EXPECT_EQ(keys_.PendingEpoch(), epoch);
  EXPECT_EQ(keys_.State(), KeyState::kActive);
  EXPECT_FALSE(keys_.CompatPromoted());
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Key rotation applied epoch=" + std::to_string(epoch) + " fp=" +
                            KeyFingerprint(keys_.ActiveKey()) + " compat_fp=" + KeyFingerprint(keys_.CompatKey()) +
                            " state=pending_ack"));

  // The previous key may still open the tablet's frames for a while.
  ReceiveKeys candidates = keys_.ReceiveCandidates();
  EXPECT_EQ(candidates.previous, old_active);
  clock_.AdvanceUs(static_cast<int64_t>(ControlKeyState::kPreviousKeyGraceUs));
  EXPECT_TRUE(keys_.ReceiveCandidates().previous.empty());

  // The tablet confirms the pending epoch.
  pb::KeyRotationAck ack;
  ack.set_next_epoch(epoch);
  ack.set_accepted(true);
  keys_.HandleKeyRotationAck(ack);
  EXPECT_EQ(keys_.PendingEpoch(), 0u);
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] KeyRotation confirmed for epoch=" + std::to_string(epoch)));
}

TEST_F(ControlKeyStateTest, TabletAcksOnlyCountForThePendingEpoch) {
  SKIP_ECDH_UNDER_WINE();
  const struct {
    const char* name;
    bool rotate;  // leave a rotation pending first
    int64_t ack_offset;  // the ack's epoch relative to the pending one
    bool accepted;
    KeyState state_after;
    bool still_pending;
    const char* line;  // nullptr: only the receipt line
  } cases[] = {
      {"confirmed", true, 0, true, KeyState::kActive, false, "[INFO ] [Protocol] KeyRotation confirmed for epoch="},
      {"refused", true, 0, false, KeyState::kIdle, false, "[WARN ] [Protocol] KeyRotation rejected by peer for epoch="},
      {"other epoch", true, -1, true, KeyState::kActive, true, nullptr},
      {"nothing pending", false, 0, false, KeyState::kActive, false, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    keys_.ResetKeys();
    Establish();
    uint64_t epoch = keys_.Epoch() + 100;
    if (c.rotate) {
      EphemeralKeyPair next;
      ASSERT_TRUE(next.Generate());
      pb::KeyRotation rotation;
      rotation.set_next_epoch(epoch);
      rotation.set_ephemeral_public_key(Text(next.public_key()));
      keys_.HandleKeyRotation(rotation, Sender());
      ASSERT_EQ(keys_.PendingEpoch(), epoch);
    }
    log_.Clear();
    pb::KeyRotationAck ack;
    ack.set_next_epoch(static_cast<uint64_t>(static_cast<int64_t>(epoch) + c.ack_offset));
    ack.set_accepted(c.accepted);
    keys_.HandleKeyRotationAck(ack);
    EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] KeyRotationAck epoch=" + std::to_string(ack.next_epoch()) +
                              " accepted=" + std::to_string(c.accepted ? 1 : 0)));
    EXPECT_EQ(keys_.State(), c.state_after);
    EXPECT_EQ(keys_.PendingEpoch(), c.still_pending ? epoch : 0u);
    if (c.line != nullptr) {
      EXPECT_TRUE(log_.Contains(std::string(c.line) + std::to_string(epoch)));
    } else {
      EXPECT_EQ(log_.Lines().size(), 1u);
    }
  }
}

TEST_F(ControlKeyStateTest, ClientRekeyRequestIsOnlyLogged) {
  keys_.InstallSessionKey(Bytes(32, 1));
  pb::RekeyRequired rekey;
  rekey.set_reason("auth-failed\n[forged]");
  rekey.set_server_epoch(42);
  keys_.HandleRekeyRequired(rekey);
  EXPECT_TRUE(log_.Contains("[WARN ] [Protocol] Client requested rekey: reason=auth-failed\\x0A[forged] epoch=42"));
  EXPECT_EQ(keys_.ActiveKey(), Bytes(32, 1));
}

}  // namespace
}  // namespace orvane::security
