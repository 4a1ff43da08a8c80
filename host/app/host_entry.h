#pragma once
// The host program: early modes, single instance, logging, settings, command
// line, platform start-up, the long-lived objects and the network loop, then
// the shutdown in reverse order.

#include <string>
#include <vector>

namespace orvane {

// args excludes the program name; UTF-8. Returns the process exit code.
int RunHost(const std::vector<std::string>& args);

// The extended-display setting in force, decided from the saved keys and the
// driver's availability.
struct ExtendedDisplayDecision {
  bool enabled = false;
  bool user_set = false;
  bool save_needed = false;  // the file lacks a key or holds other values
};
struct HostSettings;
ExtendedDisplayDecision DecideExtendedDisplay(const HostSettings& saved, bool settings_recognised,
                                              bool driver_available);

}  // namespace orvane
