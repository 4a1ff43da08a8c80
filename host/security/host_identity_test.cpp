#include "host/security/host_identity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host/common/file_io.h"
#include "host/security/secret_protection.h"
#include "tests/support/test_support.h"

namespace orvane::security {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) { return ReadFileBounded(path, 1u << 20).bytes; }

void WriteAll(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Header() { return std::string(kHostIdentityHeader, kHostIdentityHeaderBytes); }

std::string AsString(const crypto::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A protected blob as the identity store would write it (header included).
std::string ProtectedFile(const crypto::Bytes& plaintext, std::string_view label = kHostIdentityEntropy) {
  crypto::Bytes blob;
  EXPECT_TRUE(ProtectSecret(plaintext, label, &blob));
  return Header() + AsString(blob);
}

crypto::Bytes Digest(std::string_view text) {
  return crypto::Sha256(crypto::ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

// A fresh key pair's private blob.
crypto::Bytes FreshPrivateBlob(crypto::Bytes* public_key = nullptr) {
  crypto::EcdsaP256Key key;
  EXPECT_TRUE(key.Generate());
  crypto::Bytes priv = key.ExportPrivateKey();
  crypto::Bytes blob = BuildIdentityPrivateBlob(key.public_key(), priv);
  crypto::SecureWipe(priv);
  if (public_key) *public_key = key.public_key();
  return blob;
}

class HostIdentityTest : public ::testing::Test {
 protected:
  fs::path IdentityPath() const { return dir_.path() / kHostIdentityFileName; }

  HostIdentity::Environment Env(HostIdentity::ProtectFn unprotect = {}, HostIdentity::ProtectFn protect = {}) {
    HostIdentity::Environment env;
    env.clock = &clock_;
    env.unprotect = std::move(unprotect);
    env.protect = std::move(protect);
    return env;
  }

  // Loads the file at IdentityPath() with the real protection; the identity
  // must load, not be created.
  crypto::Bytes LoadExisting() {
    HostIdentity identity(Env());
    EXPECT_TRUE(identity.LoadOrCreate(IdentityPath()));
    EXPECT_EQ(identity.origin(), HostIdentityOrigin::kLoaded);
    return identity.PublicKey();
  }

  orvane::testing::ScopedTempDir dir_;
  // The Linux protection key lives in the temporary folder too.
  orvane::testing::ScopedEnv config_home_{"XDG_CONFIG_HOME", PathToUtf8(dir_.path())};
  ManualClock clock_;
  orvane::testing::LogCapture log_;
};

TEST_F(HostIdentityTest, CreatesThenLoadsTheSameKeyAndSigns) {
  HostIdentity created(Env());
  ASSERT_TRUE(created.LoadOrCreate(IdentityPath()));
  EXPECT_EQ(created.origin(), HostIdentityOrigin::kCreated);
  ASSERT_TRUE(created.Available());
  ASSERT_EQ(created.PublicKey().size(), 65u);
  EXPECT_EQ(created.PublicKey()[0], 0x04);
  EXPECT_TRUE(log_.Contains("[INFO ] [Identity] Host identity created fingerprint=" + created.Fingerprint()));
  const std::string file = ReadAll(IdentityPath());
  ASSERT_GT(file.size(), kHostIdentityHeaderBytes);
  EXPECT_EQ(file.substr(0, 8), std::string("OVDHID1\0", 8));

  HostIdentity loaded(Env());
  ASSERT_TRUE(loaded.LoadOrCreate(IdentityPath()));
  EXPECT_EQ(loaded.origin(), HostIdentityOrigin::kLoaded);
  EXPECT_EQ(loaded.PublicKey(), created.PublicKey());
  EXPECT_EQ(loaded.Fingerprint(), created.Fingerprint());
  EXPECT_TRUE(log_.Contains("[INFO ] [Identity] Host identity loaded fingerprint=" + created.Fingerprint()));
  EXPECT_EQ(ReadAll(IdentityPath()), file);  // loading does not rewrite

  const crypto::Bytes hash = Digest("transcript");
  const crypto::Bytes signature = loaded.Sign(hash);
  ASSERT_EQ(signature.size(), 64u);
  EXPECT_TRUE(crypto::EcdsaP256VerifyDigest(created.PublicKey(), hash, signature));
  EXPECT_FALSE(crypto::EcdsaP256VerifyDigest(created.PublicKey(), Digest("other"), signature));
  EXPECT_TRUE(loaded.Sign(crypto::ByteView(hash).first(31)).empty());
  EXPECT_TRUE(HostIdentity(Env()).Sign(hash).empty());
}

TEST_F(HostIdentityTest, FileHoldsTheProtectedPrivateBlob) {
  HostIdentity identity(Env());
  ASSERT_TRUE(identity.LoadOrCreate(IdentityPath()));
  const std::string file = ReadAll(IdentityPath());
  const crypto::ByteView blob(reinterpret_cast<const uint8_t*>(file.data()) + 8, file.size() - 8);
  crypto::Bytes plain;
  HostResult result;
  ASSERT_TRUE(UnprotectSecret(blob, "orvane-machine-guard-v1", &plain, &result)) << result.ToString();
  ASSERT_EQ(plain.size(), 104u);
  // "ECS2", key size 32, both little-endian; then X and Y of the public key.
  EXPECT_EQ(crypto::Bytes(plain.begin(), plain.begin() + 8), (crypto::Bytes{0x45, 0x43, 0x53, 0x32, 32, 0, 0, 0}));
  EXPECT_EQ(crypto::Bytes(plain.begin() + 8, plain.begin() + 72),
            crypto::Bytes(identity.PublicKey().begin() + 1, identity.PublicKey().end()));
  crypto::SecureWipe(plain);
}

TEST_F(HostIdentityTest, PrivateBlobBuildsAndParses) {
  crypto::Bytes public_key;
  crypto::Bytes blob = FreshPrivateBlob(&public_key);
  ASSERT_EQ(blob.size(), 104u);
  crypto::Bytes parsed_public, parsed_private;
  ASSERT_TRUE(ParseIdentityPrivateBlob(blob, &parsed_public, &parsed_private));
  EXPECT_EQ(parsed_public, public_key);
  EXPECT_EQ(parsed_private, crypto::Bytes(blob.begin() + 72, blob.end()));

  struct Case {
    const char* name;
    std::function<void(crypto::Bytes&)> damage;
  };
  const Case cases[] = {
      {"public magic", [](crypto::Bytes& b) { b[3] = 0x31; }},
      {"key size 48", [](crypto::Bytes& b) { b[4] = 48; }},
      {"one byte short", [](crypto::Bytes& b) { b.pop_back(); }},
      {"one byte long", [](crypto::Bytes& b) { b.push_back(0); }},
  };
  for (const Case& c : cases) {
    crypto::Bytes damaged = blob;
    c.damage(damaged);
    EXPECT_FALSE(ParseIdentityPrivateBlob(damaged, &parsed_public, &parsed_private)) << c.name;
    EXPECT_TRUE(parsed_private.empty()) << c.name;
  }
  EXPECT_TRUE(BuildIdentityPrivateBlob(crypto::ByteView(public_key).first(64), parsed_private).empty());
}

TEST_F(HostIdentityTest, FingerprintIsSixteenHexPairs) {
  crypto::Bytes public_key{0x04};
  for (int i = 0; i < 64; ++i) public_key.push_back(static_cast<uint8_t>(i));
  EXPECT_EQ(IdentityFingerprint(public_key), "6b:cd:a9:9d:58:e5:96:2b:91:d7:0f:9c:5d:24:8e:07");
  EXPECT_EQ(IdentityFingerprint(public_key).size(), 47u);
  EXPECT_EQ(HostIdentity(Env()).Fingerprint(), "unavailable");
}

TEST_F(HostIdentityTest, UnusableFileIsMovedAsideAndReplaced) {
  crypto::Bytes other_public;
  const crypto::Bytes good_blob = FreshPrivateBlob(&other_public);
  crypto::Bytes mismatched = good_blob;
  mismatched[100] ^= 0x01;  // d no longer belongs to X, Y
  crypto::Bytes wrong_magic = good_blob;
  wrong_magic[3] = 0x31;

  struct Case {
    const char* name;
    std::string contents;
  };
  const std::vector<Case> cases = {
      {"empty file", ""},
      {"header only", Header()},
      {"wrong header", std::string("OVDHID2\0", 8) + std::string(200, 'x')},
      {"larger than the bound", Header() + std::string(kHostIdentityMaxFileBytes, 'x')},
      {"blob that is not protected data", Header() + std::string(200, '\x01')},
      {"protected blob of the wrong length", ProtectedFile(crypto::Bytes(good_blob.begin(), good_blob.end() - 1))},
      {"protected blob with the public magic", ProtectedFile(wrong_magic)},
      {"protected key pair that does not match", ProtectedFile(mismatched)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(IdentityPath().string() + ".invalid");
    WriteAll(IdentityPath(), c.contents);
    log_.Clear();

    HostIdentity identity(Env());
    ASSERT_TRUE(identity.LoadOrCreate(IdentityPath()));
    EXPECT_EQ(identity.origin(), HostIdentityOrigin::kCreated);
    EXPECT_NE(identity.PublicKey(), other_public);
    const fs::path invalid = IdentityPath().string() + ".invalid";
    EXPECT_EQ(identity.moved_aside_to(), invalid);
    EXPECT_EQ(ReadAll(invalid), c.contents);
    EXPECT_TRUE(log_.Contains("[ERROR] [Identity] Host identity at " + PathToUtf8(IdentityPath()) +
                              " is unreadable; generating a new identity (paired clients will report an identity "
                              "change)"));
    EXPECT_EQ(clock_.TickMs(), 1'000'000u);  // no retry delay for a broken file
    EXPECT_EQ(LoadExisting(), identity.PublicKey());
  }
}

TEST_F(HostIdentityTest, RefusedProtectionMovesTheFileAside) {
  const std::string contents = ProtectedFile(FreshPrivateBlob(), "another-purpose");
  WriteAll(IdentityPath(), contents);
  HostIdentity identity(Env());
  ASSERT_TRUE(identity.LoadOrCreate(IdentityPath()));
  EXPECT_EQ(identity.origin(), HostIdentityOrigin::kCreated);
  EXPECT_EQ(ReadAll(IdentityPath().string() + ".invalid"), contents);
  EXPECT_TRUE(log_.Contains("[ERROR] [Identity] DPAPI unprotect failed: "));
}

TEST_F(HostIdentityTest, OlderInvalidCopiesAreNeverReplaced) {
  const fs::path base = IdentityPath();
  for (int round = 0; round < 3; ++round) {
    const std::string contents = "broken file " + std::to_string(round);
    WriteAll(base, contents);
    HostIdentity identity(Env());
    ASSERT_TRUE(identity.LoadOrCreate(base));
    const std::string suffix = round == 0 ? ".invalid" : ".invalid." + std::to_string(round);
    const fs::path expected = base.string() + suffix;
    EXPECT_EQ(identity.moved_aside_to(), expected);
  }
  EXPECT_EQ(ReadAll(base.string() + ".invalid"), "broken file 0");
  EXPECT_EQ(ReadAll(base.string() + ".invalid.1"), "broken file 1");
  EXPECT_EQ(ReadAll(base.string() + ".invalid.2"), "broken file 2");
}

TEST_F(HostIdentityTest, UnavailableProtectionIsRetriedOnceAndNeverReplacesTheFile) {
  {
    HostIdentity original(Env());
    ASSERT_TRUE(original.LoadOrCreate(IdentityPath()));
  }
  const std::string original_file = ReadAll(IdentityPath());
  const crypto::Bytes original_key = LoadExisting();

  struct Case {
    const char* name;
    int unavailable_calls;  // the first n unprotect calls fail as "unavailable"
    bool expect_original;   // the file's identity is in use afterwards
  };
  const Case cases[] = {
      {"fails once, then opens", 1, true},
      {"fails twice", 2, false},
      {"fails always", 100, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.Clear();
    int calls = 0;
    auto flaky = [&](crypto::ByteView blob, std::string_view label, crypto::Bytes* out, HostResult* result) {
      if (calls++ < c.unavailable_calls) {
        *result = HostResult::Failure(kSecretUnavailable, "service not running", HResultFromWin32(1722));
        return false;
      }
      return UnprotectSecret(blob, label, out, result);
    };
    const uint64_t start_ms = clock_.TickMs();
    HostIdentity identity(Env(flaky));
    ASSERT_TRUE(identity.LoadOrCreate(IdentityPath()));
    ASSERT_TRUE(identity.Available());
    // One attempt, the delay on the injected clock, one more attempt.
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(clock_.TickMs() - start_ms, kIdentityUnprotectRetryDelayMs);
    const size_t failures = static_cast<size_t>(std::min(2, c.unavailable_calls));
    EXPECT_EQ(log_.Count("[ERROR] [Identity] DPAPI unprotect failed: 1722"), failures);
    if (c.expect_original) {
      EXPECT_EQ(identity.origin(), HostIdentityOrigin::kLoaded);
      EXPECT_EQ(identity.PublicKey(), original_key);
    } else {
      EXPECT_EQ(identity.origin(), HostIdentityOrigin::kRunOnly);
      EXPECT_NE(identity.PublicKey(), original_key);
      EXPECT_TRUE(log_.Contains("[ERROR] [Identity] Host identity at " + PathToUtf8(IdentityPath()) +
                                " still cannot be opened; keeping the file and using a new identity for this "
                                "run only"));
      const crypto::Bytes hash = Digest("run-only");
      EXPECT_TRUE(crypto::EcdsaP256VerifyDigest(identity.PublicKey(), hash, identity.Sign(hash)));
    }
    // Whatever happened, the file is as it was and nothing was moved aside.
    EXPECT_EQ(ReadAll(IdentityPath()), original_file);
    EXPECT_FALSE(fs::exists(IdentityPath().string() + ".invalid"));
    EXPECT_EQ(LoadExisting(), original_key);
  }
}

TEST_F(HostIdentityTest, FileThatCannotBeReadIsKept) {
  // A folder in the file's place cannot be read as a file on either platform.
  fs::create_directory(IdentityPath());
  HostIdentity identity(Env());
  ASSERT_TRUE(identity.LoadOrCreate(IdentityPath()));
  EXPECT_EQ(identity.origin(), HostIdentityOrigin::kRunOnly);
  EXPECT_TRUE(identity.Available());
  EXPECT_EQ(clock_.TickMs(), 1'000'000u + kIdentityUnprotectRetryDelayMs);
  EXPECT_TRUE(fs::is_directory(IdentityPath()));
  EXPECT_FALSE(fs::exists(IdentityPath().string() + ".invalid"));
}

TEST_F(HostIdentityTest, IdentityThatCannotBePersistedIsUsedForThisRun) {
  WriteAll(dir_.path() / "not-a-folder", "x");
  struct Case {
    const char* name;
    fs::path path;
    bool protection_fails;
    const char* extra_line;
  };
  const Case cases[] = {
      {"folder cannot be written", dir_.path() / "not-a-folder" / kHostIdentityFileName, false,
       "[ERROR] [Identity] Could not write "},
      {"protection fails", IdentityPath(), true, "[ERROR] [Identity] DPAPI protect failed: 5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.Clear();
    HostIdentity::ProtectFn failing_protect;
    if (c.protection_fails) {
      failing_protect = [](crypto::ByteView, std::string_view, crypto::Bytes*, HostResult* result) {
        *result = HostResult::Failure(kSecretUnavailable, "access denied", HResultFromWin32(5));
        return false;
      };
    }
    HostIdentity identity(Env({}, failing_protect));
    ASSERT_TRUE(identity.LoadOrCreate(c.path));
    EXPECT_TRUE(identity.Available());
    EXPECT_EQ(identity.origin(), HostIdentityOrigin::kRunOnly);
    EXPECT_TRUE(log_.Contains("[ERROR] [Identity] Failed to persist host identity to " + PathToUtf8(c.path) +
                              "; it is valid for this run only"));
    EXPECT_TRUE(log_.Contains(c.extra_line));
    EXPECT_TRUE(log_.Contains("[INFO ] [Identity] Host identity created fingerprint=" + identity.Fingerprint()));
    EXPECT_FALSE(fs::exists(c.path));
    const crypto::Bytes hash = Digest("still signs");
    EXPECT_TRUE(crypto::EcdsaP256VerifyDigest(identity.PublicKey(), hash, identity.Sign(hash)));
  }
}

TEST_F(HostIdentityTest, SharedIdentityIsLoadedOncePerPath) {
  const fs::path path = dir_.path() / "shared";
  fs::create_directory(path);
  const fs::path file = path / kHostIdentityFileName;

  std::vector<std::shared_ptr<const HostIdentity>> seen(4);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, &file, i] { seen[i] = SharedHostIdentity(file); });
  }
  for (auto& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  EXPECT_TRUE(seen[0]->Available());
  for (const auto& identity : seen) EXPECT_EQ(identity.get(), seen[0].get());
  EXPECT_EQ(SharedHostIdentity(path / "." / kHostIdentityFileName).get(), seen[0].get());
  EXPECT_EQ(log_.Count("[Identity] Host identity created fingerprint="), 1u);
  EXPECT_EQ(log_.Count("[Identity] Host identity loaded fingerprint="), 0u);

  const auto other = SharedHostIdentity(IdentityPath());
  EXPECT_NE(other.get(), seen[0].get());
  EXPECT_NE(other->PublicKey(), seen[0]->PublicKey());
}

TEST_F(HostIdentityTest, SigningIsSafeFromSeveralThreads) {
  HostIdentity identity(Env());
  ASSERT_TRUE(identity.LoadOrCreate(IdentityPath()));
  std::atomic<int> verified{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&identity, &verified, t] {
      for (int i = 0; i < 16; ++i) {
        const crypto::Bytes hash = Digest("thread " + std::to_string(t) + " message " + std::to_string(i));
        if (crypto::EcdsaP256VerifyDigest(identity.PublicKey(), hash, identity.Sign(hash))) ++verified;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(verified.load(), 64);
}

}  // namespace
}  // namespace orvane::security
