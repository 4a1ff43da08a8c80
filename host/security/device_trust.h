#pragma once
// DeviceTrust: the tablets that paired with this host, kept in
// trusted_devices.json in the data folder.
//
// A tablet proves itself with HMAC-SHA256(credential, client_id || challenge).
// A tablet that paired before holds its credential and the store finds it; a
// new tablet derives the credential from the pairing code shown on the PC and
// the store keeps it from then on. Credentials are stored protected for the
// user (ProtectSecret with the label below) as "dpapi:" + lower-case hex of
// the blob, on both platforms, so one reader serves both.
//
// The file is untrusted input: its size is bounded, the reader does not
// recurse, and any content at all loads to something (possibly nothing).
// It is also the user's only copy of the trust relationships, so:
//   - a file that exists but cannot be read is never taken for a missing
//     one; this store then refuses to save over it;
//   - a file that is not valid JSON is copied aside (".invalid", numbered
//     when that name is taken) before it is first overwritten;
//   - a credential that cannot be opened (another user, damaged blob) or is
//     malformed is written back exactly as it was read, until the device
//     pairs again and gets a new one; meanwhile it cannot authenticate.
//
// Every operation takes the store's lock. The pairing-code manager is never
// called with that lock held, so the manager's change callback may use the
// store.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "host/common/clock.h"
#include "host/security/crypto.h"
#include "host/security/pairing_code.h"

namespace orvane::security {

inline constexpr char kTrustedDevicesFileName[] = "trusted_devices.json";
// Where older hosts kept the current pairing code; removed at load.
inline constexpr char kLegacyPairingCodeFileName[] = "active_pairing_code.txt";
// The protection label of stored credentials (35 bytes).
inline constexpr char kCredentialProtectionLabel[] = "orvane-paired-tablet-sealing-key-v1";
inline constexpr char kProtectedCredentialPrefix[] = "dpapi:";
// A real store holds a few hundred bytes per device; anything larger than
// this is not one of ours and is treated as unreadable.
inline constexpr size_t kMaxTrustFileBytes = 4u * 1024u * 1024u;
inline constexpr size_t kDeviceCredentialBytes = 32;
inline constexpr size_t kPairingProofBytes = 32;

// One device as the settings window sees it.
struct TrustedDevice {
  std::string client_id;
  std::string client_name;
  std::string trusted_at;  // local time, "%Y-%m-%dT%H:%M:%S"
  std::string last_seen;
  // 64 lower-case hex digits; empty when the device must pair again (and in
  // the copies List() hands out).
  std::string credential;
};

// One object of the file, its five texts as stored.
struct TrustFileRecord {
  std::string client_id;
  std::string client_name;
  std::string trusted_at;
  std::string last_seen;
  std::string pairing_credential;
};

// The strict reader: one array of flat objects (see the .cpp for the exact
// rules). True and every object in file order, or false.
bool ParseTrustFileJson(std::string_view text, std::vector<TrustFileRecord>* records);
// Recovery for files the strict reader refuses: the raw text between the
// quotes after each of the five keys, record by record. Every "clientId"
// starts a record, which ends at the next '}' or where the next record
// starts, so the values of one key over all records are disjoint pieces of
// the text (at most the text's size in all).
std::vector<TrustFileRecord> ScanLegacyTrustFile(std::string_view text);
// The file text, in the one layout the host writes (LF line ends).
std::string FormatTrustFile(const std::vector<TrustFileRecord>& records);
// "%Y-%m-%dT%H:%M:%S".
std::string FormatTrustTime(const LocalTime& time);

// credential = HMAC-SHA256(key = the code's digits, client_id || kPairingCredentialLabel)
bool DeriveDeviceCredential(std::string_view code, std::string_view client_id, crypto::Digest* credential);
// proof = HMAC-SHA256(key = credential, client_id || challenge)
bool ComputePairingProof(crypto::ByteView credential, std::string_view client_id, crypto::ByteView challenge,
                         crypto::Digest* proof);

struct PairingProofResult {
  bool verified = false;
  // 32 bytes when the proof matched the pairing code (the caller stores it
  // with TrustDevice); empty when a stored credential matched. Wiped on
  // destruction.
  crypto::Bytes new_credential;

  PairingProofResult() = default;
  ~PairingProofResult() { crypto::SecureWipe(new_credential); }
  PairingProofResult(PairingProofResult&&) = default;
  PairingProofResult& operator=(PairingProofResult&&) = default;
  PairingProofResult(const PairingProofResult&) = delete;
  PairingProofResult& operator=(const PairingProofResult&) = delete;
};

// The answer to a tablet whose proof did not verify.
enum class PairingDecision : int {
  kPairingRequired = 0,  // show `code` (when not empty) and let the tablet try again
  kRejected = 1,         // no code could be made and pairing is not paused
};
// "pairing_required", "rejected".
const char* PairingDecisionName(PairingDecision decision);

struct PairingPrompt {
  PairingDecision decision = PairingDecision::kRejected;
  // The code to show on the PC (never sent to the tablet); empty while
  // pairing is paused or when no code could be made.
  std::string code;
};

class DeviceTrust {
 public:
  // Times come from the clock: TickMs for the pairing code, LocalNow for
  // trustedAt and lastSeen. The store starts with its own pairing-code
  // manager; SetPairingCodeManager shares the process-wide one.
  explicit DeviceTrust(IClock& clock = SystemClock());
  ~DeviceTrust();
  DeviceTrust(const DeviceTrust&) = delete;
  DeviceTrust& operator=(const DeviceTrust&) = delete;

  // The folder an empty path stands for; empty (the default) means
  // DataFolderOrCurrent(). For tests.
  void SetDefaultFolder(std::filesystem::path folder);

  // Replaces the list with the file's records. An empty path means
  // <default folder>/trusted_devices.json and also removes the legacy
  // pairing-code file there. Re-saves at once when the file held plain
  // credentials or needed the legacy scan.
  void Load(const std::filesystem::path& path = {});
  // Writes the list to the file last loaded (the default path when none
  // was); false (logged) when nothing was written.
  bool Save();

  // Checks a pairing proof: against the device's stored credential first,
  // else against the current pairing code (which counts a wrong attempt).
  // A malformed request (proof not 32 bytes, empty challenge or client id)
  // fails without counting.
  PairingProofResult VerifyPairingProof(crypto::ByteView proof, std::string_view client_id,
                                        crypto::ByteView challenge);
  // Records a device that just authenticated: updates the first record with
  // this id (name, last seen, and the credential when one is given) or
  // appends one. The credential is empty or 32 bytes; false for an empty
  // id or another credential length. The caller saves afterwards.
  bool TrustDevice(std::string_view client_id, std::string_view client_name, crypto::ByteView new_credential = {});
  // Removes every record with this id; true when one was removed. The caller
  // saves afterwards.
  bool RevokeDevice(std::string_view client_id);

  size_t Count();
  // Copies of every record with the credential blanked.
  std::vector<TrustedDevice> List();

  // The current code (made when needed); empty while paused or when the
  // random source failed (the latter is logged).
  std::string PairingCodeForPrompt();
  bool IsPairingPaused();
  // What to answer a tablet whose proof did not verify.
  PairingPrompt DecidePairing();

  void SetPairingCodeManager(std::shared_ptr<PairingCodeManager> manager);
  std::shared_ptr<PairingCodeManager> pairing_code_manager();

  // The file this store reads and writes (empty before Load or Save).
  std::filesystem::path path();
  // True after a load found the file present but unreadable: saving is
  // refused until a later load reads it.
  bool save_blocked();

 private:
  struct Record {
    TrustedDevice device;
    // The stored text of a credential that could not be used, written back
    // as it was until the device gets a new credential.
    std::string kept_credential;
    ~Record();
    Record() = default;
    Record(Record&&) = default;
    Record& operator=(Record&&) = default;
  };

  uint64_t NowNs();
  std::filesystem::path DefaultFolderLocked();
  void ClearLocked();
  void AddLoadedRecord(const TrustFileRecord& in, bool* resave);
  bool SaveLocked();
  bool CopyAsideLocked();
  std::shared_ptr<PairingCodeManager> Manager();

  IClock& clock_;
  std::mutex mu_;
  std::vector<Record> records_;
  std::filesystem::path path_;
  std::filesystem::path default_folder_;
  std::shared_ptr<PairingCodeManager> manager_;
  // Set when the last load found the file unreadable.
  bool save_blocked_ = false;
  // The text of a file that was not valid JSON, to be copied aside before
  // the first write replaces it.
  bool copy_aside_pending_ = false;
  std::string unparsed_original_;
};

}  // namespace orvane::security
