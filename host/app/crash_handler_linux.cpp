// Fatal-signal handler of the Linux build. The handler uses async-signal-safe
// calls only: time, getpid, open, write, close, signal, raise. The folder is
// prepared at install time; the note's time is UTC, computed by arithmetic.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "host/app/crash_handler.h"
#include "host/common/data_folder.h"
#include "host/common/file_io.h"
#include "host/common/logger.h"

namespace orvane {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kAltStackBytes = 64 * 1024;

char g_folder[4096] = ".";
alignas(16) char g_alt_stack[kAltStackBytes];

std::mutex g_hook_mu;
std::unique_ptr<std::function<bool()>> g_hook;  // kept for parity; see the header

const char* SignalName(int sig) {
  switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
  }
}

void WriteAll(int fd, const char* text, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, text, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text += n;
    len -= static_cast<size_t>(n);
  }
}

void FatalSignalHandler(int sig) {
  const int saved_errno = errno;
  const int64_t now = static_cast<int64_t>(time(nullptr));

  char path[sizeof g_folder + 64];
  size_t pos = 0;
  crash_text::Append(path, sizeof path, &pos, g_folder);
  crash_text::Append(path, sizeof path, &pos, "/");
  pos += FormatCrashNoteName(path + pos, sizeof path - pos, now);

  char note[256];
  const size_t note_len = FormatCrashNoteText(note, sizeof note, sig, SignalName(sig), getpid(), now);
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd >= 0) {
    WriteAll(fd, note, note_len);
    close(fd);
  }

  char line[sizeof path + 128];
  size_t line_pos = 0;
  crash_text::Append(line, sizeof line, &line_pos, "[ERROR] [Crash] Fatal signal ");
  crash_text::Append(line, sizeof line, &line_pos, SignalName(sig));
  crash_text::Append(line, sizeof line, &line_pos, fd >= 0 ? ". Note written to: " : ". Failed to write note: ");
  crash_text::Append(line, sizeof line, &line_pos, path);
  crash_text::Append(line, sizeof line, &line_pos, "\n");
  WriteAll(STDERR_FILENO, line, line_pos);

  // Let the signal do what it would have done without us (core dump, exit
  // status): the default action, delivered when this handler returns.
  signal(sig, SIG_DFL);
  raise(sig);
  errno = saved_errno;
}

}  // namespace

void InstallCrashHandler() { InstallCrashHandler(DataSubfolder("crashes")); }

void InstallCrashHandler(const std::filesystem::path& crash_folder) {
  std::filesystem::path folder = crash_folder;
  if (!EnsureDirectory(folder)) {
    LogWarn("[Crash] Failed to create crash folder %s; using the current directory",
            PathToUtf8(folder).c_str());
    folder = ".";
  }
  const std::string text = PathToUtf8(folder);
  if (text.size() >= sizeof g_folder) {
    LogWarn("[Crash] Crash folder path too long (%zu bytes); using the current directory", text.size());
    std::memcpy(g_folder, ".", 2);
  } else {
    std::memcpy(g_folder, text.c_str(), text.size() + 1);
  }

  // An alternate stack so that a stack overflow of this thread still reaches
  // the handler. Other threads overflow into the default action.
  stack_t ss{};
  ss.ss_sp = g_alt_stack;
  ss.ss_size = sizeof g_alt_stack;
  if (sigaltstack(&ss, nullptr) != 0) {
    LogWarn("[Crash] sigaltstack failed (errno=%d)", errno);
  }

  struct sigaction sa {};
  sa.sa_handler = FatalSignalHandler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_ONSTACK | SA_RESETHAND;
  for (int sig : kFatalSignals) {
    if (sigaction(sig, &sa, nullptr) != 0) {
      LogWarn("[Crash] sigaction(%s) failed (errno=%d)", SignalName(sig), errno);
    }
  }
}

void SetCrashSpeakerRestoreHook(std::function<bool()> hook) {
  std::lock_guard<std::mutex> lock(g_hook_mu);
  g_hook = hook ? std::make_unique<std::function<bool()>>(std::move(hook)) : nullptr;
}

}  // namespace orvane
