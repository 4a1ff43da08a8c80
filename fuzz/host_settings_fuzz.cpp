// host_settings.ini: the line-by-line reader and the writer.
//
// Input: the whole input is the file's text (ParseHostSettingsText).
//
// The text is applied to the defaults and to a record whose every field
// differs from them. Invariants:
// - both give the same verdict, and every field is either the same on both
//   (the text set it) or each record's own (the text left it): the reader
//   only ever changes what a line names;
// - a text that is not recognised leaves both records exactly as they were;
// - the values are in range: capture output index 0..3, back-end 0..2, the
//   notified version empty or a version text; extended_display and its "as
//   read" value agree when the key was read; the "as written" user-set field
//   is never touched by the reader (the host entry decides it);
// - reading is deterministic;
// - when something was recognised, the written file reads back (onto the
//   defaults) to the same effective values: index, back-end, clipboard,
//   audio, updates, extended display and the version. The writer does not
//   carry the "as read" fields over: after the round trip both extended
//   keys are present, extended_display's value is the extended-display
//   setting and the user-set value is the "as written" user-set field;
// - the written file is complete: read onto the other record it gives the
//   same values, apart from the version when none was written and the "as
//   written" user-set field;
// - writing is a fixed point after one round: the re-read record, its "as
//   written" user-set field decided from the value read (as the host entry
//   does), is written as the same text.

#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "host/app/host_settings.h"
#include "host/common/parse.h"

namespace orvane::fuzz {
namespace {

// Every field of the record differs from the defaults.
HostSettings Flipped() {
  HostSettings s;
  s.capture_output_index = 2;
  s.capture_backend = 1;
  s.share_clipboard = false;
  s.tablet_only_audio = false;
  s.extended_display = true;
  s.extended_display_user_set = true;
  s.extended_display_present = true;
  s.extended_display_value = true;
  s.extended_display_user_set_present = true;
  s.extended_display_user_set_value = true;
  s.check_for_updates = false;
  s.update_notified_version = "9.8.7";
  return s;
}

bool Same(const HostSettings& a, const HostSettings& b) {
  return a.capture_output_index == b.capture_output_index && a.capture_backend == b.capture_backend &&
         a.share_clipboard == b.share_clipboard && a.tablet_only_audio == b.tablet_only_audio &&
         a.extended_display == b.extended_display && a.extended_display_user_set == b.extended_display_user_set &&
         a.extended_display_present == b.extended_display_present &&
         a.extended_display_value == b.extended_display_value &&
         a.extended_display_user_set_present == b.extended_display_user_set_present &&
         a.extended_display_user_set_value == b.extended_display_user_set_value &&
         a.check_for_updates == b.check_for_updates && a.update_notified_version == b.update_notified_version;
}

// A field is either set by the text (same on both results) or kept from its
// record.
template <typename T>
bool SetOrKept(const T& result_a, const T& base_a, const T& result_b, const T& base_b) {
  return result_a == result_b || (result_a == base_a && result_b == base_b);
}

void CheckLocality(const HostSettings& ra, const HostSettings& a, const HostSettings& rb, const HostSettings& b) {
  FUZZ_CHECK(SetOrKept(ra.capture_output_index, a.capture_output_index, rb.capture_output_index,
                       b.capture_output_index));
  FUZZ_CHECK(SetOrKept(ra.capture_backend, a.capture_backend, rb.capture_backend, b.capture_backend));
  FUZZ_CHECK(SetOrKept(ra.share_clipboard, a.share_clipboard, rb.share_clipboard, b.share_clipboard));
  FUZZ_CHECK(SetOrKept(ra.tablet_only_audio, a.tablet_only_audio, rb.tablet_only_audio, b.tablet_only_audio));
  FUZZ_CHECK(SetOrKept(ra.extended_display, a.extended_display, rb.extended_display, b.extended_display));
  FUZZ_CHECK(SetOrKept(ra.extended_display_present, a.extended_display_present, rb.extended_display_present,
                       b.extended_display_present));
  FUZZ_CHECK(SetOrKept(ra.extended_display_value, a.extended_display_value, rb.extended_display_value,
                       b.extended_display_value));
  FUZZ_CHECK(SetOrKept(ra.extended_display_user_set_present, a.extended_display_user_set_present,
                       rb.extended_display_user_set_present, b.extended_display_user_set_present));
  FUZZ_CHECK(SetOrKept(ra.extended_display_user_set_value, a.extended_display_user_set_value,
                       rb.extended_display_user_set_value, b.extended_display_user_set_value));
  FUZZ_CHECK(SetOrKept(ra.check_for_updates, a.check_for_updates, rb.check_for_updates, b.check_for_updates));
  FUZZ_CHECK(SetOrKept(ra.update_notified_version, a.update_notified_version, rb.update_notified_version,
                       b.update_notified_version));
  // Never set by the reader.
  FUZZ_CHECK(ra.extended_display_user_set == a.extended_display_user_set);
  FUZZ_CHECK(rb.extended_display_user_set == b.extended_display_user_set);
}

void CheckInRange(const HostSettings& s) {
  FUZZ_CHECK(s.capture_output_index <= 3);
  FUZZ_CHECK(s.capture_backend >= 0 && s.capture_backend <= 2);
  FUZZ_CHECK(s.update_notified_version.empty() || IsVersionText(s.update_notified_version));
  if (s.extended_display_present) FUZZ_CHECK(s.extended_display == s.extended_display_value);
}

void CheckRoundTrip(const HostSettings& s) {
  const std::string text = FormatHostSettings(s);

  HostSettings again;
  FUZZ_CHECK(ParseHostSettingsText(text, again));
  CheckInRange(again);
  FUZZ_CHECK(again.capture_output_index == s.capture_output_index);
  FUZZ_CHECK(again.capture_backend == s.capture_backend);
  FUZZ_CHECK(again.share_clipboard == s.share_clipboard);
  FUZZ_CHECK(again.tablet_only_audio == s.tablet_only_audio);
  FUZZ_CHECK(again.extended_display == s.extended_display);
  FUZZ_CHECK(again.check_for_updates == s.check_for_updates);
  FUZZ_CHECK(again.update_notified_version == s.update_notified_version);
  // What the writer does not carry over as such.
  FUZZ_CHECK(again.extended_display_present && again.extended_display_value == s.extended_display);
  FUZZ_CHECK(again.extended_display_user_set_present &&
             again.extended_display_user_set_value == s.extended_display_user_set);
  FUZZ_CHECK(again.extended_display_user_set == HostSettings{}.extended_display_user_set);

  // Complete: onto a record that differs everywhere, the same values.
  const HostSettings other = Flipped();
  HostSettings onto_other = other;
  FUZZ_CHECK(ParseHostSettingsText(text, onto_other));
  HostSettings expected = again;
  if (s.update_notified_version.empty()) expected.update_notified_version = other.update_notified_version;
  expected.extended_display_user_set = other.extended_display_user_set;
  FUZZ_CHECK(Same(onto_other, expected));

  // Fixed point after one round, with the "as written" user-set field taken
  // from the value read, as the host entry does when the key is there.
  HostSettings decided = again;
  decided.extended_display_user_set = again.extended_display_user_set_value;
  FUZZ_CHECK(FormatHostSettings(decided) == text);
}

}  // namespace
}  // namespace orvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvane;
  using namespace orvane::fuzz;
  QuietLogs();
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const HostSettings defaults;
  const HostSettings flipped = Flipped();
  HostSettings a = defaults;
  HostSettings b = flipped;
  const bool recognised = ParseHostSettingsText(text, a);
  FUZZ_CHECK(ParseHostSettingsText(text, b) == recognised);
  if (!recognised) {
    FUZZ_CHECK(Same(a, defaults));
    FUZZ_CHECK(Same(b, flipped));
    return 0;
  }
  CheckLocality(a, defaults, b, flipped);
  CheckInRange(a);
  CheckInRange(b);

  HostSettings repeat;
  FUZZ_CHECK(ParseHostSettingsText(text, repeat));
  FUZZ_CHECK(Same(repeat, a));

  CheckRoundTrip(a);
  CheckRoundTrip(b);
  return 0;
}
