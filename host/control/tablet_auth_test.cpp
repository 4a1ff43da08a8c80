#include "host/control/tablet_auth.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/control/protocol_handler.h"
#include "host/security/auth_transcript.h"
#include "host/security/key_agreement.h"
#include "host/security/secure_frame.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

namespace pb = protocol::v1;

#define SKIP_ECDH_UNDER_WINE() ORVANE_SKIP_UNDER_WINE("BCryptDeriveKey(RAW_SECRET) is a stub in Wine 8")

std::string Text(crypto::ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }

// The tablet's side of one connection: its ephemeral pair, the keys it
// derives from the HelloAck and the envelopes it opens and seals.
struct Tablet {
  std::string client_id = "tab-1";
  std::string name = "Tablet One";
  security::EphemeralKeyPair pair;
  crypto::Bytes key;  // the session key in use
  crypto::AesGcm cipher;
  uint64_t counter = 0;

  pb::ControlMessage Hello(uint32_t auth_version, const crypto::Bytes& credential) {
    EXPECT_TRUE(pair.Generate());
    counter = 0;
    key.clear();
    pb::ControlMessage message;
    pb::Hello* hello = message.mutable_hello();
    hello->set_client_id(client_id);
    hello->set_client_name(name);
    hello->set_app_version("1.3.5");
    hello->set_protocol_version(1);
    hello->set_auth_version(auth_version);
    hello->set_directional_control_nonce(true);
    hello->set_ephemeral_public_key(Text(pair.public_key()));
    if (auth_version < 2 && !credential.empty()) {
      crypto::Digest proof{};
      EXPECT_TRUE(security::ComputePairingProof(credential, client_id, pair.public_key(), &proof));
      hello->set_pairing_proof(std::string(proof.begin(), proof.end()));
    }
    return message;
  }

  std::string Seal(const pb::ControlMessage& message) {
    const std::string bytes = message.SerializeAsString();
    return Text(security::SealSecureFrame(cipher, key, security::kNonceControl, counter++, security::AsBytes(bytes)));
  }
};

crypto::Bytes CredentialFor(const std::string& code, const std::string& client_id) {
  crypto::Digest credential{};
  EXPECT_TRUE(security::DeriveDeviceCredential(code, client_id, &credential));
  return crypto::Bytes(credential.begin(), credential.end());
}

class TabletAuthTest : public ::testing::Test {
 protected:
  TabletAuthTest() {
    trust_ = std::make_shared<security::DeviceTrust>(clock_);
    trust_->SetDefaultFolder(temp_.path());
    trust_->SetPairingCodeManager(codes_);
    trust_->Load(temp_.path() / "trusted_devices.json");
    identity_ = std::make_shared<security::HostIdentity>();
    identity_->LoadOrCreate(temp_.path() / "host_identity.dat");
    auth_ = std::make_unique<TabletAuthenticator>(trust_, identity_);
    TabletAuthCallbacks callbacks;
    callbacks.pairing_code_requested = [this](const std::string& name, const std::string& code) {
      shown_.push_back(name + ":" + code);
    };
    callbacks.tablet_paired = [this](const std::string& name, size_t count) {
      paired_.push_back(name + ":" + std::to_string(count));
    };
    auth_->SetCallbacks(callbacks);
    auth_->Attach(handler_);
    handler_.SetFrameSender([this](const uint8_t* data, size_t length) {
      pb::ControlMessage message;
      security::SecureFrameView view;
      if (security::ParseSecureFrame(crypto::ByteView(data, length), &view)) {
        crypto::Bytes plain;
        EXPECT_TRUE(security::OpenAesGcm(host_cipher_, tablet_.key, security::kNonceControlHostDirectional,
                                         view.counter, view.payload, &plain))
            << "a sealed frame the tablet cannot open";
        EXPECT_TRUE(message.ParseFromArray(plain.data(), static_cast<int>(plain.size())));
      } else {
        EXPECT_TRUE(message.ParseFromArray(data, static_cast<int>(length)));
      }
      sent_.push_back(message);
      return true;
    });
  }

  // Delivers a plain or sealed frame the way the session does.
  void Deliver(const std::string& frame, bool encrypted) {
    handler_.HandleControlFrame(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), encrypted);
  }

  // Sends the tablet's Hello and takes the keys from the answer.
  pb::HelloAck SayHello(uint32_t auth_version, const crypto::Bytes& credential = {}) {
    sent_.clear();
    Deliver(tablet_.Hello(auth_version, credential).SerializeAsString(), false);
    EXPECT_FALSE(sent_.empty());
    if (sent_.empty()) return {};
    const pb::HelloAck ack = sent_.back().hello_ack();
    const std::string& host_key = ack.ephemeral_public_key();
    if (auth_version >= 2 && ack.result() == pb::AUTH_RESULT_OK) {
      hash_ = security::AuthTranscriptHash(tablet_.client_id, tablet_.pair.public_key(), security::AsBytes(host_key),
                                           security::AsBytes(ack.host_identity_public_key()));
      tablet_.key = security::DeriveAuthV2SessionKey(tablet_.pair.key(), security::AsBytes(host_key), hash_);
    } else if (host_key.size() == 64) {
      tablet_.key = security::DeriveSessionKey(tablet_.pair.key(), security::AsBytes(host_key), {}, false);
    }
    return ack;
  }

  pb::ControlMessage ProofMessage(const crypto::Bytes& credential) {
    pb::ControlMessage message;
    crypto::Digest proof{};
    EXPECT_TRUE(security::ComputePairingProof(credential, tablet_.client_id, security::AuthProofChallenge(hash_),
                                              &proof));
    message.mutable_auth_proof()->set_proof(std::string(proof.begin(), proof.end()));
    return message;
  }

  testing::ScopedTempDir temp_;
  testing::ScopedEnv config_{"XDG_CONFIG_HOME", temp_.path().string()};
  ManualClock clock_;
  testing::LogCapture log_;
  std::shared_ptr<security::PairingCodeManager> codes_ = std::make_shared<security::PairingCodeManager>();
  std::shared_ptr<security::DeviceTrust> trust_;
  std::shared_ptr<security::HostIdentity> identity_;
  std::unique_ptr<TabletAuthenticator> auth_;
  ProtocolHandler handler_{clock_};
  crypto::AesGcm host_cipher_;
  Tablet tablet_;
  crypto::Bytes hash_;
  std::vector<pb::ControlMessage> sent_;
  std::vector<std::string> shown_;
  std::vector<std::string> paired_;
};

TEST_F(TabletAuthTest, AuthV1PairsWithTheCodeAndReconnectsAsATrustedDevice) {
  SKIP_ECDH_UNDER_WINE();
  // Unknown tablet: the code is shown on the PC, never sent.
  pb::HelloAck ack = SayHello(1);
  EXPECT_EQ(ack.result(), pb::AUTH_RESULT_PAIRING_REQUIRED);
  ASSERT_EQ(shown_.size(), 1u);
  const std::string code = shown_[0].substr(shown_[0].find(':') + 1);
  ASSERT_EQ(code.size(), 6u);
  EXPECT_EQ(shown_[0], "Tablet One:" + code);
  EXPECT_TRUE(ack.pairing_code().empty());
  EXPECT_TRUE(log_.Contains("[WARN ] [Protocol] Device credential missing or invalid; pairing required"));
  EXPECT_FALSE(handler_.IsAuthenticated());

  // The user typed the code on the tablet.
  const crypto::Bytes credential = CredentialFor(code, tablet_.client_id);
  ack = SayHello(1, credential);
  EXPECT_EQ(ack.result(), pb::AUTH_RESULT_OK);
  EXPECT_TRUE(handler_.IsAuthenticated());
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Device credential verified"));
  EXPECT_EQ(paired_, (std::vector<std::string>{"Tablet One:1"}));
  EXPECT_EQ(trust_->Count(), 1u);

  // The next connection proves the stored credential: no code, no pairing.
  handler_.Reset();
  shown_.clear();
  ack = SayHello(1, credential);
  EXPECT_EQ(ack.result(), pb::AUTH_RESULT_OK);
  EXPECT_TRUE(shown_.empty());
  EXPECT_EQ(paired_.size(), 1u);

  // And its envelopes work both ways.
  sent_.clear();
  pb::ControlMessage ping;
  ping.mutable_ping()->set_send_timestamp_us(4);
  Deliver(ping.SerializeAsString(), true);
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].pong().ping_timestamp_us(), 4u);
}

TEST_F(TabletAuthTest, AuthV1RefusesAReplayedHello) {
  SKIP_ECDH_UNDER_WINE();
  const std::string code = codes_->CurrentCode(clock_.TickMs() * 1'000'000ull);
  const crypto::Bytes credential = CredentialFor(code, tablet_.client_id);
  const pb::ControlMessage hello = tablet_.Hello(1, credential);
  Deliver(hello.SerializeAsString(), false);
  ASSERT_EQ(sent_.back().hello_ack().result(), pb::AUTH_RESULT_OK);

  // Someone who captured that Hello sends it again (on another slot, too).
  ProtocolHandler other{clock_};
  auth_->Attach(other);
  std::vector<pb::ControlMessage> other_sent;
  other.SetFrameSender([&](const uint8_t* data, size_t length) {
    pb::ControlMessage message;
    EXPECT_TRUE(message.ParseFromArray(data, static_cast<int>(length)));
    other_sent.push_back(message);
    return true;
  });
  const std::string bytes = hello.SerializeAsString();
  other.HandleControlFrame(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), false);
  ASSERT_EQ(other_sent.size(), 1u);
  EXPECT_NE(other_sent[0].hello_ack().result(), pb::AUTH_RESULT_OK);
  EXPECT_FALSE(other.IsAuthenticated());
  EXPECT_TRUE(log_.Contains("(replayed Hello)"));
  EXPECT_EQ(codes_->WrongAttempts(), 0u) << "a replay spends no pairing attempt";
}

TEST_F(TabletAuthTest, AuthV1WrongProofSpendsAnAttempt) {
  SKIP_ECDH_UNDER_WINE();
  codes_->CurrentCode(clock_.TickMs() * 1'000'000ull);
  const pb::HelloAck ack = SayHello(1, crypto::Bytes(32, 0x42));
  EXPECT_EQ(ack.result(), pb::AUTH_RESULT_PAIRING_REQUIRED);
  EXPECT_EQ(codes_->WrongAttempts(), 1u);
  EXPECT_FALSE(handler_.IsAuthenticated());
}

TEST_F(TabletAuthTest, AuthV2SignsTheTranscriptAndTakesTheProofOnlyEncrypted) {
  SKIP_ECDH_UNDER_WINE();
  ASSERT_TRUE(identity_->Available());
  const std::string code = codes_->CurrentCode(clock_.TickMs() * 1'000'000ull);
  const pb::HelloAck ack = SayHello(2);
  ASSERT_EQ(ack.result(), pb::AUTH_RESULT_OK);
  EXPECT_EQ(ack.auth_version(), 2u);
  EXPECT_EQ(ack.host_identity_public_key(), Text(identity_->PublicKey()));
  ASSERT_EQ(ack.host_signature().size(), 64u);
  EXPECT_TRUE(crypto::EcdsaP256VerifyDigest(identity_->PublicKey(), hash_, security::AsBytes(ack.host_signature())));
  EXPECT_EQ(handler_.Keys().ActiveKey(), tablet_.key);
  EXPECT_FALSE(handler_.Keys().HasCompatKey());
  EXPECT_TRUE(handler_.AuthV2Pending());
  EXPECT_FALSE(handler_.IsAuthenticated());
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Auth v2 session key derived (32 bytes"));

  // A plain proof is ignored and the handshake stays pending.
  const crypto::Bytes credential = CredentialFor(code, tablet_.client_id);
  sent_.clear();
  Deliver(ProofMessage(credential).SerializeAsString(), false);
  EXPECT_TRUE(sent_.empty());
  EXPECT_TRUE(log_.Contains("[WARN ] [Protocol] AuthProof ignored: it must arrive encrypted under the handshake key"));
  EXPECT_TRUE(handler_.AuthV2Pending());

  // The encrypted one authenticates; AuthStatus leaves sealed.
  Deliver(ProofMessage(credential).SerializeAsString(), true);
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].auth_status().result(), pb::AUTH_RESULT_OK);
  EXPECT_TRUE(handler_.IsAuthenticated());
  EXPECT_TRUE(log_.Contains("[INFO ] [Protocol] Auth v2 device credential verified"));
  EXPECT_EQ(paired_, (std::vector<std::string>{"Tablet One:1"}));

  // Later proofs find no handshake.
  Deliver(ProofMessage(credential).SerializeAsString(), true);
  EXPECT_TRUE(log_.Contains("[WARN ] [Protocol] AuthProof ignored: no auth v2 handshake is pending"));
}

TEST_F(TabletAuthTest, AuthV2WrongProofEndsTheHandshake) {
  SKIP_ECDH_UNDER_WINE();
  codes_->CurrentCode(clock_.TickMs() * 1'000'000ull);
  ASSERT_EQ(SayHello(2).result(), pb::AUTH_RESULT_OK);
  sent_.clear();
  Deliver(ProofMessage(crypto::Bytes(32, 0x42)).SerializeAsString(), true);
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].auth_status().result(), pb::AUTH_RESULT_PAIRING_REQUIRED);
  EXPECT_TRUE(log_.Contains("[WARN ] [Protocol] Auth v2 credential missing or invalid; pairing required"));
  EXPECT_FALSE(handler_.IsAuthenticated());
  EXPECT_FALSE(handler_.AuthV2Pending());
  // Without a pending handshake a proof is one more message before
  // authentication (rate-limited like every such line).
  sent_.clear();
  Deliver(ProofMessage(crypto::Bytes(32, 0x42)).SerializeAsString(), true);
  EXPECT_TRUE(sent_.empty());
  EXPECT_TRUE(log_.Contains("[WARN ] [Protocol] Ignoring control message type=" +
                            std::to_string(static_cast<int>(pb::ControlMessage::kAuthProof)) +
                            " before authentication"));
  EXPECT_EQ(codes_->WrongAttempts(), 1u);
}

TEST_F(TabletAuthTest, AuthV2WithoutAnIdentityIsRefused) {
  TabletAuthenticator without(trust_, nullptr);
  EXPECT_TRUE(log_.Contains("[ERROR] [Protocol] Host identity unavailable; auth v2 clients will be rejected"));
  security::ControlKeyState keys(clock_);
  pb::Hello hello = tablet_.Hello(2, {}).hello();
  ASSERT_TRUE(keys.StartHandshake(hello).usable);
  const HelloAuthDecision decision = without.AuthenticateHello(hello, keys);
  EXPECT_EQ(decision.result, pb::AUTH_RESULT_REJECTED);
  EXPECT_FALSE(keys.HasActiveKey());
  EXPECT_TRUE(log_.Contains("[ERROR] [Protocol] Auth v2 Hello rejected: host identity is unavailable"));
}

}  // namespace
}  // namespace orvane
