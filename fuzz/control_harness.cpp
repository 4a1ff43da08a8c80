#include "fuzz/control_harness.h"

#include <climits>
#include <utility>

#include "host/security/secure_frame.h"
#include "host/video/monitor_enumeration.h"

namespace orvane::fuzz {

namespace pb = protocol::v1;

ControlHarness::ControlHarness(ProtocolHandler::HelloAuthenticator authenticator)
    : handler_(std::make_unique<ProtocolHandler>(clock_)),
      opener_(std::make_unique<ControlFrameOpener>(handler_->Keys(), clock_)) {
  handler_->SetMonitorEnumerator(std::make_shared<SyntheticMonitorEnumerator>());
  handler_->SetWindowCommandsSupported(true);
  handler_->SetFrameSender([this](const uint8_t* data, size_t length) { return OnSend(data, length); });
  handler_->SetAdmissionCallback([](const std::string&, const std::string& client_name, uint32_t* limit) {
    *limit = 1;
    return client_name != kBusyClientName;
  });
  handler_->SetHelloAuthenticator(std::move(authenticator));
  opener_->SetRekeySender(
      [this](const char* reason, uint64_t server_epoch) { handler_->SendRekeyRequired(reason, server_epoch); });
}

ControlHarness::~ControlHarness() = default;

ControlHarness::Delivered ControlHarness::Deliver(ByteView frame) {
  closed_ = false;
  Delivered delivered;
  const bool was_authenticated = handler_->IsAuthenticated();
  const OpenedControlFrame opened = opener_->OpenControlFrame(frame.data(), frame.size(), was_authenticated);
  delivered.verdict = opened.verdict;
  delivered.promoted = opened.promoted;
  if (opened.verdict == ControlFrameVerdict::kDrop) {
    FUZZ_CHECK(opened.data == nullptr && opened.length == 0 && !opened.promoted);
    return delivered;
  }
  FUZZ_CHECK(opened.data != nullptr || opened.length == 0);
  delivered.plaintext.assign(opened.data, opened.data + opened.length);
  handler_->HandleControlFrame(opened.data, opened.length, opened.verdict == ControlFrameVerdict::kEncrypted);
  if (handler_->RefusedBusy() || handler_->RefusedVersion()) {
    CloseConnection();
    closed_ = true;
  }
  return delivered;
}

void ControlHarness::CloseConnection() {
  handler_->Reset();
  opener_->Reset();
}

std::vector<ControlHarness::Sent> ControlHarness::TakeSent() { return std::exchange(sent_, {}); }

Bytes ControlHarness::Plain(const pb::ControlMessage& message) {
  std::string bytes;
  FUZZ_CHECK(message.SerializeToString(&bytes));
  return Bytes(bytes.begin(), bytes.end());
}

// Every frame the host sends: HelloAck plain, everything else in a secure
// frame that opens under the key the tablet holds at that moment, with the
// nonce prefix the connection agreed on and a nonce not used before under
// that key; one message each, with sequence numbers that only grow.
bool ControlHarness::OnSend(const uint8_t* data, size_t length) {
  FUZZ_CHECK(data != nullptr && length <= INT_MAX);
  Sent sent;
  const ByteView frame(data, length);
  security::SecureFrameView view;
  if (security::ParseSecureFrame(frame, &view)) {
    FUZZ_CHECK(view.encrypted());
    security::ControlKeyState& keys = handler_->Keys();
    const Bytes key = keys.ActiveKey();
    FUZZ_CHECK(!key.empty());
    const uint32_t prefix = keys.Directional() ? security::kNonceControlHostDirectional : security::kNonceControl;
    Bytes plaintext;
    FUZZ_CHECK(security::OpenAesGcm(check_cipher_, key, prefix, view.counter, view.payload, &plaintext));
    if (keys.ResetGeneration() != nonces_generation_) {
      nonces_.clear();
      nonces_generation_ = keys.ResetGeneration();
    }
    FUZZ_CHECK(nonces_.emplace(key, prefix, view.counter).second);
    FUZZ_CHECK(sent.message.ParseFromArray(plaintext.data(), static_cast<int>(plaintext.size())));
    FUZZ_CHECK(!sent.message.has_hello_ack());
    sent.sealed = true;
  } else {
    FUZZ_CHECK(sent.message.ParseFromArray(data, static_cast<int>(length)));
    FUZZ_CHECK(sent.message.has_hello_ack());
  }
  FUZZ_CHECK(sent.message.protocol_version() == kSupportedProtocolVersion);
  FUZZ_CHECK(sent.message.sequence_id() > last_sequence_);
  last_sequence_ = sent.message.sequence_id();
  sent_.push_back(std::move(sent));
  return true;
}

}  // namespace orvane::fuzz
