#include "tools/tablet_sim/sim_session.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/common/file_io.h"
#include "host/common/logger.h"
#include "host/common/net.h"
#include "host/security/crypto.h"
#include "host/security/host_identity.h"
#include "host/security/key_agreement.h"
#include "tools/tablet_sim/sim_audio.h"
#include "tools/tablet_sim/sim_auth.h"
#include "tools/tablet_sim/sim_connection.h"
#include "tools/tablet_sim/sim_input.h"
#include "tools/tablet_sim/sim_keys.h"
#include "tools/tablet_sim/sim_media.h"
#include "tools/tablet_sim/sim_media_channel.h"
#include "tools/tablet_sim/sim_messages.h"
#include "tools/tablet_sim/sim_script.h"
#include "tools/tablet_sim/sim_state.h"
#include "tools/tablet_sim/sim_udp.h"
#include "tools/tablet_sim/sim_video.h"

namespace orvane::sim {
namespace {

// A step without an answer still leaves the host a moment to act on it
// before the next one, so that the host's log follows the script's order.
constexpr uint64_t kStepGapMs = 100;

// Media: how often the waiting loop looks after the media (requests, punches,
// statistics), the punch repeats (UDP may lose one), the statistics interval
// and how many of the routine request and statistics lines are printed.
constexpr uint64_t kMediaServiceMs = 10;
constexpr uint32_t kPunchRepeats = 3;
constexpr uint64_t kPunchIntervalMs = 100;
constexpr uint64_t kStatsIntervalMs = 1000;
constexpr uint64_t kPrintedNackRequests = 5;
constexpr uint64_t kPrintedStatsReports = 5;
constexpr uint64_t kPrintedKeyframeRequests = 5;
// At the end, the decoder works off what is queued for at most this long.
constexpr uint64_t kVideoDrainMs = 2000;

// Renders a Hello's texts the way the host will see them in its log.
std::string Shown(const std::string& text) {
  std::string out(1, '\'');
  out.append(EscapeUntrusted(text));
  out.push_back('\'');
  return out;
}

bool IsResetByHost(int error) { return error == net::kWsaEConnReset || error == net::kWsaEConnAborted; }

unsigned long long U(uint64_t value) { return static_cast<unsigned long long>(value); }

ByteView BytesOf(const std::string& text) {
  return ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// How one message left.
struct SentFrame {
  size_t bytes = 0;  // the serialised ControlMessage
  bool sealed = false;
  uint64_t counter = 0;
};

// "(N bytes)" or "(N bytes, secure ctr=C)".
std::string SizeText(const SentFrame& sent) {
  char text[96];
  if (sent.sealed) {
    std::snprintf(text, sizeof text, "(%zu bytes, secure ctr=%llu)", sent.bytes, U(sent.counter));
  } else {
    std::snprintf(text, sizeof text, "(%zu bytes)", sent.bytes);
  }
  return text;
}

// What one receive gave.
struct Event {
  enum class Kind { kMessage, kOtherFrame, kTimedOut, kEnded };
  Kind kind = Kind::kEnded;
  int type = 0;  // payload number of a kMessage
};

// Where the authentication of the last Hello stands.
enum class AuthPhase {
  kNoHello,          // no Hello sent yet
  kAwaitHelloAck,    // the Hello is out
  kAwaitAuthStatus,  // auth v2: the AuthProof is out
  kAuthenticated,
  kRefused,          // by the host, or the tablet refused the host
};

// One connection's run: the Hello, the script, then waiting for the end.
class SimRun {
 public:
  SimRun(const SimOptions& options, SimOutput& out, IClock& clock, ControlConnection& connection, SimState& state)
      : options_(options), out_(out), clock_(clock), connection_(connection), state_(state),
        factory_(clock, options.protocol_version), keys_(options.key_order), host_input_port_(options.input_port) {}

  ~SimRun() { crypto::SecureWipe(credential_); }

  int Run() {
    const int exit_code = RunConnection();
    EndMedia();
    return exit_code;
  }

 private:
  int RunConnection() {
    PrepareCredential();
    if (options_.send_hello) {
      if (!SendHello()) return Finish();
    } else if (options_.script.empty()) {
      out_.Info("[Sim] Staying silent (--no-hello)");
    } else {
      out_.Info("[Sim] Sending no Hello (--no-hello)");
    }
    ArmHold();
    if (!options_.script.empty() && !RunScript()) return Finish();
    if (!stop_) WaitForTheEnd();
    return Finish();
  }

  // The credential this run proves: from the pairing code, else the stored
  // one when it belongs to this client_id.
  void PrepareCredential() {
    if (!options_.pairing_code.empty()) {
      if (CredentialFromCode(options_.pairing_code, options_.client_id, &credential_)) {
        source_ = CredentialSource::kCode;
        out_.Info("[Sim] Credential for client_id=%s: derived from the pairing code",
                  Shown(options_.client_id).c_str());
      } else {
        out_.Error("[Sim] Could not derive a credential from the pairing code; proving none");
      }
      return;
    }
    if (!state_.credential.empty() && state_.client_id == options_.client_id) {
      credential_ = state_.credential;
      source_ = CredentialSource::kStored;
      out_.Info("[Sim] Credential for client_id=%s: stored (a trusted device)", Shown(options_.client_id).c_str());
      return;
    }
    if (!state_.credential.empty()) {
      out_.Info("[Sim] The stored credential belongs to client_id=%s, not %s; not using it",
                Shown(state_.client_id).c_str(), Shown(options_.client_id).c_str());
    }
    if (options_.Authenticating()) {
      out_.Info("[Sim] Credential for client_id=%s: none (the tablet has not paired)",
                Shown(options_.client_id).c_str());
    }
  }

  // The exit code: a failure of the connection first, then authentication
  // (for runs that try it), then the state file.
  int Finish() {
    if (exit_code_ != kSimExitOk) return exit_code_;
    if (options_.Authenticating() && phase_ != AuthPhase::kAuthenticated) {
      std::string why = refusal_;
      if (why.empty()) {
        switch (phase_) {
          case AuthPhase::kNoHello: why = "no Hello was sent"; break;
          case AuthPhase::kAwaitHelloAck: why = "the host did not answer the Hello"; break;
          case AuthPhase::kAwaitAuthStatus: why = "the host did not answer the AuthProof"; break;
          default: why = "refused"; break;
        }
      }
      out_.Error("[Sim] Not authenticated: %s", why.c_str());
      return kSimExitNotAuthenticated;
    }
    if (state_write_failed_) return kSimExitStateFile;
    return kSimExitOk;
  }

  // After a Hello's outcome: a run that tries to authenticate goes on only
  // when it is authenticated.
  bool MayGoOn() {
    if (stop_) return false;
    if (!options_.Authenticating() || phase_ == AuthPhase::kAuthenticated) return true;
    stop_ = true;
    return false;
  }

  // The state file after a change; the words for the line that reports it.
  std::string SaveState() {
    if (options_.state_file.empty()) return "kept for this run only, no --state-file";
    std::string why;
    if (SaveSimState(PathFromUtf8(options_.state_file), state_, &why)) {
      return "saved in " + Shown(options_.state_file);
    }
    out_.Error("[Sim] Could not write the state file %s: %s", Shown(options_.state_file).c_str(),
               EscapeUntrusted(why).c_str());
    state_write_failed_ = true;
    return "NOT saved";
  }

  void Authenticated(uint32_t auth_version) {
    phase_ = AuthPhase::kAuthenticated;
    refusal_.clear();
    const char* with = proof_source_ == CredentialSource::kStored ? "the stored credential"
                       : proof_source_ == CredentialSource::kCode ? "the pairing code"
                                                                  : "no credential";
    out_.Info("[Sim] Authenticated (auth v%u) with %s", auth_version, with);
    StartMedia();
    if (proof_source_ != CredentialSource::kCode) return;
    // The code is used up: from now on this tablet is a trusted device.
    source_ = CredentialSource::kStored;
    state_.client_id = options_.client_id;
    state_.credential = credential_;
    out_.Info("[Sim] Stored credential for client_id=%s (%s)", Shown(options_.client_id).c_str(),
              SaveState().c_str());
  }

  // The host refused the tablet, or the tablet the host. A run that tries
  // to authenticate stops; a probing run goes on (the tablet refusing the
  // host always stops).
  void Refused(const std::string& why, bool tablet_refused) {
    phase_ = AuthPhase::kRefused;
    refusal_ = why;
    if (tablet_refused || options_.Authenticating()) stop_ = true;
  }

  // The host's verdict on the proof (HelloAck of auth v1, AuthStatus of v2).
  void OnVerdict(int result, uint32_t auth_version) {
    switch (result) {
      case pb::AUTH_RESULT_OK:
        Authenticated(auth_version);
        return;
      case pb::AUTH_RESULT_PAIRING_REQUIRED: {
        const char* tail = proof_source_ == CredentialSource::kCode     ? " (the code given was not accepted)"
                           : proof_source_ == CredentialSource::kStored ? " (the stored credential was not accepted)"
                                                                        : "";
        out_.Info("[Sim] Pairing required: the host shows a pairing code; run again with --pairing-code CODE%s",
                  tail);
        Refused("pairing required", false);
        return;
      }
      case pb::AUTH_RESULT_REJECTED:
        out_.Info("[Sim] Rejected: the host refused the tablet (auth v%u)", auth_version);
        Refused("rejected by the host", false);
        return;
      default:
        Refused("the host refused the Hello (" + AuthResultText(result) + ")", false);
        return;
    }
  }
  void ArmHold() {
    const uint64_t hold_ms = static_cast<uint64_t>(options_.hold_seconds) * 1000;
    if (hold_ms > 0) hold_deadline_ = clock_.TickMs() + hold_ms;
  }

  // False when the connection ended (exit_code_ holds the outcome).
  bool SendHello() {
    std::vector<uint8_t> key;
    if (keys_.NewHelloPair()) {
      key = keys_.HelloPublicKey();
    } else {
      out_.Error("[Sim] Could not make an ephemeral key pair; the Hello carries no key");
    }
    // Auth v1 proves the credential over this Hello's own key; auth v2
    // proves it later, over the signed transcript.
    const uint32_t auth_version = options_.auth_version;
    Bytes proof;
    CredentialSource proof_source = CredentialSource::kNone;
    if (auth_version < 2 && source_ != CredentialSource::kNone && !key.empty()) {
      if (BuildHelloProof(credential_, options_.client_id, key, &proof)) {
        proof_source = source_;
      } else {
        out_.Error("[Sim] Could not compute the pairing proof; the Hello carries none");
      }
    }
    const pb::ControlMessage hello = factory_.BuildHello(options_.client_id, options_.client_name,
                                                         options_.app_version, key, options_.directional_nonce,
                                                         auth_version, proof);
    crypto::SecureWipe(proof);
    // A Hello on a connection with keys is sealed like everything else; the
    // keys end with it.
    SentFrame sent;
    if (!Send(hello, "Hello", &sent)) return false;
    keys_.HelloSent();
    phase_ = AuthPhase::kAwaitHelloAck;
    hello_auth_version_ = auth_version;
    proof_source_ = proof_source;
    out_.Info("[Sim] Sent Hello client_id=%s client_name=%s app_version=%s protocol_version=%u ephemeral_fp=%s "
              "directional_control_nonce=%d auth_version=%u pairing_proof=%s %s",
              Shown(options_.client_id).c_str(), Shown(options_.client_name).c_str(),
              Shown(options_.app_version).c_str(), options_.protocol_version,
              security::KeyFingerprintOrNone(key).c_str(), options_.directional_nonce ? 1 : 0, auth_version,
              CredentialSourceName(proof_source), SizeText(sent).c_str());
    return true;
  }

  // Sealed once the tablet has session keys, plain before.
  bool Send(const pb::ControlMessage& message, const char* what, SentFrame* sent) {
    std::string plain;
    if (!message.SerializeToString(&plain)) {
      out_.Error("[Sim] Could not serialise %s", what);
      exit_code_ = kSimExitConnectionFailed;
      return false;
    }
    sent->bytes = plain.size();
    int error = 0;
    bool ok = false;
    if (keys_.Sealing()) {
      Bytes frame;
      if (!keys_.Seal(BytesOf(plain), &frame, &sent->counter)) {
        out_.Error("[Sim] Sealing %s failed", what);
        exit_code_ = kSimExitConnectionFailed;
        return false;
      }
      sent->sealed = true;
      ok = connection_.SendFrame(frame.data(), frame.size(), &error);
      if (ok) FollowPromotion();
    } else {
      ok = connection_.SendFrame(reinterpret_cast<const uint8_t*>(plain.data()), plain.size(), &error);
    }
    if (ok) return true;
    if (IsResetByHost(error)) {
      // The host closed first; that is how a refusal ends, not a failure.
      out_.Info("[Sim] Connection closed by host (reset, error %d)", error);
    } else {
      out_.Error("[Sim] Sending %s failed: error %d", what, error);
      exit_code_ = kSimExitConnectionFailed;
    }
    return false;
  }

  // A secure frame that did not open: reported, then dropped.
  void ReportUnopened(const OpenResult& opened, size_t length) {
    switch (opened.status) {
      case OpenStatus::kNoKey:
        out_.Error("[Sim] Received a secure frame (%zu bytes, ctr=%llu) before any session key; dropped", length,
                   U(opened.counter));
        break;
      case OpenStatus::kNotEncrypted:
        out_.Error("[Sim] Received a secure frame (%zu bytes, ctr=%llu) without the encrypted flag; dropped", length,
                   U(opened.counter));
        break;
      case OpenStatus::kStale:
        out_.Error("[Sim] Received a secure frame (%zu bytes, ctr=%llu) with a stale counter (last ctr=%lld); "
                   "dropped",
                   length, U(opened.counter), static_cast<long long>(keys_.last_receive_counter()));
        break;
      default:
        out_.Error("[Sim] Received a secure frame (%zu bytes, ctr=%llu) that does not open under key fp=%s "
                   "(key_order=%s, directional_control_nonce=%d); dropped",
                   length, U(opened.counter), keys_.InUseFingerprint().c_str(), KeyOrderName(keys_.order()),
                   keys_.directional() ? 1 : 0);
        break;
    }
  }

  // Receives and prints one frame, or tells why none came.
  Event ReceiveOne(std::optional<uint64_t> deadline) {
    Event event;
    std::vector<uint8_t> payload;
    FrameStatus status = FrameStatus::kTimedOut;
    for (;;) {
      if (!ServiceMedia()) return event;  // the connection ended
      std::optional<uint64_t> slice = deadline;
      if (media_) {
        // With media running the wait is cut into short slices; an
        // unfinished frame is kept by the reader across them.
        const uint64_t next = clock_.TickMs() + kMediaServiceMs;
        if (!slice || *slice > next) slice = next;
      }
      status = connection_.ReceiveFrame(slice, &payload);
      if (status == FrameStatus::kTimedOut && media_ && (!deadline || clock_.TickMs() < *deadline)) continue;
      break;
    }
    switch (status) {
      case FrameStatus::kFrame: {
        event.kind = Event::Kind::kOtherFrame;
        Bytes plain;
        const OpenResult opened = keys_.Open(ByteView(payload.data(), payload.size()), &plain);
        const bool secure = opened.status == OpenStatus::kOpened;
        if (opened.status != OpenStatus::kPlain && !secure) {
          ReportUnopened(opened, payload.size());
          return event;
        }
        if (!secure && IsSecureFrame(payload.data(), payload.size())) {
          out_.Error("[Sim] Received a secure frame of %zu bytes, shorter than its header; dropped", payload.size());
          return event;
        }
        const std::vector<uint8_t>& bytes = secure ? plain : payload;
        const size_t length = bytes.size();
        pb::ControlMessage message;
        const bool parsed = message.ParseFromArray(bytes.data(), static_cast<int>(length));
        crypto::SecureWipe(plain);
        if (!parsed) {
          if (secure) {
            out_.Error("[Sim] Received a secure frame (ctr=%llu) whose %zu bytes are not a ControlMessage; dropped",
                       U(opened.counter), length);
          } else {
            out_.Info("[Sim] Received %s", DescribeUnreadableFrame(payload.data(), payload.size()).c_str());
          }
          return event;
        }
        std::string envelope;
        if (secure) envelope = " secure ctr=" + std::to_string(opened.counter);
        out_.Info("[Sim] Received %s%s", DescribeMessage(message).c_str(), envelope.c_str());
        for (const std::string& line : DescribeMonitorEntries(message)) out_.Info("[Sim]   %s", line.c_str());
        for (const std::string& line : DescribeHostFigures(message)) out_.Info("[Sim] %s", line.c_str());
        if (message.payload_case() == pb::ControlMessage::kPong) PrintRoundTrip(message.pong());
        if (opened.other_order) {
          out_.Info("[Sim] Opened under the %s-order key: the host has not switched to the %s-order key yet",
                    KeyOrderName(keys_.order() == KeyOrder::kMsb ? KeyOrder::kLsb : KeyOrder::kMsb),
                    KeyOrderName(keys_.order()));
        }
        const int type = static_cast<int>(message.payload_case());
        if (!secure && keys_.HasKeys() && type != pb::ControlMessage::kHelloAck) {
          out_.Error("[Sim] Warning: %s came in plain after the key agreement", PayloadName(type));
        }
        HandleKeyMessage(message, secure);
        if (secure) HandleMediaMessage(message);
        // The tablet stops: a refused authentication, or a host it refused.
        if (stop_) {
          event.kind = Event::Kind::kEnded;
          return event;
        }
        if (type == pb::ControlMessage::kCursorUpdate) cursor_updates_ += 1;
        event.kind = Event::Kind::kMessage;
        event.type = type;
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
    rtt_ms_ = static_cast<double>(rtt_us) / 1000.0;
    if (media_) media_->SetRoundTripMs(rtt_ms_);
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

  // Prints what arrives until the Hello just sent has its outcome: the
  // HelloAck and, for auth v2, the AuthStatus (each answer waits up to
  // --answer-wait). False when the connection ended.
  bool AwaitHelloOutcome(const char* what) {
    AuthPhase waited = phase_;
    uint64_t deadline = clock_.TickMs() + options_.answer_wait_ms;
    while (phase_ == AuthPhase::kAwaitHelloAck || phase_ == AuthPhase::kAwaitAuthStatus) {
      if (phase_ != waited) {
        waited = phase_;
        deadline = clock_.TickMs() + options_.answer_wait_ms;
      }
      const Event event = ReceiveOne(deadline);
      if (event.kind == Event::Kind::kEnded) return false;
      if (event.kind == Event::Kind::kTimedOut) {
        out_.Info("[Sim] No answer to %s within %u ms", phase_ == AuthPhase::kAwaitAuthStatus ? "AuthProof" : what,
                  options_.answer_wait_ms);
        return true;
      }
      if (event.kind == Event::Kind::kMessage && (event.type == pb::ControlMessage::kHelloAck ||
                                                  event.type == pb::ControlMessage::kAuthStatus)) {
        ArmHold();
      }
    }
    return true;
  }

  bool RunScript() {
    bool answered = false;
    if (options_.send_hello) {
      if (!AwaitHelloOutcome("Hello") || !MayGoOn()) return false;
    }
    for (const ScriptStep& step : options_.script) {
      if (step.kind == StepKind::kWait) {
        if (!AwaitAnswer({}, step.first, &answered)) return false;
        out_.Info("[Sim] Waited %u ms", step.first);
        continue;
      }
      if (step.kind == StepKind::kWaitCursor) {
        if (!WaitForCursorUpdates(step.first, step.second)) return false;
        continue;
      }
      if (step.kind == StepKind::kWaitMedia) {
        if (!WaitForMedia(step.first, step.second)) return false;
        continue;
      }
      if (step.kind == StepKind::kWaitDecoded) {
        if (!WaitForDecoded(step.first, step.second)) return false;
        continue;
      }
      if (IsInputStep(step.kind)) {
        SendInputEvents(InputEventsOf(step));
        if (!AwaitAnswer({}, kStepGapMs, &answered)) return false;
        continue;
      }
      if (step.kind == StepKind::kEnd) {
        out_.Info("[Sim] Closing the connection (end step)");
        stop_ = true;
        return false;
      }
      if (step.kind == StepKind::kHello) {
        if (!SendHello() || !AwaitHelloOutcome(StepName(step.kind)) || !MayGoOn()) return false;
        continue;
      } else if (step.kind == StepKind::kKeyRotation) {
        bool sent = false;
        if (!SendKeyRotation(step, &sent)) return false;
        if (!sent) continue;
      } else {
        const pb::ControlMessage message = factory_.BuildStep(step, options_.capabilities);
        SentFrame sent;
        if (!Send(message, StepName(step.kind), &sent)) return false;
        out_.Info("[Sim] Sent %s %s", DescribeMessage(message).c_str(), SizeText(sent).c_str());
        if (step.kind == StepKind::kStartStream) {
          stream_session_id_ = step.text;
          // Without a CapabilityAccept the punch goes to the default port.
          if (media_ && !punched_) SchedulePunches();
        }
        if (step.kind == StepKind::kStopStream && video_) video_->OnStop(clock_.TickMs());
        if (step.kind == StepKind::kKeyframe && video_) keyframe_watch_ms_ = clock_.TickMs();
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

  static bool IsInputStep(StepKind kind) {
    return kind == StepKind::kTouch || kind == StepKind::kKey || kind == StepKind::kMouse ||
           kind == StepKind::kMouseHold || kind == StepKind::kPen || kind == StepKind::kPenBarrel;
  }

  std::vector<pb::InputEvent> InputEventsOf(const ScriptStep& step) {
    const uint64_t now_us = static_cast<uint64_t>(std::max<int64_t>(clock_.NowUs(), 0));
    switch (step.kind) {
      case StepKind::kTouch: return inputs_.TouchGesture(step.first, now_us);
      case StepKind::kMouse: return inputs_.MouseGesture(step.first, true, now_us);
      case StepKind::kMouseHold: return inputs_.MouseGesture(step.first, false, now_us);
      case StepKind::kPen: return inputs_.PenStroke(step.first, 0, now_us);
      case StepKind::kPenBarrel: return inputs_.PenStroke(step.first, kPenBarrelButton, now_us);
      default: return inputs_.KeyPress(step.first, now_us);
    }
  }

  // False when the connection ended; *sent false when nothing went out.
  bool SendKeyRotation(const ScriptStep& step, bool* sent_out) {
    *sent_out = false;
    uint64_t epoch = 0;
    if (step.text == "exact") {
      epoch = step.first;
    } else if (step.text == "same" && keys_.last_epoch() != 0) {
      epoch = keys_.last_epoch();
    } else {
      epoch = keys_.FreshEpoch(clock_);
    }
    Bytes key;
    if (!keys_.BeginRotation(epoch, &key)) {
      out_.Error("[Sim] Key rotation: could not make a key pair; nothing sent");
      return true;
    }
    const pb::ControlMessage message = factory_.BuildKeyRotation(epoch, key);
    SentFrame sent;
    if (!Send(message, "key-rotation", &sent)) return false;
    *sent_out = true;
    out_.Info("[Sim] Sent %s %s", DescribeMessage(message).c_str(), SizeText(sent).c_str());
    out_.Info("[Sim] Key rotation: asked for epoch=%llu with ephemeral_fp=%s (current key fp=%s)", U(epoch),
              security::KeyFingerprint(key).c_str(), keys_.InUseFingerprint().c_str());
    return true;
  }

  // The messages that change the keys. Rotation messages count only when
  // they came sealed: a plain one could come from anybody on the path.
  void HandleKeyMessage(const pb::ControlMessage& message, bool secure) {
    switch (message.payload_case()) {
      case pb::ControlMessage::kHelloAck:
        OnHelloAck(message.hello_ack());
        break;
      case pb::ControlMessage::kAuthStatus:
        // Only the handshake key can have sealed it; a plain one could come
        // from anybody on the path.
        if (!secure) {
          out_.Error("[Sim] Ignoring an AuthStatus that came in plain");
        } else if (phase_ != AuthPhase::kAwaitAuthStatus) {
          out_.Error("[Sim] Ignoring an AuthStatus while no AuthProof awaits one");
        } else {
          OnVerdict(static_cast<int>(message.auth_status().result()), 2);
        }
        break;
      case pb::ControlMessage::kKeyRotation: {
        const pb::KeyRotation& r = message.key_rotation();
        if (!secure) {
          out_.Error("[Sim] Key rotation: ignoring a KeyRotation that came in plain");
          break;
        }
        const uint64_t asked = keys_.pending_epoch();
        switch (keys_.OnHostRotation(r.next_epoch(), BytesOf(r.ephemeral_public_key()))) {
          case RotationStep::kSwitched:
            out_.Info("[Sim] Key rotation: switched to epoch=%llu key_order=%s fp=%s other_fp=%s",
                      U(r.next_epoch()), KeyOrderName(keys_.order()), keys_.InUseFingerprint().c_str(),
                      keys_.OtherFingerprint().c_str());
            // The UDP key stays; only an msb tablet's next frame moves it.
            udp_key_.OnRotation(keys_);
            break;
          case RotationStep::kNotPending:
            out_.Error("[Sim] Key rotation: KeyRotation epoch=%llu from the host while none was asked for; ignored",
                       U(r.next_epoch()));
            break;
          case RotationStep::kOtherEpoch:
            out_.Error("[Sim] Key rotation: the host answered epoch=%llu to epoch=%llu; ignored", U(r.next_epoch()),
                       U(asked));
            break;
          case RotationStep::kBadHostKey:
            out_.Error("[Sim] Key rotation: the host's key has %zu bytes (expected 64); keeping key fp=%s",
                       r.ephemeral_public_key().size(), keys_.InUseFingerprint().c_str());
            break;
          case RotationStep::kDeriveFailed:
            out_.Error("[Sim] Key rotation: key derivation failed for epoch=%llu; keeping key fp=%s",
                       U(r.next_epoch()), keys_.InUseFingerprint().c_str());
            break;
        }
        break;
      }
      case pb::ControlMessage::kKeyRotationAck: {
        const pb::KeyRotationAck& a = message.key_rotation_ack();
        if (!secure) {
          out_.Error("[Sim] Key rotation: ignoring a KeyRotationAck that came in plain");
          break;
        }
        switch (keys_.OnHostRotationAck(a.next_epoch(), a.accepted())) {
          case RotationAckStep::kConfirmed:
            out_.Info("[Sim] Key rotation confirmed: epoch=%llu, the ack opened under the new key fp=%s",
                      U(a.next_epoch()), keys_.InUseFingerprint().c_str());
            break;
          case RotationAckStep::kKeptKey:
            out_.Info("[Sim] Key rotation: epoch=%llu not applied by the host (accepted=%s); keeping key fp=%s",
                      U(a.next_epoch()), a.accepted() ? "yes" : "no", keys_.InUseFingerprint().c_str());
            break;
          case RotationAckStep::kUnexpected:
            out_.Error("[Sim] Key rotation: unexpected KeyRotationAck epoch=%llu accepted=%s", U(a.next_epoch()),
                       a.accepted() ? "yes" : "no");
            break;
        }
        break;
      }
      default:
        break;
    }
  }

  void OnHelloAck(const pb::HelloAck& ack) {
    if (hello_auth_version_ >= 2) {
      OnAuthV2HelloAck(ack);
      return;
    }
    OnAuthV1Keys(ack);
    // The HelloAck of a Hello this run sent is the verdict on its proof.
    if (phase_ == AuthPhase::kAwaitHelloAck) OnVerdict(static_cast<int>(ack.result()), 1);
  }

  // Auth v2: the host's signature over the transcript, its identity, the
  // key bound to the transcript, then AuthProof under that key.
  void OnAuthV2HelloAck(const pb::HelloAck& ack) {
    if (phase_ != AuthPhase::kAwaitHelloAck) {
      out_.Error("[Sim] Ignoring a HelloAck while no Hello awaits one");
      return;
    }
    if (ack.result() != pb::AUTH_RESULT_OK) {
      // The host keeps no keys for a refused auth v2 Hello.
      keys_.DropHelloKeys();
      out_.Info("[Sim] No session keys: the host refused the Hello");
      OnVerdict(static_cast<int>(ack.result()), 2);
      return;
    }
    const ByteView host_key = BytesOf(ack.ephemeral_public_key());
    const ByteView identity = BytesOf(ack.host_identity_public_key());
    const ByteView signature = BytesOf(ack.host_signature());
    Bytes hash;
    const HostProofCheck check =
        CheckHostProof(options_.client_id, keys_.HelloPublicKey(), host_key, identity, signature, &hash);
    if (check != HostProofCheck::kVerified) {
      keys_.DropHelloKeys();
      switch (check) {
        case HostProofCheck::kBadHostKey:
          out_.Error("[Sim] Refusing the host: the HelloAck's ephemeral key has %zu bytes (expected 64)",
                     host_key.size());
          break;
        case HostProofCheck::kBadIdentity:
          out_.Error("[Sim] Refusing the host: the HelloAck's host identity key has %zu bytes (expected a 65-byte "
                     "uncompressed P-256 point)",
                     identity.size());
          break;
        case HostProofCheck::kBadSignature:
          out_.Error("[Sim] Refusing the host: the HelloAck's host signature has %zu bytes (expected 64)",
                     signature.size());
          break;
        case HostProofCheck::kNoTranscript:
          out_.Error("[Sim] Refusing the host: the handshake transcript hash could not be computed");
          break;
        default:
          out_.Error("[Sim] Refusing the host: its signature does not verify over the handshake transcript "
                     "(host identity fingerprint=%s)",
                     security::IdentityFingerprint(identity).c_str());
          break;
      }
      Refused(std::string("host signature check failed (") + HostProofCheckName(check) + ")", true);
      return;
    }
    out_.Info("[Sim] Host signature verified: transcript_fp=%s", security::KeyFingerprint(hash).c_str());
    if (!PinIdentity(identity)) {
      keys_.DropHelloKeys();
      Refused("host identity changed", true);
      return;
    }
    const HelloAckKeys outcome = keys_.OnAuthV2HelloAck(host_key, hash, ack.directional_control_nonce());
    if (outcome != HelloAckKeys::kDerived) {
      out_.Error("[Sim] No session keys: the auth v2 key derivation failed");
      Refused("the auth v2 key derivation failed", true);
      return;
    }
    out_.Info("[Sim] Session keys derived: auth_version=2 fp=%s transcript_fp=%s directional_control_nonce=%d",
              keys_.InUseFingerprint().c_str(), security::KeyFingerprint(hash).c_str(), keys_.directional() ? 1 : 0);

    Bytes proof;
    CredentialSource proof_source = CredentialSource::kNone;
    if (source_ != CredentialSource::kNone) {
      if (BuildAuthProofV2(credential_, options_.client_id, hash, &proof)) {
        proof_source = source_;
      } else {
        out_.Error("[Sim] Could not compute the auth v2 proof; sending none");
      }
    }
    const pb::ControlMessage message = factory_.BuildAuthProof(proof);
    crypto::SecureWipe(proof);
    phase_ = AuthPhase::kAwaitAuthStatus;
    proof_source_ = proof_source;
    SentFrame sent;
    if (!Send(message, "AuthProof", &sent)) {
      stop_ = true;
      return;
    }
    out_.Info("[Sim] Sent %s credential=%s %s", DescribeMessage(message).c_str(), CredentialSourceName(proof_source),
              SizeText(sent).c_str());
  }

  // The presented identity against the remembered one; false when the
  // tablet refuses the host.
  bool PinIdentity(ByteView identity) {
    const std::string fp = security::IdentityFingerprint(identity);
    const std::string remembered_fp =
        state_.host_identity.empty() ? std::string("none") : security::IdentityFingerprint(state_.host_identity);
    switch (CheckIdentityPin(state_.host_identity, identity, options_.accept_new_identity)) {
      case IdentityPin::kSame:
        out_.Info("[Sim] Host identity fingerprint=%s (as remembered)", fp.c_str());
        return true;
      case IdentityPin::kFirstSight:
        state_.host_identity.assign(identity.begin(), identity.end());
        out_.Info("[Sim] Host identity fingerprint=%s (first seen; remembered, %s)", fp.c_str(), SaveState().c_str());
        return true;
      case IdentityPin::kChangedAccepted:
        out_.Error("[Sim] HOST IDENTITY CHANGED: remembered fingerprint=%s, the host presents fingerprint=%s; "
                   "accepted (--accept-new-identity)",
                   remembered_fp.c_str(), fp.c_str());
        state_.host_identity.assign(identity.begin(), identity.end());
        out_.Info("[Sim] Host identity fingerprint=%s (new; remembered, %s)", fp.c_str(), SaveState().c_str());
        return true;
      case IdentityPin::kChangedRefused:
        out_.Error("[Sim] HOST IDENTITY CHANGED: remembered fingerprint=%s, the host presents fingerprint=%s; "
                   "refusing the host (--accept-new-identity trusts the new identity)",
                   remembered_fp.c_str(), fp.c_str());
        return false;
    }
    return false;
  }

  void OnAuthV1Keys(const pb::HelloAck& ack) {
    const HelloAckKeys outcome =
        keys_.OnHelloAck(static_cast<int>(ack.result()), BytesOf(ack.ephemeral_public_key()),
                         ack.directional_control_nonce());
    switch (outcome) {
      case HelloAckKeys::kDerived:
        out_.Info("[Sim] Session keys derived: key_order=%s fp=%s other_fp=%s directional_control_nonce=%d",
                  KeyOrderName(keys_.order()), keys_.InUseFingerprint().c_str(), keys_.OtherFingerprint().c_str(),
                  keys_.directional() ? 1 : 0);
        if (ack.directional_control_nonce() != options_.directional_nonce) {
          out_.Error("[Sim] Warning: the Hello asked for directional_control_nonce=%d, the HelloAck answers %d",
                     options_.directional_nonce ? 1 : 0, ack.directional_control_nonce() ? 1 : 0);
        }
        break;
      case HelloAckKeys::kHostHasNone:
        out_.Info("[Sim] No session keys: the host refused the Hello");
        break;
      case HelloAckKeys::kNoHostKey:
        out_.Info("[Sim] No session keys: the HelloAck carries no ephemeral key");
        break;
      case HelloAckKeys::kBadHostKey:
        out_.Error("[Sim] No session keys: the HelloAck's ephemeral key has %zu bytes (expected 64)",
                   ack.ephemeral_public_key().size());
        break;
      case HelloAckKeys::kNoPair:
        out_.Info("[Sim] No session keys: the Hello carried no ephemeral key");
        break;
      case HelloAckKeys::kDeriveFailed:
        out_.Error("[Sim] No session keys: the key derivation failed");
        break;
    }
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


  // ---- media and input

  // After authentication: the media socket (once per run) and the UDP key of
  // this authentication.
  void StartMedia() {
    if (!keys_.HasKeys()) {
      // The host enables its UDP channels only with session keys.
      udp_key_.Clear();
      if (media_) media_->SetKey({});
      out_.Info("[Sim] No media or input: authenticated without session keys");
      return;
    }
    udp_key_.OnAuthenticated(keys_);
    if (!media_) {
      MediaReceiverConfig config;
      config.check_synthetic = options_.check_synthetic;
      config.max_fragments = options_.capabilities.max_fragments;
      StartVideo();
      config.units = video_.get();
      auto channel = std::make_unique<MediaChannel>(clock_, config, options_.drop_percent, options_.drop_seed);
      const int error = channel->Open();
      if (error != 0) {
        out_.Error("[Sim] Could not open the media socket: error %d; no media or input in this run", error);
        if (video_) video_->Close(0);
        video_.reset();
        return;
      }
      media_ = std::move(channel);
      out_.Info("[Sim] Media socket open on port %u (drop_percent=%u drop_seed=%u check_synthetic=%s)",
                static_cast<unsigned>(media_->local_port()), options_.drop_percent, options_.drop_seed,
                options_.check_synthetic ? "on" : "off");
      if (media_->receive_buffer_error() != 0) {
        out_.Error("[Sim] The media socket's receive buffer could not be enlarged: error %d (continuing)",
                   media_->receive_buffer_error());
      }
      if (rtt_ms_ > 0) media_->SetRoundTripMs(rtt_ms_);
    }
    media_->SetKey(udp_key_.key());
    out_.Info("[Sim] UDP key fp=%s (the host's key at this authentication)",
              security::KeyFingerprintOrNone(udp_key_.key()).c_str());
    // A new authentication aims the host's media at the default port again.
    if (punched_) SchedulePunches();
  }

  // A sealed control frame left: an msb tablet's first one after new keys
  // makes the host promote its compatibility key, and with it the UDP key
  // (and the media goes back to the default port until the next punch).
  void FollowPromotion() {
    if (!udp_key_.OnSealedFrame(keys_) || !media_) return;
    media_->SetKey(udp_key_.key());
    out_.Info("[Sim] UDP key follows the host's promoted key: fp=%s",
              security::KeyFingerprintOrNone(udp_key_.key()).c_str());
    if (punched_) SchedulePunches();
  }

  void HandleMediaMessage(const pb::ControlMessage& message) {
    switch (message.payload_case()) {
      case pb::ControlMessage::kCapabilityAccept: {
        const pb::CapabilityAccept& accept = message.capability_accept();
        negotiated_codec_ = static_cast<uint32_t>(accept.selected_codec());
        negotiated_width_ = accept.selected_resolution().width();
        negotiated_height_ = accept.selected_resolution().height();
        if (video_) video_->SetNegotiated(negotiated_codec_, negotiated_width_, negotiated_height_);
        break;
      }
      case pb::ControlMessage::kStreamStarted:
        if (video_) {
          video_->OnStreamStarted(message.stream_started().source_width(), message.stream_started().source_height(),
                                  clock_.TickMs());
        }
        return;
      case pb::ControlMessage::kStreamResize:
        if (video_) {
          video_->OnStreamResize(message.stream_resize().encoded_resolution().width(),
                                 message.stream_resize().encoded_resolution().height());
        }
        return;
      case pb::ControlMessage::kStreamStopped:
        if (video_) video_->OnStop(clock_.TickMs());
        return;
      default:
        return;
    }
    const uint32_t port = message.capability_accept().input_udp_port();
    if (port >= 1 && port <= 65535) {
      host_input_port_ = static_cast<uint16_t>(port);
    } else {
      out_.Error("[Sim] The CapabilityAccept names input port %u; punching port %u instead", port,
                 static_cast<unsigned>(host_input_port_));
    }
    if (media_) SchedulePunches();
  }

  void SchedulePunches() {
    punched_ = true;
    punches_left_ = kPunchRepeats;
    next_punch_ms_ = clock_.TickMs();
  }

  void SendPunch() {
    uint64_t counter = 0;
    size_t bytes = 0;
    int error = 0;
    if (!media_->SendInput(options_.host, host_input_port_, ByteView(kMediaPunch, sizeof kMediaPunch), &counter,
                           &bytes, &error)) {
      out_.Error("[Sim] Sending the media punch to port %u failed: %s", static_cast<unsigned>(host_input_port_),
                 error == 0 ? "no UDP key" : ("error " + std::to_string(error)).c_str());
      return;
    }
    out_.Info("[Sim] Sent media punch to port %u from port %u", static_cast<unsigned>(host_input_port_),
              static_cast<unsigned>(media_->local_port()));
  }

  void SendInputEvents(const std::vector<pb::InputEvent>& events) {
    if (!media_ || !udp_key_.has_key()) {
      out_.Error("[Sim] No input sent: the tablet has no UDP key (not authenticated)");
      return;
    }
    for (const pb::InputEvent& event : events) {
      std::string plain;
      if (!event.SerializeToString(&plain)) {
        out_.Error("[Sim] Could not serialise the input event %s", DescribeInputEvent(event).c_str());
        continue;
      }
      uint64_t counter = 0;
      size_t bytes = 0;
      int error = 0;
      if (!media_->SendInput(options_.host, host_input_port_, BytesOf(plain), &counter, &bytes, &error)) {
        out_.Error("[Sim] Sending input %s to port %u failed: %s", DescribeInputEvent(event).c_str(),
                   static_cast<unsigned>(host_input_port_),
                   error == 0 ? "sealing failed" : ("error " + std::to_string(error)).c_str());
        continue;
      }
      out_.Info("[Sim] Sent input %s (%zu bytes, input ctr=%llu) to port %u", DescribeInputEvent(event).c_str(),
                bytes, U(counter), static_cast<unsigned>(host_input_port_));
    }
  }

  // Punches, requests for lost datagrams, statistics and notes that are due.
  // False when the connection ended while sending.
  bool ServiceMedia() {
    if (!media_) return true;
    const uint64_t now = clock_.TickMs();
    if (punches_left_ > 0 && now >= next_punch_ms_) {
      --punches_left_;
      next_punch_ms_ = now + kPunchIntervalMs;
      SendPunch();
    }
    const std::vector<uint32_t> due = media_->Poll(now);
    for (const std::string& note : media_->TakeNotes()) out_.Info("%s", note.c_str());
    if (!ServiceVideo()) {
      stop_ = true;
      return false;
    }
    for (size_t at = 0; at < due.size(); at += kMaxNackNumbersPerRequest) {
      const size_t end = std::min(due.size(), at + kMaxNackNumbersPerRequest);
      const pb::ControlMessage message =
          factory_.BuildNackRequest(std::vector<uint32_t>(due.begin() + static_cast<std::ptrdiff_t>(at),
                                                          due.begin() + static_cast<std::ptrdiff_t>(end)));
      SentFrame sent;
      if (!Send(message, "NackRequest", &sent)) {
        stop_ = true;
        return false;
      }
      ++nacks_sent_;
      if (nacks_sent_ <= kPrintedNackRequests) {
        out_.Info("[Sim] Sent %s %s%s", DescribeMessage(message).c_str(), SizeText(sent).c_str(),
                  nacks_sent_ == kPrintedNackRequests ? " (further ones are only counted)" : "");
      }
    }
    if (now >= next_stats_ms_) {
      next_stats_ms_ = now + kStatsIntervalMs;
      if (!SendStats(now)) {
        stop_ = true;
        return false;
      }
    }
    return true;
  }

  // One StatsReport for the last interval, when media arrived in it.
  bool SendStats(uint64_t now) {
    const MediaSummary current = media_->Summary();
    const MediaSummary before = stats_base_;
    const uint64_t elapsed_ms = now - stats_base_ms_;
    stats_base_ = current;
    stats_base_ms_ = now;
    const uint64_t opened = current.intake.opened - before.intake.opened;
    if (opened == 0 || elapsed_ms == 0) return true;
    const uint64_t span = current.media.sequence_span - before.media.sequence_span;
    const uint64_t losses = current.media.losses_seen - before.media.losses_seen;
    MessageFactory::MeasuredStats stats;
    stats.session_id = stream_session_id_;
    stats.rtt_ms = static_cast<float>(rtt_ms_);
    stats.packet_loss_pct =
        span == 0 ? 0.0f : static_cast<float>(std::min<double>(100.0, 100.0 * static_cast<double>(losses) /
                                                                          static_cast<double>(span)));
    const uint64_t bytes = current.intake.opened_bytes - before.intake.opened_bytes;
    stats.bitrate_kbps = static_cast<uint32_t>(std::min<uint64_t>(bytes * 8 / elapsed_ms, UINT32_MAX));
    stats.fec_recovered_packets =
        static_cast<uint32_t>(std::min<uint64_t>(current.media.fec_recovered - before.media.fec_recovered, UINT32_MAX));
    stats.route_class = options_.capabilities.route_class;
    stats.decode_pressure_pct = options_.report_decode_pressure_pct;
    stats.late_drop_pct = options_.report_late_drop_pct;
    const pb::ControlMessage message = factory_.BuildStatsReport(stats);
    SentFrame sent;
    if (!Send(message, "StatsReport", &sent)) return false;
    ++stats_sent_;
    if (stats_sent_ <= kPrintedStatsReports) {
      out_.Info("[Sim] Sent %s %s%s", DescribeMessage(message).c_str(), SizeText(sent).c_str(),
                stats_sent_ == kPrintedStatsReports ? " (further ones are only counted)" : "");
    }
    return true;
  }

  // Waits (printing what arrives) until `units` access units are complete
  // or the time is up. False when the connection ended.
  bool WaitForMedia(uint32_t units, uint32_t timeout_ms) {
    if (!media_) {
      out_.Info("[Sim] Media: no media socket (not authenticated); not waiting for %u access units", units);
      return true;
    }
    const uint64_t start = clock_.TickMs();
    const uint64_t deadline = start + timeout_ms;
    for (;;) {
      const uint64_t done = media_->completed();
      const uint64_t now = clock_.TickMs();
      if (done >= units) {
        out_.Info("[Sim] Media: %llu access units complete after %llu ms (waited for %u)", U(done), U(now - start),
                  units);
        return true;
      }
      if (now >= deadline) {
        out_.Info("[Sim] Media: only %llu of %u access units complete within %u ms", U(done), units, timeout_ms);
        return true;
      }
      const Event event = ReceiveOne(std::min(deadline, now + 2 * kMediaServiceMs));
      if (event.kind == Event::Kind::kEnded) return false;
    }
  }

  // Waits (printing what arrives) until `pictures` pictures are decoded or
  // the time is up. False when the connection ended.
  bool WaitForDecoded(uint32_t pictures, uint32_t timeout_ms) {
    if (!video_) {
      out_.Info("[Sim] Video: no decoder running (no media socket); not waiting for %u pictures", pictures);
      return true;
    }
    const uint64_t start = clock_.TickMs();
    const uint64_t deadline = start + timeout_ms;
    for (;;) {
      const uint64_t done = video_->Counters().decoded;
      const uint64_t now = clock_.TickMs();
      if (done >= pictures) {
        out_.Info("[Sim] Video: %llu pictures decoded after %llu ms (waited for %u)", U(done), U(now - start),
                  pictures);
        return true;
      }
      if (now >= deadline) {
        out_.Info("[Sim] Video: only %llu of %u pictures decoded within %u ms", U(done), pictures, timeout_ms);
        return true;
      }
      const Event event = ReceiveOne(std::min(deadline, now + 2 * kMediaServiceMs));
      if (event.kind == Event::Kind::kEnded) return false;
    }
  }

  // The video worker: started with the media socket; without it the run
  // still reassembles and checks the synthetic stream.
  void StartVideo() {
    VideoConfig config;
    config.check_picture = options_.check_synthetic;
    config.make_decoder = MakeBuildVideoDecoder;
    auto video = std::make_unique<VideoWorker>(config, clock_);
    std::string error;
    if (!video->Start(&error)) {
      out_.Error("[Sim] Could not start the video thread: %s; no video decoding in this run", error.c_str());
      return;
    }
    if (negotiated_width_ != 0 || negotiated_codec_ != 0) {
      video->SetNegotiated(negotiated_codec_, negotiated_width_, negotiated_height_);
    }
    video_ = std::move(video);
    out_.Info("[Sim] Video decoder: %s (picture check %s)",
              BuildHasVideoDecoder() ? "H.264 and HEVC" : "none in this build", options_.check_synthetic ? "on" : "off");
  }

  // The video worker's lines, its requests for a keyframe and the keyframe
  // step's wait. False when the connection ended while sending.
  bool ServiceVideo() {
    if (!video_) return true;
    for (const std::string& note : video_->TakeNotes()) out_.Info("%s", note.c_str());
    if (keyframe_watch_ms_) {
      const std::optional<uint64_t> at = video_->KeyframeDecodedSince(*keyframe_watch_ms_);
      if (at) {
        out_.Info("[Sim] Video: keyframe decoded %llu ms after the keyframe step", U(*at - *keyframe_watch_ms_));
        keyframe_watch_ms_.reset();
      }
    }
    if (!video_->TakeKeyframeRequest()) return true;
    ScriptStep step;
    step.kind = StepKind::kKeyframe;
    step.text = stream_session_id_;
    const pb::ControlMessage message = factory_.BuildStep(step, options_.capabilities);
    SentFrame sent;
    if (!Send(message, "RequestKeyframe", &sent)) return false;
    ++keyframe_requests_sent_;
    if (keyframe_requests_sent_ <= kPrintedKeyframeRequests) {
      out_.Info("[Sim] Sent %s %s (the decoder waits for a keyframe)%s", DescribeMessage(message).c_str(),
                SizeText(sent).c_str(),
                keyframe_requests_sent_ == kPrintedKeyframeRequests ? " (further ones are only counted)" : "");
    }
    return true;
  }

  // Prints what arrives until `count` CursorUpdates came in all, or the
  // time is up. False when the connection ended.
  bool WaitForCursorUpdates(uint32_t count, uint32_t timeout_ms) {
    const uint64_t start = clock_.TickMs();
    const uint64_t deadline = start + timeout_ms;
    for (;;) {
      const uint64_t now = clock_.TickMs();
      if (cursor_updates_ >= count) {
        out_.Info("[Sim] Cursor: %llu updates after %llu ms (waited for %u)", U(cursor_updates_), U(now - start),
                  count);
        return true;
      }
      if (now >= deadline) {
        out_.Info("[Sim] Cursor: only %llu of %u updates within %u ms", U(cursor_updates_), count, timeout_ms);
        return true;
      }
      const Event event = ReceiveOne(deadline);
      if (event.kind == Event::Kind::kEnded) return false;
    }
  }

  // Closes the media socket and prints what became of the media.
  void EndMedia() {
    if (!media_) return;
    media_->Close();
    MediaSummary summary = media_->Summary();
    summary.nacks_sent = nacks_sent_;
    summary.stats_sent = stats_sent_;
    std::optional<VideoSummary> video;
    if (video_) {
      // The receive thread is gone: nothing more comes to the decoder.
      video_->Close(kVideoDrainMs);
      for (const std::string& note : video_->TakeNotes()) out_.Info("%s", note.c_str());
      if (keyframe_watch_ms_) {
        const std::optional<uint64_t> at = video_->KeyframeDecodedSince(*keyframe_watch_ms_);
        if (at) {
          out_.Info("[Sim] Video: keyframe decoded %llu ms after the keyframe step", U(*at - *keyframe_watch_ms_));
        } else {
          out_.Info("[Sim] Video: no keyframe decoded after the keyframe step (%llu ms)",
                    U(clock_.TickMs() - *keyframe_watch_ms_));
        }
        keyframe_watch_ms_.reset();
      }
      video = video_->Summary();
      // Pictures that failed the check count as mismatched units.
      summary.media.mismatched += video->counters.mismatched;
    }
    out_.Info("%s", MediaSummaryLine(summary).c_str());
    out_.Info("%s", MediaDetailsLine(summary).c_str());
    out_.Info("%s", ParityGroupsLine(summary).c_str());
    if (video) {
      out_.Info("%s", VideoSummaryLine(*video).c_str());
      out_.Info("%s", VideoDetailsLine(*video).c_str());
    }
    out_.Info("%s", AudioSummaryLine(media_->AudioReport()).c_str());
    media_.reset();
    video_.reset();
  }

  const SimOptions& options_;
  SimOutput& out_;
  IClock& clock_;
  ControlConnection& connection_;
  SimState& state_;
  uint64_t cursor_updates_ = 0;
  MessageFactory factory_;
  TabletKeys keys_;
  std::optional<uint64_t> hold_deadline_;
  int exit_code_ = kSimExitOk;

  Bytes credential_;
  CredentialSource source_ = CredentialSource::kNone;
  AuthPhase phase_ = AuthPhase::kNoHello;
  uint32_t hello_auth_version_ = 0;
  // Where the proof of the last Hello (v1) or AuthProof (v2) came from.
  CredentialSource proof_source_ = CredentialSource::kNone;
  std::string refusal_;
  // The run ends: the tablet stops after a refusal, or the script said end.
  bool stop_ = false;
  bool state_write_failed_ = false;

  // Media and input. The video worker outlives the channel that feeds it.
  std::unique_ptr<VideoWorker> video_;
  std::unique_ptr<MediaChannel> media_;
  uint32_t negotiated_codec_ = 0;  // of the last CapabilityAccept
  uint32_t negotiated_width_ = 0;
  uint32_t negotiated_height_ = 0;
  std::optional<uint64_t> keyframe_watch_ms_;  // the last keyframe step, until a keyframe is decoded
  uint64_t keyframe_requests_sent_ = 0;
  HostUdpKey udp_key_;
  InputEventFactory inputs_;
  uint16_t host_input_port_;
  bool punched_ = false;  // a punch was scheduled (repeated after every change of the host's key)
  uint32_t punches_left_ = 0;
  uint64_t next_punch_ms_ = 0;
  uint64_t nacks_sent_ = 0;
  uint64_t stats_sent_ = 0;
  uint64_t next_stats_ms_ = 0;
  MediaSummary stats_base_;
  uint64_t stats_base_ms_ = 0;
  double rtt_ms_ = 0;
  std::string stream_session_id_ = "sim-session";
};

// Reads the state file of --state-file; false (printed) when the run must
// not start.
bool LoadState(const SimOptions& options, SimOutput& out, SimState* state) {
  if (options.state_file.empty()) return true;
  const std::string shown = Shown(options.state_file);
  const StateLoadResult loaded = LoadSimState(PathFromUtf8(options.state_file), state);
  switch (loaded.status) {
    case StateLoadStatus::kAbsent:
      out.Info("[Sim] State file %s not found; the tablet remembers nothing yet", shown.c_str());
      return true;
    case StateLoadStatus::kLoaded:
      out.Info("[Sim] State file %s: credential=%s host identity fingerprint=%s", shown.c_str(),
               state->credential.empty() ? "none" : ("stored for client_id=" + Shown(state->client_id)).c_str(),
               state->host_identity.empty() ? "none" : security::IdentityFingerprint(state->host_identity).c_str());
      return true;
    case StateLoadStatus::kDamaged:
      out.Error("[Sim] State file %s is damaged (%s); not using or overwriting it", shown.c_str(),
                EscapeUntrusted(loaded.why).c_str());
      return false;
    case StateLoadStatus::kUnreadable:
    case StateLoadStatus::kTooLarge:
      out.Error("[Sim] State file %s cannot be read (%s, %s)", shown.c_str(), StateLoadStatusName(loaded.status),
                loaded.why.c_str());
      return false;
  }
  return false;
}

}  // namespace

int RunTabletSim(const SimOptions& options, SimOutput& out, IClock& clock) {
  SimState state;
  if (!LoadState(options, out, &state)) return kSimExitStateFile;
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

  SimRun run(options, out, clock, connection, state);
  const int exit_code = run.Run();
  const uint64_t received = connection.frames_received();
  const uint64_t sent = connection.frames_sent();
  connection.Close();
  out.Info("[Sim] Disconnected (frames received %" PRIu64 ", sent %" PRIu64 ")", received, sent);
  return exit_code;
}

}  // namespace orvane::sim
