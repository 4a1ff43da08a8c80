#include "tests/support/xvfb_server.h"
#include "tests/support/child_process_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

namespace orvane::testing {

namespace {

constexpr int kStopWaitMs = 5000;

void EndServer(pid_t pid) { EndChild(pid, kStopWaitMs); }

}  // namespace

std::string XvfbServer::FindProgram() { return FindOnPath("Xvfb"); }

std::unique_ptr<XvfbServer> XvfbServer::Start(std::string* error) {
  std::string scratch;
  std::string& why = error ? *error : scratch;
  const std::string program = FindProgram();
  if (program.empty()) {
    why = "Xvfb is not installed (no Xvfb on PATH)";
    return nullptr;
  }
  int fds[2] = {-1, -1};
  if (pipe2(fds, O_CLOEXEC) != 0) {
    why = ErrnoText("pipe2");
    return nullptr;
  }
  const int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (devnull < 0) {
    why = ErrnoText("open /dev/null");
    close(fds[0]);
    close(fds[1]);
    return nullptr;
  }
  // Everything the child needs is prepared before fork: after it, only
  // async-signal-safe calls.
  const std::string fd_text = std::to_string(fds[1]);
  std::vector<std::string> args = {program, "-displayfd", fd_text, "-screen", "0", "1920x1080x24",
                                   "-nolisten", "tcp", "-noreset"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t parent = getpid();

  const pid_t pid = fork();
  if (pid < 0) {
    why = ErrnoText("fork");
    close(fds[0]);
    close(fds[1]);
    close(devnull);
    return nullptr;
  }
  if (pid == 0) {
    // The server goes when the process that started it goes.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(126);
    dup2(devnull, STDIN_FILENO);
    dup2(devnull, STDOUT_FILENO);
    dup2(devnull, STDERR_FILENO);
    const int flags = fcntl(fds[1], F_GETFD);
    if (flags < 0 || fcntl(fds[1], F_SETFD, flags & ~FD_CLOEXEC) != 0) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  close(devnull);

  // The server writes its display number and a newline once it accepts
  // connections.
  std::string text;
  const int64_t deadline = SteadyNowMs() + kStartWaitMs;
  bool done = false;
  while (!done) {
    const int64_t left = deadline - SteadyNowMs();
    if (left <= 0) {
      why = "Xvfb did not report a display number within " + std::to_string(kStartWaitMs) + " ms";
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0) {
      if (errno == EINTR) continue;
      why = ErrnoText("poll");
      break;
    }
    if (r == 0) continue;
    char buf[32];
    const ssize_t n = read(fds[0], buf, sizeof(buf));
    if (n < 0) {
      if (errno == EINTR) continue;
      why = ErrnoText("read");
      break;
    }
    if (n == 0) {
      why = "Xvfb ended before it reported a display number";
      break;
    }
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > 16) {
      why = "Xvfb wrote an unexpected display number";
      break;
    }
    done = text.find('\n') != std::string::npos;
  }
  close(fds[0]);
  if (done) {
    const std::string number = text.substr(0, text.find('\n'));
    const bool digits = !number.empty() && number.find_first_not_of("0123456789") == std::string::npos;
    if (digits) return std::unique_ptr<XvfbServer>(new XvfbServer(pid, ":" + number));
    why = "Xvfb wrote an unexpected display number";
  }
  EndServer(pid);
  return nullptr;
}

XvfbServer::~XvfbServer() { EndServer(pid_); }

}  // namespace orvane::testing
