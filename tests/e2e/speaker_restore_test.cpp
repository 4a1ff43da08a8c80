// A host that died with the PC speakers muted left speaker_state.ini behind:
// the next start, "--restore-speakers" and "--shutdown" (no host running)
// put the speakers back and delete the record.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "host/audio/endpoint_volume.h"
#include "host/audio/mute_record_store.h"
#include "host/common/utf.h"
#include "tests/e2e/host_process.h"
#include "tests/support/pulse_server.h"
#include "tests/support/test_support.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

class SpeakerRestore : public ::testing::Test {
 protected:
  // What the crashed host left: the sink muted, and its record.
  void LeaveSpeakersMuted() {
    ORVANE_START_PULSE_OR_SKIP(pulse);
    pulse_ = std::move(pulse);
    server_ = std::make_unique<testing::ScopedEnv>("PULSE_SERVER", pulse_->server());
    env_.root = temp_.path();
    env_.pulse_server = pulse_->server();
    vars_ = env_.Env();

    endpoint_ = endpoint_mute::MakePlatformEndpointVolume();
    HostResult result;
    ASSERT_TRUE(endpoint_->SetMute(sink_, true, &result)) << result.ToString();
    std::filesystem::create_directories(env_.data_folder());
    host_output_mute::MuteRecord record;
    record.device_id = sink_;
    record.muted = false;
    record.volume = 1.0f;
    ASSERT_TRUE(store().Save(record, &result)) << result.ToString();
  }

  host_output_mute::FileMuteRecordStore store() const {
    return host_output_mute::FileMuteRecordStore(env_.data_folder() / host_output_mute::kMuteRecordFileName);
  }

  void ExpectRestored(const ChildProcess& host) {
    EXPECT_TRUE(HasLineWith(host.Output(), {"[AudioMute] Speaker state from an earlier run: restored"}))
        << host.Output();
    endpoint_mute::EndpointState state;
    HostResult result;
    ASSERT_TRUE(endpoint_->GetState(sink_, &state, &result)) << result.ToString();
    EXPECT_FALSE(state.muted);
    EXPECT_EQ(store().Load().status, host_output_mute::MuteRecordLoad::kNone);
  }

  testing::ScopedTempDir temp_;
  std::unique_ptr<testing::PulseServer> pulse_;
  std::unique_ptr<testing::ScopedEnv> server_;
  HostEnvironment env_;
  std::vector<std::string> vars_;
  std::unique_ptr<endpoint_mute::IEndpointVolume> endpoint_;
  const std::u16string sink_ = Utf8ToUtf16(testing::PulseServer::kSinkName);
};

class SpeakerRestoreMode : public SpeakerRestore, public ::testing::WithParamInterface<const char*> {};

TEST_P(SpeakerRestoreMode, EarlyModeUnmutesAndExitsWithZero) {
  LeaveSpeakersMuted();
  if (IsSkipped() || HasFatalFailure()) return;
  ChildProcess host;
  ASSERT_TRUE(host.Start(ORVANE_HOST_BINARY, {GetParam()}, vars_, temp_.path() / "host.out"));
  EXPECT_EQ(host.Wait(20s), std::optional<int>(0)) << host.Output();
  ExpectRestored(host);
}

INSTANTIATE_TEST_SUITE_P(Modes, SpeakerRestoreMode, ::testing::Values("--restore-speakers", "--shutdown"),
                         [](const auto& info) {
                           return std::string(info.param) == "--shutdown" ? std::string("Shutdown")
                                                                          : std::string("RestoreSpeakers");
                         });

TEST_F(SpeakerRestore, StartUpUnmutes) {
  LeaveSpeakersMuted();
  if (IsSkipped() || HasFatalFailure()) return;
  const uint16_t port = FreeTcpPort();
  ASSERT_NE(port, 0);
  ChildProcess host;
  ASSERT_TRUE(host.Start(ORVANE_HOST_BINARY, {"--console", "--control-port", std::to_string(port)}, vars_,
                         temp_.path() / "host.out"));
  ASSERT_TRUE(host.WaitForOutput("[Main] Ready. Waiting for mobile client...", 20s)) << host.Output();
  ExpectRestored(host);

  ChildProcess shutdown;
  ASSERT_TRUE(shutdown.Start(ORVANE_HOST_BINARY, {"--shutdown"}, vars_, temp_.path() / "shutdown.out"));
  EXPECT_EQ(shutdown.Wait(20s), std::optional<int>(0)) << shutdown.Output();
  EXPECT_EQ(host.Wait(20s), std::optional<int>(0)) << host.Output();
}

}  // namespace
}  // namespace orvane::e2e
