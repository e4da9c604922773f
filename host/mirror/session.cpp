// The mirroring loop. Each leader tick is split into `polls` cycles; a cycle reads the leader
// (two dumps in one send) and, as soon as the answer is in, sends the follower its new goals
// with a trigger and asks for its state in the same send, without waiting for that answer: the
// follower's answers are taken whenever they come. Nothing in a cycle allocates; set-up, put-back
// and reconnections (side.h) do, outside the cycles.
#include "host/mirror/session.h"

#include <poll.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <cstdio>

#include "host/mirror/link.h"
#include "host/mirror/map.h"
#include "host/mirror/rules.h"
#include "host/mirror/side.h"
#include "host/motion/motion_file.h"

namespace orvane::mirror {

namespace {

using clk = std::chrono::steady_clock;
constexpr size_t max_pairs = servo_max;
constexpr size_t ring = 8;         // goals sent whose effect the follower has not shown yet
constexpr size_t slots = 4;        // follower reads outstanding at once
constexpr double retry_s = 1.0;    // between attempts to reach a robot again
constexpr int resume_ticks = 3;    // leader ticks of good readings before a hold is left

std::vector<int> leader_ids(const std::vector<pair>& ps)
{
  std::vector<int> v;
  for (const pair& p : ps)
    if (std::find(v.begin(), v.end(), p.leader.id) == v.end())
      v.push_back(p.leader.id);
  return v;
}

std::vector<int> follower_ids(const std::vector<pair>& ps)
{
  std::vector<int> v;
  v.reserve(ps.size());
  for (const pair& p : ps)
    v.push_back(p.follower.id);
  return v;
}

}  // namespace

const char* phase_name(phase p)
{
  switch (p) {
    case phase::starting:
      return "starting";
    case phase::engaging:
      return "engaging";
    case phase::tracking:
      return "tracking";
    case phase::paused:
      return "paused";
    case phase::holding:
      return "holding";
    case phase::waiting:
      return "waiting";
    case phase::ended:
      return "ended";
  }
  return "";
}

struct session::loop {
  struct sent {
    uint64_t seq = 0;
    double src = 0;  // when the leader's answer that gave these goals came in
    int16_t u[max_pairs] = {};
  };
  struct slot {
    uint64_t tag = 0;  // the last goals sent before this read
    uint8_t tail[0x300];
    uint8_t loop[4];
  };

  session& s;
  const options& o;
  const size_t n;
  leader_side L;
  follower_side F;
  tick_link ll, fl;
  clk::time_point t0 = clk::now();

  // The leader.
  uint8_t lhead[0x100] = {}, lposb[2 * servo_max] = {};
  int16_t lpos[servo_max];
  uint32_t lpos_n;  // bytes of sv_pos read: up to the highest leader id
  bool lasked = false;
  double lreq_t = 0, lloop_t = 0, lretry = 0;
  uint32_t lloop = 0;
  int32_t ltick = 16667;
  double fresh_since = -1;  // since when every reading has been current; -1: one is not
  double lvalid_t[max_pairs];
  bool lvalid[max_pairs];
  reading lwhy[max_pairs];
  int lblock[max_pairs];
  double target[max_pairs];  // follower joint degrees the leader asks for, within its range
  range rng[max_pairs];

  // The follower.
  slot sl[slots];
  uint64_t asked = 0, done = 0;  // follower reads asked and taken
  uint64_t fans = 0;             // answers taken, two a read
  double fans_t = 0, fretry = 0;
  int32_t ftick = 16667;
  int16_t fgoal[channels] = {}, fpos[servo_max] = {};
  uint8_t fcnt[max_pairs] = {};  // passes left in each follower goal's move, as last read
  bool settled = false;          // the last read shows every move of ours ended, after our last goals
  uint64_t seen_seq = 0;         // the goals the last read came after
  bool have_pass = false;
  uint32_t fpass = 0;
  sent ring_[ring];
  uint64_t seq = 0;
  uint64_t lag_seq = 0;
  struct run_ {
    size_t first, len;  // pairs sorted by follower id, consecutive ids
  };
  std::vector<size_t> order;  // pair indices by follower id
  std::vector<run_> runs;

  // The follower's goals.
  limiter lim[max_pairs];
  bool start_needed = true;
  int16_t last_u[max_pairs];
  phase ph = phase::starting;
  bool paused = false;
  status st;

  loop(session& ss, const options& oo)
      : s(ss), o(oo), n(oo.pairs.size()), L(leader_ids(oo.pairs), oo.same_robot ? follower_ids(oo.pairs) : std::vector<int>{}),
        F(follower_ids(oo.pairs), !oo.same_robot)
  {
    if (n == 0 || n > max_pairs)
      throw out_of_range("mirroring takes 1 to 32 joints, not " + std::to_string(n));
    int top = 0;
    for (size_t k = 0; k < n; k++) {
      top = std::max(top, o.pairs[k].leader.id);
      rng[k] = joint_range(o.pairs[k].follower);
      lvalid_t[k] = 0;
      lvalid[k] = true;
      lwhy[k] = reading::valid;
      lblock[k] = 0;
      last_u[k] = INT16_MIN;
      order.push_back(k);
    }
    lpos_n = 2 * static_cast<uint32_t>(top);
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return o.pairs[a].follower.id < o.pairs[b].follower.id; });
    for (size_t i = 0; i < order.size(); i++) {
      int id = o.pairs[order[i]].follower.id;
      if (!runs.empty() && o.pairs[order[i - 1]].follower.id == id - 1)
        runs.back().len++;
      else
        runs.push_back({i, 1});
    }
    std::fill(std::begin(lpos), std::end(lpos), no_reading);
  }

  double now() const { return std::chrono::duration<double>(clk::now() - t0).count(); }
  double lt() const { return ltick / 1e6; }
  double period() const { return lt() / std::max(1, o.polls); }

  void sayf(const char* fmt, ...) __attribute__((format(printf, 2, 3)))
  {
    char b[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(b, sizeof b, fmt, ap);
    va_end(ap);
    if (s.say)
      s.say(b);
  }

  void set_phase(phase p, const char* why)
  {
    bool changed = p != ph || strcmp(why, st.why) != 0;
    ph = p;
    snprintf(st.why, sizeof st.why, "%s", why);
    if (p == phase::engaging)
      start_needed = true;
    if (p == phase::holding)
      st.holds++;
    if (changed && p == phase::engaging && !*why)
      sayf("engaging: the follower comes to the leader's pose at %g degrees a second at most", o.engage.speed);
    else if (changed && p != phase::ended)
      sayf("%s%s%s", phase_name(p), *why ? ": " : "", why);
  }

  void publish()
  {
    st.ph = ph;
    st.leader_tick_us = ltick;
    st.follower_tick_us = ftick;
    st.leader_every = L.active() ? L.groups().leader_every : 0;
    std::lock_guard<std::mutex> g(s.mu_);
    s.st_ = st;
  }

  // ---- Start and end.

  void begin()
  {
    L.begin(o.leader, o.timeout);
    try {
      F.begin(o.follower, o.timeout);
    } catch (...) {
      L.end(false);
      throw;
    }
    for (const auto& note : F.notes)
      sayf("%s", note.c_str());
    if (!ll.open(L.robot(), o.timeout) || !fl.open(F.robot(), o.timeout)) {
      std::string why = ll.up() ? fl.reason() : ll.reason();
      finish();
      throw error(why);
    }
    ftick = F.tick_us;
    double t = now();
    lloop_t = fans_t = t;
    for (size_t k = 0; k < n; k++)
      lvalid_t[k] = t;
    fresh_since = t;
    const layout& g = L.groups();
    sayf("leader %s: servos read every %d tick%s%s", L.robot().c_str(), g.leader_every, g.leader_every == 1 ? "" : "s",
         g.unread.empty() ? "" : "; some follower servos are not read: no room beside the leader's");
    set_phase(phase::engaging, "");
  }

  void finish()
  {
    ll.close();
    fl.close();
    bool f = F.active(), l = L.active();
    bool fok = F.end();
    bool lok = L.end(o.leader_torque);
    if (f)
      sayf(fok ? "the follower holds where it is" : "the follower could not be put back");
    if (l)
      sayf(lok ? (o.leader_torque ? "the leader's torque is back, holding where it was left"
                                  : "the leader stays limp (--leader-torque gives its torque back)")
               : "the leader could not be put back");
    set_phase(phase::ended, "");
  }

  // ---- Losing and finding the robots.

  void lost_leader(const char* why)
  {
    char b[200];
    snprintf(b, sizeof b, "leader at %.48s lost: %.120s", L.robot().c_str(), why);
    ll.close();
    L.forget();
    lasked = false;
    fresh_since = -1;
    lretry = now() + retry_s;
    if (ph != phase::waiting && ph != phase::paused)
      set_phase(phase::holding, b);
    else
      sayf("%s", b);
  }

  void lost_follower(const char* why)
  {
    char b[200];
    snprintf(b, sizeof b, "follower at %.48s unreachable: %.100s; the leader stays limp", F.robot().c_str(), why);
    fl.close();
    F.forget();
    fretry = now() + retry_s;
    asked = done = fans = 0;
    have_pass = false;  // a follower found again may be a daemon started afresh
    set_phase(phase::waiting, b);
  }

  void reconnect(double t)
  {
    if (!L.active() && t >= lretry) {
      try {
        L.begin(o.leader, o.timeout);
        if (!ll.open(L.robot(), o.timeout))
          throw error(ll.reason());
        double u = now();
        lloop_t = u;
        for (size_t k = 0; k < n; k++)
          lvalid_t[k] = u;
        sayf("leader at %s back", L.robot().c_str());
      } catch (const error& e) {
        ll.close();
        L.forget();
        lretry = now() + retry_s;
      }
    }
    if (!F.active() && t >= fretry) {
      try {
        F.begin(o.follower, o.timeout);
        if (!fl.open(F.robot(), o.timeout))
          throw error(fl.reason());
        fans_t = now();
        ftick = F.tick_us;
        settled = false;
        seen_seq = seq;
        sayf("follower at %s back", F.robot().c_str());
        if (!paused)
          set_phase(leader_good(now()) ? phase::engaging : phase::holding, leader_good(now()) ? "" : "waiting for the leader");
        else
          set_phase(phase::paused, "");
      } catch (const error& e) {
        fl.close();
        F.forget();
        fretry = now() + retry_s;
      }
    }
  }

  // ---- The leader.

  void ask_leader(double t)
  {
    if (!ll.up() || lasked)
      return;
    if (!ll.want(at().head_from, at().head_n, lhead) || !ll.want(at().sv_pos, lpos_n, lposb))
      return;
    lasked = true;
    lreq_t = t;
    if (!ll.send())
      lost_leader(ll.reason());
  }

  void took_leader(double t)
  {
    lasked = false;
    st.polls++;
    const map_at& a = at();
    ltick = tick_us_of(static_cast<int32_t>(word32(lhead + (a.tick_period - a.head_from))));
    bool comm = word16(lhead + (a.sv_comm_on - a.head_from)) != 0;
    uint32_t loopc = word32(lhead + (a.loop_count - a.head_from));
    if (loopc != lloop) {
      lloop = loopc;
      lloop_t = t;
    }
    for (uint32_t i = 0; i < lpos_n / 2; i++)
      lpos[i] = word16(lposb + size_t{2} * i);
    const uint8_t* groups = lhead + (a.rd_group - a.head_from);
    bool all = true;
    for (size_t k = 0; k < n; k++) {
      const pair& p = o.pairs[k];
      lwhy[k] = reading_at(groups, lpos, comm, p.leader.id, &lblock[k]);
      lvalid[k] = lwhy[k] == reading::valid;
      if (!lvalid[k]) {
        all = false;
        continue;
      }
      lvalid_t[k] = t;
      double d = p.scale * joint_of(p.leader, lpos[p.leader.id - 1]) + p.offset;
      target[k] = std::clamp(d, rng[k].lo, rng[k].hi);
    }
    if (!all)
      fresh_since = -1;
    else if (fresh_since < 0)
      fresh_since = t;
    take_follower(t);  // its answer shows whether the last goals were taken
    watchdog(t);
    if (ph == phase::engaging || ph == phase::tracking)
      drive(t, t);
    if (fl.up() && fl.pending_out() && !fl.send())
      lost_follower(fl.reason());
  }

  bool leader_good(double t) const
  {
    return ll.up() && fresh_since >= 0 && t - fresh_since >= resume_ticks * lt() && t - lloop_t <= o.watchdog_ticks * lt();
  }

  // Why the follower must hold now, or nullptr.
  const char* stale(double t, char* b, size_t bn) const
  {
    double bound = o.watchdog_ticks * lt();
    if (!ll.up())
      return "the leader is lost";
    if (lasked && t - lreq_t > bound) {
      snprintf(b, bn, "the leader has not answered for %.0f ms", (t - lreq_t) * 1e3);
      return b;
    }
    if (t - lloop_t > bound) {
      snprintf(b, bn, "the leader's control loop has run no pass for %.0f ms", (t - lloop_t) * 1e3);
      return b;
    }
    for (size_t k = 0; k < n; k++)
      if (t - lvalid_t[k] > bound) {
        int id = o.pairs[k].leader.id;
        if (lwhy[k] == reading::behind)
          snprintf(b, bn, "no reading of leader servo %d for %.0f ms: behind silent servo %d", id,
                   (t - lvalid_t[k]) * 1e3, lblock[k]);
        else
          snprintf(b, bn, "no reading of leader servo %d for %.0f ms: %s", id, (t - lvalid_t[k]) * 1e3,
                   reading_text(lwhy[k]));
        return b;
      }
    return nullptr;
  }

  void watchdog(double t)
  {
    char b[200];
    if (ph == phase::engaging || ph == phase::tracking) {
      if (const char* why = stale(t, b, sizeof b))
        set_phase(phase::holding, why);
    } else if (ph == phase::holding) {
      const char* why = stale(t, b, sizeof b);
      if (why && !same_cause(why, st.why)) {
        // Still the same hold, but for another cause now (the loop ran again, a servo fell
        // silent meanwhile): the user is told what keeps it holding.
        snprintf(st.why, sizeof st.why, "%s", why);
        sayf("%s: %s", phase_name(ph), why);
      } else if (F.active() && leader_good(t)) {
        set_phase(phase::engaging, "");
      }
    }
  }

  // Whether two reasons for a hold name the same cause: alike up to their " for N ms".
  static bool same_cause(const char* a, const char* b)
  {
    const char* ea = strstr(a, " for ");
    const char* eb = strstr(b, " for ");
    size_t na = ea ? static_cast<size_t>(ea - a) : strlen(a);
    size_t nb = eb ? static_cast<size_t>(eb - b) : strlen(b);
    return na == nb && strncmp(a, b, na) == 0;
  }

  // ---- The follower.

  // Asks for the follower's state, after whatever goals are queued, and sends them together.
  void ask_follower()
  {
    if (!fl.up())
      return;
    if (asked - done < slots) {
      slot& x = sl[asked % slots];
      if (fl.want(at().tail_from, at().tail_n, x.tail) && fl.want(at().loop_count, 4, x.loop)) {
        x.tag = seq;
        asked++;
      }
    }
    if (fl.pending_out() && !fl.send())
      lost_follower(fl.reason());
  }

  void take_follower(double t)
  {
    if (!fl.up() || (fl.awaited() == 0 && !fl.pending_out()))
      return;  // nothing asked that has not come: a look would only be told so
    if (!fl.take())
      return lost_follower(fl.reason());
    took_follower(t);
  }

  void took_follower(double t)
  {
    const map_at& a = at();
    while (fl.answers() - fans >= 2 && done < asked) {
      fans_t = t;
      slot& x = sl[done % slots];
      done++;
      fans += 2;
      const uint8_t* out = x.tail + (a.ip_out - a.tail_from);
      const uint8_t* cnt = x.tail + (a.ip_count - a.tail_from);
      for (int ch = 0; ch < channels; ch++)
        fgoal[ch] = word16(out + static_cast<ptrdiff_t>(2) * ch);
      for (int i = 0; i < servo_max; i++)
        fpos[i] = word16(x.tail + (a.sv_pos - a.tail_from) + static_cast<ptrdiff_t>(2) * i);
      bool ttime_clear = x.tail[a.ttime - a.tail_from] == 0;
      bool ended = ttime_clear;
      for (size_t k = 0; k < n; k++) {
        fcnt[k] = cnt[motion::mo_goal_ch(o.pairs[k].follower.id)];
        ended = ended && fcnt[k] == 0;
      }
      seen_seq = x.tag;
      settled = ended && x.tag == seq;
      if (ttime_clear && x.tag > lag_seq) {
        // Every trigger sent before this read has been taken: the newest goals are in the map.
        const sent& e = ring_[x.tag % ring];
        if (e.seq == x.tag) {
          double ms = (t - e.src) * 1e3;
          st.lag_ms = st.lag_ms < 0 ? ms : st.lag_ms + 0.1 * (ms - st.lag_ms);
          st.lag_ticks = st.lag_ms * 1e3 / ftick;
        }
        lag_seq = x.tag;
      }
      uint32_t pass = word32(x.loop);
      if (!have_pass || pass != fpass) {
        uint32_t missed = have_pass ? pass - fpass - 1 : 0;
        have_pass = true;
        fpass = pass;
        if (s.record)
          s.record({t, pass, missed, fgoal, fpos, lpos, lvalid});
      }
    }
  }

  // Holds goal `u` to what no pass can reach faster than `speed` allows. A trigger of one tick
  // puts the output on the goal in the pass that takes it, from wherever the output is then:
  // between what the last read showed (give or take the passes left of a move then under way,
  // each no faster than the limit) and the goals sent since. False when they lie too far apart
  // for any goal to suit them all (the follower has not yet shown what was sent): nothing goes.
  bool within_pass(size_t k, int16_t& u, double speed) const
  {
    if (speed <= 0)
      return true;
    double pp = speed * (ftick / 1e6) * 10;  // 0.1-degree units a pass
    double c = fgoal[motion::mo_goal_ch(o.pairs[k].follower.id)];
    double lo = c - fcnt[k] * pp, hi = c + fcnt[k] * pp;
    for (const sent& e : ring_)
      if (e.seq >= seen_seq && e.seq <= seq && e.seq > 0) {
        lo = std::min<double>(lo, e.u[k]);
        hi = std::max<double>(hi, e.u[k]);
      }
    double a = std::ceil(hi - pp - 1e-9), b = std::floor(lo + pp + 1e-9);
    if (a > b)
      return false;
    u = static_cast<int16_t>(std::clamp<double>(u, a, b));
    return true;
  }

  void drive(double t, double src)
  {
    if (!fl.up())
      return;
    if (start_needed) {
      // From where the follower holds now, once our last move there has ended: never a step.
      if (!settled)
        return;
      for (size_t k = 0; k < n; k++) {
        const joint& j = o.pairs[k].follower;
        lim[k].start(joint_of(j, fgoal[motion::mo_goal_ch(j.id)]));
        last_u[k] = fgoal[motion::mo_goal_ch(j.id)];
      }
      start_needed = false;
      return;
    }
    // How often a leader servo is read: its reading changes no more often than that.
    double every = std::max(1, L.active() ? L.groups().leader_every : 1) * lt();
    bool engaging = ph == phase::engaging;
    bool close = true, changed = false, go = true;
    int16_t u[max_pairs];
    double gap = 0;
    for (size_t k = 0; k < n; k++) {
      const joint& j = o.pairs[k].follower;
      // The engage closes the gap at its own gentle speed beyond the leader's, within the
      // joint's limits: a leader that stands still is reached at no more than that speed, and
      // one that moves is caught up with. Without an acceleration of its own, the joint takes
      // the engage's.
      limits l{j.speed, j.accel, 0};
      if (engaging) {
        l.closing = o.engage.speed;
        if (l.accel <= 0)
          l.accel = o.engage.accel;
      }
      // The limiter's goal is the smooth one; what is sent goes after it no faster than the
      // follower can be sure to take in a pass.
      lim[k].follow(target[k], t, every, l);
      // Within the soft limits, whatever the limiter does; a follower held beyond them when it
      // engaged comes back toward them and never goes further out.
      double held = joint_of(j, last_u[k]);
      lim[k].keep_within(std::min(rng[k].lo, held), std::max(rng[k].hi, held));
      double x = lim[k].x;
      u[k] = units_of(j, x);
      double fastest = l.speed;
      if (engaging) {
        double catch_up = std::fabs(lim[k].target_speed()) + o.engage.speed;
        fastest = l.speed > 0 ? std::min(l.speed, catch_up) : catch_up;
      }
      go = go && within_pass(k, u[k], fastest);
      double sent = joint_of(j, u[k]);
      gap = std::max(gap, std::fabs(target[k] - sent));
      close = close && std::fabs(target[k] - sent) <= o.engage_close && std::fabs(target[k] - x) <= o.engage_close;
      changed = changed || u[k] != last_u[k];
    }
    st.gap = gap;
    if (!go || seq - seen_seq >= ring - 1)
      return;  // the follower shows nothing of what was sent: no more until it answers
    if (engaging && close)
      set_phase(phase::tracking, "");
    if (!changed)
      return;
    const map_at& a = at();
    for (const run_& r : runs) {
      uint8_t b[2 * max_pairs];
      for (size_t i = 0; i < r.len; i++) {
        size_t k = order[r.first + i];
        b[2 * i] = static_cast<uint8_t>(u[k] & 0xff);
        b[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(u[k]) >> 8);
      }
      int ch = motion::mo_goal_ch(o.pairs[order[r.first]].follower.id);
      fl.put(a.ip_target + 2 * static_cast<uint32_t>(ch), b, 2 * r.len);
    }
    uint8_t one = 1;
    fl.put(a.ttime, &one, 1);
    seq++;
    sent& e = ring_[seq % ring];
    e.seq = seq;
    e.src = src;
    for (size_t k = 0; k < n; k++) {
      e.u[k] = u[k];
      last_u[k] = u[k];
    }
    st.writes++;
    settled = false;
  }

  // ---- The loop.

  void wait_io(double until)
  {
    pollfd pf[2];
    nfds_t k = 0;
    int li = -1, fi = -1;
    if (ll.up()) {
      li = static_cast<int>(k);
      pf[k++] = {ll.fd(), static_cast<short>(POLLIN | (ll.pending_out() ? POLLOUT : 0)), 0};
    }
    // The follower's answers are taken as the leader's come and at each cycle, without a wake-up
    // of their own, unless the leader is away or a send waits for room.
    if (fl.up() && (!ll.up() || fl.pending_out())) {
      fi = static_cast<int>(k);
      pf[k++] = {fl.fd(), static_cast<short>(POLLIN | (fl.pending_out() ? POLLOUT : 0)), 0};
    }
    double left = std::max(0.0, until - now());
    timespec ts{static_cast<time_t>(left), static_cast<long>((left - std::floor(left)) * 1e9)};
    int r = ppoll(pf, k, &ts, nullptr);
    if (r <= 0)
      return;
    double t = now();
    if (li >= 0 && pf[li].revents) {
      if (((pf[li].revents & POLLOUT) && !ll.send()) || !ll.take())
        lost_leader(ll.reason());
      else if (lasked && ll.awaited() == 0)
        took_leader(t);
    }
    if (fi >= 0 && pf[fi].revents && fl.up()) {
      if (((pf[fi].revents & POLLOUT) && !fl.send()) || !fl.take())
        lost_follower(fl.reason());
      else
        took_follower(t);
    }
  }

  void run(const std::atomic<bool>& stop)
  {
    double next = now();
    while (!stop.load(std::memory_order_relaxed)) {
      double t = now();
      if (t >= next) {
        next += period();
        if (next < t)
          next = t + period();  // late: no catching up
        reconnect(t);
        bool want = s.paused_.load(std::memory_order_relaxed);
        if (want != paused) {
          paused = want;
          if (paused)
            set_phase(phase::paused, "paused on request");
          else if (F.active())
            set_phase(leader_good(t) ? phase::engaging : phase::holding, leader_good(t) ? "" : "waiting for the leader");
        }
        if (F.active() && fl.up() && t - fans_t > static_cast<double>(o.timeout.count()) / 1e3 && done < asked)
          lost_follower("it does not answer");
        if (L.active() && lasked && t - lreq_t > static_cast<double>(o.timeout.count()) / 1e3)
          lost_leader("it does not answer");
        watchdog(t);
        // The follower is read as the leader is, so that its answer, which shows whether the
        // last goals have been taken, is in when the leader's brings the next.
        take_follower(t);
        ask_follower();
        if (ll.up())
          ask_leader(t);
        publish();
      }
      wait_io(next);
    }
  }
};

session::session(options o) : o_(std::move(o)) {}

session::~session() = default;

void session::run(const std::atomic<bool>& stop)
{
  l_ = std::make_unique<loop>(*this, o_);
  l_->begin();
  l_->publish();
  try {
    l_->run(stop);
  } catch (...) {
    l_->finish();
    l_->publish();
    throw;
  }
  l_->finish();
  l_->publish();
}

void session::pause(bool on) { paused_.store(on, std::memory_order_relaxed); }

status session::now() const
{
  std::lock_guard<std::mutex> g(mu_);
  return st_;
}

}  // namespace orvane::mirror
