// Verbs about the robot as a whole: info (what it is and how it runs), scan (which servo ids
// answer) and read (which servos' positions are read).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "verbs.h"

namespace {

using clk = std::chrono::steady_clock;

constexpr uint32_t rd_group_adr = 0x00C0, sv_pos_adr = 0x0D80;
// Put into the position word of each id scan asks, as read_servos does: the servo exchange
// replaces it with the servo's position or with 0x8000 once it has asked, so a word still
// holding it was not asked yet.
constexpr int16_t scan_mark = orvane::not_read_yet;

std::atomic<bool> interrupted{false};

void catch_interrupt()
{
  struct sigaction sa {};
  sa.sa_handler = [](int) { interrupted = true; };
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

std::string ids_text(const std::vector<int>& ids, const char* none = "-")
{
  std::string s;
  for (int id : ids)
    s += (s.empty() ? "" : " ") + std::to_string(id);
  return s.empty() ? none : s;
}

std::string joint_name(ctl& c, int id)
{
  const orvane::joint* j = ctl_joint(c, id);
  return j ? j->name : "";
}

// ---- info

// The daemon's name and version and its build time from the banner "#orvane-6 (Feb 23 2015 ...)".
std::pair<std::string, std::string> banner_parts(const std::string& b)
{
  std::string s = b.substr(b.empty() || b[0] != '#' ? 0 : 1);
  size_t open = s.find(" ("), close = s.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open)
    return {s, ""};
  return {s.substr(0, open), s.substr(open + 2, close - open - 2)};
}

// Passes per second from loop_count over a short interval, timed from the middle of each read.
double loop_rate(orvane::client& cl)
{
  auto sample = [&] {
    auto t0 = clk::now();
    auto n = static_cast<uint32_t>(cl.get("loop_count"));
    return std::make_pair(t0 + (clk::now() - t0) / 2, n);
  };
  auto [t0, n0] = sample();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto [t1, n1] = sample();
  return (n1 - n0) / std::chrono::duration<double>(t1 - t0).count();
}

void info(ctl& c)
{
  auto& cl = c.client();
  const orvane::robot_model& m = c.profile();
  auto [daemon, built] = banner_parts(cl.banner());
  std::string name = cl.get_text("robot_name");
  int64_t tick = cl.get("tick_period");
  std::vector<int> wr = cl.write_list();
  orvane::read_groups g = cl.groups();
  bool torque = cl.get("sv_torque_on") != 0, comm = cl.get("sv_comm_on") != 0;
  auto pos = cl.positions();
  auto outs = cl.read(orvane::resolve("ip_out", 0).offset, 2 * orvane::channels);
  auto out = [&](int ch) { return static_cast<int16_t>(outs[2 * size_t(ch)] | outs[2 * size_t(ch) + 1] << 8); };
  double rate = loop_rate(cl);

  // Each servo of the write list and of the groups: its reading (or why it has none), its goal
  // and its own torque value.
  std::vector<int> servos = wr;
  for (auto& ids : g)
    for (int id : ids)
      if (std::find(servos.begin(), servos.end(), id) == servos.end())
        servos.push_back(id);
  std::erase_if(servos, [](int id) { return id < 1 || id > orvane::servo_max; });
  auto listed = [&](int id) { return std::find(wr.begin(), wr.end(), id) != wr.end(); };
  auto own_torque = [&](int id) { return out(orvane::servo_max + id) & 0xff; };
  int holding = static_cast<int>(std::count_if(wr.begin(), wr.end(), [&](int id) {
    return id >= 1 && id <= orvane::servo_max && own_torque(id) != 0;
  }));

  if (c.json) {
    nlohmann::json sv = nlohmann::json::array();
    for (int id : servos) {
      orvane::position p = m.position_of(g, pos, id, comm);
      const orvane::joint* j = m.by_id(id);
      double goal = orvane::to_degrees(out(id));
      nlohmann::json o = {{"id", id}, {"reading", orvane::reading_name(p.reading.state)}};
      o["deg"] = p.joint_deg ? nlohmann::json(*p.joint_deg) : nlohmann::json(nullptr);
      o["servo_deg"] = p.servo_deg ? nlohmann::json(*p.servo_deg) : nlohmann::json(nullptr);
      o["position"] = o["servo_deg"];  // as before the model: the servo's degrees
      if (!p.servo_deg)
        o["why"] = orvane::reading_why(p.reading);
      o["goal_deg"] = j ? orvane::joint_degrees(*j, goal) + 0.0 : goal;
      o["goal_servo_deg"] = goal;
      o["torque"] = own_torque(id);
      o["write_list"] = listed(id);
      if (auto jn = joint_name(c, id); !jn.empty())
        o["joint"] = jn;
      sv.push_back(o);
    }
    nlohmann::json groups = nlohmann::json::array();
    for (auto& ids : g)
      groups.push_back(ids);
    return ctl_json({{"robot", cl.robot()}, {"daemon", daemon}, {"built", built},
                     {"name", name}, {"tick_period", tick}, {"loop_rate", rate},
                     {"write_list", wr}, {"read_groups", groups}, {"torque_on", torque},
                     {"servos_holding", holding}, {"comm_on", comm}, {"servos", sv}});
  }
  char rate_s[64];
  snprintf(rate_s, sizeof rate_s, "%.1f passes/s (tick %.1f Hz)", rate, tick > 0 ? 1e6 / static_cast<double>(tick) : 0.0);
  std::vector<std::pair<std::string, std::string>> rows = {
      {"robot", cl.robot()},
      {"daemon", daemon + (built.empty() ? "" : ", built " + built)},
      {"name", name},
      {"tick_period", std::to_string(tick) + " us"},
      {"loop rate", rate_s},
      {"write list", ids_text(wr)},
  };
  if (m.profiled())
    rows.push_back({"profile", m.file});
  for (size_t i = 0; i < g.size(); i++)
    rows.push_back({"read group " + std::to_string(i), g[i].empty() ? "not polled" : ids_text(g[i])});
  // The switch alone says little: a servo holds only with a torque value of its own.
  std::string tq = !torque ? "off for every servo (sv_torque_on 0)"
                   : holding == 0 ? "switched on (sv_torque_on), but every servo's own torque is 0: all limp"
                                  : "on (sv_torque_on): " + std::to_string(holding) + " of " +
                                        std::to_string(wr.size()) + " listed servos hold their goals";
  rows.push_back({"torque", tq});
  rows.push_back({"servo traffic", comm ? "on" : "off (sv_comm_on 0)"});
  for (int id : servos) {
    orvane::position p = m.position_of(g, pos, id, comm);
    const orvane::joint* j = ctl_joint(c, id);
    char v[96];
    std::string where;
    if (!p.servo_deg)
      where = "no reading: " + orvane::reading_why(p.reading);
    else if (j)
      snprintf(v, sizeof v, "%.1f deg (servo %.1f)", *p.joint_deg, *p.servo_deg), where = v;
    else
      snprintf(v, sizeof v, "%.1f deg", *p.servo_deg), where = v;
    std::string state = !listed(id) ? "not in the write list"
                        : own_torque(id) == 0 ? "torque 0 (limp)"
                                              : "torque " + std::to_string(own_torque(id));
    std::string name = "servo " + std::to_string(id);
    if (j)
      name += " " + j->name;
    std::string text = where;
    text += ", ";
    text += state;
    rows.push_back({name, text});
  }
  for (auto& [k, v] : rows)
    printf(c.tty ? "%-16s %s\n" : "%s\t%s\n", k.c_str(), v.c_str());
}

// ---- scan

// Puts the read groups and any position word scan left marked back as they were, when it goes
// out of scope: after the scan, an error, or Ctrl-C.
class scan_guard {
 public:
  explicit scan_guard(orvane::client& cl) : cl_(cl)
  {
    groups_ = cl_.read(rd_group_adr, 64);
    pos_ = cl_.read(sv_pos_adr, 64);
  }
  ~scan_guard()
  {
    try {
      put_back();
    } catch (const orvane::error& e) {
      ctl_warn(std::string("could not put the read groups back: ") + e.what() +
               "; they were: " + groups_text());
    }
  }
  scan_guard(const scan_guard&) = delete;
  scan_guard& operator=(const scan_guard&) = delete;
  const std::vector<uint8_t>& positions() const { return pos_; }

 private:
  void put_back()
  {
    if (!cl_.connected())
      cl_.reconnect();  // a time-out closed it; the groups must still go back
    cl_.write(rd_group_adr, groups_);
    auto now = cl_.read(sv_pos_adr, 64);
    for (uint32_t i = 0; i < 32; i++) {
      auto w = static_cast<int16_t>(now[size_t{2} * i] | now[size_t{2} * i + 1] << 8);
      if (w == scan_mark)
        cl_.write(sv_pos_adr + 2 * i, {pos_[size_t{2} * i], pos_[size_t{2} * i + 1]});
    }
  }
  std::string groups_text() const
  {
    std::string s;
    for (size_t g = 0; g < 4; g++) {
      s += (g ? "; " : "") + std::string("rd_group.") + std::to_string(g);
      for (size_t k = 0; k < 16; k++)
        s += " " + std::to_string(groups_[16 * g + k]);
    }
    return s;
  }

  orvane::client& cl_;
  std::vector<uint8_t> groups_, pos_;
};

struct scan_result {
  std::vector<int> asked, answer, silent;
  std::vector<int16_t> pos;  // 32 words, servo 1 first
  double seconds = 0;
};

// Asks each id through the read groups: every id still to be decided goes into the groups,
// its position word marked; the exchange replaces the mark with a position (it answered) or
// with 0x8000 (silent). Decided ids leave the groups, since a group stops at a silent servo.
scan_result scan_ids(ctl& c, const std::vector<int>& ids)
{
  auto& cl = c.client();
  if (cl.get("sv_comm_on") == 0)
    throw orvane::error("servo traffic is off (sv_comm_on 0): nothing can answer a scan");
  auto t0 = clk::now();
  catch_interrupt();
  scan_guard guard(cl);
  scan_result r;
  r.asked = ids;
  std::vector<int> pending = ids;
  uint8_t mark[2] = {static_cast<uint8_t>(scan_mark & 0xff), static_cast<uint8_t>((scan_mark >> 8) & 0xff)};
  for (int id : ids)
    cl.write(sv_pos_adr + 2 * static_cast<uint32_t>(id - 1), {mark[0], mark[1]});
  // A silent id costs the line's 0.1 s time-out: allow every pending id that, and some ticks.
  auto patience = std::chrono::milliseconds(static_cast<int64_t>(c.timeout * 1000));
  std::vector<int16_t> pos;
  while (!pending.empty()) {
    orvane::read_groups g = orvane::groups_layout(pending, orvane::group_room);
    cl.set_groups(g);
    auto stall = clk::now() + patience;
    size_t before = pending.size();
    while (pending.size() == before) {
      if (interrupted)
        throw orvane::error("interrupted: scan stopped, the read groups put back as they were");
      if (clk::now() > stall)
        throw orvane::timeout_error("no servo was asked within " + std::to_string(c.timeout) +
                                    " s: does the robot's servo thread run?");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      pos = cl.positions();
      std::erase_if(pending, [&](int id) { return pos[static_cast<size_t>(id - 1)] != scan_mark; });
    }
  }
  pos = cl.positions();
  for (int id : ids)
    (pos[static_cast<size_t>(id - 1)] == orvane::no_reading ? r.silent : r.answer).push_back(id);
  r.pos = pos;
  r.seconds = std::chrono::duration<double>(clk::now() - t0).count();
  return r;
}

void scan(ctl& c, const std::vector<std::string>& args)
{
  std::vector<int> ids = ctl_ids(c, args.empty() ? std::vector<std::string>{"1-32"} : args);
  scan_result r = scan_ids(c, ids);
  std::vector<int> wr = c.client().write_list();
  auto in_wr = [&](int id) { return std::find(wr.begin(), wr.end(), id) != wr.end(); };
  if (c.json) {
    nlohmann::json a = nlohmann::json::array();
    for (int id : r.answer) {
      double s = orvane::to_degrees(r.pos[static_cast<size_t>(id - 1)]);
      const orvane::joint* j = ctl_joint(c, id);
      nlohmann::json o = {{"id", id}, {"position", s}, {"servo_deg", s},
                          {"deg", j ? orvane::joint_degrees(*j, s) + 0.0 : s}, {"write_list", in_wr(id)}};
      if (j)
        o["joint"] = j->name;
      a.push_back(o);
    }
    return ctl_json({{"asked", r.asked}, {"answer", a}, {"silent", r.silent}});
  }
  if (!c.tty) {  // for pipes: the ids that answer, one per line
    for (int id : r.answer)
      printf("%d\n", id);
    return;
  }
  printf("%-4s %-12s %-10s %s\n", "ID", "JOINT", "POSITION", "WRITE LIST");
  for (int id : r.answer) {  // next to a joint's name, the joint's degrees
    const orvane::joint* j = ctl_joint(c, id);
    double s = orvane::to_degrees(r.pos[static_cast<size_t>(id - 1)]);
    printf("%-4d %-12s %7.1f°   %s\n", id, j ? j->name.c_str() : "-", j ? orvane::joint_degrees(*j, s) + 0.0 : s,
           in_wr(id) ? "yes" : "no");
  }
  printf("%zu of %zu ids answer (%.1f s); read groups put back as they were\n", r.answer.size(),
         r.asked.size(), r.seconds);
  for (int id : wr)
    if (std::find(r.asked.begin(), r.asked.end(), id) != r.asked.end() &&
        std::find(r.answer.begin(), r.answer.end(), id) == r.answer.end())
      ctl_warn(ctl_servo(c, id) + " is in the write list but does not answer");
}

// ---- read

void show_groups(ctl& c, const orvane::read_groups& g, int64_t tick)
{
  int polled = static_cast<int>(std::count_if(g.begin(), g.end(), [](auto& ids) { return !ids.empty(); }));
  for (size_t i = 0; i < g.size(); i++) {
    std::string names;
    for (int id : g[i])
      if (auto j = joint_name(c, id); !j.empty())
        names += (names.empty() ? "" : " ") + j;
    printf("read group %zu: %s%s\n", i, g[i].empty() ? "not polled" : ids_text(g[i]).c_str(),
           names.empty() ? "" : (" (" + names + ")").c_str());
  }
  if (polled > 0 && tick > 0)
    printf("each servo read every %d tick%s, %.1f times a second\n", polled, polled == 1 ? "" : "s",
           1e6 / static_cast<double>(tick) / polled);
}

void read_verb(ctl& c, const std::vector<std::string>& args)
{
  auto& cl = c.client();
  if (args.empty())
    return show_groups(c, cl.groups(), cl.tick_us());
  std::vector<int> ids = ctl_ids(c, args);
  orvane::read_groups g = cl.read_servos(ids);
  show_groups(c, g, cl.tick_us());
}

}  // namespace

void ctl_robot_verbs(CLI::App& app, ctl& c)
{
  ctl_verb(app, c, "info", "Show what the robot is and how it runs", "info", [&c] { info(c); });

  static std::vector<std::string> scan_ids_s;
  auto* s = ctl_verb(app, c, "scan", "Find the servo ids that answer, through the read groups",
                     "scan [IDS...]", [&c] { scan(c, scan_ids_s); });
  s->add_option("ids", scan_ids_s, "ids to ask, e.g. 1-12 or 1,3,7 (default 1-32)");

  static std::vector<std::string> read_ids;
  auto* r = ctl_verb(app, c, "read", "Show the read groups, or put servos into them",
                     "read [IDS...]", [&c] { read_verb(c, read_ids); });
  r->add_option("ids", read_ids,
                "servos whose positions the robot reads, e.g. 1-6 or 1,3,5 (with --profile "
                "joint names too); they replace what the groups held");
}
