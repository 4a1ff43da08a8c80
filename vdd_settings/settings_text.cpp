#include "vdd_settings/settings_text.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "vdd_settings/settings_scan.h"

namespace tvr_vdd {

const ModeSize kTabletSizeCatalogue[kTabletSizeCount] = {
    {2560, 1600}, {1920, 1200}, {2000, 1200}, {2800, 1752}, {2960, 1848}, {1280, 800},
    {2400, 1080}, {2340, 1080}, {1920, 1080}, {1728, 1080}, {2880, 1800}, {2560, 1440},
    {1680, 1050}, {1440, 900},  {2160, 1080}, {2048, 1536}, {3200, 1440}, {2560, 1080},
};

namespace {

constexpr std::string_view kResolutionsClose = "</resolutions>";
constexpr std::string_view kResolutionOpen = "<resolution";
constexpr std::string_view kResolutionClose = "</resolution>";
constexpr std::string_view kCountOpen = "<count";
constexpr std::string_view kCountClose = "</count>";

using detail::IsBlank;
using detail::ParseListedNumber;
using detail::TrimBlanks;

// Answers the in-comment question for many positions of one text: the last
// "<!--" at or before the position, and the first "-->" that starts at or
// after that marker's end, must not start at or before the position.
class CommentMap {
 public:
  explicit CommentMap(std::string_view text) : size_(text.size()) {
    for (size_t p = text.find("<!--"); p != std::string_view::npos; p = text.find("<!--", p + 1)) {
      opens_.push_back(p);
    }
    for (size_t p = text.find("-->"); p != std::string_view::npos; p = text.find("-->", p + 1)) {
      closes_.push_back(p);
    }
  }

  bool Inside(size_t position) const {
    position = std::min(position, size_);
    const auto open = std::upper_bound(opens_.begin(), opens_.end(), position);
    if (open == opens_.begin()) return false;
    const size_t start = *(open - 1);
    const auto close = std::lower_bound(closes_.begin(), closes_.end(), start + 4);
    return close == closes_.end() || *close > position;
  }

 private:
  size_t size_;
  std::vector<size_t> opens_;
  std::vector<size_t> closes_;
};

// The first byte of the line holding `position`.
size_t LineStart(std::string_view text, size_t position) {
  if (position == 0) return 0;
  const size_t lf = text.rfind('\n', position - 1);
  return lf == std::string_view::npos ? 0 : lf + 1;
}

bool OnlyBlanks(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c == ' ' || c == '\t'; });
}

bool Lists(const VddSettingsSummary& summary, uint32_t width, uint32_t height) {
  const ModeSize size{width, height};
  return std::find(summary.listed_sizes.begin(), summary.listed_sizes.end(), size) !=
         summary.listed_sizes.end();
}

AddResolutionResult Unchanged(std::string_view text, AddResolutionOutcome outcome) {
  AddResolutionResult result;
  result.outcome = outcome;
  result.text = std::string(text);
  return result;
}

// Whether the text, read as a settings file, lists exactly one size.
bool SingleSize(std::string_view text, ModeSize* size) {
  detail::SummaryFold fold;
  detail::Piece piece;
  bool listed = false;
  for (size_t at = 0; detail::NextPiece(text, at, &piece); at = piece.end) {
    if (!fold.Feed(piece)) continue;
    const ModeSize counted{fold.width(), fold.height()};
    if (!listed) {
      *size = counted;
      listed = true;
    } else if (!(counted == *size)) {
      return false;
    }
  }
  return listed;
}

}  // namespace

uint64_t ModeCount(const VddSettingsSummary& summary) {
  return (static_cast<uint64_t>(summary.global_refresh_entries) + 1) *
         static_cast<uint64_t>(summary.resolution_entries);
}

VddSettingsSummary ParseSettings(std::string_view text) {
  VddSettingsSummary summary;
  std::unordered_set<uint64_t> seen;
  detail::SummaryFold fold;
  detail::Piece piece;
  for (size_t at = 0; detail::NextPiece(text, at, &piece); at = piece.end) {
    if (!fold.Feed(piece)) continue;
    const uint64_t key = (static_cast<uint64_t>(fold.width()) << 32) | fold.height();
    if (seen.insert(key).second) summary.listed_sizes.push_back({fold.width(), fold.height()});
  }
  summary.has_resolutions_block = fold.has_resolutions_block();
  summary.resolution_entries = fold.resolution_entries();
  summary.global_refresh_entries = fold.global_refresh_entries();
  return summary;
}

std::vector<ResolutionEntry> ListResolutionEntries(std::string_view text) {
  std::vector<ResolutionEntry> entries;
  const CommentMap comments(text);
  size_t at = text.find(kResolutionOpen);
  while (at != std::string_view::npos) {
    const size_t next = at + kResolutionOpen.size();
    if (next < text.size()) {
      const char c = text[next];
      const bool opens = IsBlank(c) || c == '>';
      if (opens && !comments.Inside(at)) {
        const size_t close = text.find(kResolutionClose, next);
        if (close == std::string_view::npos) break;
        const size_t end = close + kResolutionClose.size();
        ModeSize size;
        if (SingleSize(text.substr(at, end - at), &size)) entries.push_back({at, end, size});
        at = text.find(kResolutionOpen, close + 1);
        continue;
      }
    }
    at = text.find(kResolutionOpen, at + 1);
  }
  return entries;
}

std::vector<ListedMode> ListResolutionModes(std::string_view text) {
  std::vector<ListedMode> modes;
  for (const ResolutionEntry& entry : ListResolutionEntries(text)) {
    ListedMode mode;
    mode.size = entry.size;
    const std::string_view own = text.substr(entry.start, entry.end - entry.start);
    std::string_view element;
    detail::Piece piece;
    for (size_t at = 0; mode.refresh_hz == 0 && detail::NextPiece(own, at, &piece); at = piece.end) {
      if (piece.kind == detail::PieceKind::kOpenTag) {
        element = piece.self_closing ? std::string_view() : piece.name;
      } else if (piece.kind == detail::PieceKind::kCloseTag) {
        element = {};
      } else if (piece.kind == detail::PieceKind::kText && element == "refresh_rate") {
        double rate = 0;
        if (detail::ParseRefresh(piece.value, &rate)) mode.refresh_hz = rate;
      }
    }
    modes.push_back(mode);
  }
  return modes;
}

std::vector<double> ListGlobalRefreshRates(std::string_view text) {
  std::vector<double> rates;
  std::string_view element;
  detail::Piece piece;
  for (size_t at = 0; detail::NextPiece(text, at, &piece); at = piece.end) {
    if (piece.kind == detail::PieceKind::kOpenTag) {
      element = piece.self_closing ? std::string_view() : piece.name;
    } else if (piece.kind == detail::PieceKind::kCloseTag) {
      element = {};
    } else if (piece.kind == detail::PieceKind::kText && element == "g_refresh_rate") {
      double rate = 0;
      if (detail::ParseRefresh(piece.value, &rate)) rates.push_back(rate);
    }
  }
  return rates;
}

std::string RemoveResolutionEntry(std::string_view text, const ResolutionEntry& entry) {
  std::string out(text);
  if (entry.start >= entry.end || entry.end > text.size()) return out;
  const auto [from, to] = detail::EntryRemovalSpan(detail::PlainView{text}, entry.start, entry.end);
  out.erase(from, to - from);
  return out;
}

const char* AddResolutionOutcomeName(AddResolutionOutcome outcome) {
  switch (outcome) {
    case AddResolutionOutcome::kAdded: return "added";
    case AddResolutionOutcome::kAlreadyPresent: return "already-present";
    case AddResolutionOutcome::kNoResolutionsBlock: return "no-resolutions-block";
    case AddResolutionOutcome::kLimitReached: return "limit-reached";
    case AddResolutionOutcome::kInvalidMode: return "invalid-mode";
  }
  return "unknown";
}

AddResolutionResult AddResolution(std::string_view text, uint32_t width, uint32_t height,
                                  uint32_t refresh) {
  if (width == 0 || height == 0 || refresh == 0 || width > kMaxModeSide || height > kMaxModeSide) {
    return Unchanged(text, AddResolutionOutcome::kInvalidMode);
  }
  const VddSettingsSummary summary = ParseSettings(text);
  if (!summary.has_resolutions_block) return Unchanged(text, AddResolutionOutcome::kNoResolutionsBlock);
  if (Lists(summary, width, height)) return Unchanged(text, AddResolutionOutcome::kAlreadyPresent);
  const uint64_t modes_with_one_more = (static_cast<uint64_t>(summary.resolution_entries) + 1) *
                                       (static_cast<uint64_t>(summary.global_refresh_entries) + 1);
  if (modes_with_one_more > kModeBudget) return Unchanged(text, AddResolutionOutcome::kLimitReached);

  // The last closing tag of the block that is not commented out.
  const CommentMap comments(text);
  size_t tag = text.rfind(kResolutionsClose);
  while (tag != std::string_view::npos && comments.Inside(tag)) {
    tag = tag == 0 ? std::string_view::npos : text.rfind(kResolutionsClose, tag - 1);
  }
  if (tag == std::string_view::npos) return Unchanged(text, AddResolutionOutcome::kNoResolutionsBlock);

  const std::string eol = text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
  const size_t line = LineStart(text, tag);
  const std::string_view prefix = text.substr(line, tag - line);
  std::string outer;
  size_t insert_at = tag;
  std::string block;
  if (OnlyBlanks(prefix)) {
    outer = std::string(prefix);
    insert_at = line;
  } else {
    block = eol;
  }
  const std::string unit = outer.find('\t') != std::string::npos ? "\t" : "    ";
  const std::string inner = outer + unit + unit;
  block += outer + unit + "<resolution>" + eol;
  block += inner + "<width>" + std::to_string(width) + "</width>" + eol;
  block += inner + "<height>" + std::to_string(height) + "</height>" + eol;
  block += inner + "<refresh_rate>" + std::to_string(refresh) + "</refresh_rate>" + eol;
  block += outer + unit + "</resolution>" + eol;

  AddResolutionResult result;
  result.outcome = AddResolutionOutcome::kAdded;
  result.text.reserve(text.size() + block.size());
  result.text.append(text.substr(0, insert_at));
  result.text += block;
  result.text.append(text.substr(insert_at));
  return result;
}

AddResolutionResult AddResolutionReplacing(std::string_view text, uint32_t width,
                                           uint32_t height, uint32_t refresh) {
  AddResolutionResult direct = AddResolution(text, width, height, refresh);
  if (direct.outcome != AddResolutionOutcome::kLimitReached) return direct;

  const std::vector<ResolutionEntry> entries = ListResolutionEntries(text);
  const int chosen = detail::PickHighestCatalogueEntry(entries, detail::AfterLastUserEntry(entries),
                                               kKeptTabletSizes - 1);
  if (chosen < 0) return direct;
  const ResolutionEntry& given_up = entries[static_cast<size_t>(chosen)];
  const std::string without = RemoveResolutionEntry(text, given_up);
  AddResolutionResult replaced = AddResolution(without, width, height, refresh);
  if (replaced.outcome != AddResolutionOutcome::kAdded) return direct;
  if (ModeCount(ParseSettings(replaced.text)) > ModeCount(ParseSettings(text))) return direct;
  replaced.replaced = given_up.size;
  return replaced;
}

CountElement FindCountElement(std::string_view text) {
  CountElement element;
  if (text.size() <= 5) return element;
  const CommentMap comments(text);
  size_t at = text.find(kCountOpen);
  for (; at != std::string_view::npos; at = text.find(kCountOpen, at + 1)) {
    const size_t next = at + kCountOpen.size();
    if (next >= text.size()) return element;
    const char c = text[next];
    if ((c != '\t' && c != ' ' && c != '>') || comments.Inside(at)) continue;
    const size_t gt = text.find('>', at);
    if (gt == std::string_view::npos) return element;
    // "<count />" and the like hold nothing; look further.
    if (text[gt - 1] == '/') continue;
    size_t close = text.find(kCountClose, gt + 1);
    while (close != std::string_view::npos && comments.Inside(close)) {
      close = text.find(kCountClose, close + 1);
    }
    if (close == std::string_view::npos) return element;
    element.found = true;
    element.content_begin = gt + 1;
    element.content_end = close;
    return element;
  }
  return element;
}

bool ParseMonitorCountText(std::string_view trimmed, uint32_t* count) {
  return ParseListedNumber(trimmed, count);
}

const char* MonitorCountOutcomeName(MonitorCountOutcome outcome) {
  switch (outcome) {
    case MonitorCountOutcome::kUpdated: return "updated";
    case MonitorCountOutcome::kAlreadyEnough: return "already-enough";
    case MonitorCountOutcome::kNoCountElement: return "no-count-element";
    case MonitorCountOutcome::kInvalidCount: return "invalid-count";
  }
  return "unknown";
}

MonitorCountResult SetMonitorCount(std::string_view text, uint32_t count) {
  MonitorCountResult result;
  result.text = std::string(text);
  if (count < 1 || count > kMaxRequestedMonitors) {
    result.outcome = MonitorCountOutcome::kInvalidCount;
    return result;
  }
  const CountElement element = FindCountElement(text);
  if (!element.found) {
    result.outcome = MonitorCountOutcome::kNoCountElement;
    return result;
  }
  const std::string_view content =
      text.substr(element.content_begin, element.content_end - element.content_begin);
  uint32_t listed = 0;
  if (ParseListedNumber(TrimBlanks(content), &listed) && listed >= count) {
    result.outcome = MonitorCountOutcome::kAlreadyEnough;
    return result;
  }
  std::string updated;
  updated.reserve(text.size() + 1);
  updated.append(text.substr(0, element.content_begin));
  updated += std::to_string(count);
  updated.append(text.substr(element.content_end));
  result.text = std::move(updated);
  result.outcome = MonitorCountOutcome::kUpdated;
  return result;
}

int TabletSizeIndex(uint32_t width, uint32_t height) {
  for (size_t i = 0; i < kTabletSizeCount; ++i) {
    if (kTabletSizeCatalogue[i].width == width && kTabletSizeCatalogue[i].height == height) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

}  // namespace tvr_vdd
