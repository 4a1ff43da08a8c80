#include "host/app/host_state.h"

namespace orvane {

HostState& GetHostState() {
  // Never destroyed: threads may read it until the process ends.
  static HostState* state = new HostState();
  return *state;
}

}  // namespace orvane
