#include "host/app/single_instance.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string_view>
#include <thread>

#include "host/app/early_modes.h"
#include "host/common/data_folder.h"
#include "host/common/file_io.h"
#include "host/common/logger.h"

namespace orvane {

namespace {

// A command line is short; anything longer or slower is not a host of ours.
constexpr size_t kMaxCommandBytes = 64;
constexpr int kCommandTimeoutMs = 1000;
constexpr uint32_t kLockPollMs = 100;

constexpr char kShowSettingsCommand[] = "show-settings";
constexpr char kShutdownCommand[] = "shutdown";

std::filesystem::path Folder(const InstanceNames& names) {
  return names.folder.empty() ? RuntimeFolder() : names.folder;
}
std::filesystem::path LockPath(const InstanceNames& names) { return Folder(names) / (names.base + ".lock"); }
std::filesystem::path SocketPath(const InstanceNames& names) { return Folder(names) / (names.base + ".sock"); }

// Fills a local socket address; false when the path does not fit.
bool MakeAddress(const std::filesystem::path& path, sockaddr_un* address) {
  const std::string& text = path.native();
  *address = {};
  address->sun_family = AF_UNIX;
  if (text.empty() || text.size() >= sizeof address->sun_path) return false;
  memcpy(address->sun_path, text.data(), text.size());
  return true;
}

// Connects to the instance socket; -1 when nobody serves it.
int ConnectInstanceSocket(const InstanceNames& names) {
  sockaddr_un address;
  if (!MakeAddress(SocketPath(names), &address)) return -1;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendCommand(const InstanceNames& names, std::string_view command) {
  const int fd = ConnectInstanceSocket(names);
  if (fd < 0) return false;
  std::string line(command);
  line += '\n';
  size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t n = send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  close(fd);
  return sent == line.size();
}

// True when another open file holds the lock file's lock.
bool LockHeldElsewhere(const InstanceNames& names) {
  const int fd = open(LockPath(names).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == EACCES;  // there, but not ours to open: count it as held
  bool held = false;
  if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
    flock(fd, LOCK_UN);
  } else {
    held = errno == EWOULDBLOCK;
  }
  close(fd);
  return held;
}

class LinuxRunningHostProbe final : public IRunningHostProbe {
 public:
  explicit LinuxRunningHostProbe(InstanceNames names) : names_(std::move(names)) {}

  bool SignalShutdown() override { return SendCommand(names_, kShutdownCommand); }

  bool IsHostRunning() override {
    if (LockHeldElsewhere(names_)) return true;
    const int fd = ConnectInstanceSocket(names_);
    if (fd < 0) return false;
    close(fd);
    return true;
  }

 private:
  InstanceNames names_;
};

// Runs fn on a new thread that starts with every signal blocked, so that
// process signals are handled by the threads meant for them.
std::thread StartThreadWithSignalsBlocked(std::function<void()> fn) {
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  std::thread thread(std::move(fn));
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return thread;
}

}  // namespace

// ---------------------------------------------------------------------------
// SingleInstance

struct SingleInstance::Impl {
  InstanceNames names;
  int fd = -1;
  bool owned = false;
};

SingleInstance::SingleInstance(InstanceNames names) : impl_(std::make_unique<Impl>()) {
  impl_->names = std::move(names);
}

SingleInstance::~SingleInstance() { Release(); }

bool SingleInstance::owned() const { return impl_->owned; }

InstanceStatus SingleInstance::Acquire(bool relaunched, uint32_t wait_ms, IClock& clock) {
  if (impl_->owned) return InstanceStatus::kOwner;
  const std::filesystem::path path = LockPath(impl_->names);
  // The lock file stays in place: removing it would let two processes lock
  // two different files of the same name.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int error = errno;
    LogError("[Main] Single-instance lock file could not be opened: %s (errno %d)", PathToUtf8(path).c_str(), error);
    return InstanceStatus::kFailed;
  }
  const auto try_lock = [fd]() -> int {
    int rc;
    do {
      rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
  };
  int error = try_lock();
  if (error == EWOULDBLOCK && relaunched) {
    const uint64_t start = clock.TickMs();
    for (;;) {
      const uint64_t elapsed = clock.TickMs() - start;
      if (elapsed >= wait_ms) break;
      clock.SleepMs(static_cast<uint32_t>(std::min<uint64_t>(kLockPollMs, wait_ms - elapsed)));
      error = try_lock();
      if (error != EWOULDBLOCK) break;
    }
    if (error == EWOULDBLOCK) {
      close(fd);
      return InstanceStatus::kWaitTimedOut;
    }
  }
  if (error == 0) {
    impl_->fd = fd;
    impl_->owned = true;
    return InstanceStatus::kOwner;
  }
  close(fd);
  if (error == EWOULDBLOCK) return InstanceStatus::kAlreadyRunning;
  LogError("[Main] Single-instance lock failed: errno %d", error);
  return InstanceStatus::kFailed;
}

void SingleInstance::Release() {
  if (impl_->fd < 0) return;
  if (flock(impl_->fd, LOCK_UN) != 0) LogWarn("[Main] Single-instance unlock failed: errno %d", errno);
  close(impl_->fd);
  impl_->fd = -1;
  impl_->owned = false;
}

// ---------------------------------------------------------------------------
// Hand-over

bool HandOverToRunningInstance(const InstanceNames& names) {
  if (SendCommand(names, kShowSettingsCommand)) return true;
  LogWarn("[Main] Running host could not be reached over the instance socket");
  return false;
}

// ---------------------------------------------------------------------------
// InstanceCommandListener: the instance socket

struct InstanceCommandListener::Impl {
  InstanceNames names;
  InstanceCommandCallbacks callbacks;
  std::filesystem::path socket_path;
  int listen_fd = -1;
  std::atomic<bool> stop{false};
  std::thread thread;

  void Serve();
  void HandleClient(int fd);
  void Dispatch(std::string_view line);
};

void InstanceCommandListener::Impl::Serve() {
  for (;;) {
    const int client = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (stop.load()) {
      if (client >= 0) close(client);
      return;
    }
    if (client < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      LogWarn("[Main] Instance socket accept failed: errno %d", errno);
      return;
    }
    HandleClient(client);
    close(client);
  }
}

void InstanceCommandListener::Impl::HandleClient(int fd) {
  // Only this user may command the host (the runtime folder is private, but
  // the fallback folder in /tmp need not be).
  ucred peer{};
  socklen_t peer_len = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peer_len) != 0 || peer.uid != getuid()) {
    LogWarn("[Main] Ignoring instance command from another user");
    return;
  }
  char buf[kMaxCommandBytes];
  size_t used = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCommandTimeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;  // too slow: not a command
    pollfd entry{fd, POLLIN, 0};
    const int ready = poll(&entry, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return;
    const ssize_t n = recv(fd, buf + used, sizeof buf - used, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // closed: what arrived is the whole line
    used += static_cast<size_t>(n);
    if (std::find(buf, buf + used, '\n') != buf + used) break;
    if (used == sizeof buf) {
      LogWarn("[Main] Ignoring an over-long instance command");
      return;
    }
  }
  std::string_view line(buf, used);
  line = line.substr(0, line.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  Dispatch(line);
}

void InstanceCommandListener::Impl::Dispatch(std::string_view line) {
  if (line.empty()) return;  // a probe that only connected
  if (line == kShutdownCommand) {
    LogInfo("[Main] Exit requested by an installer (--shutdown)");
    if (callbacks.on_shutdown) callbacks.on_shutdown();
  } else if (line == kShowSettingsCommand) {
    if (callbacks.on_show_settings) callbacks.on_show_settings();
  } else {
    LogWarn("[Main] Ignoring unknown instance command: %s", EscapeUntrusted(line).c_str());
  }
}

InstanceCommandListener::InstanceCommandListener(InstanceNames names) : impl_(std::make_unique<Impl>()) {
  impl_->names = std::move(names);
}

InstanceCommandListener::~InstanceCommandListener() { Stop(); }

bool InstanceCommandListener::Start(InstanceCommandCallbacks callbacks) {
  if (impl_->listen_fd >= 0) return false;
  impl_->callbacks = std::move(callbacks);
  impl_->socket_path = SocketPath(impl_->names);
  sockaddr_un address;
  if (!MakeAddress(impl_->socket_path, &address)) {
    LogError("[Main] Instance socket path is too long: %s", PathToUtf8(impl_->socket_path).c_str());
    return false;
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    LogError("[Main] Instance socket could not be created: errno %d", errno);
    return false;
  }
  // The caller owns the instance lock, so a socket file left here belongs to
  // an earlier host that ended without removing it.
  unlink(impl_->socket_path.c_str());
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    LogError("[Main] Instance socket bind failed: errno %d", errno);
    close(fd);
    return false;
  }
  if (chmod(impl_->socket_path.c_str(), 0600) != 0) {
    LogWarn("[Main] Instance socket permissions could not be set: errno %d", errno);
  }
  if (listen(fd, 4) != 0) {
    LogError("[Main] Instance socket listen failed: errno %d", errno);
    close(fd);
    unlink(impl_->socket_path.c_str());
    return false;
  }
  impl_->listen_fd = fd;
  impl_->stop = false;
  Impl* impl = impl_.get();
  impl_->thread = StartThreadWithSignalsBlocked([impl] { impl->Serve(); });
  return true;
}

void InstanceCommandListener::Stop() {
  if (impl_->listen_fd < 0) return;
  impl_->stop = true;
  // Wakes accept(); a command being read ends within its 1 s bound.
  if (shutdown(impl_->listen_fd, SHUT_RDWR) != 0) LogWarn("[Main] Instance socket shutdown failed: errno %d", errno);
  if (impl_->thread.joinable()) impl_->thread.join();
  close(impl_->listen_fd);
  impl_->listen_fd = -1;
  unlink(impl_->socket_path.c_str());
}

// ---------------------------------------------------------------------------

std::unique_ptr<IRunningHostProbe> CreateRunningHostProbe(const InstanceNames& names) {
  return std::make_unique<LinuxRunningHostProbe>(names);
}

}  // namespace orvane
