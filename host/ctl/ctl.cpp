#include "ctl.h"

#include "host/motion/profile.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

orvane::client& ctl::client()
{
  if (!client_) {
    client_ = std::make_unique<orvane::client>(
        robot, std::chrono::milliseconds(static_cast<int64_t>(timeout * 1000)));
    profile();
    client_->use_model(profile_);
    if (anyway)
      client_->anyway([](const std::string& s) { ctl_note("--anyway: sent although " + s); });
  }
  return *client_;
}

const orvane::robot_model& ctl::profile()
{
  if (!profile_) {
    namespace mo = orvane::motion;
    if (profile_path.empty()) {
      profile_ = std::make_shared<const orvane::robot_model>();  // the joints are the servo ids
    } else {
      try {
        profile_ = std::make_shared<const orvane::robot_model>(mo::profile_load(profile_path));
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
  auto add = [&](int id) {
    if (std::find(ids.begin(), ids.end(), id) == ids.end())
      ids.push_back(id);
  };
  for (const std::string& arg : args) {
    size_t from = 0;
    while (from <= arg.size()) {
      size_t comma = arg.find(',', from);
      std::string part = arg.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
      from = comma == std::string::npos ? arg.size() + 1 : comma + 1;
      if (part.empty())
        continue;
      size_t dash = part.find('-', 1);
      if (dash == std::string::npos || c.profile().find(part)) {
        add(c.profile().servo(part));  // a joint's name or a servo id
        continue;
      }
      int64_t lo = ctl_int(part.substr(0, dash), "servo id"), hi = ctl_int(part.substr(dash + 1), "servo id");
      if (lo > hi)
        throw usage_error("'" + part + "' is not a range of servo ids (low-high)");
      if (lo < 1 || hi > orvane::servo_max)
        throw usage_error("servo ids " + part + " out of range 1..32");
      for (int64_t id = lo; id <= hi; id++)
        add(static_cast<int>(id));
    }
  }
  if (ids.empty())
    throw usage_error("no servo ids given");
  return ids;
}

const orvane::joint* ctl_joint(ctl& c, int id) { return c.profile().named(id); }

std::string ctl_servo(ctl& c, int id)
{
  const orvane::joint* j = ctl_joint(c, id);
  return "servo " + std::to_string(id) + (j ? " (" + j->name + ")" : "");
}

std::string ctl_reading_hint(ctl& c, const orvane::reading_info& r, int id)
{
  std::string s = ctl_servo(c, id), n = std::to_string(id);
  std::string g = std::to_string(r.group);
  switch (r.state) {
    case orvane::reading_state::no_group:
      return s + " is not in a read group, so nobody asks it ('orvane-ctl read " + n + "' puts it in one)";
    case orvane::reading_state::silent:
      return s + " is in read group " + g + " but does not answer (its id, power or wiring?)";
    case orvane::reading_state::behind:
      return s + " waits in read group " + g + " behind servo " + std::to_string(r.blocker) +
             ", which does not answer";
    case orvane::reading_state::never_read:
      return s + " has just joined read group " + g + " and has not been asked yet";
    case orvane::reading_state::comm_off:
      return "servo traffic is off (sv_comm_on 0), so nobody asks " + s + " ('orvane-ctl set sv_comm_on 1')";
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
