// The world's file form: world.ini written and read back field by field,
// and the lock that several processes take around a load-change-save.

#include <cctype>
#include <fstream>
#include <optional>
#include <system_error>

#include "tools/sim_vdd/sim_vdd_file.h"
#include "tools/sim_vdd/sim_vdd_world.h"

namespace orvane::sim_vdd {

namespace {

constexpr char kTempSuffix[] = ".tmp";
constexpr uint32_t kMaxSectionIndex = 999;
constexpr uint32_t kMaxGdiNumber = 64;

// --- writing ---

std::string ModesText(const std::vector<SimMode>& modes) {
  std::string text;
  for (const SimMode& m : modes) {
    if (!text.empty()) text += ",";
    text += SimModeText(m);
  }
  return text;
}

std::string LuidText(const SimLuid& luid) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%08X:%08X", static_cast<unsigned>(luid.low),
                static_cast<unsigned>(static_cast<uint32_t>(luid.high)));
  return buf;
}

std::string ListText(const std::vector<uint32_t>& list) {
  std::string text;
  for (const uint32_t v : list) {
    if (!text.empty()) text += ",";
    text += std::to_string(v);
  }
  return text;
}

class Writer {
 public:
  void Section(const std::string& name) {
    if (!text_.empty()) text_ += "\n";
    text_ += "[" + name + "]\n";
  }
  void Key(const char* key, const std::string& value) { text_ += std::string(key) + "=" + value + "\n"; }
  void Key(const char* key, uint64_t value) { Key(key, std::to_string(value)); }
  void Key(const char* key, uint32_t value) { Key(key, std::to_string(value)); }
  void Key(const char* key, int32_t value) { Key(key, std::to_string(value)); }
  void Key(const char* key, bool value) { Key(key, std::string(value ? "1" : "0")); }
  void State(const SimMonitorState& m) {
    Key("link", std::string(SimLinkName(m.link)));
    Key("source", m.source_id);
    Key("join_at_ms", m.join_at_ms == kNever ? std::string("never") : std::to_string(m.join_at_ms));
    Key("placed", m.placed);
    Key("x", m.x);
    Key("y", m.y);
    Key("mode", SimModeText(m.mode));
    Key("orientation", m.orientation);
    Key("primary", m.primary);
  }
  std::string Take() { return std::move(text_); }

 private:
  std::string text_ = "# Simulated Virtual Display Driver world\n";
};

// --- reading ---

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool ParseU64(std::string_view v, uint64_t max, uint64_t* out) {
  if (v.empty() || v.size() > 20) return false;
  uint64_t n = 0;
  for (const char c : v) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (n > (max - digit) / 10) return false;
    n = n * 10 + digit;
  }
  *out = n;
  return true;
}

bool ParseU32(std::string_view v, uint32_t max, uint32_t* out) {
  uint64_t n = 0;
  if (!ParseU64(v, max, &n)) return false;
  *out = static_cast<uint32_t>(n);
  return true;
}

bool ParseI32(std::string_view v, int32_t* out) {
  const bool negative = !v.empty() && v.front() == '-';
  if (negative) v.remove_prefix(1);
  uint64_t n = 0;
  if (!ParseU64(v, negative ? 2147483648ull : 2147483647ull, &n)) return false;
  *out = negative ? static_cast<int32_t>(-static_cast<int64_t>(n)) : static_cast<int32_t>(n);
  return true;
}

bool ParseBool(std::string_view v, bool* out) {
  if (v != "0" && v != "1") return false;
  *out = v == "1";
  return true;
}

bool ParseSize(std::string_view v, uint32_t* width, uint32_t* height) {
  const size_t x = v.find('x');
  return x != std::string_view::npos && ParseU32(v.substr(0, x), kMaxModeSide, width) && *width > 0 &&
         ParseU32(v.substr(x + 1), kMaxModeSide, height) && *height > 0;
}

bool ParseMode(std::string_view v, SimMode* mode) {
  const size_t at = v.find('@');
  return at != std::string_view::npos && ParseSize(v.substr(0, at), &mode->width, &mode->height) &&
         ParseU32(v.substr(at + 1), kMaxRefreshHz, &mode->refresh_hz) && mode->refresh_hz > 0;
}

// Comma-separated items, each trimmed; an empty value is an empty list.
template <typename F>
bool ParseList(std::string_view v, size_t max_items, F item) {
  if (v.empty()) return true;
  size_t items = 0;
  for (;;) {
    const size_t comma = v.find(',');
    if (++items > max_items || !item(Trim(v.substr(0, comma)))) return false;
    if (comma == std::string_view::npos) return true;
    v.remove_prefix(comma + 1);
  }
}

bool ParseModes(std::string_view v, std::vector<SimMode>* modes) {
  std::vector<SimMode> list;
  if (!ParseList(v, kMaxListedModes, [&](std::string_view item) {
        SimMode m;
        if (!ParseMode(item, &m)) return false;
        list.push_back(m);
        return true;
      })) {
    return false;
  }
  *modes = std::move(list);
  return true;
}

bool ParseIndices(std::string_view v, std::vector<uint32_t>* indices) {
  std::vector<uint32_t> list;
  if (!ParseList(v, kMaxTargets, [&](std::string_view item) {
        uint32_t i = 0;
        if (!ParseU32(item, kMaxTargets - 1, &i) || (!list.empty() && i <= list.back())) return false;
        list.push_back(i);
        return true;
      })) {
    return false;
  }
  *indices = std::move(list);
  return true;
}

bool ParseLate(std::string_view v, std::map<uint32_t, uint64_t>* late) {
  std::map<uint32_t, uint64_t> map;
  if (!ParseList(v, kMaxTargets, [&](std::string_view item) {
        const size_t colon = item.find(':');
        uint32_t i = 0;
        uint64_t ms = 0;
        if (colon == std::string_view::npos || !ParseU32(item.substr(0, colon), kMaxTargets - 1, &i) ||
            !ParseU64(item.substr(colon + 1), kNever - 1, &ms) || map.count(i) != 0) {
          return false;
        }
        map[i] = ms;
        return true;
      })) {
    return false;
  }
  *late = std::move(map);
  return true;
}

bool ParseHex32(std::string_view v, uint32_t* out) {
  if (v.size() != 8) return false;
  uint32_t n = 0;
  for (const char c : v) {
    uint32_t d = 0;
    if (c >= '0' && c <= '9') {
      d = static_cast<uint32_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      d = static_cast<uint32_t>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      d = static_cast<uint32_t>(c - 'a' + 10);
    } else {
      return false;
    }
    n = n * 16 + d;
  }
  *out = n;
  return true;
}

bool ParseLuid(std::string_view v, SimLuid* luid) {
  uint32_t low = 0;
  uint32_t high = 0;
  if (v.size() != 17 || v[8] != ':' || !ParseHex32(v.substr(0, 8), &low) || !ParseHex32(v.substr(9), &high)) {
    return false;
  }
  luid->low = low;
  luid->high = static_cast<int32_t>(high);
  return true;
}

bool ParseText(std::string_view v, std::string* out) {
  if (v.size() > kMaxTextBytes) return false;
  for (const char c : v) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  *out = std::string(v);
  return true;
}

bool ParseHardwareIds(std::string_view v, std::vector<std::string>* ids) {
  std::vector<std::string> list;
  if (!ParseList(v, kMaxHardwareIds, [&](std::string_view item) {
        std::string id;
        if (item.empty() || !ParseText(item, &id)) return false;
        list.push_back(std::move(id));
        return true;
      })) {
    return false;
  }
  *ids = std::move(list);
  return true;
}

bool ParseLink(std::string_view v, SimLink* link) {
  for (const SimLink l : {SimLink::kDetached, SimLink::kJoining, SimLink::kAttached}) {
    if (v == SimLinkName(l)) {
      *link = l;
      return true;
    }
  }
  return false;
}

bool ParsePosition(std::string_view v, int32_t* x, int32_t* y) {
  const size_t comma = v.find(',');
  return comma != std::string_view::npos && ParseI32(Trim(v.substr(0, comma)), x) &&
         ParseI32(Trim(v.substr(comma + 1)), y);
}

bool ValidEdid(const std::string& edid) {
  if (edid.empty() || edid.size() > 16) return false;
  for (const char c : edid) {
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

struct Entry {
  std::string value;
  size_t line = 0;
  bool used = false;
};

struct Section {
  std::string name;
  bool indexed = false;
  uint32_t index = 0;
  size_t line = 0;
  std::map<std::string, Entry> keys;
};

std::string Where(size_t line) { return "line " + std::to_string(line) + ": "; }

// Takes the keys of one section; the first bad value is the error.
class Reader {
 public:
  Reader(Section* section, std::string* error) : section_(section), error_(error) {}

  template <typename F>
  void Take(const char* key, F parse) {
    const auto it = section_->keys.find(key);
    if (it == section_->keys.end()) return;
    it->second.used = true;
    if (error_->empty() && !parse(std::string_view(it->second.value))) {
      *error_ = Where(it->second.line) + "bad value for " + key;
    }
  }
  bool Has(const char* key) const { return section_->keys.count(key) != 0; }
  void U64(const char* key, uint64_t* out) {
    Take(key, [&](std::string_view v) { return ParseU64(v, kNever - 1, out); });
  }
  void U32(const char* key, uint32_t max, uint32_t* out) {
    Take(key, [&](std::string_view v) { return ParseU32(v, max, out); });
  }
  void I32(const char* key, int32_t* out) {
    Take(key, [&](std::string_view v) { return ParseI32(v, out); });
  }
  void Bool(const char* key, bool* out) {
    Take(key, [&](std::string_view v) { return ParseBool(v, out); });
  }
  void Text(const char* key, std::string* out) {
    Take(key, [&](std::string_view v) { return ParseText(v, out); });
  }
  void Modes(const char* key, std::vector<SimMode>* out) {
    Take(key, [&](std::string_view v) { return ParseModes(v, out); });
  }
  void Luid(const char* key, SimLuid* out) {
    Take(key, [&](std::string_view v) { return ParseLuid(v, out); });
  }
  void State(SimMonitorState* m, const std::vector<SimMode>& modes) {
    Take("link", [&](std::string_view v) { return ParseLink(v, &m->link); });
    U32("source", kMaxTargets - 1, &m->source_id);
    Take("join_at_ms", [&](std::string_view v) {
      if (v == "never") {
        m->join_at_ms = kNever;
        return true;
      }
      return ParseU64(v, kNever - 1, &m->join_at_ms);
    });
    Bool("placed", &m->placed);
    I32("x", &m->x);
    I32("y", &m->y);
    if (!modes.empty()) m->mode = modes.front();
    Take("mode", [&](std::string_view v) { return ParseMode(v, &m->mode); });
    U32("orientation", 3, &m->orientation);
    Bool("primary", &m->primary);
  }
  // Every key of the section was known.
  void Finish() {
    for (const auto& [key, entry] : section_->keys) {
      if (!entry.used && error_->empty()) *error_ = Where(entry.line) + "unknown key " + key;
    }
  }

 private:
  Section* section_;
  std::string* error_;
};

bool SplitSections(std::string_view text, std::vector<Section>* sections, std::string* error) {
  size_t line_no = 0;
  while (!text.empty()) {
    ++line_no;
    const size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    for (const char c : line) {
      if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) {
        *error = Where(line_no) + "control character";
        return false;
      }
    }
    line = Trim(line);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    if (line.front() == '[') {
      if (line.back() != ']') {
        *error = Where(line_no) + "unclosed section header";
        return false;
      }
      const std::string_view inner = Trim(line.substr(1, line.size() - 2));
      const size_t space = inner.find(' ');
      Section s;
      s.line = line_no;
      s.name = std::string(inner.substr(0, space));
      if (space != std::string_view::npos) {
        s.indexed = true;
        if (!ParseU32(Trim(inner.substr(space + 1)), kMaxSectionIndex, &s.index)) {
          *error = Where(line_no) + "bad section number";
          return false;
        }
      }
      for (const Section& other : *sections) {
        if (other.name == s.name && other.indexed == s.indexed && other.index == s.index) {
          *error = Where(line_no) + "section repeated";
          return false;
        }
      }
      sections->push_back(std::move(s));
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      *error = Where(line_no) + "not key=value";
      return false;
    }
    if (sections->empty()) {
      *error = Where(line_no) + "key outside a section";
      return false;
    }
    const std::string key(Trim(line.substr(0, eq)));
    if (key.empty()) {
      *error = Where(line_no) + "empty key";
      return false;
    }
    auto& keys = sections->back().keys;
    if (keys.count(key) != 0) {
      *error = Where(line_no) + "key repeated";
      return false;
    }
    keys[key] = Entry{std::string(Trim(line.substr(eq + 1))), line_no, false};
  }
  return true;
}

// Instance ids compare without regard to ASCII case.
bool SameInstanceId(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// Whether a world read back holds together; the reason when not.
std::string Inconsistency(const SimWorldState& st) {
  const SimDevice& d = st.device;
  if (!d.installed && d.present) return "a device that is not installed is not present";
  if (!d.present && (d.started || d.starting)) return "a device that is not present does not run";
  if (d.problem != 0 && d.started) return "a device with a problem is not started";
  if (d.started && d.starting) return "a started device is not starting";
  if (!d.started && !st.targets.empty()) return "count needs started=1";
  if (d.instance_id.empty() || d.hardware_id.empty() || st.physical.instance_id.empty()) return "empty device id";
  if (d.adapter_luid == st.physical.luid) return "the adapters share one LUID";
  const SimPhysicalAdapter& p = st.physical;
  if (p.monitors.empty()) return "no physical monitor";
  if (p.sources == 0) return "physical sources must be at least 1";
  bool primary = false;
  const auto check = [&](const SimMonitorState& m, uint32_t sources, bool driver) -> std::string {
    if (m.source_id >= sources) return "source out of range";
    if (m.link == SimLink::kJoining && !driver) return "a physical monitor does not join later";
    if (m.primary && m.link != SimLink::kAttached) return "primary needs link=attached";
    if (m.primary && primary) return "more than one primary monitor";
    if (m.primary) primary = true;
    return {};
  };
  for (size_t i = 0; i < p.monitors.size(); ++i) {
    const SimPhysicalMonitor& m = p.monitors[i];
    if (!ValidEdid(m.edid)) return "monitor " + std::to_string(i) + ": bad edid";
    for (size_t j = 0; j < i; ++j) {
      if (p.monitors[j].target_id == m.target_id) return "monitor " + std::to_string(i) + ": target_id repeated";
    }
    const std::string why = check(m.state, p.sources, false);
    if (!why.empty()) return "monitor " + std::to_string(i) + ": " + why;
  }
  for (size_t i = 0; i < st.targets.size(); ++i) {
    const std::string why = check(st.targets[i], static_cast<uint32_t>(st.targets.size()), true);
    if (!why.empty()) return "target " + std::to_string(i) + ": " + why;
  }
  for (size_t i = 0; i < st.other_devices.size(); ++i) {
    const SimOtherDevice& o = st.other_devices[i];
    const std::string name = "class " + std::to_string(i) + ": ";
    if (o.instance_id.empty()) return name + "empty device id";
    if (o.hardware_ids.empty()) return name + "no hardware id";
    if (!o.present && o.started) return name + "a device that is not present does not run";
    if (o.problem != 0 && o.started) return name + "a device with a problem is not started";
    const auto same = [&o](const std::string& id) { return SameInstanceId(id, o.instance_id); };
    if ((d.installed && same(d.instance_id)) || same(p.instance_id)) return name + "instance_id repeated";
    for (size_t j = 0; j < i; ++j) {
      if (same(st.other_devices[j].instance_id)) return name + "instance_id repeated";
    }
  }
  return {};
}

}  // namespace

std::string SimVddWorld::ToIni() const {
  const SimWorldState& st = state_;
  Writer w;
  w.Section("world");
  w.Key("now_ms", st.now_ms);
  w.Key("uptime_base_ms", st.uptime_base_ms);
  w.Key("clock_ms", st.clock_ms);
  w.Key("database_saves", st.database_saves);
  w.Key("elevated", st.elevated);

  const SimDevice& d = st.device;
  w.Section("device");
  w.Key("installed", d.installed);
  w.Key("present", d.present);
  w.Key("started", d.started);
  w.Key("problem", d.problem);
  w.Key("instance_id", d.instance_id);
  w.Key("hardware_id", d.hardware_id);
  w.Key("driver_version", d.driver_version);
  w.Key("adapter_luid", LuidText(d.adapter_luid));
  w.Key("modes", ModesText(d.modes));
  w.Key("count", static_cast<uint32_t>(st.targets.size()));
  w.Key("restart_delay_ms", d.restart_delay_ms);
  w.Key("join_delay_ms", d.join_delay_ms);
  w.Key("starting", d.starting);
  w.Key("start_at_ms", d.start_at_ms);

  const SimPhysicalAdapter& p = st.physical;
  w.Section("physical");
  w.Key("instance_id", p.instance_id);
  w.Key("hardware_id", p.hardware_id);
  w.Key("driver_version", p.driver_version);
  w.Key("adapter_luid", LuidText(p.luid));
  w.Key("sources", p.sources);
  for (size_t i = 0; i < p.monitors.size(); ++i) {
    const SimPhysicalMonitor& m = p.monitors[i];
    w.Section("monitor " + std::to_string(i));
    w.Key("edid", m.edid);
    w.Key("target_id", m.target_id);
    w.Key("modes", ModesText(m.modes));
    w.State(m.state);
  }
  for (size_t i = 0; i < st.targets.size(); ++i) {
    w.Section("target " + std::to_string(i));
    w.State(st.targets[i]);
  }
  for (size_t i = 0; i < st.other_devices.size(); ++i) {
    const SimOtherDevice& o = st.other_devices[i];
    w.Section("class " + std::to_string(i));
    w.Key("instance_id", o.instance_id);
    std::string ids;
    for (const std::string& id : o.hardware_ids) ids += (ids.empty() ? "" : ",") + id;
    w.Key("hardware_ids", ids);
    w.Key("driver_version", o.driver_version);
    w.Key("present", o.present);
    w.Key("started", o.started);
    w.Key("problem", o.problem);
  }

  w.Section("registry");
  if (st.registry.has_vdd_path) w.Key("vdd_path", st.registry.vdd_path);
  if (st.registry.has_first_orvane_monitor) w.Key("first_orvane_monitor", st.registry.first_orvane_monitor);

  const SimFaults& f = st.faults;
  w.Section("faults");
  w.Key("supplied_config_error", f.supplied_config_error);
  w.Key("topology_only_error", f.topology_only_error);
  w.Key("query_busy", f.query_busy);
  std::string late;
  for (const auto& [index, ms] : f.join_late_ms) {
    if (!late.empty()) late += ",";
    late += std::to_string(index) + ":" + std::to_string(ms);
  }
  w.Key("join_late", late);
  w.Key("join_never", ListText(f.join_never));
  w.Key("hidden_gdi", ListText(f.hidden_gdi));
  w.Key("position_change_fails", f.position_change_fails);
  w.Key("restart_never_starts", f.restart_never_starts);
  w.Key("adapter_path_fails", f.adapter_path_fails);

  for (const auto& [number, s] : st.pending) {
    w.Section("pending " + std::to_string(number));
    if (s.has_position) w.Key("position", std::to_string(s.x) + "," + std::to_string(s.y));
    if (s.has_size) w.Key("size", std::to_string(s.width) + "x" + std::to_string(s.height));
    if (s.has_refresh) w.Key("refresh", s.refresh_hz);
    if (s.has_orientation) w.Key("orientation", s.orientation);
  }
  return w.Take();
}

SimWorldFileResult SimVddWorld::FromIni(std::string_view text) {
  const auto malformed = [](std::string why) { return SimWorldFileResult{SimWorldFileStatus::kMalformed, why}; };
  if (text.size() > kMaxWorldFileBytes) return {SimWorldFileStatus::kTooLarge, "more than 64 KiB"};
  std::vector<Section> sections;
  std::string error;
  if (!SplitSections(text, &sections, &error)) return malformed(error);

  SimWorldState st = SimVddWorld().state_;
  const auto find = [&](const char* name) -> Section* {
    for (Section& s : sections) {
      if (s.name == name && !s.indexed) return &s;
    }
    return nullptr;
  };
  const auto numbered = [&](const char* name) {
    std::map<uint32_t, Section*> found;
    for (Section& s : sections) {
      if (s.name == name && s.indexed) found[s.index] = &s;
    }
    return found;
  };
  for (const Section& s : sections) {
    const bool plain =
        s.name == "world" || s.name == "device" || s.name == "physical" || s.name == "registry" || s.name == "faults";
    const bool indexed = s.name == "monitor" || s.name == "target" || s.name == "pending" || s.name == "class";
    if ((!plain && !indexed) || (plain && s.indexed) || (indexed && !s.indexed)) {
      return malformed(Where(s.line) + "unknown section " + s.name);
    }
  }

  if (Section* s = find("world")) {
    Reader r(s, &error);
    r.U64("now_ms", &st.now_ms);
    r.U64("uptime_base_ms", &st.uptime_base_ms);
    r.U64("clock_ms", &st.clock_ms);
    r.U32("database_saves", UINT32_MAX, &st.database_saves);
    r.Bool("elevated", &st.elevated);
    r.Finish();
  }
  uint32_t count = static_cast<uint32_t>(st.targets.size());
  if (Section* s = find("device")) {
    SimDevice& d = st.device;
    Reader r(s, &error);
    r.Bool("installed", &d.installed);
    r.Bool("present", &d.present);
    r.Bool("started", &d.started);
    r.U32("problem", UINT32_MAX, &d.problem);
    r.Text("instance_id", &d.instance_id);
    r.Text("hardware_id", &d.hardware_id);
    r.Text("driver_version", &d.driver_version);
    r.Luid("adapter_luid", &d.adapter_luid);
    r.Modes("modes", &d.modes);
    if (!d.started) count = 0;
    r.U32("count", kMaxTargets, &count);
    r.U64("restart_delay_ms", &d.restart_delay_ms);
    r.U64("join_delay_ms", &d.join_delay_ms);
    r.Bool("starting", &d.starting);
    r.U64("start_at_ms", &d.start_at_ms);
    r.Finish();
  }
  if (Section* s = find("physical")) {
    SimPhysicalAdapter& p = st.physical;
    Reader r(s, &error);
    r.Text("instance_id", &p.instance_id);
    r.Text("hardware_id", &p.hardware_id);
    r.Text("driver_version", &p.driver_version);
    r.Luid("adapter_luid", &p.luid);
    r.U32("sources", kMaxPhysicalSources, &p.sources);
    r.Finish();
  }
  const auto monitors = numbered("monitor");
  if (!monitors.empty()) {
    if (monitors.size() > kMaxPhysicalMonitors) return malformed("more than 8 physical monitors");
    st.physical.monitors.clear();
    for (const auto& [index, section] : monitors) {
      if (index != st.physical.monitors.size()) return malformed(Where(section->line) + "monitor numbers have a gap");
      SimPhysicalMonitor m;
      m.edid = "PHY" + std::to_string(1001 + index);
      m.target_id = kFirstPhysicalTargetId + index;
      m.modes = DefaultPhysicalModes();
      Reader r(section, &error);
      r.Text("edid", &m.edid);
      r.U32("target_id", UINT32_MAX, &m.target_id);
      r.Modes("modes", &m.modes);
      r.State(&m.state, m.modes);
      r.Finish();
      st.physical.monitors.push_back(m);
    }
  }
  SimMonitorState fresh;
  if (!st.device.modes.empty()) fresh.mode = st.device.modes.front();
  st.targets.assign(count, fresh);
  for (const auto& [index, section] : numbered("target")) {
    if (index >= count) return malformed(Where(section->line) + "target beyond count");
    Reader r(section, &error);
    r.State(&st.targets[index], st.device.modes);
    r.Finish();
  }
  const auto others = numbered("class");
  if (others.size() > kMaxOtherDevices) return malformed("more than 8 other display-class devices");
  for (const auto& [index, section] : others) {
    if (index != st.other_devices.size()) return malformed(Where(section->line) + "class numbers have a gap");
    SimOtherDevice o;
    Reader r(section, &error);
    r.Text("instance_id", &o.instance_id);
    r.Take("hardware_ids", [&](std::string_view v) { return ParseHardwareIds(v, &o.hardware_ids); });
    r.Text("driver_version", &o.driver_version);
    r.Bool("present", &o.present);
    r.Bool("started", &o.started);
    r.U32("problem", UINT32_MAX, &o.problem);
    r.Finish();
    st.other_devices.push_back(std::move(o));
  }
  if (Section* s = find("registry")) {
    Reader r(s, &error);
    st.registry.has_vdd_path = r.Has("vdd_path");
    r.Text("vdd_path", &st.registry.vdd_path);
    st.registry.has_first_orvane_monitor = r.Has("first_orvane_monitor");
    r.U32("first_orvane_monitor", UINT32_MAX, &st.registry.first_orvane_monitor);
    r.Finish();
  }
  if (Section* s = find("faults")) {
    SimFaults& f = st.faults;
    Reader r(s, &error);
    r.I32("supplied_config_error", &f.supplied_config_error);
    r.I32("topology_only_error", &f.topology_only_error);
    r.U32("query_busy", UINT32_MAX, &f.query_busy);
    r.Take("join_late", [&](std::string_view v) { return ParseLate(v, &f.join_late_ms); });
    r.Take("join_never", [&](std::string_view v) { return ParseIndices(v, &f.join_never); });
    r.Take("hidden_gdi", [&](std::string_view v) { return ParseIndices(v, &f.hidden_gdi); });
    r.Bool("position_change_fails", &f.position_change_fails);
    r.Bool("restart_never_starts", &f.restart_never_starts);
    r.Bool("adapter_path_fails", &f.adapter_path_fails);
    r.Finish();
  }
  for (const auto& [number, section] : numbered("pending")) {
    if (number == 0 || number > kMaxGdiNumber) return malformed(Where(section->line) + "bad display number");
    SimSettings s;
    Reader r(section, &error);
    s.has_position = r.Has("position");
    r.Take("position", [&](std::string_view v) { return ParsePosition(v, &s.x, &s.y); });
    s.has_size = r.Has("size");
    r.Take("size", [&](std::string_view v) { return ParseSize(v, &s.width, &s.height); });
    s.has_refresh = r.Has("refresh");
    r.U32("refresh", kMaxRefreshHz, &s.refresh_hz);
    s.has_orientation = r.Has("orientation");
    r.U32("orientation", 3, &s.orientation);
    r.Finish();
    st.pending[number] = s;
  }
  if (!error.empty()) return malformed(error);
  const std::string why = Inconsistency(st);
  if (!why.empty()) return malformed(why);
  state_ = std::move(st);
  return {};
}

SimWorldFileResult SimVddWorld::Load(const std::filesystem::path& folder) {
  const std::filesystem::path path = folder / kWorldFileName;
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(path, ec);
  if (status.type() == std::filesystem::file_type::not_found) return {SimWorldFileStatus::kAbsent, {}};
  if (ec || status.type() != std::filesystem::file_type::regular) {
    return {SimWorldFileStatus::kUnreadable, "not a readable file"};
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return {SimWorldFileStatus::kUnreadable, "cannot be opened"};
  std::string text;
  char chunk[4096];
  for (;;) {
    in.read(chunk, sizeof(chunk));
    const std::streamsize got = in.gcount();
    if (got <= 0) break;
    text.append(chunk, static_cast<size_t>(got));
    if (text.size() > kMaxWorldFileBytes) return {SimWorldFileStatus::kTooLarge, "more than 64 KiB"};
  }
  if (in.bad()) return {SimWorldFileStatus::kUnreadable, "read failed"};
  return FromIni(text);
}

SimWorldFileResult SimVddWorld::Save(const std::filesystem::path& folder) const {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  const std::filesystem::path path = folder / kWorldFileName;
  std::filesystem::path temp = path;
  temp += kTempSuffix;
  int error = 0;
  if (!detail::WriteDurably(temp, ToIni(), &error)) {
    std::filesystem::remove(temp, ec);
    return {SimWorldFileStatus::kWriteFailed,
            "writing the temporary file failed (error " + std::to_string(error) + ")"};
  }
  if (!detail::MoveReplacing(temp, path, &error)) {
    std::filesystem::remove(temp, ec);
    return {SimWorldFileStatus::kWriteFailed, "replacing the file failed (error " + std::to_string(error) + ")"};
  }
  return {};
}

SimWorldLock::SimWorldLock(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  handle_ = detail::LockPath(folder / kWorldLockFileName, &error_);
}

SimWorldLock::~SimWorldLock() {
  if (handle_ != -1) detail::UnlockPath(handle_);
}

}  // namespace orvane::sim_vdd
