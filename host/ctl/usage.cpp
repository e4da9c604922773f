// The command line's mistakes in orvane-ctl's own words: CLI11's parse errors reworded, number
// ranges checked by validators that say what was wrong, and "did you mean" for verbs.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ctl.h"

namespace {

std::string num_text(double v)
{
  char s[32];
  snprintf(s, sizeof s, "%.15g", v);
  return s;
}

std::string after(const std::string& s, const std::string& mark)
{
  size_t at = s.find(mark);
  return at == std::string::npos ? "" : s.substr(at + mark.size());
}

// The first word of `s` that looks like an option ("--ms"), or "".
std::string option_in(const std::string& s)
{
  size_t at = s.find('-');
  while (at != std::string::npos && at > 0 && s[at - 1] != ' ')
    at = s.find('-', at + 1);
  if (at == std::string::npos)
    return "";
  size_t end = s.find_first_of(" ,:", at);
  return s.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::string unknown_verb(const CLI::App& app, const std::string& word)
{
  std::vector<std::string> verbs;
  for (const CLI::App* v : app.get_subcommands([](const CLI::App*) { return true; }))
    verbs.push_back(v->get_name());
  std::string near = orvane::nearest(word, verbs);
  return "unknown verb '" + word + "'" + (near.empty() ? "" : " (did you mean '" + near + "'?)");
}

}  // namespace

CLI::Validator ctl_range(double lo, double hi, bool whole)
{
  std::string range = num_text(lo) + ".." + num_text(hi);
  return CLI::Validator(
      [=](std::string& s) -> std::string {
        char* end = nullptr;
        double v = strtod(s.c_str(), &end);
        if (s.empty() || *end || !std::isfinite(v))
          return "'" + s + "' is not a number";
        if (whole && v != std::floor(v))
          return "'" + s + "' is not a whole number";
        if (v < lo || v > hi)
          return s + " is out of range " + range;
        return "";
      },
      range);
}

std::string ctl_parse_message(const CLI::App& app, const CLI::App& verb, const CLI::ParseError& e)
{
  std::string m = e.what();
  if (dynamic_cast<const CLI::RequiredError*>(&e)) {
    if (m == "A subcommand is required") {
      for (const std::string& w : app.remaining())
        return w[0] == '-' ? "unknown option '" + w + "'" : unknown_verb(app, w);
      return "no verb given";
    }
    std::string name = m.substr(0, m.find(" is required"));
    const CLI::Option* o = verb.get_option_no_throw(name);
    std::string who = &verb == &app ? "orvane-ctl" : verb.get_name();
    return who + " needs " + name + (o && !o->get_description().empty() ? ": " + o->get_description() : "");
  }
  if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
    std::string rest = after(m, "expected: ");
    std::string first = rest.substr(0, rest.find(' '));
    if (!first.empty() && first[0] == '-')
      return "unknown option '" + first + "'";
    if (&verb == &app && !first.empty())
      return unknown_verb(app, first);
    return (rest.find(' ') == std::string::npos ? "unexpected argument '" : "unexpected arguments '") +
           rest + "'";
  }
  if (dynamic_cast<const CLI::ExcludesError*>(&e)) {
    std::string a = m.substr(0, m.find(" excludes ")), b = after(m, " excludes ");
    return a + " and " + b + " exclude each other: give one of them";
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e))
    return option_in(m) + " needs a value";
  if (dynamic_cast<const CLI::ConversionError*>(&e)) {
    if (m.rfind("Could not convert: ", 0) == 0) {
      std::string what = after(m, "Could not convert: ");
      std::string name = what.substr(0, what.find(" = "));
      return name + ": '" + after(what, " = ") + "' is not a value it takes";
    }
    return option_in(m) + " takes no value";
  }
  if (!m.empty() && m[0] >= 'A' && m[0] <= 'Z')
    m[0] = static_cast<char>(m[0] - 'A' + 'a');
  return m;
}

std::string ctl_file_error(const std::string& what, const std::string& path, int err)
{
  return what + " " + path + (err ? std::string(": ") + strerror(err) : "");
}
