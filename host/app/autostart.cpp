#include "host/app/autostart.h"

#include "host/common/utf.h"

namespace orvane {

std::string StartWithWindowsCommand(std::string_view program_path) {
  if (program_path.empty() || !IsValidUtf8(program_path)) return {};
  for (const char c : program_path) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || byte < 0x20 || byte == 0x7F) return {};
  }
  std::string command;
  command.reserve(program_path.size() + 15);
  command += '"';
  command += program_path;
  command += "\" --background";
  return command;
}

}  // namespace orvane
