#include "host/control/encoder_budget.h"

namespace orvane {

const char* EncoderBudget::Plan::Name() const {
  switch (unit) {
    case EncoderUnit::kHardware:
      return "hardware";
    case EncoderUnit::kSoftware:
      return "software";
    default:
      return "refuse";
  }
}

std::string EncoderBudget::Plan::CapText() const { return cap < 0 ? "unknown" : std::to_string(cap); }

EncoderBudget::Plan EncoderBudget::Reserve(uint32_t hardware_encoders) {
  std::lock_guard<std::mutex> lock(mu_);
  if (cap_ >= 0 && clock_.TickMs() - cap_ms_ >= kCapLifetimeMs) cap_ = -1;
  Plan plan;
  plan.hardware_running = hardware_;
  plan.cap = cap_;
  plan.software_running = software_;
  if (hardware_encoders > 0 && (cap_ < 0 || hardware_ < static_cast<uint32_t>(cap_))) {
    plan.unit = EncoderUnit::kHardware;
    ++hardware_;
  } else if (software_ < kSoftwareMaximum) {
    plan.unit = EncoderUnit::kSoftware;
    ++software_;
  }
  return plan;
}

EncoderUnit EncoderBudget::HardwareFailed() {
  std::lock_guard<std::mutex> lock(mu_);
  ReleaseLocked(EncoderUnit::kHardware);
  // The others' hardware units are what this machine runs.
  if (hardware_ != 0 && (cap_ < 0 || hardware_ < static_cast<uint32_t>(cap_))) {
    cap_ = static_cast<int32_t>(hardware_);
    cap_ms_ = clock_.TickMs();
  }
  if (software_ < kSoftwareMaximum) {
    ++software_;
    return EncoderUnit::kSoftware;
  }
  return EncoderUnit::kNone;
}

void EncoderBudget::Convert(EncoderUnit from, EncoderUnit to) {
  if (from == to) return;
  std::lock_guard<std::mutex> lock(mu_);
  ReleaseLocked(from);
  if (to == EncoderUnit::kHardware) ++hardware_;
  if (to == EncoderUnit::kSoftware) ++software_;
}

void EncoderBudget::Release(EncoderUnit unit, bool forget_cap) {
  std::lock_guard<std::mutex> lock(mu_);
  ReleaseLocked(unit);
  if (forget_cap) cap_ = -1;
}

void EncoderBudget::ReleaseLocked(EncoderUnit unit) {
  if (unit == EncoderUnit::kHardware && hardware_ > 0) --hardware_;
  if (unit == EncoderUnit::kSoftware && software_ > 0) --software_;
}

uint32_t EncoderBudget::HardwareRunning() {
  std::lock_guard<std::mutex> lock(mu_);
  return hardware_;
}

uint32_t EncoderBudget::SoftwareRunning() {
  std::lock_guard<std::mutex> lock(mu_);
  return software_;
}

int32_t EncoderBudget::Cap() {
  std::lock_guard<std::mutex> lock(mu_);
  return cap_;
}

}  // namespace orvane
