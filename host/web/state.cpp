#include "host/web/state.h"

#include "host/web/jog.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "host/client/known_field.h"
#include "orvane.h"

namespace {

// A field element the page shows, or a run of them.
struct shown {
  uint32_t begin, end;  // bytes covered
};

shown span(const char* name, int first, int last)
{
  const orvane::field& f = orvane::known_field(name);
  return {f.offset_of(first), f.offset_of(last) + f.width};
}

shown whole(const char* name)
{
  const orvane::field& f = orvane::known_field(name);
  return span(name, f.first, f.last());
}

constexpr int leds_per_board = 8;

// What the page needs: the header fields, the write list, and per servo id its goal, torque,
// move and position, and the LED channels.
std::vector<shown> needed()
{
  std::vector<shown> v;
  for (const char* n : {"robot_name", "tick_period", "sv_torque_on", "sv_comm_on", "led_on",
                        "sw_in", "loop_count", "wr_count", "wr_ids", "rd_group", "sv_pos"})
    v.push_back(whole(n));
  v.push_back(span("servo.#.goal", 1, orvane::servo_max));
  v.push_back(span("servo.#.torque", 1, orvane::servo_max));
  v.push_back(span("led.a.#", 0, leds_per_board - 1));
  v.push_back(span("led.b.#", 0, leds_per_board - 1));
  const orvane::field& goal = orvane::known_field("servo.#.goal");
  v.push_back(span("ip_count", goal.channel_of(1), goal.channel_of(orvane::servo_max)));
  return v;
}

// Field elements read from the polled ranges.
class polled {
 public:
  polled(const std::vector<web_range>& plan, const std::vector<std::vector<uint8_t>>& data)
      : plan_(plan), data_(data) {}
  const uint8_t* at(const orvane::field& f, int index) const
  {
    uint32_t off = f.offset_of(index);
    for (size_t i = 0; i < plan_.size(); i++) {
      const web_range& g = plan_[i];
      if (off >= g.adr && off + f.width <= g.adr + g.n && data_[i].size() == g.n)
        return data_[i].data() + (off - g.adr);
    }
    throw std::logic_error("poll plan misses " + f.name);
  }
  int64_t num(const char* name, std::optional<int> index = std::nullopt) const
  {
    const orvane::field& f = orvane::known_field(name);
    return orvane::decode(f, at(f, index.value_or(f.first)));
  }

 private:
  const std::vector<web_range>& plan_;
  const std::vector<std::vector<uint8_t>>& data_;
};

}  // namespace

std::vector<web_range> web_poll_plan(uint32_t gap)
{
  std::vector<shown> v = needed();
  std::sort(v.begin(), v.end(), [](const shown& a, const shown& b) { return a.begin < b.begin; });
  std::vector<web_range> plan;
  for (const shown& s : v) {
    if (!plan.empty() && s.begin <= plan.back().adr + plan.back().n + gap)
      plan.back().n = std::max(plan.back().n, s.end - plan.back().adr);
    else
      plan.push_back({s.begin, s.end - s.begin});
  }
  return plan;
}

web_state web_decode(const std::vector<web_range>& plan,
                     const std::vector<std::vector<uint8_t>>& data, const orvane::robot_model& model)
{
  polled m(plan, data);
  web_state s;
  s.connected = true;
  const orvane::field& name = orvane::known_field("robot_name");
  s.name = orvane::decode_text(name, m.at(name, name.first));
  s.tick_period = static_cast<int32_t>(m.num("tick_period"));
  s.torque_on = m.num("sv_torque_on") != 0;
  s.comm_on = m.num("sv_comm_on") != 0;
  s.led_on = m.num("led_on") != 0;
  for (int i = 0; i < 5; i++)
    s.sw[i] = m.num("sw_in", i) != 0;
  s.loop_count = static_cast<uint32_t>(m.num("loop_count"));
  for (int i = 0; i < leds_per_board; i++) {
    s.leds[i] = static_cast<int>(m.num("led.a.#", i) & 0xff);
    s.leds[leds_per_board + i] = static_cast<int>(m.num("led.b.#", i) & 0xff);
  }
  int count = static_cast<int>(m.num("wr_count"));
  count = std::min(count, static_cast<int>(orvane::known_field("wr_ids").count));
  const orvane::field& goal = orvane::known_field("servo.#.goal");
  const orvane::field& groups = orvane::known_field("rd_group");
  const uint8_t* gb = m.at(groups, 0);
  orvane::read_groups rg = orvane::groups_decode(std::vector<uint8_t>(gb, gb + static_cast<size_t>(groups.count) * groups.stride));
  std::vector<int16_t> words;
  for (int id = 1; id <= orvane::servo_max; id++)
    words.push_back(static_cast<int16_t>(m.num("sv_pos", id)));
  for (int i = 0; i < count; i++) {
    int id = static_cast<int>(m.num("wr_ids", i));
    if (id < 1 || id > orvane::servo_max)
      continue;  // no goal or position word of its own to show
    web_servo sv;
    sv.id = id;
    sv.goal = static_cast<int>(m.num("servo.#.goal", id));
    sv.torque = static_cast<int>(m.num("servo.#.torque", id) & 0xff);
    sv.moving = static_cast<int>(m.num("ip_count", goal.channel_of(id)));
    orvane::position p = model.position_of(rg, words, id, s.comm_on);
    if (p.servo_deg)
      sv.pos = static_cast<int>(m.num("sv_pos", id));
    sv.deg = p.joint_deg;
    sv.reading = orvane::reading_name(p.reading.state);
    sv.why = orvane::reading_why(p.reading);
    const orvane::joint* j = model.by_id(id);
    sv.goal_deg = j ? orvane::joint_degrees(*j, orvane::to_degrees(static_cast<int16_t>(sv.goal))) + 0.0
                    : orvane::to_degrees(static_cast<int16_t>(sv.goal));
    if (const orvane::joint* named = model.named(id)) {
      sv.joint = named->name;
      sv.lo = named->min;
      sv.hi = named->max;
    }
    if (j) {
      sv.trim = j->trim;
      sv.reverse = j->reverse;
    }
    sv.jog = web_jog_max(model, id);
    s.servos.push_back(sv);
  }
  return s;
}

std::vector<uint8_t> web_poll_key(const std::vector<web_range>& plan,
                                  const std::vector<std::vector<uint8_t>>& data)
{
  std::vector<uint8_t> key;
  for (const std::vector<uint8_t>& d : data)
    key.insert(key.end(), d.begin(), d.end());
  const orvane::field& count = orvane::known_field("loop_count");
  size_t at = 0;
  for (size_t i = 0; i < plan.size() && i < data.size(); i++) {
    uint32_t off = count.offset_of(count.first);
    if (off >= plan[i].adr && off + count.width <= plan[i].adr + data[i].size())
      std::fill_n(key.begin() + static_cast<std::ptrdiff_t>(at + off - plan[i].adr), count.width, 0);
    at += data[i].size();
  }
  return key;
}

uint32_t web_loop_count(const std::vector<web_range>& plan,
                        const std::vector<std::vector<uint8_t>>& data)
{
  return static_cast<uint32_t>(polled(plan, data).num("loop_count"));
}

static nlohmann::json content(const web_state& s)
{
  nlohmann::json servos = nlohmann::json::array();
  for (const web_servo& sv : s.servos)
    servos.push_back({{"id", sv.id},
                      {"goal", sv.goal},
                      {"pos", sv.pos ? nlohmann::json(*sv.pos) : nlohmann::json(nullptr)},
                      {"torque", sv.torque},
                      {"moving", sv.moving},
                      {"reading", sv.reading},
                      {"why", sv.why},
                      {"joint", sv.joint},
                      {"goal_deg", sv.goal_deg},
                      {"deg", sv.deg ? nlohmann::json(*sv.deg) : nlohmann::json(nullptr)},
                      {"lo", sv.lo},
                      {"hi", sv.hi},
                      {"trim", sv.trim},
                      {"reverse", sv.reverse},
                      {"jog", sv.jog}});
  return {{"connected", s.connected}, {"problem", s.problem},
          {"name", s.name},           {"tick_period", s.tick_period},
          {"torque_on", s.torque_on}, {"comm_on", s.comm_on},
          {"led_on", s.led_on},       {"switches", s.sw},
          {"leds", s.leds},           {"servos", servos},
          {"motion", {{"name", s.play.name}, {"playing", s.play.playing}, {"move", s.play.move},
                      {"moves", s.play.moves}, {"warnings", s.play.warnings},
                      {"outcome", s.play.outcome}, {"plan", s.play.plan}}},
          {"mirror", {{"on", s.mirror.on}, {"leader", s.mirror.leader}, {"phase", s.mirror.phase},
                      {"why", s.mirror.why}, {"lag_ms", s.mirror.lag_ms}, {"lag_ticks", s.mirror.lag_ticks},
                      {"gap", s.mirror.gap}}},
          {"jog", {{"ids", s.jog.ids}, {"ended", s.jog.ended}}}};
}

std::string web_state_content(const web_state& s)
{
  return content(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string web_state_json(int robot, const std::string& address, const web_state& s,
                           const web_stats& st)
{
  nlohmann::json j = content(s);
  j["robot"] = robot;
  j["address"] = address;
  j["loop_count"] = s.loop_count;
  j["rate"] = st.rate;
  j["polls"] = st.polls;
  j["seq"] = st.seq;
  j["t"] = st.t_ms;
  // Invalid bytes in the robot's name must not make the message unsendable.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
