#include "host/app/platform_startup.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#endif

namespace orvane {
namespace {

TEST(PlatformStartupTest, StartsAndStops) {
  ASSERT_TRUE(StartPlatform());
#ifndef _WIN32
  struct sigaction action = {};
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &action), 0);
  EXPECT_EQ(action.sa_handler, SIG_IGN);
#endif
  StopPlatform();
}

}  // namespace
}  // namespace orvane
