// OrvaneVddSetup: installs, removes and restarts the Virtual Display Driver
// and changes its settings file; one command per run.

#include "setup_tool/setup_commands.h"
#include "setup_tool/setup_console.h"
#include "setup_tool/setup_system.h"

namespace {

class ConsoleOutput final : public orvane::vdd_setup::ISetupOutput {
 public:
  void Out(std::string_view text) override { orvane::vdd_setup::WriteStandardStream(false, text); }
  void Err(std::string_view text) override { orvane::vdd_setup::WriteStandardStream(true, text); }
};

void Diagnostic(std::string_view line) { orvane::vdd_setup::WriteStandardStream(true, line); }

}  // namespace

int main(int argc, char** argv) {
  using namespace orvane::vdd_setup;
  const std::vector<std::string> args = ProgramArguments(argc, argv);
  uint32_t code = kExitDone;
  {
    // The system (and the run lock it may hold) goes before the code leaves.
    const std::unique_ptr<ISetupSystem> system = MakePlatformSetupSystem(&Diagnostic);
    ConsoleOutput output;
    SetupCommands commands(*system, output);
    code = commands.Run(args);
  }
  return FinishRun(code);
}
