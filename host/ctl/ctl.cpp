#include "ctl.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

orvane::client& ctl::client()
{
  if (!client_)
    client_ = std::make_unique<orvane::client>(
        robot, std::chrono::milliseconds(static_cast<int64_t>(timeout * 1000)));
  return *client_;
}

CLI::App* ctl_verb(CLI::App& app, ctl& c, const char* name, const char* help, const char* usage,
                   std::function<void()> run)
{
  CLI::App* v = app.add_subcommand(name, help);
  c.usage[v] = usage;
  v->callback([&c, run = std::move(run)] { c.run = run; });
  return v;
}

std::string ctl_value(const orvane::field_ref& r, int64_t v, bool degrees)
{
  if (r.f->name == "sv_pos" && v == orvane::no_reading)
    return "none";
  if (degrees && r.f->unit == "0.1deg") {
    char s[32];
    snprintf(s, sizeof s, "%.1f", static_cast<double>(v) / 10.0);
    return s;
  }
  return std::to_string(v);
}

int64_t ctl_int(const std::string& text, const std::string& what)
{
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(text.c_str(), &end, 0);
  if (text.empty() || *end || errno)
    throw usage_error(what + " '" + text + "' is not a whole number");
  return v;
}

double ctl_double(const std::string& text, const std::string& what)
{
  char* end = nullptr;
  double v = strtod(text.c_str(), &end);
  if (text.empty() || *end || !std::isfinite(v))
    throw usage_error(what + " '" + text + "' is not a number");
  return v;
}

void ctl_warn(const std::string& text) { fprintf(stderr, "orvane-ctl: warning: %s\n", text.c_str()); }

void ctl_check_deg(const orvane::field_ref& r)
{
  if (r.f->unit != "0.1deg")
    throw usage_error("--deg applies to fields in 0.1 degrees, not to '" + r.label + "'");
}
