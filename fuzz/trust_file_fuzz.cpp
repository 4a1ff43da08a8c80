// trusted_devices.json: the strict reader, the legacy scan, the writer, and
// the whole store (load, migration, copy aside, save, load again).
//
// Input: the bytes of a trusted_devices.json, as they would be on disk.
//
// Invariants:
// - strict reader: a refused text leaves the caller's records untouched; an
//   accepted one formats to a text that reads back (strictly) to the same
//   records and formats again to the same bytes (a fixed point); the legacy
//   scan of that text finds the same records when no value holds a byte the
//   scan cannot see through (quote, backslash, '}', a byte below 0x20);
// - legacy scan: never fails; at most one record per 10 bytes of input
//   ("clientId" with its quotes never overlaps), the values of one field
//   over all records together no longer than the input, no value holds a
//   quote; its records format to a text the strict reader reads back to the
//   same records;
// - the store (the input written to a per-process temporary folder and
//   loaded with DeviceTrust::Load, then saved):
//   - the load rewrites the file only when it holds plain credentials or
//     the legacy scan found records (then with the same devices);
//   - it lists, in file order, exactly the records the strict reader (or,
//     when it refuses, the legacy scan) found that have a client id, with
//     their texts, and never a credential;
//   - a refused file (save_blocked) is left unchanged; otherwise Save()
//     succeeds, leaves no ".tmp", and writes a text the strict reader
//     accepts with the same devices, whose credentials are: protected
//     ("dpapi:", opening to the same 32 bytes) when they were usable (plain
//     hex, or a protected credential that opens), else written back exactly
//     as read (empty, malformed, or not opening);
//   - a file the strict reader refused was first copied aside byte for
//     byte as ".invalid" (one copy); an accepted one is not copied;
//   - a second store loading the saved file lists the same devices, does
//     not rewrite the file, and authenticates every device whose first
//     record held a usable credential with that credential.
// The data folder holds a protection key with fixed bytes, so seeds can
// carry protected credentials that open.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/common/clock.h"
#include "host/common/file_io.h"
#include "host/security/device_trust.h"
#include "host/security/secret_protection.h"

namespace orvane::fuzz {
namespace {

namespace fs = std::filesystem;
using security::TrustFileRecord;

const std::string kChallenge = "fuzz challenge";

bool Exists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

bool SameRecord(const TrustFileRecord& a, const TrustFileRecord& b) {
  return a.client_id == b.client_id && a.client_name == b.client_name && a.trusted_at == b.trusted_at &&
         a.last_seen == b.last_seen && a.pairing_credential == b.pairing_credential;
}

bool SameRecords(const std::vector<TrustFileRecord>& a, const std::vector<TrustFileRecord>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!SameRecord(a[i], b[i])) return false;
  }
  return true;
}

// The legacy scan takes the raw text between two quotes and ends a record at
// the next '}': a value without these bytes (and without escapes) reads the
// same both ways.
bool ScanTransparent(std::string_view value) {
  for (char ch : value) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == '"' || c == '\\' || c == '}') return false;
  }
  return true;
}

bool ScanTransparent(const TrustFileRecord& r) {
  return ScanTransparent(r.client_id) && ScanTransparent(r.client_name) && ScanTransparent(r.trusted_at) &&
         ScanTransparent(r.last_seen) && ScanTransparent(r.pairing_credential);
}

bool IsPlainCredential(std::string_view text) {
  if (text.size() != security::kDeviceCredentialBytes * 2) return false;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// False unless every character is a hex digit and the length is even.
bool DecodeHex(std::string_view text, Bytes* out) {
  out->clear();
  if (text.size() % 2 != 0) return false;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  for (size_t i = 0; i < text.size(); i += 2) {
    out->push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  }
  return true;
}

// The 32-byte credential a stored text stands for: plain hex, or "dpapi:"
// and a blob that opens (with this process's fixed protection key) to 32
// bytes. False for a credential the store cannot use.
bool UsableCredential(std::string_view stored, Bytes* credential) {
  credential->clear();
  if (IsPlainCredential(stored)) return DecodeHex(stored, credential);
  const std::string_view prefix = security::kProtectedCredentialPrefix;
  if (stored.substr(0, prefix.size()) != prefix) return false;
  Bytes blob;
  if (!DecodeHex(stored.substr(prefix.size()), &blob) || blob.empty()) return false;
  if (!security::UnprotectSecret(blob, security::kCredentialProtectionLabel, credential)) return false;
  return credential->size() == security::kDeviceCredentialBytes;
}

void CheckStrictReader(bool parsed, const std::vector<TrustFileRecord>& records) {
  if (!parsed) return;
  const std::string formatted = security::FormatTrustFile(records);
  std::vector<TrustFileRecord> again;
  FUZZ_CHECK(security::ParseTrustFileJson(formatted, &again));
  FUZZ_CHECK(SameRecords(again, records));
  FUZZ_CHECK(security::FormatTrustFile(again) == formatted);

  bool transparent = true;
  for (const TrustFileRecord& r : records) transparent = transparent && ScanTransparent(r);
  if (transparent) FUZZ_CHECK(SameRecords(security::ScanLegacyTrustFile(formatted), records));
}

void CheckLegacyScan(std::string_view text, const std::vector<TrustFileRecord>& scanned) {
  FUZZ_CHECK(scanned.size() * 10 <= text.size());
  size_t id = 0, name = 0, trusted = 0, seen = 0, credential = 0;
  for (const TrustFileRecord& r : scanned) {
    id += r.client_id.size();
    name += r.client_name.size();
    trusted += r.trusted_at.size();
    seen += r.last_seen.size();
    credential += r.pairing_credential.size();
    for (const std::string* v : {&r.client_id, &r.client_name, &r.trusted_at, &r.last_seen, &r.pairing_credential}) {
      FUZZ_CHECK(v->find('"') == std::string::npos);
    }
  }
  FUZZ_CHECK(id <= text.size() && name <= text.size() && trusted <= text.size() && seen <= text.size() &&
             credential <= text.size());

  std::vector<TrustFileRecord> back;
  FUZZ_CHECK(security::ParseTrustFileJson(security::FormatTrustFile(scanned), &back));
  FUZZ_CHECK(SameRecords(back, scanned));
}

bool SameDevices(const std::vector<security::TrustedDevice>& a, const std::vector<security::TrustedDevice>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].client_id != b[i].client_id || a[i].client_name != b[i].client_name ||
        a[i].trusted_at != b[i].trusted_at || a[i].last_seen != b[i].last_seen ||
        a[i].credential != b[i].credential) {
      return false;
    }
  }
  return true;
}

void CheckStore(std::string_view text, bool parsed, const std::vector<TrustFileRecord>& found) {
  const fs::path file = EmptyStoreFolder() / security::kTrustedDevicesFileName;
  WriteFile(file, text);

  std::vector<TrustFileRecord> expected;
  for (const TrustFileRecord& r : found) {
    if (!r.client_id.empty()) expected.push_back(r);
  }

  ManualClock clock;
  security::DeviceTrust trust(clock);
  trust.Load(file);
  const std::vector<security::TrustedDevice> listed = trust.List();
  FUZZ_CHECK(listed.size() == expected.size());
  FUZZ_CHECK(trust.Count() == listed.size());
  for (size_t i = 0; i < listed.size(); ++i) {
    FUZZ_CHECK(listed[i].credential.empty());
    FUZZ_CHECK(listed[i].client_id == expected[i].client_id);
    FUZZ_CHECK(listed[i].client_name == expected[i].client_name);
    FUZZ_CHECK(listed[i].trusted_at == expected[i].trusted_at);
    FUZZ_CHECK(listed[i].last_seen == expected[i].last_seen);
  }

  if (trust.save_blocked()) {
    FUZZ_CHECK(!trust.Save());
    FUZZ_CHECK(ReadWholeFile(file) == text);
    return;
  }

  // The load itself rewrites the file only to migrate plain credentials or
  // to keep what the legacy scan recovered.
  bool migrates = !parsed && !found.empty();
  for (const TrustFileRecord& e : expected) migrates = migrates || IsPlainCredential(e.pairing_credential);
  const std::string after_load = ReadWholeFile(file);
  if (!migrates) {
    FUZZ_CHECK(after_load == text);
  } else {
    std::vector<TrustFileRecord> rewritten;
    FUZZ_CHECK(security::ParseTrustFileJson(after_load, &rewritten) && rewritten.size() == expected.size());
  }

  FUZZ_CHECK(trust.Save());
  FUZZ_CHECK(!Exists(WithSuffix(file, ".tmp")));
  const fs::path aside = WithSuffix(file, ".invalid");
  if (parsed) {
    FUZZ_CHECK(!Exists(aside));
  } else {
    FUZZ_CHECK(ReadWholeFile(aside) == text);
    FUZZ_CHECK(!Exists(WithSuffix(file, ".invalid.1")));
  }

  const std::string saved = ReadWholeFile(file);
  std::vector<TrustFileRecord> written;
  FUZZ_CHECK(security::ParseTrustFileJson(saved, &written));
  FUZZ_CHECK(written.size() == expected.size());
  for (size_t i = 0; i < written.size(); ++i) {
    const TrustFileRecord& w = written[i];
    const TrustFileRecord& e = expected[i];
    FUZZ_CHECK(w.client_id == e.client_id && w.client_name == e.client_name && w.trusted_at == e.trusted_at &&
               w.last_seen == e.last_seen);
    Bytes credential;
    if (UsableCredential(e.pairing_credential, &credential)) {
      FUZZ_CHECK(w.pairing_credential.rfind(security::kProtectedCredentialPrefix, 0) == 0);
      Bytes reopened;
      FUZZ_CHECK(UsableCredential(w.pairing_credential, &reopened) && reopened == credential);
    } else {
      FUZZ_CHECK(w.pairing_credential == e.pairing_credential);  // empty, or kept as it was
    }
  }

  security::DeviceTrust second(clock);
  second.Load(file);
  FUZZ_CHECK(!second.save_blocked());
  FUZZ_CHECK(SameDevices(second.List(), listed));
  FUZZ_CHECK(ReadWholeFile(file) == saved);

  std::set<std::string> tried;
  for (const TrustFileRecord& e : expected) {
    if (!tried.insert(e.client_id).second) continue;  // only the first record of an id counts
    Bytes credential;
    if (!UsableCredential(e.pairing_credential, &credential)) continue;
    crypto::Digest proof{};
    FUZZ_CHECK(security::ComputePairingProof(credential, e.client_id, View(kChallenge), &proof));
    FUZZ_CHECK(second.VerifyPairingProof(proof, e.client_id, View(kChallenge)).verified);
  }
}

}  // namespace
}  // namespace orvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvane::fuzz;
  QuietLogs();
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  std::vector<TrustFileRecord> strict{TrustFileRecord{"sentinel", "", "", "", ""}};
  const bool parsed = orvane::security::ParseTrustFileJson(text, &strict);
  if (!parsed) FUZZ_CHECK(strict.size() == 1 && strict[0].client_id == "sentinel");
  CheckStrictReader(parsed, strict);

  const std::vector<TrustFileRecord> scanned = orvane::security::ScanLegacyTrustFile(text);
  CheckLegacyScan(text, scanned);

  CheckStore(text, parsed, parsed ? strict : scanned);
  return 0;
}
