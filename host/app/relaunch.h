#pragma once
// Starting the host again in the background after its console window was
// closed: Windows ends a console process shortly after the close event, so
// the host hands over to a fresh process without a console, which takes the
// single-instance mutex once this one is gone.

#include <cstddef>
#include <string>
#include <string_view>

#include "host/app/host_state.h"

namespace orvane {

// The longest command line the relaunch builds, in UTF-16 characters (the
// terminating zero not counted).
inline constexpr size_t kMaxRelaunchCommandLine = 1024;

// "\"<program>\" --background --relaunched --media-port M --monitors N", then
// " --control-port C" when the control port was explicit and
// " --input-port I" when the input port was explicit.
// False when the program path is empty (it could not be read: a path is
// never guessed or cut), is not valid UTF-8, holds a quote or a control
// character, or when the line would be longer than kMaxRelaunchCommandLine.
bool BuildRelaunchCommandLine(std::string_view program_path, const RelaunchArguments& args,
                              std::string* command_line);

// Windows: logs INFO "[Main] Console close intercepted -- relaunching in
// background", reads the program path and starts it with the command line
// (CreateProcessW: no inherited handles, CREATE_NO_WINDOW |
// CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS); logs the outcome.
// Linux: not supported (a closed terminal sends SIGHUP, which shuts the host
// down); returns false without doing anything.
bool RelaunchInBackground(const RelaunchArguments& args);

}  // namespace orvane
