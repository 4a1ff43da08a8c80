#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "host/common/file_io.h"
#include "host/security/secret_protection.h"
#include "tests/support/test_support.h"

namespace orvane::security {
namespace {

crypto::Bytes Text(std::string_view text) { return crypto::Bytes(text.begin(), text.end()); }

constexpr std::string_view kLabel = "orvane-test-label-v1";

class SecretProtectionLinuxTest : public ::testing::Test {
 protected:
  std::filesystem::path KeyPath() const { return dir_.path() / "OrvaneDisplay" / "protection.key"; }

  void WriteKeyFile(size_t length, mode_t mode) {
    std::filesystem::create_directories(KeyPath().parent_path());
    std::ofstream(KeyPath(), std::ios::binary) << std::string(length, 'k');
    ASSERT_EQ(chmod(KeyPath().c_str(), mode), 0);
  }

  orvane::testing::ScopedTempDir dir_;
  orvane::testing::ScopedEnv config_home_{"XDG_CONFIG_HOME", orvane::PathToUtf8(dir_.path())};
};

TEST_F(SecretProtectionLinuxTest, CreatesAPrivateKeyFileOnFirstUseAndKeepsIt) {
  ASSERT_FALSE(std::filesystem::exists(KeyPath()));
  const mode_t old_umask = umask(0);  // the file must be 0600 whatever the umask
  crypto::Bytes blob;
  const bool protected_ok = ProtectSecret(Text("secret"), kLabel, &blob);
  umask(old_umask);
  ASSERT_TRUE(protected_ok);

  struct stat st {};
  ASSERT_EQ(stat(KeyPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 32);
  // No temporary file is left beside it.
  size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(KeyPath().parent_path())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1u);

  // Layout: format byte, 12-byte nonce, ciphertext, 16-byte tag.
  ASSERT_EQ(blob.size(), 1u + 12u + 6u + 16u);
  EXPECT_EQ(blob[0], 0x01);

  const FileReadResult key_before = ReadFileBounded(KeyPath(), 64);
  crypto::Bytes second;
  ASSERT_TRUE(ProtectSecret(Text("secret"), kLabel, &second));
  EXPECT_EQ(ReadFileBounded(KeyPath(), 64).bytes, key_before.bytes);
  crypto::Bytes opened;
  ASSERT_TRUE(UnprotectSecret(blob, kLabel, &opened));
  EXPECT_EQ(opened, Text("secret"));
}

TEST_F(SecretProtectionLinuxTest, RefusesUnsafeKeyFilesWithoutReplacingThem) {
  struct Case {
    const char* name;
    size_t length;
    mode_t mode;
  };
  const Case cases[] = {
      {"readable by group and other", 32, 0644},
      {"readable by group", 32, 0640},
      {"too short", 31, 0600},
      {"too long", 33, 0600},
      {"empty", 0, 0600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteKeyFile(c.length, c.mode);
    orvane::testing::LogCapture log;
    crypto::Bytes blob = Text("stale");
    HostResult result;
    EXPECT_FALSE(ProtectSecret(Text("secret"), kLabel, &blob, &result));
    EXPECT_EQ(result.code, kSecretUnavailable);
    EXPECT_TRUE(blob.empty());
    EXPECT_TRUE(log.Contains("[ERROR] [Crypto] Refusing protection key"));
    crypto::Bytes opened;
    EXPECT_FALSE(UnprotectSecret(crypto::Bytes(40, 0x01), kLabel, &opened, &result));
    EXPECT_EQ(result.code, kSecretUnavailable);
    // The file is left as it was.
    EXPECT_EQ(ReadFileBounded(KeyPath(), 64).bytes, std::string(c.length, 'k'));
  }
}

TEST_F(SecretProtectionLinuxTest, KeyProblemsAreUnavailableAndLostKeysRefuse) {
  crypto::Bytes blob;
  ASSERT_TRUE(ProtectSecret(Text("secret"), kLabel, &blob));

  // A key that cannot be opened (here a folder in its place) may pass:
  // callers must not give up the secret.
  const std::filesystem::path saved = KeyPath().string() + ".saved";
  std::filesystem::rename(KeyPath(), saved);
  std::filesystem::create_directory(KeyPath());
  crypto::Bytes opened;
  HostResult result;
  EXPECT_FALSE(UnprotectSecret(blob, kLabel, &opened, &result));
  EXPECT_EQ(result.code, kSecretUnavailable) << result.ToString();
  std::filesystem::remove(KeyPath());

  // Without any key the blob can never open.
  EXPECT_FALSE(UnprotectSecret(blob, kLabel, &opened, &result));
  EXPECT_EQ(result.code, kSecretRefused);
  EXPECT_FALSE(std::filesystem::exists(KeyPath()));

  std::filesystem::rename(saved, KeyPath());
  EXPECT_TRUE(UnprotectSecret(blob, kLabel, &opened, &result));

  // Not one of ours: wrong format byte, too short.
  crypto::Bytes foreign = blob;
  foreign[0] = 0x02;
  EXPECT_FALSE(UnprotectSecret(foreign, kLabel, &opened, &result));
  EXPECT_EQ(result.code, kSecretInvalidInput);
  EXPECT_FALSE(UnprotectSecret(crypto::ByteView(blob).first(29), kLabel, &opened, &result));
  EXPECT_EQ(result.code, kSecretInvalidInput);
}

}  // namespace
}  // namespace orvane::security
