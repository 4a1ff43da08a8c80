#include "host/common/file_io.h"

#include <windows.h>

#include <share.h>

#include <algorithm>
#include <cwchar>

#include "host/common/win_text.h"

namespace orvane {

namespace {

void SetResult(HostResult* result, HostResult value) {
  if (result) *result = std::move(value);
}

}  // namespace

FileReadResult ReadFileBounded(const std::filesystem::path& path, size_t max_bytes) {
  FileReadResult r;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    r.error = static_cast<int>(err);
    r.status = (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) ? FileReadStatus::kAbsent
                                                                           : FileReadStatus::kUnreadable;
    return r;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(h, &size)) {
    r.error = static_cast<int>(GetLastError());
    r.status = FileReadStatus::kUnreadable;
    CloseHandle(h);
    return r;
  }
  if (size.QuadPart < 0 || static_cast<uint64_t>(size.QuadPart) > max_bytes) {
    r.status = FileReadStatus::kTooLarge;
    CloseHandle(h);
    return r;
  }
  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
    if (!ReadFile(h, bytes.data() + done, want, &got, nullptr)) {
      r.error = static_cast<int>(GetLastError());
      r.status = FileReadStatus::kUnreadable;
      CloseHandle(h);
      return r;
    }
    if (got == 0) break;
    done += got;
  }
  CloseHandle(h);
  bytes.resize(done);
  r.bytes = std::move(bytes);
  r.status = FileReadStatus::kOk;
  return r;
}

bool SafeReplaceFile(const std::filesystem::path& path, std::string_view bytes, HostResult* result) {
  std::filesystem::path tmp = path;
  tmp += L".tmp";
  HANDLE h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    SetResult(result, HostResult::Failure(1, "Failed to create temporary file",
                                          HResultFromWin32(static_cast<int32_t>(GetLastError()))));
    return false;
  }
  bool ok = true;
  size_t done = 0;
  while (ok && done < bytes.size()) {
    DWORD put = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
    ok = WriteFile(h, bytes.data() + done, want, &put, nullptr) && put > 0;
    done += put;
  }
  if (ok) ok = FlushFileBuffers(h) != 0;
  const DWORD write_err = ok ? 0 : GetLastError();
  CloseHandle(h);
  if (!ok) {
    DeleteFileW(tmp.c_str());
    SetResult(result, HostResult::Failure(1, "Failed to write temporary file",
                                          HResultFromWin32(static_cast<int32_t>(write_err))));
    return false;
  }
  if (!MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD err = GetLastError();
    DeleteFileW(tmp.c_str());
    SetResult(result, HostResult::Failure(2, "Failed to replace file", HResultFromWin32(static_cast<int32_t>(err))));
    return false;
  }
  SetResult(result, HostResult::Success());
  return true;
}

std::FILE* OpenSharedFile(const std::filesystem::path& path, const char* mode) {
  const std::wstring wide_mode = ToWide(mode);
  return _wfsopen(path.c_str(), wide_mode.c_str(), _SH_DENYNO);
}

}  // namespace orvane
