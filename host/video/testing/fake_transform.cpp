#include "host/video/testing/fake_transform.h"

#include <algorithm>
#include <chrono>

#include "host/video/testing/fake_gpu_platform.h"

namespace orvane::testing {

namespace {

bool Failed(HResult hr) { return hr < 0; }

// A sample's reference on a fake GPU surface: while one lives the pool may
// not hand the surface out again. Every texture in these tests is a
// FakeGpuTexture.
class SurfaceHold {
 public:
  explicit SurfaceHold(const GpuTexture& texture) : texture_(static_cast<FakeGpuTexture*>(texture.Native())) {
    ++texture_->outside_holders;
  }
  ~SurfaceHold() { --texture_->outside_holders; }
  SurfaceHold(const SurfaceHold&) = delete;
  SurfaceHold& operator=(const SurfaceHold&) = delete;
  int id() const { return texture_->id(); }

 private:
  FakeGpuTexture* texture_;
};

class FakeSample final : public EncoderSample {
 public:
  FakeSampleRecord record;
  std::shared_ptr<SurfaceHold> hold;
};

class FakeTransform final : public IEncoderTransform {
 public:
  FakeTransform(std::shared_ptr<FakeTransformScript> script, FakeEventPump* pump)
      : script_(std::move(script)), pump_(pump) {}
  ~FakeTransform() override {
    ++script_->destroyed;
    script_->calls.push_back("Destroy");
  }

  bool IsAsync() override { return script_->async; }
  HResult UnlockAsync() override {
    script_->calls.push_back("UnlockAsync");
    return script_->unlock_hr;
  }
  bool IsD3d11Aware() override { return script_->d3d11_aware; }
  HResult SetLowLatency() override {
    script_->calls.push_back("SetLowLatency");
    return script_->low_latency_hr;
  }

  bool HasCodecApi() override { return script_->has_codec_api; }
  HResult SetCodecValue(CodecProperty property, uint32_t value) override {
    script_->codec_values.emplace_back(property, value);
    if (property == CodecProperty::kRateControlMode && script_->refused_rate_controls.count(value) != 0) {
      return kEInvalidArg;
    }
    auto it = script_->codec_hr.find(property);
    if (it != script_->codec_hr.end() && Failed(it->second)) return it->second;
    if (property == CodecProperty::kForceKeyFrame && value != 0) force_keyframe_ = true;
    return kSOk;
  }

  HResult SetOutputType(const MediaTypeDesc& type) override {
    script_->calls.push_back("SetOutputType");
    script_->output_types.push_back(type);
    if (Failed(script_->output_type_hr)) return script_->output_type_hr;
    codec_ = type.subtype;
    return kSOk;
  }
  HResult SetInputType(const MediaTypeDesc& type) override {
    script_->calls.push_back(std::string("SetInputType ") + VideoSubtypeName(type.subtype));
    script_->input_types.push_back(type);
    if (!script_->input_type_answers.empty()) {
      const HResult hr = script_->input_type_answers.front();
      script_->input_type_answers.pop_front();
      return hr;
    }
    auto it = script_->input_type_hr.find(type.subtype);
    return it == script_->input_type_hr.end() ? kSOk : it->second;
  }
  void AdoptAvailableOutputType(HResult* available_hr, HResult* set_hr) override {
    script_->calls.push_back("AdoptAvailableOutputType");
    *available_hr = script_->available_type_hr;
    if (Failed(*available_hr)) return;
    *set_hr = script_->adopt_type_hr;
  }

  HResult ProcessMessage(TransformMessage message) override {
    script_->messages.push_back(message);
    auto it = script_->message_hr.find(message);
    return it == script_->message_hr.end() ? kSOk : it->second;
  }
  HResult SetD3dManager(IDxgiDeviceManager* manager) override {
    script_->managers.push_back(manager != nullptr);
    if (manager == nullptr) return kSOk;
    return script_->set_manager_hr;
  }

  HResult ProcessInput(EncoderSample& sample) override {
    script_->calls.push_back("ProcessInput");
    HResult hr = script_->input_hr;
    if (!script_->input_answers.empty()) {
      hr = script_->input_answers.front();
      script_->input_answers.pop_front();
    }
    if (!Failed(hr) && script_->not_accepting_at > 0 && ReadyUnits() >= script_->not_accepting_at) {
      hr = kMfENotAccepting;
    }
    if (Failed(hr)) return hr;

    const FakeSample& fake = dynamic_cast<const FakeSample&>(sample);
    script_->inputs.push_back(fake.record);
    const bool key = units_made_ == 0 || force_keyframe_;
    force_keyframe_ = false;
    pending_.push_back(Unit{units_made_, FakeUnitBytes(codec_, key, units_made_), key, fake.record.time_100ns});
    ++units_made_;
    if (script_->retain_inputs > 0) {
      retained_.push_back(fake.hold);
      while (retained_.size() > script_->retain_inputs) retained_.pop_front();
    }

    if (script_->async) {
      const size_t ready = ReadyTotal();
      while (signalled_ < ready) {
        ++signalled_;
        Emit(VideoEncoderAsyncState::kEventHaveOutput, kSOk);
      }
      if (script_->request_input_after_each) Emit(VideoEncoderAsyncState::kEventNeedInput, kSOk);
      if (script_->error_after_inputs >= 0 && units_made_ == static_cast<size_t>(script_->error_after_inputs)) {
        Emit(VideoEncoderAsyncState::kEventError, script_->error_status);
      }
    }
    return kSOk;
  }

  OutputStreamInfo GetOutputStreamInfo() override { return script_->stream_info; }

  OutputResult ProcessOutput(uint32_t supply_bytes) override {
    script_->calls.push_back("ProcessOutput");
    script_->supplied.push_back(supply_bytes);
    if (!script_->output_answers.empty()) {
      OutputResult answer = script_->output_answers.front();
      script_->output_answers.pop_front();
      if (script_->async) {
        if (answer.hr == kMfETransformStreamChange) {
          Emit(VideoEncoderAsyncState::kEventHaveOutput, kSOk);  // the unit is still there
        } else if (ReadyUnits() > 0) {
          pending_.pop_front();  // given out in its place
        }
      }
      return answer;
    }
    OutputResult result;
    if (Failed(script_->output_hr)) {
      result.hr = script_->output_hr;
      result.failed_step = OutputStep::kProcessOutput;
      return result;
    }
    if (ReadyUnits() == 0) {
      result.hr = kMfETransformNeedMoreInput;
      result.failed_step = OutputStep::kProcessOutput;
      return result;
    }
    Unit unit = std::move(pending_.front());
    pending_.pop_front();
    result.hr = kSOk;
    result.has_sample = true;
    result.data = std::move(unit.bytes);
    result.has_clean_point = script_->clean_point;
    result.clean_point = unit.key;
    result.has_time = script_->timed;
    result.time_100ns = unit.time_100ns;
    return result;
  }

  EventSetupResult StartEvents(std::shared_ptr<VideoEncoderAsyncState> state) override {
    script_->calls.push_back("StartEvents");
    if (script_->event_setup.failed_step != EventSetupStep::kNone || Failed(script_->event_setup.hr)) {
      return script_->event_setup;
    }
    state_ = std::move(state);
    for (int i = 0; i < script_->initial_input_requests; ++i) Emit(VideoEncoderAsyncState::kEventNeedInput, kSOk);
    return {};
  }

  void ShutdownTransform() override {
    script_->calls.push_back("ShutdownTransform");
    if (!script_->end_callback_on_shutdown || !state_) return;
    if (pump_ == nullptr || pump_->mode() == FakeEventPump::Mode::kImmediate) {
      state_->OnEventRequestFailed(kMfEShutdown);
    } else {
      pump_->Post(state_, FakeEventPump::Kind::kRequestFailed, 0, kMfEShutdown);
    }
  }

 private:
  struct Unit {
    size_t sequence;
    std::vector<uint8_t> bytes;
    bool key;
    int64_t time_100ns;
  };

  // Units made ready so far (each input's unit after `latency` more inputs).
  size_t ReadyTotal() const { return units_made_ > script_->latency ? units_made_ - script_->latency : 0; }
  size_t ReadyUnits() const {
    const size_t ready = ReadyTotal();
    size_t n = 0;
    for (const Unit& unit : pending_) {
      if (unit.sequence < ready) ++n;
    }
    return n;
  }

  void Emit(uint32_t type, HResult status) {
    if (!state_) return;
    if (pump_ == nullptr || pump_->mode() == FakeEventPump::Mode::kImmediate) {
      state_->OnEvent(type, status);
    } else {
      pump_->Post(state_, FakeEventPump::Kind::kEvent, type, status);
    }
  }

  std::shared_ptr<FakeTransformScript> script_;
  FakeEventPump* pump_;
  std::shared_ptr<VideoEncoderAsyncState> state_;
  VideoSubtype codec_ = VideoSubtype::kH264;
  bool force_keyframe_ = false;
  size_t units_made_ = 0;
  size_t signalled_ = 0;
  std::deque<Unit> pending_;
  std::deque<std::shared_ptr<SurfaceHold>> retained_;
};

class FakeActivation final : public ITransformActivation {
 public:
  FakeActivation(FakeEncoderPlatform* platform, FakeCandidate candidate)
      : platform_(platform), candidate_(std::move(candidate)) {}
  std::string FriendlyName() override { return candidate_.name; }
  TransformClsid Clsid() override { return candidate_.clsid; }
  uint64_t AdapterLuidAttribute() override { return candidate_.luid; }
  HResult Activate(std::unique_ptr<IEncoderTransform>* out) override {
    platform_->activated.push_back(candidate_.name);
    out->reset();
    if (Failed(candidate_.activate_hr)) return candidate_.activate_hr;
    if (candidate_.activate_empty) return kSOk;
    ++candidate_.script->activations;
    *out = std::make_unique<FakeTransform>(candidate_.script, platform_->pump);
    return kSOk;
  }
  void ShutdownObject() override { platform_->shut_down.push_back(candidate_.name); }

 private:
  FakeEncoderPlatform* platform_;
  FakeCandidate candidate_;
};

class FakeDeviceManager final : public IDxgiDeviceManager {
 public:
  explicit FakeDeviceManager(FakeEncoderPlatform* platform) : platform_(platform) {}
  HResult ResetDevice(GpuDevice&) override {
    ++platform_->reset_device_calls;
    if (!platform_->reset_device_answers.empty()) {
      const HResult hr = platform_->reset_device_answers.front();
      platform_->reset_device_answers.pop_front();
      return hr;
    }
    return platform_->reset_device_hr;
  }

 private:
  FakeEncoderPlatform* platform_;
};

}  // namespace

TransformClsid FakeClsid(uint32_t n) {
  TransformClsid clsid;
  clsid.bytes[0] = 0xFA;
  clsid.bytes[12] = static_cast<uint8_t>(n >> 24);
  clsid.bytes[13] = static_cast<uint8_t>(n >> 16);
  clsid.bytes[14] = static_cast<uint8_t>(n >> 8);
  clsid.bytes[15] = static_cast<uint8_t>(n);
  return clsid;
}

// ------------------------------------------------------------ FakeEventPump

FakeEventPump::FakeEventPump(Mode mode) : mode_(mode) {
  if (mode_ == Mode::kThread) thread_ = std::thread([this] { Run(); });
}

FakeEventPump::~FakeEventPump() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void FakeEventPump::Post(const std::shared_ptr<VideoEncoderAsyncState>& state, Kind kind, uint32_t type,
                         HResult status) {
  if (mode_ == Mode::kImmediate) {
    Apply(Item{state, kind, type, status});
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(Item{state, kind, type, status});
  }
  cv_.notify_all();
}

bool FakeEventPump::DeliverOne() {
  Item item;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (queue_.empty()) return false;
    item = std::move(queue_.front());
    queue_.pop_front();
  }
  Apply(item);
  return true;
}

size_t FakeEventPump::Pending() {
  std::lock_guard<std::mutex> lock(mu_);
  return queue_.size() + in_flight_;
}

void FakeEventPump::Apply(const Item& item) {
  if (!item.state) return;
  if (item.kind == Kind::kRequestFailed) {
    item.state->OnEventRequestFailed(item.status);
  } else {
    item.state->OnEvent(item.type, item.status);
  }
}

void FakeEventPump::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    Item item = std::move(queue_.front());
    queue_.pop_front();
    ++in_flight_;
    lock.unlock();
    Apply(item);
    lock.lock();
    --in_flight_;
  }
}

// ---------------------------------------------------------- FakeAsyncWaiter

void FakeAsyncWaiter::WaitUntil(VideoEncoderAsyncState& state, std::unique_lock<std::mutex>& lock,
                                uint64_t deadline_ms) {
  const uint64_t now = clock_.TickMs();
  waits.push_back(deadline_ms > now ? deadline_ms - now : 0);
  if (pump_ != nullptr) {
    if (pump_->mode() == FakeEventPump::Mode::kOnWait) {
      lock.unlock();
      const bool delivered = pump_->DeliverOne();
      lock.lock();
      if (delivered) return;
    } else if (pump_->mode() == FakeEventPump::Mode::kThread && pump_->Pending() > 0) {
      // An event is on its way: no virtual time passes until it lands. The
      // bound only covers a notification that came just before this wait.
      state.cv.wait_for(lock, std::chrono::milliseconds(5));
      return;
    }
  }
  const uint64_t later = clock_.TickMs();
  if (later < deadline_ms) clock_.AdvanceMs(deadline_ms - later);
}

// ------------------------------------------------------- FakeTransformScript

std::vector<uint32_t> FakeTransformScript::ValuesOf(CodecProperty property) const {
  std::vector<uint32_t> values;
  for (const auto& [p, v] : codec_values) {
    if (p == property) values.push_back(v);
  }
  return values;
}

size_t FakeTransformScript::Count(const std::string& call) const {
  return static_cast<size_t>(std::count(calls.begin(), calls.end(), call));
}

FakeCandidate MakeFakeCandidate(const std::string& name, uint32_t clsid, uint64_t luid) {
  FakeCandidate c;
  c.name = name;
  c.clsid = FakeClsid(clsid);
  c.luid = luid;
  return c;
}

// ------------------------------------------------------ FakeEncoderPlatform

TransformEnumeration FakeEncoderPlatform::Make(HResult hr, const std::vector<FakeCandidate>& list) {
  TransformEnumeration e;
  e.hr = hr;
  if (Failed(hr)) return e;
  for (const FakeCandidate& c : list) e.activations.push_back(std::make_unique<FakeActivation>(this, c));
  return e;
}

TransformEnumeration FakeEncoderPlatform::EnumerateForAdapter(VideoCodec, uint64_t adapter_luid) {
  adapter_enumerations.push_back(adapter_luid);
  return Make(adapter_enum_hr, adapter_candidates);
}

TransformEnumeration FakeEncoderPlatform::Enumerate(VideoCodec, bool want_hardware) {
  if (want_hardware) {
    ++hardware_enumerations;
    return Make(hardware_enum_hr, hardware);
  }
  ++software_enumerations;
  return Make(software_enum_hr, software);
}

HResult FakeEncoderPlatform::CreateDeviceManager(std::unique_ptr<IDxgiDeviceManager>* out) {
  out->reset();
  if (Failed(create_manager_hr)) return create_manager_hr;
  ++managers_made;
  *out = std::make_unique<FakeDeviceManager>(this);
  return kSOk;
}

SampleResult FakeEncoderPlatform::MakeMemorySample(const uint8_t* bytes, size_t size, int64_t time_100ns,
                                                   int64_t duration_100ns) {
  SampleResult result;
  if (memory_failure != SampleStep::kNone) {
    result.hr = sample_failure_hr;
    result.failed_step = memory_failure;
    return result;
  }
  auto sample = std::make_unique<FakeSample>();
  sample->record.size = size;
  sample->record.time_100ns = time_100ns;
  sample->record.duration_100ns = duration_100ns;
  samples.push_back(sample->record);
  last_memory_bytes.assign(bytes, bytes + size);
  result.sample = std::move(sample);
  return result;
}

SampleResult FakeEncoderPlatform::MakeSurfaceSample(const GpuTexture& surface, int64_t time_100ns,
                                                    int64_t duration_100ns) {
  SampleResult result;
  if (surface_failure != SampleStep::kNone) {
    result.hr = sample_failure_hr;
    result.failed_step = surface_failure;
    return result;
  }
  auto sample = std::make_unique<FakeSample>();
  sample->hold = std::make_shared<SurfaceHold>(surface);
  sample->record.surface = true;
  sample->record.surface_id = sample->hold->id();
  sample->record.time_100ns = time_100ns;
  sample->record.duration_100ns = duration_100ns;
  samples.push_back(sample->record);
  result.sample = std::move(sample);
  return result;
}

std::vector<uint8_t> FakeUnitBytes(VideoSubtype codec, bool keyframe, size_t index) {
  const uint8_t tag = static_cast<uint8_t>(index & 0xFF);
  if (codec == VideoSubtype::kHevc) {
    if (keyframe) {
      return {0, 0, 0, 1, 0x40, 0x01, 0x0C, 0, 0, 0, 1, 0x42, 0x01, 0x01,
              0, 0, 0, 1, 0x44, 0x01, 0xC1, 0, 0, 1,    0x26, 0x01, 0xAF, tag};
    }
    return {0, 0, 0, 1, 0x02, 0x01, 0xD0, tag};
  }
  if (keyframe) {
    return {0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1F, 0, 0, 0, 1, 0x68, 0xCE, 0x38, 0x80, 0, 0, 1, 0x65, 0x88, 0x84, tag};
  }
  return {0, 0, 0, 1, 0x41, 0x9A, tag};
}

}  // namespace orvane::testing
