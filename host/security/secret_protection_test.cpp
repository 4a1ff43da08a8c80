#include "host/security/secret_protection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "host/common/file_io.h"
#include "tests/support/test_support.h"

namespace orvane::security {
namespace {

crypto::Bytes Text(std::string_view text) { return crypto::Bytes(text.begin(), text.end()); }

constexpr std::string_view kLabel = "orvane-test-label-v1";

// Keeps the Linux protection key inside a temporary folder, never in the
// user's real data folder.
class SecretProtectionTest : public ::testing::Test {
 protected:
  orvane::testing::ScopedTempDir dir_;
  orvane::testing::ScopedEnv config_home_{"XDG_CONFIG_HOME", orvane::PathToUtf8(dir_.path())};
};

TEST_F(SecretProtectionTest, RoundTripsAndEachProtectionDiffers) {
  const crypto::Bytes secret = Text("a device credential of 32 bytes!");
  crypto::Bytes first, second;
  HostResult result;
  ASSERT_TRUE(ProtectSecret(secret, kLabel, &first, &result)) << result.ToString();
  ASSERT_TRUE(ProtectSecret(secret, kLabel, &second, &result)) << result.ToString();
  EXPECT_NE(first, second);
  EXPECT_EQ(first.end(), std::search(first.begin(), first.end(), secret.begin(), secret.end()));

  for (const crypto::Bytes* blob : {&first, &second}) {
    crypto::Bytes opened = Text("stale contents");
    ASSERT_TRUE(UnprotectSecret(*blob, kLabel, &opened, &result)) << result.ToString();
    EXPECT_EQ(opened, secret);
    EXPECT_EQ(result.code, kSecretOk);
  }
}

TEST_F(SecretProtectionTest, RefusesWrongPurposeAndMalformedInput) {
  crypto::Bytes blob;
  ASSERT_TRUE(ProtectSecret(Text("secret"), kLabel, &blob));

  crypto::Bytes opened = Text("stale");
  HostResult result;
  EXPECT_FALSE(UnprotectSecret(blob, "another-label", &opened, &result));
  EXPECT_EQ(result.code, kSecretRefused) << result.ToString();
  EXPECT_TRUE(opened.empty());

  EXPECT_FALSE(UnprotectSecret(crypto::Bytes{}, kLabel, &opened, &result));
  EXPECT_EQ(result.code, kSecretInvalidInput);
  EXPECT_FALSE(ProtectSecret(crypto::Bytes{}, kLabel, &blob, &result));
  EXPECT_EQ(result.code, kSecretInvalidInput);
  EXPECT_TRUE(blob.empty());
}

TEST_F(SecretProtectionTest, RefusesDamagedBlob) {
  ORVANE_SKIP_UNDER_WINE("DPAPI tamper detection is unreliable in Wine");
  crypto::Bytes blob;
  ASSERT_TRUE(ProtectSecret(Text("secret value"), kLabel, &blob));
  // Damage the middle and the last byte in turn (ciphertext and tag).
  for (size_t index : {blob.size() / 2, blob.size() - 1}) {
    crypto::Bytes damaged = blob;
    damaged[index] ^= 0x5A;
    crypto::Bytes opened;
    HostResult result;
    EXPECT_FALSE(UnprotectSecret(damaged, kLabel, &opened, &result)) << index;
    EXPECT_NE(result.code, kSecretOk);
    EXPECT_NE(result.code, kSecretUnavailable) << result.ToString();
    EXPECT_TRUE(opened.empty());
  }
}

}  // namespace
}  // namespace orvane::security
