#include "host/mirror/side.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <thread>

#include "host/mirror/map.h"
#include "host/mirror/rules.h"
#include "host/motion/motion_file.h"

namespace orvane::mirror {

namespace {

using clk = std::chrono::steady_clock;
constexpr int32_t default_tick_us = 16667;
constexpr auto torque_ramp = std::chrono::milliseconds(250);  // torque comes on softly
constexpr auto reading_patience = std::chrono::milliseconds(500);  // beyond a line time-out of 0.1 s

std::string id_list(const std::vector<int>& ids)
{
  std::string s;
  for (int id : ids)
    s += (s.empty() ? "" : ", ") + std::to_string(id);
  return s;
}

bool has(const std::vector<int>& v, int id) { return std::find(v.begin(), v.end(), id) != v.end(); }

// The write list as the daemon takes it: at most 30 ids.
std::vector<int> write_ids(const std::vector<uint8_t>& wr)
{
  std::vector<int> ids;
  for (size_t i = 0; i < std::min<size_t>(wr[0], 30); i++)
    ids.push_back(wr[1 + i]);
  return ids;
}

void write_list(client& c, const std::vector<int>& ids)
{
  std::vector<uint8_t> b(31, 0);
  b[0] = static_cast<uint8_t>(ids.size());
  for (size_t i = 0; i < ids.size() && i < 30; i++)
    b[1 + i] = static_cast<uint8_t>(ids[i]);
  c.write(at().wr_count, b);
}

// Waits until `passes` control-loop passes have run, for the servo cycles between them.
void wait_passes(client& c, int passes, std::chrono::milliseconds timeout)
{
  auto first = static_cast<uint32_t>(c.get("loop_count"));
  auto end = clk::now() + timeout;
  while (static_cast<uint32_t>(c.get("loop_count")) - first < static_cast<uint32_t>(passes)) {
    if (clk::now() > end)
      throw timeout_error("the robot at " + c.robot() + " runs no passes");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

struct readings {
  std::vector<uint8_t> groups;
  std::vector<int16_t> pos;  // servo 1 first
  bool comm_on = true;
  reading of(int id) const { return reading_at(groups.data(), pos.data(), comm_on, id, nullptr); }
};

readings read_now(client& c)
{
  readings r;
  r.groups = c.read(at().rd_group, 64);
  r.comm_on = c.get("sv_comm_on") != 0;
  auto b = c.read(at().sv_pos, 2 * servo_max);
  for (int i = 0; i < servo_max; i++)
    r.pos.push_back(word16(&b[2 * static_cast<size_t>(i)]));
  return r;
}

// Waits until every one of `ids` has a current reading; throws naming those without one.
readings wait_readings(client& c, const std::vector<int>& ids, std::chrono::microseconds patience,
                       const char* side)
{
  auto end = clk::now() + patience;
  for (;;) {
    readings r = read_now(c);
    std::vector<int> lacking;
    for (int id : ids)
      if (r.of(id) != reading::valid)
        lacking.push_back(id);
    if (lacking.empty())
      return r;
    if (clk::now() > end) {
      std::string why;
      for (int id : lacking)
        why += (why.empty() ? "" : "; ") + std::string("servo ") + std::to_string(id) + ": " + reading_text(r.of(id));
      throw error(std::string("no reading of the ") + side + "'s servo" + (lacking.size() == 1 ? " " : "s ") +
                  id_list(lacking) + " at " + c.robot() + " (" + why + ")");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// The groups that name servos not polled before are told apart: their words say "not read yet"
// until the daemon first asks them, so that an old word is never taken for an answer.
void set_groups(client& c, const std::vector<uint8_t>& before, const read_groups& g)
{
  read_groups was = groups_decode(before);
  for (const auto& l : g)
    for (int id : l) {
      bool polled = std::any_of(was.begin(), was.end(), [&](const auto& w) { return has(w, id); });
      if (!polled && id >= 1 && id <= servo_max)
        c.write(at().sv_pos + 2 * static_cast<uint32_t>(id - 1),
                {static_cast<uint8_t>(not_read_yet & 0xff), static_cast<uint8_t>(not_read_yet >> 8)});
    }
  c.set_groups(g);
}

}  // namespace

namespace {

// "host:port" as numbers, "" when the name does not resolve.
std::string numeric(const std::string& robot)
{
  std::string host = robot, port = std::to_string(default_port);
  if (!robot.empty() && robot[0] == '[') {
    size_t close = robot.find(']');
    host = robot.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    if (close != std::string::npos && close + 2 < robot.size())
      port = robot.substr(close + 2);
  } else if (std::count(robot.begin(), robot.end(), ':') == 1) {
    host = robot.substr(0, robot.find(':'));
    port = robot.substr(robot.find(':') + 1);
  }
  if (host.empty() || host == "localhost")
    host = "127.0.0.1";
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0 || !list)
    return "";
  char h[NI_MAXHOST], p[NI_MAXSERV];
  int rc = getnameinfo(list->ai_addr, list->ai_addrlen, h, sizeof h, p, sizeof p, NI_NUMERICHOST | NI_NUMERICSERV);
  freeaddrinfo(list);
  return rc == 0 ? std::string(h) + "/" + p : "";
}

}  // namespace

bool same_robot(const std::string& a, const std::string& b)
{
  if (a == b)
    return true;
  std::string x = numeric(a), y = numeric(b);
  return !x.empty() && x == y;
}

int32_t tick_us_of(int64_t tick_period)
{
  return tick_period >= 1 && tick_period <= 999999 ? static_cast<int32_t>(tick_period) : default_tick_us;
}

leader_side::leader_side(std::vector<int> ids, std::vector<int> others)
    : ids_(std::move(ids)), others_(std::move(others))
{
}

void leader_side::begin(const std::string& robot, std::chrono::milliseconds timeout)
{
  wr_.clear();
  groups_.clear();
  c_ = std::make_unique<client>(robot, timeout);
  robot_ = c_->robot();
  try {
    int32_t tick = tick_us = tick_us_of(c_->get("tick_period"));
    wr_ = c_->read(at().wr_count, 31);
    groups_ = c_->read(at().rd_group, 64);
    std::vector<target> limp;
    for (int id : ids_)
      limp.push_back({motion::mo_torque_ch(id), 0});
    c_->move_channels(limp, 1);
    // The torque packets of the next servo cycles carry it to the servos; only then may they
    // leave the write list, since a servo keeps the torque it was last sent.
    wait_passes(*c_, 3, timeout);
    std::vector<int> keep;
    for (int id : write_ids(wr_))
      if (!has(ids_, id))
        keep.push_back(id);
    write_list(*c_, keep);
    size_t written = keep.size();
    for (int id : others_)
      written += has(keep, id) ? 0 : 1;
    layout_ = mirror_layout(ids_, others_, groups_room(tick, static_cast<int>(written)));
    set_groups(*c_, groups_, layout_.groups);
    wait_readings(*c_, ids_, reading_patience + std::chrono::microseconds(int64_t{tick} * 8), "leader");
  } catch (...) {
    end(false);
    throw;
  }
}

bool leader_side::end(bool torque)
{
  if (!c_)
    return false;
  bool ok = true;
  try {
    // Each goal where the hand left the servo, so that nothing jumps when its torque returns. A
    // reading can be a pass behind on a busy host: a few ticks are given for every servo to have
    // a current one; one still without is left as it is rather than sent somewhere stale.
    readings r = read_now(*c_);
    auto patience = clk::now() + std::chrono::microseconds(int64_t{tick_us} * 10);
    auto all_read = [&] {
      return std::all_of(ids_.begin(), ids_.end(), [&](int id) { return r.of(id) == reading::valid; });
    };
    while (!all_read() && clk::now() < patience) {
      std::this_thread::sleep_for(std::chrono::microseconds(tick_us));
      r = read_now(*c_);
    }
    std::vector<target> hold, on;
    for (int id : ids_) {
      if (r.of(id) == reading::valid)
        hold.push_back({motion::mo_goal_ch(id), r.pos[static_cast<size_t>(id - 1)]});
      if (torque && r.of(id) == reading::valid)
        on.push_back({motion::mo_torque_ch(id), torque_on_value});
    }
    if (!hold.empty())
      c_->move_channels(hold, 1);
    if (!wr_.empty()) {
      // Back into the write list in their old places, beside whatever joined it meanwhile.
      std::vector<int> now = write_ids(c_->read(at().wr_count, 31)), list;
      for (int id : write_ids(wr_))
        if (has(now, id) || has(ids_, id))
          list.push_back(id);
      for (int id : now)
        if (!has(list, id))
          list.push_back(id);
      write_list(*c_, list);
    }
    if (!on.empty())
      c_->move_channels(on, std::max(1, c_->ticks_for(torque_ramp)));
    if (!groups_.empty())
      c_->write(at().rd_group, groups_);
  } catch (const error&) {
    ok = false;
  }
  c_.reset();
  return ok;
}

follower_side::follower_side(std::vector<int> ids, bool read_groups) : ids_(std::move(ids)), groups_on_(read_groups) {}

void follower_side::begin(const std::string& robot, std::chrono::milliseconds timeout)
{
  notes.clear();
  enables_.clear();
  groups_.clear();
  c_ = std::make_unique<client>(robot, timeout);
  robot_ = c_->robot();
  try {
    int32_t tick = tick_us = tick_us_of(c_->get("tick_period"));
    enables_ = c_->read(at().ip_enable, channels);
    groups_ = c_->read(at().rd_group, 64);
    if (c_->get("sv_torque_on") == 0)
      throw error("sv_torque_on is 0 at " + robot_ +
                  ": every servo there is sent torque off; switch it on first (orvane-ctl set sv_torque_on 1)");
    std::vector<int> list = write_ids(c_->read(at().wr_count, 31));
    auto out = c_->read(at().ip_out, 2 * channels);
    std::vector<int> limp, missing;
    for (int id : ids_) {
      if (!has(list, id))
        missing.push_back(id);
      if (!has(list, id) || word16(&out[2 * static_cast<size_t>(motion::mo_torque_ch(id))]) == 0)
        limp.push_back(id);
    }
    if (list.size() + missing.size() > 30)
      throw error("the follower's write list has no room for servos " + id_list(missing));
    if (groups_on_) {
      std::vector<int> after = list;
      after.insert(after.end(), missing.begin(), missing.end());
      set_groups(*c_, groups_, groups_layout(ids_, groups_room(tick, static_cast<int>(after.size()))));
    }
    if (!limp.empty()) {
      // Where a limp servo is can only be read; it is held there before its torque comes on.
      readings r = wait_readings(*c_, limp, reading_patience + std::chrono::microseconds(int64_t{tick} * 8),
                                 "follower");
      std::vector<target> hold;
      hold.reserve(limp.size());
      for (int id : limp)
        hold.push_back({motion::mo_goal_ch(id), r.pos[static_cast<size_t>(id - 1)]});
      c_->move_channels(hold, 1);
    }
    if (!missing.empty()) {
      list.insert(list.end(), missing.begin(), missing.end());
      write_list(*c_, list);
      notes.push_back("servos " + id_list(missing) + " joined the follower's write list");
    }
    if (!limp.empty()) {
      std::vector<target> on;
      on.reserve(limp.size());
      for (int id : limp)
        on.push_back({motion::mo_torque_ch(id), torque_on_value});
      c_->move_channels(on, std::max(1, c_->ticks_for(torque_ramp)));
      notes.push_back("servos " + id_list(limp) + " were limp: held where they were, torque on");
    }
    // Only the follower's goal channels take part in the loop's triggers.
    std::vector<uint8_t> en(channels, 0);
    for (int id : ids_)
      en[static_cast<size_t>(motion::mo_goal_ch(id))] = 1;
    c_->write(at().ip_enable, en);
  } catch (...) {
    end();
    throw;
  }
}

bool follower_side::end()
{
  if (!c_)
    return false;
  bool ok = true;
  try {
    // The loop's last move ends within a pass or two; the enables go back only once no trigger
    // of the loop is left waiting, which would otherwise move every channel.
    auto until = clk::now() + std::chrono::seconds(1);
    for (;;) {
      bool still = c_->get("ttime") != 0;
      auto counts = c_->read(at().ip_count, channels);
      for (int id : ids_)
        still = still || counts[static_cast<size_t>(motion::mo_goal_ch(id))] != 0;
      if (!still)
        break;
      if (clk::now() > until) {
        c_->write(at().ttime, {0});
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!enables_.empty())
      c_->write(at().ip_enable, enables_);
    if (groups_on_ && !groups_.empty())
      c_->write(at().rd_group, groups_);
  } catch (const error&) {
    ok = false;
  }
  c_.reset();
  return ok;
}

}  // namespace orvane::mirror
