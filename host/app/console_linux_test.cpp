#include "host/app/console.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace orvane {
namespace {

bool HandlerIsDefault(int signal_number) {
  struct sigaction action = {};
  return sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler == SIG_DFL;
}

TEST(ConsoleLinuxTest, TerminationSignalsReachTheShutdownCallback) {
  std::mutex mu;
  std::condition_variable cv;
  int calls = 0;
  ConsoleControlHandler handler;
  ASSERT_TRUE(handler.Install(ConsoleHandlerMode::kHost, {[&] {
                                                            std::lock_guard<std::mutex> lock(mu);
                                                            ++calls;
                                                            cv.notify_all();
                                                          },
                                                          nullptr}));
  // A second handler is refused while one is installed.
  ConsoleControlHandler other;
  EXPECT_FALSE(other.Install(ConsoleHandlerMode::kHost, {}));

  int expected = 0;
  for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    ASSERT_EQ(kill(getpid(), signal_number), 0);
    ++expected;
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return calls >= expected; }));
  }

  handler.Remove();
  EXPECT_TRUE(HandlerIsDefault(SIGTERM));
  EXPECT_TRUE(HandlerIsDefault(SIGINT));
  EXPECT_TRUE(HandlerIsDefault(SIGHUP));
  // Installing again works once the first is gone.
  EXPECT_TRUE(other.Install(ConsoleHandlerMode::kHost, {}));
}

TEST(ConsoleLinuxTest, SelfTestKeepsTheDefaultActions) {
  ConsoleControlHandler handler;
  ASSERT_TRUE(handler.Install(ConsoleHandlerMode::kSelfTest, {[] { FAIL() << "no callback in self-test mode"; }, nullptr}));
  EXPECT_TRUE(HandlerIsDefault(SIGTERM));
  EXPECT_TRUE(HandlerIsDefault(SIGINT));
  EXPECT_TRUE(HandlerIsDefault(SIGHUP));
}

}  // namespace
}  // namespace orvane
