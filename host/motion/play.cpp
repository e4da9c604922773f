#include "host/motion/play.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "orvane_model.h"

namespace orvane::motion {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using clk = std::chrono::steady_clock;

namespace {

mo_outputs read_outputs(client& c)
{
  auto b = c.read(resolve("ip_out", 0).offset, 2 * channels);
  mo_outputs out{};
  for (size_t i = 0; i < out.size(); i++)
    out[i] = static_cast<int16_t>(b[2 * i] | b[2 * i + 1] << 8);
  return out;
}

plan_opts robot_opts(client& c, const play_opts& o)
{
  return {c.tick_us(), o.speed, o.repeat, o.seg};
}

bool stopping(const play_opts& o) { return o.stop && o.stop->load(); }

// Waits until channel `ch` has no steps left. It sleeps through most of the move, as ip_count
// says how many passes remain, and polls every eighth of a tick during the last one, so the
// next trigger lands before the following pass. False if the stop flag was set meanwhile.
bool wait_end(client& c, int ch, int32_t tick_us, const play_opts& o)
{
  uint32_t off = resolve("ip_count", ch).offset;
  microseconds tick(std::max<int32_t>(tick_us, 100));
  microseconds stall = std::max<microseconds>(3s, 4 * tick);
  int last = -1;
  auto give_up = clk::now() + stall;
  for (;;) {
    if (stopping(o))
      return false;
    int left = c.read(off, 1)[0];
    if (left == 0)
      return true;
    auto now = clk::now();
    if (left != last) {
      last = left;
      give_up = now + stall;
    } else if (now >= give_up) {
      throw timeout_error("the move on " + c.robot() + " made no progress: is the control loop running?");
    }
    microseconds nap = left > 1 ? tick * (left - 1) - tick / 2 : tick / 8;
    std::this_thread::sleep_for(std::clamp<microseconds>(nap, 500us, 50ms));
  }
}

// The enables and targets of a move, written while the move before still runs: the interpolator
// reads them only in the pass that takes a trigger, so only the trigger is left for the moment
// the move before ends (measured: a third of the passes lost at a load of 20 went to these
// round trips). Each run of neighbouring channels is one write.
struct stager {
  client& c;
  std::vector<uint8_t> enables;  // as the map holds them

  void stage(const mo_move& mv)
  {
    std::vector<uint8_t> want(channels, 0);
    std::vector<mo_target> t = mv.targets;
    std::sort(t.begin(), t.end(), [](const mo_target& a, const mo_target& b) { return a.ch < b.ch; });
    for (const mo_target& x : t)
      want[x.ch] = 1;
    if (want != enables) {
      c.write(resolve("ip_enable", 0).offset, want);
      enables = want;
    }
    for (size_t a = 0, b = 0; a < t.size(); a = b) {
      std::vector<uint8_t> bytes;
      for (b = a; b < t.size() && t[b].ch == t[a].ch + (b - a); b++) {
        bytes.push_back(static_cast<uint8_t>(t[b].value));
        bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(t[b].value) >> 8));
      }
      c.write(resolve("ip_target", t[a].ch).offset, bytes);
    }
  }
};

// Writes the trigger and waits until a pass has taken it. One that no pass takes within `stall`
// is withdrawn, so that a late pass cannot start it after the error.
void trigger(client& c, uint8_t ticks, microseconds stall)
{
  uint32_t off = resolve("ttime").offset;
  c.write(off, {ticks});
  auto give_up = clk::now() + stall;
  while (c.read(off, 1)[0] != 0) {
    if (clk::now() >= give_up) {
      c.write(off, {0});
      throw timeout_error("the robot at " + c.robot() + " did not start the move: is the control loop running?");
    }
    std::this_thread::sleep_for(500us);
  }
}

std::vector<int> motion_channels(const std::vector<mo_move>& moves)
{
  std::vector<int> chans;
  for (const mo_move& mv : moves)
    for (const mo_target& t : mv.targets)
      if (std::find(chans.begin(), chans.end(), t.ch) == chans.end())
        chans.push_back(t.ch);
  return chans;
}

}  // namespace

mo_outputs play_outputs(client& c) { return read_outputs(c); }

std::vector<mo_move> play_plan(client& c, const motion& m, const play_opts& o)
{
  return plan(m, robot_opts(c, o), read_outputs(c));
}

// One warning per cause, naming every servo it concerns.
std::vector<std::string> play_warnings(client& c, const motion& m)
{
  std::vector<std::string> w;
  if (c.get("sv_torque_on") == 0)
    w.push_back("sv_torque_on is 0: no servo has torque, so none will move");
  mo_outputs out = read_outputs(c);
  std::vector<int> wl = c.write_list();
  std::vector<int> seen, unlisted, limp;
  for (const keyframe& k : m.frames)
    for (const mo_target& t : k.targets) {
      int id = t.ch;
      if (id < 1 || id > MO_MAX_ID || std::find(seen.begin(), seen.end(), id) != seen.end())
        continue;
      seen.push_back(id);
      if (std::find(wl.begin(), wl.end(), id) == wl.end())
        unlisted.push_back(id);
      bool given = std::any_of(m.frames.begin(), m.frames.end(), [&](const keyframe& f) {
        return std::any_of(f.targets.begin(), f.targets.end(),
                           [&](const mo_target& x) { return x.ch == mo_torque_ch(id) && x.value != 0; });
      });
      if (out[static_cast<size_t>(mo_torque_ch(id))] == 0 && !given)
        limp.push_back(id);
    }
  auto who = [](const std::vector<int>& ids) {
    std::string s = ids.size() == 1 ? "servo " : "servos ";
    for (size_t i = 0; i < ids.size(); i++)
      s += (i ? ", " : "") + std::to_string(ids[i]);
    return s + (ids.size() == 1 ? " is" : " are");
  };
  if (!unlisted.empty())
    w.push_back(who(unlisted) + " not in the write list: " + (unlisted.size() == 1 ? "it gets" : "they get") +
                " no goals");
  if (!limp.empty())
    w.push_back(who(limp) + " without torque and the motion does not switch it on: " +
                (limp.size() == 1 ? "it" : "they") + " will not follow");
  return w;
}

std::vector<int> play_moving(client& c, const motion& m)
{
  std::vector<int> chans;
  for (const keyframe& k : m.frames)
    for (const mo_target& t : k.targets)
      chans.push_back(t.ch);
  return c.moving(chans);
}

std::vector<std::string> play_refusals(client& c, const motion& m)
{
  std::shared_ptr<const robot_model> model = c.model();
  mo_outputs goal = read_outputs(c);  // each servo's goal as the motion goes, from where it is
  std::vector<std::string> no;
  for (size_t i = 0; i < m.frames.size(); i++) {
    const keyframe& k = m.frames[i];
    std::string where = m.file + ":" + std::to_string(k.line) + ": keyframes[" + std::to_string(i + 1) + "]: ";
    for (const mo_target& t : k.targets)
      if (t.ch >= 1 && t.ch <= MO_MAX_ID) {
        if (std::string why = model->goal_refusal(t.ch, t.value); !why.empty())
          no.push_back(where + why);
        goal[t.ch] = t.value;
      }
    for (const mo_target& t : k.targets)
      if (t.ch > MO_MAX_ID && t.ch <= 2 * MO_MAX_ID && t.value != 0)
        if (std::string why = model->torque_refusal(t.ch - MO_MAX_ID, goal[t.ch - MO_MAX_ID]); !why.empty())
          no.push_back(where + why);
  }
  return no;
}

void play_hold(client& c, const std::vector<int>& chans)
{
  mo_outputs out = read_outputs(c);
  std::vector<target> t;
  t.reserve(chans.size());
  for (int ch : chans)
    t.push_back({ch, out[static_cast<size_t>(ch)]});
  c.move_channels(t, 1);
}

play_result play(client& c, const motion& m, const play_opts& o)
{
  c.refuse(play_refusals(c, m));
  plan_opts po = robot_opts(c, o);
  mo_outputs start = read_outputs(c);
  std::vector<mo_span> spans = plan_spans(m, po, start);
  std::vector<mo_move> moves = plan(spans, po.seg);
  play_result r;
  r.planned = moves.size();
  r.ticks = plan_ticks(moves);
  microseconds tick(std::max<int32_t>(po.tick_us, 100));
  microseconds stall = std::max<microseconds>(3s, 4 * tick);
  std::vector<uint8_t> enables = c.read(resolve("ip_enable", 0).offset, channels);
  stager st{c, enables};
  size_t i = 0, running = 0;  // the move being staged, the one the daemon runs
  // A robot lost on the way: the error says how far the motion got.
  auto progress = [&](const error& e) {
    size_t at = r.moves ? running : i;
    std::string where = at < moves.size() ? ", in keyframe " + std::to_string(moves[at].frame + 1) : "";
    return std::string(e.what()) + "; play stopped after " + std::to_string(r.moves) + " of " +
           std::to_string(r.planned) + " moves" + where;
  };
  // The enables as they were, once the motion has ended or failed (a closed line cannot).
  auto put_back = [&] {
    try {
      if (st.enables != enables)
        c.write(resolve("ip_enable", 0).offset, enables);
    } catch (const error&) {
    }
  };
  try {
    if (!moves.empty())
      st.stage(moves[0]);
    auto l0 = static_cast<uint32_t>(c.get("loop_count"));
    r.first_pass = l0;
    if (o.on_start)
      o.on_start(spans, start, l0);
    // Move i is due to end in pass l0 + due; the previous one ended in pass l0 + prev_end.
    int64_t due = 0, prev_end = 0;
    int last_ch = -1;
    for (; i < moves.size(); i++) {
      const mo_move& mv = moves[i];
      due += mv.ticks;
      if (i > 0)
        st.stage(mv);
      if (last_ch >= 0 && !wait_end(c, last_ch, po.tick_us, o))
        r.stopped = true;
      if (r.stopped || stopping(o)) {
        r.stopped = true;
        break;
      }
      // The next pass takes the trigger, and none before the move before ended as planned; the
      // move is given the ticks left until its planned end, so a late host costs no pass.
      auto now = static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(c.get("loop_count")) - l0));
      int64_t first = std::max(now + 1, prev_end + 1);
      int64_t n = due - first + 1;
      prev_end = due;
      if (n < static_cast<int64_t>(mv.ticks))
        r.late++;
      if (n < 1 && mv.part < mv.parts) {
        r.skipped++;  // a point on the way that is already past: the next one is aimed at
        continue;
      }
      trigger(c, static_cast<uint8_t>(std::clamp<int64_t>(n, 1, int64_t{mv.ticks})), stall);
      last_ch = mv.targets.front().ch;
      running = i;
      r.moves++;
      if (o.on_move)
        o.on_move(i, moves.size(), mv);
    }
    if (!r.stopped && last_ch >= 0)
      r.stopped = !wait_end(c, last_ch, po.tick_us, o);
  } catch (const timeout_error& e) {
    put_back();
    throw timeout_error(progress(e));
  } catch (const closed_error& e) {
    throw closed_error(progress(e));
  } catch (const protocol_error& e) {
    throw protocol_error(progress(e));
  }
  put_back();
  if (r.stopped)
    play_hold(c, motion_channels(moves));
  // The pass that ends a move counts itself only after its interpolation step (a loaded daemon
  // may be held up between the two): wait for the count to reach the plan's end, a few ticks at
  // most, or the last pass may not be in it yet.
  auto counted = [&] { return static_cast<uint32_t>(c.get("loop_count")) - r.first_pass; };
  auto give_up = clk::now() + 4 * tick;
  for (r.passes = counted(); !r.stopped && r.passes < r.ticks && clk::now() < give_up; r.passes = counted())
    std::this_thread::sleep_for(std::clamp<microseconds>(tick / 8, 500us, 5ms));
  return r;
}

}  // namespace orvane::motion
