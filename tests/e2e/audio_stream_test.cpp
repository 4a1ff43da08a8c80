// The PC's sound reaches the tablet end to end: a private PulseAudio daemon
// plays a 1 kHz tone into its null sink, the Linux host captures the sink's
// monitor, encodes it with Opus and sends it beside the video, and the
// simulated tablet decodes every packet and measures sequence, presentation
// time, tone and A/V offset.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/audio/endpoint_volume.h"
#include "host/common/utf.h"
#include "tests/e2e/host_process.h"
#include "tests/support/pulse_server.h"
#include "tests/support/test_support.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

constexpr auto kStartDeadline = 20s;
constexpr auto kRunDeadline = 60s;
constexpr double kToneHz = 1000.0;

// The key=value words of one of the simulator's summary lines, the one that
// starts with `tag` followed by `first_key`=.
std::map<std::string, std::string> SummaryFields(const std::string& output, const std::string& tag,
                                                 const std::string& first_key) {
  std::map<std::string, std::string> fields;
  const std::string prefix = tag + first_key + "=";
  const size_t at = output.find(prefix);
  if (at == std::string::npos) return fields;
  const size_t from = at + tag.size();
  std::istringstream line(output.substr(from, output.find('\n', at) - from));
  std::string word;
  while (line >> word) {
    // "(gap_pause_ms=N" and "first_offset_ms=M)" in the gap's brackets.
    if (!word.empty() && word.front() == '(') word.erase(0, 1);
    if (!word.empty() && word.back() == ')') word.pop_back();
    const size_t eq = word.find('=');
    if (eq != std::string::npos) fields.emplace(word.substr(0, eq), word.substr(eq + 1));
  }
  return fields;
}

// The audio summary ("median", "max", "min" are the A/V offset's;
// "after_gap_ms" is "none", "never" or the milliseconds until the offset was
// in step again).
std::map<std::string, std::string> AudioSummary(const std::string& output) {
  return SummaryFields(output, "[Sim] Audio: ", "packets");
}

double Number(const std::map<std::string, std::string>& fields, const std::string& key) {
  const auto it = fields.find(key);
  return it == fields.end() ? -1e9 : std::atof(it->second.c_str());
}

class AudioStream : public ::testing::Test {
 protected:
  // Daemon, tone, host and a paired tablet.
  void StartAll() {
    ORVANE_START_PULSE_OR_SKIP(pulse);
    pulse_ = std::move(pulse);
    // The test's own endpoint reads reach the daemon too.
    server_env_ = std::make_unique<testing::ScopedEnv>("PULSE_SERVER", pulse_->server());
    tone_ = std::make_unique<testing::TonePlayer>(pulse_->server(), kToneHz);
    for (int i = 0; i < 200 && !tone_->ok(); ++i) std::this_thread::sleep_for(25ms);
    ASSERT_TRUE(tone_->ok()) << "the tone does not play into the test sink";

    env_.root = temp_.path();
    env_.pulse_server = pulse_->server();
    uint16_t control_port = 0;
    ASSERT_TRUE(StartHostForTablets(host_, env_, 1, &control_port));
    ASSERT_TRUE(host_.WaitForOutput("[Main] Ready. Waiting for mobile client...", kStartDeadline))
        << host_.Output();
    const std::string state = (temp_.path() / "tablet.state").string();
    base_ = {"--port", std::to_string(control_port), "--id", "tab-audio", "--name", "Audio Tablet",
             "--state-file", state, "--screen", "1280x720", "--fps", "30", "--codecs", "h264"};
    code_ = AskForPairingCode(host_, base_, temp_.path() / "ask.out", kStartDeadline);
    ASSERT_EQ(code_.size(), 6u) << host_.Output();
    seen_ = host_.Output().size();
  }

  bool StartSim(const std::string& steps) {
    std::vector<std::string> args = base_;
    args.insert(args.end(), {"--pairing-code", code_, "--send", steps});
    return sim_.Start(ORVANE_TABLET_SIM_BINARY, args, {}, temp_.path() / "sim.out");
  }

  // The simulator's summary once it ended well.
  std::map<std::string, std::string> FinishSim() {
    const std::optional<int> exit = sim_.Wait(kRunDeadline);
    EXPECT_EQ(exit, std::optional<int>(0)) << sim_.Output() << host_.Output();
    const auto audio = AudioSummary(sim_.Output());
    EXPECT_FALSE(audio.empty()) << sim_.Output();
    return audio;
  }

  // The host is a sanitised build in the test run: what it reports fails the test.
  void TearDown() override {
    if (host_.pid() > 0) {
      EXPECT_EQ(CountLinesWith(host_.Output(), "Sanitizer"), 0u) << host_.Output();
    }
  }

  std::string HostSince() const { return host_.Output().substr(seen_); }

  bool SinkMuted() {
    if (!endpoint_) endpoint_ = endpoint_mute::MakePlatformEndpointVolume();
    endpoint_mute::EndpointState state;
    HostResult result;
    EXPECT_TRUE(endpoint_->GetState(sink_, &state, &result)) << result.ToString();
    return state.muted;
  }

  // Steady tone: every packet in order, 20 ms apart, the tone intact, the
  // sound beside the picture.
  void ExpectSteadyTone(const std::map<std::string, std::string>& audio, double most_pts_steps_other) {
    const std::string line = sim_.Output();
    EXPECT_GE(Number(audio, "packets"), 200) << line;
    EXPECT_EQ(Number(audio, "seq_gaps"), 0) << line;
    EXPECT_EQ(Number(audio, "seq_restarts"), 0) << line;
    EXPECT_LE(Number(audio, "pts_steps_other"), most_pts_steps_other) << line;
    EXPECT_EQ(Number(audio, "decode_errors"), 0) << line;
    EXPECT_NEAR(Number(audio, "tone_hz"), kToneHz, 5.0) << line;
    EXPECT_NEAR(Number(audio, "median"), 0.0, 80.0) << line;
  }

  testing::ScopedTempDir temp_;
  std::unique_ptr<testing::PulseServer> pulse_;
  std::unique_ptr<testing::ScopedEnv> server_env_;
  std::unique_ptr<testing::TonePlayer> tone_;
  std::unique_ptr<endpoint_mute::IEndpointVolume> endpoint_;
  const std::u16string sink_ = Utf8ToUtf16(testing::PulseServer::kSinkName);
  HostEnvironment env_;
  ChildProcess host_;
  ChildProcess sim_;
  std::vector<std::string> base_;
  std::string code_;
  size_t seen_ = 0;
};

TEST_F(AudioStream, ToneArrivesInSequenceInStepWithTheVideo) {
  StartAll();
  if (IsSkipped() || HasFatalFailure()) return;
  ASSERT_TRUE(StartSim("capability,start-stream,wait:8000,stop-stream,wait:500,end"));
  const auto audio = FinishSim();
  ExpectSteadyTone(audio, 0);
  EXPECT_NEAR(Number(audio, "pps"), 50.0, 2.0) << sim_.Output();
  // The sound starts with the stream, the first picture once the encoder has
  // produced it: only the packets of that wait arrive without a picture.
  const auto video = SummaryFields(sim_.Output(), "[Sim] Video: ", "decoded");
  const double first_frame_ms = Number(video, "first_frame_ms");
  ASSERT_GE(first_frame_ms, 0.0) << sim_.Output();
  EXPECT_LE(Number(audio, "without_video"), first_frame_ms / 20.0 + 2.0) << sim_.Output();
  EXPECT_NEAR(Number(audio, "max"), 0.0, 150.0) << sim_.Output();
  EXPECT_TRUE(HasLineWith(sim_.Output(), {"[Sim] Audio: first packet ", "duration_ms=20 ",
                                          "decoded=960 samples per channel"}))
      << sim_.Output();
}

TEST_F(AudioStream, AfterTheSinkWasSuspendedTheOffsetIsBackInStepWithinASecond) {
  StartAll();
  if (IsSkipped() || HasFatalFailure()) return;
  ASSERT_TRUE(StartSim("capability,start-stream,wait:10000,stop-stream,wait:500,end"));
  ASSERT_TRUE(sim_.WaitForOutput("[Sim] Audio: first packet ", kStartDeadline)) << sim_.Output() << HostSince();
  std::this_thread::sleep_for(2s);
  ASSERT_TRUE(pulse_->SuspendSink(true));
  std::this_thread::sleep_for(2s);
  ASSERT_TRUE(pulse_->SuspendSink(false));
  const auto audio = FinishSim();
  // The first packet after the gap starts the presentation time anew: the
  // one step that is not 20 ms.
  ExpectSteadyTone(audio, 1);
  const std::string line = sim_.Output();
  EXPECT_GE(Number(audio, "gap_pause_ms"), 1500) << line;
  ASSERT_NE(audio.count("after_gap_ms"), 0u) << line;
  EXPECT_NE(audio.at("after_gap_ms"), "none") << line;
  EXPECT_NE(audio.at("after_gap_ms"), "never") << line;
  EXPECT_LE(Number(audio, "after_gap_ms"), 1000) << line;
  // The pause shows in the presentation time, not as a gap in the numbers:
  // the frame begun before it goes out padded, then the time starts anew.
  EXPECT_GE(Number(audio, "max_step_us"), 1'500'000) << line;
  EXPECT_LE(Number(audio, "max_step_us"), 2'500'000) << line;
}

TEST_F(AudioStream, TabletOnlySoundFromTheSinkMonitorKeepsTheSpeakersPlaying) {
  StartAll();
  if (IsSkipped() || HasFatalFailure()) return;
  ASSERT_FALSE(SinkMuted());
  ASSERT_TRUE(StartSim("capability,audio:tablet-only,start-stream,wait:6000,stop-stream,wait:500,end"));
  ASSERT_TRUE(sim_.WaitForOutput("[Sim] Audio: first packet ", kStartDeadline)) << sim_.Output() << HostSince();
  // While the tablet plays the sound, the monitor of the sink is the capture:
  // muting the sink would silence the tablet too.
  EXPECT_FALSE(SinkMuted());
  ASSERT_TRUE(WaitForLineWith(host_, {"[AudioMute] Could not mute the PC speakers; they keep playing"},
                              kStartDeadline))
      << HostSince();
  EXPECT_FALSE(SinkMuted());
  const auto audio = FinishSim();
  ExpectSteadyTone(audio, 0);
  EXPECT_NEAR(Number(audio, "pps"), 50.0, 2.0) << sim_.Output();
  EXPECT_TRUE(HasLineWith(HostSince(), {"[Protocol] Audio enabled (tablet only: yes)"})) << HostSince();
  EXPECT_FALSE(SinkMuted());
  EXPECT_FALSE(std::filesystem::exists(env_.data_folder() / "speaker_state.ini"));
}

}  // namespace
}  // namespace orvane::e2e
