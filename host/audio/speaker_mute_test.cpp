// The speaker mute controller in virtual time, over a fake endpoint and an
// in-memory record store: what it mutes, what it records, what it restores
// and when, and what it leaves alone.

#include "host/audio/speaker_mute.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "tests/support/test_support.h"

#ifdef _WIN32
#include <windows.h>

#include <tlhelp32.h>
#else
#include <dirent.h>
#endif

namespace orvane {
namespace {

using endpoint_mute::EndpointState;
using host_output_mute::FileMuteRecordStore;
using host_output_mute::MuteRecord;
using host_output_mute::MuteRecordLoad;
using host_output_mute::MuteRecordLoadResult;
using testing::LogCapture;

const std::u16string kSpeakers = u"{0.0.0.00000000}.{speakers}";
const std::u16string kHeadset = u"{0.0.0.00000000}.{headset}";

// Speakers the test can change behind the host's back.
class FakeEndpoint final : public endpoint_mute::IEndpointVolume {
 public:
  FakeEndpoint() {
    devices_[kSpeakers] = {false, 0.5f};
    devices_[kHeadset] = {false, 0.25f};
  }

  bool DefaultRenderDeviceId(std::u16string* id, HostResult*) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (default_id_.empty()) return false;
    *id = default_id_;
    return true;
  }
  bool GetState(std::u16string_view id, EndpointState* state, HostResult*) override {
    BlockIfAsked();
    std::lock_guard<std::mutex> lock(mu_);
    auto it = devices_.find(std::u16string(id));
    if (it == devices_.end() || fail_get_state_) return false;
    *state = it->second;
    return true;
  }
  bool SetMute(std::u16string_view id, bool muted, HostResult*) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++set_mute_calls_;
    auto it = devices_.find(std::u16string(id));
    if (it == devices_.end() || fail_set_mute_) return false;
    it->second.muted = muted;
    return true;
  }
  bool SetVolume(std::u16string_view id, float scalar, HostResult*) override {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = devices_.find(std::u16string(id));
    if (it == devices_.end()) return false;
    it->second.volume = scalar;
    return true;
  }

  // What the user (or Windows) does.
  void SetDefault(const std::u16string& id) {
    std::lock_guard<std::mutex> lock(mu_);
    default_id_ = id;
  }
  void UserSetsMute(const std::u16string& id, bool muted) {
    std::lock_guard<std::mutex> lock(mu_);
    devices_[id].muted = muted;
  }
  void Unplug(const std::u16string& id) {
    std::lock_guard<std::mutex> lock(mu_);
    devices_.erase(id);
  }
  void FailSetMute(bool fail) {
    std::lock_guard<std::mutex> lock(mu_);
    fail_set_mute_ = fail;
  }
  bool Muted(const std::u16string& id) {
    std::lock_guard<std::mutex> lock(mu_);
    return devices_[id].muted;
  }
  int set_mute_calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return set_mute_calls_;
  }

  // The next GetState blocks (inside the controller's lock) until Release.
  void BlockNextGetState() {
    std::lock_guard<std::mutex> lock(block_mu_);
    block_ = true;
  }
  void WaitUntilBlocked() {
    std::unique_lock<std::mutex> lock(block_mu_);
    block_cv_.wait(lock, [this] { return blocked_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(block_mu_);
    block_ = false;
    block_cv_.notify_all();
  }

 private:
  void BlockIfAsked() {
    std::unique_lock<std::mutex> lock(block_mu_);
    if (!block_) return;
    blocked_ = true;
    block_cv_.notify_all();
    block_cv_.wait(lock, [this] { return !block_; });
  }

  std::mutex mu_;
  std::u16string default_id_ = kSpeakers;
  std::map<std::u16string, EndpointState> devices_;
  bool fail_get_state_ = false;
  bool fail_set_mute_ = false;
  int set_mute_calls_ = 0;

  std::mutex block_mu_;
  std::condition_variable block_cv_;
  bool block_ = false;
  bool blocked_ = false;
};

class MemoryStore final : public host_output_mute::IMuteRecordStore {
 public:
  MuteRecordLoadResult Load() override {
    std::lock_guard<std::mutex> lock(mu_);
    MuteRecordLoadResult r;
    if (unreadable_) {
      r.status = MuteRecordLoad::kUnreadable;
    } else if (record_) {
      r.status = MuteRecordLoad::kLoaded;
      r.record = *record_;
    }
    return r;
  }
  bool Save(const MuteRecord& record, HostResult*) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++saves_;
    if (fail_save_) return false;
    record_ = record;
    return true;
  }
  bool Delete() override {
    std::lock_guard<std::mutex> lock(mu_);
    if (unreadable_) return false;
    record_.reset();
    return true;
  }

  void Put(const MuteRecord& record) {
    std::lock_guard<std::mutex> lock(mu_);
    record_ = record;
  }
  void SetUnreadable(bool unreadable) {
    std::lock_guard<std::mutex> lock(mu_);
    unreadable_ = unreadable;
  }
  void FailSave(bool fail) {
    std::lock_guard<std::mutex> lock(mu_);
    fail_save_ = fail;
  }
  std::optional<MuteRecord> record() {
    std::lock_guard<std::mutex> lock(mu_);
    return record_;
  }
  int saves() {
    std::lock_guard<std::mutex> lock(mu_);
    return saves_;
  }

 private:
  std::mutex mu_;
  std::optional<MuteRecord> record_;
  bool unreadable_ = false;
  bool fail_save_ = false;
  int saves_ = 0;
};

size_t ProcessThreadCount() {
#ifdef _WIN32
  size_t count = 0;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Thread32First(snap, &entry); ok; ok = Thread32Next(snap, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snap);
  return count;
#else
  size_t count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] != '.') ++count;
    }
    closedir(dir);
  }
  return count;
#endif
}

class SpeakerMuteTest : public ::testing::Test {
 protected:
  SpeakerMuteController& controller() {
    if (!controller_) controller_ = std::make_unique<SpeakerMuteController>(endpoint_, store_, clock_, &warnings_);
    return *controller_;
  }
  void Advance(uint64_t ms) {
    clock_.AdvanceMs(ms);
    controller().PokeTimer();
  }

  ManualClock clock_;
  FakeEndpoint endpoint_;
  MemoryStore store_;
  RateLimiter warnings_{kKeepPlayingWarningIntervalMs};
  LogCapture log_;
  std::unique_ptr<SpeakerMuteController> controller_;
};

TEST_F(SpeakerMuteTest, MutesAfterRecordingAndRestoresNow) {
  controller().SetTabletMuting(true);
  EXPECT_TRUE(endpoint_.Muted(kSpeakers));
  EXPECT_TRUE(controller().SpeakersMutedByHost());
  ASSERT_TRUE(store_.record().has_value());
  EXPECT_EQ(store_.record()->device_id, kSpeakers);
  EXPECT_FALSE(store_.record()->muted);
  EXPECT_FLOAT_EQ(store_.record()->volume, 0.5f);
  EXPECT_EQ(log_.Count("[AudioMute] PC speakers muted (sound plays on the tablet only)"), 1u);

  controller().SetTabletMuting(true);  // already muted: nothing new
  EXPECT_EQ(endpoint_.set_mute_calls(), 1);
  EXPECT_EQ(log_.Count("[AudioMute] PC speakers muted"), 1u);

  controller().RestoreSpeakersNow();
  EXPECT_FALSE(endpoint_.Muted(kSpeakers));
  EXPECT_FALSE(controller().SpeakersMutedByHost());
  EXPECT_FALSE(store_.record().has_value());
  EXPECT_EQ(log_.Count("[AudioMute] PC speakers restored"), 1u);
  EXPECT_EQ(log_.Count("Could not mute"), 0u);
}

TEST_F(SpeakerMuteTest, DelayedRestoreAloneRestoresAtTheDeadline) {
  controller().SetTabletMuting(true);
  controller().RestoreSpeakersAfter(5000, "while the tablet reconnects");
  EXPECT_TRUE(log_.Contains("[AudioMute] PC speakers stay muted for up to 5000 ms while the tablet reconnects"));
  EXPECT_TRUE(controller().TimerThreadRunning());

  Advance(4999);
  EXPECT_TRUE(endpoint_.Muted(kSpeakers));
  EXPECT_TRUE(controller().SpeakersMutedByHost());

  Advance(1);
  EXPECT_FALSE(endpoint_.Muted(kSpeakers));
  EXPECT_FALSE(controller().SpeakersMutedByHost());
  EXPECT_FALSE(store_.record().has_value());
  EXPECT_EQ(log_.Count("[AudioMute] PC speakers restored (the tablet did not come back)"), 1u);

  Advance(10'000);
  EXPECT_EQ(log_.Count("[AudioMute] PC speakers restored"), 1u);
}

TEST_F(SpeakerMuteTest, MutingAgainBeforeTheDeadlineKeepsTheSpeakersMuted) {
  controller().SetTabletMuting(true);
  controller().RestoreSpeakersAfter(5000, "while the tablet reconnects");
  Advance(3000);
  controller().SetTabletMuting(true);
  EXPECT_EQ(log_.Count("[AudioMute] PC speakers stay muted (sound plays on a tablet again)"), 1u);

  Advance(5000);
  EXPECT_TRUE(endpoint_.Muted(kSpeakers));
  EXPECT_TRUE(controller().SpeakersMutedByHost());
  EXPECT_EQ(endpoint_.set_mute_calls(), 1);  // never audible in between
  EXPECT_EQ(log_.Count("[AudioMute] PC speakers restored"), 0u);

  // The stream ends again, this time for good.
  controller().RestoreSpeakersAfter(3000, "while the stream restarts or moves");
  EXPECT_TRUE(log_.Contains("[AudioMute] PC speakers stay muted for up to 3000 ms while the stream restarts or moves"));
  Advance(3000);
  EXPECT_FALSE(endpoint_.Muted(kSpeakers));
  EXPECT_EQ(log_.Count("[AudioMute] PC speakers restored (the tablet did not come back)"), 1u);
}

TEST_F(SpeakerMuteTest, ZeroDelayAndMutingOffRestoreAtOnce) {
  controller().SetTabletMuting(true);
  controller().RestoreSpeakersAfter(0, "while the tablet reconnects");
  EXPECT_FALSE(endpoint_.Muted(kSpeakers));
  EXPECT_FALSE(controller().TimerThreadRunning());
  EXPECT_EQ(log_.Count("[AudioMute] PC speakers restored"), 1u);

  controller().SetTabletMuting(true);
  controller().RestoreSpeakersAfter(5000, "while the tablet reconnects");
  controller().SetTabletMuting(false);
  EXPECT_FALSE(endpoint_.Muted(kSpeakers));
  EXPECT_EQ(log_.Count("[AudioMute] PC speakers restored"), 2u);
  Advance(5000);
  EXPECT_EQ(log_.Count("[AudioMute] PC speakers restored"), 2u);

  // Nothing muted: a delay is not announced.
  controller().RestoreSpeakersAfter(5000, "while the tablet reconnects");
  EXPECT_EQ(log_.Count("stay muted for up to"), 1u);
}

// What the user did with the speakers is kept.
struct UserCase {
  const char* name;
  bool muted_before;        // the user had muted them before the stream
  bool unmuted_meanwhile;   // the user unmuted them while the host held them
  bool muted_after;
};

class SpeakerMuteUserTest : public SpeakerMuteTest, public ::testing::WithParamInterface<UserCase> {};

TEST_P(SpeakerMuteUserTest, OnlyAStillMutedDeviceTheHostMutedIsUnmuted) {
  const UserCase& c = GetParam();
  endpoint_.UserSetsMute(kSpeakers, c.muted_before);
  controller().SetTabletMuting(true);
  EXPECT_TRUE(controller().SpeakersMutedByHost());
  ASSERT_TRUE(store_.record().has_value());
  EXPECT_EQ(store_.record()->muted, c.muted_before);
  const int calls_after_mute = endpoint_.set_mute_calls();
  EXPECT_EQ(calls_after_mute, c.muted_before ? 0 : 1);
  if (c.unmuted_meanwhile) endpoint_.UserSetsMute(kSpeakers, false);

  controller().RestoreSpeakersNow();
  EXPECT_EQ(endpoint_.Muted(kSpeakers), c.muted_after);
  EXPECT_EQ(endpoint_.set_mute_calls(), calls_after_mute + ((c.muted_before || c.unmuted_meanwhile) ? 0 : 1));
  EXPECT_FALSE(store_.record().has_value());
}

INSTANTIATE_TEST_SUITE_P(Cases, SpeakerMuteUserTest,
                         ::testing::Values(UserCase{"MutedBeforeStaysMuted", true, false, true},
                                           UserCase{"UnmutedMeanwhileIsNotTouched", false, true, false},
                                           UserCase{"MutedByTheHostIsUnmuted", false, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SpeakerMuteTest, DefaultDeviceChangeWhileMutedMovesTheMute) {
  controller().SetTabletMuting(true);
  ASSERT_TRUE(endpoint_.Muted(kSpeakers));
  endpoint_.SetDefault(kHeadset);

  clock_.AdvanceMs(500);  // compared at most once a second
  controller().SetTabletMuting(true);
  EXPECT_TRUE(endpoint_.Muted(kSpeakers));
  EXPECT_FALSE(endpoint_.Muted(kHeadset));

  clock_.AdvanceMs(500);
  controller().SetTabletMuting(true);
  EXPECT_FALSE(endpoint_.Muted(kSpeakers));
  EXPECT_TRUE(endpoint_.Muted(kHeadset));
  EXPECT_TRUE(controller().SpeakersMutedByHost());
  ASSERT_TRUE(store_.record().has_value());
  EXPECT_EQ(store_.record()->device_id, kHeadset);
  EXPECT_FLOAT_EQ(store_.record()->volume, 0.25f);

  controller().RestoreSpeakersNow();
  EXPECT_FALSE(endpoint_.Muted(kHeadset));
  EXPECT_FALSE(store_.record().has_value());
}

TEST_F(SpeakerMuteTest, DestroyedWithAPendingRestoreLeavesNoThread) {
  const size_t before = ProcessThreadCount();
  ASSERT_GT(before, 0u);
  controller().SetTabletMuting(true);
  controller().RestoreSpeakersAfter(5000, "while the tablet reconnects");
  EXPECT_TRUE(controller().TimerThreadRunning());
  EXPECT_EQ(ProcessThreadCount(), before + 1);
  controller_.reset();
  EXPECT_EQ(ProcessThreadCount(), before);
  // The pending restore did not run; the record is there for the next start.
  EXPECT_TRUE(endpoint_.Muted(kSpeakers));
  EXPECT_TRUE(store_.record().has_value());
}

TEST_F(SpeakerMuteTest, ShutdownRestoresStopsTheTimerAndRefusesToMuteUntilCancelled) {
  controller().SetTabletMuting(true);
  controller().RestoreSpeakersAfter(5000, "while the tablet reconnects");
  controller().HostShuttingDown();
  EXPECT_FALSE(endpoint_.Muted(kSpeakers));
  EXPECT_FALSE(controller().TimerThreadRunning());
  EXPECT_FALSE(store_.record().has_value());
  EXPECT_EQ(log_.Count("[AudioMute] PC speakers restored (host is shutting down)"), 1u);

  controller().SetTabletMuting(true);
  EXPECT_FALSE(endpoint_.Muted(kSpeakers));
  EXPECT_EQ(log_.Count("[AudioMute] Could not mute the PC speakers; they keep playing"), 1u);

  controller().ShutdownCancelled();
  EXPECT_EQ(log_.Count("[AudioMute] Windows sign-out or shutdown was cancelled"), 1u);
  controller().ShutdownCancelled();  // not shutting down: no line
  EXPECT_EQ(log_.Count("shutdown was cancelled"), 1u);

  controller().SetTabletMuting(true);
  EXPECT_TRUE(endpoint_.Muted(kSpeakers));
  // A delay needs the timer again.
  controller().RestoreSpeakersAfter(5000, "while the tablet reconnects");
  EXPECT_TRUE(controller().TimerThreadRunning());
  Advance(5000);
  EXPECT_FALSE(endpoint_.Muted(kSpeakers));
}

TEST_F(SpeakerMuteTest, FailedMuteKeepsPlayingRetriesAfterASecondAndWarnsOncePerTenSeconds) {
  store_.FailSave(true);
  controller().SetTabletMuting(true);
  EXPECT_FALSE(endpoint_.Muted(kSpeakers));
  EXPECT_EQ(endpoint_.set_mute_calls(), 0);  // nothing changed without a record
  EXPECT_FALSE(controller().SpeakersMutedByHost());
  EXPECT_EQ(store_.saves(), 1);
  EXPECT_EQ(log_.Count("[AudioMute] Could not mute the PC speakers; they keep playing"), 1u);

  clock_.AdvanceMs(999);
  controller().SetTabletMuting(true);
  EXPECT_EQ(store_.saves(), 1);
  clock_.AdvanceMs(1);
  controller().SetTabletMuting(true);
  EXPECT_EQ(store_.saves(), 2);
  EXPECT_EQ(log_.Count("Could not mute"), 1u);

  clock_.AdvanceMs(9000);
  controller().SetTabletMuting(true);
  EXPECT_EQ(log_.Count("Could not mute"), 2u);

  // Muting itself fails: the record goes again.
  store_.FailSave(false);
  endpoint_.FailSetMute(true);
  clock_.AdvanceMs(1000);
  controller().SetTabletMuting(true);
  EXPECT_FALSE(controller().SpeakersMutedByHost());
  EXPECT_FALSE(store_.record().has_value());

  endpoint_.FailSetMute(false);
  clock_.AdvanceMs(1000);
  controller().SetTabletMuting(true);
  EXPECT_TRUE(endpoint_.Muted(kSpeakers));
}

TEST_F(SpeakerMuteTest, RestoreThatCannotUnmuteKeepsTheRecordForTheNextStart) {
  controller().SetTabletMuting(true);
  endpoint_.FailSetMute(true);
  controller().RestoreSpeakersNow();
  EXPECT_FALSE(controller().SpeakersMutedByHost());
  EXPECT_TRUE(store_.record().has_value());

  // The next start puts them back.
  endpoint_.FailSetMute(false);
  controller_.reset();
  EXPECT_EQ(controller().RestoreFromEarlierRun(), EarlierRunOutcome::kRestored);
  EXPECT_FALSE(endpoint_.Muted(kSpeakers));
  EXPECT_FALSE(store_.record().has_value());
}

// A record left by an earlier run.
struct EarlierCase {
  const char* name;
  bool record_muted;     // muted before that run's host touched them
  bool muted_now;
  bool unplugged;        // the device is gone: its state cannot be read
  bool unmute_fails;
  EarlierRunOutcome outcome;
  bool muted_after;
  bool record_kept;
};

class SpeakerMuteEarlierRunTest : public SpeakerMuteTest, public ::testing::WithParamInterface<EarlierCase> {};

TEST_P(SpeakerMuteEarlierRunTest, RestoresWhatTheEarlierRunMuted) {
  const EarlierCase& c = GetParam();
  MuteRecord record;
  record.device_id = kSpeakers;
  record.muted = c.record_muted;
  record.volume = 0.5f;
  store_.Put(record);
  endpoint_.UserSetsMute(kSpeakers, c.muted_now);
  if (c.unplugged) endpoint_.Unplug(kSpeakers);
  endpoint_.FailSetMute(c.unmute_fails);

  EXPECT_EQ(controller().RestoreFromEarlierRun(), c.outcome);
  const std::string line = std::string("[AudioMute] Speaker state from an earlier run: ") +
                           EarlierRunOutcomeName(c.outcome);
  EXPECT_EQ(log_.Count(line), 1u);
  if (!c.unplugged) {
    EXPECT_EQ(endpoint_.Muted(kSpeakers), c.muted_after);
  }
  EXPECT_EQ(store_.record().has_value(), c.record_kept);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpeakerMuteEarlierRunTest,
    ::testing::Values(EarlierCase{"MutedByThatHost", false, true, false, false, EarlierRunOutcome::kRestored, false,
                                  false},
                      EarlierCase{"MutedByTheUserBefore", true, true, false, false, EarlierRunOutcome::kUntouched, true,
                                  false},
                      EarlierCase{"UnmutedSince", false, false, false, false, EarlierRunOutcome::kUntouched, false,
                                  false},
                      EarlierCase{"DeviceGone", false, true, true, false, EarlierRunOutcome::kFailed, true, true},
                      EarlierCase{"UnmuteRefused", false, true, false, true, EarlierRunOutcome::kFailed, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SpeakerMuteTest, NoRecordFromAnEarlierRunLogsNothing) {
  EXPECT_EQ(controller().RestoreFromEarlierRun(), EarlierRunOutcome::kNone);
  EXPECT_EQ(log_.Count("[AudioMute]"), 0u);
}

TEST_F(SpeakerMuteTest, UnreadableRecordFailsIsKeptAndIsNeverSavedOver) {
  store_.SetUnreadable(true);
  EXPECT_EQ(controller().RestoreFromEarlierRun(), EarlierRunOutcome::kFailed);
  EXPECT_EQ(log_.Count("[AudioMute] Speaker state from an earlier run: failed"), 1u);

  controller().SetTabletMuting(true);
  EXPECT_EQ(store_.saves(), 0);
  EXPECT_FALSE(endpoint_.Muted(kSpeakers));
  EXPECT_FALSE(controller().SpeakersMutedByHost());
  EXPECT_EQ(log_.Count("[AudioMute] Could not mute the PC speakers; they keep playing"), 1u);
}

TEST_F(SpeakerMuteTest, UnreadableSpeakerStateFileIsKept) {
  testing::ScopedTempDir dir;
  // A folder where the file should be: it exists and cannot be read as a file.
  const auto path = dir.path() / "speaker_state.ini";
  ASSERT_TRUE(std::filesystem::create_directory(path));
  FileMuteRecordStore file_store(path);
  SpeakerMuteController controller(endpoint_, file_store, clock_, &warnings_);

  EXPECT_EQ(controller.RestoreFromEarlierRun(), EarlierRunOutcome::kFailed);
  controller.SetTabletMuting(true);
  EXPECT_FALSE(endpoint_.Muted(kSpeakers));
  EXPECT_TRUE(std::filesystem::is_directory(path));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "speaker_state.ini.tmp"));
}

TEST_F(SpeakerMuteTest, MutingFirstPutsBackWhatAnEarlierRunLeftMuted) {
  MuteRecord record;
  record.device_id = kSpeakers;
  record.muted = false;
  record.volume = 0.75f;
  store_.Put(record);
  endpoint_.UserSetsMute(kSpeakers, true);  // left muted by a crashed host

  controller().SetTabletMuting(true);
  EXPECT_EQ(log_.Count("[AudioMute] Speaker state from an earlier run: restored"), 1u);
  EXPECT_TRUE(endpoint_.Muted(kSpeakers));
  ASSERT_TRUE(store_.record().has_value());
  EXPECT_FALSE(store_.record()->muted);  // the state the user had, not the crashed host's
  controller().RestoreSpeakersNow();
  EXPECT_FALSE(endpoint_.Muted(kSpeakers));
}

TEST_F(SpeakerMuteTest, EmergencyRestoreRestoresOnItsOwnThread) {
  EXPECT_FALSE(controller().EmergencyRestore(1500));  // nothing muted
  controller().SetTabletMuting(true);
  EXPECT_TRUE(controller().EmergencyRestore(1500));
  EXPECT_FALSE(endpoint_.Muted(kSpeakers));
  EXPECT_FALSE(controller().SpeakersMutedByHost());
  EXPECT_FALSE(store_.record().has_value());
  EXPECT_EQ(log_.Count("[AudioMute] PC speakers restored"), 1u);
  EXPECT_FALSE(controller().EmergencyRestore(1500));
}

TEST_F(SpeakerMuteTest, CrashRestoreGivesUpWhenTheLockStaysTaken) {
  controller().SetTabletMuting(true);
  endpoint_.BlockNextGetState();
  std::thread holder([this] { controller().RestoreSpeakersNow(); });
  endpoint_.WaitUntilBlocked();  // the holder is inside the controller's lock

  const uint64_t start = clock_.TickMs();
  EXPECT_FALSE(controller().RestoreForCrash());
  EXPECT_EQ(clock_.TickMs() - start, uint64_t{(kEmergencyLockTries - 1) * kEmergencyLockRetryMs});

  endpoint_.Release();
  holder.join();
  EXPECT_FALSE(endpoint_.Muted(kSpeakers));
  EXPECT_FALSE(controller().RestoreForCrash());  // nothing muted any more
}

}  // namespace
}  // namespace orvane
