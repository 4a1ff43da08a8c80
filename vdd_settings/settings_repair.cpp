// RepairTabletSizes: give up tablet sizes until the file is within the mode
// budget, then add the missing tablet sizes while the budget allows.
//
// Giving up one entry at a time and reading the whole file again after each
// would take time in the square of the file's size. Instead the file is read
// once: the entries, what each contributes to the mode count, and whether
// taking it out can change how anything else in the file reads. For such a
// "clean" entry the removal only cuts its bytes out of a view of the text
// and subtracts its contribution. Any other entry is cut out the same way,
// and then the text is read afresh, so the result is the same byte for byte
// as removing entries one by one and reading the text in between.

#include <algorithm>
#include <array>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vdd_settings/settings_scan.h"
#include "vdd_settings/settings_text.h"

namespace tvr_vdd {

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

// The text with spans cut out, without copying it.
class CutView {
 public:
  explicit CutView(std::string_view text) : text_(text) {}

  size_t size() const { return text_.size(); }
  char byte(size_t pos) const { return text_[pos]; }

  size_t Before(size_t pos) const {
    if (pos == 0) return kNone;
    size_t p = pos - 1;
    const auto cut = CutHolding(p);
    if (cut != cuts_.end()) {
      if (cut->first == 0) return kNone;
      p = cut->first - 1;
    }
    return p;
  }

  size_t From(size_t pos) const {
    const auto cut = CutHolding(pos);
    return cut == cuts_.end() ? pos : cut->second;
  }

  // Cuts [from, to) out; cuts that touch or overlap merge, so a position is
  // in at most one and a cut never ends where another begins.
  void Cut(size_t from, size_t to) {
    auto it = cuts_.lower_bound(from);
    if (it != cuts_.begin()) {
      const auto before = std::prev(it);
      if (before->second >= from) {
        from = before->first;
        to = std::max(to, before->second);
        it = cuts_.erase(before);
      }
    }
    while (it != cuts_.end() && it->first <= to) {
      to = std::max(to, it->second);
      it = cuts_.erase(it);
    }
    cuts_.emplace(from, to);
  }

  std::string Text() const {
    std::string out;
    size_t at = 0;
    for (const auto& [from, to] : cuts_) {
      out.append(text_.substr(at, from - at));
      at = to;
    }
    out.append(text_.substr(at));
    return out;
  }

 private:
  std::map<size_t, size_t>::const_iterator CutHolding(size_t pos) const {
    auto it = cuts_.upper_bound(pos);
    if (it == cuts_.begin()) return cuts_.end();
    --it;
    return pos < it->second ? it : cuts_.end();
  }

  std::string_view text_;
  std::map<size_t, size_t> cuts_;  // start -> end
};

// What comes first among the width and height texts of a run of pieces.
enum class FirstSide : uint8_t { kNone, kWidth, kHeight };

// One text read once: its entries, which of them are clean, and the counts.
//
// An entry is clean when taking its bytes out leaves the rest of the file
// reading the same apart from the entry's own contribution:
// - the scanner meets a piece starting at its first byte and one ending at
//   its last, so no tag, comment or processing instruction reaches in or out;
// - the texts just before and after it are blanks only (the removal cuts
//   blanks and a line ending, and joins those two texts);
// - the element before it is none of width, height, g_refresh_rate (the
//   element after its closing tag is none, and the joined text stays blank);
// - its first width-or-height text is a width, so what it counts does not
//   depend on the width before it;
// - it holds no "<!--" or "-->", so no other position changes from inside a
//   comment to outside or back.
// The width in force after a removed entry may differ; that matters only
// when a height text comes before the next width text, which Safe() checks.
class EntryTable {
 public:
  explicit EntryTable(std::string text) : text_(std::move(text)), view_(text_) {
    entries_ = ListResolutionEntries(text_);
    ReadPieces();
    skip_.resize(entries_.size());
    for (size_t i = 0; i < skip_.size(); ++i) skip_[i] = i;
    last_user_ = kNone;
    for (size_t i = 0; i < entries_.size(); ++i) {
      const int index = TabletSizeIndex(entries_[i].size.width, entries_[i].size.height);
      if (index < 0) {
        last_user_ = i;
      } else {
        by_index_[static_cast<size_t>(index)].push_back(i);
      }
    }
  }
  // The view looks into text_.
  EntryTable(const EntryTable&) = delete;
  EntryTable& operator=(const EntryTable&) = delete;

  uint64_t ModeCount() const { return (global_refreshes_ + 1) * resolution_entries_; }

  // The entry the repair gives up next (kNone: none): the highest catalogue
  // index after the last entry of another size, the later of equals; else
  // the same among all entries. Entries of other sizes are never given up,
  // so the last of them stays where it is.
  size_t Pick() const {
    for (size_t index = kTabletSizeCount; index-- > 0;) {
      const std::vector<size_t>& ids = by_index_[index];
      if (!ids.empty() && (last_user_ == kNone || ids.back() > last_user_)) return ids.back();
    }
    for (size_t index = kTabletSizeCount; index-- > 0;) {
      if (!by_index_[index].empty()) return by_index_[index].back();
    }
    return kNone;
  }

  // Cuts the entry out of the view (the entries listed are those of the
  // text the view shows). True when the table still holds: the entry was
  // clean; otherwise only Text() may be used afterwards.
  bool Remove(size_t id) {
    const bool in_place = clean_[id] && Safe(id);
    const ResolutionEntry& entry = entries_[id];
    const auto [from, to] = detail::EntryRemovalSpan(view_, entry.start, entry.end);
    view_.Cut(from, to);
    if (!in_place) return false;
    resolution_entries_ -= own_entries_[id];
    global_refreshes_ -= own_refreshes_[id];
    const int index = TabletSizeIndex(entry.size.width, entry.size.height);
    by_index_[static_cast<size_t>(index)].pop_back();
    if (id > 0 && after_[id - 1] == FirstSide::kNone) skip_[id - 1] = id;
    return true;
  }

  std::string Text() const { return view_.Text(); }

 private:
  // Whether, after the entry, a width text comes before any height text (or
  // neither comes). Runs of removed entries with nothing between them are
  // stepped over through skip_.
  bool Safe(size_t id) {
    const size_t k = Skip(id);
    if (after_[k] == FirstSide::kWidth) return true;
    if (after_[k] == FirstSide::kHeight) return false;
    if (k + 1 == entries_.size()) return true;
    return lead_[k + 1] == FirstSide::kWidth;
  }

  size_t Skip(size_t id) {
    size_t root = id;
    while (skip_[root] != root) root = skip_[root];
    while (skip_[id] != root) id = std::exchange(skip_[id], root);
    return root;
  }

  void ReadPieces() {
    struct Seen {
      size_t begin;
      size_t end;
      detail::PieceKind kind;
      bool blank;  // text of blanks only (or any piece that is not text)
      detail::ElementClass before;
      FirstSide side;  // a width or height text
    };
    std::vector<Seen> pieces;
    std::vector<detail::Piece> kept;  // the pieces themselves, for the entries' own counts
    detail::SummaryFold whole;
    detail::Piece piece;
    for (size_t at = 0; detail::NextPiece(text_, at, &piece); at = piece.end) {
      const detail::ElementClass element = detail::ClassOf(whole.element());
      Seen seen{piece.begin, piece.end, piece.kind, true, element, FirstSide::kNone};
      if (piece.kind == detail::PieceKind::kText) {
        seen.blank = piece.value.empty();
        if (!seen.blank && element == detail::ElementClass::kWidth) seen.side = FirstSide::kWidth;
        if (!seen.blank && element == detail::ElementClass::kHeight) seen.side = FirstSide::kHeight;
      }
      whole.Feed(piece);
      pieces.push_back(seen);
      kept.push_back(piece);
    }
    resolution_entries_ = whole.resolution_entries();
    global_refreshes_ = whole.global_refresh_entries();

    const size_t n = entries_.size();
    clean_.assign(n, false);
    own_entries_.assign(n, 0);
    own_refreshes_.assign(n, 0);
    after_.assign(n, FirstSide::kNone);
    lead_.assign(n, FirstSide::kNone);
    const auto starting_at = [&pieces](size_t pos) {
      return std::lower_bound(pieces.begin(), pieces.end(), pos,
                              [](const Seen& s, size_t p) { return s.begin < p; }) -
             pieces.begin();
    };
    for (size_t id = 0; id < n; ++id) {
      const ResolutionEntry& entry = entries_[id];
      const std::string_view own = std::string_view(text_).substr(entry.start, entry.end - entry.start);
      const size_t first = static_cast<size_t>(starting_at(entry.start));
      const size_t next = static_cast<size_t>(starting_at(entry.end));
      // The first width or height text after the entry, up to the next entry.
      const size_t upto = id + 1 < n ? static_cast<size_t>(starting_at(entries_[id + 1].start)) : pieces.size();
      for (size_t i = next; i < upto && after_[id] == FirstSide::kNone; ++i) after_[id] = pieces[i].side;
      for (size_t i = first; i < upto && lead_[id] == FirstSide::kNone; ++i) lead_[id] = pieces[i].side;

      if (first >= pieces.size() || pieces[first].begin != entry.start) continue;
      if (next == 0 || pieces[next - 1].end != entry.end) continue;
      if (first > 0 && !pieces[first - 1].blank) continue;
      if (next < pieces.size() && !pieces[next].blank) continue;
      if (pieces[first].before != detail::ElementClass::kOther) continue;
      if (own.find("<!--") != std::string_view::npos || own.find("-->") != std::string_view::npos) continue;
      FirstSide side = FirstSide::kNone;
      for (size_t i = first; i < next && side == FirstSide::kNone; ++i) side = pieces[i].side;
      if (side != FirstSide::kWidth) continue;
      // Read alone, the entry's pieces are the same as in the file.
      detail::SummaryFold alone;
      for (size_t i = first; i < next; ++i) alone.Feed(kept[i]);
      own_entries_[id] = alone.resolution_entries();
      own_refreshes_[id] = alone.global_refresh_entries();
      clean_[id] = true;
    }
  }

  std::string text_;
  CutView view_;
  uint64_t resolution_entries_ = 0;
  uint64_t global_refreshes_ = 0;
  std::vector<ResolutionEntry> entries_;
  std::vector<bool> clean_;
  std::vector<uint32_t> own_entries_;
  std::vector<uint32_t> own_refreshes_;
  std::vector<FirstSide> after_;  // first width or height text between an entry and the next
  std::vector<FirstSide> lead_;   // the same from the entry's first piece on
  std::vector<size_t> skip_;  // id -> a later id, over removed entries with nothing between
  size_t last_user_ = kNone;
  std::array<std::vector<size_t>, kTabletSizeCount> by_index_;  // live ids per catalogue index, ascending
};

}  // namespace

RepairResult RepairTabletSizes(std::string_view text, uint32_t refresh) {
  RepairResult result;
  result.text = std::string(text);
  const VddSettingsSummary summary = ParseSettings(text);
  result.modes_before = ModeCount(summary);
  result.modes_after = result.modes_before;
  if (!summary.has_resolutions_block) return result;
  result.has_resolutions_block = true;

  if (result.modes_before > kModeBudget) {
    auto table = std::make_unique<EntryTable>(result.text);
    while (table->ModeCount() > kModeBudget) {
      const size_t id = table->Pick();
      if (id == kNone) break;
      ++result.entries_removed;
      // Anything but a clean entry: the same cut, then the text is read again.
      if (!table->Remove(id)) table = std::make_unique<EntryTable>(table->Text());
    }
    result.text = table->Text();
  }

  for (const ModeSize& size : kTabletSizeCatalogue) {
    AddResolutionResult added = AddResolution(result.text, size.width, size.height, refresh);
    if (added.outcome == AddResolutionOutcome::kLimitReached) break;
    if (added.outcome == AddResolutionOutcome::kAdded) {
      result.text = std::move(added.text);
      ++result.sizes_added;
    }
  }
  result.modes_after = ModeCount(ParseSettings(result.text));
  return result;
}

}  // namespace tvr_vdd
