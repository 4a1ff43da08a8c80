#pragma once

#include <string>

namespace orvane {

// True when the Windows build runs under Wine (ntdll exports wine_get_version).
// Always false in the Linux build.
bool RunningUnderWine();

// This machine's name as UTF-8 (Windows: the wide computer name; Linux: the
// host name). Empty when it cannot be read.
std::string ComputerNameUtf8();

// The running program's full path as UTF-8; empty (never truncated) on failure.
std::string ProgramPathUtf8();

}  // namespace orvane
