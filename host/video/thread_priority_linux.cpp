#include <pthread.h>

#include <cstring>
#include <string>

#include "host/common/logger.h"
#include "host/video/thread_priority.h"

namespace orvane {

void* RegisterThreadTask(const char* /*task*/, const char* thread_name) {
  // Thread names are at most 15 bytes.
  const std::string name = std::string(thread_name).substr(0, 15);
  const int rc = pthread_setname_np(pthread_self(), name.c_str());
  if (rc != 0) LogDebug("[FrameLoop] pthread_setname_np(%s) failed: %d", name.c_str(), rc);
  return nullptr;
}

void RevertThreadTask(void* /*handle*/) {}

}  // namespace orvane
