// The tablet's proofs against the host's own verifier, the check of the
// host's signed transcript, and the pinning of the host identity.

#include "tools/tablet_sim/sim_auth.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/common/clock.h"
#include "host/security/auth_transcript.h"
#include "host/security/crypto.h"
#include "host/security/device_trust.h"
#include "host/security/pairing_code.h"

namespace orvane::sim {
namespace {

Bytes Filled(size_t n, uint8_t value) { return Bytes(n, value); }

// A trust store in memory with a predictable pairing code ("000001").
struct HostTrust {
  ManualClock clock;
  security::DeviceTrust trust{clock};
  HostTrust() {
    uint32_t draws = 0;
    trust.SetPairingCodeManager(std::make_shared<security::PairingCodeManager>([draws](uint32_t* v) mutable {
      *v = ++draws;
      return true;
    }));
  }
};

TEST(SimAuth, ProofsVerifyWithTheHostsTrustStore) {
  const std::string id = "tab-\xC3\xA9";
  const Bytes hello_key = Filled(64, 0x5A);
  const Bytes transcript_hash = Filled(32, 0x33);
  struct Case {
    const char* name;
    int auth_version;
    bool trusted;  // the store holds the tablet's credential; else it pairs by code
  };
  const Case cases[] = {
      {"v1 by code", 1, false},
      {"v1 trusted", 1, true},
      {"v2 by code", 2, false},
      {"v2 trusted", 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostTrust host;
    Bytes credential;
    if (c.trusted) {
      ASSERT_TRUE(CredentialFromCode("424242", id, &credential));
      ASSERT_TRUE(host.trust.TrustDevice(id, "Tablet", credential));
    } else {
      const std::string code = host.trust.PairingCodeForPrompt();
      ASSERT_EQ(code, "000001");
      ASSERT_TRUE(CredentialFromCode(code, id, &credential));
    }
    crypto::Digest expected_credential{};
    ASSERT_TRUE(security::DeriveDeviceCredential(c.trusted ? "424242" : "000001", id, &expected_credential));
    EXPECT_EQ(credential, Bytes(expected_credential.begin(), expected_credential.end()));

    // The challenge the host checks: the Hello's key, or the label and H.
    Bytes proof;
    Bytes challenge;
    if (c.auth_version == 1) {
      ASSERT_TRUE(BuildHelloProof(credential, id, hello_key, &proof));
      challenge = hello_key;
    } else {
      ASSERT_TRUE(BuildAuthProofV2(credential, id, transcript_hash, &proof));
      challenge = security::AuthProofChallenge(transcript_hash);
      ASSERT_EQ(challenge.size(), 47u);
    }
    crypto::Digest host_proof{};
    ASSERT_TRUE(security::ComputePairingProof(credential, id, challenge, &host_proof));
    EXPECT_EQ(proof, Bytes(host_proof.begin(), host_proof.end()));

    // The same proof for another key or transcript does not verify; it
    // spends an attempt of the code, so it goes first only for the trusted.
    if (c.trusted) {
      const Bytes other = c.auth_version == 1 ? Filled(64, 0x5B) : security::AuthProofChallenge(Filled(32, 0x34));
      EXPECT_FALSE(host.trust.VerifyPairingProof(proof, id, other).verified);
    }
    const security::PairingProofResult verified = host.trust.VerifyPairingProof(proof, id, challenge);
    EXPECT_TRUE(verified.verified);
    // Pairing by code issues the credential the tablet then stores.
    EXPECT_EQ(verified.new_credential, c.trusted ? Bytes() : credential);
  }
}

TEST(SimAuth, RefusesToBuildFromMalformedInput) {
  Bytes out = Filled(3, 1);
  EXPECT_FALSE(CredentialFromCode("12345", "tab", &out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(CredentialFromCode("12345a", "tab", &out));
  EXPECT_FALSE(CredentialFromCode("1234567", "tab", &out));
  EXPECT_FALSE(IsPairingCodeText("\xD9\xA1" "2345"));  // a non-ASCII digit
  EXPECT_TRUE(IsPairingCodeText("000000"));

  const Bytes credential = Filled(32, 7);
  EXPECT_FALSE(BuildHelloProof(Filled(31, 7), "tab", Filled(64, 1), &out));
  EXPECT_FALSE(BuildHelloProof(credential, "tab", Filled(65, 1), &out));
  EXPECT_FALSE(BuildAuthProofV2(credential, "tab", Filled(31, 1), &out));
  EXPECT_FALSE(BuildAuthProofV2(Bytes(), "tab", Filled(32, 1), &out));
  EXPECT_TRUE(out.empty());
}

TEST(SimAuth, ChecksTheHostsSignatureOverTheTranscript) {
  crypto::EcdsaP256Key identity;
  crypto::EcdsaP256Key impostor;
  ASSERT_TRUE(identity.Generate());
  ASSERT_TRUE(impostor.Generate());
  const std::string id = "tab-a";
  const Bytes tablet_key = Filled(64, 0x11);
  const Bytes host_key = Filled(64, 0x22);
  const Bytes hash = security::AuthTranscriptHash(id, tablet_key, host_key, identity.public_key());
  ASSERT_EQ(hash.size(), 32u);
  const Bytes good = identity.SignDigest(hash);
  ASSERT_EQ(good.size(), 64u);
  Bytes flipped = good;
  flipped[40] ^= 0x01;
  Bytes bad_prefix = identity.public_key();
  bad_prefix[0] = 0x05;

  struct Case {
    const char* name;
    std::string client_id;
    Bytes host_key;
    Bytes identity;
    Bytes signature;
    HostProofCheck expected;
  };
  const Case cases[] = {
      {"verified", id, host_key, identity.public_key(), good, HostProofCheck::kVerified},
      {"another client_id", "tab-b", host_key, identity.public_key(), good, HostProofCheck::kMismatch},
      {"another host key", id, Filled(64, 0x23), identity.public_key(), good, HostProofCheck::kMismatch},
      {"a flipped bit", id, host_key, identity.public_key(), flipped, HostProofCheck::kMismatch},
      {"an impostor's key", id, host_key, impostor.public_key(), good, HostProofCheck::kMismatch},
      {"short host key", id, Filled(63, 0x22), identity.public_key(), good, HostProofCheck::kBadHostKey},
      {"no identity", id, host_key, Bytes(), good, HostProofCheck::kBadIdentity},
      {"compressed identity", id, host_key, bad_prefix, good, HostProofCheck::kBadIdentity},
      {"DER-length signature", id, host_key, identity.public_key(), Filled(70, 0x30), HostProofCheck::kBadSignature},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes got = Filled(5, 9);
    EXPECT_EQ(CheckHostProof(c.client_id, tablet_key, c.host_key, c.identity, c.signature, &got), c.expected);
    EXPECT_EQ(got, c.expected == HostProofCheck::kVerified ? hash : Bytes());
  }
  EXPECT_STREQ(HostProofCheckName(HostProofCheck::kMismatch), "mismatch");
}

TEST(SimAuth, PinsTheHostIdentity) {
  const Bytes seen = Filled(65, 0x04);
  Bytes other = seen;
  other[64] = 0x05;
  struct Case {
    const char* name;
    Bytes remembered;
    Bytes presented;
    bool accept_new;
    IdentityPin expected;
  };
  const Case cases[] = {
      {"first sight", Bytes(), seen, false, IdentityPin::kFirstSight},
      {"same", seen, seen, false, IdentityPin::kSame},
      {"same, accepting", seen, seen, true, IdentityPin::kSame},
      {"changed", seen, other, false, IdentityPin::kChangedRefused},
      {"changed, accepted", seen, other, true, IdentityPin::kChangedAccepted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CheckIdentityPin(c.remembered, c.presented, c.accept_new), c.expected);
  }
  EXPECT_STREQ(IdentityPinName(IdentityPin::kChangedRefused), "changed-refused");
}

}  // namespace
}  // namespace orvane::sim
