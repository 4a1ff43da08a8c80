#pragma once
// One locked visit of a world that several processes share through its
// folder: lock <folder>/world.lock, load world.ini (an absent file is the
// default world), follow the caller's clock, let the caller act, and save
// when something changed or the world was new.

#include <cstdint>
#include <filesystem>
#include <functional>

#include "tools/sim_vdd/sim_vdd_world.h"

namespace orvane::sim_vdd {

// `body` runs only on a world that loaded (or is new); a body that changes
// the state directly calls MarkChanged so that it is saved. The result says
// why the world could not be used (lock failure: kUnreadable with the
// system error in the detail) or saved. `world` is where the visit loads
// it: callers that keep objects bound to one world pass their own.
SimWorldFileResult VisitWorldFile(const std::filesystem::path& folder, uint64_t clock_ms, SimVddWorld& world,
                                  const std::function<void(SimVddWorld&)>& body);
SimWorldFileResult VisitWorldFile(const std::filesystem::path& folder, uint64_t clock_ms,
                                  const std::function<void(SimVddWorld&)>& body);

}  // namespace orvane::sim_vdd
