#pragma once
// The crash ledger of the virtual display manager: which virtual monitors the
// host holds, so that the next start can take away the ones a crashed run
// left on the desktop.
//
// The file is text, written whole through the safe-replace writer without
// newline translation:
//
//   # Orvane virtual display ledger (removed on next host start)
//   display=tvr-vdd|attached@DISPLAY\ABC\1
//
// Both fields of an entry are ledger-safe (1..128 bytes, each 33..126 except
// '#' and '|'), so an entry always fits on one line and splits back at the
// first '|'. The list keeps at most 16 distinct entries; the file is deleted
// when the list is empty.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

inline constexpr size_t kVddLedgerMaxEntries = 16;
inline constexpr size_t kVddLedgerMaxFieldBytes = 128;
inline constexpr size_t kVddLedgerMaxFileBytes = 64 * 1024;
inline constexpr std::string_view kVddLedgerHeader = "# Orvane virtual display ledger (removed on next host start)";
inline constexpr std::string_view kVddLedgerLinePrefix = "display=";

// 1..128 bytes, each in 33..126 and neither '#' nor '|'.
bool IsLedgerSafe(std::string_view text);

struct VddLedgerEntry {
  std::string backend_id;
  std::string token;
  bool operator==(const VddLedgerEntry&) const = default;
};

// At most 16 distinct ledger-safe entries, in the order they were added.
class VddLedgerList {
 public:
  // False when either field is not ledger-safe or the list is full; an entry
  // that is already listed is kept once and counts as added.
  bool Add(const VddLedgerEntry& entry);
  void Remove(const VddLedgerEntry& entry);
  bool Contains(const VddLedgerEntry& entry) const;
  void Clear() { entries_.clear(); }
  bool empty() const { return entries_.empty(); }
  size_t size() const { return entries_.size(); }
  const std::vector<VddLedgerEntry>& entries() const { return entries_; }

 private:
  std::vector<VddLedgerEntry> entries_;
};

// The header line and one "display=<backend id>|<token>" line per entry, each
// ended by "\n". Entries that are not ledger-safe are left out.
std::string FormatVddLedger(const std::vector<VddLedgerEntry>& entries);

// Every line, with trailing '\r' and ' ' removed, that starts with "display="
// and splits at its first '|' into two ledger-safe fields; the first 16
// distinct entries.
std::vector<VddLedgerEntry> ParseVddLedger(std::string_view text);

// Replaces the file with the list, or deletes it when the list is empty. An
// empty path means no ledger: nothing is done. False (and a warning) when the
// file could not be written or deleted.
bool WriteVddLedger(const std::filesystem::path& path, const VddLedgerList& list);

struct VddLedgerRead {
  bool present = false;  // the file was read and holds at least one byte
  std::vector<VddLedgerEntry> entries;
};

// Reads at most 64 KiB. An absent file is an empty ledger; one that is larger
// or cannot be read is logged and recovers nothing.
VddLedgerRead ReadVddLedger(const std::filesystem::path& path);

}  // namespace orvane
