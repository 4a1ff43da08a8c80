#pragma once
// The file calls the host makes to edit the driver's settings file:
// vdd_settings_file_win.cpp / vdd_settings_file_linux.cpp. What is written,
// and what a failure leads to, is decided in vdd_settings_host.cpp.
//
// Paths are UTF-8. Error numbers are the system's (GetLastError, errno);
// 0 is success.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace orvane::vdd {

enum class CopyOutcome {
  kCopied,
  kExists,  // the target was there already; nothing was copied
  kFailed,
};

struct CopyAnswer {
  CopyOutcome outcome = CopyOutcome::kFailed;
  uint32_t error = 0;
};

enum class RemoveOutcome { kRemoved, kAbsent, kFailed };

class ISettingsFiles {
 public:
  using Handle = intptr_t;
  static constexpr Handle kNoFile = -1;

  virtual ~ISettingsFiles() = default;
  // Copies `from` to `to` unless `to` exists.
  virtual CopyAnswer CopyIfAbsent(const std::string& from, const std::string& to) = 0;
  virtual bool Exists(const std::string& path) = 0;
  // Creates or truncates the file for writing (bytes as they are); kNoFile
  // with *error on failure.
  virtual Handle Create(const std::string& path, uint32_t* error) = 0;
  // Writes every byte.
  virtual uint32_t Write(Handle file, std::string_view bytes) = 0;
  // Flushes what was written to the disk.
  virtual uint32_t Flush(Handle file) = 0;
  // Closes the file; the handle is gone afterwards, also on failure.
  virtual uint32_t Close(Handle file) = 0;
  // Moves `from` over `to` in one step, replacing it, through to the disk.
  virtual uint32_t Replace(const std::string& from, const std::string& to) = 0;
  virtual RemoveOutcome Remove(const std::string& path, uint32_t* error) = 0;
};

std::unique_ptr<ISettingsFiles> MakePlatformSettingsFiles();

}  // namespace orvane::vdd
