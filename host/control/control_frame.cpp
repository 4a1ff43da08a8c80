#include "host/control/control_frame.h"

#include <cstring>

#include "host/app/logger.h"
#include "orvane_protocol_v1.pb.h"

namespace orvane {

bool IsSecureFrame(const uint8_t* data, size_t length) {
  return data != nullptr && length >= sizeof kSecureFrameMagic &&
         std::memcmp(data, kSecureFrameMagic, sizeof kSecureFrameMagic) == 0;
}

OpenedControlFrame ControlFrameOpener::OpenControlFrame(const uint8_t* frame, size_t length) {
  OpenedControlFrame opened;
  if (IsSecureFrame(frame, length)) {
    // Without a session key there is nothing to open it with. The peer is not
    // authenticated either, so the line is rate-limited.
    uint64_t suppressed = 0;
    if (drop_warnings_.Allow(clock_.TickMs(), &suppressed)) {
      if (suppressed > 0) {
        LogWarn("[Crypto] Dropping secure control frame (%zu bytes): no session key (%llu similar suppressed)", length,
                static_cast<unsigned long long>(suppressed));
      } else {
        LogWarn("[Crypto] Dropping secure control frame (%zu bytes): no session key", length);
      }
    }
    return opened;
  }
  opened.verdict = ControlFrameVerdict::kPlaintext;
  opened.data = frame;
  opened.length = length;
  return opened;
}

void ControlFrameOpener::Reset() { drop_warnings_.Reset(); }

bool PeekHelloClientId(const uint8_t* payload, size_t length, std::string* client_id) {
  if (payload == nullptr || client_id == nullptr || IsSecureFrame(payload, length)) return false;
  if (length > static_cast<size_t>(INT32_MAX)) return false;
  protocol::v1::ControlMessage message;
  if (!message.ParseFromArray(payload, static_cast<int>(length))) return false;
  if (!message.has_hello() || message.hello().client_id().empty()) return false;
  *client_id = message.hello().client_id();
  return true;
}

}  // namespace orvane
