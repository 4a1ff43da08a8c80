#pragma once
// The virtual display self-test as the host program runs it: like a host it
// first takes the single-instance object, because the self-test works on the
// host's virtual monitors and crash ledger; then it runs over the real
// manager, monitor enumeration and capture front-end.

#include <cstdint>
#include <string>

#include "host/app/single_instance.h"

namespace orvane {

// The self-test's exit code; kVddSelfTestHostRunning (5), with nothing of
// the ledger or the driver touched, when another host owns the instance (or
// the instance cannot be taken). The caller releases the instance.
int RunVddSelfTestAsHost(SingleInstance& instance, const std::string& mode_text, uint32_t seconds);

}  // namespace orvane
