#pragma once
// Answers the tablet's NackRequests from the media sender's retransmission
// history, within limits:
//   - each video datagram is resent at most three times, never twice within
//     one retry interval (twice the measured round-trip time, 20..200 ms);
//   - resends together may use only a share of the video bitrate (a token
//     bucket of 64 datagrams of 1300 bytes, refilled at a quarter of the
//     bitrate, at least 2000 kbit/s);
//   - counters of what was requested, resent and refused are logged at most
//     every 5 s.
//
// A datagram the sender no longer holds (its history is short) is not resent:
// it costs no budget, leaves the ledger alone and is counted as "missing", so
// "sent" counts only datagrams that really left.
//
// One server per session, reset at every stream start. Time comes from the
// injected clock; the resend itself is a function (the media sender's
// Retransmit) that returns true only when the datagram was sent again. The
// server has its own lock; the retransmit function is called under it and
// must not call back into the server.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "host/common/clock.h"

namespace orvane {

// The only stream whose datagrams are resent.
inline constexpr uint32_t kNackStreamTypeVideo = 1;

inline constexpr int64_t kNackMinRetryIntervalUs = 20'000;
inline constexpr int64_t kNackMaxRetryIntervalUs = 200'000;
inline constexpr uint32_t kNackMaxResends = 3;
inline constexpr double kNackBudgetShare = 0.25;
inline constexpr double kNackBudgetFloorKbps = 2000.0;
inline constexpr double kNackDatagramCostBytes = 1300.0;
inline constexpr double kNackBucketCapacityBytes = 64 * kNackDatagramCostBytes;  // 83200
inline constexpr int64_t kNackLedgerLifetimeUs = 1'000'000;
inline constexpr size_t kNackLedgerMaxEntries = 8192;
inline constexpr uint64_t kNackLogIntervalMs = 5000;

// FNV-1a (64-bit) over the four bytes of a sequence number, low byte first:
// the ledger's hash.
uint64_t NackSequenceHash(uint32_t sequence);

struct NackSequenceHasher {
  size_t operator()(uint32_t sequence) const noexcept { return static_cast<size_t>(NackSequenceHash(sequence)); }
};

struct NackCounters {
  uint64_t requested = 0;
  uint64_t sent = 0;
  uint64_t duplicate = 0;    // asked again within the retry interval
  uint64_t over_budget = 0;  // the bucket was empty
  uint64_t exhausted = 0;    // already resent three times
  uint64_t missing = 0;      // no longer in the sender's history: not resent
};

class NackServer {
 public:
  using RetransmitFn = std::function<bool(uint32_t sequence)>;

  NackServer(IClock& clock, RetransmitFn retransmit);
  NackServer(const NackServer&) = delete;
  NackServer& operator=(const NackServer&) = delete;

  // Stream start: empty ledger, zero counters and log state, retry interval
  // 20 ms, full bucket, budget from the configured bitrate.
  void Reset(uint32_t bitrate_kbps);
  // One NackRequest. Only stream type 1 (video) is served.
  void Serve(uint32_t stream_type, const std::vector<uint32_t>& sequences);
  // After a StatsReport: twice the round-trip time, within 20..200 ms. A
  // negative or non-finite time counts as 0.
  void UpdateRetryInterval(float rtt_ms);
  // After a bitrate change.
  void UpdateBudgetRate(uint32_t bitrate_kbps);
  // After the NackRequests of one control frame: at most one line per 5 s,
  // and only when something was requested since the last one.
  void MaybeLog();

  NackCounters Counters() const;
  int64_t RetryIntervalUs() const;
  double BudgetBytesPerUs() const;
  double Tokens() const;
  size_t LedgerSize() const;
  // The ledger entry of a sequence number; false when it has none.
  bool LedgerEntry(uint32_t sequence, int64_t* last_resend_us, uint32_t* resends) const;

 private:
  struct Entry {
    int64_t last_resend_us = 0;
    uint32_t resends = 0;
  };
  struct Inserted {
    uint32_t sequence = 0;
    int64_t at_us = 0;
  };

  void ServeOneLocked(uint32_t sequence, int64_t now_us);
  void PruneLocked(int64_t now_us);
  void RefillLocked(int64_t now_us);

  IClock& clock_;
  const RetransmitFn retransmit_;

  mutable std::mutex mu_;
  std::unordered_map<uint32_t, Entry, NackSequenceHasher> ledger_;
  std::deque<Inserted> fifo_;  // insertion order; one element per ledger entry
  int64_t retry_interval_us_ = kNackMinRetryIntervalUs;
  double tokens_ = kNackBucketCapacityBytes;
  double rate_bytes_per_us_ = 0;
  int64_t last_refill_us_ = 0;
  bool refilled_ = false;
  NackCounters counters_;
  NackCounters logged_;  // the counters at the last line
  uint64_t last_log_ms_ = 0;
  bool logged_once_ = false;
};

}  // namespace orvane
