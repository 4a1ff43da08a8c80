// The setup tool on Windows: OrvaneVddSetup.exe beside the host program,
// started elevated through the shell ("runas", hidden), waited for together
// with a manual-reset stop event. Each call is checked and logged and its
// result handed to the controller as it is.

#include "host/vdd/vdd_apply_launcher.h"

#include <windows.h>

#include <objbase.h>
#include <shellapi.h>
#include <time.h>

#include "host/common/logger.h"
#include "host/common/platform_info.h"
#include "host/common/win_text.h"

namespace orvane::vdd_apply {
namespace {

constexpr const char* kToolFileName = "OrvaneVddSetup.exe";

class StopEvent {
 public:
  StopEvent() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (event_ == nullptr) {
      LogWarn("[VddApply] CreateEventW failed (err=%lu); waits for the setup tool cannot be stopped",
              GetLastError());
    }
  }
  ~StopEvent() {
    if (event_ != nullptr && !CloseHandle(event_)) LogWarn("[VddApply] CloseHandle failed (err=%lu)", GetLastError());
  }
  StopEvent(const StopEvent&) = delete;
  StopEvent& operator=(const StopEvent&) = delete;

  void Set() {
    if (event_ != nullptr && !SetEvent(event_)) LogWarn("[VddApply] SetEvent failed (err=%lu)", GetLastError());
  }
  HANDLE handle() const { return event_; }

 private:
  HANDLE event_;
};

class WinToolProcess final : public IToolProcess {
 public:
  WinToolProcess(HANDLE process, std::shared_ptr<StopEvent> stop) : process_(process), stop_(std::move(stop)) {}
  ~WinToolProcess() override {
    if (!CloseHandle(process_)) LogWarn("[VddApply] CloseHandle of the setup tool failed (err=%lu)", GetLastError());
  }
  WinToolProcess(const WinToolProcess&) = delete;
  WinToolProcess& operator=(const WinToolProcess&) = delete;

  WaitStatus Wait(uint32_t limit_ms) override {
    HANDLE handles[2] = {process_, stop_->handle()};
    const DWORD count = handles[1] != nullptr ? 2 : 1;
    const DWORD r = WaitForMultipleObjects(count, handles, FALSE, limit_ms);
    if (r == WAIT_OBJECT_0) return WaitStatus::kEnded;
    if (count == 2 && r == WAIT_OBJECT_0 + 1) return WaitStatus::kStopped;
    if (r == WAIT_TIMEOUT) return WaitStatus::kTimedOut;
    LogWarn("[VddApply] WaitForMultipleObjects returned %lu (err=%lu)", r, GetLastError());
    return WaitStatus::kFailed;
  }

  bool HasEnded() override {
    const DWORD r = WaitForSingleObject(process_, 0);
    if (r == WAIT_OBJECT_0) return true;
    if (r == WAIT_TIMEOUT) return false;
    // A handle that cannot be waited on would block every later apply.
    LogWarn("[VddApply] WaitForSingleObject returned %lu (err=%lu); counting the setup tool as ended", r,
            GetLastError());
    return true;
  }

  bool ReadExitCode(uint32_t* code) override {
    DWORD exit_code = 0;
    if (!GetExitCodeProcess(process_, &exit_code)) {
      LogWarn("[VddApply] GetExitCodeProcess failed (err=%lu)", GetLastError());
      return false;
    }
    *code = static_cast<uint32_t>(exit_code);
    return true;
  }

 private:
  const HANDLE process_;
  const std::shared_ptr<StopEvent> stop_;
};

// The folder part of a path, without the final '\'; empty when there is none.
std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

class WinToolLauncher final : public IToolLauncher {
 public:
  WinToolLauncher() : stop_(std::make_shared<StopEvent>()) {}

  std::string LocateTool() override {
    // ProgramPathUtf8 grows its GetModuleFileNameW buffer until the name fits.
    const std::string folder = FolderOf(ProgramPathUtf8());
    if (folder.empty()) {
      LogWarn("[VddApply] The host program's folder is unknown");
      return {};
    }
    const std::string path = folder + "\\" + kToolFileName;
    if (GetFileAttributesW(ToWide(path).c_str()) == INVALID_FILE_ATTRIBUTES) {
      LogWarn("[VddApply] %s not found (err=%lu)", path.c_str(), GetLastError());
      return {};
    }
    return path;
  }

  LaunchResult Launch(const std::string& tool_path, bool repair) override {
    LaunchResult result;
    const std::wstring file = ToWide(tool_path);
    const std::wstring folder = ToWide(FolderOf(tool_path));
    const wchar_t* parameters = repair ? L"repair" : L"restart";

    // The shell's elevation prompt needs COM on this (the worker's) thread.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    if (FAILED(com)) LogWarn("[VddApply] CoInitializeEx failed (hr=0x%08lX)", static_cast<unsigned long>(com));
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"runas";
    info.lpFile = file.c_str();
    info.lpParameters = parameters;
    info.lpDirectory = folder.empty() ? nullptr : folder.c_str();
    info.nShow = SW_HIDE;
    const BOOL ok = ShellExecuteExW(&info);
    const DWORD err = ok ? 0 : GetLastError();
    if (SUCCEEDED(com)) CoUninitialize();

    if (!ok) {
      result.error = static_cast<uint32_t>(err);
      if (err == ERROR_CANCELLED) {
        result.status = LaunchStatus::kCancelled;
      } else {
        LogWarn("[VddApply] ShellExecuteExW(runas %s %s) failed (err=%lu)", tool_path.c_str(),
                repair ? "repair" : "restart", err);
      }
      return result;
    }
    if (info.hProcess == nullptr) {
      LogWarn("[VddApply] ShellExecuteExW started %s without a process handle", tool_path.c_str());
      return result;
    }
    result.status = LaunchStatus::kStarted;
    result.process = std::make_unique<WinToolProcess>(info.hProcess, stop_);
    return result;
  }

  void Stop() override { stop_->Set(); }

 private:
  const std::shared_ptr<StopEvent> stop_;
};

}  // namespace

std::unique_ptr<IToolLauncher> MakePlatformToolLauncher() { return std::make_unique<WinToolLauncher>(); }

int64_t PlatformBootTimeSeconds() {
  const __time64_t now = _time64(nullptr);
  if (now == static_cast<__time64_t>(-1)) {
    LogWarn("[VddApply] _time64 failed");
    return 0;
  }
  return static_cast<int64_t>(now) - static_cast<int64_t>(GetTickCount64() / 1000);
}

}  // namespace orvane::vdd_apply
