#pragma once
// The input injector of a tablet session: turns the tablet's touch, pen, key
// and mouse events into PC input on the monitor the session streams. It
// picks the best injection method the machine offers (a synthetic pointer
// device, the touch-injection API, or mouse emulation), keeps multi-touch
// contacts and the pen's hover and contact state consistent, synthesises
// modifier keys, keeps resting pointers alive and releases everything when
// the session ends. Every operating-system call goes through
// IInjectionPlatform.
//
// Threads: events arrive on the input receiver's thread; a keep-alive thread
// of the injector's own shares the pointer lock. Lock order: pointer, then
// target; the keyboard lock is never held with another.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/common/clock.h"
#include "host/common/rate_limiter.h"
#include "host/input/injection_platform.h"
#include "host/input/input_injector.h"
#include "host/input/input_mapping.h"

namespace orvane {

enum class TouchBackend { kSynthetic, kLegacy, kNone };

// "synthetic", "legacy", "none".
const char* TouchBackendName(TouchBackend backend);

// What the construction-time probe found; fixed for the injector's life.
struct InjectorCapabilities {
  TouchBackend touch_backend = TouchBackend::kNone;
  bool synthetic_pen = false;
  bool admin = false;
  // "ok" or the name of the failure that left a less capable method.
  std::string touch_reason = "unknown";
  std::string pen_reason = "unknown";
  unsigned long touch_error = 0;
  unsigned long pen_error = 0;
};

struct InputInjectorOptions {
  // Off in tests that drive KeepAliveTick() in virtual time.
  bool keep_alive_thread = true;
};

class InputInjector final : public IInputInjector {
 public:
  static constexpr uint32_t kMaxTouchContacts = 10;
  static constexpr int64_t kTargetLookupIntervalUs = 2'000'000;
  static constexpr int64_t kKeepAliveWakeMs = 50;
  // Contacts are re-sent when the last touch frame is older than this.
  static constexpr int64_t kTouchIdleUs = 99'000;
  // A resting pen is re-sent once the last pen frame is this old.
  static constexpr int64_t kPenIdleUs = 100'000;
  // A pen that left hover goes out of range this much later.
  static constexpr int64_t kPenLeaveDelayUs = 60'000;
  // Key presses remembered at most (more than any keyboard holds at once).
  static constexpr size_t kMaxRememberedKeys = 256;
  static constexpr uint64_t kSendWarnIntervalMs = 10'000;

  // Probes the machine's injection methods (logging what it found), looks
  // up the target and starts the keep-alive thread. A null platform injects
  // nothing.
  InputInjector(std::unique_ptr<IInjectionPlatform> platform, IClock& clock, InputInjectorOptions options = {});
  // Releases every key and pointer, stops the keep-alive thread and gives
  // the devices and the touch-injection API back.
  ~InputInjector() override;

  InputInjector(const InputInjector&) = delete;
  InputInjector& operator=(const InputInjector&) = delete;

  void SetTarget(const std::string& monitor_name, int32_t left, int32_t top, int32_t width, int32_t height,
                 uint32_t stream_width, uint32_t stream_height) override;
  void SetPrimaryTarget(uint32_t stream_width, uint32_t stream_height) override;
  bool PenDegraded(PenDegradation* out) override;
  void InjectTouch(const TouchInput& touch) override;
  void InjectPen(const PenInput& pen) override;
  void InjectKey(const KeyInput& key) override;
  void InjectMouse(const MouseInput& mouse) override;
  void ReleaseAllKeys() override;
  void ReleaseAllPointers() override;

  const InjectorCapabilities& Capabilities() const { return caps_; }

  // One round of the keep-alive rules at the clock's current time: re-sends
  // resting contacts and a resting pen, and takes a pen that left hover out
  // of range when its time has come. The keep-alive thread calls it at
  // least every kKeepAliveWakeMs while any pointer is active.
  void KeepAliveTick();

 private:
  struct MappedPoint {
    int32_t x = 0;
    int32_t y = 0;
    int32_t dx = 0;  // virtual-desk units
    int32_t dy = 0;
  };
  struct Contact {
    uint32_t pointer_id = 0;
    uint32_t contact_id = 0;
    int32_t x = 0;
    int32_t y = 0;
    uint32_t pressure = 0;
    uint32_t flags = 0;  // of the last frame
  };
  // What one pen frame shows.
  struct PenSample {
    int32_t x = 0;
    int32_t y = 0;
    uint32_t pressure = 0;
    int32_t tilt_x = 0;
    int32_t tilt_y = 0;
    uint32_t rotation = 0;
    bool barrel = false;
    bool eraser = false;
  };
  struct PenState {
    bool in_range = false;
    bool in_contact = false;
    bool leave_pending = false;
    int64_t leave_deadline_us = 0;
    int64_t last_injection_us = 0;
    PenSample last;
  };
  // How one key goes out: by scan code (scan_code != 0) or by virtual key.
  struct KeyStroke {
    uint16_t scan_code = 0;
    uint16_t virtual_key = 0;
    bool extended = false;
  };
  struct KeyPress {
    KeyStroke stroke;
    uint32_t modifier = 0;  // its modifier bit, 0 for other keys
  };

  void ProbeCapabilities();
  void ProbeTouch();
  void ProbePen();

  // Target (target lock).
  MappedPoint MapPoint(float x, float y);
  void LookupTargetLocked(int64_t now_us);

  // Pointer path (pointer lock held).
  bool PointerActiveLocked() const;
  void KeepAliveTickLocked(int64_t now_us);
  void KeepAliveLoop();
  Contact* FindContact(uint32_t pointer_id);
  bool SendTouchFrameLocked();
  void ReportTouchFailure(const std::vector<TouchContactFrame>& frame, unsigned long error);
  void EmulateTouchLocked(protocol::v1::TouchAction action, const MappedPoint& point);
  bool SendPenLocked(const PenSample& sample, uint32_t pointer_flags);
  bool LiftPenLocked();
  bool EndPenActivityLocked();
  void EmulatePenLocked(protocol::v1::PenAction action, bool alternate, const MappedPoint& point);
  void SendMouseLocked(uint32_t flags, const MappedPoint& point);
  void SendInputsChecked(const std::vector<PlatformInput>& inputs, const char* what);

  // Keyboard path (keyboard lock held).
  static PlatformInput KeyEvent(const KeyStroke& stroke, bool up);
  KeyStroke SynthesisedModifier(uint32_t bit, bool by_scan_code) const;

  std::unique_ptr<IInjectionPlatform> platform_;
  IClock& clock_;
  const InputInjectorOptions options_;
  InjectorCapabilities caps_;
  bool touch_owner_ = false;

  // Target lock.
  std::mutex target_mu_;
  std::string target_name_;
  PixelRect target_rect_;
  PixelRect logged_rect_;
  uint32_t content_width_ = 0;
  uint32_t content_height_ = 0;
  uint32_t stream_width_ = 0;
  uint32_t stream_height_ = 0;
  LetterboxMapping mapping_;
  VirtualScreen virtual_screen_;
  int64_t last_lookup_us_ = 0;
  bool looked_up_ = false;

  // Pointer lock.
  std::mutex pointer_mu_;
  std::condition_variable keep_alive_cv_;
  bool stop_ = false;
  std::vector<Contact> contacts_;  // ordered by contact id
  int64_t last_touch_injection_us_ = 0;
  PenState pen_;
  uint32_t mouse_buttons_ = 0;        // held by mouse events (1 left, 2 right, 4 middle)
  bool touch_left_held_ = false;      // by emulated touch
  uint32_t pen_buttons_ = 0;          // by the emulated pen (1 left or 2 right)
  unsigned long long touch_failures_ = 0;
  unsigned long touch_logged_error_ = 0;
  unsigned long long pen_failures_ = 0;
  unsigned long pen_logged_error_ = 0;

  // Keyboard lock.
  std::mutex keyboard_mu_;
  std::map<std::pair<uint32_t, uint32_t>, KeyPress> pressed_;  // by (scan code, virtual key) as sent by the tablet
  uint32_t held_modifiers_ = 0;
  uint32_t synthesised_modifiers_ = 0;
  uint32_t synthesised_by_scan_ = 0;

  RateLimiter send_warn_limiter_{kSendWarnIntervalMs};

  std::thread keep_alive_;

  // The touch-injection API serves one injector of the process at a time.
  static inline std::atomic<const InputInjector*> touch_injection_owner_{nullptr};
};

}  // namespace orvane
