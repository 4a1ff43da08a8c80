#pragma once
// PairingCodeManager: the six-digit code a new tablet pairs with.
//
// A code is made on demand from the system's random generator, is valid for
// 120 s and takes five wrong proofs; the fifth locks pairing for a pause
// that doubles with every lockout (30 s, 60 s, ... at most 600 s). The
// wrong-attempt count belongs to the guessing, not to one code: it survives
// a code's expiry and automatic replacement, and only a successful pairing
// or the user's explicit renewal (RegenerateCode) clears it, so waiting for
// a new code never buys an attacker fresh guesses.
//
// One manager per process, shared by every session and the settings window.
// The change callback is never called with the lock held. Times are
// monotonic nanoseconds supplied by the caller.

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace orvane::security {

struct PairingCodeStatus {
  std::string code;             // empty when there is none
  uint64_t remaining_ns = 0;    // validity left, when a code exists
  uint64_t pause_left_ns = 0;   // when paused
  uint32_t attempts_left = 0;   // 5 - wrong attempts, when a code exists
};

class PairingCodeManager {
 public:
  static constexpr uint64_t kCodeValidityNs = 120'000'000'000ull;
  static constexpr uint32_t kMaxWrongAttempts = 5;
  static constexpr uint64_t kFirstPauseNs = 30'000'000'000ull;
  static constexpr uint64_t kMaxPauseNs = 600'000'000'000ull;
  static constexpr int kMaxDraws = 16;
  // Draws at or above this are discarded so that v mod 10^6 is uniform.
  static constexpr uint32_t kDrawLimit = 4'294'000'000u;
  static constexpr uint64_t kPairedJustNowNs = 10'000'000'000ull;

  // Four random bytes as one number; false when the source failed.
  using RandomSource = std::function<bool(uint32_t* value)>;
  using ChangeCallback = std::function<void()>;
  // Decides whether a proof fits the given code.
  using Matcher = std::function<bool(const std::string& code)>;

  // The system's random generator by default.
  PairingCodeManager();
  // A null source means the system's generator.
  explicit PairingCodeManager(RandomSource random);
  ~PairingCodeManager();
  PairingCodeManager(const PairingCodeManager&) = delete;
  PairingCodeManager& operator=(const PairingCodeManager&) = delete;

  // The pause after the given number of consecutive lockouts (1 -> 30 s,
  // 2 -> 60 s, ... capped at 600 s for any larger count).
  static uint64_t PauseAfterLockouts(uint32_t lockouts);

  void SetChangeCallback(ChangeCallback callback);

  // The current code, made when there is none and pairing is not paused.
  std::string CurrentCode(uint64_t now_ns);
  // Like CurrentCode without making a code.
  PairingCodeStatus Status(uint64_t now_ns);
  // The user asked for a new code: lifts a pause and the wrong-attempt
  // count, and makes a new code (empty when the random source fails).
  std::string RegenerateCode(uint64_t now_ns);
  // Drops the code (not the wrong-attempt count).
  void ClearCode();
  bool IsPaused(uint64_t now_ns);
  // Runs the matcher against the current (unexpired) code: the matched code,
  // or nothing (a wrong proof counts, the fifth locks pairing). The matcher
  // runs under the manager's lock and must not call back into the manager.
  std::optional<std::string> TryCode(uint64_t now_ns, const Matcher& matcher);
  bool PairedWithin(uint64_t now_ns, uint64_t window_ns);
  uint64_t Pairings();
  uint32_t WrongAttempts();
  uint32_t Lockouts();

 private:
  // Under the lock; true when a code was made.
  bool GenerateLocked(uint64_t now_ns);
  void ExpireLocked(uint64_t now_ns);
  // Wipes and drops the code and its expiry.
  void ClearCodeLocked();
  // Calls the change callback; the caller must not hold the lock.
  void NotifyChanged();

  RandomSource random_;
  std::mutex mu_;
  ChangeCallback on_change_;
  std::string code_;
  uint64_t expiry_ns_ = 0;
  uint32_t wrong_attempts_ = 0;
  uint64_t paused_until_ns_ = 0;
  uint32_t lockouts_ = 0;
  uint64_t pairings_ = 0;
  bool ever_paired_ = false;
  uint64_t last_pairing_ns_ = 0;
};

// The code the pairing credential is derived from and the tablet's proof:
//   credential = HMAC-SHA256(key = the 6 code digits, client_id ||
//                "orvane-pairing-credential-v1")
//   proof      = HMAC-SHA256(key = credential, client_id || challenge)
inline constexpr char kPairingCredentialLabel[] = "orvane-pairing-credential-v1";

}  // namespace orvane::security
