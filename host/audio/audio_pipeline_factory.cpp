// Kept apart from audio_pipeline.cpp so that programs using the pipeline over
// other captures (tests, benchmarks) do not link the machine's capture.

#include <memory>

#include "host/audio/audio_pipeline.h"

namespace orvane {

std::unique_ptr<IStreamAudio> MakeAudioPipeline(ISpeakerMuting& muting) {
  return std::make_unique<AudioPipeline>(MakePlatformLoopbackCapture(), muting, SystemClock());
}

}  // namespace orvane
