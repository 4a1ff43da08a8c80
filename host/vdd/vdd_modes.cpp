#include "host/vdd/vdd_modes.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvane::vdd {

namespace {

bool Portrait(uint32_t width, uint32_t height) { return width < height; }

int64_t Area(const ModeCandidate& m) { return static_cast<int64_t>(m.width) * static_cast<int64_t>(m.height); }

struct SizeScore {
  bool aspect_matches = false;
  bool fits = false;
  int64_t area = 0;
};

SizeScore Score(const ModeCandidate& m, const VirtualDisplayMode& request) {
  const double wanted = static_cast<double>(request.width) / static_cast<double>(request.height);
  const double ratio = static_cast<double>(m.width) / static_cast<double>(m.height);
  SizeScore s;
  s.aspect_matches = std::fabs(ratio - wanted) < 0.01 * wanted;
  s.fits = m.width <= request.width && m.height <= request.height;
  s.area = Area(m);
  return s;
}

// a is a strictly better size than b.
bool BetterSize(const SizeScore& a, const SizeScore& b) {
  if (a.aspect_matches != b.aspect_matches) return a.aspect_matches;
  if (a.fits != b.fits) return a.fits;
  return a.fits ? a.area > b.area : a.area < b.area;
}

int64_t RefreshDistance(uint32_t a, uint32_t b) {
  const int64_t d = static_cast<int64_t>(a) - static_cast<int64_t>(b);
  return d < 0 ? -d : d;
}

int32_t ClampToInt32(int64_t v) {
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

}  // namespace

bool IsQuarterTurn(uint32_t orientation) { return orientation == kDmdo90 || orientation == kDmdo270; }

std::vector<ModeCandidate> ChooseClosestModes(const std::vector<DisplaySettings>& listed,
                                              const VirtualDisplayMode& request) {
  if (!request.Valid()) return {};

  std::vector<ModeCandidate> entries;
  auto add = [&entries](const ModeCandidate& m) {
    if (std::find(entries.begin(), entries.end(), m) == entries.end()) entries.push_back(m);
  };
  for (const DisplaySettings& mode : listed) {
    if (mode.width == 0 || mode.height == 0) continue;
    const bool turned = (mode.fields & kDmDisplayOrientation) != 0 && IsQuarterTurn(mode.orientation);
    const uint32_t w = turned ? mode.height : mode.width;
    const uint32_t h = turned ? mode.width : mode.height;
    add({w, h, mode.refresh_hz, false});
    if (w != h) add({h, w, mode.refresh_hz, true});
  }
  if (entries.empty()) return {};

  const bool want_portrait = Portrait(request.width, request.height);
  std::vector<ModeCandidate> shaped;
  for (const ModeCandidate& m : entries) {
    if (m.width == m.height || Portrait(m.width, m.height) == want_portrait) shaped.push_back(m);
  }
  if (shaped.empty()) shaped = entries;

  const ModeCandidate* best = &shaped.front();
  SizeScore best_score = Score(*best, request);
  for (const ModeCandidate& m : shaped) {
    const SizeScore s = Score(m, request);
    if (BetterSize(s, best_score)) {
      best = &m;
      best_score = s;
    }
  }
  const uint32_t width = best->width;
  const uint32_t height = best->height;

  bool have_refresh = false;
  uint32_t refresh = 0;
  for (const ModeCandidate& m : shaped) {
    if (m.width != width || m.height != height) continue;
    if (!have_refresh) {
      have_refresh = true;
      refresh = m.refresh_hz;
      continue;
    }
    const int64_t d = RefreshDistance(m.refresh_hz, request.refresh_hz);
    const int64_t best_d = RefreshDistance(refresh, request.refresh_hz);
    if (d < best_d || (d == best_d && m.refresh_hz > refresh)) refresh = m.refresh_hz;
  }

  std::vector<ModeCandidate> result;
  for (const bool rotated : {false, true}) {
    for (const ModeCandidate& m : shaped) {
      if (m.width == width && m.height == height && m.refresh_hz == refresh && m.rotated == rotated) {
        result.push_back(m);
      }
    }
  }
  return result;
}

std::vector<ModeCandidate> RequestCandidates(const VirtualDisplayMode& request) {
  if (!request.Valid()) return {};
  std::vector<ModeCandidate> result{{request.width, request.height, request.refresh_hz, false}};
  if (Portrait(request.width, request.height)) result.push_back({request.width, request.height, request.refresh_hz, true});
  return result;
}

std::vector<ModeCandidate> ModeCandidatesToTry(const std::vector<DisplaySettings>& listed,
                                               const VirtualDisplayMode& request) {
  std::vector<ModeCandidate> candidates = ChooseClosestModes(listed, request);
  if (candidates.empty()) candidates = RequestCandidates(request);
  if (candidates.size() > kMaxModeCandidates) candidates.resize(kMaxModeCandidates);
  return candidates;
}

bool CandidateIsCurrent(const ModeCandidate& candidate, const DisplaySettings& current) {
  return candidate.width == current.width && candidate.height == current.height &&
         candidate.refresh_hz == current.refresh_hz && candidate.rotated == IsQuarterTurn(current.orientation);
}

DisplaySettings CandidateSettings(const ModeCandidate& candidate, const std::optional<DesktopPosition>& position) {
  DisplaySettings s;
  s.fields = kDmPelsWidth | kDmPelsHeight | kDmDisplayFrequency | kDmDisplayOrientation;
  s.width = candidate.width;
  s.height = candidate.height;
  s.refresh_hz = candidate.refresh_hz;
  s.orientation = candidate.rotated ? kDmdo90 : kDmdoDefault;
  if (position) {
    s.fields |= kDmPosition;
    s.x = position->x;
    s.y = position->y;
  }
  return s;
}

DesktopPosition PositionRightOf(const std::vector<DesktopRect>& monitors) {
  const DesktopRect* best = nullptr;
  int64_t best_right = 0;
  for (const DesktopRect& m : monitors) {
    const int64_t right = static_cast<int64_t>(m.x) + static_cast<int64_t>(m.width);
    bool take = best == nullptr || right > best_right;
    if (!take && right == best_right) {
      if (m.primary != best->primary) {
        take = m.primary;
      } else {
        take = m.y < best->y;
      }
    }
    if (take) {
      best = &m;
      best_right = right;
    }
  }
  if (best == nullptr) return {};
  return {ClampToInt32(best_right), best->y};
}

}  // namespace orvane::vdd
