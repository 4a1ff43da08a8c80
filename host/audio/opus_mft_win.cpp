// The Media Foundation Opus encoder transform, where Windows has one: the
// first synchronous audio encoder whose output is Opus, fed one 16-bit PCM
// frame per sample. COM (multithreaded) and MFStartup are the host's
// start-up's (platform_startup_win.cpp).

#include <windows.h>

#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfobjects.h>
#include <mftransform.h>
#include <oleauto.h>
#include <strmif.h>
#include <wrl/client.h>

#include <cstring>
#include <string>
#include <utility>

#include "host/audio/opus_encoder.h"
#include "host/common/logger.h"

namespace orvane {

namespace {

using Microsoft::WRL::ComPtr;

// The Opus audio subtype (WAVE_FORMAT_OPUS 0x704F on the media-type base
// GUID), defined here because not every SDK's headers carry it.
const GUID kMfAudioFormatOpus = {0x0000704F, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
// CODECAPI_AVEncCommonMeanBitRate (codecapi.h declares it in a way MinGW cannot link).
const GUID kCodecApiMeanBitRate = {0xf7222374, 0x2144, 0x4815, {0xb5, 0x50, 0xa3, 0x7f, 0x8e, 0x12, 0xee, 0x52}};

constexpr UINT32 kEnumFlags = MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_SORTANDFILTER;
constexpr DWORD kDefaultOutputBytes = 4096;

unsigned long HrBits(HRESULT hr) { return static_cast<unsigned long>(hr); }

HostResult TransformFailure(const char* message, HRESULT hr) {
  return HostResult::Failure(kOpusEncoderErrorCode, message, static_cast<HResult>(hr));
}

class MediaFoundationOpusTransform final : public IOpusTransform {
 public:
  ~MediaFoundationOpusTransform() override { Reset(); }

  bool Initialize(uint32_t sample_rate, uint32_t channels, uint32_t kbps) override {
    Reset();
    result_ = HostResult::Success();
    if (sample_rate == 0 || channels == 0) return Fail(TransformFailure("Invalid Opus encoder format", E_INVALIDARG));

    MFT_REGISTER_TYPE_INFO output_info = {MFMediaType_Audio, kMfAudioFormatOpus};
    IMFActivate** activates = nullptr;
    UINT32 count = 0;
    HRESULT hr = MFTEnumEx(MFT_CATEGORY_AUDIO_ENCODER, kEnumFlags, nullptr, &output_info, &activates, &count);
    if (FAILED(hr)) {
      LogWarn("[OpusEnc] MFTEnumEx(audio encoders, Opus output) failed: 0x%08lX", HrBits(hr));
      return Fail(TransformFailure("No Opus MFT encoder found", hr));
    }
    ComPtr<IMFActivate> first;
    if (activates != nullptr && count > 0) first = activates[0];
    for (UINT32 i = 0; activates != nullptr && i < count; ++i) {
      if (activates[i] != nullptr) activates[i]->Release();
    }
    CoTaskMemFree(activates);
    if (!first) return Fail(TransformFailure("No Opus MFT encoder found", MF_E_TOPO_CODEC_NOT_FOUND));

    hr = first->ActivateObject(IID_IMFTransform, reinterpret_cast<void**>(transform_.ReleaseAndGetAddressOf()));
    if (SUCCEEDED(hr) && !transform_) hr = E_POINTER;
    if (FAILED(hr)) {
      LogWarn("[OpusEnc] IMFActivate::ActivateObject(Opus MFT) failed: 0x%08lX", HrBits(hr));
      transform_.Reset();
      return Fail(TransformFailure("Failed to activate Opus MFT encoder", hr));
    }
    activate_ = first;

    ComPtr<IMFMediaType> output;
    hr = MFCreateMediaType(output.GetAddressOf());
    if (SUCCEEDED(hr)) hr = output->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
    if (SUCCEEDED(hr)) hr = output->SetGUID(MF_MT_SUBTYPE, kMfAudioFormatOpus);
    if (SUCCEEDED(hr)) hr = output->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, sample_rate);
    if (SUCCEEDED(hr)) hr = output->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, channels);
    if (SUCCEEDED(hr)) hr = output->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, kbps * 125);
    if (SUCCEEDED(hr)) hr = output->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
    if (SUCCEEDED(hr)) hr = transform_->SetOutputType(0, output.Get(), 0);
    if (FAILED(hr)) {
      LogWarn("[OpusEnc] MFT SetOutputType failed: 0x%08lX", HrBits(hr));
      return FailAndReset(TransformFailure("Opus MFT SetOutputType failed", hr));
    }

    ComPtr<IMFMediaType> input;
    hr = MFCreateMediaType(input.GetAddressOf());
    if (SUCCEEDED(hr)) hr = input->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
    if (SUCCEEDED(hr)) hr = input->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_PCM);
    if (SUCCEEDED(hr)) hr = input->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, sample_rate);
    if (SUCCEEDED(hr)) hr = input->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, channels);
    if (SUCCEEDED(hr)) hr = input->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
    if (SUCCEEDED(hr)) hr = input->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, channels * 2);
    if (SUCCEEDED(hr)) hr = input->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, sample_rate * channels * 2);
    if (SUCCEEDED(hr)) hr = transform_->SetInputType(0, input.Get(), 0);
    if (FAILED(hr)) {
      LogWarn("[OpusEnc] MFT SetInputType failed: 0x%08lX", HrBits(hr));
      return FailAndReset(TransformFailure("Opus MFT SetInputType failed", hr));
    }

    MFT_OUTPUT_STREAM_INFO info = {};
    hr = transform_->GetOutputStreamInfo(0, &info);
    if (FAILED(hr)) {
      LogWarn("[OpusEnc] MFT GetOutputStreamInfo failed: 0x%08lX", HrBits(hr));
      return FailAndReset(TransformFailure("Opus MFT output stream info failed", hr));
    }
    transform_provides_samples_ =
        (info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES)) != 0;
    output_bytes_ = info.cbSize != 0 ? info.cbSize : kDefaultOutputBytes;

    hr = transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
    if (FAILED(hr)) {
      LogWarn("[OpusEnc] MFT begin-streaming message failed: 0x%08lX", HrBits(hr));
      return FailAndReset(TransformFailure("Opus MFT streaming start failed", hr));
    }
    streaming_ = true;
    hr = transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
    if (FAILED(hr)) {
      LogWarn("[OpusEnc] MFT start-of-stream message failed: 0x%08lX", HrBits(hr));
      return FailAndReset(TransformFailure("Opus MFT streaming start failed", hr));
    }
    sample_rate_ = sample_rate;
    channels_ = channels;
    LogInfo("[OpusEnc] Opus MFT encoder initialized: %uHz, %uch, %ukbps", sample_rate, channels, kbps);
    return true;
  }

  bool Encode(const int16_t* pcm, uint32_t frames, uint32_t channels, int64_t pts_us, OpusPacket* out) override {
    if (!transform_) return Fail(TransformFailure("Opus encoder is not initialized", E_FAIL));
    if (pcm == nullptr || out == nullptr || frames == 0 || channels != channels_) {
      return Fail(TransformFailure("Invalid PCM for Opus encoding", E_INVALIDARG));
    }
    const DWORD bytes = frames * channels * 2;
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = MFCreateMemoryBuffer(bytes, buffer.GetAddressOf());
    if (SUCCEEDED(hr) && !buffer) hr = E_POINTER;
    if (FAILED(hr)) return Fail(TransformFailure("Failed to allocate Opus input buffer", hr));
    BYTE* data = nullptr;
    hr = buffer->Lock(&data, nullptr, nullptr);
    if (SUCCEEDED(hr) && data == nullptr) {
      buffer->Unlock();
      hr = E_POINTER;
    }
    if (FAILED(hr)) return Fail(TransformFailure("Failed to lock Opus input buffer", hr));
    std::memcpy(data, pcm, bytes);
    hr = buffer->Unlock();
    if (SUCCEEDED(hr)) hr = buffer->SetCurrentLength(bytes);
    if (FAILED(hr)) return Fail(TransformFailure("Failed to lock Opus input buffer", hr));

    ComPtr<IMFSample> sample;
    hr = MFCreateSample(sample.GetAddressOf());
    if (SUCCEEDED(hr) && !sample) hr = E_POINTER;
    if (SUCCEEDED(hr)) hr = sample->AddBuffer(buffer.Get());
    if (SUCCEEDED(hr)) hr = sample->SetSampleTime(static_cast<LONGLONG>(pts_us) * 10);
    if (SUCCEEDED(hr)) {
      hr = sample->SetSampleDuration(static_cast<LONGLONG>(static_cast<uint64_t>(frames) * 10'000'000 / sample_rate_));
    }
    if (FAILED(hr)) return Fail(TransformFailure("Failed to allocate Opus input sample", hr));

    hr = transform_->ProcessInput(0, sample.Get(), 0);
    if (hr == MF_E_NOTACCEPTING) return Fail(TransformFailure("Opus MFT requires output drain", hr));
    if (FAILED(hr)) return Fail(TransformFailure("Opus MFT ProcessInput failed", hr));

    ComPtr<IMFSample> supplied;
    if (!transform_provides_samples_) {
      hr = MFCreateSample(supplied.GetAddressOf());
      if (SUCCEEDED(hr) && !supplied) hr = E_POINTER;
      ComPtr<IMFMediaBuffer> out_buffer;
      if (SUCCEEDED(hr)) hr = MFCreateMemoryBuffer(output_bytes_, out_buffer.GetAddressOf());
      if (SUCCEEDED(hr) && !out_buffer) hr = E_POINTER;
      if (SUCCEEDED(hr)) hr = supplied->AddBuffer(out_buffer.Get());
      if (FAILED(hr)) return Fail(TransformFailure("Failed to allocate Opus output sample", hr));
    }
    MFT_OUTPUT_DATA_BUFFER output = {};
    output.dwStreamID = 0;
    output.pSample = supplied.Get();
    DWORD status = 0;
    hr = transform_->ProcessOutput(0, 1, &output, &status);
    if (output.pEvents != nullptr) output.pEvents->Release();
    // A sample the transform provided comes with a reference for us.
    ComPtr<IMFSample> produced;
    if (output.pSample != nullptr) {
      if (output.pSample == supplied.Get()) {
        produced = supplied;
      } else {
        produced.Attach(output.pSample);
      }
    }
    if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) return Fail(TransformFailure("Opus MFT requires more input", hr));
    if (FAILED(hr)) return Fail(TransformFailure("Opus MFT ProcessOutput failed", hr));
    if (!produced) return Fail(TransformFailure("Opus MFT returned empty output sample", E_FAIL));

    ComPtr<IMFMediaBuffer> flat;
    hr = produced->ConvertToContiguousBuffer(flat.GetAddressOf());
    if (SUCCEEDED(hr) && !flat) hr = E_POINTER;
    if (FAILED(hr)) return Fail(TransformFailure("Failed to flatten Opus output sample", hr));
    BYTE* bytes_out = nullptr;
    DWORD length = 0;
    hr = flat->Lock(&bytes_out, nullptr, &length);
    if (FAILED(hr)) return Fail(TransformFailure("Failed to lock Opus output buffer", hr));
    if (bytes_out == nullptr || length == 0) {
      flat->Unlock();
      return Fail(TransformFailure("Opus MFT returned empty output sample", E_FAIL));
    }
    out->data.assign(bytes_out, bytes_out + length);
    hr = flat->Unlock();
    if (FAILED(hr)) LogDebug("[OpusEnc] Unlock of the Opus output buffer failed: 0x%08lX", HrBits(hr));
    const uint64_t ms = static_cast<uint64_t>(frames) * 1000 / sample_rate_;
    out->pts_us = pts_us;
    out->duration_ms = ms == 0 || ms > 255 ? 20 : static_cast<uint8_t>(ms);
    result_ = HostResult::Success();
    return true;
  }

  bool SetBitrate(uint32_t kbps) override {
    if (!transform_) return false;
    ComPtr<ICodecAPI> codec;
    HRESULT hr = transform_->QueryInterface(IID_ICodecAPI, reinterpret_cast<void**>(codec.GetAddressOf()));
    if (FAILED(hr) || !codec) return false;
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_UI4;
    value.ulVal = kbps * 1000;
    hr = codec->SetValue(&kCodecApiMeanBitRate, &value);
    VariantClear(&value);
    if (FAILED(hr)) {
      LogWarn("[OpusEnc] Opus MFT bitrate change to %u kbps failed: 0x%08lX", kbps, HrBits(hr));
      return false;
    }
    return true;
  }

  void Reset() override {
    if (transform_ && streaming_) {
      const HRESULT hr = transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
      if (FAILED(hr)) LogDebug("[OpusEnc] MFT end-streaming message failed: 0x%08lX", HrBits(hr));
    }
    streaming_ = false;
    transform_.Reset();
    if (activate_) {
      const HRESULT hr = activate_->ShutdownObject();
      if (FAILED(hr)) LogWarn("[OpusEnc] IMFActivate::ShutdownObject failed: 0x%08lX", HrBits(hr));
      activate_.Reset();
    }
    sample_rate_ = 0;
    channels_ = 0;
  }

  HostResult LastResult() const override { return result_; }

 private:
  bool Fail(HostResult result) {
    result_ = std::move(result);
    return false;
  }
  bool FailAndReset(HostResult result) {
    Reset();
    return Fail(std::move(result));
  }

  ComPtr<IMFActivate> activate_;
  ComPtr<IMFTransform> transform_;
  bool streaming_ = false;
  bool transform_provides_samples_ = false;
  DWORD output_bytes_ = kDefaultOutputBytes;
  uint32_t sample_rate_ = 0;
  uint32_t channels_ = 0;
  HostResult result_;
};

}  // namespace

std::unique_ptr<IOpusTransform> MakePlatformOpusTransform() { return std::make_unique<MediaFoundationOpusTransform>(); }

}  // namespace orvane
