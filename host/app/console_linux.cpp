#include "host/app/console.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <thread>

#include "host/app/host_state.h"
#include "host/common/logger.h"

namespace orvane {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];

// The signal pipe lives for the whole process: a handler that already
// started on another thread may still write to it while the handler is
// being removed, so it is never closed.
int g_signal_pipe[2] = {-1, -1};

void OnSignal(int signal_number) {
  const int saved_errno = errno;
  const unsigned char byte = static_cast<unsigned char>(signal_number);
  // Non-blocking: a full pipe already holds enough wake-ups.
  const ssize_t written = write(g_signal_pipe[1], &byte, 1);
  (void)written;
  errno = saved_errno;
}

bool EnsureSignalPipe() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
    ok = pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) == 0;
    if (!ok) LogError("[Main] Signal pipe could not be created: errno %d", errno);
  });
  return ok;
}

void DrainSignalPipe() {
  unsigned char buf[64];
  while (read(g_signal_pipe[0], buf, sizeof buf) > 0) {
  }
}

ConsoleEvent EventFromSignal(int signal_number) {
  switch (signal_number) {
    case SIGINT: return ConsoleEvent::kInterrupt;
    case SIGTERM: return ConsoleEvent::kShutdown;
    // A closed terminal: a shutdown, never a relaunch.
    case SIGHUP: return ConsoleEvent::kLogoff;
    default: return ConsoleEvent::kOther;
  }
}

std::mutex g_install_lock;
bool g_any_installed = false;

}  // namespace

bool SetUpConsole(bool console_requested, bool selftest) {
  const bool console = console_requested || selftest;
  // A terminal or a pipe reading the console sees each line as it is logged.
  if (console && std::setvbuf(stdout, nullptr, _IOLBF, 0) != 0) {
    LogWarn("[Main] Line buffering of the standard output failed");
  }
  return console;
}

struct ConsoleControlHandler::Impl {
  ConsoleHandlerMode mode = ConsoleHandlerMode::kHost;
  ConsoleHandlerCallbacks callbacks;
  bool installed = false;
  bool handlers_set = false;
  int wake_pipe[2] = {-1, -1};
  struct sigaction previous[kSignalCount] = {};
  std::thread thread;

  void Run();
  void Dispatch(int signal_number);
  // Wakes and joins the thread, closes the wake pipe.
  void StopThread();
};

void ConsoleControlHandler::Impl::StopThread() {
  if (thread.joinable()) {
    const unsigned char byte = 0;
    if (write(wake_pipe[1], &byte, 1) != 1) LogWarn("[Main] Waking the signal handler failed: errno %d", errno);
    thread.join();
  }
  for (int& fd : wake_pipe) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

void ConsoleControlHandler::Impl::Run() {
  for (;;) {
    pollfd entries[2] = {{g_signal_pipe[0], POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
    const int ready = poll(entries, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      LogWarn("[Main] Signal handler poll failed: errno %d", errno);
      return;
    }
    if (entries[1].revents != 0) return;
    if (entries[0].revents == 0) continue;
    unsigned char buf[16];
    const ssize_t n = read(g_signal_pipe[0], buf, sizeof buf);
    for (ssize_t i = 0; i < n; ++i) Dispatch(buf[i]);
  }
}

void ConsoleControlHandler::Impl::Dispatch(int signal_number) {
  HostState& state = GetHostState();
  switch (DecideConsoleAction(EventFromSignal(signal_number), mode, state.shutdown_requested.load(),
                              state.relaunch_on_console_close.load())) {
    case ConsoleAction::kShutdownSignal:
      if (callbacks.on_shutdown_signal) callbacks.on_shutdown_signal();
      break;
    case ConsoleAction::kRelaunch:
      if (callbacks.on_console_close) callbacks.on_console_close();
      break;
    case ConsoleAction::kHandled:
    case ConsoleAction::kNotHandled:
      break;
  }
}

ConsoleControlHandler::ConsoleControlHandler() : impl_(std::make_unique<Impl>()) {}

ConsoleControlHandler::~ConsoleControlHandler() { Remove(); }

bool ConsoleControlHandler::Install(ConsoleHandlerMode mode, ConsoleHandlerCallbacks callbacks) {
  std::lock_guard<std::mutex> lock(g_install_lock);
  if (impl_->installed || g_any_installed) {
    LogWarn("[Main] A console control handler is already installed");
    return false;
  }
  impl_->mode = mode;
  impl_->callbacks = std::move(callbacks);
  // A self-test keeps the default actions: a signal ends it.
  if (mode == ConsoleHandlerMode::kSelfTest) {
    impl_->installed = true;
    g_any_installed = true;
    return true;
  }
  if (!EnsureSignalPipe()) return false;
  DrainSignalPipe();  // wake-ups left from an earlier handler
  if (pipe2(impl_->wake_pipe, O_CLOEXEC) != 0) {
    LogError("[Main] Signal handler wake pipe could not be created: errno %d", errno);
    return false;
  }
  // The thread blocks every signal so that its poll is never interrupted;
  // the handlers run on whichever other thread the kernel picks.
  sigset_t all;
  sigset_t old_mask;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old_mask);
  Impl* impl = impl_.get();
  impl_->thread = std::thread([impl] { impl->Run(); });
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);

  struct sigaction action = {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (size_t i = 0; i < kSignalCount; ++i) {
    if (sigaction(kSignals[i], &action, &impl_->previous[i]) != 0) {
      LogError("[Main] sigaction(%d) failed: errno %d", kSignals[i], errno);
      for (size_t j = 0; j < i; ++j) sigaction(kSignals[j], &impl_->previous[j], nullptr);
      impl_->StopThread();
      return false;
    }
  }
  impl_->handlers_set = true;
  impl_->installed = true;
  g_any_installed = true;
  return true;
}

void ConsoleControlHandler::Remove() {
  std::lock_guard<std::mutex> lock(g_install_lock);
  if (!impl_->installed) return;
  if (impl_->handlers_set) {
    for (size_t i = 0; i < kSignalCount; ++i) {
      if (sigaction(kSignals[i], &impl_->previous[i], nullptr) != 0) {
        LogWarn("[Main] Restoring the action of signal %d failed: errno %d", kSignals[i], errno);
      }
    }
    impl_->handlers_set = false;
  }
  impl_->StopThread();
  impl_->installed = false;
  g_any_installed = false;
}

}  // namespace orvane
