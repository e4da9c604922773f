#include "host/web/recording.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "host/web/command.h"
#include "host/web/json_in.h"
#include "host/web/mcap.h"
#include "host/web/state.h"

namespace mo = orvane::motion;
using json = nlohmann::json;

namespace {

int64_t now_ns()
{
  using namespace std::chrono;
  return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

constexpr double after_motion_s = 0.5;  // recorded after the motion's end, to show it settle
constexpr size_t max_message = size_t{1} << 20;
constexpr int max_depth = 16;

}  // namespace

mo::record_result record_mcap(orvane::client& c, const std::string& path, double seconds,
                              const std::atomic<bool>* stop, const mcap_rec_opts& o)
{
  const std::vector<web_range> plan = web_poll_plan();
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  ranges.reserve(plan.size());
  for (const web_range& r : plan)
    ranges.emplace_back(r.adr, r.n);

  ch_builder b(o.joints);
  if (!o.urdf.empty())
    b.set_description(o.urdf, o.links);
  mcap_writer w(path, o.library);
  for (const ch_channel& ch : ch_channels()) {
    if ((ch.id == ch_plan && !o.player) || (ch.id == ch_description && !b.has_description()) ||
        (ch.id == ch_transforms && !b.has_transforms()))
      continue;
    w.channel(ch.id, ch.topic, ch.schema_name, ch.schema);
  }
  w.metadata("orvane", {{"address", o.address},
                        {"profile", o.profile},
                        {"tick_period_us", std::to_string(c.get("tick_period"))}});
  int64_t t0 = now_ns();
  if (b.has_description())
    w.message(ch_description, static_cast<uint64_t>(t0), b.message(ch_description));

  std::vector<std::vector<uint8_t>> data(plan.size());
  rate_meter meter;
  uint64_t plan_serial = 0;
  std::string playing;
  double ended_at = -1;  // host seconds when the motion was seen ended
  auto passes = mo::record_passes(c, ranges, o.until_played ? 86400.0 : seconds, stop, [&](const mo::rec_pass& p) {
    auto t = static_cast<uint64_t>(now_ns());
    for (size_t i = 0; i < plan.size(); i++)
      data[i].assign(p.img.begin() + plan[i].adr, p.img.begin() + plan[i].adr + plan[i].n);
    web_state s = web_decode(plan, data);
    if (o.player)
      s.play = o.player->status();
    meter.sample(s.loop_count, std::chrono::steady_clock::now());
    b.update(s, meter.rate, static_cast<int64_t>(t));
    for (ch_id id : {ch_joints, ch_switches, ch_leds, ch_loop, ch_transforms})
      if (std::string msg = b.message(id); !msg.empty())
        w.message(id, t, msg);
    for (const std::string& e : b.events())
      w.message(ch_events, t, e);
    if (o.player && s.play.plan != 0 && s.play.plan != plan_serial)
      if (auto pj = o.player->plan()) {
        plan_serial = s.play.plan;
        w.message(ch_plan, t, ch_builder::plan_message(*pj, s.play.name, static_cast<int64_t>(t)));
      }
    if (o.until_played && o.player && !s.play.playing) {
      if (ended_at < 0)
        ended_at = p.t;
      if (p.t - ended_at >= after_motion_s)
        return false;
    }
    return true;
  });
  if (o.player && !o.player->busy().empty()) {
    o.player->stop();
    w.message(ch_events, static_cast<uint64_t>(now_ns()),
              b.event(ch_warning, "motion " + o.player->status().name + " stopped: the recording ended", now_ns()));
  }
  w.close();
  return passes;
}

std::string mcap_recording_csv(std::string_view bytes, const std::string& file)
{
  mcap_contents m = mcap_read(bytes);
  uint16_t joints = 0, switches = 0;
  for (const auto& [id, ch] : m.channels) {
    if (ch.topic == "/joint_states" && ch.encoding == "json")
      joints = id;
    if (ch.topic == "/switches" && ch.encoding == "json")
      switches = id;
  }
  if (joints == 0)
    throw std::runtime_error(file + ": no /joint_states channel: not a recording of orvane-ctl record");

  struct row {
    uint64_t t;
    uint32_t pass;
    std::map<int, std::pair<double, std::optional<double>>> servo;  // id: goal, position
    std::optional<std::array<bool, 5>> sw;
  };
  std::vector<row> rows;
  std::map<int, std::pair<size_t, std::string>> lacking;  // id: rows without a reading, why
  std::optional<std::array<bool, 5>> sw;
  auto parse = [](const std::string& text) {
    auto in = json_in(text, {max_message, max_depth});
    json* j = std::get_if<json>(&in);
    return j && j->is_object() ? std::move(*j) : json();
  };
  for (const mcap_message& msg : m.messages) {
    if (msg.channel == switches) {
      json j = parse(msg.data);
      auto c = j.find("closed");
      if (c != j.end() && c->is_array() && c->size() == 5) {
        std::array<bool, 5> v{};
        for (size_t i = 0; i < 5; i++)
          v[i] = (*c)[i].is_boolean() && (*c)[i].get<bool>();
        sw = v;
        if (!rows.empty() && rows.back().t == msg.log_ns)
          rows.back().sw = v;  // written with the joints of the same pass
      }
      continue;
    }
    if (msg.channel != joints)
      continue;
    json j = parse(msg.data);
    auto list = j.find("joints");
    auto pass = j.find("loop_count");
    if (list == j.end() || !list->is_array() || pass == j.end() || !pass->is_number_unsigned())
      continue;
    row r{msg.log_ns, pass->get<uint32_t>(), {}, sw};
    for (const json& e : *list) {
      auto id = e.find("servo");
      auto goal = e.find("servo_goal");
      if (!e.is_object() || id == e.end() || !id->is_number_integer() || goal == e.end() || !goal->is_number())
        continue;
      int sid = id->get<int>();
      std::optional<double> pos;
      if (auto p = e.find("servo_position"); p != e.end() && p->is_number())
        pos = p->get<double>();
      else {
        auto& l = lacking[sid];
        l.first++;
        if (auto w = e.find("why"); w != e.end() && w->is_string())
          l.second = w->get<std::string>();
      }
      r.servo[sid] = {goal->get<double>(), pos};
    }
    rows.push_back(std::move(r));
  }
  std::vector<int> ids;
  for (const row& r : rows)
    for (const auto& [id, v] : r.servo)
      if (std::find(ids.begin(), ids.end(), id) == ids.end())
        ids.push_back(id);
  std::sort(ids.begin(), ids.end());

  std::string out = "time_s,loop_count,gap";
  for (int id : ids)
    out += ",servo." + std::to_string(id) + ".goal,sv_pos." + std::to_string(id);
  if (switches)
    for (int i = 0; i < 5; i++)
      out += ",sw_in." + std::to_string(i);
  out += '\n';
  char buf[64];
  for (size_t i = 0; i < rows.size(); i++) {
    const row& r = rows[i];
    uint32_t gap = i == 0 ? 0 : r.pass - rows[i - 1].pass - 1;
    snprintf(buf, sizeof buf, "%.4f,%u,%u", static_cast<double>(r.t - rows[0].t) / 1e9, r.pass, gap);
    out += buf;
    for (int id : ids) {
      auto s = r.servo.find(id);
      if (s == r.servo.end()) {
        out += ",,";
        continue;
      }
      snprintf(buf, sizeof buf, ",%.1f,", s->second.first);
      out += buf;
      if (s->second.second) {
        snprintf(buf, sizeof buf, "%.1f", *s->second.second);
        out += buf;
      }
    }
    if (switches)
      for (int k = 0; k < 5; k++)
        out += r.sw && (*r.sw)[static_cast<size_t>(k)] ? ",1" : ",0";
    out += '\n';
  }
  for (const auto& [id, l] : lacking)
    out += "# sv_pos." + std::to_string(id) + ": no reading in " + std::to_string(l.first) + " of " +
           std::to_string(rows.size()) + " rows" + (l.second.empty() ? "" : ": " + l.second) + "\n";
  return out;
}
