#include "host/security/device_trust.h"

#include <algorithm>
#include <cstdio>
#include <system_error>
#include <utility>

#include "host/common/data_folder.h"
#include "host/common/file_io.h"
#include "host/common/logger.h"
#include "host/common/utf.h"
#include "host/security/secret_protection.h"

namespace orvane::security {

namespace {

// Log lines quote at most this much of an id or name read from a tablet or
// from the file.
constexpr size_t kMaxLoggedTextBytes = 128;
// How many numbered ".invalid" names are tried before giving up.
constexpr int kMaxInvalidCopies = 100;

crypto::ByteView AsBytes(std::string_view text) {
  return crypto::ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string LogText(std::string_view text) {
  const std::string_view head = Utf8Prefix(text, kMaxLoggedTextBytes);
  std::string out = EscapeUntrusted(head);
  if (head.size() < text.size()) out += "...";
  return out;
}

void WipeString(std::string& text) {
  crypto::SecureWipe(text.data(), text.size());
  text.clear();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string HexLower(crypto::ByteView bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

// Even length, hex digits of either case.
bool HexDecode(std::string_view text, crypto::Bytes* out) {
  out->clear();
  if (text.size() % 2 != 0) return false;
  out->reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexValue(text[i]);
    const int lo = HexValue(text[i + 1]);
    if (hi < 0 || lo < 0) {
      crypto::SecureWipe(*out);
      return false;
    }
    out->push_back(static_cast<uint8_t>((hi << 4) | lo));
  }
  return true;
}

bool IsCredentialHex(std::string_view text) {
  if (text.size() != kDeviceCredentialBytes * 2) return false;
  for (char c : text) {
    if (HexValue(c) < 0) return false;
  }
  return true;
}

std::string ToLowerHex(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The strict reader. The file is one array of flat objects, so one loop
// over the array and one over each object's members cover the grammar; a
// nested object or array is refused rather than descended into.
//   - an optional UTF-8 byte-order mark; white space is space, tab, LF, CR;
//   - member values are strings (the JSON escapes, \u with surrogate pairs,
//     written as UTF-8; an unpaired surrogate, another escape or a raw byte
//     below 0x20 fails) or bare tokens (true, false, null, numbers) ending
//     at white space, ',', ']' or '}', which are ignored;
//   - a later duplicate key replaces an earlier one.
class TrustJsonReader {
 public:
  explicit TrustJsonReader(std::string_view text) : s_(text) {}

  bool Parse(std::vector<TrustFileRecord>* records) {
    if (s_.substr(0, 3) == "\xEF\xBB\xBF") i_ = 3;
    SkipSpace();
    if (!Take('[')) return false;
    SkipSpace();
    if (!Take(']')) {
      for (;;) {
        if (Peek() != '{') return false;
        TrustFileRecord record;
        if (!ParseObject(&record)) return false;
        records->push_back(std::move(record));
        SkipSpace();
        if (Take(']')) break;
        if (!Take(',')) return false;
        SkipSpace();
      }
    }
    SkipSpace();
    return i_ == s_.size();
  }

 private:
  int Peek() const { return i_ < s_.size() ? static_cast<unsigned char>(s_[i_]) : -1; }

  bool Take(char c) {
    if (Peek() != static_cast<unsigned char>(c)) return false;
    ++i_;
    return true;
  }

  void SkipSpace() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }

  bool ParseObject(TrustFileRecord* record) {
    ++i_;  // '{'
    SkipSpace();
    if (Take('}')) return true;
    for (;;) {
      if (Peek() != '"') return false;
      std::string key;
      if (!ParseString(&key)) return false;
      SkipSpace();
      if (!Take(':')) return false;
      SkipSpace();
      const int c = Peek();
      if (c == '"') {
        std::string value;
        if (!ParseString(&value)) return false;
        std::string* field = FieldFor(record, key);
        if (field != nullptr) {
          WipeString(*field);
          *field = std::move(value);
        } else {
          WipeString(value);
        }
      } else if (c == '{' || c == '[') {
        return false;
      } else if (!SkipBareToken()) {
        return false;
      }
      SkipSpace();
      if (Take('}')) return true;
      if (!Take(',')) return false;
      SkipSpace();
    }
  }

  static std::string* FieldFor(TrustFileRecord* record, std::string_view key) {
    if (key == "clientId") return &record->client_id;
    if (key == "clientName") return &record->client_name;
    if (key == "trustedAt") return &record->trusted_at;
    if (key == "lastSeen") return &record->last_seen;
    if (key == "pairingCredential") return &record->pairing_credential;
    return nullptr;
  }

  bool ReadHex4(uint32_t* value) {
    if (s_.size() - i_ < 4) return false;
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      const int d = HexValue(s_[i_ + k]);
      if (d < 0) return false;
      v = (v << 4) | static_cast<uint32_t>(d);
    }
    i_ += 4;
    *value = v;
    return true;
  }

  bool ParseString(std::string* out) {
    ++i_;  // opening quote
    for (;;) {
      if (i_ >= s_.size()) return false;
      const unsigned char c = static_cast<unsigned char>(s_[i_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
        continue;
      }
      if (i_ >= s_.size()) return false;
      const char e = s_[i_++];
      switch (e) {
        case '"': out->push_back('"'); break;
        case '\\': out->push_back('\\'); break;
        case '/': out->push_back('/'); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'u': {
          uint32_t cp = 0;
          if (!ReadHex4(&cp)) return false;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return false;  // a low half alone
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t low = 0;
            if (s_.substr(i_, 2) != "\\u") return false;
            i_ += 2;
            if (!ReadHex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          AppendUtf8(out, cp);
          break;
        }
        default:
          return false;
      }
    }
  }

  // true, false, null or a JSON number, ending at white space, ',', ']',
  // '}' or the end of the text.
  bool SkipBareToken() {
    const size_t start = i_;
    while (i_ < s_.size()) {
      const char c = s_[i_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == ']' || c == '}') break;
      ++i_;
    }
    const std::string_view token = s_.substr(start, i_ - start);
    return token == "true" || token == "false" || token == "null" || IsNumber(token);
  }

  static bool IsNumber(std::string_view t) {
    size_t k = 0;
    auto digits = [&]() {
      const size_t from = k;
      while (k < t.size() && t[k] >= '0' && t[k] <= '9') ++k;
      return k > from;
    };
    if (k < t.size() && t[k] == '-') ++k;
    if (k < t.size() && t[k] == '0') {
      ++k;
    } else if (!digits()) {
      return false;
    }
    if (k < t.size() && t[k] == '.') {
      ++k;
      if (!digits()) return false;
    }
    if (k < t.size() && (t[k] == 'e' || t[k] == 'E')) {
      ++k;
      if (k < t.size() && (t[k] == '+' || t[k] == '-')) ++k;
      if (!digits()) return false;
    }
    return k == t.size();
  }

  std::string_view s_;
  size_t i_ = 0;
};

// find() for a stream of queries whose start positions never decrease: an
// answer is reused while it still lies ahead, so a whole scan costs linear
// time however the text is built.
class ForwardFinder {
 public:
  ForwardFinder(std::string_view text, std::string_view needle) : text_(text), needle_(needle) {}

  size_t Find(size_t from) {
    if (valid_ && from >= from_ && (found_ == std::string_view::npos || from <= found_)) return found_;
    from_ = from;
    found_ = from > text_.size() ? std::string_view::npos : text_.find(needle_, from);
    valid_ = true;
    return found_;
  }

 private:
  std::string_view text_;
  std::string_view needle_;
  size_t from_ = 0;
  size_t found_ = std::string_view::npos;
  bool valid_ = false;
};

constexpr size_t kNpos = std::string_view::npos;

// Locates "key", then the next ':', then the next two '"' inside one record.
class LegacyKeyScanner {
 public:
  LegacyKeyScanner(std::string_view text, std::string_view quoted_key)
      : key_len_(quoted_key.size()),
        key_(text, quoted_key),
        colon_(text, ":"),
        open_(text, "\""),
        close_(text, "\"") {}

  // The raw value and the position after its closing quote, or false when a
  // piece is missing before `end`.
  bool Find(std::string_view text, size_t start, size_t end, std::string_view* value, size_t* after) {
    const size_t key = key_.Find(start);
    if (key == kNpos || key + key_len_ > end) return false;
    const size_t colon = colon_.Find(key + key_len_);
    if (colon == kNpos || colon >= end) return false;
    const size_t open = open_.Find(colon + 1);
    if (open == kNpos || open >= end) return false;
    const size_t close = close_.Find(open + 1);
    if (close == kNpos || close >= end) return false;
    *value = text.substr(open + 1, close - open - 1);
    *after = close + 1;
    return true;
  }

 private:
  size_t key_len_;
  ForwardFinder key_;
  ForwardFinder colon_;
  ForwardFinder open_;
  ForwardFinder close_;
};

void AppendEscaped(std::string* out, std::string_view value) {
  for (char ch : value) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': *out += "\\\""; break;
      case '\\': *out += "\\\\"; break;
      case '\b': *out += "\\b"; break;
      case '\f': *out += "\\f"; break;
      case '\n': *out += "\\n"; break;
      case '\r': *out += "\\r"; break;
      case '\t': *out += "\\t"; break;
      default:
        if (c < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof(esc), "\\u%04x", static_cast<unsigned>(c));
          *out += esc;
        } else {
          out->push_back(ch);
        }
    }
  }
}

void AppendMember(std::string* out, const char* key, std::string_view value, bool last) {
  *out += "    \"";
  *out += key;
  *out += "\": \"";
  AppendEscaped(out, value);
  *out += last ? "\"\n" : "\",\n";
}

void WipeRecords(std::vector<TrustFileRecord>* records) {
  for (TrustFileRecord& r : *records) WipeString(r.pairing_credential);
  records->clear();
}

}  // namespace

bool ParseTrustFileJson(std::string_view text, std::vector<TrustFileRecord>* records) {
  std::vector<TrustFileRecord> parsed;
  TrustJsonReader reader(text);
  if (!reader.Parse(&parsed)) {
    WipeRecords(&parsed);
    return false;
  }
  *records = std::move(parsed);
  return true;
}

std::vector<TrustFileRecord> ScanLegacyTrustFile(std::string_view text) {
  std::vector<TrustFileRecord> records;
  ForwardFinder record_start(text, "\"clientId\"");
  ForwardFinder record_end(text, "}");
  LegacyKeyScanner id(text, "\"clientId\"");
  LegacyKeyScanner name(text, "\"clientName\"");
  LegacyKeyScanner trusted(text, "\"trustedAt\"");
  LegacyKeyScanner seen(text, "\"lastSeen\"");
  LegacyKeyScanner credential(text, "\"pairingCredential\"");
  size_t start = record_start.Find(0);
  while (start != kNpos) {
    const size_t brace = record_end.Find(start);
    const size_t end = brace == kNpos ? text.size() : brace;
    TrustFileRecord record;
    std::string_view value;
    size_t after = 0;
    size_t resume = start + std::string_view("\"clientId\"").size();
    if (id.Find(text, start, end, &value, &after)) {
      record.client_id = std::string(value);
      resume = after;
    }
    // The other keys are looked for only up to the next record as well:
    // records without a closing brace would otherwise all take the same
    // value from further on, and a file of many such records would cost
    // memory quadratic in its size. This way the values of one key over
    // all records are disjoint pieces of the text.
    const size_t next = record_start.Find(resume);
    const size_t own_end = next == kNpos ? end : std::min(end, next);
    if (name.Find(text, start, own_end, &value, &after)) record.client_name = std::string(value);
    if (trusted.Find(text, start, own_end, &value, &after)) record.trusted_at = std::string(value);
    if (seen.Find(text, start, own_end, &value, &after)) record.last_seen = std::string(value);
    if (credential.Find(text, start, own_end, &value, &after)) record.pairing_credential = std::string(value);
    records.push_back(std::move(record));
    start = next;
  }
  return records;
}

std::string FormatTrustFile(const std::vector<TrustFileRecord>& records) {
  std::string out = "[\n";
  for (size_t i = 0; i < records.size(); ++i) {
    const TrustFileRecord& r = records[i];
    out += "  {\n";
    AppendMember(&out, "clientId", r.client_id, false);
    AppendMember(&out, "clientName", r.client_name, false);
    AppendMember(&out, "trustedAt", r.trusted_at, false);
    AppendMember(&out, "lastSeen", r.last_seen, false);
    AppendMember(&out, "pairingCredential", r.pairing_credential, true);
    out += i + 1 < records.size() ? "  },\n" : "  }\n";
  }
  out += "]\n";
  return out;
}

std::string FormatTrustTime(const LocalTime& t) {
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

bool DeriveDeviceCredential(std::string_view code, std::string_view client_id, crypto::Digest* credential) {
  return crypto::HmacSha256(AsBytes(code), {AsBytes(client_id), AsBytes(kPairingCredentialLabel)}, credential);
}

bool ComputePairingProof(crypto::ByteView credential, std::string_view client_id, crypto::ByteView challenge,
                         crypto::Digest* proof) {
  return crypto::HmacSha256(credential, {AsBytes(client_id), challenge}, proof);
}

const char* PairingDecisionName(PairingDecision decision) {
  switch (decision) {
    case PairingDecision::kPairingRequired: return "pairing_required";
    case PairingDecision::kRejected: return "rejected";
  }
  return "unknown";
}

DeviceTrust::Record::~Record() {
  WipeString(device.credential);
  WipeString(kept_credential);
}

DeviceTrust::DeviceTrust(IClock& clock) : clock_(clock), manager_(std::make_shared<PairingCodeManager>()) {}

DeviceTrust::~DeviceTrust() {
  std::lock_guard<std::mutex> lock(mu_);
  ClearLocked();
  WipeString(unparsed_original_);
}

void DeviceTrust::SetDefaultFolder(std::filesystem::path folder) {
  std::lock_guard<std::mutex> lock(mu_);
  default_folder_ = std::move(folder);
}

uint64_t DeviceTrust::NowNs() { return clock_.TickMs() * 1'000'000ull; }

std::filesystem::path DeviceTrust::DefaultFolderLocked() {
  return default_folder_.empty() ? DataFolderOrCurrent() : default_folder_;
}

void DeviceTrust::ClearLocked() { records_.clear(); }

void DeviceTrust::AddLoadedRecord(const TrustFileRecord& in, bool* resave) {
  if (in.client_id.empty()) return;
  Record record;
  record.device.client_id = in.client_id;
  record.device.client_name = in.client_name;
  record.device.trusted_at = in.trusted_at;
  record.device.last_seen = in.last_seen;
  const std::string_view stored = in.pairing_credential;
  const std::string_view prefix = kProtectedCredentialPrefix;
  if (stored.substr(0, prefix.size()) == prefix) {
    crypto::Bytes blob;
    crypto::Bytes plain;
    HostResult result;
    if (!HexDecode(stored.substr(prefix.size()), &blob) || blob.empty() ||
        !UnprotectSecret(blob, kCredentialProtectionLabel, &plain, &result)) {
      LogWarn("[Trust] Credential for %s could not be unprotected; device must pair again",
              LogText(in.client_id).c_str());
      record.kept_credential = std::string(stored);
    } else if (plain.size() != kDeviceCredentialBytes) {
      LogWarn("[Trust] Ignoring malformed credential for %s", LogText(in.client_id).c_str());
      record.kept_credential = std::string(stored);
    } else {
      record.device.credential = HexLower(plain);
    }
    crypto::SecureWipe(plain);
  } else if (!stored.empty()) {
    if (IsCredentialHex(stored)) {
      // A plain credential from an older host: protect it now.
      record.device.credential = ToLowerHex(stored);
      *resave = true;
    } else {
      LogWarn("[Trust] Ignoring malformed credential for %s", LogText(in.client_id).c_str());
      record.kept_credential = std::string(stored);
    }
  }
  records_.push_back(std::move(record));
}

void DeviceTrust::Load(const std::filesystem::path& path) {
  std::lock_guard<std::mutex> lock(mu_);
  const bool default_path = path.empty();
  const std::filesystem::path folder = default_path ? DefaultFolderLocked() : std::filesystem::path();
  path_ = default_path ? folder / kTrustedDevicesFileName : path;
  const std::string where = PathToUtf8(path_);
  ClearLocked();
  save_blocked_ = false;
  copy_aside_pending_ = false;
  WipeString(unparsed_original_);

  bool resave = false;
  FileReadResult file = ReadFileBounded(path_, kMaxTrustFileBytes);
  switch (file.status) {
    case FileReadStatus::kAbsent:
      LogInfo("[Trust] No trusted devices file found -- starting fresh");
      break;
    case FileReadStatus::kUnreadable:
    case FileReadStatus::kTooLarge:
      // It may hold every pairing the user made: never write over it from a
      // list that does not contain them.
      LogError("[Trust] Cannot read trusted devices file %s (%s, error %d); starting without trusted devices and "
               "leaving the file unchanged",
               where.c_str(), FileReadStatusName(file.status), file.error);
      save_blocked_ = true;
      break;
    case FileReadStatus::kOk: {
      std::vector<TrustFileRecord> parsed;
      if (!ParseTrustFileJson(file.bytes, &parsed)) {
        LogWarn("[Trust] Trusted devices file is not valid JSON; recovering legacy layout");
        parsed = ScanLegacyTrustFile(file.bytes);
        if (!parsed.empty()) resave = true;
        copy_aside_pending_ = true;
        unparsed_original_ = file.bytes;
      }
      for (const TrustFileRecord& record : parsed) AddLoadedRecord(record, &resave);
      WipeRecords(&parsed);
      break;
    }
  }
  WipeString(file.bytes);

  LogInfo("[Trust] Loaded %zu trusted devices from %s", records_.size(), where.c_str());
  if (resave) {
    if (SaveLocked()) {
      LogInfo("[Trust] Re-saved trust store with DPAPI-protected credentials");
    } else {
      LogError("[Trust] Failed to migrate trust store to DPAPI-protected credentials");
    }
  }

  if (default_path) {
    std::error_code ec;
    const std::filesystem::path legacy = folder / kLegacyPairingCodeFileName;
    if (std::filesystem::remove(legacy, ec)) {
      LogInfo("[Trust] Removed legacy persisted pairing challenge");
    } else if (ec) {
      LogWarn("[Trust] Cannot remove %s: %s", PathToUtf8(legacy).c_str(), ec.message().c_str());
    }
  }
}

bool DeviceTrust::Save() {
  std::lock_guard<std::mutex> lock(mu_);
  return SaveLocked();
}

bool DeviceTrust::CopyAsideLocked() {
  for (int n = 0; n < kMaxInvalidCopies; ++n) {
    std::filesystem::path copy = path_;
    copy += n == 0 ? std::string(".invalid") : ".invalid." + std::to_string(n);
    std::error_code ec;
    const bool exists = std::filesystem::exists(copy, ec);
    if (ec || exists) continue;  // taken, or cannot tell: never replace one
    HostResult result;
    if (!SafeReplaceFile(copy, unparsed_original_, &result)) {
      LogError("[Trust] Cannot keep a copy of the unparseable trusted devices file as %s: %s",
               PathToUtf8(copy).c_str(), result.ToString().c_str());
      return false;
    }
    LogWarn("[Trust] Kept a copy of the unparseable trusted devices file as %s", PathToUtf8(copy).c_str());
    copy_aside_pending_ = false;
    WipeString(unparsed_original_);
    return true;
  }
  LogError("[Trust] No free name for a copy of the unparseable trusted devices file %s", PathToUtf8(path_).c_str());
  return false;
}

bool DeviceTrust::SaveLocked() {
  if (path_.empty()) path_ = DefaultFolderLocked() / kTrustedDevicesFileName;
  const std::string where = PathToUtf8(path_);
  if (save_blocked_) {
    LogError("[Trust] Not saving %s: the file could not be read when it was loaded and is left unchanged",
             where.c_str());
    return false;
  }

  std::vector<TrustFileRecord> out;
  out.reserve(records_.size());
  for (const Record& record : records_) {
    TrustFileRecord r;
    r.client_id = record.device.client_id;
    r.client_name = record.device.client_name;
    r.trusted_at = record.device.trusted_at;
    r.last_seen = record.device.last_seen;
    if (!record.device.credential.empty()) {
      crypto::Bytes plain;
      crypto::Bytes blob;
      HostResult result;
      const bool ok = HexDecode(record.device.credential, &plain) &&
                      ProtectSecret(plain, kCredentialProtectionLabel, &blob, &result);
      crypto::SecureWipe(plain);
      if (!ok) {
        LogError("[Trust] DPAPI protect failed for %s; trust store not saved",
                 LogText(record.device.client_id).c_str());
        WipeRecords(&out);
        return false;
      }
      r.pairing_credential = kProtectedCredentialPrefix + HexLower(blob);
    } else {
      r.pairing_credential = record.kept_credential;
    }
    out.push_back(std::move(r));
  }
  const std::string text = FormatTrustFile(out);
  WipeRecords(&out);

  if (copy_aside_pending_ && !CopyAsideLocked()) {
    LogError("[Trust] Cannot write to %s", where.c_str());
    return false;
  }
  HostResult result;
  if (!SafeReplaceFile(path_, text, &result)) {
    LogWarn("[Trust] Replacing %s failed: %s", where.c_str(), result.ToString().c_str());
    LogError("[Trust] Cannot write to %s", where.c_str());
    return false;
  }
  LogInfo("[Trust] Saved %zu trusted devices to %s", records_.size(), where.c_str());
  return true;
}

std::shared_ptr<PairingCodeManager> DeviceTrust::Manager() {
  std::lock_guard<std::mutex> lock(mu_);
  return manager_;
}

PairingProofResult DeviceTrust::VerifyPairingProof(crypto::ByteView proof, std::string_view client_id,
                                                   crypto::ByteView challenge) {
  PairingProofResult result;
  if (proof.size() != kPairingProofBytes || challenge.empty() || client_id.empty()) return result;

  std::shared_ptr<PairingCodeManager> manager;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const Record& record : records_) {
      if (record.device.client_id != client_id) continue;
      // Only the first record with this id is tried.
      crypto::Bytes credential;
      if (!record.device.credential.empty() && HexDecode(record.device.credential, &credential)) {
        crypto::Digest expected{};
        const bool match = ComputePairingProof(credential, client_id, challenge, &expected) &&
                           crypto::ConstantTimeEqual(expected, proof);
        crypto::SecureWipe(expected.data(), expected.size());
        crypto::SecureWipe(credential);
        if (match) {
          result.verified = true;
          return result;
        }
      }
      break;
    }
    manager = manager_;
  }

  // A device whose stored credential did not match spends an attempt of the
  // current code like any other tablet.
  const uint64_t now = NowNs();
  std::optional<std::string> matched = manager->TryCode(now, [&](const std::string& code) {
    crypto::Digest candidate{};
    crypto::Digest expected{};
    bool match = DeriveDeviceCredential(code, client_id, &candidate) &&
                 ComputePairingProof(candidate, client_id, challenge, &expected) &&
                 crypto::ConstantTimeEqual(expected, proof);
    if (match) result.new_credential.assign(candidate.begin(), candidate.end());
    crypto::SecureWipe(candidate.data(), candidate.size());
    crypto::SecureWipe(expected.data(), expected.size());
    return match;
  });
  if (matched) {
    WipeString(*matched);
    result.verified = true;
    return result;
  }
  crypto::SecureWipe(result.new_credential);
  if (manager->IsPaused(now)) LogWarn("[Trust] Pairing paused after too many wrong codes");
  return result;
}

bool DeviceTrust::TrustDevice(std::string_view client_id, std::string_view client_name,
                              crypto::ByteView new_credential) {
  if (client_id.empty()) return false;
  if (!new_credential.empty() && new_credential.size() != kDeviceCredentialBytes) {
    LogError("[Trust] Refusing a %zu-byte credential for %s", new_credential.size(), LogText(client_id).c_str());
    return false;
  }
  const std::string now = FormatTrustTime(clock_.LocalNow());
  std::lock_guard<std::mutex> lock(mu_);
  for (Record& record : records_) {
    if (record.device.client_id != client_id) continue;
    record.device.client_name = std::string(client_name);
    record.device.last_seen = now;
    if (!new_credential.empty()) {
      WipeString(record.device.credential);
      WipeString(record.kept_credential);
      record.device.credential = HexLower(new_credential);
    }
    return true;
  }
  Record record;
  record.device.client_id = std::string(client_id);
  record.device.client_name = std::string(client_name);
  record.device.trusted_at = now;
  record.device.last_seen = now;
  if (!new_credential.empty()) record.device.credential = HexLower(new_credential);
  records_.push_back(std::move(record));
  LogInfo("[Trust] Device trusted: %s (%s)", LogText(client_name).c_str(), LogText(client_id).c_str());
  return true;
}

bool DeviceTrust::RevokeDevice(std::string_view client_id) {
  std::lock_guard<std::mutex> lock(mu_);
  const size_t before = records_.size();
  // Wiped here: erasing moves the later records over these, and a moved
  // string may hand its old buffer to the source unwiped.
  for (Record& record : records_) {
    if (record.device.client_id != client_id) continue;
    WipeString(record.device.credential);
    WipeString(record.kept_credential);
  }
  std::erase_if(records_, [&](const Record& record) { return record.device.client_id == client_id; });
  const bool removed = records_.size() != before;
  LogInfo("[Trust] Device %s: %s", removed ? "revoked" : "not trusted, nothing to revoke",
          LogText(client_id).c_str());
  return removed;
}

size_t DeviceTrust::Count() {
  std::lock_guard<std::mutex> lock(mu_);
  return records_.size();
}

std::vector<TrustedDevice> DeviceTrust::List() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<TrustedDevice> out;
  out.reserve(records_.size());
  for (const Record& record : records_) {
    TrustedDevice copy;
    copy.client_id = record.device.client_id;
    copy.client_name = record.device.client_name;
    copy.trusted_at = record.device.trusted_at;
    copy.last_seen = record.device.last_seen;
    out.push_back(std::move(copy));
  }
  return out;
}

std::string DeviceTrust::PairingCodeForPrompt() {
  const std::shared_ptr<PairingCodeManager> manager = Manager();
  const uint64_t now = NowNs();
  std::string code = manager->CurrentCode(now);
  if (code.empty() && !manager->IsPaused(now)) LogError("[Trust] Failed to generate a secure pairing code");
  return code;
}

bool DeviceTrust::IsPairingPaused() { return Manager()->IsPaused(NowNs()); }

PairingPrompt DeviceTrust::DecidePairing() {
  PairingPrompt prompt;
  prompt.code = PairingCodeForPrompt();
  prompt.decision = !prompt.code.empty() || IsPairingPaused() ? PairingDecision::kPairingRequired
                                                              : PairingDecision::kRejected;
  return prompt;
}

void DeviceTrust::SetPairingCodeManager(std::shared_ptr<PairingCodeManager> manager) {
  if (!manager) manager = std::make_shared<PairingCodeManager>();
  std::lock_guard<std::mutex> lock(mu_);
  manager_ = std::move(manager);
}

std::shared_ptr<PairingCodeManager> DeviceTrust::pairing_code_manager() { return Manager(); }

std::filesystem::path DeviceTrust::path() {
  std::lock_guard<std::mutex> lock(mu_);
  return path_;
}

bool DeviceTrust::save_blocked() {
  std::lock_guard<std::mutex> lock(mu_);
  return save_blocked_;
}

}  // namespace orvane::security
