#pragma once
// The program's own platform bits: its arguments as UTF-8, writing to the
// standard streams, and how its exit code leaves the process.
// setup_console_win.cpp / setup_console_linux.cpp.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::vdd_setup {

// The arguments after the program name, as UTF-8.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Writes UTF-8 text to standard output or standard error.
void WriteStandardStream(bool error_stream, std::string_view text);

// The process status for the exit code. Windows passes all 32 bits; Linux
// statuses carry 8, so there the code also goes, as decimal text, to the
// file named by ORVANE_VDD_SETUP_EXIT_FILE, and the status is the code
// below 256, else 255.
int FinishRun(uint32_t exit_code);

}  // namespace orvane::vdd_setup
