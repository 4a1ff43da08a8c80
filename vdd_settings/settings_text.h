#pragma once
// Reading and editing the driver's settings file as text. Every operation is
// pure: it takes the file's bytes and, when it edits, returns the new bytes.
// Everything outside the edited span stays byte for byte as it was (line
// endings, indentation, comments, the user's own entries).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tvr_vdd {

// The driver handles at most this many modes; a file listing more may leave
// it without any monitor.
inline constexpr uint64_t kModeBudget = 96;
// Largest width or height AddResolution writes.
inline constexpr uint32_t kMaxModeSide = 16384;
// Monitor counts SetMonitorCount writes.
inline constexpr uint32_t kMaxRequestedMonitors = 4;

struct ModeSize {
  uint32_t width = 0;
  uint32_t height = 0;
  bool operator==(const ModeSize&) const = default;
};

struct VddSettingsSummary {
  bool has_resolutions_block = false;   // "</resolutions>" outside comments
  uint32_t resolution_entries = 0;      // accepted heights after an accepted width
  uint32_t global_refresh_entries = 0;  // accepted "g_refresh_rate" values
  std::vector<ModeSize> listed_sizes;   // distinct, first-seen order
};

// (global refresh entries + 1) x resolution entries, in 64 bits so that no
// file within the read limit can wrap it below the budget.
uint64_t ModeCount(const VddSettingsSummary& summary);

VddSettingsSummary ParseSettings(std::string_view text);

struct ResolutionEntry {
  size_t start = 0;  // at "<resolution"
  size_t end = 0;    // just after "</resolution>"
  ModeSize size;
};
// The "resolution" elements outside comments that hold exactly one size, in
// file order.
std::vector<ResolutionEntry> ListResolutionEntries(std::string_view text);

// A resolution entry with the refresh rate its "refresh_rate" element gives
// (the first text that is a number of 1 to 1000; 0 when there is none).
struct ListedMode {
  ModeSize size;
  double refresh_hz = 0;
};
// The entries of ListResolutionEntries with their refresh rates.
std::vector<ListedMode> ListResolutionModes(std::string_view text);
// The "g_refresh_rate" values ParseSettings counts, in file order.
std::vector<double> ListGlobalRefreshRates(std::string_view text);

// The text without the entry; a line holding only the entry (and blanks)
// goes with its line ending.
std::string RemoveResolutionEntry(std::string_view text, const ResolutionEntry& entry);

enum class AddResolutionOutcome : int {
  kAdded = 0,
  kAlreadyPresent = 1,
  kNoResolutionsBlock = 2,
  kLimitReached = 3,
  kInvalidMode = 4,
};
// "added", "already-present", "no-resolutions-block", "limit-reached",
// "invalid-mode"; any other value "unknown".
const char* AddResolutionOutcomeName(AddResolutionOutcome outcome);

struct AddResolutionResult {
  AddResolutionOutcome outcome = AddResolutionOutcome::kNoResolutionsBlock;
  std::string text;   // the new text on kAdded, otherwise the input unchanged
  ModeSize replaced;  // the size given up by AddResolutionReplacing, else (0, 0)
};

// Adds one "resolution" element right above the last "</resolutions>" that
// lies outside comments, indented like the block.
AddResolutionResult AddResolution(std::string_view text, uint32_t width, uint32_t height,
                                  uint32_t refresh);

// As AddResolution; when the file is at the budget, gives up one tablet size
// (catalogue index above 5, after the file's last non-catalogue entry) for
// the new one, provided the mode count does not grow.
AddResolutionResult AddResolutionReplacing(std::string_view text, uint32_t width,
                                           uint32_t height, uint32_t refresh);

// Where the first usable "count" element lies: "<count" followed by a tab, a
// space or '>' outside comments, whose opening tag is not self-closing, with
// a "</count>" outside comments after it. content_begin/content_end bound the
// bytes between the opening tag's '>' and that "</count>".
struct CountElement {
  bool found = false;
  size_t content_begin = 0;
  size_t content_end = 0;
};
CountElement FindCountElement(std::string_view text);

// A trimmed count text: a decimal number of 1 to 100000.
bool ParseMonitorCountText(std::string_view trimmed, uint32_t* count);

enum class MonitorCountOutcome : int {
  kUpdated = 0,
  kAlreadyEnough = 1,
  kNoCountElement = 2,
  kInvalidCount = 3,
};
// "updated", "already-enough", "no-count-element", "invalid-count"; any
// other value "unknown".
const char* MonitorCountOutcomeName(MonitorCountOutcome outcome);

struct MonitorCountResult {
  MonitorCountOutcome outcome = MonitorCountOutcome::kNoCountElement;
  std::string text;  // the new text on kUpdated, otherwise the input unchanged
};
// Asks for at least `count` (1 to 4) monitors.
MonitorCountResult SetMonitorCount(std::string_view text, uint32_t count);

struct RepairResult {
  bool has_resolutions_block = false;
  uint64_t modes_before = 0;
  uint64_t modes_after = 0;
  uint32_t entries_removed = 0;
  uint32_t sizes_added = 0;
  std::string text;
};
// Brings the file within the budget by giving up tablet sizes, then adds the
// missing tablet sizes at `refresh` while the budget allows.
RepairResult RepairTabletSizes(std::string_view text, uint32_t refresh);

// The tablet sizes, landscape, in preference order; the first
// kKeptTabletSizes are never given up for another size.
inline constexpr size_t kTabletSizeCount = 18;
inline constexpr int kKeptTabletSizes = 6;
extern const ModeSize kTabletSizeCatalogue[kTabletSizeCount];
// The catalogue index of exactly (width, height), or -1.
int TabletSizeIndex(uint32_t width, uint32_t height);

}  // namespace tvr_vdd
