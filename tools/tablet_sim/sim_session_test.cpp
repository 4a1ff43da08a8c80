// The simulator against a scripted host on loopback: what it sends, what it
// prints, and how it ends.

#include "tools/tablet_sim/sim_session.h"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/common/net.h"
#include "tools/tablet_sim/sim_framing.h"
#include "tools/tablet_sim/sim_messages.h"
#include "tools/tablet_sim/sim_script.h"

namespace orvane::sim {
namespace {

// The host side of one connection, written without the simulator's own
// framing code so that both ends are checked against each other.
class ScriptedHost {
 public:
  ScriptedHost() {
    int error = 0;
    listener_ = net::Create(net::Kind::kTcp, &error);
    EXPECT_NE(listener_, net::kInvalidSocket) << error;
    EXPECT_EQ(net::SetListenerAddressOptions(listener_), 0);
    EXPECT_EQ(net::Bind(listener_, "127.0.0.1", 0), 0);
    EXPECT_EQ(net::Listen(listener_), 0);
    port_ = net::LocalPort(listener_, &error);
  }
  ~ScriptedHost() {
    if (thread_.joinable()) thread_.join();
    net::Close(listener_);
  }
  uint16_t port() const { return port_; }

  // Accepts one connection on a thread of its own and runs the script on it.
  void Serve(std::function<void(net::Socket)> script) {
    thread_ = std::thread([this, script = std::move(script)] {
      int error = 0;
      // Bounded, so that a simulator that never connects fails the test
      // instead of hanging it.
      if (net::PollOne(listener_, true, false, 30'000, &error) != 1) return;
      net::Endpoint peer;
      const net::Socket c = net::Accept(listener_, &peer, &error);
      if (c == net::kInvalidSocket) return;
      script(c);
      net::ShutdownBoth(c);
      net::Close(c);
    });
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

  static bool ReadExact(net::Socket s, uint8_t* p, size_t n) {
    while (n > 0) {
      int error = 0;
      const long got = net::Recv(s, p, n, &error);
      if (got <= 0) return false;
      p += got;
      n -= static_cast<size_t>(got);
    }
    return true;
  }
  static bool ReadFrame(net::Socket s, std::string* payload) {
    uint8_t h[4];
    if (!ReadExact(s, h, 4)) return false;
    const uint32_t length = (uint32_t{h[0]} << 24) | (uint32_t{h[1]} << 16) | (uint32_t{h[2]} << 8) | h[3];
    if (length == 0 || length > 4096) return false;
    payload->resize(length);
    return ReadExact(s, reinterpret_cast<uint8_t*>(payload->data()), length);
  }
  static bool WriteAll(net::Socket s, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      int error = 0;
      const long n = net::Send(s, bytes.data() + sent, bytes.size() - sent, &error);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
  static std::string Header(uint32_t length) {
    return {static_cast<char>(length >> 24), static_cast<char>(length >> 16), static_cast<char>(length >> 8),
            static_cast<char>(length)};
  }
  static bool WriteFrame(net::Socket s, const std::string& payload) {
    return WriteAll(s, Header(static_cast<uint32_t>(payload.size())) + payload);
  }

 private:
  net::Socket listener_ = net::kInvalidSocket;
  uint16_t port_ = 0;
  std::thread thread_;
};

struct Printed {
  std::vector<std::string> info;
  std::vector<std::string> errors;
  SimOutput Output(bool quiet) {
    return SimOutput([this](bool error, const std::string& line) { (error ? errors : info).push_back(line); }, quiet);
  }
  bool Has(const std::string& start) const {
    for (const auto& l : info) {
      if (l.rfind(start, 0) == 0) return true;
    }
    return false;
  }
};

std::string AllLines(const Printed& p) {
  std::string all;
  for (const auto& l : p.info) all += l + "\n";
  for (const auto& l : p.errors) all += "E: " + l + "\n";
  return all;
}

TEST(SimSession, SaysHelloPrintsTheAnswersAndEndsWhenTheHostCloses) {
  ScriptedHost host;
  std::string hello_bytes;
  host.Serve([&](net::Socket c) {
    if (!ScriptedHost::ReadFrame(c, &hello_bytes)) return;
    pb::ControlMessage ack;
    ack.set_protocol_version(1);
    ack.set_sequence_id(1);
    ack.mutable_hello_ack()->set_result(pb::AUTH_RESULT_HOST_BUSY);
    ack.mutable_hello_ack()->set_max_sessions(1);
    ack.mutable_hello_ack()->set_host_version("1.3.5");
    ScriptedHost::WriteFrame(c, ack.SerializeAsString());
    ScriptedHost::WriteFrame(c, std::string("OVD1") + std::string(40, '\x01'));
  });

  SimOptions options;
  options.port = host.port();
  options.client_id = "tab-a";
  options.client_name = "Tablet A";
  Printed printed;
  SimOutput out = printed.Output(false);
  EXPECT_EQ(RunTabletSim(options, out, SystemClock()), kSimExitOk) << AllLines(printed);
  host.Join();

  pb::ControlMessage hello;
  ASSERT_TRUE(hello.ParseFromString(hello_bytes));
  EXPECT_EQ(hello.protocol_version(), 1u);
  EXPECT_EQ(hello.sequence_id(), 1u);
  ASSERT_EQ(hello.payload_case(), pb::ControlMessage::kHello);
  EXPECT_EQ(hello.hello().client_id(), "tab-a");
  EXPECT_EQ(hello.hello().client_name(), "Tablet A");
  EXPECT_EQ(hello.hello().app_version(), "1.3.5");
  EXPECT_EQ(hello.hello().protocol_version(), 1u);

  const std::string all = AllLines(printed);
  EXPECT_TRUE(printed.Has("[Sim] Connected to 127.0.0.1:" + std::to_string(host.port()) + " (local port ")) << all;
  EXPECT_TRUE(printed.Has("[Sim] Sent Hello client_id='tab-a' client_name='Tablet A' app_version='1.3.5' "
                          "protocol_version=1"))
      << all;
  EXPECT_TRUE(printed.Has("[Sim] Received HelloAck auth_result=AUTH_RESULT_HOST_BUSY (5) max_sessions=1 ")) << all;
  EXPECT_TRUE(printed.Has("[Sim] Received a secure frame (44 bytes)")) << all;
  EXPECT_TRUE(printed.Has("[Sim] Connection closed by host")) << all;
  EXPECT_TRUE(printed.Has("[Sim] Disconnected (frames received 2, sent 1)")) << all;
  EXPECT_TRUE(printed.errors.empty()) << all;
}

TEST(SimSession, StaysSilentAndRefusesAnOversizeFrameWithoutWaitingForIt) {
  for (const bool quiet : {false, true}) {
    SCOPED_TRACE(quiet ? "quiet" : "verbose");
    ScriptedHost host;
    size_t bytes_from_sim = 0;
    host.Serve([&](net::Socket c) {
      // A header announcing 1 MiB + 1 and no payload: a simulator that waited
      // for the payload would hang here.
      ScriptedHost::WriteAll(c, ScriptedHost::Header(kMaxFramePayloadBytes + 1));
      uint8_t buf[256];
      for (;;) {
        int error = 0;
        const long n = net::Recv(c, buf, sizeof buf, &error);
        if (n <= 0) break;
        bytes_from_sim += static_cast<size_t>(n);
      }
    });

    SimOptions options;
    options.port = host.port();
    options.send_hello = false;
    options.quiet = quiet;
    Printed printed;
    SimOutput out = printed.Output(quiet);
    EXPECT_EQ(RunTabletSim(options, out, SystemClock()), kSimExitConnectionFailed) << AllLines(printed);
    host.Join();

    EXPECT_EQ(bytes_from_sim, 0u);  // --no-hello sends nothing at all
    ASSERT_EQ(printed.errors.size(), 1u) << AllLines(printed);
    EXPECT_EQ(printed.errors[0], "[Sim] Host announced a frame of 1048577 bytes (allowed 1..1048576); closing the "
                                 "connection");
    if (quiet) {
      EXPECT_TRUE(printed.info.empty()) << AllLines(printed);
    } else {
      EXPECT_TRUE(printed.Has("[Sim] Staying silent (--no-hello)")) << AllLines(printed);
    }
  }
}

TEST(SimSession, RunsTheScriptStepByStepAndPrintsTheAnswers) {
  ScriptedHost host;
  std::vector<pb::ControlMessage> received;
  host.Serve([&](net::Socket c) {
    auto next = [&] {
      std::string bytes;
      pb::ControlMessage m;
      if (!ScriptedHost::ReadFrame(c, &bytes) || !m.ParseFromString(bytes)) return false;
      received.push_back(m);
      return true;
    };
    pb::ControlMessage answer;
    if (!next()) return;  // Hello
    answer.mutable_hello_ack()->set_result(pb::AUTH_RESULT_OK);
    ScriptedHost::WriteFrame(c, answer.SerializeAsString());
    if (!next()) return;  // CapabilityExchange
    answer.Clear();
    pb::CapabilityAccept* a = answer.mutable_capability_accept();
    a->set_selected_codec(pb::VIDEO_CODEC_HEVC);
    a->mutable_selected_resolution()->set_width(2560);
    a->mutable_selected_resolution()->set_height(1600);
    a->set_selected_fps(120);
    a->set_initial_bitrate_kbps(26000);
    ScriptedHost::WriteFrame(c, answer.SerializeAsString());
    if (!next()) return;  // Ping
    answer.Clear();
    answer.mutable_pong()->set_ping_timestamp_us(received.back().ping().send_timestamp_us());
    answer.mutable_pong()->set_pong_timestamp_us(42);
    ScriptedHost::WriteFrame(c, answer.SerializeAsString());
    if (!next()) return;  // the envelope-only message: no answer
    if (!next()) return;  // MonitorListRequest
    answer.Clear();
    pb::MonitorInfo* m = answer.mutable_monitor_list_response()->add_monitors();
    m->set_monitor_id("SIM-1");
    m->set_width(1920);
    m->set_height(1080);
    ScriptedHost::WriteFrame(c, answer.SerializeAsString());
    // StartStream is left unanswered; the connection stays until the
    // simulator leaves after its hold.
    while (next()) {
    }
  });

  SimOptions options;
  options.port = host.port();
  std::string error;
  ASSERT_TRUE(ParseScript("capability,ping,empty,monitors,start-stream", &options.script, &error)) << error;
  options.answer_wait_ms = 200;
  options.hold_seconds = 1;
  Printed printed;
  SimOutput out = printed.Output(false);
  EXPECT_EQ(RunTabletSim(options, out, SystemClock()), kSimExitOk) << AllLines(printed);
  host.Join();

  const pb::ControlMessage::PayloadCase order[] = {
      pb::ControlMessage::kHello,       pb::ControlMessage::kCapabilityExchange,  pb::ControlMessage::kPing,
      pb::ControlMessage::PAYLOAD_NOT_SET, pb::ControlMessage::kMonitorListRequest, pb::ControlMessage::kStartStream};
  ASSERT_EQ(received.size(), std::size(order)) << AllLines(printed);
  for (size_t i = 0; i < received.size(); ++i) {
    EXPECT_EQ(received[i].payload_case(), order[i]) << i;
    EXPECT_EQ(received[i].sequence_id(), i + 1);  // one envelope sequence across Hello and script
  }

  const std::string all = AllLines(printed);
  EXPECT_TRUE(printed.Has("[Sim] Sent CapabilityExchange codecs=H264,HEVC screen=2560x1600 ")) << all;
  EXPECT_TRUE(printed.Has("[Sim] Received CapabilityAccept codec=HEVC 2560x1600 @120 fps bitrate=26000 kbps ")) << all;
  EXPECT_TRUE(printed.Has("[Sim] Received Pong ping_timestamp_us=")) << all;
  EXPECT_TRUE(printed.Has("[Sim] Ping round trip ")) << all;
  EXPECT_TRUE(printed.Has("[Sim] Sent none (type=0 seq=4)")) << all;
  EXPECT_TRUE(printed.Has("[Sim] Received MonitorListResponse monitors=1 ")) << all;
  EXPECT_TRUE(printed.Has("[Sim]   monitor id='SIM-1' name='' 1920x1080 at 0,0 ")) << all;
  EXPECT_TRUE(printed.Has("[Sim] No answer to start-stream within 200 ms")) << all;
  EXPECT_TRUE(printed.Has("[Sim] Script done (5 steps)")) << all;
  EXPECT_TRUE(printed.Has("[Sim] Held the connection for 1 s; closing it")) << all;
  EXPECT_TRUE(printed.errors.empty()) << all;
}

TEST(SimSession, AHostThatClosesDuringTheScriptEndsTheRunNormally) {
  ScriptedHost host;
  host.Serve([&](net::Socket c) {
    std::string hello;
    if (!ScriptedHost::ReadFrame(c, &hello)) return;
    pb::ControlMessage ack;
    ack.mutable_hello_ack()->set_result(pb::AUTH_RESULT_VERSION_MISMATCH);
    ScriptedHost::WriteFrame(c, ack.SerializeAsString());
  });
  SimOptions options;
  options.port = host.port();
  options.app_version = "1.2.9";
  std::string error;
  ASSERT_TRUE(ParseScript("wait:5000,ping", &options.script, &error)) << error;
  Printed printed;
  SimOutput out = printed.Output(false);
  EXPECT_EQ(RunTabletSim(options, out, SystemClock()), kSimExitOk) << AllLines(printed);
  host.Join();
  const std::string all = AllLines(printed);
  EXPECT_TRUE(printed.Has("[Sim] Received HelloAck auth_result=AUTH_RESULT_VERSION_MISMATCH (2)")) << all;
  EXPECT_TRUE(printed.Has("[Sim] Connection closed by host")) << all;
  EXPECT_FALSE(printed.Has("[Sim] Waited")) << all;  // the close ended the wait at once
  EXPECT_FALSE(printed.Has("[Sim] Sent Ping")) << all;
  EXPECT_TRUE(printed.errors.empty()) << all;
}

TEST(SimSession, ReportsAPortWithoutListener) {
  uint16_t port = 0;
  {
    ScriptedHost closed;  // bound and closed again: nothing listens there now
    port = closed.port();
  }
  SimOptions options;
  options.port = port;
  Printed printed;
  SimOutput out = printed.Output(false);
  EXPECT_EQ(RunTabletSim(options, out, SystemClock()), kSimExitConnectFailed);
  ASSERT_EQ(printed.errors.size(), 1u) << AllLines(printed);
  EXPECT_EQ(printed.errors[0], "[Sim] Could not connect to 127.0.0.1:" + std::to_string(port) + ": error 10061");
}

}  // namespace
}  // namespace orvane::sim
