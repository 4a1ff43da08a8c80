#pragma once
// The Linux launcher of the setup tool (Linux build only), for tests that
// name the tool to run and the clock its wait limit counts on.

#include <memory>
#include <string>

#include "host/common/clock.h"
#include "host/vdd/vdd_apply_launcher.h"

namespace orvane::vdd_apply {

// The name the tool carries beside the host program.
inline constexpr const char* kLinuxToolName = "OrvaneVddSetup";
// The variable naming the file the tool writes its 32-bit exit code to (a
// process status carries only 8 bits).
inline constexpr const char* kExitFileVariable = "ORVANE_VDD_SETUP_EXIT_FILE";

// tool_path empty: the tool beside the host program. The clock measures the
// wait limit; clock must outlive the launcher and every process it starts.
std::unique_ptr<IToolLauncher> MakeLinuxToolLauncher(std::string tool_path, IClock& clock);

}  // namespace orvane::vdd_apply
