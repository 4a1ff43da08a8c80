#include <gtest/gtest.h>

#include <cstdio>

#include "host/common/logger.h"
#ifdef _WIN32
#include <winsock2.h>
#endif
#include "host/common/platform_info.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
#ifdef _WIN32
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
    std::fprintf(stderr, "WSAStartup failed\n");
    return 1;
  }
#endif
  if (orvane::RunningUnderWine()) std::printf("Running under Wine: tests that need what Wine lacks are skipped\n");
  // Keep test output readable: log lines reach observers, not the console.
  orvane::Logger::Instance().SetStdoutEnabled(false);
  const int rc = RUN_ALL_TESTS();
#ifdef _WIN32
  WSACleanup();
#endif
  return rc;
}
