// The profile-file reader and writer (ProfileFile) and the two files kept
// with it: tips.ini (DecideSecondMonitorTip) and settings_window.ini (the
// settings window's position).
//
// Input: records (fuzz_support.h):
//   1. the file's text;
//   2. the flows' choices: byte 0 the second-monitor side (bits 0-2, so 5..7
//      are values outside the enum), bit 3 runs the tips.ini flow, bit 4 the
//      settings_window.ini flow (they write files with fsync, a hundred
//      times slower than the rest, so most inputs are spent on the reader
//      and writer alone); bytes 1-4 and 5-8 the window position x and y
//      (big-endian; missing bytes read as 0);
//   3. then up to 16 triples of records: section, key, value. Each triple
//      is probed (Get/GetInt of section and key) and then Set, in order.
// The names probed: those of the triples, up to 16 section/key pairs found
// in the text itself, and the names the two flows use.
//
// Invariants:
// - parsing never fails and Parse(Serialize(p)) serialises to the same text;
//   every probed Get and GetInt gives the same on the re-parsed file;
// - Get gives a trimmed value without a line break, GetInt has a value
//   exactly when Get has one, and it is Get's text read like atoi,
//   saturated to the int32 range;
// - Set accepts exactly the names and values it documents as storable; a
//   refused Set changes nothing; after an accepted Set(s, k, v), Get(s, k)
//   is v (also after a round trip through the text), GetInt matches, and
//   every other probed name (not s and k ignoring ASCII case) reads as
//   before;
// - tips.ini: the text as the file, DecideSecondMonitorTip for a mirrored
//   stream neither shows nor writes; for a virtual monitor it shows exactly
//   when the count read is 0..2, as number count + 1 with the side's
//   message, and the file is then the text with that number set (every
//   other probed name kept); not shown, the file is unchanged;
// - settings_window.ini: the text as the file, the loaded position is the
//   file's x and y when both are there; saving a position succeeds, loads
//   back as that position, and keeps every other probed name of the file.
// The files live in the process's workspace (fuzz_support.h), emptied at the
// start of every input that runs a flow.

#include <cstdlib>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>


#include "fuzz/fuzz_support.h"
#include "host/app/host_settings.h"
#include "host/app/profile_file.h"
#include "host/common/file_io.h"
#include "host/common/parse.h"

namespace orvane::fuzz {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxTriples = 16;
constexpr size_t kMaxNamesFromText = 16;

struct Name {
  std::string section;
  std::string key;
};

struct Reading {
  std::optional<std::string> value;
  std::optional<int32_t> number;
  bool operator==(const Reading&) const = default;
};

int32_t AtoiInt32(std::string_view text) {
  const int64_t value = ParseLeadingIntSaturating(text);
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

Reading Read(const ProfileFile& file, const Name& name) {
  Reading r{file.Get(name.section, name.key), file.GetInt(name.section, name.key)};
  FUZZ_CHECK(r.value.has_value() == r.number.has_value());
  if (r.value) {
    FUZZ_CHECK(TrimWhitespace(*r.value).size() == r.value->size());
    FUZZ_CHECK(r.value->find('\n') == std::string::npos);
    FUZZ_CHECK(*r.number == AtoiInt32(*r.value));
  }
  return r;
}

std::vector<Reading> ReadAll(const ProfileFile& file, const std::vector<Name>& names) {
  std::vector<Reading> out;
  out.reserve(names.size());
  for (const Name& name : names) out.push_back(Read(file, name));
  return out;
}

bool SameName(const Name& a, std::string_view section, std::string_view key) {
  return EqualsIgnoreCase(a.section, section) && EqualsIgnoreCase(a.key, key);
}

// Every probed name reads as before, apart from the given ones.
void CheckKept(const std::vector<Reading>& before, const std::vector<Reading>& after, const std::vector<Name>& names,
               std::initializer_list<Name> changed) {
  for (size_t i = 0; i < names.size(); ++i) {
    bool skip = false;
    for (const Name& c : changed) skip = skip || SameName(names[i], c.section, c.key);
    if (!skip) FUZZ_CHECK(after[i] == before[i]);
  }
}

bool HasBreakOrNul(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != s.npos; }
bool Trimmed(std::string_view s) { return TrimWhitespace(s).size() == s.size(); }

// What Set documents as storable.
bool Storable(std::string_view section, std::string_view key, std::string_view value) {
  const bool section_ok =
      !section.empty() && Trimmed(section) && !HasBreakOrNul(section) && section.find(']') == section.npos;
  const bool key_ok = !key.empty() && Trimmed(key) && !HasBreakOrNul(key) && key.find('=') == key.npos &&
                      key.front() != '[' && key.front() != ';' && key.front() != '#';
  const bool value_ok = Trimmed(value) && !HasBreakOrNul(value);
  return section_ok && key_ok && value_ok;
}

// Section and key names the text itself holds, so the probes see its
// content without the fuzzer having to guess them.
void NamesFromText(std::string_view text, std::vector<Name>* names) {
  std::string section;
  size_t found = 0;
  size_t start = 0;
  while (start < text.size() && found < kMaxNamesFromText) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = TrimWhitespace(text.substr(start, end - start));
    start = end + 1;
    if (!line.empty() && line.front() == '[') {
      const size_t close = line.find(']');
      if (close != std::string_view::npos) section = std::string(TrimWhitespace(line.substr(1, close - 1)));
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    names->push_back({section, std::string(TrimWhitespace(line.substr(0, eq)))});
    ++found;
  }
}

// ---------------------------------------------------------------- the files

void TipsFlow(const fs::path& folder, const std::string& text, const ProfileFile& parsed, SecondMonitorSide side,
              const std::vector<Name>& names) {
  const fs::path path = folder / kTipsFileName;
  WriteFile(path, text);
  const std::vector<Reading> before = ReadAll(parsed, names);

  const SecondMonitorTipDecision mirrored = DecideSecondMonitorTip(false, side, folder);
  FUZZ_CHECK(!mirrored.show && mirrored.number == 0);
  FUZZ_CHECK(ReadWholeFile(path) == text);

  const int32_t count = parsed.GetInt("second_monitor", "pc_tip_shown").value_or(0);
  const SecondMonitorTipDecision d = DecideSecondMonitorTip(true, side, folder);
  const std::string after = ReadWholeFile(path);
  if (count < 0 || count >= static_cast<int32_t>(kMaxSecondMonitorTips)) {
    FUZZ_CHECK(!d.show && d.number == 0 && d.message == 0);
    FUZZ_CHECK(after == text);
    return;
  }
  FUZZ_CHECK(d.show);
  FUZZ_CHECK(d.number == static_cast<uint32_t>(count) + 1 && d.number >= 1 && d.number <= kMaxSecondMonitorTips);
  FUZZ_CHECK(d.message == SecondMonitorTipMessage(side));
  const ProfileFile written = ProfileFile::Parse(after);
  FUZZ_CHECK(written.Get("second_monitor", "pc_tip_shown") == std::to_string(d.number));
  FUZZ_CHECK(written.GetInt("second_monitor", "pc_tip_shown") == static_cast<int32_t>(d.number));
  ProfileFile expected = parsed;
  FUZZ_CHECK(expected.Set("second_monitor", "pc_tip_shown", std::to_string(d.number)));
  FUZZ_CHECK(after == expected.Serialize());
  CheckKept(before, ReadAll(written, names), names, {{"second_monitor", "pc_tip_shown"}});
}

void WindowFlow(const fs::path& folder, const std::string& text, const ProfileFile& parsed, WindowPosition position,
                const std::vector<Name>& names) {
  const fs::path path = folder / kSettingsWindowFileName;
  WriteFile(path, text);
  const std::vector<Reading> before = ReadAll(parsed, names);

  const auto x = parsed.GetInt("window", "x");
  const auto y = parsed.GetInt("window", "y");
  const auto loaded = LoadSettingsWindowPosition(folder);
  FUZZ_CHECK(loaded.has_value() == (x && y));
  if (loaded) FUZZ_CHECK(loaded->x == *x && loaded->y == *y);

  FUZZ_CHECK(SaveSettingsWindowPosition(position, folder));
  const auto reloaded = LoadSettingsWindowPosition(folder);
  FUZZ_CHECK(reloaded && reloaded->x == position.x && reloaded->y == position.y);
  const ProfileFile written = ProfileFile::Parse(ReadWholeFile(path));
  CheckKept(before, ReadAll(written, names), names, {{"window", "x"}, {"window", "y"}});
}

}  // namespace
}  // namespace orvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvane;
  using namespace orvane::fuzz;
  QuietLogs();
  FuzzReader in(data, size);
  ByteView record;
  const std::string text = in.Record(&record) ? AsString(record) : std::string();
  const std::string flow = in.Record(&record) ? AsString(record) : std::string();
  FuzzReader choices(reinterpret_cast<const uint8_t*>(flow.data()), flow.size());
  const uint8_t choice = choices.Byte();
  const auto side = static_cast<SecondMonitorSide>(choice & 7);
  const bool tips_flow = (choice & 8) != 0;
  const bool window_flow = (choice & 16) != 0;
  const uint32_t x = (uint32_t{choices.U16()} << 16) | choices.U16();
  const uint32_t y = (uint32_t{choices.U16()} << 16) | choices.U16();
  const WindowPosition position{static_cast<int32_t>(x), static_cast<int32_t>(y)};

  struct Triple {
    std::string section, key, value;
  };
  std::vector<Triple> triples;
  while (triples.size() < kMaxTriples && !in.empty()) {
    Triple t;
    if (in.Record(&record)) t.section = AsString(record);
    if (in.Record(&record)) t.key = AsString(record);
    if (in.Record(&record)) t.value = AsString(record);
    triples.push_back(std::move(t));
  }

  std::vector<Name> names;
  for (const Triple& t : triples) names.push_back({t.section, t.key});
  NamesFromText(text, &names);
  names.push_back({"second_monitor", "pc_tip_shown"});
  names.push_back({"window", "x"});
  names.push_back({"window", "y"});

  // Parse, serialise, parse again.
  const ProfileFile parsed = ProfileFile::Parse(text);
  const std::string serialized = parsed.Serialize();
  const ProfileFile reparsed = ProfileFile::Parse(serialized);
  FUZZ_CHECK(reparsed.Serialize() == serialized);
  FUZZ_CHECK(ReadAll(reparsed, names) == ReadAll(parsed, names));

  // Set, one triple after the other.
  ProfileFile file = parsed;
  for (const Triple& t : triples) {
    const std::vector<Reading> before = ReadAll(file, names);
    const std::string before_text = file.Serialize();
    const bool stored = file.Set(t.section, t.key, t.value);
    FUZZ_CHECK(stored == Storable(t.section, t.key, t.value));
    if (!stored) {
      FUZZ_CHECK(file.Serialize() == before_text);
      continue;
    }
    const Name name{t.section, t.key};
    FUZZ_CHECK(file.Get(t.section, t.key) == t.value);
    FUZZ_CHECK(file.GetInt(t.section, t.key) == AtoiInt32(t.value));
    CheckKept(before, ReadAll(file, names), names, {name});
    const std::string now = file.Serialize();
    const ProfileFile again = ProfileFile::Parse(now);
    FUZZ_CHECK(again.Serialize() == now);
    FUZZ_CHECK(again.Get(t.section, t.key) == t.value);
    FUZZ_CHECK(ReadAll(again, names) == ReadAll(file, names));
  }

  if (!tips_flow && !window_flow) return 0;
  const fs::path folder = EmptyStoreFolder();
  if (tips_flow) TipsFlow(folder, text, parsed, side, names);
  if (window_flow) WindowFlow(folder, text, parsed, position, names);
  return 0;
}
