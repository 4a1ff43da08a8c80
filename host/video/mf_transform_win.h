#pragma once
// The encoder transform calls over Media Foundation (Windows build only):
// MFTEnumEx / MFTEnum2 enumeration, IMFActivate, IMFTransform with its
// attributes, ICodecAPI, media types, samples in system memory or over DXGI
// surfaces, and the asynchronous transform's event callback.
//
// MFStartup must have run in the process before any call.

#include <memory>

#include "host/video/encoder_transform.h"

struct IMFTransform;

namespace orvane {

std::unique_ptr<IEncoderPlatform> MakeMediaFoundationEncoderPlatform();

// The seam over a transform made elsewhere (another reference is taken);
// null for a null transform. Activation makes them the same way.
std::unique_ptr<IEncoderTransform> WrapMediaFoundationTransform(IMFTransform* transform);

}  // namespace orvane
