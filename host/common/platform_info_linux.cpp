#include "host/common/platform_info.h"

#include <limits.h>
#include <unistd.h>

#include <vector>

namespace orvane {

bool RunningUnderWine() { return false; }

std::string ComputerNameUtf8() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::string ProgramPathUtf8() {
  std::vector<char> buf(256);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
    if (buf.size() >= 65536) return {};
    buf.resize(buf.size() * 2);
  }
}

}  // namespace orvane
