#include "host/common/data_folder.h"

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include "host/common/file_io.h"

namespace orvane {

std::optional<std::filesystem::path> DataFolder() {
  PWSTR raw = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(FOLDERID_RoamingAppData, KF_FLAG_CREATE, nullptr, &raw);
  if (FAILED(hr) || raw == nullptr) {
    if (raw) CoTaskMemFree(raw);
    return std::nullopt;
  }
  std::filesystem::path folder = std::filesystem::path(raw) / L"OrvaneDisplay";
  CoTaskMemFree(raw);
  if (!EnsureDirectory(folder)) return std::nullopt;
  return folder;
}

std::filesystem::path RuntimeFolder() { return DataFolderOrCurrent(); }

}  // namespace orvane
