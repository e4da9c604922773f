// orvane-mirrorbench: orvane-ctl mirror between two orvane-sim robots with wire timing. A scripted
// leader motion is pushed through the leader simulator's console, and an observer reads both
// maps as often as they answer (a few hundred times a tick) to time, from the far side, when a
// leader position shows up as the follower's goal and as the follower's position. It also counts
// the follower's largest goal step from one pass to the next, in the engage and when the leader
// jumps, against the limits, and the mirror tool's CPU. Prints one Markdown table; it reports
// and never fails on a missed target, only when it cannot measure.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/sys_proc.h"
#include "bench/sys_stats.h"
#include "host/mirror/link.h"
#include "orvane.h"

namespace {

int track_s = 20;           // seconds of the scripted motion
int polls = 2;              // the mirror tool's --polls
bool rt = true;             // run the robots and the tool at a real-time priority, as on a robot
constexpr int JOINTS = 3;   // servos 1..3 move; 4..6 are mirrored standing still
// The follower's top speed, and the engage's. No top acceleration: the leader's positions come
// from console lines whose timing wobbles under load, so that its readings change speed from
// tick to tick faster than any acceleration limit would pass, and the follower would go after
// them at the limit rather than take each as it comes, which is what is timed here.
constexpr double SPEED = 240, ENGAGE = 60;  // degrees a second
constexpr double AMPL = 40, HZ = 0.4;  // the scripted sines: up to 0.5 Hz, 126 degrees a second

// What the programs run under: the robots' daemons and the mirror tool at a real-time priority
// when this user may (as the robot's service runs its daemon, and as a PC would be left to the
// tool), so that the figures are the design's rather than those of a machine's other work.
std::vector<std::string> with_priority(std::vector<std::string> argv, int prio)
{
  if (rt)
    argv.insert(argv.begin(), {"chrt", "-f", std::to_string(prio)});
  return argv;
}

bool rt_allowed()
{
  sched_param p{};
  p.sched_priority = 1;
  if (sched_setscheduler(0, SCHED_FIFO, &p) != 0)
    return false;
  p.sched_priority = 0;
  sched_setscheduler(0, SCHED_OTHER, &p);
  return true;
}

[[noreturn]] void fail(const std::string& why)
{
  fprintf(stderr, "orvane-mirrorbench: %s\n", why.c_str());
  child_kill_all();
  exit(1);
}

struct sim {
  child c;
  int in = -1;  // the console's FIFO, held open for writing
  std::string address;
};

sim start_sim(const std::string& dir, const std::string& name)
{
  sim s;
  std::string fifo = dir + "/" + name + ".in";
  if (mkfifo(fifo.c_str(), 0600) != 0)
    fail("cannot make " + fifo);
  s.in = open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // no reader yet: read-write does not wait
  s.c = child_start(with_priority({ORVANE_MIRROR_SIM, "--port", "0"}, 20), dir, name, fifo);
  if (!file_wait(s.c.err_path, "listening on port ", 30000))
    fail(name + " reported no port: " + file_text(s.c.err_path));
  std::string err = file_text(s.c.err_path);
  s.address = "127.0.0.1:" + std::to_string(strtol(err.c_str() + err.find("listening on port ") + 18, nullptr, 10));
  return s;
}

void console(sim& s, const std::string& line)
{
  std::string l = line + "\n";
  if (write(s.in, l.data(), l.size()) != static_cast<ssize_t>(l.size()))
    fail("cannot write to the simulator's console");
}

std::string load()
{
  std::string l = file_text("/proc/loadavg");
  return l.substr(0, l.find(' ', l.find(' ', l.find(' ') + 1) + 1));
}

// What the observer saw at one moment of both maps.
struct seen {
  int64_t t;  // ns, the middle of the reads
  uint32_t fpass;
  bool consistent;  // the follower's pass did not change during the reads
  int16_t lpos[JOINTS + 1], fgoal[JOINTS + 1], fpos[JOINTS + 1];
};

class observer {
 public:
  observer(const std::string& leader, const std::string& follower)
  {
    if (!l_.open(leader, std::chrono::seconds(3)) || !f_.open(follower, std::chrono::seconds(3)))
      fail(std::string("observer: ") + (l_.up() ? f_.reason() : l_.reason()));
    th_ = std::thread([this] { run(); });
  }
  ~observer()
  {
    stop_ = true;
    th_.join();
  }
  std::vector<seen> since(int64_t t0)
  {
    std::lock_guard<std::mutex> g(mu_);
    std::vector<seen> v;
    for (const seen& s : all_)
      if (s.t >= t0)
        v.push_back(s);
    return v;
  }

 private:
  void run()
  {
    // Servo 0's word comes first, as padding: servo i's word is then at 2 i.
    const uint32_t pos_at = orvane::resolve("sv_pos", 1).offset - 2, loop_at = orvane::resolve("loop_count").offset,
                   out_at = orvane::resolve("ip_out", 0).offset;
    uint8_t lpos[2 * (JOINTS + 1)], floop[4], floop2[4], fout[2 * (JOINTS + 1)], fpos[2 * (JOINTS + 1)];
    while (!stop_) {
      int64_t t0 = mono_ns();
      l_.want(pos_at, 2 * (JOINTS + 1), lpos);
      f_.want(loop_at, 4, floop);
      f_.want(out_at, 2 * (JOINTS + 1), fout);
      f_.want(pos_at, 2 * (JOINTS + 1), fpos);
      f_.want(loop_at, 4, floop2);
      if (!l_.send() || !f_.send())
        return;
      while (l_.awaited() || f_.awaited()) {
        pollfd p[2] = {{l_.fd(), POLLIN, 0}, {f_.fd(), POLLIN, 0}};
        if (poll(p, 2, 1000) <= 0 || !l_.take() || !f_.take())
          return;
      }
      seen s{};
      s.t = (t0 + mono_ns()) / 2;
      s.fpass = static_cast<uint32_t>(floop[0] | floop[1] << 8 | floop[2] << 16 | floop[3] << 24);
      s.consistent = memcmp(floop, floop2, 4) == 0;
      for (int i = 1; i <= JOINTS; i++) {
        s.lpos[i] = static_cast<int16_t>(lpos[2 * i] | lpos[2 * i + 1] << 8);
        s.fgoal[i] = static_cast<int16_t>(fout[2 * i] | fout[2 * i + 1] << 8);
        s.fpos[i] = static_cast<int16_t>(fpos[2 * i] | fpos[2 * i + 1] << 8);
      }
      {
        std::lock_guard<std::mutex> g(mu_);
        all_.push_back(s);
      }
      // A sample a millisecond (some 17 a tick): finer would load the daemons, whose monitor
      // takes each request byte by byte, more than the mirror does.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  orvane::mirror::tick_link l_, f_;
  std::mutex mu_;
  std::vector<seen> all_;
  std::atomic<bool> stop_{false};
  std::thread th_;
};

// The largest goal step of servos 1..JOINTS from one follower pass to the next, in units.
int largest_step(const std::vector<seen>& v, size_t* pairs)
{
  int worst = 0;
  *pairs = 0;
  const seen* prev = nullptr;
  for (const seen& s : v) {
    if (!s.consistent)
      continue;
    if (prev && s.fpass == prev->fpass + 1) {
      for (int i = 1; i <= JOINTS; i++)
        worst = std::max(worst, std::abs(s.fgoal[i] - prev->fgoal[i]));
      (*pairs)++;
    }
    if (!prev || s.fpass != prev->fpass)
      prev = &s;
  }
  return worst;
}

// Seconds from each leader reading (the first sample showing a new position) to the first
// sample where the follower shows the same value in its goal, or in its position. A position is
// counted only where it is the goal the follower has, or had just before: the servo arrived
// there, rather than passing through a value on its way.
std::vector<double> latencies(const std::vector<seen>& v, bool pos, size_t* unmatched)
{
  constexpr int64_t window = 500000000;
  std::vector<double> out;
  *unmatched = 0;
  for (int i = 1; i <= JOINTS; i++) {
    std::map<int16_t, int64_t> when;  // leader value -> when it was first seen
    int16_t lprev = INT16_MIN, fprev = INT16_MIN, goal = INT16_MIN, goal_before = INT16_MIN;
    for (const seen& s : v) {
      if (s.lpos[i] != lprev)
        when[lprev = s.lpos[i]] = s.t;
      if (s.fgoal[i] != goal) {
        goal_before = goal;
        goal = s.fgoal[i];
      }
      int16_t f = pos ? s.fpos[i] : s.fgoal[i];
      if (f == fprev)
        continue;
      fprev = f;
      if (pos && f != goal && f != goal_before)
        continue;  // on its way
      auto it = when.find(f);
      if (it == when.end() || s.t - it->second > window) {
        (*unmatched)++;
        continue;
      }
      out.push_back((s.t - it->second) / 1e9);
      when.erase(it);  // each reading is matched once
    }
  }
  return out;
}

double cpu_ms(pid_t pid)
{
  int64_t sum = 0;
  for (const thread_cpu& t : proc_threads(pid))
    sum += t.ns;
  return sum / 1e6;
}

}  // namespace

int main(int argc, char** argv)
{
  for (int i = 1; i + 1 < argc; i++) {
    if (std::string(argv[i]) == "--seconds")
      track_s = std::max(2, atoi(argv[++i]));
    else if (std::string(argv[i]) == "--polls")
      polls = std::clamp(atoi(argv[++i]), 1, 4);
  }
  for (int i = 1; i < argc; i++)
    if (std::string(argv[i]) == "--no-rt")
      rt = false;
  rt = rt && rt_allowed();
  char tmpl[] = "/tmp/orvane-mirrorbench-XXXXXX";
  if (!mkdtemp(tmpl))
    fail("cannot make a folder under /tmp");
  std::string dir = tmpl;
  std::string load0 = load();
  sim leader = start_sim(dir, "leader"), follower = start_sim(dir, "follower");
  std::string prof = dir + "/arm.yaml";
  {
    FILE* f = fopen(prof.c_str(), "w");
    fprintf(f, "joints:\n");
    for (int i = 1; i <= 6; i++)
      fprintf(f, "  j%d: {id: %d, speed: %g}\n", i, i, SPEED);
    fclose(f);
  }
  // The far ends of the range: the leader at +120 degrees, the follower held at -120.
  for (int i = 1; i <= JOINTS; i++)
    console(leader, "push " + std::to_string(i) + " 120");
  {
    orvane::client f(follower.address);
    f.torque(true);
    f.move({{1, -120.0}, {2, -120.0}, {3, -120.0}}, 60);
    f.wait_until_still({1, 2, 3});
  }
  observer obs(leader.address, follower.address);
  int64_t t_engage = mono_ns();
  child mirror = child_start(with_priority({ORVANE_MIRROR_CTL, "-r", follower.address, "mirror", "--leader",
                                            leader.address, "-p", prof, "--engage-speed",
                                            std::to_string(static_cast<int>(ENGAGE)), "--polls", std::to_string(polls)},
                                           10),
                             dir, "mirror");
  if (!file_wait(mirror.out_path, "\ntracking\n", 60000))
    fail("the mirror did not reach tracking: " + file_text(mirror.out_path) + file_text(mirror.err_path));
  size_t engage_pairs = 0;
  int engage_step = largest_step(obs.since(t_engage), &engage_pairs);
  double engage_s = (mono_ns() - t_engage) / 1e9;
  sleep_ms(500);

  // The scripted motion: each servo on a sine of its own frequency, from rest where the engage
  // left it, a new position every 4 ms, four between two ticks as a hand moves on between them
  // (every 2 ms kept the simulator's console so busy that its servos missed answers).
  int64_t t_track = mono_ns();
  double cpu0 = cpu_ms(mirror.pid);
  while (mono_ns() - t_track < int64_t{track_s} * 1000000000) {
    double t = (mono_ns() - t_track) / 1e9;
    for (int i = 1; i <= JOINTS; i++) {
      double deg = 120 - AMPL + AMPL * std::cos(2 * M_PI * HZ * (0.75 + 0.25 * i) * t);
      char line[64];
      snprintf(line, sizeof line, "push %d %.1f", i, deg);
      console(leader, line);
    }
    sleep_ms(4);
  }
  double cpu1 = cpu_ms(mirror.pid);
  double track_wall = (mono_ns() - t_track) / 1e6;
  std::vector<seen> track = obs.since(t_track);
  if (const char* dump = getenv("ORVANE_MIRRORBENCH_DUMP")) {  // the samples, for a closer look
    FILE* f = fopen(dump, "w");
    for (const seen& x : track)
      fprintf(f, "%lld,%u,%d,%d,%d\n", static_cast<long long>(x.t - t_track), x.fpass, x.lpos[1], x.fgoal[1], x.fpos[1]);
    fclose(f);
  }
  sleep_ms(500);

  // A jump of the leader: the follower goes no faster than its profile's speed.
  int64_t t_jump = mono_ns();
  console(leader, "push 1 -100");
  sleep_ms(3000);
  size_t jump_pairs = 0;
  int jump_step = largest_step(obs.since(t_jump), &jump_pairs);
  std::string load1 = load();
  child_stop(mirror, 10000, SIGINT);
  std::string said = file_text(mirror.out_path);
  size_t holds = 0;
  for (size_t at = said.find("\nholding"); at != std::string::npos; at = said.find("\nholding", at + 1)) {
    holds++;
    fprintf(stderr, "orvane-mirrorbench: %s\n", said.substr(at + 1, said.find('\n', at + 1) - at - 1).c_str());
  }
  child_stop(leader.c, 5000, SIGTERM);
  child_stop(follower.c, 5000, SIGTERM);

  double tick_s = 16667e-6;
  size_t un_goal = 0, un_pos = 0;
  std::vector<double> goal = latencies(track, false, &un_goal), pos = latencies(track, true, &un_pos);
  for (double& x : goal)
    x /= tick_s;
  for (double& x : pos)
    x /= tick_s;
  size_t samples = track.size();
  printf("| Mirror, two orvane-sim robots with wire timing, --polls %d, %s (load %s at start, %s at end) | |\n", polls,
         rt ? "real-time priority" : "ordinary priority", load0.c_str(), load1.c_str());
  printf("|---|---|\n");
  printf("| leader reading to follower goal in the map, ticks: p50 / p99 / max (%zu readings) | %.2f / %.2f / %.2f |\n",
         goal.size(), pct(goal, 50), pct(goal, 99), vmax(goal));
  printf("| leader reading to follower position read, ticks: p50 / p99 / max (%zu readings) | %.2f / %.2f / %.2f |\n",
         pos.size(), pct(pos, 50), pct(pos, 99), vmax(pos));
  printf("| follower changes matched to no leader reading (goal / position) | %zu / %zu |\n", un_goal, un_pos);
  printf("| observer samples in the %d s motion | %zu (%.0f a tick) |\n", track_s, samples,
         samples / (track_wall / 1e3) * tick_s);
  printf("| engage from -120 to +120 degrees: largest goal step a pass (limit %.1f) | %.1f degrees, %zu pass pairs in %.1f s |\n",
         ENGAGE * tick_s, engage_step / 10.0, engage_pairs, engage_s);
  printf("| leader jump of 220 degrees: largest goal step a pass (limit %.1f) | %.1f degrees, %zu pass pairs |\n",
         SPEED * tick_s, jump_step / 10.0, jump_pairs);
  printf("| CPU of orvane-ctl mirror while tracking | %.2f %% of one core |\n", 100 * (cpu1 - cpu0) / track_wall);
  printf("| watchdog holds in the whole run | %zu |\n", holds);
  std::filesystem::remove_all(dir);
  return 0;
}
