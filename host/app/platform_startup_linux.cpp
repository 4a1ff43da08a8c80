#include "host/app/platform_startup.h"

#include <errno.h>
#include <signal.h>

#include "host/common/logger.h"

namespace orvane {

bool StartPlatform() {
  // Sends already pass MSG_NOSIGNAL; this covers every other write to a
  // socket or pipe whose reader is gone.
  if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) LogWarn("[Main] Ignoring SIGPIPE failed: errno %d", errno);
  return true;
}

void StopPlatform() {}

}  // namespace orvane
