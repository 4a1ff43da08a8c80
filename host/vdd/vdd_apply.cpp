#include "host/vdd/vdd_apply.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <list>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "host/common/file_io.h"
#include "host/common/logger.h"

namespace orvane {

namespace vdd_apply {

const char* ApplyOutcomeName(ApplyOutcome outcome) {
  switch (outcome) {
    case ApplyOutcome::kApplied: return "applied";
    case ApplyOutcome::kRebootRequired: return "reboot-required";
    case ApplyOutcome::kNotInstalled: return "not-installed";
    case ApplyOutcome::kDeviceNotStarted: return "device-not-started";
    case ApplyOutcome::kCancelled: return "cancelled";
    case ApplyOutcome::kNotElevated: return "not-elevated";
    case ApplyOutcome::kHelperMissing: return "helper-missing";
    case ApplyOutcome::kTimedOut: return "timed-out";
    case ApplyOutcome::kFailed: return "failed";
    case ApplyOutcome::kRolledBack: return "rolled-back";
    case ApplyOutcome::kNoMonitor: return "no-monitor";
  }
  return "unknown";
}

ApplyOutcome OutcomeForExitCode(uint32_t exit_code) {
  switch (exit_code) {
    case 0: return ApplyOutcome::kApplied;
    case 1: return ApplyOutcome::kNotInstalled;
    case 4: return ApplyOutcome::kDeviceNotStarted;
    case 5: return ApplyOutcome::kNotElevated;
    case 3010: return ApplyOutcome::kRebootRequired;
    case 3020: return ApplyOutcome::kRolledBack;
    case 3021: return ApplyOutcome::kNoMonitor;
    default: return ApplyOutcome::kFailed;
  }
}

namespace {

constexpr const char* kFileHeader =
    "# Orvane Display - Virtual Display Driver resolutions waiting for a driver restart";

bool Contains(const std::vector<PendingSize>& list, const PendingSize& entry) {
  return std::find(list.begin(), list.end(), entry) != list.end();
}

void Remove(std::vector<PendingSize>* list, const PendingSize& entry) {
  list->erase(std::remove(list->begin(), list->end(), entry), list->end());
}

// Adds an entry that is not there yet while the list has room.
void AddBounded(std::vector<PendingSize>* list, const PendingSize& entry) {
  if (list->size() < kMaxListEntries && !Contains(*list, entry)) list->push_back(entry);
}

// Restarted keeps the newest 64: a full list drops its oldest entry.
void AddRestarted(std::vector<PendingSize>* restarted, const PendingSize& entry) {
  if (Contains(*restarted, entry)) return;
  if (restarted->size() >= kMaxListEntries) restarted->erase(restarted->begin());
  restarted->push_back(entry);
}

// One side of "WxH": wholly decimal, 1 to 100000 (counted without overflow).
std::optional<uint32_t> ParseSide(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = std::min<uint32_t>(value * 10 + static_cast<uint32_t>(c - '0'), 100001);
  }
  if (value < 1 || value > 100000) return std::nullopt;
  return value;
}

std::optional<PendingSize> ParseSize(std::string_view text) {
  const size_t x = text.find('x');
  if (x == std::string_view::npos) return std::nullopt;
  const auto width = ParseSide(text.substr(0, x));
  const auto height = ParseSide(text.substr(x + 1));
  if (!width || !height || *width > kMaxSide || *height > kMaxSide) return std::nullopt;
  return PendingSize{*width, *height};
}

// A whole signed decimal number above 0; a value beyond 64 bits is invalid.
std::optional<int64_t> ParseBoot(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  constexpr uint64_t kMax = static_cast<uint64_t>(INT64_MAX);
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (negative || value == 0) return std::nullopt;
  return static_cast<int64_t>(value);
}

}  // namespace

std::string FormatPendingList(const std::vector<PendingSize>& list) {
  std::string out;
  for (const PendingSize& e : list) {
    if (!out.empty()) out += ",";
    if (e.width == 1) {
      out += std::to_string(e.height) + " monitors";
    } else {
      out += std::to_string(e.width) + "x" + std::to_string(e.height);
    }
  }
  return out;
}

PendingFileContents ParsePendingFile(std::string_view text) {
  PendingFileContents out;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, eq);
    const std::string_view value = line.substr(eq + 1);
    if (key == "boot") {
      if (const auto boot = ParseBoot(value)) out.boot = *boot;
    } else if (key == "pending" || key == "restarted") {
      if (const auto size = ParseSize(value)) AddBounded(key == "pending" ? &out.pending : &out.restarted, *size);
    }
  }
  for (const PendingSize& e : out.pending) Remove(&out.restarted, e);
  return out;
}

std::string FormatPendingFile(const PendingFileContents& contents) {
  if (contents.pending.empty() && contents.restarted.empty()) return {};
  std::string out = kFileHeader;
  out += "\nboot=" + std::to_string(contents.boot) + "\n";
  for (const PendingSize& e : contents.pending) {
    out += "pending=" + std::to_string(e.width) + "x" + std::to_string(e.height) + "\n";
  }
  for (const PendingSize& e : contents.restarted) {
    out += "restarted=" + std::to_string(e.width) + "x" + std::to_string(e.height) + "\n";
  }
  return out;
}

}  // namespace vdd_apply

using vdd_apply::ApplyOutcome;
using vdd_apply::ApplyOutcomeName;
using vdd_apply::PendingSize;

namespace {

// One apply worker thread. The slot stays in the list (and in place) until
// its thread has been joined, or for good once it was left running at
// shutdown, so the worker may mark it done at any time.
struct WorkerSlot {
  std::thread thread;
  bool done = false;
};

// Joins finished workers once the state lock is released.
struct JoinOnExit {
  std::list<WorkerSlot> slots;
  ~JoinOnExit() {
    for (WorkerSlot& w : slots) {
      if (w.thread.joinable()) w.thread.join();
    }
  }
};

}  // namespace

// The state every handle and every running worker shares. Workers hold a
// reference, so the state, its launcher and its callbacks outlive a
// controller that is destroyed while a worker still runs.
struct VddApplyController::Shared {
  std::string path;
  OfferCallback offer;
  LaunchedCallback launched;
  OutcomeCallback outcome;
  std::unique_ptr<vdd_apply::IToolLauncher> launcher;
  std::function<int64_t()> boot_time;
  IClock* clock = nullptr;

  // Guards everything below up to the callback mutex.
  mutable std::mutex state_mu;
  std::condition_variable worker_cv;  // a worker or an offer call ended
  std::vector<PendingSize> pending;
  std::vector<PendingSize> restarted;
  std::vector<PendingSize> applying;
  int64_t stored_boot = 0;
  int64_t current_boot = 0;
  bool applying_flag = false;
  int running_workers = 0;
  int offers_in_flight = 0;  // offer callbacks running now
  bool shut_down = false;
  // A tool that outlived its wait: no other starts until it has ended.
  std::unique_ptr<vdd_apply::IToolProcess> lingering;
  std::list<WorkerSlot> workers;

  // Serialises the launched and outcome callbacks with Shutdown.
  std::mutex callback_mu;
  bool callbacks_enabled = true;

  ~Shared() {
    // Every worker was joined or left running by Shutdown; this only guards
    // against a thread object that is still joinable.
    for (WorkerSlot& w : workers) {
      if (!w.thread.joinable()) continue;
      if (w.thread.get_id() == std::this_thread::get_id()) {
        w.thread.detach();
      } else {
        w.thread.join();
      }
    }
  }

  // All helpers below run under state_mu.
  std::string SerialiseLocked() const { return vdd_apply::FormatPendingFile({stored_boot, pending, restarted}); }

  void SaveLocked() const {
    if (path.empty()) return;
    const std::filesystem::path file = PathFromUtf8(path);
    const std::string text = SerialiseLocked();
    if (text.empty()) {
      std::error_code ec;
      std::filesystem::remove(file, ec);
      if (ec) LogWarn("[VddApply] Cannot delete %s (%s)", path.c_str(), ec.message().c_str());
      return;
    }
    if (!SafeReplaceFile(file, text)) LogWarn("[VddApply] Cannot write %s", path.c_str());
  }

  void FinishLocked(ApplyOutcome outcome) {
    if (!applying_flag) return;
    applying_flag = false;
    switch (outcome) {
      case ApplyOutcome::kApplied:
        for (const PendingSize& e : applying) {
          vdd_apply::Remove(&pending, e);
          vdd_apply::AddRestarted(&restarted, e);
        }
        if (current_boot > 0) stored_boot = current_boot;
        break;
      case ApplyOutcome::kNotInstalled:
      case ApplyOutcome::kRolledBack:
      case ApplyOutcome::kNoMonitor:
        // Given up: the tool undid or could not make them.
        for (const PendingSize& e : applying) vdd_apply::Remove(&pending, e);
        break;
      default:
        break;  // the user may apply again
    }
    applying.clear();
  }

  // Moves finished worker slots out for joining.
  void TakeFinishedLocked(std::list<WorkerSlot>* out) {
    for (auto it = workers.begin(); it != workers.end();) {
      auto next = std::next(it);
      if (it->done) out->splice(out->end(), workers, it);
      it = next;
    }
  }
};

namespace {

using Shared = VddApplyController::Shared;

// What running the tool gave.
struct ToolRun {
  enum class Kind { kMissing, kCancelled, kLaunchFailed, kTimedOut, kEnded };
  Kind kind = Kind::kTimedOut;
  uint32_t exit_code = 0;
  uint32_t launch_error = 0;
  bool timed_out = false;
};

ApplyOutcome OutcomeOf(const ToolRun& run) {
  switch (run.kind) {
    case ToolRun::Kind::kMissing: return ApplyOutcome::kHelperMissing;
    case ToolRun::Kind::kCancelled: return ApplyOutcome::kCancelled;
    case ToolRun::Kind::kLaunchFailed: return ApplyOutcome::kFailed;
    case ToolRun::Kind::kTimedOut: return ApplyOutcome::kTimedOut;
    case ToolRun::Kind::kEnded: return vdd_apply::OutcomeForExitCode(run.exit_code);
  }
  return ApplyOutcome::kFailed;
}

// A tool still running after its wait (it may be rolling back the driver
// for another minute) is kept, so that no second elevated tool starts until
// it has ended; after shutdown it is simply closed.
void KeepUntilEnded(Shared& s, std::unique_ptr<vdd_apply::IToolProcess> process) {
  std::lock_guard<std::mutex> lock(s.state_mu);
  if (s.shut_down) return;  // closed as the lock is released
  s.lingering = std::move(process);
  LogInfo("[VddApply] The setup tool still runs; no other apply starts until it has ended");
}

ToolRun RunTool(Shared& s, bool repair) {
  ToolRun run;
  const std::string tool = s.launcher->LocateTool();
  if (tool.empty()) {
    run.kind = ToolRun::Kind::kMissing;
    return run;
  }
  {
    // Shut down before the prompt could show: start nothing.
    std::lock_guard<std::mutex> lock(s.state_mu);
    if (s.shut_down) {
      run.kind = ToolRun::Kind::kTimedOut;
      run.timed_out = true;
      return run;
    }
  }
  vdd_apply::LaunchResult launch = s.launcher->Launch(tool, repair);
  if (launch.status == vdd_apply::LaunchStatus::kCancelled) {
    run.kind = ToolRun::Kind::kCancelled;
    run.launch_error = launch.error;
    return run;
  }
  if (launch.status != vdd_apply::LaunchStatus::kStarted || !launch.process) {
    run.kind = ToolRun::Kind::kLaunchFailed;
    run.launch_error = launch.error;
    return run;
  }
  {
    std::lock_guard<std::mutex> lock(s.callback_mu);
    if (s.callbacks_enabled && s.launched) s.launched();
  }
  const vdd_apply::WaitStatus wait = launch.process->Wait(vdd_apply::kToolWaitLimitMs);
  uint32_t code = 0;
  if (wait == vdd_apply::WaitStatus::kEnded && launch.process->ReadExitCode(&code)) {
    run.kind = ToolRun::Kind::kEnded;
    run.exit_code = code;
    return run;
  }
  run.kind = ToolRun::Kind::kTimedOut;
  run.timed_out = true;
  if (wait != vdd_apply::WaitStatus::kEnded) KeepUntilEnded(s, std::move(launch.process));
  return run;
}

void RunApplyWorker(std::shared_ptr<Shared> shared, bool repair, WorkerSlot* slot) {
  Shared& s = *shared;
  const ToolRun run = RunTool(s, repair);
  const ApplyOutcome outcome = OutcomeOf(run);
  LogInfo("[VddApply] OrvaneVddSetup %s: outcome=%s exit=%lu launch_error=%lu timed_out=%d",
          repair ? "repair" : "restart", ApplyOutcomeName(outcome), static_cast<unsigned long>(run.exit_code),
          static_cast<unsigned long>(run.launch_error), run.timed_out ? 1 : 0);
  {
    std::lock_guard<std::mutex> lock(s.state_mu);
    s.FinishLocked(outcome);
    s.SaveLocked();
    LogInfo("[VddApply] Pending resolutions now: %s", vdd_apply::FormatPendingList(s.pending).c_str());
  }
  {
    std::lock_guard<std::mutex> lock(s.callback_mu);
    if (s.callbacks_enabled && s.outcome) s.outcome(outcome);
  }
  std::lock_guard<std::mutex> lock(s.state_mu);
  --s.running_workers;
  slot->done = true;
  s.worker_cv.notify_all();
}

}  // namespace

VddApplyController::VddApplyController(std::string pending_file_path, OfferCallback offer,
                                       LaunchedCallback launched, OutcomeCallback outcome, Platform platform)
    : shared_(std::make_shared<Shared>()) {
  Shared& s = *shared_;
  s.path = std::move(pending_file_path);
  s.offer = std::move(offer);
  s.launched = std::move(launched);
  s.outcome = std::move(outcome);
  s.launcher = platform.launcher ? std::move(platform.launcher) : vdd_apply::MakePlatformToolLauncher();
  s.boot_time =
      platform.boot_time ? std::move(platform.boot_time) : std::function<int64_t()>(vdd_apply::PlatformBootTimeSeconds);
  s.clock = platform.clock ? platform.clock : &SystemClock();
}

VddApplyController::~VddApplyController() { Shutdown(); }

void VddApplyController::Load() {
  Shared& s = *shared_;
  std::lock_guard<std::mutex> lock(s.state_mu);
  vdd_apply::PendingFileContents contents;
  if (!s.path.empty()) {
    const FileReadResult read = ReadFileBounded(PathFromUtf8(s.path), vdd_apply::kMaxPendingFileBytes);
    switch (read.status) {
      case FileReadStatus::kOk: contents = vdd_apply::ParsePendingFile(read.bytes); break;
      case FileReadStatus::kAbsent: break;
      case FileReadStatus::kTooLarge:
        // Not ours to judge or to replace: left as it is, nothing loaded.
        LogWarn("[VddApply] %s is larger than %u bytes; not reading it", s.path.c_str(),
                static_cast<unsigned>(vdd_apply::kMaxPendingFileBytes));
        break;
      case FileReadStatus::kUnreadable:
        LogWarn("[VddApply] Cannot read %s (error %d)", s.path.c_str(), read.error);
        break;
    }
  }
  s.pending = std::move(contents.pending);
  s.restarted = std::move(contents.restarted);
  s.stored_boot = contents.boot;
  if (s.running_workers == 0) {
    s.applying.clear();
    s.applying_flag = false;
  }
  s.current_boot = s.boot_time();
  const bool known = s.current_boot > 0;
  if (!s.pending.empty() && s.stored_boot != 0 && known &&
      (s.stored_boot > s.current_boot ? s.stored_boot - s.current_boot : s.current_boot - s.stored_boot) >
          vdd_apply::kBootToleranceSeconds) {
    for (const PendingSize& e : s.pending) vdd_apply::AddRestarted(&s.restarted, e);
    s.pending.clear();
    s.stored_boot = s.current_boot;
    LogInfo("[VddApply] Windows restarted since resolutions were added; the driver offers them now");
    s.SaveLocked();
  } else if (known) {
    s.stored_boot = s.current_boot;
  }
  if (!s.pending.empty()) {
    LogInfo("[VddApply] Resolutions waiting for a driver restart: %s", vdd_apply::FormatPendingList(s.pending).c_str());
  }
}

void VddApplyController::OnResolutionEvent(tvr_vdd::ResolutionEvent event, uint32_t width, uint32_t height) {
  if (width == 0 || height == 0 || width > vdd_apply::kMaxSide || height > vdd_apply::kMaxSide) return;
  Shared& s = *shared_;
  const PendingSize entry{width, height};
  bool offer = false;
  bool warn = false;
  bool call_offer = false;
  {
    std::lock_guard<std::mutex> lock(s.state_mu);
    const std::string before = s.SerialiseLocked();
    const auto add_pending = [&] {
      if (vdd_apply::Contains(s.pending, entry) || s.pending.size() >= vdd_apply::kMaxListEntries) return;
      s.pending.push_back(entry);
      s.stored_boot = s.current_boot;
      offer = true;
    };
    switch (event) {
      case tvr_vdd::ResolutionEvent::Added:
        vdd_apply::Remove(&s.restarted, entry);
        add_pending();
        break;
      case tvr_vdd::ResolutionEvent::PendingRestart:
        if (vdd_apply::Contains(s.pending, entry)) break;
        if (vdd_apply::Contains(s.restarted, entry)) {
          warn = true;
          break;
        }
        add_pending();
        break;
      case tvr_vdd::ResolutionEvent::Offered:
        vdd_apply::Remove(&s.pending, entry);
        vdd_apply::Remove(&s.restarted, entry);
        break;
    }
    if (s.SerialiseLocked() != before) s.SaveLocked();
    // Counted while it runs, so that Shutdown can wait for it: no offer
    // starts after Shutdown began, and none runs once it has returned.
    if (offer && !s.shut_down && s.offer) {
      ++s.offers_in_flight;
      call_offer = true;
    }
  }
  if (offer) {
    LogInfo("[VddApply] %ux%u waits for a driver restart; offering to apply it", width, height);
    if (call_offer) {
      s.offer();
      std::lock_guard<std::mutex> lock(s.state_mu);
      --s.offers_in_flight;
      s.worker_cv.notify_all();
    }
  }
  if (warn) {
    LogWarn(
        "[VddApply] %ux%u is still not offered although the driver restarted after it was added; the driver may "
        "read a different vdd_settings.xml (VDDPATH)",
        width, height);
  }
}

bool VddApplyController::StartApply(bool repair) {
  Shared& s = *shared_;
  JoinOnExit finished;  // joined after the lock below is released
  std::unique_ptr<vdd_apply::IToolProcess> ended;
  std::lock_guard<std::mutex> lock(s.state_mu);
  s.TakeFinishedLocked(&finished.slots);
  if (s.shut_down || s.applying_flag) return false;
  if (s.lingering) {
    if (!s.lingering->HasEnded()) {
      LogInfo("[VddApply] The setup tool started earlier still runs; not starting another");
      return false;
    }
    ended = std::move(s.lingering);
  }
  s.applying_flag = true;
  s.applying = s.pending;
  ++s.running_workers;
  if (repair) {
    LogInfo("[VddApply] The Virtual Display Driver runs without a monitor; repairing its settings (elevated)");
  } else {
    LogInfo("[VddApply] Restarting the Virtual Display Driver (elevated) to apply: %s",
            vdd_apply::FormatPendingList(s.pending).c_str());
  }
  WorkerSlot& slot = s.workers.emplace_back();
  try {
    slot.thread = std::thread(RunApplyWorker, shared_, repair, &slot);
  } catch (const std::system_error& e) {
    s.workers.pop_back();
    s.applying_flag = false;
    s.applying.clear();
    --s.running_workers;
    LogError("[VddApply] Cannot start the apply worker: %s", e.what());
    return false;
  }
  return true;
}

bool VddApplyController::HasWork(bool force) const {
  std::lock_guard<std::mutex> lock(shared_->state_mu);
  return force || !shared_->pending.empty();
}

bool VddApplyController::CanApply(bool force) const {
  const Shared& s = *shared_;
  std::lock_guard<std::mutex> lock(s.state_mu);
  if (s.shut_down || s.applying_flag) return false;
  if (s.lingering && !s.lingering->HasEnded()) return false;
  return force || !s.pending.empty();
}

bool VddApplyController::HasPending() const {
  std::lock_guard<std::mutex> lock(shared_->state_mu);
  return !shared_->pending.empty();
}

bool VddApplyController::IsApplying() const {
  std::lock_guard<std::mutex> lock(shared_->state_mu);
  return shared_->applying_flag;
}

std::vector<PendingSize> VddApplyController::Pending() const {
  std::lock_guard<std::mutex> lock(shared_->state_mu);
  return shared_->pending;
}

std::vector<PendingSize> VddApplyController::Restarted() const {
  std::lock_guard<std::mutex> lock(shared_->state_mu);
  return shared_->restarted;
}

void VddApplyController::Shutdown() {
  Shared& s = *shared_;
  JoinOnExit finished;  // joined last, outside both locks
  std::unique_ptr<vdd_apply::IToolProcess> lingering;
  bool left_running = false;
  {
    std::unique_lock<std::mutex> lock(s.state_mu);
    if (s.shut_down) return;
    s.shut_down = true;
    lock.unlock();
    s.launcher->Stop();  // a running wait ends now
    lock.lock();
    const uint64_t start = s.clock->TickMs();
    while ((s.running_workers > 0 || s.offers_in_flight > 0) &&
           s.clock->TickMs() - start < vdd_apply::kShutdownWaitMs) {
      s.worker_cv.wait_for(lock, std::chrono::milliseconds(10));
    }
    s.TakeFinishedLocked(&finished.slots);
    for (WorkerSlot& w : s.workers) {
      if (w.thread.joinable()) w.thread.detach();  // it holds the shared state itself
    }
    left_running = s.running_workers > 0;
    lingering = std::move(s.lingering);
  }
  {
    std::lock_guard<std::mutex> lock(s.callback_mu);
    s.callbacks_enabled = false;
  }
  if (left_running) {
    LogWarn("[VddApply] The apply worker did not end within 3 s; it finishes the lists on its own and notifies nobody");
  }
}

}  // namespace orvane
