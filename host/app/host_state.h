#pragma once
// Process-wide state of the running host. Other components read these values;
// the flags are atomics, the update-notified version is guarded by the
// settings lock.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace orvane {

// Copied from the command line for the console-close relaunch; written once
// before the console handler is installed, then only read.
struct RelaunchArguments {
  uint16_t control_port = 9430;
  uint16_t media_port = 9431;
  uint16_t input_port = 9432;
  uint32_t monitors = 4;
  bool control_explicit = false;
  bool input_explicit = false;
};

struct HostState {
  std::atomic<bool> shutdown_requested{false};
  std::atomic<bool> relaunch_on_console_close{true};
  std::atomic<bool> console_mode{false};
  std::atomic<uint32_t> capture_output_index{0};  // 0..3
  std::atomic<int32_t> capture_backend{0};        // 0 auto, 1 dxgi, 2 wgc
  std::atomic<bool> share_clipboard{true};
  std::atomic<bool> tablet_only_audio{true};
  std::atomic<bool> check_for_updates{true};
  std::atomic<bool> extended_display{false};
  std::atomic<bool> extended_display_user_set{false};
  std::atomic<bool> tablets_connected{false};
  std::atomic<int32_t> network_state{0};  // 0 listening, 1 ports reserved, 2 other failure
  std::atomic<uint16_t> listening_control_port{0};
  std::atomic<bool> mdns_failed{false};
  std::atomic<uint32_t> monitor_count{1};

  RelaunchArguments relaunch;

  // The settings lock (a leaf): guards update_notified_version.
  std::mutex settings_lock;
  std::string update_notified_version;
};

HostState& GetHostState();

}  // namespace orvane
