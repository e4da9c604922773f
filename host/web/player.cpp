#include "host/web/player.h"

#include <algorithm>
#include <exception>

#include "host/client/known_field.h"
#include "orvane.h"
#include "orvane_model.h"

using clk = std::chrono::steady_clock;

namespace {

// The outputs of the servo goal channels 1..servo_max, servo 1 first.
std::vector<int16_t> goal_outputs(orvane::client& c)
{
  const orvane::field& goal = orvane::known_field("servo.#.goal");
  std::vector<uint8_t> b = c.read(goal.offset_of(1), orvane::servo_max * goal.width);
  std::vector<int16_t> out;
  out.reserve(orvane::servo_max);
  for (int i = 0; i < orvane::servo_max; i++)
    out.push_back(static_cast<int16_t>(orvane::decode(goal, b.data() + static_cast<size_t>(i) * goal.width)));
  return out;
}

}  // namespace

void web_hold(orvane::client& c)
{
  const orvane::field& count = orvane::known_field("ip_count");
  const orvane::field& out = orvane::known_field("ip_out");
  const orvane::field& goal = orvane::known_field("servo.#.goal");
  int first = goal.channel_of(1), last = goal.channel_of(orvane::servo_max);
  int n = last - first + 1;
  // The outputs and the counts in one read when the map keeps them close (it keeps the counts
  // right after the outputs): a stop's hold is one round trip shorter.
  uint32_t from = std::min(out.offset_of(first), count.offset_of(first));
  uint32_t to = std::max(out.offset_of(last) + out.width, count.offset_of(last) + count.width);
  std::vector<uint8_t> counts, outs;
  if (to - from <= 512) {
    std::vector<uint8_t> all = c.read(from, static_cast<int>(to - from));
    auto counts_at = all.begin() + (count.offset_of(first) - from);
    auto outs_at = all.begin() + (out.offset_of(first) - from);
    counts.assign(counts_at, counts_at + static_cast<ptrdiff_t>(n) * count.width);
    outs.assign(outs_at, outs_at + static_cast<ptrdiff_t>(n) * out.width);
  } else {
    counts = c.read(count.offset_of(first), n * count.width);
    outs = c.read(out.offset_of(first), n * out.width);
  }
  std::vector<orvane::target> t;
  for (int i = 0; i < n; i++)
    if (orvane::decode(count, counts.data() + static_cast<size_t>(i) * count.width) != 0)
      t.push_back({first + i, static_cast<int16_t>(orvane::decode(out, outs.data() + static_cast<size_t>(i) * out.width))});
  if (!t.empty())
    c.move_channels(t, 1);
}

web_player::~web_player()
{
  stop();
  if (thread_.joinable())
    thread_.join();
}

void web_player::start(std::shared_ptr<orvane::client> c, const std::string& name, const std::string& by)
{
  // The thread before has ended (busy() said so); only its join is left. A stop asked before
  // this start is for the motion before, so it is cleared first.
  if (thread_.joinable())
    thread_.join();
  stop_ = false;
  uint64_t serial = 0;
  {
    std::lock_guard<std::mutex> l(mu_);
    status_ = {name, true, 0, 0, {}, "", 0};
    by_ = by;
    plan_.reset();
    serial = ++serial_;
  }
  thread_ = std::thread([this, c = std::move(c), name, serial] { run(*c, name, serial); });
}

void web_player::start_move(std::shared_ptr<orvane::client> c,
                            const std::vector<std::pair<int, double>>& goals, int ticks, int ms,
                            const std::string& by)
{
  if (thread_.joinable())
    thread_.join();
  stop_ = false;
  if (goals.empty())
    return;
  // The model judges where the move ends, not only its first part: a move that would stop at a
  // limit half-way is refused before anything moves.
  std::vector<std::string> refused;
  std::shared_ptr<const orvane::robot_model> model = c->model();
  for (auto [id, deg] : goals)
    if (id >= 1 && id <= orvane::servo_max && std::abs(deg) <= orvane::degrees_max)
      if (std::string why = model->goal_refusal(id, orvane::to_units(deg)); !why.empty())
        refused.push_back(why);
  c->refuse(std::move(refused));
  std::vector<int16_t> now = goal_outputs(*c);
  const orvane::field& goal = orvane::known_field("servo.#.goal");
  std::vector<orvane::target> from, to;
  std::vector<std::pair<int, double>> first;
  orvane::move_split s{ticks};
  for (auto [id, deg] : goals) {
    if (id < 1 || id > orvane::servo_max)
      throw orvane::out_of_range("servo id " + std::to_string(id) + " out of range 1..32");
    int16_t f = now[static_cast<size_t>(id - 1)], t = orvane::to_units(deg);
    from.push_back({goal.channel_of(id), f});
    to.push_back({goal.channel_of(id), t});
    first.emplace_back(id, orvane::to_degrees(s.target(f, t, 1)));
  }
  // Through move(), so the write list and the ranges are checked before anything moves.
  c->move(first, s.end_of(1));
  if (s.parts() == 1)
    return;
  {
    std::lock_guard<std::mutex> l(mu_);
    move_ms_ = std::max(ms, 1);
    by_ = by;
  }
  thread_ = std::thread([this, c = std::move(c), from = std::move(from), to = std::move(to), ticks]() mutable {
    run_move(*c, std::move(from), std::move(to), ticks);
  });
}

void web_player::stop()
{
  stop_ = true;
}

std::string web_player::busy() const
{
  std::lock_guard<std::mutex> l(mu_);
  if (move_ms_ != 0)
    return "a move of " + std::to_string(move_ms_) + " ms is under way" + (by_.empty() ? "" : ", started " + by_) +
           ": stop it first";
  if (!status_.playing)
    return "";
  return status_.name + " is playing" + (by_.empty() ? "" : ", started " + by_) + ": stop it first";
}

bool web_player::wait_idle(std::chrono::milliseconds limit) const
{
  auto end = clk::now() + limit;
  while (!busy().empty()) {
    if (clk::now() >= end)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

web_play web_player::status() const
{
  std::lock_guard<std::mutex> l(mu_);
  return status_;
}

std::shared_ptr<const std::string> web_player::plan() const
{
  std::lock_guard<std::mutex> l(mu_);
  return plan_;
}

void web_player::run(orvane::client& c, const std::string& name, uint64_t serial)
{
  std::string outcome;
  try {
    web_motions::events ev;
    ev.serial = serial;
    // Made once, before the first move; pages fetch it when the state names its serial.
    ev.plan = [this, serial](std::string json) {
      auto p = std::make_shared<const std::string>(std::move(json));
      std::lock_guard<std::mutex> l(mu_);
      plan_ = std::move(p);
      status_.plan = serial;
    };
    ev.start = [this](std::vector<std::string> warnings) {
      std::lock_guard<std::mutex> l(mu_);
      status_.warnings = std::move(warnings);
    };
    ev.move = [this](size_t i, size_t n) {
      std::lock_guard<std::mutex> l(mu_);
      status_.move = i + 1;
      status_.moves = n;
    };
    outcome = motions_.play(c, name, stop_, ev) ? "done" : "stopped";
  } catch (const std::exception& e) {
    outcome = e.what();
  }
  std::lock_guard<std::mutex> l(mu_);
  status_.playing = false;
  status_.outcome = outcome;
  status_.plan = 0;
  plan_.reset();
}

// Each part is started once ip_count of the first channel says the one before has ended; the
// wait sleeps through most of a part and polls every eighth of a tick in its last pass, as the
// client library's own chained moves do, and looks at the stop flag at least every 50 ms. A stop
// holds the channels where they are. A lost robot ends the move: the poller sees it too.
void web_player::run_move(orvane::client& c, std::vector<orvane::target> from,
                          std::vector<orvane::target> to, int ticks)
{
  using us = std::chrono::microseconds;
  orvane::move_split s{ticks};
  const orvane::field& count = orvane::known_field("ip_count");
  try {
    us tick(c.tick_us());
    for (int p = 2; p <= s.parts() && !stop_; p++) {
      int last = -1;
      auto give_up = clk::now() + std::max<us>(std::chrono::seconds(3), 4 * tick);
      while (!stop_) {
        int left = static_cast<int>(orvane::decode(count, c.read(count.offset_of(to.front().channel), 1).data()));
        if (left == 0)
          break;
        auto now = clk::now();
        if (left != last) {
          last = left;
          give_up = now + std::max<us>(std::chrono::seconds(3), 4 * tick);
        } else if (now >= give_up) {
          throw orvane::timeout_error("the move on " + c.robot() + " made no progress");
        }
        us nap = left > 1 ? tick * (left - 1) - tick / 2 : tick / 8;
        std::this_thread::sleep_for(std::clamp<us>(nap, us(500), std::chrono::milliseconds(50)));
      }
      if (stop_)
        break;
      std::vector<orvane::target> part;
      for (size_t i = 0; i < to.size(); i++)
        part.push_back({to[i].channel, s.target(from[i].value, to[i].value, p)});
      c.move_channels(part, s.end_of(p) - s.end_of(p - 1));
    }
    if (stop_)
      web_hold(c);
  } catch (const std::exception&) {
    // The robot went away or refused: the poller's next poll says so; the servos keep the
    // part they were given, which ends on the straight line.
  }
  std::lock_guard<std::mutex> l(mu_);
  move_ms_ = 0;
}
