#include "host/audio/mute_record_store.h"

#include <cmath>
#include <system_error>

#include "host/common/clock.h"
#include "host/common/data_folder.h"
#include "host/common/file_io.h"
#include "host/common/logger.h"
#include "host/common/rate_limiter.h"

namespace orvane::host_output_mute {

namespace {

constexpr char kHeader[] = "# Orvane Display: speaker state to restore";
constexpr uint32_t kMillion = 1'000'000;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1-7 decimal digits, at most 1000000.
std::optional<uint32_t> ParseMillionths(std::string_view text) {
  if (text.empty() || text.size() > 7) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value > kMillion) return std::nullopt;
  return value;
}

// The store's own warnings come with every mute attempt while the file is
// unusable; one per 10 s is enough.
RateLimiter& StoreWarningLimit() {
  static RateLimiter limit(10'000);
  return limit;
}

}  // namespace

const char* MuteRecordLoadName(MuteRecordLoad load) {
  switch (load) {
    case MuteRecordLoad::kNone: return "none";
    case MuteRecordLoad::kLoaded: return "loaded";
    case MuteRecordLoad::kInvalid: return "invalid";
    case MuteRecordLoad::kUnreadable: return "unreadable";
  }
  return "unknown";
}

std::string EncodeDeviceId(std::u16string_view id) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(id.size() * 4);
  for (char16_t unit : id) {
    const auto v = static_cast<uint16_t>(unit);
    out.push_back(kDigits[(v >> 12) & 0xF]);
    out.push_back(kDigits[(v >> 8) & 0xF]);
    out.push_back(kDigits[(v >> 4) & 0xF]);
    out.push_back(kDigits[v & 0xF]);
  }
  return out;
}

std::optional<std::u16string> DecodeDeviceId(std::string_view hex) {
  if (hex.empty() || hex.size() % 4 != 0) return std::nullopt;
  std::u16string id;
  id.reserve(hex.size() / 4);
  for (size_t i = 0; i < hex.size(); i += 4) {
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
      const int d = HexValue(hex[i + k]);
      if (d < 0) return std::nullopt;
      v = (v << 4) | static_cast<uint32_t>(d);
    }
    id.push_back(static_cast<char16_t>(v));
  }
  return id;
}

uint32_t VolumeToMillionths(float volume) {
  if (!std::isfinite(volume)) return 0;
  const double clamped = std::fmin(std::fmax(static_cast<double>(volume), 0.0), 1.0);
  return static_cast<uint32_t>(std::lround(clamped * kMillion));
}

std::string FormatMuteRecord(const MuteRecord& record) {
  std::string out;
  out.reserve(96 + record.device_id.size() * 4);
  out += kHeader;
  out += "\ndevice=";
  out += EncodeDeviceId(record.device_id);
  out += "\nmuted=";
  out += record.muted ? "1" : "0";
  out += "\nvolume_millionths=";
  out += std::to_string(VolumeToMillionths(record.volume));
  out += "\n";
  return out;
}

std::optional<MuteRecord> ParseMuteRecord(std::string_view bytes) {
  if (bytes.size() > kMuteRecordMaxBytes) return std::nullopt;
  MuteRecord record;
  bool have_device = false, have_muted = false, have_volume = false;
  size_t pos = 0;
  while (pos <= bytes.size()) {
    size_t end = bytes.find('\n', pos);
    if (end == std::string_view::npos) end = bytes.size();
    std::string_view line = bytes.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    const std::string_view key = line.substr(0, eq);
    const std::string_view value = line.substr(eq + 1);
    if (key == "device") {
      auto id = DecodeDeviceId(value);
      if (!id) return std::nullopt;
      record.device_id = std::move(*id);
      have_device = true;
    } else if (key == "muted") {
      if (value != "0" && value != "1") return std::nullopt;
      record.muted = value == "1";
      have_muted = true;
    } else if (key == "volume_millionths") {
      const auto millionths = ParseMillionths(value);
      if (!millionths) return std::nullopt;
      record.volume = static_cast<float>(static_cast<double>(*millionths) / kMillion);
      have_volume = true;
    }
  }
  if (!have_device || !have_muted || !have_volume) return std::nullopt;
  return record;
}

std::filesystem::path FileMuteRecordStore::DefaultPath() {
  if (auto folder = DataFolder()) return *folder / kMuteRecordFileName;
  return std::filesystem::path(kMuteRecordFileName);
}

MuteRecordLoadResult FileMuteRecordStore::Load() {
  MuteRecordLoadResult out;
  const FileReadResult read = ReadFileBounded(path_, kMuteRecordMaxBytes);
  switch (read.status) {
    case FileReadStatus::kAbsent:
      out.status = MuteRecordLoad::kNone;
      return out;
    case FileReadStatus::kTooLarge:
      out.status = MuteRecordLoad::kInvalid;
      return out;
    case FileReadStatus::kUnreadable:
      if (StoreWarningLimit().Allow(TickCountMs())) {
        LogWarn("[AudioMute] speaker_state.ini could not be read (error %d); it is kept", read.error);
      }
      out.status = MuteRecordLoad::kUnreadable;
      return out;
    case FileReadStatus::kOk:
      break;
  }
  auto record = ParseMuteRecord(read.bytes);
  if (!record) {
    out.status = MuteRecordLoad::kInvalid;
    return out;
  }
  out.status = MuteRecordLoad::kLoaded;
  out.record = std::move(*record);
  return out;
}

bool FileMuteRecordStore::Save(const MuteRecord& record, HostResult* result) {
  HostResult written;
  if (!SafeReplaceFile(path_, FormatMuteRecord(record), &written)) {
    if (StoreWarningLimit().Allow(TickCountMs())) {
      LogWarn("[AudioMute] speaker_state.ini could not be written: %s", written.ToString().c_str());
    }
    if (result) *result = std::move(written);
    return false;
  }
  if (result) *result = HostResult::Success();
  return true;
}

bool FileMuteRecordStore::Delete() {
  std::error_code ec;
  std::filesystem::remove(path_, ec);
  if (ec) {
    if (StoreWarningLimit().Allow(TickCountMs())) {
      LogWarn("[AudioMute] speaker_state.ini could not be deleted (error %d)", ec.value());
    }
    return false;
  }
  return true;
}

}  // namespace orvane::host_output_mute
