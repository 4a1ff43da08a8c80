#include "host/app/relaunch.h"

#include <cstdio>

#include "host/common/utf.h"

namespace orvane {

bool BuildRelaunchCommandLine(std::string_view program_path, const RelaunchArguments& args,
                              std::string* command_line) {
  if (program_path.empty() || !IsValidUtf8(program_path)) return false;
  for (const char c : program_path) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || byte < 0x20 || byte == 0x7F) return false;
  }
  // The path is counted in UTF-16 units (what CreateProcessW receives); the
  // rest is ASCII.
  const size_t path_units = Utf8ToUtf16(program_path).size();
  if (path_units > kMaxRelaunchCommandLine) return false;

  char tail[160];
  int n = std::snprintf(tail, sizeof tail, " --background --relaunched --media-port %u --monitors %u",
                        static_cast<unsigned>(args.media_port), static_cast<unsigned>(args.monitors));
  std::string options(tail, static_cast<size_t>(n));
  if (args.control_explicit) {
    n = std::snprintf(tail, sizeof tail, " --control-port %u", static_cast<unsigned>(args.control_port));
    options.append(tail, static_cast<size_t>(n));
  }
  if (args.input_explicit) {
    n = std::snprintf(tail, sizeof tail, " --input-port %u", static_cast<unsigned>(args.input_port));
    options.append(tail, static_cast<size_t>(n));
  }
  if (path_units + 2 + options.size() > kMaxRelaunchCommandLine) return false;

  std::string line;
  line.reserve(program_path.size() + 2 + options.size());
  line += '"';
  line += program_path;
  line += '"';
  line += options;
  *command_line = std::move(line);
  return true;
}

}  // namespace orvane
