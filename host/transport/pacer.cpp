#include "host/transport/pacer.h"

#include <algorithm>

#include "host/transport/fec_group.h"

namespace orvane::media {

namespace {

constexpr int64_t kScale = 1'000'000;  // balance units per byte
// Longer gaps than this fill any bucket anyway (at most 20 ms of debt plus
// 2 ms, or 24000 bytes at no less than 1.5 bytes/us); the cap keeps
// elapsed x rate far from overflow.
constexpr int64_t kMaxRefillUs = 1'000'000;
// No datagram is near this; the bound keeps bytes x kScale in range.
constexpr size_t kMaxChargeBytes = size_t{1} << 24;

}  // namespace

PacingRate ComputePacingRate(uint32_t bitrate_kbps, int loss_percent) {
  PacingRate rate;
  if (bitrate_kbps < kPacingMinBitrateKbps) return rate;
  const uint64_t k = static_cast<uint64_t>(FecGroupSize(loss_percent, false));
  // (1 + 1/k + 0.1) = (11k + 10) / 10k, exactly.
  const uint64_t with_fec = uint64_t{bitrate_kbps} * (11 * k + 10) / (10 * k);
  // 2.5 x (with_fec + 192), rounded down.
  const uint64_t paced = (with_fec + kPacingAudioAllowanceKbps) * 5 / 2;
  rate.pacing_kbps = std::max(kPacingFloorKbps, paced);
  rate.bytes_per_second = rate.pacing_kbps * 125;
  rate.burst_bytes =
      std::max(rate.bytes_per_second * static_cast<uint64_t>(kPacingBurstUs) / 1'000'000, kPacingMinBurstBytes);
  return rate;
}

void Pacer::SetBitrate(uint32_t bitrate_kbps, int64_t now_us) {
  bitrate_kbps_ = bitrate_kbps;
  Reconfigure(now_us);
}

void Pacer::SetLoss(int loss_percent, int64_t now_us) {
  loss_percent_ = std::clamp(loss_percent, 0, 40);
  Reconfigure(now_us);
}

void Pacer::Reconfigure(int64_t now_us) {
  const bool was_on = rate_.enabled();
  if (was_on) Refill(now_us);
  rate_ = ComputePacingRate(bitrate_kbps_, loss_percent_);
  if (!rate_.enabled()) {
    balance_ = burst_ = max_debt_ = 0;
    return;
  }
  const int64_t bps = static_cast<int64_t>(rate_.bytes_per_second);
  // The exact 2 ms, not the whole bytes the rate reports.
  burst_ = std::max(bps * kPacingBurstUs, static_cast<int64_t>(kPacingMinBurstBytes) * kScale);
  max_debt_ = bps * kPacingMaxDebtUs;
  if (!was_on) {
    balance_ = burst_;
    last_us_ = now_us;
  } else {
    balance_ = std::min(balance_, burst_);
  }
}

void Pacer::Refill(int64_t now_us) {
  const int64_t elapsed = std::clamp<int64_t>(now_us - last_us_, 0, kMaxRefillUs);
  // A clock that stepped back keeps the old mark, so nothing is counted twice.
  if (now_us > last_us_) last_us_ = now_us;
  balance_ = std::min(balance_ + elapsed * static_cast<int64_t>(rate_.bytes_per_second), burst_);
}

int64_t Pacer::Charge(size_t wire_bytes, bool paced, int64_t now_us) {
  if (!rate_.enabled()) return 0;
  Refill(now_us);
  balance_ -= static_cast<int64_t>(std::min(wire_bytes, kMaxChargeBytes)) * kScale;
  if (balance_ < -max_debt_) balance_ = -max_debt_;
  if (!paced || balance_ >= 0) return 0;
  const int64_t bps = static_cast<int64_t>(rate_.bytes_per_second);
  // Less than 250 us of debt (exactly, not rounded) is not worth a sleep.
  if (-balance_ < kPacingMinSleepUs * bps) return 0;
  // Rounded up: waking early would only leave a little debt for the next one.
  return std::min((-balance_ + bps - 1) / bps, kPacingMaxSleepUs);
}

int64_t Pacer::balance_bytes() const { return balance_ / kScale; }

}  // namespace orvane::media
