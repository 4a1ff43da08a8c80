#pragma once
// The tablet's script: an ordered list of messages to send after the Hello,
// given on the command line as "--send capability,ping,start-stream,empty".
// Each step is a name with an optional ":argument"; commas separate steps,
// so arguments cannot contain commas.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::sim {

inline constexpr size_t kMaxScriptSteps = 64;
inline constexpr size_t kMaxStepArgumentBytes = 256;
inline constexpr uint32_t kMaxWaitStepMs = 600'000;
// More than the host keeps of one batch, so that its limit can be tried.
inline constexpr uint32_t kMaxNackNumbers = 2048;
inline constexpr uint32_t kMaxWaitMediaUnits = 1'000'000;
inline constexpr uint32_t kDefaultWaitMediaMs = 10'000;
inline constexpr uint32_t kDefaultTouchEvents = 3;
inline constexpr uint32_t kMinTouchEvents = 2;
inline constexpr uint32_t kMaxTouchEvents = 100;
// Mouse and pen gestures: the events of the press (down, moves, up), bounded
// like a touch gesture.
inline constexpr uint32_t kDefaultMouseEvents = 4;
inline constexpr uint32_t kDefaultPenEvents = 4;
inline constexpr uint32_t kDefaultKeyCode = 65;  // 'A'
inline constexpr uint32_t kMaxKeyCode = 254;

enum class StepKind : int {
  kHello,          // another Hello with the same identity
  kCapability,     // CapabilityExchange from the tablet's capabilities
  kStartStream,    // text = session_id
  kStopStream,     // text = session_id
  kQuality,        // SetQualityProfile: first = kbit/s, second = fps, third = codec (0 = unchanged)
  kKeyframe,       // RequestKeyframe, text = stream_id; the time to the next decoded keyframe is printed
  kAudio,          // SetAudioEnabled: first = enabled, second = mute the PC speakers
  kPause,          // SetVideoPaused true
  kResume,         // SetVideoPaused false
  kFirstFrame,     // FirstFrameRendered, text = session_id
  kFileTransfer,   // StartFileTransfer (the host refuses it)
  kClipboard,      // ClipboardUpdate, text = the clipboard text
  kNack,           // NackRequest: first..second, third = stream_type
  kStats,          // StatsReport with plausible link figures
  kPing,           // Ping with the tablet's clock
  kTerminate,      // SessionTerminate, text = reason
  kMonitors,       // MonitorListRequest
  kSelectMonitor,  // SelectMonitor, text = monitor_id
  kOrientation,    // DisplayOrientationUpdate, first = DisplayOrientation
  kWindow,         // WindowCommand, first = WindowAction
  kKeyRotation,    // KeyRotation with a new key pair: text "fresh" (an epoch above every
                   // earlier one), "same" (the last epoch again) or "exact" (first = epoch)
  kEmpty,          // a ControlMessage with the envelope only (payload number 0)
  kWait,           // no message: keep printing what arrives for first milliseconds
  kWaitMedia,      // no message: wait until first access units are complete, at most second ms
  kWaitDecoded,    // no message: wait until first pictures are decoded, at most second ms
  kWaitCursor,     // no message: wait until first CursorUpdates arrived in all, at most second ms
  kTouch,          // first touch InputEvents on the input channel
  kKey,            // key down and up InputEvents of virtual-key code first
  kMouse,          // mouse InputEvents: a move, then a left press of first events (down, moves, up)
  kMouseHold,      // the same, without the up: the left button stays down
  kPen,            // pen InputEvents: hover enter, first contact events (down, moves, up), hover exit
  kPenBarrel,      // the same with the barrel button held on every event
  kEnd,            // no message: close the connection; the run ends here
};

struct ScriptStep {
  StepKind kind = StepKind::kEmpty;
  std::string text;
  uint32_t first = 0;
  uint32_t second = 0;
  uint32_t third = 0;
};

// Step name as written in a script ("start-stream", ...).
const char* StepName(StepKind kind);

// Payload field numbers of the host messages that answer the step; empty
// when the host sends no answer (the step then only waits briefly).
std::vector<int> ExpectedAnswers(StepKind kind);

// False with a one-line error naming the offending step; *steps is only
// written on success.
bool ParseScript(std::string_view text, std::vector<ScriptStep>* steps, std::string* error);

// The script part of --help: every step with its argument.
std::string ScriptUsageText();

}  // namespace orvane::sim
