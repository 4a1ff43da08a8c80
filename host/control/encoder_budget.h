#pragma once
// The host-wide encoder budget shared by all sessions of the pool: how many
// hardware and software encoders run, the hardware cap learned when a
// hardware encoder would not start (forgotten after ten minutes), and at most
// two software encoders at once.
//
// A plan reserves its unit under the budget's mutex, so sessions planning at
// the same time never exceed the limits; a failed start gives it back.

#include <cstdint>
#include <mutex>
#include <string>

#include "host/common/clock.h"

namespace orvane {

enum class EncoderUnit : int { kNone = 0, kHardware = 1, kSoftware = 2 };

class EncoderBudget {
 public:
  static constexpr uint32_t kSoftwareMaximum = 2;
  static constexpr uint64_t kCapLifetimeMs = 600'000;

  explicit EncoderBudget(IClock& clock) : clock_(clock) {}

  struct Plan {
    EncoderUnit unit = EncoderUnit::kNone;  // kNone: refuse
    uint32_t hardware_running = 0;          // before the reservation
    int32_t cap = -1;
    uint32_t software_running = 0;
    // "hardware", "software" or "refuse".
    const char* Name() const;
    // "unknown" or the cap's number.
    std::string CapText() const;
  };

  // Chooses and reserves a unit: hardware when there are hardware encoders
  // for the codec (`hardware_encoders`, 0 on Linux) and the cap allows, else software while fewer than two run, else none.
  Plan Reserve(uint32_t hardware_encoders);
  // A hardware start failed: the cap is learned from the others' units
  // (the reservation is returned), and software is reserved when allowed.
  // Returns the new reservation (kNone: refuse).
  EncoderUnit HardwareFailed();
  // The encoder that started runs as software although hardware was
  // reserved (or the other way round).
  void Convert(EncoderUnit from, EncoderUnit to);
  // Gives a unit back (a failed start or a stopped stream); the learned
  // cap is forgotten when a stream stops.
  void Release(EncoderUnit unit, bool forget_cap);

  uint32_t HardwareRunning();
  uint32_t SoftwareRunning();
  int32_t Cap();

 private:
  void ReleaseLocked(EncoderUnit unit);

  IClock& clock_;
  std::mutex mu_;
  uint32_t hardware_ = 0;
  uint32_t software_ = 0;
  int32_t cap_ = -1;
  uint64_t cap_ms_ = 0;
};

}  // namespace orvane
