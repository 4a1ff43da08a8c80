#include "tools/tablet_sim/sim_session.h"

#include <cinttypes>
#include <optional>
#include <string>
#include <vector>

#include "host/app/logger.h"
#include "host/common/net.h"
#include "tools/tablet_sim/sim_connection.h"
#include "tools/tablet_sim/sim_messages.h"
#include "tools/tablet_sim/sim_script.h"

namespace orvane::sim {
namespace {

// A step without an answer still leaves the host a moment to act on it
// before the next one, so that the host's log follows the script's order.
constexpr uint64_t kStepGapMs = 100;

// Renders a Hello's texts the way the host will see them in its log.
std::string Shown(const std::string& text) {
  std::string out(1, '\'');
  out.append(EscapeUntrusted(text));
  out.push_back('\'');
  return out;
}

bool IsResetByHost(int error) { return error == net::kWsaEConnReset || error == net::kWsaEConnAborted; }

// What one receive gave.
struct Event {
  enum class Kind { kMessage, kOtherFrame, kTimedOut, kEnded };
  Kind kind = Kind::kEnded;
  int type = 0;  // payload number of a kMessage
};

// One connection's run: the Hello, the script, then waiting for the end.
class SimRun {
 public:
  SimRun(const SimOptions& options, SimOutput& out, IClock& clock, ControlConnection& connection)
      : options_(options), out_(out), clock_(clock), connection_(connection),
        factory_(clock, options.protocol_version) {}

  int Run() {
    if (options_.send_hello) {
      if (!SendHello()) return exit_code_;
    } else if (options_.script.empty()) {
      out_.Info("[Sim] Staying silent (--no-hello)");
    } else {
      out_.Info("[Sim] Sending no Hello (--no-hello)");
    }
    ArmHold();
    if (!options_.script.empty() && !RunScript()) return exit_code_;
    WaitForTheEnd();
    return exit_code_;
  }

 private:
  void ArmHold() {
    const uint64_t hold_ms = static_cast<uint64_t>(options_.hold_seconds) * 1000;
    if (hold_ms > 0) hold_deadline_ = clock_.TickMs() + hold_ms;
  }

  // False when the connection ended (exit_code_ holds the outcome).
  bool SendHello() {
    const pb::ControlMessage hello =
        factory_.BuildHello(options_.client_id, options_.client_name, options_.app_version);
    size_t bytes = 0;
    if (!Send(hello, "Hello", &bytes)) return false;
    out_.Info("[Sim] Sent Hello client_id=%s client_name=%s app_version=%s protocol_version=%u (%zu bytes)",
              Shown(options_.client_id).c_str(), Shown(options_.client_name).c_str(),
              Shown(options_.app_version).c_str(), options_.protocol_version, bytes);
    return true;
  }

  bool Send(const pb::ControlMessage& message, const char* what, size_t* bytes) {
    int error = 0;
    if (connection_.SendMessage(message, bytes, &error)) return true;
    if (IsResetByHost(error)) {
      // The host closed first; that is how a refusal ends, not a failure.
      out_.Info("[Sim] Connection closed by host (reset, error %d)", error);
    } else {
      out_.Error("[Sim] Sending %s failed: error %d", what, error);
      exit_code_ = kSimExitConnectionFailed;
    }
    return false;
  }

  // Receives and prints one frame, or tells why none came.
  Event ReceiveOne(std::optional<uint64_t> deadline) {
    Event event;
    std::vector<uint8_t> payload;
    switch (connection_.ReceiveFrame(deadline, &payload)) {
      case FrameStatus::kFrame: {
        pb::ControlMessage message;
        if (IsSecureFrame(payload.data(), payload.size()) ||
            !message.ParseFromArray(payload.data(), static_cast<int>(payload.size()))) {
          out_.Info("[Sim] Received %s", DescribeUnreadableFrame(payload.data(), payload.size()).c_str());
          event.kind = Event::Kind::kOtherFrame;
          return event;
        }
        out_.Info("[Sim] Received %s", DescribeMessage(message).c_str());
        for (const std::string& line : DescribeMonitorEntries(message)) out_.Info("[Sim]   %s", line.c_str());
        if (message.payload_case() == pb::ControlMessage::kPong) PrintRoundTrip(message.pong());
        event.kind = Event::Kind::kMessage;
        event.type = static_cast<int>(message.payload_case());
        return event;
      }
      case FrameStatus::kTimedOut:
        event.kind = Event::Kind::kTimedOut;
        return event;
      case FrameStatus::kClosed:
        if (connection_.reader().mid_frame()) {
          out_.Info("[Sim] Connection closed by host in the middle of a frame");
        } else {
          out_.Info("[Sim] Connection closed by host");
        }
        return event;
      case FrameStatus::kError:
        if (IsResetByHost(connection_.reader().last_error())) {
          out_.Info("[Sim] Connection closed by host (reset, error %d)", connection_.reader().last_error());
        } else {
          out_.Error("[Sim] Receiving failed: error %d", connection_.reader().last_error());
          exit_code_ = kSimExitConnectionFailed;
        }
        return event;
      case FrameStatus::kInvalidLength:
        out_.Error("[Sim] Host announced a frame of %u bytes (allowed 1..%u); closing the connection",
                   connection_.reader().announced_length(), kMaxFramePayloadBytes);
        exit_code_ = kSimExitConnectionFailed;
        return event;
    }
    return event;
  }

  void PrintRoundTrip(const pb::Pong& pong) {
    const int64_t now = clock_.NowUs();
    const uint64_t sent = pong.ping_timestamp_us();
    if (sent == 0 || now < 0 || sent > static_cast<uint64_t>(now)) {
      out_.Info("[Sim] Ping round trip unknown (ping_timestamp_us=%" PRIu64 ")", sent);
      return;
    }
    const uint64_t rtt_us = static_cast<uint64_t>(now) - sent;
    out_.Info("[Sim] Ping round trip %" PRIu64 ".%03u ms", rtt_us / 1000, static_cast<unsigned>(rtt_us % 1000));
  }

  // Prints what arrives until a message of one of the answer types came
  // (true), the time ran out (true, *answered false) or the connection
  // ended (false).
  bool AwaitAnswer(const std::vector<int>& answers, uint64_t wait_ms, bool* answered) {
    *answered = false;
    const uint64_t deadline = clock_.TickMs() + wait_ms;
    for (;;) {
      const Event event = ReceiveOne(deadline);
      if (event.kind == Event::Kind::kEnded) return false;
      if (event.kind == Event::Kind::kTimedOut) return true;
      if (event.kind == Event::Kind::kMessage && event.type == pb::ControlMessage::kHelloAck) ArmHold();
      if (event.kind != Event::Kind::kMessage) continue;
      for (const int a : answers) {
        if (a == event.type) {
          *answered = true;
          return true;
        }
      }
    }
  }

  bool RunScript() {
    bool answered = false;
    if (options_.send_hello) {
      if (!AwaitAnswer({pb::ControlMessage::kHelloAck}, options_.answer_wait_ms, &answered)) return false;
      if (!answered) out_.Info("[Sim] No answer to Hello within %u ms", options_.answer_wait_ms);
    }
    for (const ScriptStep& step : options_.script) {
      if (step.kind == StepKind::kWait) {
        if (!AwaitAnswer({}, step.first, &answered)) return false;
        out_.Info("[Sim] Waited %u ms", step.first);
        continue;
      }
      if (step.kind == StepKind::kHello) {
        if (!SendHello()) return false;
      } else {
        const pb::ControlMessage message = factory_.BuildStep(step, options_.capabilities);
        size_t bytes = 0;
        if (!Send(message, StepName(step.kind), &bytes)) return false;
        out_.Info("[Sim] Sent %s (%zu bytes)", DescribeMessage(message).c_str(), bytes);
      }
      const std::vector<int> answers = ExpectedAnswers(step.kind);
      if (answers.empty()) {
        if (!AwaitAnswer({}, kStepGapMs, &answered)) return false;
        continue;
      }
      if (!AwaitAnswer(answers, options_.answer_wait_ms, &answered)) return false;
      if (!answered) out_.Info("[Sim] No answer to %s within %u ms", StepName(step.kind), options_.answer_wait_ms);
    }
    out_.Info("[Sim] Script done (%zu steps)", options_.script.size());
    ArmHold();
    return true;
  }

  void WaitForTheEnd() {
    for (;;) {
      const Event event = ReceiveOne(hold_deadline_);
      if (event.kind == Event::Kind::kEnded) return;
      if (event.kind == Event::Kind::kTimedOut) {
        out_.Info("[Sim] Held the connection for %u s; closing it", options_.hold_seconds);
        return;
      }
      // The hold counts from the end of the exchange: re-armed when the
      // HelloAck arrives, so an unanswered Hello still ends after the hold.
      if (event.kind == Event::Kind::kMessage && event.type == pb::ControlMessage::kHelloAck) ArmHold();
    }
  }

  const SimOptions& options_;
  SimOutput& out_;
  IClock& clock_;
  ControlConnection& connection_;
  MessageFactory factory_;
  std::optional<uint64_t> hold_deadline_;
  int exit_code_ = kSimExitOk;
};

}  // namespace

int RunTabletSim(const SimOptions& options, SimOutput& out, IClock& clock) {
  out.Info("[Sim] Connecting to %s:%u", options.host.c_str(), static_cast<unsigned>(options.port));
  ControlConnection connection(clock);
  const int connect_error = connection.Connect(options.host, options.port);
  if (connect_error != 0) {
    out.Error("[Sim] Could not connect to %s:%u: error %d", options.host.c_str(), static_cast<unsigned>(options.port),
              connect_error);
    return kSimExitConnectFailed;
  }
  out.Info("[Sim] Connected to %s:%u (local port %u)", options.host.c_str(), static_cast<unsigned>(options.port),
           static_cast<unsigned>(connection.local_port()));
  if (connection.nodelay_error() != 0) {
    out.Error("[Sim] TCP_NODELAY could not be set: error %d (continuing)", connection.nodelay_error());
  }
  if (connection.local_port_error() != 0) {
    out.Error("[Sim] Local port unknown: error %d (continuing)", connection.local_port_error());
  }

  SimRun run(options, out, clock, connection);
  const int exit_code = run.Run();
  const uint64_t received = connection.frames_received();
  const uint64_t sent = connection.frames_sent();
  connection.Close();
  out.Info("[Sim] Disconnected (frames received %" PRIu64 ", sent %" PRIu64 ")", received, sent);
  return exit_code;
}

}  // namespace orvane::sim
