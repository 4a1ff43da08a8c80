#include "host/app/single_instance.h"

#include <windows.h>
#include <sddl.h>

#include "host/app/early_modes.h"
#include "host/common/logger.h"
#include "host/common/win_text.h"

namespace orvane {

namespace {

// Owner: all access; SYSTEM and Administrators: SYNCHRONIZE and
// EVENT_MODIFY_STATE, so an installer running as either can signal it.
constexpr wchar_t kShutdownEventSddl[] = L"D:(A;;GA;;;OW)(A;;0x00100002;;;SY)(A;;0x00100002;;;BA)";

std::wstring MutexName(const InstanceNames& names) { return L"Local\\" + ToWide(names.base); }
std::wstring EventName(const InstanceNames& names) { return L"Local\\" + ToWide(names.base + ".Shutdown"); }

// True when the named object exists: it opened, or it is there but this
// process may not open it (a host with other rights holds it).
bool ObjectExists(HANDLE handle) {
  if (handle != nullptr) {
    CloseHandle(handle);
    return true;
  }
  return GetLastError() == ERROR_ACCESS_DENIED;
}

class WinRunningHostProbe final : public IRunningHostProbe {
 public:
  explicit WinRunningHostProbe(const InstanceNames& names) : mutex_name_(MutexName(names)), event_name_(EventName(names)) {}

  bool SignalShutdown() override {
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, event_name_.c_str());
    if (event == nullptr) return false;
    const BOOL ok = SetEvent(event);
    CloseHandle(event);
    return ok != FALSE;
  }

  bool IsHostRunning() override {
    return ObjectExists(OpenEventW(SYNCHRONIZE, FALSE, event_name_.c_str())) ||
           ObjectExists(OpenMutexW(SYNCHRONIZE, FALSE, mutex_name_.c_str()));
  }

 private:
  std::wstring mutex_name_;
  std::wstring event_name_;
};

}  // namespace

// ---------------------------------------------------------------------------
// SingleInstance

struct SingleInstance::Impl {
  InstanceNames names;
  HANDLE mutex = nullptr;
};

SingleInstance::SingleInstance(InstanceNames names) : impl_(std::make_unique<Impl>()) {
  impl_->names = std::move(names);
}

SingleInstance::~SingleInstance() { Release(); }

bool SingleInstance::owned() const { return impl_->mutex != nullptr; }

InstanceStatus SingleInstance::Acquire(bool relaunched, uint32_t wait_ms, IClock& /*clock*/) {
  if (impl_->mutex != nullptr) return InstanceStatus::kOwner;
  const std::wstring name = MutexName(impl_->names);
  SetLastError(ERROR_SUCCESS);
  HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
  const DWORD error = GetLastError();
  if (mutex == nullptr) {
    if (error == ERROR_ACCESS_DENIED) {
      // The object exists but belongs to a host with other rights (elevated):
      // that is a running host, not a failure.
      LogInfo("[Main] Single-instance mutex is held by a host with other rights");
      return InstanceStatus::kAlreadyRunning;
    }
    LogError("[Main] Single-instance mutex could not be created: %lu", error);
    return InstanceStatus::kFailed;
  }
  if (error != ERROR_ALREADY_EXISTS) {
    impl_->mutex = mutex;
    return InstanceStatus::kOwner;
  }
  if (!relaunched) {
    CloseHandle(mutex);
    return InstanceStatus::kAlreadyRunning;
  }
  // A relaunch starts while its predecessor is still ending; Windows
  // abandons the mutex when that process is gone.
  const DWORD wait = WaitForSingleObject(mutex, wait_ms);
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
    impl_->mutex = mutex;
    return InstanceStatus::kOwner;
  }
  if (wait == WAIT_TIMEOUT) {
    CloseHandle(mutex);
    return InstanceStatus::kWaitTimedOut;
  }
  const DWORD wait_error = GetLastError();
  CloseHandle(mutex);
  LogError("[Main] Waiting for the single-instance mutex failed: %lu", wait_error);
  return InstanceStatus::kFailed;
}

void SingleInstance::Release() {
  if (impl_->mutex == nullptr) return;
  if (!ReleaseMutex(impl_->mutex)) LogWarn("[Main] ReleaseMutex failed: %lu", GetLastError());
  CloseHandle(impl_->mutex);
  impl_->mutex = nullptr;
}

// ---------------------------------------------------------------------------
// Hand-over

bool HandOverToRunningInstance(const InstanceNames& names) {
  const std::wstring window_class = ToWide(names.tray_window_class);
  HWND tray = FindWindowExW(HWND_MESSAGE, nullptr, window_class.c_str(), nullptr);
  if (tray == nullptr) {
    LogWarn("[Main] Running host's tray window not found: %lu", GetLastError());
    return false;
  }
  DWORD process_id = 0;
  GetWindowThreadProcessId(tray, &process_id);
  // Lets the running host bring its settings window to the front; refused
  // when this process has no foreground rights itself, which is harmless.
  if (process_id != 0 && !AllowSetForegroundWindow(process_id)) {
    LogDebug("[Main] AllowSetForegroundWindow failed: %lu", GetLastError());
  }
  const std::wstring message_name = ToWide(kShowSettingsMessageName);
  const UINT message = RegisterWindowMessageW(message_name.c_str());
  if (message == 0) {
    LogWarn("[Main] RegisterWindowMessageW failed: %lu", GetLastError());
    return false;
  }
  if (!PostMessageW(tray, message, 0, 0)) {
    LogWarn("[Main] Posting the show-settings message failed: %lu", GetLastError());
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// InstanceCommandListener: the installer's shutdown event

struct InstanceCommandListener::Impl {
  InstanceNames names;
  InstanceCommandCallbacks callbacks;
  HANDLE event = nullptr;
  HANDLE wait = nullptr;

  static VOID CALLBACK OnShutdownEvent(PVOID context, BOOLEAN /*timed_out*/) {
    auto* impl = static_cast<Impl*>(context);
    LogInfo("[Main] Exit requested by an installer (--shutdown)");
    if (impl->callbacks.on_shutdown) impl->callbacks.on_shutdown();
  }
};

InstanceCommandListener::InstanceCommandListener(InstanceNames names) : impl_(std::make_unique<Impl>()) {
  impl_->names = std::move(names);
}

InstanceCommandListener::~InstanceCommandListener() { Stop(); }

bool InstanceCommandListener::Start(InstanceCommandCallbacks callbacks) {
  if (impl_->event != nullptr) return false;
  impl_->callbacks = std::move(callbacks);

  PSECURITY_DESCRIPTOR descriptor = nullptr;
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.bInheritHandle = FALSE;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kShutdownEventSddl, SDDL_REVISION_1, &descriptor,
                                                           nullptr)) {
    attributes.lpSecurityDescriptor = descriptor;
  } else {
    LogWarn("[Main] Shutdown event security descriptor failed: %lu; using default security", GetLastError());
    descriptor = nullptr;
  }
  const std::wstring name = EventName(impl_->names);
  HANDLE event = CreateEventW(descriptor != nullptr ? &attributes : nullptr, TRUE, FALSE, name.c_str());
  const DWORD create_error = GetLastError();
  if (descriptor != nullptr) LocalFree(descriptor);
  if (event == nullptr) {
    LogError("[Main] Shutdown event could not be created: %lu", create_error);
    return false;
  }
  HANDLE wait = nullptr;
  if (!RegisterWaitForSingleObject(&wait, event, &Impl::OnShutdownEvent, impl_.get(), INFINITE,
                                   WT_EXECUTEONLYONCE)) {
    LogError("[Main] RegisterWaitForSingleObject failed: %lu", GetLastError());
    CloseHandle(event);
    return false;
  }
  impl_->event = event;
  impl_->wait = wait;
  return true;
}

void InstanceCommandListener::Stop() {
  if (impl_->wait != nullptr) {
    // INVALID_HANDLE_VALUE: returns only after a running callback finished.
    if (!UnregisterWaitEx(impl_->wait, INVALID_HANDLE_VALUE)) {
      LogWarn("[Main] UnregisterWaitEx failed: %lu", GetLastError());
    }
    impl_->wait = nullptr;
  }
  if (impl_->event != nullptr) {
    CloseHandle(impl_->event);
    impl_->event = nullptr;
  }
}

// ---------------------------------------------------------------------------

std::unique_ptr<IRunningHostProbe> CreateRunningHostProbe(const InstanceNames& names) {
  return std::make_unique<WinRunningHostProbe>(names);
}

}  // namespace orvane
