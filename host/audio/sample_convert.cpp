#include "host/audio/sample_convert.h"

#include <cmath>
#include <cstring>

namespace orvane {

namespace {

// KSDATAFORMAT_SUBTYPE_PCM and _IEEE_FLOAT share this tail:
// {0000000x-0000-0010-8000-00aa00389b71}.
constexpr uint16_t kWaveFormatPcm = 1;
constexpr uint16_t kWaveFormatIeeeFloat = 3;
constexpr uint16_t kWaveFormatExtensible = 0xFFFE;
constexpr std::array<uint8_t, 8> kKsSubtypeTail{0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};

constexpr float kHalfPower = 0.70710678f;  // -3 dB

// Left and right weights of each speaker position bit (WAVEFORMATEXTENSIBLE
// order: FL FR FC LFE BL BR FLC FRC BC SL SR TC TFL TFC TFR TBL TBC TBR).
struct SpeakerWeight {
  float left;
  float right;
};
constexpr SpeakerWeight kSpeakerWeights[] = {
    {1.0f, 0.0f},              // front left
    {0.0f, 1.0f},              // front right
    {kHalfPower, kHalfPower},  // front centre
    {0.0f, 0.0f},              // low frequency (left out)
    {kHalfPower, 0.0f},        // back left
    {0.0f, kHalfPower},        // back right
    {1.0f, 0.0f},              // front left of centre
    {0.0f, 1.0f},              // front right of centre
    {0.5f, 0.5f},              // back centre
    {kHalfPower, 0.0f},        // side left
    {0.0f, kHalfPower},        // side right
    {0.5f, 0.5f},              // top centre
    {kHalfPower, 0.0f},        // top front left
    {0.5f, 0.5f},              // top front centre
    {0.0f, kHalfPower},        // top front right
    {kHalfPower, 0.0f},        // top back left
    {0.5f, 0.5f},              // top back centre
    {0.0f, kHalfPower},        // top back right
};
constexpr uint32_t kSpeakerBits = sizeof(kSpeakerWeights) / sizeof(kSpeakerWeights[0]);

StereoDownmix MixFromMask(uint32_t channels, uint32_t mask) {
  StereoDownmix mix;
  mix.left.assign(channels, 0.0f);
  mix.right.assign(channels, 0.0f);
  uint32_t channel = 0;
  for (uint32_t bit = 0; bit < kSpeakerBits && channel < channels; ++bit) {
    if ((mask & (1u << bit)) == 0) continue;
    mix.left[channel] = kSpeakerWeights[bit].left;
    mix.right[channel] = kSpeakerWeights[bit].right;
    ++channel;
  }
  return mix;
}

bool BothSidesFed(const StereoDownmix& mix) {
  float left = 0.0f;
  float right = 0.0f;
  for (float w : mix.left) left += w;
  for (float w : mix.right) right += w;
  return left > 0.0f && right > 0.0f;
}

int16_t SaturateRound(float value) {
  if (!(value == value)) return 0;
  const float rounded = value >= 0.0f ? value + 0.5f : value - 0.5f;
  if (rounded >= 32767.0f) return 32767;
  if (rounded <= -32768.0f) return -32768;
  return static_cast<int16_t>(rounded);
}

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

SampleEncoding EncodingFromWaveFormat(uint16_t format_tag, const WaveGuid* sub_format) {
  switch (format_tag) {
    case kWaveFormatPcm:
      return SampleEncoding::kPcm;
    case kWaveFormatIeeeFloat:
      return SampleEncoding::kFloat;
    case kWaveFormatExtensible:
      if (sub_format == nullptr || sub_format->data2 != 0x0000 || sub_format->data3 != 0x0010 ||
          sub_format->data4 != kKsSubtypeTail) {
        return SampleEncoding::kUnknown;
      }
      if (sub_format->data1 == kWaveFormatPcm) return SampleEncoding::kPcm;
      if (sub_format->data1 == kWaveFormatIeeeFloat) return SampleEncoding::kFloat;
      return SampleEncoding::kUnknown;
    default:
      return SampleEncoding::kUnknown;
  }
}

bool IsSupportedSourceFormat(const SourceFormat& format) {
  if (format.channels < 1 || format.channels > kMaxSourceChannels) return false;
  if (format.sample_rate < kMinSourceSampleRate || format.sample_rate > kMaxSourceSampleRate) return false;
  switch (format.encoding) {
    case SampleEncoding::kPcm:
      return format.bits_per_sample == 8 || format.bits_per_sample == 16 || format.bits_per_sample == 24 ||
             format.bits_per_sample == 32;
    case SampleEncoding::kFloat:
      return format.bits_per_sample == 32;
    case SampleEncoding::kUnknown:
      break;
  }
  return false;
}

int16_t Float32ToInt16(float value) {
  if (std::isnan(value)) return 0;
  if (value > 1.0f) value = 1.0f;
  if (value < -1.0f) value = -1.0f;
  return static_cast<int16_t>(value * 32767.0f);  // truncates toward zero
}

int16_t Int32ToInt16(int32_t value) {
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(value) >> 16));
}

int16_t Int24ToInt16(const uint8_t* bytes) {
  return static_cast<int16_t>(static_cast<uint16_t>(bytes[1] | (bytes[2] << 8)));
}

int16_t Uint8ToInt16(uint8_t value) { return static_cast<int16_t>((static_cast<int>(value) - 128) * 256); }

uint32_t DefaultChannelMask(uint32_t channels) {
  switch (channels) {
    case 0:
      return 0;
    case 1:
      return 0x4;
    case 2:
      return 0x3;
    case 3:
      return 0x7;
    case 4:
      return 0x33;
    case 5:
      return 0x37;
    case 6:
      return 0x3F;
    case 7:
      return 0x13F;
    case 8:
      return 0x63F;
    default:
      break;
  }
  uint32_t mask = 0x63F;
  uint32_t count = 8;
  for (uint32_t bit = 0; bit < kSpeakerBits && count < channels; ++bit) {
    if ((mask & (1u << bit)) != 0) continue;
    mask |= 1u << bit;
    ++count;
  }
  return mask;
}

StereoDownmix MakeStereoDownmix(uint32_t channels, uint32_t channel_mask) {
  StereoDownmix mix;
  if (channels == 1) {
    mix.left = {1.0f};
    mix.right = {1.0f};
    return mix;
  }
  if (channels == 2) {
    mix.left = {1.0f, 0.0f};
    mix.right = {0.0f, 1.0f};
    return mix;
  }
  if (channel_mask != 0) {
    mix = MixFromMask(channels, channel_mask);
    if (BothSidesFed(mix)) return mix;
  }
  return MixFromMask(channels, DefaultChannelMask(channels));
}

bool SampleConverter::Configure(const SourceFormat& format) {
  configured_ = false;
  passthrough_ = false;
  ResetStream();
  if (!IsSupportedSourceFormat(format)) return false;
  format_ = format;
  bytes_per_frame_ = format.channels * (format.bits_per_sample / 8);
  mix_ = MakeStereoDownmix(format.channels, format.channel_mask);
  frame_.assign(format.channels, 0);
  passthrough_ = format.encoding == SampleEncoding::kPcm && format.bits_per_sample == 16 &&
                 format.channels == kConvertedChannels && format.sample_rate == kConvertedSampleRate;
  configured_ = true;
  return true;
}

void SampleConverter::ResetStream() {
  have_prev_ = false;
  prev_left_ = 0.0f;
  prev_right_ = 0.0f;
  phase_ = 0;
}

void SampleConverter::Emit(float left, float right, std::vector<int16_t>* out) {
  out->push_back(SaturateRound(left));
  out->push_back(SaturateRound(right));
}

void SampleConverter::Resample(float left, float right, std::vector<int16_t>* out) {
  if (!have_prev_) {
    prev_left_ = left;
    prev_right_ = right;
    have_prev_ = true;
    phase_ = 0;
    return;
  }
  // Output frames between the previous source frame and this one.
  while (phase_ < kConvertedSampleRate) {
    const float t = static_cast<float>(phase_) / static_cast<float>(kConvertedSampleRate);
    Emit(prev_left_ + (left - prev_left_) * t, prev_right_ + (right - prev_right_) * t, out);
    phase_ += format_.sample_rate;
  }
  phase_ -= kConvertedSampleRate;
  prev_left_ = left;
  prev_right_ = right;
}

bool SampleConverter::Convert(const void* data, uint32_t frames, std::vector<int16_t>* out) {
  out->clear();
  if (!configured_ || frames > kMaxConvertFrames || (frames > 0 && data == nullptr)) return false;
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (passthrough_) {
    out->resize(static_cast<size_t>(frames) * kConvertedChannels);
    if (frames > 0) std::memcpy(out->data(), bytes, out->size() * sizeof(int16_t));
    return true;
  }
  const bool resample = format_.sample_rate != kConvertedSampleRate;
  out->reserve((static_cast<size_t>(frames) * kConvertedSampleRate / format_.sample_rate + 2) *
               kConvertedChannels);
  const uint32_t channels = format_.channels;
  const uint32_t sample_bytes = format_.bits_per_sample / 8;
  for (uint32_t f = 0; f < frames; ++f) {
    const uint8_t* p = bytes + static_cast<size_t>(f) * bytes_per_frame_;
    for (uint32_t c = 0; c < channels; ++c, p += sample_bytes) {
      int16_t s = 0;
      if (format_.encoding == SampleEncoding::kFloat) {
        float v;
        std::memcpy(&v, p, sizeof(v));
        s = Float32ToInt16(v);
      } else if (sample_bytes == 4) {
        s = Int32ToInt16(static_cast<int32_t>(ReadLe32(p)));
      } else if (sample_bytes == 3) {
        s = Int24ToInt16(p);
      } else if (sample_bytes == 2) {
        s = static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
      } else {
        s = Uint8ToInt16(p[0]);
      }
      frame_[c] = s;
    }
    float left;
    float right;
    if (channels == 1) {
      left = right = frame_[0];
    } else if (channels == 2) {
      left = frame_[0];
      right = frame_[1];
    } else {
      left = 0.0f;
      right = 0.0f;
      for (uint32_t c = 0; c < channels; ++c) {
        left += mix_.left[c] * frame_[c];
        right += mix_.right[c] * frame_[c];
      }
    }
    if (resample) {
      Resample(left, right, out);
    } else {
      Emit(left, right, out);
    }
  }
  return true;
}

bool SampleConverter::ConvertSilence(uint32_t frames, std::vector<int16_t>* out) {
  out->clear();
  if (!configured_ || frames > kMaxConvertFrames) return false;
  if (format_.sample_rate == kConvertedSampleRate) {
    out->assign(static_cast<size_t>(frames) * kConvertedChannels, 0);
    return true;
  }
  out->reserve((static_cast<size_t>(frames) * kConvertedSampleRate / format_.sample_rate + 2) *
               kConvertedChannels);
  for (uint32_t f = 0; f < frames; ++f) Resample(0.0f, 0.0f, out);
  return true;
}

}  // namespace orvane
