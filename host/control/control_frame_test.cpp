#include "host/control/control_frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/security/control_key_state.h"
#include "host/security/key_agreement.h"
#include "host/security/secure_frame.h"
#include "orvane_protocol_v1.pb.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

namespace pb = protocol::v1;

std::string HelloBytes(const std::string& client_id) {
  pb::ControlMessage message;
  message.mutable_hello()->set_client_id(client_id);
  message.mutable_hello()->set_client_name("Tablet");
  return message.SerializeAsString();
}

const uint8_t* Data(const std::string& bytes) { return reinterpret_cast<const uint8_t*>(bytes.data()); }

std::string Text(const crypto::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

crypto::Bytes KeyA() { return crypto::Bytes(32, 0xA1); }
crypto::Bytes KeyC() { return crypto::Bytes(32, 0xC3); }

class ControlFrameOpenerTest : public ::testing::Test {
 protected:
  ControlFrameOpenerTest() {
    opener_.SetRekeySender([this](const char* reason, uint64_t epoch) {
      rekeys_.push_back(std::string(reason) + "@" + std::to_string(epoch));
    });
  }

  // A tablet frame: the tablet always uses the plain control prefix.
  std::string Seal(const crypto::Bytes& key, uint64_t counter, const std::string& plaintext = "\x08\x01") {
    return Text(security::SealSecureFrame(tablet_, key, security::kNonceControl, counter,
                                          security::AsBytes(plaintext)));
  }

  ControlFrameVerdict Open(const std::string& frame, bool authenticated = true) {
    last_ = opener_.OpenControlFrame(Data(frame), frame.size(), authenticated);
    return last_.verdict;
  }

  ManualClock clock_;
  testing::LogCapture log_;
  security::ControlKeyState keys_{clock_};
  ControlFrameOpener opener_{keys_, clock_};
  crypto::AesGcm tablet_;
  std::vector<std::string> rekeys_;
  OpenedControlFrame last_;
};

TEST_F(ControlFrameOpenerTest, PlainFramesPassOnlyBeforeAuthentication) {
  const std::string plain = HelloBytes("tab-1");
  EXPECT_EQ(Open(plain, false), ControlFrameVerdict::kPlaintext);
  EXPECT_EQ(last_.data, Data(plain));
  EXPECT_EQ(last_.length, plain.size());

  // Once authenticated every raw frame is refused, each with its line.
  keys_.InstallSessionKey(KeyA());
  EXPECT_EQ(Open(plain), ControlFrameVerdict::kDrop);
  EXPECT_EQ(Open("OVD"), ControlFrameVerdict::kDrop);
  EXPECT_EQ(log_.Count("[WARN ] [Protocol] Dropping raw control frame after authentication"), 2u);
  // Shorter than a header it is raw too, even with the magic.
  EXPECT_EQ(Open(std::string("OVD1\x01\0\0\0\0\0\0\0", 12), false), ControlFrameVerdict::kPlaintext);
}

TEST_F(ControlFrameOpenerTest, WrapperWithoutTheEncryptedFlagIsDropped) {
  keys_.InstallSessionKey(KeyA());
  std::string frame = Seal(KeyA(), 0);
  frame[4] = 0x02;
  EXPECT_EQ(Open(frame), ControlFrameVerdict::kDrop);
  EXPECT_EQ(Open(frame), ControlFrameVerdict::kDrop);
  EXPECT_EQ(log_.Count("[WARN ] [Protocol] Dropping plaintext secure-frame wrapper"), 2u);
  // Other flag bits are ignored.
  frame[4] = 0x03;
  EXPECT_EQ(Open(frame), ControlFrameVerdict::kEncrypted);
}

TEST_F(ControlFrameOpenerTest, EncryptedFramesBeforeTheKeyAreCountedAndRateLimited) {
  const std::string frame = Seal(KeyA(), 7, "abc");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Open(frame, false), ControlFrameVerdict::kDrop);
  EXPECT_EQ(opener_.DroppedWithoutKey(), 3u);
  const std::string line =
      "[WARN ] [Protocol] Dropping encrypted control frame before session key is ready (count=";
  EXPECT_EQ(log_.Count(line), 1u);
  EXPECT_TRUE(log_.Contains(line + "1, ctr=7, payload=19)"));
  clock_.AdvanceMs(ControlFrameOpener::kDropWarningIntervalMs);
  EXPECT_EQ(Open(frame, false), ControlFrameVerdict::kDrop);
  EXPECT_TRUE(log_.Contains(line + "4, ctr=7, payload=19)"));
}

TEST_F(ControlFrameOpenerTest, CountersMustRiseStrictly) {
  keys_.InstallSessionKey(KeyA());
  const struct {
    uint64_t counter;
    ControlFrameVerdict verdict;
    int64_t last_after;
  } steps[] = {
      {0, ControlFrameVerdict::kEncrypted, 0},
      {0, ControlFrameVerdict::kDrop, 0},  // stale
      {2, ControlFrameVerdict::kEncrypted, 2},
      {5, ControlFrameVerdict::kEncrypted, 5},  // need not be consecutive
      {4, ControlFrameVerdict::kDrop, 5},
      {0x8000000000000001ull, ControlFrameVerdict::kDrop, 5},  // negative, always stale
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.counter);
    EXPECT_EQ(Open(Seal(KeyA(), step.counter)), step.verdict);
    EXPECT_EQ(opener_.LastAcceptedCounter(), step.last_after);
    clock_.AdvanceMs(ControlFrameOpener::kDropWarningIntervalMs + 1);
  }
  EXPECT_EQ(opener_.DroppedStale(), 3u);
  EXPECT_EQ(opener_.FailureStreak(), 0u);
  EXPECT_TRUE(log_.Contains("[WARN ] [Protocol] Dropping replayed/stale secure control frame (count=1, ctr=0, "
                            "last_ctr=0, key_state=active)"));
  EXPECT_TRUE(log_.Contains("(count=3, ctr=-9223372036854775807, last_ctr=5, key_state=active)"));
  // The plaintext of an opened frame is handed on.
  EXPECT_EQ(Open(Seal(KeyA(), 9, "hello")), ControlFrameVerdict::kEncrypted);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(last_.data), last_.length), "hello");
}

TEST_F(ControlFrameOpenerTest, FrameWithoutTagFailsAsAuthenticationFailure) {
  keys_.InstallSessionKey(KeyA());
  const std::string frame("OVD1\x01\0\0\0\0\0\0\0\x03", 13);
  EXPECT_EQ(Open(frame), ControlFrameVerdict::kDrop);
  EXPECT_EQ(opener_.FailureStreak(), 1u);
  EXPECT_TRUE(log_.Contains("[WARN ] [Protocol] Failed to decrypt secure control frame (class=auth-failed count=1, "
                            "ctr=3, payload=0, key_len=32, key_fp=" +
                            security::KeyFingerprint(KeyA()) +
                            ", payload_prefix=none, key_state=active compat_promotions=0)"));
  EXPECT_EQ(opener_.LastAcceptedCounter(), -1) << "a failure does not move the counter";
}

TEST_F(ControlFrameOpenerTest, EverySixthFailureAsksForARekeyAtMostEveryOneAndAHalfSeconds) {
  keys_.InstallSessionKey(KeyA());
  const crypto::Bytes wrong(32, 0x99);
  uint64_t counter = 1;
  auto fail = [&](int times) {
    for (int i = 0; i < times; ++i) EXPECT_EQ(Open(Seal(wrong, counter++)), ControlFrameVerdict::kDrop);
  };
  fail(5);
  EXPECT_TRUE(rekeys_.empty());
  fail(1);  // 6th
  ASSERT_EQ(rekeys_.size(), 1u);
  EXPECT_EQ(rekeys_[0], "auth-failed@" + std::to_string(clock_.NowUs()));
  fail(1);  // 7th: not a multiple of six
  clock_.AdvanceUs(static_cast<int64_t>(ControlFrameOpener::kRekeyIntervalUs));
  fail(5);  // 12th, exactly 1.5 s later: still too soon
  EXPECT_EQ(rekeys_.size(), 1u);
  clock_.AdvanceUs(1);
  fail(6);  // 18th
  ASSERT_EQ(rekeys_.size(), 2u);
  EXPECT_EQ(opener_.FailureStreak(), 18u);

  // A frame that opens ends the streak.
  EXPECT_EQ(Open(Seal(KeyA(), counter++)), ControlFrameVerdict::kEncrypted);
  EXPECT_EQ(opener_.FailureStreak(), 0u);
  // The failure lines share one limiter: one per second.
  EXPECT_LE(log_.Count("[WARN ] [Protocol] Failed to decrypt secure control frame"), 3u);
}

TEST_F(ControlFrameOpenerTest, CompatibilityKeyIsPromotedByTheFirstFrameItOpens) {
  keys_.InstallSessionKey(KeyA(), KeyC());
  EXPECT_EQ(Open(Seal(KeyC(), 0)), ControlFrameVerdict::kEncrypted);
  EXPECT_TRUE(last_.promoted);
  EXPECT_EQ(keys_.ActiveKey(), KeyC());
  EXPECT_TRUE(log_.Contains("[WARN ] [Protocol] Decrypted control frame with compatibility session key (ctr=0, "
                            "payload=18, compat_key_fp=" +
                            security::KeyFingerprint(KeyC()) + ")"));
  EXPECT_EQ(Open(Seal(KeyC(), 1)), ControlFrameVerdict::kEncrypted);
  EXPECT_FALSE(last_.promoted);

  // The old active key is gone; its failures are of the exhausted class.
  EXPECT_EQ(Open(Seal(KeyA(), 2)), ControlFrameVerdict::kDrop);
  EXPECT_TRUE(log_.Contains("(class=compat-exhausted count=1, ctr=2"));
}

TEST_F(ControlFrameOpenerTest, NewKeysStartTheCounterOver) {
  keys_.InstallSessionKey(KeyA());
  for (uint64_t c = 0; c < 4; ++c) ASSERT_EQ(Open(Seal(KeyA(), c)), ControlFrameVerdict::kEncrypted);
  ASSERT_EQ(Open(Seal(crypto::Bytes(32, 0x99), 4)), ControlFrameVerdict::kDrop);
  ASSERT_EQ(opener_.FailureStreak(), 1u);

  // A new Hello on the same connection: the tablet restarts at 0.
  keys_.ResetKeys();
  const crypto::Bytes second(32, 0xB2);
  keys_.InstallSessionKey(second);
  EXPECT_EQ(Open(Seal(second, 0)), ControlFrameVerdict::kEncrypted);
  EXPECT_EQ(opener_.FailureStreak(), 0u);
  EXPECT_EQ(opener_.LastAcceptedCounter(), 0);
  // A frame of the old key does not open under the new one.
  EXPECT_EQ(Open(Seal(KeyA(), 5)), ControlFrameVerdict::kDrop);

  // The end of the connection starts everything over.
  opener_.Reset();
  EXPECT_EQ(opener_.LastAcceptedCounter(), -1);
  EXPECT_EQ(opener_.FailureStreak(), 0u);
  EXPECT_EQ(opener_.DroppedStale(), 0u);
}

TEST_F(ControlFrameOpenerTest, FramesInFlightDuringARotationStillOpen) {
  ORVANE_SKIP_UNDER_WINE("BCryptDeriveKey(RAW_SECRET) is a stub in Wine 8");
  security::EphemeralKeyPair tablet_pair;
  ASSERT_TRUE(tablet_pair.Generate());
  pb::Hello hello;
  hello.set_client_id("tab-1");
  hello.set_ephemeral_public_key(Text(tablet_pair.public_key()));
  ASSERT_TRUE(keys_.StartHandshake(hello).usable);
  ASSERT_TRUE(keys_.EstablishAuthV1Keys());
  const crypto::Bytes old_key = keys_.ActiveKey();
  ASSERT_EQ(Open(Seal(old_key, 0)), ControlFrameVerdict::kEncrypted);

  security::EphemeralKeyPair next;
  ASSERT_TRUE(next.Generate());
  pb::KeyRotation rotation;
  rotation.set_next_epoch(keys_.Epoch() + 1);
  rotation.set_ephemeral_public_key(Text(next.public_key()));
  std::string host_answer;
  keys_.HandleKeyRotation(rotation, [&](pb::ControlMessage* message) {
    if (message->has_key_rotation()) host_answer = message->key_rotation().ephemeral_public_key();
    return true;
  });
  const crypto::Bytes new_key = security::DeriveSessionKey(next.key(), security::AsBytes(host_answer), old_key, false);
  ASSERT_EQ(new_key, keys_.ActiveKey());

  // A StopStream the tablet sent before it saw the answer.
  EXPECT_EQ(Open(Seal(old_key, 1)), ControlFrameVerdict::kEncrypted);
  EXPECT_EQ(opener_.FailureStreak(), 0u);
  // The first frame under the new key retires the old one.
  EXPECT_EQ(Open(Seal(new_key, 2)), ControlFrameVerdict::kEncrypted);
  EXPECT_EQ(Open(Seal(old_key, 3)), ControlFrameVerdict::kDrop);
  // The replay rule still holds across the keys.
  EXPECT_EQ(Open(Seal(new_key, 2)), ControlFrameVerdict::kDrop);

  // Without a frame under the new key, the old one retires after its grace.
  rotation.set_next_epoch(keys_.Epoch() + 1);
  ASSERT_TRUE(next.Generate());
  rotation.set_ephemeral_public_key(Text(next.public_key()));
  keys_.HandleKeyRotation(rotation, [](pb::ControlMessage*) { return true; });
  EXPECT_EQ(Open(Seal(new_key, 4)), ControlFrameVerdict::kEncrypted);
  clock_.AdvanceUs(static_cast<int64_t>(security::ControlKeyState::kPreviousKeyGraceUs));
  EXPECT_EQ(Open(Seal(new_key, 5)), ControlFrameVerdict::kDrop);
  EXPECT_TRUE(log_.Contains("class=auth-failed") || log_.Contains("class=epoch-mismatch"));
}

TEST(ControlFrameTest, PeekHelloClientId) {
  const struct {
    const char* name;
    std::string payload;
    bool found;
    const char* id;
  } cases[] = {
      {"hello", HelloBytes("tab-1"), true, "tab-1"},
      {"hello without id", HelloBytes(""), false, ""},
      {"other message", pb::ControlMessage().SerializeAsString(), false, ""},
      {"secure frame", std::string("OVD1xxxx"), false, ""},
      {"garbage", std::string("\xFF\xFF", 2), false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string id = "unchanged";
    EXPECT_EQ(PeekHelloClientId(Data(c.payload), c.payload.size(), &id), c.found);
    if (c.found) {
      EXPECT_EQ(id, c.id);
    }
  }
}

}  // namespace
}  // namespace orvane
