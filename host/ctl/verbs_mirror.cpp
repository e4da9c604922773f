// The mirror verb: a leader robot moved by hand drives a follower. The loop is the mirroring
// library's (host/mirror/); this file reads the options, runs the loop on a thread of its own,
// shows its state, takes Enter (pause, engage again) and q, and turns Ctrl-C into its stop.
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>

#include "host/mirror/pairs.h"
#include "host/mirror/record.h"
#include "host/mirror/session.h"
#include "host/mirror/side.h"
#include "recording.h"
#include "verbs.h"

namespace mi = orvane::mirror;
namespace mo = orvane::motion;

namespace {

std::atomic<bool> stop_now{false};

void on_stop(int) { stop_now = true; }

struct mirror_args {
  std::string leader, follower, profile, leader_profile, record;
  mi::pair_options joint_map;
  double engage_speed = 30;
  int watchdog = 5;
  int polls = 2;
  bool leader_torque = false;
  double seconds = 0;
};

mo::profile profile_of(const std::string& path)
{
  if (path.empty())
    return mo::profile_none();
  try {
    return mo::profile_load(path);
  } catch (const mo::mo_errors& e) {
    for (const auto& l : e.list)
      fprintf(stderr, "orvane-ctl: %s\n", l.c_str());
    throw orvane::error(path + ": " + std::to_string(e.list.size()) + (e.list.size() == 1 ? " problem" : " problems"));
  }
}

// Lines on standard output from both threads, and the state line redrawn below them on a terminal.
struct screen {
  std::mutex mu;
  bool tty = false;
  bool drawn = false;

  void line(const std::string& text)
  {
    std::lock_guard<std::mutex> g(mu);
    printf("%s%s\n", drawn ? "\r\x1b[K" : "", text.c_str());
    drawn = false;
    fflush(stdout);
  }
  void state(const mi::status& s)
  {
    if (!tty)
      return;
    char lag[64] = "lag -";
    if (s.lag_ms >= 0)
      snprintf(lag, sizeof lag, "lag %.0f ms (%.1f ticks)", s.lag_ms, s.lag_ticks);
    std::lock_guard<std::mutex> g(mu);
    printf("\r\x1b[K%s  %s  gap %.1f\u00b0  (Enter: %s, q: quit)", mi::phase_name(s.ph), lag, s.gap,
           s.ph == mi::phase::paused ? "engage" : "pause");
    drawn = true;
    fflush(stdout);
  }
};

void mirror(ctl& c, const mirror_args& a)
{
  std::string follower = a.follower.empty() ? c.robot : a.follower;
  if (a.leader.empty())
    throw usage_error("mirror needs --leader HOST[:PORT]");
  bool mcap = ctl_is_mcap(a.record);
  if (!a.record.empty() && !a.record.ends_with(".csv") && !mcap)
    throw usage_error("--record writes a .csv or .mcap file, not '" + a.record + "'");
  mo::profile fp = profile_of(a.profile.empty() ? c.profile_path : a.profile);
  // Two arms of one kind: the leader is described by the follower's profile unless told.
  mo::profile lp = a.leader_profile.empty() ? fp : profile_of(a.leader_profile);
  auto timeout = std::chrono::milliseconds(static_cast<int64_t>(c.timeout * 1000));
  bool same = mi::same_robot(a.leader, follower);
  std::vector<int> ids;
  if (a.joint_map.map.empty() && fp.file.empty() && lp.file.empty())
    ids = orvane::client(follower, timeout).write_list();
  std::vector<mi::pair> pairs;
  try {
    pairs = mi::make_pairs(lp, fp, a.joint_map, ids, same);
  } catch (const mi::pair_error& e) {
    throw usage_error(e.what());
  }

  mi::options o;
  o.leader = a.leader;
  o.follower = follower;
  o.pairs = pairs;
  o.same_robot = same;
  o.engage.speed = a.engage_speed;
  o.engage.accel = 2 * a.engage_speed;  // at full speed within half a second
  o.watchdog_ticks = a.watchdog;
  o.polls = a.polls;
  o.leader_torque = a.leader_torque;
  o.timeout = timeout;

  screen scr;
  scr.tty = c.tty;
  mi::session s(o);
  FILE* rec = nullptr;
  std::unique_ptr<ctl_mirror_mcap> mrec;
  if (mcap)
    mrec = std::make_unique<ctl_mirror_mcap>(a.record, pairs, follower, a.profile.empty() ? c.profile_path : a.profile,
                                             a.leader_profile, [&s] { return s.now().follower_tick_us; });
  else if (!a.record.empty()) {
    errno = 0;
    rec = fopen(a.record.c_str(), "w");
    if (!rec)
      throw orvane::error(ctl_file_error("cannot write", a.record, errno));
  }
  std::unique_ptr<mi::csv_recorder> csv;
  if (rec)
    csv = std::make_unique<mi::csv_recorder>(rec, pairs);

  s.say = [&](const std::string& l) { scr.line(l); };
  if (csv)
    s.record = [&](const mi::sample& x) { csv->row(x); };
  if (mrec)
    s.record = [&](const mi::sample& x) { mrec->row(x); };

  std::string names;
  for (const mi::pair& p : pairs)
    names += " " + mi::joint_label(p.follower) + "<-" + std::to_string(p.leader.id);
  scr.line("mirroring " + a.leader + " onto " + follower + (same ? " (one robot)" : "") + ":" + names);

  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // The loop's thread leaves the signals to this one, whose wait they cut short.
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  std::atomic<bool> loop_stop{false}, loop_done{false};
  std::exception_ptr failed;
  std::thread t([&] {
    try {
      s.run(loop_stop);
    } catch (...) {
      failed = std::current_exception();
    }
    loop_done = true;
  });
  pthread_sigmask(SIG_SETMASK, &old, nullptr);

  auto start = std::chrono::steady_clock::now();
  bool paused = false, input = true;
  std::string buf;
  while (!loop_done && !stop_now) {
    if (a.seconds > 0 && std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(a.seconds))
      break;
    pollfd pf{STDIN_FILENO, POLLIN, 0};
    if (poll(&pf, input ? 1 : 0, 200) > 0) {
      char chunk[256];
      ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
      if (n <= 0) {
        input = false;  // no keyboard: Ctrl-C, SIGTERM or --seconds ends it
      } else {
        buf.append(chunk, static_cast<size_t>(n));
        for (size_t nl; (nl = buf.find('\n')) != std::string::npos;) {
          std::string cmd = buf.substr(0, nl);
          buf.erase(0, nl + 1);
          std::erase_if(cmd, [](char ch) { return ch == ' ' || ch == '\r' || ch == '\t'; });
          if (cmd == "q") {
            stop_now = true;
          } else if (cmd.empty()) {
            paused = !paused;
            s.pause(paused);
          }
        }
      }
    }
    scr.state(s.now());
  }
  loop_stop = true;
  t.join();
  bool rec_failed = false;
  if (rec) {  // closed whether or not a write failed before
    bool bad = ferror(rec) != 0;
    rec_failed = (fclose(rec) != 0) || bad;
  }
  std::string mcap_failed;
  if (mrec) {
    try {
      mrec->finish();
    } catch (const orvane::error& e) {
      mcap_failed = e.what();
    }
  }
  if (failed)
    std::rethrow_exception(failed);
  mi::status st = s.now();
  char sum[256];
  snprintf(sum, sizeof sum, "mirrored: %llu goals sent, %llu leader reads, %u hold%s",
           static_cast<unsigned long long>(st.writes), static_cast<unsigned long long>(st.polls), st.holds,
           st.holds == 1 ? "" : "s");
  scr.line(sum);
  if (csv) {
    snprintf(sum, sizeof sum, "recorded %zu rows in %s (%llu passes missed)", csv->rows(), a.record.c_str(),
             static_cast<unsigned long long>(csv->missed()));
    scr.line(sum);
    if (rec_failed)
      throw orvane::error(ctl_file_error("cannot write", a.record, 0));
  }
  if (mrec) {
    snprintf(sum, sizeof sum, "recorded %zu passes in %s (%llu passes missed, %llu not written in time)",
             mrec->rows(), a.record.c_str(), static_cast<unsigned long long>(mrec->missed()),
             static_cast<unsigned long long>(mrec->dropped()));
    scr.line(sum);
    if (!mcap_failed.empty())
      throw orvane::error(a.record + ": " + mcap_failed);
  }
}

}  // namespace

void ctl_mirror_verbs(CLI::App& app, ctl& c)
{
  static mirror_args ma;
  auto* m = ctl_verb(app, c, "mirror", "Let a leader robot moved by hand drive a follower robot",
                     "mirror --leader HOST [--follower HOST] [--profile P] [--leader-profile P] [--map F=L]... "
                     "[--scale F=X]... [--offset F=DEG]... [--engage-speed DEG/S] [--watchdog TICKS] [--polls N] "
                     "[--leader-torque] [--record FILE.csv|FILE.mcap] [--seconds S]",
                     [&c] { mirror(c, ma); });
  m->add_option("--leader", ma.leader, "the robot moved by hand, HOST[:PORT]: its servos go limp")->required();
  m->add_option("--follower", ma.follower, "the robot that follows, HOST[:PORT] (default: -r's robot)");
  m->add_option("-p,--profile", ma.profile, "the follower's profile: joint names, soft, speed and acceleration limits");
  m->add_option("--leader-profile", ma.leader_profile, "the leader's profile (default: the follower's)");
  m->add_option("--map", ma.joint_map.map, "FOLLOWER=LEADER: a joint or servo id led by another (7-12=1-6 for ranges)")
      ->allow_extra_args(false);
  m->add_option("--scale", ma.joint_map.scale, "FOLLOWER=X: the follower joint moves X degrees for each of its leader's")
      ->allow_extra_args(false);
  m->add_option("--offset", ma.joint_map.offset, "FOLLOWER=DEG: degrees added to the follower joint's goal")
      ->allow_extra_args(false);
  m->add_option("--engage-speed", ma.engage_speed,
                "degrees a second at which the follower comes to the leader's pose (default 30)")
      ->check(ctl_range(1, 180));
  m->add_option("--watchdog", ma.watchdog, "leader ticks without a reading before the follower holds (default 5)")
      ->check(ctl_range(2, 60, true));
  m->add_option("--polls", ma.polls, "reads of the leader a tick, 1 to 4 (default 2)")->check(ctl_range(1, 4, true));
  m->add_flag("--leader-torque", ma.leader_torque, "give the leader its torque back at the end, where it was left");
  m->add_option("--record", ma.record, "also record both robots into this .csv or .mcap file, as orvane-ctl record does");
  m->add_option("--seconds", ma.seconds, "end after this many seconds (default: Ctrl-C or q)")
      ->check(ctl_range(0.1, 86400.0));
}
