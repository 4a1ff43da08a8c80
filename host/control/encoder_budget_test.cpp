#include "host/control/encoder_budget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace orvane {
namespace {

TEST(EncoderBudgetTest, PlansByHardwareCapAndSoftwareRoom) {
  struct Case {
    const char* name;
    uint32_t hardware_encoders;
    int hardware_before;  // units already running
    int software_before;
    bool learn_cap_of_two;
    const char* plan;
  } cases[] = {
      {"hardware free", 1, 0, 0, false, "hardware"},
      {"cap reached, software left", 1, 2, 0, true, "software"},
      {"cap reached, software full", 1, 2, 2, true, "refuse"},
      {"no hardware encoder", 0, 0, 1, false, "software"},
      {"nothing left", 0, 0, 2, false, "refuse"},
  };
  for (const auto& c : cases) {
    ManualClock clock;
    EncoderBudget budget(clock);
    for (int i = 0; i < c.hardware_before; ++i) ASSERT_EQ(budget.Reserve(1).unit, EncoderUnit::kHardware) << c.name;
    if (c.learn_cap_of_two) {
      ASSERT_EQ(budget.Reserve(1).unit, EncoderUnit::kHardware) << c.name;
      budget.HardwareFailed();  // a third hardware encoder would not start
      budget.Release(EncoderUnit::kSoftware, false);
      ASSERT_EQ(budget.Cap(), 2) << c.name;
    }
    for (int i = 0; i < c.software_before; ++i) budget.Convert(EncoderUnit::kNone, EncoderUnit::kSoftware);
    EXPECT_STREQ(budget.Reserve(c.hardware_encoders).Name(), c.plan) << c.name;
  }
}

TEST(EncoderBudgetTest, TheLearnedCapIsForgottenAfterTenMinutesOrAStop) {
  ManualClock clock;
  EncoderBudget budget(clock);
  budget.Reserve(1);
  budget.Reserve(1);
  EXPECT_EQ(budget.HardwareFailed(), EncoderUnit::kSoftware);
  EXPECT_EQ(budget.Cap(), 1);
  EncoderBudget::Plan plan = budget.Reserve(1);
  EXPECT_STREQ(plan.Name(), "software");
  EXPECT_EQ(plan.CapText(), "1");
  clock.AdvanceMs(EncoderBudget::kCapLifetimeMs);
  plan = budget.Reserve(1);
  EXPECT_STREQ(plan.Name(), "hardware");
  EXPECT_EQ(plan.CapText(), "unknown");
  budget.Release(EncoderUnit::kHardware, true);
  EXPECT_EQ(budget.Cap(), -1);
  budget.Release(EncoderUnit::kSoftware, false);
  budget.Release(EncoderUnit::kSoftware, false);
  budget.Release(EncoderUnit::kSoftware, false);  // never below zero
  EXPECT_EQ(budget.SoftwareRunning(), 0u);
}

TEST(EncoderBudgetTest, SessionsPlanningAtOnceNeverExceedTwoSoftwareUnits) {
  for (int round = 0; round < 50; ++round) {
    ManualClock clock;
    EncoderBudget budget(clock);
    std::atomic<int> granted{0};
    std::vector<std::thread> sessions;
    for (int i = 0; i < 4; ++i) {
      sessions.emplace_back([&] {
        if (budget.Reserve(0).unit == EncoderUnit::kSoftware) granted++;
      });
    }
    for (auto& t : sessions) t.join();
    ASSERT_EQ(granted.load(), 2);
    ASSERT_EQ(budget.SoftwareRunning(), 2u);
  }
}

}  // namespace
}  // namespace orvane
