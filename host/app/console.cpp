#include "host/app/console.h"

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

}  // namespace orvane
