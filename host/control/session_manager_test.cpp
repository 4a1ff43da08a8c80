#include "host/control/session_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/common/byte_order.h"
#include "host/common/clock.h"
#include "host/common/net.h"
#include "host/common/platform_info.h"
#include "host/control/control_frame.h"
#include "host/control/tcp_server.h"
#include "host/security/key_agreement.h"
#include "host/security/secure_frame.h"
#include "host/video/monitor_enumeration.h"
#include "host/video/synthetic_capture.h"
#include "host/video/testing/fake_video_encoder.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

namespace pb = protocol::v1;

using testing::WaitFor;

pb::ControlMessage HelloMessage(const std::string& client_id, const std::string& app_version = "1.3.5") {
  pb::ControlMessage message;
  pb::Hello* hello = message.mutable_hello();
  hello->set_client_id(client_id);
  hello->set_client_name("Tablet " + client_id);
  hello->set_app_version(app_version);
  hello->set_protocol_version(1);
  hello->set_ephemeral_public_key(std::string(64, '\x11'));
  return message;
}

// The session key the tests' authenticator installs.
crypto::Bytes TestKey() { return crypto::Bytes(32, 0x5A); }

pb::ControlMessage StartStreamMessage() {
  pb::ControlMessage message;
  message.mutable_start_stream()->set_session_id("s-1");
  return message;
}

pb::ControlMessage StopStreamMessage() {
  pb::ControlMessage message;
  message.mutable_stop_stream()->set_session_id("s-1");
  return message;
}

// The tablet's end of the control connection.
class TestTablet {
 public:
  explicit TestTablet(uint16_t server_port) {
    int error = 0;
    s_ = net::Create(net::Kind::kTcp, &error);
    EXPECT_NE(s_, net::kInvalidSocket) << error;
    EXPECT_EQ(net::Connect(s_, "127.0.0.1", server_port), 0);
    port_ = net::LocalPort(s_, &error);
  }
  ~TestTablet() { net::Close(s_); }
  TestTablet(const TestTablet&) = delete;
  TestTablet& operator=(const TestTablet&) = delete;

  unsigned port() const { return port_; }

  // From now on frames are sealed and secure frames opened under the key.
  void UseKey(crypto::Bytes key) { key_ = std::move(key); }

  bool Send(const pb::ControlMessage& message) {
    std::string payload = message.SerializeAsString();
    if (!key_.empty()) {
      const crypto::Bytes frame =
          security::SealSecureFrame(cipher_, key_, security::kNonceControl, send_counter_++, security::AsBytes(payload));
      payload.assign(frame.begin(), frame.end());
      // A Hello starts a new key agreement: the counter starts over.
      if (message.has_hello()) send_counter_ = 0;
    }
    return SendRawFrame(payload);
  }

  bool Read(pb::ControlMessage* message) {
    uint8_t header[4];
    if (!ReadExact(header, sizeof header)) return false;
    std::string payload(LoadBe32(header), '\0');
    if (!ReadExact(reinterpret_cast<uint8_t*>(payload.data()), payload.size())) return false;
    security::SecureFrameView view;
    if (!security::ParseSecureFrame(security::AsBytes(payload), &view)) return message->ParseFromString(payload);
    crypto::Bytes plain;
    if (!security::OpenAesGcm(cipher_, key_, security::kNonceControl, view.counter, view.payload, &plain)) return false;
    return message->ParseFromArray(plain.data(), static_cast<int>(plain.size()));
  }

  bool SendRawFrame(const std::string& payload) {
    uint8_t header[4];
    StoreBe32(header, static_cast<uint32_t>(payload.size()));
    return SendRaw(header, sizeof header) &&
           SendRaw(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
  }

  // True once the host has closed the connection (anything still unread is
  // skipped).
  bool WaitClosed() {
    uint8_t buf[4096];
    for (;;) {
      int error = 0;
      if (net::PollOne(s_, true, false, 5000, &error) != 1) return false;
      if (net::Recv(s_, buf, sizeof buf, &error) <= 0) return true;
    }
  }

  // Nothing to read and not closed.
  bool Quiet() {
    int error = 0;
    return net::PollOne(s_, true, false, 0, &error) == 0;
  }

 private:
  bool SendRaw(const uint8_t* data, size_t len) {
    size_t sent = 0;
    while (sent < len) {
      int error = 0;
      const long n = net::Send(s_, data + sent, len - sent, &error);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
  bool ReadExact(uint8_t* buf, size_t len) {
    size_t got = 0;
    while (got < len) {
      int error = 0;
      if (net::PollOne(s_, true, false, 5000, &error) != 1) return false;
      const long n = net::Recv(s_, buf + got, len - got, &error);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    return true;
  }

  net::Socket s_ = net::kInvalidSocket;
  unsigned port_ = 0;
  crypto::Bytes key_;
  crypto::AesGcm cipher_;
  uint64_t send_counter_ = 0;
};

// A UDP socket of the tablet for the input channel.
class TestDatagrams {
 public:
  TestDatagrams() {
    int error = 0;
    s_ = net::Create(net::Kind::kUdp, &error);
    EXPECT_NE(s_, net::kInvalidSocket) << error;
    EXPECT_EQ(net::Bind(s_, "127.0.0.1", 0), 0);
    port_ = net::LocalPort(s_, &error);
  }
  ~TestDatagrams() { net::Close(s_); }
  unsigned port() const { return port_; }
  // Sealed as the tablet's input channel does.
  void SendSealed(uint16_t to_port, const std::string& bytes, const crypto::Bytes& key = TestKey()) {
    const crypto::Bytes frame =
        security::SealSecureFrame(cipher_, key, security::kNonceInput, counter_++, security::AsBytes(bytes));
    Send(to_port, std::string(frame.begin(), frame.end()));
  }
  // The next datagram opened under the key as media (prefix 2); false after
  // the time-out.
  bool ReceiveMedia(std::string* plaintext, int timeout_ms = 5000) {
    for (;;) {
      int error = 0;
      if (net::PollOne(s_, true, false, timeout_ms, &error) != 1) return false;
      uint8_t buffer[2048];
      net::Endpoint from;
      const long n = net::RecvFrom(s_, buffer, sizeof buffer, &from, &error);
      if (n <= 0) return false;
      security::SecureFrameView view;
      if (!security::ParseSecureFrame(crypto::ByteView(buffer, static_cast<size_t>(n)), &view)) continue;
      crypto::Bytes plain;
      if (!security::OpenAesGcm(media_cipher_, TestKey(), security::kNonceMedia, view.counter, view.payload, &plain)) {
        continue;
      }
      plaintext->assign(plain.begin(), plain.end());
      return true;
    }
  }
  void Send(uint16_t to_port, const std::string& bytes) {
    int error = 0;
    EXPECT_EQ(net::SendTo(s_, bytes.data(), bytes.size(), net::Endpoint{"127.0.0.1", to_port}, &error),
              static_cast<long>(bytes.size()))
        << error;
  }

 private:
  net::Socket s_ = net::kInvalidSocket;
  unsigned port_ = 0;
  crypto::AesGcm cipher_;
  crypto::AesGcm media_cipher_;
  uint64_t counter_ = 0;
};

// The pool's side, recording what the session tells it.
class FakePool {
 public:
  SessionPoolCallbacks Callbacks() {
    SessionPoolCallbacks callbacks;
    callbacks.admit_client = [this](size_t slot, const std::string& id, const std::string&, uint32_t* limit) {
      Record("admit " + std::to_string(slot) + " " + id);
      *limit = 4;
      return admit.load();
    };
    callbacks.on_stream_stopped = [this](size_t slot, bool restart_pending) {
      Record("stream stopped " + std::to_string(slot) + (restart_pending ? " restart pending" : ""));
    };
    callbacks.on_authenticated = [this](size_t slot, const std::string& name) {
      Record("authenticated " + std::to_string(slot) + " " + name);
    };
    callbacks.on_client_state = [this](size_t slot, SessionClientState state, const std::string& peer,
                                       uint64_t key) {
      static const char* const kNames[] = {"waiting", "connected", "disconnected"};
      std::string event = std::string(kNames[static_cast<int>(state)]) + " " + std::to_string(slot);
      if (state != SessionClientState::kWaiting) event += " " + peer + " key=" + std::to_string(key);
      Record(event);
    };
    return callbacks;
  }

  std::vector<std::string> Events() const {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  size_t Count(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<size_t>(std::count_if(events_.begin(), events_.end(),
                                             [&](const std::string& e) { return e.rfind(prefix, 0) == 0; }));
  }

  std::atomic<bool> admit{true};

 private:
  void Record(std::string event) {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(std::move(event));
  }
  mutable std::mutex mu_;
  std::vector<std::string> events_;
};

// Reads until a message the predicate accepts (the stream sends warm-ups,
// orientation and statistics around the messages a test looks for).
template <typename Tablet, typename Pred>
bool ReadUntil(Tablet& tablet, pb::ControlMessage* out, Pred pred, int limit = 40) {
  for (int i = 0; i < limit; ++i) {
    if (!tablet.Read(out)) return false;
    if (pred(*out)) return true;
  }
  return false;
}

class SessionManagerTest : public ::testing::Test {
 protected:
  ~SessionManagerTest() override { StopSession(); }

  // adopt_input: hand the session a probed, still-bound input socket, as the
  // pool does; otherwise input_port is bound by the receiver itself.
  void StartSession(bool adopt_input = true, uint16_t input_port = 0) {
    ASSERT_TRUE(server_.Start(0, "127.0.0.1"));
    server_.SetHelloPeek(PeekHelloClientId);
    SessionSetup setup;
    setup.slot = 0;
    setup.server = &server_;
    setup.media_port = 9431;
    setup.pool = pool_.Callbacks();
    if (adopt_input) {
      int error = 0;
      net::Socket s = net::Create(net::Kind::kUdp, &error);
      ASSERT_NE(s, net::kInvalidSocket);
      ASSERT_EQ(net::Bind(s, "", 0), 0);
      input_port_ = net::LocalPort(s, &error);
      setup.input_socket = s;
    } else {
      input_port_ = input_port;
    }
    setup.input_port = input_port_;
    setup.encoder_budget = budget_;

    SessionManagerOptions options = platform_stream_ ? PlatformSessionOptions() : SessionManagerOptions{};
    options.clock = &clock_;
    options.hello_authenticator = [this](const pb::Hello&, security::ControlKeyState& keys) {
      HelloAuthDecision decision;
      if (authenticate_) {
        keys.InstallSessionKey(TestKey(), compat_key_);
        decision.result = pb::AUTH_RESULT_OK;
      }
      return decision;
    };
    if (start_thread_) options.start_thread = start_thread_;
    if (platform_stream_) {
      options.sleeper = &stream_sleeper_;
    } else if (video_stream_) {
      options.make_encoder = [this]() -> std::unique_ptr<IVideoEncoder> {
        auto encoder = std::make_unique<orvane::testing::FakeVideoEncoder>();
        encoder->initialize_ok = encoder_starts_;
        encoder_ = encoder.get();
        return encoder;
      };
      options.make_capture = [](const CaptureTarget& target, CaptureBackendChoice choice,
                                std::shared_ptr<GpuDevice>) {
        CaptureSourceSet set;
        set.gdi = std::make_unique<SyntheticCaptureSource>(SyntheticCaptureOptions{64, 32, 60'000, 0, nullptr});
        return std::make_unique<CaptureManager>(choice, target, std::move(set));
      };
      options.sleeper = &stream_sleeper_;
    }
    // The stream's audio records how each stream starts and ends.
    options.make_audio = [this]() -> std::unique_ptr<IStreamAudio> { return std::make_unique<RecordingAudio>(this); };
    if (!platform_stream_) options.make_input_injector = [this] {
      auto injector = std::make_unique<RecordingInputInjector>();
      injector_ = injector.get();
      return injector;
    };
    session_ = std::make_unique<SessionManager>(std::move(setup), std::move(options));
    if (displays_ != nullptr) session_->SetVirtualDisplayManager(displays_);
    ASSERT_TRUE(session_->InitializeSlot().ok());
    run_thread_ = std::thread([this] { session_->Run(); });
  }

  void StopSession() {
    if (!session_) return;
    session_->Stop();
    server_.Stop();
    if (run_thread_.joinable()) run_thread_.join();
    session_.reset();
  }

  // Connects a tablet and waits until the session has taken it.
  std::unique_ptr<TestTablet> Connect() {
    const size_t before = pool_.Count("connected");
    auto tablet = std::make_unique<TestTablet>(server_.ListeningPort());
    EXPECT_TRUE(WaitFor([&] { return pool_.Count("connected") > before; }));
    return tablet;
  }

  // Connects a tablet that authenticates.
  std::unique_ptr<TestTablet> ConnectAuthenticated(const std::string& client_id = "tab-1") {
    authenticate_ = true;
    const size_t before = pool_.Count("authenticated");
    auto tablet = Connect();
    EXPECT_TRUE(tablet->Send(HelloMessage(client_id)));
    pb::ControlMessage ack;
    EXPECT_TRUE(tablet->Read(&ack));
    EXPECT_EQ(ack.hello_ack().result(), pb::AUTH_RESULT_OK);
    tablet->UseKey(TestKey());
    EXPECT_TRUE(WaitFor([&] { return pool_.Count("authenticated") > before; }));
    EXPECT_TRUE(WaitFor([&] { return log_.Contains("[UDPRecv] Listening for input on port"); }));
    return tablet;
  }

  // Lets the main loop run n more passes (so it has seen the clock's time).
  void WaitPasses(uint64_t n) {
    const uint64_t target = session_->CompletedPasses() + n;
    ASSERT_TRUE(WaitFor([&] { return session_->CompletedPasses() >= target; }));
  }

  std::vector<std::string> StreamEvents() {
    std::lock_guard<std::mutex> lock(stream_mu_);
    return stream_events_;
  }

  testing::LogCapture log_;
  ManualClock clock_;
  TcpServer server_{2};
  FakePool pool_;
  std::atomic<bool> authenticate_{false};
  std::atomic<RecordingInputInjector*> injector_{nullptr};
  // The compatibility key the authenticator installs beside the test key.
  crypto::Bytes compat_key_;
  // Stream through the frame loop with a scripted encoder (false: no
  // encoder at all).
  bool video_stream_ = true;
  class RecordingAudio final : public IStreamAudio {
   public:
    explicit RecordingAudio(SessionManagerTest* test) : test_(test) {}
    void Prepare() override { test_->Record("prepare"); }
    void Start(const StreamAudioStart& start) override {
      test_->Record(std::string("play ") + (start.audio_enabled ? "on" : "off") +
                    (start.sink != nullptr && start.active != nullptr && start.active->load() ? " active" : ""));
    }
    void SetMuteWish(bool mute) override { test_->Record(mute ? "mute" : "start"); }
    void Stop(int mode) override { test_->Record("stop mode " + std::to_string(mode)); }
    void SetNetworkConditions(float loss_pct, bool constrained) override {
      std::lock_guard<std::mutex> lock(test_->stream_mu_);
      test_->audio_conditions_.emplace_back(loss_pct, constrained);
    }

   private:
    SessionManagerTest* test_;
  };
  std::vector<std::pair<float, bool>> audio_conditions_;  // under stream_mu_
  void Record(const std::string& event) {
    std::lock_guard<std::mutex> lock(stream_mu_);
    stream_events_.push_back(event);
  }
  // Stream with the platform's encoder and capture.
  bool platform_stream_ = false;
  std::function<bool(std::function<void()>, std::thread*)> start_thread_;
  bool encoder_starts_ = true;
  std::atomic<orvane::testing::FakeVideoEncoder*> encoder_{nullptr};
  std::shared_ptr<EncoderBudget> budget_;
  IVirtualDisplayManager* displays_ = nullptr;
  // The frame loop's waits pass in real time (briefly) and move the clock.
  class StreamSleeper final : public IPreciseSleeper {
   public:
    explicit StreamSleeper(ManualClock& clock) : clock_(clock) {}
    // Off: the frame loop waits in real time and leaves the clock to the test.
    std::atomic<bool> advance{true};
    void SleepUs(int64_t us) override {
      if (us <= 0) return;
      std::this_thread::sleep_for(std::chrono::microseconds(std::min<int64_t>(us, 2000)));
      if (advance) clock_.AdvanceUs(us);
    }

   private:
    ManualClock& clock_;
  };
  StreamSleeper stream_sleeper_{clock_};
  std::mutex stream_mu_;
  std::vector<std::string> stream_events_;
  uint16_t input_port_ = 0;
  std::unique_ptr<SessionManager> session_;
  std::thread run_thread_;
};

TEST(SessionErrorTest, ErrorMessageTable) {
  const struct {
    SessionError error;
    uint32_t code;
    const char* text;
    bool fatal;
  } cases[] = {
      {EncoderInitFailedError(), 2, "Video encoder init failed", true},
      {PenFallbackError("Pen input uses mouse events"), 2205, "Pen input uses mouse events", false},
      {SecureInputUnavailableError(), 2206, "Secure input channel could not be started", true},
      {MonitorUnavailableError(), 2401, "Selected monitor is unavailable", false},
      {NoFreeEncoderError(), 2501,
       "This PC has no free video encoder for another tablet. Disconnect a tablet or lower the resolution, then "
       "reconnect.",
       true},
      {NoFreeVirtualMonitorError(3), 2502,
       "Every virtual monitor of this PC is in use (3). Disconnect another tablet or choose Mirror for this one.",
       true},
      {DriverRestartPendingError(), 2503,
       "Another monitor is ready after the virtual display driver restarts. Click Apply in Orvane Display on the PC, "
       "then reconnect.",
       true},
      {DisconnectedByHostError(), 2504, "Disconnected from the PC", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(c.error.code, c.code);
    EXPECT_EQ(c.error.description, c.text);
    EXPECT_EQ(c.error.fatal, c.fatal);
  }
}

TEST(SessionManagerSetupTest, InitializeWithoutControlServerFails) {
  SessionManager session(SessionSetup{});
  const SessionInitResult result = session.InitializeSlot();
  EXPECT_EQ(result.code, kSessionInitOtherFailure);
  EXPECT_EQ(result.message, "session has no control listener");
  session.Run();  // returns at once
}

TEST_F(SessionManagerTest, InitializeSetsHostIdentityAndStopEndsRun) {
  StartSession();
  EXPECT_TRUE(log_.Contains("[INFO ] [Session 0] Initialized. Media=9431, Input=" + std::to_string(input_port_)));
  const std::string name = ComputerNameUtf8();
  if (!name.empty()) {
    EXPECT_EQ(session_->Handler().HostId(), "orvane-" + name);
    EXPECT_EQ(session_->Handler().HostName(), name);
  }
  ASSERT_TRUE(WaitFor([&] { return log_.Contains("[INFO ] [Session] Waiting for mobile client connection..."); }));
  StopSession();
  EXPECT_TRUE(log_.Contains("[INFO ] [Session 0] Stopped waiting for a client (host is shutting down)"));
}

TEST_F(SessionManagerTest, ClientsThatDoNotAuthenticateAreClosedAtTheirTimeOut) {
  const struct {
    const char* name;
    bool say_hello;
    uint64_t timeout_ms;
    const char* warning;
    const char* reason;
  } cases[] = {
      {"silent", false, 10'000, "[WARN ] [Session] Dropping control client 127.0.0.1: no valid Hello within 10 s",
       "hello timeout"},
      {"hello only", true, 120'000,
       "[WARN ] [Session] Dropping control client 127.0.0.1: not authenticated within 120 s",
       "authentication timeout"},
  };
  StartSession();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto tablet = Connect();
    if (c.say_hello) {
      ASSERT_TRUE(tablet->Send(HelloMessage("tab-1")));
      pb::ControlMessage ack;
      ASSERT_TRUE(tablet->Read(&ack));
      // Key agreement and pairing are not there: nobody authenticates.
      EXPECT_EQ(ack.hello_ack().result(), pb::AUTH_RESULT_REJECTED);
    }
    clock_.AdvanceMs(c.timeout_ms - 1);
    WaitPasses(2);
    EXPECT_TRUE(tablet->Quiet());
    EXPECT_FALSE(log_.Contains(c.warning));

    clock_.AdvanceMs(1);
    ASSERT_TRUE(tablet->WaitClosed());
    ASSERT_TRUE(WaitFor([&] { return log_.Contains(c.warning); }));
    EXPECT_TRUE(log_.Contains("[WARN ] [TCP] Dropping client 127.0.0.1:" + std::to_string(tablet->port()) +
                              " of slot 0 (" + c.reason + ")"));
    ASSERT_TRUE(WaitFor([&] { return log_.Contains("[INFO ] [Session] Waiting for next control client..."); }));
    log_.Clear();
  }
  EXPECT_EQ(pool_.Count("disconnected 0 127.0.0.1"), 2u);
}

TEST_F(SessionManagerTest, RefusedHelloIsAnsweredThenClosed) {
  const struct {
    const char* name;
    bool admit;
    const char* app_version;
    pb::AuthResult result;
    uint32_t max_sessions;
    const char* reason;
  } cases[] = {
      {"tablet limit", false, "1.3.5", pb::AUTH_RESULT_HOST_BUSY, 4, "host busy"},
      {"app version", true, "1.2.0", pb::AUTH_RESULT_VERSION_MISMATCH, 0, "app version mismatch"},
  };
  StartSession();
  std::atomic<int> refusals{0};
  session_->SetVersionRefusedCallback([&](const VersionRefusal& r) {
    EXPECT_EQ(r.app_version, "1.2.0");
    ++refusals;
  });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pool_.admit = c.admit;
    auto tablet = Connect();
    ASSERT_TRUE(tablet->Send(HelloMessage("tab-9", c.app_version)));
    pb::ControlMessage ack;
    ASSERT_TRUE(tablet->Read(&ack));
    EXPECT_EQ(ack.hello_ack().result(), c.result);
    EXPECT_EQ(ack.hello_ack().max_sessions(), c.max_sessions);
    EXPECT_EQ(ack.hello_ack().host_version(), "1.3.5");
    ASSERT_TRUE(tablet->WaitClosed());
    ASSERT_TRUE(WaitFor([&] {
      return log_.Contains("of slot 0 (" + std::string(c.reason) + ")");
    }));
  }
  EXPECT_EQ(refusals.load(), 1);
}

TEST_F(SessionManagerTest, ConnectedIsRecordedBeforeTheHelloIsAdmitted) {
  StartSession();
  // The Hello is on its way before the session has even taken the client.
  TestTablet tablet(server_.ListeningPort());
  ASSERT_TRUE(tablet.Send(HelloMessage("tab-1")));
  pb::ControlMessage ack;
  ASSERT_TRUE(tablet.Read(&ack));
  const auto events = pool_.Events();
  const auto connected = std::find_if(events.begin(), events.end(),
                                      [](const std::string& e) { return e.rfind("connected 0", 0) == 0; });
  const auto admitted = std::find(events.begin(), events.end(), "admit 0 tab-1");
  ASSERT_NE(connected, events.end());
  ASSERT_NE(admitted, events.end());
  EXPECT_LT(connected, admitted);
}

TEST_F(SessionManagerTest, AuthenticationRecordsClientIdForReconnects) {
  StartSession();
  auto first = ConnectAuthenticated("tab-1");
  EXPECT_TRUE(pool_.Count("authenticated 0 Tablet tab-1") == 1);
  EXPECT_TRUE(log_.Contains("[INFO ] [Session] Transport encryption enabled"));

  // The same tablet comes back from the same address while its old
  // connection still looks alive: the server recognises it by client_id.
  TestTablet second(server_.ListeningPort());
  ASSERT_TRUE(second.Send(HelloMessage("tab-1")));
  ASSERT_TRUE(WaitFor([&] {
    return log_.Contains("[INFO ] [TCP] Client 127.0.0.1 reconnected (port " + std::to_string(second.port()) + ")");
  }));
  EXPECT_TRUE(first->WaitClosed());
  pb::ControlMessage ack;
  ASSERT_TRUE(second.Read(&ack));
  EXPECT_EQ(ack.hello_ack().result(), pb::AUTH_RESULT_OK);
  ASSERT_TRUE(WaitFor([&] { return pool_.Count("authenticated 0 Tablet tab-1") == 2; }));
}

TEST_F(SessionManagerTest, StreamRequestsStartAndStopTheStream) {
  StartSession();
  auto tablet = ConnectAuthenticated();
  ASSERT_TRUE(tablet->Send(StartStreamMessage()));
  ASSERT_TRUE(WaitFor([&] { return session_->Streaming(); }));
  ASSERT_TRUE(tablet->Send(StopStreamMessage()));
  pb::ControlMessage stopped;
  ASSERT_TRUE(ReadUntil(*tablet, &stopped, [](const pb::ControlMessage& m) { return m.has_stream_stopped(); }));
  EXPECT_EQ(stopped.stream_stopped().session_id(), "s-1");
  ASSERT_TRUE(WaitFor([&] { return log_.Contains("[INFO ] [Session] Stream stopped"); }));
  EXPECT_FALSE(session_->Streaming());

  // A tablet that vanishes mid-stream: the stream stops as a dropped link.
  ASSERT_TRUE(tablet->Send(StartStreamMessage()));
  ASSERT_TRUE(WaitFor([&] { return session_->Streaming(); }));
  tablet.reset();
  ASSERT_TRUE(WaitFor([&] {
    return log_.Contains("[WARN ] [Session 0] Control client disconnected (link dropped) -- stopping stream");
  }));
  // Stopped by the tablet, the PC's speakers come back (0); a dropped link
  // leaves them for a reconnect (1).
  ASSERT_TRUE(WaitFor([&] { return StreamEvents().size() == 4; }));
  EXPECT_EQ(StreamEvents(), (std::vector<std::string>{"start", "stop mode 0", "start", "stop mode 1"}));
}

TEST_F(SessionManagerTest, ThePcSoundPlaysWhereThePoolRoutesIt) {
  StartSession();
  session_->SetTabletOnlyAudioAllowed(true);
  auto tablet = ConnectAuthenticated();
  pb::ControlMessage audio;
  audio.mutable_set_audio_enabled()->set_enabled(true);
  audio.mutable_set_audio_enabled()->set_mute_host_speakers(true);
  ASSERT_TRUE(tablet->Send(audio));
  ASSERT_TRUE(WaitFor([&] { return log_.Contains("[Protocol] Audio enabled (tablet only: yes)"); }));
  ASSERT_TRUE(tablet->Send(StartStreamMessage()));
  ASSERT_TRUE(WaitFor([&] { return session_->Streaming(); }));
  // The pool gives this tablet the sound, then another one.
  session_->SetAudioRoute(true, "Tablet");
  ASSERT_TRUE(WaitFor([&] { return StreamEvents().size() == 3; }));
  session_->SetAudioRoute(false, "Other Tablet");
  ASSERT_TRUE(WaitFor([&] { return StreamEvents().size() == 4; }));
  EXPECT_TRUE(log_.Contains("[INFO ] [Session 0] PC audio moves to another tablet"));
  ASSERT_TRUE(tablet->Send(StopStreamMessage()));
  ASSERT_TRUE(WaitFor([&] { return StreamEvents().size() == 5; }));
  // Muting is wished (allowed, audio on, asked); the pipeline is prepared
  // once and plays with the session's sink while the session is active.
  EXPECT_EQ(StreamEvents(),
            (std::vector<std::string>{"mute", "prepare", "play on active", "stop mode 2", "stop mode 0"}));
}

TEST_F(SessionManagerTest, DisconnectWithNoticeIsCarriedOutByTheSession) {
  StartSession();
  auto tablet = ConnectAuthenticated();
  const uint64_t key = session_->ConnectionKey();
  ASSERT_NE(key, 0u);

  // Which thread closes the connection.
  std::mutex mu;
  std::vector<std::thread::id> closers;
  Logger::Instance().SetObserver([&](LogLevel, const std::string& message) {
    if (message.find("[TCP] Dropping client") == std::string::npos) return;
    std::lock_guard<std::mutex> lock(mu);
    closers.push_back(std::this_thread::get_id());
  });

  EXPECT_FALSE(session_->Disconnect(key + 1, "disconnected on the PC", true));
  ASSERT_TRUE(session_->Disconnect(key, "disconnected on the PC", true));
  pb::ControlMessage notice;
  ASSERT_TRUE(tablet->Read(&notice));
  EXPECT_EQ(notice.error().error_code(), 2504u);
  EXPECT_EQ(notice.error().error_description(), "Disconnected from the PC");
  EXPECT_TRUE(notice.error().is_fatal());
  ASSERT_TRUE(tablet->WaitClosed());
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(mu);
    return closers.size() == 1;
  }));
  Logger::Instance().SetObserver(nullptr);
  {
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_NE(closers[0], std::this_thread::get_id());
  }
  ASSERT_TRUE(WaitFor([&] { return session_->ConnectionKey() == 0; }));
  EXPECT_FALSE(session_->Disconnect(0, "disconnected on the PC", true));
}

TEST_F(SessionManagerTest, DisconnectWithoutNoticeClosesAtOnce) {
  StartSession();
  auto tablet = Connect();
  ASSERT_TRUE(session_->Disconnect(0, "display mode changed", false));
  EXPECT_TRUE(log_.Contains("of slot 0 (display mode changed)"));
  ASSERT_TRUE(tablet->WaitClosed());
}

TEST_F(SessionManagerTest, InputDatagramsPunchAndInject) {
  StartSession();
  auto tablet = ConnectAuthenticated();
  ASSERT_NE(injector_.load(), nullptr);
  TestDatagrams udp;

  udp.SendSealed(input_port_, "OVDMP1");
  ASSERT_TRUE(WaitFor([&] {
    return log_.Contains("[INFO ] [Session] Media UDP remote endpoint updated via punch: 127.0.0.1:" +
                         std::to_string(udp.port()));
  }));

  pb::InputEvent touch;
  touch.mutable_touch()->set_action(pb::TOUCH_ACTION_DOWN);
  touch.mutable_touch()->set_pointer_id(7);
  touch.mutable_touch()->set_x_normalized(0.5f);
  udp.SendSealed(input_port_, touch.SerializeAsString());
  ASSERT_TRUE(WaitFor([&] { return injector_.load()->Events().size() == 1; }));
  EXPECT_EQ(std::get<TouchInput>(injector_.load()->Events()[0]).pointer_id, 7u);

  // Malformed input from the authenticated tablet: one line per second.
  const std::string junk("\xFF\xFF\xFF", 3);
  const std::string line = "[WARN ] [Session] Dropping malformed authenticated input packet (3 bytes)";
  for (int i = 0; i < 3; ++i) udp.SendSealed(input_port_, junk);
  udp.SendSealed(input_port_, touch.SerializeAsString());  // arrives after the junk
  ASSERT_TRUE(WaitFor([&] { return injector_.load()->Events().size() == 2; }));
  EXPECT_EQ(log_.Count(line), 1u);
  clock_.AdvanceMs(SessionManager::kInputWarningIntervalMs);
  udp.SendSealed(input_port_, junk);
  ASSERT_TRUE(WaitFor([&] { return log_.Count(line) == 2; }));
  EXPECT_TRUE(log_.Contains(line + " (2 similar suppressed)"));

  // The tablet leaves: its keys and pointers are released.
  tablet.reset();
  ASSERT_TRUE(WaitFor([&] { return injector_.load()->PointerReleaseCount() == 1; }));
  EXPECT_EQ(injector_.load()->KeyReleaseCount(), 1u);
}

TEST_F(SessionManagerTest, InputPortFailureIsFatalForTheTabletOnly) {
  // Another program holds the slot's input port.
  int error = 0;
  net::Socket blocker = net::Create(net::Kind::kUdp, &error);
  ASSERT_NE(blocker, net::kInvalidSocket);
  ASSERT_EQ(net::Bind(blocker, "", 0), 0);
  const uint16_t taken = net::LocalPort(blocker, &error);
  StartSession(/*adopt_input=*/false, taken);

  authenticate_ = true;
  auto tablet = Connect();
  ASSERT_TRUE(tablet->Send(HelloMessage("tab-1")));
  pb::ControlMessage ack;
  ASSERT_TRUE(tablet->Read(&ack));
  EXPECT_EQ(ack.hello_ack().result(), pb::AUTH_RESULT_OK);
  tablet->UseKey(TestKey());
  pb::ControlMessage failure;
  ASSERT_TRUE(tablet->Read(&failure));
  EXPECT_EQ(failure.error().error_code(), 2206u);
  EXPECT_EQ(failure.error().error_description(), "Secure input channel could not be started");
  EXPECT_TRUE(failure.error().is_fatal());
  EXPECT_TRUE(log_.Contains("[ERROR] [Session] Failed to start input UDP receiver code=1 msg=UDP receiver bind() failed"));
  WaitPasses(2);
  EXPECT_TRUE(tablet->Quiet());
  net::Close(blocker);
}

TEST_F(SessionManagerTest, HelloOnAnAuthenticatedConnectionRestartsAuthentication) {
  stream_sleeper_.advance = false;  // the time-outs below are counted exactly
  StartSession();
  auto tablet = ConnectAuthenticated();
  ASSERT_TRUE(tablet->Send(StartStreamMessage()));
  ASSERT_TRUE(WaitFor([&] { return session_->Streaming(); }));
  log_.Clear();

  // Long after the connection's own authentication time-out would matter.
  clock_.AdvanceMs(100'000);
  authenticate_ = false;
  ASSERT_TRUE(tablet->Send(HelloMessage("tab-1")));
  pb::ControlMessage stopped;
  ASSERT_TRUE(ReadUntil(*tablet, &stopped, [](const pb::ControlMessage& m) { return m.has_stream_stopped(); }));
  EXPECT_EQ(stopped.stream_stopped().session_id(), "s-1");
  pb::ControlMessage ack;
  ASSERT_TRUE(ReadUntil(*tablet, &ack, [](const pb::ControlMessage& m) { return m.has_hello_ack(); }));
  EXPECT_EQ(ack.hello_ack().result(), pb::AUTH_RESULT_REJECTED);
  ASSERT_TRUE(WaitFor([&] { return !session_->Streaming(); }));
  // The line follows the stop (after the virtual monitor was released).
  EXPECT_TRUE(WaitFor([&] { return log_.Contains("[INFO ] [Session] Stream stopped"); }));
  EXPECT_EQ(StreamEvents(), (std::vector<std::string>{"start", "stop mode 0"}));
  // What the stream sent before it stopped.
  for (int i = 0; i < 40 && !tablet->Quiet(); ++i) {
    pb::ControlMessage earlier;
    ASSERT_TRUE(tablet->Read(&earlier));
  }

  // The authentication time-out runs again from this Hello.
  WaitPasses(2);
  clock_.AdvanceMs(SessionManager::kAuthenticationTimeoutMs - 1);
  WaitPasses(2);
  EXPECT_TRUE(tablet->Quiet());
  clock_.AdvanceMs(1);
  ASSERT_TRUE(tablet->WaitClosed());
  ASSERT_TRUE(WaitFor([&] {
    return log_.Contains("[WARN ] [Session] Dropping control client 127.0.0.1: not authenticated within 120 s");
  }));
}

TEST_F(SessionManagerTest, WindowCommandsReachTheWindowMover) {
  std::vector<WindowMoveRequest> moves;
  std::mutex moves_mu;
  SessionHostCallbacks callbacks;
  callbacks.window_move = [&](const WindowMoveRequest& request) {
    std::lock_guard<std::mutex> lock(moves_mu);
    moves.push_back(request);
    return WindowMoveResult{WindowMoveStatus::kMoved, "Notes"};
  };
  StartSession();
  session_->SetHostCallbacks(callbacks);
  auto tablet = ConnectAuthenticated();
  pb::ControlMessage command;
  command.mutable_window_command()->set_action(pb::WINDOW_ACTION_MOVE_FOREGROUND_TO_CLIENT_DISPLAY);
  command.mutable_window_command()->set_request_id(31);
  ASSERT_TRUE(tablet->Send(command));
  pb::ControlMessage result;
  ASSERT_TRUE(tablet->Read(&result));
  EXPECT_EQ(result.window_command_result().request_id(), 31u);
  EXPECT_EQ(result.window_command_result().status(), pb::WINDOW_COMMAND_STATUS_MOVED);
  EXPECT_EQ(result.window_command_result().window_title(), "Notes");
  EXPECT_TRUE(log_.Contains("[INFO ] [Session] Window command to-client-display request=31 -> moved"));
  std::lock_guard<std::mutex> lock(moves_mu);
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0].slot, 0u);
  EXPECT_EQ(moves[0].direction, WindowMoveDirection::kToClientDisplay);
}

TEST_F(SessionManagerTest, PreAuthenticationWarningsAreRateLimited) {
  StartSession();
  auto tablet = Connect();
  const std::string junk("\xFF\xFF", 2);
  const std::string parse = "[ERROR] [Protocol] Failed to parse control message size=2 prefix=FFFF0000";
  const std::string ignored = "[WARN ] [Protocol] Ignoring control message type=14 before authentication";
  const std::string issue = "[WARN ] [Session] Control frame handling issue code=4 msg=Failed to parse control message";
  pb::ControlMessage ack;

  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(tablet->SendRawFrame(junk));
    ASSERT_TRUE(tablet->Send(StartStreamMessage()));
  }
  ASSERT_TRUE(tablet->Send(HelloMessage("tab-1")));
  ASSERT_TRUE(tablet->Read(&ack));  // everything before it has been handled
  EXPECT_EQ(log_.Count(parse), 1u);
  EXPECT_EQ(log_.Count(ignored), 0u);
  EXPECT_EQ(log_.Count(issue), 1u);

  clock_.AdvanceMs(ProtocolHandler::kPreAuthWarningIntervalMs);
  ASSERT_TRUE(tablet->Send(StartStreamMessage()));
  ASSERT_TRUE(tablet->SendRawFrame(junk));
  ASSERT_TRUE(tablet->Send(HelloMessage("tab-1")));
  ASSERT_TRUE(tablet->Read(&ack));
  EXPECT_TRUE(log_.Contains(ignored + " (5 similar suppressed)"));
  EXPECT_EQ(log_.Count(parse), 1u);
  EXPECT_TRUE(log_.Contains(issue + " (2 similar suppressed)"));
  EXPECT_TRUE(tablet->Quiet());  // frames that cannot be used never close the connection
}

TEST_F(SessionManagerTest, UdpChannelsFollowACompatibilityPromotion) {
  const crypto::Bytes compat(32, 0xC3);
  compat_key_ = compat;
  StartSession();
  auto tablet = ConnectAuthenticated();
  TestDatagrams udp;
  pb::InputEvent touch;
  touch.mutable_touch()->set_action(pb::TOUCH_ACTION_DOWN);
  touch.mutable_touch()->set_pointer_id(3);

  // Until the promotion the input channel holds the active key only.
  udp.SendSealed(input_port_, touch.SerializeAsString(), compat);
  udp.SendSealed(input_port_, touch.SerializeAsString());
  ASSERT_TRUE(WaitFor([&] { return injector_.load()->Events().size() == 1; }));

  // The tablet turns out to use the other byte order.
  log_.Clear();
  tablet->UseKey(compat);
  pb::ControlMessage ping;
  ping.mutable_ping()->set_send_timestamp_us(9);
  ASSERT_TRUE(tablet->Send(ping));
  pb::ControlMessage pong;
  ASSERT_TRUE(tablet->Read(&pong));
  EXPECT_EQ(pong.pong().ping_timestamp_us(), 9u);
  EXPECT_TRUE(log_.Contains("[WARN ] [Protocol] Promoted compatibility session key as active"));
  EXPECT_TRUE(log_.Contains("[INFO ] [Session] Transport encryption enabled"));

  // Now the input channel holds the promoted key, and the old one is refused.
  udp.SendSealed(input_port_, touch.SerializeAsString(), compat);
  ASSERT_TRUE(WaitFor([&] { return injector_.load()->Events().size() == 2; }));
  udp.SendSealed(input_port_, touch.SerializeAsString());
  udp.SendSealed(input_port_, touch.SerializeAsString(), compat);
  ASSERT_TRUE(WaitFor([&] { return injector_.load()->Events().size() == 3; }));
}

TEST_F(SessionManagerTest, TabletThatSaysHelloAgainStartsItsCountersOver) {
  StartSession();
  auto tablet = ConnectAuthenticated();
  pb::ControlMessage ping;
  ping.mutable_ping()->set_send_timestamp_us(1);
  pb::ControlMessage answer;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(tablet->Send(ping));
    ASSERT_TRUE(tablet->Read(&answer));
  }
  // The new Hello (sealed under the old key) agrees new keys; the tablet's
  // first frame under them carries counter 0 again and must not be stale.
  ASSERT_TRUE(tablet->Send(HelloMessage("tab-1")));
  pb::ControlMessage stopped;  // the stream-stopped notice of the old authentication
  ASSERT_TRUE(tablet->Read(&stopped));
  ASSERT_TRUE(stopped.has_stream_stopped());
  ASSERT_TRUE(tablet->Read(&answer));
  ASSERT_EQ(answer.hello_ack().result(), pb::AUTH_RESULT_OK);
  log_.Clear();
  ping.mutable_ping()->set_send_timestamp_us(2);
  ASSERT_TRUE(tablet->Send(ping));
  ASSERT_TRUE(tablet->Read(&answer));
  EXPECT_EQ(answer.pong().ping_timestamp_us(), 2u);
  EXPECT_FALSE(log_.Contains("replayed/stale"));
}

TEST_F(SessionManagerTest, TheStreamReachesThePunchedPortAndServesNacks) {
  StartSession();
  auto tablet = ConnectAuthenticated();
  TestDatagrams udp;
  udp.SendSealed(input_port_, "OVDMP1");
  ASSERT_TRUE(WaitFor([&] { return log_.Contains("Media UDP remote endpoint updated via punch"); }));

  // A modest stream: the resend must not drown in a full receive buffer, nor
  // the first fragment leave the history while the tablet asks again.
  pb::ControlMessage quality;
  quality.mutable_set_quality_profile()->set_target_bitrate_kbps(2000);
  quality.mutable_set_quality_profile()->set_target_fps(30);
  ASSERT_TRUE(tablet->Send(quality));
  ASSERT_TRUE(tablet->Send(StartStreamMessage()));
  pb::ControlMessage started;
  ASSERT_TRUE(ReadUntil(*tablet, &started, [](const pb::ControlMessage& m) { return m.has_stream_started(); }));
  EXPECT_EQ(started.stream_started().session_id(), "s-1");
  ASSERT_TRUE(WaitFor([&] { return session_->Streaming(); }));
  EXPECT_TRUE(WaitFor([&] { return log_.Contains(" @30fps 2000kbps"); }));

  // Sealed video fragments: version 1, type 1, the first one of a keyframe.
  std::string datagram;
  ASSERT_TRUE(udp.ReceiveMedia(&datagram));
  ASSERT_GE(datagram.size(), 20u);
  EXPECT_EQ(datagram[0], 1);
  EXPECT_EQ(datagram[1], 1);
  EXPECT_EQ(datagram[2] & 1, 1) << "the stream opens with a keyframe";
  const uint32_t first_seq = LoadBe32(reinterpret_cast<const uint8_t*>(datagram.data()) + 4);
  EXPECT_EQ(first_seq, 0u);

  // A lost fragment asked for again comes back, byte for byte. Loopback UDP
  // may itself drop datagrams on a busy machine, so the tablet asks up to
  // three times, each after the retry interval.
  pb::ControlMessage nack;
  nack.mutable_nack_request()->set_stream_type(1);
  nack.mutable_nack_request()->add_sequence_numbers(first_seq);
  bool resent = false;
  for (int attempt = 0; attempt < 3 && !resent; ++attempt) {
    clock_.AdvanceMs(250);
    ASSERT_TRUE(tablet->Send(nack));
    for (int i = 0; i < 3000 && !resent; ++i) {
      std::string again;
      if (!udp.ReceiveMedia(&again, 500)) break;
      resent = again.size() >= 8 && again[1] == 1 &&
               LoadBe32(reinterpret_cast<const uint8_t*>(again.data()) + 4) == first_seq;
      if (resent) {
        EXPECT_EQ(again, datagram);
      }
    }
  }
  EXPECT_TRUE(resent);

  ASSERT_TRUE(tablet->Send(StopStreamMessage()));
  ASSERT_TRUE(WaitFor([&] { return !session_->Streaming(); }));
}

}  // namespace
}  // namespace orvane

namespace orvane {
namespace {

pb::ControlMessage QualityProfileMessage(uint32_t kbps, uint32_t fps) {
  pb::ControlMessage message;
  message.mutable_set_quality_profile()->set_target_bitrate_kbps(kbps);
  message.mutable_set_quality_profile()->set_target_fps(fps);
  return message;
}

TEST_F(SessionManagerTest, TheTabletsBitrateIsBoundedAndReachesSenderBudgetAndFrameLoop) {
  video_stream_ = true;
  StartSession();
  auto tablet = ConnectAuthenticated();
  // Asked before the stream: far above what a 1080p H.264 stream may use.
  ASSERT_TRUE(tablet->Send(QualityProfileMessage(160000, 0)));
  ASSERT_TRUE(tablet->Send(StartStreamMessage()));
  pb::ControlMessage started;
  ASSERT_TRUE(ReadUntil(*tablet, &started, [](const pb::ControlMessage& m) { return m.has_stream_started(); }));
  ASSERT_TRUE(WaitFor([&] { return log_.Contains("[Session 0] Streaming to"); }));
  const auto expect_rates = [&](uint32_t kbps) {
    const SessionManager::StreamRates rates = session_->CurrentStreamRates();
    EXPECT_EQ(rates.frame_loop_kbps, kbps);
    EXPECT_EQ(rates.pacing.pacing_kbps, media::ComputePacingRate(kbps, 0).pacing_kbps);
    EXPECT_DOUBLE_EQ(rates.retransmit_budget_bytes_per_us, kbps * 0.25 * 1000.0 / 8.0 / 1e6);
  };
  expect_rates(25000);

  // A profile that names only a frame rate leaves the bitrate alone.
  ASSERT_TRUE(tablet->Send(QualityProfileMessage(0, 30)));
  ASSERT_TRUE(WaitFor([&] { return log_.Contains("[Protocol] SetQualityProfile: bitrate=0 fps=30"); }));
  const uint64_t passes = session_->CompletedPasses();
  ASSERT_TRUE(WaitFor([&] { return session_->CompletedPasses() > passes + 2; }));
  expect_rates(25000);

  ASSERT_TRUE(tablet->Send(QualityProfileMessage(12000, 0)));
  ASSERT_TRUE(WaitFor([&] { return session_->CurrentStreamRates().frame_loop_kbps == 12000; }));
  expect_rates(12000);
  EXPECT_TRUE(log_.Contains("[ABR] Client quality profile target=12000 kbps -- bitrate 25000 -> 12000 kbps"));

  // The tablet's loss reaches the sender's pacing and the stream's audio.
  pb::ControlMessage stats;
  stats.mutable_stats_report()->set_packet_loss_pct(5.0f);
  stats.mutable_stats_report()->set_route_class("usb_ncm");
  ASSERT_TRUE(tablet->Send(stats));
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(stream_mu_);
    return !audio_conditions_.empty();
  }));
  {
    std::lock_guard<std::mutex> lock(stream_mu_);
    EXPECT_EQ(audio_conditions_.back(), std::make_pair(5.0f, true));
  }
  const SessionManager::StreamRates lossy = session_->CurrentStreamRates();
  EXPECT_EQ(lossy.pacing.pacing_kbps, media::ComputePacingRate(lossy.frame_loop_kbps, 5).pacing_kbps);

  ASSERT_TRUE(tablet->Send(StopStreamMessage()));
  ASSERT_TRUE(WaitFor([&] { return !session_->Streaming(); }));
}

TEST_F(SessionManagerTest, AStreamRunsTheFrameLoopAndReturnsItsEncoderUnit) {
  video_stream_ = true;
  budget_ = std::make_shared<EncoderBudget>(clock_);
  StartSession();
  auto tablet = ConnectAuthenticated();
  ASSERT_TRUE(tablet->Send(StartStreamMessage()));
  bool started = false;
  for (int i = 0; i < 10 && !started; ++i) {
    pb::ControlMessage message;
    ASSERT_TRUE(tablet->Read(&message));
    started = message.has_stream_started();
  }
  ASSERT_TRUE(started);
  EXPECT_TRUE(WaitFor([&] { return log_.Contains("[Session 0] Streaming to"); }));
  EXPECT_TRUE(log_.Contains("[Session 0] Encoder plan=software (hardware 0 running, cap unknown; software 0 of 2)"));
  EXPECT_EQ(budget_->SoftwareRunning(), 1u);
  ASSERT_TRUE(WaitFor([&] {
    auto* encoder = encoder_.load();
    return encoder != nullptr && encoder->SubmittedFrames().size() >= 5;
  }));
  ASSERT_TRUE(tablet->Send(StopStreamMessage()));
  EXPECT_TRUE(WaitFor([&] { return !session_->Streaming() && log_.Contains("[FrameLoop] Stopped after"); }));
  EXPECT_TRUE(WaitFor([&] { return budget_->SoftwareRunning() == 0; }));
}

TEST_F(SessionManagerTest, AStreamWithoutAFreeEncoderIsRefused) {
  struct Case {
    bool budget;
    bool encoder_starts;
    uint32_t code;
  } cases[] = {{true, true, 2501}, {false, false, 2}};
  for (const Case& c : cases) {
    video_stream_ = true;
    encoder_starts_ = c.encoder_starts;
    budget_ = c.budget ? std::make_shared<EncoderBudget>(clock_) : nullptr;
    if (budget_) {
      budget_->Reserve(0);
      budget_->Reserve(0);  // two software encoders run already
    }
    StartSession();
    auto tablet = ConnectAuthenticated();
    ASSERT_TRUE(tablet->Send(StartStreamMessage()));
    uint32_t error = 0;
    bool stopped = false;
    for (int i = 0; i < 10 && !stopped; ++i) {
      pb::ControlMessage message;
      ASSERT_TRUE(tablet->Read(&message));
      if (message.has_error()) error = message.error().error_code();
      stopped = message.has_stream_stopped();
    }
    EXPECT_TRUE(stopped) << c.code;
    EXPECT_EQ(error, c.code);
    EXPECT_FALSE(session_->Streaming());
    if (budget_) {
      EXPECT_EQ(budget_->SoftwareRunning(), 2u);
    }
    tablet.reset();
    StopSession();
  }
}

}  // namespace
}  // namespace orvane

namespace orvane {
namespace {

// A virtual display back-end whose acquire ends when the virtual clock
// reaches its time (or the test lets it go).
class ScriptedDisplays final : public IVirtualDisplayManager {
 public:
  explicit ScriptedDisplays(ManualClock& clock) : clock_(clock) {}
  VirtualDisplayAcquireResult result;
  std::atomic<uint64_t> ready_after_ms{0};
  std::atomic<bool> let_go{false};
  std::atomic<bool> started{false};

  bool DriverAvailable() override { return true; }
  bool DefaultExtended() override { return true; }
  VirtualDisplayAcquireResult Acquire(size_t, const VirtualDisplayMode& mode) override {
    const uint64_t start = clock_.TickMs();
    started = true;
    while (clock_.TickMs() - start < ready_after_ms.load() && !let_go.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::lock_guard<std::mutex> lock(mu_);
    VirtualDisplayAcquireResult r = result;
    r.mode = mode;
    held_ = IsAcquireSuccess(r.kind);
    return r;
  }
  VirtualDisplayModeLimits GetModeLimits() override { return {}; }
  bool HoldsMonitor(size_t) override {
    std::lock_guard<std::mutex> lock(mu_);
    return held_;
  }
  std::string GetMonitorId(size_t) override {
    std::lock_guard<std::mutex> lock(mu_);
    return held_ ? result.monitor_id : std::string();
  }
  void Release(size_t, const std::string& reason) override {
    std::lock_guard<std::mutex> lock(mu_);
    held_ = false;
    releases_.push_back(reason);
  }
  void MarkTabletReconnected(size_t) override {}
  std::vector<std::string> Releases() {
    std::lock_guard<std::mutex> lock(mu_);
    return releases_;
  }

 private:
  ManualClock& clock_;
  std::mutex mu_;
  bool held_ = false;
  std::vector<std::string> releases_;
};

std::string FirstMonitorId() { return MakePlatformMonitorEnumerator()->EnumerateMonitors().at(0).id; }

// Stops the session before the test's back-end goes, also when an assertion
// ends the test early.
struct StopSessionFirst {
  std::function<void()> stop;
  ~StopSessionFirst() { stop(); }
};

// Reads until StreamStarted or StreamStopped; the error code seen on the way.
struct StartOutcome {
  bool started = false;
  bool stopped = false;
  uint32_t error = 0;
  pb::StreamStarted message;
};

TEST_F(SessionManagerTest, AVirtualMonitorIsWaitedForWithPlaceholderFrames) {
  ScriptedDisplays displays(clock_);
  displays.result.kind = VirtualDisplayAcquireKind::kCreated;
  displays.result.monitor_id = FirstMonitorId();
  displays.ready_after_ms = 1000;
  displays_ = &displays;
  StopSessionFirst guard{[this, &displays] {
    displays.let_go = true;
    StopSession();
  }};
  video_stream_ = true;
  StartSession();
  auto tablet = ConnectAuthenticated();
  TestDatagrams udp;
  udp.SendSealed(input_port_, "OVDMP1");
  ASSERT_TRUE(WaitFor([&] { return log_.Contains("Media UDP remote endpoint updated via punch"); }));
  ASSERT_TRUE(tablet->Send(StartStreamMessage()));
  // The clock moves only once the acquire has begun, so both count from the same time.
  ASSERT_TRUE(WaitFor([&] { return encoder_.load() != nullptr && displays.started.load(); }));
  const int64_t start_us = clock_.NowUs();
  auto* encoder = encoder_.load();
  size_t expected = 0;
  for (int step = 1; step <= 19; ++step) {
    clock_.AdvanceMs(50);
    const int64_t t = step * 50;
    if (t == 150 || t == 400 || t == 650 || t == 900) {
      ++expected;
      ASSERT_TRUE(WaitFor([&] { return encoder->SubmittedFrames().size() >= expected; })) << t;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  }
  const auto frames = encoder->SubmittedFrames();
  ASSERT_GE(frames.size(), 4u);
  const int64_t want[] = {150'000, 400'000, 650'000, 900'000};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(frames[i].timestamp_us - start_us, want[i]) << i;
  clock_.AdvanceMs(50);  // 1000 ms: the monitor is there
  StartOutcome outcome;
  for (int i = 0; i < 20 && !outcome.started; ++i) {
    pb::ControlMessage message;
    ASSERT_TRUE(tablet->Read(&message));
    if (message.has_stream_started()) {
      outcome.started = true;
      outcome.message = message.stream_started();
    }
  }
  ASSERT_TRUE(outcome.started);
  EXPECT_TRUE(outcome.message.extended_display());
  EXPECT_TRUE(log_.Contains("[Session] Placeholder frame sent while the virtual monitor is created"));
  EXPECT_TRUE(log_.Contains("(created, placeholder=sent)"));
  EXPECT_TRUE(WaitFor([&] { return log_.Contains("[Session 0] Streaming to"); }));
  EXPECT_TRUE(log_.Contains(" as monitor "));
  tablet.reset();
  StopSession();  // before the back-end goes
}

TEST_F(SessionManagerTest, AcquireResultsChooseMirrorOrRefuse) {
  struct Case {
    VirtualDisplayAcquireKind kind;
    bool monitor_exists;
    bool started;
    bool extended;
    pb::MirrorFallbackReason fallback;
    uint32_t error;
    const char* release;
  } cases[] = {
      {VirtualDisplayAcquireKind::kCreated, true, true, true, pb::MIRROR_FALLBACK_REASON_NONE, 0, ""},
      // The monitor is not on the desktop: the id is refused (2401) and the
      // stream mirrors.
      {VirtualDisplayAcquireKind::kCreated, false, true, false, pb::MIRROR_FALLBACK_REASON_MONITOR_NOT_FOUND, 2401,
       "fallback to mirror"},
      {VirtualDisplayAcquireKind::kAddFailed, true, true, false, pb::MIRROR_FALLBACK_REASON_VIRTUAL_DISPLAY_FAILED, 0,
       ""},
      {VirtualDisplayAcquireKind::kDriverNotInstalled, true, true, false,
       pb::MIRROR_FALLBACK_REASON_DRIVER_NOT_INSTALLED, 0, ""},
      {VirtualDisplayAcquireKind::kExtendedModeOff, true, true, false, pb::MIRROR_FALLBACK_REASON_NONE, 0, ""},
      {VirtualDisplayAcquireKind::kNoFreeMonitor, true, false, false, pb::MIRROR_FALLBACK_REASON_NONE, 2502, ""},
      {VirtualDisplayAcquireKind::kRestartPending, true, false, false, pb::MIRROR_FALLBACK_REASON_NONE, 2503, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(VirtualDisplayAcquireKindName(static_cast<int>(c.kind)));
    ScriptedDisplays displays(clock_);
    displays.result.kind = c.kind;
    displays.result.monitor_id = c.monitor_exists ? FirstMonitorId() : "\\\\.\\DISPLAY77";
    displays.result.monitor_count = 3;
    displays_ = &displays;
    StopSessionFirst guard{[this, &displays] {
    displays.let_go = true;
    StopSession();
  }};
    video_stream_ = true;
    StartSession();
    auto tablet = ConnectAuthenticated();
    ASSERT_TRUE(tablet->Send(StartStreamMessage()));
    StartOutcome outcome;
    std::string error_text;
    for (int i = 0; i < 20 && !outcome.started && !outcome.stopped; ++i) {
      pb::ControlMessage message;
      ASSERT_TRUE(tablet->Read(&message));
      if (message.has_error()) {
        outcome.error = message.error().error_code();
        error_text = message.error().error_description();
      }
      if (message.has_stream_started()) {
        outcome.started = true;
        outcome.message = message.stream_started();
      }
      outcome.stopped = message.has_stream_stopped();
    }
    EXPECT_EQ(outcome.started, c.started);
    EXPECT_EQ(outcome.error, c.error);
    if (c.error == 2502) {
      EXPECT_NE(error_text.find("(3)"), std::string::npos) << error_text;
    }
    if (c.started) {
      EXPECT_EQ(outcome.message.extended_display(), c.extended);
      EXPECT_EQ(outcome.message.mirror_fallback_reason(), c.fallback);
    } else {
      EXPECT_TRUE(outcome.stopped);
    }
    if (*c.release != '\0') {
      const auto releases = displays.Releases();
      EXPECT_NE(std::find(releases.begin(), releases.end(), c.release), releases.end());
    }
    tablet.reset();
    StopSession();
    displays_ = nullptr;
  }
}

TEST_F(SessionManagerTest, APortraitTabletMirroringALandscapeMonitorStaysLandscape) {
  video_stream_ = true;
  StartSession();
  auto tablet = ConnectAuthenticated();
  pb::ControlMessage turn;
  turn.mutable_display_orientation_update()->set_orientation(pb::DISPLAY_ORIENTATION_PORTRAIT);
  ASSERT_TRUE(tablet->Send(turn));
  ASSERT_TRUE(WaitFor([&] { return log_.Contains("Device orientation portrait noted (no active stream to re-orient)"); }));
  ASSERT_TRUE(tablet->Send(StartStreamMessage()));
  ASSERT_TRUE(WaitFor([&] { return log_.Contains("[Session 0] Streaming to"); }));
  ASSERT_TRUE(tablet->Send(turn));
  EXPECT_TRUE(WaitFor(
      [&] { return log_.Contains("[Session 0] Device orientation portrait: stream stays 1920x1080 (mirroring a monitor)"); }));
  EXPECT_TRUE(session_->Streaming());
}

TEST_F(SessionManagerTest, AnUnknownMonitorIsRefusedAndTheStreamGoesOn) {
  video_stream_ = true;
  StartSession();
  auto tablet = ConnectAuthenticated();
  ASSERT_TRUE(tablet->Send(StartStreamMessage()));
  ASSERT_TRUE(WaitFor([&] { return log_.Contains("[Session 0] Streaming to"); }));
  pb::ControlMessage select;
  select.mutable_select_monitor()->set_monitor_id("\\\\.\\DISPLAY42");
  ASSERT_TRUE(tablet->Send(select));
  uint32_t error = 0;
  for (int i = 0; i < 30 && error == 0; ++i) {
    pb::ControlMessage message;
    ASSERT_TRUE(tablet->Read(&message));
    if (message.has_error()) error = message.error().error_code();
  }
  EXPECT_EQ(error, 2401u);
  EXPECT_TRUE(log_.Contains("[Session] Requested monitor is unavailable: "));  // the id escaped
  EXPECT_TRUE(session_->Streaming());
  EXPECT_EQ(log_.Count("[Session 0] Streaming to"), 1u);  // not restarted
}

TEST_F(SessionManagerTest, StoppingDuringTheAcquireGivesTheMonitorBack) {
  ScriptedDisplays displays(clock_);
  displays.result.kind = VirtualDisplayAcquireKind::kCreated;
  displays.result.monitor_id = FirstMonitorId();
  displays.ready_after_ms = 1'000'000;
  displays_ = &displays;
  StopSessionFirst guard{[this, &displays] {
    displays.let_go = true;
    StopSession();
  }};
  video_stream_ = true;
  StartSession();
  auto tablet = ConnectAuthenticated();
  ASSERT_TRUE(tablet->Send(StartStreamMessage()));
  ASSERT_TRUE(WaitFor([&] { return encoder_.load() != nullptr; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  session_->Stop();
  ASSERT_TRUE(WaitFor([&] { return log_.Contains("[Session 0] Virtual monitor acquire abandoned (host stopping)"); }));
  displays.let_go = true;  // the driver's monitor arrives after all
  ASSERT_TRUE(WaitFor([&] {
    const auto r = displays.Releases();
    return std::find(r.begin(), r.end(), "stream start abandoned") != r.end() && !displays.HoldsMonitor(0);
  }));
  EXPECT_FALSE(session_->Streaming());
  tablet.reset();
  StopSession();  // before the back-end goes
}

}  // namespace
}  // namespace orvane

namespace orvane {
namespace {

// Under Wine there is no Media Foundation encoder: the tablet is refused
// with "no free video encoder" and the unit goes back. Elsewhere (Linux
// with libx264, a real Windows PC) the stream starts.
TEST_F(SessionManagerTest, ThePlatformEncoderStreamsOrRefusesWithoutOne) {
  platform_stream_ = true;
  budget_ = std::make_shared<EncoderBudget>(clock_);
  StartSession();
  auto tablet = ConnectAuthenticated();
  pb::ControlMessage quality;
  quality.mutable_set_quality_profile()->set_target_bitrate_kbps(2000);
  quality.mutable_set_quality_profile()->set_target_fps(30);
  ASSERT_TRUE(tablet->Send(quality));
  ASSERT_TRUE(tablet->Send(StartStreamMessage()));
  StartOutcome outcome;
  for (int i = 0; i < 20 && !outcome.started && !outcome.stopped; ++i) {
    pb::ControlMessage message;
    ASSERT_TRUE(tablet->Read(&message));
    if (message.has_error()) outcome.error = message.error().error_code();
    outcome.started = message.has_stream_started();
    outcome.stopped = message.has_stream_stopped();
  }
  if (RunningUnderWine()) {
    EXPECT_TRUE(outcome.stopped);
    EXPECT_EQ(outcome.error, 2501u);
    EXPECT_TRUE(log_.Contains("Stream refused: no video encoder is free"));
  } else {
    EXPECT_TRUE(outcome.started);
    EXPECT_TRUE(WaitFor([&] { return log_.Contains("[Session 0] Streaming to"); }));
  }
  tablet.reset();
  StopSession();
  EXPECT_EQ(budget_->SoftwareRunning() + budget_->HardwareRunning(), 0u);
}

}  // namespace
}  // namespace orvane

namespace orvane {
namespace {

TEST_F(SessionManagerTest, AStreamMapsInputAndReportsADegradedPen) {
  video_stream_ = true;
  StartSession();
  auto tablet = ConnectAuthenticated();
  ASSERT_TRUE(WaitFor([&] { return injector_.load() != nullptr; }));
  PenDegradation pen;
  pen.error = 5;
  pen.reason = "access-denied";
  pen.synthetic_pen = true;
  injector_.load()->SetPenDegradation(pen);
  ASSERT_TRUE(tablet->Send(StartStreamMessage()));
  uint32_t error = 0;
  std::string text;
  for (int i = 0; i < 20 && error == 0; ++i) {
    pb::ControlMessage message;
    ASSERT_TRUE(tablet->Read(&message));
    if (message.has_error()) {
      error = message.error().error_code();
      text = message.error().error_description();
    }
  }
  EXPECT_EQ(error, 2205u);
  EXPECT_EQ(text,
            "pen_fallback err=5 reason=access-denied admin=0 synthetic_pen=1 native_touch=0 "
            "remediation=restart_host_as_admin_and_reconnect");
  EXPECT_TRUE(log_.Contains("[Session] Pen capability degraded: pen_fallback err=5"));
  ASSERT_TRUE(WaitFor([&] { return log_.Contains("[Session 0] Streaming to"); }));
  const InputTarget target = injector_.load()->Target();
  const MonitorInfoData monitor = MakePlatformMonitorEnumerator()->EnumerateMonitors().at(0);
  EXPECT_FALSE(target.primary);
  EXPECT_EQ(target.monitor_name, monitor.id);
  EXPECT_EQ(target.left, monitor.x);
  EXPECT_EQ(target.width, monitor.width);
  EXPECT_EQ(target.stream_width, 1920u);
  EXPECT_EQ(target.stream_height, 1080u);
}

TEST_F(SessionManagerTest, AFrameLoopThreadThatWillNotStartUndoesTheStart) {
  video_stream_ = true;
  budget_ = std::make_shared<EncoderBudget>(clock_);
  start_thread_ = [](std::function<void()>, std::thread*) { return false; };
  StartSession();
  auto tablet = ConnectAuthenticated();
  ASSERT_TRUE(tablet->Send(StartStreamMessage()));
  bool stopped = false;
  for (int i = 0; i < 20 && !stopped; ++i) {
    pb::ControlMessage message;
    ASSERT_TRUE(tablet->Read(&message));
    stopped = message.has_stream_stopped();
  }
  EXPECT_TRUE(stopped);
  EXPECT_TRUE(log_.Contains("[Session 0] Stream start undone: the frame loop did not start"));
  EXPECT_FALSE(session_->Streaming());
  EXPECT_EQ(budget_->SoftwareRunning(), 0u);
  EXPECT_FALSE(log_.Contains("[Session 0] Streaming to"));
}

}  // namespace
}  // namespace orvane

namespace orvane {
namespace {

// A restart marks the pool's restart as pending; a start that then fails
// clears it again, so the pool never waits for a stream that will not come.
TEST_F(SessionManagerTest, AFailedStartAfterARestartClearsTheRestart) {
  StartSession();
  auto tablet = ConnectAuthenticated();
  ASSERT_TRUE(tablet->Send(StartStreamMessage()));
  ASSERT_TRUE(WaitFor([&] { return log_.Contains("[Session 0] Streaming to"); }));
  encoder_starts_ = false;
  ASSERT_TRUE(tablet->Send(StartStreamMessage()));  // restarts the stream
  ASSERT_TRUE(WaitFor([&] { return pool_.Count("stream stopped 0") == 2; }));
  const std::vector<std::string> events = pool_.Events();
  std::vector<std::string> stops;
  for (const std::string& e : events) {
    if (e.rfind("stream stopped", 0) == 0) stops.push_back(e);
  }
  EXPECT_EQ(stops, (std::vector<std::string>{"stream stopped 0 restart pending", "stream stopped 0"}));
  EXPECT_TRUE(log_.Contains("StartStream received while a stream is active; restarting stream"));
  EXPECT_FALSE(session_->Streaming());
}

}  // namespace
}  // namespace orvane
