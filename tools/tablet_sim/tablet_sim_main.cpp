// orvane-tablet-sim: the tablet's side of the control channel, for trying a
// host by hand and for driving it in end-to-end tests.

#include <cstdio>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/common/logger.h"
#include "host/common/net.h"
#include "tools/tablet_sim/sim_options.h"
#include "tools/tablet_sim/sim_output.h"
#include "tools/tablet_sim/sim_session.h"

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>

#include "host/common/win_text.h"
#endif

namespace {

int RunSim(const std::vector<std::string>& args) {
  using namespace orvane::sim;
  const ParseResult parsed = ParseSimCommandLine(args);
  if (parsed.status == ParseStatus::kHelp) {
    std::fputs(SimUsageText().c_str(), stdout);
    std::fflush(stdout);
    return kSimExitOk;
  }
  SimOutput out(parsed.status == ParseStatus::kRun && parsed.options.quiet);
  if (parsed.status == ParseStatus::kError) {
    out.Error("[Sim] %s (see --help)", parsed.error.c_str());
    return kSimExitUsage;
  }
  const int startup_error = orvane::net::Startup();
  if (startup_error != 0) {
    out.Error("[Sim] Socket start-up failed: error %d", startup_error);
    return kSimExitConnectFailed;
  }
  // The host's key code logs through the host logger; its routine lines
  // would only crowd the simulator's own, its warnings and errors explain a
  // failed derivation or cipher and go to standard error.
  orvane::Logger& logger = orvane::Logger::Instance();
  logger.SetStdoutEnabled(false);
  logger.SetObserver([&out](orvane::LogLevel level, const std::string& message) {
    if (level >= orvane::LogLevel::kWarn) out.Error("%s", message.c_str());
  });
  const int rc = RunTabletSim(parsed.options, out, orvane::SystemClock());
  logger.SetObserver(nullptr);
  orvane::net::Cleanup();
  return rc;
}

}  // namespace

#ifdef _WIN32
int main() {
  std::vector<std::string> args;
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) {
    std::fprintf(stderr, "[Sim] CommandLineToArgvW failed: %lu\n", static_cast<unsigned long>(GetLastError()));
    return orvane::sim::kSimExitUsage;
  }
  for (int i = 1; i < argc; ++i) args.push_back(orvane::FromWide(argv[i]));
  LocalFree(argv);
  return RunSim(args);
}
#else
int main(int argc, char** argv) { return RunSim(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
