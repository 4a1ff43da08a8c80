// Input injection into the X server through XTEST: absolute pointer motion
// on the root window's screen, buttons 1 to 3, and keys by scan code (set 1
// to evdev to X keycode) or by virtual key (a fixed keysym table). The X
// server has neither synthetic pointer devices nor touch injection: touch and
// pen arrive as mouse emulation. One connection per platform object, every
// Xlib call under one lock (the injector's input and keep-alive threads share
// it), one flush per batch.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include "host/common/limited_log.h"
#include "host/common/logger.h"
#include "host/common/x11_connection_linux.h"
#include "host/input/injection_platform.h"
#include "host/input/x11_keys_linux.h"

// Xlib last: its macros (Success, None, Bool) would clash with the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace orvane {

namespace {

// Windows error numbers, as the injector expects them.
constexpr unsigned long kErrorInvalidParameter = 87;
constexpr unsigned long kErrorCallNotImplemented = 120;
constexpr unsigned long kErrorDeviceNotConnected = 1167;

// One SendInput batch is a handful of inputs; a release of everything held
// stays far below this.
constexpr size_t kMaxInputsPerBatch = 1024;
constexpr int32_t kAbsoluteMax = 65535;
constexpr uint64_t kWarnIntervalMs = 60'000;

// An absolute coordinate (0..65535 over the extent) back to a pixel: the
// inverse of the injector's conversion, whose span is extent - 1 (1 below 3).
int32_t AbsoluteToPixel(int32_t absolute, int32_t origin, int32_t extent) {
  const int64_t span = extent < 3 ? 1 : static_cast<int64_t>(extent) - 1;
  const int64_t a = std::clamp<int64_t>(absolute, 0, kAbsoluteMax);
  int64_t pixel = origin + (a * span + kAbsoluteMax / 2) / kAbsoluteMax;
  if (extent > 0) pixel = std::min<int64_t>(pixel, static_cast<int64_t>(origin) + extent - 1);
  return static_cast<int32_t>(pixel);
}

class X11InjectionPlatform final : public IInjectionPlatform {
 public:
  static std::unique_ptr<IInjectionPlatform> Create(InjectionMonitorList monitors) {
    std::unique_ptr<x11::Connection> connection = x11::Connection::Open("Input");
    if (!connection) {
      static std::atomic<bool> logged{false};
      if (!logged.exchange(true)) LogWarn("[Input] No X display could be opened; tablet input is not injected");
      return nullptr;
    }
    Display* display = connection->display();
    int event_base = 0;
    int error_base = 0;
    int major = 0;
    int minor = 0;
    if (!XTestQueryExtension(display, &event_base, &error_base, &major, &minor)) {
      static std::atomic<bool> logged{false};
      if (!logged.exchange(true)) {
        LogWarn("[Input] The X server lacks the XTEST extension; tablet input is not injected");
      }
      return nullptr;
    }
    LogDebug("[Input] XTEST %d.%d on %s", major, minor, DisplayString(display));
    return std::unique_ptr<IInjectionPlatform>(new X11InjectionPlatform(std::move(connection), std::move(monitors)));
  }

  bool IsAdministrator() override { return geteuid() == 0; }
  bool HasSyntheticPointerApi() override { return false; }
  bool HasTouchInjectionApi() override { return false; }

  bool CreateSyntheticDevice(PointerDeviceKind, uint32_t, unsigned long* error) override {
    return NotImplemented(error);
  }
  void DestroySyntheticDevice(PointerDeviceKind) override {}
  bool InitializeTouchInjection(uint32_t, unsigned long* error) override { return NotImplemented(error); }
  bool InjectTouchFrame(TouchRoute, const std::vector<TouchContactFrame>&, unsigned long* error) override {
    return NotImplemented(error);
  }
  bool InjectPenFrame(const PenFrame&, unsigned long* error) override { return NotImplemented(error); }

  bool SendInputs(const std::vector<PlatformInput>& inputs, unsigned long* error) override {
    SetError(error, 0);
    if (inputs.empty()) return true;
    if (inputs.size() > kMaxInputsPerBatch) {
      warn_.Log("a batch of %zu inputs is refused", inputs.size());
      SetError(error, kErrorInvalidParameter);
      return false;
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (connection_->lost()) {
      SetError(error, kErrorDeviceNotConnected);
      return false;
    }
    Display* display = connection_->display();
    DrainEvents(display);
    // The root window's size only when an absolute move needs it (one round
    // trip to the server).
    const bool absolute = std::any_of(inputs.begin(), inputs.end(), [](const PlatformInput& p) {
      return p.kind == PlatformInput::Kind::kMouse && (p.mouse_flags & mouse_flag::kMove) &&
             (p.mouse_flags & mouse_flag::kAbsolute);
    });
    const VirtualScreen screen = absolute ? RootScreenLocked() : VirtualScreen{};
    size_t refused = 0;
    for (const PlatformInput& input : inputs) {
      const bool ok = input.kind == PlatformInput::Kind::kMouse ? SendMouse(display, screen, input)
                                                                 : SendKey(display, input);
      if (!ok) ++refused;
    }
    XFlush(display);
    const x11::Connection::Error x_error = connection_->TakeError();
    if (x_error.code != 0) {
      // Errors come back after the requests that caused them: this one
      // belongs to this batch or an earlier one.
      warn_.Log("the X server reported error %d (request %d.%d)", x_error.code, x_error.request, x_error.minor);
    }
    if (connection_->lost()) {
      SetError(error, kErrorDeviceNotConnected);
      return false;
    }
    if (refused != 0) {
      warn_.Log("%zu of %zu inputs had no X equivalent and were not sent", refused, inputs.size());
      SetError(error, kErrorInvalidParameter);
      return false;
    }
    return true;
  }

  std::vector<InjectionMonitor> Monitors() override {
    if (monitors_) return monitors_();
    std::lock_guard<std::mutex> lock(mu_);
    const VirtualScreen screen = RootScreenLocked();
    InjectionMonitor root;
    root.left = screen.left;
    root.top = screen.top;
    root.right = screen.left + screen.width;
    root.bottom = screen.top + screen.height;
    root.primary = true;
    return {root};
  }

  VirtualScreen GetVirtualScreen() override {
    std::lock_guard<std::mutex> lock(mu_);
    return RootScreenLocked();
  }

  uint32_t VirtualKeyToScanCode(uint32_t virtual_key) override { return x11keys::UsScanCodeOfVirtualKey(virtual_key); }

 private:
  X11InjectionPlatform(std::unique_ptr<x11::Connection> connection, InjectionMonitorList monitors)
      : connection_(std::move(connection)),
        screen_(DefaultScreen(connection_->display())),
        root_(RootWindow(connection_->display(), screen_)),
        monitors_(std::move(monitors)) {}

  static void SetError(unsigned long* error, unsigned long value) {
    if (error != nullptr) *error = value;
  }
  static bool NotImplemented(unsigned long* error) {
    SetError(error, kErrorCallNotImplemented);
    return false;
  }

  // The keyboard mapping Xlib keeps for XKeysymToKeycode follows the
  // server's: mapping changes are the only events this connection gets.
  static void DrainEvents(Display* display) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
    }
  }

  // The root window's size now (the server may have been resized since the
  // connection was opened); the connection's screen size if it cannot be read.
  VirtualScreen RootScreenLocked() {
    Display* display = connection_->display();
    VirtualScreen screen;
    if (connection_->lost()) return screen;
    const x11::RootSize root = x11::ReadRootSize(display, root_);
    if (root.ok && root.width > 0 && root.height > 0) {
      screen.width = static_cast<int32_t>(root.width);
      screen.height = static_cast<int32_t>(root.height);
    } else {
      warn_.Log("reading the root window's size failed; the screen's size is used");
      screen.width = DisplayWidth(display, screen_);
      screen.height = DisplayHeight(display, screen_);
    }
    return screen;
  }

  bool SendMouse(Display* display, const VirtualScreen& screen, const PlatformInput& input) {
    const uint32_t flags = input.mouse_flags;
    bool ok = true;
    if (flags & mouse_flag::kMove) {
      if (flags & mouse_flag::kAbsolute) {
        // The root window spans the whole desktop: with or without the
        // virtual-desk flag the coordinates cover it.
        const int32_t x = AbsoluteToPixel(input.dx, screen.left, screen.width);
        const int32_t y = AbsoluteToPixel(input.dy, screen.top, screen.height);
        ok = XTestFakeMotionEvent(display, screen_, x, y, 0) != 0 && ok;
      } else {
        ok = XTestFakeRelativeMotionEvent(display, input.dx, input.dy, 0) != 0 && ok;
      }
    }
    struct Button {
      uint32_t flag;
      unsigned int button;
      Bool press;
    };
    static constexpr Button kButtons[] = {
        {mouse_flag::kLeftDown, 1, True},   {mouse_flag::kLeftUp, 1, False},   {mouse_flag::kRightDown, 3, True},
        {mouse_flag::kRightUp, 3, False},   {mouse_flag::kMiddleDown, 2, True}, {mouse_flag::kMiddleUp, 2, False},
    };
    for (const Button& b : kButtons) {
      if (flags & b.flag) ok = XTestFakeButtonEvent(display, b.button, b.press, 0) != 0 && ok;
    }
    return ok;
  }

  bool SendKey(Display* display, const PlatformInput& input) {
    const bool extended = (input.key_flags & key_flag::kExtendedKey) != 0;
    unsigned int keycode = 0;
    if (input.key_flags & key_flag::kScanCode) {
      keycode = x11keys::XKeycodeOfScanCode(input.scan_code, extended);
    } else if (const uint32_t keysym = x11keys::KeysymOfVirtualKey(input.virtual_key, extended); keysym != 0) {
      keycode = XKeysymToKeycode(display, static_cast<KeySym>(keysym));
    }
    if (keycode < 8 || keycode > 255) return false;
    const Bool press = (input.key_flags & key_flag::kKeyUp) ? False : True;
    return XTestFakeKeyEvent(display, keycode, press, 0) != 0;
  }

  std::mutex mu_;
  std::unique_ptr<x11::Connection> connection_;  // every use under mu_
  const int screen_;
  const Window root_;
  const InjectionMonitorList monitors_;
  // Rate-limited: a failing server fails every batch.
  RateLimitedLog warn_{LogLevel::kWarn, "[Input] XTEST injection: ", kWarnIntervalMs};
};

}  // namespace

std::unique_ptr<IInjectionPlatform> MakePlatformInjection(InjectionMonitorList monitors) {
  return X11InjectionPlatform::Create(std::move(monitors));
}

}  // namespace orvane
