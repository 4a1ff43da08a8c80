#include "host/app/console.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

#include "host/app/host_state.h"
#include "host/common/logger.h"

namespace orvane {

namespace {

constexpr int kIconResourceId = 101;

HICON LoadProgramIcon(int metric_x, int metric_y) {
  HICON icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kIconResourceId), IMAGE_ICON,
                                             GetSystemMetrics(metric_x), GetSystemMetrics(metric_y), LR_DEFAULTCOLOR));
  if (icon == nullptr) {
    LogDebug("[Main] Program icon not loaded (%lu); using the standard icon", GetLastError());
    icon = LoadIconW(nullptr, IDI_APPLICATION);
  }
  // Not destroyed: the console window shows them for the life of the process.
  return icon;
}

void SetConsoleIcons() {
  HWND console = GetConsoleWindow();
  if (console == nullptr) {
    LogWarn("[Main] Console window not found for its icons");
    return;
  }
  if (HICON big_icon = LoadProgramIcon(SM_CXICON, SM_CYICON)) {
    SendMessageW(console, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big_icon));
  }
  if (HICON small_icon = LoadProgramIcon(SM_CXSMICON, SM_CYSMICON)) {
    SendMessageW(console, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon));
  }
}

bool Reopen(const wchar_t* device, const wchar_t* mode, FILE* stream, const char* name) {
  if (_wfreopen(device, mode, stream) != nullptr) return true;
  LogWarn("[Main] Reopening %s on the console failed", name);
  return false;
}

ConsoleEvent EventFromCtrlType(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT: return ConsoleEvent::kInterrupt;
    case CTRL_BREAK_EVENT: return ConsoleEvent::kBreak;
    case CTRL_CLOSE_EVENT: return ConsoleEvent::kClose;
    case CTRL_LOGOFF_EVENT: return ConsoleEvent::kLogoff;
    case CTRL_SHUTDOWN_EVENT: return ConsoleEvent::kShutdown;
    default: return ConsoleEvent::kOther;
  }
}

// The installed handler. Windows calls the routine on a thread of its own;
// the lock is held while a callback runs so that Remove() waits for it.
std::mutex g_handler_lock;
ConsoleControlHandler::Impl* g_installed = nullptr;

}  // namespace

struct ConsoleControlHandler::Impl {
  ConsoleHandlerMode mode = ConsoleHandlerMode::kHost;
  ConsoleHandlerCallbacks callbacks;
  bool installed = false;

  static BOOL WINAPI Routine(DWORD type);
};

BOOL WINAPI ConsoleControlHandler::Impl::Routine(DWORD type) {
  std::lock_guard<std::mutex> lock(g_handler_lock);
  Impl* impl = g_installed;
  if (impl == nullptr) return FALSE;
  HostState& state = GetHostState();
  switch (DecideConsoleAction(EventFromCtrlType(type), impl->mode, state.shutdown_requested.load(),
                              state.relaunch_on_console_close.load())) {
    case ConsoleAction::kShutdownSignal:
      if (impl->callbacks.on_shutdown_signal) impl->callbacks.on_shutdown_signal();
      return TRUE;
    case ConsoleAction::kRelaunch:
      if (impl->callbacks.on_console_close) impl->callbacks.on_console_close();
      return TRUE;
    case ConsoleAction::kHandled:
      return TRUE;
    case ConsoleAction::kNotHandled:
      return FALSE;
  }
  return FALSE;
}

bool SetUpConsole(bool console_requested, bool selftest) {
  if (!console_requested && !selftest) return false;
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) {
    if (!console_requested) return false;
    if (!AllocConsole()) {
      LogWarn("[Main] AllocConsole failed: %lu", GetLastError());
      return false;
    }
    if (!SetConsoleTitleW(L"Orvane Display Host")) LogWarn("[Main] SetConsoleTitleW failed: %lu", GetLastError());
    SetConsoleIcons();
  }
  bool ok = Reopen(L"CONOUT$", L"w", stdout, "stdout");
  ok = Reopen(L"CONOUT$", L"w", stderr, "stderr") && ok;
  ok = Reopen(L"CONIN$", L"r", stdin, "stdin") && ok;
  return ok;
}

ConsoleControlHandler::ConsoleControlHandler() : impl_(std::make_unique<Impl>()) {}

ConsoleControlHandler::~ConsoleControlHandler() { Remove(); }

bool ConsoleControlHandler::Install(ConsoleHandlerMode mode, ConsoleHandlerCallbacks callbacks) {
  {
    std::lock_guard<std::mutex> lock(g_handler_lock);
    if (g_installed != nullptr) {
      LogWarn("[Main] A console control handler is already installed");
      return false;
    }
    impl_->mode = mode;
    impl_->callbacks = std::move(callbacks);
    g_installed = impl_.get();
  }
  if (!SetConsoleCtrlHandler(&Impl::Routine, TRUE)) {
    LogWarn("[Main] SetConsoleCtrlHandler failed: %lu", GetLastError());
    std::lock_guard<std::mutex> lock(g_handler_lock);
    g_installed = nullptr;
    return false;
  }
  impl_->installed = true;
  return true;
}

void ConsoleControlHandler::Remove() {
  if (!impl_->installed) return;
  if (!SetConsoleCtrlHandler(&Impl::Routine, FALSE)) LogWarn("[Main] SetConsoleCtrlHandler (remove) failed: %lu", GetLastError());
  std::lock_guard<std::mutex> lock(g_handler_lock);
  if (g_installed == impl_.get()) g_installed = nullptr;
  impl_->installed = false;
}

}  // namespace orvane
