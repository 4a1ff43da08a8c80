// The control path behind the envelope: a session authenticated through a
// Hello authenticator that installs a fixed session key, then frames the
// harness seals from the input (as a tablet would) through the real frame
// opener into the protocol handler, so the fuzzer reaches message handling,
// key rotation, compatibility-key promotion and the send path.
//
// Input: byte 0 sets the connection up (1: directional nonces, 2: a
// compatibility key besides the session key, 4: authentication version 2,
// finished by an AuthProof whose proof is "proof-ok"), then records
// (fuzz_support.h). A record's first byte is its shape:
//   shape & 3 == 0  sealed under the host's active key
//   shape & 3 == 1  sealed under the compatibility key (else the fixed key)
//   shape & 3 == 2  sealed under the key before the last rotation while it
//                   is still accepted (else a key the host never had)
//   shape & 3 == 3  not sealed: the body is the frame
//   shape & 4       the next 8 bytes are the counter (else the next counter)
//   shape & 8       the connection ends after the frame; the tablet
//                   reconnects with its Hello
//   shape >> 4      the clock moves by that many 400 ms steps first
// The rest of the record is the ControlMessage (or the raw frame).
//
// Invariants:
// - a frame opens only when it was sealed under one of the keys the host
//   accepts at that moment, with a counter above every counter accepted
//   since the keys were last reset, and what reaches the handler is exactly
//   what was sealed; such a frame always opens;
// - after authentication nothing unsealed reaches the handler, and nothing
//   unsealed ever opens as encrypted;
// - every frame the host sends is checked by ControlHarness (sealed under
//   the tablet's current key, nonces never reused, sequence numbers grow);
// - what the session takes from the handler is sanitised: NACK batches
//   bounded, statistics finite and in range, the negotiated mode one the
//   encoder accepts, the bitrate at most that of the fastest stream.

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string>

#include "fuzz/control_harness.h"
#include "fuzz/fuzz_support.h"
#include "host/security/secure_frame.h"

namespace orvane::fuzz {
namespace {

namespace pb = protocol::v1;

constexpr char kClientId[] = "tablet-7f3a";
constexpr char kProofOk[] = "proof-ok";

// A key the host never holds.
const Bytes& NeverKey() {
  static const Bytes key(32, 0xEE);
  return key;
}

bool IsRouteClass(const std::string& text) {
  if (text.size() > ProtocolHandler::kRouteClassBytes) return false;
  for (const char c : text) {
    if (!((c >= 'a' && c <= 'z') || c == '_')) return false;
  }
  return true;
}

bool InRange(float value, float low, float high) { return std::isfinite(value) && value >= low && value <= high; }

// Takes what the session's loop takes and checks it is sanitised.
void DrainSession(ProtocolHandler& handler) {
  NackBatch nack;
  if (handler.TakeNackBatch(&nack)) {
    FUZZ_CHECK(nack.stream_type == ProtocolHandler::kNackStreamVideo);
    FUZZ_CHECK(!nack.sequence_numbers.empty() && nack.sequence_numbers.size() <= ProtocolHandler::kMaxNackBatch);
  }
  TabletStats stats;
  if (handler.TakeTabletStats(&stats)) {
    const float t = ProtocolHandler::kMaxStatsTimeMs;
    FUZZ_CHECK(InRange(stats.rtt_ms, 0, t) && InRange(stats.jitter_ms, 0, t));
    FUZZ_CHECK(InRange(stats.packet_loss_pct, 0, 100) && InRange(stats.decode_pressure_pct, 0, 100));
    FUZZ_CHECK(InRange(stats.receiver_drop_pct, 0, 100) && InRange(stats.late_drop_pct, 0, 100));
    FUZZ_CHECK(IsRouteClass(stats.route_class));
    FUZZ_CHECK(stats.drop_reasons.size() <= ProtocolHandler::kDropReasonsBytes);
  }
  WindowCommandRequest command;
  size_t commands = 0;
  while (handler.TakeWindowCommand(&command)) ++commands;
  FUZZ_CHECK(commands <= ProtocolHandler::kMaxWindowCommands);
  ClipboardIn clipboard;
  handler.TakeClipboardIn(&clipboard);
  const StreamRequests requests = handler.TakeStreamRequests();
  FUZZ_CHECK(!(requests.start && requests.stop));
  handler.TakeKeyframeRequest();
  handler.TakeQualityChanged();
  handler.TakeMonitorChanged();
  handler.TakeOrientationChanged();
  handler.TakeUserEnded();
  handler.TakeAuthenticationRestart(nullptr);

  const SessionConfig config = handler.GetSessionConfig();
  FUZZ_CHECK(config.codec == 1 || config.codec == 2);
  FUZZ_CHECK(config.fps == 30 || config.fps == 60 || config.fps == 90 || config.fps == 120);
  FUZZ_CHECK(config.width >= 640 && config.width <= 3840 && config.height >= 360 && config.height <= 2160);
  FUZZ_CHECK(config.fragment_limit >= 16 && config.fragment_limit <= 65535);
  // The stream sizes its frames, pacing and encoder from it.
  FUZZ_CHECK(config.bitrate_kbps > 0 && config.bitrate_kbps <= ProtocolHandler::kMaxBitrateKbps);
  FUZZ_CHECK(IsRouteClass(config.route_class));
  const uint32_t orientation = handler.Orientation();
  FUZZ_CHECK(orientation <= 2);
}

class Tablet {
 public:
  explicit Tablet(uint8_t setup)
      : directional_((setup & 1) != 0), compat_((setup & 2) != 0), auth_v2_((setup & 4) != 0),
        h_([this](const pb::Hello& hello, security::ControlKeyState& keys) { return Authenticate(hello, keys); }) {
    ControlSecurityHooks hooks;
    hooks.handle_auth_proof = [this](const pb::AuthProof& proof, bool encrypted) {
      h_.handler().FinishAuthV2(encrypted && proof.proof() == kProofOk ? pb::AUTH_RESULT_OK
                                                                        : pb::AUTH_RESULT_REJECTED);
    };
    h_.handler().SetSecurityHooks(std::move(hooks));
  }

  // Hello (and for auth v2 the proof): the connection is authenticated.
  void Connect() {
    pb::ControlMessage hello;
    pb::Hello* h = hello.mutable_hello();
    h->set_client_id(kClientId);
    h->set_client_name("Fuzz Tablet");
    h->set_app_version(kAppVersion);
    h->set_protocol_version(kSupportedProtocolVersion);
    // Shaped like a key; the authenticator derives nothing from it.
    h->set_ephemeral_public_key(std::string(64, '\x11'));
    h->set_directional_control_nonce(directional_);
    h->set_auth_version(auth_v2_ ? 2 : 1);
    const ControlHarness::Delivered delivered = h_.Deliver(ControlHarness::Plain(hello));
    FUZZ_CHECK(delivered.verdict == ControlFrameVerdict::kPlaintext);
    if (auth_v2_) {
      FUZZ_CHECK(h_.handler().AuthV2Pending() && !h_.handler().IsAuthenticated());
      pb::ControlMessage proof;
      proof.mutable_auth_proof()->set_proof(kProofOk);
      const Bytes plain = ControlHarness::Plain(proof);
      FUZZ_CHECK(Send(FixedKey(), next_counter_++, plain) == ControlFrameVerdict::kEncrypted);
    }
    FUZZ_CHECK(h_.handler().IsAuthenticated());
    h_.TakeSent();
  }

  void Record(ByteView record) {
    FuzzReader in(record.data(), record.size());
    const uint8_t shape = in.Byte();
    const uint64_t counter = (shape & 4) != 0 ? in.U64() : next_counter_++;
    const ByteView body = in.Rest();
    h_.clock().AdvanceMs(static_cast<uint64_t>(shape >> 4) * 400);

    const security::ReceiveKeys candidates = h_.handler().Keys().ReceiveCandidates();
    if ((shape & 3) == 3) {
      const bool authenticated = h_.handler().IsAuthenticated();
      const ControlHarness::Delivered delivered = h_.Deliver(body);
      FUZZ_CHECK(delivered.verdict != ControlFrameVerdict::kEncrypted);
      if (authenticated) FUZZ_CHECK(delivered.verdict == ControlFrameVerdict::kDrop);
    } else {
      Bytes key;
      switch (shape & 3) {
        case 0: key = candidates.active; break;
        case 1: key = candidates.compat; break;
        default: key = candidates.previous.empty() ? NeverKey() : candidates.previous; break;
      }
      if (key.empty()) key = FixedKey();
      const bool held = !key.empty() && (key == candidates.active || key == candidates.compat ||
                                         key == candidates.previous);
      const int64_t last = h_.opener().LastAcceptedCounter();
      const bool fresh = counter <= static_cast<uint64_t>(INT64_MAX) && static_cast<int64_t>(counter) > last;
      const ControlFrameVerdict verdict = Send(key, counter, body);
      if (verdict == ControlFrameVerdict::kEncrypted) {
        FUZZ_CHECK(held);
      } else {
        FUZZ_CHECK(!(held && fresh));
      }
    }
    DrainSession(h_.handler());
    h_.TakeSent();
    if (h_.closed() || (shape & 8) != 0) {
      h_.CloseConnection();
      Connect();
    }
  }

 private:
  HelloAuthDecision Authenticate(const pb::Hello& hello, security::ControlKeyState& keys) {
    keys.InstallSessionKey(FixedKey(), compat_ ? OtherKey() : Bytes());
    HelloAuthDecision decision;
    decision.result = pb::AUTH_RESULT_OK;
    if (hello.auth_version() >= 2) {
      decision.auth_v2_pending = true;
      decision.host_identity_public_key = std::string(65, '\x04');
      decision.host_signature = std::string(64, '\x5A');
    }
    return decision;
  }

  // Seals the plaintext as the tablet does and hands the frame over.
  ControlFrameVerdict Send(const Bytes& key, uint64_t counter, ByteView plaintext) {
    const uint64_t generation = h_.handler().Keys().ResetGeneration();
    if (generation != generation_) {
      generation_ = generation;
      last_opened_ = -1;
    }
    const Bytes frame = security::SealSecureFrame(cipher_, key, security::kNonceControl, counter, plaintext);
    FUZZ_CHECK(!frame.empty());
    const ControlHarness::Delivered delivered = h_.Deliver(frame);
    FUZZ_CHECK(delivered.verdict != ControlFrameVerdict::kPlaintext);
    if (delivered.verdict == ControlFrameVerdict::kEncrypted) {
      FUZZ_CHECK(delivered.plaintext.size() == plaintext.size() &&
                 std::equal(plaintext.begin(), plaintext.end(), delivered.plaintext.begin()));
      // Never the same counter twice, never an older one.
      FUZZ_CHECK(counter <= static_cast<uint64_t>(INT64_MAX) && static_cast<int64_t>(counter) > last_opened_);
      last_opened_ = static_cast<int64_t>(counter);
    }
    return delivered.verdict;
  }

  const bool directional_;
  const bool compat_;
  const bool auth_v2_;
  ControlHarness h_;
  crypto::AesGcm cipher_;
  uint64_t next_counter_ = 0;
  uint64_t generation_ = 0;
  int64_t last_opened_ = -1;
};

void Run(const uint8_t* data, size_t size) {
  FuzzReader in(data, size);
  Tablet tablet(in.Byte());
  tablet.Connect();
  ByteView record;
  while (in.Record(&record)) tablet.Record(record);
}

}  // namespace
}  // namespace orvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orvane::fuzz::QuietLogs();
  orvane::fuzz::Run(data, size);
  return 0;
}
