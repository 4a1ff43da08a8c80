#include "host/app/console.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

struct Case {
  const char* name;
  ConsoleEvent event;
  ConsoleHandlerMode mode;
  bool shutdown_requested;
  bool relaunch_flag;
  ConsoleAction expected;
};

TEST(ConsoleTest, PairingCodeBlock) {
  EXPECT_EQ(PairingCodeConsoleText("012345", "Pixel Tab"),
            "\n========================================\n  ORVANE PAIRING CODE: 012345\n  Device: Pixel Tab\n"
            "  Valid for 2 minutes.\n  Enter this code in the Android app.\n"
            "========================================\n\n");
  // A tablet cannot draw on the console.
  EXPECT_NE(PairingCodeConsoleText("1", "x\x1b[2Jy").find("x\\x1B[2Jy"), std::string::npos);
}

TEST(ConsoleTest, DecidesEachEvent) {
  constexpr auto kHost = ConsoleHandlerMode::kHost;
  constexpr auto kSelfTest = ConsoleHandlerMode::kSelfTest;
  const Case cases[] = {
      {"ctrl+c", ConsoleEvent::kInterrupt, kHost, false, true, ConsoleAction::kShutdownSignal},
      {"ctrl+break", ConsoleEvent::kBreak, kHost, false, true, ConsoleAction::kShutdownSignal},
      {"log-off", ConsoleEvent::kLogoff, kHost, false, true, ConsoleAction::kShutdownSignal},
      {"system shutdown", ConsoleEvent::kShutdown, kHost, true, false, ConsoleAction::kShutdownSignal},
      {"close relaunches", ConsoleEvent::kClose, kHost, false, true, ConsoleAction::kRelaunch},
      {"close after exit request", ConsoleEvent::kClose, kHost, true, true, ConsoleAction::kHandled},
      {"close with relaunch cleared", ConsoleEvent::kClose, kHost, false, false, ConsoleAction::kHandled},
      {"other event", ConsoleEvent::kOther, kHost, false, true, ConsoleAction::kNotHandled},
      // A self-test ends on Ctrl+C or close and never comes back as a host.
      {"self-test ctrl+c", ConsoleEvent::kInterrupt, kSelfTest, false, true, ConsoleAction::kNotHandled},
      {"self-test close", ConsoleEvent::kClose, kSelfTest, false, true, ConsoleAction::kNotHandled},
      {"self-test log-off", ConsoleEvent::kLogoff, kSelfTest, false, true, ConsoleAction::kNotHandled},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DecideConsoleAction(c.event, c.mode, c.shutdown_requested, c.relaunch_flag), c.expected);
  }
}

}  // namespace
}  // namespace orvane
