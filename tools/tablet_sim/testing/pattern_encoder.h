#pragma once
// For tests: access units of the test pattern, encoded the way the host's
// Linux encoder does it (libx264 or libx265 through libavcodec, ultrafast,
// zero latency, Annex B with the parameter sets in every keyframe). Pictures
// of the source size are letterboxed into the encoder size with the host's
// own scaler and converted with its own BT.709 conversion. Builds without
// libavcodec (Windows) make no encoder: the tests that need one skip.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/tablet_sim/sim_video.h"

namespace orvane::sim {

struct TestPatternEncoderOptions {
  SimCodec codec = SimCodec::kH264;
  uint32_t source_width = 320;
  uint32_t source_height = 180;
  uint32_t width = 320;  // the encoder's picture
  uint32_t height = 180;
  uint32_t fps = 30;
  uint32_t kbps = 2000;
};

struct EncodedUnit {
  std::vector<uint8_t> bytes;
  bool keyframe = false;
};

class TestPatternEncoder {
 public:
  virtual ~TestPatternEncoder() = default;
  // Encodes test pattern picture `counter`; `keyframe` forces an IDR (the
  // first picture is one anyway). False with *why when the encoder fails or
  // gives no access unit.
  virtual bool Encode(uint64_t counter, bool keyframe, EncodedUnit* out, std::string* why) = 0;
};

// Null (with *why) where the build has no encoder or it cannot be opened.
std::unique_ptr<TestPatternEncoder> MakeTestPatternEncoder(const TestPatternEncoderOptions& options, std::string* why);

}  // namespace orvane::sim
