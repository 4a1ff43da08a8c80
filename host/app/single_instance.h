#pragma once
// One host per login session, and the ways a second process reaches the one
// that runs.
//
// Windows: the named mutex "Local\OrvaneDisplayHost" (owned from creation),
// the installer's shutdown event "Local\OrvaneDisplayHost.Shutdown" and the
// registered window message posted to the tray window.
// Linux: a lock file "OrvaneDisplayHost.lock" held with flock and a local
// socket "OrvaneDisplayHost.sock" in the runtime folder ($XDG_RUNTIME_DIR is
// per login, like the "Local\" namespace), which takes the one-line commands
// "show-settings" and "shutdown".
//
// The entry's order:
//   SingleInstance instance;
//   switch (instance.Acquire(relaunched)) {
//     case InstanceStatus::kOwner: break;
//     case InstanceStatus::kAlreadyRunning:
//       if (!background) HandOverToRunningInstance();
//       return 0;
//     default: return 0;
//   }
//   ... open the log ...
//   InstanceCommandListener listener;
//   listener.Start({on_shutdown, on_show_settings});
//   ... run ...
//   listener.Stop();
//   instance.Release();

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "host/common/clock.h"

namespace orvane {

// The tray's message-only window class and the message a second instance
// posts to it (RegisterWindowMessageW) to open the settings window.
inline constexpr char kTrayWindowClassName[] = "OrvaneTrayWnd";
inline constexpr char kShowSettingsMessageName[] = "OrvaneDisplay.ShowSettings";

// How long a relaunched process waits for its predecessor to let go.
inline constexpr uint32_t kRelaunchWaitMs = 10'000;

// Where the instance objects live. Tests pass their own base name (and, on
// Linux, folder) so that they never meet a real host or each other.
struct InstanceNames {
  // Windows: "Local\" + base and "Local\" + base + ".Shutdown".
  // Linux: base + ".lock" and base + ".sock" in folder.
  std::string base = "OrvaneDisplayHost";
  // Linux only; empty = RuntimeFolder().
  std::filesystem::path folder;
  // Windows only: the class of the tray window a second instance hands over to.
  std::string tray_window_class = kTrayWindowClassName;
};

enum class InstanceStatus {
  kOwner,           // this process is the host
  kAlreadyRunning,  // another host runs: hand over (unless --background), leave with 0
  kWaitTimedOut,    // --relaunched: the predecessor kept the lock for the whole wait; leave with 0
  kFailed,          // the lock could not be created (logged); leave with 0
};

inline const char* InstanceStatusName(InstanceStatus status) {
  switch (status) {
    case InstanceStatus::kOwner: return "owner";
    case InstanceStatus::kAlreadyRunning: return "already running";
    case InstanceStatus::kWaitTimedOut: return "wait timed out";
    case InstanceStatus::kFailed: return "failed";
  }
  return "unknown";
}

class SingleInstance {
 public:
  explicit SingleInstance(InstanceNames names = {});
  ~SingleInstance();  // Release()

  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Tries to become the host. With relaunched, a held lock is waited for up
  // to wait_ms (Windows: a wait on the mutex, an abandoned mutex counts as
  // acquired; Linux: flock tried every 100 ms on the clock).
  // Windows: a mutex that exists but cannot be opened (ERROR_ACCESS_DENIED:
  // a host with other rights, e.g. elevated, holds it) counts as
  // kAlreadyRunning, also when relaunched: there is no handle to wait on.
  InstanceStatus Acquire(bool relaunched, uint32_t wait_ms = kRelaunchWaitMs, IClock& clock = SystemClock());

  // Gives the lock up (Windows: ReleaseMutex and CloseHandle, on the thread
  // that acquired it, as mutex ownership belongs to a thread). Idempotent.
  void Release();

  bool owned() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Asks the running host to open its settings window. Windows: finds the tray
// window (message-only, class names.tray_window_class), allows its process to
// take the foreground and posts it kShowSettingsMessageName (names.base is
// not used: the tray window is found by its class). Linux: sends
// "show-settings" over the instance socket. False (logged) when the host
// could not be reached; the caller leaves with 0 either way.
bool HandOverToRunningInstance(const InstanceNames& names = {});

struct InstanceCommandCallbacks {
  // An installer (or "--shutdown") asked the host to exit. Before calling it
  // the listener logs INFO "[Main] Exit requested by an installer (--shutdown)";
  // the callback does the rest (restore speakers, clear the relaunch flag,
  // request shutdown, stop the pool). Windows: runs once, on a thread-pool
  // thread. Linux: runs on the listener thread for each "shutdown" command.
  std::function<void()> on_shutdown;
  // Linux: a second instance asked for the settings window ("show-settings"),
  // on the listener thread. Windows: never called (the tray window receives
  // the registered message instead).
  std::function<void()> on_show_settings;
};

// What the running host listens on for other processes. Start it only while
// this process owns the SingleInstance.
// Windows: creates the shutdown event (manual reset, not signalled, owner all
// access, SYSTEM and Administrators SYNCHRONIZE | EVENT_MODIFY_STATE) and a
// one-shot thread-pool wait on it.
// Linux: binds the instance socket and serves it on an owned thread; each
// connection gives one line of at most 64 bytes within 1 s; other senders
// than this user are ignored.
class InstanceCommandListener {
 public:
  explicit InstanceCommandListener(InstanceNames names = {});
  ~InstanceCommandListener();  // Stop()

  InstanceCommandListener(const InstanceCommandListener&) = delete;
  InstanceCommandListener& operator=(const InstanceCommandListener&) = delete;

  // False (logged) when the event or socket could not be set up; the host
  // can run on without it.
  bool Start(InstanceCommandCallbacks callbacks);

  // Windows: UnregisterWaitEx(INVALID_HANDLE_VALUE), which waits for a
  // running callback, then closes the event. Linux: shuts the listening
  // socket down, joins the thread, closes and removes the socket. Idempotent.
  void Stop();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvane
