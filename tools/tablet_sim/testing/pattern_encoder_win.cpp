#include "tools/tablet_sim/testing/pattern_encoder.h"

namespace orvane::sim {

std::unique_ptr<TestPatternEncoder> MakeTestPatternEncoder(const TestPatternEncoderOptions&, std::string* why) {
  *why = "this build has no video encoder";
  return nullptr;
}

}  // namespace orvane::sim
