// The control path of a fresh session before authentication: arbitrary
// frames, plain and shaped as secure frames, into the session's frame opener
// and protocol handler, with no Hello authenticator (so no tablet can become
// trusted, as in a host without its pairing layer).
//
// Input: records (fuzz_support.h). The first byte of a record is its shape,
// the rest its body:
//   shape & 3 == 0  the body is the frame
//   shape & 3 == 1  "OVD1" + body (the body supplies flags, counter, payload)
//   shape & 3 == 2  "OVD1", the encrypted flag, then the body
//   shape & 3 == 3  the connection ends (the session resets), then the body
//                   arrives as the first frame of the next one
//   shape >> 2      the clock moves by that many quarter seconds first
//
// Invariants, after every frame:
// - the tablet is not authenticated and no auth v2 proof is awaited;
// - nothing opens as encrypted (no frame can be sealed under a key derived
//   from the host's fresh ephemeral key without the tablet's private key);
// - only HelloAck leaves the host, in plain, and never with AUTH_RESULT_OK;
// - no message but Hello changes the session: no stream request, keyframe,
//   quality, monitor, orientation, clipboard, NACK, statistics or window
//   command reaches the session, and nothing streams.

#include <cstring>

#include "fuzz/control_harness.h"
#include "fuzz/fuzz_support.h"
#include "host/security/secure_frame.h"

namespace orvane::fuzz {
namespace {

namespace pb = protocol::v1;

void CheckNothingHappened(ControlHarness& h) {
  ProtocolHandler& handler = h.handler();
  FUZZ_CHECK(!handler.IsAuthenticated());
  FUZZ_CHECK(!handler.AuthV2Pending());
  const StreamRequests requests = handler.TakeStreamRequests();
  FUZZ_CHECK(!requests.start && !requests.stop);
  FUZZ_CHECK(!handler.TakeKeyframeRequest());
  FUZZ_CHECK(!handler.TakeUserEnded());
  FUZZ_CHECK(!handler.TakeQualityChanged());
  FUZZ_CHECK(!handler.TakeMonitorChanged());
  FUZZ_CHECK(!handler.TakeOrientationChanged());
  FUZZ_CHECK(!handler.TakeAuthenticationRestart(nullptr));
  ClipboardIn clipboard;
  FUZZ_CHECK(!handler.TakeClipboardIn(&clipboard));
  NackBatch nack;
  FUZZ_CHECK(!handler.TakeNackBatch(&nack));
  TabletStats stats;
  FUZZ_CHECK(!handler.TakeTabletStats(&stats));
  WindowCommandRequest command;
  FUZZ_CHECK(!handler.TakeWindowCommand(&command));
  FUZZ_CHECK(!handler.Streaming());
  FUZZ_CHECK(!handler.VideoPaused());
  FUZZ_CHECK(handler.SelectedMonitorId().empty());
  for (const ControlHarness::Sent& sent : h.TakeSent()) {
    FUZZ_CHECK(!sent.sealed && sent.message.has_hello_ack());
    FUZZ_CHECK(sent.message.hello_ack().result() != pb::AUTH_RESULT_OK);
  }
}

void Run(const uint8_t* data, size_t size) {
  ControlHarness h(nullptr);
  FuzzReader in(data, size);
  ByteView record;
  Bytes frame;
  while (in.Record(&record)) {
    const uint8_t shape = record.empty() ? 0 : record[0];
    const ByteView body = record.empty() ? record : record.subspan(1);
    h.clock().AdvanceMs(static_cast<uint64_t>(shape >> 2) * 250);
    frame.clear();
    switch (shape & 3) {
      case 1:
        frame.assign(security::kSecureFrameMagic, security::kSecureFrameMagic + 4);
        break;
      case 2:
        frame.assign(security::kSecureFrameMagic, security::kSecureFrameMagic + 4);
        frame.push_back(security::kSecureFrameEncryptedFlag);
        break;
      case 3:
        h.CloseConnection();
        break;
      default:
        break;
    }
    frame.insert(frame.end(), body.begin(), body.end());
    const ControlHarness::Delivered delivered = h.Deliver(frame);
    FUZZ_CHECK(delivered.verdict != ControlFrameVerdict::kEncrypted);
    if (delivered.verdict == ControlFrameVerdict::kPlaintext) {
      FUZZ_CHECK(delivered.plaintext == frame);
      FUZZ_CHECK(!IsSecureFrame(frame.data(), frame.size()) || frame.size() < security::kSecureFrameHeaderBytes);
    }
    CheckNothingHappened(h);
  }
}

}  // namespace
}  // namespace orvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orvane::fuzz::QuietLogs();
  orvane::fuzz::Run(data, size);
  return 0;
}
