#include "host/vdd/vdd_selftest.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "host/common/logger.h"
#include "host/common/parse.h"

namespace orvane {

namespace {

// A scale factor as an exact fraction, so that a side scaled to its limit
// lands on the limit itself rather than one pixel below it.
struct Scale {
  uint64_t num = 1;
  uint64_t den = 1;
};

// The smaller of two scales (both denominators are non-zero; every product
// of two 32-bit values fits in 64 bits).
Scale Smaller(Scale a, Scale b) { return a.num * b.den <= b.num * a.den ? a : b; }

// One side: scaled, held within [max(minimum, 2), max(maximum, 2)], then
// made even.
uint32_t FitSide(uint32_t side, Scale scale, uint32_t minimum, uint32_t maximum) {
  const uint64_t upper = std::max<uint32_t>(maximum, 2);
  const uint64_t lower = std::max<uint32_t>(minimum, 2);
  uint64_t fitted = static_cast<uint64_t>(side) * scale.num / scale.den;
  if (fitted > upper) {
    fitted = upper;
  } else if (fitted < lower) {
    fitted = lower;
  }
  return static_cast<uint32_t>(fitted & ~uint64_t{1});
}

uint32_t FitRefresh(uint32_t requested, const VirtualDisplayModeLimits& limits) {
  const uint32_t r = requested == 0 ? 60 : requested;
  bool listed = false;
  uint32_t best = 0;
  for (const uint32_t rate : limits.refresh_rates) {
    if (rate == 0) continue;  // names no rate
    const uint32_t distance = rate > r ? rate - r : r - rate;
    const uint32_t best_distance = best > r ? best - r : r - best;
    if (!listed || distance < best_distance || (distance == best_distance && rate > best)) best = rate;
    listed = true;
  }
  if (listed) return best;
  const uint32_t lower = limits.min_refresh_hz == 0 ? 1 : limits.min_refresh_hz;
  const uint32_t upper = std::max(limits.min_refresh_hz, limits.max_refresh_hz);
  return std::clamp(r, lower, std::max(lower, upper));
}

unsigned SideForLog(int32_t side) { return side > 0 ? static_cast<unsigned>(side) : 0u; }

std::vector<MonitorInfoData> ListMonitors(const VddSelfTestEnvironment& env) {
  if (!env.list_monitors) return {};
  return env.list_monitors();
}

}  // namespace

std::optional<VirtualDisplayMode> ParseVddSelfTestMode(std::string_view text) {
  const size_t x = text.find('x');
  if (x == std::string_view::npos) return std::nullopt;
  const size_t at = text.find('@', x + 1);
  if (at == std::string_view::npos) return std::nullopt;
  const std::optional<uint32_t> width = ParseDecimalDigits(text.substr(0, x), kVddSelfTestModeDigits);
  const std::optional<uint32_t> height = ParseDecimalDigits(text.substr(x + 1, at - x - 1), kVddSelfTestModeDigits);
  const std::optional<uint32_t> refresh = ParseDecimalDigits(text.substr(at + 1), kVddSelfTestModeDigits);
  if (!width || !height || !refresh) return std::nullopt;
  return VirtualDisplayMode{*width, *height, *refresh};
}

VirtualDisplayMode FitModeToLimits(uint32_t width, uint32_t height, uint32_t refresh_hz,
                                   const VirtualDisplayModeLimits& limits) {
  bool portrait = width != 0 && width < height;
  uint32_t long_side = std::max(width, height);
  uint32_t short_side = std::min(width, height);
  if (width == 0 || height == 0) {
    long_side = 1920;
    short_side = 1080;
    portrait = false;
  }
  Scale scale;
  scale = Smaller(scale, {std::max<uint32_t>(limits.max_width, 2), long_side});
  scale = Smaller(scale, {std::max<uint32_t>(limits.max_height, 2), short_side});

  VirtualDisplayMode mode;
  mode.width = FitSide(long_side, scale, limits.min_width, limits.max_width);
  mode.height = FitSide(short_side, scale, limits.min_height, limits.max_height);
  mode.refresh_hz = FitRefresh(refresh_hz, limits);
  if (portrait) std::swap(mode.width, mode.height);
  return mode;
}

int VddSelfTest(std::string_view mode_text, uint32_t seconds, const VddSelfTestEnvironment& env) {
  const VirtualDisplayMode asked = ParseVddSelfTestMode(mode_text).value_or(kVddSelfTestDefaultMode);
  IClock& clock = env.clock != nullptr ? *env.clock : SystemClock();

  std::shared_ptr<VirtualDisplayManager> manager;
  if (env.make_manager) manager = env.make_manager();
  if (!manager) {
    LogError("[VddSelfTest] The virtual display manager could not be built");
    return kVddSelfTestNoDriver;
  }
  const size_t recovered = manager->RecoverFromLedger();
  const bool installed = manager->DriverAvailable();
  LogInfo("[VddSelfTest] backend=%s available=%d detail=%s recovered=%zu", manager->GetBackendName().c_str(),
          installed ? 1 : 0, manager->GetAvailabilityDetail().c_str(), recovered);
  if (!installed) {
    manager.reset();
    return kVddSelfTestNoDriver;
  }

  manager->SetExtendedEnabled(true);
  const VirtualDisplayMode mode = FitModeToLimits(asked.width, asked.height, asked.refresh_hz, manager->GetModeLimits());
  const VirtualDisplayAcquireResult acquired = manager->AcquireDefault(mode);
  const int kind = static_cast<int>(acquired.kind);
  LogInfo("[VddSelfTest] acquire %ux%u@%u -> %s monitor=%s detail=%s", mode.width, mode.height, mode.refresh_hz,
          VirtualDisplayAcquireKindName(kind), acquired.monitor_id.c_str(), acquired.message.c_str());
  if (kind >= static_cast<int>(VirtualDisplayAcquireKind::kExtendedModeOff)) {
    manager->Shutdown();
    manager.reset();
    return kVddSelfTestAcquireFailed;
  }

  // From here on the monitor is released whatever the capture does.
  uint32_t frames = 0;
  const std::vector<MonitorInfoData> monitors = ListMonitors(env);
  const MonitorInfoData* target = nullptr;
  for (const MonitorInfoData& m : monitors) {
    LogInfo("[VddSelfTest] monitor %s at %d,%d %ux%u@%u primary=%d", m.id.c_str(), m.x, m.y, SideForLog(m.width),
            SideForLog(m.height), m.refresh_rate, m.primary ? 1 : 0);
    if (target == nullptr && !acquired.monitor_id.empty() && m.id == acquired.monitor_id) target = &m;
  }
  if (target == nullptr) {
    LogWarn("[VddSelfTest] The virtual monitor %s is not among the desktop monitors", acquired.monitor_id.c_str());
  } else {
    std::unique_ptr<IVddSelfTestCapture> capture;
    if (env.make_capture) capture = env.make_capture(*target);
    if (capture && capture->Initialize()) {
      for (uint32_t attempt = 0; attempt < kVddSelfTestFrameAttempts; ++attempt) {
        const VddSelfTestFrame frame = capture->TakeFrame(kVddSelfTestFrameWaitMs);
        if (!frame.has_image) continue;
        if (++frames == 1) {
          LogInfo("[VddSelfTest] first frame %ux%u via %s", frame.width, frame.height, capture->BackendName());
        }
      }
    }
    LogInfo("[VddSelfTest] captured %u frame(s) of %s via %s", frames, target->id.c_str(),
            capture ? capture->BackendName() : "none");
    capture.reset();
  }

  clock.SleepMs(std::min(seconds, kVddSelfTestMaxSeconds) * 1000);

  manager->Release(0, "self-test done");
  manager->Shutdown();
  LogInfo("[VddSelfTest] released; %u monitor(s) on the desktop now",
          static_cast<unsigned>(std::min<size_t>(ListMonitors(env).size(), UINT32_MAX)));
  manager.reset();
  return frames > 0 ? kVddSelfTestPassed : kVddSelfTestNoFrame;
}

}  // namespace orvane
