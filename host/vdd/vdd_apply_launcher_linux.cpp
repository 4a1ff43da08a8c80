// The setup tool on Linux: OrvaneVddSetup beside the host program, started
// with posix_spawn (no elevation prompt here; the simulated world carries
// its own elevation flag). A process status carries only 8 bits, so the
// tool also writes its 32-bit exit code to the file named by
// ORVANE_VDD_SETUP_EXIT_FILE, a fresh private folder per run. The wait polls
// waitpid against a stop pipe.

#include "host/vdd/vdd_apply_launcher_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "host/common/file_io.h"
#include "host/common/logger.h"
#include "host/common/parse.h"
#include "host/common/platform_info.h"

extern char** environ;

namespace orvane::vdd_apply {
namespace {

// How often a wait looks at the process between stop-pipe polls.
constexpr int kPollSliceMs = 50;
// The exit file holds a decimal number and maybe a line end.
constexpr size_t kMaxExitFileBytes = 64;

// A manual-reset signal: once written, the read end stays readable.
class StopPipe {
 public:
  StopPipe() {
    int fds[2] = {-1, -1};
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
      LogWarn("[VddApply] pipe2 failed (errno=%d); waits for the setup tool cannot be stopped", errno);
      return;
    }
    read_fd_ = fds[0];
    write_fd_ = fds[1];
  }
  ~StopPipe() {
    if (read_fd_ >= 0) close(read_fd_);
    if (write_fd_ >= 0) close(write_fd_);
  }
  StopPipe(const StopPipe&) = delete;
  StopPipe& operator=(const StopPipe&) = delete;

  void Set() {
    if (write_fd_ < 0 || set_.exchange(true)) return;
    const char byte = 1;
    ssize_t n;
    do {
      n = write(write_fd_, &byte, 1);
    } while (n < 0 && errno == EINTR);
    if (n != 1) LogWarn("[VddApply] Writing the stop pipe failed (errno=%d)", errno);
  }
  int read_fd() const { return read_fd_; }

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
  std::atomic<bool> set_{false};
};

// The code the tool wrote: 1 to 10 decimal digits within 32 bits, white
// space around allowed.
std::optional<uint32_t> ParseExitCode(std::string_view text) {
  text = TrimWhitespace(text);
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(value);
}

class LinuxToolProcess final : public IToolProcess {
 public:
  LinuxToolProcess(pid_t pid, std::filesystem::path run_dir, std::filesystem::path exit_file,
                   std::shared_ptr<StopPipe> stop, IClock& clock)
      : pid_(pid), run_dir_(std::move(run_dir)), exit_file_(std::move(exit_file)), stop_(std::move(stop)),
        clock_(clock) {}

  ~LinuxToolProcess() override {
    // A tool still running goes on; it is reaped by nobody but ends with
    // the host at the latest. Its exit file goes with its folder.
    if (!reaped_) Reap();
    std::error_code ec;
    std::filesystem::remove_all(run_dir_, ec);
    if (ec) LogWarn("[VddApply] Cannot remove %s (%s)", PathToUtf8(run_dir_).c_str(), ec.message().c_str());
  }

  WaitStatus Wait(uint32_t limit_ms) override {
    const uint64_t start = clock_.TickMs();
    for (;;) {
      if (!Reap()) return WaitStatus::kFailed;
      if (reaped_) return WaitStatus::kEnded;
      const uint64_t elapsed = clock_.TickMs() - start;
      if (elapsed >= limit_ms) return WaitStatus::kTimedOut;
      const int slice = static_cast<int>(std::min<uint64_t>(kPollSliceMs, limit_ms - elapsed));
      if (stop_->read_fd() < 0) {
        struct timespec ts {0, static_cast<long>(slice) * 1'000'000L};
        nanosleep(&ts, nullptr);
        continue;
      }
      struct pollfd pfd {stop_->read_fd(), POLLIN, 0};
      const int r = poll(&pfd, 1, slice);
      if (r > 0) return WaitStatus::kStopped;
      if (r < 0 && errno != EINTR) {
        LogWarn("[VddApply] poll failed (errno=%d)", errno);
        return WaitStatus::kFailed;
      }
    }
  }

  bool HasEnded() override { return !Reap() || reaped_; }

  bool ReadExitCode(uint32_t* code) override {
    if (!reaped_) return false;
    const FileReadResult file = ReadFileBounded(exit_file_, kMaxExitFileBytes);
    if (file.status == FileReadStatus::kOk) {
      if (const auto value = ParseExitCode(file.bytes)) {
        *code = *value;
        return true;
      }
      LogWarn("[VddApply] %s holds no exit code; using the process status", PathToUtf8(exit_file_).c_str());
    } else if (file.status != FileReadStatus::kAbsent) {
      LogWarn("[VddApply] Cannot read %s (%s); using the process status", PathToUtf8(exit_file_).c_str(),
              FileReadStatusName(file.status));
    }
    if (WIFEXITED(status_)) {
      *code = static_cast<uint32_t>(WEXITSTATUS(status_));
      return true;
    }
    if (WIFSIGNALED(status_)) {
      // As a shell reports it; no code of the tool's table.
      *code = 128u + static_cast<uint32_t>(WTERMSIG(status_));
      return true;
    }
    return false;
  }

 private:
  // false when waitpid failed; reaped_ tells whether the process ended.
  bool Reap() {
    if (reaped_) return true;
    for (;;) {
      int status = 0;
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        status_ = status;
        return true;
      }
      if (r == 0) return true;
      if (errno == EINTR) continue;
      LogWarn("[VddApply] waitpid(%d) failed (errno=%d)", static_cast<int>(pid_), errno);
      return false;
    }
  }

  const pid_t pid_;
  const std::filesystem::path run_dir_;
  const std::filesystem::path exit_file_;
  const std::shared_ptr<StopPipe> stop_;
  IClock& clock_;
  bool reaped_ = false;
  int status_ = 0;
};

class LinuxToolLauncher final : public IToolLauncher {
 public:
  LinuxToolLauncher(std::string tool_path, IClock& clock)
      : tool_path_(std::move(tool_path)), clock_(clock), stop_(std::make_shared<StopPipe>()) {}

  std::string LocateTool() override {
    std::string path = tool_path_;
    if (path.empty()) {
      const std::string program = ProgramPathUtf8();
      const size_t slash = program.rfind('/');
      if (slash == std::string::npos) {
        LogWarn("[VddApply] The host program's folder is unknown");
        return {};
      }
      path = program.substr(0, slash + 1) + kLinuxToolName;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
      LogWarn("[VddApply] %s not found (errno=%d)", path.c_str(), errno);
      return {};
    }
    if (!S_ISREG(st.st_mode)) {
      LogWarn("[VddApply] %s is not a program file", path.c_str());
      return {};
    }
    return path;
  }

  LaunchResult Launch(const std::string& tool_path, bool repair) override {
    LaunchResult result;
    std::error_code ec;
    const std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
    if (ec) {
      LogWarn("[VddApply] No temporary folder (%s)", ec.message().c_str());
      result.error = static_cast<uint32_t>(ec.value());
      return result;
    }
    std::string pattern = PathToUtf8(temp / "orvane-vdd-apply-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) {
      const int err = errno;
      LogWarn("[VddApply] mkdtemp in %s failed (errno=%d)", PathToUtf8(temp).c_str(), err);
      result.error = static_cast<uint32_t>(err);
      return result;
    }
    const std::filesystem::path run_dir = PathFromUtf8(pattern);
    const std::filesystem::path exit_file = run_dir / "exit-code";

    // The environment as it is, with the exit file named (replacing any
    // value inherited from the host's own environment).
    const std::string variable = std::string(kExitFileVariable) + "=";
    std::vector<std::string> env_strings;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
      if (std::string_view(*e).starts_with(variable)) continue;
      env_strings.emplace_back(*e);
    }
    env_strings.push_back(variable + PathToUtf8(exit_file));
    std::vector<char*> envp;
    envp.reserve(env_strings.size() + 1);
    for (std::string& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);

    std::string program = tool_path;
    std::string command = repair ? "repair" : "restart";
    char* argv[] = {program.data(), command.data(), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data());
    if (rc != 0) {
      LogWarn("[VddApply] Starting %s failed (errno=%d)", tool_path.c_str(), rc);
      std::filesystem::remove_all(run_dir, ec);
      result.error = static_cast<uint32_t>(rc);
      return result;
    }
    result.status = LaunchStatus::kStarted;
    result.process = std::make_unique<LinuxToolProcess>(pid, run_dir, exit_file, stop_, clock_);
    return result;
  }

  void Stop() override { stop_->Set(); }

 private:
  const std::string tool_path_;
  IClock& clock_;
  const std::shared_ptr<StopPipe> stop_;
};

}  // namespace

std::unique_ptr<IToolLauncher> MakeLinuxToolLauncher(std::string tool_path, IClock& clock) {
  return std::make_unique<LinuxToolLauncher>(std::move(tool_path), clock);
}

std::unique_ptr<IToolLauncher> MakePlatformToolLauncher() { return MakeLinuxToolLauncher({}, SystemClock()); }

int64_t PlatformBootTimeSeconds() {
  struct timespec boot {};
  if (clock_gettime(CLOCK_BOOTTIME, &boot) != 0) {
    LogWarn("[VddApply] clock_gettime(CLOCK_BOOTTIME) failed (errno=%d)", errno);
    return 0;
  }
  const time_t now = time(nullptr);
  if (now == static_cast<time_t>(-1)) {
    LogWarn("[VddApply] time() failed (errno=%d)", errno);
    return 0;
  }
  return static_cast<int64_t>(now) - static_cast<int64_t>(boot.tv_sec);
}

}  // namespace orvane::vdd_apply
