#include "host/transport/nack_server.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "host/common/logger.h"

namespace orvane {

namespace {

constexpr uint64_t kFnvOffsetBasis = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

// kbit/s to bytes per microsecond, in double: a u32 bitrate times 1000 does
// not fit 32 bits.
double BudgetBytesPerUsFor(uint32_t bitrate_kbps) {
  const double kbps = std::max(static_cast<double>(bitrate_kbps) * kNackBudgetShare, kNackBudgetFloorKbps);
  return kbps * 1000.0 * 0.125 / 1'000'000.0;
}

unsigned long long Delta(uint64_t now, uint64_t then) { return static_cast<unsigned long long>(now - then); }

}  // namespace

uint64_t NackSequenceHash(uint32_t sequence) {
  uint64_t hash = kFnvOffsetBasis;
  for (int shift = 0; shift < 32; shift += 8) {
    hash ^= (sequence >> shift) & 0xFFu;
    hash *= kFnvPrime;
  }
  return hash;
}

NackServer::NackServer(IClock& clock, RetransmitFn retransmit) : clock_(clock), retransmit_(std::move(retransmit)) {
  // One more than the limit: a new entry is added after pruning. Reserved once
  // so serving never rehashes.
  ledger_.reserve(kNackLedgerMaxEntries + 1);
  rate_bytes_per_us_ = BudgetBytesPerUsFor(0);
}

void NackServer::Reset(uint32_t bitrate_kbps) {
  std::lock_guard<std::mutex> lock(mu_);
  ledger_.clear();
  fifo_.clear();
  retry_interval_us_ = kNackMinRetryIntervalUs;
  tokens_ = kNackBucketCapacityBytes;
  rate_bytes_per_us_ = BudgetBytesPerUsFor(bitrate_kbps);
  last_refill_us_ = 0;
  refilled_ = false;
  counters_ = NackCounters{};
  logged_ = NackCounters{};
  last_log_ms_ = 0;
  logged_once_ = false;
}

void NackServer::Serve(uint32_t stream_type, const std::vector<uint32_t>& sequences) {
  if (stream_type != kNackStreamTypeVideo) return;
  std::lock_guard<std::mutex> lock(mu_);
  for (const uint32_t sequence : sequences) ServeOneLocked(sequence, clock_.NowUs());
}

void NackServer::ServeOneLocked(uint32_t sequence, int64_t now_us) {
  ++counters_.requested;
  PruneLocked(now_us);
  const auto it = ledger_.find(sequence);
  if (it != ledger_.end()) {
    if (now_us - it->second.last_resend_us < retry_interval_us_) {
      ++counters_.duplicate;
      return;
    }
    if (it->second.resends >= kNackMaxResends) {
      ++counters_.exhausted;
      return;
    }
  }
  RefillLocked(now_us);
  if (tokens_ < kNackDatagramCostBytes) {
    ++counters_.over_budget;
    return;
  }
  // Only a datagram that really left is paid for and remembered: one the
  // sender no longer holds must not use up the budget or the three resends.
  if (!retransmit_ || !retransmit_(sequence)) {
    ++counters_.missing;
    return;
  }
  tokens_ -= kNackDatagramCostBytes;
  ++counters_.sent;
  if (it != ledger_.end()) {
    it->second.last_resend_us = now_us;
    ++it->second.resends;
  } else {
    ledger_.emplace(sequence, Entry{now_us, 1});
    fifo_.push_back(Inserted{sequence, now_us});
  }
}

void NackServer::PruneLocked(int64_t now_us) {
  while (!fifo_.empty() &&
         (now_us - fifo_.front().at_us > kNackLedgerLifetimeUs || ledger_.size() > kNackLedgerMaxEntries)) {
    ledger_.erase(fifo_.front().sequence);
    fifo_.pop_front();
  }
}

void NackServer::RefillLocked(int64_t now_us) {
  if (refilled_ && now_us > last_refill_us_) {
    const double added = static_cast<double>(now_us - last_refill_us_) * rate_bytes_per_us_;
    tokens_ = std::min(tokens_ + added, kNackBucketCapacityBytes);
  }
  if (!refilled_ || now_us > last_refill_us_) last_refill_us_ = now_us;
  refilled_ = true;
}

void NackServer::UpdateRetryInterval(float rtt_ms) {
  // NaN fails both comparisons: it and anything negative or infinite count
  // as no delay at all, which the clamp turns into the minimum.
  const double rtt = (std::isfinite(rtt_ms) && rtt_ms > 0.0f) ? static_cast<double>(rtt_ms) : 0.0;
  const double us = std::clamp(2.0 * rtt * 1000.0, static_cast<double>(kNackMinRetryIntervalUs),
                               static_cast<double>(kNackMaxRetryIntervalUs));
  std::lock_guard<std::mutex> lock(mu_);
  retry_interval_us_ = static_cast<int64_t>(us);
}

void NackServer::UpdateBudgetRate(uint32_t bitrate_kbps) {
  std::lock_guard<std::mutex> lock(mu_);
  rate_bytes_per_us_ = BudgetBytesPerUsFor(bitrate_kbps);
}

void NackServer::MaybeLog() {
  std::lock_guard<std::mutex> lock(mu_);
  if (counters_.requested == logged_.requested) return;
  const uint64_t now_ms = clock_.TickMs();
  if (logged_once_ && now_ms - last_log_ms_ < kNackLogIntervalMs) return;
  const uint64_t since_ms = logged_once_ ? now_ms - last_log_ms_ : 0;
  LogInfo(
      "[Retransmit] last %llums: requested=%llu sent=%llu duplicate=%llu over_budget=%llu exhausted=%llu "
      "retry_interval_ms=%llu missing=%llu",
      static_cast<unsigned long long>(since_ms), Delta(counters_.requested, logged_.requested),
      Delta(counters_.sent, logged_.sent), Delta(counters_.duplicate, logged_.duplicate),
      Delta(counters_.over_budget, logged_.over_budget), Delta(counters_.exhausted, logged_.exhausted),
      static_cast<unsigned long long>(retry_interval_us_ / 1000), Delta(counters_.missing, logged_.missing));
  logged_ = counters_;
  last_log_ms_ = now_ms;
  logged_once_ = true;
}

NackCounters NackServer::Counters() const {
  std::lock_guard<std::mutex> lock(mu_);
  return counters_;
}

int64_t NackServer::RetryIntervalUs() const {
  std::lock_guard<std::mutex> lock(mu_);
  return retry_interval_us_;
}

double NackServer::BudgetBytesPerUs() const {
  std::lock_guard<std::mutex> lock(mu_);
  return rate_bytes_per_us_;
}

double NackServer::Tokens() const {
  std::lock_guard<std::mutex> lock(mu_);
  return tokens_;
}

size_t NackServer::LedgerSize() const {
  std::lock_guard<std::mutex> lock(mu_);
  return ledger_.size();
}

bool NackServer::LedgerEntry(uint32_t sequence, int64_t* last_resend_us, uint32_t* resends) const {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = ledger_.find(sequence);
  if (it == ledger_.end()) return false;
  if (last_resend_us) *last_resend_us = it->second.last_resend_us;
  if (resends) *resends = it->second.resends;
  return true;
}

}  // namespace orvane
