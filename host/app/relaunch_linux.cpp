#include "host/app/relaunch.h"

namespace orvane {

// A closed terminal sends SIGHUP, which the console handler treats as a
// shutdown, so there is nothing to relaunch.
bool RelaunchInBackground(const RelaunchArguments& /*args*/) { return false; }

}  // namespace orvane
