#include "tools/tablet_sim/sim_session.h"

#include <cinttypes>
#include <optional>
#include <string>
#include <vector>

#include "host/app/logger.h"
#include "host/common/net.h"
#include "tools/tablet_sim/sim_connection.h"
#include "tools/tablet_sim/sim_messages.h"

namespace orvane::sim {
namespace {

// Renders a Hello's texts the way the host will see them in its log.
std::string Shown(const std::string& text) {
  std::string out(1, '\'');
  out.append(EscapeUntrusted(text));
  out.push_back('\'');
  return out;
}

bool IsResetByHost(int error) { return error == net::kWsaEConnReset || error == net::kWsaEConnAborted; }

}  // namespace

int RunTabletSim(const SimOptions& options, SimOutput& out, IClock& clock) {
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

  const uint64_t hold_ms = static_cast<uint64_t>(options.hold_seconds) * 1000;
  std::optional<uint64_t> deadline;
  // The hold counts from the end of the exchange: re-armed when the HelloAck
  // arrives, so an unanswered Hello still ends after the hold.
  auto arm_hold = [&] {
    if (hold_ms > 0) deadline = clock.TickMs() + hold_ms;
  };

  MessageFactory factory(clock, options.protocol_version);
  if (options.send_hello) {
    const pb::ControlMessage hello = factory.BuildHello(options.client_id, options.client_name, options.app_version);
    size_t bytes = 0;
    int error = 0;
    if (!connection.SendMessage(hello, &bytes, &error)) {
      out.Error("[Sim] Sending Hello failed: error %d", error);
      return kSimExitConnectionFailed;
    }
    out.Info("[Sim] Sent Hello client_id=%s client_name=%s app_version=%s protocol_version=%u (%zu bytes)",
             Shown(options.client_id).c_str(), Shown(options.client_name).c_str(),
             Shown(options.app_version).c_str(), options.protocol_version, bytes);
  } else {
    out.Info("[Sim] Staying silent (--no-hello)");
  }
  arm_hold();

  int exit_code = kSimExitOk;
  std::vector<uint8_t> payload;
  for (bool running = true; running;) {
    const FrameStatus status = connection.ReceiveFrame(deadline, &payload);
    switch (status) {
      case FrameStatus::kFrame: {
        if (IsSecureFrame(payload.data(), payload.size())) {
          out.Info("[Sim] Received %s", DescribeUnreadableFrame(payload.data(), payload.size()).c_str());
          break;
        }
        pb::ControlMessage message;
        if (!message.ParseFromArray(payload.data(), static_cast<int>(payload.size()))) {
          out.Info("[Sim] Received %s", DescribeUnreadableFrame(payload.data(), payload.size()).c_str());
          break;
        }
        out.Info("[Sim] Received %s", DescribeMessage(message).c_str());
        if (message.payload_case() == pb::ControlMessage::kHelloAck) arm_hold();
        break;
      }
      case FrameStatus::kTimedOut:
        out.Info("[Sim] Held the connection for %u s; closing it", options.hold_seconds);
        running = false;
        break;
      case FrameStatus::kClosed:
        if (connection.reader().mid_frame()) {
          out.Info("[Sim] Connection closed by host in the middle of a frame");
        } else {
          out.Info("[Sim] Connection closed by host");
        }
        running = false;
        break;
      case FrameStatus::kError:
        if (IsResetByHost(connection.reader().last_error())) {
          out.Info("[Sim] Connection closed by host (reset, error %d)", connection.reader().last_error());
        } else {
          out.Error("[Sim] Receiving failed: error %d", connection.reader().last_error());
          exit_code = kSimExitConnectionFailed;
        }
        running = false;
        break;
      case FrameStatus::kInvalidLength:
        out.Error("[Sim] Host announced a frame of %u bytes (allowed 1..%u); closing the connection",
                  connection.reader().announced_length(), kMaxFramePayloadBytes);
        exit_code = kSimExitConnectionFailed;
        running = false;
        break;
    }
  }
  const uint64_t received = connection.frames_received();
  const uint64_t sent = connection.frames_sent();
  connection.Close();
  out.Info("[Sim] Disconnected (frames received %" PRIu64 ", sent %" PRIu64 ")", received, sent);
  return exit_code;
}

}  // namespace orvane::sim
