#pragma once
// Lets one event through per interval and counts what it suppressed, for
// warnings on hot paths and for lines caused by untrusted peers.

#include <cstdint>
#include <mutex>

namespace orvane {

class RateLimiter {
 public:
  explicit RateLimiter(uint64_t interval_ms) : interval_ms_(interval_ms) {}

  // True when the event may be logged now; *suppressed receives the number of
  // events swallowed since the last one that was let through.
  bool Allow(uint64_t now_ms, uint64_t* suppressed = nullptr) {
    std::lock_guard<std::mutex> lock(mu_);
    if (has_last_ && now_ms - last_ms_ < interval_ms_) {
      ++suppressed_;
      return false;
    }
    has_last_ = true;
    last_ms_ = now_ms;
    if (suppressed) *suppressed = suppressed_;
    suppressed_ = 0;
    return true;
  }

  uint64_t suppressed() const {
    std::lock_guard<std::mutex> lock(mu_);
    return suppressed_;
  }

  void Reset() {
    std::lock_guard<std::mutex> lock(mu_);
    has_last_ = false;
    suppressed_ = 0;
  }

 private:
  const uint64_t interval_ms_;
  mutable std::mutex mu_;
  bool has_last_ = false;
  uint64_t last_ms_ = 0;
  uint64_t suppressed_ = 0;
};

}  // namespace orvane
