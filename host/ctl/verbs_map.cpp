// Verbs on the map by name: fields, get, set, watch, dump.
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>

#include "verbs.h"

namespace {

const char* type_name(const orvane::field& f)
{
  switch (f.type) {
    case orvane::field_type::int_:
      return f.width == 1 ? "int8" : f.width == 2 ? "int16" : "int32";
    case orvane::field_type::uint_:
      return f.width == 1 ? "uint8" : f.width == 2 ? "uint16" : "uint32";
    case orvane::field_type::text:
      return "text";
    case orvane::field_type::bytes:
      return "bytes";
  }
  return "";
}

const char* writer_name(orvane::field_writer w)
{
  switch (w) {
    case orvane::field_writer::host:
      return "host";
    case orvane::field_writer::daemon:
      return "daemon";
    case orvane::field_writer::startup:
      return "start-up";
    case orvane::field_writer::move:
      return "move";
  }
  return "";
}

std::string index_range(const orvane::field& f)
{
  if (!f.indexed())
    return "-";
  return std::to_string(f.first) + ".." + std::to_string(f.last());
}

void list_fields(const ctl& c)
{
  const char* head[] = {"NAME", "OFFSET", "TYPE", "INDEX", "UNIT", "WRITER", "MEANING"};
  std::vector<std::array<std::string, 7>> rows;
  for (auto& f : orvane::fields()) {
    char off[8];
    snprintf(off, sizeof off, "0x%04" PRIX32, f.offset);
    rows.push_back({f.name, off, type_name(f), index_range(f), f.unit.empty() ? "-" : f.unit,
                    writer_name(f.writer), f.meaning});
  }
  if (c.json) {
    nlohmann::json a = nlohmann::json::array();
    for (auto& f : orvane::fields()) {
      nlohmann::json o = {{"name", f.name}, {"offset", f.offset}, {"type", type_name(f)},
                          {"unit", f.unit}, {"writer", writer_name(f.writer)}, {"meaning", f.meaning}};
      o["index"] = f.indexed() ? nlohmann::json::array({f.first, f.last()}) : nlohmann::json(nullptr);
      if (f.type != orvane::field_type::text && f.type != orvane::field_type::bytes)
        o["range"] = {f.min, f.max};
      a.push_back(o);
    }
    return ctl_json(a);
  }
  if (!c.tty) {  // for pipes: tab-separated, no heading
    for (auto& r : rows)
      printf("%s\t%s\t%s\t%s\t%s\t%s\t%s\n", r[0].c_str(), r[1].c_str(), r[2].c_str(),
             r[3].c_str(), r[4].c_str(), r[5].c_str(), r[6].c_str());
    return;
  }
  size_t w[6] = {};
  for (int i = 0; i < 6; i++) {
    w[i] = strlen(head[i]);
    for (auto& r : rows)
      w[i] = std::max(w[i], r[static_cast<size_t>(i)].size());
  }
  auto line = [&](auto&& cell) {
    for (size_t i = 0; i < 6; i++)
      printf("%-*s  ", static_cast<int>(w[i]), cell(i));
    printf("%s\n", cell(6));
  };
  line([&](size_t i) { return head[i]; });
  for (auto& r : rows)
    line([&](size_t i) { return r[i].c_str(); });
  printf("\nArrays take an index: NAME.INDEX (sv_pos.3); '#' in a name is the index (servo.3.goal).\n");
}

// What get and watch show for a name: a field, or with a profile a joint ("elbow" is its
// position, "elbow.goal" its goal, both in joint degrees; "elbow.torque"; "sv_pos.elbow").
std::vector<orvane::named_field> find_items(ctl& c, const std::vector<std::string>& names, bool degrees)
{
  std::vector<orvane::named_field> v;
  v.reserve(names.size());
  for (auto& n : names) {
    v.push_back(c.profile().field(n));  // every name checked before the robot is asked
    if (degrees && !v.back().in_joint)  // a joint is shown in its own degrees anyway
      ctl_check_deg(v.back().ref);
  }
  return v;
}

bool is_position(const orvane::named_field& it) { return it.ref.f->name == "sv_pos"; }

// One item's value as sampled: its text, and for a position or goal its degrees both ways.
struct value {
  std::string text;
  int64_t raw = 0;
  std::optional<double> deg, servo_deg;  // positions and goals; none without a reading
  std::optional<orvane::reading_info> none;  // a position without a reading, and why
};

// Samples every item: positions by the reading rule, from one read of the groups, sv_comm_on
// and the position words, so that a number is shown only for a servo that is asked.
std::vector<value> sample(ctl& c, const std::vector<orvane::named_field>& items, bool degrees)
{
  auto& cl = c.client();
  const orvane::robot_model& m = c.profile();
  bool positions = std::any_of(items.begin(), items.end(), is_position);
  orvane::read_groups g;
  std::vector<int16_t> pos;
  bool comm = true;
  if (positions) {
    g = cl.groups();
    comm = cl.get("sv_comm_on") != 0;
    pos = cl.positions();
  }
  std::vector<value> out;
  for (const orvane::named_field& it : items) {
    value v;
    switch (it.ref.f->type) {
      case orvane::field_type::text:
        v.text = cl.get_text(it.ref.label);
        out.push_back(v);
        continue;
      case orvane::field_type::bytes:
        for (uint8_t b : cl.get_bytes(it.ref.label))
          v.text += (v.text.empty() ? "" : " ") + std::to_string(b);
        out.push_back(v);
        continue;
      default:
        break;
    }
    bool deg_field = it.ref.f->unit == "0.1deg";
    if (is_position(it)) {
      orvane::position p = m.position_of(g, pos, it.ref.index, comm);
      v.raw = pos[static_cast<size_t>(it.ref.index - 1)];
      if (!p.servo_deg) {
        v.none = p.reading;
        v.text = "none";
        out.push_back(v);
        continue;
      }
      v.servo_deg = p.servo_deg;
      v.deg = p.joint_deg;
    } else {
      v.raw = cl.get(it.ref.label);
      if (deg_field) {
        v.servo_deg = orvane::to_degrees(static_cast<int16_t>(v.raw));
        const orvane::joint* j = m.by_id(it.ref.index);
        v.deg = j ? orvane::joint_degrees(*j, *v.servo_deg) + 0.0 : *v.servo_deg;
      }
    }
    char s[32];
    if (it.in_joint)
      snprintf(s, sizeof s, "%.1f", *v.deg);
    else if (degrees && deg_field)
      snprintf(s, sizeof s, "%.1f", *v.servo_deg);
    else
      snprintf(s, sizeof s, "%lld", static_cast<long long>(v.raw));
    v.text = s;
    out.push_back(v);
  }
  return out;
}

void get(ctl& c, const std::vector<std::string>& names, bool degrees)
{
  std::vector<orvane::named_field> items = find_items(c, names, degrees);
  std::vector<value> vals = sample(c, items, degrees);
  if (c.json) {
    nlohmann::json a = nlohmann::json::array();
    for (size_t i = 0; i < items.size(); i++) {
      const value& v = vals[i];
      nlohmann::json o = {{"name", items[i].label}};
      auto t = items[i].ref.f->type;
      if (t == orvane::field_type::text || t == orvane::field_type::bytes)
        o["value"] = v.text;
      else if (v.none) {
        o["value"] = nullptr;
        o["why"] = orvane::reading_name(v.none->state);
      } else if (items[i].in_joint)
        o["value"] = *v.deg;
      else if (degrees && v.servo_deg)
        o["value"] = *v.servo_deg;
      else
        o["value"] = v.raw;
      if (items[i].ref.f->unit == "0.1deg") {  // both units, whichever name was given
        o["deg"] = v.deg ? nlohmann::json(*v.deg) : nlohmann::json(nullptr);
        o["servo_deg"] = v.servo_deg ? nlohmann::json(*v.servo_deg) : nlohmann::json(nullptr);
      }
      a.push_back(o);
    }
    return ctl_json(a);
  }
  std::vector<int> told;
  for (size_t i = 0; i < items.size(); i++) {
    std::string v = vals[i].text;
    if (vals[i].none && c.tty)
      v += " (" + orvane::reading_why(*vals[i].none) + ")";
    if (c.tty && items.size() > 1)
      printf("%s = %s\n", items[i].label.c_str(), v.c_str());
    else
      printf("%s\n", v.c_str());
  }
  for (size_t i = 0; i < items.size(); i++) {
    int id = items[i].ref.index;
    if (vals[i].none && std::find(told.begin(), told.end(), id) == told.end()) {
      told.push_back(id);
      ctl_note("no reading: " + ctl_reading_hint(c, *vals[i].none, id));
    }
  }
}

void set(ctl& c, const std::string& name, const std::vector<std::string>& values, bool degrees)
{
  orvane::named_field n = c.profile().field(name);
  const orvane::field_ref& r = n.ref;
  if (r.f->type == orvane::field_type::text) {
    if (values.size() != 1)
      throw usage_error("'" + r.label + "' takes one text value");
    c.client().set_text(r.label, values[0]);
    return;
  }
  if (r.f->type == orvane::field_type::bytes) {
    std::vector<uint8_t> bytes;
    for (auto& v : values) {
      int64_t b = ctl_int(v, "byte");
      if (b < 0 || b > 255)
        throw orvane::out_of_range("byte " + v + " out of range 0..255");
      bytes.push_back(static_cast<uint8_t>(b));
    }
    c.client().set_bytes(r.label, bytes);
    return;
  }
  if (values.size() != 1)
    throw usage_error("'" + n.label + "' takes one value");
  if (n.in_joint && r.f->name == "sv_pos")
    throw orvane::out_of_range("'" + n.label + "' is the joint's position, read from its servo; '" + n.label +
                               ".goal' moves it");
  int64_t v;
  if (n.in_joint) {  // elbow.goal: joint degrees
    double d = ctl_double(values[0], "degrees");
    double s = orvane::servo_degrees(*n.in_joint, d);
    if (!(std::abs(s) <= orvane::degrees_max))
      throw orvane::beyond_limits({c.profile().joint_refusal(*n.in_joint, d)});
    v = orvane::to_units(s);
  } else if (degrees) {
    ctl_check_deg(r);
    double d = ctl_double(values[0], "degrees");
    if (!(std::abs(d) <= orvane::degrees_max))
      throw orvane::out_of_range("goal " + values[0] + " degrees out of range -150.0..150.0");
    v = orvane::to_units(d);
  } else if (r.f->unit == "0.1deg") {
    try {
      v = ctl_int(values[0], "value");
    } catch (const usage_error& e) {  // 150.5 is surely meant in degrees
      throw usage_error(std::string(e.what()) + "; '" + r.label +
                        "' counts 0.1 degrees: give --deg for degrees");
    }
  } else {
    v = ctl_int(values[0], "value");
  }
  c.client().set(r.label, v);
}

volatile sig_atomic_t interrupted = 0;

void watch(ctl& c, const std::vector<std::string>& names, bool degrees, double interval,
           int count)
{
  std::vector<orvane::named_field> refs = find_items(c, names, degrees);
  std::map<int, std::string> told;  // the reason last said on standard error, per servo
  struct sigaction sa {};
  sa.sa_handler = [](int) { interrupted = 1; };
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  auto t0 = std::chrono::steady_clock::now();
  auto step = std::chrono::microseconds(static_cast<int64_t>(interval * 1e6));
  auto next = t0;
  if (!c.tty) {
    printf("# seconds");
    for (auto& r : refs)
      printf("\t%s", r.label.c_str());
    printf("\n");
  }
  for (int n = 0; !interrupted && (count <= 0 || n < count); n++) {
    std::vector<value> vals = sample(c, refs, degrees);
    // A missing reading says why: in place on a terminal, once per change of reason otherwise.
    for (size_t i = 0; i < refs.size(); i++) {
      if (!vals[i].none)
        continue;
      if (c.tty)
        vals[i].text += " (" + orvane::reading_why(*vals[i].none) + ")";
      int id = refs[i].ref.index;
      std::string text = ctl_reading_hint(c, *vals[i].none, id);
      if (!c.tty && told[id] != text)
        ctl_note("no reading: " + text);
      told[id] = text;
    }
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (c.tty) {
      // Redraw in place: back to the first line of the last sample, then each line cleared.
      if (n > 0)
        printf("\x1b[%zuA", refs.size());
      for (size_t i = 0; i < refs.size(); i++)
        printf("\r\x1b[K%-20s %s\n", refs[i].label.c_str(), vals[i].text.c_str());
    } else {
      printf("%.3f", t);
      for (auto& v : vals)
        printf("\t%s", v.text.c_str());
      printf("\n");
    }
    fflush(stdout);
    next += step;
    auto now = std::chrono::steady_clock::now();
    if (next > now && !interrupted)
      poll(nullptr, 0,
           static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count()));
    else
      next = now;
  }
}

// The fields a stretch of the map holds, shortened: "sv_pos.1..8 ttime".
std::string fields_in(uint32_t from, uint32_t to)
{
  std::string out, name, first, last;
  auto flush = [&] {
    if (name.empty())
      return;
    out += (out.empty() ? "" : " ") + first;
    if (last != first)
      out += ".." + last.substr(last.rfind('.') + 1);
    name.clear();
  };
  for (uint32_t a = from; a < to; a++) {
    std::string l = orvane::label_at(a);
    if (l.empty() || l.find('+') != std::string::npos)
      continue;  // a free byte, or the inside of a field
    std::string n = l.substr(0, l.find('.'));
    if (n != name) {
      flush();
      name = n;
      first = l;
    }
    last = l;
  }
  flush();
  return out;
}

void dump(ctl& c, const std::string& adr_s, const std::string& len_s)
{
  int64_t adr = adr_s.empty() ? 0 : ctl_int(adr_s, "address");
  int64_t len = len_s.empty() ? orvane::map_size - adr : ctl_int(len_s, "length");
  if (adr < 0 || len < 0 || adr >= orvane::map_size || len > orvane::map_size - adr)
    throw orvane::out_of_range("dump " + adr_s + " " + len_s + " reaches beyond the map (0..0xFFF)");
  auto bytes = c.client().read(static_cast<uint32_t>(adr), static_cast<uint32_t>(len));
  bool skipped = false;
  for (int64_t at = adr; at < adr + len;) {
    int64_t line_end = std::min<int64_t>((at / 16 + 1) * 16, adr + len);
    std::string names = fields_in(static_cast<uint32_t>(at), static_cast<uint32_t>(line_end));
    bool zero = std::all_of(bytes.begin() + (at - adr), bytes.begin() + (line_end - adr),
                            [](uint8_t b) { return b == 0; });
    if (zero && names.empty() && adr_s.empty()) {  // whole-map dumps skip free zero lines
      if (!skipped)
        printf("*\n");
      skipped = true;
      at = line_end;
      continue;
    }
    skipped = false;
    printf("%04" PRIx64 " ", at - at % 16);
    for (int64_t a = at - at % 16; a < at - at % 16 + 16; a++) {
      if (a < at || a >= line_end)
        printf("   ");
      else
        printf(" %02x", bytes[static_cast<size_t>(a - adr)]);
    }
    printf("%s%s\n", names.empty() ? "" : "  ", names.c_str());
    at = line_end;
  }
}

}  // namespace

void ctl_map_verbs(CLI::App& app, ctl& c)
{
  ctl_verb(app, c, "fields", "List the map's fields", "fields", [&c] { list_fields(c); });

  static std::vector<std::string> names;
  static bool degrees = false;
  auto* g = ctl_verb(app, c, "get", "Print fields' values, one per line",
                     "get [--deg] NAME[.INDEX]...", [&c] { get(c, names, degrees); });
  g->add_option("names", names, "field names, e.g. tick_period sv_pos.1 servo.3.goal, or with "
                "--profile elbow elbow.goal sv_pos.elbow")
      ->required();
  g->add_flag("--deg", degrees, "show positions and goals in degrees (fields in 0.1 degrees only)");

  static std::string set_name;
  static std::vector<std::string> set_values;
  static bool set_deg = false;
  auto* s = ctl_verb(app, c, "set", "Set a field", "set [--deg] NAME[.INDEX] VALUE...",
                     [&c] { set(c, set_name, set_values, set_deg); });
  s->add_option("name", set_name, "field name")->required();
  s->add_option("value", set_values, "value (text for robot_name, bytes for rd_group)")
      ->required();
  s->add_flag("--deg", set_deg, "VALUE in degrees, for goals (a joint's goal is in its degrees anyway)");

  static std::vector<std::string> watch_names;
  static bool watch_deg = false;
  static double interval = 0.1;
  static int count = 0;
  auto* w = ctl_verb(app, c, "watch", "Show fields as they change (Ctrl-C ends)",
                     "watch [--deg] [--interval S] [--count N] NAME[.INDEX]...",
                     [&c] { watch(c, watch_names, watch_deg, interval, count); });
  w->add_option("names", watch_names, "field names")->required();
  w->add_flag("--deg", watch_deg, "show positions and goals in degrees");
  w->add_option("--interval", interval, "seconds between samples (default 0.1)")
      ->check(ctl_range(0.001, 3600.0));
  w->add_option("--count", count, "stop after N samples")->check(ctl_range(0, INT32_MAX, true));

  static std::string adr, len;
  auto* d = ctl_verb(app, c, "dump", "Hex dump of the map, with field names",
                     "dump [ADR [LEN]]", [&c] { dump(c, adr, len); });
  d->add_option("adr", adr, "first byte (0x... for hexadecimal; default 0, the whole map)");
  d->add_option("len", len, "number of bytes (default: to the map's end)");
}
