#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "tools/sim_vdd/sim_vdd_file.h"

namespace orvane::sim_vdd::detail {

intptr_t LockPath(const std::filesystem::path& path, int* error) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  for (;;) {
    if (flock(fd, LOCK_EX) == 0) return fd;
    if (errno != EINTR) break;
  }
  *error = errno;
  close(fd);
  return -1;
}

void UnlockPath(intptr_t handle) {
  const int fd = static_cast<int>(handle);
  flock(fd, LOCK_UN);
  close(fd);
}

bool WriteDurably(const std::filesystem::path& path, std::string_view bytes, int* error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0) {
    *error = errno;
    close(fd);
    return false;
  }
  if (close(fd) != 0) {
    *error = errno;
    return false;
  }
  return true;
}

bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to, int* error) {
  if (rename(from.c_str(), to.c_str()) != 0) {
    *error = errno;
    return false;
  }
  // The rename itself reaches the disk with its folder.
  const std::filesystem::path folder = to.has_parent_path() ? to.parent_path() : std::filesystem::path(".");
  const int dfd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return true;
}

}  // namespace orvane::sim_vdd::detail
