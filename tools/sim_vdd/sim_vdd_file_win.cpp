#include <windows.h>

#include <algorithm>

#include "tools/sim_vdd/sim_vdd_file.h"

namespace orvane::sim_vdd::detail {

intptr_t LockPath(const std::filesystem::path& path, int* error) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = static_cast<int>(GetLastError());
    return -1;
  }
  OVERLAPPED at = {};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &at)) {
    *error = static_cast<int>(GetLastError());
    CloseHandle(file);
    return -1;
  }
  return reinterpret_cast<intptr_t>(file);
}

void UnlockPath(intptr_t handle) {
  const HANDLE file = reinterpret_cast<HANDLE>(handle);
  OVERLAPPED at = {};
  UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &at);
  CloseHandle(file);
}

bool WriteDurably(const std::filesystem::path& path, std::string_view bytes, int* error) {
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = static_cast<int>(GetLastError());
    return false;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
      *error = static_cast<int>(GetLastError());
      CloseHandle(file);
      return false;
    }
    done += written;
  }
  if (!FlushFileBuffers(file)) {
    *error = static_cast<int>(GetLastError());
    CloseHandle(file);
    return false;
  }
  if (!CloseHandle(file)) {
    *error = static_cast<int>(GetLastError());
    return false;
  }
  return true;
}

bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to, int* error) {
  if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *error = static_cast<int>(GetLastError());
    return false;
  }
  return true;
}

}  // namespace orvane::sim_vdd::detail
