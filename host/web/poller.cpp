#include "host/web/poller.h"

#include <algorithm>
#include <memory>

#include "orvane.h"
#include "host/web/state.h"

using clk = std::chrono::steady_clock;

namespace {

constexpr size_t max_jobs = 16;
constexpr size_t max_stop_dones = 256;  // more stops are answered at once, still carried out
constexpr auto player_end = std::chrono::seconds(2);  // a stopped motion ends within a poll
constexpr auto heartbeat = std::chrono::seconds(1);  // a page hears at least this often

int64_t now_ns()
{
  using namespace std::chrono;
  return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}


}  // namespace

web_poller::web_poller(int index, std::string address, double max_hz, publish_fn publish,
                       const web_motions& motions, std::shared_ptr<const orvane::robot_model> model,
                       sample_fn sample, sampling_fn sampling, web_mirror_opts mirror)
    : index_(index), address_(std::move(address)), max_hz_(max_hz), publish_(std::move(publish)),
      sample_(std::move(sample)), sampling_(std::move(sampling)), motions_(motions),
      model_(model ? std::move(model) : std::make_shared<const orvane::robot_model>()), player_(motions),
      mirror_(std::move(mirror))
{
  thread_ = std::thread([this] { run(); });
}

web_poller::~web_poller()
{
  {
    std::lock_guard<std::mutex> l(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
  for (job& j : jobs_)
    j.done(503, "orvane-web is stopping");
  for (done_fn& d : stop_dones_)
    d(503, "orvane-web is stopping");
}

void web_poller::submit(web_command cmd, done_fn done)
{
  if (cmd.what == web_command::stop) {
    player_.stop();  // at once, not after the commands queued before it
    mirror_.end();   // the mirroring's own thread holds the follower
    {
      std::lock_guard<std::mutex> l(mu_);
      stops_++;
      cv_.notify_all();
      if (stop_dones_.size() < max_stop_dones) {
        stop_dones_.push_back(std::move(done));
        return;
      }
    }
    return done(200, "stopping");
  }
  {
    std::lock_guard<std::mutex> l(mu_);
    if (!stop_ && jobs_.size() < max_jobs) {
      jobs_.push_back({std::move(cmd), std::move(done), stops_});
      cv_.notify_all();
      return;
    }
  }
  done(503, "too many commands waiting for " + address_);
}

std::shared_ptr<const web_state> web_poller::state() const
{
  std::lock_guard<std::mutex> l(state_mu_);
  return state_;
}

bool web_poller::wait_until(clk::time_point t)
{
  std::unique_lock<std::mutex> l(mu_);
  cv_.wait_until(l, t, [&] { return stop_ || !jobs_.empty() || stops_ != stops_done_; });
  return !stop_;
}

void web_poller::take_stops(const std::shared_ptr<orvane::client>& c, const std::string& problem)
{
  std::vector<done_fn> dones;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (stops_ == stops_done_)
      return;
    stops_done_ = stops_;
    dones.swap(stop_dones_);
  }
  player_.stop();  // again: a chained move started since the stop came clears the flag
  jog_.end("stopped");
  if (!c) {
    for (done_fn& d : dones)
      d(503, "robot not connected: " + problem);
    return;
  }
  try {
    player_.wait_idle(player_end);
    web_hold(*c);
  } catch (const orvane::error& e) {
    for (done_fn& d : dones)
      d(502, e.what());
    throw;
  }
  for (done_fn& d : dones)
    d(200, "stopped");
}

std::deque<web_poller::job> web_poller::take_jobs()
{
  std::lock_guard<std::mutex> l(mu_);
  return std::exchange(jobs_, {});
}

void web_poller::carry_out(const std::shared_ptr<orvane::client>& c, const job& j)
{
  const web_command& cmd = j.cmd;
  if (cmd.what == web_command::mirror) {
    if (cmd.action == "pause")
      mirror_.pause();
    else if (cmd.action == "end")
      mirror_.end();
    if (cmd.action != "engage")
      return j.done(200, cmd.action);
  }
  bool moves = cmd.what == web_command::move || cmd.what == web_command::play ||
               cmd.what == web_command::jog || cmd.what == web_command::mirror;
  if (moves) {
    {
      std::lock_guard<std::mutex> l(mu_);
      if (j.stops != stops_)
        return j.done(409, "stopped: a stop came after it");
    }
    if (std::string why = player_.busy(); !why.empty())
      return j.done(409, why);
  }
  if (cmd.what == web_command::mirror) {
    if (jog_.active())
      return j.done(409, "jogging: release the deadman first");
    if (std::string why = mirror_.engage(address_, cmd.leader_address, cmd.leader); !why.empty())
      return j.done(409, why);
    return j.done(200, "engaging");
  }
  if (moves) {
    if (std::string why = mirror_.busy(); !why.empty())
      return j.done(409, why);
  }
  if (cmd.what == web_command::jog) {
    if (std::string why = jog_.take(cmd.speeds, *model_, last_, std::chrono::steady_clock::now()); !why.empty())
      return j.done(400, why);
    return j.done(200, "jogging");
  }
  // A move too long for one trigger runs on the player, its goals judged where it ends.
  if (cmd.what == web_command::move)
    if (int ticks = web_move_ticks(*c, cmd); ticks > orvane::ttime_max) {
      player_.start_move(c, web_servo_goals(*model_, cmd), ticks, cmd.ms, "from a page of this orvane-web");
      return j.done(200, "moving");
    }
  if (cmd.what != web_command::play) {
    web_apply(*c, cmd);
    return j.done(200, "done");
  }
  auto list = motions_.list();
  auto m = std::find_if(list.begin(), list.end(), [&](auto& i) { return i.name == cmd.motion; });
  if (m == list.end())
    return j.done(404, "no motion named " + cmd.motion);
  if (!m->problem.empty())
    return j.done(400, m->problem);
  if (auto [status, why] = motions_.check(*c, cmd.motion); status != 200)
    return j.done(status, why);
  player_.start(c, cmd.motion, "from a page of this orvane-web");
  j.done(200, "playing");
}

void web_poller::run()
{
  const std::vector<web_range> plan = web_poll_plan();
  std::vector<std::vector<uint8_t>> data(plan.size());
  std::shared_ptr<orvane::client> c;
  web_state last;
  std::string last_content;
  std::vector<uint8_t> last_key;  // of the last poll decoded; empty: decode the next one
  clk::time_point last_push, next_poll = clk::now();
  rate_meter meter;
  uint64_t seq = 0;

  auto push = [&](web_state& s) {
    s.play = player_.status();
    s.mirror = mirror_.state();
    s.jog = jog_.state();
    int64_t t_ns = now_ns();
    if (sample_)
      sample_(s, meter.rate, t_ns);
    std::string content = web_state_content(s);
    clk::time_point now = clk::now();
    if (content == last_content && now - last_push < heartbeat)
      return;
    last_content = std::move(content);
    last_push = now;
    web_stats st{meter.rate, polls_.load(std::memory_order_relaxed), ++seq, t_ns / 1000000};
    publish_(web_state_json(index_, address_, s, st));
  };
  // The robot went away: the page keeps the last values, marked stale, and the reason.
  auto lost = [&](const std::string& why) {
    player_.stop();  // a motion is not taken up again after a reconnection
    jog_ = web_jog{};
    c.reset();
    last.connected = false;
    last.problem = why;
    meter = {};
    last_key.clear();
    push(last);
  };

  while (true) {
    if (!c) {
      try {
        c = std::make_shared<orvane::client>(address_, time_out);
        c->use_model(model_);
      } catch (const orvane::error& e) {
        lost(e.what());
        take_stops(nullptr, e.what());
        for (job& j : take_jobs())
          j.done(503, std::string("robot not connected: ") + e.what());
        if (!wait_until(clk::now() + retry))
          return;
        continue;
      }
    }
    // Stops first, and again before each command, so none waits behind the others.
    std::deque<job> jobs = take_jobs();
    for (size_t i = 0; i <= jobs.size(); i++) {
      try {
        take_stops(c, last.problem);
      } catch (const orvane::error& e) {
        lost(e.what());
      }
      if (i == jobs.size())
        break;
      job& j = jobs[i];
      if (!c) {
        j.done(503, "robot not connected: " + last.problem);
        continue;
      }
      try {
        carry_out(c, j);
      } catch (const orvane::out_of_range& e) {
        j.done(400, e.what());
      } catch (const orvane::error& e) {
        j.done(502, e.what());
        lost(e.what());
      }
    }
    if (!c)
      continue;
    try {
      clk::time_point start = clk::now();
      if (start >= next_poll) {
        for (size_t i = 0; i < plan.size(); i++)
          data[i] = c->read(plan[i].adr, plan[i].n);
        polls_.fetch_add(1, std::memory_order_relaxed);
        // A robot at rest answers the same bytes poll after poll but for its pass counter: such
        // a poll is not decoded, and only a heartbeat or a change of the player's, the
        // mirroring's or the jog's is sent, unless a Foxglove client takes every poll's state.
        // The state kept for other threads (goals, tick) is the same as the last one decoded.
        std::vector<uint8_t> key = web_poll_key(plan, data);
        bool sampled = sampling_ && sampling_();
        bool same_gateway = player_.status() == last.play && mirror_.state() == last.mirror &&
                            jog_.state() == last.jog;
        if (!sampled && key == last_key && same_gateway && start - last_push < heartbeat) {
          last.loop_count = web_loop_count(plan, data);
          meter.sample(last.loop_count, start);
        } else {
          last = web_decode(plan, data, *model_);
          last_ = last;
          {
            auto keep = std::make_shared<const web_state>(last);
            std::lock_guard<std::mutex> l(state_mu_);
            state_ = std::move(keep);
          }
          meter.sample(last.loop_count, start);
          push(last);
          last_key = std::move(key);
        }
        // The next poll no sooner than one tick and one 1/max_hz after this one began.
        auto tick = std::chrono::microseconds(orvane::tick_us_of(last.tick_period));
        auto floor = std::chrono::duration<double>(1.0 / max_hz_);
        next_poll = start + std::max(std::chrono::duration_cast<clk::duration>(tick),
                                     std::chrono::duration_cast<clk::duration>(floor));
      }
    } catch (const orvane::error& e) {
      lost(e.what());
      continue;
    }
    try {
      jog_.step(*c, *model_, last.tick_period, clk::now());
    } catch (const orvane::out_of_range& e) {
      jog_ = web_jog{};  // refused (the write list changed, a limit): the jog ends there
    } catch (const orvane::error& e) {
      lost(e.what());
      continue;
    }
    if (!wait_until(next_poll))
      return;
  }
}
