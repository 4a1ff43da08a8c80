// The log's file operations on a POSIX file system.
#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "host/common/file_io.h"
#include "host/common/logger.h"

namespace orvane {

namespace {

constexpr int64_t kUnixEpochAsFileTime = 116'444'736'000'000'000LL;

struct PosixLogFile final : ILogFileSystem::File {
  std::FILE* fp = nullptr;
};

PosixLogFile* Cast(ILogFileSystem::File* file) { return static_cast<PosixLogFile*>(file); }

class PosixLogFileSystem final : public ILogFileSystem {
 public:
  File* OpenAppend(const std::filesystem::path& path) override {
    // "e": close-on-exec, so programs the host starts do not inherit the log.
    std::FILE* fp = OpenSharedFile(path, "ae");
    if (!fp) return nullptr;
    auto* file = new PosixLogFile;
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
    struct stat st {};
    if (fstat(fileno(Cast(file)->fp), &st) != 0 || st.st_size < 0) return 0;
    return static_cast<uint64_t>(st.st_size);
  }

  bool Rename(const std::filesystem::path& from, const std::filesystem::path& to) override {
    return std::rename(from.c_str(), to.c_str()) == 0;
  }

  std::vector<Entry> List(const std::filesystem::path& folder, const std::string& prefix,
                          const std::string& suffix) override {
    std::vector<Entry> out;
    DIR* dir = opendir(folder.c_str());
    if (!dir) return out;
    while (const dirent* de = readdir(dir)) {
      const std::string name = de->d_name;
      if (name.size() < prefix.size() + suffix.size()) continue;
      if (name.compare(0, prefix.size(), prefix) != 0) continue;
      if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
      const std::filesystem::path full = folder / name;
      struct stat st {};
      if (stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      const int64_t file_time = static_cast<int64_t>(st.st_mtim.tv_sec) * 10'000'000 +
                                static_cast<int64_t>(st.st_mtim.tv_nsec) / 100 + kUnixEpochAsFileTime;
      out.push_back({full, file_time});
    }
    closedir(dir);
    return out;
  }

  bool Remove(const std::filesystem::path& path) override { return unlink(path.c_str()) == 0; }

  bool EnsureFolder(const std::filesystem::path& folder) override { return EnsureDirectory(folder); }
};

}  // namespace

ILogFileSystem& RealLogFileSystem() {
  static auto* fs = new PosixLogFileSystem();  // never destroyed: see the logger
  return *fs;
}

}  // namespace orvane
