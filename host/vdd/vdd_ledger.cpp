#include "host/vdd/vdd_ledger.h"

#include <algorithm>
#include <system_error>

#include "host/common/file_io.h"
#include "host/common/host_result.h"
#include "host/common/logger.h"

namespace orvane {

bool IsLedgerSafe(std::string_view text) {
  if (text.empty() || text.size() > kVddLedgerMaxFieldBytes) return false;
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 33 || c > 126 || c == '#' || c == '|') return false;
  }
  return true;
}

bool VddLedgerList::Add(const VddLedgerEntry& entry) {
  if (!IsLedgerSafe(entry.backend_id) || !IsLedgerSafe(entry.token)) return false;
  if (Contains(entry)) return true;
  if (entries_.size() >= kVddLedgerMaxEntries) return false;
  entries_.push_back(entry);
  return true;
}

void VddLedgerList::Remove(const VddLedgerEntry& entry) {
  entries_.erase(std::remove(entries_.begin(), entries_.end(), entry), entries_.end());
}

bool VddLedgerList::Contains(const VddLedgerEntry& entry) const {
  return std::find(entries_.begin(), entries_.end(), entry) != entries_.end();
}

std::string FormatVddLedger(const std::vector<VddLedgerEntry>& entries) {
  std::string text(kVddLedgerHeader);
  text += '\n';
  for (const VddLedgerEntry& e : entries) {
    if (!IsLedgerSafe(e.backend_id) || !IsLedgerSafe(e.token)) continue;
    text += kVddLedgerLinePrefix;
    text += e.backend_id;
    text += '|';
    text += e.token;
    text += '\n';
  }
  return text;
}

std::vector<VddLedgerEntry> ParseVddLedger(std::string_view text) {
  VddLedgerList list;
  while (!text.empty() && list.size() < kVddLedgerMaxEntries) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (line.substr(0, kVddLedgerLinePrefix.size()) != kVddLedgerLinePrefix) continue;
    line.remove_prefix(kVddLedgerLinePrefix.size());
    const size_t bar = line.find('|');
    if (bar == std::string_view::npos) continue;
    // Add refuses fields that are not ledger-safe and keeps duplicates once.
    list.Add({std::string(line.substr(0, bar)), std::string(line.substr(bar + 1))});
  }
  return list.entries();
}

bool WriteVddLedger(const std::filesystem::path& path, const VddLedgerList& list) {
  if (path.empty()) return true;
  if (list.empty()) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
    if (ec) {
      LogWarn("[VDD] Cannot delete ledger %s: %s", PathToUtf8(path).c_str(), ec.message().c_str());
      return false;
    }
    return true;
  }
  HostResult result;
  if (!SafeReplaceFile(path, FormatVddLedger(list.entries()), &result)) {
    LogWarn("[VDD] Cannot write ledger %s; a crash would leave the virtual monitor until reboot",
            PathToUtf8(path).c_str());
    LogDebug("[VDD] Ledger write: %s", result.ToString().c_str());
    return false;
  }
  return true;
}

VddLedgerRead ReadVddLedger(const std::filesystem::path& path) {
  VddLedgerRead read;
  if (path.empty()) return read;
  const FileReadResult file = ReadFileBounded(path, kVddLedgerMaxFileBytes);
  switch (file.status) {
    case FileReadStatus::kOk:
      break;
    case FileReadStatus::kAbsent:
      return read;
    case FileReadStatus::kTooLarge:
    case FileReadStatus::kUnreadable:
      LogWarn("[VDD] Ledger %s is %s (error %d); no virtual monitor is recovered from it",
              PathToUtf8(path).c_str(), FileReadStatusName(file.status), file.error);
      return read;
  }
  read.present = !file.bytes.empty();
  read.entries = ParseVddLedger(file.bytes);
  return read;
}

}  // namespace orvane
