#pragma once
// What the host changed on the PC speakers, kept on disk before it changes
// anything so that a crashed or killed host is undone at the next start.
//
// speaker_state.ini (ASCII, LF line ends):
//   # Orvane Display: speaker state to restore
//   device=<every UTF-16 code unit of the id as 4 lower-case hex digits>
//   muted=<1|0>
//   volume_millionths=<round(clamp(volume, 0, 1) * 1000000)>
//
// Reading accepts at most 4096 bytes, CR LF line ends, empty lines and "#"
// comments, hex digits of either case and unknown keys; anything else, or a
// missing key, makes the whole file invalid.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "host/common/host_result.h"

namespace orvane::host_output_mute {

inline constexpr size_t kMuteRecordMaxBytes = 4096;
inline constexpr char kMuteRecordFileName[] = "speaker_state.ini";

struct MuteRecord {
  std::u16string device_id;  // the default render device the host muted
  bool muted = false;        // its mute state before the host touched it
  float volume = 0.0f;       // its master volume before the host touched it
};

enum class MuteRecordLoad {
  kNone,        // no file
  kLoaded,      // a valid record
  kInvalid,     // a file that is not a valid record (too large, malformed)
  kUnreadable,  // a file that exists but cannot be read; it must be kept
};
const char* MuteRecordLoadName(MuteRecordLoad load);

struct MuteRecordLoadResult {
  MuteRecordLoad status = MuteRecordLoad::kNone;
  MuteRecord record;  // when kLoaded
};

class IMuteRecordStore {
 public:
  virtual ~IMuteRecordStore() = default;
  virtual MuteRecordLoadResult Load() = 0;
  // Replaces the stored record; false (with *result, may be null) when it
  // could not be written, and then the old file is unchanged.
  virtual bool Save(const MuteRecord& record, HostResult* result) = 0;
  // True when no record is stored afterwards.
  virtual bool Delete() = 0;
};

// The file format.
std::string FormatMuteRecord(const MuteRecord& record);
std::optional<MuteRecord> ParseMuteRecord(std::string_view bytes);
// "0041" per UTF-16 code unit, lower case.
std::string EncodeDeviceId(std::u16string_view id);
// Non-empty, a multiple of 4 hex digits (either case); nullopt otherwise.
std::optional<std::u16string> DecodeDeviceId(std::string_view hex);
// clamp(volume, 0, 1) * 1000000 to the nearest integer; NaN and infinities
// give 0.
uint32_t VolumeToMillionths(float volume);

// speaker_state.ini in a folder, written through SafeReplaceFile.
class FileMuteRecordStore final : public IMuteRecordStore {
 public:
  explicit FileMuteRecordStore(std::filesystem::path path) : path_(std::move(path)) {}
  // The data folder's speaker_state.ini; the relative name when the data
  // folder cannot be located.
  static std::filesystem::path DefaultPath();

  MuteRecordLoadResult Load() override;
  bool Save(const MuteRecord& record, HostResult* result) override;
  bool Delete() override;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace orvane::host_output_mute
