// The Media Foundation encoder on a real desktop (Wine under Xvfb in CI): the
// transform calls against a scripted COM transform, the platform's
// enumerations and samples, and the whole encoder.
#ifdef _WIN32

#include <windows.h>

#include <codecapi.h>
#include <d3d11.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>
#include <strmif.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/common/platform_info.h"
#include "host/video/d3d11_util_win.h"
#include "host/video/encoder_transform.h"
#include "host/video/mf_transform_win.h"
#include "host/video/video_encoder.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using Microsoft::WRL::ComPtr;

// The first reference of a COM object is the test's: AddRef/Release reads the
// count without changing it.
ULONG RefCount(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

// A scripted transform: records what the seam hands it and answers as told.
// Its event generator is a Media Foundation event queue.
class FakeTransform final : public IMFTransform, public IMFMediaEventGenerator, public IMFShutdown, public ICodecAPI {
 public:
  struct Options {
    bool attributes = true;
    bool codec_api = true;
    bool events = true;
  };
  struct CodecValue {
    GUID api;
    VARTYPE vt;
    ULONG ul;
    VARIANT_BOOL b;
  };
  struct Message {
    MFT_MESSAGE_TYPE type;
    ULONG_PTR param;
  };

  static ComPtr<FakeTransform> Make(Options options) {
    // Not Attach: MinGW's adds a reference.
    ComPtr<FakeTransform> fake;
    *fake.GetAddressOf() = new FakeTransform(options);
    return fake;
  }

  // Set-up of the fake's own Media Foundation objects.
  HRESULT setup_hr = S_OK;
  ComPtr<IMFAttributes> attributes;
  ComPtr<IMFMediaEventQueue> queue;

  // Scripted answers.
  HRESULT set_type_hr = S_OK;
  ComPtr<IMFMediaType> available;
  DWORD stream_flags = 0;
  DWORD stream_size = 0;
  HRESULT output_hr = S_OK;
  ComPtr<IMFSample> provide;          // handed out when no sample is supplied
  std::vector<uint8_t> write_bytes;   // written into a supplied sample
  ComPtr<IMFCollection> events;       // handed out with the output

  // Recorded calls.
  ComPtr<IMFMediaType> input_type;
  ComPtr<IMFMediaType> output_type;
  DWORD type_stream = 99;
  DWORD type_flags = 99;
  std::vector<Message> messages;
  ComPtr<IMFSample> last_input;
  DWORD input_stream = 99;
  std::vector<CodecValue> codec_values;
  IMFSample* supplied = nullptr;
  DWORD output_count = 0;
  int shutdowns = 0;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMFTransform)) {
      *object = static_cast<IMFTransform*>(this);
    } else if (IsEqualIID(riid, IID_IMFMediaEventGenerator) && options_.events) {
      *object = static_cast<IMFMediaEventGenerator*>(this);
    } else if (IsEqualIID(riid, IID_IMFShutdown)) {
      *object = static_cast<IMFShutdown*>(this);
    } else if (IsEqualIID(riid, IID_ICodecAPI) && options_.codec_api) {
      *object = static_cast<ICodecAPI*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  // IMFTransform
  STDMETHODIMP GetStreamLimits(DWORD*, DWORD*, DWORD*, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP GetStreamCount(DWORD*, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP GetInputStreamInfo(DWORD, MFT_INPUT_STREAM_INFO*) override { return E_NOTIMPL; }
  STDMETHODIMP GetOutputStreamInfo(DWORD stream, MFT_OUTPUT_STREAM_INFO* info) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    info->dwFlags = stream_flags;
    info->cbSize = stream_size;
    info->cbAlignment = 0;
    return S_OK;
  }
  STDMETHODIMP GetAttributes(IMFAttributes** out) override {
    if (!attributes) return E_NOTIMPL;
    *out = attributes.Get();
    attributes->AddRef();
    return S_OK;
  }
  STDMETHODIMP GetInputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
  STDMETHODIMP GetOutputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
  STDMETHODIMP DeleteInputStream(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP GetInputAvailableType(DWORD, DWORD, IMFMediaType**) override { return E_NOTIMPL; }
  STDMETHODIMP GetOutputAvailableType(DWORD stream, DWORD index, IMFMediaType** out) override {
    if (stream != 0 || index != 0 || !available) return MF_E_NO_MORE_TYPES;
    *out = available.Get();
    available->AddRef();
    return S_OK;
  }
  STDMETHODIMP SetInputType(DWORD stream, IMFMediaType* type, DWORD flags) override {
    input_type = type;
    type_stream = stream;
    type_flags = flags;
    return set_type_hr;
  }
  STDMETHODIMP SetOutputType(DWORD stream, IMFMediaType* type, DWORD flags) override {
    output_type = type;
    type_stream = stream;
    type_flags = flags;
    return set_type_hr;
  }
  STDMETHODIMP GetInputCurrentType(DWORD, IMFMediaType**) override { return E_NOTIMPL; }
  STDMETHODIMP GetOutputCurrentType(DWORD, IMFMediaType**) override { return E_NOTIMPL; }
  STDMETHODIMP GetInputStatus(DWORD, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP GetOutputStatus(DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
  STDMETHODIMP ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }
  STDMETHODIMP ProcessMessage(MFT_MESSAGE_TYPE type, ULONG_PTR param) override {
    messages.push_back({type, param});
    return S_OK;
  }
  STDMETHODIMP ProcessInput(DWORD stream, IMFSample* sample, DWORD) override {
    input_stream = stream;
    last_input = sample;
    return S_OK;
  }
  STDMETHODIMP ProcessOutput(DWORD, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) override {
    output_count = count;
    *status = 0;
    supplied = buffers[0].pSample;
    if (events) {
      buffers[0].pEvents = events.Get();
      events->AddRef();
    }
    if (FAILED(output_hr)) return output_hr;
    if (buffers[0].pSample != nullptr) {
      ComPtr<IMFMediaBuffer> buffer;
      HRESULT hr = buffers[0].pSample->GetBufferByIndex(0, buffer.GetAddressOf());
      BYTE* data = nullptr;
      DWORD capacity = 0;
      if (SUCCEEDED(hr)) hr = buffer->Lock(&data, &capacity, nullptr);
      if (FAILED(hr) || capacity < write_bytes.size()) return E_UNEXPECTED;
      std::memcpy(data, write_bytes.data(), write_bytes.size());
      buffer->Unlock();
      buffer->SetCurrentLength(static_cast<DWORD>(write_bytes.size()));
    } else if (provide) {
      buffers[0].pSample = provide.Get();
      provide->AddRef();
    }
    return output_hr;
  }

  // IMFMediaEventGenerator
  STDMETHODIMP GetEvent(DWORD flags, IMFMediaEvent** event) override { return queue->GetEvent(flags, event); }
  STDMETHODIMP BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
    return queue->BeginGetEvent(callback, state);
  }
  STDMETHODIMP EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
    return queue->EndGetEvent(result, event);
  }
  STDMETHODIMP QueueEvent(MediaEventType type, REFGUID extended, HRESULT status, const PROPVARIANT* value) override {
    return queue->QueueEventParamVar(type, extended, status, value);
  }

  // IMFShutdown
  STDMETHODIMP Shutdown() override {
    ++shutdowns;
    return queue ? queue->Shutdown() : S_OK;
  }
  STDMETHODIMP GetShutdownStatus(MFSHUTDOWN_STATUS*) override { return E_NOTIMPL; }

  // ICodecAPI
  STDMETHODIMP IsSupported(const GUID*) override { return E_NOTIMPL; }
  STDMETHODIMP IsModifiable(const GUID*) override { return E_NOTIMPL; }
  STDMETHODIMP GetParameterRange(const GUID*, VARIANT*, VARIANT*, VARIANT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetParameterValues(const GUID*, VARIANT**, ULONG*) override { return E_NOTIMPL; }
  STDMETHODIMP GetDefaultValue(const GUID*, VARIANT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetValue(const GUID*, VARIANT*) override { return E_NOTIMPL; }
  STDMETHODIMP SetValue(const GUID* api, VARIANT* value) override {
    codec_values.push_back({*api, value->vt, value->vt == VT_UI4 ? value->ulVal : 0u,
                            value->vt == VT_BOOL ? value->boolVal : VARIANT_BOOL{0}});
    return S_OK;
  }
  STDMETHODIMP RegisterForEvent(const GUID*, LONG_PTR) override { return E_NOTIMPL; }
  STDMETHODIMP UnregisterForEvent(const GUID*) override { return E_NOTIMPL; }
  STDMETHODIMP SetAllDefaults() override { return E_NOTIMPL; }
  STDMETHODIMP SetValueWithNotify(const GUID*, VARIANT*, GUID**, ULONG*) override { return E_NOTIMPL; }
  STDMETHODIMP SetAllDefaultsWithNotify(GUID**, ULONG*) override { return E_NOTIMPL; }
  STDMETHODIMP GetAllSettings(IStream*) override { return E_NOTIMPL; }
  STDMETHODIMP SetAllSettings(IStream*) override { return E_NOTIMPL; }
  STDMETHODIMP SetAllSettingsWithNotify(IStream*, GUID**, ULONG*) override { return E_NOTIMPL; }

 private:
  explicit FakeTransform(Options options) : options_(options) {
    if (options_.attributes) setup_hr = MFCreateAttributes(attributes.GetAddressOf(), 4);
    if (SUCCEEDED(setup_hr) && options_.events) setup_hr = MFCreateEventQueue(queue.GetAddressOf());
  }
  ~FakeTransform() {
    if (queue) queue->Shutdown();
  }

  const Options options_;
  std::atomic<ULONG> refs_{1};
};

// A sample over a memory buffer holding `bytes`.
ComPtr<IMFSample> MakeSample(const std::vector<uint8_t>& bytes) {
  ComPtr<IMFMediaBuffer> buffer;
  ComPtr<IMFSample> sample;
  if (FAILED(MFCreateMemoryBuffer(static_cast<DWORD>(bytes.size()), buffer.GetAddressOf()))) return nullptr;
  BYTE* data = nullptr;
  if (FAILED(buffer->Lock(&data, nullptr, nullptr))) return nullptr;
  std::memcpy(data, bytes.data(), bytes.size());
  buffer->Unlock();
  buffer->SetCurrentLength(static_cast<DWORD>(bytes.size()));
  if (FAILED(MFCreateSample(sample.GetAddressOf())) || FAILED(sample->AddBuffer(buffer.Get()))) return nullptr;
  return sample;
}

std::vector<uint8_t> SampleBytes(IMFSample* sample) {
  ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(sample->ConvertToContiguousBuffer(buffer.GetAddressOf()))) return {};
  BYTE* data = nullptr;
  DWORD length = 0;
  if (FAILED(buffer->Lock(&data, nullptr, &length))) return {};
  std::vector<uint8_t> out(data, data + length);
  buffer->Unlock();
  return out;
}

UINT32 ReadUint32(IMFAttributes* attributes, REFGUID key, UINT32 missing = 0xDEADu) {
  UINT32 value = 0;
  return SUCCEEDED(attributes->GetUINT32(key, &value)) ? value : missing;
}
UINT64 ReadUint64(IMFAttributes* attributes, REFGUID key) {
  UINT64 value = 0;
  return SUCCEEDED(attributes->GetUINT64(key, &value)) ? value : 0xDEADu;
}
GUID ReadGuid(IMFAttributes* attributes, REFGUID key) {
  GUID value = GUID_NULL;
  attributes->GetGUID(key, &value);
  return value;
}

// COM (multithreaded) and Media Foundation for the length of one test.
class MfEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    com_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    mf_hr_ = MFStartup(MF_VERSION, MFSTARTUP_FULL);
    ASSERT_TRUE(SUCCEEDED(mf_hr_)) << "MFStartup failed: " << std::hex << static_cast<unsigned long>(mf_hr_);
  }
  void TearDown() override {
    if (SUCCEEDED(mf_hr_)) MFShutdown();
    if (com_) CoUninitialize();
  }

  static ComPtr<FakeTransform> MakeFake(FakeTransform::Options options = {}) {
    ComPtr<FakeTransform> fake = FakeTransform::Make(options);
    EXPECT_TRUE(SUCCEEDED(fake->setup_hr));
    return fake;
  }

 private:
  bool com_ = false;
  HRESULT mf_hr_ = E_FAIL;
};

// ------------------------------------------------------------ the transform seam

TEST_F(MfEncoderTest, AttributesAndCodecSettingsReachTheTransform) {
  ComPtr<FakeTransform> fake = MakeFake();
  ASSERT_TRUE(SUCCEEDED(fake->attributes->SetUINT32(MF_TRANSFORM_ASYNC, 1)));
  ASSERT_TRUE(SUCCEEDED(fake->attributes->SetUINT32(MF_SA_D3D11_AWARE, 1)));
  std::unique_ptr<IEncoderTransform> seam = WrapMediaFoundationTransform(fake.Get());
  ASSERT_NE(seam, nullptr);

  EXPECT_TRUE(seam->IsAsync());
  EXPECT_TRUE(seam->IsD3d11Aware());
  EXPECT_EQ(seam->UnlockAsync(), kSOk);
  EXPECT_EQ(ReadUint32(fake->attributes.Get(), MF_TRANSFORM_ASYNC_UNLOCK), 1u);
  EXPECT_EQ(seam->SetLowLatency(), kSOk);
  EXPECT_EQ(ReadUint32(fake->attributes.Get(), MF_LOW_LATENCY), 1u);

  struct Case {
    CodecProperty property;
    GUID api;
    uint32_t value;
  };
  const Case cases[] = {
      {CodecProperty::kLowLatencyMode, {STATIC_CODECAPI_AVLowLatencyMode}, 1},
      {CodecProperty::kRateControlMode, {STATIC_CODECAPI_AVEncCommonRateControlMode}, 4},
      {CodecProperty::kMeanBitRate, {STATIC_CODECAPI_AVEncCommonMeanBitRate}, 2'000'000},
      {CodecProperty::kMaxBitRate, {STATIC_CODECAPI_AVEncCommonMaxBitRate}, 3'000'000},
      {CodecProperty::kGopSize, {STATIC_CODECAPI_AVEncMPVGOPSize}, 120},
      {CodecProperty::kBPictureCount, {STATIC_CODECAPI_AVEncMPVDefaultBPictureCount}, 0},
      {CodecProperty::kBufferSize, {STATIC_CODECAPI_AVEncCommonBufferSize}, 66'666},
      {CodecProperty::kMinQp, {STATIC_CODECAPI_AVEncVideoMinQP}, 18},
      {CodecProperty::kForceKeyFrame, {STATIC_CODECAPI_AVEncVideoForceKeyFrame}, 1},
  };
  ASSERT_TRUE(seam->HasCodecApi());
  for (const Case& c : cases) EXPECT_EQ(seam->SetCodecValue(c.property, c.value), kSOk);
  ASSERT_EQ(fake->codec_values.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const FakeTransform::CodecValue& got = fake->codec_values[i];
    SCOPED_TRACE(i);
    EXPECT_TRUE(IsEqualGUID(got.api, cases[i].api));
    if (cases[i].property == CodecProperty::kLowLatencyMode) {
      EXPECT_EQ(got.vt, VT_BOOL);
      EXPECT_EQ(got.b, VARIANT_TRUE);
    } else {
      EXPECT_EQ(got.vt, VT_UI4);
      EXPECT_EQ(got.ul, cases[i].value);
    }
  }

  // A transform without attributes or codec interface.
  ComPtr<FakeTransform> bare = MakeFake({.attributes = false, .codec_api = false, .events = false});
  std::unique_ptr<IEncoderTransform> plain = WrapMediaFoundationTransform(bare.Get());
  EXPECT_FALSE(plain->IsAsync());
  EXPECT_FALSE(plain->IsD3d11Aware());
  EXPECT_EQ(plain->UnlockAsync(), static_cast<HResult>(E_NOTIMPL));
  EXPECT_FALSE(plain->HasCodecApi());
  EXPECT_EQ(plain->SetCodecValue(CodecProperty::kGopSize, 120), static_cast<HResult>(E_NOINTERFACE));
}

TEST_F(MfEncoderTest, MediaTypesCarryTheDescription) {
  ComPtr<FakeTransform> fake = MakeFake();
  std::unique_ptr<IEncoderTransform> seam = WrapMediaFoundationTransform(fake.Get());

  const MediaTypeDesc output{VideoSubtype::kH264, 1280, 720, 60, 1, 4'000'000, true};
  ASSERT_EQ(seam->SetOutputType(output), kSOk);
  IMFMediaType* type = fake->output_type.Get();
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(fake->type_stream, 0u);
  EXPECT_EQ(fake->type_flags, 0u);
  EXPECT_TRUE(IsEqualGUID(ReadGuid(type, MF_MT_MAJOR_TYPE), MFMediaType_Video));
  EXPECT_TRUE(IsEqualGUID(ReadGuid(type, MF_MT_SUBTYPE), MFVideoFormat_H264));
  EXPECT_EQ(ReadUint32(type, MF_MT_AVG_BITRATE), 4'000'000u);
  EXPECT_EQ(ReadUint64(type, MF_MT_FRAME_SIZE), (1280ull << 32) | 720u);
  EXPECT_EQ(ReadUint64(type, MF_MT_FRAME_RATE), (60ull << 32) | 1u);
  EXPECT_EQ(ReadUint32(type, MF_MT_INTERLACE_MODE), 2u);
  EXPECT_EQ(ReadUint64(type, MF_MT_PIXEL_ASPECT_RATIO), (1ull << 32) | 1u);
  EXPECT_EQ(ReadUint32(type, MF_LOW_LATENCY), 1u);

  // Input types take neither bit rate nor low latency.
  struct Case {
    VideoSubtype subtype;
    GUID guid;
  };
  const Case inputs[] = {{VideoSubtype::kNv12, MFVideoFormat_NV12},
                         {VideoSubtype::kArgb32, MFVideoFormat_ARGB32},
                         {VideoSubtype::kRgb32, MFVideoFormat_RGB32},
                         {VideoSubtype::kHevc, MFVideoFormat_HEVC}};
  for (const Case& c : inputs) {
    SCOPED_TRACE(static_cast<int>(c.subtype));
    ASSERT_EQ(seam->SetInputType({c.subtype, 640, 360, 30, 1, 999, true}), kSOk);
    type = fake->input_type.Get();
    EXPECT_TRUE(IsEqualGUID(ReadGuid(type, MF_MT_SUBTYPE), c.guid));
    EXPECT_EQ(ReadUint64(type, MF_MT_FRAME_SIZE), (640ull << 32) | 360u);
    EXPECT_EQ(ReadUint64(type, MF_MT_FRAME_RATE), (30ull << 32) | 1u);
    EXPECT_EQ(ReadUint32(type, MF_MT_INTERLACE_MODE), 2u);
    EXPECT_EQ(ReadUint32(type, MF_MT_AVG_BITRATE), 0xDEADu);
    EXPECT_EQ(ReadUint32(type, MF_LOW_LATENCY), 0xDEADu);
  }

  fake->set_type_hr = MF_E_INVALIDMEDIATYPE;
  EXPECT_EQ(seam->SetInputType({VideoSubtype::kNv12, 640, 360, 30, 1, 0, false}),
            static_cast<HResult>(MF_E_INVALIDMEDIATYPE));
  fake->set_type_hr = S_OK;

  // A stream change without a type to take leaves the second result alone.
  HResult available_hr = kSOk;
  HResult set_hr = 12345;
  seam->AdoptAvailableOutputType(&available_hr, &set_hr);
  EXPECT_EQ(available_hr, static_cast<HResult>(MF_E_NO_MORE_TYPES));
  EXPECT_EQ(set_hr, 12345);
  ASSERT_TRUE(SUCCEEDED(MFCreateMediaType(fake->available.GetAddressOf())));
  seam->AdoptAvailableOutputType(&available_hr, &set_hr);
  EXPECT_EQ(available_hr, kSOk);
  EXPECT_EQ(set_hr, kSOk);
  EXPECT_EQ(fake->output_type.Get(), fake->available.Get());
}

TEST_F(MfEncoderTest, MessagesAndTheDeviceManager) {
  ComPtr<FakeTransform> fake = MakeFake();
  std::unique_ptr<IEncoderTransform> seam = WrapMediaFoundationTransform(fake.Get());
  const std::pair<TransformMessage, MFT_MESSAGE_TYPE> cases[] = {
      {TransformMessage::kBeginStreaming, MFT_MESSAGE_NOTIFY_BEGIN_STREAMING},
      {TransformMessage::kStartOfStream, MFT_MESSAGE_NOTIFY_START_OF_STREAM},
      {TransformMessage::kEndOfStream, MFT_MESSAGE_NOTIFY_END_OF_STREAM},
      {TransformMessage::kFlush, MFT_MESSAGE_COMMAND_FLUSH},
      {TransformMessage::kDrain, MFT_MESSAGE_COMMAND_DRAIN},
  };
  for (const auto& c : cases) EXPECT_EQ(seam->ProcessMessage(c.first), kSOk);
  EXPECT_EQ(seam->SetD3dManager(nullptr), kSOk);
  ASSERT_EQ(fake->messages.size(), std::size(cases) + 1);
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(fake->messages[i].type, cases[i].second) << i;
    EXPECT_EQ(fake->messages[i].param, 0u) << i;
  }
  EXPECT_EQ(fake->messages.back().type, MFT_MESSAGE_SET_D3D_MANAGER);
  EXPECT_EQ(fake->messages.back().param, 0u);

  std::unique_ptr<IEncoderPlatform> platform = MakeMediaFoundationEncoderPlatform();
  std::unique_ptr<IDxgiDeviceManager> manager;
  const HResult created = platform->CreateDeviceManager(&manager);
  ASSERT_EQ(created, kSOk);
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(seam->SetD3dManager(manager.get()), kSOk);
  ASSERT_EQ(fake->messages.back().type, MFT_MESSAGE_SET_D3D_MANAGER);
  auto* attached = reinterpret_cast<IUnknown*>(fake->messages.back().param);
  ASSERT_NE(attached, nullptr);
  ComPtr<IMFDXGIDeviceManager> as_manager;
  EXPECT_TRUE(SUCCEEDED(attached->QueryInterface(IID_IMFDXGIDeviceManager,
                                                 reinterpret_cast<void**>(as_manager.GetAddressOf()))));

  HRESULT device_hr = S_OK;
  std::shared_ptr<D3D11Device> device = D3D11Device::Create(nullptr, "Encoder test", &device_hr);
  ASSERT_NE(device, nullptr) << std::hex << static_cast<unsigned long>(device_hr);
  const HResult reset = manager->ResetDevice(*device);
  if (FAILED(reset) && RunningUnderWine()) {
    GTEST_SKIP() << "under Wine: IMFDXGIDeviceManager::ResetDevice refuses the device: " << std::hex
                 << static_cast<unsigned long>(reset);
  }
  EXPECT_EQ(reset, kSOk);
}

TEST_F(MfEncoderTest, OutputSamplesAreReadOut) {
  const std::vector<uint8_t> idr = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x65, 0x88, 0x84};
  struct Case {
    const char* name;
    uint32_t supply_bytes;
    bool provide;           // the transform hands out its own sample
    bool clean_point_and_time;
    HRESULT output_hr;
    // Expected:
    OutputStep failed_step;
    bool has_sample;
  };
  const Case cases[] = {
      {"provided with clean point and time", 0, true, true, S_OK, OutputStep::kNone, true},
      {"provided bare", 0, true, false, S_OK, OutputStep::kNone, true},
      {"supplied buffer", 4096, false, false, S_OK, OutputStep::kNone, true},
      {"needs more input", 4096, false, false, MF_E_TRANSFORM_NEED_MORE_INPUT, OutputStep::kProcessOutput, false},
      {"stream change", 0, false, false, MF_E_TRANSFORM_STREAM_CHANGE, OutputStep::kProcessOutput, false},
      {"success without a sample", 0, false, false, S_OK, OutputStep::kNone, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<FakeTransform> fake = MakeFake();
    std::unique_ptr<IEncoderTransform> seam = WrapMediaFoundationTransform(fake.Get());
    fake->output_hr = c.output_hr;
    fake->write_bytes = idr;
    if (c.provide) {
      fake->provide = MakeSample(idr);
      ASSERT_NE(fake->provide, nullptr);
      if (c.clean_point_and_time) {
        fake->provide->SetUINT32(MFSampleExtension_CleanPoint, 1);
        fake->provide->SetSampleTime(1'234'500);
      }
    }
    ASSERT_TRUE(SUCCEEDED(MFCreateCollection(fake->events.GetAddressOf())));

    const OutputResult out = seam->ProcessOutput(c.supply_bytes);
    EXPECT_EQ(out.hr, static_cast<HResult>(c.output_hr));
    EXPECT_EQ(out.failed_step, c.failed_step);
    EXPECT_EQ(out.has_sample, c.has_sample);
    EXPECT_EQ(fake->output_count, 1u);
    EXPECT_EQ(fake->supplied != nullptr, c.supply_bytes != 0);
    // The event collection handed out with the output was released.
    EXPECT_EQ(RefCount(fake->events.Get()), 1u);
    if (c.provide) {
      EXPECT_EQ(RefCount(fake->provide.Get()), 1u);
    }
    if (!c.has_sample) continue;
    EXPECT_EQ(out.data, idr);
    EXPECT_EQ(out.has_clean_point, c.clean_point_and_time);
    EXPECT_EQ(out.clean_point, c.clean_point_and_time);
    EXPECT_EQ(out.has_time, c.clean_point_and_time);
    EXPECT_EQ(out.time_100ns, c.clean_point_and_time ? 1'234'500 : 0);
  }

  ComPtr<FakeTransform> fake = MakeFake();
  fake->stream_flags = MFT_OUTPUT_STREAM_PROVIDES_SAMPLES;
  fake->stream_size = 77'777;
  const OutputStreamInfo info = WrapMediaFoundationTransform(fake.Get())->GetOutputStreamInfo();
  EXPECT_EQ(info.hr, kSOk);
  EXPECT_EQ(info.flags, kOutputProvidesSamples);
  EXPECT_EQ(info.buffer_size, 77'777u);
}

TEST_F(MfEncoderTest, InputSamplesCarryBytesAndTimes) {
  std::unique_ptr<IEncoderPlatform> platform = MakeMediaFoundationEncoderPlatform();
  ComPtr<FakeTransform> fake = MakeFake();
  std::unique_ptr<IEncoderTransform> seam = WrapMediaFoundationTransform(fake.Get());

  std::vector<uint8_t> frame(640 * 360 * 3 / 2);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7);
  SampleResult made = platform->MakeMemorySample(frame.data(), frame.size(), 5'000'000, 333'330);
  ASSERT_EQ(made.failed_step, SampleStep::kNone);
  ASSERT_EQ(made.hr, kSOk);
  ASSERT_NE(made.sample, nullptr);
  ASSERT_EQ(seam->ProcessInput(*made.sample), kSOk);
  ASSERT_NE(fake->last_input, nullptr);
  EXPECT_EQ(fake->input_stream, 0u);
  LONGLONG time = 0;
  LONGLONG duration = 0;
  DWORD buffers = 0;
  EXPECT_TRUE(SUCCEEDED(fake->last_input->GetSampleTime(&time)));
  EXPECT_TRUE(SUCCEEDED(fake->last_input->GetSampleDuration(&duration)));
  EXPECT_TRUE(SUCCEEDED(fake->last_input->GetBufferCount(&buffers)));
  EXPECT_EQ(time, 5'000'000);
  EXPECT_EQ(duration, 333'330);
  EXPECT_EQ(buffers, 1u);
  EXPECT_EQ(SampleBytes(fake->last_input.Get()), frame);

  SampleResult refused = platform->MakeMemorySample(nullptr, 16, 0, 0);
  EXPECT_EQ(refused.failed_step, SampleStep::kAllocateBuffer);
  EXPECT_EQ(refused.hr, static_cast<HResult>(E_POINTER));
  EXPECT_EQ(refused.sample, nullptr);

  const D3D11Texture no_texture(nullptr, 64, 64, DXGI_FORMAT_NV12);
  refused = platform->MakeSurfaceSample(no_texture, 0, 0);
  EXPECT_EQ(refused.failed_step, SampleStep::kSurfaceBuffer);
  EXPECT_EQ(refused.hr, static_cast<HResult>(E_POINTER));

  // A sample over a GPU surface (BGRA here: Wine has no NV12 textures).
  HRESULT hr = S_OK;
  std::shared_ptr<D3D11Device> device = D3D11Device::Create(nullptr, "Encoder test", &hr);
  ASSERT_NE(device, nullptr) << std::hex << static_cast<unsigned long>(hr);
  D3D11_TEXTURE2D_DESC desc = {};
  desc.Width = 64;
  desc.Height = 64;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  desc.SampleDesc.Count = 1;
  desc.Usage = D3D11_USAGE_DEFAULT;
  desc.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
  ComPtr<ID3D11Texture2D> texture;
  ASSERT_TRUE(SUCCEEDED(device->device()->CreateTexture2D(&desc, nullptr, texture.GetAddressOf())));
  const D3D11Texture surface(texture, 64, 64, DXGI_FORMAT_B8G8R8A8_UNORM);
  SampleResult gpu = platform->MakeSurfaceSample(surface, 7'000'000, 166'660);
  ASSERT_EQ(gpu.failed_step, SampleStep::kNone) << std::hex << static_cast<unsigned long>(gpu.hr);
  ASSERT_EQ(seam->ProcessInput(*gpu.sample), kSOk);
  EXPECT_TRUE(SUCCEEDED(fake->last_input->GetSampleTime(&time)));
  EXPECT_TRUE(SUCCEEDED(fake->last_input->GetSampleDuration(&duration)));
  EXPECT_EQ(time, 7'000'000);
  EXPECT_EQ(duration, 166'660);
  ComPtr<IMFMediaBuffer> buffer;
  ASSERT_TRUE(SUCCEEDED(fake->last_input->GetBufferByIndex(0, buffer.GetAddressOf())));
  ComPtr<IMFDXGIBuffer> dxgi;
  ASSERT_TRUE(SUCCEEDED(buffer->QueryInterface(IID_IMFDXGIBuffer, reinterpret_cast<void**>(dxgi.GetAddressOf()))));
  ComPtr<ID3D11Texture2D> resource;
  ASSERT_TRUE(SUCCEEDED(dxgi->GetResource(IID_ID3D11Texture2D, reinterpret_cast<void**>(resource.GetAddressOf()))));
  EXPECT_EQ(resource.Get(), texture.Get());
  UINT subresource = 99;
  EXPECT_TRUE(SUCCEEDED(dxgi->GetSubresourceIndex(&subresource)));
  EXPECT_EQ(subresource, 0u);
}

// Reads the shared state under its mutex.
template <typename F>
auto UnderLock(VideoEncoderAsyncState& state, F read) {
  std::lock_guard<std::mutex> lock(state.mu);
  return read();
}

TEST_F(MfEncoderTest, EventsReachTheAsyncState) {
  ComPtr<FakeTransform> fake = MakeFake();
  std::unique_ptr<IEncoderTransform> seam = WrapMediaFoundationTransform(fake.Get());
  auto state = std::make_shared<VideoEncoderAsyncState>();
  const EventSetupResult started = seam->StartEvents(state);
  ASSERT_EQ(started.failed_step, EventSetupStep::kNone);
  ASSERT_EQ(started.hr, kSOk);

  // Each event is taken and the request renewed.
  ASSERT_TRUE(SUCCEEDED(fake->QueueEvent(METransformNeedInput, GUID_NULL, S_OK, nullptr)));
  ASSERT_TRUE(SUCCEEDED(fake->QueueEvent(METransformNeedInput, GUID_NULL, S_OK, nullptr)));
  ASSERT_TRUE(SUCCEEDED(fake->QueueEvent(METransformHaveOutput, GUID_NULL, S_OK, nullptr)));
  ASSERT_TRUE(SUCCEEDED(fake->QueueEvent(MEError, GUID_NULL, MF_E_INVALIDREQUEST, nullptr)));
  EXPECT_TRUE(testing::WaitFor([&] {
    return UnderLock(*state, [&] { return state->need_input == 2 && state->have_output == 1 && state->error != kSOk; });
  }));
  EXPECT_EQ(UnderLock(*state, [&] { return state->error; }), static_cast<HResult>(MF_E_INVALIDREQUEST));
  EXPECT_FALSE(UnderLock(*state, [&] { return state->callback_ended; }));

  // Stopping: the next event ends the callback without a new request.
  UnderLock(*state, [&] { return state->stopping = true; });
  ASSERT_TRUE(SUCCEEDED(fake->QueueEvent(METransformNeedInput, GUID_NULL, S_OK, nullptr)));
  EXPECT_TRUE(testing::WaitFor([&] { return UnderLock(*state, [&] { return state->callback_ended; }); }));
  seam->ShutdownTransform();
  EXPECT_EQ(fake->shutdowns, 1);

  // Nothing of the seam holds the transform once it is gone (the callback
  // lets its reference go as its last call returns).
  seam.reset();
  EXPECT_TRUE(testing::WaitFor([&] { return RefCount(static_cast<IMFTransform*>(fake.Get())) == 1u; }));

  // A transform without an event generator.
  ComPtr<FakeTransform> quiet = MakeFake({.attributes = true, .codec_api = true, .events = false});
  const EventSetupResult none =
      WrapMediaFoundationTransform(quiet.Get())->StartEvents(std::make_shared<VideoEncoderAsyncState>());
  EXPECT_EQ(none.failed_step, EventSetupStep::kNoGenerator);
  EXPECT_EQ(none.hr, static_cast<HResult>(E_NOINTERFACE));
}

TEST_F(MfEncoderTest, AnOutstandingRequestOutlivesTheTransform) {
  ComPtr<FakeTransform> fake = MakeFake();
  std::unique_ptr<IEncoderTransform> seam = WrapMediaFoundationTransform(fake.Get());
  auto state = std::make_shared<VideoEncoderAsyncState>();
  ASSERT_EQ(seam->StartEvents(state).failed_step, EventSetupStep::kNone);

  // The request stays queued in the transform, holding the callback, which
  // no longer reaches the transform.
  seam.reset();
  EXPECT_EQ(RefCount(static_cast<IMFTransform*>(fake.Get())), 1u);
  ASSERT_TRUE(SUCCEEDED(fake->QueueEvent(METransformNeedInput, GUID_NULL, S_OK, nullptr)));
  EXPECT_TRUE(testing::WaitFor([&] { return UnderLock(*state, [&] { return state->callback_ended; }); }));
  EXPECT_EQ(UnderLock(*state, [&] { return state->need_input; }), 0);
}

// ------------------------------------------------------------ the platform and the encoder

// Encoder transforms Wine or Windows registers for the codec.
size_t RegisteredEncoders(IEncoderPlatform& platform, VideoCodec codec, bool hardware) {
  return platform.Enumerate(codec, hardware).activations.size();
}

TEST_F(MfEncoderTest, CountsHardwareEncoders) {
  std::unique_ptr<IEncoderPlatform> platform = MakeMediaFoundationEncoderPlatform();
  for (VideoCodec codec : {VideoCodec::kH264, VideoCodec::kHevc}) {
    SCOPED_TRACE(VideoCodecName(codec));
    const TransformEnumeration hardware = platform->Enumerate(codec, true);
    EXPECT_EQ(hardware.hr, kSOk);
    EXPECT_EQ(CountHardwareEncoders(codec), hardware.activations.size());
    if (RunningUnderWine()) {
      EXPECT_EQ(CountHardwareEncoders(codec), 0u);
    }
    for (const auto& activation : hardware.activations) {
      std::printf("hardware %s encoder: %s (adapter 0x%016llX)\n", VideoCodecName(codec),
                  activation->FriendlyName().c_str(),
                  static_cast<unsigned long long>(activation->AdapterLuidAttribute()));
    }
  }
  const uint64_t luid = platform->FirstAdapterLuid();
  EXPECT_NE(luid, 0u);
  const TransformEnumeration bound = platform->EnumerateForAdapter(VideoCodec::kH264, luid);
  std::printf("MFTEnum2 for adapter 0x%016llX: hr=0x%08lX, %zu transform(s)\n", static_cast<unsigned long long>(luid),
              static_cast<unsigned long>(bound.hr), bound.activations.size());
  if (RunningUnderWine()) {
    EXPECT_TRUE(bound.activations.empty());
  }
}

TEST_F(MfEncoderTest, InitializeFailsWithoutAnyEncoder) {
  if (!RunningUnderWine()) GTEST_SKIP() << "Windows registers a software H.264 encoder";
  std::unique_ptr<IEncoderPlatform> platform = MakeMediaFoundationEncoderPlatform();
  const size_t software = RegisteredEncoders(*platform, VideoCodec::kH264, false);
  const size_t hardware = RegisteredEncoders(*platform, VideoCodec::kH264, true);
  if (software + hardware != 0) {
    GTEST_SKIP() << "under Wine: this Wine registers " << software << " software and " << hardware
                 << " hardware H.264 encoder transform(s)";
  }
  std::unique_ptr<IVideoEncoder> encoder = MakePlatformVideoEncoder();
  EXPECT_FALSE(encoder->Initialize(VideoCodec::kH264, 640, 360, 30, 2000));
  EXPECT_FALSE(encoder->IsInitialized());
  EXPECT_EQ(encoder->GetMode(), EncoderMode::kSw);
  const HostResult result = encoder->GetLastResult();
  EXPECT_EQ(result.code, 6);
  EXPECT_EQ(result.message, "Failed to create hardware or software encoder");
  EXPECT_EQ(encoder->GetRuntimeInfo().fallback_reason, "no_hardware_encoder");
}

// A moving test card: bars, a ramp and a block that moves each frame.
void PaintFrame(std::vector<uint8_t>* pixels, uint32_t width, uint32_t height, uint32_t frame) {
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* p = pixels->data() + (static_cast<size_t>(y) * width + x) * 4;
      const uint32_t bar = x * 8 / width;
      p[0] = (bar & 1) ? 255 : static_cast<uint8_t>(y * 255 / height);
      p[1] = (bar & 2) ? 255 : static_cast<uint8_t>(x * 255 / width);
      p[2] = (bar & 4) ? 255 : 0;
      p[3] = 255;
      const uint32_t bx = (frame * 8) % width;
      if (x >= bx && x < bx + 32 && y >= 100 && y < 132) p[0] = p[1] = p[2] = 0;
    }
  }
}

TEST_F(MfEncoderTest, EncodesSyntheticFrames) {
  ORVANE_SKIP_UNDER_WINE("Wine registers no Media Foundation video encoder");
  constexpr uint32_t kWidth = 640;
  constexpr uint32_t kHeight = 360;
  std::unique_ptr<IVideoEncoder> encoder = MakePlatformVideoEncoder();
  ASSERT_TRUE(encoder->Initialize(VideoCodec::kH264, kWidth, kHeight, 30, 2000))
      << encoder->GetLastResult().ToString();
  const EncoderRuntimeInfo info = encoder->GetRuntimeInfo();
  std::printf("encoder: mode=%s mft=%s async=%d fallback=%s\n", encoder->GetModeName(), info.mft_name.c_str(),
              info.async ? 1 : 0, info.fallback_reason.c_str());

  std::vector<uint8_t> pixels(static_cast<size_t>(kWidth) * kHeight * 4);
  std::vector<EncodedAccessUnit> units;
  for (uint32_t i = 0; i < 30; ++i) {
    PaintFrame(&pixels, kWidth, kHeight, i);
    ASSERT_TRUE(encoder->EncodeBgra(pixels.data(), kWidth * 4, kWidth, kHeight, static_cast<int64_t>(i) * 33'333))
        << "frame " << i << ": " << encoder->GetLastResult().ToString();
    EncodedAccessUnit unit;
    while (encoder->ReceiveAccessUnit(&unit)) units.push_back(std::move(unit));
  }
  ASSERT_FALSE(units.empty());
  EXPECT_TRUE(units.front().keyframe);
  for (const EncodedAccessUnit& unit : units) EXPECT_FALSE(unit.data.empty());
  std::printf("%zu access units from 30 frames\n", units.size());
  encoder->Shutdown();
  EXPECT_FALSE(encoder->IsInitialized());
}

}  // namespace
}  // namespace orvane

#endif  // _WIN32
