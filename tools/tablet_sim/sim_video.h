#pragma once
// The tablet's video: access units in sequence order into a decoder, every
// decoded picture checked against the host's test pattern, and the figures of
// the run's video summary.
//
// Order (UnitOrdering): the media receiver hands over every access unit it
// resolves, complete or given up, and gets them back by sequence number: a
// unit waits until every earlier one is complete or given up. Sequence
// numbers that belong to no unit seen (a unit lost whole, every fragment and
// its parity) are given up when a later unit has waited the give-up time.
//
// Decoding (VideoReceiver), unit by unit in that order:
//   - Units that are the host's synthetic byte stream (no video; checked by
//     the receiver) are only counted.
//   - After a given-up unit, or one that does not decode, units are skipped
//     up to the next keyframe and one RequestKeyframe is asked for (again
//     after every further second of waiting). The stream's first units wait
//     for its first keyframe the same way, without asking.
//   - A keyframe with the timestamp of one already decoded is the host's
//     copy of it and is not decoded again.
//   - The decoder follows the keyframes' codec (the negotiated one when the
//     stream does not show it) and is made anew when it changes.
//   - A picture must have the negotiated size or that of the last
//     StreamResize (until a picture of the new size arrives, the size before
//     it still counts: the units on their way were encoded before the change).
//   - The picture check (when asked): read the counter from the picture,
//     rebuild the test pattern of the stream's source size, map it through
//     the host's letterbox to the picture size and compare the luma (Y-PSNR).
//     A picture of the wrong size, without a readable counter or below
//     kPictureBadBelowDb is bad; bad pictures and units that do not decode
//     are counted as mismatched.
//
// VideoWorker runs a VideoReceiver on a thread of its own behind a bounded
// queue, so that decoding never holds up the reception of datagrams.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/common/clock.h"
#include "host/common/printf_check.h"
#include "host/security/crypto.h"
#include "host/video/test_pattern.h"

namespace orvane::sim {

// Below this Y-PSNR a decoded picture is not the test pattern it claims to
// be (a sound encoding of the pattern stays far above it).
inline constexpr double kPictureBadBelowDb = 20.0;
// PSNR of identical pictures, as reported.
inline constexpr double kPsnrIdenticalDb = 100.0;
// Keyframe requests while skipping: again after this long without one.
inline constexpr uint64_t kKeyframeRerequestMs = 1000;
// Units (with their bytes) the ordering holds while waiting for earlier ones.
inline constexpr size_t kMaxOrderedUnitsHeld = 128;
inline constexpr size_t kMaxOrderedBytesHeld = 64u * 1024u * 1024u;
// A unit this far ahead of (or behind) the next expected sequence number is
// a new start of the numbering, not a loss.
inline constexpr uint32_t kOrderingWindow = 65536;
// The worker's queue: units (by count and bytes) waiting for the decoder.
inline constexpr size_t kMaxQueuedVideoItems = 512;
inline constexpr size_t kMaxQueuedVideoBytes = 64u * 1024u * 1024u;
// Latency samples kept for the percentiles (later ones replace random ones).
inline constexpr size_t kMaxLatencySamples = 65536;
// Lines of one kind worth printing per run.
inline constexpr uint32_t kMaxVideoNotesPerKind = 5;
// Lines of the first picture after a StreamResize: one per resize, this many.
inline constexpr uint32_t kMaxResizeNotes = 64;
// Picture sizes counted one by one in the summary (later sizes together).
inline constexpr size_t kMaxPictureSizesCounted = 8;
// The largest picture side taken from a decoder.
inline constexpr uint32_t kMaxPictureSide = 16384;

// One access unit as the receiver resolved it.
struct ResolvedUnit {
  uint32_t base = 0;   // sequence number of its first fragment
  uint32_t count = 0;  // fragments (for a gap: the sequence numbers given up)
  uint64_t timestamp_us = 0;
  bool keyframe = false;
  bool complete = false;   // false: given up (bytes empty)
  bool gap = false;        // sequence numbers of no unit seen, given up
  bool synthetic = false;  // exactly the host's synthetic byte stream
  crypto::Bytes bytes;
};

// Where ordered units go. Called with the receiver's lock held: returns
// quickly.
class IUnitSink {
 public:
  virtual ~IUnitSink() = default;
  virtual void OnUnit(ResolvedUnit&& unit) = 0;
};

struct OrderingCounters {
  uint64_t released = 0;      // units handed on (gaps not included)
  uint64_t gaps = 0;          // runs of sequence numbers given up without a unit
  uint64_t late = 0;          // resolved after their place was passed (dropped)
  uint64_t restarts = 0;      // the numbering started anew
  uint64_t forced = 0;        // gaps given up early: too much held
};

// Not synchronised: the receiver's lock covers it.
class UnitOrdering {
 public:
  UnitOrdering(uint64_t gap_give_up_ms, size_t max_units = kMaxOrderedUnitsHeld,
               size_t max_bytes = kMaxOrderedBytesHeld);

  // The first fragment of a unit arrived. The first unit seen opens the
  // order; until something was released, a unit seen earlier in the
  // numbering moves its start back.
  void Seen(uint32_t base);
  // A unit completed or given up; what is now in order goes to *out.
  void Add(ResolvedUnit unit, uint64_t now_ms, std::vector<ResolvedUnit>* out);
  // Gives up the sequence numbers before the first held unit once it has
  // waited gap_give_up_ms; what follows goes to *out.
  void Poll(uint64_t now_ms, std::vector<ResolvedUnit>* out);

  const OrderingCounters& counters() const { return counters_; }
  size_t held() const { return held_.size(); }
  size_t held_bytes() const { return held_bytes_; }

 private:
  struct Held {
    ResolvedUnit unit;
    uint64_t added_ms = 0;
  };
  int64_t Ahead(uint32_t base) const;
  void Drain(std::vector<ResolvedUnit>* out);
  // Gives up everything before the first held unit and drains.
  void GiveUpGap(std::vector<ResolvedUnit>* out);
  void Emit(ResolvedUnit unit, std::vector<ResolvedUnit>* out);

  const uint64_t gap_give_up_ms_;
  const size_t max_units_;
  const size_t max_bytes_;
  bool started_ = false;
  bool released_any_ = false;
  uint32_t next_ = 0;
  std::vector<Held> held_;
  size_t held_bytes_ = 0;
  OrderingCounters counters_;
};

// Codec numbers as on the wire (VideoCodec).
enum class SimCodec : int { kUnknown = 0, kH264 = 1, kHevc = 2 };
const char* SimCodecName(SimCodec codec);
SimCodec SimCodecFromWire(uint32_t codec);

// The codec an access unit's first NAL unit shows (Annex B, after the start
// code): parameter sets, access unit delimiters, SEI or IDR slices of H.264
// or HEVC; kUnknown for anything else.
SimCodec SniffCodec(const uint8_t* data, size_t length);

// A decoded picture's luma, valid until the next Decode.
struct DecodedPicture {
  uint32_t width = 0;
  uint32_t height = 0;
  const uint8_t* y = nullptr;
  uint32_t y_stride = 0;
};

enum class DecodeStatus { kPicture, kNoPicture, kFailed };

class IVideoDecoder {
 public:
  virtual ~IVideoDecoder() = default;
  // One whole access unit (Annex B). kFailed with *why for a unit that does
  // not decode (or a picture this check cannot read: not 8-bit YUV).
  virtual DecodeStatus Decode(const uint8_t* data, size_t length, DecodedPicture* picture, std::string* why) = 0;
};

// Makes a decoder for a codec; null with *why when there is none.
using DecoderFactory = std::function<std::unique_ptr<IVideoDecoder>(SimCodec codec, std::string* why)>;

// This build's decoder: libavcodec on Linux; none on Windows (null, *why
// says so).
std::unique_ptr<IVideoDecoder> MakeBuildVideoDecoder(SimCodec codec, std::string* why);
// Whether this build has a decoder.
bool BuildHasVideoDecoder();

// Y-PSNR of two planes of the same size: 10 log10(255^2 / MSE), at most
// kPsnrIdenticalDb.
double LumaPsnr(const uint8_t* a, uint32_t a_stride, const uint8_t* b, uint32_t b_stride, uint32_t width,
                uint32_t height);

struct VideoConfig {
  bool check_picture = true;
  DecoderFactory make_decoder;  // null: this run decodes nothing
  double bad_below_db = kPictureBadBelowDb;
  uint64_t rerequest_ms = kKeyframeRerequestMs;
};

struct VideoCounters {
  uint64_t units = 0;              // ordered units that came (gaps included)
  uint64_t synthetic = 0;          // the host's synthetic byte stream
  uint64_t given_up = 0;           // given-up units and gaps
  uint64_t decoded = 0;            // pictures out of the decoder
  uint64_t keyframes = 0;          // of them, from keyframes
  uint64_t copies_skipped = 0;     // keyframe copies not decoded again
  uint64_t skipped_to_keyframe = 0;
  uint64_t keyframe_requests = 0;  // RequestKeyframe asked for
  uint64_t decode_errors = 0;
  uint64_t no_picture = 0;         // decoded without a picture coming out
  uint64_t undecodable = 0;        // video units this run has no decoder for
  uint64_t picture_ok = 0;
  uint64_t picture_bad = 0;
  uint64_t size_mismatches = 0;    // of the bad ones: not the expected size
  uint64_t counter_unreadable = 0; // of the bad ones: no counter
  uint64_t unchecked = 0;          // decoded before StreamStarted told the source size
  uint64_t mismatched = 0;         // units that failed the check
  uint64_t queue_dropped = 0;      // units the worker had no room for
  uint64_t left_at_end = 0;        // units still queued when the run ended
};

// Decoded pictures of one size.
struct PictureSizeCount {
  uint32_t width = 0;
  uint32_t height = 0;
  uint64_t pictures = 0;
};

// Everything the video summary prints. Times in ms; -1 where not measured.
struct VideoSummary {
  VideoCounters counters;
  double fps = 0;
  int64_t first_frame_ms = -1;  // StreamStarted to the first picture
  double psnr_min = 0;
  double psnr_avg = 0;
  double latency_p50_ms = -1;   // host timestamp to decoded picture
  double latency_p99_ms = -1;
  int64_t stop_to_last_ms = -1; // stop request to the last picture after it (0: none came)
  std::string decoder;          // "none", or the codec decoded last
  // Decoded pictures by size, in the order the sizes first came; pictures of
  // sizes beyond kMaxPictureSizesCounted in other_sizes.
  std::vector<PictureSizeCount> picture_sizes;
  uint64_t other_sizes = 0;
};

// "[Sim] Video: decoded=N fps=F first_frame_ms=M keyframes=K picture_ok=P
// picture_bad=B psnr_min=X psnr_avg=Y skipped_to_keyframe=S decode_errors=E
// latency_p50_ms=L latency_p99_ms=L stop_to_last_ms=T", then a line of details
// that ends with the pictures by size: "picture_sizes=1280x800:140,960x600:150"
// ("none" before any; "other:N" last for the sizes not counted one by one).
std::string VideoSummaryLine(const VideoSummary& summary);
std::string VideoDetailsLine(const VideoSummary& summary);

// The decoding and checking of ordered units. Not synchronised.
class VideoReceiver {
 public:
  VideoReceiver(const VideoConfig& config, IClock& clock);
  ~VideoReceiver();
  VideoReceiver(const VideoReceiver&) = delete;
  VideoReceiver& operator=(const VideoReceiver&) = delete;

  // CapabilityAccept: the codec (wire number) and picture size; 0 unknown.
  void SetNegotiated(uint32_t codec, uint32_t width, uint32_t height);
  // StreamStarted: the size of what the host captures (0: the picture's
  // own); a new stream opens with a keyframe.
  void OnStreamStarted(uint32_t source_width, uint32_t source_height, uint64_t now_ms);
  // StreamResize: the encoded size from now on. The first picture of that
  // size is noted: "[Sim] Video: first picture decoded after StreamResize:
  // WxH CODEC keyframe=yes ts=N".
  void OnStreamResize(uint32_t width, uint32_t height);
  // The stream's stop (the tablet's StopStream, else the host's
  // StreamStopped): the first one after a StreamStarted counts.
  void OnStop(uint64_t now_ms);
  void OnUnit(const ResolvedUnit& unit);

  // A RequestKeyframe is due (taken once).
  bool TakeKeyframeRequest();
  std::vector<std::string> TakeNotes();
  const VideoCounters& counters() const { return counters_; }
  // Ticks (ms) of the last keyframes decoded, oldest first.
  const std::deque<uint64_t>& keyframe_ticks() const { return keyframe_ticks_; }
  VideoSummary Summary() const;

 private:
  enum class NoteKind : int { kSkip, kDecode, kBad, kNoDecoder, kResized, kCount };
  void Note(NoteKind kind, const char* format, ...) ORVANE_PRINTF(3, 4);
  // After a loss: skip to the next keyframe, asking for one.
  void WaitForKeyframe(bool ask, uint64_t now_ms);
  bool SizeExpected(uint32_t width, uint32_t height) const;
  void OnPicture(const ResolvedUnit& unit, const DecodedPicture& picture, uint64_t now_ms, int64_t now_us);
  void CheckPicture(const ResolvedUnit& unit, const DecodedPicture& picture);
  void AddLatency(double ms);
  void CountSize(uint32_t width, uint32_t height);

  const VideoConfig config_;
  IClock& clock_;
  VideoCounters counters_;

  // The stream.
  SimCodec negotiated_codec_ = SimCodec::kUnknown;
  uint32_t negotiated_w_ = 0, negotiated_h_ = 0;
  uint32_t expected_w_ = 0, expected_h_ = 0;    // the last StreamResize, else negotiated
  uint32_t previous_w_ = 0, previous_h_ = 0;    // the size before it, until the new one shows
  uint32_t source_w_ = 0, source_h_ = 0;
  bool stream_started_ = false;
  std::optional<uint64_t> started_ms_;           // the first StreamStarted
  std::optional<uint64_t> stop_ms_;              // this stream's stop
  bool stopped_since_start_ = false;
  bool resize_watch_ = false;                    // a StreamResize whose size has not shown yet
  uint32_t resize_w_ = 0, resize_h_ = 0;

  // Decoding.
  std::unique_ptr<IVideoDecoder> decoder_;
  SimCodec decoder_codec_ = SimCodec::kUnknown;
  bool decoder_missing_ = false;  // none could be made for decoder_codec_
  std::string decoder_why_;
  bool need_keyframe_ = true;
  bool requested_ = false;
  uint64_t last_request_ms_ = 0;
  bool request_pending_ = false;
  std::deque<uint64_t> decoded_keyframe_ts_;  // recent keyframe timestamps decoded
  std::deque<uint64_t> keyframe_ticks_;

  // Figures.
  std::optional<uint64_t> first_picture_ms_;
  uint64_t last_picture_ms_ = 0;
  std::optional<uint64_t> last_picture_after_stop_ms_;
  double psnr_min_ = 0;
  double psnr_sum_ = 0;
  uint64_t psnr_count_ = 0;
  std::vector<double> latencies_;
  uint64_t latency_seen_ = 0;
  uint64_t sample_state_ = 0x9E3779B97F4A7C15ull;
  std::vector<PictureSizeCount> sizes_;
  uint64_t other_sizes_ = 0;
  std::unique_ptr<TestPatternLuma> model_;
  std::vector<uint8_t> expected_;

  uint32_t notes_of_kind_[static_cast<int>(NoteKind::kCount)] = {};
  bool first_noted_ = false;
  std::vector<std::string> notes_;
};

// A VideoReceiver on its own thread. Units come from the receiver (any
// thread), the stream's events from the session; the session reads the
// counters while it runs and the whole summary after Close.
class VideoWorker final : public IUnitSink {
 public:
  VideoWorker(const VideoConfig& config, IClock& clock);
  ~VideoWorker() override;
  VideoWorker(const VideoWorker&) = delete;
  VideoWorker& operator=(const VideoWorker&) = delete;

  // Starts the thread; false (with *error) when it cannot be started.
  bool Start(std::string* error);

  // Queued; a unit that finds the queue full is replaced by a given-up one.
  void OnUnit(ResolvedUnit&& unit) override;
  void SetNegotiated(uint32_t codec, uint32_t width, uint32_t height);
  void OnStreamStarted(uint32_t source_width, uint32_t source_height, uint64_t now_ms);
  void OnStreamResize(uint32_t width, uint32_t height);
  void OnStop(uint64_t now_ms);

  bool TakeKeyframeRequest();
  std::vector<std::string> TakeNotes();
  VideoCounters Counters() const;
  // The tick of the first keyframe decoded at or after since_ms, if any yet.
  std::optional<uint64_t> KeyframeDecodedSince(uint64_t since_ms) const;

  // Works off what is queued for at most drain_ms, then stops the thread.
  void Close(uint64_t drain_ms);
  // The summary; complete after Close.
  VideoSummary Summary() const;

 private:
  enum class ItemKind { kUnit, kNegotiated, kStarted, kResize, kStop };
  struct Item {
    ItemKind kind = ItemKind::kUnit;
    ResolvedUnit unit;
    uint32_t a = 0, b = 0, c = 0;
    uint64_t now_ms = 0;
  };
  void Push(Item item);
  void Run();
  void Apply(Item& item);
  void Publish();

  IClock& clock_;
  VideoReceiver receiver_;  // the worker thread's (and Close's caller's once joined)
  std::thread thread_;

  mutable std::mutex queue_mu_;
  std::condition_variable queue_cv_;
  std::deque<Item> queue_;
  size_t queued_bytes_ = 0;
  bool lost_in_queue_ = false;  // a unit was dropped: the next one follows a loss
  bool closing_ = false;
  uint64_t drain_deadline_ms_ = 0;
  uint64_t queue_dropped_ = 0;
  uint64_t left_at_end_ = 0;

  mutable std::mutex shared_mu_;  // what the session reads while the thread runs
  VideoCounters published_;
  std::deque<uint64_t> published_keyframe_ticks_;
  std::vector<std::string> notes_;
  bool request_ = false;
  bool closed_ = false;
};

}  // namespace orvane::sim
