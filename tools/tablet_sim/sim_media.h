#pragma once
// The tablet's media receiver: opened media datagrams in, access units out.
//
// Video fragments are gathered by their access unit's first sequence number
// (sequence number minus fragment index, wrapping at 2^32); every fragment
// of a unit must carry the unit's timestamp and fragment count. A unit is
// complete when all its fragments are in; its bytes are then checked against
// the host's synthetic stream (when asked to). A unit still incomplete after
// the give-up time is dropped and counted as incomplete.
//
// With a unit sink (the video stage), every unit resolved (complete, given
// up, or refused as oversized) goes through a UnitOrdering to the sink in
// sequence order; complete units that are not the synthetic stream are then
// the sink's to check (it decodes them), not counted as mismatched here.
//
// Loss repair, as a tablet does it:
//   - Parity packets are kept for a while. When exactly one datagram of a
//     parity group is missing it is rebuilt (the parity XOR the others, cut
//     to its length from the lengths table) and used only when its header is
//     a video header with the expected sequence number.
//   - Sequence numbers that are missing a while after a later datagram
//     showed they were sent (a gap before a newer sequence number, the
//     earlier fragments of a unit that first showed up with a later one, the
//     members of a parity group) are asked for with NackRequest, and asked
//     for again after each retry interval, a few times at most. The rest of a
//     unit whose first fragments arrived is not asked for before something
//     later arrives: the host paces a unit's fragments.
//
// Memory is bounded: a fixed number of units in flight (the oldest is given
// up to make room), a byte budget for their fragments, a fixed ring of recent
// datagrams for the parity, and fixed numbers of parity packets and missing
// sequence numbers. Units with more fragments than the tablet allows are
// refused before anything is allocated for them.
//
// Time comes in as arguments (milliseconds of a monotonic clock). Not
// synchronised: the owner holds its lock.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/common/printf_check.h"
#include "host/security/crypto.h"
#include "host/transport/media_packet.h"
#include "tools/tablet_sim/sim_audio.h"
#include "tools/tablet_sim/sim_udp.h"
#include "tools/tablet_sim/sim_video.h"

namespace orvane::sim {

inline constexpr size_t kMaxUnitsInFlight = 64;
// Fragments a unit may have when the tablet announced no limit.
inline constexpr uint32_t kUnlimitedFragmentsCap = 4096;
inline constexpr size_t kMaxBufferedPayloadBytes = 64u * 1024u * 1024u;
// Recent datagrams kept for rebuilding from parity; a power of two.
inline constexpr size_t kDatagramRingSlots = 2048;
inline constexpr size_t kMaxMissingTracked = 1024;
inline constexpr size_t kMaxParityKept = 64;
// A jump of the sequence number beyond this is a new start, not a loss.
inline constexpr uint32_t kMaxSequenceGap = 1024;
// Units completed or given up recently: their late fragments start nothing.
inline constexpr size_t kRecentlyFinishedUnits = 256;
// Lines of one kind (mismatches, refusals, ...) worth printing per run.
inline constexpr uint32_t kMaxNotesPerKind = 5;
// The host takes at most this many sequence numbers from one request.
inline constexpr size_t kMaxNackNumbersPerRequest = 1024;
// Lines of a change of the parity group size worth printing per run.
inline constexpr uint32_t kMaxParitySizeNotes = 32;

// The parity groups seen, by the count of their parity packet's header (a
// byte: the datagrams the group protects). The host closes a group early
// when the size it asks for changes, so short groups show around changes.
struct ParityGroupSizes {
  std::array<uint64_t, 256> groups{};  // [size]: parity packets of that size
  uint64_t changes = 0;                // a parity of another size than the one before
  uint32_t last = 0;                   // the last size seen; 0 before any
};

struct MediaReceiverConfig {
  bool check_synthetic = true;
  // The tablet's max_fragments_per_frame; 0 = kUnlimitedFragmentsCap.
  uint32_t max_fragments = 512;
  size_t max_units = kMaxUnitsInFlight;
  // First request this long after the loss was seen, then after the retry
  // interval (twice the round trip, within min..max), at most max_nacks times.
  uint64_t nack_delay_ms = 30;
  uint64_t nack_retry_min_ms = 50;
  uint64_t nack_retry_max_ms = 200;
  uint32_t max_nacks = 3;
  uint64_t give_up_ms = 1000;
  // Where resolved units go in sequence order; null: nowhere (owned by the
  // caller, outlives the receiver's use of it).
  IUnitSink* units = nullptr;
};

struct MediaCounters {
  uint64_t video = 0;         // video fragments received (duplicates included)
  uint64_t parity = 0;        // parity packets received
  uint64_t audio = 0;         // audio packets received
  uint64_t malformed = 0;     // headers that do not parse or are out of range
  uint64_t duplicates = 0;    // a sequence number already held
  uint64_t late = 0;          // fragments of a unit completed or given up before
  uint64_t inconsistent = 0;  // timestamp or count unlike the unit's
  uint64_t oversized = 0;     // units with more fragments than allowed (refused)
  uint64_t complete = 0;
  uint64_t complete_by_fec = 0;   // complete with at least one rebuilt fragment
  uint64_t complete_by_nack = 0;  // complete with at least one fragment asked for again
  uint64_t incomplete = 0;        // given up (time, or room for newer units)
  uint64_t mismatched = 0;        // complete, but not the synthetic stream's bytes (without a unit sink)
  uint64_t fec_recovered = 0;     // datagrams rebuilt from parity and used
  uint64_t fec_refused = 0;       // rebuilt datagrams (or parity groups) that did not fit
  uint64_t nack_recovered = 0;    // datagrams that arrived after being asked for
  uint64_t sequence_numbers_requested = 0;
  uint64_t losses_seen = 0;       // sequence numbers found missing (before any repair)
  uint64_t sequence_span = 0;     // how far the highest sequence number advanced
  uint64_t untracked = 0;         // losses beyond the tracking limit (never asked for)
  uint64_t discontinuities = 0;   // jumps beyond kMaxSequenceGap
  ParityGroupSizes parity_groups;
};

class MediaReceiver {
 public:
  explicit MediaReceiver(const MediaReceiverConfig& config = {});
  MediaReceiver(const MediaReceiver&) = delete;
  MediaReceiver& operator=(const MediaReceiver&) = delete;

  // One opened media datagram (video, parity or audio).
  void OnDatagram(crypto::ByteView datagram, uint64_t now_ms);
  // Gives up what is too old and returns the sequence numbers to ask for
  // now, oldest first (each counted as asked for).
  std::vector<uint32_t> Poll(uint64_t now_ms);
  // The measured round trip; 0 or less: unknown.
  void SetRoundTripMs(double rtt_ms);
  uint64_t RetryIntervalMs() const;

  const MediaCounters& counters() const { return counters_; }
  const OrderingCounters& ordering() const { return ordering_.counters(); }
  // Every audio packet is decoded there, against the video's timestamps.
  const AudioReceiver& audio() const { return audio_; }
  size_t units_in_flight() const { return units_.size(); }
  size_t missing_tracked() const { return missing_.size(); }
  size_t parity_kept() const { return parities_.size(); }
  size_t buffered_bytes() const { return buffered_bytes_; }
  // Lines worth printing (the first unit, the first few of each problem,
  // "[Sim] Parity group size N" at the first parity and whenever the size
  // changes, then the audio's); taken once.
  std::vector<std::string> TakeNotes();

 private:
  struct Unit {
    uint32_t base = 0;
    uint64_t timestamp_us = 0;
    uint16_t count = 0;
    uint16_t received = 0;
    std::vector<crypto::Bytes> payloads;  // one per fragment index
    size_t bytes = 0;
    uint64_t first_seen_ms = 0;
    bool keyframe = false;  // flag bit 0 of fragment 0
    bool by_fec = false;
    bool by_nack = false;
  };
  struct Slot {
    uint32_t sequence = 0;
    bool valid = false;
    crypto::Bytes bytes;
  };
  struct Missing {
    uint64_t seen_ms = 0;
    uint64_t last_request_ms = 0;
    uint32_t requests = 0;
  };
  struct Parity {
    uint32_t first = 0;
    std::vector<uint16_t> lengths;
    crypto::Bytes bytes;
    uint64_t arrived_ms = 0;
  };
  enum class NoteKind : int { kMismatch, kRefused, kGaveUp, kInconsistent, kOversized, kParitySize, kCount };

  bool OnVideo(crypto::ByteView datagram, uint64_t now_ms, bool rebuilt);
  void OnParity(crypto::ByteView packet, uint64_t now_ms);
  void CountParityGroup(size_t size);
  void OnFragment(const media::VideoHeader& header, crypto::ByteView payload, uint64_t now_ms, bool rebuilt,
                  bool after_request);
  void Complete(size_t unit_index, uint64_t now_ms);
  void GiveUp(size_t unit_index, const char* why, uint64_t now_ms);
  // Hands a resolved unit to the ordering and what it releases to the sink.
  void Resolve(ResolvedUnit unit, uint64_t now_ms);
  bool Present(uint32_t sequence) const;
  void Store(uint32_t sequence, crypto::ByteView datagram);
  void ExtendTo(uint32_t last, uint64_t now_ms);
  void AddMissing(uint32_t sequence, uint64_t now_ms);
  bool Finished(uint32_t base) const;
  void MarkFinished(uint32_t base);
  void TryParityCovering(uint32_t sequence, uint64_t now_ms);
  // True when the parity packet has served its purpose (nothing or one
  // datagram missing); false while two or more are missing.
  bool TryRecover(const Parity& parity, uint64_t now_ms);
  void Note(NoteKind kind, const char* format, ...) ORVANE_PRINTF(3, 4);

  const MediaReceiverConfig config_;
  MediaCounters counters_;
  std::vector<Unit> units_;
  size_t buffered_bytes_ = 0;
  std::vector<Slot> ring_;
  std::unordered_map<uint32_t, Missing> missing_;
  std::deque<Parity> parities_;
  std::deque<uint32_t> finished_;  // the last kRecentlyFinishedUnits bases
  uint32_t highest_ = 0;
  bool seen_ = false;
  bool recovering_ = false;
  double rtt_ms_ = 0;
  bool first_noted_ = false;
  UnitOrdering ordering_;
  AudioReceiver audio_;
  std::vector<ResolvedUnit> released_;
  uint32_t notes_of_kind_[static_cast<int>(NoteKind::kCount)] = {};
  std::vector<std::string> notes_;
};

// Deliberate loss for tests: drops a share of the received datagrams, the
// same ones for the same seed.
class DeliberateLoss {
 public:
  DeliberateLoss(uint32_t percent, uint64_t seed) : percent_(percent), state_(seed) {}
  bool Drop();

 private:
  uint32_t percent_;
  uint64_t state_;
};

struct IntakeCounters {
  uint64_t datagrams = 0;           // received from the socket
  uint64_t dropped_on_purpose = 0;  // --drop-percent
  uint64_t opened = 0;
  uint64_t opened_bytes = 0;        // plaintext bytes of the opened datagrams
  uint64_t no_key = 0;
  uint64_t not_secure = 0;
  uint64_t open_failed = 0;
  uint64_t replayed = 0;
};

// One received datagram's way: deliberate loss, the envelope, the receiver.
class MediaIntake {
 public:
  MediaIntake(const MediaReceiverConfig& config, uint32_t drop_percent, uint64_t drop_seed)
      : loss_(drop_percent, drop_seed), receiver_(config) {}

  void SetKey(crypto::ByteView key) { opener_.SetKey(key); }
  void OnDatagram(crypto::ByteView raw, uint64_t now_ms);

  const IntakeCounters& counters() const { return counters_; }
  MediaReceiver& receiver() { return receiver_; }
  const MediaReceiver& receiver() const { return receiver_; }

 private:
  DeliberateLoss loss_;
  MediaOpener opener_;
  MediaReceiver receiver_;
  IntakeCounters counters_;
  crypto::Bytes plaintext_;
};

// Everything the run's media summary prints.
struct MediaSummary {
  IntakeCounters intake;
  MediaCounters media;
  size_t in_flight = 0;
  uint64_t nacks_sent = 0;  // NackRequest messages
  uint64_t stats_sent = 0;  // StatsReport messages
  uint64_t receive_errors = 0;
};

// "[Sim] Media: datagrams=N opened=N dropped_on_purpose=N access_units
// complete=N (by_fec=N by_nack=N) incomplete=N mismatched=N nacks_sent=N
// sequence_numbers_requested=N", then a line of details.
std::string MediaSummaryLine(const MediaSummary& summary);
std::string MediaDetailsLine(const MediaSummary& summary);
// "[Sim] Parity groups: size=4 count=12 size=10 count=300 changes=3" (sizes
// rising), "[Sim] Parity groups: none" before any parity packet.
std::string ParityGroupsLine(const MediaSummary& summary);

}  // namespace orvane::sim
