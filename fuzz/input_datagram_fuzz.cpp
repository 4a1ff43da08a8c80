// The input channel's datagram path: the receiver's admission and the
// InputDatagramGate (peer check, envelope, decryption, replay window, key
// changes between decryption and commit), then what the session does with an
// opened datagram (the media punch, or InputEvent parsed and handed to the
// injector).
//
// Input: records (fuzz_support.h). A record's first byte is its shape:
//   shape & 7 == 0  sealed under the key the tablet holds; counter: the next
//                   8 bytes
//   shape & 7 == 1  sealed the same way; counter: the highest accepted one
//                   plus the next byte read as a signed step
//   shape & 7 == 2  not sealed: the body is the datagram (and it is also
//                   parsed as InputEvent directly)
//   shape & 7 == 3  sealed under a key the gate does not hold
//   shape & 7 == 4  the session changes keys or peer (next byte says how)
//   shape & 7 == 5  like 1, decrypted in the gate's three phases with a key
//                   change (next byte) between decryption and commit
//   shape & 7 == 6  like 1, with a counter whose top bit is set
//   shape & 7 == 7  like 1, the body repeated to a datagram of the largest
//                   size the receiver takes, or one byte more (dropped)
//   shape & 8       from another address than the tablet's
// The rest of the record is the plaintext (an InputEvent, or the punch).
//
// The harness keeps its own model of the gate: the key, the expected peer,
// the key generation and every counter accepted under the current key.
// Invariants:
// - every verdict is the model's: the right drop reason in the right order,
//   and a counter is accepted exactly when it is new and at most 63 behind
//   the highest (so no counter is ever accepted twice under one key; the
//   same key installed again keeps its window);
// - nothing opens that was not sealed, and an accepted datagram delivers
//   exactly the sealed plaintext;
// - the session's input dispatch calls the injector once exactly for a
//   dispatched event, with finite values, coordinates and pressure in 0..1
//   and actions, buttons and tools from their enumerations;
// - the session's injectors (the logging one, and the real injector over a
//   machine with pointer devices and over one with mouse emulation only)
//   turn any event sequence into well-formed platform input: at most ten
//   contacts with distinct ids, pressures within 0..1024, pen angles within
//   their ranges, points on the target monitor, absolute mouse coordinates
//   within 0..65535 and no key input without a key.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <set>

#include "fuzz/fuzz_support.h"
#include "host/control/session_manager.h"
#include "host/common/clock.h"
#include "host/input/injection_platform.h"
#include "host/input/injector.h"
#include "host/input/input_injector.h"
#include "host/security/secure_frame.h"
#include "host/transport/input_receiver.h"

namespace orvane::fuzz {
namespace {

namespace pb = protocol::v1;

constexpr Ipv4Address kTablet = {192, 0, 2, 10};
constexpr Ipv4Address kStranger = {198, 51, 100, 7};

bool Unit(float v) { return std::isfinite(v) && v >= 0.0f && v <= 1.0f; }

class CheckingInjector final : public IInputInjector {
 public:
  void SetTarget(const std::string&, int32_t, int32_t, int32_t, int32_t, uint32_t, uint32_t) override {}
  void SetPrimaryTarget(uint32_t, uint32_t) override {}
  bool PenDegraded(PenDegradation*) override { return false; }
  void InjectTouch(const TouchInput& t) override {
    FUZZ_CHECK(pb::TouchAction_IsValid(t.action));
    FUZZ_CHECK(Unit(t.x) && Unit(t.y) && Unit(t.pressure));
    ++calls;
  }
  void InjectPen(const PenInput& p) override {
    FUZZ_CHECK(pb::PenAction_IsValid(p.action) && pb::PenToolType_IsValid(p.tool_type));
    FUZZ_CHECK(Unit(p.x) && Unit(p.y) && Unit(p.pressure));
    FUZZ_CHECK(std::isfinite(p.tilt_x) && std::isfinite(p.tilt_y) && std::isfinite(p.orientation));
    ++calls;
  }
  void InjectKey(const KeyInput& k) override {
    FUZZ_CHECK(pb::KeyAction_IsValid(k.action));
    ++calls;
  }
  void InjectMouse(const MouseInput& m) override {
    FUZZ_CHECK(pb::MouseAction_IsValid(m.action) && pb::MouseButton_IsValid(m.button));
    FUZZ_CHECK(Unit(m.x) && Unit(m.y));
    ++calls;
  }
  void ReleaseAllKeys() override {}
  void ReleaseAllPointers() override {}

  int calls = 0;
};

// The desktop under the injector: takes everything, checks what it gets.
class CheckingPlatform final : public IInjectionPlatform {
 public:
  explicit CheckingPlatform(bool devices) : devices_(devices) {}
  bool IsAdministrator() override { return false; }
  bool HasSyntheticPointerApi() override { return devices_; }
  bool HasTouchInjectionApi() override { return devices_; }
  bool CreateSyntheticDevice(PointerDeviceKind, uint32_t, unsigned long*) override { return true; }
  void DestroySyntheticDevice(PointerDeviceKind) override {}
  bool InitializeTouchInjection(uint32_t, unsigned long*) override { return true; }
  bool InjectTouchFrame(TouchRoute, const std::vector<TouchContactFrame>& contacts, unsigned long*) override {
    FUZZ_CHECK(!contacts.empty() && contacts.size() <= InputInjector::kMaxTouchContacts);
    uint32_t ids = 0;
    for (const TouchContactFrame& c : contacts) {
      FUZZ_CHECK(c.contact_id < InputInjector::kMaxTouchContacts && (ids & (1u << c.contact_id)) == 0);
      ids |= 1u << c.contact_id;
      FUZZ_CHECK(c.pressure <= 1024);
      FUZZ_CHECK(OnDesktop(c.x, c.y));
    }
    return true;
  }
  bool InjectPenFrame(const PenFrame& frame, unsigned long*) override {
    FUZZ_CHECK(frame.pressure <= 1024 && frame.rotation < 360);
    FUZZ_CHECK(frame.tilt_x >= -90 && frame.tilt_x <= 90 && frame.tilt_y >= -90 && frame.tilt_y <= 90);
    FUZZ_CHECK(OnDesktop(frame.x, frame.y));
    return true;
  }
  bool SendInputs(const std::vector<PlatformInput>& inputs, unsigned long*) override {
    FUZZ_CHECK(!inputs.empty());
    for (const PlatformInput& in : inputs) {
      if (in.kind == PlatformInput::Kind::kMouse) {
        FUZZ_CHECK(in.dx >= 0 && in.dx <= 65535 && in.dy >= 0 && in.dy <= 65535);
      } else if ((in.key_flags & key_flag::kScanCode) != 0) {
        FUZZ_CHECK(in.scan_code != 0);
      } else {
        FUZZ_CHECK(in.virtual_key != 0 && in.virtual_key <= 254);
      }
    }
    return true;
  }
  std::vector<InjectionMonitor> Monitors() override {
    return {{"\\\\.\\DISPLAY1", 0, 0, 1920, 1080, true}, {"\\\\.\\DISPLAY2", -1280, 0, 0, 1024, false}};
  }
  VirtualScreen GetVirtualScreen() override { return {-1280, 0, 3200, 1080}; }
  // A layout that has no scan code for some keys and marks others extended.
  uint32_t VirtualKeyToScanCode(uint32_t virtual_key) override {
    if (virtual_key % 7 == 0) return 0;
    return (virtual_key % 5 == 0 ? 0xE000u : 0u) | (virtual_key & 0x7Fu);
  }

 private:
  static bool OnDesktop(int32_t x, int32_t y) { return x >= -1280 && x < 1920 && y >= 0 && y < 1080; }
  const bool devices_;
};

// Every event goes to each of the session's injectors.
class SessionInjectors final : public IInputInjector {
 public:
  explicit SessionInjectors(ManualClock& clock)
      : clock_(clock),
        devices_(std::make_unique<CheckingPlatform>(true), clock, InputInjectorOptions{false}),
        emulation_(std::make_unique<CheckingPlatform>(false), clock, InputInjectorOptions{false}) {}
  void SetTarget(const std::string& name, int32_t left, int32_t top, int32_t width, int32_t height, uint32_t sw,
                 uint32_t sh) override {
    for (IInputInjector* i : All()) i->SetTarget(name, left, top, width, height, sw, sh);
  }
  void SetPrimaryTarget(uint32_t sw, uint32_t sh) override {
    for (IInputInjector* i : All()) i->SetPrimaryTarget(sw, sh);
  }
  bool PenDegraded(PenDegradation*) override { return false; }
  void InjectTouch(const TouchInput& t) override {
    for (IInputInjector* i : All()) i->InjectTouch(t);
    Tick();
  }
  void InjectPen(const PenInput& p) override {
    for (IInputInjector* i : All()) i->InjectPen(p);
    Tick();
  }
  void InjectKey(const KeyInput& k) override {
    for (IInputInjector* i : All()) i->InjectKey(k);
  }
  void InjectMouse(const MouseInput& m) override {
    for (IInputInjector* i : All()) i->InjectMouse(m);
    Tick();
  }
  void ReleaseAllKeys() override {
    for (IInputInjector* i : All()) i->ReleaseAllKeys();
  }
  void ReleaseAllPointers() override {
    for (IInputInjector* i : All()) i->ReleaseAllPointers();
  }

 private:
  std::vector<IInputInjector*> All() { return {&logging_, &devices_, &emulation_}; }
  // Events arrive some milliseconds apart; the keep-alive rules run between.
  void Tick() {
    clock_.AdvanceMs(23);
    devices_.KeepAliveTick();
    emulation_.KeepAliveTick();
  }
  ManualClock& clock_;
  LoggingInputInjector logging_;
  InputInjector devices_;
  InputInjector emulation_;
};

// The session's handling of an opened datagram (SessionManager's input
// callback for an authenticated tablet with input enabled), into the
// checking injector and the Linux build's logging one.
void SessionInput(ByteView plaintext, IInputInjector& session_injector) {
  if (plaintext.size() == sizeof SessionManager::kMediaPunch &&
      std::memcmp(plaintext.data(), SessionManager::kMediaPunch, sizeof SessionManager::kMediaPunch) == 0) {
    return;  // the media sender is aimed at the datagram's source
  }
  CheckingInjector injector;
  const InputDispatchResult result = DispatchInputEvent(plaintext.data(), plaintext.size(), injector);
  FUZZ_CHECK(injector.calls == (result == InputDispatchResult::kDispatched ? 1 : 0));
  FUZZ_CHECK(DispatchInputEvent(plaintext.data(), plaintext.size(), session_injector) == result);
}

class Channel {
 public:
  Channel() : injector_(clock_) {
    Install(FixedKey());
    gate_.SetExpectedPeer(kTablet);
    peer_ = kTablet;
  }
  // The tablet is gone: the session releases its keys and pointers.
  ~Channel() {
    injector_.ReleaseAllKeys();
    injector_.ReleaseAllPointers();
  }

  void Record(ByteView record) {
    FuzzReader in(record.data(), record.size());
    const uint8_t shape = in.Byte();
    const Ipv4Address source = (shape & 8) != 0 ? kStranger : kTablet;
    switch (shape & 7) {
      case 0: {
        const uint64_t counter = in.U64();
        Sealed(source, tablet_key_, counter, in.Rest(), false, 0);
        break;
      }
      case 2: {
        const ByteView body = in.Rest();
        Datagram(source, body, std::nullopt, 0);
        SessionInput(body, injector_);
        break;
      }
      case 3: {
        const uint64_t counter = NearCounter(in.Byte());
        Sealed(source, ForeignKey(), counter, in.Rest(), false, 0);
        break;
      }
      case 4: {
        const uint8_t how = in.Byte();
        ChangeKeys(how);
        Retarget(how >> 4);
        break;
      }
      case 5: {
        const uint64_t counter = NearCounter(in.Byte());
        const uint8_t change = in.Byte();
        Sealed(source, tablet_key_, counter, in.Rest(), true, change);
        break;
      }
      case 6: {
        const uint64_t counter = NearCounter(in.Byte()) | (uint64_t{1} << 63);
        Sealed(source, tablet_key_, counter, in.Rest(), false, 0);
        break;
      }
      case 7: {
        // A datagram of exactly the largest size, or one byte more.
        const uint8_t step = in.Byte();
        const uint64_t counter = NearCounter(step);
        const ByteView body = in.Rest();
        Bytes big(kMaxInputDatagramBytes - security::kSecureFrameOverheadBytes + (step & 1), 0);
        for (size_t i = 0; i < big.size() && !body.empty(); ++i) big[i] = body[i % body.size()];
        Sealed(source, tablet_key_, counter, big, false, 0);
        break;
      }
      default: {
        const uint64_t counter = NearCounter(in.Byte());
        Sealed(source, tablet_key_, counter, in.Rest(), false, 0);
        break;
      }
    }
  }

 private:
  // The session picks another monitor for the stream now and then.
  void Retarget(uint8_t choice) {
    switch (choice & 3) {
      case 0:
        injector_.SetPrimaryTarget(1920, 1080);
        break;
      case 1:
        injector_.SetTarget("\\\\.\\DISPLAY2", -1280, 0, 1280, 1024, 2560, 1600);
        break;
      case 2:
        injector_.SetTarget("gone", 0, 0, 0, 0, 0, 0);
        break;
      default:
        injector_.SetTarget("\\\\.\\DISPLAY1", 0, 0, 1920, 1080, 1200, 1920);
        break;
    }
  }

  static const Bytes& ForeignKey() {
    static const Bytes key(32, 0x77);
    return key;
  }

  uint64_t NearCounter(uint8_t step) const {
    return highest_ + static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(step)));
  }

  void Install(const Bytes& key) {
    FUZZ_CHECK(gate_.SetKey(key));
    ModelSetKey(key);
    tablet_key_ = key;
  }

  // The model of SetKey: the same key keeps the window.
  void ModelSetKey(ByteView key) {
    const Bytes first(key.begin(), key.begin() + std::min<size_t>(key.size(), 16));
    if (key_ && key.size() >= 16 && *key_ == first) return;
    ResetModel();
    if (key.size() >= 16) key_ = first;
  }

  void ResetModel() {
    key_.reset();
    accepted_.clear();
    highest_ = 0;
    ++generation_;
  }

  // Returns whether the gate's key generation moved.
  bool ChangeKeys(uint8_t how) {
    const uint64_t before = generation_;
    switch (how % 8) {
      case 0: Install(FixedKey()); break;
      case 1: Install(OtherKey()); break;
      case 2: {
        const Bytes short_key(15, 0x42);
        FUZZ_CHECK(!gate_.SetKey(short_key));
        ModelSetKey(short_key);
        break;
      }
      case 3:
        gate_.ClearKey();
        ResetModel();
        break;
      case 4:
        gate_.ClearPeerAndKey();
        ResetModel();
        peer_.reset();
        break;
      case 5:
        gate_.SetExpectedPeer(kTablet);
        peer_ = kTablet;
        break;
      case 6:
        gate_.SetExpectedPeer(kStranger);
        peer_ = kStranger;
        break;
      default:
        Install(tablet_key_);  // the session re-applies the same key
        break;
    }
    FUZZ_CHECK(gate_.HasKey() == key_.has_value());
    FUZZ_CHECK(gate_.HasExpectedPeer() == peer_.has_value());
    return generation_ != before;
  }

  void Sealed(const Ipv4Address& source, const Bytes& key, uint64_t counter, ByteView plaintext, bool phases,
              uint8_t change) {
    const Bytes datagram = security::SealSecureFrame(cipher_, key, security::kNonceInput, counter, plaintext);
    FUZZ_CHECK(!datagram.empty());
    const bool under_gate_key = key_ && std::equal(key_->begin(), key_->end(), key.begin());
    Datagram(source, datagram, under_gate_key ? std::optional<ByteView>(plaintext) : std::nullopt,
             phases ? std::optional<uint8_t>(change) : std::nullopt);
  }

  // sealed_plaintext: set when the datagram was sealed under the gate's key.
  void Datagram(const Ipv4Address& source, ByteView datagram, std::optional<ByteView> sealed_plaintext,
                std::optional<uint8_t> change) {
    // The receive loop drops an oversized datagram before anything else.
    if (datagram.size() > kMaxInputDatagramBytes) return;

    // The model's verdict, in the gate's order.
    InputVerdict expected = InputVerdict::kAccepted;
    security::SecureFrameView view;
    const bool parsed = security::ParseSecureFrame(datagram, &view) && view.encrypted();
    if (!key_ || !peer_) {
      expected = InputVerdict::kNoKeyOrPeer;
    } else if (source != *peer_) {
      expected = InputVerdict::kWrongPeer;
    } else if (!parsed) {
      expected = InputVerdict::kNotSecureFrame;
    } else if ((view.counter >> 63) != 0) {
      expected = InputVerdict::kCounterTooLarge;
    } else if (sealed_plaintext ? sealed_plaintext->empty() : true) {
      // Unsealed bytes (and empty plaintexts) do not open; checked below
      // should the gate disagree.
      expected = InputVerdict::kDecryptFailed;
    }

    InputVerdict verdict;
    crypto::Bytes plaintext;
    bool generation_moved = false;
    if (change) {
      InputDatagramGate::KeySnapshot snapshot;
      verdict = gate_.Snapshot(source, &snapshot);
      uint64_t counter = 0;
      if (verdict == InputVerdict::kAccepted) verdict = InputDatagramGate::Decrypt(cipher_, snapshot, datagram, &counter, &plaintext);
      generation_moved = ChangeKeys(*change);
      if (verdict == InputVerdict::kAccepted) {
        verdict = gate_.Commit(snapshot.generation, counter);
        if (verdict != InputVerdict::kAccepted) crypto::SecureWipe(plaintext);
      }
    } else {
      verdict = gate_.Open(cipher_, datagram, source, &plaintext);
    }

    if (expected == InputVerdict::kDecryptFailed && !sealed_plaintext && verdict != InputVerdict::kDecryptFailed &&
        verdict != InputVerdict::kNotSecureFrame) {
      // Arbitrary bytes opened: they must be the sealer's frame for that
      // plaintext (only the unauthenticated flags byte may differ).
      FUZZ_CHECK(parsed && key_);
      Bytes again;
      FUZZ_CHECK(security::OpenAesGcm(cipher_, *key_, security::kNonceInput, view.counter, view.payload, &again));
      Bytes resealed = security::SealSecureFrame(cipher_, *key_, security::kNonceInput, view.counter, again);
      FUZZ_CHECK(resealed.size() == datagram.size());
      resealed[4] = datagram[4];
      FUZZ_CHECK(std::memcmp(resealed.data(), datagram.data(), datagram.size()) == 0);
      expected = InputVerdict::kAccepted;
    }
    if (expected == InputVerdict::kAccepted) {
      if (generation_moved) {
        expected = InputVerdict::kKeyChanged;
      } else if (!WouldAccept(view.counter)) {
        expected = InputVerdict::kReplayed;
      }
    }
    FUZZ_CHECK(verdict == expected);
    if (verdict != InputVerdict::kAccepted) {
      FUZZ_CHECK(plaintext.empty());
      return;
    }
    // Never twice under one key.
    FUZZ_CHECK(accepted_.insert(view.counter).second);
    if (view.counter > highest_ || accepted_.size() == 1) highest_ = view.counter;
    if (sealed_plaintext) {
      FUZZ_CHECK(plaintext.size() == sealed_plaintext->size() &&
                 std::memcmp(plaintext.data(), sealed_plaintext->data(), plaintext.size()) == 0);
    }
    SessionInput(plaintext, injector_);
  }

  bool WouldAccept(uint64_t counter) const {
    if (accepted_.empty() || counter > highest_) return true;
    if (highest_ - counter >= security::ReplayWindow::kWidth) return false;
    return accepted_.count(counter) == 0;
  }

  InputDatagramGate gate_;
  crypto::AesGcm cipher_;
  ManualClock clock_;
  SessionInjectors injector_;
  Bytes tablet_key_;
  // The model.
  std::optional<Bytes> key_;  // the gate's 16 key bytes
  std::optional<Ipv4Address> peer_;
  std::set<uint64_t> accepted_;
  uint64_t highest_ = 0;
  uint64_t generation_ = 0;
};

void Run(const uint8_t* data, size_t size) {
  Channel channel;
  FuzzReader in(data, size);
  ByteView record;
  while (in.Record(&record)) channel.Record(record);
}

}  // namespace
}  // namespace orvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orvane::fuzz::QuietLogs();
  orvane::fuzz::Run(data, size);
  return 0;
}
