#include "tests/support/child_process_linux.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>

namespace orvane::testing {

int64_t SteadyNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  const std::string_view dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string_view::npos) end = dirs.size();
    const std::string_view dir = dirs.substr(start, end - start);
    std::string candidate;
    candidate.append(dir.empty() ? std::string_view(".") : dir);
    candidate.append("/").append(name);
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

bool ReapWithin(pid_t pid, int limit_ms) {
  const int64_t end = SteadyNowMs() + limit_ms;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) return true;
    if (r < 0 && errno != EINTR) return false;
    if (SteadyNowMs() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void EndChild(pid_t pid, int stop_wait_ms) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  if (ReapWithin(pid, stop_wait_ms)) return;
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace orvane::testing
