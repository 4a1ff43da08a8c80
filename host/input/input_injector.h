#pragma once
// The input injector seam of a tablet session: the events of the tablet's
// input channel, already validated, handed to whatever turns them into PC
// input. The platform injector is not part of the host yet; until then the
// session uses RecordingInputInjector, which keeps the latest events.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <optional>
#include <variant>
#include <vector>

#include "orvane_protocol_v1.pb.h"

namespace orvane {

// Normalised coordinates and pressure lie in 0..1; every float is finite.
struct TouchInput {
  protocol::v1::TouchAction action = protocol::v1::TOUCH_ACTION_DOWN;
  uint32_t pointer_id = 0;
  float x = 0.0f;
  float y = 0.0f;
  float pressure = 0.0f;
};

struct PenInput {
  protocol::v1::PenAction action = protocol::v1::PEN_ACTION_DOWN;
  float x = 0.0f;
  float y = 0.0f;
  float pressure = 0.0f;
  float tilt_x = 0.0f;
  float tilt_y = 0.0f;
  float orientation = 0.0f;
  uint32_t button_state = 0;
  protocol::v1::PenToolType tool_type = protocol::v1::PEN_TOOL_TYPE_PEN;
};

struct KeyInput {
  protocol::v1::KeyAction action = protocol::v1::KEY_ACTION_KEY_DOWN;
  uint32_t key_code = 0;
  uint32_t modifiers = 0;
  uint32_t scan_code = 0;
  bool extended_key = false;
  bool physical_key = false;
};

struct MouseInput {
  protocol::v1::MouseAction action = protocol::v1::MOUSE_ACTION_MOVE;
  protocol::v1::MouseButton button = protocol::v1::MOUSE_BUTTON_NONE;
  float x = 0.0f;
  float y = 0.0f;
};

// Where the tablet's input lands: the captured monitor's rectangle (in
// virtual-desktop pixels; none when enumeration gave no target) and the size
// of the stream the tablet shows.
struct InputMapping {
  bool has_bounds = false;
  int32_t x = 0;
  int32_t y = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t stream_width = 0;
  uint32_t stream_height = 0;
  friend bool operator==(const InputMapping&, const InputMapping&) = default;
};

// Why pen input falls back to something less than a pen.
struct PenDegradation {
  unsigned long error = 0;
  std::string reason;
  bool admin = false;
  bool synthetic_pen = false;
  bool native_touch = false;
};

class IInputInjector {
 public:
  virtual ~IInputInjector() = default;
  virtual void SetMapping(const InputMapping& mapping) = 0;
  // True, with *out filled, when pen input cannot be injected as a pen.
  virtual bool PenDegraded(PenDegradation* out) = 0;
  virtual void InjectTouch(const TouchInput& touch) = 0;
  virtual void InjectPen(const PenInput& pen) = 0;
  virtual void InjectKey(const KeyInput& key) = 0;
  virtual void InjectMouse(const MouseInput& mouse) = 0;
  // Lifts every contact and button still down (the tablet is gone).
  virtual void ReleaseAllContacts() = 0;
};

using RecordedInput = std::variant<TouchInput, PenInput, KeyInput, MouseInput>;

// Keeps the latest events (at most kCapacity) and counts releases.
class RecordingInputInjector final : public IInputInjector {
 public:
  static constexpr size_t kCapacity = 1024;

  void SetMapping(const InputMapping& mapping) override;
  bool PenDegraded(PenDegradation* out) override;
  InputMapping Mapping() const;
  // What PenDegraded reports (tests).
  void SetPenDegradation(std::optional<PenDegradation> degradation);

  void InjectTouch(const TouchInput& touch) override { Record(touch); }
  void InjectPen(const PenInput& pen) override { Record(pen); }
  void InjectKey(const KeyInput& key) override { Record(key); }
  void InjectMouse(const MouseInput& mouse) override { Record(mouse); }
  void ReleaseAllContacts() override;

  std::vector<RecordedInput> Events() const;
  size_t ReleaseCount() const;

 private:
  void Record(RecordedInput event);

  mutable std::mutex mu_;
  std::deque<RecordedInput> events_;
  size_t release_count_ = 0;
  InputMapping mapping_;
  std::optional<PenDegradation> pen_;
};

// Writes the events to the log instead of injecting them: the injector of
// builds that cannot inject (Linux). The first kLoggedEvents events of a
// connection are logged one by one, later ones are counted and summed up
// when the contacts are released.
class LoggingInputInjector final : public IInputInjector {
 public:
  static constexpr uint64_t kLoggedEvents = 64;

  void SetMapping(const InputMapping& mapping) override;
  bool PenDegraded(PenDegradation*) override { return false; }
  void InjectTouch(const TouchInput& touch) override;
  void InjectPen(const PenInput& pen) override;
  void InjectKey(const KeyInput& key) override;
  void InjectMouse(const MouseInput& mouse) override;
  void ReleaseAllContacts() override;

 private:
  bool Counted();
  std::mutex mu_;
  uint64_t events_ = 0;
};

enum class InputDispatchResult {
  kDispatched,
  kNoEvent,    // a valid InputEvent without an event: nothing to do
  kMalformed,  // not an InputEvent, or a value outside its range
};

// Parses one opened input datagram as InputEvent and hands its event to the
// injector. The datagram comes from the network: floats that are not finite
// become 0, normalised coordinates and pressure are clamped to 0..1, and an
// action, button or tool outside its enumeration makes the datagram
// malformed.
InputDispatchResult DispatchInputEvent(const uint8_t* data, size_t length, IInputInjector& injector);

}  // namespace orvane
