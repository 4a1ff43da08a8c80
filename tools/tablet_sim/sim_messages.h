#pragma once
// Control messages as the tablet builds and reads them: the envelope every
// outgoing message gets, the Hello, and one-line descriptions of whatever the
// host sends, for the simulator's output.

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/common/clock.h"
#include "orvane_protocol_v1.pb.h"

namespace orvane::sim {

namespace pb = ::orvane::protocol::v1;

// Secure frames start with these four bytes; before the key agreement only
// plain ControlMessages travel.
inline constexpr char kSecureFrameMagic[4] = {'O', 'V', 'D', '1'};

// Fills the envelope of every message the tablet sends: its protocol
// version, a sequence that starts at 1 and grows by one per message, and the
// tablet's monotonic clock in microseconds.
class MessageFactory {
 public:
  MessageFactory(IClock& clock, uint32_t protocol_version) : clock_(clock), protocol_version_(protocol_version) {}

  pb::ControlMessage NewEnvelope();
  // Hello with the tablet's identity and version; protocol_version as the
  // envelope's. Key agreement and pairing fields stay empty.
  pb::ControlMessage BuildHello(const std::string& client_id, const std::string& client_name,
                                const std::string& app_version);

  uint64_t next_sequence() const { return next_sequence_; }

 private:
  IClock& clock_;
  const uint32_t protocol_version_;
  uint64_t next_sequence_ = 1;
};

// Message type name of a payload field number ("Hello", "HelloAck", ...);
// "none" for 0 and "unknown" for a number the schema does not have.
const char* PayloadName(int field_number);

// "AUTH_RESULT_HOST_BUSY (5)"; "unknown (4)" for values outside the enum.
std::string AuthResultText(int value);

// "HelloAck auth_result=AUTH_RESULT_HOST_BUSY (5) max_sessions=1 host_id='...' ...":
// the message type, then its key fields. Texts from the host are escaped and
// cut, so a description is always one printable line.
std::string DescribeMessage(const pb::ControlMessage& message);

// A frame whose payload is not a plain ControlMessage: a secure frame, or
// bytes that do not parse.
bool IsSecureFrame(const uint8_t* data, size_t length);
std::string DescribeUnreadableFrame(const uint8_t* data, size_t length);

}  // namespace orvane::sim
