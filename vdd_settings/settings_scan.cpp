#include "vdd_settings/settings_scan.h"

#include <charconv>
#include <system_error>

namespace tvr_vdd::detail {

namespace {

constexpr uint32_t kMaxListedNumber = 100000;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool NextPiece(std::string_view text, size_t at, Piece* piece) {
  const size_t n = text.size();
  if (at >= n) return false;
  *piece = Piece{};
  piece->begin = at;
  if (text[at] != '<') {
    const size_t lt = text.find('<', at);
    piece->kind = PieceKind::kText;
    piece->end = lt == std::string_view::npos ? n : lt;
    piece->value = TrimBlanks(text.substr(at, piece->end - at));
    return true;
  }
  const std::string_view rest = text.substr(at);
  if (rest.starts_with("<!--")) {
    const size_t close = text.find("-->", at + 4);
    if (close == std::string_view::npos) return false;
    piece->end = close + 3;
    return true;
  }
  if (rest.starts_with("<?")) {
    const size_t close = text.find("?>", at + 2);
    if (close == std::string_view::npos) return false;
    piece->end = close + 2;
    return true;
  }
  if (at + 1 >= n) return false;
  const size_t gt = text.find('>', at + 1);
  if (gt == std::string_view::npos) return false;
  piece->end = gt + 1;
  const std::string_view tag = text.substr(at + 1, gt - at - 1);
  if (tag.empty() || tag.front() == '!') return true;
  if (tag.front() == '/') {
    piece->kind = PieceKind::kCloseTag;
    piece->name = TrimBlanks(tag.substr(1));
    return true;
  }
  piece->kind = PieceKind::kOpenTag;
  piece->name = tag.substr(0, tag.find_first_of(" \t\r\n/"));
  piece->self_closing = tag.back() == '/';
  return true;
}

bool SummaryFold::Feed(const Piece& piece) {
  switch (piece.kind) {
    case PieceKind::kSkipped:
      return false;
    case PieceKind::kCloseTag:
      if (piece.name == "resolutions") has_resolutions_block_ = true;
      element_ = {};
      return false;
    case PieceKind::kOpenTag:
      element_ = piece.self_closing ? std::string_view() : piece.name;
      return false;
    case PieceKind::kText:
      break;
  }
  if (piece.value.empty() || element_.empty()) return false;
  switch (ClassOf(element_)) {
    case ElementClass::kWidth:
      if (!ParseListedNumber(piece.value, &width_)) width_ = 0;
      return false;
    case ElementClass::kHeight:
      if (!ParseListedNumber(piece.value, &height_)) height_ = 0;
      if (width_ == 0 || height_ == 0) return false;
      ++resolution_entries_;
      return true;
    case ElementClass::kGlobalRefresh: {
      double rate = 0;
      if (ParseRefresh(piece.value, &rate)) ++global_refresh_entries_;
      return false;
    }
    case ElementClass::kOther:
      return false;
  }
  return false;
}

ElementClass ClassOf(std::string_view element) {
  if (element == "width") return ElementClass::kWidth;
  if (element == "height") return ElementClass::kHeight;
  if (element == "g_refresh_rate") return ElementClass::kGlobalRefresh;
  return ElementClass::kOther;
}

bool ParseListedNumber(std::string_view s, uint32_t* value) {
  if (s.empty() || !IsDigit(s.front())) return false;
  uint32_t n = 0;
  for (const char c : s) {
    if (!IsDigit(c)) return false;
    n = n * 10 + static_cast<uint32_t>(c - '0');
    if (n > kMaxListedNumber) return false;
  }
  if (n < 1) return false;
  *value = n;
  return true;
}

bool ParseRefresh(std::string_view s, double* value) {
  double parsed = 0;
  const char* end = s.data() + s.size();
  const auto [ptr, ec] = std::from_chars(s.data(), end, parsed, std::chars_format::general);
  if (ec != std::errc() || ptr != end) return false;
  if (!(parsed >= 1.0 && parsed <= 1000.0)) return false;
  *value = parsed;
  return true;
}

int PickHighestCatalogueEntry(const std::vector<ResolutionEntry>& entries, size_t first, int floor) {
  int chosen = -1;
  int chosen_index = floor;
  for (size_t i = first; i < entries.size(); ++i) {
    const int index = TabletSizeIndex(entries[i].size.width, entries[i].size.height);
    if (index > floor && index >= chosen_index) {
      chosen_index = index;
      chosen = static_cast<int>(i);
    }
  }
  return chosen;
}

size_t AfterLastUserEntry(const std::vector<ResolutionEntry>& entries) {
  size_t start = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (TabletSizeIndex(entries[i].size.width, entries[i].size.height) < 0) start = i + 1;
  }
  return start;
}

}  // namespace tvr_vdd::detail
