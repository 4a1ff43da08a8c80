#pragma once
// Mode and placement decisions for a driver monitor: which listed mode comes
// closest to a tablet's mode (turning the monitor by 90° when that fits
// better), what SetMonitorMode tries in which order, and where a new monitor
// goes on the desktop. Pure functions over the portable records of
// vdd_system.h.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/vdd/vdd_system.h"
#include "host/vdd/virtual_display.h"

namespace orvane::vdd {

// A mode to set on a monitor. width × height is the desktop size; rotated:
// the monitor is turned by 90° (DMDO_90), so its native mode is
// height × width.
struct ModeCandidate {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t refresh_hz = 0;
  bool rotated = false;
  friend bool operator==(const ModeCandidate&, const ModeCandidate&) = default;
};

// At most this many candidates are tried by one mode switch.
inline constexpr size_t kMaxModeCandidates = 3;

// True for DMDO_90 and DMDO_270.
bool IsQuarterTurn(uint32_t orientation);

// The listed modes closest to `request`, unrotated first, then rotated:
// every listed mode in its native orientation (a mode listed at 90° or 270°,
// with DM_DISPLAYORIENTATION set, has its sides swapped back) plus, when not
// square, the same mode turned; modes with a zero side are skipped. Shape
// (portrait or landscape, squares always) first, then an aspect ratio within
// 1 %, then fitting inside the request (the largest area among fitting
// modes, the smallest among the others), then the closest refresh (a tie
// goes to the higher one). Empty when nothing is listed or the request is
// invalid.
std::vector<ModeCandidate> ChooseClosestModes(const std::vector<DisplaySettings>& listed,
                                              const VirtualDisplayMode& request);

// What to try when no listed mode is known: the request as it is and, for a
// portrait request, the request on a turned monitor.
std::vector<ModeCandidate> RequestCandidates(const VirtualDisplayMode& request);

// The candidates a mode switch walks, in order: ChooseClosestModes, or
// RequestCandidates when that finds none; at most kMaxModeCandidates.
std::vector<ModeCandidate> ModeCandidatesToTry(const std::vector<DisplaySettings>& listed,
                                               const VirtualDisplayMode& request);

// The monitor already runs this candidate: same size and refresh, and
// turned exactly when the candidate is rotated.
bool CandidateIsCurrent(const ModeCandidate& candidate, const DisplaySettings& current);

struct DesktopPosition {
  int32_t x = 0;
  int32_t y = 0;
  friend bool operator==(const DesktopPosition&, const DesktopPosition&) = default;
};

// The display change for a candidate: size, refresh and orientation (DMDO_90
// when rotated, else DMDO_DEFAULT), and the position when one is given.
DisplaySettings CandidateSettings(const ModeCandidate& candidate, const std::optional<DesktopPosition>& position);

// One monitor of the desktop, as its current settings place it.
struct DesktopRect {
  std::string name;
  int32_t x = 0;
  int32_t y = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  bool primary = false;
};

// Where a new monitor goes: right of the monitor with the largest right
// edge (a tie goes to the primary monitor, then to the smaller top), at that
// monitor's top; (0, 0) when there is none.
DesktopPosition PositionRightOf(const std::vector<DesktopRect>& monitors);

}  // namespace orvane::vdd
