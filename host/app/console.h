#pragma once
// The host's console: attaching to (or creating) one for "--console" and
// "--vdd-selftest", and the control handler that turns Ctrl+C, log-off,
// system shutdown and closing the console window into host actions.
//
// Linux: the process writes to standard output as it is (nothing to attach);
// SIGINT, SIGTERM and SIGHUP play the part of the console events (a closed
// terminal sends SIGHUP, which is a shutdown: there is no relaunch).

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace orvane {

// Windows: with console_requested or selftest, AttachConsole to the parent's
// console; when that fails and console_requested, AllocConsole with the title
// "Orvane Display Host" and the program's icons. Then stdout and stderr are
// reopened on "CONOUT$" and stdin on "CONIN$". Returns the console mode:
// true when a console is attached or allocated and the streams reopened.
// Linux: console_requested || selftest.
bool SetUpConsole(bool console_requested, bool selftest);

// The block a person at the console reads the pairing code from. The device
// name comes from the tablet and is escaped.
std::string PairingCodeConsoleText(const std::string& code, const std::string& device_name);
// Writes that block to the stream (standard output by default) and flushes it.
void PrintPairingCode(const std::string& code, const std::string& device_name, std::FILE* stream = stdout);

// The events the handler sees. Linux maps SIGINT to kInterrupt, SIGTERM to
// kShutdown and SIGHUP to kLogoff, so none of them relaunches.
enum class ConsoleEvent { kInterrupt, kBreak, kClose, kLogoff, kShutdown, kOther };

enum class ConsoleHandlerMode {
  kHost,      // the events drive the host's shutdown and relaunch
  kSelfTest,  // nothing is intercepted: Ctrl+C or closing the console ends the process
};

enum class ConsoleAction {
  kShutdownSignal,  // call on_shutdown_signal; handled
  kRelaunch,        // call on_console_close; handled
  kHandled,         // handled without action (Windows ends the process after a close anyway)
  kNotHandled,      // left to the default handling, which ends the process
};

// The handler's decision. A close is a relaunch only while no shutdown was
// requested and the relaunch flag is set (cleared by the tray's Exit and the
// installer's request). In self-test mode nothing is handled: a self-test
// has no network loop to stop and must not come back as a background host.
ConsoleAction DecideConsoleAction(ConsoleEvent event, ConsoleHandlerMode mode, bool shutdown_requested,
                                  bool relaunch_on_console_close);

struct ConsoleHandlerCallbacks {
  // Ctrl+C, Ctrl+Break, log-off, system shutdown (Linux: SIGINT, SIGTERM,
  // SIGHUP). The entry logs "\n[Main] Shutdown signal received", restores
  // the speakers, requests shutdown and stops the active pool.
  // Windows: on the handler thread Windows creates; Linux: on the handler's
  // own thread.
  std::function<void()> on_shutdown_signal;
  // Windows: the console window is being closed and the host should come
  // back in the background (the entry calls RelaunchInBackground).
  std::function<void()> on_console_close;
};

// The process's console control handler; one may be installed at a time.
// Windows: SetConsoleCtrlHandler; the shutdown and relaunch flags are read
// from the process-wide HostState.
// Linux: sigaction handlers for SIGINT, SIGTERM and SIGHUP write the signal
// to a pipe that an owned thread reads and dispatches; in self-test mode no
// handler is installed (the default action ends the process).
class ConsoleControlHandler {
 public:
  ConsoleControlHandler();
  ~ConsoleControlHandler();  // Remove()

  ConsoleControlHandler(const ConsoleControlHandler&) = delete;
  ConsoleControlHandler& operator=(const ConsoleControlHandler&) = delete;

  // False (logged) when the handler could not be installed or another
  // ConsoleControlHandler is installed.
  bool Install(ConsoleHandlerMode mode, ConsoleHandlerCallbacks callbacks);

  // Uninstalls; returns after a running callback has finished (Linux: joins
  // the thread and restores the previous signal actions). Idempotent.
  void Remove();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvane
