#include "host/common/host_result.h"

#include <cstdio>

namespace orvane {

std::string HostResult::ToString() const {
  char buf[64];
  std::snprintf(buf, sizeof buf, " hr=0x%08lX", static_cast<unsigned long>(static_cast<uint32_t>(hr)));
  return "code=" + std::to_string(code) + " msg=" + message + buf;
}

}  // namespace orvane
