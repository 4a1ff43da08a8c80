// tablet_modes.ini: the reader (ParseTabletModesText, behind LoadTabletModes)
// and the writer (FormatTabletModes).
//
// Input, used twice:
// - as the file's text, read by ParseTabletModesText;
// - as a map for the writer: every line (cut at '\n' only, nothing trimmed,
//   so ids may hold CR, NUL, '=', white space or a leading '#') is an id,
//   and the line's length modulo 4 its mode (0 default, 1 extend, 2 mirror,
//   3 a value outside the enum).
//
// Invariants:
// - the reader keeps at most kMaxTabletModes entries, only extend and
//   mirror; its ids are not empty, trimmed, hold no '\n' or '=' and do not
//   start with '#', so such an id is storable exactly when it is at most
//   kMaxTabletIdBytes long and holds no CR or NUL; reading is deterministic;
// - the written file reads back to the map restricted to the storable ids,
//   and writing that is a fixed point after one round;
// - for the writer's map: the written file holds at most kMaxTabletModes
//   entries and reads back to the first kMaxTabletModes extend and mirror
//   entries (in key order) with a storable id; "default" entries (written,
//   never read back) do not take their places.

#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "host/app/host_settings.h"

namespace orvane::fuzz {
namespace {

using multi_session::TabletMode;

TabletModeMap Storable(const TabletModeMap& modes) {
  TabletModeMap out;
  for (const auto& [id, mode] : modes) {
    if (IsStorableTabletId(id)) out.emplace(id, mode);
  }
  return out;
}

void AsFile(std::string_view text) {
  const TabletModeMap modes = ParseTabletModesText(text);
  FUZZ_CHECK(modes.size() <= kMaxTabletModes);
  for (const auto& [id, mode] : modes) {
    FUZZ_CHECK(mode == TabletMode::kExtend || mode == TabletMode::kMirror);
    FUZZ_CHECK(!id.empty() && id.front() != '#');
    FUZZ_CHECK(id.find_first_of("\n=") == std::string::npos);
    const bool plain =
        id.size() <= kMaxTabletIdBytes && id.find_first_of(std::string_view("\r\0", 2)) == std::string::npos;
    FUZZ_CHECK(IsStorableTabletId(id) == plain);
  }
  FUZZ_CHECK(ParseTabletModesText(text) == modes);

  const std::string written = FormatTabletModes(modes);
  const TabletModeMap again = ParseTabletModesText(written);
  FUZZ_CHECK(again == Storable(modes));
  FUZZ_CHECK(FormatTabletModes(again) == written);
}

void AsMap(std::string_view text) {
  TabletModeMap modes;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    modes[std::string(line)] = static_cast<TabletMode>(line.size() % 4);
    start = end + 1;
  }

  // The reader keeps extend and mirror entries only, so those are what the
  // writer's bound is about: default entries must not take their places.
  TabletModeMap expected;
  for (const auto& [id, mode] : modes) {
    if (expected.size() == kMaxTabletModes) break;
    if (!IsStorableTabletId(id)) continue;
    if (mode == TabletMode::kExtend || mode == TabletMode::kMirror) expected.emplace(id, mode);
  }
  const std::string written = FormatTabletModes(modes);
  size_t lines = 0;
  for (char c : written) lines += c == '\n' ? 1 : 0;
  FUZZ_CHECK(lines <= 1 + kMaxTabletModes);
  FUZZ_CHECK(ParseTabletModesText(written) == expected);
}

}  // namespace
}  // namespace orvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvane::fuzz;
  QuietLogs();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  AsFile(text);
  AsMap(text);
  return 0;
}
