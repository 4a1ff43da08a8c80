// Input injection on Windows: synthetic touch and pen devices
// (CreateSyntheticPointerDevice, Windows 10 1809 and later), the older
// touch-injection API, SendInput for mouse and keys, the monitors and the
// virtual screen, and the foreground window's keyboard layout.
//
// The pointer functions are looked up in user32 at run time, never linked:
// older Windows and Wine lack some of them. The pointer structures are the
// SDK's own (MinGW-w64 declares POINTER_TYPE_INFO, POINTER_TOUCH_INFO,
// POINTER_PEN_INFO and HSYNTHETICPOINTERDEVICE under NTDDI_VERSION RS5), so
// nothing is declared here. Injections and monitor lookups run with the
// thread per-monitor DPI aware, so every coordinate is a physical pixel.
//
// Failures go back to the injector as GetLastError numbers. Those it reports
// itself (devices, touch injection, rejected frames) are logged here at debug
// level only, the others as rate-limited warnings.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "host/common/clock.h"
#include "host/common/limited_log.h"
#include "host/common/logger.h"
#include "host/common/rate_limiter.h"
#include "host/common/win_text.h"
#include "host/input/injection_platform.h"

namespace orvane {

namespace {

constexpr uint64_t kWarnIntervalMs = 60'000;
// One SendInput batch is a handful of inputs; a release of everything held
// stays far below this.
constexpr size_t kMaxInputsPerBatch = 1024;
// The synthetic pen device has one pointer.
constexpr UINT32 kPenPointerId = 0;

// Types from the SDK's declarations; only the addresses come from user32.
using CreateSyntheticPointerDeviceFn = decltype(&::CreateSyntheticPointerDevice);
using InjectSyntheticPointerInputFn = decltype(&::InjectSyntheticPointerInput);
using DestroySyntheticPointerDeviceFn = decltype(&::DestroySyntheticPointerDevice);
using InitializeTouchInjectionFn = decltype(&::InitializeTouchInjection);
using InjectTouchInputFn = decltype(&::InjectTouchInput);
using SetThreadDpiAwarenessContextFn = decltype(&::SetThreadDpiAwarenessContext);

struct User32Functions {
  CreateSyntheticPointerDeviceFn create_synthetic_device = nullptr;
  InjectSyntheticPointerInputFn inject_synthetic_input = nullptr;
  DestroySyntheticPointerDeviceFn destroy_synthetic_device = nullptr;
  InitializeTouchInjectionFn initialize_touch_injection = nullptr;
  InjectTouchInputFn inject_touch_input = nullptr;
  SetThreadDpiAwarenessContextFn set_thread_dpi_awareness_context = nullptr;  // Windows 10 1607 and later

  bool synthetic_pointer() const {
    return create_synthetic_device != nullptr && inject_synthetic_input != nullptr &&
           destroy_synthetic_device != nullptr;
  }
  bool touch_injection() const { return initialize_touch_injection != nullptr && inject_touch_input != nullptr; }
};

template <typename Fn>
Fn Lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// user32 is loaded for the life of the process (the program imports it).
const User32Functions& Functions() {
  static const User32Functions functions = [] {
    User32Functions f;
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (user32 == nullptr) {
      LogWarn("[Input] GetModuleHandleW(user32.dll) failed (%lu); no pointer injection functions",
              static_cast<unsigned long>(GetLastError()));
      return f;
    }
    f.create_synthetic_device = Lookup<CreateSyntheticPointerDeviceFn>(user32, "CreateSyntheticPointerDevice");
    f.inject_synthetic_input = Lookup<InjectSyntheticPointerInputFn>(user32, "InjectSyntheticPointerInput");
    f.destroy_synthetic_device = Lookup<DestroySyntheticPointerDeviceFn>(user32, "DestroySyntheticPointerDevice");
    f.initialize_touch_injection = Lookup<InitializeTouchInjectionFn>(user32, "InitializeTouchInjection");
    f.inject_touch_input = Lookup<InjectTouchInputFn>(user32, "InjectTouchInput");
    f.set_thread_dpi_awareness_context =
        Lookup<SetThreadDpiAwarenessContextFn>(user32, "SetThreadDpiAwarenessContext");
    LogDebug("[Input] user32: synthetic pointer functions %s, touch injection functions %s, "
             "SetThreadDpiAwarenessContext %s",
             f.synthetic_pointer() ? "present" : "absent", f.touch_injection() ? "present" : "absent",
             f.set_thread_dpi_awareness_context != nullptr ? "present" : "absent");
    return f;
  }();
  return functions;
}

RateLimiter& DpiWarnLimiter() {
  static RateLimiter limiter(kWarnIntervalMs);
  return limiter;
}

// The calling thread per-monitor DPI aware (v2, else v1) for the scope; the
// previous awareness comes back at the end. Without the function (before
// Windows 10 1607) the thread keeps the process's awareness.
class PerMonitorDpiScope {
 public:
  PerMonitorDpiScope() : set_(Functions().set_thread_dpi_awareness_context) {
    if (set_ == nullptr) return;
    previous_ = set_(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    if (previous_ == nullptr) previous_ = set_(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE);
    if (previous_ == nullptr) Warn("SetThreadDpiAwarenessContext(per-monitor) failed");
  }
  ~PerMonitorDpiScope() {
    if (previous_ != nullptr && set_(previous_) == nullptr) {
      Warn("SetThreadDpiAwarenessContext(previous) failed");
    }
  }
  PerMonitorDpiScope(const PerMonitorDpiScope&) = delete;
  PerMonitorDpiScope& operator=(const PerMonitorDpiScope&) = delete;

 private:
  static void Warn(const char* what) {
    const unsigned long error = GetLastError();
    uint64_t suppressed = 0;
    if (DpiWarnLimiter().Allow(TickCountMs(), &suppressed)) {
      LogWarn("[Input] %s (%lu; %llu similar suppressed); coordinates may be scaled", what, error,
              static_cast<unsigned long long>(suppressed));
    }
  }

  SetThreadDpiAwarenessContextFn set_;
  DPI_AWARENESS_CONTEXT previous_ = nullptr;
};

void SetError(unsigned long* error, unsigned long value) {
  if (error != nullptr) *error = value;
}

POINTER_TOUCH_INFO TouchInfo(const TouchContactFrame& c) {
  POINTER_TOUCH_INFO info = {};
  info.pointerInfo.pointerType = PT_TOUCH;
  info.pointerInfo.pointerId = c.contact_id;
  info.pointerInfo.pointerFlags = c.pointer_flags;
  info.pointerInfo.ptPixelLocation.x = c.x;
  info.pointerInfo.ptPixelLocation.y = c.y;
  info.touchFlags = TOUCH_FLAG_NONE;
  info.touchMask = c.touch_mask;
  info.rcContact.left = c.left;
  info.rcContact.top = c.top;
  info.rcContact.right = c.right;
  info.rcContact.bottom = c.bottom;
  info.orientation = c.orientation;
  info.pressure = c.pressure;
  return info;
}

INPUT ToInput(const PlatformInput& p) {
  INPUT input = {};
  if (p.kind == PlatformInput::Kind::kMouse) {
    input.type = INPUT_MOUSE;
    input.mi.dx = p.dx;
    input.mi.dy = p.dy;
    input.mi.dwFlags = p.mouse_flags;
  } else {
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = p.virtual_key;
    input.ki.wScan = p.scan_code;
    input.ki.dwFlags = p.key_flags;
  }
  return input;
}

BOOL CALLBACK CollectMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM context) {
  auto* list = reinterpret_cast<std::vector<InjectionMonitor>*>(context);
  MONITORINFOEXW info = {};
  info.cbSize = sizeof(info);
  if (!GetMonitorInfoW(monitor, &info)) {
    LogWarn("[Input] GetMonitorInfoW failed (%lu); that monitor is left out",
            static_cast<unsigned long>(GetLastError()));
    return TRUE;
  }
  InjectionMonitor m;
  info.szDevice[CCHDEVICENAME - 1] = L'\0';
  m.device_name = FromWide(info.szDevice);
  m.left = info.rcMonitor.left;
  m.top = info.rcMonitor.top;
  m.right = info.rcMonitor.right;
  m.bottom = info.rcMonitor.bottom;
  m.primary = (info.dwFlags & MONITORINFOF_PRIMARY) != 0;
  list->push_back(std::move(m));
  return TRUE;
}

class WinInjectionPlatform final : public IInjectionPlatform {
 public:
  WinInjectionPlatform() : functions_(Functions()) {}

  ~WinInjectionPlatform() override {
    DestroySyntheticDevice(PointerDeviceKind::kTouch);
    DestroySyntheticDevice(PointerDeviceKind::kPen);
  }

  bool IsAdministrator() override {
    SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt_authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                  0, 0, 0, &administrators)) {
      LogWarn("[Input] AllocateAndInitializeSid(Administrators) failed (%lu)",
              static_cast<unsigned long>(GetLastError()));
      return false;
    }
    BOOL member = FALSE;
    const BOOL checked = CheckTokenMembership(nullptr, administrators, &member);
    const DWORD error = GetLastError();
    FreeSid(administrators);
    if (!checked) {
      LogWarn("[Input] CheckTokenMembership(Administrators) failed (%lu)", static_cast<unsigned long>(error));
      return false;
    }
    return member != FALSE;
  }

  bool HasSyntheticPointerApi() override { return functions_.synthetic_pointer(); }
  bool HasTouchInjectionApi() override { return functions_.touch_injection(); }

  bool CreateSyntheticDevice(PointerDeviceKind kind, uint32_t max_contacts, unsigned long* error) override {
    SetError(error, 0);
    const char* name = kind == PointerDeviceKind::kTouch ? "PT_TOUCH" : "PT_PEN";
    if (!functions_.synthetic_pointer()) {
      SetError(error, ERROR_PROC_NOT_FOUND);
      return false;
    }
    if (max_contacts == 0 || max_contacts > MAX_TOUCH_COUNT) {
      SetError(error, ERROR_INVALID_PARAMETER);
      return false;
    }
    std::lock_guard<std::mutex> lock(mu_);
    HSYNTHETICPOINTERDEVICE& device = kind == PointerDeviceKind::kTouch ? touch_device_ : pen_device_;
    if (device != nullptr) return true;  // one device of each kind
    device = functions_.create_synthetic_device(kind == PointerDeviceKind::kTouch ? PT_TOUCH : PT_PEN, max_contacts,
                                                POINTER_FEEDBACK_DEFAULT);
    if (device == nullptr) {
      const DWORD e = GetLastError();
      SetError(error, e);
      LogDebug("[Input] CreateSyntheticPointerDevice(%s, %u) failed (%lu)", name, max_contacts,
               static_cast<unsigned long>(e));
      return false;
    }
    LogDebug("[Input] CreateSyntheticPointerDevice(%s, %u) succeeded", name, max_contacts);
    return true;
  }

  void DestroySyntheticDevice(PointerDeviceKind kind) override {
    std::lock_guard<std::mutex> lock(mu_);
    HSYNTHETICPOINTERDEVICE& device = kind == PointerDeviceKind::kTouch ? touch_device_ : pen_device_;
    if (device == nullptr) return;
    functions_.destroy_synthetic_device(device);  // no result to check
    device = nullptr;
  }

  bool InitializeTouchInjection(uint32_t max_contacts, unsigned long* error) override {
    SetError(error, 0);
    if (!functions_.touch_injection()) {
      SetError(error, ERROR_PROC_NOT_FOUND);
      return false;
    }
    if (max_contacts == 0 || max_contacts > MAX_TOUCH_COUNT) {
      SetError(error, ERROR_INVALID_PARAMETER);
      return false;
    }
    if (!functions_.initialize_touch_injection(max_contacts, TOUCH_FEEDBACK_DEFAULT)) {
      const DWORD e = GetLastError();
      SetError(error, e);
      LogDebug("[Input] InitializeTouchInjection(%u) failed (%lu)", max_contacts, static_cast<unsigned long>(e));
      return false;
    }
    return true;
  }

  bool InjectTouchFrame(TouchRoute route, const std::vector<TouchContactFrame>& contacts,
                        unsigned long* error) override {
    SetError(error, 0);
    if (contacts.empty()) return true;
    if (contacts.size() > MAX_TOUCH_COUNT) {
      SetError(error, ERROR_INVALID_PARAMETER);
      return false;
    }
    const UINT32 count = static_cast<UINT32>(contacts.size());
    BOOL injected = FALSE;
    DWORD e = 0;
    if (route == TouchRoute::kSyntheticDevice) {
      std::vector<POINTER_TYPE_INFO> frame(contacts.size());
      for (size_t i = 0; i < contacts.size(); ++i) {
        frame[i].type = PT_TOUCH;
        frame[i].touchInfo = TouchInfo(contacts[i]);
      }
      std::lock_guard<std::mutex> lock(mu_);
      if (touch_device_ == nullptr) {
        SetError(error, ERROR_INVALID_HANDLE);
        return false;
      }
      PerMonitorDpiScope dpi;
      injected = functions_.inject_synthetic_input(touch_device_, frame.data(), count);
      if (!injected) e = GetLastError();
    } else {
      if (!functions_.touch_injection()) {
        SetError(error, ERROR_PROC_NOT_FOUND);
        return false;
      }
      std::vector<POINTER_TOUCH_INFO> frame(contacts.size());
      for (size_t i = 0; i < contacts.size(); ++i) frame[i] = TouchInfo(contacts[i]);
      PerMonitorDpiScope dpi;
      injected = functions_.inject_touch_input(count, frame.data());
      if (!injected) e = GetLastError();
    }
    if (!injected) {
      SetError(error, e);
      LogDebug("[Input] %s of %u contacts failed (%lu)",
               route == TouchRoute::kSyntheticDevice ? "InjectSyntheticPointerInput" : "InjectTouchInput", count,
               static_cast<unsigned long>(e));
      return false;
    }
    return true;
  }

  bool InjectPenFrame(const PenFrame& f, unsigned long* error) override {
    SetError(error, 0);
    POINTER_TYPE_INFO frame = {};
    frame.type = PT_PEN;
    POINTER_PEN_INFO& pen = frame.penInfo;
    pen.pointerInfo.pointerType = PT_PEN;
    pen.pointerInfo.pointerId = kPenPointerId;
    pen.pointerInfo.pointerFlags = f.pointer_flags;
    pen.pointerInfo.ptPixelLocation.x = f.x;
    pen.pointerInfo.ptPixelLocation.y = f.y;
    pen.penFlags = f.pen_flags;
    pen.penMask = f.pen_mask;
    pen.pressure = f.pressure;
    pen.rotation = f.rotation;
    pen.tiltX = f.tilt_x;
    pen.tiltY = f.tilt_y;
    std::lock_guard<std::mutex> lock(mu_);
    if (pen_device_ == nullptr) {
      SetError(error, ERROR_INVALID_HANDLE);
      return false;
    }
    PerMonitorDpiScope dpi;
    if (!functions_.inject_synthetic_input(pen_device_, &frame, 1)) {
      const DWORD e = GetLastError();
      SetError(error, e);
      LogDebug("[Input] InjectSyntheticPointerInput(pen, flags 0x%08X) failed (%lu)", f.pointer_flags,
               static_cast<unsigned long>(e));
      return false;
    }
    return true;
  }

  bool SendInputs(const std::vector<PlatformInput>& inputs, unsigned long* error) override {
    SetError(error, 0);
    if (inputs.empty()) return true;
    if (inputs.size() > kMaxInputsPerBatch) {
      SetError(error, ERROR_INVALID_PARAMETER);
      warn_.Log("SendInput of %zu inputs refused (at most %zu in one batch)", inputs.size(), kMaxInputsPerBatch);
      return false;
    }
    std::vector<INPUT> batch;
    batch.reserve(inputs.size());
    for (const PlatformInput& p : inputs) batch.push_back(ToInput(p));
    UINT sent = 0;
    DWORD e = 0;
    {
      PerMonitorDpiScope dpi;
      sent = SendInput(static_cast<UINT>(batch.size()), batch.data(), static_cast<int>(sizeof(INPUT)));
      if (sent != batch.size()) e = GetLastError();
    }
    if (sent != batch.size()) {
      // Blocked input (a higher-integrity window in front, the secure
      // desktop) fails without always setting an error.
      SetError(error, e != 0 ? e : ERROR_ACCESS_DENIED);
      warn_.Log("SendInput took %u of %zu inputs (%lu)", sent, batch.size(), static_cast<unsigned long>(e));
      return false;
    }
    return true;
  }

  std::vector<InjectionMonitor> Monitors() override {
    std::vector<InjectionMonitor> list;
    PerMonitorDpiScope dpi;
    if (!EnumDisplayMonitors(nullptr, nullptr, &CollectMonitor, reinterpret_cast<LPARAM>(&list))) {
      const unsigned long e = GetLastError();
      warn_.Log("EnumDisplayMonitors failed (%lu) after %zu monitors", e, list.size());
    }
    return list;
  }

  VirtualScreen GetVirtualScreen() override {
    VirtualScreen screen;
    PerMonitorDpiScope dpi;
    screen.left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    screen.top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    screen.width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    screen.height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    if (screen.width <= 0 || screen.height <= 0) {
      warn_.Log("GetSystemMetrics gave a virtual screen of %dx%d", screen.width, screen.height);
    }
    return screen;
  }

  uint32_t VirtualKeyToScanCode(uint32_t virtual_key) override {
    if (virtual_key == 0 || virtual_key > 0xFF) return 0;
    // The layout of the thread that owns the foreground window; without
    // one, this thread's.
    DWORD thread = 0;
    if (HWND foreground = GetForegroundWindow(); foreground != nullptr) {
      thread = GetWindowThreadProcessId(foreground, nullptr);
    }
    HKL layout = GetKeyboardLayout(thread);
    return MapVirtualKeyExW(virtual_key, MAPVK_VK_TO_VSC_EX, layout);
  }

 private:
  const User32Functions& functions_;
  std::mutex mu_;  // the device handles
  HSYNTHETICPOINTERDEVICE touch_device_ = nullptr;
  HSYNTHETICPOINTERDEVICE pen_device_ = nullptr;
  RateLimitedLog warn_{LogLevel::kWarn, "[Input] ", kWarnIntervalMs};
};

}  // namespace

// The desktop reports its own monitors here: the host's list is not needed.
std::unique_ptr<IInjectionPlatform> MakePlatformInjection(InjectionMonitorList) {
  return std::make_unique<WinInjectionPlatform>();
}

}  // namespace orvane
