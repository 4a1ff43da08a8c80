#include "host/security/pairing_code.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include "host/security/crypto.h"

namespace orvane::security {

namespace {

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

bool SystemRandom(uint32_t* value) {
  uint8_t bytes[4] = {};
  if (!crypto::RandomBytes(bytes, sizeof(bytes))) return false;
  std::memcpy(value, bytes, sizeof(bytes));
  crypto::SecureWipe(bytes, sizeof(bytes));
  return true;
}

}  // namespace

// 30 s * 2^(lockouts - 1), at most 600 s. The exponent is clamped before
// the shift: from the sixth lockout on the cap applies anyway, and a count
// in the dozens must not shift past the width of the type.
uint64_t PairingCodeManager::PauseAfterLockouts(uint32_t lockouts) {
  const uint32_t exponent = std::min<uint32_t>(lockouts == 0 ? 0 : lockouts - 1, 5);
  return std::min(kFirstPauseNs << exponent, kMaxPauseNs);
}

PairingCodeManager::PairingCodeManager() : PairingCodeManager(RandomSource(SystemRandom)) {}

PairingCodeManager::PairingCodeManager(RandomSource random) : random_(std::move(random)) {
  if (!random_) random_ = SystemRandom;
}

PairingCodeManager::~PairingCodeManager() { ClearCodeLocked(); }

void PairingCodeManager::SetChangeCallback(ChangeCallback callback) {
  std::lock_guard<std::mutex> lock(mu_);
  on_change_ = std::move(callback);
}

void PairingCodeManager::ClearCodeLocked() {
  crypto::SecureWipe(code_.data(), code_.size());
  code_.clear();
  expiry_ns_ = 0;
}

void PairingCodeManager::ExpireLocked(uint64_t now_ns) {
  // Only the code lapses; the wrong attempts made against it stay counted.
  if (!code_.empty() && now_ns >= expiry_ns_) ClearCodeLocked();
}

bool PairingCodeManager::GenerateLocked(uint64_t now_ns) {
  ClearCodeLocked();
  for (int draw = 0; draw < kMaxDraws; ++draw) {
    uint32_t value = 0;
    if (!random_(&value)) break;
    if (value >= kDrawLimit) continue;
    char text[16];
    std::snprintf(text, sizeof(text), "%06u", static_cast<unsigned>(value % 1'000'000u));
    code_ = text;
    crypto::SecureWipe(text, sizeof(text));
    expiry_ns_ = SaturatingAdd(now_ns, kCodeValidityNs);
    return true;
  }
  return false;
}

void PairingCodeManager::NotifyChanged() {
  ChangeCallback callback;
  {
    std::lock_guard<std::mutex> lock(mu_);
    callback = on_change_;
  }
  if (callback) callback();
}

std::string PairingCodeManager::CurrentCode(uint64_t now_ns) {
  std::string code;
  bool generated = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ExpireLocked(now_ns);
    if (code_.empty() && now_ns >= paused_until_ns_) generated = GenerateLocked(now_ns);
    code = code_;
  }
  if (generated) NotifyChanged();
  return code;
}

PairingCodeStatus PairingCodeManager::Status(uint64_t now_ns) {
  std::lock_guard<std::mutex> lock(mu_);
  ExpireLocked(now_ns);
  PairingCodeStatus status;
  if (!code_.empty()) {
    status.code = code_;
    status.remaining_ns = expiry_ns_ - now_ns;
    status.attempts_left = kMaxWrongAttempts - std::min(wrong_attempts_, kMaxWrongAttempts);
  }
  if (now_ns < paused_until_ns_) status.pause_left_ns = paused_until_ns_ - now_ns;
  return status;
}

std::string PairingCodeManager::RegenerateCode(uint64_t now_ns) {
  std::string code;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // The user's explicit renewal: a fresh start for the guessing count.
    paused_until_ns_ = 0;
    wrong_attempts_ = 0;
    GenerateLocked(now_ns);
    code = code_;
  }
  NotifyChanged();
  return code;
}

void PairingCodeManager::ClearCode() {
  bool had_code = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    had_code = !code_.empty();
    ClearCodeLocked();
  }
  if (had_code) NotifyChanged();
}

bool PairingCodeManager::IsPaused(uint64_t now_ns) {
  std::lock_guard<std::mutex> lock(mu_);
  return now_ns < paused_until_ns_;
}

std::optional<std::string> PairingCodeManager::TryCode(uint64_t now_ns, const Matcher& matcher) {
  std::optional<std::string> matched;
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ExpireLocked(now_ns);
    if (code_.empty() || !matcher) return std::nullopt;
    if (matcher(code_)) {
      matched = code_;
      ClearCodeLocked();
      wrong_attempts_ = 0;
      lockouts_ = 0;
      ++pairings_;
      ever_paired_ = true;
      last_pairing_ns_ = now_ns;
      changed = true;
    } else {
      ++wrong_attempts_;
      if (wrong_attempts_ >= kMaxWrongAttempts) {
        // The lockout is the penalty: the count starts again after it.
        ClearCodeLocked();
        wrong_attempts_ = 0;
        if (lockouts_ < std::numeric_limits<uint32_t>::max()) ++lockouts_;
        paused_until_ns_ = SaturatingAdd(now_ns, PauseAfterLockouts(lockouts_));
        changed = true;
      }
    }
  }
  if (changed) NotifyChanged();
  return matched;
}

bool PairingCodeManager::PairedWithin(uint64_t now_ns, uint64_t window_ns) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!ever_paired_) return false;
  return now_ns <= last_pairing_ns_ || now_ns - last_pairing_ns_ <= window_ns;
}

uint64_t PairingCodeManager::Pairings() {
  std::lock_guard<std::mutex> lock(mu_);
  return pairings_;
}

uint32_t PairingCodeManager::WrongAttempts() {
  std::lock_guard<std::mutex> lock(mu_);
  return wrong_attempts_;
}

uint32_t PairingCodeManager::Lockouts() {
  std::lock_guard<std::mutex> lock(mu_);
  return lockouts_;
}

}  // namespace orvane::security
