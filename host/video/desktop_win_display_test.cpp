// The frame loop's desktop calls on a real (Wine or Windows) desktop.

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "host/video/desktop_redraw.h"
#include "host/video/thread_priority.h"

namespace orvane {
namespace {

TEST(DesktopWinDisplayTest, TheDesktopRedrawsOnRequest) { EXPECT_TRUE(RedrawDesktop()); }

TEST(DesktopWinDisplayTest, SchedulingClassesRegisterOrSayTheyDidNot) {
  for (const char* task : {"Pro Audio", "Playback", "Games"}) {
    std::thread worker([task] {
      ThreadTaskScope scope(task, "orvane-test");
      const char* status = scope.StatusText();
      EXPECT_TRUE(std::strcmp(status, "OK") == 0 || std::strcmp(status, "FAILED") == 0) << task;
    });
    worker.join();
  }
}

}  // namespace
}  // namespace orvane
