#include "host/vdd/vdd_settings_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "host/common/logger.h"

namespace orvane::vdd {

namespace {

uint32_t LastError() { return static_cast<uint32_t>(errno); }

uint32_t WriteAll(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    if (n == 0) return static_cast<uint32_t>(EIO);
    done += static_cast<size_t>(n);
  }
  return 0;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

class LinuxSettingsFiles final : public ISettingsFiles {
 public:
  CopyAnswer CopyIfAbsent(const std::string& from, const std::string& to) override {
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return {CopyOutcome::kFailed, LastError()};
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
      const uint32_t err = LastError();
      close(in);
      return {err == EEXIST ? CopyOutcome::kExists : CopyOutcome::kFailed, err};
    }
    uint32_t err = 0;
    char buffer[65536];
    for (;;) {
      const ssize_t n = read(in, buffer, sizeof buffer);
      if (n < 0) {
        if (errno == EINTR) continue;
        err = LastError();
        break;
      }
      if (n == 0) break;
      err = WriteAll(out, std::string_view(buffer, static_cast<size_t>(n)));
      if (err != 0) break;
    }
    if (err == 0 && fsync(out) != 0) err = LastError();
    if (close(out) != 0 && err == 0) err = LastError();
    close(in);
    if (err != 0) return {CopyOutcome::kFailed, err};
    return {CopyOutcome::kCopied, 0};
  }

  bool Exists(const std::string& path) override {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
  }

  Handle Create(const std::string& path, uint32_t* error) override {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      *error = LastError();
      return kNoFile;
    }
    *error = 0;
    return fd;
  }

  uint32_t Write(Handle file, std::string_view bytes) override { return WriteAll(static_cast<int>(file), bytes); }

  uint32_t Flush(Handle file) override { return fsync(static_cast<int>(file)) == 0 ? 0 : LastError(); }

  uint32_t Close(Handle file) override { return close(static_cast<int>(file)) == 0 ? 0 : LastError(); }

  uint32_t Replace(const std::string& from, const std::string& to) override {
    if (rename(from.c_str(), to.c_str()) != 0) return LastError();
    // The rename itself reaches the disk with the folder.
    const std::string folder = FolderOf(to);
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || fsync(dir) != 0) {
      LogWarn("[VDD] Flushing the folder %s failed (err=%lu)", folder.c_str(), static_cast<unsigned long>(errno));
    }
    if (dir >= 0) close(dir);
    return 0;
  }

  RemoveOutcome Remove(const std::string& path, uint32_t* error) override {
    if (unlink(path.c_str()) == 0) {
      *error = 0;
      return RemoveOutcome::kRemoved;
    }
    *error = LastError();
    return errno == ENOENT ? RemoveOutcome::kAbsent : RemoveOutcome::kFailed;
  }
};

}  // namespace

std::unique_ptr<ISettingsFiles> MakePlatformSettingsFiles() { return std::make_unique<LinuxSettingsFiles>(); }

}  // namespace orvane::vdd
