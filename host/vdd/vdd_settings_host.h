#pragma once
// The host's side of the driver's settings file: writing it safely, the
// requests of the virtual display back-end (a tablet's resolution, more
// monitors), and the one process-wide event that tells the apply controller
// a driver restart is due.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "host/vdd/vdd_requests.h"
#include "host/vdd/vdd_settings_file.h"
#include "host/vdd/virtual_display.h"

namespace tvr_vdd {

// What became of a requested size; for monitor counts the width is 1 and the
// height the count.
enum class ResolutionEvent : int {
  Added = 0,           // written to the file; the driver offers it after a restart
  PendingRestart = 1,  // already in the file but not offered yet
  Offered = 2,         // Windows already offers it
};
// "added", "pending-restart", "offered"; any other value "unknown".
const char* ResolutionEventName(ResolutionEvent event);

using ResolutionEventHandler = std::function<void(ResolutionEvent event, uint32_t width, uint32_t height)>;

// Replaces the process-wide handler (empty: none) under its own mutex.
void SetResolutionEventHandler(ResolutionEventHandler handler);
// Copies the handler under the mutex and calls the copy outside it, on the
// raising thread.
void RaiseResolutionEvent(ResolutionEvent event, uint32_t width, uint32_t height);

// Beside the settings file: the host's temporary file, the file as it was
// before the host's first edit ever, and as it was before the first edit no
// driver restart has confirmed yet (the setup tool deletes that one after a
// restart that brought the monitors back).
inline constexpr char kSettingsTempSuffix[] = ".orvane-tmp";
inline constexpr char kSettingsBackupSuffix[] = ".orvane-backup";
inline constexpr char kSettingsPreviousSuffix[] = ".orvane-previous";

// Replaces the settings file (UTF-8 path) by `text`: first keeps the backup
// and the previous copy (each only when absent), then writes the temporary
// file whole, flushes and closes it and moves it over the file. False when
// the file is not writable, when the previous copy is missing afterwards (no
// edit without a text to go back to) or when any step fails; then the file
// is untouched and no temporary file is left.
bool WriteSettingsText(orvane::vdd::ISettingsFiles& files, const std::string& path, std::string_view text);
bool WriteSettingsText(const std::string& path, std::string_view text);

}  // namespace tvr_vdd

namespace orvane {

// The back-end's requests, answered by editing the settings file when the
// host may write it.
class SettingsFileVddRequests final : public IVddRequests {
 public:
  // The platform's file calls.
  SettingsFileVddRequests();
  explicit SettingsFileVddRequests(vdd::ISettingsFiles& files);
  ~SettingsFileVddRequests() override;

  // Adds the requested size when the file has room for it (in place of a
  // tablet size of another shape when it is full and the shapes differ),
  // logs what became of it and raises Added or PendingRestart.
  void RequestResolution(const std::string& settings_path, const VirtualDisplayMode& requested,
                         const VirtualDisplayMode& applied) override;
  // Raises the file's monitor count to `count` (1 to 4).
  bool RequestMonitorCount(const std::string& settings_path, uint32_t count, uint32_t known_monitors,
                           std::string* message) override;
  // Raises Offered.
  void Offered(const VirtualDisplayMode& mode) override;

 private:
  std::unique_ptr<vdd::ISettingsFiles> owned_;
  vdd::ISettingsFiles& files_;
};

}  // namespace orvane
