#include "host/common/file_io.h"

namespace orvane {

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string PathToUtf8(const std::filesystem::path& path) {
  const std::u8string s = path.u8string();
  return std::string(reinterpret_cast<const char*>(s.data()), s.size());
}

const char* FileReadStatusName(FileReadStatus status) {
  switch (status) {
    case FileReadStatus::kOk: return "ok";
    case FileReadStatus::kAbsent: return "absent";
    case FileReadStatus::kUnreadable: return "unreadable";
    case FileReadStatus::kTooLarge: return "too large";
  }
  return "unknown";
}

bool EnsureDirectory(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return std::filesystem::is_directory(path, ec);
}

}  // namespace orvane
