#include "host/vdd/vdd_settings_host.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <utility>

#include "host/common/logger.h"
#include "vdd_settings/settings_text.h"
#include "vdd_settings/vdd_settings.h"

namespace tvr_vdd {

namespace {

using orvane::LogInfo;
using orvane::LogWarn;
using orvane::vdd::CopyOutcome;
using orvane::vdd::ISettingsFiles;
using orvane::vdd::RemoveOutcome;

struct HandlerSlot {
  std::mutex mu;
  ResolutionEventHandler handler;
};

// Never destroyed: a late event during process exit still finds it.
HandlerSlot& Slot() {
  static HandlerSlot* slot = new HandlerSlot;
  return *slot;
}

unsigned long Err(uint32_t error) { return static_cast<unsigned long>(error); }

void RemoveFile(ISettingsFiles& files, const std::string& path) {
  uint32_t error = 0;
  if (files.Remove(path, &error) == RemoveOutcome::kFailed) {
    LogWarn("[VDD] Deleting %s failed (err=%lu)", path.c_str(), Err(error));
  }
}

// Copies the settings file to `to` unless that is there already. A failed
// copy that left a file behind (which was not there before) takes it away:
// half a copy must not pass for the earlier text.
void KeepCopy(ISettingsFiles& files, const std::string& path, const std::string& to) {
  const bool was_there = files.Exists(to);
  const orvane::vdd::CopyAnswer answer = files.CopyIfAbsent(path, to);
  if (answer.outcome != CopyOutcome::kFailed) return;
  LogWarn("[VDD] Copying %s to %s failed (err=%lu)", path.c_str(), to.c_str(), Err(answer.error));
  if (!was_there && files.Exists(to)) RemoveFile(files, to);
}

ISettingsFiles& PlatformFiles() {
  static ISettingsFiles* files = orvane::vdd::MakePlatformSettingsFiles().release();
  return *files;
}

}  // namespace

const char* ResolutionEventName(ResolutionEvent event) {
  switch (event) {
    case ResolutionEvent::Added: return "added";
    case ResolutionEvent::PendingRestart: return "pending-restart";
    case ResolutionEvent::Offered: return "offered";
  }
  return "unknown";
}

void SetResolutionEventHandler(ResolutionEventHandler handler) {
  HandlerSlot& slot = Slot();
  ResolutionEventHandler old;
  {
    std::lock_guard<std::mutex> lock(slot.mu);
    old = std::exchange(slot.handler, std::move(handler));
  }
  // The old handler (and what it holds) goes outside the mutex.
}

void RaiseResolutionEvent(ResolutionEvent event, uint32_t width, uint32_t height) {
  HandlerSlot& slot = Slot();
  ResolutionEventHandler handler;
  {
    std::lock_guard<std::mutex> lock(slot.mu);
    handler = slot.handler;
  }
  if (handler) handler(event, width, height);
}

bool WriteSettingsText(ISettingsFiles& files, const std::string& path, std::string_view text) {
  const std::string temporary = path + kSettingsTempSuffix;
  const std::string previous = path + kSettingsPreviousSuffix;
  // Whether the host may write there is known only by trying; nothing else
  // is touched when it may not.
  uint32_t error = 0;
  const ISettingsFiles::Handle file = files.Create(temporary, &error);
  if (file == ISettingsFiles::kNoFile) {
    LogInfo("[VDD] %s is not writable without elevation", path.c_str());
    return false;
  }
  KeepCopy(files, path, path + kSettingsBackupSuffix);
  KeepCopy(files, path, previous);
  if (!files.Exists(previous)) {
    files.Close(file);
    RemoveFile(files, temporary);
    LogWarn("[VDD] Not editing %s: %s could not be kept, so there would be no settings to go back to", path.c_str(),
            previous.c_str());
    return false;
  }
  error = files.Write(file, text);
  if (error != 0) {
    files.Close(file);
    RemoveFile(files, temporary);
    LogWarn("[VDD] Writing %s failed", temporary.c_str());
    return false;
  }
  error = files.Flush(file);
  if (error != 0) {
    files.Close(file);
    RemoveFile(files, temporary);
    LogWarn("[VDD] Writing %s failed (flush, err=%lu)", temporary.c_str(), Err(error));
    return false;
  }
  error = files.Close(file);
  if (error != 0) {
    RemoveFile(files, temporary);
    LogWarn("[VDD] Writing %s failed (close, err=%lu)", temporary.c_str(), Err(error));
    return false;
  }
  error = files.Replace(temporary, path);
  if (error != 0) {
    LogWarn("[VDD] Replacing %s failed (err=%lu)", path.c_str(), Err(error));
    RemoveFile(files, temporary);
    return false;
  }
  return true;
}

bool WriteSettingsText(const std::string& path, std::string_view text) {
  return WriteSettingsText(PlatformFiles(), path, text);
}

}  // namespace tvr_vdd

namespace orvane {

namespace {

constexpr char kRestartHint[] = "after the driver restarts (reboot, or tray: Apply virtual display resolutions)";

// Larger side over smaller side; 0 when a side is 0.
double Aspect(const VirtualDisplayMode& mode) {
  const uint32_t larger = std::max(mode.width, mode.height);
  const uint32_t smaller = std::min(mode.width, mode.height);
  return smaller == 0 ? 0.0 : static_cast<double>(larger) / static_cast<double>(smaller);
}

bool SameShape(const VirtualDisplayMode& applied, const VirtualDisplayMode& requested) {
  const double a = Aspect(applied);
  const double b = Aspect(requested);
  return a > 0 && std::fabs(a - b) < 0.01 * a;
}

}  // namespace

SettingsFileVddRequests::SettingsFileVddRequests()
    : owned_(vdd::MakePlatformSettingsFiles()), files_(*owned_) {}

SettingsFileVddRequests::SettingsFileVddRequests(vdd::ISettingsFiles& files) : files_(files) {}

SettingsFileVddRequests::~SettingsFileVddRequests() = default;

void SettingsFileVddRequests::RequestResolution(const std::string& settings_path, const VirtualDisplayMode& requested,
                                                const VirtualDisplayMode& applied) {
  const char* path = settings_path.c_str();
  const uint32_t width = requested.width;
  const uint32_t height = requested.height;
  const tvr_vdd::SettingsText settings = tvr_vdd::ReadSettingsText(settings_path);
  if (!settings.opened || settings.text.empty()) {
    LogInfo("[VDD] %s not readable; %ux%u stays unavailable until it is added there", path, width, height);
    return;
  }
  const bool same_shape = SameShape(applied, requested);
  const tvr_vdd::AddResolutionResult r =
      same_shape ? tvr_vdd::AddResolution(settings.text, width, height, requested.refresh_hz)
                 : tvr_vdd::AddResolutionReplacing(settings.text, width, height, requested.refresh_hz);
  switch (r.outcome) {
    case tvr_vdd::AddResolutionOutcome::kAdded:
      if (!tvr_vdd::WriteSettingsText(files_, settings_path, r.text)) {
        LogInfo("[VDD] Using the closest listed mode for %ux%u", width, height);
        return;
      }
      if (r.replaced.width != 0) {
        LogInfo(
            "[VDD] Added %ux%u@%u to %s in place of %ux%u (no listed mode had its shape; same mode count, within the "
            "budget of %u); Windows offers it %s",
            width, height, requested.refresh_hz, path, r.replaced.width, r.replaced.height,
            static_cast<unsigned>(tvr_vdd::kModeBudget), kRestartHint);
      } else {
        LogInfo("[VDD] Added %ux%u@%u to %s; Windows offers it %s", width, height, requested.refresh_hz, path,
                kRestartHint);
      }
      tvr_vdd::RaiseResolutionEvent(tvr_vdd::ResolutionEvent::Added, width, height);
      return;
    case tvr_vdd::AddResolutionOutcome::kAlreadyPresent:
      LogInfo("[VDD] %ux%u is in %s but not offered yet; it appears %s", width, height, path, kRestartHint);
      tvr_vdd::RaiseResolutionEvent(tvr_vdd::ResolutionEvent::PendingRestart, width, height);
      return;
    case tvr_vdd::AddResolutionOutcome::kLimitReached: {
      const uint64_t modes = tvr_vdd::ModeCount(tvr_vdd::ParseSettings(settings.text));
      LogInfo(
          "[VDD] Not adding %ux%u to %s: it lists %llu modes, the most the driver handles is %u. The monitor runs at "
          "%ux%u@%u instead (%s shape, scaled to the stream)",
          width, height, path, static_cast<unsigned long long>(modes), static_cast<unsigned>(tvr_vdd::kModeBudget),
          applied.width, applied.height, applied.refresh_hz, same_shape ? "same" : "different");
      return;
    }
    case tvr_vdd::AddResolutionOutcome::kNoResolutionsBlock:
    case tvr_vdd::AddResolutionOutcome::kInvalidMode:
      break;
  }
  LogInfo("[VDD] Not adding %ux%u to %s (%s)", width, height, path, tvr_vdd::AddResolutionOutcomeName(r.outcome));
}

bool SettingsFileVddRequests::RequestMonitorCount(const std::string& settings_path, uint32_t count,
                                                  uint32_t known_monitors, std::string* message) {
  if (count < 1 || count > tvr_vdd::kMaxRequestedMonitors) {
    *message = "Orvane uses at most " + std::to_string(tvr_vdd::kMaxRequestedMonitors) + " virtual monitors";
    return false;
  }
  const std::string keeps = "; the driver keeps " + std::to_string(known_monitors) + " monitor(s)";
  const tvr_vdd::SettingsText settings = tvr_vdd::ReadSettingsText(settings_path);
  if (!settings.opened || settings.text.empty()) {
    *message = settings_path + " is not readable" + keeps;
    return false;
  }
  const tvr_vdd::MonitorCountResult r = tvr_vdd::SetMonitorCount(settings.text, count);
  switch (r.outcome) {
    case tvr_vdd::MonitorCountOutcome::kUpdated:
      if (!tvr_vdd::WriteSettingsText(files_, settings_path, r.text)) {
        *message = settings_path + " is not writable" + keeps;
        return false;
      }
      LogInfo("[VDD] Raised the monitor count in %s to %u; the driver creates them after it restarts",
              settings_path.c_str(), count);
      tvr_vdd::RaiseResolutionEvent(tvr_vdd::ResolutionEvent::Added, 1, count);
      *message = "monitor count raised to " + std::to_string(count) + "; the driver must restart";
      return true;
    case tvr_vdd::MonitorCountOutcome::kAlreadyEnough:
      tvr_vdd::RaiseResolutionEvent(tvr_vdd::ResolutionEvent::PendingRestart, 1, count);
      *message = "vdd_settings.xml lists enough monitors; the driver must restart";
      return true;
    case tvr_vdd::MonitorCountOutcome::kNoCountElement:
    case tvr_vdd::MonitorCountOutcome::kInvalidCount:
      break;
  }
  *message = std::string("monitor count not changed (") + tvr_vdd::MonitorCountOutcomeName(r.outcome) + ")";
  return false;
}

void SettingsFileVddRequests::Offered(const VirtualDisplayMode& mode) {
  tvr_vdd::RaiseResolutionEvent(tvr_vdd::ResolutionEvent::Offered, mode.width, mode.height);
}

}  // namespace orvane
