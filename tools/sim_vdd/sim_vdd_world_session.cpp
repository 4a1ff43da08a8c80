#include "tools/sim_vdd/sim_vdd_world_session.h"

#include <string>

namespace orvane::sim_vdd {

SimWorldFileResult VisitWorldFile(const std::filesystem::path& folder, uint64_t clock_ms, SimVddWorld& world,
                                  const std::function<void(SimVddWorld&)>& body) {
  SimWorldLock lock(folder);
  if (!lock.locked()) {
    return {SimWorldFileStatus::kUnreadable, "cannot be locked (error " + std::to_string(lock.error()) + ")"};
  }
  const SimWorldFileResult loaded = world.Load(folder);
  const bool fresh = loaded.status == SimWorldFileStatus::kAbsent;
  if (fresh) {
    world = SimVddWorld();
  } else if (!loaded.ok()) {
    return loaded;
  }
  const uint64_t before = world.change_count();
  world.FollowClock(clock_ms);
  body(world);
  if (fresh || world.change_count() != before) return world.Save(folder);
  return {};
}

SimWorldFileResult VisitWorldFile(const std::filesystem::path& folder, uint64_t clock_ms,
                                  const std::function<void(SimVddWorld&)>& body) {
  SimVddWorld world;
  return VisitWorldFile(folder, clock_ms, world, body);
}

}  // namespace orvane::sim_vdd
