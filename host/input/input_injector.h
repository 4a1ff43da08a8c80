#pragma once
// The input injector seam of a tablet session: the events of the tablet's
// input channel, already validated, handed to whatever turns them into PC
// input (InputInjector over the machine's injection facilities; the
// recording and logging stand-ins below for tests and for machines without
// them).

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

// Where the tablet's input lands, as the session last set it: a monitor by
// its device name and rectangle (virtual-desktop pixels), or the primary
// monitor; and the size of the stream the tablet shows.
struct InputTarget {
  bool primary = true;
  std::string monitor_name;
  int32_t left = 0;
  int32_t top = 0;
  int32_t width = 0;
  int32_t height = 0;
  uint32_t stream_width = 0;
  uint32_t stream_height = 0;
  friend bool operator==(const InputTarget&, const InputTarget&) = default;
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
  // The monitor the stream shows; both recompute the mapping at once.
  virtual void SetTarget(const std::string& monitor_name, int32_t left, int32_t top, int32_t width, int32_t height,
                         uint32_t stream_width, uint32_t stream_height) = 0;
  virtual void SetPrimaryTarget(uint32_t stream_width, uint32_t stream_height) = 0;
  // True, with *out filled, when pen input cannot be injected as a pen.
  virtual bool PenDegraded(PenDegradation* out) = 0;
  virtual void InjectTouch(const TouchInput& touch) = 0;
  virtual void InjectPen(const PenInput& pen) = 0;
  virtual void InjectKey(const KeyInput& key) = 0;
  virtual void InjectMouse(const MouseInput& mouse) = 0;
  // Releases every key still down, synthesised modifiers included.
  virtual void ReleaseAllKeys() = 0;
  // Lifts every contact, the pen and every button still down.
  virtual void ReleaseAllPointers() = 0;
};

using RecordedInput = std::variant<TouchInput, PenInput, KeyInput, MouseInput>;

// Keeps the latest events (at most kCapacity) and counts releases.
class RecordingInputInjector final : public IInputInjector {
 public:
  static constexpr size_t kCapacity = 1024;

  void SetTarget(const std::string& monitor_name, int32_t left, int32_t top, int32_t width, int32_t height,
                 uint32_t stream_width, uint32_t stream_height) override;
  void SetPrimaryTarget(uint32_t stream_width, uint32_t stream_height) override;
  bool PenDegraded(PenDegradation* out) override;
  InputTarget Target() const;
  // What PenDegraded reports (tests).
  void SetPenDegradation(std::optional<PenDegradation> degradation);

  void InjectTouch(const TouchInput& touch) override { Record(touch); }
  void InjectPen(const PenInput& pen) override { Record(pen); }
  void InjectKey(const KeyInput& key) override { Record(key); }
  void InjectMouse(const MouseInput& mouse) override { Record(mouse); }
  void ReleaseAllKeys() override;
  void ReleaseAllPointers() override;

  std::vector<RecordedInput> Events() const;
  size_t KeyReleaseCount() const;
  size_t PointerReleaseCount() const;

 private:
  void Record(RecordedInput event);

  mutable std::mutex mu_;
  std::deque<RecordedInput> events_;
  size_t key_releases_ = 0;
  size_t pointer_releases_ = 0;
  InputTarget target_;
  std::optional<PenDegradation> pen_;
};

// Writes the events to the log instead of injecting them: the injector of
// builds that cannot inject (Linux). The first kLoggedEvents events of a
// connection are logged one by one, later ones are counted and summed up
// when the pointers are released.
class LoggingInputInjector final : public IInputInjector {
 public:
  static constexpr uint64_t kLoggedEvents = 64;

  void SetTarget(const std::string& monitor_name, int32_t left, int32_t top, int32_t width, int32_t height,
                 uint32_t stream_width, uint32_t stream_height) override;
  void SetPrimaryTarget(uint32_t stream_width, uint32_t stream_height) override;
  bool PenDegraded(PenDegradation*) override { return false; }
  void InjectTouch(const TouchInput& touch) override;
  void InjectPen(const PenInput& pen) override;
  void InjectKey(const KeyInput& key) override;
  void InjectMouse(const MouseInput& mouse) override;
  void ReleaseAllKeys() override {}
  void ReleaseAllPointers() override;

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
