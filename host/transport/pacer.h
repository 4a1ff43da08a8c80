#pragma once
// The video pacer: a token bucket that lets a frame leave as a smooth stream
// rather than one burst.
//
// The pacing rate is well above the video bitrate: P = max(12000,
// floor(2.5 x (floor((1 + 1/k + 0.1) x bitrate) + 192))) kbit/s, where k is
// the FEC group size for the current loss (1/k is the parity overhead, 0.1 a
// margin, 192 kbit/s room for audio). The bucket holds at most 2 ms of that
// rate and never less than 24000 bytes, so a large keyframe cannot burst, and
// it never owes more than 20 ms, so a long stall does not stretch later frames.
// Below 1000 kbit/s pacing is off and nothing is counted.
//
// Every datagram is counted (audio and resends too); only paced ones wait.
// A wait shorter than 250 us is skipped (sleeping that briefly costs more than
// it smooths) and no wait is longer than 20 ms.
//
// All arithmetic is 64-bit integer: the balance is kept in millionths of a
// byte, so one microsecond at the rate adds exactly bytes_per_second units and
// the whole range of a 32-bit kbit/s bitrate fits.
//
// Not synchronised: the owner holds its pacing lock, and sleeps outside it.

#include <cstddef>
#include <cstdint>

namespace orvane::media {

inline constexpr uint32_t kPacingMinBitrateKbps = 1000;
inline constexpr uint64_t kPacingFloorKbps = 12000;
inline constexpr uint64_t kPacingAudioAllowanceKbps = 192;
inline constexpr int64_t kPacingBurstUs = 2000;
inline constexpr uint64_t kPacingMinBurstBytes = 24000;
inline constexpr int64_t kPacingMaxDebtUs = 20000;
inline constexpr int64_t kPacingMinSleepUs = 250;
inline constexpr int64_t kPacingMaxSleepUs = 20000;

struct PacingRate {
  uint64_t pacing_kbps = 0;       // P; 0 = pacing off
  uint64_t bytes_per_second = 0;  // P x 125 (P x 1000 / 8)
  uint64_t burst_bytes = 0;       // max(2 ms at the rate, 24000)
  bool enabled() const { return bytes_per_second != 0; }
};

// The rate for a video bitrate and a loss in percent (clamped to 0..40).
PacingRate ComputePacingRate(uint32_t bitrate_kbps, int loss_percent);

class Pacer {
 public:
  // Either change recomputes the rate. When pacing was off, the bucket starts
  // full; otherwise it is cut to the new burst limit.
  void SetBitrate(uint32_t bitrate_kbps, int64_t now_us);
  void SetLoss(int loss_percent, int64_t now_us);

  // Counts one datagram of wire_bytes at now_us. For a paced datagram, the
  // microseconds to sleep before sending it (0, or 250 .. 20000).
  int64_t Charge(size_t wire_bytes, bool paced, int64_t now_us);

  const PacingRate& rate() const { return rate_; }
  uint32_t bitrate_kbps() const { return bitrate_kbps_; }
  int loss_percent() const { return loss_percent_; }
  // The balance in whole bytes (rounded towards zero); negative while in debt.
  int64_t balance_bytes() const;

 private:
  void Reconfigure(int64_t now_us);
  void Refill(int64_t now_us);

  uint32_t bitrate_kbps_ = 0;
  int loss_percent_ = 0;
  PacingRate rate_;
  int64_t balance_ = 0;  // millionths of a byte
  int64_t burst_ = 0;    // millionths of a byte
  int64_t max_debt_ = 0; // millionths of a byte
  int64_t last_us_ = 0;
};

}  // namespace orvane::media
