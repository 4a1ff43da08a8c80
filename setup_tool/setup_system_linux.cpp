// The setup tool's system on Linux: the simulated driver world of the
// folder named by ORVANE_SIM_VDD, shared with the host through its file.
// Every device, registry and elevation call locks the world, loads it,
// follows the monotonic clock (the one the host follows, so both see the
// same world time), acts and saves. Files are plain POSIX files, opened
// without following links.
//
// Without ORVANE_SIM_VDD there is no world: no display device at all, no
// registry values, and the process counts as not elevated, so the commands
// that change something stop with "needs administrator rights".

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "setup_tool/setup_system.h"
#include "tools/sim_vdd/sim_vdd_world.h"
#include "tools/sim_vdd/sim_vdd_world_session.h"

namespace orvane::vdd_setup {

namespace {

namespace sim = sim_vdd;

constexpr char kWorldVariable[] = "ORVANE_SIM_VDD";
// Beside world.lock, which every single call holds only briefly.
constexpr char kRunLockFileName[] = "vdd_setup_run.lock";
constexpr char kFirstMonitorKey[] = "SOFTWARE\\Orvane Display";
constexpr char kFirstMonitorValue[] = "VddFirstOrvaneMonitor";
constexpr uint32_t kErrorNotFound = 1168;
constexpr uint32_t kErrorNoSuchDevinst = 0xE000020Bu;
constexpr uint32_t kProblemFailedInstall = 28;  // a registered device without a driver
constexpr size_t kMaxPathBytes = 4096;

static_assert(sim::kProblemDisabled == kProblemDisabled);
static_assert(static_cast<uint32_t>(sim::kWinSuccess) == kErrorSuccess &&
              static_cast<uint32_t>(sim::kWinFileNotFound) == kErrorFileNotFound &&
              static_cast<uint32_t>(sim::kWinGenFailure) == kErrorGenFailure);

// The Windows number of a POSIX error, so that the commands and their exit
// codes read the same on both systems.
uint32_t WindowsError(int error) {
  switch (error) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR: return kErrorAccessDenied;
    case EEXIST: return 80;          // ERROR_FILE_EXISTS
    case ENOSPC: return 112;         // ERROR_DISK_FULL
    case EROFS: return 19;           // ERROR_WRITE_PROTECT
    case ENAMETOOLONG: return 206;   // ERROR_FILENAME_EXCED_RANGE
    case EBUSY: return kErrorBusy;
    case ELOOP: return kErrorStoppedOnSymlink;
    case EIO: return 1117;           // ERROR_IO_DEVICE
    case EMFILE:
    case ENFILE: return 4;           // ERROR_TOO_MANY_OPEN_FILES
    case ENOMEM: return 8;           // ERROR_NOT_ENOUGH_MEMORY
    default: return kErrorGenFailure;
  }
}

bool SameId(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

std::string ParentFolder(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

bool FolderIsLink(const std::string& path) {
  struct stat st {};
  return lstat(ParentFolder(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

FileFacts FactsOf(const struct stat& st) {
  FileFacts facts;
  facts.exists = true;
  facts.link = S_ISLNK(st.st_mode);
  facts.regular = S_ISREG(st.st_mode);
  facts.link_count = static_cast<uint32_t>(std::min<nlink_t>(st.st_nlink, UINT32_MAX));
  return facts;
}

bool WriteAll(int fd, std::string_view bytes, int* error) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

class SimSetupSystem final : public ISetupSystem {
 public:
  SimSetupSystem(std::optional<std::filesystem::path> world, DiagnosticSink diagnostics)
      : world_(std::move(world)), diagnostics_(diagnostics) {}

  ~SimSetupSystem() override {
    if (run_lock_ >= 0) {
      flock(run_lock_, LOCK_UN);
      close(run_lock_);
    }
  }

  // --- devices ---

  SysResult ListDisplayDevices(bool present_only, std::vector<ClassDevice>* devices) override {
    devices->clear();
    listed_.clear();
    if (!world_) return SysResult::Success();
    return Visit([&](sim::SimVddWorld& world) {
      for (const sim::SimClassDevice& d : world.DisplayClassDevices()) {
        if (present_only && !d.present) continue;
        ClassDevice out;
        out.hardware_ids = d.hardware_ids;
        out.instance_id = d.instance_id;
        out.present = d.present;
        devices->push_back(std::move(out));
        listed_.push_back(d.instance_id);
      }
      return kErrorSuccess;
    });
  }

  SysResult ReadNodeStatus(size_t index, NodeStatus* status) override {
    return VisitDevice(index, [&](sim::SimVddWorld& world, const std::string& id) {
      for (const sim::SimClassDevice& d : world.DisplayClassDevices()) {
        if (!SameId(d.instance_id, id)) continue;
        if (!d.present) return kErrorNotFound;
        status->status = (d.started ? kNodeStarted : 0u) | (d.problem != 0 ? kNodeHasProblem : 0u);
        status->problem = d.problem;
        return kErrorSuccess;
      }
      return kErrorNotFound;
    });
  }

  SysResult ListChildNodes(size_t index, std::vector<ChildNode>* children) override {
    children->clear();
    return VisitDevice(index, [&](sim::SimVddWorld& world, const std::string& id) {
      std::vector<sim::SimNode> nodes;
      const int32_t error = world.ChildNodes(id, &nodes);
      for (const sim::SimNode& n : nodes) children->push_back({n.instance_id, true});
      return static_cast<uint32_t>(error);
    });
  }

  RestartAnswer RestartDevice(size_t index) override {
    RestartAnswer answer;
    answer.result = VisitDevice(index, [&](sim::SimVddWorld& world, const std::string& id) {
      // Another copy of the driver ([class N]) has nothing to restart.
      if (!IsWorldDevice(world, id)) return kErrorSuccess;
      return world.RestartDevice() ? kErrorSuccess : kErrorGenFailure;
    });
    return answer;
  }

  SysResult UninstallDevice(size_t index, bool* needs_reboot) override {
    *needs_reboot = false;
    return VisitDevice(index, [&](sim::SimVddWorld& world, const std::string& id) {
      if (IsWorldDevice(world, id)) {
        RemoveWorldDevice(world);
        return kErrorSuccess;
      }
      auto& others = world.state().other_devices;
      const auto it = std::find_if(others.begin(), others.end(),
                                   [&](const sim::SimOtherDevice& o) { return SameId(o.instance_id, id); });
      if (it == others.end()) return kErrorNotFound;
      others.erase(it);
      world.MarkChanged();
      return kErrorSuccess;
    });
  }

  CreateAnswer CreateDevice() override {
    CreateAnswer answer;
    if (!world_) return {CreateStep::kList, kErrorGenFailure};
    const SysResult created = Visit([&](sim::SimVddWorld& world) {
      sim::SimDevice& d = world.state().device;
      if (d.installed && d.present) return 183u;  // ERROR_ALREADY_EXISTS: the world holds one such device
      world.state().targets.clear();
      d.installed = true;
      d.present = true;
      d.started = false;
      d.starting = false;
      d.start_at_ms = 0;
      d.problem = kProblemFailedInstall;
      world.MarkChanged();
      return kErrorSuccess;
    });
    if (!created.ok) answer = {CreateStep::kRegister, created.error};
    created_ = created.ok;
    return answer;
  }

  SysResult RemoveCreatedDevice() override {
    if (!created_ || !world_) return SysResult::Failure(kErrorNoSuchDevinst);
    created_ = false;
    return Visit([&](sim::SimVddWorld& world) {
      RemoveWorldDevice(world);
      return kErrorSuccess;
    });
  }

  SysResult UpdateDriver(const std::string& full_inf_path, bool* needs_reboot) override {
    *needs_reboot = false;
    if (!FileExists(full_inf_path)) return SysResult::Failure(kErrorFileNotFound);
    if (!world_) return SysResult::Failure(kErrorNoSuchDevinst);
    return Visit([&](sim::SimVddWorld& world) {
      sim::SimDevice& d = world.state().device;
      if (!d.installed) return kErrorNoSuchDevinst;
      d.present = true;
      d.problem = 0;
      // The new driver starts the way a restarted one does.
      world.RestartDevice();
      return kErrorSuccess;
    });
  }

  SysResult UninstallOemInf(const std::string&) override {
    // The simulated world keeps no driver packages.
    return SysResult::Failure(kErrorFileNotFound);
  }

  // --- process ---

  bool IsElevated() override {
    if (!world_) return false;
    bool elevated = false;
    const SysResult visited = Visit([&](sim::SimVddWorld& world) {
      elevated = world.state().elevated;
      return kErrorSuccess;
    });
    return visited.ok && elevated;
  }

  RunLock AcquireRunLock(uint32_t* error) override {
    if (run_lock_ >= 0) return RunLock::kHeld;
    if (!world_) {
      *error = kErrorPathNotFound;
      return RunLock::kFailed;
    }
    std::error_code ec;
    std::filesystem::create_directories(*world_, ec);
    const std::filesystem::path path = *world_ / kRunLockFileName;
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      *error = WindowsError(errno);
      Note("Opening " + path.string() + " failed: " + std::strerror(errno));
      return RunLock::kFailed;
    }
    for (;;) {
      if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        run_lock_ = fd;
        return RunLock::kHeld;
      }
      if (errno != EINTR) break;
    }
    const int lock_error = errno;
    close(fd);
    if (lock_error == EWOULDBLOCK) return RunLock::kBusy;
    *error = WindowsError(lock_error);
    return RunLock::kFailed;
  }

  // --- registry ---

  std::string SettingsFolder() override {
    std::string folder;
    if (world_) {
      Visit([&](sim::SimVddWorld& world) {
        if (world.state().registry.has_vdd_path) folder = world.state().registry.vdd_path;
        return kErrorSuccess;
      });
    }
    return folder;
  }

  SysResult ReadFirstOrvaneMonitor(uint32_t* value) override {
    if (!world_) return SysResult::Failure(kErrorFileNotFound);
    return Visit([&](sim::SimVddWorld& world) {
      return static_cast<uint32_t>(world.ReadRegistryDword(kFirstMonitorKey, kFirstMonitorValue, value));
    });
  }

  SysResult WriteFirstOrvaneMonitor(uint32_t value) override {
    if (!world_) return SysResult::Failure(kErrorAccessDenied);
    return Visit([&](sim::SimVddWorld& world) {
      world.state().registry.has_first_orvane_monitor = true;
      world.state().registry.first_orvane_monitor = value;
      world.MarkChanged();
      return kErrorSuccess;
    });
  }

  // --- files ---

  bool FullPath(const std::string& path, std::string* full) override {
    if (path.empty() || path.size() > kMaxPathBytes) return false;
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec) return false;
    *full = absolute.lexically_normal().string();
    return full->size() <= kMaxPathBytes;
  }

  bool FileExists(const std::string& path) override {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  FileFacts ProbeFile(const std::string& path) override {
    FileFacts facts;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
      facts = FactsOf(st);
    } else if (errno != ENOENT && errno != ENOTDIR) {
      facts.exists = true;  // there, but nothing more is known
    }
    facts.folder_link = FolderIsLink(path);
    return facts;
  }

  FileRead ReadWholeFile(const std::string& path, size_t max_bytes) override {
    FileRead read;
    read.facts.folder_link = FolderIsLink(path);
    // O_NONBLOCK: a planted FIFO must not hold the run.
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      read.error = WindowsError(error);
      if (error == ENOENT || error == ENOTDIR) {
        read.status = ReadStatus::kAbsent;
        return read;
      }
      const bool folder_link = read.facts.folder_link;
      read.facts = ProbeFile(path);
      read.facts.folder_link = folder_link;
      read.status = ReadStatus::kUnreadable;
      return read;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
      read.error = WindowsError(errno);
      close(fd);
      read.status = ReadStatus::kUnreadable;
      return read;
    }
    const bool folder_link = read.facts.folder_link;
    read.facts = FactsOf(st);
    read.facts.folder_link = folder_link;
    if (!read.facts.regular) {
      close(fd);
      read.status = ReadStatus::kUnreadable;
      return read;
    }
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) >= max_bytes) {
      close(fd);
      read.status = ReadStatus::kTooLarge;
      return read;
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        read.error = n < 0 ? WindowsError(errno) : kErrorGenFailure;
        close(fd);
        read.status = ReadStatus::kUnreadable;  // a short read
        return read;
      }
      done += static_cast<size_t>(n);
    }
    close(fd);
    read.status = ReadStatus::kOk;
    read.text = std::move(text);
    return read;
  }

  SysResult WriteNewFile(const std::string& path, std::string_view bytes) override {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return SysResult::Failure(WindowsError(errno));
    int error = 0;
    bool ok = WriteAll(fd, bytes, &error);
    if (ok && fsync(fd) != 0) {
      error = errno;
      ok = false;
    }
    if (close(fd) != 0 && ok) {
      error = errno;
      ok = false;
    }
    return ok ? SysResult::Success() : SysResult::Failure(WindowsError(error));
  }

  SysResult MoveReplacing(const std::string& from, const std::string& to) override {
    if (rename(from.c_str(), to.c_str()) != 0) return SysResult::Failure(WindowsError(errno));
    // The rename reaches the disk with its folder.
    const int folder = open(ParentFolder(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return SysResult::Failure(WindowsError(errno));
    const int synced = fsync(folder) == 0 ? 0 : errno;
    close(folder);
    return synced == 0 ? SysResult::Success() : SysResult::Failure(WindowsError(synced));
  }

  SysResult RemoveFile(const std::string& path) override {
    return unlink(path.c_str()) == 0 ? SysResult::Success() : SysResult::Failure(WindowsError(errno));
  }

  // --- time ---

  uint64_t TickMs() override {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1'000'000u;
  }

  void SleepMs(uint32_t ms) override {
    struct timespec left {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }

 private:
  // The body answers a world's error number (0: done; the world never
  // fails without one).
  template <typename F>
  SysResult Visit(F&& body) {
    uint32_t result = kErrorSuccess;
    const sim::SimWorldFileResult visited =
        sim::VisitWorldFile(*world_, TickMs(), [&](sim::SimVddWorld& world) { result = body(world); });
    if (!visited.ok()) {
      Note("Simulated driver world " + world_->string() + ": " + sim::SimWorldFileStatusName(visited.status) + " (" +
           visited.detail + ")");
      return SysResult::Failure(kErrorGenFailure);
    }
    return result == kErrorSuccess ? SysResult::Success() : SysResult::Failure(result);
  }

  // A device of the current listing, by its instance id in the world as it
  // is now.
  template <typename F>
  SysResult VisitDevice(size_t index, F&& body) {
    if (!world_ || index >= listed_.size()) return SysResult::Failure(kErrorInvalidParameter);
    const std::string id = listed_[index];
    return Visit([&](sim::SimVddWorld& world) { return body(world, id); });
  }

  static bool IsWorldDevice(sim::SimVddWorld& world, const std::string& id) {
    const sim::SimDevice& d = world.state().device;
    return d.installed && SameId(d.instance_id, id);
  }

  // Stops the device the way a restart does (its monitors and their
  // displays go), then takes it out of the world.
  static void RemoveWorldDevice(sim::SimVddWorld& world) {
    sim::SimDevice& d = world.state().device;
    if (d.present && d.problem != kProblemDisabled) world.RestartDevice();
    world.state().targets.clear();
    d.installed = false;
    d.present = false;
    d.started = false;
    d.starting = false;
    d.start_at_ms = 0;
    d.problem = 0;
    world.MarkChanged();
  }

  // A world in trouble is reported once, not on every poll.
  void Note(const std::string& text) {
    if (diagnostics_ == nullptr || text == last_note_) return;
    last_note_ = text;
    diagnostics_(text + "\n");
  }

  const std::optional<std::filesystem::path> world_;
  const DiagnosticSink diagnostics_;
  std::vector<std::string> listed_;
  bool created_ = false;
  int run_lock_ = -1;
  std::string last_note_;
};

}  // namespace

std::unique_ptr<ISetupSystem> MakePlatformSetupSystem(DiagnosticSink diagnostics) {
  const char* folder = std::getenv(kWorldVariable);
  std::optional<std::filesystem::path> world;
  if (folder != nullptr && folder[0] != '\0') world = std::filesystem::path(folder);
  return std::make_unique<SimSetupSystem>(std::move(world), diagnostics);
}

}  // namespace orvane::vdd_setup
