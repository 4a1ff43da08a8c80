#pragma once
// One tablet session's control path without sockets or threads, for the
// control fuzz targets: the frame opener and the protocol handler wired as
// the session wires them (the opener's rekey requests go out through the
// handler, a refused Hello closes the connection), on a manual clock, with
// every frame the host sends collected and checked.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/common/clock.h"
#include "host/control/control_frame.h"
#include "host/control/protocol_handler.h"
#include "orvane_protocol_v1.pb.h"

namespace orvane::fuzz {

// The app version every accepted Hello carries.
inline constexpr const char* kAppVersion = ProtocolHandler::kHostVersion;
// A Hello from a tablet with this name is refused as over the tablet limit.
inline constexpr const char* kBusyClientName = "one tablet too many";

class ControlHarness {
 public:
  // What the host sent; HelloAck leaves plain, everything else sealed.
  struct Sent {
    protocol::v1::ControlMessage message;
    bool sealed = false;
  };

  // authenticator: the handler's Hello authenticator (may be empty).
  explicit ControlHarness(ProtocolHandler::HelloAuthenticator authenticator);
  ~ControlHarness();

  ManualClock& clock() { return clock_; }
  ProtocolHandler& handler() { return *handler_; }
  ControlFrameOpener& opener() { return *opener_; }

  // What the opener made of a frame, copied (the opener reuses its buffer).
  struct Delivered {
    ControlFrameVerdict verdict = ControlFrameVerdict::kDrop;
    Bytes plaintext;  // what reached the handler
    bool promoted = false;
  };

  // The session's handling of one received frame. A Hello refused for the
  // version or the tablet limit closes the connection afterwards, as the
  // session does.
  Delivered Deliver(ByteView frame);
  // The connection ended: the session resets handler and opener.
  void CloseConnection();
  // Whether the last Deliver closed the connection.
  bool closed() const { return closed_; }

  // Frames the host sent since the last call.
  std::vector<Sent> TakeSent();

  // A plain frame: the serialised message.
  static Bytes Plain(const protocol::v1::ControlMessage& message);

 private:
  bool OnSend(const uint8_t* data, size_t length);

  ManualClock clock_;
  std::unique_ptr<ProtocolHandler> handler_;
  std::unique_ptr<ControlFrameOpener> opener_;
  crypto::AesGcm check_cipher_;
  std::vector<Sent> sent_;
  uint64_t last_sequence_ = 0;
  // (key, nonce prefix, counter) of every sealed frame since the keys were
  // last reset: a nonce is never used twice under one key.
  std::set<std::tuple<Bytes, uint32_t, uint64_t>> nonces_;
  uint64_t nonces_generation_ = 0;
  bool closed_ = false;
};

}  // namespace orvane::fuzz
