#include "host/common/file_io.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane {

namespace {

void SetResult(HostResult* result, HostResult value) {
  if (result) *result = std::move(value);
}

bool WriteAll(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

FileReadResult ReadFileBounded(const std::filesystem::path& path, size_t max_bytes) {
  FileReadResult r;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    r.error = errno;
    r.status = (errno == ENOENT || errno == ENOTDIR) ? FileReadStatus::kAbsent : FileReadStatus::kUnreadable;
    return r;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    r.error = errno;
    r.status = FileReadStatus::kUnreadable;
    close(fd);
    return r;
  }
  if (static_cast<uint64_t>(st.st_size) > max_bytes) {
    r.status = FileReadStatus::kTooLarge;
    close(fd);
    return r;
  }
  std::string bytes;
  bytes.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  for (;;) {
    if (done == bytes.size()) {
      // The file may have grown since fstat; read on within the bound.
      if (bytes.size() >= max_bytes) {
        char probe;
        const ssize_t extra = read(fd, &probe, 1);
        if (extra > 0) {
          r.status = FileReadStatus::kTooLarge;
          close(fd);
          return r;
        }
        break;
      }
      bytes.resize(std::min(max_bytes, bytes.size() + 4096));
    }
    const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      r.error = errno;
      r.status = FileReadStatus::kUnreadable;
      close(fd);
      return r;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  bytes.resize(done);
  r.bytes = std::move(bytes);
  r.status = FileReadStatus::kOk;
  return r;
}

bool SafeReplaceFile(const std::filesystem::path& path, std::string_view bytes, HostResult* result) {
  std::filesystem::path tmp = path;
  tmp += ".tmp";
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int err = errno;
    SetResult(result, HostResult::Failure(1, "Failed to create temporary file", HResultFromWin32(err)));
    return false;
  }
  const bool written = WriteAll(fd, bytes) && fsync(fd) == 0;
  const int write_err = errno;
  close(fd);
  if (!written) {
    unlink(tmp.c_str());
    SetResult(result, HostResult::Failure(1, "Failed to write temporary file", HResultFromWin32(write_err)));
    return false;
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    unlink(tmp.c_str());
    SetResult(result, HostResult::Failure(2, "Failed to replace file", HResultFromWin32(err)));
    return false;
  }
  // Make the rename itself durable.
  const std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  SetResult(result, HostResult::Success());
  return true;
}

std::FILE* OpenSharedFile(const std::filesystem::path& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

}  // namespace orvane
