// Pairing and authentication against the real Linux host: an unknown
// tablet is asked to pair and the host prints the code on its console; the
// simulated tablet pairs with that code, then talks under encryption
// (capabilities, ping, a key rotation, a message the host does not know) and
// later comes back as a trusted device without a code. The same with the
// second authentication version, which also pins the host identity. Five
// wrong codes pause pairing, and a captured Hello sent again is refused.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "host/security/device_trust.h"
#include "host/security/key_agreement.h"
#include "orvane_protocol_v1.pb.h"
#include "tests/e2e/host_process.h"
#include "tests/support/test_support.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

constexpr auto kStartDeadline = 30s;
constexpr auto kAnswerDeadline = 20s;
// The simulator's exit code for a tablet that did not get authenticated.
constexpr int kSimNotAuthenticated = 4;

class Pairing : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.root = temp_.path();
    ASSERT_TRUE(StartHostForTablets(host_, env_, 1, &control_port_));
    ASSERT_TRUE(host_.WaitForOutput("[Main] Ready. Waiting for mobile client...", kStartDeadline)) << host_.Output();
  }

  void TearDown() override {
    kill(host_.pid(), SIGTERM);
    EXPECT_EQ(host_.Wait(20s), std::optional<int>(0)) << host_.Output();
  }

  // Runs the simulator to its end; its exit code.
  std::optional<int> RunSim(const std::string& tag, std::vector<std::string> args, std::string* output) {
    args.insert(args.begin(), {"--port", std::to_string(control_port_), "--id", "tab-e2e", "--name", "E2E Tablet"});
    ChildProcess sim;
    if (!sim.Start(ORVANE_TABLET_SIM_BINARY, args, {}, temp_.path() / (tag + ".out"))) return std::nullopt;
    const std::optional<int> code = sim.Wait(kAnswerDeadline);
    *output = sim.Output();
    return code;
  }

  // The code of the last pairing block the host printed after `from`.
  std::string LastPairingCode(size_t from) const {
    const std::string out = host_.Output().substr(from);
    const std::string marker = "ORVANE PAIRING CODE: ";
    const size_t at = out.rfind(marker);
    if (at == std::string::npos) return {};
    return out.substr(at + marker.size(), 6);
  }

  std::filesystem::path StateFile(const std::string& name) const { return temp_.path() / name; }

  testing::ScopedTempDir temp_;
  HostEnvironment env_;
  ChildProcess host_;
  uint16_t control_port_ = 0;
};

TEST_F(Pairing, TabletPairsWithTheConsoleCodeAndComesBackTrusted) {
  const std::string state = StateFile("v1.state").string();
  std::string out;

  // Unknown: the host asks for pairing and shows the code on its console.
  size_t seen = host_.Output().size();
  ASSERT_EQ(RunSim("unknown", {"--state-file", state, "--hold", "1"}, &out), std::optional<int>(kSimNotAuthenticated))
      << out;
  EXPECT_TRUE(HasLineWith(out, {"AUTH_RESULT_PAIRING_REQUIRED"})) << out;
  ASSERT_TRUE(WaitForLineWith(host_, {"  Device: E2E Tablet"}, kAnswerDeadline)) << host_.Output();
  const std::string code = LastPairingCode(seen);
  ASSERT_EQ(code.size(), 6u) << host_.Output();

  // Paired with the code: everything after the HelloAck is sealed, the
  // tablet's key rotation completes, and an empty message is only logged.
  seen = host_.Output().size();
  ASSERT_EQ(RunSim("paired", {"--state-file", state, "--pairing-code", code, "--send",
                              "capability,ping,key-rotation,ping,empty,wait:300,end"},
                   &out),
            std::optional<int>(0))
      << out << host_.Output();
  EXPECT_TRUE(HasLineWith(out, {"[Sim] Authenticated (auth v1) with the pairing code"})) << out;
  EXPECT_TRUE(HasLineWith(out, {"[Sim] Stored credential for client_id="})) << out;
  EXPECT_TRUE(HasLineWith(out, {"Received CapabilityAccept"})) << out;
  EXPECT_TRUE(HasLineWith(out, {"[Sim] Key rotation: switched to epoch="})) << out;
  // The host's KeyRotation opened under the old key, its ack under the new.
  EXPECT_TRUE(HasLineWith(out, {"[Sim] Key rotation confirmed: epoch=", "the ack opened under the new key"})) << out;
  EXPECT_EQ(CountLinesWith(out, "Received Pong"), 2u) << out;
  ASSERT_TRUE(WaitForLineWith(host_, {"[WARN ] [Protocol] Unhandled message type: 0"}, kAnswerDeadline))
      << host_.Output();
  std::string host_out = host_.Output().substr(seen);
  EXPECT_TRUE(HasLineWith(host_out, {"[INFO ] [Protocol] Device credential verified"})) << host_out;
  EXPECT_TRUE(HasLineWith(host_out, {"[INFO ] [Trust] Device trusted: E2E Tablet (tab-e2e)"})) << host_out;
  EXPECT_TRUE(HasLineWith(host_out, {"[INFO ] [Protocol] Key rotation applied epoch="})) << host_out;
  EXPECT_TRUE(HasLineWith(host_out, {"[INFO ] [Session] Transport encryption enabled"})) << host_out;
  EXPECT_FALSE(HasLineWith(host_out, {"Failed to decrypt secure control frame"})) << host_out;
  EXPECT_FALSE(HasLineWith(host_out, {"Dropping replayed/stale"})) << host_out;

  // The credential is stored protected, never in plain.
  const std::string trust_file = ReadTextFile(env_.data_folder() / "trusted_devices.json");
  EXPECT_NE(trust_file.find("\"clientId\": \"tab-e2e\""), std::string::npos) << trust_file;
  EXPECT_NE(trust_file.find("\"pairingCredential\": \"dpapi:"), std::string::npos) << trust_file;

  // Trusted: no code, no pairing block.
  seen = host_.Output().size();
  ASSERT_EQ(RunSim("trusted", {"--state-file", state, "--send", "ping,end"}, &out), std::optional<int>(0)) << out;
  EXPECT_TRUE(HasLineWith(out, {"[Sim] Authenticated (auth v1) with the stored credential"})) << out;
  EXPECT_TRUE(HasLineWith(out, {"Received Pong"})) << out;
  host_out = host_.Output().substr(seen);
  EXPECT_FALSE(HasLineWith(host_out, {"ORVANE PAIRING CODE"})) << host_out;

  // A wrong code is refused and spends an attempt; the stored credential of
  // the simulator stays as it was.
  ASSERT_EQ(RunSim("wrong", {"--state-file", StateFile("other.state").string(), "--id", "tab-other",
                             "--pairing-code", "000000", "--hold", "1"},
                   &out),
            std::optional<int>(kSimNotAuthenticated))
      << out;
}

TEST_F(Pairing, SecondAuthenticationVersionPinsTheHostIdentity) {
  const std::string state = StateFile("v2.state").string();
  std::string out;
  size_t seen = host_.Output().size();
  ASSERT_EQ(RunSim("v2-unknown", {"--auth-version", "2", "--state-file", state, "--hold", "1"}, &out),
            std::optional<int>(kSimNotAuthenticated))
      << out;
  ASSERT_TRUE(WaitForLineWith(host_, {"  Device: E2E Tablet"}, kAnswerDeadline)) << host_.Output();
  const std::string code = LastPairingCode(seen);
  ASSERT_EQ(code.size(), 6u) << host_.Output();
  EXPECT_TRUE(HasLineWith(out, {"[Sim] Host signature verified"})) << out;

  ASSERT_EQ(RunSim("v2-paired", {"--auth-version", "2", "--state-file", state, "--pairing-code", code, "--send",
                                 "capability,ping,key-rotation,ping,end"},
                   &out),
            std::optional<int>(0))
      << out << host_.Output();
  EXPECT_TRUE(HasLineWith(out, {"[Sim] Authenticated (auth v2) with the pairing code"})) << out;
  EXPECT_TRUE(HasLineWith(out, {"[Sim] Key rotation confirmed: epoch="})) << out;
  EXPECT_TRUE(WaitForLineWith(host_, {"[INFO ] [Protocol] Auth v2 device credential verified"}, kAnswerDeadline))
      << host_.Output();

  // The fingerprint the tablet pinned is the host's own.
  const std::string host_out = host_.Output();
  const size_t at = host_out.find("[Identity] Host identity created fingerprint=");
  ASSERT_NE(at, std::string::npos) << host_out;
  const std::string fingerprint = host_out.substr(at + 45, 47);
  ASSERT_EQ(RunSim("v2-trusted", {"--auth-version", "2", "--state-file", state, "--send", "ping,end"}, &out),
            std::optional<int>(0))
      << out;
  EXPECT_TRUE(HasLineWith(out, {"[Sim] Host identity fingerprint=" + fingerprint, "(as remembered)"})) << out;
  EXPECT_TRUE(HasLineWith(out, {"[Sim] Authenticated (auth v2) with the stored credential"})) << out;
}

TEST_F(Pairing, WrongCodesPausePairing) {
  std::string out;
  // A first tablet makes the host show a code; then each run proves a wrong
  // one, and the fifth wrong proof locks pairing.
  ASSERT_EQ(RunSim("ask", {"--state-file", StateFile("a").string(), "--hold", "1"}, &out),
            std::optional<int>(kSimNotAuthenticated))
      << out;
  ASSERT_TRUE(WaitForLineWith(host_, {"ORVANE PAIRING CODE: "}, kAnswerDeadline)) << host_.Output();
  const std::string wrong = LastPairingCode(0) == "000000" ? "000001" : "000000";
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    std::string tag = "wrong-";
    tag += std::to_string(i);
    ASSERT_EQ(RunSim(tag, {"--state-file", StateFile(tag + ".state").string(), "--pairing-code", wrong}, &out),
              std::optional<int>(kSimNotAuthenticated))
        << out;
  }
  ASSERT_TRUE(WaitForLineWith(host_, {"[WARN ] [Trust] Pairing paused after too many wrong codes"}, kAnswerDeadline))
      << host_.Output();
  // While paused no code is made: a tablet is still told to pair, but the
  // console shows nothing new.
  const size_t seen = host_.Output().size();
  ASSERT_EQ(RunSim("paused", {"--state-file", StateFile("p").string(), "--hold", "1"}, &out),
            std::optional<int>(kSimNotAuthenticated))
      << out;
  EXPECT_TRUE(HasLineWith(out, {"AUTH_RESULT_PAIRING_REQUIRED"})) << out;
  EXPECT_FALSE(HasLineWith(host_.Output().substr(seen), {"ORVANE PAIRING CODE"})) << host_.Output();
}

// A v1 Hello as a tablet sends it, with its own ephemeral key and the proof
// made from the pairing code.
std::string ProvenHello(const std::string& code) {
  security::EphemeralKeyPair pair;
  EXPECT_TRUE(pair.Generate());
  crypto::Digest credential{};
  EXPECT_TRUE(security::DeriveDeviceCredential(code, "tab-replay", &credential));
  crypto::Digest proof{};
  EXPECT_TRUE(security::ComputePairingProof(credential, "tab-replay", pair.public_key(), &proof));
  protocol::v1::ControlMessage message;
  protocol::v1::Hello* hello = message.mutable_hello();
  hello->set_client_id("tab-replay");
  hello->set_client_name("Replay Tablet");
  hello->set_app_version("1.3.5");
  hello->set_protocol_version(1);
  hello->set_directional_control_nonce(true);
  hello->set_ephemeral_public_key(std::string(pair.public_key().begin(), pair.public_key().end()));
  hello->set_pairing_proof(std::string(proof.begin(), proof.end()));
  return message.SerializeAsString();
}

// The HelloAck's result; nullopt when the host closed the connection without
// answering (an empty answer must not read as AUTH_RESULT_OK, which is 0).
std::optional<protocol::v1::AuthResult> SendHello(uint16_t port, const std::string& hello) {
  TcpClient client;
  EXPECT_TRUE(client.Connect(port, 5s));
  EXPECT_TRUE(client.SendFrame(hello));
  std::string answer;
  protocol::v1::ControlMessage message;
  if (!client.ReadFrame(&answer, kAnswerDeadline) || !message.ParseFromString(answer) || !message.has_hello_ack()) {
    return std::nullopt;
  }
  return message.hello_ack().result();
}

TEST_F(Pairing, ReplayedHelloIsRejected) {
  std::string out;
  const size_t seen = host_.Output().size();
  ASSERT_EQ(RunSim("ask", {"--id", "tab-replay", "--state-file", StateFile("r").string(), "--hold", "1"}, &out),
            std::optional<int>(kSimNotAuthenticated))
      << out;
  ASSERT_TRUE(WaitForLineWith(host_, {"  Device: E2E Tablet"}, kAnswerDeadline)) << host_.Output();
  const std::string code = LastPairingCode(seen);
  ASSERT_EQ(code.size(), 6u);

  const std::string hello = ProvenHello(code);
  ASSERT_EQ(SendHello(control_port_, hello), std::optional(protocol::v1::AUTH_RESULT_OK)) << host_.Output();
  // The pool takes the authenticated tablet after the answer left; a second
  // connection of the same tablet that arrived before that would be dropped
  // as a stale duplicate instead of being answered.
  ASSERT_TRUE(WaitForLineWith(host_, {"[INFO ] [Pool] Slot ", " authenticated (monitor number "}, kAnswerDeadline))
      << host_.Output();
  // The same bytes again, as someone who captured them would send them.
  const std::optional<protocol::v1::AuthResult> replayed = SendHello(control_port_, hello);
  ASSERT_TRUE(replayed.has_value()) << host_.Output();
  EXPECT_NE(*replayed, protocol::v1::AUTH_RESULT_OK) << host_.Output();
  EXPECT_TRUE(WaitForLineWith(host_, {"[WARN ] [Protocol] Hello rejected:", "(replayed Hello)"}, kAnswerDeadline))
      << host_.Output();
}

// The stream itself: the host's encoded desktop (its synthetic test pattern
// without an X display) through the real media path to the simulated tablet,
// which drops a share of the datagrams on purpose, completes every access
// unit from parity or by asking again, and checks every decoded picture.
TEST_F(Pairing, StreamArrivesCompleteDespiteLossAndInputReachesTheHost) {
  const std::string state = StateFile("stream.state").string();
  std::string out;
  size_t seen = host_.Output().size();
  ASSERT_EQ(RunSim("ask", {"--state-file", state, "--hold", "1"}, &out), std::optional<int>(kSimNotAuthenticated))
      << out;
  ASSERT_TRUE(WaitForLineWith(host_, {"  Device: E2E Tablet"}, kAnswerDeadline)) << host_.Output();
  const std::string code = LastPairingCode(seen);
  ASSERT_EQ(code.size(), 6u);

  // A modest stream (6 Mbit/s at 30 fps) keeps the test about loss, not about
  // how busy the machine is.
  seen = host_.Output().size();
  ASSERT_EQ(RunSim("stream", {"--state-file", state, "--pairing-code", code, "--drop-percent", "5", "--screen",
                              "1280x720", "--codecs", "h264", "--send",
                              "capability,quality:6000/30/0,start-stream,wait-media:60:15000,touch:3,key:65,wait:300,stop-stream,end"},
                   &out),
            std::optional<int>(0))
      << out << host_.Output();
  EXPECT_TRUE(HasLineWith(out, {"[Sim] Media: ", "access units complete after"})) << out;
  EXPECT_TRUE(HasLineWith(out, {"[Sim] Media: datagrams=", " mismatched=0 "})) << out;
  EXPECT_TRUE(HasLineWith(out, {"[Sim] Media: datagrams=", " incomplete=0 "})) << out;
  EXPECT_FALSE(HasLineWith(out, {"dropped_on_purpose=0 "})) << out;
  const std::string host_out = host_.Output().substr(seen);
  EXPECT_TRUE(HasLineWith(host_out, {"[INFO ] [Session] Media UDP remote endpoint updated via punch: 127.0.0.1:"}))
      << host_out;
  EXPECT_TRUE(HasLineWith(host_out, {"[INFO ] [Session ", "] Streaming to "})) << host_out;
  EXPECT_TRUE(HasLineWith(out, {"[Sim] Video: decoded=", " picture_bad=0 "})) << out;
  EXPECT_TRUE(HasLineWith(host_out, {"[INFO ] [Retransmit] last "})) << host_out;
  // The input events arrived in the order the tablet sent them.
  const size_t down = host_out.find("[Input] touch action=0");
  const size_t up = host_out.find("[Input] touch action=2");
  const size_t key = host_out.find("[Input] key action=0 code=65");
  ASSERT_NE(down, std::string::npos) << host_out;
  ASSERT_NE(up, std::string::npos) << host_out;
  ASSERT_NE(key, std::string::npos) << host_out;
  EXPECT_LT(down, up);
  EXPECT_LT(up, key);
}

}  // namespace
}  // namespace orvane::e2e
