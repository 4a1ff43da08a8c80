#pragma once
// Control messages as the tablet builds and reads them: the envelope every
// outgoing message gets, the Hello, and one-line descriptions of whatever the
// host sends, for the simulator's output.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "orvane_protocol_v1.pb.h"
#include "tools/tablet_sim/sim_options.h"
#include "tools/tablet_sim/sim_script.h"

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
  // envelope's; the ephemeral public key (left out when empty) and the
  // request for directional control nonces; auth_version (0 leaves it out)
  // and the auth v1 pairing proof (left out when empty).
  pb::ControlMessage BuildHello(const std::string& client_id, const std::string& client_name,
                                const std::string& app_version, const std::vector<uint8_t>& ephemeral_public_key,
                                bool directional_control_nonce, uint32_t auth_version = 0,
                                const std::vector<uint8_t>& pairing_proof = {});

  // The auth v2 AuthProof (proof empty for a tablet without a credential).
  pb::ControlMessage BuildAuthProof(const std::vector<uint8_t>& proof);

  // KeyRotation with the epoch and the tablet's new ephemeral public key.
  pb::ControlMessage BuildKeyRotation(uint64_t next_epoch, const std::vector<uint8_t>& ephemeral_public_key);

  // The capability step: supported_codecs, supported_fps, preferred_resolution
  // (left out for 0 x 0), display_orientation, route_class and
  // max_fragments_per_frame from the capabilities; one codec_capabilities
  // entry per offered codec (up to 3840 x 2160 at the highest fps offered);
  // Opus audio, touch, pen and keyboard input, FEC and stream resizing.
  pb::ControlMessage BuildCapabilityExchange(const TabletCapabilities& caps);

  // NackRequest for video (stream type 1) with these sequence numbers.
  pb::ControlMessage BuildNackRequest(const std::vector<uint32_t>& sequence_numbers);

  // The StatsReport of what the tablet measured over the last interval.
  struct MeasuredStats {
    std::string session_id;
    float rtt_ms = 0;
    float packet_loss_pct = 0;
    uint32_t bitrate_kbps = 0;
    uint32_t fec_recovered_packets = 0;
    std::string route_class;
    float decode_pressure_pct = 0;  // --report-decode
    float late_drop_pct = 0;        // --report-late
  };
  pb::ControlMessage BuildStatsReport(const MeasuredStats& stats);

  // Every other script step except hello, key-rotation and wait (which the
  // session handles): the message with the step's fields. A Ping carries the
  // envelope's timestamp as send_timestamp_us.
  pb::ControlMessage BuildStep(const ScriptStep& step, const TabletCapabilities& caps);

  uint64_t next_sequence() const { return next_sequence_; }

 private:
  IClock& clock_;
  const uint32_t protocol_version_;
  uint64_t next_sequence_ = 1;
  uint32_t next_window_request_ = 1;
};

// Message type name of a payload field number ("Hello", "HelloAck", ...);
// "none" for 0 and "unknown" for a number the schema does not have.
const char* PayloadName(int field_number);

// "AUTH_RESULT_HOST_BUSY (5)"; "unknown (4)" for values outside the enum.
std::string AuthResultText(int value);

// "HelloAck auth_result=AUTH_RESULT_HOST_BUSY (5) max_sessions=1 host_id='...' ...":
// the message type, then its key fields (of the host's messages and of the
// tablet's own, for the lines of what was sent). Texts from the host are escaped and
// cut, so a description is always one printable line.
std::string DescribeMessage(const pb::ControlMessage& message);

// One line per entry of a MonitorListResponse (empty for other messages):
// "monitor id='...' name='...' 1920x1080 at 0,0 primary=yes 60 Hz hdr=no".
std::vector<std::string> DescribeMonitorEntries(const pb::ControlMessage& message);

// The lines of the host's stream figures that tests look for, one per
// message (empty for other messages):
// "StreamResize encoded=1280x800 logical=2560x1600 scale=500/1000" and
// "Host bitrate current_bitrate_kbps=9000" (of the host's StatsReport).
std::vector<std::string> DescribeHostFigures(const pb::ControlMessage& message);

// A frame whose payload is not a plain ControlMessage: a secure frame, or
// bytes that do not parse.
bool IsSecureFrame(const uint8_t* data, size_t length);
std::string DescribeUnreadableFrame(const uint8_t* data, size_t length);

}  // namespace orvane::sim
