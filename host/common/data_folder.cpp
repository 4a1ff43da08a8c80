#include "host/common/data_folder.h"

#include "host/common/file_io.h"

namespace orvane {

std::filesystem::path DataFolderOrCurrent() {
  auto folder = DataFolder();
  return folder ? *folder : std::filesystem::path(".");
}

std::filesystem::path DataSubfolder(const char* name) {
  auto folder = DataFolder();
  if (!folder) return std::filesystem::path(".");
  std::filesystem::path sub = *folder / name;
  if (!EnsureDirectory(sub)) return std::filesystem::path(".");
  return sub;
}

}  // namespace orvane
