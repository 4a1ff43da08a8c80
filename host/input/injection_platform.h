#pragma once
// What the input injector asks of the operating system: synthetic pointer
// devices, the touch-injection API, one batch of mouse and keyboard inputs,
// the monitors and the virtual screen, and the keyboard layout. Records carry
// Windows numbering (pointer, pen, touch, mouse and key flags) on every
// build, so the injector's decisions are the same everywhere; the platform
// only translates them into its own calls.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvane {

// Pointer flags of a pointer frame (POINTER_FLAG_*).
namespace pointer_flag {
inline constexpr uint32_t kNone = 0x00000000;
inline constexpr uint32_t kNew = 0x00000001;
inline constexpr uint32_t kInRange = 0x00000002;
inline constexpr uint32_t kInContact = 0x00000004;
inline constexpr uint32_t kFirstButton = 0x00000010;
inline constexpr uint32_t kSecondButton = 0x00000020;
inline constexpr uint32_t kPrimary = 0x00002000;
inline constexpr uint32_t kConfidence = 0x00004000;
inline constexpr uint32_t kCanceled = 0x00008000;
inline constexpr uint32_t kDown = 0x00010000;
inline constexpr uint32_t kUpdate = 0x00020000;
inline constexpr uint32_t kUp = 0x00040000;
}  // namespace pointer_flag

// Pen flags and pen masks (PEN_FLAG_*, PEN_MASK_*).
namespace pen_flag {
inline constexpr uint32_t kBarrel = 0x1;
inline constexpr uint32_t kInverted = 0x2;
inline constexpr uint32_t kEraser = 0x4;
}  // namespace pen_flag
namespace pen_mask {
inline constexpr uint32_t kPressure = 0x1;
inline constexpr uint32_t kRotation = 0x2;
inline constexpr uint32_t kTiltX = 0x4;
inline constexpr uint32_t kTiltY = 0x8;
}  // namespace pen_mask

// Touch masks (TOUCH_MASK_*).
namespace touch_mask {
inline constexpr uint32_t kContactArea = 0x1;
inline constexpr uint32_t kOrientation = 0x2;
inline constexpr uint32_t kPressure = 0x4;
}  // namespace touch_mask

// Mouse input flags (MOUSEEVENTF_*).
namespace mouse_flag {
inline constexpr uint32_t kMove = 0x0001;
inline constexpr uint32_t kLeftDown = 0x0002;
inline constexpr uint32_t kLeftUp = 0x0004;
inline constexpr uint32_t kRightDown = 0x0008;
inline constexpr uint32_t kRightUp = 0x0010;
inline constexpr uint32_t kMiddleDown = 0x0020;
inline constexpr uint32_t kMiddleUp = 0x0040;
inline constexpr uint32_t kVirtualDesk = 0x4000;
inline constexpr uint32_t kAbsolute = 0x8000;
}  // namespace mouse_flag

// Keyboard input flags (KEYEVENTF_*).
namespace key_flag {
inline constexpr uint32_t kExtendedKey = 0x0001;
inline constexpr uint32_t kKeyUp = 0x0002;
inline constexpr uint32_t kScanCode = 0x0008;
}  // namespace key_flag

// One contact of a touch frame, in physical pixels.
struct TouchContactFrame {
  uint32_t contact_id = 0;  // 0..9
  int32_t x = 0;
  int32_t y = 0;
  uint32_t pointer_flags = 0;
  // Contact rectangle (left, top, right, bottom), orientation in degrees,
  // pressure 0..1024 and the touch mask.
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
  uint32_t orientation = 0;
  uint32_t pressure = 0;
  uint32_t touch_mask = 0;
};

// One pen frame, in physical pixels.
struct PenFrame {
  int32_t x = 0;
  int32_t y = 0;
  uint32_t pointer_flags = 0;
  uint32_t pen_flags = 0;
  uint32_t pen_mask = 0;
  uint32_t pressure = 0;  // 0..1024
  uint32_t rotation = 0;  // degrees, 0..359
  int32_t tilt_x = 0;     // degrees, -90..90
  int32_t tilt_y = 0;
};

// One entry of a SendInput batch: an absolute mouse input (dx, dy in
// 0..65535 over the virtual screen) or a key input.
struct PlatformInput {
  enum class Kind { kMouse, kKey };
  Kind kind = Kind::kMouse;
  int32_t dx = 0;
  int32_t dy = 0;
  uint32_t mouse_flags = 0;
  uint16_t virtual_key = 0;
  uint16_t scan_code = 0;
  uint32_t key_flags = 0;
  friend bool operator==(const PlatformInput&, const PlatformInput&) = default;
};

// A monitor in physical pixels (right and bottom exclusive).
struct InjectionMonitor {
  std::string device_name;
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
  bool primary = false;
};

struct VirtualScreen {
  int32_t left = 0;
  int32_t top = 0;
  int32_t width = 0;
  int32_t height = 0;
};

enum class PointerDeviceKind { kTouch, kPen };
enum class TouchRoute { kSyntheticDevice, kTouchInjection };

// Every call is safe from the injector's input and keep-alive threads: the
// injector serialises pointer calls under its pointer lock and key calls
// under its keyboard lock, so an implementation that shares one connection
// between them guards it itself. Error codes are Windows error numbers.
class IInjectionPlatform {
 public:
  virtual ~IInjectionPlatform() = default;

  // Member of the built-in Administrators alias.
  virtual bool IsAdministrator() = 0;
  // The three synthetic-pointer functions exist.
  virtual bool HasSyntheticPointerApi() = 0;
  // The two touch-injection functions exist.
  virtual bool HasTouchInjectionApi() = 0;

  virtual bool CreateSyntheticDevice(PointerDeviceKind kind, uint32_t max_contacts, unsigned long* error) = 0;
  virtual void DestroySyntheticDevice(PointerDeviceKind kind) = 0;
  virtual bool InitializeTouchInjection(uint32_t max_contacts, unsigned long* error) = 0;

  // One frame of every current contact.
  virtual bool InjectTouchFrame(TouchRoute route, const std::vector<TouchContactFrame>& contacts,
                                unsigned long* error) = 0;
  // Through the synthetic pen device.
  virtual bool InjectPenFrame(const PenFrame& frame, unsigned long* error) = 0;
  // One SendInput call; true when every input was taken.
  virtual bool SendInputs(const std::vector<PlatformInput>& inputs, unsigned long* error) = 0;

  virtual std::vector<InjectionMonitor> Monitors() = 0;
  virtual VirtualScreen GetVirtualScreen() = 0;
  // The foreground window's keyboard layout: virtual key to extended scan
  // code (high byte 0xE0 or 0xE1 when extended); 0 when it has none.
  virtual uint32_t VirtualKeyToScanCode(uint32_t virtual_key) = 0;
};

// The monitors of the desktop as the host's enumerator sees them, for
// platforms whose injection has no monitor list of its own.
using InjectionMonitorList = std::function<std::vector<InjectionMonitor>()>;

// The machine's injection facilities; null when there are none (Linux
// without an X display).
std::unique_ptr<IInjectionPlatform> MakePlatformInjection(InjectionMonitorList monitors);

}  // namespace orvane
