#pragma once
// Turns captured audio of any supported layout into what the rest of the
// audio path takes: 48 kHz, stereo, interleaved int16.
//
//   SourceFormat f{SampleEncoding::kFloat, 44100, 6, 32, 0};
//   SampleConverter conv;
//   if (!conv.Configure(f)) ...;          // unknown formats are refused
//   conv.Convert(buffer, frames, &pcm);   // pcm: 48 kHz stereo int16
//
// Samples:
//   float32  clamp to [-1, 1], x 32767, truncate toward zero; NaN is 0
//   int32    the upper 16 bits (also 24 valid bits in a 32-bit container)
//   int24    packed 3-byte little-endian, the upper 16 bits
//   int16    as is
//   uint8    (x - 128) << 8
// Channels: mono is duplicated, stereo kept; more channels are mixed with a
// fixed matrix by speaker position (see StereoDownmix below).
// Rate: anything but 48 kHz is resampled by linear interpolation, with the
// position kept across calls so that consecutive buffers join seamlessly.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvane {

inline constexpr uint32_t kConvertedSampleRate = 48000;
inline constexpr uint32_t kConvertedChannels = 2;
// Limits of a source format and of one buffer (bounded before allocation).
inline constexpr uint32_t kMinSourceSampleRate = 8000;
inline constexpr uint32_t kMaxSourceSampleRate = 384000;
inline constexpr uint32_t kMaxSourceChannels = 32;
inline constexpr uint32_t kMaxConvertFrames = 384000;  // one second at the highest rate

enum class SampleEncoding : int {
  kUnknown = 0,  // a sub-format the converter does not know: refused
  kPcm = 1,      // signed integer PCM (unsigned for 8 bits)
  kFloat = 2,    // IEEE float
};

struct SourceFormat {
  SampleEncoding encoding = SampleEncoding::kUnknown;
  uint32_t sample_rate = 0;
  uint32_t channels = 0;
  // Container bits per sample: 8, 16, 24 (packed) or 32 for PCM, 32 for float.
  uint32_t bits_per_sample = 0;
  // Speaker positions of the channels as WAVEFORMATEXTENSIBLE's dwChannelMask
  // (front left 0x1, front right 0x2, centre 0x4, LFE 0x8, ...); 0 takes the
  // usual layout for the channel count.
  uint32_t channel_mask = 0;
};

// A GUID as Windows lays it out (WAVEFORMATEXTENSIBLE's SubFormat).
struct WaveGuid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  std::array<uint8_t, 8> data4{};
};

// The encoding of a WAVEFORMATEX: format tag 1 (PCM), 3 (IEEE float), or
// 0xFFFE (extensible) with the KSDATAFORMAT_SUBTYPE_PCM / _IEEE_FLOAT
// sub-format. Anything else (or an extensible tag without a sub-format) is
// kUnknown.
SampleEncoding EncodingFromWaveFormat(uint16_t format_tag, const WaveGuid* sub_format);

// Whether the converter takes this format: a known encoding with a matching
// sample width, 1..kMaxSourceChannels channels and a rate within the limits.
bool IsSupportedSourceFormat(const SourceFormat& format);

// The single-sample conversions.
int16_t Float32ToInt16(float value);
int16_t Int32ToInt16(int32_t value);
// Three bytes, little-endian.
int16_t Int24ToInt16(const uint8_t* bytes);
int16_t Uint8ToInt16(uint8_t value);

// The fixed stereo mix of a multichannel layout: per source channel, the
// weight it adds to the left and to the right output. Front left/right (and
// the front left/right of centre) go to their side at 1 so that stereo content
// carried in a multichannel mix keeps its level; centre goes to both at
// 0.7071; side, back and top left/right to their side at 0.7071; back and top
// centre to both at 0.5; LFE is left out. The sum saturates at the int16
// range. A mask that leaves either side without a channel falls back to the
// usual layout for the count; channels beyond the mask get no weight.
struct StereoDownmix {
  std::vector<float> left;
  std::vector<float> right;
};
StereoDownmix MakeStereoDownmix(uint32_t channels, uint32_t channel_mask);

// The usual speaker mask for a channel count (1 centre, 2 stereo, 3 L R C,
// 4 quad, 5 L R C + back, 6 5.1, 7 6.1, 8 7.1; more: the first bits).
uint32_t DefaultChannelMask(uint32_t channels);

class SampleConverter {
 public:
  // Prepares for `format`; false (and Convert refuses) when it is not
  // supported. Also clears the resampler state.
  bool Configure(const SourceFormat& format);
  bool configured() const { return configured_; }
  const SourceFormat& source() const { return format_; }
  // The source is already 48 kHz stereo int16: Convert copies.
  bool passthrough() const { return passthrough_; }

  // Converts `frames` frames laid out as the source format (any alignment).
  // *out is replaced by the 48 kHz stereo samples (its capacity is reused);
  // out->size() / 2 frames. False when not configured or `frames` exceeds
  // kMaxConvertFrames.
  bool Convert(const void* data, uint32_t frames, std::vector<int16_t>* out);
  // The same for `frames` frames of silence (keeps the resampler in step).
  bool ConvertSilence(uint32_t frames, std::vector<int16_t>* out);
  // Forgets the resampler's position and last frame (after a discontinuity).
  void ResetStream();

 private:
  void Emit(float left, float right, std::vector<int16_t>* out);
  void Resample(float left, float right, std::vector<int16_t>* out);

  SourceFormat format_{};
  bool configured_ = false;
  bool passthrough_ = false;
  StereoDownmix mix_{};
  uint32_t bytes_per_frame_ = 0;
  // Resampler: the previous source frame and the position of the next output
  // frame after it, in units of 1/48000 source frames.
  bool have_prev_ = false;
  float prev_left_ = 0.0f;
  float prev_right_ = 0.0f;
  uint32_t phase_ = 0;
  std::vector<int16_t> frame_;  // one source frame as int16, reused
};

}  // namespace orvane
