// The settings editor's file calls on Windows. Paths are converted to UTF-16
// here and nowhere else; each call answers its GetLastError number.

#include "host/vdd/vdd_settings_file.h"

#include <windows.h>

#include <algorithm>
#include <string>

#include "host/common/win_text.h"

namespace orvane::vdd {

namespace {

uint32_t LastError() { return static_cast<uint32_t>(GetLastError()); }

HANDLE AsHandle(ISettingsFiles::Handle file) { return reinterpret_cast<HANDLE>(file); }

class WinSettingsFiles final : public ISettingsFiles {
 public:
  CopyAnswer CopyIfAbsent(const std::string& from, const std::string& to) override {
    if (CopyFileW(ToWide(from).c_str(), ToWide(to).c_str(), TRUE)) return {CopyOutcome::kCopied, 0};
    const uint32_t err = LastError();
    const bool exists = err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS;
    return {exists ? CopyOutcome::kExists : CopyOutcome::kFailed, err};
  }

  bool Exists(const std::string& path) override {
    return GetFileAttributesW(ToWide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  Handle Create(const std::string& path, uint32_t* error) override {
    const HANDLE h = CreateFileW(ToWide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      *error = LastError();
      return kNoFile;
    }
    *error = 0;
    return reinterpret_cast<Handle>(h);
  }

  uint32_t Write(Handle file, std::string_view bytes) override {
    size_t done = 0;
    while (done < bytes.size()) {
      const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
      DWORD put = 0;
      if (!WriteFile(AsHandle(file), bytes.data() + done, want, &put, nullptr)) return LastError();
      if (put == 0) return ERROR_WRITE_FAULT;
      done += put;
    }
    return 0;
  }

  uint32_t Flush(Handle file) override { return FlushFileBuffers(AsHandle(file)) ? 0 : LastError(); }

  uint32_t Close(Handle file) override { return CloseHandle(AsHandle(file)) ? 0 : LastError(); }

  uint32_t Replace(const std::string& from, const std::string& to) override {
    if (MoveFileExW(ToWide(from).c_str(), ToWide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return 0;
    }
    return LastError();
  }

  RemoveOutcome Remove(const std::string& path, uint32_t* error) override {
    if (DeleteFileW(ToWide(path).c_str())) {
      *error = 0;
      return RemoveOutcome::kRemoved;
    }
    *error = LastError();
    return (*error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND) ? RemoveOutcome::kAbsent
                                                                              : RemoveOutcome::kFailed;
  }
};

}  // namespace

std::unique_ptr<ISettingsFiles> MakePlatformSettingsFiles() { return std::make_unique<WinSettingsFiles>(); }

}  // namespace orvane::vdd
