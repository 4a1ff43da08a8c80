#include "host/security/device_trust.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "host/common/clock.h"
#include "host/common/file_io.h"
#include "host/security/secret_protection.h"
#include "tests/support/test_support.h"

namespace orvane::security {
namespace {

namespace fs = std::filesystem;
using orvane::testing::LogCapture;

crypto::ByteView Bytes(std::string_view text) {
  return crypto::ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string Hex(crypto::ByteView bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

crypto::Digest Credential(uint8_t fill) {
  crypto::Digest d{};
  for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(fill + i);
  return d;
}

crypto::Digest Proof(crypto::ByteView credential, std::string_view client_id, std::string_view challenge) {
  crypto::Digest proof{};
  EXPECT_TRUE(ComputePairingProof(credential, client_id, Bytes(challenge), &proof));
  return proof;
}

std::string Record(std::string_view id, std::string_view credential) {
  return "{\"clientId\":\"" + std::string(id) + "\",\"clientName\":\"n\",\"trustedAt\":\"t\",\"lastSeen\":\"s\","
         "\"pairingCredential\":\"" + std::string(credential) + "\"}";
}

// "[" + the records joined by "," + "]" (plus `tail` before the bracket).
std::string Array(std::initializer_list<std::string> records, std::string_view tail = "") {
  std::string out = "[";
  for (const std::string& r : records) {
    if (out.size() > 1) out.append(",");
    out.append(r);
  }
  out.append(tail);
  out.append("]");
  return out;
}

constexpr std::string_view kChallenge = "a 64-byte ephemeral key or the auth v2 transcript text";

// Every test works in a temporary folder whose name needs the wide file
// APIs on Windows; the Linux protection key lands there too.
class DeviceTrustTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(EnsureDirectory(folder_));
    manager_ = std::make_shared<PairingCodeManager>([this](uint32_t* value) {
      if (random_fails_) return false;
      *value = ++draws_;
      return true;
    });
  }

  std::unique_ptr<DeviceTrust> MakeTrust() {
    auto trust = std::make_unique<DeviceTrust>(clock_);
    trust->SetDefaultFolder(folder_);
    trust->SetPairingCodeManager(manager_);
    return trust;
  }

  std::string ReadText(const fs::path& path) {
    FileReadResult r = ReadFileBounded(path, 1 << 20);
    EXPECT_EQ(r.status, FileReadStatus::kOk) << PathToUtf8(path);
    return r.bytes;
  }

  void WriteText(const fs::path& path, std::string_view text) { ASSERT_TRUE(SafeReplaceFile(path, text)); }

  uint64_t NowNs() { return clock_.TickMs() * 1'000'000ull; }

  orvane::testing::ScopedTempDir dir_;
  orvane::testing::ScopedEnv config_home_{"XDG_CONFIG_HOME", PathToUtf8(dir_.path())};
  fs::path folder_ = dir_.path() / PathFromUtf8("Ger\xC3\xA4te \xE6\x97\xA5");
  fs::path file_ = folder_ / kTrustedDevicesFileName;
  ManualClock clock_;
  std::shared_ptr<PairingCodeManager> manager_;
  uint32_t draws_ = 0;
  bool random_fails_ = false;
  LogCapture log_;
};

// ---------------------------------------------------------------------------
// The file's text form.

TEST(TrustFileJsonTest, StrictReaderCases) {
  struct Case {
    const char* name;
    std::string text;
    bool ok;
    size_t records = 0;
    std::string client_id = "";
    std::string client_name = "";
  };
  const Case cases[] = {
      {"empty array", "[]", true, 0},
      {"byte-order mark", "\xEF\xBB\xBF[ ]", true, 0},
      {"white space everywhere", " \t\r\n[ \n{ \"clientId\" :\t\"a\" ,\r\n\"clientName\":\"b\" }\r\n]\n\t", true, 1,
       "a", "b"},
      {"empty object", "[{}]", true, 1},
      {"two objects", "[{\"clientId\":\"a\"},{\"clientId\":\"b\"}]", true, 2, "a"},
      {"escapes", R"([{"clientName":"q\" b\\ s\/ \b\f\n\r\t \u00e9\u20AC \ud83d\ude00 \u0000"}])", true, 1, "",
       std::string("q\" b\\ s/ \b\f\n\r\t \xC3\xA9\xE2\x82\xAC \xF0\x9F\x98\x80 ") + '\0'},
      {"raw UTF-8 passes", "[{\"clientName\":\"Gr\xC3\xBC\xC3\x9F\"}]", true, 1, "", "Gr\xC3\xBC\xC3\x9F"},
      {"later duplicate key replaces", R"([{"clientId":"a","clientId":"b"}])", true, 1, "b"},
      {"bare tokens are ignored", R"([{"n":1,"m":-2.5e+3,"z":0,"t":true,"f":false,"x":null,"clientId":"a"}])", true,
       1, "a"},
      {"unknown string keys are ignored", R"([{"other":"v","clientId":"a"}])", true, 1, "a"},
      {"empty text", "", false},
      {"object at top level", "{}", false},
      {"text after the array", "[] x", false},
      {"second array", "[] []", false},
      {"array inside the array", "[[]]", false},
      {"nested object", R"([{"clientId":{"x":"y"}}])", false},
      {"nested array", R"([{"n":[1]}])", false},
      {"unpaired high surrogate", R"([{"clientName":"\ud83d x"}])", false},
      {"high surrogate before a non-low one", R"([{"clientName":"\ud83d\u0041"}])", false},
      {"lone low surrogate", R"([{"clientName":"\ude00"}])", false},
      {"raw control byte", "[{\"clientName\":\"a\x01\"}]", false},
      {"raw tab inside a string", "[{\"clientName\":\"a\tb\"}]", false},
      {"unknown escape", R"([{"clientName":"\x41"}])", false},
      {"short \\u escape", R"([{"clientName":"\u12"}])", false},
      {"trailing comma after the last object", R"([{"clientId":"a"},])", false},
      {"trailing comma after the last member", R"([{"clientId":"a",}])", false},
      {"missing colon", R"([{"clientId" "a"}])", false},
      {"unterminated string", R"([{"clientId":"a)", false},
      {"truncated", "[{", false},
      {"bad number", R"([{"n":01}])", false},
      {"bad literal", R"([{"n":tru}])", false},
      {"token glued to a string", R"([{"n":1"x"}])", false},
      {"non-string key", R"([{1:"a"}])", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<TrustFileRecord> records{TrustFileRecord{"stale", "", "", "", ""}};
    ASSERT_EQ(ParseTrustFileJson(c.text, &records), c.ok);
    if (!c.ok) {
      EXPECT_EQ(records.size(), 1u);  // untouched on failure
      continue;
    }
    ASSERT_EQ(records.size(), c.records);
    if (c.records > 0) {
      EXPECT_EQ(records[0].client_id, c.client_id);
      EXPECT_EQ(records[0].client_name, c.client_name);
    }
  }
}

TEST(TrustFileJsonTest, LegacyScanCases) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<TrustFileRecord> records;
  };
  const Case cases[] = {
      {"trailing comma",
       "[\n  {\"clientId\": \"a\", \"clientName\": \"A\", \"trustedAt\": \"t1\", \"lastSeen\": \"s1\", "
       "\"pairingCredential\": \"c1\"},\n  {\"clientId\": \"b\", \"clientName\": \"B\"},\n]",
       {{"a", "A", "t1", "s1", "c1"}, {"b", "B", "", "", ""}}},
      {"values are raw, up to the next quote", R"([{"clientId":"a\\b","clientName":"x\"y"})",
       {{R"(a\\b)", R"(x\)", "", "", ""}}},
      {"keys are looked for only up to the closing brace", R"({"clientId":"a"} "clientName":"late")",
       {{"a", "", "", "", ""}}},
      {"without a brace the record runs to the end", R"("clientId" : "a", "lastSeen": "s")",
       {{"a", "", "", "s", ""}}},
      {"keys without values", R"("clientId""clientId")", {{"", "", "", "", ""}, {"", "", "", "", ""}}},
      {"without braces a record ends where the next one starts",
       R"("clientId":"a" "clientId":"b","clientName":"B")", {{"a", "", "", "", ""}, {"b", "B", "", "", ""}}},
      {"nothing to find", "not json at all", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<TrustFileRecord> got = ScanLegacyTrustFile(c.text);
    ASSERT_EQ(got.size(), c.records.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].client_id, c.records[i].client_id) << i;
      EXPECT_EQ(got[i].client_name, c.records[i].client_name) << i;
      EXPECT_EQ(got[i].trusted_at, c.records[i].trusted_at) << i;
      EXPECT_EQ(got[i].last_seen, c.records[i].last_seen) << i;
      EXPECT_EQ(got[i].pairing_credential, c.records[i].pairing_credential) << i;
    }
  }
}

// Neither reader may crash, hang or read out of bounds on any input: every
// prefix of a real file, byte mutations of it, and inputs built to make a
// naive scan quadratic.
TEST(TrustFileJsonTest, ReadersSurviveHostileInput) {
  const std::string sample = FormatTrustFile({{"id-1", "Tab \"1\"\n\\", "2025-01-31T12:00:00", "2025-01-31T12:00:00",
                                               "dpapi:00ff"},
                                              {"id-2", "\xF0\x9F\x98\x80", "", "", ""}}) +
                             R"([{"n":-1.5e3,"x":"\ud83d\ude00"}])";
  std::vector<TrustFileRecord> records;
  for (size_t n = 0; n <= sample.size(); ++n) {
    const std::string_view prefix(sample.data(), n);
    ParseTrustFileJson(prefix, &records);
    ScanLegacyTrustFile(prefix);
  }
  uint32_t state = 12345;
  for (int round = 0; round < 2000; ++round) {
    std::string mutated = sample;
    for (int k = 0; k < 3; ++k) {
      state = state * 1103515245u + 12345u;
      mutated[(state >> 8) % mutated.size()] = static_cast<char>(state >> 24);
    }
    ParseTrustFileJson(mutated, &records);
    ScanLegacyTrustFile(mutated);
  }

  std::string keys;
  while (keys.size() < 1'000'000) keys += "\"clientId\"";
  EXPECT_EQ(ScanLegacyTrustFile(keys).size(), 100'000u);
  // Records without a closing brace never share a value: a value scanned
  // once per record would make the result quadratic in the text.
  std::string shared;
  for (int i = 0; i < 2'000; ++i) shared += "\"clientId\":\"x\" ";
  shared += "\"clientName\":\"" + std::string(20'000, 'n') + "\"";
  const std::vector<TrustFileRecord> scanned = ScanLegacyTrustFile(shared);
  ASSERT_EQ(scanned.size(), 2'000u);
  size_t names = 0;
  for (const TrustFileRecord& r : scanned) names += r.client_name.size();
  EXPECT_EQ(names, 20'000u);
  EXPECT_EQ(scanned.back().client_name.size(), 20'000u);

  std::string opens = "[{\"clientId\":\"";
  while (opens.size() < 1'000'000) opens += "\"clientId\":";
  EXPECT_FALSE(ParseTrustFileJson(opens, &records));
  EXPECT_FALSE(ScanLegacyTrustFile(opens).empty());
}

TEST(TrustFileJsonTest, WriterLayoutIsExactAndReadsBack) {
  const std::vector<TrustFileRecord> records = {
      {"id-1", "Quote\" Back\\ Line\nTab\tCtl\x01 Slash/ \xC3\xA9", "2025-01-31T12:00:00", "2025-02-01T08:30:05",
       "dpapi:0a0b"},
      {"id-2", "", "", "", ""},
  };
  const std::string expected =
      "[\n"
      "  {\n"
      "    \"clientId\": \"id-1\",\n"
      "    \"clientName\": \"Quote\\\" Back\\\\ Line\\nTab\\tCtl\\u0001 Slash/ \xC3\xA9\",\n"
      "    \"trustedAt\": \"2025-01-31T12:00:00\",\n"
      "    \"lastSeen\": \"2025-02-01T08:30:05\",\n"
      "    \"pairingCredential\": \"dpapi:0a0b\"\n"
      "  },\n"
      "  {\n"
      "    \"clientId\": \"id-2\",\n"
      "    \"clientName\": \"\",\n"
      "    \"trustedAt\": \"\",\n"
      "    \"lastSeen\": \"\",\n"
      "    \"pairingCredential\": \"\"\n"
      "  }\n"
      "]\n";
  const std::string text = FormatTrustFile(records);
  EXPECT_EQ(text, expected);
  std::vector<TrustFileRecord> back;
  ASSERT_TRUE(ParseTrustFileJson(text, &back));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].client_name, records[0].client_name);
  EXPECT_EQ(back[0].pairing_credential, records[0].pairing_credential);
  EXPECT_EQ(FormatTrustFile({}), "[\n]\n");

  LocalTime t{2025, 3, 4, 5, 6, 7, 890};
  EXPECT_EQ(FormatTrustTime(t), "2025-03-04T05:06:07");
}

TEST(TrustFileJsonTest, CredentialAndProofDerivation) {
  crypto::Digest credential{};
  ASSERT_TRUE(DeriveDeviceCredential("012345", "tablet-7", &credential));
  const std::string text = std::string("tablet-7") + kPairingCredentialLabel;
  EXPECT_EQ(crypto::Bytes(credential.begin(), credential.end()), crypto::HmacSha256(Bytes("012345"), Bytes(text)));
  crypto::Digest proof{};
  ASSERT_TRUE(ComputePairingProof(credential, "tablet-7", Bytes("challenge"), &proof));
  EXPECT_EQ(crypto::Bytes(proof.begin(), proof.end()), crypto::HmacSha256(credential, Bytes("tablet-7challenge")));
}

// ---------------------------------------------------------------------------
// The store.

TEST_F(DeviceTrustTest, SavesAndLoadsProtectedCredentials) {
  const crypto::Digest credential = Credential(7);
  const std::string name = "Tab \"A\" \\ two\nlines";
  {
    auto trust = MakeTrust();
    trust->Load(file_);
    EXPECT_TRUE(log_.Contains("[INFO ] [Trust] No trusted devices file found -- starting fresh"));
    ASSERT_TRUE(trust->TrustDevice("tab-1", name, credential));
    ASSERT_TRUE(trust->Save());
    EXPECT_TRUE(log_.Contains("[INFO ] [Trust] Saved 1 trusted devices to " + PathToUtf8(file_)));
  }
  const std::string text = ReadText(file_);
  const std::string head =
      "[\n  {\n    \"clientId\": \"tab-1\",\n    \"clientName\": \"Tab \\\"A\\\" \\\\ two\\nlines\",\n"
      "    \"trustedAt\": \"2025-01-31T12:00:00\",\n    \"lastSeen\": \"2025-01-31T12:00:00\",\n"
      "    \"pairingCredential\": \"dpapi:";
  ASSERT_EQ(text.substr(0, head.size()), head);
  EXPECT_EQ(text.substr(text.size() - 8), "\"\n  }\n]\n");
  const std::string blob_hex = text.substr(head.size(), text.size() - 8 - head.size());
  EXPECT_EQ(blob_hex.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(text.find(Hex(credential)), std::string::npos);  // never stored in plain

  auto trust = MakeTrust();
  trust->Load(file_);
  EXPECT_TRUE(log_.Contains("[INFO ] [Trust] Loaded 1 trusted devices from " + PathToUtf8(file_)));
  const std::vector<TrustedDevice> list = trust->List();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].client_name, name);
  EXPECT_TRUE(list[0].credential.empty());
  // The credential came back: the device authenticates without a code.
  const PairingProofResult r = trust->VerifyPairingProof(Proof(credential, "tab-1", kChallenge), "tab-1",
                                                         Bytes(kChallenge));
  EXPECT_TRUE(r.verified);
  EXPECT_TRUE(r.new_credential.empty());
  EXPECT_EQ(manager_->WrongAttempts(), 0u);
}

TEST_F(DeviceTrustTest, PlainCredentialIsMigratedAtOnce) {
  const crypto::Digest credential = Credential(40);
  std::string upper = Hex(credential);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  WriteText(file_, Array({Record("tab-plain", upper)}));

  auto trust = MakeTrust();
  trust->Load(file_);
  EXPECT_EQ(trust->Count(), 1u);
  EXPECT_TRUE(log_.Contains("[INFO ] [Trust] Re-saved trust store with DPAPI-protected credentials"));
  const std::string text = ReadText(file_);
  EXPECT_NE(text.find("\"pairingCredential\": \"dpapi:"), std::string::npos);
  EXPECT_EQ(text.find(upper), std::string::npos);
  EXPECT_FALSE(fs::exists(fs::path(file_) += ".invalid"));  // it was valid JSON
  EXPECT_TRUE(trust->VerifyPairingProof(Proof(credential, "tab-plain", kChallenge), "tab-plain", Bytes(kChallenge))
                  .verified);
}

// A file that is not valid JSON is recovered by the legacy scan, re-saved,
// and kept aside under the first free ".invalid" name first.
TEST_F(DeviceTrustTest, UnparseableFileIsRecoveredAndKeptAside) {
  const crypto::Digest credential = Credential(90);
  const std::string original = Array({Record("tab-a", Hex(credential)), Record("tab-b", "")}, ",");
  WriteText(file_, original);
  const fs::path first_copy = fs::path(file_) += ".invalid";
  WriteText(first_copy, "an older copy");

  auto trust = MakeTrust();
  trust->Load(file_);
  EXPECT_TRUE(log_.Contains("[WARN ] [Trust] Trusted devices file is not valid JSON; recovering legacy layout"));
  EXPECT_EQ(trust->Count(), 2u);
  EXPECT_TRUE(log_.Contains("[Trust] Re-saved trust store"));
  EXPECT_EQ(ReadText(first_copy), "an older copy");
  EXPECT_EQ(ReadText(fs::path(file_) += ".invalid.1"), original);
  std::vector<TrustFileRecord> records;
  ASSERT_TRUE(ParseTrustFileJson(ReadText(file_), &records));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].pairing_credential.rfind("dpapi:", 0), 0u);

  // The copy is made once: later saves just write.
  ASSERT_TRUE(trust->Save());
  EXPECT_FALSE(fs::exists(fs::path(file_) += ".invalid.2"));
}

TEST_F(DeviceTrustTest, UnparseableFileWithoutRecordsIsKeptAsideAtFirstWrite) {
  WriteText(file_, "garbage");
  auto trust = MakeTrust();
  trust->Load(file_);
  EXPECT_EQ(trust->Count(), 0u);
  EXPECT_EQ(ReadText(file_), "garbage");  // nothing recovered: no write at load
  ASSERT_TRUE(trust->TrustDevice("tab", "Tab", Credential(1)));
  ASSERT_TRUE(trust->Save());
  EXPECT_EQ(ReadText(fs::path(file_) += ".invalid"), "garbage");
  EXPECT_TRUE(log_.Contains("[WARN ] [Trust] Kept a copy of the unparseable trusted devices file as "));
}

// Credentials that cannot be used stay in the file exactly as they were
// until the device pairs again.
TEST_F(DeviceTrustTest, UnusableCredentialsAreWrittenBackUnchanged) {
  crypto::Bytes short_blob;
  ASSERT_TRUE(ProtectSecret(crypto::Bytes(16, 0x42), kCredentialProtectionLabel, &short_blob));
  crypto::Bytes other_label_blob;
  ASSERT_TRUE(ProtectSecret(crypto::Bytes(32, 0x43), "another-purpose", &other_label_blob));
  struct Kept {
    const char* id;
    std::string text;
    bool opens;  // the blob opens, but does not hold 32 bytes (or is not a blob)
  };
  const Kept kept[] = {
      {"tab-garbage-blob", "dpapi:00112233", false},
      {"tab-bad-hex", "dpapi:zz", false},
      {"tab-empty-blob", "dpapi:", false},
      {"tab-other-label", "dpapi:" + Hex(other_label_blob), false},
      {"tab-short-plain", "abcd", true},
      {"tab-long-plain", Hex(Credential(1)) + "00", true},
      {"tab-short-blob", "dpapi:" + Hex(short_blob), true},
  };
  std::string file = "[";
  for (const Kept& k : kept) file.append(Record(k.id, k.text)).append(",");
  file.append(Record("tab-good", "")).append("]");
  WriteText(file_, file);

  auto trust = MakeTrust();
  trust->Load(file_);
  ASSERT_EQ(trust->Count(), std::size(kept) + 1);
  for (const Kept& k : kept) {
    SCOPED_TRACE(k.id);
    std::string line = "[WARN ] [Trust] ";
    if (k.opens) {
      line.append("Ignoring malformed credential for ").append(k.id);
    } else {
      line.append("Credential for ").append(k.id).append(" could not be unprotected; device must pair again");
    }
    EXPECT_EQ(log_.Count(line), 1u) << line;
  }
  ASSERT_TRUE(trust->Save());
  std::vector<TrustFileRecord> records;
  ASSERT_TRUE(ParseTrustFileJson(ReadText(file_), &records));
  ASSERT_EQ(records.size(), std::size(kept) + 1);
  for (size_t i = 0; i < std::size(kept); ++i) EXPECT_EQ(records[i].pairing_credential, kept[i].text) << kept[i].id;

  // Such a device cannot authenticate; it pairs again with the code.
  const std::string code = trust->PairingCodeForPrompt();
  crypto::Digest derived{};
  ASSERT_TRUE(DeriveDeviceCredential(code, "tab-garbage-blob", &derived));
  PairingProofResult r =
      trust->VerifyPairingProof(Proof(derived, "tab-garbage-blob", kChallenge), "tab-garbage-blob", Bytes(kChallenge));
  ASSERT_TRUE(r.verified);
  ASSERT_EQ(r.new_credential, crypto::Bytes(derived.begin(), derived.end()));
  ASSERT_TRUE(trust->TrustDevice("tab-garbage-blob", "n", r.new_credential));
  ASSERT_TRUE(trust->Save());
  ASSERT_TRUE(ParseTrustFileJson(ReadText(file_), &records));
  EXPECT_NE(records[0].pairing_credential, kept[0].text);
  EXPECT_EQ(records[0].pairing_credential.rfind("dpapi:", 0), 0u);
  EXPECT_EQ(records[1].pairing_credential, kept[1].text);
}

// A file that is there but cannot be read is never replaced by this run.
TEST_F(DeviceTrustTest, UnreadableFileIsNeverOverwritten) {
  struct Case {
    const char* name;
    bool directory;  // a folder in the file's place: unreadable even for root
  };
  for (const Case c : {Case{"directory", true}, Case{"too large", false}}) {
    SCOPED_TRACE(c.name);
    log_.Clear();
    if (c.directory) {
      ASSERT_TRUE(fs::create_directory(file_));
    } else {
      WriteText(file_, "[]");
      fs::resize_file(file_, kMaxTrustFileBytes + 1);
    }
    auto trust = MakeTrust();
    trust->Load(file_);
    EXPECT_TRUE(trust->save_blocked());
    EXPECT_EQ(log_.Count("[ERROR] [Trust] Cannot read trusted devices file " + PathToUtf8(file_)), 1u);
    EXPECT_FALSE(log_.Contains("No trusted devices file found"));
    ASSERT_TRUE(trust->TrustDevice("tab", "Tab", Credential(3)));
    EXPECT_FALSE(trust->Save());
    EXPECT_TRUE(log_.Contains("[ERROR] [Trust] Not saving " + PathToUtf8(file_)));
    EXPECT_FALSE(fs::exists(fs::path(file_) += ".tmp"));
    if (c.directory) {
      EXPECT_TRUE(fs::is_directory(file_));
      fs::remove(file_);
    } else {
      EXPECT_EQ(fs::file_size(file_), kMaxTrustFileBytes + 1);
      fs::remove(file_);
    }
    // Once the file is gone a new load starts fresh and may save.
    trust->Load(file_);
    EXPECT_FALSE(trust->save_blocked());
    EXPECT_TRUE(trust->Save());
    fs::remove(file_);
  }
}

#ifndef _WIN32
TEST_F(DeviceTrustTest, FileWithoutReadPermissionIsNeverOverwritten) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files without read permission";
  WriteText(file_, Array({Record("tab", "")}));
  ASSERT_EQ(chmod(file_.c_str(), 0), 0);
  auto trust = MakeTrust();
  trust->Load(file_);
  EXPECT_TRUE(trust->save_blocked());
  EXPECT_FALSE(trust->Save());
  chmod(file_.c_str(), 0600);
  EXPECT_EQ(ReadText(file_), Array({Record("tab", "")}));
}
#endif

TEST_F(DeviceTrustTest, DefaultPathAndLegacyCodeFile) {
  WriteText(folder_ / kLegacyPairingCodeFileName, "123456");
  auto trust = MakeTrust();
  trust->Load();
  EXPECT_EQ(trust->path(), file_);
  EXPECT_FALSE(fs::exists(folder_ / kLegacyPairingCodeFileName));
  EXPECT_TRUE(log_.Contains("[INFO ] [Trust] Removed legacy persisted pairing challenge"));

  // An explicit path leaves the legacy file alone.
  WriteText(folder_ / kLegacyPairingCodeFileName, "123456");
  trust->Load(file_);
  EXPECT_TRUE(fs::exists(folder_ / kLegacyPairingCodeFileName));
}

#ifndef _WIN32
TEST_F(DeviceTrustTest, DefaultFolderIsTheDataFolder) {
  DeviceTrust trust(clock_);
  trust.Load();
  EXPECT_EQ(trust.path(), dir_.path() / "OrvaneDisplay" / kTrustedDevicesFileName);
}
#endif

TEST_F(DeviceTrustTest, VerifyByStoredCredentialOrByCode) {
  auto trust = MakeTrust();
  trust->Load(file_);
  const crypto::Digest stored = Credential(11);
  ASSERT_TRUE(trust->TrustDevice("tab-known", "Known", stored));

  // Malformed requests count nothing.
  const crypto::Digest good = Proof(stored, "tab-known", kChallenge);
  const std::string code = trust->PairingCodeForPrompt();
  ASSERT_EQ(code, "000001");
  EXPECT_FALSE(trust->VerifyPairingProof(crypto::ByteView(good.data(), 31), "tab-known", Bytes(kChallenge)).verified);
  EXPECT_FALSE(trust->VerifyPairingProof(good, "tab-known", {}).verified);
  EXPECT_FALSE(trust->VerifyPairingProof(good, "", Bytes(kChallenge)).verified);
  EXPECT_EQ(manager_->WrongAttempts(), 0u);

  // The stored credential: no code involved.
  PairingProofResult r = trust->VerifyPairingProof(good, "tab-known", Bytes(kChallenge));
  EXPECT_TRUE(r.verified);
  EXPECT_TRUE(r.new_credential.empty());
  EXPECT_EQ(manager_->WrongAttempts(), 0u);
  // A different challenge, or a wrong proof from a known device, spends an
  // attempt of the code.
  EXPECT_FALSE(trust->VerifyPairingProof(good, "tab-known", Bytes("another challenge")).verified);
  EXPECT_EQ(manager_->WrongAttempts(), 1u);

  // A new tablet pairs with the code and gets its credential.
  crypto::Digest derived{};
  ASSERT_TRUE(DeriveDeviceCredential(code, "tab-new", &derived));
  r = trust->VerifyPairingProof(Proof(derived, "tab-new", kChallenge), "tab-new", Bytes(kChallenge));
  ASSERT_TRUE(r.verified);
  EXPECT_EQ(r.new_credential, crypto::Bytes(derived.begin(), derived.end()));
  EXPECT_EQ(manager_->Pairings(), 1u);
  EXPECT_EQ(manager_->WrongAttempts(), 0u);
  ASSERT_TRUE(trust->TrustDevice("tab-new", "New", r.new_credential));
  EXPECT_TRUE(log_.Contains("[INFO ] [Trust] Device trusted: New (tab-new)"));
  // The code is used up; the stored credential works from now on.
  EXPECT_TRUE(
      trust->VerifyPairingProof(Proof(derived, "tab-new", "next"), "tab-new", Bytes("next")).verified);
  EXPECT_EQ(manager_->WrongAttempts(), 0u);
}

TEST_F(DeviceTrustTest, WrongCodesPauseAndDecidePairing) {
  auto trust = MakeTrust();
  trust->Load(file_);
  PairingPrompt prompt = trust->DecidePairing();
  EXPECT_EQ(prompt.decision, PairingDecision::kPairingRequired);
  EXPECT_EQ(prompt.code, "000001");

  crypto::Digest wrong{};
  ASSERT_TRUE(DeriveDeviceCredential("999999", "tab-x", &wrong));
  const crypto::Digest proof = Proof(wrong, "tab-x", kChallenge);
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(trust->VerifyPairingProof(proof, "tab-x", Bytes(kChallenge)).verified);
  EXPECT_EQ(log_.Count("[WARN ] [Trust] Pairing paused after too many wrong codes"), 1u);
  EXPECT_TRUE(trust->IsPairingPaused());

  // Paused: no code, but the tablet is told pairing is required.
  prompt = trust->DecidePairing();
  EXPECT_EQ(prompt.decision, PairingDecision::kPairingRequired);
  EXPECT_EQ(prompt.code, "");
  EXPECT_FALSE(log_.Contains("Failed to generate a secure pairing code"));

  // After the pause, with a broken random source: rejected, and logged.
  clock_.AdvanceMs(30'000);
  random_fails_ = true;
  prompt = trust->DecidePairing();
  EXPECT_EQ(prompt.decision, PairingDecision::kRejected);
  EXPECT_EQ(prompt.code, "");
  EXPECT_TRUE(log_.Contains("[ERROR] [Trust] Failed to generate a secure pairing code"));
  EXPECT_STREQ(PairingDecisionName(prompt.decision), "rejected");
}

TEST_F(DeviceTrustTest, TrustUpdateRevokeAndList) {
  auto trust = MakeTrust();
  trust->Load(file_);
  const crypto::Digest first = Credential(1);
  ASSERT_TRUE(trust->TrustDevice("tab\n1", "Name", first));
  EXPECT_TRUE(log_.Contains("[INFO ] [Trust] Device trusted: Name (tab\\x0A1)"));
  EXPECT_FALSE(trust->TrustDevice("", "Nobody"));
  EXPECT_FALSE(trust->TrustDevice("tab-2", "Short", crypto::Bytes(31, 1)));

  // A later authentication updates name and last seen, keeps the credential.
  clock_.AdvanceMs(65'000);
  log_.Clear();
  ASSERT_TRUE(trust->TrustDevice("tab\n1", "Renamed"));
  EXPECT_FALSE(log_.Contains("Device trusted"));
  std::vector<TrustedDevice> list = trust->List();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].client_name, "Renamed");
  EXPECT_EQ(list[0].trusted_at, "2025-01-31T12:00:00");
  EXPECT_EQ(list[0].last_seen, "2025-01-31T12:01:05");
  EXPECT_TRUE(list[0].credential.empty());
  EXPECT_TRUE(trust->VerifyPairingProof(Proof(first, "tab\n1", kChallenge), "tab\n1", Bytes(kChallenge)).verified);

  EXPECT_TRUE(trust->RevokeDevice("tab\n1"));
  EXPECT_TRUE(log_.Contains("[INFO ] [Trust] Device revoked: tab\\x0A1"));
  EXPECT_EQ(trust->Count(), 0u);
  EXPECT_FALSE(trust->RevokeDevice("tab\n1"));
  EXPECT_TRUE(log_.Contains("[INFO ] [Trust] Device not trusted, nothing to revoke: tab\\x0A1"));
  EXPECT_FALSE(trust->VerifyPairingProof(Proof(first, "tab\n1", kChallenge), "tab\n1", Bytes(kChallenge)).verified);
}

TEST_F(DeviceTrustTest, DuplicateIdsUseTheFirstAndRevokeAll) {
  const crypto::Digest a = Credential(20);
  const crypto::Digest b = Credential(60);
  WriteText(file_, Array({Record("dup", Hex(a)), Record("dup", Hex(b))}));
  auto trust = MakeTrust();
  trust->Load(file_);
  ASSERT_EQ(trust->Count(), 2u);
  EXPECT_TRUE(trust->VerifyPairingProof(Proof(a, "dup", kChallenge), "dup", Bytes(kChallenge)).verified);
  EXPECT_FALSE(trust->VerifyPairingProof(Proof(b, "dup", kChallenge), "dup", Bytes(kChallenge)).verified);
  EXPECT_TRUE(trust->RevokeDevice("dup"));
  EXPECT_EQ(trust->Count(), 0u);
}

// The manager's change callback may use the store: the store never calls
// the manager with its own lock held.
TEST_F(DeviceTrustTest, ManagerCallbackMayUseTheStore) {
  auto trust = MakeTrust();
  trust->Load(file_);
  size_t seen = 99;
  manager_->SetChangeCallback([&]() { seen = trust->List().size() + trust->Count(); });
  EXPECT_FALSE(trust->PairingCodeForPrompt().empty());
  EXPECT_EQ(seen, 0u);
  ASSERT_TRUE(trust->TrustDevice("tab", "Tab"));
  const std::string code = manager_->CurrentCode(NowNs());
  crypto::Digest derived{};
  ASSERT_TRUE(DeriveDeviceCredential(code, "tab", &derived));
  EXPECT_TRUE(trust->VerifyPairingProof(Proof(derived, "tab", kChallenge), "tab", Bytes(kChallenge)).verified);
  EXPECT_EQ(seen, 2u);
}

}  // namespace
}  // namespace orvane::security
