// Known answers from an independent implementation (testdata/make_vectors.py)
// for HKDF, the session keys of both authentication versions and of a key
// rotation, the secure frame of every nonce prefix, the pairing credential
// and proofs, the authentication transcript, and identity signatures in both
// directions (the generator's verified by the host, the host's of every build
// verified by the generator). A tablet built on another library must agree
// with the host byte for byte; these vectors pin that agreement.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "host/common/clock.h"
#include "host/common/file_io.h"
#include "host/common/platform_info.h"
#include "host/security/auth_transcript.h"
#include "host/security/crypto.h"
#include "host/security/device_trust.h"
#include "host/security/host_identity.h"
#include "host/security/key_agreement.h"
#include "host/security/pairing_code.h"
#include "host/security/secure_frame.h"
#include "host/security/testdata/key_vectors.inc"
#include "tests/support/test_support.h"

namespace orvane::security {
namespace {

namespace kv = key_vectors;

#define SKIP_ECDH_DERIVE_UNDER_WINE() ORVANE_SKIP_UNDER_WINE("BCryptDeriveKey(RAW_SECRET) is a stub in Wine 8")

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The vectors are generated, so a malformed one is a broken generator: fail
// loudly rather than compare against a truncated value.
Bytes Hex(std::string_view hex) {
  Bytes out;
  EXPECT_EQ(hex.size() % 2, 0u) << hex;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    const int hi = HexDigit(hex[i]);
    const int lo = HexDigit(hex[i + 1]);
    EXPECT_TRUE(hi >= 0 && lo >= 0) << hex;
    out.push_back(static_cast<uint8_t>((hi << 4) | (lo & 0x0F)));
  }
  return out;
}

// Lower-case hex, so mismatches print in the vectors' own form.
std::string ToHex(ByteView bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const uint8_t b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0x0F]);
  }
  return text;
}

Bytes Reversed(Bytes bytes) {
  std::reverse(bytes.begin(), bytes.end());
  return bytes;
}

Bytes Uncompressed(std::string_view public64_hex) {
  Bytes point{crypto::kP256UncompressedPrefix};
  const Bytes xy = Hex(public64_hex);
  point.insert(point.end(), xy.begin(), xy.end());
  return point;
}

TEST(KeyVectorsTest, HkdfMatchesIndependentVectors) {
  for (const kv::HkdfVector& v : kv::kHkdf) {
    SCOPED_TRACE(v.name);
    EXPECT_EQ(ToHex(HkdfSha256(Hex(v.ikm), Hex(v.salt), Hex(v.info), v.length)), v.okm);
  }
}

TEST(KeyVectorsTest, HkdfLongestOutputAndLengthBounds) {
  const Bytes ikm = Hex(kv::kHkdfLong.ikm);
  const Bytes info = Hex(kv::kHkdfLong.info);
  ASSERT_EQ(kv::kHkdfLong.length, kHkdfMaxLength);
  const Bytes okm = HkdfSha256(ikm, {}, info, kv::kHkdfLong.length);
  ASSERT_EQ(okm.size(), kv::kHkdfLong.length);
  EXPECT_EQ(ToHex(ByteView(okm).first(32)), kv::kHkdfLong.first32);
  EXPECT_EQ(ToHex(ByteView(okm).last(32)), kv::kHkdfLong.last32);
  EXPECT_EQ(ToHex(crypto::Sha256(okm)), kv::kHkdfLong.sha256);
  // One block more than 255, or nothing at all, is refused.
  EXPECT_TRUE(HkdfSha256(ikm, {}, info, kHkdfMaxLength + 1).empty());
  EXPECT_TRUE(HkdfSha256(ikm, {}, info, 0).empty());
}

// The HKDF half of every session key, from the raw secret the vectors carry:
// pins the byte order of the secret and the salts without ECDH, so it also
// runs where secret agreement is unavailable.
TEST(KeyVectorsTest, SessionKeysFromRawSecret) {
  const Bytes raw = Hex(kv::kSession.raw_secret);
  const Bytes rotation_raw = Hex(kv::kSession.rotation_raw);
  const Bytes active = Hex(kv::kSession.active);
  struct Case {
    const char* name;
    Bytes ikm;
    Bytes salt;
    const char* key;
  };
  const Case cases[] = {
      {"auth v1 active (least significant byte first)", Reversed(raw), {}, kv::kSession.active},
      {"auth v1 compatibility (most significant byte first)", raw, {}, kv::kSession.compat},
      {"auth v2 (transcript hash as salt)", raw, Hex(kv::kSession.transcript), kv::kSession.auth_v2},
      {"rotation active (previous key as salt)", Reversed(rotation_raw), active, kv::kSession.rotated_active},
      {"rotation compatibility", rotation_raw, active, kv::kSession.rotated_compat},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ToHex(HkdfSha256(c.ikm, c.salt, AsBytes(kSessionKeyInfo), kSessionKeyBytes)), c.key);
  }
}

TEST(KeyVectorsTest, FixedKeyPairsImport) {
  const kv::KeyPairVector* pairs[] = {&kv::kHostPair, &kv::kTabletPair, &kv::kRotationHostPair,
                                      &kv::kRotationTabletPair};
  for (const kv::KeyPairVector* v : pairs) {
    SCOPED_TRACE(v->public64);
    EphemeralKeyPair pair;
    ASSERT_TRUE(pair.Import(Hex(v->scalar), Hex(v->public64)));
    EXPECT_TRUE(pair.valid());
    EXPECT_EQ(ToHex(pair.public_key()), v->public64);
    EXPECT_EQ(ToHex(pair.key().public_key()), "04" + std::string(v->public64));
  }
}

// The raw secret through the crypto seam, which takes 65-byte points and
// returns X most significant byte first; ECDH is symmetric, so both sides
// of both agreements give the same bytes.
TEST(KeyVectorsTest, SharedSecretsThroughCryptoSeam) {
  SKIP_ECDH_DERIVE_UNDER_WINE();
  struct Case {
    const char* name;
    const kv::KeyPairVector& own;
    const kv::KeyPairVector& peer;
    const char* raw;
  };
  const Case cases[] = {
      {"host with tablet", kv::kHostPair, kv::kTabletPair, kv::kSession.raw_secret},
      {"tablet with host", kv::kTabletPair, kv::kHostPair, kv::kSession.raw_secret},
      {"rotation host with tablet", kv::kRotationHostPair, kv::kRotationTabletPair, kv::kSession.rotation_raw},
      {"rotation tablet with host", kv::kRotationTabletPair, kv::kRotationHostPair, kv::kSession.rotation_raw},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    crypto::EcdhP256KeyPair own;
    ASSERT_TRUE(own.Import(Hex(c.own.scalar), Uncompressed(c.own.public64)));
    Bytes raw = own.DeriveSharedSecret(Uncompressed(c.peer.public64));
    EXPECT_EQ(ToHex(raw), c.raw);
    crypto::SecureWipe(raw);
  }
}

// Every session key through DeriveSessionKey, computed by the host (its
// private key, the tablet's public key) and by the tablet (the reverse).
TEST(KeyVectorsTest, DeriveSessionKeyOnBothSides) {
  SKIP_ECDH_DERIVE_UNDER_WINE();
  const Bytes no_salt;
  const Bytes transcript = Hex(kv::kSession.transcript);
  const Bytes active = Hex(kv::kSession.active);
  struct Case {
    const char* name;
    const kv::KeyPairVector& own;
    const kv::KeyPairVector& peer;
    const Bytes& salt;
    bool p256_reverse;
    const char* key;
  };
  const Case cases[] = {
      {"host: auth v1 active", kv::kHostPair, kv::kTabletPair, no_salt, false, kv::kSession.active},
      {"tablet: auth v1 active", kv::kTabletPair, kv::kHostPair, no_salt, false, kv::kSession.active},
      {"host: auth v1 compatibility", kv::kHostPair, kv::kTabletPair, no_salt, true, kv::kSession.compat},
      {"tablet: auth v1 compatibility", kv::kTabletPair, kv::kHostPair, no_salt, true, kv::kSession.compat},
      {"host: auth v2", kv::kHostPair, kv::kTabletPair, transcript, true, kv::kSession.auth_v2},
      {"tablet: auth v2", kv::kTabletPair, kv::kHostPair, transcript, true, kv::kSession.auth_v2},
      {"host R with tablet K: rotated active", kv::kRotationHostPair, kv::kRotationTabletPair, active, false,
       kv::kSession.rotated_active},
      {"tablet K with host R: rotated active", kv::kRotationTabletPair, kv::kRotationHostPair, active, false,
       kv::kSession.rotated_active},
      {"host R with tablet K: rotated compatibility", kv::kRotationHostPair, kv::kRotationTabletPair, active, true,
       kv::kSession.rotated_compat},
      {"tablet K with host R: rotated compatibility", kv::kRotationTabletPair, kv::kRotationHostPair, active, true,
       kv::kSession.rotated_compat},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EphemeralKeyPair own;
    ASSERT_TRUE(own.Import(Hex(c.own.scalar), Hex(c.own.public64)));
    EXPECT_EQ(ToHex(DeriveSessionKey(own.key(), Hex(c.peer.public64), c.salt, c.p256_reverse)), c.key);
  }
}

TEST(KeyVectorsTest, DeriveAuthV2SessionKeyOnBothSides) {
  SKIP_ECDH_DERIVE_UNDER_WINE();
  const Bytes transcript = Hex(kv::kSession.transcript);
  struct Case {
    const char* name;
    const kv::KeyPairVector& own;
    const kv::KeyPairVector& peer;
  };
  const Case cases[] = {
      {"host", kv::kHostPair, kv::kTabletPair},
      {"tablet", kv::kTabletPair, kv::kHostPair},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EphemeralKeyPair own;
    ASSERT_TRUE(own.Import(Hex(c.own.scalar), Hex(c.own.public64)));
    const Bytes peer = Hex(c.peer.public64);
    EXPECT_EQ(ToHex(DeriveAuthV2SessionKey(own.key(), peer, transcript)), kv::kSession.auth_v2);
    // Only a 32-byte transcript hash is a salt for this derivation.
    EXPECT_TRUE(DeriveAuthV2SessionKey(own.key(), peer, ByteView(transcript).first(31)).empty());
  }
}

TEST(KeyVectorsTest, SecureFramesMatchIndependentVectors) {
  // The nonce prefixes the frames were sealed with.
  EXPECT_EQ(kNonceControlHostDirectional, 0x40000001u);
  EXPECT_EQ(kNonceControl, 0x00000001u);
  EXPECT_EQ(kNonceMedia, 0x00000002u);
  EXPECT_EQ(kNonceInput, 0x00000003u);
  EXPECT_EQ(ToHex(BuildNonce(kNonceControlHostDirectional, 0x0102030405060708ull)), "400000010102030405060708");

  const Bytes key = Hex(kv::kFrameKey);
  // Only the first 16 bytes are the cipher key: another tail seals the same.
  Bytes other_tail = key;
  std::fill(other_tail.begin() + kEnvelopeKeyBytes, other_tail.end(), uint8_t{0xA5});
  crypto::AesGcm context;
  for (size_t i = 0; i < std::size(kv::kFrames); ++i) {
    const kv::FrameVector& v = kv::kFrames[i];
    SCOPED_TRACE(std::string(v.name) + " counter " + std::to_string(v.counter));
    const Bytes plaintext = Hex(v.plaintext);
    const Bytes expected = Hex(v.frame);
    ASSERT_EQ(expected.size(), kSecureFrameOverheadBytes + plaintext.size());

    EXPECT_EQ(ToHex(SealSecureFrame(context, key, v.prefix, v.counter, plaintext)), v.frame);
    EXPECT_EQ(ToHex(SealSecureFrame(context, other_tail, v.prefix, v.counter, plaintext)), v.frame);
    EXPECT_EQ(ToHex(SealAesGcm(context, key, v.prefix, v.counter, plaintext)),
              ToHex(ByteView(expected).subspan(kSecureFrameHeaderBytes)));

    SecureFrameView view;
    ASSERT_TRUE(ParseSecureFrame(expected, &view));
    EXPECT_TRUE(view.encrypted());
    EXPECT_EQ(view.flags, kSecureFrameEncryptedFlag);
    EXPECT_EQ(view.counter, v.counter);
    Bytes opened;
    ASSERT_TRUE(OpenAesGcm(context, key, v.prefix, view.counter, view.payload, &opened));
    EXPECT_EQ(ToHex(opened), v.plaintext);

    // The prefix is bound through the nonce and the tag covers the ciphertext.
    const uint32_t other_prefix = kv::kFrames[(i + 2) % std::size(kv::kFrames)].prefix;
    ASSERT_NE(other_prefix, v.prefix);
    // An empty plaintext included: the tag alone must still verify.
    EXPECT_FALSE(OpenAesGcm(context, key, other_prefix, view.counter, view.payload, &opened))
        << "opened under another nonce prefix";
    Bytes tampered(view.payload.begin(), view.payload.end());
    tampered.back() ^= 0x01;
    EXPECT_FALSE(OpenAesGcm(context, key, v.prefix, view.counter, tampered, &opened)) << "opened with a forged tag";
    EXPECT_TRUE(opened.empty());
  }
}

TEST(KeyVectorsTest, FingerprintsAndHexPrefixes) {
  EXPECT_EQ(KeyFingerprint(std::string_view("abc")), kv::kFingerprintAbc);
  EXPECT_EQ(KeyFingerprint(AsBytes("abc")), kv::kFingerprintAbc);
  EXPECT_EQ(KeyFingerprint(Hex(kv::kSession.active)), kv::kSession.active_fp);
  EXPECT_EQ(KeyFingerprintOrNone(Hex(kv::kSession.compat)), kv::kSession.compat_fp);
  EXPECT_EQ(KeyFingerprintOrNone(Bytes{}), "none");

  const Bytes frame = Hex(kv::kFrames[1].frame);
  std::string upper(kv::kFrames[1].frame);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](char c) { return static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c); });
  struct Case {
    size_t n;
    std::string text;
  };
  const Case cases[] = {
      {4, "4F564431"},
      {13, upper.substr(0, 24)},  // at most 12 bytes
      {1000, upper.substr(0, 24)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    EXPECT_EQ(HexPrefix(frame, c.n), c.text);
  }
  EXPECT_EQ(HexPrefix(Bytes{}, 4), "none");
}

TEST(KeyVectorsTest, PairingCredentialAndProofs) {
  const std::string_view client_id = kv::kPairing.client_id;
  crypto::Digest credential{};
  ASSERT_TRUE(DeriveDeviceCredential(kv::kPairing.code, client_id, &credential));
  EXPECT_EQ(ToHex(credential), kv::kPairing.credential);

  const Bytes v2_challenge = AuthProofChallenge(Hex(kv::kAuthV2.transcript_hash));
  EXPECT_EQ(ToHex(v2_challenge), kv::kAuthV2.proof_challenge);
  // Only a 32-byte hash makes a challenge.
  EXPECT_TRUE(AuthProofChallenge(ByteView(Hex(kv::kAuthV2.transcript_hash)).first(31)).empty());

  struct Case {
    const char* name;
    Bytes challenge;
    const char* proof;
  };
  const Case cases[] = {
      {"pairing challenge", Hex(kv::kPairing.challenge), kv::kPairing.proof},
      {"auth v2 challenge", v2_challenge, kv::kAuthV2.proof},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    crypto::Digest proof{};
    ASSERT_TRUE(ComputePairingProof(credential, client_id, c.challenge, &proof));
    EXPECT_EQ(ToHex(proof), c.proof);
  }
}

// The store itself accepts the independent proofs: first against the code
// shown on the PC, then against the credential that pairing produced.
TEST(KeyVectorsTest, DeviceTrustAcceptsIndependentProofs) {
  ManualClock clock;
  const std::string_view client_id = kv::kPairing.client_id;
  DeviceTrust trust(clock);
  trust.SetPairingCodeManager(std::make_shared<PairingCodeManager>([](uint32_t* value) {
    *value = 123456;
    return true;
  }));
  ASSERT_EQ(trust.PairingCodeForPrompt(), kv::kPairing.code);

  const Bytes challenge = Hex(kv::kPairing.challenge);
  Bytes wrong = Hex(kv::kPairing.proof);
  wrong[0] ^= 0x01;
  EXPECT_FALSE(trust.VerifyPairingProof(wrong, client_id, challenge).verified);

  const PairingProofResult paired = trust.VerifyPairingProof(Hex(kv::kPairing.proof), client_id, challenge);
  ASSERT_TRUE(paired.verified);
  EXPECT_EQ(ToHex(paired.new_credential), kv::kPairing.credential);
  ASSERT_TRUE(trust.TrustDevice(client_id, "Tablet", paired.new_credential));

  const PairingProofResult known =
      trust.VerifyPairingProof(Hex(kv::kAuthV2.proof), client_id, Hex(kv::kAuthV2.proof_challenge));
  EXPECT_TRUE(known.verified);
  EXPECT_TRUE(known.new_credential.empty());
}

TEST(KeyVectorsTest, AuthTranscriptAndHash) {
  const Bytes tablet = Hex(kv::kTabletPair.public64);
  const Bytes host = Hex(kv::kHostPair.public64);
  const Bytes identity = Hex(kv::kIdentity.public65);
  const Bytes transcript = BuildAuthTranscript(kv::kPairing.client_id, tablet, host, identity);
  EXPECT_EQ(transcript.size(), 223u);
  EXPECT_EQ(ToHex(transcript), kv::kAuthV2.transcript);
  EXPECT_EQ(ToHex(AuthTranscriptHash(kv::kPairing.client_id, tablet, host, identity)), kv::kAuthV2.transcript_hash);
}

TEST(KeyVectorsTest, IdentityKeyBlobAndFingerprint) {
  const Bytes scalar = Hex(kv::kIdentity.scalar);
  const Bytes public65 = Hex(kv::kIdentity.public65);
  crypto::EcdsaP256Key key;
  ASSERT_TRUE(key.Import(scalar, public65)) << key.last_result().ToString();
  EXPECT_EQ(ToHex(key.public_key()), kv::kIdentity.public65);
  Bytes exported = key.ExportPrivateKey();
  EXPECT_EQ(ToHex(exported), kv::kIdentity.scalar);
  crypto::SecureWipe(exported);

  Bytes blob = BuildIdentityPrivateBlob(public65, scalar);
  EXPECT_EQ(ToHex(blob), kv::kIdentity.private_blob);
  Bytes parsed_public;
  Bytes parsed_private;
  ASSERT_TRUE(ParseIdentityPrivateBlob(Hex(kv::kIdentity.private_blob), &parsed_public, &parsed_private));
  EXPECT_EQ(ToHex(parsed_public), kv::kIdentity.public65);
  EXPECT_EQ(ToHex(parsed_private), kv::kIdentity.scalar);
  crypto::SecureWipe(parsed_private);
  crypto::SecureWipe(blob);

  EXPECT_EQ(IdentityFingerprint(public65), kv::kIdentity.fingerprint);
}

// host_identity.dat holding the vector's blob (the protection replaced by a
// pass-through) loads to the same key, and what it signs verifies.
TEST(KeyVectorsTest, HostIdentityLoadsFixedKey) {
  orvane::testing::ScopedTempDir dir;
  const auto path = dir.path() / kHostIdentityFileName;
  const Bytes blob = Hex(kv::kIdentity.private_blob);
  std::string file(kHostIdentityHeader, kHostIdentityHeaderBytes);
  file.append(blob.begin(), blob.end());
  ASSERT_TRUE(SafeReplaceFile(path, file));

  HostIdentity::Environment env;
  env.unprotect = [](ByteView in, std::string_view label, Bytes* out, HostResult*) {
    EXPECT_EQ(label, kHostIdentityEntropy);
    out->assign(in.begin(), in.end());
    return true;
  };
  HostIdentity identity(env);
  ASSERT_TRUE(identity.LoadOrCreate(path));
  EXPECT_EQ(identity.origin(), HostIdentityOrigin::kLoaded);
  EXPECT_EQ(ToHex(identity.PublicKey()), kv::kIdentity.public65);
  EXPECT_EQ(identity.Fingerprint(), kv::kIdentity.fingerprint);
  const Bytes hash = Hex(kv::kAuthV2.transcript_hash);
  const Bytes signature = identity.Sign(hash);
  ASSERT_EQ(signature.size(), crypto::kEcdsaP256SignatureBytes);
  EXPECT_TRUE(crypto::EcdsaP256VerifyDigest(identity.PublicKey(), hash, signature));
}

// The generator's signature (its own nonce and arithmetic, checked by
// python3-cryptography) in both of its valid forms, and inputs every
// verifier refuses.
TEST(KeyVectorsTest, IndependentSignatureVerifies) {
  const Bytes public65 = Hex(kv::kIdentity.public65);
  const Bytes hash = Hex(kv::kAuthV2.transcript_hash);
  EXPECT_TRUE(crypto::EcdsaP256VerifyDigest(public65, hash, Hex(kv::kAuthV2.signature)));
  EXPECT_TRUE(crypto::EcdsaP256VerifyDigest(public65, hash, Hex(kv::kAuthV2.other_form)));
  for (const kv::SignatureReject& v : kv::kSignatureRejects) {
    SCOPED_TRACE(v.name);
    EXPECT_FALSE(crypto::EcdsaP256VerifyDigest(Hex(v.public65), Hex(v.digest), Hex(v.signature)));
  }
}

std::string SignaturePlatform() {
#ifdef _WIN32
  return RunningUnderWine() ? "windows-wine" : "windows";
#else
  return "linux";
#endif
}

// Signs the vector transcript with the vector key through the crypto seam.
// With ORVANE_WRITE_SIGNATURE_TO set to a file, appends "<platform> <r||s>"
// to it for the generator to verify (see make_vectors.py); otherwise only
// checks the round trip.
TEST(KeyVectorsTest, HostSignsFixedTranscript) {
  crypto::EcdsaP256Key key;
  ASSERT_TRUE(key.Import(Hex(kv::kIdentity.scalar), Hex(kv::kIdentity.public65))) << key.last_result().ToString();
  const Bytes hash = Hex(kv::kAuthV2.transcript_hash);
  const Bytes signature = key.SignDigest(hash);
  ASSERT_EQ(signature.size(), crypto::kEcdsaP256SignatureBytes) << key.last_result().ToString();
  EXPECT_TRUE(crypto::EcdsaP256VerifyDigest(key.public_key(), hash, signature));
  Bytes other_hash = hash;
  other_hash[0] ^= 0x01;
  EXPECT_FALSE(crypto::EcdsaP256VerifyDigest(key.public_key(), other_hash, signature));

  const char* target = std::getenv("ORVANE_WRITE_SIGNATURE_TO");
  if (target == nullptr || *target == '\0') return;
  std::FILE* f = OpenSharedFile(PathFromUtf8(target), "ab");
  ASSERT_NE(f, nullptr) << target;
  const std::string line = SignaturePlatform() + " " + ToHex(signature) + "\n";
  const bool written = std::fwrite(line.data(), 1, line.size(), f) == line.size();
  EXPECT_EQ(std::fclose(f), 0) << target;
  EXPECT_TRUE(written) << target;
  std::printf("appended to %s: %s", target, line.c_str());
}

// What each build's code signed, verified by the generator when it wrote
// the vectors, verifies here too: the host and an independent library agree
// in both directions, on every build.
TEST(KeyVectorsTest, CommittedHostSignaturesVerify) {
  const Bytes public65 = Hex(kv::kIdentity.public65);
  const Bytes hash = Hex(kv::kAuthV2.transcript_hash);
  bool linux_seen = false;
  bool windows_seen = false;
  for (const kv::HostSignature& v : kv::kHostSignatures) {
    SCOPED_TRACE(v.platform);
    const std::string_view platform = v.platform;
    ASSERT_NE(platform, "none") << "no host signatures collected: see testdata/make_vectors.py";
    linux_seen |= platform == "linux";
    windows_seen |= platform.substr(0, 7) == "windows";
    const Bytes signature = Hex(v.signature);
    EXPECT_TRUE(crypto::EcdsaP256VerifyDigest(public65, hash, signature));
    Bytes flipped = signature;
    flipped[17] ^= 0x04;
    EXPECT_FALSE(crypto::EcdsaP256VerifyDigest(public65, hash, flipped));
  }
  EXPECT_TRUE(linux_seen);
  EXPECT_TRUE(windows_seen);
}

}  // namespace
}  // namespace orvane::security
