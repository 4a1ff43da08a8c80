// The simulator against a scripted host on loopback: what it sends, what it
// prints, and how it ends.

#include "tools/tablet_sim/sim_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/common/file_io.h"
#include "host/common/logger.h"
#include "host/common/net.h"
#include "host/control/control_frame.h"
#include "host/control/protocol_handler.h"
#include "host/control/tablet_auth.h"
#include "host/security/control_key_state.h"
#include "host/security/crypto.h"
#include "host/security/device_trust.h"
#include "host/security/host_identity.h"
#include "host/security/key_agreement.h"
#include "host/security/pairing_code.h"
#include "host/security/secure_frame.h"
#include "host/transport/input_receiver.h"
#include "host/transport/media_packet.h"
#include "host/transport/media_sender.h"
#include "host/transport/nack_server.h"
#include "host/video/synthetic_stream.h"
#include "tests/support/test_support.h"
#include "tools/tablet_sim/sim_auth.h"
#include "tools/tablet_sim/sim_framing.h"
#include "tools/tablet_sim/sim_messages.h"
#include "tools/tablet_sim/sim_script.h"
#include "tools/tablet_sim/sim_state.h"
#include "tools/tablet_sim/testing/opus_tone.h"
#include "tools/tablet_sim/testing/pattern_encoder.h"

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
  // A line that starts with `start` and contains `part`.
  bool HasWith(const std::string& start, const std::string& part) const {
    for (const auto& l : info) {
      if (l.rfind(start, 0) == 0 && l.find(part) != std::string::npos) return true;
    }
    return false;
  }
};

size_t CountStarting(const Printed& p, const std::string& start) {
  size_t n = 0;
  for (const auto& l : p.info) n += l.rfind(start, 0) == 0 ? 1 : 0;
  return n;
}

size_t CountWith(const Printed& p, const std::string& start, const std::string& part) {
  size_t n = 0;
  for (const auto& l : p.info) n += l.rfind(start, 0) == 0 && l.find(part) != std::string::npos ? 1 : 0;
  return n;
}

// The fingerprints of the UDP keys the simulator used, in order: at each
// authentication and at each promotion it caused.
std::vector<std::string> UdpKeyFingerprints(const Printed& p) {
  std::vector<std::string> fps;
  for (const std::string& l : p.info) {
    for (const std::string start : {"[Sim] UDP key fp=", "[Sim] UDP key follows the host's promoted key: fp="}) {
      if (l.rfind(start, 0) == 0) fps.push_back(l.substr(start.size(), 8));
    }
  }
  return fps;
}

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
  // The key agreement: a fresh P-256 key, and directional nonces asked for.
  EXPECT_EQ(hello.hello().ephemeral_public_key().size(), 64u);
  EXPECT_TRUE(hello.hello().directional_control_nonce());
  // Auth v1 by default; without a credential the Hello proves nothing.
  EXPECT_EQ(hello.hello().auth_version(), 1u);
  EXPECT_TRUE(hello.hello().pairing_proof().empty());

  const std::string all = AllLines(printed);
  EXPECT_TRUE(printed.Has("[Sim] Connected to 127.0.0.1:" + std::to_string(host.port()) + " (local port ")) << all;
  EXPECT_TRUE(printed.Has("[Sim] Sent Hello client_id='tab-a' client_name='Tablet A' app_version='1.3.5' "
                          "protocol_version=1 ephemeral_fp=" +
                          security::KeyFingerprint(hello.hello().ephemeral_public_key()) +
                          " directional_control_nonce=1 auth_version=1 pairing_proof=none (" +
                          std::to_string(hello_bytes.size()) + " bytes)"))
      << all;
  EXPECT_TRUE(printed.Has("[Sim] Received HelloAck auth_result=AUTH_RESULT_HOST_BUSY (5) max_sessions=1 ")) << all;
  EXPECT_TRUE(printed.Has("[Sim] No session keys: the host refused the Hello")) << all;
  EXPECT_TRUE(printed.Has("[Sim] Connection closed by host")) << all;
  EXPECT_TRUE(printed.Has("[Sim] Disconnected (frames received 2, sent 1)")) << all;
  // Without keys a secure frame cannot open: reported and dropped.
  EXPECT_EQ(printed.errors, std::vector<std::string>{"[Sim] Received a secure frame (44 bytes, ctr=72340172838076673) "
                                                     "before any session key; dropped"})
      << all;
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

// The simulator against the host's real protocol handler and frame opener
// on loopback: the key agreement, secure frames both ways and a rotation.
TEST(SimSession, AgreesKeysSealsAndRotatesWithTheHostHandler) {
  ORVANE_SKIP_UNDER_WINE("BCryptDeriveKey(RAW_SECRET) is a stub in Wine 8");
  const struct {
    const char* name;
    KeyOrder order;
    bool directional;
  } cases[] = {
      {"lsb, directional", KeyOrder::kLsb, true},
      {"msb, directional", KeyOrder::kMsb, true},
      {"lsb, shared nonces", KeyOrder::kLsb, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::LogCapture host_log;
    ManualClock host_clock;
    ProtocolHandler handler(host_clock);
    ControlFrameOpener opener(handler.Keys(), host_clock);
    std::string derived_fp;
    std::string derived_compat_fp;
    handler.SetHelloAuthenticator([&](const pb::Hello&, security::ControlKeyState& keys) {
      HelloAuthDecision decision;
      if (keys.EstablishAuthV1Keys()) decision.result = pb::AUTH_RESULT_OK;
      derived_fp = security::KeyFingerprintOrNone(keys.ActiveKey());
      derived_compat_fp = security::KeyFingerprintOrNone(keys.CompatKey());
      return decision;
    });
    size_t frames_in = 0;
    uint64_t rotated_epoch = 0;
    std::string rotated_fp;
    // The host's UDP key: its active key when a Hello authenticated and
    // after every promotion (what the session installs in sender and receiver).
    std::vector<std::string> host_udp_fps;
    ScriptedHost host;
    host.Serve([&](net::Socket s) {
      handler.SetFrameSender([s](const uint8_t* data, size_t length) {
        return ScriptedHost::WriteFrame(s, std::string(reinterpret_cast<const char*>(data), length));
      });
      // The Hello and the seven steps; then the host closes.
      std::string frame;
      while (frames_in < 8 && ScriptedHost::ReadFrame(s, &frame)) {
        ++frames_in;
        const OpenedControlFrame opened = opener.OpenControlFrame(reinterpret_cast<const uint8_t*>(frame.data()),
                                                                  frame.size(), handler.IsAuthenticated());
        if (opened.verdict == ControlFrameVerdict::kDrop) continue;
        const uint64_t hellos = handler.HelloCount();
        handler.HandleControlFrame(opened.data, opened.length, opened.verdict == ControlFrameVerdict::kEncrypted);
        if (handler.IsAuthenticated() && (opened.promoted || handler.HelloCount() != hellos)) {
          host_udp_fps.push_back(security::KeyFingerprintOrNone(handler.Keys().ActiveKey()));
        }
        if (frames_in == 4) {  // the ping after the rotation, under the new key
          rotated_epoch = handler.Keys().Epoch();
          rotated_fp = security::KeyFingerprintOrNone(handler.Keys().ActiveKey());
        }
      }
    });

    SimOptions options;
    options.port = host.port();
    options.key_order = c.order;
    options.directional_nonce = c.directional;
    std::string error;
    ASSERT_TRUE(ParseScript("ping,key-rotation,ping,key-rotation:same,ping,hello,ping", &options.script, &error))
        << error;
    Printed printed;
    SimOutput out = printed.Output(false);
    EXPECT_EQ(RunTabletSim(options, out, SystemClock()), kSimExitOk) << AllLines(printed);
    host.Join();
    handler.SetFrameSender(nullptr);

    const std::string all = AllLines(printed);
    EXPECT_EQ(frames_in, 8u) << all;
    const bool msb = c.order == KeyOrder::kMsb;
    const std::string order = msb ? "msb" : "lsb";
    EXPECT_TRUE(printed.Has("[Sim] Received HelloAck auth_result=AUTH_RESULT_OK (0) ")) << all;
    // The tablet's key is the host's active key (lsb) or its compatibility key (msb).
    EXPECT_TRUE(printed.Has("[Sim] Session keys derived: key_order=" + order + " fp=" +
                            (msb ? derived_compat_fp : derived_fp) + " other_fp=" +
                            (msb ? derived_fp : derived_compat_fp) +
                            " directional_control_nonce=" + (c.directional ? "1" : "0")))
        << all;
    EXPECT_TRUE(printed.HasWith("[Sim] Sent Ping ", "(type=50 seq=2) (")) << all;
    EXPECT_TRUE(printed.HasWith("[Sim] Sent Ping ", "bytes, secure ctr=0)")) << all;
    EXPECT_TRUE(printed.HasWith("[Sim] Received Pong ", " secure ctr=0")) << all;

    // The rotation: the host's KeyRotation under the old key, its ack under
    // the new one, then the next ping and pong under the new key.
    const std::string e = std::to_string(rotated_epoch);
    const std::string new_fp = rotated_fp;
    EXPECT_TRUE(printed.HasWith("[Sim] Sent KeyRotation next_epoch=" + e + " ephemeral_key=64 bytes ",
                                "secure ctr=1)"))
        << all;
    EXPECT_TRUE(printed.Has("[Sim] Key rotation: asked for epoch=" + e + " with ephemeral_fp=")) << all;
    EXPECT_TRUE(printed.HasWith("[Sim] Received KeyRotation next_epoch=" + e + " ", " secure ctr=1")) << all;
    EXPECT_TRUE(printed.Has("[Sim] Key rotation: switched to epoch=" + e + " key_order=" + order + " fp=" + new_fp))
        << all;
    EXPECT_TRUE(printed.HasWith("[Sim] Received KeyRotationAck next_epoch=" + e + " accepted=yes ", " secure ctr=2"))
        << all;
    EXPECT_EQ(printed.Has("[Sim] Opened under the lsb-order key: the host has not switched to the msb-order key yet"),
              msb)
        << all;
    EXPECT_TRUE(printed.Has("[Sim] Key rotation confirmed: epoch=" + e + ", the ack opened under the new key fp=" +
                            new_fp))
        << all;
    EXPECT_TRUE(printed.HasWith("[Sim] Received Pong ", " secure ctr=3")) << all;
    // The same epoch again: only an ack, the key stays.
    EXPECT_TRUE(printed.Has("[Sim] Key rotation: epoch=" + e + " not applied by the host (accepted=yes); keeping key "
                            "fp=" + new_fp))
        << all;
    EXPECT_TRUE(printed.HasWith("[Sim] Received Pong ", " secure ctr=5")) << all;
    // Another Hello leaves sealed under the current key; the host stops the
    // stream under that key, answers in plain with a new key pair, and both
    // sides count from 0 again.
    EXPECT_TRUE(printed.HasWith("[Sim] Sent Hello ", "bytes, secure ctr=5)")) << all;
    EXPECT_TRUE(printed.HasWith("[Sim] Received StreamStopped ", " secure ctr=6")) << all;
    EXPECT_EQ(CountStarting(printed, "[Sim] Session keys derived: key_order=" + order + " "), 2u) << all;
    EXPECT_EQ(CountStarting(printed, "[Sim] Sent Ping "), 4u) << all;
    EXPECT_EQ(CountWith(printed, "[Sim] Received Pong ", " secure ctr=0"), 2u) << all;
    EXPECT_TRUE(printed.Has("[Sim] Script done (7 steps)")) << all;
    // The simulator's UDP key followed the host's through both
    // authentications, the promotions and (unchanged) the rotations.
    EXPECT_EQ(UdpKeyFingerprints(printed), host_udp_fps) << all;
    EXPECT_EQ(host_udp_fps.size(), msb ? 5u : 2u);
    // Promotions count per key agreement: the last Hello's.
    EXPECT_EQ(handler.Keys().CompatPromotions(), msb ? 1u : 0u);
    EXPECT_TRUE(printed.errors.empty()) << all;
    // The host opened every frame: nothing dropped, no decryption failure;
    // an msb tablet made it promote once per key agreement or rotation.
    EXPECT_EQ(host_log.Count("[Protocol] Dropping"), 0u);
    EXPECT_EQ(host_log.Count("[Protocol] Failed to decrypt"), 0u);
    EXPECT_EQ(host_log.Count("[Protocol] Promoted compatibility session key as active"), msb ? 3u : 0u);
    if (::testing::Test::HasFailure()) {
      for (const std::string& line : host_log.Lines()) std::printf("host: %s\n", line.c_str());
    }
  }
}

TEST(SimSession, ReportsHostFramesThatDoNotOpenAndPlainMessagesAfterTheKeys) {
  ORVANE_SKIP_UNDER_WINE("BCryptDeriveKey(RAW_SECRET) is a stub in Wine 8");
  ManualClock host_clock;
  security::ControlKeyState keys(host_clock);
  ScriptedHost host;
  host.Serve([&](net::Socket c) {
    std::string bytes;
    pb::ControlMessage hello;
    if (!ScriptedHost::ReadFrame(c, &bytes) || !hello.ParseFromString(bytes)) return;
    if (!keys.StartHandshake(hello.hello()).usable || !keys.EstablishAuthV1Keys()) return;
    pb::ControlMessage ack;
    ack.mutable_hello_ack()->set_result(pb::AUTH_RESULT_REJECTED);
    const crypto::Bytes host_key = keys.HostEphemeralPublicKey();
    ack.mutable_hello_ack()->set_ephemeral_public_key(host_key.data(), host_key.size());
    ack.mutable_hello_ack()->set_directional_control_nonce(true);
    ScriptedHost::WriteFrame(c, ack.SerializeAsString());

    const crypto::Bytes key = keys.ActiveKey();
    crypto::AesGcm cipher;
    auto sealed = [&](uint32_t prefix, uint64_t counter) {
      pb::ControlMessage m;
      m.mutable_pong()->set_ping_timestamp_us(counter + 1);
      const std::string plain = m.SerializeAsString();
      const crypto::Bytes frame = security::SealSecureFrame(
          cipher, key, prefix, counter, crypto::ByteView(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()));
      return std::string(frame.begin(), frame.end());
    };
    pb::ControlMessage plain_pong;
    plain_pong.mutable_pong()->set_ping_timestamp_us(9);
    ScriptedHost::WriteFrame(c, plain_pong.SerializeAsString());
    ScriptedHost::WriteFrame(c, sealed(security::kNonceControl, 0));  // the tablet's prefix: does not open
    ScriptedHost::WriteFrame(c, sealed(security::kNonceControlHostDirectional, 1));
    ScriptedHost::WriteFrame(c, sealed(security::kNonceControlHostDirectional, 1));  // a replay
  });

  SimOptions options;
  options.port = host.port();
  Printed printed;
  SimOutput out = printed.Output(false);
  EXPECT_EQ(RunTabletSim(options, out, SystemClock()), kSimExitOk) << AllLines(printed);
  host.Join();

  const std::string all = AllLines(printed);
  const std::string fp = security::KeyFingerprint(keys.ActiveKey());
  EXPECT_TRUE(printed.Has("[Sim] Session keys derived: key_order=lsb fp=" + fp + " other_fp=" +
                          security::KeyFingerprint(keys.CompatKey()) + " directional_control_nonce=1"))
      << all;
  EXPECT_TRUE(printed.Has("[Sim] Received Pong ping_timestamp_us=9 ")) << all;
  EXPECT_TRUE(printed.HasWith("[Sim] Received Pong ping_timestamp_us=2 ", " secure ctr=1")) << all;
  EXPECT_TRUE(printed.Has("[Sim] Disconnected (frames received 5, sent 1)")) << all;
  const std::vector<std::string> errors = {
      "[Sim] Warning: Pong came in plain after the key agreement",
      "[Sim] Received a secure frame (34 bytes, ctr=0) that does not open under key fp=" + fp +
          " (key_order=lsb, directional_control_nonce=1); dropped",
      "[Sim] Received a secure frame (34 bytes, ctr=1) with a stale counter (last ctr=1); dropped",
  };
  EXPECT_EQ(printed.errors, errors) << all;
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

// ---------------------------------------------------------------------------
// Media and input against the host's own transport: its media sender (aimed
// by the punch), its input receiver and its NACK server, with the keys the
// host's session installs at authentication and at every promotion.

TEST(SimSessionMedia, PunchesReceivesRepairsVerifiesAndSendsInput) {
  ORVANE_SKIP_UNDER_WINE("BCryptDeriveKey(RAW_SECRET) is a stub in Wine 8");
  for (const KeyOrder order : {KeyOrder::kLsb, KeyOrder::kMsb}) {
    SCOPED_TRACE(KeyOrderName(order));
    ManualClock host_clock;
    ProtocolHandler handler(host_clock);
    ControlFrameOpener opener(handler.Keys(), host_clock);
    handler.SetHelloAuthenticator([](const pb::Hello&, security::ControlKeyState& keys) {
      HelloAuthDecision decision;
      if (keys.EstablishAuthV1Keys()) decision.result = pb::AUTH_RESULT_OK;
      return decision;
    });

    MediaSender sender;
    ASSERT_TRUE(sender.CreateSocket());
    NackServer nacks(SystemClock(), [&sender](uint32_t seq) { return sender.Retransmit(seq); });
    InputReceiver receiver;
    int error = 0;
    const net::Socket input_socket = net::Create(net::Kind::kUdp, &error);
    ASSERT_NE(input_socket, net::kInvalidSocket) << error;
    ASSERT_EQ(net::Bind(input_socket, "", 0), 0);
    const uint16_t input_port = net::LocalPort(input_socket, &error);
    receiver.AdoptSocket(input_socket, input_port);
    handler.SetPorts(9431, input_port);

    std::mutex mu;
    std::vector<pb::InputEvent> inputs;
    std::vector<uint16_t> punch_ports;
    std::vector<TabletStats> tablet_stats;
    std::atomic<bool> aimed{false};
    std::atomic<bool> streaming{false};
    std::atomic<bool> done{false};
    ASSERT_TRUE(receiver.Start(input_port, [&](const uint8_t* data, size_t length, const net::Endpoint& from) {
      if (length == 6 && std::string(reinterpret_cast<const char*>(data), 6) == "OVDMP1") {
        EXPECT_TRUE(sender.SetRemote(from.address, from.port));
        std::lock_guard<std::mutex> lock(mu);
        punch_ports.push_back(from.port);
        aimed = true;
        return;
      }
      pb::InputEvent event;
      EXPECT_TRUE(event.ParseFromArray(data, static_cast<int>(length)));
      std::lock_guard<std::mutex> lock(mu);
      inputs.push_back(event);
    }));
    // What the session does at authentication and at every promotion: both
    // channels get the active key, and the media goes to the default port
    // until the next punch.
    auto install_udp_keys = [&] {
      crypto::Bytes key = handler.Keys().ActiveKey();
      EXPECT_TRUE(receiver.SetExpectedPeer("127.0.0.1"));
      EXPECT_TRUE(receiver.SetInputKey(key));
      EXPECT_TRUE(sender.SetMediaKey(key));
      crypto::SecureWipe(key);
      aimed = false;
      EXPECT_TRUE(sender.SetRemote("127.0.0.1", 9));
    };

    // The stream: synthetic access units while started and aimed, and a
    // 1 kHz tone in Opus (a second of it, over and over: whole periods).
    const std::vector<crypto::Bytes> tone = OpusTonePackets(1000, 50, 0.3);
    ASSERT_EQ(tone.size(), 50u);
    std::thread media([&] {
      const SyntheticFrameShape shape{60, 4000, 30};
      uint32_t seq = 0;
      uint64_t index = 0;
      uint32_t audio_seq = 0;
      while (!done) {
        if (streaming && aimed) {
          const bool keyframe = index % shape.keyframe_interval == 0;
          const uint64_t ts = 50'000'000 + index * 16'667;
          const crypto::Bytes au = MakeSyntheticFrame(ts, keyframe, SyntheticFrameLength(shape, index, keyframe));
          sender.SendVideoFrame(seq, ts, keyframe, false, au.data(), au.size());
          ++index;
          const crypto::Bytes& packet = tone[audio_seq % tone.size()];
          sender.SendAudioPacket(audio_seq, ts, 20, packet.data(), packet.size());
          ++audio_seq;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(8));
      }
    });

    ScriptedHost host;
    host.Serve([&](net::Socket s) {
      handler.SetFrameSender([s](const uint8_t* data, size_t length) {
        return ScriptedHost::WriteFrame(s, std::string(reinterpret_cast<const char*>(data), length));
      });
      std::string frame;
      while (ScriptedHost::ReadFrame(s, &frame)) {
        const OpenedControlFrame opened = opener.OpenControlFrame(reinterpret_cast<const uint8_t*>(frame.data()),
                                                                  frame.size(), handler.IsAuthenticated());
        if (opened.verdict == ControlFrameVerdict::kDrop) continue;
        const bool was_authenticated = handler.IsAuthenticated();
        handler.HandleControlFrame(opened.data, opened.length, opened.verdict == ControlFrameVerdict::kEncrypted);
        if (handler.IsAuthenticated() && (!was_authenticated || opened.promoted)) install_udp_keys();
        const StreamRequests requests = handler.TakeStreamRequests();
        if (requests.start) {
          nacks.Reset(4000);
          streaming = true;
          // The stream's figures the tablet prints on lines of their own.
          EXPECT_TRUE(handler.SendStreamResize("sim-session", FrameSize{1280, 800}, FrameSize{2560, 1600}, 500));
          HostStreamStats host_stats;
          host_stats.session_id = "sim-session";
          host_stats.current_bitrate_kbps = 9000;
          EXPECT_TRUE(handler.SendStatsReport(host_stats));
        }
        if (requests.stop) streaming = false;
        NackBatch batch;
        if (handler.TakeNackBatch(&batch)) nacks.Serve(batch.stream_type, batch.sequence_numbers);
        TabletStats stats;
        if (handler.TakeTabletStats(&stats)) {
          std::lock_guard<std::mutex> lock(mu);
          tablet_stats.push_back(stats);
        }
      }
      streaming = false;
    });

    SimOptions options;
    options.port = host.port();
    options.key_order = order;
    options.drop_percent = 10;
    options.drop_seed = 5;
    options.answer_wait_ms = 300;
    options.report_decode_pressure_pct = 150.5f;
    options.report_late_drop_pct = 12.5f;
    std::string script_error;
    // The lsb run stays long enough for a StatsReport.
    const bool stay = order == KeyOrder::kLsb;
    ASSERT_TRUE(ParseScript(std::string("capability,start-stream,wait-media:30:20000,touch:3,key:13,mouse:3,"
                                        "pen-barrel:2,mouse-hold:2,") +
                                (stay ? "wait:1200," : "") + "stop-stream,end",
                            &options.script, &script_error))
        << script_error;
    Printed printed;
    SimOutput out = printed.Output(false);
    EXPECT_EQ(RunTabletSim(options, out, SystemClock()), kSimExitOk) << AllLines(printed);
    host.Join();
    done = true;
    media.join();
    receiver.Close();
    handler.SetFrameSender(nullptr);

    const std::string all = AllLines(printed);
    std::string media_port;
    for (const std::string& line : printed.info) {
      const std::string start = "[Sim] Media socket open on port ";
      if (line.rfind(start, 0) == 0) media_port = line.substr(start.size(), line.find(' ', start.size()) - start.size());
    }
    ASSERT_FALSE(media_port.empty()) << all;
    EXPECT_EQ(CountStarting(printed, "[Sim] Sent media punch to port " + std::to_string(input_port) + " from port " +
                                         media_port),
              3u)
        << all;
    {
      std::lock_guard<std::mutex> lock(mu);
      ASSERT_FALSE(punch_ports.empty()) << all;
      for (const uint16_t p : punch_ports) EXPECT_EQ(std::to_string(p), media_port);
      // touch:3, key:13, mouse:3 (a move and four), pen-barrel:2 (two between
      // the hovers), mouse-hold:2 (a move and the down).
      ASSERT_EQ(inputs.size(), 15u) << all;
      const pb::TouchAction touches[] = {pb::TOUCH_ACTION_DOWN, pb::TOUCH_ACTION_MOVE, pb::TOUCH_ACTION_UP};
      for (size_t i = 0; i < 3; ++i) EXPECT_EQ(inputs[i].touch().action(), touches[i]) << i;
      EXPECT_EQ(inputs[3].key().action(), pb::KEY_ACTION_KEY_DOWN);
      EXPECT_EQ(inputs[4].key().action(), pb::KEY_ACTION_KEY_UP);
      EXPECT_EQ(inputs[4].key().key_code(), 13u);
      const pb::MouseAction mice[] = {pb::MOUSE_ACTION_MOVE, pb::MOUSE_ACTION_DOWN, pb::MOUSE_ACTION_MOVE,
                                      pb::MOUSE_ACTION_UP};
      for (size_t i = 0; i < 4; ++i) EXPECT_EQ(inputs[5 + i].mouse().action(), mice[i]) << i;
      EXPECT_EQ(inputs[6].mouse().button(), pb::MOUSE_BUTTON_LEFT);
      const pb::PenAction pens[] = {pb::PEN_ACTION_HOVER_ENTER, pb::PEN_ACTION_DOWN, pb::PEN_ACTION_UP,
                                    pb::PEN_ACTION_HOVER_EXIT};
      for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(inputs[9 + i].pen().action(), pens[i]) << i;
        EXPECT_EQ(inputs[9 + i].pen().button_state(), 0x02u) << i;
      }
      EXPECT_EQ(inputs[13].mouse().action(), pb::MOUSE_ACTION_MOVE);
      EXPECT_EQ(inputs[14].mouse().action(), pb::MOUSE_ACTION_DOWN);
      for (size_t i = 0; i < inputs.size(); ++i) EXPECT_EQ(inputs[i].sequence_number(), i + 1);
    }
    EXPECT_TRUE(printed.HasWith("[Sim] Sent input touch action=down pointer_id=1 ",
                                " to port " + std::to_string(input_port)))
        << all;
    EXPECT_TRUE(printed.HasWith("[Sim] Media: ", " access units complete after ")) << all;
    EXPECT_TRUE(printed.Has("[Sim] Media: first access unit complete: ")) << all;
    EXPECT_TRUE(printed.HasWith("[Sim] Media: datagrams=", " mismatched=0 ")) << all;
    EXPECT_FALSE(printed.HasWith("[Sim] Media: datagrams=", " dropped_on_purpose=0 ")) << all;
    EXPECT_TRUE(printed.HasWith("[Sim] Media details: ", " open_failed=0 replayed=0 malformed=0 ")) << all;
    // Every audio packet that came decodes; each went with the video unit of
    // its timestamp, so the offset is nothing.
    EXPECT_TRUE(printed.HasWith("[Sim] Audio: first packet seq=", " duration_ms=20 ")) << all;
    EXPECT_TRUE(printed.HasWith("[Sim] Audio: packets=", " av_offset_ms median=0.0 ")) << all;
    EXPECT_TRUE(printed.HasWith("[Sim] Audio: packets=", " decode_errors=0 duplicates=0 ")) << all;
    EXPECT_TRUE(printed.Has("[Sim] Sent input mouse action=down button=left ")) << all;
    EXPECT_TRUE(printed.Has("[Sim] Sent input pen action=hover-enter ")) << all;
    EXPECT_EQ(CountStarting(printed, "[Sim] StreamResize encoded=1280x800 logical=2560x1600 scale=500/1000"), 1u)
        << all;
    EXPECT_EQ(CountStarting(printed, "[Sim] Host bitrate current_bitrate_kbps=9000"), 1u) << all;
    // The host's sender starts at no loss: groups of ten.
    EXPECT_TRUE(printed.Has("[Sim] Parity group size 10")) << all;
    EXPECT_EQ(CountStarting(printed, "[Sim] Parity groups: size="), 1u) << all;
    EXPECT_TRUE(printed.HasWith("[Sim] Parity groups: ", " size=10 count=")) << all;
    // The losses that parity could not repair were asked for and resent.
    EXPECT_GT(nacks.Counters().requested, 0u) << all;
    EXPECT_GT(nacks.Counters().sent, 0u) << all;
    if (stay) {
      EXPECT_TRUE(printed.HasWith("[Sim] Sent StatsReport ", " loss=")) << all;
      std::lock_guard<std::mutex> lock(mu);
      ASSERT_FALSE(tablet_stats.empty()) << all;
      // The deliberate loss shows in the loss the host is told about.
      EXPECT_GT(tablet_stats.back().packet_loss_pct, 0.0f);
      EXPECT_EQ(tablet_stats.back().route_class, "wifi_local");
      EXPECT_EQ(tablet_stats.back().decode_pressure_pct, 150.5f);
      EXPECT_EQ(tablet_stats.back().late_drop_pct, 12.5f);
    }
    EXPECT_TRUE(printed.errors.empty()) << all;
  }
}


// Real video of the test pattern: the tablet decodes it in order, checks
// every picture, skips to a keyframe after a unit lost whole and asks for
// it, times the keyframe step and prints the video summary.
TEST(SimSessionVideo, DecodesChecksRecoversAndSummarisesARealStream) {
  ORVANE_SKIP_UNDER_WINE("BCryptDeriveKey(RAW_SECRET) is a stub in Wine 8");
  if (!BuildHasVideoDecoder()) GTEST_SKIP() << "this build has no video decoder";
  ManualClock host_clock;
  ProtocolHandler handler(host_clock);
  ControlFrameOpener opener(handler.Keys(), host_clock);
  handler.SetHelloAuthenticator([](const pb::Hello&, security::ControlKeyState& keys) {
    HelloAuthDecision decision;
    if (keys.EstablishAuthV1Keys()) decision.result = pb::AUTH_RESULT_OK;
    return decision;
  });
  MediaSender sender;
  ASSERT_TRUE(sender.CreateSocket());
  NackServer nacks(SystemClock(), [&sender](uint32_t seq) { return sender.Retransmit(seq); });
  InputReceiver receiver;
  int error = 0;
  const net::Socket input_socket = net::Create(net::Kind::kUdp, &error);
  ASSERT_NE(input_socket, net::kInvalidSocket) << error;
  ASSERT_EQ(net::Bind(input_socket, "", 0), 0);
  const uint16_t input_port = net::LocalPort(input_socket, &error);
  receiver.AdoptSocket(input_socket, input_port);
  handler.SetPorts(9431, input_port);
  std::atomic<bool> aimed{false};
  std::atomic<bool> streaming{false};
  std::atomic<bool> done{false};
  std::atomic<int> keyframe_requests{0};
  ASSERT_TRUE(receiver.Start(input_port, [&](const uint8_t* data, size_t length, const net::Endpoint& from) {
    if (length == 6 && std::string(reinterpret_cast<const char*>(data), 6) == "OVDMP1") {
      EXPECT_TRUE(sender.SetRemote(from.address, from.port));
      aimed = true;
    }
  }));

  // The host's stream: pictures of a 640x480 source letterboxed into the
  // negotiated size, about 30 a second; a keyframe and its copy first, a keyframe
  // for every request; picture 40 is lost whole; from picture 90 on, half the
  // size after a StreamResize, starting with a keyframe.
  std::string encoder_error;
  FrameSize resized;
  std::thread media([&] {
    std::unique_ptr<TestPatternEncoder> encoder;
    uint32_t seq = 0;
    uint64_t n = 0;
    while (!done) {
      if (streaming && aimed) {
        const bool resize = n + 1 == 90;
        if (!encoder || resize) {
          const SessionConfig config = handler.GetSessionConfig();
          TestPatternEncoderOptions o;
          o.source_width = 640;
          o.source_height = 480;
          o.width = config.width;
          o.height = config.height;
          o.kbps = 1500;
          if (resize) {
            o.width = config.width / 4 * 2;
            o.height = config.height / 4 * 2;
            resized = FrameSize{o.width, o.height};
            EXPECT_TRUE(handler.SendStreamResize("sim-session", resized, FrameSize{config.width, config.height}, 500));
          }
          encoder = MakeTestPatternEncoder(o, &encoder_error);
          if (!encoder) return;
        }
        ++n;
        const bool keyframe = n == 1 || resize || handler.TakeKeyframeRequest();
        if (keyframe && n > 1) ++keyframe_requests;
        EncodedUnit au;
        if (!encoder->Encode(n, keyframe, &au, &encoder_error)) return;
        const uint64_t ts = static_cast<uint64_t>(SystemClock().NowUs());
        if (n == 40) {
          seq += static_cast<uint32_t>(media::FragmentCount(au.bytes.size()));
        } else {
          sender.SendVideoFrame(seq, ts, au.keyframe, false, au.bytes.data(), au.bytes.size());
          if (n == 1) sender.SendVideoFrame(seq, ts, true, false, au.bytes.data(), au.bytes.size());
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(33));
    }
  });

  ScriptedHost host;
  host.Serve([&](net::Socket s) {
    handler.SetFrameSender([s](const uint8_t* data, size_t length) {
      return ScriptedHost::WriteFrame(s, std::string(reinterpret_cast<const char*>(data), length));
    });
    std::string frame;
    while (ScriptedHost::ReadFrame(s, &frame)) {
      const OpenedControlFrame opened = opener.OpenControlFrame(reinterpret_cast<const uint8_t*>(frame.data()),
                                                                frame.size(), handler.IsAuthenticated());
      if (opened.verdict == ControlFrameVerdict::kDrop) continue;
      const bool was_authenticated = handler.IsAuthenticated();
      handler.HandleControlFrame(opened.data, opened.length, opened.verdict == ControlFrameVerdict::kEncrypted);
      if (handler.IsAuthenticated() && !was_authenticated) {
        crypto::Bytes key = handler.Keys().ActiveKey();
        EXPECT_TRUE(receiver.SetExpectedPeer("127.0.0.1"));
        EXPECT_TRUE(receiver.SetInputKey(key));
        EXPECT_TRUE(sender.SetMediaKey(key));
        crypto::SecureWipe(key);
        EXPECT_TRUE(sender.SetRemote("127.0.0.1", 9));
      }
      const StreamRequests requests = handler.TakeStreamRequests();
      if (requests.start) {
        StreamStartedInfo info;
        info.session_id = "sim-session";
        info.source_width = 640;
        info.source_height = 480;
        EXPECT_TRUE(handler.SendStreamStarted(info));
        nacks.Reset(1500);
        streaming = true;
      }
      if (requests.stop) streaming = false;
      NackBatch batch;
      if (handler.TakeNackBatch(&batch)) nacks.Serve(batch.stream_type, batch.sequence_numbers);
    }
    streaming = false;
  });

  SimOptions options;
  options.port = host.port();
  options.answer_wait_ms = 1000;
  options.capabilities.codecs = {1};
  options.capabilities.fps = {30};
  std::string script_error;
  ASSERT_TRUE(ParseScript("capability,start-stream,wait-decoded:20:20000,keyframe,wait-decoded:100:20000,"
                          "stop-stream,wait:200,end",
                          &options.script, &script_error))
      << script_error;
  Printed printed;
  SimOutput out = printed.Output(false);
  EXPECT_EQ(RunTabletSim(options, out, SystemClock()), kSimExitOk) << AllLines(printed);
  host.Join();
  done = true;
  media.join();
  receiver.Close();
  handler.SetFrameSender(nullptr);

  const std::string all = AllLines(printed);
  ASSERT_TRUE(encoder_error.empty()) << encoder_error;
  EXPECT_TRUE(printed.Has("[Sim] Video decoder: H.264 and HEVC (picture check on)")) << all;
  const SessionConfig negotiated = handler.GetSessionConfig();
  EXPECT_TRUE(printed.Has("[Sim] Video: first picture decoded: " + std::to_string(negotiated.width) + "x" +
                          std::to_string(negotiated.height) + " h264 keyframe=yes "))
      << all;
  EXPECT_TRUE(printed.HasWith("[Sim] Video: ", " pictures decoded after ")) << all;
  EXPECT_FALSE(printed.HasWith("[Sim] Video: only ", " pictures decoded within ")) << all;
  EXPECT_TRUE(printed.HasWith("[Sim] Video: keyframe decoded ", " ms after the keyframe step")) << all;
  // Picture 40 was lost whole: the pictures behind it waited, then up to the
  // keyframe asked for were skipped.
  EXPECT_TRUE(printed.HasWith("[Sim] Video: sequence numbers ", " came in no access unit; skipping")) << all;
  EXPECT_TRUE(printed.HasWith("[Sim] Sent RequestKeyframe ", "(the decoder waits for a keyframe)")) << all;
  EXPECT_GE(keyframe_requests.load(), 2);
  EXPECT_TRUE(printed.HasWith("[Sim] Media: datagrams=", " mismatched=0 ")) << all;
  const std::string video_line = [&] {
    for (const std::string& l : printed.info) {
      if (l.rfind("[Sim] Video: decoded=", 0) == 0) return l;
    }
    return std::string();
  }();
  ASSERT_FALSE(video_line.empty()) << all;
  for (const char* part : {" picture_bad=0 ", " decode_errors=0 ", " keyframes="}) {
    EXPECT_NE(video_line.find(part), std::string::npos) << part << "\n" << all;
  }
  EXPECT_EQ(video_line.find(" first_frame_ms=-1 "), std::string::npos) << all;
  EXPECT_EQ(video_line.find(" skipped_to_keyframe=0 "), std::string::npos) << all;
  EXPECT_EQ(video_line.find(" stop_to_last_ms=-1"), std::string::npos) << all;
  EXPECT_TRUE(printed.HasWith("[Sim] Video details: decoder=h264 ", " copies_skipped=1 ")) << all;
  // After the StreamResize the pictures have the new size, and it is told.
  const std::string half = std::to_string(resized.width) + "x" + std::to_string(resized.height);
  EXPECT_EQ(CountStarting(printed, "[Sim] StreamResize encoded=" + half + " logical=" +
                                       std::to_string(negotiated.width) + "x" + std::to_string(negotiated.height) +
                                       " scale=500/1000"),
            1u)
      << all;
  EXPECT_TRUE(printed.Has("[Sim] Video: first picture decoded after StreamResize: " + half + " h264 keyframe=yes "))
      << all;
  EXPECT_TRUE(printed.HasWith("[Sim] Video details: ", "x" + std::to_string(negotiated.height) + ":")) << all;
  EXPECT_TRUE(printed.HasWith("[Sim] Video details: ", "," + half + ":")) << all;
  EXPECT_TRUE(printed.errors.empty()) << all;
}

// ---------------------------------------------------------------------------
// Pairing and authentication against the host's real pairing layer.

namespace fs = std::filesystem;

bool Passthrough(crypto::ByteView in, std::string_view, crypto::Bytes* out, HostResult*) {
  out->assign(in.begin(), in.end());
  return true;
}

// A host with its pairing layer: a trust store and an identity in a
// temporary folder, shared by the connections it serves one after another
// (as the session pool shares them between its slots).
class PairingHost {
 public:
  explicit PairingHost(const fs::path& folder) : folder_(folder) {
    trust_ = std::make_shared<security::DeviceTrust>(clock_);
    trust_->SetDefaultFolder(folder_);
    uint32_t draws = 0;
    trust_->SetPairingCodeManager(std::make_shared<security::PairingCodeManager>([draws](uint32_t* v) mutable {
      *v = ++draws;
      return true;
    }));
    trust_->Load(folder_ / security::kTrustedDevicesFileName);
    NewIdentity("host_identity.dat");
  }

  // Another identity, as after a host's identity file was lost.
  void NewIdentity(const char* file_name) {
    security::HostIdentity::Environment environment;
    environment.clock = &clock_;
    environment.protect = Passthrough;
    environment.unprotect = Passthrough;
    auto identity = std::make_shared<security::HostIdentity>(environment);
    EXPECT_TRUE(identity->LoadOrCreate(folder_ / file_name));
    identity_ = identity;
    auth_ = std::make_unique<TabletAuthenticator>(trust_, identity_);
    TabletAuthCallbacks callbacks;
    callbacks.pairing_code_requested = [this](const std::string&, const std::string& code) { code_ = code; };
    auth_->SetCallbacks(std::move(callbacks));
  }

  struct Visit {
    int exit_code = -1;
    Printed printed;
    size_t frames_in = 0;
    bool authenticated = false;  // the host's view at the end
  };

  // One connection of the simulator. tamper changes the host's answer to a
  // Hello before it is sent.
  Visit Serve(SimOptions options, const std::function<void(HelloAuthDecision*)>& tamper = nullptr) {
    Visit visit;
    ProtocolHandler handler(clock_);
    ControlFrameOpener opener(handler.Keys(), clock_);
    auth_->Attach(handler);
    if (tamper) {
      handler.SetHelloAuthenticator([&](const pb::Hello& hello, security::ControlKeyState& keys) {
        HelloAuthDecision decision = auth_->AuthenticateHello(hello, keys);
        tamper(&decision);
        return decision;
      });
    }
    ScriptedHost host;
    host.Serve([&](net::Socket s) {
      handler.SetFrameSender([s](const uint8_t* data, size_t length) {
        return ScriptedHost::WriteFrame(s, std::string(reinterpret_cast<const char*>(data), length));
      });
      std::string frame;
      while (ScriptedHost::ReadFrame(s, &frame)) {
        ++visit.frames_in;
        const OpenedControlFrame opened = opener.OpenControlFrame(reinterpret_cast<const uint8_t*>(frame.data()),
                                                                  frame.size(), handler.IsAuthenticated());
        if (opened.verdict == ControlFrameVerdict::kDrop) continue;
        handler.HandleControlFrame(opened.data, opened.length, opened.verdict == ControlFrameVerdict::kEncrypted);
      }
      visit.authenticated = handler.IsAuthenticated();
    });
    options.port = host.port();
    options.answer_wait_ms = 1000;
    SimOutput out = visit.printed.Output(false);
    visit.exit_code = RunTabletSim(options, out, SystemClock());
    host.Join();
    handler.SetFrameSender(nullptr);
    return visit;
  }

  const std::string& code() const { return code_; }
  security::DeviceTrust& trust() { return *trust_; }
  const crypto::Bytes& identity_key() const { return identity_->PublicKey(); }

 private:
  fs::path folder_;
  ManualClock clock_;
  std::shared_ptr<security::DeviceTrust> trust_;
  std::shared_ptr<const security::HostIdentity> identity_;
  std::unique_ptr<TabletAuthenticator> auth_;
  std::string code_;
};

// A path as the simulator prints it: quoted, escaped like every text from
// outside (so Windows' backslashes come doubled).
std::string Quoted(const fs::path& path) {
  std::string out(1, '\'');  // appended: GCC 12 warns falsely about "literal" + string
  out.append(EscapeUntrusted(PathToUtf8(path)));
  out.push_back('\'');
  return out;
}

SimState ReadState(const fs::path& path) {
  SimState state;
  const StateLoadResult r = LoadSimState(path, &state);
  EXPECT_TRUE(r.status == StateLoadStatus::kLoaded || r.status == StateLoadStatus::kAbsent) << r.why;
  return state;
}

// A new tablet is asked to pair, pairs with the code the host shows (and
// stores its credential), comes back as a trusted device with a whole
// visit under encryption, and a wrong code changes nothing it stored.
TEST(SimSessionAuth, PairsWithTheCodeThenComesBackAsATrustedDevice) {
  ORVANE_SKIP_UNDER_WINE("BCryptDeriveKey(RAW_SECRET) is a stub in Wine 8");
  for (const uint32_t version : {1u, 2u}) {
    SCOPED_TRACE("auth v" + std::to_string(version));
    testing::ScopedTempDir dir;
    testing::ScopedEnv config_home("XDG_CONFIG_HOME", PathToUtf8(dir.path()));
    testing::LogCapture host_log;
    PairingHost host(dir.path());
    const fs::path state_file = dir.path() / "tab.state";
    const std::string shown_state = Quoted(state_file);
    const std::string v = std::to_string(version);

    SimOptions options;
    options.client_id = "tab-p";
    options.auth_version = version;
    options.state_file = PathToUtf8(state_file);
    std::string error;
    ASSERT_TRUE(ParseScript("capability,ping,key-rotation,ping,end", &options.script, &error)) << error;

    // 1. Unpaired: the host shows a code; the tablet stops.
    PairingHost::Visit visit = host.Serve(options);
    std::string all = AllLines(visit.printed);
    EXPECT_EQ(visit.exit_code, kSimExitNotAuthenticated) << all;
    EXPECT_TRUE(visit.printed.Has("[Sim] State file " + shown_state + " not found; the tablet remembers nothing yet"))
        << all;
    EXPECT_TRUE(visit.printed.Has("[Sim] Credential for client_id='tab-p': none (the tablet has not paired)")) << all;
    EXPECT_TRUE(visit.printed.HasWith("[Sim] Sent Hello ", " auth_version=" + v + " pairing_proof=none (")) << all;
    EXPECT_TRUE(visit.printed.Has("[Sim] Pairing required: the host shows a pairing code; run again with "
                                  "--pairing-code CODE"))
        << all;
    EXPECT_FALSE(visit.printed.Has("[Sim] Sent CapabilityExchange")) << all;
    EXPECT_EQ(visit.printed.errors, std::vector<std::string>{"[Sim] Not authenticated: pairing required"}) << all;
    EXPECT_EQ(host.code(), "000001");
    EXPECT_FALSE(visit.authenticated);
    if (version == 2) {
      EXPECT_TRUE(visit.printed.HasWith("[Sim] Sent AuthProof proof=0 bytes ", " credential=none (")) << all;
      EXPECT_TRUE(visit.printed.HasWith("[Sim] Received AuthStatus auth_result=AUTH_RESULT_PAIRING_REQUIRED (1) ",
                                        " secure ctr="))
          << all;
    }
    // Only a v2 tablet has seen something worth remembering: the identity.
    EXPECT_TRUE(ReadState(state_file).credential.empty());
    EXPECT_EQ(ReadState(state_file).host_identity, version == 2 ? host.identity_key() : crypto::Bytes());

    // 2. With the code: authenticated, the credential stored, then the
    //    script under encryption, a key rotation included.
    options.pairing_code = host.code();
    visit = host.Serve(options);
    all = AllLines(visit.printed);
    EXPECT_EQ(visit.exit_code, kSimExitOk) << all;
    EXPECT_TRUE(visit.printed.Has("[Sim] Credential for client_id='tab-p': derived from the pairing code")) << all;
    EXPECT_TRUE(visit.printed.Has("[Sim] Authenticated (auth v" + v + ") with the pairing code")) << all;
    EXPECT_TRUE(version == 1 ? visit.printed.HasWith("[Sim] Sent Hello ", " auth_version=1 pairing_proof=code (")
                             : visit.printed.HasWith("[Sim] Sent AuthProof proof=32 bytes ", " credential=code ("))
        << all;
    EXPECT_TRUE(visit.printed.Has("[Sim] Stored credential for client_id='tab-p' (saved in " + shown_state + ")"))
        << all;
    EXPECT_TRUE(visit.printed.HasWith("[Sim] Received CapabilityAccept ", " secure ctr=")) << all;
    EXPECT_EQ(CountWith(visit.printed, "[Sim] Received Pong ", " secure ctr="), 2u) << all;
    EXPECT_TRUE(visit.printed.Has("[Sim] Key rotation confirmed: epoch=")) << all;
    EXPECT_TRUE(visit.printed.Has("[Sim] Closing the connection (end step)")) << all;
    EXPECT_TRUE(visit.printed.errors.empty()) << all;
    EXPECT_TRUE(visit.authenticated);
    crypto::Digest expected{};
    ASSERT_TRUE(security::DeriveDeviceCredential(host.code(), "tab-p", &expected));
    SimState stored = ReadState(state_file);
    EXPECT_EQ(stored.client_id, "tab-p");
    EXPECT_EQ(stored.credential, crypto::Bytes(expected.begin(), expected.end()));
    EXPECT_EQ(host.trust().Count(), 1u);

    // 3. Trusted: no code needed.
    options.pairing_code.clear();
    visit = host.Serve(options);
    all = AllLines(visit.printed);
    EXPECT_EQ(visit.exit_code, kSimExitOk) << all;
    EXPECT_TRUE(visit.printed.HasWith("[Sim] State file " + shown_state + ": credential=stored for client_id='tab-p' ",
                                      "host identity fingerprint="))
        << all;
    EXPECT_TRUE(visit.printed.Has("[Sim] Credential for client_id='tab-p': stored (a trusted device)")) << all;
    EXPECT_TRUE(visit.printed.Has("[Sim] Authenticated (auth v" + v + ") with the stored credential")) << all;
    EXPECT_FALSE(visit.printed.Has("[Sim] Stored credential")) << all;
    EXPECT_EQ(CountWith(visit.printed, "[Sim] Received Pong ", " secure ctr="), 2u) << all;
    EXPECT_TRUE(visit.printed.errors.empty()) << all;
    if (version == 1) {
      EXPECT_TRUE(visit.printed.HasWith("[Sim] Sent Hello ", " auth_version=1 pairing_proof=stored (")) << all;
    } else {
      EXPECT_TRUE(visit.printed.Has("[Sim] Host identity fingerprint=" +
                                    security::IdentityFingerprint(host.identity_key()) + " (as remembered)"))
          << all;
      EXPECT_TRUE(visit.printed.HasWith("[Sim] Sent AuthProof proof=32 bytes ", " credential=stored (")) << all;
    }

    // 4. A wrong code is refused and the stored credential stays.
    options.pairing_code = "999999";
    visit = host.Serve(options);
    all = AllLines(visit.printed);
    EXPECT_EQ(visit.exit_code, kSimExitNotAuthenticated) << all;
    EXPECT_TRUE(visit.printed.Has("[Sim] Pairing required: the host shows a pairing code; run again with "
                                  "--pairing-code CODE (the code given was not accepted)"))
        << all;
    EXPECT_EQ(ReadState(state_file).credential, crypto::Bytes(expected.begin(), expected.end()));
    EXPECT_EQ(host_log.Count(version == 1 ? "[Protocol] Device credential verified"
                                          : "[Protocol] Auth v2 device credential verified"),
              2u);
  }
}

// Without a credential or state file the tablet only probes: after the
// host asked for pairing it goes on with its script and ends normally.
TEST(SimSessionAuth, AProbingRunGoesOnAfterARefusal) {
  ORVANE_SKIP_UNDER_WINE("BCryptDeriveKey(RAW_SECRET) is a stub in Wine 8");
  testing::ScopedTempDir dir;
  testing::ScopedEnv config_home("XDG_CONFIG_HOME", PathToUtf8(dir.path()));
  testing::LogCapture host_log;
  PairingHost host(dir.path());
  SimOptions options;
  std::string error;
  ASSERT_TRUE(ParseScript("ping,end", &options.script, &error)) << error;
  PairingHost::Visit visit = host.Serve(options);
  const std::string all = AllLines(visit.printed);
  EXPECT_EQ(visit.exit_code, kSimExitOk) << all;
  EXPECT_TRUE(visit.printed.Has("[Sim] Pairing required: the host shows a pairing code")) << all;
  EXPECT_TRUE(visit.printed.Has("[Sim] No answer to ping within 1000 ms")) << all;
  EXPECT_TRUE(visit.printed.errors.empty()) << all;
  EXPECT_EQ(visit.frames_in, 2u);
  EXPECT_EQ(host_log.Count("[Protocol] Ignoring control message type=50 before authentication"), 1u);
}

// Auth v2: the tablet remembers the host identity it saw first, refuses a
// host that presents another one unless told to accept it, and refuses a
// signature that does not verify; a refused host gets no AuthProof.
TEST(SimSessionAuth, AuthV2PinsTheIdentityAndRefusesBadSignatures) {
  ORVANE_SKIP_UNDER_WINE("BCryptDeriveKey(RAW_SECRET) is a stub in Wine 8");
  testing::ScopedTempDir dir;
  testing::ScopedEnv config_home("XDG_CONFIG_HOME", PathToUtf8(dir.path()));
  testing::LogCapture host_log;
  PairingHost host(dir.path());
  // A tablet that paired before.
  SimState paired;
  paired.client_id = "tab-v2";
  ASSERT_TRUE(CredentialFromCode("123456", paired.client_id, &paired.credential));
  ASSERT_TRUE(host.trust().TrustDevice(paired.client_id, "Tablet", paired.credential));
  const fs::path state_file = dir.path() / "v2.state";
  ASSERT_TRUE(SaveSimState(state_file, paired, nullptr));

  SimOptions options;
  options.client_id = "tab-v2";
  options.auth_version = 2;
  options.state_file = PathToUtf8(state_file);
  std::string error;
  ASSERT_TRUE(ParseScript("ping,end", &options.script, &error)) << error;

  const std::string first_fp = security::IdentityFingerprint(host.identity_key());
  PairingHost::Visit visit = host.Serve(options);
  std::string all = AllLines(visit.printed);
  EXPECT_EQ(visit.exit_code, kSimExitOk) << all;
  EXPECT_TRUE(visit.printed.Has("[Sim] Host signature verified: transcript_fp=")) << all;
  EXPECT_TRUE(visit.printed.Has("[Sim] Host identity fingerprint=" + first_fp + " (first seen; remembered, saved in " +
                                Quoted(state_file) + ")"))
      << all;
  EXPECT_TRUE(visit.printed.Has("[Sim] Session keys derived: auth_version=2 fp=")) << all;
  EXPECT_TRUE(visit.printed.HasWith("[Sim] Sent AuthProof proof=32 bytes ", "credential=stored (")) << all;
  EXPECT_TRUE(visit.printed.HasWith("[Sim] Received AuthStatus auth_result=AUTH_RESULT_OK (0) ", " secure ctr=0"))
      << all;
  EXPECT_TRUE(visit.printed.Has("[Sim] Authenticated (auth v2) with the stored credential")) << all;
  EXPECT_TRUE(visit.printed.HasWith("[Sim] Received Pong ", " secure ctr=1")) << all;
  EXPECT_EQ(first_fp.size(), 47u);
  EXPECT_EQ(ReadState(state_file).host_identity, host.identity_key());
  EXPECT_EQ(ReadState(state_file).credential, paired.credential);

  // Another identity: refused before any proof leaves, unless accepted.
  const crypto::Bytes first_key = host.identity_key();
  host.NewIdentity("another_identity.dat");
  const std::string second_fp = security::IdentityFingerprint(host.identity_key());
  ASSERT_NE(first_fp, second_fp);
  for (const bool accept : {false, true}) {
    SCOPED_TRACE(accept ? "accepted" : "refused");
    options.accept_new_identity = accept;
    visit = host.Serve(options);
    all = AllLines(visit.printed);
    const std::string changed = "[Sim] HOST IDENTITY CHANGED: remembered fingerprint=" + first_fp +
                                ", the host presents fingerprint=" + second_fp + "; ";
    if (!accept) {
      EXPECT_EQ(visit.exit_code, kSimExitNotAuthenticated) << all;
      EXPECT_EQ(visit.printed.errors,
                (std::vector<std::string>{changed + "refusing the host (--accept-new-identity trusts the new identity)",
                                          "[Sim] Not authenticated: host identity changed"}))
          << all;
      EXPECT_EQ(visit.frames_in, 1u) << all;  // the Hello only
      EXPECT_FALSE(visit.authenticated);
      EXPECT_EQ(ReadState(state_file).host_identity, first_key);
    } else {
      EXPECT_EQ(visit.exit_code, kSimExitOk) << all;
      EXPECT_EQ(visit.printed.errors, std::vector<std::string>{changed + "accepted (--accept-new-identity)"}) << all;
      EXPECT_TRUE(visit.printed.Has("[Sim] Host identity fingerprint=" + second_fp + " (new; remembered, saved in " +
                                    Quoted(state_file) + ")"))
          << all;
      EXPECT_TRUE(visit.printed.Has("[Sim] Authenticated (auth v2) with the stored credential")) << all;
      EXPECT_EQ(ReadState(state_file).host_identity, host.identity_key());
    }
  }

  // A signature that does not verify, or that is cut short.
  const struct {
    const char* name;
    std::function<void(HelloAuthDecision*)> tamper;
    const char* error;
    const char* why;
  } bad[] = {
      {"a flipped bit", [](HelloAuthDecision* d) { d->host_signature[7] ^= 0x10; },
       "[Sim] Refusing the host: its signature does not verify over the handshake transcript (host identity "
       "fingerprint=",
       "[Sim] Not authenticated: host signature check failed (mismatch)"},
      {"cut short", [](HelloAuthDecision* d) { d->host_signature.resize(63); },
       "[Sim] Refusing the host: the HelloAck's host signature has 63 bytes (expected 64)",
       "[Sim] Not authenticated: host signature check failed (bad-signature)"},
  };
  options.accept_new_identity = false;
  for (const auto& c : bad) {
    SCOPED_TRACE(c.name);
    visit = host.Serve(options, c.tamper);
    all = AllLines(visit.printed);
    EXPECT_EQ(visit.exit_code, kSimExitNotAuthenticated) << all;
    ASSERT_EQ(visit.printed.errors.size(), 2u) << all;
    EXPECT_EQ(visit.printed.errors[0].rfind(c.error, 0), 0u) << all;
    EXPECT_EQ(visit.printed.errors[1], c.why) << all;
    EXPECT_FALSE(visit.printed.Has("[Sim] Host identity fingerprint=")) << all;
    EXPECT_EQ(visit.frames_in, 1u) << all;
    EXPECT_FALSE(visit.authenticated);
  }
  EXPECT_EQ(host_log.Count("[Protocol] Auth v2 device credential verified"), 2u);
}

// A state file the simulator cannot use stops the run before it connects,
// and is left as it was.
TEST(SimSessionAuth, ADamagedStateFileStopsTheRunBeforeItConnects) {
  testing::ScopedTempDir dir;
  const fs::path state_file = dir.path() / "damaged.state";
  const std::string text = "version=1\ncredential=" + std::string(64, '0') + "\n";
  ASSERT_TRUE(SafeReplaceFile(state_file, text));
  SimOptions options;
  options.port = 9;  // never reached
  options.state_file = PathToUtf8(state_file);
  Printed printed;
  SimOutput out = printed.Output(false);
  EXPECT_EQ(RunTabletSim(options, out, SystemClock()), kSimExitStateFile) << AllLines(printed);
  EXPECT_TRUE(printed.info.empty()) << AllLines(printed);
  EXPECT_EQ(printed.errors, std::vector<std::string>{"[Sim] State file " + Quoted(state_file) +
                                                     " is damaged (a credential without client_id); not using or "
                                                     "overwriting it"});
  EXPECT_EQ(ReadFileBounded(state_file, 1024).bytes, text);
}

}  // namespace
}  // namespace orvane::sim
