#include <windows.h>

#include "host/common/logger.h"
#include "host/common/win_text.h"
#include "host/video/thread_priority.h"

namespace orvane {

namespace {

using SetCharacteristicsFn = HANDLE(WINAPI*)(LPCWSTR, LPDWORD);
using RevertCharacteristicsFn = BOOL(WINAPI*)(HANDLE);
using SetDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);

struct Avrt {
  SetCharacteristicsFn set = nullptr;
  RevertCharacteristicsFn revert = nullptr;
};

// avrt.dll is loaded once and stays for the life of the process.
const Avrt& Functions() {
  static const Avrt avrt = [] {
    Avrt a;
    HMODULE module = LoadLibraryW(L"avrt.dll");
    if (module == nullptr) {
      LogWarn("[FrameLoop] avrt.dll could not be loaded: %lu", static_cast<unsigned long>(GetLastError()));
      return a;
    }
    a.set = reinterpret_cast<SetCharacteristicsFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "AvSetMmThreadCharacteristicsW")));
    a.revert = reinterpret_cast<RevertCharacteristicsFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "AvRevertMmThreadCharacteristics")));
    return a;
  }();
  return avrt;
}

}  // namespace

void* RegisterThreadTask(const char* task, const char* thread_name) {
  // The thread's name helps debuggers; it is not required.
  if (HMODULE kernel = GetModuleHandleW(L"kernel32.dll"); kernel != nullptr) {
    auto describe = reinterpret_cast<SetDescriptionFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")));
    if (describe != nullptr) describe(GetCurrentThread(), ToWide(thread_name).c_str());
  }
  const Avrt& avrt = Functions();
  if (avrt.set == nullptr) return nullptr;
  DWORD index = 0;
  HANDLE handle = avrt.set(ToWide(task).c_str(), &index);
  if (handle == nullptr) {
    LogWarn("[FrameLoop] AvSetMmThreadCharacteristicsW(%s) failed: %lu", task,
            static_cast<unsigned long>(GetLastError()));
  }
  return handle;
}

void RevertThreadTask(void* handle) {
  const Avrt& avrt = Functions();
  if (avrt.revert != nullptr && !avrt.revert(static_cast<HANDLE>(handle))) {
    LogWarn("[FrameLoop] AvRevertMmThreadCharacteristics failed: %lu", static_cast<unsigned long>(GetLastError()));
  }
}

}  // namespace orvane
