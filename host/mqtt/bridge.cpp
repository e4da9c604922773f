#include "host/mqtt/bridge.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <thread>

#include "host/client/known_field.h"
#include "orvane.h"
#include "host/mqtt/claim.h"
#include "host/mqtt/discovery.h"
#include "host/web/command.h"
#include "host/web/state.h"

using clk = std::chrono::steady_clock;

namespace {

constexpr size_t max_jobs = 32;                      // more waiting is refused, not queued
constexpr size_t max_stop_replies = 64;              // more stops are carried out unanswered
constexpr auto heartbeat = std::chrono::seconds(1);  // a state message at least this often
constexpr auto player_end = std::chrono::seconds(2); // a stopped motion ends within a poll
const char* const voided = "stopped: a stop came after it";
constexpr auto blink = std::chrono::milliseconds(250);  // identify: LEDs on, then off, this long

int64_t now_ms()
{
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

double now_s()
{
  return static_cast<double>(now_ms()) / 1000.0;
}


std::map<int, std::string> joint_names(const orvane::robot_model& m)
{
  std::map<int, std::string> out;
  if (m.profiled())
    for (const orvane::joint& j : m.joints)
      out[j.id] = j.name;
  return out;
}

}  // namespace

// What only the bridge's thread touches.
struct mq_bridge::robot_side {
  std::shared_ptr<orvane::client> c;
  std::string problem;          // why the robot is not connected
  bool ever = false;            // connected once at least
  std::string status;           // last status published
  web_state last;               // last poll; connected false before the first
  web_play play;                // the player's status at the last poll
  mq_info info;
  std::string info_json;        // last published
  std::map<std::string, std::string> discovered;  // discovery config topic -> payload published
  std::string content;          // of the last state message
  std::vector<uint8_t> key;     // of the last poll decoded (web_poll_key); empty: decode the next
  std::string play_key;         // the motion in play at that poll, as the state says it
  clk::time_point last_state;
  rate_meter meter;
  std::string owed;             // an event the lost link kept from being told, for its return
  bool stop_told = false;       // the motion's stop was told at the hold: not again at its end
  std::string why_stopped;      // why the last motion was stopped, when not by a command
  // identify: until when the LEDs blink, the next blink, and the values to put back
  clk::time_point identify_until, next_blink;
  bool identifying = false, lit = false;
  std::array<int, 16> leds_before{};
};

mq_bridge::mq_bridge(mq_bridge_opts o, const web_motions& motions)
    : o_(std::move(o)),
      model_(o_.model ? o_.model : std::make_shared<const orvane::robot_model>()),
      joints_(joint_names(*model_)),
      motions_(motions),
      player_(motions)
{
  mq_link::options lo = o_.link;
  lo.client_id = "orvane-" + o_.id;
  lo.will_topic = mq_topic(o_.id, "status");
  lo.will_payload = "offline";
  mq_link::handlers h;
  h.connected = [this] {
    std::lock_guard<std::mutex> l(mu_);  // so that the bridge's wait cannot miss it
    link_fresh_ = true;
    cv_.notify_all();
  };
  h.lost = [this](const std::string&) { on_lost(); };
  h.message = [this](const mq_incoming& m) { on_message(m); };
  link_ = std::make_unique<mq_link>(std::move(lo), std::move(h));
}

mq_bridge::~mq_bridge()
{
  link_.reset();  // no more callbacks into this object
}

void mq_bridge::stop()
{
  std::lock_guard<std::mutex> l(mu_);
  stop_ = true;
  cv_.notify_all();
}

void mq_bridge::on_lost()
{
  // A motion must not go on with nobody able to stop it: the bridge's thread holds the servos.
  player_.stop();
  std::lock_guard<std::mutex> l(mu_);
  jobs_.clear();
  link_lost_ = true;
  cv_.notify_all();
}

void mq_bridge::on_message(const mq_incoming& m)
{
  job j{mq_check(m, o_.id, now_s(), o_.max_age, o_.allow_poweroff)};
  auto* a = std::get_if<mq_accepted>(&j.what);
  if (a && a->cmd.what == web_command::stop) {
    player_.stop();  // at once, not after the commands queued before it
    std::lock_guard<std::mutex> l(mu_);
    stops_++;
    if (!a->request.empty() && stop_replies_.size() < max_stop_replies)
      stop_replies_.push_back(a->request);
    cv_.notify_all();
    return;
  }
  if (auto* no = std::get_if<mq_refused>(&j.what); no && no->why.empty())
    return;  // nothing to answer
  std::lock_guard<std::mutex> l(mu_);
  // A flood is answered, not queued: past max_jobs only refusals wait, and past twice that
  // nothing does.
  if (jobs_.size() >= 2 * max_jobs)
    return;
  if (a && jobs_.size() >= max_jobs)
    j.what = mq_refused{a->request, "too many commands waiting; try again"};
  j.stops = stops_;
  jobs_.push_back(std::move(j));
  cv_.notify_all();
}

bool mq_bridge::wait_until(clk::time_point t)
{
  std::unique_lock<std::mutex> l(mu_);
  cv_.wait_until(l, t, [&] {
    return stop_ || !jobs_.empty() || stops_ != stops_done_ || link_fresh_ || link_lost_;
  });
  return !stop_;
}

void mq_bridge::event(const std::string& payload)
{
  link_->publish(mq_topic(o_.id, "event"), payload, 1, false);
}

// Marked with who this bridge is, so that a second one for the same id can name it.
void mq_bridge::publish_status(robot_side& r, const std::string& status)
{
  if (link_->publish(mq_topic(o_.id, "status"), status, 1, true, mq_holder::me().props()))
    r.status = status;
}

void mq_bridge::publish_info(robot_side& r)
{
  r.info.id = o_.id;
  r.info.version = o_.version;
  r.info.joints = joints_;
  r.info.motions.clear();
  for (const web_motion_info& m : motions_.list())
    if (m.problem.empty())
      r.info.motions.push_back(m.name);
  std::string j = mq_info_json(r.info);
  if (link_->publish(mq_topic(o_.id, "info"), j, 1, true))
    r.info_json = j;
  if (!o_.discovery.empty())
    publish_discovery(r);
}

// With each info: the discovery configs, retained; a servo that left the write list has its
// config removed (an empty retained message).
void mq_bridge::publish_discovery(robot_side& r)
{
  std::map<std::string, std::string> now;
  for (auto& [topic, payload] : mq_discovery(o_.discovery, r.info))
    now[topic] = payload;
  for (const auto& [topic, payload] : r.discovered)
    if (now.count(topic) == 0)
      link_->publish(topic, "", 1, true);
  for (const auto& [topic, payload] : now)
    link_->publish(topic, payload, 1, true);
  r.discovered = std::move(now);
}

// Held at once, not after the player has wound down: it sees a stop only between its naps,
// which last up to 50 ms. Held again once it has ended, for a move it may have started between
// its last look at the stop and the first hold.
void mq_bridge::stop_and_hold(robot_side& r)
{
  bool playing = r.play.playing && !player_.busy().empty();
  player_.stop();
  if (r.c)
    web_hold(*r.c);
  // Told now that it is true, not once the player has wound down.
  if (playing && r.c && link_->up()) {
    event(mq_event("motion-stopped", now_ms(), {{"motion", r.play.name}}));
    r.stop_told = true;
  }
  if (!player_.busy().empty()) {
    player_.wait_idle(player_end);
    if (r.c)
      web_hold(*r.c);
  }
}

// Before each connection under the id: who holds it now. "" to go on (connecting, or waiting for
// the broker), else why this bridge must end.
std::string mq_bridge::connect_link(std::string& told)
{
  auto tell = [&](const std::string& p) {
    if (!p.empty() && p != told)
      fprintf(stderr, "orvane-mqtt: broker %s: %s\n", o_.link.uri.c_str(), p.c_str());
    told = p;
  };
  if (link_->refused())
    return link_->problem();
  // The link's own problem is news only after it tried (a lost link's was told with the loss).
  if (link_tried_)
    tell(link_->problem());
  link_tried_ = false;
  mq_look_result look = mq_look(o_.link, o_.id, [this] {
    std::lock_guard<std::mutex> l(mu_);
    return stop_;
  });
  if (look.refused)
    return look.why;
  if (!look.reached)
    return tell(look.why), "";
  link_->connect();
  link_tried_ = true;
  return "";
}

// Blinks every LED of both boards, then puts back what they showed before.
void mq_bridge::identify(robot_side& r, clk_time now)
{
  if (!r.identifying || !r.c || now < std::min(r.next_blink, r.identify_until))
    return;
  std::vector<std::pair<int, uint8_t>> v;
  v.reserve(16);
  bool done = now >= r.identify_until;
  r.lit = !done && !r.lit;
  for (int i = 0; i < 16; i++)
    v.emplace_back(i, static_cast<uint8_t>(done ? r.leds_before[i] : r.lit ? 255 : 0));
  r.identifying = !done;
  r.next_blink = now + blink;
  r.c->set_leds(v);
}

void mq_bridge::take_stops(robot_side& r)
{
  std::vector<std::string> replies;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (stops_ == stops_done_)
      return;
    stops_done_ = stops_;
    replies.swap(stop_replies_);
  }
  std::string error;
  if (!r.c) {
    error = "robot not connected: " + r.problem;
  } else {
    try {
      stop_and_hold(r);
    } catch (const orvane::error& e) {
      error = e.what();
      for (const std::string& id : replies)
        link_->publish(mq_topic(o_.id, "reply"), mq_reply(id, error), 1, false);
      throw;  // the robot went away: the caller handles it
    }
  }
  for (const std::string& id : replies)
    link_->publish(mq_topic(o_.id, "reply"), mq_reply(id, error), 1, false);
}

void mq_bridge::carry_out(robot_side& r, const job& j)
{
  std::string reply_to = mq_topic(o_.id, "reply");
  if (auto* no = std::get_if<mq_refused>(&j.what)) {
    if (!no->why.empty())
      link_->publish(reply_to, mq_reply(no->request, no->why), 1, false);
    return;
  }
  const mq_accepted& a = std::get<mq_accepted>(j.what);
  auto reply = [&](const std::string& error) {
    if (!a.request.empty())  // stops, which may lack one, are answered by take_stops
      link_->publish(reply_to, mq_reply(a.request, error), 1, false);
  };
  const web_command& cmd = a.cmd;
  if (!r.c)
    return reply("robot not connected: " + r.problem);
  if (a.identify_ms > 0) {
    if (!r.identifying)
      r.leds_before = r.last.leds;
    r.identifying = true;
    r.identify_until = clk::now() + std::chrono::milliseconds(a.identify_ms);
    r.next_blink = clk::now();
    return reply("");
  }
  try {
    if (cmd.what == web_command::move || cmd.what == web_command::play) {
      bool void_it;
      {
        std::lock_guard<std::mutex> l(mu_);
        void_it = j.stops != stops_;
      }
      // Answered without the lock: the link's thread takes it in its callbacks while holding
      // the library's own lock, which a publish takes too.
      if (void_it)
        return reply(voided);
      if (std::string why = player_.busy(); !why.empty())
        return reply(why);
    }
    if (cmd.what == web_command::move)
      if (int ticks = web_move_ticks(*r.c, cmd); ticks > orvane::ttime_max) {
        player_.start_move(r.c, web_servo_goals(*model_, cmd), ticks, cmd.ms,
                           "by request '" + a.request + "' on " + mq_topic(o_.id, "cmd/move"));
        return reply("");
      }
    if (cmd.what != web_command::play) {
      web_apply(*r.c, cmd);
      return reply("");
    }
    if (!motions_.offered())
      return reply(web_motions::built() ? "this bridge offers no motions (--motions DIR)"
                                        : "this build plays no motions; play them from a PC");
    auto list = motions_.list();
    auto m = std::find_if(list.begin(), list.end(), [&](auto& i) { return i.name == cmd.motion; });
    if (m == list.end())
      return reply("no motion named " + cmd.motion);
    if (!m->problem.empty())
      return reply(m->problem);
    if (auto [status, why] = motions_.check(*r.c, cmd.motion); status != 200)
      return reply(why);
    player_.start(r.c, cmd.motion, "by request '" + a.request + "' on " + mq_topic(o_.id, "cmd/play"));
    r.why_stopped.clear();
    // Told here, not at the next look at the player: a motion that fails at once would end
    // before that look, and neither its start nor its end would be told.
    event(mq_event("motion-started", now_ms(), {{"motion", cmd.motion}}));
    r.play = web_play{cmd.motion, true, 0, 0, {}, ""};
    reply("");
  } catch (const orvane::out_of_range& e) {
    reply(e.what());
  } catch (const orvane::error& e) {
    reply(e.what());
    throw;  // the robot went away: the caller handles it
  }
}

std::string mq_bridge::run()
{
  std::string failure;  // why the bridge must end
  const std::vector<web_range> plan = web_poll_plan();
  std::vector<std::vector<uint8_t>> data(plan.size());
  robot_side r;
  clk::time_point next_poll = clk::now(), next_link = clk::now(), next_robot = clk::now();
  std::string link_problem;

  auto robot_lost = [&](const std::string& why) {
    player_.stop();  // a motion is never taken up again after a reconnection
    if (r.play.playing)
      r.why_stopped = "robot lost";
    r.c.reset();
    r.problem = why;
    r.meter = {};
    if (r.last.connected || !r.ever) {
      fprintf(stderr, "orvane-mqtt: robot %s: %s\n", o_.robot.c_str(), why.c_str());
      if (r.ever)
        event(mq_event("robot-lost", now_ms(), {{"why", why}}));
    }
    r.ever = true;
    r.last.connected = false;
    r.key.clear();
    if (r.status != "robot-lost")
      publish_status(r, "robot-lost");
    next_robot = clk::now() + retry;
  };

  while (true) {
    {
      std::lock_guard<std::mutex> l(mu_);
      if (stop_)
        break;
    }
    clk::time_point now = clk::now();
    // The broker.
    if (link_lost_.exchange(false)) {
      r.status.clear();
      web_play was = r.play;
      try {
        stop_and_hold(r);
      } catch (const orvane::error& e) {
        robot_lost(e.what());
      }
      // The motion's end is told once the link is back, with why.
      if (was.playing) {
        r.why_stopped = "broker lost";
        r.owed = mq_event("motion-stopped", now_ms(), {{"motion", was.name}, {"why", r.why_stopped}});
        r.play = player_.status();
      }
      // Said once it is true: the motion has ended and the servos are held.
      link_problem = link_->problem();
      fprintf(stderr, "orvane-mqtt: broker %s: connection lost (%s); motions stopped\n",
              o_.link.uri.c_str(), link_problem.c_str());
      if (link_->refused()) {
        failure = link_problem;
        break;
      }
    }
    if (link_fresh_.exchange(false)) {
      fprintf(stderr, "orvane-mqtt: broker %s: connected as %s\n", o_.link.uri.c_str(),
              o_.id.c_str());
      link_problem.clear();
      link_->subscribe({mq_topic(o_.id, "cmd/+"), mq_stop_all}, 1);
      publish_status(r, r.c ? "online" : "robot-lost");
      if (r.c)
        publish_info(r);
      r.content.clear();  // a fresh state message for the new link
      r.key.clear();
      if (!r.owed.empty())
        event(std::exchange(r.owed, ""));
    }
    if (!link_->up() && !link_->connecting() && now >= next_link) {
      failure = connect_link(link_problem);
      if (!failure.empty())
        break;
      next_link = clk::now() + retry;
    }
    // The robot.
    if (!r.c && now >= next_robot) {
      try {
        r.c = std::make_shared<orvane::client>(o_.robot, robot_timeout);
        r.c->use_model(model_);
        r.info.banner = r.c->banner();
        r.info.name = r.c->get_text("robot_name");
        r.info.wr_ids = r.c->write_list();
        r.info.rd_groups.clear();
        const orvane::field& g = orvane::known_field("rd_group");
        for (int i = g.first; i <= g.last(); i++)
          r.info.rd_groups.push_back(r.c->get_bytes("rd_group", i));
        fprintf(stderr, "orvane-mqtt: robot %s: connected\n", o_.robot.c_str());
        if (r.ever)
          event(mq_event("robot-back", now_ms()));
        r.ever = true;
        publish_info(r);
        publish_status(r, "online");
        next_poll = now;
      } catch (const orvane::error& e) {
        robot_lost(e.what());
      }
    }
    // Stops first, and again before each command, so none waits behind the others.
    std::deque<job> jobs;
    {
      std::lock_guard<std::mutex> l(mu_);
      jobs.swap(jobs_);
    }
    for (size_t i = 0; i <= jobs.size(); i++) {
      try {
        take_stops(r);
        if (i < jobs.size())
          carry_out(r, jobs[i]);
      } catch (const orvane::error& e) {
        robot_lost(e.what());
      }
    }
    // One poll per state message, no more often than --rate and once a tick.
    if (r.c && clk::now() >= next_poll) {
      try {
        clk::time_point start = clk::now();
        for (size_t i = 0; i < plan.size(); i++)
          data[i] = r.c->read(plan[i].adr, plan[i].n);
        // A robot at rest answers the same bytes but for its pass counter: no event and no new
        // state message, so such a poll is not decoded until the heartbeat is due.
        std::vector<uint8_t> key = web_poll_key(plan, data);
        // The motion in play is the bridge's, not the map's: its news is news too.
        web_play play = player_.status();
        if (!play.playing && play.outcome == "stopped" && !r.why_stopped.empty())
          play.outcome += ": " + r.why_stopped;
        std::string play_key = mq_motion_json(play).dump();
        if (key == r.key && play_key == r.play_key && start - r.last_state < heartbeat) {
          r.meter.sample(web_loop_count(plan, data), start);
        } else {
          web_state s = web_decode(plan, data, *model_);
          s.play = play;
          r.play_key = play_key;
          r.meter.sample(s.loop_count, start);
          int64_t t = now_ms();
          if (r.last.connected)
            for (const std::string& e : mq_state_events(r.last, s, t))
              event(e);
          std::vector<int> wr;
          for (const web_servo& sv : s.servos)
            wr.push_back(sv.id);
          if (r.last.connected && wr != std::vector<int>(r.info.wr_ids.begin(), r.info.wr_ids.end())) {
            r.info.wr_ids = r.c->write_list();
            publish_info(r);
          }
          r.last = s;
          std::string content = mq_state_content(s, joints_);
          bool told = content == r.content;
          if (!told || start - r.last_state >= heartbeat) {
            told = link_->publish(mq_topic(o_.id, "state"),
                                  mq_state_json(s, joints_, r.meter.rate, t), 0, false);
            if (told) {
              r.content = std::move(content);
              r.last_state = start;
            }
          }
          // A state message the link did not take is tried again at the next poll.
          r.key = told ? std::move(key) : std::vector<uint8_t>{};
        }
        auto tick = std::chrono::microseconds(orvane::tick_us_of(r.last.tick_period));
        auto floor = std::chrono::duration<double>(1.0 / o_.rate);
        next_poll = start + std::max(std::chrono::duration_cast<clk::duration>(tick),
                                     std::chrono::duration_cast<clk::duration>(floor));
      } catch (const orvane::error& e) {
        robot_lost(e.what());
      }
    }
    // What the player did since the last look: started, finished, stopped, failed.
    web_play p = player_.status();
    if (r.stop_told) {
      r.stop_told = p.playing;
    } else if (p.playing && (!r.play.playing || p.name != r.play.name)) {
      event(mq_event("motion-started", now_ms(), {{"motion", p.name}}));
    } else if (!p.playing && r.play.playing) {
      std::string what = p.outcome == "done"      ? "motion-finished"
                         : p.outcome == "stopped" ? "motion-stopped"
                                                  : "motion-failed";
      std::vector<std::pair<std::string, std::string>> f = {{"motion", p.name}};
      if (what == "motion-failed")
        f.emplace_back("why", p.outcome);
      if (what == "motion-stopped" && !r.why_stopped.empty())
        f.emplace_back("why", r.why_stopped);
      event(mq_event(what, now_ms(), f));
    }
    r.play = p;
    try {
      identify(r, clk::now());
    } catch (const orvane::error& e) {
      robot_lost(e.what());
    }

    clk::time_point wake = r.c ? next_poll : next_robot;
    if (r.identifying)
      wake = std::min(wake, std::min(r.next_blink, r.identify_until));
    if (!link_->up())
      wake = std::min(wake, next_link);
    if (r.play.playing)  // its end is an event worth telling soon
      wake = std::min(wake, clk::now() + std::chrono::milliseconds(50));
    if (!wait_until(wake))
      break;
  }
  player_.stop();
  try {
    stop_and_hold(r);
  } catch (const orvane::error&) {
  }
  link_->disconnect("offline");  // not when the id was taken over: the link is down then
  return failure;
}
