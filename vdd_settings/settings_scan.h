#pragma once
// The pieces the settings scanner reads a file as, and the rules that the
// text operations share: which entry the repair gives up, and which bytes go
// with a removed entry. Used inside vdd_settings only.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "vdd_settings/settings_text.h"

namespace tvr_vdd::detail {

// One piece of the file, in the order the scanner meets them. The pieces of
// a file lie back to back from its first byte; the scan stops at the end of
// the text, at a comment or processing instruction without its end, at a tag
// without '>' and at a '<' that is the last byte.
enum class PieceKind : uint8_t {
  kSkipped,   // "<!--...-->", "<?...?>", "<>", "<!...>"
  kOpenTag,   // "<name ...>" or "<name .../>"
  kCloseTag,  // "</name>"
  kText,      // the bytes up to the next '<' (or the end)
};

struct Piece {
  PieceKind kind = PieceKind::kSkipped;
  size_t begin = 0;
  size_t end = 0;
  std::string_view name;     // open tag: up to the first blank or '/'; close tag: trimmed
  bool self_closing = false;  // open tag whose last byte before '>' is '/'
  std::string_view value;     // text: trimmed of blanks at both ends
};

// The piece that starts at `at`; false where the scan stops.
bool NextPiece(std::string_view text, size_t at, Piece* piece);

bool IsBlank(char c);
std::string_view TrimBlanks(std::string_view s);

// The element names whose text counts in a summary.
enum class ElementClass : uint8_t { kOther, kWidth, kHeight, kGlobalRefresh };
ElementClass ClassOf(std::string_view element);

// The counting of ParseSettings, one piece at a time.
class SummaryFold {
 public:
  // True when the piece counted a resolution entry (of size width() x
  // height()).
  bool Feed(const Piece& piece);
  std::string_view element() const { return element_; }
  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  bool has_resolutions_block() const { return has_resolutions_block_; }
  uint32_t resolution_entries() const { return resolution_entries_; }
  uint32_t global_refresh_entries() const { return global_refresh_entries_; }

 private:
  std::string_view element_;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  bool has_resolutions_block_ = false;
  uint32_t resolution_entries_ = 0;
  uint32_t global_refresh_entries_ = 0;
};

// A width or height text: a decimal number of 1 to 100000.
bool ParseListedNumber(std::string_view s, uint32_t* value);
// A refresh text: a floating-point number of 1 to 1000.
bool ParseRefresh(std::string_view s, double* value);

// From `first` on, the entry with the highest catalogue index above `floor`;
// the later entry wins ties. -1 when none.
int PickHighestCatalogueEntry(const std::vector<ResolutionEntry>& entries, size_t first, int floor);
// 1 + the position of the last entry whose size is not a tablet size; 0 when
// all are.
size_t AfterLastUserEntry(const std::vector<ResolutionEntry>& entries);

// The bytes that go with an entry [start, end) of a text seen through
// `view`: the entry's whole line (with its line ending) when only blanks
// share the line with it, else just the entry. The view answers size(),
// byte(pos), Before(pos) (the position of the byte before pos, or npos) and
// From(pos) (the first position at or after pos that holds a byte, or
// size()), so that a text with spans cut out can be seen without copying it.
template <typename View>
std::pair<size_t, size_t> EntryRemovalSpan(const View& view, size_t start, size_t end) {
  constexpr size_t kNone = static_cast<size_t>(-1);
  size_t p = view.Before(start);
  while (p != kNone && (view.byte(p) == ' ' || view.byte(p) == '\t')) p = view.Before(p);
  if (p != kNone && view.byte(p) != '\n') return {start, end};
  const size_t line = p == kNone ? 0 : p + 1;
  size_t after = view.From(end);
  while (after < view.size() && (view.byte(after) == ' ' || view.byte(after) == '\t')) {
    after = view.From(after + 1);
  }
  if (after >= view.size()) return {line, view.size()};
  if (view.byte(after) == '\r') {
    const size_t next = view.From(after + 1);
    if (next < view.size() && view.byte(next) == '\n') return {line, next + 1};
    return {start, end};
  }
  if (view.byte(after) == '\n') return {line, after + 1};
  return {start, end};
}

// A plain text as such a view.
struct PlainView {
  std::string_view text;
  size_t size() const { return text.size(); }
  char byte(size_t pos) const { return text[pos]; }
  size_t Before(size_t pos) const { return pos == 0 ? static_cast<size_t>(-1) : pos - 1; }
  size_t From(size_t pos) const { return pos; }
};

}  // namespace tvr_vdd::detail
