#pragma once
// A scripted encoder transform platform for the encoder core's tests:
// enumerated candidates with their activation results, transforms whose every
// call answers from a script (per-call HRESULTs, refused types and rate
// controls, stream changes, empty samples, output latency, cbSize, kept
// surfaces), asynchronous events delivered at once, when the encoder waits,
// or from a thread of their own, and a record of what the encoder did.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/common/clock.h"
#include "host/video/encoder_transform.h"

namespace orvane::testing {

// A transform CLSID made from a number (distinct numbers, distinct CLSIDs).
TransformClsid FakeClsid(uint32_t n);

// How a fake transform's asynchronous events reach the encoder's state.
class FakeEventPump {
 public:
  enum class Mode {
    kImmediate,  // inside the transform call that causes them
    kOnWait,     // one per wait of the encoder (FakeAsyncWaiter delivers)
    kThread,     // from the pump's own thread, as Media Foundation's would
  };
  enum class Kind { kEvent, kRequestFailed };

  explicit FakeEventPump(Mode mode);
  ~FakeEventPump();
  FakeEventPump(const FakeEventPump&) = delete;
  FakeEventPump& operator=(const FakeEventPump&) = delete;

  Mode mode() const { return mode_; }
  void Post(const std::shared_ptr<VideoEncoderAsyncState>& state, Kind kind, uint32_t type, HResult status);
  // kOnWait: applies the oldest event; false when there is none.
  bool DeliverOne();
  // Events posted and not yet applied.
  size_t Pending();

 private:
  struct Item {
    std::shared_ptr<VideoEncoderAsyncState> state;
    Kind kind = Kind::kEvent;
    uint32_t type = 0;
    HResult status = kSOk;
  };
  static void Apply(const Item& item);
  void Run();

  const Mode mode_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Item> queue_;
  size_t in_flight_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

// Virtual-time waits: delivers a pending event if the pump has one, else moves
// the clock to the deadline.
class FakeAsyncWaiter final : public IAsyncWaiter {
 public:
  explicit FakeAsyncWaiter(ManualClock& clock, FakeEventPump* pump = nullptr) : clock_(clock), pump_(pump) {}
  void WaitUntil(VideoEncoderAsyncState& state, std::unique_lock<std::mutex>& lock, uint64_t deadline_ms) override;

  // Milliseconds left until the deadline at each wait.
  std::vector<uint64_t> waits;

 private:
  ManualClock& clock_;
  FakeEventPump* pump_;
};

// One input the transform took (or the platform made).
struct FakeSampleRecord {
  bool surface = false;
  size_t size = 0;  // memory samples
  int64_t time_100ns = 0;
  int64_t duration_100ns = 0;
  int surface_id = -1;  // FakeGpuTexture id of a surface sample
};

// What one transform does, shared by the test and every transform activated
// from the same candidate; the records add up across activations.
struct FakeTransformScript {
  // Attributes.
  bool async = false;
  HResult unlock_hr = kSOk;
  bool d3d11_aware = true;
  HResult low_latency_hr = kSOk;

  // ICodecAPI.
  bool has_codec_api = true;
  std::map<CodecProperty, HResult> codec_hr;  // missing: accepted
  std::set<uint32_t> refused_rate_controls;

  // Media types.
  HResult output_type_hr = kSOk;
  std::deque<HResult> input_type_answers;      // the next SetInputType calls
  std::map<VideoSubtype, HResult> input_type_hr;  // then by subtype; missing: accepted
  HResult set_manager_hr = kSOk;
  HResult available_type_hr = kSOk;  // after a stream change
  HResult adopt_type_hr = kSOk;
  std::map<TransformMessage, HResult> message_hr;

  // Input.
  std::deque<HResult> input_answers;  // the next ProcessInput calls
  HResult input_hr = kSOk;            // then every call
  // MF_E_NOTACCEPTING while this many units are ready (0: never).
  size_t not_accepting_at = 0;
  // Input samples the transform keeps (their surfaces stay held).
  size_t retain_inputs = 0;

  // Output.
  OutputStreamInfo stream_info;
  // An input's unit is ready once this many later inputs arrived.
  size_t latency = 0;
  bool clean_point = false;  // units carry MFSampleExtension_CleanPoint
  bool timed = true;         // units carry their input's time
  // The next ProcessOutput answers, before any unit. An asynchronous
  // transform gives one instead of its next ready unit (a stream change
  // keeps the unit and signals it again).
  std::deque<OutputResult> output_answers;
  HResult output_hr = kSOk;  // failing: every ProcessOutput fails so

  // Asynchronous events.
  EventSetupResult event_setup;
  int initial_input_requests = 1;
  bool request_input_after_each = true;
  int error_after_inputs = -1;  // MEError after this many inputs (-1: never)
  HResult error_status = kEFail;
  bool end_callback_on_shutdown = true;

  // What the encoder did.
  std::vector<std::string> calls;
  std::vector<std::pair<CodecProperty, uint32_t>> codec_values;  // accepted or not
  std::vector<MediaTypeDesc> output_types;
  std::vector<MediaTypeDesc> input_types;  // offered
  std::vector<TransformMessage> messages;
  std::vector<bool> managers;  // SetD3dManager: true attach, false detach
  std::vector<uint32_t> supplied;  // ProcessOutput's supply_bytes
  std::vector<FakeSampleRecord> inputs;  // accepted
  int activations = 0;
  int destroyed = 0;

  std::vector<uint32_t> ValuesOf(CodecProperty property) const;
  size_t Count(const std::string& call) const;
};

struct FakeCandidate {
  std::string name;
  TransformClsid clsid;
  uint64_t luid = 0;  // its own MFT_ENUM_ADAPTER_LUID (0: none)
  HResult activate_hr = kSOk;
  bool activate_empty = false;  // "succeeds" without a transform
  std::shared_ptr<FakeTransformScript> script = std::make_shared<FakeTransformScript>();
};

FakeCandidate MakeFakeCandidate(const std::string& name, uint32_t clsid, uint64_t luid = 0);

class FakeEncoderPlatform final : public IEncoderPlatform {
 public:
  // Enumeration.
  uint64_t first_adapter_luid = 0;
  HResult adapter_enum_hr = kSOk;
  std::vector<FakeCandidate> adapter_candidates;  // MFTEnum2 for the adapter
  HResult hardware_enum_hr = kSOk;
  std::vector<FakeCandidate> hardware;
  HResult software_enum_hr = kSOk;
  std::vector<FakeCandidate> software;

  // DXGI device manager.
  HResult create_manager_hr = kSOk;
  std::deque<HResult> reset_device_answers;  // the next ResetDevice calls
  HResult reset_device_hr = kSOk;

  // Samples.
  SampleStep memory_failure = SampleStep::kNone;
  SampleStep surface_failure = SampleStep::kNone;
  HResult sample_failure_hr = kEOutOfMemory;

  // Event delivery of the transforms (null: at once).
  FakeEventPump* pump = nullptr;

  // Records.
  std::vector<uint64_t> adapter_enumerations;  // LUIDs
  int hardware_enumerations = 0;
  int software_enumerations = 0;
  std::vector<std::string> activated;  // names, in Activate order
  std::vector<std::string> shut_down;  // names, ShutdownObject
  int managers_made = 0;
  int reset_device_calls = 0;
  std::vector<FakeSampleRecord> samples;  // every sample made
  std::vector<uint8_t> last_memory_bytes;

  uint64_t FirstAdapterLuid() override { return first_adapter_luid; }
  TransformEnumeration EnumerateForAdapter(VideoCodec codec, uint64_t adapter_luid) override;
  TransformEnumeration Enumerate(VideoCodec codec, bool hardware) override;
  HResult CreateDeviceManager(std::unique_ptr<IDxgiDeviceManager>* out) override;
  SampleResult MakeMemorySample(const uint8_t* bytes, size_t size, int64_t time_100ns,
                                int64_t duration_100ns) override;
  SampleResult MakeSurfaceSample(const GpuTexture& surface, int64_t time_100ns, int64_t duration_100ns) override;

 private:
  TransformEnumeration Make(HResult hr, const std::vector<FakeCandidate>& list);
};

// The access units the fake produces: parameter sets and an IDR (H.264 type
// 5, HEVC IDR_W_RADL) for a keyframe, else a single non-IDR slice; the last
// byte is the unit's index.
std::vector<uint8_t> FakeUnitBytes(VideoSubtype codec, bool keyframe, size_t index);

}  // namespace orvane::testing
