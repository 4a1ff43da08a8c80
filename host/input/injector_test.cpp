#include "host/input/injector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "host/common/clock.h"
#include "host/input/testing/recording_injection_platform.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

namespace pb = protocol::v1;
using testing::InjectionPlatformRecorder;
using testing::LogCapture;
using testing::RecordedTouchFrame;
using testing::RecordingInjectionPlatform;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kPi = std::numbers::pi_v<float>;

constexpr uint32_t kHover = pointer_flag::kUpdate | pointer_flag::kInRange;
constexpr uint32_t kContactDown = pointer_flag::kDown | pointer_flag::kInRange | pointer_flag::kInContact;
constexpr uint32_t kContactUpdate = pointer_flag::kUpdate | pointer_flag::kInRange | pointer_flag::kInContact;
constexpr uint32_t kLift = pointer_flag::kUp | pointer_flag::kInRange;
constexpr uint32_t kOutOfRange = pointer_flag::kUpdate;
constexpr uint32_t kMouseMove = mouse_flag::kMove | mouse_flag::kVirtualDesk | mouse_flag::kAbsolute;

TouchInput Touch(pb::TouchAction action, uint32_t id, float x = 0.5f, float y = 0.5f, float pressure = 0.5f) {
  TouchInput t;
  t.action = action;
  t.pointer_id = id;
  t.x = x;
  t.y = y;
  t.pressure = pressure;
  return t;
}

PenInput Pen(pb::PenAction action, float x = 0.5f, float y = 0.5f, float pressure = 0.5f) {
  PenInput p;
  p.action = action;
  p.x = x;
  p.y = y;
  p.pressure = pressure;
  return p;
}

PenInput Eraser(pb::PenAction action, float x = 0.5f, float y = 0.5f) {
  PenInput p = Pen(action, x, y);
  p.tool_type = pb::PEN_TOOL_TYPE_ERASER;
  return p;
}

KeyInput Key(pb::KeyAction action, uint32_t vk, uint32_t scan = 0, uint32_t modifiers = 0, bool physical = false,
             bool extended = false) {
  KeyInput k;
  k.action = action;
  k.key_code = vk;
  k.scan_code = scan;
  k.modifiers = modifiers;
  k.physical_key = physical;
  k.extended_key = extended;
  return k;
}
constexpr pb::KeyAction kDown = pb::KEY_ACTION_KEY_DOWN;
constexpr pb::KeyAction kUp = pb::KEY_ACTION_KEY_UP;

MouseInput Mouse(pb::MouseAction action, pb::MouseButton button, float x = 0.5f, float y = 0.5f) {
  MouseInput m;
  m.action = action;
  m.button = button;
  m.x = x;
  m.y = y;
  return m;
}

// "vk65 down", "sc2A ext up"; mouse inputs as "mouse 0x8003 @dx,dy".
std::string Describe(const PlatformInput& in) {
  char text[64];
  if (in.kind == PlatformInput::Kind::kMouse) {
    std::snprintf(text, sizeof(text), "mouse 0x%X @%d,%d", static_cast<unsigned>(in.mouse_flags),
                  static_cast<int>(in.dx), static_cast<int>(in.dy));
    return text;
  }
  const bool up = (in.key_flags & key_flag::kKeyUp) != 0;
  const bool ext = (in.key_flags & key_flag::kExtendedKey) != 0;
  if ((in.key_flags & key_flag::kScanCode) != 0) {
    std::snprintf(text, sizeof(text), "sc%02X%s %s", static_cast<unsigned>(in.scan_code), ext ? " ext" : "",
                  up ? "up" : "down");
  } else {
    std::snprintf(text, sizeof(text), "vk%u%s %s", static_cast<unsigned>(in.virtual_key), ext ? " ext" : "",
                  up ? "up" : "down");
  }
  return text;
}

std::string Describe(const std::vector<PlatformInput>& batch) {
  std::string text;
  for (const PlatformInput& in : batch) {
    if (!text.empty()) text += ", ";
    text += Describe(in);
  }
  return text;
}

std::vector<std::string> DescribeBatches(const InjectionPlatformRecorder& rec) {
  std::vector<std::string> out;
  for (const auto& batch : rec.Batches()) out.push_back(Describe(batch));
  return out;
}

// "id:STATE@x,y ..." of one touch frame.
std::string Describe(const RecordedTouchFrame& frame) {
  std::string text;
  for (const TouchContactFrame& c : frame.contacts) {
    const char* state = "?";
    if (c.pointer_flags == kContactDown) state = "DOWN";
    if (c.pointer_flags == kContactUpdate) state = "UPDATE";
    if (c.pointer_flags == pointer_flag::kUp) state = "UP";
    if (c.pointer_flags == (pointer_flag::kUp | pointer_flag::kCanceled)) state = "CANCEL";
    if (!text.empty()) text += " ";
    text += std::to_string(c.contact_id) + ":" + state + "@" + std::to_string(c.x) + "," + std::to_string(c.y);
  }
  return text;
}

std::vector<std::string> DescribeTouch(const InjectionPlatformRecorder& rec) {
  std::vector<std::string> out;
  for (const auto& frame : rec.TouchFrames()) out.push_back(Describe(frame));
  return out;
}

// Pointer and pen flags of each pen frame.
std::vector<std::pair<uint32_t, uint32_t>> PenFlags(const InjectionPlatformRecorder& rec) {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (const PenFrame& f : rec.PenFrames()) out.emplace_back(f.pointer_flags, f.pen_flags);
  return out;
}

bool HasLine(const LogCapture& log, const std::string& line) {
  for (const std::string& l : log.Lines()) {
    if (l == line) return true;
  }
  return false;
}

class InjectorTest : public ::testing::Test {
 protected:
  std::unique_ptr<InputInjector> Make() {
    return std::make_unique<InputInjector>(std::make_unique<RecordingInjectionPlatform>(rec_), clock_,
                                           InputInjectorOptions{false});
  }
  // Mouse emulation for touch and pen: neither API exists.
  std::unique_ptr<InputInjector> MakeEmulating() {
    rec_->SetSyntheticPointerApi(false);
    rec_->SetTouchInjectionApi(false);
    return Make();
  }

  std::shared_ptr<InjectionPlatformRecorder> rec_ = std::make_shared<InjectionPlatformRecorder>();
  ManualClock clock_;
};

// ---------------------------------------------------------------------------
// Capabilities

TEST_F(InjectorTest, CapabilityProbeLadder) {
  struct Case {
    const char* what;
    bool admin, synthetic_api, touch_api, create_touch_ok, create_pen_ok, initialize_ok;
    TouchBackend backend;
    std::vector<std::string> lines;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"synthetic devices",
       false, true, true, true, true, true, TouchBackend::kSynthetic,
       {"[INFO ] [Input] Touch injection: synthetic touch device (max_contacts=10)",
        "[INFO ] [Input] Pen injection: synthetic pen device (pressure, tilt, hover, eraser, barrel)",
        "[INFO ] [Input] Capability summary touch_backend=synthetic synthetic_pen=1 admin=0 touch_reason=ok "
        "touch_err=0 pen_reason=ok pen_err=0"},
       {"create touch 10", "create pen 1", "destroy touch", "destroy pen"}},
      {"synthetic touch fails: the touch-injection API",
       true, true, true, false, true, true, TouchBackend::kLegacy,
       {"[WARN ] [Input] CreateSyntheticPointerDevice(PT_TOUCH) failed (err=87), trying InjectTouchInput",
        "[INFO ] [Input] Touch injection: InjectTouchInput (max_contacts=10)",
        "[INFO ] [Input] Capability summary touch_backend=legacy synthetic_pen=1 admin=1 touch_reason=ok "
        "touch_err=87 pen_reason=ok pen_err=0"},
       {"create touch 10", "initialize 10", "create pen 1", "destroy pen"}},
      {"synthetic touch fails and no touch-injection API",
       false, true, false, false, true, true, TouchBackend::kNone,
       {"[WARN ] [Input] No touch injection API on this Windows; touch falls back to mouse emulation",
        "[INFO ] [Input] Capability summary touch_backend=none synthetic_pen=1 admin=0 "
        "touch_reason=native_touch_api_unavailable touch_err=87 pen_reason=ok pen_err=0"},
       {"create touch 10", "create pen 1", "destroy pen"}},
      {"no synthetic pointer API",
       false, false, true, true, true, true, TouchBackend::kLegacy,
       {"[WARN ] [Input] Synthetic pen APIs unavailable (Windows 10 1809+ needed); pen falls back to mouse emulation",
        "[INFO ] [Input] Capability summary touch_backend=legacy synthetic_pen=0 admin=0 touch_reason=ok touch_err=0 "
        "pen_reason=synthetic_pen_api_unavailable pen_err=0"},
       {"initialize 10"}},
      {"touch initialisation fails",
       false, false, true, true, true, false, TouchBackend::kNone,
       {"[WARN ] [Input] InitializeTouchInjection failed (err=5); touch falls back to mouse emulation",
        "[INFO ] [Input] Capability summary touch_backend=none synthetic_pen=0 admin=0 "
        "touch_reason=initialize_touch_failed touch_err=5 pen_reason=synthetic_pen_api_unavailable pen_err=0"},
       {"initialize 10"}},
      {"synthetic pen fails",
       false, true, true, true, false, true, TouchBackend::kSynthetic,
       {"[WARN ] [Input] CreateSyntheticPointerDevice(PT_PEN) failed (err=1450); pen falls back to mouse emulation",
        "[INFO ] [Input] Capability summary touch_backend=synthetic synthetic_pen=0 admin=0 touch_reason=ok "
        "touch_err=0 pen_reason=create_synthetic_pen_device_failed pen_err=1450"},
       {"create touch 10", "create pen 1", "destroy touch"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    rec_ = std::make_shared<InjectionPlatformRecorder>();
    rec_->SetAdministrator(c.admin);
    rec_->SetSyntheticPointerApi(c.synthetic_api);
    rec_->SetTouchInjectionApi(c.touch_api);
    rec_->SetCreateDeviceResult(PointerDeviceKind::kTouch, c.create_touch_ok, 87);
    rec_->SetCreateDeviceResult(PointerDeviceKind::kPen, c.create_pen_ok, 1450);
    rec_->SetInitializeTouchResult(c.initialize_ok, 5);
    LogCapture log;
    {
      auto injector = Make();
      EXPECT_EQ(injector->Capabilities().touch_backend, c.backend);
      for (const std::string& line : c.lines) EXPECT_TRUE(HasLine(log, line)) << line;
    }
    EXPECT_EQ(rec_->Calls(), c.calls);
  }
}

TEST_F(InjectorTest, TouchInjectionApiServesOneInjectorAtATime) {
  rec_->SetSyntheticPointerApi(false);
  LogCapture log;
  auto first = Make();
  EXPECT_EQ(first->Capabilities().touch_backend, TouchBackend::kLegacy);
  {
    auto second = Make();
    EXPECT_EQ(second->Capabilities().touch_backend, TouchBackend::kNone);
    EXPECT_EQ(second->Capabilities().touch_reason, "legacy_touch_used_by_another_session");
    EXPECT_TRUE(HasLine(log, "[WARN ] [Input] InjectTouchInput is used by another tablet's session; touch falls "
                             "back to mouse emulation"));
  }
  // The second never owned it: the first still does.
  EXPECT_EQ(Make()->Capabilities().touch_reason, "legacy_touch_used_by_another_session");
  first.reset();
  EXPECT_EQ(Make()->Capabilities().touch_backend, TouchBackend::kLegacy);

  // A failed initialisation gives the ownership back.
  rec_->SetInitializeTouchResult(false, 5);
  EXPECT_EQ(Make()->Capabilities().touch_reason, "initialize_touch_failed");
  rec_->SetInitializeTouchResult(true, 0);
  EXPECT_EQ(Make()->Capabilities().touch_backend, TouchBackend::kLegacy);
}

TEST_F(InjectorTest, PenDegradationReport) {
  {
    auto injector = Make();
    PenDegradation d;
    EXPECT_FALSE(injector->PenDegraded(&d));
  }
  rec_->SetAdministrator(true);
  rec_->SetCreateDeviceResult(PointerDeviceKind::kPen, false, 1450);
  auto injector = Make();
  PenDegradation d;
  ASSERT_TRUE(injector->PenDegraded(&d));
  EXPECT_EQ(d.error, 1450u);
  EXPECT_EQ(d.reason, "create_synthetic_pen_device_failed");
  EXPECT_TRUE(d.admin);
  EXPECT_FALSE(d.synthetic_pen);
  EXPECT_TRUE(d.native_touch);
  injector.reset();

  auto emulating = MakeEmulating();
  ASSERT_TRUE(emulating->PenDegraded(&d));
  EXPECT_EQ(d.error, 0u);
  EXPECT_EQ(d.reason, "synthetic_pen_api_unavailable");
  EXPECT_FALSE(d.native_touch);
}

TEST_F(InjectorTest, NullPlatformInjectsNothing) {
  InputInjector injector(nullptr, clock_, InputInjectorOptions{false});
  EXPECT_EQ(injector.Capabilities().touch_backend, TouchBackend::kNone);
  injector.InjectTouch(Touch(pb::TOUCH_ACTION_DOWN, 1));
  injector.InjectPen(Pen(pb::PEN_ACTION_DOWN));
  injector.InjectKey(Key(kDown, 65));
  injector.InjectMouse(Mouse(pb::MOUSE_ACTION_DOWN, pb::MOUSE_BUTTON_LEFT));
  injector.KeepAliveTick();
}

// ---------------------------------------------------------------------------
// Target and mapping

TEST_F(InjectorTest, LetterboxedStreamMapsOntoTheMonitor) {
  rec_->SetMonitors({{"\\\\.\\DISPLAY1", 0, 0, 1920, 1200, true}});
  rec_->SetVirtualScreen({0, 0, 1920, 1200});
  auto injector = Make();
  injector->SetTarget("\\\\.\\DISPLAY1", 0, 0, 1920, 1200, 1920, 1080);
  struct Case {
    float x;
    int32_t column;
  };
  for (const Case c : {Case{0.05f, 0}, Case{0.95f, 1919}, Case{0.01f, 0}, Case{kNaN, 0}, Case{0.5f, 960},
                       Case{kInf, 0}}) {
    SCOPED_TRACE(c.x);
    rec_->ClearInjections();
    injector->InjectTouch(Touch(pb::TOUCH_ACTION_DOWN, 1, c.x, 1.0f));
    injector->InjectTouch(Touch(pb::TOUCH_ACTION_CANCEL, 1));
    const auto frames = rec_->TouchFrames();
    ASSERT_FALSE(frames.empty());
    ASSERT_EQ(frames[0].contacts.size(), 1u);
    EXPECT_EQ(frames[0].contacts[0].x, c.column);
    EXPECT_EQ(frames[0].contacts[0].y, 1199);
  }
}

TEST_F(InjectorTest, TargetChoiceAndItsLogLine) {
  rec_->SetMonitors({{"\\\\.\\DISPLAY1", 0, 0, 1920, 1080, true}, {"\\\\.\\DISPLAY2", -1920, 0, 0, 1080, false}});
  LogCapture log;
  auto injector = Make();
  EXPECT_TRUE(HasLine(log, "[INFO ] [Input] Injection target monitor=primary bounds=0,0 1920x1080 (physical pixels)"));

  struct Case {
    const char* what;
    std::string name;
    int32_t left, top, width, height;
    int32_t x_at_0, x_at_1, y_at_1;
    const char* line;  // nullptr: the rectangle did not change
  };
  const Case cases[] = {
      {"monitor left of the primary", "\\\\.\\DISPLAY2", -1920, 0, 1920, 1080, -1920, -1, 1079,
       "[INFO ] [Input] Injection target monitor=\\\\.\\DISPLAY2 bounds=-1920,0 1920x1080 (physical pixels)"},
      {"unknown name: the rectangle given", "\\\\.\\DISPLAY9", 100, 200, 800, 600, 100, 899, 799,
       "[INFO ] [Input] Injection target monitor=\\\\.\\DISPLAY9 bounds=100,200 800x600 (physical pixels)"},
      {"width 0 counts as one pixel", "\\\\.\\DISPLAY9", 100, 200, 0, 0, 100, 100, 200,
       "[INFO ] [Input] Injection target monitor=\\\\.\\DISPLAY9 bounds=100,200 1x1 (physical pixels)"},
      {"the named monitor wins over the rectangle", "\\\\.\\DISPLAY1", 5, 5, 10, 10, 0, 1919, 1079,
       "[INFO ] [Input] Injection target monitor=\\\\.\\DISPLAY1 bounds=0,0 1920x1080 (physical pixels)"},
      {"same rectangle again", "\\\\.\\DISPLAY1", 0, 0, 1920, 1080, 0, 1919, 1079, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    log.Clear();
    injector->SetTarget(c.name, c.left, c.top, c.width, c.height, 0, 0);
    if (c.line != nullptr) {
      EXPECT_TRUE(HasLine(log, c.line)) << (log.Lines().empty() ? "" : log.Lines().back());
    } else {
      EXPECT_FALSE(log.Contains("Injection target"));
    }
    rec_->ClearInjections();
    injector->InjectTouch(Touch(pb::TOUCH_ACTION_DOWN, 1, 0.0f, 1.0f));
    injector->InjectTouch(Touch(pb::TOUCH_ACTION_MOVE, 1, 1.0f, 1.0f));
    injector->InjectTouch(Touch(pb::TOUCH_ACTION_CANCEL, 1));
    const auto frames = rec_->TouchFrames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].contacts[0].x, c.x_at_0);
    EXPECT_EQ(frames[1].contacts[0].x, c.x_at_1);
    EXPECT_EQ(frames[1].contacts[0].y, c.y_at_1);
  }

  // The primary target follows the primary monitor; without one, the first.
  rec_->SetMonitors({{"\\\\.\\DISPLAY2", -1920, 0, 0, 1080, false}});
  injector->SetPrimaryTarget(0, 0);
  rec_->ClearInjections();
  injector->InjectTouch(Touch(pb::TOUCH_ACTION_DOWN, 1, 0.0f, 0.0f));
  ASSERT_EQ(rec_->TouchFrames().size(), 1u);
  EXPECT_EQ(rec_->TouchFrames()[0].contacts[0].x, -1920);
}

TEST_F(InjectorTest, MonitorsAreLookedUpAtMostEveryTwoSeconds) {
  auto injector = Make();
  injector->SetPrimaryTarget(1920, 1080);
  const size_t after_set = rec_->MonitorQueries();
  injector->InjectTouch(Touch(pb::TOUCH_ACTION_DOWN, 1));
  clock_.AdvanceMs(1999);
  injector->InjectMouse(Mouse(pb::MOUSE_ACTION_MOVE, pb::MOUSE_BUTTON_NONE));
  EXPECT_EQ(rec_->MonitorQueries(), after_set);
  clock_.AdvanceMs(1);
  injector->InjectPen(Pen(pb::PEN_ACTION_HOVER_MOVE));
  EXPECT_EQ(rec_->MonitorQueries(), after_set + 1);
  // A monitor that moved is picked up by the next lookup.
  rec_->SetMonitors({{"\\\\.\\DISPLAY1", 1000, 0, 2920, 1080, true}});
  injector->SetPrimaryTarget(1920, 1080);
  EXPECT_EQ(rec_->MonitorQueries(), after_set + 2);
}

TEST_F(InjectorTest, MouseInputInVirtualDeskUnits) {
  rec_->SetMonitors({{"\\\\.\\DISPLAY1", 0, 0, 1920, 1080, true}, {"\\\\.\\DISPLAY2", -1920, 0, 0, 1080, false}});
  rec_->SetVirtualScreen({-1920, 0, 3840, 1080});
  auto injector = Make();
  injector->SetTarget("\\\\.\\DISPLAY2", -1920, 0, 1920, 1080, 1920, 1080);
  injector->InjectMouse(Mouse(pb::MOUSE_ACTION_MOVE, pb::MOUSE_BUTTON_NONE, 0.0f, 0.0f));
  injector->SetTarget("\\\\.\\DISPLAY1", 0, 0, 1920, 1080, 1920, 1080);
  injector->InjectMouse(Mouse(pb::MOUSE_ACTION_MOVE, pb::MOUSE_BUTTON_NONE, 1.0f, 1.0f));
  EXPECT_EQ(DescribeBatches(*rec_), (std::vector<std::string>{"mouse 0xC001 @0,0", "mouse 0xC001 @65535,65535"}));

  // A virtual screen 40000 pixels wide.
  rec_->ClearInjections();
  rec_->SetMonitors({{"\\\\.\\DISPLAY1", 0, 0, 40000, 1080, true}});
  rec_->SetVirtualScreen({0, 0, 40000, 1080});
  injector->SetPrimaryTarget(0, 0);
  injector->InjectMouse(Mouse(pb::MOUSE_ACTION_MOVE, pb::MOUSE_BUTTON_NONE, 1.0f, 0.5f));
  injector->InjectMouse(Mouse(pb::MOUSE_ACTION_MOVE, pb::MOUSE_BUTTON_NONE, 0.5f, 0.5f));
  EXPECT_EQ(DescribeBatches(*rec_),
            (std::vector<std::string>{"mouse 0xC001 @65535,32797", "mouse 0xC001 @32768,32797"}));
}

// ---------------------------------------------------------------------------
// Touch

TEST_F(InjectorTest, ContactIdsEleventhFingerAndReuse) {
  auto injector = Make();
  for (uint32_t i = 0; i < 11; ++i) injector->InjectTouch(Touch(pb::TOUCH_ACTION_DOWN, 100 + i, 0.0f, 0.0f));
  auto frames = rec_->TouchFrames();
  ASSERT_EQ(frames.size(), 10u);  // the eleventh finger sent nothing
  ASSERT_EQ(frames.back().contacts.size(), 10u);
  for (uint32_t i = 0; i < 10; ++i) {
    EXPECT_EQ(frames.back().contacts[i].contact_id, i);
    EXPECT_EQ(frames.back().contacts[i].pointer_flags, i == 9 ? kContactDown : kContactUpdate);
  }
  EXPECT_EQ(frames.front().route, TouchRoute::kSyntheticDevice);

  rec_->ClearInjections();
  injector->InjectTouch(Touch(pb::TOUCH_ACTION_UP, 103, 0.0f, 0.0f));
  injector->InjectTouch(Touch(pb::TOUCH_ACTION_UP, 101, 0.0f, 0.0f));
  injector->InjectTouch(Touch(pb::TOUCH_ACTION_DOWN, 200, 1.0f, 1.0f));
  injector->InjectTouch(Touch(pb::TOUCH_ACTION_MOVE, 110, 1.0f, 1.0f));  // the ignored finger comes back
  frames = rec_->TouchFrames();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].contacts[3].pointer_flags, pointer_flag::kUp);
  EXPECT_EQ(frames[1].contacts.size(), 9u);
  EXPECT_EQ(frames[1].contacts[1].pointer_flags, pointer_flag::kUp);
  // The smallest free id is 1, kept in id order.
  ASSERT_EQ(frames[2].contacts.size(), 9u);
  EXPECT_EQ(frames[2].contacts[1].contact_id, 1u);
  EXPECT_EQ(frames[2].contacts[1].pointer_flags, kContactDown);
  EXPECT_EQ(frames[2].contacts[1].x, 1919);
  ASSERT_EQ(frames[3].contacts.size(), 10u);
  EXPECT_EQ(frames[3].contacts[3].contact_id, 3u);
  EXPECT_EQ(frames[3].contacts[3].pointer_flags, kContactDown);
}

TEST_F(InjectorTest, ContactLifecycle) {
  struct Step {
    TouchInput event;
    std::vector<std::string> frames;
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"a move of an unknown finger starts a contact",
       {{Touch(pb::TOUCH_ACTION_MOVE, 7, 0.0f, 0.0f), {"0:DOWN@0,0"}},
        {Touch(pb::TOUCH_ACTION_MOVE, 7, 1.0f, 0.0f), {"0:UPDATE@1919,0"}},
        {Touch(pb::TOUCH_ACTION_DOWN, 7, 1.0f, 1.0f), {"0:UPDATE@1919,1079"}}}},
      {"an up at a new position moves there first",
       {{Touch(pb::TOUCH_ACTION_DOWN, 1, 0.0f, 0.0f), {"0:DOWN@0,0"}},
        {Touch(pb::TOUCH_ACTION_UP, 1, 1.0f, 0.0f), {"0:UPDATE@1919,0", "0:UP@1919,0"}}}},
      {"an up where the finger is",
       {{Touch(pb::TOUCH_ACTION_DOWN, 1, 0.0f, 0.0f), {"0:DOWN@0,0"}},
        {Touch(pb::TOUCH_ACTION_UP, 1, 0.0f, 0.0f), {"0:UP@0,0"}},
        {Touch(pb::TOUCH_ACTION_UP, 1, 0.0f, 0.0f), {}}}},
      {"cancel",
       {{Touch(pb::TOUCH_ACTION_DOWN, 1, 0.0f, 0.0f), {"0:DOWN@0,0"}},
        {Touch(pb::TOUCH_ACTION_DOWN, 2, 1.0f, 0.0f), {"0:UPDATE@0,0 1:DOWN@1919,0"}},
        {Touch(pb::TOUCH_ACTION_CANCEL, 1, 1.0f, 1.0f), {"0:CANCEL@0,0 1:UPDATE@1919,0"}},
        {Touch(pb::TOUCH_ACTION_CANCEL, 1), {}},
        {Touch(pb::TOUCH_ACTION_MOVE, 2, 1.0f, 1.0f), {"1:UPDATE@1919,1079"}}}},
      {"lifting an unknown finger does nothing", {{Touch(pb::TOUCH_ACTION_UP, 9), {}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    rec_ = std::make_shared<InjectionPlatformRecorder>();
    auto injector = Make();
    for (const Step& step : c.steps) {
      rec_->ClearInjections();
      injector->InjectTouch(step.event);
      EXPECT_EQ(DescribeTouch(*rec_), step.frames);
    }
  }
}

TEST_F(InjectorTest, ContactFrameContents) {
  auto injector = Make();
  struct Case {
    pb::TouchAction action;
    float pressure;
    uint32_t units;
  };
  const Case cases[] = {
      {pb::TOUCH_ACTION_DOWN, kNaN, 1},     {pb::TOUCH_ACTION_MOVE, 0.5f, 512}, {pb::TOUCH_ACTION_MOVE, 1.7f, 1024},
      {pb::TOUCH_ACTION_MOVE, 0.0f, 1},     {pb::TOUCH_ACTION_MOVE, -kInf, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pressure);
    rec_->ClearInjections();
    injector->InjectTouch(Touch(c.action, 1, 0.5f, 0.5f, c.pressure));
    const auto frames = rec_->TouchFrames();
    ASSERT_EQ(frames.size(), 1u);
    const TouchContactFrame& f = frames[0].contacts.at(0);
    EXPECT_EQ(f.pressure, c.units);
    EXPECT_EQ(f.x, 960);
    EXPECT_EQ(f.y, 540);
    EXPECT_EQ(f.left, 958);
    EXPECT_EQ(f.top, 538);
    EXPECT_EQ(f.right, 962);
    EXPECT_EQ(f.bottom, 542);
    EXPECT_EQ(f.orientation, 90u);
    EXPECT_EQ(f.touch_mask, touch_mask::kContactArea | touch_mask::kOrientation | touch_mask::kPressure);
  }
}

TEST_F(InjectorTest, LegacyTouchRoute) {
  rec_->SetSyntheticPointerApi(false);
  auto injector = Make();
  injector->InjectTouch(Touch(pb::TOUCH_ACTION_DOWN, 1));
  ASSERT_EQ(rec_->TouchFrames().size(), 1u);
  EXPECT_EQ(rec_->TouchFrames()[0].route, TouchRoute::kTouchInjection);
}

TEST_F(InjectorTest, NewFingerIgnoredWhileThePenIsDown) {
  auto injector = Make();
  injector->InjectTouch(Touch(pb::TOUCH_ACTION_DOWN, 1));
  injector->InjectPen(Pen(pb::PEN_ACTION_DOWN));
  rec_->ClearInjections();
  injector->InjectTouch(Touch(pb::TOUCH_ACTION_DOWN, 2));
  injector->InjectTouch(Touch(pb::TOUCH_ACTION_MOVE, 3));
  injector->InjectTouch(Touch(pb::TOUCH_ACTION_MOVE, 1, 0.0f, 0.0f));  // a finger already down carries on
  EXPECT_EQ(DescribeTouch(*rec_), std::vector<std::string>{"0:UPDATE@0,0"});
  injector->InjectPen(Pen(pb::PEN_ACTION_UP));
  rec_->ClearInjections();
  injector->InjectTouch(Touch(pb::TOUCH_ACTION_DOWN, 2, 0.0f, 0.0f));
  EXPECT_EQ(DescribeTouch(*rec_), std::vector<std::string>{"0:UPDATE@0,0 1:DOWN@0,0"});
}

TEST_F(InjectorTest, TouchAsMouseOneLeftPressPerGesture) {
  auto injector = MakeEmulating();
  struct Step {
    TouchInput event;
    std::vector<std::string> batches;
  };
  const Step steps[] = {
      {Touch(pb::TOUCH_ACTION_MOVE, 1, 0.0f, 0.0f), {}},
      {Touch(pb::TOUCH_ACTION_DOWN, 1, 0.0f, 0.0f), {"mouse 0xC003 @0,0"}},
      {Touch(pb::TOUCH_ACTION_DOWN, 2, 1.0f, 0.0f), {"mouse 0xC001 @65535,0"}},
      {Touch(pb::TOUCH_ACTION_MOVE, 9, 1.0f, 1.0f), {"mouse 0xC001 @65535,65535"}},
      {Touch(pb::TOUCH_ACTION_UP, 2, 0.0f, 1.0f), {"mouse 0xC005 @0,65535"}},
      {Touch(pb::TOUCH_ACTION_UP, 1, 0.0f, 1.0f), {}},
      {Touch(pb::TOUCH_ACTION_DOWN, 5, 0.0f, 0.0f), {"mouse 0xC003 @0,0"}},
      {Touch(pb::TOUCH_ACTION_CANCEL, 6, 0.0f, 0.0f), {"mouse 0xC005 @0,0"}},
  };
  int index = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(index++);
    rec_->ClearInjections();
    injector->InjectTouch(step.event);
    EXPECT_EQ(DescribeBatches(*rec_), step.batches);
  }
  EXPECT_TRUE(rec_->TouchFrames().empty());
}

TEST_F(InjectorTest, RestingContactsAreResent) {
  auto injector = Make();
  injector->InjectTouch(Touch(pb::TOUCH_ACTION_DOWN, 1, 0.0f, 0.0f));
  rec_->ClearInjections();
  clock_.AdvanceMs(99);
  injector->KeepAliveTick();
  EXPECT_TRUE(rec_->TouchFrames().empty());
  clock_.AdvanceMs(1);
  injector->KeepAliveTick();
  EXPECT_EQ(DescribeTouch(*rec_), std::vector<std::string>{"0:UPDATE@0,0"});
  injector->KeepAliveTick();
  EXPECT_EQ(rec_->TouchFrames().size(), 1u);
}

TEST_F(InjectorTest, RejectedTouchFrame) {
  // Far from the origin, ten contacts make a frame text longer than fits.
  rec_->SetMonitors({{"\\\\.\\DISPLAY1", -1000000000, -1000000000, -999990000, -999990000, true}});
  auto injector = Make();
  for (uint32_t i = 0; i < 9; ++i) injector->InjectTouch(Touch(pb::TOUCH_ACTION_DOWN, i));
  LogCapture log;
  rec_->FailNextTouchFrames(1, 87);
  injector->InjectTouch(Touch(pb::TOUCH_ACTION_DOWN, 9));
  const std::string prefix =
      "[WARN ] [Input] Touch injection rejected (backend=synthetic err=87 failures=1) frame: 0:UPDATE@-999995000,"
      "-999995000 1:UPDATE@";
  std::string line;
  for (const std::string& l : log.Lines()) {
    if (l.find("Touch injection rejected") != std::string::npos) line = l;
  }
  ASSERT_EQ(line.substr(0, prefix.size()), prefix);
  const size_t text = line.find("frame:") + 6;
  EXPECT_EQ(line.size() - text, 255u);

  // The contacts are forgotten: the next move starts over.
  rec_->ClearInjections();
  injector->InjectTouch(Touch(pb::TOUCH_ACTION_MOVE, 4));
  EXPECT_EQ(DescribeTouch(*rec_), std::vector<std::string>{"0:DOWN@-999995000,-999995000"});
  injector->KeepAliveTick();
}

// ---------------------------------------------------------------------------
// Pen

TEST_F(InjectorTest, PenStates) {
  using Frames = std::vector<std::pair<uint32_t, uint32_t>>;
  struct Step {
    PenInput event;
    Frames frames;
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
  };
  constexpr uint32_t kInv = pen_flag::kInverted;
  constexpr uint32_t kInvEr = pen_flag::kInverted | pen_flag::kEraser;
  const Case cases[] = {
      {"hover, down, move, up, exit",
       {{Pen(pb::PEN_ACTION_HOVER_ENTER), {{kHover, 0}}},
        {Pen(pb::PEN_ACTION_DOWN), {{kContactDown, 0}}},
        {Pen(pb::PEN_ACTION_MOVE, 0.6f), {{kContactUpdate, 0}}},
        {Pen(pb::PEN_ACTION_UP, 0.6f), {{kLift, 0}}},
        {Pen(pb::PEN_ACTION_UP, 0.6f), {{kHover, 0}}},
        {Pen(pb::PEN_ACTION_HOVER_EXIT), {}}}},
      {"down out of range enters first; up elsewhere moves first",
       {{Pen(pb::PEN_ACTION_DOWN), {{kHover, 0}, {kContactDown, 0}}},
        {Pen(pb::PEN_ACTION_UP, 0.7f), {{kContactUpdate, 0}, {kLift, 0}}}}},
      {"hovering while in contact lifts first",
       {{Pen(pb::PEN_ACTION_DOWN), {{kHover, 0}, {kContactDown, 0}}},
        {Pen(pb::PEN_ACTION_HOVER_MOVE), {{kLift, 0}, {kHover, 0}}},
        {Pen(pb::PEN_ACTION_MOVE), {{kContactDown, 0}}},
        {Pen(pb::PEN_ACTION_HOVER_EXIT), {{kLift, 0}}}}},
      {"an up out of range does nothing", {{Pen(pb::PEN_ACTION_UP), {}}, {Pen(pb::PEN_ACTION_HOVER_EXIT), {}}}},
      {"eraser: inverted while hovering, inverted and erasing in contact",
       {{Eraser(pb::PEN_ACTION_HOVER_ENTER), {{kHover, kInv}}},
        {Eraser(pb::PEN_ACTION_DOWN), {{kContactDown, kInvEr}}},
        {Eraser(pb::PEN_ACTION_MOVE), {{kContactUpdate, kInvEr}}},
        {Eraser(pb::PEN_ACTION_UP), {{kLift, kInv}}}}},
      {"pen to eraser while hovering: the pen leaves before the eraser enters",
       {{Pen(pb::PEN_ACTION_HOVER_MOVE), {{kHover, 0}}},
        {Eraser(pb::PEN_ACTION_HOVER_MOVE), {{kOutOfRange, 0}, {kHover, kInv}}},
        {Pen(pb::PEN_ACTION_HOVER_MOVE), {{kOutOfRange, kInv}, {kHover, 0}}}}},
      {"pen to eraser in contact",
       {{Pen(pb::PEN_ACTION_DOWN), {{kHover, 0}, {kContactDown, 0}}},
        {Eraser(pb::PEN_ACTION_MOVE), {{kLift, 0}, {kOutOfRange, 0}, {kHover, kInv}, {kContactDown, kInvEr}}}}},
      {"a tool change on the way out leaves as the old tool",
       {{Pen(pb::PEN_ACTION_DOWN), {{kHover, 0}, {kContactDown, 0}}},
        {Eraser(pb::PEN_ACTION_UP), {{kLift, 0}}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    rec_ = std::make_shared<InjectionPlatformRecorder>();
    auto injector = Make();
    int index = 0;
    for (const Step& step : c.steps) {
      SCOPED_TRACE(index++);
      rec_->ClearInjections();
      injector->InjectPen(step.event);
      EXPECT_EQ(PenFlags(*rec_), step.frames);
    }
  }
}

TEST_F(InjectorTest, PenFrameValues) {
  auto injector = Make();
  PenInput down = Pen(pb::PEN_ACTION_DOWN, 0.0f, 1.0f, 0.5f);
  down.tilt_x = 2.0f;
  down.tilt_y = -kPi / 6;
  down.orientation = -kPi / 2;
  injector->InjectPen(down);
  auto frames = rec_->PenFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].pressure, 0u);  // hovering
  const PenFrame& f = frames[1];
  EXPECT_EQ(f.x, 0);
  EXPECT_EQ(f.y, 1079);
  EXPECT_EQ(f.pressure, 512u);
  EXPECT_EQ(f.tilt_x, 90);
  EXPECT_EQ(f.tilt_y, -30);
  EXPECT_EQ(f.rotation, 270u);
  EXPECT_EQ(f.pen_mask, pen_mask::kPressure | pen_mask::kRotation | pen_mask::kTiltX | pen_mask::kTiltY);

  struct Case {
    float orientation, pressure;
    uint32_t button_state;
    uint32_t rotation, units, pen_flags;
  };
  const Case cases[] = {
      {2 * kPi, kNaN, 0x02, 0, 1, pen_flag::kBarrel},  {kNaN, 0.0f, 0x20, 0, 1, pen_flag::kBarrel},
      {kInf, 1.7f, 0x40, 0, 1024, pen_flag::kBarrel},  {-kInf, 0.25f, 0x01, 0, 256, 0},
      {kPi, 0.5f, 0x10, 180, 512, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.button_state);
    rec_->ClearInjections();
    PenInput move = Pen(pb::PEN_ACTION_MOVE, 0.5f, 0.5f, c.pressure);
    move.orientation = c.orientation;
    move.button_state = c.button_state;
    injector->InjectPen(move);
    frames = rec_->PenFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].rotation, c.rotation);
    EXPECT_EQ(frames[0].pressure, c.units);
    EXPECT_EQ(frames[0].pen_flags, c.pen_flags);
  }
  // A huge finite orientation lands in a turn.
  rec_->ClearInjections();
  PenInput huge = Pen(pb::PEN_ACTION_MOVE);
  huge.orientation = 3e38f;
  huge.tilt_x = kNaN;
  huge.tilt_y = -kInf;
  injector->InjectPen(huge);
  frames = rec_->PenFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_LT(frames[0].rotation, 360u);
  EXPECT_EQ(frames[0].tilt_x, 0);
  EXPECT_EQ(frames[0].tilt_y, 0);
}

TEST_F(InjectorTest, PenLeavesRangeOnceSixtyMillisecondsAfterHoverExit) {
  auto injector = Make();
  injector->InjectPen(Pen(pb::PEN_ACTION_HOVER_ENTER, 0.25f, 0.25f));
  injector->InjectPen(Pen(pb::PEN_ACTION_HOVER_EXIT, 0.9f, 0.9f));
  rec_->ClearInjections();
  clock_.AdvanceMs(59);
  injector->KeepAliveTick();
  EXPECT_TRUE(rec_->PenFrames().empty());
  clock_.AdvanceMs(1);
  injector->KeepAliveTick();
  ASSERT_EQ(rec_->PenFrames().size(), 1u);
  EXPECT_EQ(rec_->PenFrames()[0].pointer_flags, kOutOfRange);
  EXPECT_EQ(rec_->PenFrames()[0].x, 480);  // where the pen was last seen
  EXPECT_EQ(rec_->PenFrames()[0].pressure, 0u);
  for (int i = 0; i < 10; ++i) {
    clock_.AdvanceMs(50);
    injector->KeepAliveTick();
  }
  EXPECT_EQ(rec_->PenFrames().size(), 1u);
}

TEST_F(InjectorTest, HoverMoveSoonAfterHoverExitKeepsThePenInRange) {
  auto injector = Make();
  injector->InjectPen(Pen(pb::PEN_ACTION_HOVER_ENTER));
  injector->InjectPen(Pen(pb::PEN_ACTION_HOVER_EXIT));
  clock_.AdvanceMs(30);
  injector->KeepAliveTick();
  injector->InjectPen(Pen(pb::PEN_ACTION_HOVER_MOVE));
  for (int i = 0; i < 10; ++i) {
    clock_.AdvanceMs(30);
    injector->KeepAliveTick();
  }
  const auto flags = PenFlags(*rec_);
  for (const auto& [pointer, pen] : flags) EXPECT_NE(pointer, kOutOfRange);
  // The pen still rests in range: the keep-alive repeats the hover.
  EXPECT_EQ(flags.back().first, kHover);
  EXPECT_GT(flags.size(), 3u);
}

TEST_F(InjectorTest, RestingPenIsResent) {
  auto injector = Make();
  injector->InjectPen(Pen(pb::PEN_ACTION_DOWN, 0.5f, 0.5f, 0.25f));
  rec_->ClearInjections();
  clock_.AdvanceMs(99);
  injector->KeepAliveTick();
  EXPECT_TRUE(rec_->PenFrames().empty());
  clock_.AdvanceMs(1);
  injector->KeepAliveTick();
  ASSERT_EQ(rec_->PenFrames().size(), 1u);
  EXPECT_EQ(rec_->PenFrames()[0].pointer_flags, kContactUpdate);
  EXPECT_EQ(rec_->PenFrames()[0].pressure, 256u);
  injector->InjectPen(Pen(pb::PEN_ACTION_UP));
  rec_->ClearInjections();
  clock_.AdvanceMs(100);
  injector->KeepAliveTick();
  ASSERT_EQ(rec_->PenFrames().size(), 1u);
  EXPECT_EQ(rec_->PenFrames()[0].pointer_flags, kHover);
  EXPECT_EQ(rec_->PenFrames()[0].pressure, 0u);
}

TEST_F(InjectorTest, RejectedPenFramesAreLoggedSparingly) {
  auto injector = Make();
  LogCapture log;
  rec_->FailNextPenFrames(250, 5);
  for (int i = 0; i < 250; ++i) injector->InjectPen(Pen(pb::PEN_ACTION_HOVER_MOVE));
  EXPECT_TRUE(HasLine(log, "[WARN ] [Input] Pen injection rejected (err=5 failures=1) flags=0x00020002 pen_flags=0x0 "
                           "at=960,540"));
  EXPECT_TRUE(log.Contains("(err=5 failures=101)"));
  EXPECT_TRUE(log.Contains("(err=5 failures=201)"));
  EXPECT_EQ(log.Count("Pen injection rejected"), 3u);
  for (const unsigned long error : {6ul, 6ul, 5ul}) {
    rec_->FailNextPenFrames(1, error);
    injector->InjectPen(Pen(pb::PEN_ACTION_HOVER_MOVE));
  }
  EXPECT_TRUE(log.Contains("(err=6 failures=251)"));
  EXPECT_FALSE(log.Contains("failures=252"));
  EXPECT_TRUE(log.Contains("(err=5 failures=253)"));
  EXPECT_EQ(log.Count("Pen injection rejected"), 5u);

  // A rejected frame clears the pen's state: the next down enters anew.
  rec_->ClearInjections();
  rec_->FailNextPenFrames(1, 5);
  injector->InjectPen(Pen(pb::PEN_ACTION_DOWN));
  injector->InjectPen(Pen(pb::PEN_ACTION_MOVE));
  EXPECT_EQ(PenFlags(*rec_), (std::vector<std::pair<uint32_t, uint32_t>>{{kHover, 0}, {kHover, 0}, {kContactDown, 0}}));
}

TEST_F(InjectorTest, PenAsMouse) {
  rec_->SetSyntheticPointerApi(false);
  auto injector = Make();
  auto barrel = [](pb::PenAction action) {
    PenInput p = Pen(action, 0.0f, 0.0f);
    p.button_state = 0x20;
    return p;
  };
  struct Step {
    PenInput event;
    std::vector<std::string> batches;
  };
  const Step steps[] = {
      {Pen(pb::PEN_ACTION_HOVER_MOVE, 0.0f, 0.0f), {"mouse 0xC001 @0,0"}},
      {Pen(pb::PEN_ACTION_HOVER_EXIT, 0.0f, 0.0f), {}},
      {barrel(pb::PEN_ACTION_DOWN), {"mouse 0xC009 @0,0"}},
      {Pen(pb::PEN_ACTION_DOWN, 0.0f, 0.0f), {"mouse 0xC001 @0,0"}},
      {Pen(pb::PEN_ACTION_MOVE, 0.0f, 0.0f), {"mouse 0xC001 @0,0"}},
      {Pen(pb::PEN_ACTION_UP, 0.0f, 0.0f), {"mouse 0xC011 @0,0"}},
      {Eraser(pb::PEN_ACTION_DOWN, 0.0f, 0.0f), {"mouse 0xC009 @0,0"}},
      {Eraser(pb::PEN_ACTION_HOVER_EXIT, 0.0f, 0.0f), {"mouse 0xC011 @0,0"}},
      {Pen(pb::PEN_ACTION_DOWN, 0.0f, 0.0f), {"mouse 0xC003 @0,0"}},
      {Pen(pb::PEN_ACTION_UP, 0.0f, 0.0f), {"mouse 0xC005 @0,0"}},
      {Pen(pb::PEN_ACTION_UP, 0.0f, 0.0f), {"mouse 0xC001 @0,0"}},
  };
  int index = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(index++);
    rec_->ClearInjections();
    injector->InjectPen(step.event);
    EXPECT_EQ(DescribeBatches(*rec_), step.batches);
  }
  // While the emulated pen holds a button, a new finger is ignored.
  injector->InjectPen(Pen(pb::PEN_ACTION_DOWN));
  rec_->ClearInjections();
  injector->InjectTouch(Touch(pb::TOUCH_ACTION_DOWN, 1));
  EXPECT_TRUE(rec_->TouchFrames().empty());
  EXPECT_TRUE(rec_->PenFrames().empty());
}

// ---------------------------------------------------------------------------
// Keys

TEST_F(InjectorTest, KeySequences) {
  struct Step {
    KeyInput key;
    std::vector<std::string> batches;  // one entry per SendInput call
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"upper-case letter by virtual key",
       {{Key(kDown, 65, 0, 1), {"vk16 down, vk65 down"}}, {Key(kUp, 65, 0, 1), {"vk65 up, vk16 up"}}}},
      {"upper-case letter by scan code",
       {{Key(kDown, 65, 0x1E, 1), {"sc2A down, sc1E down"}}, {Key(kUp, 65, 0x1E, 1), {"sc1E up, sc2A up"}}}},
      {"synthesised modifiers in their order",
       {{Key(kDown, 65, 0x1E, 15), {"sc1D down, sc38 down, sc2A down, sc5B ext down, sc1E down"}},
        {Key(kUp, 65, 0x1E, 15), {"sc1E up, sc5B ext up, sc2A up, sc38 up, sc1D up"}},
        {Key(kDown, 66, 0, 10), {"vk17 down, vk91 ext down, vk66 down"}},
        {Key(kUp, 66, 0, 10), {"vk66 up, vk91 ext up, vk17 up"}}}},
      {"a modifier no longer asked for comes up before the next key",
       {{Key(kDown, 65, 0, 3), {"vk17 down, vk16 down, vk65 down"}},
        {Key(kDown, 66, 0, 2), {"vk16 up, vk66 down"}},
        {Key(kUp, 66, 0, 2), {"vk66 up, vk17 up"}}}},
      {"a real shift press takes over the synthesised one",
       {{Key(kDown, 65, 0, 1), {"vk16 down, vk65 down"}},
        {Key(kDown, 16, 0, 1), {"vk16 down"}},
        {Key(kUp, 65, 0, 1), {"vk65 up"}},
        {Key(kUp, 16, 0, 0), {"vk16 up"}}}},
      {"a held modifier is not synthesised",
       {{Key(kDown, 0, 0x1D, 0, true), {"sc1D down"}},
        {Key(kDown, 67, 0, 2), {"vk67 down"}},
        {Key(kUp, 67, 0, 2), {"vk67 up"}},
        {Key(kUp, 0, 0x1D, 0, true), {"sc1D up"}}}},
      {"physical scan codes are used as given",
       {{Key(kDown, 65, 0x1F, 0, true, true), {"sc1F ext down"}},
        {Key(kUp, 65, 0x1F, 0, true, true), {"sc1F ext up"}}}},
      {"scan code without a virtual key",
       {{Key(kDown, 0, 0x10, 0, false, false), {"sc10 down"}}}},
      {"extended scan code from the layout",
       {{Key(kDown, 37, 0x4B), {"sc4B ext down"}}, {Key(kDown, 45, 0x52), {"sc52 ext down"}}}},
      {"virtual keys and the extended list",
       {{Key(kDown, 37), {"vk37 ext down"}},
        {Key(kUp, 37), {"vk37 ext up"}},
        {Key(kDown, 65), {"vk65 down"}},
        {Key(kDown, 163), {"vk163 ext down"}},
        {Key(kDown, 111), {"vk111 ext down"}}}},
      {"unusable codes are ignored",
       {{Key(kDown, 255, 0), {}}, {Key(kDown, 0, 0), {}}, {Key(kDown, 300, 256), {}}, {Key(kUp, 255, 0), {}}}},
      {"a virtual key alone; a layout without the key keeps the given scan code",
       {{Key(kDown, 200, 0x00), {"vk200 down"}}, {Key(kDown, 66, 0x30, 0, false, true), {"sc30 ext down"}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    rec_ = std::make_shared<InjectionPlatformRecorder>();
    rec_->SetScanCode(65, 0x1E);
    rec_->SetScanCode(37, 0xE04B);
    rec_->SetScanCode(45, 0x52);  // insert: extended by the list
    auto injector = Make();
    int index = 0;
    for (const Step& step : c.steps) {
      SCOPED_TRACE(index++);
      rec_->ClearInjections();
      injector->InjectKey(step.key);
      EXPECT_EQ(DescribeBatches(*rec_), step.batches);
    }
  }
}

TEST_F(InjectorTest, KeyUpReusesTheScanCodeOfItsKeyDown) {
  rec_->SetScanCode(65, 0x1E);
  auto injector = Make();
  injector->InjectKey(Key(kDown, 65, 0x10));
  rec_->SetScanCode(65, 0x10);  // the foreground window's layout changed
  injector->InjectKey(Key(kDown, 65, 0x10));  // auto-repeat
  injector->InjectKey(Key(kUp, 65, 0x10));
  injector->InjectKey(Key(kUp, 65, 0x10));  // no longer remembered: the layout's
  EXPECT_EQ(DescribeBatches(*rec_), (std::vector<std::string>{"sc1E down", "sc1E down", "sc1E up", "sc10 up"}));
  // A layout result that maps to scan code 0 sends nothing.
  rec_->ClearInjections();
  rec_->SetScanCode(66, 0xE000);
  injector->InjectKey(Key(kDown, 66, 0x30));
  EXPECT_TRUE(rec_->Batches().empty());
}

TEST_F(InjectorTest, ReleaseAllKeysIsOneBatchNonModifiersFirst) {
  rec_->SetScanCode(65, 0x1E);
  auto injector = Make();
  injector->InjectKey(Key(kDown, 17));           // control, held
  injector->InjectKey(Key(kDown, 65, 0x1E, 3));  // shift synthesised
  injector->InjectKey(Key(kDown, 37, 0, 3));
  rec_->ClearInjections();
  injector->ReleaseAllKeys();
  EXPECT_EQ(DescribeBatches(*rec_), std::vector<std::string>{"vk37 ext up, sc1E up, vk17 up, sc2A up"});
  rec_->ClearInjections();
  injector->ReleaseAllKeys();
  injector->InjectKey(Key(kUp, 65, 0x1E));
  EXPECT_EQ(DescribeBatches(*rec_), std::vector<std::string>{"sc1E up"});  // nothing synthesised any more
}

TEST_F(InjectorTest, FailedSendInputIsLoggedAndRateLimited) {
  auto injector = Make();
  LogCapture log;
  rec_->FailNextSendInputs(3, 5);
  injector->InjectKey(Key(kDown, 65, 0, 1));
  injector->InjectKey(Key(kUp, 65));
  injector->InjectMouse(Mouse(pb::MOUSE_ACTION_MOVE, pb::MOUSE_BUTTON_NONE));
  EXPECT_TRUE(HasLine(log, "[WARN ] [Input] SendInput rejected 2 key input(s) (err=5, 0 earlier failures not logged)"));
  EXPECT_EQ(log.Count("SendInput rejected"), 1u);
  clock_.AdvanceMs(InputInjector::kSendWarnIntervalMs);
  rec_->FailNextSendInputs(1, 5);
  injector->InjectMouse(Mouse(pb::MOUSE_ACTION_MOVE, pb::MOUSE_BUTTON_NONE));
  EXPECT_TRUE(HasLine(log, "[WARN ] [Input] SendInput rejected 1 mouse input(s) (err=5, 2 earlier failures not "
                           "logged)"));
}

// ---------------------------------------------------------------------------
// Mouse

TEST_F(InjectorTest, MouseButtons) {
  auto injector = Make();
  struct Step {
    MouseInput event;
    std::vector<std::string> batches;
  };
  const Step steps[] = {
      {Mouse(pb::MOUSE_ACTION_MOVE, pb::MOUSE_BUTTON_NONE, 0.0f, 0.0f), {"mouse 0xC001 @0,0"}},
      {Mouse(pb::MOUSE_ACTION_MOVE, pb::MOUSE_BUTTON_LEFT, 0.0f, 0.0f), {"mouse 0xC001 @0,0"}},
      {Mouse(pb::MOUSE_ACTION_DOWN, pb::MOUSE_BUTTON_LEFT, 0.0f, 0.0f), {"mouse 0xC003 @0,0"}},
      {Mouse(pb::MOUSE_ACTION_DOWN, pb::MOUSE_BUTTON_LEFT, 0.0f, 0.0f), {}},
      {Mouse(pb::MOUSE_ACTION_DOWN, pb::MOUSE_BUTTON_RIGHT, 0.0f, 0.0f), {"mouse 0xC009 @0,0"}},
      {Mouse(pb::MOUSE_ACTION_DOWN, pb::MOUSE_BUTTON_MIDDLE, 0.0f, 0.0f), {"mouse 0xC021 @0,0"}},
      {Mouse(pb::MOUSE_ACTION_UP, pb::MOUSE_BUTTON_LEFT, 0.0f, 0.0f), {"mouse 0xC005 @0,0"}},
      {Mouse(pb::MOUSE_ACTION_UP, pb::MOUSE_BUTTON_LEFT, 0.0f, 0.0f), {}},
      {Mouse(pb::MOUSE_ACTION_UP, pb::MOUSE_BUTTON_RIGHT, 0.0f, 0.0f), {"mouse 0xC011 @0,0"}},
      {Mouse(pb::MOUSE_ACTION_DOWN, pb::MOUSE_BUTTON_NONE, 0.0f, 0.0f), {}},
      {Mouse(pb::MOUSE_ACTION_UP, pb::MOUSE_BUTTON_NONE, 0.0f, 0.0f), {}},
  };
  int index = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(index++);
    rec_->ClearInjections();
    injector->InjectMouse(step.event);
    EXPECT_EQ(DescribeBatches(*rec_), step.batches);
  }
  // The middle button is still down.
  injector->InjectMouse(Mouse(pb::MOUSE_ACTION_DOWN, pb::MOUSE_BUTTON_LEFT));
  rec_->ClearInjections();
  injector->ReleaseAllPointers();
  EXPECT_EQ(DescribeBatches(*rec_), std::vector<std::string>{"mouse 0x44 @0,0"});
  rec_->ClearInjections();
  injector->ReleaseAllPointers();
  EXPECT_TRUE(rec_->Batches().empty());
}

TEST_F(InjectorTest, MouseClickEndsPenActivity) {
  auto injector = Make();
  injector->InjectPen(Pen(pb::PEN_ACTION_DOWN));
  rec_->ClearInjections();
  injector->InjectMouse(Mouse(pb::MOUSE_ACTION_MOVE, pb::MOUSE_BUTTON_NONE));
  EXPECT_TRUE(rec_->PenFrames().empty());
  injector->InjectMouse(Mouse(pb::MOUSE_ACTION_DOWN, pb::MOUSE_BUTTON_RIGHT));
  EXPECT_EQ(PenFlags(*rec_), (std::vector<std::pair<uint32_t, uint32_t>>{{kLift, 0}, {kOutOfRange, 0}}));
  EXPECT_EQ(rec_->Batches().size(), 2u);
  rec_->ClearInjections();
  for (int i = 0; i < 4; ++i) {
    clock_.AdvanceMs(50);
    injector->KeepAliveTick();
  }
  EXPECT_TRUE(rec_->PenFrames().empty());
}

// ---------------------------------------------------------------------------
// Release and shutdown

TEST_F(InjectorTest, ReleaseAllPointersLiftsEverything) {
  auto injector = Make();
  injector->InjectTouch(Touch(pb::TOUCH_ACTION_DOWN, 1, 0.0f, 0.0f));
  injector->InjectTouch(Touch(pb::TOUCH_ACTION_DOWN, 2, 1.0f, 0.0f));
  injector->InjectPen(Pen(pb::PEN_ACTION_MOVE));
  rec_->ClearInjections();
  injector->ReleaseAllPointers();
  EXPECT_EQ(DescribeTouch(*rec_), std::vector<std::string>{"0:CANCEL@0,0 1:CANCEL@1919,0"});
  EXPECT_EQ(PenFlags(*rec_), (std::vector<std::pair<uint32_t, uint32_t>>{{kLift, 0}, {kOutOfRange, 0}}));
  rec_->ClearInjections();
  clock_.AdvanceMs(500);
  injector->KeepAliveTick();
  injector->ReleaseAllPointers();
  EXPECT_TRUE(rec_->TouchFrames().empty());
  EXPECT_TRUE(rec_->PenFrames().empty());

  // Emulated buttons of touch and pen come up together.
  auto emulating = MakeEmulating();
  emulating->InjectTouch(Touch(pb::TOUCH_ACTION_DOWN, 1));
  emulating->InjectPen(Eraser(pb::PEN_ACTION_DOWN));
  rec_->ClearInjections();
  emulating->ReleaseAllPointers();
  EXPECT_EQ(DescribeBatches(*rec_), std::vector<std::string>{"mouse 0x14 @0,0"});
}

TEST_F(InjectorTest, DestructionReleasesAndGivesBack) {
  {
    auto injector = Make();
    injector->InjectKey(Key(kDown, 65, 0, 1));
    injector->InjectTouch(Touch(pb::TOUCH_ACTION_DOWN, 1, 0.0f, 0.0f));
    injector->InjectPen(Pen(pb::PEN_ACTION_HOVER_MOVE));
    rec_->ClearInjections();
  }
  EXPECT_EQ(DescribeBatches(*rec_), std::vector<std::string>{"vk65 up, vk16 up"});
  EXPECT_EQ(DescribeTouch(*rec_), std::vector<std::string>{"0:CANCEL@0,0"});
  EXPECT_EQ(PenFlags(*rec_), (std::vector<std::pair<uint32_t, uint32_t>>{{kOutOfRange, 0}}));
  EXPECT_EQ(rec_->Calls(),
            (std::vector<std::string>{"create touch 10", "create pen 1", "destroy touch", "destroy pen"}));
}

// Events from one thread while the keep-alive thread runs; for the thread
// sanitiser, so nothing here depends on timing.
TEST_F(InjectorTest, KeepAliveThreadAlongsideEvents) {
  for (const bool synthetic : {true, false}) {
    SCOPED_TRACE(synthetic);
    rec_ = std::make_shared<InjectionPlatformRecorder>();
    rec_->SetSyntheticPointerApi(synthetic);
    auto injector = std::make_unique<InputInjector>(std::make_unique<RecordingInjectionPlatform>(rec_), clock_,
                                                    InputInjectorOptions{true});
    std::atomic<bool> done{false};
    std::thread targets([&] {
      for (uint32_t i = 0; !done.load(); ++i) {
        if (i % 2 == 0) {
          injector->SetTarget("\\\\.\\DISPLAY1", 0, 0, 1920, 1080, 1920 - i % 7, 1080);
        } else {
          injector->SetPrimaryTarget(1920, 1080);
        }
        PenDegradation d;
        injector->PenDegraded(&d);
        std::this_thread::yield();
      }
    });
    for (uint32_t i = 0; i < 600; ++i) {
      const float x = static_cast<float>(i % 100) / 100.0f;
      const uint32_t id = i % 3;
      injector->InjectTouch(Touch(i % 5 == 4 ? pb::TOUCH_ACTION_UP : pb::TOUCH_ACTION_MOVE, id, x, x));
      const pb::PenAction pen_actions[] = {pb::PEN_ACTION_HOVER_ENTER, pb::PEN_ACTION_DOWN, pb::PEN_ACTION_MOVE,
                                           pb::PEN_ACTION_UP, pb::PEN_ACTION_HOVER_EXIT};
      injector->InjectPen(Pen(pen_actions[i % 5], x, 1.0f - x));
      injector->InjectKey(Key(i % 2 == 0 ? kDown : kUp, 65 + i % 4, 0, i % 16));
      injector->InjectMouse(Mouse(pb::MOUSE_ACTION_MOVE, pb::MOUSE_BUTTON_NONE, x, x));
      if (i % 97 == 0) {
        injector->ReleaseAllKeys();
        injector->ReleaseAllPointers();
      }
      clock_.AdvanceMs(i % 10 == 0 ? 150 : 7);
      if (i % 5 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    done = true;
    targets.join();
    injector.reset();
    EXPECT_FALSE(rec_->Batches().empty());
  }
}

}  // namespace
}  // namespace orvane
