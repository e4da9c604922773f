// The field table: parsed once from the text of host/client/fields.tsv that the build compiles in,
// then read-only (a function-local static, so any thread may use it).
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>

#include "orvane.h"

namespace orvane {

namespace {

const char fields_tsv[] =
#include "fields_tsv.inc"
    ;

std::vector<std::string> split(const std::string& line, char sep)
{
  std::vector<std::string> out;
  size_t from = 0;
  for (;;) {
    size_t at = line.find(sep, from);
    out.push_back(line.substr(from, at - from));
    if (at == std::string::npos)
      return out;
    from = at + 1;
  }
}

int64_t type_min(field_type t, uint32_t width)
{
  if (t != field_type::int_)
    return 0;
  return -(int64_t{1} << (8 * width - 1));
}

int64_t type_max(field_type t, uint32_t width)
{
  if (t == field_type::int_)
    return (int64_t{1} << (8 * width - 1)) - 1;
  return (int64_t{1} << (8 * width)) - 1;
}

// A fault in the table is a fault of the build, found by the table's tests on first use.
[[noreturn]] void table_fault(const std::string& line, const char* why)
{
  throw std::logic_error("host/client/fields.tsv: " + std::string(why) + ": " + line);
}

// The value a table column names, from its list of (word, value).
template <class T, size_t N>
T named(const std::pair<const char*, T> (&list)[N], const std::string& word, const std::string& line,
        const char* unknown)
{
  for (const auto& [w, v] : list)
    if (word == w)
      return v;
  table_fault(line, unknown);
}

field parse_row(const std::string& line)
{
  auto c = split(line, '\t');
  if (c.size() != 12)
    table_fault(line, "a row needs 12 tab-separated columns");
  auto num = [&](const std::string& s, int base) {
    char* end = nullptr;
    long long v = strtoll(s.c_str(), &end, base);
    if (s.empty() || *end)
      table_fault(line, "not a number");
    return static_cast<int64_t>(v);
  };
  field f;
  f.name = c[0];
  f.offset = static_cast<uint32_t>(num(c[1], 16));
  static const std::pair<const char*, field_type> types[] = {
      {"int", field_type::int_}, {"uint", field_type::uint_},
      {"text", field_type::text}, {"bytes", field_type::bytes}};
  f.type = named(types, c[2], line, "unknown type");
  f.width = static_cast<uint32_t>(num(c[3], 10));
  f.count = static_cast<uint32_t>(num(c[4], 10));
  f.stride = static_cast<uint32_t>(num(c[5], 10));
  f.first = static_cast<int>(num(c[6], 10));
  bool numeric = f.type == field_type::int_ || f.type == field_type::uint_;
  if (numeric && f.width != 1 && f.width != 2 && f.width != 4)
    table_fault(line, "integers are 1, 2 or 4 bytes wide");
  f.min = c[7] == "-" ? (numeric ? type_min(f.type, f.width) : 0) : num(c[7], 10);
  f.max = c[8] == "-" ? (numeric ? type_max(f.type, f.width) : 255) : num(c[8], 10);
  f.unit = c[9] == "-" ? "" : c[9];
  static const std::pair<const char*, field_writer> writers[] = {
      {"host", field_writer::host}, {"daemon", field_writer::daemon},
      {"start-up", field_writer::startup}, {"move", field_writer::move}};
  f.writer = named(writers, c[10], line, "unknown writer");
  f.meaning = c[11];
  if (f.count == 0 || f.width == 0 || (f.count > 1 && f.stride < f.width) ||
      f.offset + (f.count - 1) * f.stride + f.width > map_size)
    table_fault(line, "the field does not fit the map");
  return f;
}

std::vector<field> parse_table()
{
  std::vector<field> out;
  std::istringstream in(fields_tsv);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#')
      continue;
    out.push_back(parse_row(line));
  }
  return out;
}

// Edit distance with adjacent swaps, for "did you mean".
size_t distance(std::string_view a, std::string_view b)
{
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); i++)
    d[i][0] = i;
  for (size_t j = 0; j <= b.size(); j++)
    d[0][j] = j;
  for (size_t i = 1; i <= a.size(); i++)
    for (size_t j = 1; j <= b.size(); j++) {
      size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

bool all_digits(std::string_view s)
{
  return !s.empty() && s.size() <= 9 &&
         std::all_of(s.begin(), s.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
}

std::string with_index(const field& f, int index)
{
  size_t hash = f.name.find('#');
  if (hash != std::string::npos)
    return f.name.substr(0, hash) + std::to_string(index) + f.name.substr(hash + 1);
  return f.count > 1 ? f.name + "." + std::to_string(index) : f.name;
}

}  // namespace

unknown_field::unknown_field(const std::string& n, std::string s)
    : error("unknown field '" + n + "'" + (s.empty() ? "" : " (did you mean '" + s + "'?)")),
      name(n),
      suggestion(std::move(s))
{
}

uint32_t field::offset_of(int index) const
{
  return offset + static_cast<uint32_t>(index - first) * stride;
}

int field::channel_of(int index) const
{
  return static_cast<int>((offset_of(index) - 0x0C00) / 2);
}

const std::vector<field>& fields()
{
  static const std::vector<field> table = parse_table();
  return table;
}

const field* find_field(std::string_view name)
{
  for (auto& f : fields())
    if (f.name == name)
      return &f;
  return nullptr;
}

// Names with a number among their dot-separated parts match the table's '#' pattern
// ("servo.3.goal" is "servo.#.goal" index 3); a trailing number indexes an array ("sv_pos.3").
field_ref resolve(std::string_view name, std::optional<int> index)
{
  auto parts = split(std::string(name), '.');
  const field* f = nullptr;
  std::optional<int> named;
  for (size_t i = 0; i < parts.size() && !f; i++) {
    if (!all_digits(parts[i]))
      continue;
    auto pattern = parts;
    pattern[i] = "#";
    std::string joined;
    for (auto& p : pattern)
      joined += (joined.empty() ? "" : ".") + p;
    if ((f = find_field(joined)))
      named = static_cast<int>(strtol(parts[i].c_str(), nullptr, 10));
  }
  if (!f && parts.size() == 2 && all_digits(parts[1])) {
    f = find_field(parts[0]);
    if (f && !f->indexed())
      throw out_of_range("'" + f->name + "' takes no index");
    if (f && f->name.find('#') == std::string::npos)
      named = static_cast<int>(strtol(parts[1].c_str(), nullptr, 10));
    else
      f = nullptr;
  }
  if (!f)
    f = find_field(name);
  if (!f || (f->name.find('#') != std::string::npos && !named && !index))
    throw unknown_field(std::string(name), suggest(name));
  if (named && index)
    throw out_of_range("'" + std::string(name) + "' already has an index");
  if (named)
    index = named;
  if (!f->indexed()) {
    if (index)
      throw out_of_range("'" + f->name + "' takes no index");
    index = f->first;
  } else if (!index) {
    throw out_of_range("'" + f->name + "' needs an index (" + std::to_string(f->first) + ".." +
                       std::to_string(f->last()) + ")");
  } else if (*index < f->first || *index > f->last()) {
    throw out_of_range("index " + std::to_string(*index) + " of '" + f->name +
                       "' out of range " + std::to_string(f->first) + ".." +
                       std::to_string(f->last()));
  }
  return {f, *index, f->offset_of(*index), with_index(*f, *index)};
}

std::string nearest(std::string_view word, const std::vector<std::string>& choices)
{
  std::string best;
  size_t best_d = std::numeric_limits<size_t>::max();
  for (auto& c : choices) {
    size_t d = distance(word, c);
    if (d < best_d) {
      best_d = d;
      best = c;
    }
  }
  // Close enough: at most a third of the word wrong, and never more than three edits.
  return best_d <= std::min<size_t>(3, std::max<size_t>(1, word.size() / 3)) ? best : "";
}

std::string suggest(std::string_view name)
{
  // Compare with the index put where the table has it, so "servo.3.gaol" finds "servo.3.goal".
  std::vector<std::string> cands;
  auto parts = split(std::string(name), '.');
  std::string index = "0";
  for (auto& p : parts)
    if (all_digits(p))
      index = p;
  for (auto& f : fields()) {
    std::string cand = f.name;
    size_t hash = cand.find('#');
    if (hash != std::string::npos)
      cand.replace(hash, 1, index);
    else if (f.count > 1 && name.find('.') != std::string_view::npos)
      cand += "." + index;
    cands.push_back(cand);
  }
  return nearest(name, cands);
}

std::string label_at(uint32_t offset)
{
  for (auto& f : fields()) {
    if (f.writer == field_writer::move)
      continue;  // views of ip_out; the map's own name comes first
    for (uint32_t i = 0; i < f.count; i++) {
      uint32_t at = f.offset + i * f.stride;
      if (offset >= at && offset < at + f.width) {
        std::string l = with_index(f, f.first + static_cast<int>(i));
        return offset == at ? l : l + "+" + std::to_string(offset - at);
      }
    }
  }
  return "";
}

int64_t decode(const field& f, const uint8_t* at)
{
  uint64_t v = 0;
  for (uint32_t i = 0; i < f.width && i < 8; i++)
    v |= static_cast<uint64_t>(at[i]) << (8 * i);
  if (f.type == field_type::int_ && f.width < 8 && (v >> (8 * f.width - 1)) & 1)
    return static_cast<int64_t>(v) - (int64_t{1} << (8 * f.width));
  return static_cast<int64_t>(v);
}

std::string decode_text(const field& f, const uint8_t* at)
{
  std::string s;
  for (uint32_t i = 0; i < f.width && at[i]; i++)
    s += static_cast<char>(at[i]);
  return s;
}

int16_t to_units(double degrees) { return static_cast<int16_t>(std::lround(degrees * 10.0)); }

double to_degrees(int16_t units) { return units / 10.0; }

}  // namespace orvane
