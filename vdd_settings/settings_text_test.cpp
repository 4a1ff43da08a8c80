#include "vdd_settings/settings_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vdd_settings/vdd_settings.h"

namespace tvr_vdd {
namespace {

std::string Entry(uint32_t width, uint32_t height, uint32_t refresh = 60) {
  return "<resolution><width>" + std::to_string(width) + "</width><height>" +
         std::to_string(height) + "</height><refresh_rate>" + std::to_string(refresh) +
         "</refresh_rate></resolution>\n";
}

// A resolutions block with the given entries and `globals` global refresh rates.
std::string File(const std::vector<ModeSize>& sizes, uint32_t globals) {
  std::string text = "<vdd>\n<monitors><count>1</count></monitors>\n<resolutions>\n";
  for (const ModeSize& s : sizes) text += Entry(s.width, s.height);
  text += "</resolutions>\n<global>\n";
  for (uint32_t i = 0; i < globals; ++i) text += "<g_refresh_rate>" + std::to_string(61 + i) + "</g_refresh_rate>\n";
  text += "</global>\n</vdd>\n";
  return text;
}

std::vector<ModeSize> Repeat(ModeSize size, size_t n) { return std::vector<ModeSize>(n, size); }

TEST(VddSettingsParse, CountsAcceptedEntriesOutsideComments) {
  struct Case {
    const char* text;
    bool block;
    uint32_t entries;
    uint32_t globals;
    std::vector<ModeSize> sizes;
  };
  const Case cases[] = {
      {"<resolutions><width>800</width><height>600</height></resolutions>", true, 1, 0, {{800, 600}}},
      {"<!-- <resolutions><width>800</width><height>600</height></resolutions> -->", false, 0, 0, {}},
      {"<width>0</width><height>600</height>", false, 0, 0, {}},
      {"<width>+1920</width><height>1080</height>", false, 0, 0, {}},
      {"<width>100001</width><height>1080</height>", false, 0, 0, {}},
      {"<width> 100000 </width><height>1</height>", false, 1, 0, {{100000, 1}}},
      {"<width>800</width><height>600</height><height>480</height><height>600</height>", false, 3, 0,
       {{800, 600}, {800, 480}}},
      {"<g_refresh_rate>59.94</g_refresh_rate><g_refresh_rate>0.5</g_refresh_rate>"
       "<g_refresh_rate>x</g_refresh_rate><g_refresh_rate>1000</g_refresh_rate>",
       false, 0, 2, {}},
      {"<?xml version=\"1.0\"?><width/>800<width>640<x/>480<height>480", false, 1, 0, {{640, 480}}},
      {"<width>640</width><height>480</height></ resolutions >", true, 1, 0, {{640, 480}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const VddSettingsSummary s = ParseSettings(c.text);
    EXPECT_EQ(s.has_resolutions_block, c.block);
    EXPECT_EQ(s.resolution_entries, c.entries);
    EXPECT_EQ(s.global_refresh_entries, c.globals);
    EXPECT_EQ(s.listed_sizes, c.sizes);
  }
  EXPECT_EQ(ModeCount(ParseSettings(File(Repeat({800, 600}, 32), 2))), 96u);
}

TEST(VddSettingsParse, ListsEntriesInFileOrderSkippingComments) {
  const std::string text = "<resolutions>\n" + Entry(800, 600) + "<!-- " + Entry(640, 480) +
                           " -->\n<resolution><width>1</width></resolution>\n" + Entry(1024, 768) +
                           "</resolutions>";
  const std::vector<ResolutionEntry> entries = ListResolutionEntries(text);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].size, (ModeSize{800, 600}));
  EXPECT_EQ(entries[1].size, (ModeSize{1024, 768}));
  EXPECT_EQ(text.substr(entries[1].start, entries[1].end - entries[1].start) + "\n", Entry(1024, 768));
}

TEST(VddSettingsEdit, RemovesAnEntryWithItsOwnLine) {
  struct Case {
    std::string before;
    std::string after;
  };
  const std::string e = "<resolution><width>8</width><height>6</height></resolution>";
  const Case cases[] = {
      {"a\r\n  " + e + " \r\nb", "a\r\nb"},
      {"a\n\t" + e + "\nb", "a\nb"},
      {"a\n  " + e + "  ", "a\n"},
      {"a\n" + e + "<x/>\n", "a\n<x/>\n"},
      {"a " + e + "\nb", "a \nb"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    const std::vector<ResolutionEntry> entries = ListResolutionEntries(c.before);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(RemoveResolutionEntry(c.before, entries[0]), c.after);
  }
}

TEST(VddSettingsEdit, AddsABlockShapedLikeTheFile) {
  struct Case {
    std::string before;
    ModeSize size;
    uint32_t refresh;
    AddResolutionOutcome outcome;
    std::string after;  // empty: unchanged
  };
  const std::string crlf =
      "<vdd>\r\n  <resolutions>\r\n    <resolution>\r\n      <width>800</width>\r\n"
      "      <height>600</height>\r\n    </resolution>\r\n    </resolutions>\r\n</vdd>\r\n";
  const std::string crlf_added =
      "<vdd>\r\n  <resolutions>\r\n    <resolution>\r\n      <width>800</width>\r\n"
      "      <height>600</height>\r\n    </resolution>\r\n"
      "        <resolution>\r\n"
      "            <width>2000</width>\r\n"
      "            <height>1200</height>\r\n"
      "            <refresh_rate>60</refresh_rate>\r\n"
      "        </resolution>\r\n"
      "    </resolutions>\r\n</vdd>\r\n";
  const std::string same_line = "<resolutions><width>800</width><height>600</height></resolutions>\n";
  const std::string same_line_added =
      "<resolutions><width>800</width><height>600</height>\n"
      "    <resolution>\n        <width>1280</width>\n        <height>800</height>\n"
      "        <refresh_rate>90</refresh_rate>\n    </resolution>\n"
      "</resolutions>\n";
  const std::string tabs = "<resolutions>\n\t<width>8</width><height>6</height>\n\t</resolutions>\n";
  const std::string tabs_added =
      "<resolutions>\n\t<width>8</width><height>6</height>\n"
      "\t\t<resolution>\n\t\t\t<width>640</width>\n\t\t\t<height>480</height>\n"
      "\t\t\t<refresh_rate>30</refresh_rate>\n\t\t</resolution>\n"
      "\t</resolutions>\n";
  const std::string commented_close =
      "<resolutions>\n</resolutions>\n<!-- old:\n</resolutions>\n-->\n";
  const std::string commented_close_added =
      "<resolutions>\n    <resolution>\n        <width>640</width>\n        <height>480</height>\n"
      "        <refresh_rate>60</refresh_rate>\n    </resolution>\n"
      "</resolutions>\n<!-- old:\n</resolutions>\n-->\n";
  const std::string at_144 = File({{1920, 1080}}, 0);
  const Case cases[] = {
      {crlf, {2000, 1200}, 60, AddResolutionOutcome::kAdded, crlf_added},
      {same_line, {1280, 800}, 90, AddResolutionOutcome::kAdded, same_line_added},
      {tabs, {640, 480}, 30, AddResolutionOutcome::kAdded, tabs_added},
      {commented_close, {640, 480}, 60, AddResolutionOutcome::kAdded, commented_close_added},
      {File({{1920, 1080}}, 0), {1920, 1080}, 144, AddResolutionOutcome::kAlreadyPresent, ""},
      {"<resolution><width>8</width><height>6</height></resolution>", {640, 480}, 60,
       AddResolutionOutcome::kNoResolutionsBlock, ""},
      {"<!-- </resolutions> -->", {640, 480}, 60, AddResolutionOutcome::kNoResolutionsBlock, ""},
      {crlf, {0, 480}, 60, AddResolutionOutcome::kInvalidMode, ""},
      {crlf, {640, 0}, 60, AddResolutionOutcome::kInvalidMode, ""},
      {crlf, {640, 480}, 0, AddResolutionOutcome::kInvalidMode, ""},
      {crlf, {16385, 480}, 60, AddResolutionOutcome::kInvalidMode, ""},
      {crlf, {640, 16385}, 60, AddResolutionOutcome::kInvalidMode, ""},
      {File(Repeat({800, 600}, 32), 2), {640, 480}, 60, AddResolutionOutcome::kLimitReached, ""},
      {File(Repeat({800, 600}, 47), 1), {640, 480}, 60, AddResolutionOutcome::kAdded, "?"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    const AddResolutionResult r = AddResolution(c.before, c.size.width, c.size.height, c.refresh);
    EXPECT_STREQ(AddResolutionOutcomeName(r.outcome), AddResolutionOutcomeName(c.outcome));
    EXPECT_EQ(r.replaced, (ModeSize{0, 0}));
    if (c.after.empty()) {
      EXPECT_EQ(r.text, c.before);
    } else if (c.after != "?") {
      EXPECT_EQ(r.text, c.after);
    } else {
      EXPECT_EQ(ModeCount(ParseSettings(r.text)), 96u);
    }
  }
}

TEST(VddSettingsEdit, ModeCountCannotWrapBelowTheBudget) {
  // 65535 entries and 65535 global rates: (65535 + 1) x (65535 + 1) is 2^32.
  std::string text = "<resolutions><width>1</width><height>";
  for (int i = 0; i < 65535; ++i) text += "1<?" "?>";
  text += "</height><g_refresh_rate>";
  for (int i = 0; i < 65535; ++i) text += "1<?" "?>";
  text += "</g_refresh_rate></resolutions>";
  ASSERT_LT(text.size(), kMaxSettingsFileBytes);
  const VddSettingsSummary s = ParseSettings(text);
  ASSERT_EQ(s.resolution_entries, 65535u);
  ASSERT_EQ(s.global_refresh_entries, 65535u);
  EXPECT_EQ(ModeCount(s), 65535ull * 65536ull);
  const AddResolutionResult r = AddResolution(text, 1920, 1080, 60);
  EXPECT_STREQ(AddResolutionOutcomeName(r.outcome), "limit-reached");
  EXPECT_EQ(r.text, text);
}

TEST(VddSettingsEdit, ReplacesOnlyATabletSizeAfterTheLastUserEntry) {
  struct Case {
    std::vector<ModeSize> sizes;
    uint32_t globals;
    AddResolutionOutcome outcome;
    ModeSize replaced;
  };
  const Case cases[] = {
      {{{1366, 768}, {1920, 1080}, {2560, 1440}}, 31, AddResolutionOutcome::kAdded, {2560, 1440}},
      {{{2560, 1440}, {1366, 768}, {1280, 800}}, 31, AddResolutionOutcome::kLimitReached, {0, 0}},
      {{{1920, 1080}, {2560, 1080}, {1920, 1080}}, 31, AddResolutionOutcome::kAdded, {2560, 1080}},
      {{{1366, 768}}, 0, AddResolutionOutcome::kAdded, {0, 0}},
  };
  for (const Case& c : cases) {
    const std::string before = File(c.sizes, c.globals);
    SCOPED_TRACE(before);
    const AddResolutionResult r = AddResolutionReplacing(before, 2000, 1200, 60);
    EXPECT_STREQ(AddResolutionOutcomeName(r.outcome), AddResolutionOutcomeName(c.outcome));
    EXPECT_EQ(r.replaced, c.replaced);
    if (r.outcome != AddResolutionOutcome::kAdded) {
      EXPECT_EQ(r.text, before);
      continue;
    }
    const VddSettingsSummary after = ParseSettings(r.text);
    EXPECT_LE(ModeCount(after), ModeCount(ParseSettings(before)) + (c.replaced.width ? 0 : 1));
    EXPECT_EQ(after.listed_sizes.back(), (ModeSize{2000, 1200}));
    if (c.replaced.width != 0) {
      EXPECT_EQ(ModeCount(after), ModeCount(ParseSettings(before)));
    }
  }
  // The later of two equal candidates goes; the earlier stays in place.
  const std::string twice = File({{2560, 1440}, {1920, 1080}, {2560, 1440}}, 31);
  const AddResolutionResult r = AddResolutionReplacing(twice, 2000, 1200, 60);
  const std::vector<ResolutionEntry> left = ListResolutionEntries(r.text);
  ASSERT_EQ(left.size(), 3u);
  EXPECT_EQ(left[0].size, (ModeSize{2560, 1440}));
  EXPECT_EQ(left[1].size, (ModeSize{1920, 1080}));
  EXPECT_EQ(left[2].size, (ModeSize{2000, 1200}));
}

TEST(VddSettingsEdit, RepairGivesUpTabletSizesThenFillsTheBudget) {
  // 18 tablet sizes, a user size, then 81 more 1280x800: 100 modes.
  std::vector<ModeSize> full(std::begin(kTabletSizeCatalogue), std::end(kTabletSizeCatalogue));
  full.push_back({1366, 768});
  for (int i = 0; i < 81; ++i) full.push_back({1280, 800});
  // Two tablet sizes before 98 user sizes: both go and 98 modes remain.
  std::vector<ModeSize> users = {{2560, 1080}, {1920, 1080}};
  for (uint32_t i = 0; i < 98; ++i) users.push_back({1000 + i, 700});
  struct Case {
    std::string before;
    bool block;
    uint64_t modes_before, modes_after;
    uint32_t removed, added;
  };
  const Case cases[] = {
      {File(full, 0), true, 100, 96, 4, 0},
      {File(users, 0), true, 100, 98, 2, 0},
      {File({{1366, 768}, {1920, 1080}}, 0), true, 2, 19, 0, 17},
      {File({{1366, 768}}, 5), true, 6, 96, 0, 15},
      {"<width>8</width><height>6</height>", false, 1, 1, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    const RepairResult r = RepairTabletSizes(c.before, 60);
    EXPECT_EQ(r.has_resolutions_block, c.block);
    EXPECT_EQ(r.modes_before, c.modes_before);
    EXPECT_EQ(r.modes_after, c.modes_after);
    EXPECT_EQ(r.entries_removed, c.removed);
    EXPECT_EQ(r.sizes_added, c.added);
    EXPECT_EQ(ModeCount(ParseSettings(r.text)), c.modes_after);
    if (c.removed == 0 && c.added == 0) {
      EXPECT_EQ(r.text, c.before);
    }
  }
  // The 100-mode file loses its last four 1280x800 entries and nothing else.
  const RepairResult r = RepairTabletSizes(File(full, 0), 60);
  full.resize(96);
  EXPECT_EQ(r.text, File(full, 0));
}

// Giving up entries one at a time, reading the whole text again after each:
// what the repair must come to, byte for byte.
RepairResult RepairOneByOne(std::string_view text, uint32_t refresh) {
  RepairResult result;
  result.text = std::string(text);
  result.modes_before = ModeCount(ParseSettings(text));
  result.modes_after = result.modes_before;
  if (!ParseSettings(text).has_resolutions_block) return result;
  result.has_resolutions_block = true;
  while (ModeCount(ParseSettings(result.text)) > kModeBudget) {
    const std::vector<ResolutionEntry> entries = ListResolutionEntries(result.text);
    size_t start = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (TabletSizeIndex(entries[i].size.width, entries[i].size.height) < 0) start = i + 1;
    }
    int chosen = -1;
    for (size_t from : {start, size_t{0}}) {
      int best = -1;
      for (size_t i = from; i < entries.size(); ++i) {
        const int index = TabletSizeIndex(entries[i].size.width, entries[i].size.height);
        if (index >= 0 && index >= best) {
          best = index;
          chosen = static_cast<int>(i);
        }
      }
      if (chosen >= 0) break;
    }
    if (chosen < 0) break;
    result.text = RemoveResolutionEntry(result.text, entries[static_cast<size_t>(chosen)]);
    ++result.entries_removed;
  }
  for (const ModeSize& size : kTabletSizeCatalogue) {
    AddResolutionResult added = AddResolution(result.text, size.width, size.height, refresh);
    if (added.outcome == AddResolutionOutcome::kLimitReached) break;
    if (added.outcome == AddResolutionOutcome::kAdded) {
      result.text = added.text;
      ++result.sizes_added;
    }
  }
  result.modes_after = ModeCount(ParseSettings(result.text));
  return result;
}

// A small deterministic generator (no library engine: the same files on
// every platform).
class Dice {
 public:
  explicit Dice(uint32_t seed) : state_(seed * 2654435761u + 1) {}
  uint32_t Roll(uint32_t sides) {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state_ >> 33) % sides;
  }

 private:
  uint64_t state_;
};

// Files over the budget whose entries sit among what makes removing one
// reach beyond it: entries sharing a line, comments and processing
// instructions around or inside entries, comment marks inside tags, tags
// left open before them, text between them, heights without a width after
// them, widths reset inside them, global rates inside them, CR LF and tab
// indents.
std::string MessyFile(uint32_t seed) {
  Dice dice(seed);
  const std::string eol = dice.Roll(3) == 0 ? "\r\n" : "\n";
  const std::string indent = dice.Roll(4) == 0 ? "\t" : "    ";
  std::string text = "<vdd>" + eol + "<count>1</count>" + eol + "<resolutions>" + eol;
  const uint32_t entries = 40 + dice.Roll(70);
  for (uint32_t i = 0; i < entries; ++i) {
    ModeSize size = kTabletSizeCatalogue[dice.Roll(kTabletSizeCount)];
    if (dice.Roll(8) == 0) size = {1000 + dice.Roll(3), 700};
    const std::string w = "<width>" + std::to_string(size.width) + "</width>";
    const std::string h = "<height>" + std::to_string(size.height) + "</height>";
    std::string inner = w + h + "<refresh_rate>60</refresh_rate>";
    switch (dice.Roll(24)) {
      case 0: inner = h + w + h; break;
      case 1: inner += "<width>x</width>"; break;
      case 2: inner += "<!-- note -->"; break;
      case 3: inner += "<g_refresh_rate>75</g_refresh_rate>"; break;
      case 4: inner += "<!-- open"; break;
      case 5: inner += "-->"; break;
      case 6: inner += "<x a=\"<!--\"/>"; break;
      default: break;
    }
    const std::string entry = "<resolution>" + inner + "</resolution>";
    switch (dice.Roll(24)) {
      case 0: text += indent + entry + " " + entry + eol; break;
      case 1: text += indent + "<x " + entry + eol; break;
      case 2: text += indent + "<? " + entry + " ?>" + eol; break;
      case 3: text += indent + "<!-- " + entry + " -->" + eol; break;
      case 4: text += indent + entry + "<height>600</height>" + eol; break;
      case 5: text += indent + "<width>" + entry + eol; break;
      case 6: text += "abc" + entry + eol; break;
      case 7: text += indent + entry + "abc" + eol; break;
      case 8: text += entry; break;
      case 9: text += indent + entry + " \t" + eol + eol; break;
      case 10: text += indent + entry + "\r"; break;
      case 11: text += indent + "<height>" + entry + "<!---->600" + eol; break;
      case 12: text += indent + "<y b=\"-->\"/>" + eol; break;
      default: text += indent + entry + eol; break;
    }
  }
  text += "</resolutions>" + eol;
  for (uint32_t i = dice.Roll(3); i > 0; --i) {
    text += "<g_refresh_rate>" + std::to_string(90 + i) + "</g_refresh_rate>" + eol;
  }
  if (dice.Roll(4) == 0) text += "<height>480</height>" + eol;
  text += "</vdd>";
  if (dice.Roll(6) == 0) text += eol;
  return text;
}

TEST(VddSettingsEdit, RepairMatchesRemovingEntriesOneByOne) {
  for (uint32_t seed = 0; seed < 200; ++seed) {
    const std::string before = MessyFile(seed);
    SCOPED_TRACE("seed " + std::to_string(seed) + ":\n" + before);
    const RepairResult expected = RepairOneByOne(before, 60);
    const RepairResult r = RepairTabletSizes(before, 60);
    ASSERT_EQ(r.text, expected.text);
    EXPECT_EQ(r.has_resolutions_block, expected.has_resolutions_block);
    EXPECT_EQ(r.modes_before, expected.modes_before);
    EXPECT_EQ(r.modes_after, expected.modes_after);
    EXPECT_EQ(r.entries_removed, expected.entries_removed);
    EXPECT_EQ(r.sizes_added, expected.sizes_added);
  }
}

TEST(VddSettingsEdit, RepairOfAFileAtTheReadLimit) {
  // About 12000 tablet-size entries: each is given up in place, without
  // reading the file again.
  std::vector<ModeSize> sizes;
  size_t bytes = File({}, 1).size();
  while (bytes + 200 < kMaxSettingsFileBytes) {
    const ModeSize& size = kTabletSizeCatalogue[sizes.size() % kTabletSizeCount];
    bytes += Entry(size.width, size.height).size();
    sizes.push_back(size);
  }
  const std::string text = File(sizes, 1);
  ASSERT_LE(text.size(), kMaxSettingsFileBytes);
  const RepairResult r = RepairTabletSizes(text, 60);
  EXPECT_EQ(r.modes_before, 2 * sizes.size());
  EXPECT_EQ(r.entries_removed, sizes.size() - 48);
  EXPECT_EQ(r.modes_after, 96u);
  // Higher catalogue indices go first, the later of equals first: the 48
  // left are the earliest 2560x1600 entries, and no other size fits.
  EXPECT_EQ(r.sizes_added, 0u);
  EXPECT_EQ(r.text, File(Repeat({2560, 1600}, 48), 1));
}

TEST(VddSettingsParse, ListsModesWithTheirRefreshRates) {
  const std::string text =
      "<resolutions>\n" + Entry(1920, 1080, 144) +
      "<resolution><width>2000</width><height>1200</height></resolution>\n"
      "<resolution><width>1280</width><height>800</height><refresh_rate>fast</refresh_rate>"
      "<refresh_rate>59.94</refresh_rate></resolution>\n"
      "<!-- " + Entry(640, 480, 30) + " -->\n</resolutions>\n"
      "<g_refresh_rate>120</g_refresh_rate><g_refresh_rate>0</g_refresh_rate>"
      "<!-- <g_refresh_rate>75</g_refresh_rate> --><g_refresh_rate> 90.5 </g_refresh_rate>";
  const std::vector<ListedMode> modes = ListResolutionModes(text);
  ASSERT_EQ(modes.size(), 3u);
  EXPECT_EQ(modes[0].size, (ModeSize{1920, 1080}));
  EXPECT_EQ(modes[0].refresh_hz, 144.0);
  EXPECT_EQ(modes[1].size, (ModeSize{2000, 1200}));
  EXPECT_EQ(modes[1].refresh_hz, 0.0);
  EXPECT_EQ(modes[2].size, (ModeSize{1280, 800}));
  EXPECT_EQ(modes[2].refresh_hz, 59.94);
  EXPECT_EQ(ListGlobalRefreshRates(text), (std::vector<double>{120.0, 90.5}));
  EXPECT_EQ(ListGlobalRefreshRates(text).size(), ParseSettings(text).global_refresh_entries);
}

TEST(VddSettingsCount, SetsTheFirstRealCountElement) {
  struct Case {
    const char* before;
    uint32_t n;
    MonitorCountOutcome outcome;
    const char* after;  // nullptr: unchanged
    bool readable;
    uint32_t read;
  };
  const Case cases[] = {
      {"<count> 2 </count>", 2, MonitorCountOutcome::kAlreadyEnough, nullptr, true, 2},
      {"<count> 2 </count>", 3, MonitorCountOutcome::kUpdated, "<count>3</count>", true, 2},
      {"<count>many</count>", 2, MonitorCountOutcome::kUpdated, "<count>2</count>", false, 0},
      {"<!-- <count>1</count> -->\r\n<count>1</count>", 2, MonitorCountOutcome::kUpdated,
       "<!-- <count>1</count> -->\r\n<count>2</count>", true, 1},
      {"<count />", 2, MonitorCountOutcome::kNoCountElement, nullptr, false, 0},
      {"<count a=\"1\"/>\n", 2, MonitorCountOutcome::kNoCountElement, nullptr, false, 0},
      {"<count a=\"1\"/><count>1</count>", 2, MonitorCountOutcome::kUpdated,
       "<count a=\"1\"/><count>2</count>", true, 1},
      {"<count>1<!-- </count> -->", 2, MonitorCountOutcome::kNoCountElement, nullptr, false, 0},
      {"<count>1<!-- </count> --></count>", 2, MonitorCountOutcome::kUpdated, "<count>2</count>", false,
       0},
      {"<counter>1</counter>", 2, MonitorCountOutcome::kNoCountElement, nullptr, false, 0},
      {"<count>1</count>", 0, MonitorCountOutcome::kInvalidCount, nullptr, true, 1},
      {"<count>1</count>", 5, MonitorCountOutcome::kInvalidCount, nullptr, true, 1},
      {"<count>100000</count>", 4, MonitorCountOutcome::kAlreadyEnough, nullptr, true, 100000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    const MonitorCountResult r = SetMonitorCount(c.before, c.n);
    EXPECT_STREQ(MonitorCountOutcomeName(r.outcome), MonitorCountOutcomeName(c.outcome));
    EXPECT_EQ(r.text, c.after ? c.after : c.before);
    uint32_t read = 0;
    EXPECT_EQ(ReadMonitorCount(c.before, &read), c.readable);
    EXPECT_EQ(read, c.read);
  }
}

TEST(VddSettingsNames, OutcomesHaveFixedNames) {
  const std::pair<AddResolutionOutcome, const char*> add[] = {
      {AddResolutionOutcome::kAdded, "added"},
      {AddResolutionOutcome::kAlreadyPresent, "already-present"},
      {AddResolutionOutcome::kNoResolutionsBlock, "no-resolutions-block"},
      {AddResolutionOutcome::kLimitReached, "limit-reached"},
      {AddResolutionOutcome::kInvalidMode, "invalid-mode"},
      {static_cast<AddResolutionOutcome>(5), "unknown"},
  };
  for (const auto& [outcome, name] : add) EXPECT_STREQ(AddResolutionOutcomeName(outcome), name);
  const std::pair<MonitorCountOutcome, const char*> count[] = {
      {MonitorCountOutcome::kUpdated, "updated"},
      {MonitorCountOutcome::kAlreadyEnough, "already-enough"},
      {MonitorCountOutcome::kNoCountElement, "no-count-element"},
      {MonitorCountOutcome::kInvalidCount, "invalid-count"},
      {static_cast<MonitorCountOutcome>(-1), "unknown"},
  };
  for (const auto& [outcome, name] : count) EXPECT_STREQ(MonitorCountOutcomeName(outcome), name);
  EXPECT_EQ(TabletSizeIndex(2560, 1600), 0);
  EXPECT_EQ(TabletSizeIndex(1280, 800), 5);
  EXPECT_EQ(TabletSizeIndex(2560, 1080), 17);
  EXPECT_EQ(TabletSizeIndex(1080, 1920), -1);
}

}  // namespace
}  // namespace tvr_vdd
