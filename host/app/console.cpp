#include "host/app/console.h"

#include "host/common/logger.h"

namespace orvane {

ConsoleAction DecideConsoleAction(ConsoleEvent event, ConsoleHandlerMode mode, bool shutdown_requested,
                                  bool relaunch_on_console_close) {
  if (mode == ConsoleHandlerMode::kSelfTest) return ConsoleAction::kNotHandled;
  switch (event) {
    case ConsoleEvent::kInterrupt:
    case ConsoleEvent::kBreak:
    case ConsoleEvent::kLogoff:
    case ConsoleEvent::kShutdown:
      return ConsoleAction::kShutdownSignal;
    case ConsoleEvent::kClose:
      return !shutdown_requested && relaunch_on_console_close ? ConsoleAction::kRelaunch : ConsoleAction::kHandled;
    case ConsoleEvent::kOther:
      return ConsoleAction::kNotHandled;
  }
  return ConsoleAction::kNotHandled;
}

std::string PairingCodeConsoleText(const std::string& code, const std::string& device_name) {
  static const std::string kRule(40, '=');
  return "\n" + kRule + "\n  ORVANE PAIRING CODE: " + code + "\n  Device: " + EscapeUntrusted(device_name) +
         "\n  Valid for 2 minutes.\n  Enter this code in the Android app.\n" + kRule + "\n\n";
}

void PrintPairingCode(const std::string& code, const std::string& device_name, std::FILE* stream) {
  if (stream == nullptr) return;
  const std::string text = PairingCodeConsoleText(code, device_name);
  std::fputs(text.c_str(), stream);
  std::fflush(stream);
}

}  // namespace orvane
