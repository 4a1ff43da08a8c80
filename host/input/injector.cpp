#include "host/input/injector.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>

#include "host/common/logger.h"
#include "host/input/pointer_math.h"

namespace orvane {

namespace pb = protocol::v1;

namespace {

constexpr uint32_t kMaxFrameTextChars = 255;

// Modifier bits of KeyInput::modifiers.
constexpr uint32_t kShift = 1;
constexpr uint32_t kControl = 2;
constexpr uint32_t kAlt = 4;
constexpr uint32_t kWindows = 8;
constexpr uint32_t kAllModifiers = kShift | kControl | kAlt | kWindows;
// Synthesised modifiers go down in this order and come up in the reverse.
constexpr uint32_t kPressOrder[] = {kControl, kAlt, kShift, kWindows};
constexpr uint32_t kReleaseOrder[] = {kWindows, kShift, kAlt, kControl};

// Mouse-button bits of the mouse-emulation state.
constexpr uint32_t kLeftButton = 1;
constexpr uint32_t kRightButton = 2;
constexpr uint32_t kMiddleButton = 4;

constexpr uint32_t kContactActive = pointer_flag::kUpdate | pointer_flag::kInRange | pointer_flag::kInContact;
constexpr uint32_t kContactDown = pointer_flag::kDown | pointer_flag::kInRange | pointer_flag::kInContact;
constexpr uint32_t kMouseMove = mouse_flag::kMove | mouse_flag::kVirtualDesk | mouse_flag::kAbsolute;

// Injects nothing: stands in for a missing platform.
class NoInjectionPlatform final : public IInjectionPlatform {
 public:
  bool IsAdministrator() override { return false; }
  bool HasSyntheticPointerApi() override { return false; }
  bool HasTouchInjectionApi() override { return false; }
  bool CreateSyntheticDevice(PointerDeviceKind, uint32_t, unsigned long* error) override { return Fail(error); }
  void DestroySyntheticDevice(PointerDeviceKind) override {}
  bool InitializeTouchInjection(uint32_t, unsigned long* error) override { return Fail(error); }
  bool InjectTouchFrame(TouchRoute, const std::vector<TouchContactFrame>&, unsigned long* error) override {
    return Fail(error);
  }
  bool InjectPenFrame(const PenFrame&, unsigned long* error) override { return Fail(error); }
  bool SendInputs(const std::vector<PlatformInput>&, unsigned long* error) override { return Fail(error); }
  std::vector<InjectionMonitor> Monitors() override { return {}; }
  VirtualScreen GetVirtualScreen() override { return {}; }
  uint32_t VirtualKeyToScanCode(uint32_t) override { return 0; }

 private:
  static bool Fail(unsigned long* error) {
    if (error != nullptr) *error = 120;  // ERROR_CALL_NOT_IMPLEMENTED
    return false;
  }
};

// A failure is logged when it is the 1st, 101st, 201st, ... or its error
// differs from the one logged last.
bool ShouldLogFailure(unsigned long long count, unsigned long error, unsigned long logged_error) {
  return count % 100 == 1 || error != logged_error;
}

const char* ContactStateName(uint32_t flags) {
  if ((flags & pointer_flag::kDown) != 0) return "DOWN";
  if ((flags & pointer_flag::kUp) != 0) return (flags & pointer_flag::kCanceled) != 0 ? "CANCEL" : "UP";
  return "UPDATE";
}

int32_t Offset(int32_t value, int32_t delta) {
  const int64_t v = static_cast<int64_t>(value) + delta;
  return static_cast<int32_t>(
      std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

bool UsableScanCode(uint32_t scan) { return scan >= 1 && scan <= 255; }
bool UsableVirtualKey(uint32_t vk) { return vk >= 1 && vk <= 254; }

// Virtual keys that are sent with the extended flag.
bool ExtendedVirtualKey(uint32_t vk) {
  return (vk >= 33 && vk <= 40) || (vk >= 44 && vk <= 46) || (vk >= 91 && vk <= 93) || vk == 111 || vk == 144 ||
         vk == 163 || vk == 165;
}

uint32_t ModifierOfVirtualKey(uint32_t vk) {
  switch (vk) {
    case 0x10: case 0xA0: case 0xA1: return kShift;
    case 0x11: case 0xA2: case 0xA3: return kControl;
    case 0x12: case 0xA4: case 0xA5: return kAlt;
    case 0x5B: case 0x5C: return kWindows;
    default: return 0;
  }
}

uint32_t ModifierOfScanCode(uint32_t scan, bool extended) {
  if (scan == 0x1D) return kControl;
  if (scan == 0x38) return kAlt;
  if (!extended && (scan == 0x2A || scan == 0x36)) return kShift;
  if (extended && (scan == 0x5B || scan == 0x5C)) return kWindows;
  return 0;
}

uint32_t MouseButtonBit(pb::MouseButton button) {
  switch (button) {
    case pb::MOUSE_BUTTON_LEFT: return kLeftButton;
    case pb::MOUSE_BUTTON_RIGHT: return kRightButton;
    case pb::MOUSE_BUTTON_MIDDLE: return kMiddleButton;
    default: return 0;
  }
}

uint32_t DownFlag(uint32_t button) {
  switch (button) {
    case kLeftButton: return mouse_flag::kLeftDown;
    case kRightButton: return mouse_flag::kRightDown;
    case kMiddleButton: return mouse_flag::kMiddleDown;
    default: return 0;
  }
}

uint32_t UpFlags(uint32_t buttons) {
  uint32_t flags = 0;
  if ((buttons & kLeftButton) != 0) flags |= mouse_flag::kLeftUp;
  if ((buttons & kRightButton) != 0) flags |= mouse_flag::kRightUp;
  if ((buttons & kMiddleButton) != 0) flags |= mouse_flag::kMiddleUp;
  return flags;
}

uint32_t ClampToU32(int64_t value) {
  return static_cast<uint32_t>(std::clamp<int64_t>(value, 0, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

const char* TouchBackendName(TouchBackend backend) {
  switch (backend) {
    case TouchBackend::kSynthetic: return "synthetic";
    case TouchBackend::kLegacy: return "legacy";
    case TouchBackend::kNone: break;
  }
  return "none";
}

InputInjector::InputInjector(std::unique_ptr<IInjectionPlatform> platform, IClock& clock,
                             InputInjectorOptions options)
    : platform_(std::move(platform)), clock_(clock), options_(options) {
  if (platform_ == nullptr) platform_ = std::make_unique<NoInjectionPlatform>();
  ProbeCapabilities();
  {
    std::lock_guard<std::mutex> lock(target_mu_);
    LookupTargetLocked(clock_.NowUs());
  }
  if (options_.keep_alive_thread) keep_alive_ = std::thread([this] { KeepAliveLoop(); });
}

InputInjector::~InputInjector() {
  ReleaseAllKeys();
  ReleaseAllPointers();
  {
    std::lock_guard<std::mutex> lock(pointer_mu_);
    stop_ = true;
  }
  keep_alive_cv_.notify_all();
  if (keep_alive_.joinable()) keep_alive_.join();
  if (caps_.touch_backend == TouchBackend::kSynthetic) platform_->DestroySyntheticDevice(PointerDeviceKind::kTouch);
  if (caps_.synthetic_pen) platform_->DestroySyntheticDevice(PointerDeviceKind::kPen);
  if (touch_owner_) {
    const InputInjector* self = this;
    touch_injection_owner_.compare_exchange_strong(self, nullptr);
    touch_owner_ = false;
  }
}

// ---------------------------------------------------------------------------
// Capabilities

void InputInjector::ProbeCapabilities() {
  caps_.admin = platform_->IsAdministrator();
  ProbeTouch();
  ProbePen();
  LogInfo("[Input] Capability summary touch_backend=%s synthetic_pen=%d admin=%d touch_reason=%s touch_err=%lu "
          "pen_reason=%s pen_err=%lu",
          TouchBackendName(caps_.touch_backend), caps_.synthetic_pen ? 1 : 0, caps_.admin ? 1 : 0,
          caps_.touch_reason.c_str(), caps_.touch_error, caps_.pen_reason.c_str(), caps_.pen_error);
}

void InputInjector::ProbeTouch() {
  if (platform_->HasSyntheticPointerApi()) {
    unsigned long error = 0;
    if (platform_->CreateSyntheticDevice(PointerDeviceKind::kTouch, kMaxTouchContacts, &error)) {
      caps_.touch_backend = TouchBackend::kSynthetic;
      caps_.touch_reason = "ok";
      LogInfo("[Input] Touch injection: synthetic touch device (max_contacts=%u)", kMaxTouchContacts);
      return;
    }
    caps_.touch_error = error;
    LogWarn("[Input] CreateSyntheticPointerDevice(PT_TOUCH) failed (err=%lu), trying InjectTouchInput", error);
  }
  if (!platform_->HasTouchInjectionApi()) {
    caps_.touch_reason = "native_touch_api_unavailable";
    LogWarn("[Input] No touch injection API on this Windows; touch falls back to mouse emulation");
    return;
  }
  const InputInjector* none = nullptr;
  if (!touch_injection_owner_.compare_exchange_strong(none, this)) {
    caps_.touch_reason = "legacy_touch_used_by_another_session";
    LogWarn("[Input] InjectTouchInput is used by another tablet's session; touch falls back to mouse emulation");
    return;
  }
  touch_owner_ = true;
  unsigned long error = 0;
  if (platform_->InitializeTouchInjection(kMaxTouchContacts, &error)) {
    caps_.touch_backend = TouchBackend::kLegacy;
    caps_.touch_reason = "ok";
    LogInfo("[Input] Touch injection: InjectTouchInput (max_contacts=%u)", kMaxTouchContacts);
    return;
  }
  caps_.touch_error = error;
  caps_.touch_reason = "initialize_touch_failed";
  const InputInjector* self = this;
  touch_injection_owner_.compare_exchange_strong(self, nullptr);
  touch_owner_ = false;
  LogWarn("[Input] InitializeTouchInjection failed (err=%lu); touch falls back to mouse emulation", error);
}

void InputInjector::ProbePen() {
  if (!platform_->HasSyntheticPointerApi()) {
    caps_.pen_reason = "synthetic_pen_api_unavailable";
    LogWarn("[Input] Synthetic pen APIs unavailable (Windows 10 1809+ needed); pen falls back to mouse emulation");
    return;
  }
  unsigned long error = 0;
  if (platform_->CreateSyntheticDevice(PointerDeviceKind::kPen, 1, &error)) {
    caps_.synthetic_pen = true;
    caps_.pen_reason = "ok";
    LogInfo("[Input] Pen injection: synthetic pen device (pressure, tilt, hover, eraser, barrel)");
    return;
  }
  caps_.pen_error = error;
  caps_.pen_reason = "create_synthetic_pen_device_failed";
  LogWarn("[Input] CreateSyntheticPointerDevice(PT_PEN) failed (err=%lu); pen falls back to mouse emulation", error);
}

bool InputInjector::PenDegraded(PenDegradation* out) {
  if (caps_.pen_reason == "ok") return false;
  if (out != nullptr) {
    out->error = caps_.pen_error;
    out->reason = caps_.pen_reason;
    out->admin = caps_.admin;
    out->synthetic_pen = caps_.synthetic_pen;
    out->native_touch = caps_.touch_backend != TouchBackend::kNone;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Target

void InputInjector::SetTarget(const std::string& monitor_name, int32_t left, int32_t top, int32_t width,
                              int32_t height, uint32_t stream_width, uint32_t stream_height) {
  std::lock_guard<std::mutex> lock(target_mu_);
  target_name_ = monitor_name;
  target_rect_ = TargetRectFromSize(left, top, width, height);
  content_width_ = width > 0 ? static_cast<uint32_t>(width) : 0;
  content_height_ = height > 0 ? static_cast<uint32_t>(height) : 0;
  stream_width_ = stream_width;
  stream_height_ = stream_height;
  LookupTargetLocked(clock_.NowUs());
}

void InputInjector::SetPrimaryTarget(uint32_t stream_width, uint32_t stream_height) {
  std::lock_guard<std::mutex> lock(target_mu_);
  target_name_.clear();
  target_rect_ = PixelRect{};
  content_width_ = 0;
  content_height_ = 0;
  stream_width_ = stream_width;
  stream_height_ = stream_height;
  LookupTargetLocked(clock_.NowUs());
}

void InputInjector::LookupTargetLocked(int64_t now_us) {
  const std::vector<InjectionMonitor> monitors = platform_->Monitors();
  virtual_screen_ = platform_->GetVirtualScreen();
  target_rect_ = ChooseTargetRect(monitors, target_name_, target_rect_);
  last_lookup_us_ = now_us;
  looked_up_ = true;
  if (target_rect_ != logged_rect_) {
    logged_rect_ = target_rect_;
    constexpr int64_t kMaxSide = std::numeric_limits<int32_t>::max();
    LogInfo("[Input] Injection target monitor=%s bounds=%d,%d %dx%d (physical pixels)",
            target_name_.empty() ? "primary" : target_name_.c_str(), target_rect_.left, target_rect_.top,
            static_cast<int>(std::min(target_rect_.Width(), kMaxSide)),
            static_cast<int>(std::min(target_rect_.Height(), kMaxSide)));
  }
  const uint32_t cw = content_width_ != 0 ? content_width_ : ClampToU32(target_rect_.Width());
  const uint32_t ch = content_height_ != 0 ? content_height_ : ClampToU32(target_rect_.Height());
  mapping_ = ComputeLetterbox(cw, ch, stream_width_, stream_height_);
}

InputInjector::MappedPoint InputInjector::MapPoint(float x, float y) {
  std::lock_guard<std::mutex> lock(target_mu_);
  const int64_t now = clock_.NowUs();
  if (!looked_up_ || now - last_lookup_us_ >= kTargetLookupIntervalUs || now < last_lookup_us_) {
    LookupTargetLocked(now);
  }
  MappedPoint point;
  point.x = MapNormalized(x, mapping_.left_margin, mapping_.width_scale, target_rect_.left, target_rect_.Width());
  point.y = MapNormalized(y, mapping_.top_margin, mapping_.height_scale, target_rect_.top, target_rect_.Height());
  point.dx = ToVirtualDesk(point.x, virtual_screen_.left, virtual_screen_.width);
  point.dy = ToVirtualDesk(point.y, virtual_screen_.top, virtual_screen_.height);
  return point;
}

// ---------------------------------------------------------------------------
// Touch

InputInjector::Contact* InputInjector::FindContact(uint32_t pointer_id) {
  for (Contact& c : contacts_) {
    if (c.pointer_id == pointer_id) return &c;
  }
  return nullptr;
}

void InputInjector::InjectTouch(const TouchInput& touch) {
  std::lock_guard<std::mutex> lock(pointer_mu_);
  const MappedPoint point = MapPoint(touch.x, touch.y);
  const bool touching = touch.action == pb::TOUCH_ACTION_DOWN || touch.action == pb::TOUCH_ACTION_MOVE;
  const bool lifting = touch.action == pb::TOUCH_ACTION_UP || touch.action == pb::TOUCH_ACTION_CANCEL;
  if (!touching && !lifting) return;
  Contact* contact = FindContact(touch.pointer_id);
  if (touching && contact == nullptr && (pen_.in_contact || pen_buttons_ != 0)) return;

  if (caps_.touch_backend == TouchBackend::kNone) {
    EmulateTouchLocked(touch.action, point);
    return;
  }

  const uint32_t pressure = PressureUnits(touch.pressure, touching);
  for (Contact& c : contacts_) c.flags = kContactActive;
  if (touching) {
    if (contact != nullptr) {
      contact->x = point.x;
      contact->y = point.y;
      contact->pressure = pressure;
    } else {
      if (contacts_.size() >= kMaxTouchContacts) return;
      // Contacts are ordered by id: the first gap is the smallest free id.
      uint32_t id = 0;
      auto pos = contacts_.begin();
      while (pos != contacts_.end() && pos->contact_id == id) {
        ++pos;
        ++id;
      }
      contacts_.insert(pos, Contact{touch.pointer_id, id, point.x, point.y, pressure, kContactDown});
    }
    SendTouchFrameLocked();
  } else {
    if (contact == nullptr) return;
    if (touch.action == pb::TOUCH_ACTION_UP && (contact->x != point.x || contact->y != point.y)) {
      contact->x = point.x;
      contact->y = point.y;
      if (!SendTouchFrameLocked()) return;  // the contacts are gone
      contact = FindContact(touch.pointer_id);
      if (contact == nullptr) return;
    }
    contact->flags = touch.action == pb::TOUCH_ACTION_CANCEL ? (pointer_flag::kUp | pointer_flag::kCanceled)
                                                             : pointer_flag::kUp;
    const uint32_t pointer_id = touch.pointer_id;
    SendTouchFrameLocked();
    contacts_.erase(std::remove_if(contacts_.begin(), contacts_.end(),
                                   [pointer_id](const Contact& c) { return c.pointer_id == pointer_id; }),
                    contacts_.end());
  }
  if (PointerActiveLocked()) keep_alive_cv_.notify_one();
}

bool InputInjector::SendTouchFrameLocked() {
  if (contacts_.empty()) return true;
  std::vector<TouchContactFrame> frame;
  frame.reserve(contacts_.size());
  for (const Contact& c : contacts_) {
    TouchContactFrame f;
    f.contact_id = c.contact_id;
    f.x = c.x;
    f.y = c.y;
    f.pointer_flags = c.flags;
    f.left = Offset(c.x, -2);
    f.top = Offset(c.y, -2);
    f.right = Offset(c.x, 2);
    f.bottom = Offset(c.y, 2);
    f.orientation = 90;
    f.pressure = c.pressure;
    f.touch_mask = touch_mask::kContactArea | touch_mask::kOrientation | touch_mask::kPressure;
    frame.push_back(f);
  }
  const TouchRoute route =
      caps_.touch_backend == TouchBackend::kSynthetic ? TouchRoute::kSyntheticDevice : TouchRoute::kTouchInjection;
  unsigned long error = 0;
  const bool ok = platform_->InjectTouchFrame(route, frame, &error);
  last_touch_injection_us_ = clock_.NowUs();
  if (ok) {
    // What went down is now simply in contact.
    for (Contact& c : contacts_) {
      if ((c.flags & pointer_flag::kDown) != 0) c.flags = kContactActive;
    }
    return true;
  }
  ReportTouchFailure(frame, error);
  contacts_.clear();
  return false;
}

void InputInjector::ReportTouchFailure(const std::vector<TouchContactFrame>& frame, unsigned long error) {
  ++touch_failures_;
  if (!ShouldLogFailure(touch_failures_, error, touch_logged_error_)) return;
  touch_logged_error_ = error;
  std::string text;
  for (const TouchContactFrame& f : frame) {
    char part[64];
    const int n = std::snprintf(part, sizeof(part), " %u:%s@%d,%d", f.contact_id, ContactStateName(f.pointer_flags),
                                f.x, f.y);
    if (n > 0) text.append(part, std::min<size_t>(static_cast<size_t>(n), sizeof(part) - 1));
    if (text.size() >= kMaxFrameTextChars) break;
  }
  if (text.size() > kMaxFrameTextChars) text.resize(kMaxFrameTextChars);
  LogWarn("[Input] Touch injection rejected (backend=%s err=%lu failures=%llu) frame:%s",
          TouchBackendName(caps_.touch_backend), error, touch_failures_, text.c_str());
}

void InputInjector::EmulateTouchLocked(pb::TouchAction action, const MappedPoint& point) {
  switch (action) {
    case pb::TOUCH_ACTION_DOWN:
      if (!touch_left_held_) {
        touch_left_held_ = true;
        SendMouseLocked(kMouseMove | mouse_flag::kLeftDown, point);
      } else {
        SendMouseLocked(kMouseMove, point);
      }
      break;
    case pb::TOUCH_ACTION_MOVE:
      if (touch_left_held_) SendMouseLocked(kMouseMove, point);
      break;
    case pb::TOUCH_ACTION_UP:
    case pb::TOUCH_ACTION_CANCEL:
      if (touch_left_held_) {
        touch_left_held_ = false;
        SendMouseLocked(kMouseMove | mouse_flag::kLeftUp, point);
      }
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// Pen

void InputInjector::InjectPen(const PenInput& pen) {
  std::lock_guard<std::mutex> lock(pointer_mu_);
  const MappedPoint point = MapPoint(pen.x, pen.y);
  const pb::PenAction action = pen.action;
  const bool touching = action == pb::PEN_ACTION_DOWN || action == pb::PEN_ACTION_MOVE;
  const bool hovering = action == pb::PEN_ACTION_HOVER_ENTER || action == pb::PEN_ACTION_HOVER_MOVE;
  const bool leaving = action == pb::PEN_ACTION_UP || action == pb::PEN_ACTION_HOVER_EXIT;
  if (!touching && !hovering && !leaving) return;

  PenSample sample;
  sample.x = point.x;
  sample.y = point.y;
  sample.pressure = PressureUnits(pen.pressure, touching);
  sample.tilt_x = TiltDegrees(pen.tilt_x);
  sample.tilt_y = TiltDegrees(pen.tilt_y);
  sample.rotation = RotationDegrees(pen.orientation);
  sample.barrel = BarrelPressed(pen.button_state);
  sample.eraser = pen.tool_type == pb::PEN_TOOL_TYPE_ERASER;

  if (!caps_.synthetic_pen) {
    EmulatePenLocked(action, sample.barrel || sample.eraser, point);
    return;
  }

  // Every pen event but a hover exit shows that the pen is still there.
  if (action != pb::PEN_ACTION_HOVER_EXIT) pen_.leave_pending = false;
  if (leaving) {
    // A pen on its way out leaves as the tool it came as.
    if (pen_.in_range) sample.eraser = pen_.last.eraser;
  } else if (pen_.in_range && pen_.last.eraser != sample.eraser) {
    // The other end of the pen: the old tool leaves before the new one comes.
    if (!EndPenActivityLocked()) return;
  }

  constexpr uint32_t kHover = pointer_flag::kUpdate | pointer_flag::kInRange;
  switch (action) {
    case pb::PEN_ACTION_DOWN:
    case pb::PEN_ACTION_MOVE:
      if (pen_.in_contact) {
        SendPenLocked(sample, kContactActive);
        break;
      }
      if (!pen_.in_range) {
        if (!SendPenLocked(sample, kHover)) break;
        pen_.in_range = true;
      }
      if (!SendPenLocked(sample, kContactDown)) break;
      pen_.in_contact = true;
      break;
    case pb::PEN_ACTION_UP:
      if (pen_.in_contact) {
        if (sample.x != pen_.last.x || sample.y != pen_.last.y) {
          PenSample moved = sample;
          moved.pressure = pen_.last.pressure;
          if (!SendPenLocked(moved, kContactActive)) break;
        }
        pen_.in_contact = false;
        SendPenLocked(sample, pointer_flag::kUp | pointer_flag::kInRange);
      } else if (pen_.in_range) {
        SendPenLocked(sample, kHover);
      }
      break;
    case pb::PEN_ACTION_HOVER_ENTER:
    case pb::PEN_ACTION_HOVER_MOVE:
      if (pen_.in_contact && !LiftPenLocked()) break;
      pen_.in_range = true;
      SendPenLocked(sample, kHover);
      break;
    case pb::PEN_ACTION_HOVER_EXIT:
      if (pen_.in_contact && !LiftPenLocked()) break;
      pen_.leave_pending = pen_.in_range;
      pen_.leave_deadline_us = clock_.NowUs() + kPenLeaveDelayUs;
      break;
    default:
      break;
  }
  if (PointerActiveLocked()) keep_alive_cv_.notify_one();
}

bool InputInjector::SendPenLocked(const PenSample& sample, uint32_t pointer_flags) {
  const bool contact = (pointer_flags & pointer_flag::kInContact) != 0;
  PenFrame frame;
  frame.x = sample.x;
  frame.y = sample.y;
  frame.pointer_flags = pointer_flags;
  if (sample.barrel) frame.pen_flags |= pen_flag::kBarrel;
  if (sample.eraser) frame.pen_flags |= contact ? (pen_flag::kInverted | pen_flag::kEraser) : pen_flag::kInverted;
  frame.pen_mask = pen_mask::kPressure | pen_mask::kRotation | pen_mask::kTiltX | pen_mask::kTiltY;
  frame.pressure = contact ? std::max<uint32_t>(sample.pressure, 1) : 0;
  frame.rotation = sample.rotation;
  frame.tilt_x = sample.tilt_x;
  frame.tilt_y = sample.tilt_y;
  unsigned long error = 0;
  const bool ok = platform_->InjectPenFrame(frame, &error);
  pen_.last = sample;
  pen_.last_injection_us = clock_.NowUs();
  if (ok) return true;
  ++pen_failures_;
  if (ShouldLogFailure(pen_failures_, error, pen_logged_error_)) {
    pen_logged_error_ = error;
    LogWarn("[Input] Pen injection rejected (err=%lu failures=%llu) flags=0x%08X pen_flags=0x%X at=%d,%d", error,
            pen_failures_, frame.pointer_flags, frame.pen_flags, frame.x, frame.y);
  }
  pen_.in_range = false;
  pen_.in_contact = false;
  pen_.leave_pending = false;
  return false;
}

bool InputInjector::LiftPenLocked() {
  pen_.in_contact = false;
  return SendPenLocked(pen_.last, pointer_flag::kUp | pointer_flag::kInRange);
}

bool InputInjector::EndPenActivityLocked() {
  pen_.leave_pending = false;
  if (pen_.in_contact && !LiftPenLocked()) return false;
  if (!pen_.in_range) return true;
  pen_.in_range = false;
  return SendPenLocked(pen_.last, pointer_flag::kUpdate);
}

void InputInjector::EmulatePenLocked(pb::PenAction action, bool alternate, const MappedPoint& point) {
  const uint32_t button = alternate ? kRightButton : kLeftButton;
  switch (action) {
    case pb::PEN_ACTION_DOWN:
      if (pen_buttons_ == 0) {
        pen_buttons_ = button;
        SendMouseLocked(kMouseMove | DownFlag(button), point);
      } else {
        SendMouseLocked(kMouseMove, point);
      }
      break;
    case pb::PEN_ACTION_UP:
    case pb::PEN_ACTION_HOVER_EXIT: {
      if (action == pb::PEN_ACTION_HOVER_EXIT && pen_buttons_ == 0) break;
      const uint32_t flags = kMouseMove | UpFlags(pen_buttons_);
      pen_buttons_ = 0;
      SendMouseLocked(flags, point);
      break;
    }
    default:
      SendMouseLocked(kMouseMove, point);
      break;
  }
}

// ---------------------------------------------------------------------------
// Mouse

void InputInjector::InjectMouse(const MouseInput& mouse) {
  std::lock_guard<std::mutex> lock(pointer_mu_);
  const MappedPoint point = MapPoint(mouse.x, mouse.y);
  const uint32_t button = MouseButtonBit(mouse.button);
  switch (mouse.action) {
    case pb::MOUSE_ACTION_MOVE:
      SendMouseLocked(kMouseMove, point);
      break;
    case pb::MOUSE_ACTION_DOWN:
      if (button == 0 || (mouse_buttons_ & button) != 0) break;
      // A click takes over from the pen: it must not land inside a stroke.
      if (caps_.synthetic_pen) EndPenActivityLocked();
      mouse_buttons_ |= button;
      SendMouseLocked(kMouseMove | DownFlag(button), point);
      break;
    case pb::MOUSE_ACTION_UP:
      if (button == 0 || (mouse_buttons_ & button) == 0) break;
      mouse_buttons_ &= ~button;
      SendMouseLocked(kMouseMove | UpFlags(button), point);
      break;
    default:
      break;
  }
}

void InputInjector::SendMouseLocked(uint32_t flags, const MappedPoint& point) {
  PlatformInput input;
  input.kind = PlatformInput::Kind::kMouse;
  input.dx = point.dx;
  input.dy = point.dy;
  input.mouse_flags = flags;
  SendInputsChecked({input}, "mouse");
}

void InputInjector::SendInputsChecked(const std::vector<PlatformInput>& inputs, const char* what) {
  if (inputs.empty()) return;
  unsigned long error = 0;
  if (platform_->SendInputs(inputs, &error)) return;
  uint64_t suppressed = 0;
  if (send_warn_limiter_.Allow(clock_.TickMs(), &suppressed)) {
    LogWarn("[Input] SendInput rejected %zu %s input(s) (err=%lu, %llu earlier failures not logged)", inputs.size(),
            what, error, static_cast<unsigned long long>(suppressed));
  }
}

// ---------------------------------------------------------------------------
// Keyboard

PlatformInput InputInjector::KeyEvent(const KeyStroke& stroke, bool up) {
  PlatformInput input;
  input.kind = PlatformInput::Kind::kKey;
  if (stroke.scan_code != 0) {
    input.scan_code = stroke.scan_code;
    input.key_flags = key_flag::kScanCode;
  } else {
    input.virtual_key = stroke.virtual_key;
  }
  if (stroke.extended) input.key_flags |= key_flag::kExtendedKey;
  if (up) input.key_flags |= key_flag::kKeyUp;
  return input;
}

InputInjector::KeyStroke InputInjector::SynthesisedModifier(uint32_t bit, bool by_scan_code) const {
  KeyStroke stroke;
  switch (bit) {
    case kControl:
      if (by_scan_code) stroke.scan_code = 0x1D; else stroke.virtual_key = 0x11;
      break;
    case kAlt:
      if (by_scan_code) stroke.scan_code = 0x38; else stroke.virtual_key = 0x12;
      break;
    case kShift:
      if (by_scan_code) stroke.scan_code = 0x2A; else stroke.virtual_key = 0x10;
      break;
    default:  // the left Windows key
      if (by_scan_code) stroke.scan_code = 0x5B; else stroke.virtual_key = 0x5B;
      stroke.extended = true;
      break;
  }
  return stroke;
}

void InputInjector::InjectKey(const KeyInput& key) {
  const bool down = key.action == pb::KEY_ACTION_KEY_DOWN;
  const bool up = key.action == pb::KEY_ACTION_KEY_UP;
  if (!down && !up) return;
  const uint32_t scan_in = UsableScanCode(key.scan_code) ? key.scan_code : 0;
  const uint32_t vk = UsableVirtualKey(key.key_code) ? key.key_code : 0;
  if (scan_in == 0 && vk == 0) return;

  std::lock_guard<std::mutex> lock(keyboard_mu_);
  const std::pair<uint32_t, uint32_t> id{scan_in, vk};
  KeyStroke stroke;
  const auto it = pressed_.find(id);
  const bool remembered = it != pressed_.end();
  if (remembered) {
    // Repeats and the release go out as the press did, whatever the layout
    // is now.
    stroke = it->second.stroke;
    if (up) pressed_.erase(it);
  } else if (scan_in != 0) {
    uint32_t scan = scan_in;
    bool extended = key.extended_key;
    if (vk != 0 && !key.physical_key) {
      const uint32_t mapped = platform_->VirtualKeyToScanCode(vk);
      if (mapped != 0) {
        const uint32_t prefix = (mapped >> 8) & 0xFF;
        scan = mapped & 0xFF;
        extended = prefix == 0xE0 || prefix == 0xE1 || ExtendedVirtualKey(vk);
      }
    }
    if (scan == 0) return;
    stroke.scan_code = static_cast<uint16_t>(scan);
    stroke.extended = extended;
  } else {
    stroke.virtual_key = static_cast<uint16_t>(vk);
    stroke.extended = ExtendedVirtualKey(vk);
  }

  uint32_t modifier = ModifierOfVirtualKey(vk);
  if (modifier == 0 && stroke.scan_code != 0) modifier = ModifierOfScanCode(stroke.scan_code, stroke.extended);

  std::vector<PlatformInput> batch;
  if (modifier != 0) {
    if (down) {
      // The tablet's own press takes over a synthesised one.
      held_modifiers_ |= modifier;
      synthesised_modifiers_ &= ~modifier;
      synthesised_by_scan_ &= ~modifier;
    } else {
      held_modifiers_ &= ~modifier;
    }
    batch.push_back(KeyEvent(stroke, up));
  } else if (down) {
    const uint32_t requested = key.modifiers & kAllModifiers;
    for (const uint32_t bit : kReleaseOrder) {
      if ((synthesised_modifiers_ & bit) == 0 || (requested & bit) != 0) continue;
      batch.push_back(KeyEvent(SynthesisedModifier(bit, (synthesised_by_scan_ & bit) != 0), true));
      synthesised_modifiers_ &= ~bit;
      synthesised_by_scan_ &= ~bit;
    }
    const bool by_scan = stroke.scan_code != 0;
    for (const uint32_t bit : kPressOrder) {
      if ((requested & bit) == 0 || ((held_modifiers_ | synthesised_modifiers_) & bit) != 0) continue;
      batch.push_back(KeyEvent(SynthesisedModifier(bit, by_scan), false));
      synthesised_modifiers_ |= bit;
      if (by_scan) synthesised_by_scan_ |= bit;
    }
    batch.push_back(KeyEvent(stroke, false));
  } else {
    batch.push_back(KeyEvent(stroke, true));
    for (const uint32_t bit : kReleaseOrder) {
      if ((synthesised_modifiers_ & bit) == 0) continue;
      batch.push_back(KeyEvent(SynthesisedModifier(bit, (synthesised_by_scan_ & bit) != 0), true));
    }
    synthesised_modifiers_ = 0;
    synthesised_by_scan_ = 0;
  }
  if (down && !remembered && pressed_.size() < kMaxRememberedKeys) pressed_.emplace(id, KeyPress{stroke, modifier});
  SendInputsChecked(batch, "key");
}

void InputInjector::ReleaseAllKeys() {
  std::lock_guard<std::mutex> lock(keyboard_mu_);
  std::vector<PlatformInput> batch;
  for (const auto& [id, press] : pressed_) {
    if (press.modifier == 0) batch.push_back(KeyEvent(press.stroke, true));
  }
  uint32_t released = 0;
  for (const auto& [id, press] : pressed_) {
    if (press.modifier == 0) continue;
    batch.push_back(KeyEvent(press.stroke, true));
    released |= press.modifier;
  }
  for (const uint32_t bit : kReleaseOrder) {
    if ((held_modifiers_ & bit) != 0 && (released & bit) == 0) {
      batch.push_back(KeyEvent(SynthesisedModifier(bit, false), true));
    }
  }
  for (const uint32_t bit : kReleaseOrder) {
    if ((synthesised_modifiers_ & bit) != 0) {
      batch.push_back(KeyEvent(SynthesisedModifier(bit, (synthesised_by_scan_ & bit) != 0), true));
    }
  }
  pressed_.clear();
  held_modifiers_ = 0;
  synthesised_modifiers_ = 0;
  synthesised_by_scan_ = 0;
  SendInputsChecked(batch, "key");
}

// ---------------------------------------------------------------------------
// Release and keep-alive

void InputInjector::ReleaseAllPointers() {
  std::lock_guard<std::mutex> lock(pointer_mu_);
  if (!contacts_.empty()) {
    for (Contact& c : contacts_) c.flags = pointer_flag::kUp | pointer_flag::kCanceled;
    SendTouchFrameLocked();
    contacts_.clear();
  }
  if (caps_.synthetic_pen) EndPenActivityLocked();
  pen_.in_range = false;
  pen_.in_contact = false;
  pen_.leave_pending = false;
  const uint32_t held = (touch_left_held_ ? kLeftButton : 0) | pen_buttons_ | mouse_buttons_;
  touch_left_held_ = false;
  pen_buttons_ = 0;
  mouse_buttons_ = 0;
  if (held != 0) {
    // Button releases only: the pointer stays where it is.
    PlatformInput input;
    input.kind = PlatformInput::Kind::kMouse;
    input.mouse_flags = UpFlags(held);
    SendInputsChecked({input}, "mouse");
  }
}

bool InputInjector::PointerActiveLocked() const {
  return !contacts_.empty() || pen_.in_range || pen_.in_contact || pen_.leave_pending;
}

void InputInjector::KeepAliveTick() {
  std::lock_guard<std::mutex> lock(pointer_mu_);
  KeepAliveTickLocked(clock_.NowUs());
}

void InputInjector::KeepAliveTickLocked(int64_t now_us) {
  if (caps_.touch_backend != TouchBackend::kNone && !contacts_.empty() &&
      now_us - last_touch_injection_us_ > kTouchIdleUs) {
    for (Contact& c : contacts_) c.flags = kContactActive;
    SendTouchFrameLocked();
  }
  if (!caps_.synthetic_pen) return;
  if (pen_.leave_pending) {
    if (now_us >= pen_.leave_deadline_us) {
      pen_.leave_pending = false;
      pen_.in_range = false;
      SendPenLocked(pen_.last, pointer_flag::kUpdate);
    }
  } else if (pen_.in_range && now_us - pen_.last_injection_us >= kPenIdleUs) {
    SendPenLocked(pen_.last, pen_.in_contact ? kContactActive : (pointer_flag::kUpdate | pointer_flag::kInRange));
  }
}

void InputInjector::KeepAliveLoop() {
  std::unique_lock<std::mutex> lock(pointer_mu_);
  while (!stop_) {
    if (!PointerActiveLocked()) {
      keep_alive_cv_.wait(lock, [this] { return stop_ || PointerActiveLocked(); });
      continue;
    }
    if (keep_alive_cv_.wait_for(lock, std::chrono::milliseconds(kKeepAliveWakeMs), [this] { return stop_; })) break;
    KeepAliveTickLocked(clock_.NowUs());
  }
}

}  // namespace orvane
