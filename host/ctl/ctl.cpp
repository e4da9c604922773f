#include "ctl.h"

#include <algorithm>
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

const orvane::motion::profile& ctl::profile()
{
  if (!profile_) {
    namespace mo = orvane::motion;
    if (profile_path.empty()) {
      profile_ = std::make_unique<mo::profile>();  // no joints: ids stay ids
    } else {
      try {
        profile_ = std::make_unique<mo::profile>(mo::profile_load(profile_path));
      } catch (const mo::mo_errors& e) {
        if (e.list.size() == 1)
          throw orvane::error(e.list[0]);
        for (const auto& l : e.list)
          fprintf(stderr, "orvane-ctl: %s\n", l.c_str());
        throw orvane::error(profile_path + ": " + std::to_string(e.list.size()) + " problems");
      }
    }
  }
  return *profile_;
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

void ctl_note(const std::string& text) { fprintf(stderr, "orvane-ctl: %s\n", text.c_str()); }

void ctl_json(const nlohmann::json& j)
{
  printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

std::vector<int> ctl_ids(ctl& c, const std::vector<std::string>& args)
{
  std::vector<int> ids;
  auto add = [&](int64_t id, const std::string& as) {
    if (id < 1 || id > orvane::servo_max)
      throw usage_error("servo id " + as + " out of range 1..32");
    if (std::find(ids.begin(), ids.end(), id) == ids.end())
      ids.push_back(static_cast<int>(id));
  };
  for (const std::string& arg : args) {
    size_t from = 0;
    while (from <= arg.size()) {
      size_t comma = arg.find(',', from);
      std::string part = arg.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
      from = comma == std::string::npos ? arg.size() + 1 : comma + 1;
      if (part.empty())
        continue;
      if (const orvane::motion::joint* j = c.profile().find(part)) {
        add(j->id, part);
        continue;
      }
      size_t dash = part.find('-', 1);
      if (dash == std::string::npos) {
        add(ctl_int(part, "servo id"), part);
        continue;
      }
      int64_t lo = ctl_int(part.substr(0, dash), "servo id"), hi = ctl_int(part.substr(dash + 1), "servo id");
      if (lo > hi)
        throw usage_error("'" + part + "' is not a range of servo ids (low-high)");
      if (lo < 1 || hi > orvane::servo_max)
        throw usage_error("servo ids " + part + " out of range 1..32");
      for (int64_t id = lo; id <= hi; id++)
        add(id, std::to_string(id));
    }
  }
  if (ids.empty())
    throw usage_error("no servo ids given");
  return ids;
}

const orvane::motion::joint* ctl_joint(ctl& c, int id)
{
  return c.profile().file.empty() ? nullptr : c.profile().by_id(id);
}

std::string ctl_field_name(ctl& c, const std::string& name)
{
  if (c.profile().file.empty())
    return name;
  for (const auto& j : c.profile().joints) {
    for (const char* view : {"servo.", "sv_pos."}) {
      std::string v = view;
      if (name.rfind(v + j.name, 0) != 0)
        continue;
      std::string rest = name.substr(v.size() + j.name.size());
      if (rest.empty() || rest[0] == '.')
        return (v + std::to_string(j.id)).append(rest);
    }
  }
  return name;
}

std::string ctl_reading_hint(const orvane::reading_info& r, int id)
{
  std::string s = std::to_string(id);
  switch (r.state) {
    case orvane::reading_state::no_group:
      return "servo " + s + " is in no read group, so nobody asks it ('orvane-ctl read " + s +
             "' puts it in one)";
    case orvane::reading_state::silent:
      return "servo " + s + " is in read group " + std::to_string(r.group) +
             " but does not answer (its id, power or wiring?)";
    case orvane::reading_state::behind:
      return "servo " + s + " waits in read group " + std::to_string(r.group) + " behind servo " +
             std::to_string(r.blocker) + ", which does not answer";
    case orvane::reading_state::never_read:
      return "servo " + s + " has just joined read group " + std::to_string(r.group) +
             " and has not been asked yet";
    case orvane::reading_state::comm_off:
      return "servo traffic is off (sv_comm_on 0), so nobody asks it ('orvane-ctl set sv_comm_on 1')";
    case orvane::reading_state::valid:
      break;
  }
  return "";
}

void ctl_check_deg(const orvane::field_ref& r)
{
  if (r.f->unit != "0.1deg")
    throw usage_error("--deg applies to fields in 0.1 degrees, not to '" + r.label + "'");
}
