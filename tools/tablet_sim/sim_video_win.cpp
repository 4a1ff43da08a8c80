// The Windows build of the simulator has no video decoder: access units
// that are not the host's synthetic byte stream are counted as undecodable.

#include "tools/tablet_sim/sim_video.h"

namespace orvane::sim {

std::unique_ptr<IVideoDecoder> MakeBuildVideoDecoder(SimCodec, std::string* why) {
  *why = "this build has no video decoder";
  return nullptr;
}

bool BuildHasVideoDecoder() { return false; }

}  // namespace orvane::sim
