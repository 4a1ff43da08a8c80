// The log's file operations on Windows (wide paths throughout).
#include <windows.h>

#include <io.h>

#include <cstdio>
#include <string>

#include "host/common/file_io.h"
#include "host/common/logger.h"
#include "host/common/win_text.h"

namespace orvane {

namespace {

struct WinLogFile final : ILogFileSystem::File {
  std::FILE* fp = nullptr;
};

WinLogFile* Cast(ILogFileSystem::File* file) { return static_cast<WinLogFile*>(file); }

class WinLogFileSystem final : public ILogFileSystem {
 public:
  File* OpenAppend(const std::filesystem::path& path) override {
    std::FILE* fp = OpenSharedFile(path, "a");  // shared read/write (_SH_DENYNO)
    if (!fp) return nullptr;
    auto* file = new WinLogFile;
    file->fp = fp;
    return file;
  }

  bool Write(File* file, std::string_view bytes) override {
    if (!file || bytes.empty()) return file != nullptr;
    return std::fwrite(bytes.data(), 1, bytes.size(), Cast(file)->fp) == bytes.size();
  }

  bool Flush(File* file) override { return file && std::fflush(Cast(file)->fp) == 0; }

  void Close(File* file) override {
    if (!file) return;
    std::fclose(Cast(file)->fp);
    delete Cast(file);
  }

  uint64_t Size(File* file) override {
    if (!file) return 0;
    const __int64 length = _filelengthi64(_fileno(Cast(file)->fp));
    return length < 0 ? 0 : static_cast<uint64_t>(length);
  }

  bool Rename(const std::filesystem::path& from, const std::filesystem::path& to) override {
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
  }

  std::vector<Entry> List(const std::filesystem::path& folder, const std::string& prefix,
                          const std::string& suffix) override {
    std::vector<Entry> out;
    const std::filesystem::path pattern = folder / (ToWide(prefix) + L"*" + ToWide(suffix));
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return out;
    do {
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      // The pattern also matches short (8.3) names; check the long name.
      const std::string name = FromWide(data.cFileName);
      if (name.size() < prefix.size() + suffix.size()) continue;
      if (name.compare(0, prefix.size(), prefix) != 0) continue;
      if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
      const int64_t file_time = static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                                     data.ftLastWriteTime.dwLowDateTime);
      out.push_back({folder / data.cFileName, file_time});
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return out;
  }

  bool Remove(const std::filesystem::path& path) override { return DeleteFileW(path.c_str()) != 0; }

  bool EnsureFolder(const std::filesystem::path& folder) override { return EnsureDirectory(folder); }
};

}  // namespace

ILogFileSystem& RealLogFileSystem() {
  static auto* fs = new WinLogFileSystem();  // never destroyed: see the logger
  return *fs;
}

}  // namespace orvane
