#include "host/motion/yaml_util.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "host/motion/profile.h"

namespace orvane::motion {

static std::string join_errors(const std::vector<std::string>& l)
{
  std::string s;
  for (const auto& e : l)
    s += (s.empty() ? "" : "\n") + e;
  return s;
}

mo_errors::mo_errors(std::vector<std::string> l) : std::runtime_error(join_errors(l)), list(std::move(l)) {}

int yaml_line(const YAML::Node& n)
{
  if (!n.IsDefined())
    return 0;
  YAML::Mark m = n.Mark();
  return m.line < 0 ? 0 : m.line + 1;
}

std::string fmt_deg(double d) { return orvane::deg_text(d); }

void yaml_reader::fail_line(int line, const std::string& field, const std::string& what)
{
  std::string at = file;
  if (line > 0)
    at += ":" + std::to_string(line);
  errors.push_back(at + ": " + (field.empty() ? "" : field + ": ") + what);
  lines.push_back(std::max(line, 0));
}

void yaml_reader::fail(const YAML::Node& at, const std::string& field, const std::string& what)
{
  fail_line(yaml_line(at), field, what);
}

YAML::Node yaml_reader::parse(const std::string& text)
{
  try {
    return YAML::Load(text);
  } catch (const YAML::Exception& e) {
    fail_line(e.mark.line + 1, "", "not valid YAML: " + e.msg);
    return YAML::Node();
  }
}

// Numbers as YAML writes them; "nan", "inf" and text are refused.
std::optional<double> yaml_reader::number(const YAML::Node& n, const std::string& field)
{
  if (n.IsScalar()) {
    const std::string& s = n.Scalar();
    char* end = nullptr;
    double v = strtod(s.c_str(), &end);
    if (!s.empty() && *end == '\0' && std::isfinite(v))
      return v;
  }
  fail(n, field, "needs a number");
  return std::nullopt;
}

std::optional<bool> yaml_reader::flag(const YAML::Node& n, const std::string& field)
{
  bool b;
  if (n.IsScalar() && YAML::convert<bool>::decode(n, b))
    return b;
  fail(n, field, "needs true or false");
  return std::nullopt;
}

void yaml_reader::only(const YAML::Node& map, const std::string& field,
                       const std::vector<std::string>& known)
{
  for (const auto& kv : map) {
    std::string k = kv.first.Scalar();
    if (std::find(known.begin(), known.end(), k) == known.end()) {
      std::string list;
      for (const auto& s : known)
        list += (list.empty() ? "" : ", ") + s;
      std::string at = field.empty() ? k : field;
      if (!field.empty())
        at.append(".").append(k);
      fail(kv.first, at, "unknown field (known: " + list + ")");
    }
  }
}

// The checks run field by field, not line by line: a reader reads the list top to bottom.
void yaml_reader::finish()
{
  if (errors.empty())
    return;
  std::vector<size_t> order(errors.size());
  for (size_t i = 0; i < order.size(); i++)
    order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return lines[a] < lines[b]; });
  std::vector<std::string> sorted;
  sorted.reserve(order.size());
  for (size_t i : order)
    sorted.push_back(errors[i]);
  throw mo_errors(sorted);
}

}  // namespace orvane::motion
