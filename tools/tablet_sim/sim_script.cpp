#include "tools/tablet_sim/sim_script.h"

#include <initializer_list>
#include <optional>

#include "host/common/logger.h"
#include "host/common/parse.h"
#include "host/common/utf.h"

namespace orvane::sim {
namespace {

// Payload field numbers of the host's answers.
constexpr int kHelloAck = 11;
constexpr int kCapabilityAccept = 13;
constexpr int kStreamStarted = 16;
constexpr int kStreamStopped = 17;
constexpr int kPong = 51;
constexpr int kErrorMessage = 60;
constexpr int kMonitorListResponse = 91;
constexpr int kWindowCommandResult = 95;
constexpr int kKeyRotationAck = 81;

enum class Arg { kNone, kOptional, kRequired };

struct StepSpec {
  const char* name;
  StepKind kind;
  Arg arg;
  const char* usage;  // one line of --help
};

constexpr StepSpec kSteps[] = {
    {"hello", StepKind::kHello, Arg::kNone, "another Hello with the same identity and a new key pair"},
    {"capability", StepKind::kCapability, Arg::kNone, "CapabilityExchange (see the capability options)"},
    {"start-stream", StepKind::kStartStream, Arg::kOptional, "start-stream[:SESSION_ID]  StartStream (sim-session)"},
    {"stop-stream", StepKind::kStopStream, Arg::kOptional, "stop-stream[:SESSION_ID]   StopStream (sim-session)"},
    {"quality", StepKind::kQuality, Arg::kOptional,
     "quality[:KBPS/FPS/CODEC]   SetQualityProfile (8000/60/h264; 0 = unchanged,\n"
     "                               CODEC h264, hevc or a number)"},
    {"keyframe", StepKind::kKeyframe, Arg::kOptional,
     "keyframe[:STREAM_ID]       RequestKeyframe (sim-session); the time to the\n"
     "                               next decoded keyframe is printed"},
    {"audio", StepKind::kAudio, Arg::kOptional,
     "audio[:on|off|tablet-only] SetAudioEnabled (on); also\n"
     "                               audio:ENABLED:MUTE (0 or 1; 1:1 = tablet-only)"},
    {"pause", StepKind::kPause, Arg::kNone, "SetVideoPaused paused=yes"},
    {"resume", StepKind::kResume, Arg::kNone, "SetVideoPaused paused=no"},
    {"first-frame", StepKind::kFirstFrame, Arg::kOptional, "first-frame[:SESSION_ID]   FirstFrameRendered"},
    {"file-transfer", StepKind::kFileTransfer, Arg::kNone, "StartFileTransfer (the host refuses it)"},
    {"clipboard", StepKind::kClipboard, Arg::kOptional, "clipboard[:TEXT]           ClipboardUpdate"},
    {"nack", StepKind::kNack, Arg::kOptional,
     "nack[:FIRST-LAST[@TYPE]]   NackRequest for FIRST..LAST (1-3, stream type 1)"},
    {"stats", StepKind::kStats, Arg::kNone, "StatsReport with plausible link figures"},
    {"ping", StepKind::kPing, Arg::kNone, "Ping; the Pong is printed with the round trip"},
    {"terminate", StepKind::kTerminate, Arg::kOptional, "terminate[:REASON]         SessionTerminate"},
    {"monitors", StepKind::kMonitors, Arg::kNone, "MonitorListRequest"},
    {"select-monitor", StepKind::kSelectMonitor, Arg::kRequired, "select-monitor:ID          SelectMonitor"},
    {"orientation", StepKind::kOrientation, Arg::kRequired,
     "orientation:landscape|portrait|unspecified  DisplayOrientationUpdate"},
    {"window", StepKind::kWindow, Arg::kOptional,
     "window[:to-tablet|back|none]  WindowCommand (to-tablet)"},
    {"key-rotation", StepKind::kKeyRotation, Arg::kOptional,
     "key-rotation[:EPOCH|same]  KeyRotation with a new key pair; epoch above every\n"
     "                               earlier one (wall-clock microseconds), the last\n"
     "                               one again (same) or EPOCH (0..999999999)"},
    {"empty", StepKind::kEmpty, Arg::kNone, "a message with the envelope only (type 0)"},
    {"wait", StepKind::kWait, Arg::kRequired, "wait:MS                    send nothing for MS ms (at most 600000)"},
    {"wait-media", StepKind::kWaitMedia, Arg::kRequired,
     "wait-media:N[:MS]          wait until N access units of video are complete\n"
     "                               (at most MS ms, default 10000)"},
    {"wait-decoded", StepKind::kWaitDecoded, Arg::kRequired,
     "wait-decoded:N[:MS]        wait until N pictures are decoded (at most MS ms,\n"
     "                               default 10000)"},
    {"wait-cursor", StepKind::kWaitCursor, Arg::kRequired,
     "wait-cursor:N[:MS]         wait until N CursorUpdates have arrived in all\n"
     "                               (at most MS ms, default 10000)"},
    {"touch", StepKind::kTouch, Arg::kOptional,
     "touch[:N]                  N touch InputEvents on the input channel: down,\n"
     "                               moves, up (3; 2..100)"},
    {"mouse", StepKind::kMouse, Arg::kOptional,
     "mouse[:N]                  mouse InputEvents: a move, then a left press of N\n"
     "                               events: down, moves, up (4; 2..100)"},
    {"mouse-hold", StepKind::kMouseHold, Arg::kOptional,
     "mouse-hold[:N]             like mouse, without the up: the left button stays\n"
     "                               down (4; 2..100)"},
    {"pen", StepKind::kPen, Arg::kOptional,
     "pen[:N]                    pen InputEvents: hover enter, N contact events with\n"
     "                               rising pressure (down, moves, up), hover exit\n"
     "                               (4; 2..100)"},
    {"pen-barrel", StepKind::kPenBarrel, Arg::kOptional,
     "pen-barrel[:N]             like pen, with the barrel button held on every\n"
     "                               event (button_state 0x02; 4; 2..100)"},
    {"key", StepKind::kKey, Arg::kOptional,
     "key[:CODE]                 key down and key up InputEvents of a virtual-key\n"
     "                               code (65; 1..254)"},
    {"end", StepKind::kEnd, Arg::kNone, "close the connection now; the run ends (--hold is not waited)"},
};

const StepSpec* FindStep(std::string_view name) {
  for (const StepSpec& s : kSteps) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

std::string Join(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (const std::string_view p : parts) out.append(p);
  return out;
}

std::optional<uint32_t> Number(std::string_view text, uint32_t max) {
  const std::optional<uint32_t> v = ParseDecimalDigits(text, 9);
  if (!v || *v > max) return std::nullopt;
  return v;
}

std::optional<uint32_t> CodecNumber(std::string_view text) {
  if (text == "h264") return 1u;
  if (text == "hevc") return 2u;
  return Number(text, 999'999'999);
}

uint32_t DefaultGestureEvents(StepKind kind) {
  switch (kind) {
    case StepKind::kMouse:
    case StepKind::kMouseHold: return kDefaultMouseEvents;
    case StepKind::kPen:
    case StepKind::kPenBarrel: return kDefaultPenEvents;
    default: return kDefaultTouchEvents;
  }
}

// Fills the step from its argument; an empty argument means the default.
bool ReadArgument(std::string_view arg, ScriptStep* step, std::string* why) {
  switch (step->kind) {
    case StepKind::kStartStream:
    case StepKind::kStopStream:
    case StepKind::kKeyframe:
    case StepKind::kFirstFrame:
      step->text = arg.empty() ? "sim-session" : std::string(arg);
      return true;
    case StepKind::kClipboard:
      step->text = arg.empty() ? "Hello from the tablet" : std::string(arg);
      return true;
    case StepKind::kTerminate:
      step->text = arg.empty() ? "user left" : std::string(arg);
      return true;
    case StepKind::kSelectMonitor:
      step->text = std::string(arg);
      return true;
    case StepKind::kQuality: {
      step->first = 8000;
      step->second = 60;
      step->third = 1;
      if (arg.empty()) return true;
      const size_t a = arg.find('/');
      const size_t b = a == std::string_view::npos ? a : arg.find('/', a + 1);
      if (b == std::string_view::npos || arg.find('/', b + 1) != std::string_view::npos) {
        *why = "needs KBPS/FPS/CODEC";
        return false;
      }
      const auto kbps = Number(arg.substr(0, a), 999'999'999);
      const auto fps = Number(arg.substr(a + 1, b - a - 1), 999'999'999);
      const auto codec = CodecNumber(arg.substr(b + 1));
      if (!kbps || !fps || !codec) {
        *why = "needs KBPS/FPS/CODEC with numbers and h264 or hevc";
        return false;
      }
      step->first = *kbps;
      step->second = *fps;
      step->third = *codec;
      return true;
    }
    case StepKind::kAudio:
      if (arg.empty() || arg == "on" || arg == "1:0") {
        step->first = 1;
      } else if (arg == "tablet-only" || arg == "1:1") {
        step->first = 1;
        step->second = 1;
      } else if (arg == "0:1") {
        // Off, with the wish for tablet-only sound kept: sent as it is.
        step->second = 1;
      } else if (arg != "off" && arg != "0:0") {
        *why = "needs on, off or tablet-only (or ENABLED:MUTE, 0 or 1 each)";
        return false;
      }
      return true;
    case StepKind::kNack: {
      step->first = 1;
      step->second = 3;
      step->third = 1;
      if (arg.empty()) return true;
      std::string_view range = arg;
      const size_t at = arg.find('@');
      if (at != std::string_view::npos) {
        const auto type = Number(arg.substr(at + 1), 999'999'999);
        if (!type) {
          *why = "needs a stream type number after @";
          return false;
        }
        step->third = *type;
        range = arg.substr(0, at);
      }
      const size_t dash = range.find('-');
      const auto first = Number(range.substr(0, dash), 999'999'999);
      const auto last = dash == std::string_view::npos ? first : Number(range.substr(dash + 1), 999'999'999);
      if (!first || !last || *last < *first || *last - *first >= kMaxNackNumbers) {
        *why = Join({"needs FIRST-LAST with at most ", std::to_string(kMaxNackNumbers), " numbers"});
        return false;
      }
      step->first = *first;
      step->second = *last;
      return true;
    }
    case StepKind::kOrientation:
      if (arg == "unspecified") {
        step->first = 0;
      } else if (arg == "landscape") {
        step->first = 1;
      } else if (arg == "portrait") {
        step->first = 2;
      } else {
        *why = "needs landscape, portrait or unspecified";
        return false;
      }
      return true;
    case StepKind::kWindow:
      if (arg.empty() || arg == "to-tablet") {
        step->first = 1;
      } else if (arg == "back") {
        step->first = 2;
      } else if (arg == "none") {
        step->first = 0;
      } else {
        *why = "needs to-tablet, back or none";
        return false;
      }
      return true;
    case StepKind::kKeyRotation: {
      if (arg.empty() || arg == "same") {
        step->text = arg.empty() ? "fresh" : "same";
        return true;
      }
      const auto epoch = Number(arg, 999'999'999);
      if (!epoch) {
        *why = "needs same or an epoch from 0 to 999999999";
        return false;
      }
      step->text = "exact";
      step->first = *epoch;
      return true;
    }
    case StepKind::kWait: {
      const auto ms = Number(arg, kMaxWaitStepMs);
      if (!ms) {
        *why = Join({"needs a number of milliseconds from 0 to ", std::to_string(kMaxWaitStepMs)});
        return false;
      }
      step->first = *ms;
      return true;
    }
    case StepKind::kWaitMedia:
    case StepKind::kWaitDecoded:
    case StepKind::kWaitCursor: {
      const size_t colon = arg.find(':');
      const auto units = Number(arg.substr(0, colon), kMaxWaitMediaUnits);
      const auto ms = colon == std::string_view::npos ? std::optional<uint32_t>(kDefaultWaitMediaMs)
                                                      : Number(arg.substr(colon + 1), kMaxWaitStepMs);
      if (!units || *units == 0 || !ms) {
        *why = Join({"needs N[:MS] with N from 1 to ", std::to_string(kMaxWaitMediaUnits), " and MS from 0 to ",
                     std::to_string(kMaxWaitStepMs)});
        return false;
      }
      step->first = *units;
      step->second = *ms;
      return true;
    }
    case StepKind::kTouch:
    case StepKind::kMouse:
    case StepKind::kMouseHold:
    case StepKind::kPen:
    case StepKind::kPenBarrel: {
      const auto n = arg.empty() ? std::optional<uint32_t>(DefaultGestureEvents(step->kind)) : Number(arg, 999'999'999);
      if (!n || *n < kMinTouchEvents || *n > kMaxTouchEvents) {
        *why = Join({"needs a number of events from ", std::to_string(kMinTouchEvents), " to ",
                     std::to_string(kMaxTouchEvents)});
        return false;
      }
      step->first = *n;
      return true;
    }
    case StepKind::kKey: {
      const auto code = arg.empty() ? std::optional<uint32_t>(kDefaultKeyCode) : Number(arg, kMaxKeyCode);
      if (!code || *code == 0) {
        *why = Join({"needs a virtual-key code from 1 to ", std::to_string(kMaxKeyCode)});
        return false;
      }
      step->first = *code;
      return true;
    }
    default:
      return true;
  }
}

}  // namespace

const char* StepName(StepKind kind) {
  for (const StepSpec& s : kSteps) {
    if (s.kind == kind) return s.name;
  }
  return "unknown";
}

std::vector<int> ExpectedAnswers(StepKind kind) {
  switch (kind) {
    case StepKind::kHello: return {kHelloAck};
    case StepKind::kCapability: return {kCapabilityAccept, kErrorMessage};
    case StepKind::kStartStream: return {kStreamStarted, kStreamStopped, kErrorMessage};
    case StepKind::kStopStream: return {kStreamStopped};
    case StepKind::kFileTransfer: return {kErrorMessage};
    case StepKind::kPing: return {kPong};
    case StepKind::kMonitors: return {kMonitorListResponse};
    case StepKind::kSelectMonitor: return {kMonitorListResponse, kErrorMessage};
    case StepKind::kWindow: return {kWindowCommandResult};
    case StepKind::kKeyRotation: return {kKeyRotationAck};
    default: return {};
  }
}

bool ParseScript(std::string_view text, std::vector<ScriptStep>* steps, std::string* error) {
  std::vector<ScriptStep> out;
  auto fail = [&](std::string_view item, std::string_view why) {
    *error = Join({"--send step '", EscapeUntrusted(Utf8Prefix(item, 64)), "' ", why});
    return false;
  };
  if (text.empty()) {
    *error = "--send needs at least one step";
    return false;
  }
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string_view item = text.substr(start, comma == std::string_view::npos ? comma : comma - start);
    if (out.size() == kMaxScriptSteps) {
      return fail(item, Join({"is one too many (at most ", std::to_string(kMaxScriptSteps), " steps)"}));
    }
    const size_t colon = item.find(':');
    const std::string_view name = item.substr(0, colon);
    const bool has_arg = colon != std::string_view::npos;
    const std::string_view arg = has_arg ? item.substr(colon + 1) : std::string_view();
    const StepSpec* known = FindStep(name);
    if (known == nullptr) return fail(item, "is unknown");
    if (known->arg == Arg::kNone && has_arg) return fail(item, "takes no argument");
    if (known->arg == Arg::kRequired && arg.empty()) return fail(item, "needs an argument after ':'");
    if (arg.size() > kMaxStepArgumentBytes || !IsValidUtf8(arg)) {
      return fail(item, Join({"needs UTF-8 text of at most ", std::to_string(kMaxStepArgumentBytes), " bytes"}));
    }
    ScriptStep step;
    step.kind = known->kind;
    std::string why;
    if (!ReadArgument(arg, &step, &why)) return fail(item, why);
    out.push_back(std::move(step));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  *steps = std::move(out);
  return true;
}

std::string ScriptUsageText() {
  std::string text;
  for (const StepSpec& s : kSteps) {
    const std::string_view usage = s.usage;
    text += "    ";
    // Lines that start with the step's own form already name it.
    if (usage.rfind(s.name, 0) != 0) {
      std::string name = s.name;
      name.resize(27, ' ');
      text += name;
    }
    text += usage;
    text += '\n';
  }
  return text;
}

}  // namespace orvane::sim
