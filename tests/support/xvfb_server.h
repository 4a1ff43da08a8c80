#pragma once
// A private X server for a test or a benchmark: Xvfb on a free display
// number, 1920 x 1080 at 24 bits, no TCP listener. The server is ended by its
// own process id when the object goes away. The ambient DISPLAY is never
// read or changed here; code that opens "the" display gets the name from the
// caller (a test sets DISPLAY to display_name() for its own scope).

#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <string>

namespace orvane::testing {

class XvfbServer {
 public:
  // How long Start waits for the server to report its display number.
  static constexpr int kStartWaitMs = 10'000;

  // The Xvfb program found on PATH; empty when it is not installed.
  static std::string FindProgram();

  // Starts a server; null with *error set when it could not be started.
  static std::unique_ptr<XvfbServer> Start(std::string* error);

  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // ":N"
  const std::string& display_name() const { return display_name_; }
  pid_t pid() const { return pid_; }

 private:
  XvfbServer(pid_t pid, std::string display_name) : pid_(pid), display_name_(std::move(display_name)) {}
  pid_t pid_;
  std::string display_name_;
};

}  // namespace orvane::testing

// In a test body: starts a server into `var` (a std::unique_ptr<XvfbServer>),
// skips the test with the reason printed when Xvfb is not installed, and
// fails it when the server does not start.
#define ORVANE_START_XVFB_OR_SKIP(var)                                                      \
  std::unique_ptr<::orvane::testing::XvfbServer> var;                                       \
  do {                                                                                      \
    if (::orvane::testing::XvfbServer::FindProgram().empty()) {                             \
      std::printf("[  SKIPPED ] Xvfb is not installed (no Xvfb on PATH)\n");                \
      GTEST_SKIP() << "Xvfb is not installed (no Xvfb on PATH)";                            \
    }                                                                                       \
    std::string xvfb_error_;                                                                \
    var = ::orvane::testing::XvfbServer::Start(&xvfb_error_);                               \
    ASSERT_NE(var, nullptr) << xvfb_error_;                                                 \
  } while (0)
