#include "host/security/pairing_code.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvane::security {
namespace {

constexpr uint64_t kSecond = 1'000'000'000ull;
constexpr uint64_t kStart = 1'000 * kSecond;

// Hands out the given draws in order (nullopt = the source fails) and fails
// once they run out.
struct ScriptedRandom {
  std::vector<std::optional<uint32_t>> draws;
  size_t used = 0;

  PairingCodeManager::RandomSource Source() {
    return [this](uint32_t* value) {
      if (used >= draws.size()) return false;
      const auto draw = draws[used++];
      if (!draw) return false;
      *value = *draw;
      return true;
    };
  }
};

// Accepts nothing / everything.
const PairingCodeManager::Matcher kWrong = [](const std::string&) { return false; };
const PairingCodeManager::Matcher kRight = [](const std::string&) { return true; };

// A manager whose codes come from a counter, so every code is valid.
std::unique_ptr<PairingCodeManager> CountingManager() {
  auto counter = std::make_shared<uint32_t>(0);
  return std::make_unique<PairingCodeManager>([counter](uint32_t* value) {
    *value = ++*counter;
    return true;
  });
}

TEST(PairingCodeTest, DrawsBecomeSixDigitCodes) {
  const uint32_t kMax = std::numeric_limits<uint32_t>::max();
  struct Case {
    const char* name;
    std::vector<std::optional<uint32_t>> draws;
    std::string code;
    size_t draws_used;
  };
  std::vector<std::optional<uint32_t>> sixteen_rejected(16, 4'294'000'000u);
  std::vector<std::optional<uint32_t>> fifteen_then_good(15, kMax);
  fifteen_then_good.push_back(5u);
  const Case cases[] = {
      {"largest accepted draw", {4'293'999'999u}, "999999", 1},
      {"leading zeros kept", {17u}, "000017", 1},
      {"limit is drawn again", {4'294'000'000u, 123'456u}, "123456", 2},
      {"maximum is drawn again", {kMax, 1'000'000u}, "000000", 2},
      {"sixteenth draw still counts", fifteen_then_good, "000005", 16},
      {"sixteen rejected draws give no code", sixteen_rejected, "", 16},
      {"a failing source stops at once", {std::nullopt, 42u}, "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedRandom random{c.draws};
    PairingCodeManager manager(random.Source());
    EXPECT_EQ(manager.CurrentCode(kStart), c.code);
    EXPECT_EQ(random.used, c.draws_used);
    EXPECT_EQ(manager.Status(kStart).code, c.code);
  }
}

TEST(PairingCodeTest, SystemRandomMakesCodes) {
  PairingCodeManager manager;
  const std::string code = manager.CurrentCode(kStart);
  ASSERT_EQ(code.size(), 6u);
  for (char c : code) EXPECT_TRUE(c >= '0' && c <= '9') << code;
}

TEST(PairingCodeTest, CodeLapsesAfter120Seconds) {
  auto manager = CountingManager();
  const std::string first = manager->CurrentCode(kStart);
  EXPECT_EQ(first, "000001");
  PairingCodeStatus status = manager->Status(kStart + 20 * kSecond);
  EXPECT_EQ(status.code, first);
  EXPECT_EQ(status.remaining_ns, 100 * kSecond);
  EXPECT_EQ(status.attempts_left, 5u);
  EXPECT_EQ(status.pause_left_ns, 0u);
  EXPECT_EQ(manager->CurrentCode(kStart + 120 * kSecond - 1), first);
  // Status drops the lapsed code but never makes one.
  EXPECT_EQ(manager->Status(kStart + 120 * kSecond).code, "");
  EXPECT_EQ(manager->CurrentCode(kStart + 120 * kSecond), "000002");
}

TEST(PairingCodeTest, LockoutPausesDoubleAndSuccessResetsThem) {
  auto manager = CountingManager();
  uint64_t now = kStart;
  // Five wrong proofs: the fifth clears the code and pauses 30 s.
  auto lock_out = [&]() {
    ASSERT_FALSE(manager->CurrentCode(now).empty());
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(manager->TryCode(now, kWrong).has_value());
  };
  lock_out();
  EXPECT_EQ(manager->Lockouts(), 1u);
  EXPECT_EQ(manager->WrongAttempts(), 0u);
  EXPECT_TRUE(manager->IsPaused(now));
  EXPECT_EQ(manager->Status(now).code, "");
  EXPECT_EQ(manager->Status(now).pause_left_ns, 30 * kSecond);
  EXPECT_EQ(manager->CurrentCode(now + 30 * kSecond - 1), "");
  now += 30 * kSecond;
  EXPECT_FALSE(manager->IsPaused(now));

  lock_out();
  EXPECT_EQ(manager->Lockouts(), 2u);
  EXPECT_EQ(manager->Status(now).pause_left_ns, 60 * kSecond);
  now += 60 * kSecond;

  const std::string code = manager->CurrentCode(now);
  const auto matched = manager->TryCode(now, kRight);
  ASSERT_TRUE(matched.has_value());
  EXPECT_EQ(*matched, code);
  EXPECT_EQ(manager->Lockouts(), 0u);
  EXPECT_EQ(manager->Pairings(), 1u);
  EXPECT_EQ(manager->Status(now).code, "");  // a used code is gone

  lock_out();
  EXPECT_EQ(manager->Status(now).pause_left_ns, 30 * kSecond);
}

TEST(PairingCodeTest, WrongAttemptsOutliveExpiryAndAutomaticRenewal) {
  auto manager = CountingManager();
  uint64_t now = kStart;
  manager->CurrentCode(now);
  for (int i = 0; i < 4; ++i) manager->TryCode(now, kWrong);
  EXPECT_EQ(manager->Status(now).attempts_left, 1u);

  // Waiting out the code does not buy fresh guesses.
  now += 120 * kSecond;
  EXPECT_EQ(manager->CurrentCode(now), "000002");
  EXPECT_EQ(manager->WrongAttempts(), 4u);
  EXPECT_EQ(manager->Status(now).attempts_left, 1u);
  // Neither does clearing the code.
  manager->ClearCode();
  EXPECT_EQ(manager->CurrentCode(now), "000003");
  EXPECT_FALSE(manager->TryCode(now, kWrong).has_value());
  EXPECT_TRUE(manager->IsPaused(now));
  EXPECT_EQ(manager->Lockouts(), 1u);
}

TEST(PairingCodeTest, UserRenewalLiftsPauseAndCount) {
  auto manager = CountingManager();
  const uint64_t now = kStart;
  manager->CurrentCode(now);
  for (int i = 0; i < 5; ++i) manager->TryCode(now, kWrong);
  ASSERT_TRUE(manager->IsPaused(now));
  const std::string code = manager->RegenerateCode(now);
  EXPECT_FALSE(code.empty());
  EXPECT_FALSE(manager->IsPaused(now));
  EXPECT_EQ(manager->CurrentCode(now), code);

  for (int i = 0; i < 3; ++i) manager->TryCode(now, kWrong);
  EXPECT_EQ(manager->RegenerateCode(now).empty(), false);
  EXPECT_EQ(manager->WrongAttempts(), 0u);
  // The lockout count is not the user's to forgive: the next one pauses 60 s.
  for (int i = 0; i < 5; ++i) manager->TryCode(now, kWrong);
  EXPECT_EQ(manager->Status(now).pause_left_ns, 60 * kSecond);
}

TEST(PairingCodeTest, PauseIsCappedWithoutOverflow) {
  const struct {
    uint32_t lockouts;
    uint64_t seconds;
  } cases[] = {{1, 30}, {2, 60}, {3, 120}, {4, 240}, {5, 480}, {6, 600}, {7, 600}, {40, 600}, {64, 600},
               {65, 600}, {std::numeric_limits<uint32_t>::max(), 600}};
  for (const auto& c : cases) {
    EXPECT_EQ(PairingCodeManager::PauseAfterLockouts(c.lockouts), c.seconds * kSecond) << c.lockouts;
  }

  // Forty lockouts in a row through the manager itself.
  auto manager = CountingManager();
  uint64_t now = kStart;
  for (uint32_t n = 1; n <= 40; ++n) {
    ASSERT_FALSE(manager->RegenerateCode(now).empty());
    for (int i = 0; i < 5; ++i) manager->TryCode(now, kWrong);
    ASSERT_EQ(manager->Lockouts(), n);
    ASSERT_EQ(manager->Status(now).pause_left_ns, PairingCodeManager::PauseAfterLockouts(n));
    now += kSecond;
  }
  EXPECT_EQ(manager->Status(now - kSecond).pause_left_ns, 600 * kSecond);
}

TEST(PairingCodeTest, ProofAgainstLapsedCodeCountsNothing) {
  auto manager = CountingManager();
  manager->CurrentCode(kStart);
  bool called = false;
  const auto result = manager->TryCode(kStart + 120 * kSecond, [&](const std::string&) {
    called = true;
    return false;
  });
  EXPECT_FALSE(result.has_value());
  EXPECT_FALSE(called);
  EXPECT_EQ(manager->WrongAttempts(), 0u);
  EXPECT_EQ(manager->Status(kStart + 120 * kSecond).code, "");

  // Without a code or without a matcher nothing is counted either.
  EXPECT_FALSE(manager->TryCode(kStart + 121 * kSecond, kWrong).has_value());
  manager->CurrentCode(kStart + 122 * kSecond);
  EXPECT_FALSE(manager->TryCode(kStart + 122 * kSecond, nullptr).has_value());
  EXPECT_EQ(manager->WrongAttempts(), 0u);
}

TEST(PairingCodeTest, PairedWithinWindow) {
  auto manager = CountingManager();
  EXPECT_FALSE(manager->PairedWithin(kStart, PairingCodeManager::kPairedJustNowNs));
  manager->CurrentCode(kStart);
  ASSERT_TRUE(manager->TryCode(kStart, kRight).has_value());
  EXPECT_TRUE(manager->PairedWithin(kStart + 10 * kSecond, PairingCodeManager::kPairedJustNowNs));
  EXPECT_FALSE(manager->PairedWithin(kStart + 10 * kSecond + 1, PairingCodeManager::kPairedJustNowNs));
}

// The callback re-enters the manager; were it called under the lock, the
// test would deadlock.
TEST(PairingCodeTest, ChangeCallbackRunsOutsideTheLock) {
  auto manager = CountingManager();
  uint64_t now = kStart;
  int calls = 0;
  std::string seen;
  manager->SetChangeCallback([&]() {
    ++calls;
    seen = manager->Status(now).code;
    manager->IsPaused(now);
    manager->CurrentCode(now);  // may itself generate (and call back) while paused is over
  });

  manager->CurrentCode(now);  // generated
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen, "000001");
  manager->CurrentCode(now);  // unchanged: no call
  EXPECT_EQ(calls, 1);

  manager->TryCode(now, kRight);  // used; the callback makes the next code
  EXPECT_EQ(calls, 3);
  manager->ClearCode();  // had a code; the callback makes the next code
  EXPECT_EQ(calls, 5);
  manager->SetChangeCallback([&]() {
    ++calls;
    manager->Status(now);
  });
  manager->ClearCode();
  calls = 0;
  manager->ClearCode();  // no code: no call
  EXPECT_EQ(calls, 0);
  manager->RegenerateCode(now);
  EXPECT_EQ(calls, 1);
  for (int i = 0; i < 5; ++i) manager->TryCode(now, kWrong);  // only the lockout calls back
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace orvane::security
