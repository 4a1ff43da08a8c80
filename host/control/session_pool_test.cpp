#include "host/control/session_pool.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>

#include "host/control/input_port_probe.h"
#include "host/vdd/virtual_display.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using multi_session::TabletMode;

struct DisconnectCall {
  uint64_t key;
  std::string reason;
  bool notify;
  bool operator==(const DisconnectCall&) const = default;
};

// Where the fake sessions report that they run, so a test can wait for them
// without sleeping.
struct RunBoard {
  std::mutex mu;
  std::condition_variable cv;
  size_t running = 0;

  void Entered() {
    std::lock_guard<std::mutex> lock(mu);
    ++running;
    cv.notify_all();
  }
  void WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return running >= count; });
  }
};

class FakeSession final : public IPoolSession {
 public:
  FakeSession(SessionSetup setup, RunBoard* board, SessionInitResult init)
      : setup_(std::move(setup)), board_(board), init_(std::move(init)) {}
  // Takes the input socket over, as the real session's input receiver does.
  ~FakeSession() override { net::Close(setup_.input_socket); }

  SessionInitResult InitializeSlot() override { return init_; }
  void Run() override {
    board_->Entered();
    std::unique_lock<std::mutex> lock(mu_);
    ran_ = true;
    cv_.wait(lock, [this] { return stopped_; });
    returned_ = true;
  }
  void Stop() override {
    std::lock_guard<std::mutex> lock(mu_);
    stopped_ = true;
    ++stop_calls_;
    cv_.notify_all();
  }
  bool Disconnect(uint64_t key, const std::string& reason, bool notify) override {
    std::lock_guard<std::mutex> lock(mu_);
    disconnects_.push_back({key, reason, notify});
    return disconnect_result_;
  }
  void SetAudioRoute(bool plays_here, const std::string& owner_name) override {
    std::lock_guard<std::mutex> lock(mu_);
    plays_here_ = plays_here;
    owner_name_ = owner_name;
  }
  std::string DescribeClient() override { return "client of slot " + std::to_string(setup_.slot); }
  void SetClipboardSharing(bool enabled) override {
    std::lock_guard<std::mutex> lock(mu_);
    clipboard_ = enabled;
  }
  void SetTabletOnlyAudioAllowed(bool allowed) override {
    std::lock_guard<std::mutex> lock(mu_);
    tablet_only_audio_ = allowed;
  }
  void SetVirtualDisplayManager(IVirtualDisplayManager* manager) override {
    std::lock_guard<std::mutex> lock(mu_);
    display_manager_ = manager;
  }
  void ApplyCaptureSettings(const CaptureSettings& settings) override {
    std::lock_guard<std::mutex> lock(mu_);
    capture_ = settings;
  }
  void SetHostCallbacks(const SessionHostCallbacks& callbacks) override {
    std::lock_guard<std::mutex> lock(mu_);
    host_callbacks_ = callbacks;
  }

  const SessionSetup& setup() const { return setup_; }
  const SessionPoolCallbacks& pool() const { return setup_.pool; }
  std::vector<DisconnectCall> disconnects() {
    std::lock_guard<std::mutex> lock(mu_);
    return disconnects_;
  }
  std::pair<bool, std::string> audio_route() {
    std::lock_guard<std::mutex> lock(mu_);
    return {plays_here_, owner_name_};
  }

  std::mutex mu_;
  bool ran_ = false;
  bool returned_ = false;
  int stop_calls_ = 0;
  bool disconnect_result_ = true;
  std::optional<bool> clipboard_;
  std::optional<bool> tablet_only_audio_;
  IVirtualDisplayManager* display_manager_ = nullptr;
  std::optional<CaptureSettings> capture_;
  SessionHostCallbacks host_callbacks_;

 private:
  SessionSetup setup_;
  RunBoard* board_;
  SessionInitResult init_;
  std::condition_variable cv_;
  bool stopped_ = false;
  std::vector<DisconnectCall> disconnects_;
  bool plays_here_ = false;
  std::string owner_name_;
};

class FakeDisplayManager final : public IVirtualDisplayManager {
 public:
  bool DriverAvailable() override { return available; }
  bool DefaultExtended() override { return false; }
  VirtualDisplayAcquireResult Acquire(size_t, const VirtualDisplayMode&) override { return {}; }
  VirtualDisplayModeLimits GetModeLimits() override { return {}; }
  bool HoldsMonitor(size_t) override { return false; }
  std::string GetMonitorId(size_t) override { return {}; }
  void Release(size_t, const std::string&) override {}
  void MarkTabletReconnected(size_t session_id) override { reconnected.push_back(session_id); }

  bool available = true;
  std::vector<size_t> reconnected;
};

class SessionPoolTest : public ::testing::Test {
 protected:
  // Fake ports: listed ports fail with their error, others bind as asked;
  // 0 binds the next of 50000, 50001, ...
  SessionPoolEnvironment Env() {
    SessionPoolEnvironment env;
    env.make_session = [this](SessionSetup setup) -> std::unique_ptr<IPoolSession> {
      const size_t slot = setup.slot;
      const auto failure = init_failures_.find(slot);
      auto session = std::make_unique<FakeSession>(
          std::move(setup), &board_, failure == init_failures_.end() ? SessionInitResult{} : failure->second);
      sessions_.push_back(session.get());
      return session;
    };
    env.bind_control = [this](uint16_t port, uint16_t* bound) {
      control_tries_.push_back(port);
      if (const auto it = control_errors_.find(port); it != control_errors_.end()) return it->second;
      *bound = port == 0 ? 50000 : port;
      return 0;
    };
    env.probe_input = [this](uint16_t port, uint16_t* bound, net::Socket* socket) {
      input_tries_.push_back(port);
      *socket = net::kInvalidSocket;
      if (const auto it = input_errors_.find(port); it != input_errors_.end()) return it->second;
      *bound = port == 0 ? system_port_(next_system_port_++) : port;
      return 0;
    };
    if (start_thread_) env.start_thread = start_thread_;
    return env;
  }

  SessionPool& Make(uint32_t tablets) {
    pool_ = std::make_unique<SessionPool>(tablets, Env());
    return *pool_;
  }

  SessionPool& Started(uint32_t tablets, const HostPorts& ports = {}) {
    Make(tablets);
    SessionInitResult result;
    EXPECT_TRUE(pool_->Initialize(ports, &result)) << result.message;
    pool_->SetStateChangedCallback([this] { ++state_changes_; });
    pool_->SetTabletModesChangedCallback([this](const TabletModeMap& modes) { saved_modes_.push_back(modes); });
    return *pool_;
  }

  const SessionPoolCallbacks& Cb(size_t slot) { return sessions_.at(slot)->pool(); }

  // A tablet connects on the slot with the key; admitted and, unless told
  // otherwise, authenticated. Returns whether it was admitted.
  bool Connect(size_t slot, uint64_t key, const std::string& id, const std::string& name, bool authenticate = true) {
    Cb(slot).on_client_state(slot, SessionClientState::kConnected, "10.0.0." + std::to_string(slot + 1), key);
    uint32_t limit = 0;
    const bool admitted = Cb(slot).admit_client(slot, id, name, &limit);
    EXPECT_EQ(limit, pool_->TabletCount());
    if (admitted && authenticate) Cb(slot).on_authenticated(slot, name);
    return admitted;
  }

  void Stream(size_t slot, bool audio, bool extended = false) {
    SessionStreamInfo info;
    info.width = 1920;
    info.height = 1200;
    info.fps = 60;
    info.audio_enabled = audio;
    info.extended = extended;
    Cb(slot).on_stream_started(slot, info);
  }

  // Which slot each session was told owns the audio, and the owner's name.
  std::vector<bool> AudioHere() {
    std::vector<bool> here;
    for (FakeSession* s : sessions_) here.push_back(s->audio_route().first);
    return here;
  }

  RunBoard board_;
  std::map<size_t, SessionInitResult> init_failures_;
  std::map<uint16_t, int> control_errors_;
  std::map<uint16_t, int> input_errors_;
  std::vector<uint16_t> control_tries_;
  std::vector<uint16_t> input_tries_;
  std::function<uint16_t(uint16_t)> system_port_ = [](uint16_t n) { return static_cast<uint16_t>(50000 + n); };
  uint16_t next_system_port_ = 0;
  std::function<bool(std::function<void()>, std::thread*)> start_thread_;
  int state_changes_ = 0;
  std::vector<TabletModeMap> saved_modes_;
  FakeDisplayManager display_;
  std::vector<FakeSession*> sessions_;  // owned by the pool
  std::unique_ptr<SessionPool> pool_;   // destroyed first
};

// ---------------------------------------------------------------------------
// Construction and ports

TEST_F(SessionPoolTest, TabletCountIsClampedAndOneSlotIsAdded) {
  const std::pair<uint32_t, uint32_t> cases[] = {{0, 1}, {1, 1}, {3, 3}, {4, 4}, {7, 4}};
  for (const auto& [requested, tablets] : cases) {
    sessions_.clear();
    Started(requested);
    EXPECT_EQ(pool_->TabletCount(), tablets) << requested;
    EXPECT_EQ(pool_->SlotCount(), tablets + 1u) << requested;
    EXPECT_EQ(sessions_.size(), tablets + 1u) << requested;
  }
}

TEST_F(SessionPoolTest, ControlPortCandidates) {
  struct Case {
    const char* name;
    uint16_t port;
    bool is_explicit;
    std::vector<uint16_t> configured;
    std::map<uint16_t, int> errors;
    std::vector<uint16_t> tries;
    int code;
    uint16_t bound;
    std::string message;
  };
  const Case cases[] = {
      {"free", 9430, false, {}, {}, {9430}, 0, 9430, ""},
      {"reserved", 9430, false, {}, {{9430, 10013}}, {9430, 19430}, 0, 19430, ""},
      {"in use near the top", 60000, false, {}, {{60000, 10048}}, {60000, 0}, 0, 50000, ""},
      {"explicit in use", 9430, true, {}, {{9430, 10048}}, {9430}, 1,
       0, "Control TCP port (explicit, no fallback): bind failed (9430=10048)"},
      {"other error stops", 9430, false, {}, {{9430, 10013}, {19430, 10022}}, {9430, 19430}, 2, 0,
       "Control TCP port: no candidate could be bound (9430=10013, 19430=10022)"},
      {"configured list", 9430, false, {7000, 0}, {{7000, 10048}}, {7000, 0}, 0, 50000, ""},
      {"explicit ignores the list", 7100, true, {7000, 0}, {}, {7100}, 0, 7100, ""},
  };
  for (const Case& c : cases) {
    control_tries_.clear();
    control_errors_ = c.errors;
    sessions_.clear();
    Make(1);
    HostPorts ports;
    ports.control_port = c.port;
    ports.control_explicit = c.is_explicit;
    ports.control_candidates = c.configured;
    testing::LogCapture log;
    SessionInitResult result;
    EXPECT_EQ(pool_->Initialize(ports, &result), c.code == 0) << c.name;
    EXPECT_EQ(result.code, c.code) << c.name;
    EXPECT_EQ(control_tries_, c.tries) << c.name;
    if (c.code == 0) {
      EXPECT_EQ(pool_->ControlPort(), c.bound) << c.name;
    } else {
      EXPECT_EQ(result.message, c.message) << c.name;
      EXPECT_TRUE(log.Contains("[ERROR] [Pool] " + c.message)) << c.name;
      EXPECT_TRUE(sessions_.empty()) << c.name;
    }
  }
}

TEST_F(SessionPoolTest, ReservedControlPortExplainsTheFallback) {
  control_errors_ = {{9430, 10013}};
  testing::LogCapture log;
  Started(1);
  EXPECT_EQ(pool_->ControlPort(), 19430);
  EXPECT_TRUE(log.Contains(
      "[WARN ] [Pool] Control port 9430 unavailable: 10013 (reserved by Windows (excluded port range) or blocked)"));
  EXPECT_TRUE(log.Contains("[WARN ] [Pool] Control port 9430 is not usable; using fallback port 19430. Check reserved "
                           "ranges with: netsh int ipv4 show excludedportrange protocol=tcp"));
  EXPECT_EQ(log.Count("[WARN ]"), 2u);
}

TEST_F(SessionPoolTest, InputPortsOfEverySlot) {
  testing::LogCapture log;
  Started(4);
  EXPECT_EQ(pool_->InputPorts(), (std::vector<uint16_t>{9432, 9433, 9434, 9435, 9436}));
  EXPECT_EQ(pool_->InputPort(), 9432);
  EXPECT_TRUE(log.Contains("[INFO ] [Pool] Initialized for 4 tablet(s) (+1 slot for busy answers). Control=9430, "
                           "Media=9431, Input=9432,9433,9434,9435,9436"));
  for (size_t slot = 0; slot < sessions_.size(); ++slot) {
    const SessionSetup& setup = sessions_[slot]->setup();
    EXPECT_EQ(setup.slot, slot);
    EXPECT_NE(setup.server, nullptr);
    EXPECT_EQ(setup.media_port, 9431);
    EXPECT_EQ(setup.input_port, 9432 + slot);
    EXPECT_TRUE(setup.pool.admit_client && setup.pool.on_authenticated && setup.pool.use_extended_display &&
                setup.pool.monitor_number_for && setup.pool.on_client_state && setup.pool.on_stream_started &&
                setup.pool.on_stream_stopped && setup.pool.other_tablet_plays_audio && setup.pool.on_audio_toggled);
  }
}

TEST_F(SessionPoolTest, SlotZeroFallbackMovesTheNextSlots) {
  input_errors_ = {{9432, 10048}, {19433, 10048}, {9433, 10048}, {29433, 10013}, {39433, 10048}};
  testing::LogCapture log;
  Started(1);
  EXPECT_EQ(input_tries_, (std::vector<uint16_t>{9432, 19432, 19433, 9433, 29433, 39433, 0}));
  EXPECT_EQ(pool_->InputPorts(), (std::vector<uint16_t>{19432, 50000}));
  EXPECT_TRUE(log.Contains("[WARN ] [Pool] Input port 9432 unavailable: 10048 (in use by another program)"));
  EXPECT_TRUE(log.Contains("[WARN ] [Pool] Input port 9432 is not usable; using fallback port 19432. Check reserved "
                           "ranges with: netsh int ipv4 show excludedportrange protocol=udp"));
  // Only slot 0's fallback is explained.
  EXPECT_EQ(log.Count("[WARN ]"), 2u);
}

TEST_F(SessionPoolTest, InputPortFailures) {
  struct Case {
    const char* name;
    bool input_explicit;
    uint16_t input_port;
    std::map<uint16_t, int> errors;
    uint16_t system_port;  // what candidate 0 reports as bound
    int code;
    std::string message;
  };
  const Case cases[] = {
      {"explicit in use", true, 9432, {{9432, 10048}}, 50000, 1,
       "Input UDP (slot 0) port (explicit, no fallback): bind failed (9432=10048)"},
      {"other error stops", false, 9432, {{9432, 10055}}, 50000, 2,
       "Input UDP (slot 0) port: no candidate could be bound (9432=10055)"},
      // A probe that reports port 0 as bound has bound nothing usable.
      {"port 0 is never bound", false, 0, {}, 0, 2,
       "Input UDP (slot 0) port: no candidate could be bound (OS-assigned=10022)"},
      // The system's choice repeats a port slot 0 already got.
      {"repeated port", false, 0, {{9433, 10048}, {19433, 10048}, {29433, 10048}, {39433, 10048}}, 9432, 1,
       "Input UDP (slot 1) port: no candidate could be bound (9433=10048, 19433=10048, 29433=10048, 39433=10048, "
       "OS-assigned=10048)"},
  };
  for (const Case& c : cases) {
    input_errors_ = c.errors;
    system_port_ = [port = c.system_port](uint16_t) { return port; };
    sessions_.clear();
    Make(1);
    HostPorts ports;
    ports.input_port = c.input_port;
    ports.input_explicit = c.input_explicit;
    testing::LogCapture log;
    SessionInitResult result;
    EXPECT_FALSE(pool_->Initialize(ports, &result)) << c.name;
    EXPECT_EQ(result.code, c.code) << c.name;
    EXPECT_EQ(result.message, c.message) << c.name;
    EXPECT_TRUE(log.Contains("[ERROR] [Pool] " + c.message)) << c.name;
    EXPECT_TRUE(sessions_.empty()) << c.name;
  }
}

TEST_F(SessionPoolTest, ExplicitInputPortStillLetsLaterSlotsUseTheSystemChoice) {
  input_errors_ = {{7001, 10048}};
  HostPorts ports;
  ports.input_port = 7000;
  ports.input_explicit = true;
  Started(1, ports);
  EXPECT_EQ(input_tries_, (std::vector<uint16_t>{7000, 7001, 0}));
  EXPECT_EQ(pool_->InputPorts(), (std::vector<uint16_t>{7000, 50000}));
}

TEST_F(SessionPoolTest, MissingFactoryOrFailingSessionEndsInitialize) {
  {
    SessionPoolEnvironment env = Env();
    env.make_session = nullptr;
    SessionPool pool(1, std::move(env));
    SessionInitResult result;
    EXPECT_FALSE(pool.Initialize({}, &result));
    EXPECT_EQ(result.code, 2);
    EXPECT_EQ(result.message, "session factory missing");
    EXPECT_TRUE(control_tries_.empty());
  }
  init_failures_[1] = {2, "session has no control listener"};
  Make(2);
  SessionInitResult result;
  EXPECT_FALSE(pool_->Initialize({}, &result));
  EXPECT_EQ(result.code, 2);
  EXPECT_EQ(result.message, "session has no control listener");
  EXPECT_EQ(sessions_.size(), 2u);
}

// ---------------------------------------------------------------------------
// Admission, authentication, display numbers

TEST_F(SessionPoolTest, FifthTabletIsRefusedAndTheSameTabletReplacesItsOldSlot) {
  Started(4);
  pool_->SetVirtualDisplayManager(&display_);
  for (size_t slot = 0; slot < 4; ++slot) {
    ASSERT_TRUE(Connect(slot, 100 + slot, "id-" + std::to_string(slot), "Tablet " + std::to_string(slot)));
  }
  testing::LogCapture log;
  EXPECT_FALSE(Connect(4, 104, "id-new", "Tablet \x1b"));
  EXPECT_TRUE(log.Contains("[WARN ] [Pool] Refusing Tablet \\x1B on slot 4: 4 tablet(s) already connected"));
  EXPECT_FALSE(Connect(4, 105, "id-new", ""));
  EXPECT_TRUE(log.Contains("[WARN ] [Pool] Refusing a device on slot 4: 4 tablet(s) already connected"));

  // Tablet 0 comes back before its old connection was noticed as dead.
  log.Clear();
  ASSERT_TRUE(Connect(4, 106, "id-0", "Tablet 0"));
  EXPECT_TRUE(log.Contains("[INFO ] [Pool] Slot 4 authenticated (monitor number 1)"));
  EXPECT_TRUE(log.Contains("[INFO ] [Pool] Dropping slot 0: the same tablet reconnected on slot 4"));
  EXPECT_EQ(display_.reconnected, (std::vector<size_t>{0}));
  EXPECT_EQ(sessions_[0]->disconnects(), (std::vector<DisconnectCall>{{100, "same tablet reconnected", false}}));
  const auto list = pool_->ListTablets();
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].connection_key, 106u);
  EXPECT_EQ(list[0].monitor_number, 1u);
}

TEST_F(SessionPoolTest, DevicesWithoutAnIdAreNeverTakenForEachOther) {
  Started(2);
  ASSERT_TRUE(Connect(0, 1, "", "A"));
  ASSERT_TRUE(Connect(1, 2, "", "B"));
  EXPECT_TRUE(sessions_[0]->disconnects().empty());
  EXPECT_FALSE(Connect(2, 3, "", "C"));
}

TEST_F(SessionPoolTest, DisplayNumbersCloseGaps) {
  Started(3);
  ASSERT_TRUE(Connect(0, 1, "a", "A"));
  ASSERT_TRUE(Connect(1, 2, "b", "B"));
  EXPECT_EQ(Cb(0).monitor_number_for(0), 1u);
  EXPECT_EQ(Cb(1).monitor_number_for(1), 2u);
  Cb(0).on_client_state(0, SessionClientState::kDisconnected, "", 1);
  EXPECT_EQ(Cb(1).monitor_number_for(1), 1u);
  // The next tablet takes the number that is free again.
  ASSERT_TRUE(Connect(0, 3, "c", "C"));
  EXPECT_EQ(Cb(0).monitor_number_for(0), 2u);
  // Not authenticated: no number.
  ASSERT_TRUE(Connect(2, 4, "d", "D", /*authenticate=*/false));
  EXPECT_EQ(Cb(2).monitor_number_for(2), 0u);
}

TEST_F(SessionPoolTest, ClientStatesResetTheRecord) {
  Started(1);
  ASSERT_TRUE(Connect(0, 1, "a", "A"));
  Stream(0, true);
  const int before = state_changes_;
  Cb(0).on_client_state(0, SessionClientState::kWaiting, "", 0);
  EXPECT_EQ(state_changes_, before);  // waiting is quiet
  EXPECT_TRUE(pool_->ListTablets().empty());
  ASSERT_TRUE(Connect(0, 2, "a", "A"));
  Cb(0).on_client_state(0, SessionClientState::kDisconnected, "", 2);
  EXPECT_EQ(state_changes_, before + 3);  // admitted, authenticated, disconnected
  EXPECT_FALSE(pool_->DisconnectFromSettings(2));
}

// ---------------------------------------------------------------------------
// Display modes

TEST_F(SessionPoolTest, EffectiveModeFollowsTheChoiceOrTheDriver) {
  struct Case {
    std::optional<TabletMode> mode;
    bool with_manager;
    bool driver;
    bool extended;
  };
  const Case cases[] = {
      {std::nullopt, false, false, false}, {std::nullopt, true, true, true},   {std::nullopt, true, false, false},
      {TabletMode::kExtend, false, false, true}, {TabletMode::kMirror, true, true, false},
  };
  for (const Case& c : cases) {
    sessions_.clear();
    Started(1);
    display_.available = c.driver;
    pool_->SetVirtualDisplayManager(c.with_manager ? &display_ : nullptr);
    if (c.mode) pool_->LoadTabletModes({{"a", *c.mode}});
    ASSERT_TRUE(Connect(0, 1, "a", "A"));
    EXPECT_EQ(Cb(0).use_extended_display(0), c.extended) << static_cast<int>(c.mode.value_or(TabletMode::kDefault));
    EXPECT_EQ(pool_->ListTablets().at(0).effective_extended, c.extended);
  }
}

TEST_F(SessionPoolTest, MirrorOnAStreamingExtendedTabletReconnectsIt) {
  Started(1);
  pool_->SetVirtualDisplayManager(&display_);
  ASSERT_TRUE(Connect(0, 7, "a", "A"));
  Stream(0, true, /*extended=*/true);

  testing::LogCapture log;
  EXPECT_TRUE(pool_->SetTabletMode(7, TabletMode::kMirror));
  EXPECT_TRUE(log.Contains("[INFO ] [Pool] Tablet on slot 0 set to mirror; reconnecting it"));
  EXPECT_EQ(sessions_[0]->disconnects(), (std::vector<DisconnectCall>{{7, "display mode changed", false}}));
  ASSERT_EQ(saved_modes_.size(), 1u);
  EXPECT_EQ(saved_modes_[0], (TabletModeMap{{"a", TabletMode::kMirror}}));
  EXPECT_EQ(pool_->ListTablets().at(0).mode, TabletMode::kMirror);
}

TEST_F(SessionPoolTest, SameEffectiveModeOnlySaves) {
  Started(1);
  pool_->SetVirtualDisplayManager(&display_);
  ASSERT_TRUE(Connect(0, 7, "a", "A"));
  Stream(0, true, true);
  testing::LogCapture log;
  EXPECT_TRUE(pool_->SetTabletMode(7, TabletMode::kExtend));
  EXPECT_TRUE(log.Contains("[INFO ] [Pool] Tablet on slot 0 set to extend"));
  EXPECT_FALSE(log.Contains("reconnecting"));
  EXPECT_TRUE(sessions_[0]->disconnects().empty());
  // Back to default removes the entry; still extended, so still no reconnect.
  EXPECT_TRUE(pool_->SetTabletMode(7, TabletMode::kDefault));
  ASSERT_EQ(saved_modes_.size(), 2u);
  EXPECT_EQ(saved_modes_[0], (TabletModeMap{{"a", TabletMode::kExtend}}));
  EXPECT_TRUE(saved_modes_[1].empty());
  EXPECT_TRUE(sessions_[0]->disconnects().empty());
}

TEST_F(SessionPoolTest, TabletModeIsRefusedWithoutAnAuthenticatedTablet) {
  Started(1);
  ASSERT_TRUE(Connect(0, 7, "a", "A", /*authenticate=*/false));
  EXPECT_FALSE(pool_->SetTabletMode(0, TabletMode::kMirror));
  EXPECT_FALSE(pool_->SetTabletMode(8, TabletMode::kMirror));
  EXPECT_FALSE(pool_->SetTabletMode(7, TabletMode::kMirror));
  EXPECT_FALSE(pool_->SetTabletMode(7, static_cast<TabletMode>(9)));
  EXPECT_TRUE(saved_modes_.empty());
  EXPECT_TRUE(pool_->TabletModes().empty());
}

TEST_F(SessionPoolTest, LoadTabletModesMergesTheSavedChoices) {
  Make(1);
  pool_->LoadTabletModes({{"a", TabletMode::kExtend}, {"b", TabletMode::kMirror}, {"", TabletMode::kMirror}});
  pool_->LoadTabletModes({{"a", TabletMode::kDefault}, {"c", TabletMode::kExtend}});
  EXPECT_EQ(pool_->TabletModes(), (TabletModeMap{{"b", TabletMode::kMirror}, {"c", TabletMode::kExtend}}));
}

// ---------------------------------------------------------------------------
// Audio owner

TEST_F(SessionPoolTest, AudioOwnerSequence) {
  Started(2);
  ASSERT_TRUE(Connect(0, 1, "a", "A"));
  ASSERT_TRUE(Connect(1, 2, "b", ""));  // no name: the peer address stands in
  Stream(0, true);
  Stream(1, true);
  EXPECT_EQ(AudioHere(), (std::vector<bool>{true, false, false}));
  EXPECT_EQ(sessions_[1]->audio_route().second, "A");
  EXPECT_TRUE(Cb(1).other_tablet_plays_audio(1));

  testing::LogCapture log;
  Cb(0).on_audio_toggled(0, false);
  EXPECT_TRUE(log.Contains("[INFO ] [Pool] Tablet on slot 0 turned its audio off"));
  EXPECT_EQ(AudioHere(), (std::vector<bool>{false, true, false}));
  EXPECT_EQ(sessions_[0]->audio_route().second, "10.0.0.2");
  EXPECT_FALSE(Cb(1).other_tablet_plays_audio(1));

  // The user picks A: A plays even with its audio off, while it streams.
  EXPECT_TRUE(pool_->SetPreferredAudioTablet(1));
  EXPECT_EQ(AudioHere(), (std::vector<bool>{true, false, false}));
  Cb(0).on_stream_stopped(0, /*restart_pending=*/true);
  EXPECT_EQ(AudioHere(), (std::vector<bool>{true, false, false}));
  Cb(0).on_stream_stopped(0, false);
  EXPECT_EQ(AudioHere(), (std::vector<bool>{false, true, false}));

  EXPECT_FALSE(pool_->SetPreferredAudioTablet(0));
  EXPECT_FALSE(pool_->SetPreferredAudioTablet(99));
}

TEST_F(SessionPoolTest, StreamOrderSurvivesARestart) {
  Started(2);
  ASSERT_TRUE(Connect(0, 1, "a", "A"));
  ASSERT_TRUE(Connect(1, 2, "b", "B"));
  Stream(0, true);
  Stream(1, true);
  Cb(0).on_stream_stopped(0, true);
  Stream(0, true);  // restarted: still the earliest stream
  EXPECT_EQ(AudioHere(), (std::vector<bool>{true, false, false}));
  Cb(0).on_client_state(0, SessionClientState::kDisconnected, "", 1);
  EXPECT_EQ(AudioHere(), (std::vector<bool>{false, true, false}));
}

// ---------------------------------------------------------------------------
// Settings window

TEST_F(SessionPoolTest, ListTabletsSortsByNumberThenKey) {
  Started(4);
  ASSERT_TRUE(Connect(0, 50, "a", "A"));
  ASSERT_TRUE(Connect(1, 40, "b", "B"));
  ASSERT_TRUE(Connect(2, 30, "c", "", /*authenticate=*/false));
  ASSERT_TRUE(Connect(3, 20, "d", "D", /*authenticate=*/false));
  Cb(4).on_client_state(4, SessionClientState::kConnected, "10.0.0.9", 10);  // never admitted
  Cb(0).on_client_state(0, SessionClientState::kDisconnected, "", 50);
  ASSERT_TRUE(Connect(0, 60, "e", "E"));  // takes number 1 again
  Stream(1, true, true);

  const auto list = pool_->ListTablets();
  std::vector<uint64_t> keys;
  for (const auto& entry : list) keys.push_back(entry.connection_key);
  EXPECT_EQ(keys, (std::vector<uint64_t>{60, 40, 20, 30}));
  const TabletListEntry& b = list[1];
  EXPECT_EQ(b.display_name, "B");
  EXPECT_EQ(b.peer_address, "10.0.0.2");
  EXPECT_EQ(b.client_id, "b");
  EXPECT_EQ(b.description, "client of slot 1");
  EXPECT_TRUE(b.authenticated);
  EXPECT_TRUE(b.streaming);
  EXPECT_TRUE(b.extended);
  EXPECT_EQ(b.monitor_number, 2u);
  EXPECT_EQ(b.stream_width, 1920u);
  EXPECT_EQ(b.stream_height, 1200u);
  EXPECT_EQ(b.stream_fps, 60u);
  EXPECT_TRUE(b.audio_owner);
  EXPECT_EQ(list[3].display_name, "10.0.0.3");
  EXPECT_FALSE(list[3].authenticated);
}

TEST_F(SessionPoolTest, DisconnectsFromTheSettingsWindow) {
  Started(2);
  ASSERT_TRUE(Connect(1, 9, "a", "A"));
  testing::LogCapture log;
  EXPECT_FALSE(pool_->DisconnectFromSettings(0));
  EXPECT_FALSE(pool_->DisconnectFromSettings(10));
  EXPECT_TRUE(pool_->DisconnectFromSettings(9));
  EXPECT_TRUE(log.Contains("[INFO ] [Pool] Disconnecting the tablet on slot 1 (settings window)"));
  EXPECT_EQ(sessions_[1]->disconnects(), (std::vector<DisconnectCall>{{9, "disconnected on the PC", true}}));
  // The session's answer is the result.
  sessions_[1]->disconnect_result_ = false;
  EXPECT_FALSE(pool_->DisconnectFromSettings(9));

  sessions_[0]->disconnect_result_ = false;
  EXPECT_TRUE(pool_->DisconnectAll("capture settings changed"));
  for (FakeSession* session : sessions_) {
    ASSERT_FALSE(session->disconnects().empty());
    EXPECT_EQ(session->disconnects().back(), (DisconnectCall{0, "capture settings changed", false}));
  }
  for (FakeSession* session : sessions_) session->disconnect_result_ = false;
  EXPECT_FALSE(pool_->DisconnectAll("again"));
}

TEST_F(SessionPoolTest, SettingsReachEverySessionAlsoWhenSetEarly) {
  Make(1);
  CaptureSettings capture;
  capture.monitor_id = "\\\\.\\DISPLAY2";
  capture.backend = 2;
  pool_->SetClipboardSharing(true);
  pool_->ApplyCaptureSettings(capture);
  pool_->SetVirtualDisplayManager(&display_);
  SessionHostCallbacks host;
  host.stream_ended = [] {};
  pool_->SetHostCallbacks(host);
  ASSERT_TRUE(pool_->Initialize({}, nullptr));
  pool_->SetTabletOnlyAudioAllowed(true);
  pool_->SetClipboardSharing(false);
  for (FakeSession* session : sessions_) {
    EXPECT_EQ(session->clipboard_, false);
    EXPECT_EQ(session->tablet_only_audio_, true);
    EXPECT_EQ(session->display_manager_, &display_);
    ASSERT_TRUE(session->capture_.has_value());
    EXPECT_EQ(session->capture_->monitor_id, capture.monitor_id);
    EXPECT_EQ(session->capture_->backend, 2);
    EXPECT_TRUE(static_cast<bool>(session->host_callbacks_.stream_ended));
  }
}

// ---------------------------------------------------------------------------
// Run

TEST_F(SessionPoolTest, RunEndsWhenEverySessionHasStopped) {
  Started(2);
  std::thread stopper([this] {
    board_.WaitFor(3);
    pool_->RequestStop();
  });
  pool_->Run();
  stopper.join();
  EXPECT_TRUE(pool_->LastRunResult().ok());
  for (FakeSession* session : sessions_) EXPECT_TRUE(session->returned_);
}

TEST_F(SessionPoolTest, ThreadThatCannotStartStopsAndJoinsTheOthers) {
  int calls = 0;
  start_thread_ = [&calls](std::function<void()> body, std::thread* out) {
    if (++calls == 3) return false;
    *out = std::thread(std::move(body));
    return true;
  };
  Started(4);
  testing::LogCapture log;
  pool_->Run();  // returns: the two running sessions were stopped and joined
  EXPECT_EQ(calls, 3);
  const HostResult result = pool_->LastRunResult();
  EXPECT_EQ(result.code, kPoolRunThreadFailed);
  EXPECT_EQ(result.message, "could not start the thread of slot 2");
  EXPECT_TRUE(log.Contains("[ERROR] [Pool] Could not start the thread of slot 2; stopping every session"));
  for (size_t slot = 0; slot < sessions_.size(); ++slot) {
    EXPECT_GE(sessions_[slot]->stop_calls_, 1) << slot;
    EXPECT_EQ(sessions_[slot]->returned_, slot < 2) << slot;
  }
}

TEST_F(SessionPoolTest, RunWithoutASuccessfulInitializeReportsIt) {
  Make(1);
  pool_->Run();
  EXPECT_EQ(pool_->LastRunResult().code, kPoolRunNotInitialized);

  init_failures_[1] = {2, "media socket failed"};
  Make(1);
  EXPECT_FALSE(pool_->Initialize({}, nullptr));
  pool_->Run();  // would otherwise wait for ever on the half-made pool
  EXPECT_EQ(pool_->LastRunResult().code, kPoolRunNotInitialized);
  for (FakeSession* session : sessions_) EXPECT_FALSE(session->ran_);
}

TEST_F(SessionPoolTest, StopBeforeRunReachesEverySession) {
  Started(1);
  pool_->RequestStop();
  for (FakeSession* session : sessions_) EXPECT_EQ(session->stop_calls_, 1);
  pool_->Run();  // the fakes return at once once stopped
  EXPECT_TRUE(pool_->LastRunResult().ok());
}

// ---------------------------------------------------------------------------
// Real input sockets on the loopback host

bool PortIsFree(uint16_t port) {
  uint16_t bound = 0;
  net::Socket socket = net::kInvalidSocket;
  const int error = ProbeInputPort(port, &bound, &socket);
  net::Close(socket);
  return error == 0;
}

TEST_F(SessionPoolTest, ProbedInputPortsStayBoundWhileThePoolLives) {
  SessionPoolEnvironment env = Env();
  env.probe_input = nullptr;  // the real probe
  pool_ = std::make_unique<SessionPool>(1, std::move(env));
  HostPorts ports;
  ports.input_port = 0;  // the system's choice keeps clear of anything else on the machine
  SessionInitResult result;
  ASSERT_TRUE(pool_->Initialize(ports, &result)) << result.message;

  const std::vector<uint16_t> input_ports = pool_->InputPorts();
  ASSERT_EQ(input_ports.size(), 2u);
  for (size_t slot = 0; slot < input_ports.size(); ++slot) {
    const SessionSetup& setup = sessions_[slot]->setup();
    ASSERT_NE(setup.input_socket, net::kInvalidSocket) << slot;
    int error = 0;
    EXPECT_EQ(net::LocalPort(setup.input_socket, &error), input_ports[slot]) << slot;
    EXPECT_FALSE(PortIsFree(input_ports[slot])) << slot;
  }
  pool_.reset();  // the sessions close the sockets they took over
  EXPECT_TRUE(PortIsFree(input_ports[0]));
}

TEST_F(SessionPoolTest, SocketsNoSessionTookOverAreClosedWhenInitializeFails) {
  SessionPoolEnvironment env = Env();
  env.probe_input = nullptr;
  init_failures_[1] = {2, "media socket failed"};
  pool_ = std::make_unique<SessionPool>(3, std::move(env));
  HostPorts ports;
  ports.input_port = 0;
  SessionInitResult result;
  ASSERT_FALSE(pool_->Initialize(ports, &result));
  EXPECT_EQ(result.message, "media socket failed");

  const std::vector<uint16_t> input_ports = pool_->InputPorts();
  ASSERT_EQ(input_ports.size(), 4u);
  // Slots 0 and 1 handed their sockets to sessions, which still hold them.
  EXPECT_FALSE(PortIsFree(input_ports[0]));
  EXPECT_FALSE(PortIsFree(input_ports[1]));
  // Slots 2 and 3 never got a session: their ports are free again at once.
  EXPECT_TRUE(PortIsFree(input_ports[2]));
  EXPECT_TRUE(PortIsFree(input_ports[3]));
}

}  // namespace
}  // namespace orvane
