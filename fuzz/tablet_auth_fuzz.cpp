// The tablet authenticator behind a session's control path: Hellos of both
// authentication versions and auth v2 AuthProofs, built by the harness as
// tablets would build them (real ephemeral keys, proofs from the pairing code
// shown on the PC or from a credential the tablet kept), replayed, or taken
// from the input, into a fresh trusted-device store, pairing-code manager and
// the process's host identity.
//
// Input: records (fuzz_support.h), at most 40. The first byte of a record is its shape:
//   shape & 3 == 0  a new connection and an auth v1 Hello
//   shape & 3 == 1  a new connection and an auth v2 Hello
//   shape & 3 == 2  an AuthProof on the current connection, sealed under the
//                   tablet's key when shape & 4, else plain
//   shape & 3 == 3  the rest of the record as a frame on the current
//                   connection, sealed under the tablet's key when shape & 4
//   (shape >> 2) & 3  for Hellos: the tablet, "tablet-0" .. "tablet-2", or
//                   (3) a tablet whose client id is the first 1..40 bytes of
//                   the rest of the record
//   (shape >> 4) & 3  the proof: none, from the current pairing code, from the
//                   credential the tablet kept from its last pairing (a
//                   made-up one before it paired), or the rest of the record
//   shape & 64      a Hello reuses the tablet's previous ephemeral key (and so
//                   repeats a proof the host may have accepted)
//   shape & 128     the clock moves by 31 s first
//
// Invariants:
// - a tablet becomes authenticated only through a Hello or AuthProof that
//   carries a valid proof (the current code, or the credential it was given)
//   and, for auth v1, whose (client id, ephemeral key) was not accepted
//   before; such a Hello or AuthProof from one of the named tablets always
//   authenticates it;
// - a refused tablet is asked to pair or rejected; the pairing code never
//   leaves the host in any message;
// - auth v2: the HelloAck carries the host identity and a signature over the
//   handshake transcript that verifies, and the tablet derives the key the
//   host installed; a plain AuthProof changes nothing; one AuthProof ends the
//   handshake;
// - a tablet that paired with a code is listed by the store, without its
//   credential, and its next Hello with the kept credential authenticates.

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fuzz/control_harness.h"
#include "fuzz/fuzz_support.h"
#include "host/control/tablet_auth.h"
#include "host/security/auth_transcript.h"
#include "host/security/device_trust.h"
#include "host/security/host_identity.h"
#include "host/security/key_agreement.h"
#include "host/security/pairing_code.h"
#include "host/security/secure_frame.h"

namespace orvane::fuzz {
namespace {

namespace pb = protocol::v1;
namespace fs = std::filesystem;

constexpr int kNamedTablets = 3;
constexpr size_t kMaxRawClientIdBytes = 40;
// Records taken from one input; the rest is ignored.
constexpr int kMaxSteps = 40;

enum ProofKind : uint8_t { kNoProof = 0, kCodeProof = 1, kKeptProof = 2, kRawProof = 3 };

// The process's identity, in the workspace (fuzz_support.h), shared by every
// input like the host shares one.
struct ProcessState {
  std::shared_ptr<security::HostIdentity> identity;

  ProcessState() {
    identity = std::make_shared<security::HostIdentity>();
    FUZZ_CHECK(identity->LoadOrCreate(WorkspaceRoot() / security::kHostIdentityFileName));
    FUZZ_CHECK(identity->Available());
  }
};

ProcessState& Process() {
  static ProcessState state;
  return state;
}

struct Tablet {
  std::string client_id;
  security::EphemeralKeyPair pair;
  bool has_pair = false;
};

class Run {
 public:
  Run()
      : harness_(nullptr),
        trust_(std::make_shared<security::DeviceTrust>(harness_.clock())),
        codes_(std::make_shared<security::PairingCodeManager>([this](uint32_t* value) {
          random_ = random_ * 1664525u + 1013904223u;
          *value = random_;
          return true;
        })),
        auth_(trust_, Process().identity) {
    const fs::path store = EmptyStoreFolder();
    trust_->SetDefaultFolder(store);
    trust_->SetPairingCodeManager(codes_);
    trust_->Load(store / security::kTrustedDevicesFileName);
    TabletAuthCallbacks callbacks;
    callbacks.pairing_code_requested = [this](const std::string&, const std::string& code) {
      FUZZ_CHECK(code.size() == 6);
      codes_seen_.insert(code);
    };
    auth_.SetCallbacks(std::move(callbacks));
    auth_.Attach(harness_.handler());
    for (int i = 0; i < kNamedTablets; ++i) tablets_[i].client_id = "tablet-" + std::to_string(i);
  }

  void Record(ByteView record) {
    const uint8_t shape = record.empty() ? 0 : record[0];
    const ByteView rest = record.empty() ? record : record.subspan(1);
    if (shape & 128) harness_.clock().AdvanceMs(31'000);
    switch (shape & 3) {
      case 0:
      case 1:
        Hello(shape, rest);
        break;
      case 2:
        AuthProof(shape, rest);
        break;
      default:
        Raw(shape, rest);
        break;
    }
    CheckSent();
  }

 private:
  // The pairing code a tablet's user would type now; empty while paused.
  std::string CurrentCode() {
    std::string code = trust_->PairingCodeForPrompt();
    if (!code.empty()) codes_seen_.insert(code);
    return code;
  }

  // The proof the tablet sends for a challenge, and whether it is one the
  // host must accept (the kept credential of a tablet that paired, or the
  // code the PC shows).
  Bytes Proof(Tablet& tablet, uint8_t kind, ByteView rest, ByteView challenge, bool* valid) {
    *valid = false;
    Bytes credential;
    switch (kind) {
      case kCodeProof: {
        const std::string code = CurrentCode();
        if (code.empty()) {
          credential.assign(32, 0x5A);
          break;
        }
        crypto::Digest derived{};
        FUZZ_CHECK(security::DeriveDeviceCredential(code, tablet.client_id, &derived));
        credential.assign(derived.begin(), derived.end());
        *valid = true;
        break;
      }
      case kKeptProof: {
        const auto kept = kept_credentials_.find(tablet.client_id);
        if (kept == kept_credentials_.end()) {
          credential.assign(32, 0xA5);
        } else {
          credential = kept->second;
          *valid = true;
        }
        break;
      }
      case kRawProof:
        return Bytes(rest.begin(), rest.end());
      default:
        return {};
    }
    crypto::Digest proof{};
    FUZZ_CHECK(security::ComputePairingProof(credential, tablet.client_id, challenge, &proof));
    if (*valid) pending_credential_ = credential;
    return Bytes(proof.begin(), proof.end());
  }

  void Hello(uint8_t shape, ByteView rest) {
    const uint32_t auth_version = (shape & 3) == 1 ? 2 : 1;
    const int index = (shape >> 2) & 3;
    Tablet* tablet = &raw_tablet_;
    bool named = index < kNamedTablets;
    if (named) {
      tablet = &tablets_[index];
    } else {
      const size_t length = rest.empty() ? 0 : 1 + rest[0] % kMaxRawClientIdBytes;
      ByteView id = rest.empty() ? rest : rest.subspan(1);
      id = id.first(std::min(id.size(), length));
      rest = rest.empty() ? rest : rest.subspan(1 + id.size());
      if (raw_tablet_.client_id != AsString(id)) {
        raw_tablet_.client_id = AsString(id);
        raw_tablet_.has_pair = false;
      }
    }
    if (!(shape & 64) || !tablet->has_pair) {
      FUZZ_CHECK(tablet->pair.Generate());
      tablet->has_pair = true;
    }
    const std::string ephemeral = AsString(tablet->pair.public_key());

    harness_.CloseConnection();
    harness_.TakeSent();
    current_ = tablet;
    disturbed_ = false;
    tablet_key_.clear();
    counter_ = 0;
    pending_credential_.clear();

    pb::ControlMessage message;
    pb::Hello* hello = message.mutable_hello();
    hello->set_client_id(tablet->client_id);
    hello->set_client_name(named ? "Tablet " + std::to_string(index) : "Raw tablet");
    hello->set_app_version(kAppVersion);
    hello->set_protocol_version(kSupportedProtocolVersion);
    hello->set_auth_version(auth_version);
    hello->set_directional_control_nonce(true);
    hello->set_ephemeral_public_key(ephemeral);
    const uint8_t kind = (shape >> 4) & 3;
    bool valid = false;
    if (auth_version == 1) {
      const Bytes proof = Proof(*tablet, kind, rest, tablet->pair.public_key(), &valid);
      hello->set_pairing_proof(AsString(proof));
    }

    const bool replay = std::find(accepted_.begin(), accepted_.end(), tablet->client_id + '\n' + ephemeral) !=
                        accepted_.end();
    const size_t trusted_before = trust_->Count();
    harness_.Deliver(ControlHarness::Plain(message));
    const std::vector<ControlHarness::Sent> sent = harness_.TakeSent();
    ProtocolHandler& handler = harness_.handler();

    if (!named && sent.empty()) return;  // a client id the handler refused before authenticating
    FUZZ_CHECK(sent.size() == 1 && !sent[0].sealed && sent[0].message.has_hello_ack());
    const pb::HelloAck& ack = sent[0].message.hello_ack();
    CheckNoCode(sent[0].message);

    if (auth_version == 1) {
      const bool expect_ok = valid && !replay && kind != kNoProof;
      if (named) FUZZ_CHECK((ack.result() == pb::AUTH_RESULT_OK) == expect_ok);
      if (ack.result() != pb::AUTH_RESULT_OK) {
        FUZZ_CHECK(!valid || replay || !named);
        FUZZ_CHECK(ack.result() == pb::AUTH_RESULT_PAIRING_REQUIRED || ack.result() == pb::AUTH_RESULT_REJECTED);
        FUZZ_CHECK(!handler.IsAuthenticated());
        FUZZ_CHECK(trust_->Count() == trusted_before);
        return;
      }
      FUZZ_CHECK(valid && !replay);
      FUZZ_CHECK(handler.IsAuthenticated() && !handler.AuthV2Pending());
      accepted_.push_back(tablet->client_id + '\n' + ephemeral);
      if (accepted_.size() > TabletAuthenticator::kRememberedHellos) accepted_.pop_front();
      // The tablet's key is one of the two the host holds.
      const Bytes lsb = security::DeriveSessionKey(tablet->pair.key(), security::AsBytes(ack.ephemeral_public_key()),
                                                   {}, false);
      const Bytes msb = security::DeriveSessionKey(tablet->pair.key(), security::AsBytes(ack.ephemeral_public_key()),
                                                   {}, true);
      security::ControlKeyState& keys = handler.Keys();
      FUZZ_CHECK(lsb.size() == 32 && msb.size() == 32);
      FUZZ_CHECK((keys.ActiveKey() == lsb && keys.CompatKey() == msb) ||
                 (keys.ActiveKey() == msb && keys.CompatKey() == lsb));
      tablet_key_ = keys.ActiveKey();
      Paired(*tablet);
      return;
    }

    // Auth v2: the handshake is signed and keyed; the proof follows.
    if (!named && ack.result() != pb::AUTH_RESULT_OK) return;
    FUZZ_CHECK(ack.result() == pb::AUTH_RESULT_OK);
    FUZZ_CHECK(ack.auth_version() == 2);
    FUZZ_CHECK(handler.AuthV2Pending() && !handler.IsAuthenticated());
    const Bytes& identity_key = Process().identity->PublicKey();
    FUZZ_CHECK(ack.host_identity_public_key() == AsString(identity_key));
    transcript_hash_ = security::AuthTranscriptHash(tablet->client_id, tablet->pair.public_key(),
                                                    security::AsBytes(ack.ephemeral_public_key()), identity_key);
    FUZZ_CHECK(transcript_hash_.size() == security::kTranscriptHashBytes);
    FUZZ_CHECK(crypto::EcdsaP256VerifyDigest(identity_key, transcript_hash_,
                                             security::AsBytes(ack.host_signature())));
    tablet_key_ = security::DeriveAuthV2SessionKey(tablet->pair.key(), security::AsBytes(ack.ephemeral_public_key()),
                                                   transcript_hash_);
    FUZZ_CHECK(!tablet_key_.empty() && tablet_key_ == handler.Keys().ActiveKey());
    FUZZ_CHECK(!handler.Keys().HasCompatKey());
  }

  void AuthProof(uint8_t shape, ByteView rest) {
    ProtocolHandler& handler = harness_.handler();
    const bool sealed = (shape & 4) != 0;
    if (sealed && tablet_key_.empty()) return;  // nothing to seal with
    const bool was_authenticated = handler.IsAuthenticated();
    const bool was_pending = handler.AuthV2Pending();
    const uint8_t kind = (shape >> 4) & 3;
    bool valid = false;
    pb::ControlMessage message;
    Tablet scratch;
    Tablet& tablet = current_ != nullptr ? *current_ : scratch;
    pending_credential_.clear();
    const Bytes challenge = security::AuthProofChallenge(transcript_hash_);
    const Bytes proof = Proof(tablet, kind, rest, challenge, &valid);
    message.mutable_auth_proof()->set_proof(AsString(proof));
    const size_t trusted_before = trust_->Count();
    Deliver(message, sealed);
    const std::vector<ControlHarness::Sent> sent = harness_.TakeSent();
    for (const ControlHarness::Sent& s : sent) CheckNoCode(s.message);

    if (disturbed_ || current_ == nullptr || current_ == &raw_tablet_) {
      FUZZ_CHECK(was_authenticated || !handler.IsAuthenticated() || (valid && was_pending && sealed));
      return;
    }
    if (!was_pending || was_authenticated || !sealed) {
      // Nothing is awaited, or the proof did not come through the envelope.
      FUZZ_CHECK(sent.empty());
      FUZZ_CHECK(handler.IsAuthenticated() == was_authenticated);
      FUZZ_CHECK(handler.AuthV2Pending() == was_pending);
      FUZZ_CHECK(trust_->Count() == trusted_before);
      return;
    }
    FUZZ_CHECK(!handler.AuthV2Pending());
    FUZZ_CHECK(sent.size() == 1 && sent[0].sealed && sent[0].message.has_auth_status());
    const pb::AuthResult result = sent[0].message.auth_status().result();
    const bool expect_ok = valid && kind != kNoProof;
    FUZZ_CHECK((result == pb::AUTH_RESULT_OK) == expect_ok);
    FUZZ_CHECK(handler.IsAuthenticated() == expect_ok);
    if (!expect_ok) {
      FUZZ_CHECK(result == pb::AUTH_RESULT_PAIRING_REQUIRED || result == pb::AUTH_RESULT_REJECTED);
      FUZZ_CHECK(trust_->Count() == trusted_before);
      return;
    }
    Paired(tablet);
  }

  void Raw(uint8_t shape, ByteView rest) {
    ProtocolHandler& handler = harness_.handler();
    const bool was_authenticated = handler.IsAuthenticated();
    if ((shape & 4) && !tablet_key_.empty()) {
      Bytes frame = security::SealSecureFrame(cipher_, tablet_key_, security::kNonceControl, counter_++, rest);
      harness_.Deliver(frame);
    } else {
      harness_.Deliver(rest);
    }
    // Whatever the frame was, it cannot carry a proof the harness did not make.
    FUZZ_CHECK(was_authenticated || !handler.IsAuthenticated());
    for (const ControlHarness::Sent& s : harness_.TakeSent()) CheckNoCode(s.message);
    // It may have been a Hello or an AuthProof: the harness no longer knows
    // what the host awaits on this connection.
    disturbed_ = true;
  }

  void Deliver(const pb::ControlMessage& message, bool sealed) {
    const Bytes plain = ControlHarness::Plain(message);
    if (sealed) {
      harness_.Deliver(security::SealSecureFrame(cipher_, tablet_key_, security::kNonceControl, counter_++, plain));
    } else {
      harness_.Deliver(plain);
    }
  }

  // A tablet just authenticated: with a code, it is now trusted with the
  // credential it derived; the store lists it without the credential.
  void Paired(Tablet& tablet) {
    if (!pending_credential_.empty()) kept_credentials_[tablet.client_id] = pending_credential_;
    bool listed = false;
    for (const security::TrustedDevice& device : trust_->List()) {
      FUZZ_CHECK(device.credential.empty());
      listed = listed || device.client_id == tablet.client_id;
    }
    FUZZ_CHECK(listed);
  }

  void CheckNoCode(const pb::ControlMessage& message) {
    const std::string bytes = message.SerializeAsString();
    for (const std::string& code : codes_seen_) FUZZ_CHECK(bytes.find(code) == std::string::npos);
  }

  void CheckSent() {
    for (const ControlHarness::Sent& s : harness_.TakeSent()) CheckNoCode(s.message);
  }

  ControlHarness harness_;
  uint32_t random_ = 0x2545F491u;
  std::shared_ptr<security::DeviceTrust> trust_;
  std::shared_ptr<security::PairingCodeManager> codes_;
  TabletAuthenticator auth_;
  Tablet tablets_[kNamedTablets];
  Tablet raw_tablet_;
  Tablet* current_ = nullptr;
  bool disturbed_ = false;
  Bytes tablet_key_;
  uint64_t counter_ = 0;
  Bytes transcript_hash_;
  Bytes pending_credential_;
  crypto::AesGcm cipher_;
  std::deque<std::string> accepted_;
  // What each client id would prove with after its last pairing with a code.
  std::map<std::string, Bytes> kept_credentials_;
  std::set<std::string> codes_seen_;
};

}  // namespace
}  // namespace orvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orvane::fuzz::QuietLogs();
  orvane::fuzz::Process();
  orvane::fuzz::Run run;
  orvane::fuzz::FuzzReader in(data, size);
  orvane::fuzz::ByteView record;
  // Every Hello costs key generation, agreement and signatures: a few dozen
  // steps reach every state the authenticator has.
  for (int steps = 0; steps < orvane::fuzz::kMaxSteps && in.Record(&record); ++steps) run.Record(record);
  return 0;
}
