#include "host/security/crypto.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "tests/support/test_support.h"

namespace orvane::crypto {
namespace {

Bytes Hex(std::string_view hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes Point(std::string_view x, std::string_view y) { return Hex("04" + std::string(x) + std::string(y)); }

// The platform's ECDH secret derivation is a stub in Wine 8: every KDF fails.
#define SKIP_ECDH_DERIVE_UNDER_WINE() \
  ORVANE_SKIP_UNDER_WINE("BCryptDeriveKey is a stub in Wine, ECDH secret agreement cannot run")

TEST(CryptoTest, Sha256KnownAnswers) {
  EXPECT_EQ(Sha256(Text("abc")), Hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_EQ(Sha256(Bytes{}), Hex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
  // Parts hash as their concatenation.
  Digest parts{};
  ASSERT_TRUE(Sha256({Text("a"), Bytes{}, Text("bc")}, &parts));
  EXPECT_EQ(Bytes(parts.begin(), parts.end()), Sha256(Text("abc")));
}

TEST(CryptoTest, HmacSha256KnownAnswers) {
  struct Case {
    Bytes key;
    Bytes data;
    const char* mac;
  };
  const Case cases[] = {
      {Bytes(20, 0x0b), Text("Hi There"), "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {Text("Jefe"), Text("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HmacSha256(c.key, c.data), Hex(c.mac));
    Digest parts{};
    ASSERT_TRUE(HmacSha256(c.key, {ByteView(c.data).first(3), ByteView(c.data).subspan(3)}, &parts));
    EXPECT_EQ(Bytes(parts.begin(), parts.end()), Hex(c.mac));
  }
  EXPECT_TRUE(HmacSha256(Bytes{}, Text("x")).empty());
}

TEST(CryptoTest, AesGcmKnownAnswersSealAndOpen) {
  struct Case {
    const char* key;
    const char* nonce;
    const char* plaintext;
    const char* aad;
    const char* sealed;  // ciphertext || tag
  };
  const Case cases[] = {
      {"00000000000000000000000000000000", "000000000000000000000000", "", "", "58e2fccefa7e3061367f1d57a4e7455a"},
      {"00000000000000000000000000000000", "000000000000000000000000", "00000000000000000000000000000000", "",
       "0388dace60b6a392f328c2b971b2fe78ab6e47d42cec13bdf53a67b21257bddf"},
      {"feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
       "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de6"
       "57ba637b39",
       "feedfacedeadbeeffeedfacedeadbeefabaddad2",
       "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac97"
       "3d58e0915bc94fbc3221a5db94fae95ae7121a47"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sealed);
    AesGcm gcm;
    ASSERT_TRUE(gcm.SetKey(Hex(c.key)));
    EXPECT_EQ(gcm.Seal(Hex(c.nonce), Hex(c.plaintext), Hex(c.aad)), Hex(c.sealed));
    Bytes opened{1, 2, 3};
    ASSERT_TRUE(gcm.Open(Hex(c.nonce), Hex(c.sealed), Hex(c.aad), &opened));
    EXPECT_EQ(opened, Hex(c.plaintext));
  }
}

TEST(CryptoTest, AesGcmRefusesTamperedInput) {
  const Bytes key = Hex("feffe9928665731c6d6a8f9467308308");
  const Bytes nonce = Hex("cafebabefacedbaddecaf888");
  const Bytes aad = Text("header");
  AesGcm gcm;
  ASSERT_TRUE(gcm.SetKey(key));
  const Bytes sealed = gcm.Seal(nonce, Text("stop the stream"), aad);
  ASSERT_EQ(sealed.size(), 15u + kAesGcmTagBytes);

  struct Case {
    const char* what;
    Bytes nonce;
    Bytes sealed;
    Bytes aad;
  };
  Bytes flipped_text = sealed;
  flipped_text[0] ^= 0x01;
  Bytes flipped_tag = sealed;
  flipped_tag[sealed.size() - 1] ^= 0x80;
  Bytes other_nonce = nonce;
  other_nonce[11] ^= 0x01;
  const Case cases[] = {
      {"ciphertext bit", nonce, flipped_text, aad},
      {"tag bit", nonce, flipped_tag, aad},
      {"other nonce", other_nonce, sealed, aad},
      {"other aad", nonce, sealed, Text("headeR")},
      {"no aad", nonce, sealed, {}},
      {"shorter than a tag", nonce, Bytes(sealed.begin(), sealed.begin() + 15), aad},
      {"11-byte nonce", Bytes(nonce.begin(), nonce.end() - 1), sealed, aad},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes out{9};
    EXPECT_FALSE(gcm.Open(c.nonce, c.sealed, c.aad, &out));
    EXPECT_TRUE(out.empty());
  }
  EXPECT_EQ(gcm.last_result().code, kCryptoInvalidInput);
  EXPECT_FALSE(gcm.Open(nonce, flipped_tag, aad, nullptr));
  Bytes out;
  EXPECT_FALSE(gcm.Open(nonce, flipped_tag, aad, &out));
  EXPECT_EQ(gcm.last_result().code, kCryptoAuthFailed);
  // The object still works after refusals.
  ASSERT_TRUE(gcm.Open(nonce, sealed, aad, &out));
  EXPECT_EQ(out, Text("stop the stream"));
}

TEST(CryptoTest, AesGcmCachesTheKeySchedule) {
  AesGcm gcm;
  EXPECT_FALSE(gcm.has_key());
  EXPECT_TRUE(gcm.Seal(Bytes(12), Text("x")).empty());
  EXPECT_FALSE(gcm.SetKey(Bytes(15, 1)));
  EXPECT_EQ(gcm.key_schedules_created(), 0u);

  const Bytes a(16, 0xA1);
  const Bytes b(16, 0xB2);
  ASSERT_TRUE(gcm.SetKey(a));
  ASSERT_TRUE(gcm.SetKey(a));
  EXPECT_EQ(gcm.key_schedules_created(), 1u);
  const Bytes under_a = gcm.Seal(Bytes(12), Text("frame"));
  ASSERT_TRUE(gcm.SetKey(b));
  EXPECT_EQ(gcm.key_schedules_created(), 2u);
  EXPECT_NE(gcm.Seal(Bytes(12), Text("frame")), under_a);
  ASSERT_TRUE(gcm.SetKey(a));
  EXPECT_EQ(gcm.key_schedules_created(), 3u);
  EXPECT_EQ(gcm.Seal(Bytes(12), Text("frame")), under_a);

  gcm.ClearKey();
  EXPECT_FALSE(gcm.has_key());
  Bytes out;
  EXPECT_FALSE(gcm.Open(Bytes(12), under_a, &out));
  ASSERT_TRUE(gcm.SetKey(Bytes(32, 0x33)));  // AES-256 also works
  EXPECT_EQ(gcm.key_schedules_created(), 4u);
}

TEST(CryptoTest, RandomBytesAreNotConstant) {
  Bytes a(32), b(32);
  ASSERT_TRUE(RandomBytes(a.data(), a.size()));
  ASSERT_TRUE(RandomBytes(b.data(), b.size()));
  EXPECT_NE(a, b);
  EXPECT_NE(a, Bytes(32));
  EXPECT_TRUE(RandomBytes(nullptr, 0));
}

TEST(CryptoTest, ConstantTimeEqualAndWipe) {
  EXPECT_TRUE(ConstantTimeEqual(Text("abc"), Text("abc")));
  EXPECT_FALSE(ConstantTimeEqual(Text("abc"), Text("abd")));
  EXPECT_FALSE(ConstantTimeEqual(Text("abc"), Text("ab")));
  EXPECT_TRUE(ConstantTimeEqual(Bytes{}, Bytes{}));
  Bytes secret = Text("secret");
  uint8_t* data = secret.data();
  SecureWipe(data, secret.size());
  EXPECT_EQ(secret, Bytes(6, 0));
  SecureWipe(secret);
  EXPECT_TRUE(secret.empty());
}

// Fixed P-256 pairs and their shared X coordinate (RFC 5903, section 8.1).
struct EcdhVector {
  Bytes private_i = Hex("C88F01F510D9AC3F70A292DAA2316DE544E9AAB8AFE84049C62A9C57862D1433");
  Bytes public_i = Point("DAD0B65394221CF9B051E1FECA5787D098DFE637FC90B9EF945D0C3772581180",
                         "5271A0461CDB8252D61F1C456FA3E59AB1F45B33ACCF5F58389E0577B8990BB3");
  Bytes private_r = Hex("C6EF9C5D78AE012A011164ACB397CE2088685D8F06BF9BE0B283AB46476BEE53");
  Bytes public_r = Point("D12DFB5289C8D4F81208B70270398C342296970A0BCCB74C736FC7554494BF63",
                         "56FBF3CA366CC23E8157854C13C58D6AAC23F046ADA30F8353E74F33039872AB");
  Bytes shared_x = Hex("D6840F6B42F6EDAFD13116E0E12565202FEF8E9ECE7DCE03812464D04B9442DE");
};

TEST(CryptoTest, EcdhGeneratesUncompressedPoints) {
  EcdhP256KeyPair a;
  EXPECT_FALSE(a.valid());
  ASSERT_TRUE(a.Generate());
  EXPECT_TRUE(a.valid());
  ASSERT_EQ(a.public_key().size(), kP256PublicKeyBytes);
  EXPECT_EQ(a.public_key()[0], 0x04);
  const Bytes first = a.public_key();
  ASSERT_TRUE(a.Generate());
  EXPECT_NE(a.public_key(), first);
}

TEST(CryptoTest, EcdhImportsFixedPairsAndRefusesMismatches) {
  const EcdhVector v;
  EcdhP256KeyPair pair;
  ASSERT_TRUE(pair.Import(v.private_i, v.public_i));
  EXPECT_EQ(pair.public_key(), v.public_i);
  EXPECT_FALSE(pair.Import(v.private_i, v.public_r));  // point of another scalar
  EXPECT_FALSE(pair.valid());
  EXPECT_FALSE(pair.Import(Bytes(31, 1), v.public_i));
}

TEST(CryptoTest, EcdhKnownAnswerIsBigEndian) {
  SKIP_ECDH_DERIVE_UNDER_WINE();
  const EcdhVector v;
  EcdhP256KeyPair i, r;
  ASSERT_TRUE(i.Import(v.private_i, v.public_i));
  ASSERT_TRUE(r.Import(v.private_r, v.public_r));
  EXPECT_EQ(i.DeriveSharedSecret(v.public_r), v.shared_x);
  EXPECT_EQ(r.DeriveSharedSecret(v.public_i), v.shared_x);
}

TEST(CryptoTest, EcdhGeneratedPairsAgree) {
  SKIP_ECDH_DERIVE_UNDER_WINE();
  EcdhP256KeyPair host, tablet;
  ASSERT_TRUE(host.Generate());
  ASSERT_TRUE(tablet.Generate());
  const Bytes s1 = host.DeriveSharedSecret(tablet.public_key());
  const Bytes s2 = tablet.DeriveSharedSecret(host.public_key());
  ASSERT_EQ(s1.size(), kP256SharedSecretBytes);
  EXPECT_EQ(s1, s2);
}

TEST(CryptoTest, EcdhRefusesMalformedPeerKeys) {
  const EcdhVector v;
  EcdhP256KeyPair pair;
  EXPECT_TRUE(pair.DeriveSharedSecret(v.public_r).empty());  // no key yet
  ASSERT_TRUE(pair.Import(v.private_i, v.public_i));
  Bytes compressed_prefix = v.public_r;
  compressed_prefix[0] = 0x02;
  const Bytes cases[] = {
      compressed_prefix,
      Bytes(v.public_r.begin() + 1, v.public_r.end()),  // 64 bytes without the prefix
      Bytes(65, 0),
      Bytes{},
  };
  for (const Bytes& peer : cases) {
    EXPECT_TRUE(pair.DeriveSharedSecret(peer).empty());
    EXPECT_EQ(pair.last_result().code, kCryptoInvalidInput);
  }
}

TEST(CryptoTest, EcdhRefusesPointsOffTheCurve) {
  ORVANE_SKIP_UNDER_WINE("Wine's BCryptImportKeyPair accepts public points that are not on the curve");
  const EcdhVector v;
  EcdhP256KeyPair pair;
  ASSERT_TRUE(pair.Import(v.private_i, v.public_i));
  ASSERT_EQ(v.public_r.size(), kP256PublicKeyBytes);
  Bytes off_curve = v.public_r;
  off_curve[kP256PublicKeyBytes - 1] ^= 0x01;
  EXPECT_TRUE(pair.DeriveSharedSecret(off_curve).empty());
  EXPECT_EQ(pair.last_result().code, kCryptoInvalidInput);
  EXPECT_FALSE(EcdsaP256VerifyDigest(off_curve, Bytes(32, 1), Bytes(64, 1)));
}

TEST(CryptoTest, EcdsaSignsAndVerifies) {
  EcdsaP256Key key;
  ASSERT_TRUE(key.Generate());
  ASSERT_EQ(key.public_key().size(), kP256PublicKeyBytes);
  const Bytes digest = Sha256(Text("transcript"));
  const Bytes sig = key.SignDigest(digest);
  ASSERT_EQ(sig.size(), kEcdsaP256SignatureBytes);
  EXPECT_TRUE(EcdsaP256VerifyDigest(key.public_key(), digest, sig));

  EcdsaP256Key other;
  ASSERT_TRUE(other.Generate());
  Bytes bad_r = sig;
  bad_r[5] ^= 0x10;
  Bytes bad_s = sig;
  bad_s[60] ^= 0x01;
  struct Case {
    const char* what;
    Bytes pub;
    Bytes digest;
    Bytes sig;
  };
  const Case cases[] = {
      {"r changed", key.public_key(), digest, bad_r},
      {"s changed", key.public_key(), digest, bad_s},
      {"other digest", key.public_key(), Sha256(Text("transcripT")), sig},
      {"other key", other.public_key(), digest, sig},
      {"short signature", key.public_key(), digest, Bytes(sig.begin(), sig.end() - 1)},
      {"zero signature", key.public_key(), digest, Bytes(64, 0)},
      {"short digest", key.public_key(), Bytes(digest.begin(), digest.end() - 1), sig},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(EcdsaP256VerifyDigest(c.pub, c.digest, c.sig));
  }
  EXPECT_TRUE(key.SignDigest(Bytes(31, 1)).empty());
}

TEST(CryptoTest, EcdsaPrivateKeyRoundTrip) {
  EcdsaP256Key key;
  ASSERT_TRUE(key.Generate());
  Bytes exported = key.ExportPrivateKey();
  ASSERT_EQ(exported.size(), kP256PrivateKeyBytes);

  EcdsaP256Key restored;
  ASSERT_TRUE(restored.Import(exported, key.public_key()));
  EXPECT_EQ(restored.public_key(), key.public_key());
  EXPECT_EQ(restored.ExportPrivateKey(), exported);
  const Bytes digest = Sha256(Text("hello"));
  EXPECT_TRUE(EcdsaP256VerifyDigest(key.public_key(), digest, restored.SignDigest(digest)));

  EcdsaP256Key other;
  ASSERT_TRUE(other.Generate());
  EcdsaP256Key mismatched;
  EXPECT_FALSE(mismatched.Import(exported, other.public_key()));
  EXPECT_FALSE(mismatched.valid());
  SecureWipe(exported);
}

// Signature over "sample" with SHA-256 from RFC 6979, appendix A.2.5.
TEST(CryptoTest, EcdsaVerifiesKnownSignatureAndImportsItsKey) {
  const Bytes priv = Hex("C9AFA9D845BA75166B5C215767B1D6934E50C3DB36E89B127B8A622B120F6721");
  const Bytes pub = Point("60FED4BA255A9D31C961EB74C6356D68C049B8923B61FA6CE669622E60F29FB6",
                          "7903FE1008B8BC99A41AE9E95628BC64F2F1B20C2D7E9F5177A3C294D4462299");
  const Bytes sig = Hex(
      "EFD48B2AACB6A8FD1140DD9CD45E81D69D2C877B56AAF991C34D0EA84EAF3716"
      "F7CB1C942D657C41D436C7A1B6E29F65F3E900DBB9AFF4064DC4AB2F843ACDA8");
  const Bytes digest = Sha256(Text("sample"));
  EXPECT_TRUE(EcdsaP256VerifyDigest(pub, digest, sig));

  EcdsaP256Key key;
  ASSERT_TRUE(key.Import(priv, pub));
  EXPECT_EQ(key.ExportPrivateKey(), priv);
  EXPECT_TRUE(EcdsaP256VerifyDigest(pub, digest, key.SignDigest(digest)));
}

}  // namespace
}  // namespace orvane::crypto
