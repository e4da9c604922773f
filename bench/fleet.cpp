// orvane-fleetbench: a classroom on one machine. Runs Debian's mosquitto with the classroom's
// configuration, 30 orvane-sim robots and their orvane-mqtt bridges (--rate 5), and measures the
// class-wide stop (from publishing orvane/all/cmd/stop until every robot's motion has stopped, as
// the robots' maps show it), a bridge's CPU and the broker's. Prints one Markdown table; it
// reports and never fails on a missed target, only when it cannot measure.
//
// "Stopped" is read from each robot's map: every servo goal channel's ticks-left count (ip_count)
// at zero, and staying there. That is what the servos follow; a bridge's "motion-stopped" event
// is its own claim, sent after it has held the servos, and is reported beside it.
//
// The hops on the way: the broker hands the stop back to the teacher's own subscription (one of
// 31 it fans out to); a robot's hold has reached its map when the map shows a trigger pending
// (written, not yet taken) or the moving channels at one tick left (taken by a tick); the map is
// still a tick after that.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/sys_broker.h"
#include "bench/sys_net.h"
#include "bench/sys_proc.h"
#include "bench/sys_stats.h"
#include "bench/sys_table.h"
#include "host/mqtt/link.h"
#include "orvane.h"
#include "sim/sim.h"

namespace {

int robots = 30;
int rounds = 20;
constexpr int IDLE_MS = 20000;    // CPU window with the robots at rest
constexpr int MOVING_MS = 4000;   // CPU window while every robot plays its motion
constexpr int WINDOW_MS = 1500;   // after a stop: how long a robot must stay still
constexpr int POLLERS = 2;        // threads reading the robots' maps after a stop
const std::string TEACHER_PW = "bench-teacher";

[[noreturn]] void fail(const std::string& why)
{
  fprintf(stderr, "orvane-fleetbench: %s\n", why.c_str());
  exit(1);
}

std::string rid(int i)
{
  char b[16];
  snprintf(b, sizeof b, "robot%02d", i + 1);
  return b;
}

int64_t cpu_ns(pid_t pid)
{
  int64_t sum = 0;
  for (const thread_cpu& t : proc_threads(pid))
    sum += t.ns;
  return sum;
}

// What the teacher's link hears, stamped on arrival.
struct heard {
  std::mutex mu;
  int64_t stop_back = 0;  // when the teacher's subscription heard the class-wide stop
  std::map<std::string, std::string> status;                // id -> last status
  std::map<std::string, std::vector<std::pair<std::string, int64_t>>> events;  // id -> (event, ns)
};

std::string id_of(const std::string& topic)
{
  size_t a = topic.find('/') + 1, b = topic.find('/', a);
  return topic.substr(a, b - a);
}

struct fleet {
  std::string dir;
  child broker;
  int broker_port = 0;
  std::vector<child> sims, bridges;
  std::vector<std::unique_ptr<orvane::client>> maps;
  heard h;
  std::unique_ptr<mq_link> teacher;

};

std::vector<uint8_t> counts(orvane::client& c)
{
  static const orvane::field* f = orvane::find_field("ip_count");
  return c.read(f->offset_of(1), orvane::servo_max);
}

bool any_moving(orvane::client& c)
{
  for (uint8_t v : counts(c))
    if (v != 0)
      return true;
  return false;
}

// One read of a robot's map after a stop: whether a servo channel moves, and whether a hold has
// reached the map (a trigger pending, or channels moving with none more than one tick from its
// end; a motion between two moves shows neither).
struct look {
  bool moving, held;
};

look look_at(orvane::client& c)
{
  static const orvane::field* tt = orvane::find_field("ttime");
  std::vector<uint8_t> n = counts(c);
  bool moving = false, long_left = false;
  for (uint8_t v : n) {
    moving = moving || v != 0;
    long_left = long_left || v > 1;
  }
  bool pending = moving && long_left && c.read(tt->offset, 1)[0] != 0;
  return {moving, (moving && !long_left) || pending};
}

void start(fleet& f, const std::string& sim, const std::string& bridge, const std::string& motions)
{
  // The broker: the classroom's files, with this folder for /etc/mosquitto and loopback.
  f.broker_port = net_free_port();
  if (!broker_files(ORVANE_CLASSROOM_DIR, f.dir, f.broker_port))
    fail("cannot read the classroom's broker configuration in " ORVANE_CLASSROOM_DIR);
  std::string pw = f.dir + "/orvane.passwd";
  std::ofstream(pw).close();
  for (int i = -1; i < robots; i++) {
    std::string user = i < 0 ? "teacher" : rid(i);
    child c = child_start({"/usr/bin/mosquitto_passwd", "-b", pw, user,
                           i < 0 ? TEACHER_PW : "pw-" + user}, f.dir, "passwd");
    if (child_stop(c, 20000) != 0)
      fail("mosquitto_passwd failed: " + file_text(c.err_path));
    if (i >= 0) {
      std::string cred = f.dir + "/" + user + ".cred";
      std::ofstream(cred) << user << "\npw-" << user << "\n";
      chmod(cred.c_str(), 0600);
    }
  }
  f.broker = child_start({"/usr/sbin/mosquitto", "-c", f.dir + "/orvane.conf"}, f.dir, "broker");
  if (!file_wait(f.broker.err_path, " running", 20000))
    fail("mosquitto did not start: " + file_text(f.broker.err_path));

  for (int i = 0; i < robots; i++)
    f.sims.push_back(child_start({sim, "--port", "0"}, f.dir, "sim-" + rid(i)));
  for (int i = 0; i < robots; i++) {
    if (!file_wait(f.sims[i].err_path, "listening on port ", 30000))
      fail(rid(i) + ": orvane-sim did not listen: " + file_text(f.sims[i].err_path));
    std::string err = file_text(f.sims[i].err_path);
    std::string port = std::to_string(strtol(err.c_str() + err.find("listening on port ") + 18, nullptr, 10));
    f.maps.push_back(std::make_unique<orvane::client>("127.0.0.1:" + port, std::chrono::milliseconds(5000)));
    f.bridges.push_back(child_start(
        {bridge, "--robot", "127.0.0.1:" + port, "--broker", "mqtt://127.0.0.1:" + std::to_string(f.broker_port),
         "--id", rid(i), "--credentials", f.dir + "/" + rid(i) + ".cred", "--rate", "5",
         "--motions", motions, "--profile", motions + "/robot.yaml"},
        f.dir, "bridge-" + rid(i)));
  }

  mq_link::options o;
  o.uri = "mqtt://127.0.0.1:" + std::to_string(f.broker_port);
  o.client_id = "fleetbench-teacher";
  o.user = "teacher";
  o.password = TEACHER_PW;
  heard* h = &f.h;
  mq_link::handlers hs;
  hs.connected = [] {};
  hs.lost = [](const std::string&) {};
  hs.message = [h](const mq_incoming& m) {
    int64_t now = mono_ns();
    std::lock_guard<std::mutex> l(h->mu);
    if (m.topic == mq_stop_all)
      h->stop_back = h->stop_back != 0 ? h->stop_back : now;
    else if (m.topic.size() > 7 && m.topic.compare(m.topic.size() - 7, 7, "/status") == 0)
      h->status[id_of(m.topic)] = m.payload;
    else
      h->events[id_of(m.topic)].emplace_back(
          nlohmann::json::parse(m.payload, nullptr, false).value("event", ""), now);
  };
  f.teacher = std::make_unique<mq_link>(o, hs);
  f.teacher->connect();
  for (int waited = 0; !f.teacher->up(); waited += 10) {
    if (waited > 20000)
      fail("the teacher's link did not come up: " + f.teacher->problem());
    sleep_ms(10);
  }
  f.teacher->subscribe({"orvane/+/status", "orvane/+/event", mq_stop_all}, 1);
  for (int waited = 0;; waited += 100) {
    int online = 0;
    {
      std::lock_guard<std::mutex> l(h->mu);
      for (auto& [id, st] : h->status)
        online += st == "online";
    }
    if (online == robots)
      break;
    if (waited > 60000)
      fail("only " + std::to_string(online) + " of " + std::to_string(robots) + " robots came online");
    sleep_ms(100);
  }
}

int64_t now_ms_wall()
{
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void play_all(fleet& f, int n)
{
  for (int i = 0; i < robots; i++) {
    char body[160];
    snprintf(body, sizeof body, R"({"id":"b%d-%d","ts":%.3f,"motion":"wave.yaml"})", n, i,
             static_cast<double>(now_ms_wall()) / 1000.0);
    f.teacher->publish("orvane/" + rid(i) + "/cmd/play", body, 1, false);
  }
}

struct cpu_mark {
  int64_t t;
  std::vector<int64_t> bridges, sims;
  int64_t broker;
};

cpu_mark mark(fleet& f)
{
  cpu_mark m{mono_ns(), {}, {}, cpu_ns(f.broker.pid)};
  for (auto& b : f.bridges)
    m.bridges.push_back(cpu_ns(b.pid));
  for (auto& s : f.sims)
    m.sims.push_back(cpu_ns(s.pid));
  return m;
}

// Percent of one core per process between two marks.
struct cpu_use {
  std::vector<double> bridges, sims;
  double broker;
};

cpu_use between(const cpu_mark& a, const cpu_mark& b)
{
  double span = static_cast<double>(b.t - a.t);
  cpu_use u{{}, {}, 100.0 * static_cast<double>(b.broker - a.broker) / span};
  for (size_t i = 0; i < a.bridges.size(); i++)
    u.bridges.push_back(100.0 * static_cast<double>(b.bridges[i] - a.bridges[i]) / span);
  for (size_t i = 0; i < a.sims.size(); i++)
    u.sims.push_back(100.0 * static_cast<double>(b.sims[i] - a.sims[i]) / span);
  return u;
}

double mean(const std::vector<double>& v)
{
  double s = 0;
  for (double x : v)
    s += x;
  return v.empty() ? 0 : s / static_cast<double>(v.size());
}

std::string loadavg()
{
  double l[3] = {};
  if (getloadavg(l, 3) != 3)
    return "?";
  return fmt("%.2f %.2f %.2f", l[0], l[1], l[2]);
}

}  // namespace

int main(int argc, char** argv)
{
  if (argc > 1)
    robots = std::max(1, std::min(99, atoi(argv[1])));
  if (argc > 2)
    rounds = std::max(1, atoi(argv[2]));
  proc_fd_limit(4096);
  sim_prog = "orvane-fleetbench";
  sim_block_term();
  if (!sim_dir_make())
    exit(1);
  atexit(sim_cleanup);
  sim_on_term = child_kill_all;  // Ctrl-C: every robot, bridge and the broker go too
  sim_thread(sim_term_wait, nullptr);

  fleet f;
  f.dir = sim_dir;
  std::string load_before = loadavg();
  start(f, ORVANE_FLEET_SIM, ORVANE_FLEET_BRIDGE, ORVANE_FLEET_MOTIONS);
  fprintf(stderr, "orvane-fleetbench: %d robots online; CPU at rest for %d s\n", robots, IDLE_MS / 1000);

  sleep_ms(2000);  // the retained messages and first states settle
  cpu_mark a = mark(f);
  sleep_ms(IDLE_MS);
  cpu_use idle = between(a, mark(f));

  // The stops. Each round plays the wave on every robot, lets it run a random while (so a stop
  // falls anywhere in a move), publishes the stop and reads every map until each robot has
  // stayed still for WINDOW_MS.
  std::vector<double> stop_ms, event_ms, sweep_ms, broker_ms, held_ms, tick_ms;
  std::vector<double> moving_bridges;
  cpu_use moving{};
  int missing = 0, unmoved = 0;
  std::mt19937 rng(42);
  for (int n = 0; n < rounds; n++) {
    fprintf(stderr, "orvane-fleetbench: stop %d of %d\n", n + 1, rounds);
    play_all(f, n);
    std::vector<bool> moved(robots, false);
    int64_t until = mono_ns() + int64_t{5} * 1000000000;
    for (int left = robots; left > 0 && mono_ns() < until;) {
      for (int i = 0; i < robots; i++)
        if (!moved[i] && any_moving(*f.maps[i]))
          moved[i] = true, left--;
      sleep_ms(5);
    }
    if (n == 0) {  // the CPU while every robot plays (its bridge's player and 5 state messages a second)
      cpu_mark m0 = mark(f);
      sleep_ms(MOVING_MS);
      moving = between(m0, mark(f));
    } else {
      sleep_ms(300 + static_cast<int>(rng() % 500));
    }
    // Each poller thread reads its share of the robots; a robot's stop is the first still
    // reading after its last moving one.
    std::vector<int64_t> last_moving(robots, 0), first_still(robots, 0), first_held(robots, 0);
    std::vector<std::vector<double>> sweeps(POLLERS);
    {
      std::lock_guard<std::mutex> l(f.h.mu);
      f.h.stop_back = 0;
    }
    int64_t t0 = mono_ns();
    f.teacher->publish(mq_stop_all, "", 1, false);
    std::vector<std::thread> pollers;
    for (int p = 0; p < POLLERS; p++)
      pollers.emplace_back([&, p] {
        int64_t end = t0 + int64_t{WINDOW_MS} * 1000000 * 2;
        while (mono_ns() < end) {
          int64_t s = mono_ns();
          for (int i = p; i < robots; i += POLLERS) {
            int64_t t = mono_ns();
            look k = look_at(*f.maps[i]);
            if (k.held && first_held[i] == 0)
              first_held[i] = t;
            if (k.moving) {
              last_moving[i] = t;
              first_still[i] = 0;
            } else if (first_still[i] == 0) {
              first_still[i] = t;
            }
          }
          sweeps[p].push_back(static_cast<double>(mono_ns() - s) / 1e6);
          bool done = true;
          for (int i = p; i < robots; i += POLLERS)
            done = done && first_still[i] != 0 && mono_ns() - first_still[i] > int64_t{WINDOW_MS} * 1000000;
          if (done)
            break;
        }
      });
    for (auto& t : pollers)
      t.join();
    for (auto& s : sweeps)
      sweep_ms.insert(sweep_ms.end(), s.begin(), s.end());
    for (int i = 0; i < robots; i++) {
      if (!moved[i]) {
        unmoved++;
        continue;
      }
      if (first_still[i] == 0) {
        missing++;
        continue;
      }
      stop_ms.push_back(static_cast<double>(std::max(first_still[i], t0) - t0) / 1e6);
      if (first_held[i] != 0 && first_held[i] <= first_still[i]) {
        held_ms.push_back(static_cast<double>(first_held[i] - t0) / 1e6);
        tick_ms.push_back(static_cast<double>(first_still[i] - first_held[i]) / 1e6);
      }
      std::lock_guard<std::mutex> l(f.h.mu);
      if (i == 0 && f.h.stop_back != 0)
        broker_ms.push_back(static_cast<double>(f.h.stop_back - t0) / 1e6);
      for (auto& [e, t] : f.h.events[rid(i)])
        if (e == "motion-stopped" && t >= t0) {
          event_ms.push_back(static_cast<double>(t - t0) / 1e6);
          break;
        }
    }
    {
      std::lock_guard<std::mutex> l(f.h.mu);
      f.h.events.clear();
    }
    sleep_ms(200);
  }
  std::string load_after = loadavg();

  f.teacher.reset();
  for (auto& b : f.bridges)
    child_stop(b, 10000, SIGTERM);
  for (auto& s : f.sims)
    child_stop(s, 10000, SIGTERM);
  child_stop(f.broker, 10000, SIGTERM);

  printf("%d robots (orvane-sim) and their bridges (orvane-mqtt --rate 5), one mosquitto, on %ld CPUs; "
         "load average %s before, %s after\n\n",
         robots, sysconf(_SC_NPROCESSORS_ONLN), load_before.c_str(), load_after.c_str());
  if (stop_ms.empty())
    fail("no stop was measured");
  table_row(fmt("Class-wide stop until every robot's map is still: p50 / p99 / max (%zu stops)", stop_ms.size()),
            fmt("%.1f / %.1f / %.1f ms", pct(stop_ms, 50), pct(stop_ms, 99), vmax(stop_ms)),
            pct(stop_ms, 99), false, 45, "p99 ms");
  table_row("The same, p50", fmt("%.1f ms", pct(stop_ms, 50)), pct(stop_ms, 50), false, 28, "p50 ms");
  table_row("The same, until the bridge's motion-stopped event reaches a subscriber: p50 / p99 / max",
            fmt("%.1f / %.1f / %.1f ms (%zu events)", pct(event_ms, 50), pct(event_ms, 99), vmax(event_ms),
                event_ms.size()),
            pct(event_ms, 99), false, 60, "p99 ms");
  table_info("Hop: publish until the broker hands the stop back to the teacher's subscription: p50 / p99",
             fmt("%.2f / %.2f ms (%zu stops)", pct(broker_ms, 50), pct(broker_ms, 99), broker_ms.size()));
  table_info("Hop: publish until a robot's hold is in its map (bridge's callback and monitor writes): p50 / p99",
             fmt("%.1f / %.1f ms (%zu)", pct(held_ms, 50), pct(held_ms, 99), held_ms.size()));
  table_info("Hop: hold in the map until the map is still (the daemon's ticks): p50 / p99",
             fmt("%.1f / %.1f ms", pct(tick_ms, 50), pct(tick_ms, 99)));
  table_info("Reading every map once after a stop (the measurement's resolution): p50 / p99",
             fmt("%.1f / %.1f ms", pct(sweep_ms, 50), pct(sweep_ms, 99)));
  if (missing + unmoved > 0)
    table_info("Robots left out", fmt("%d not still within %d ms, %d not seen moving before the stop",
                                      missing, WINDOW_MS * 2, unmoved));
  table_row("CPU of a bridge at rest (--rate 5): mean / max of the bridges",
            fmt("%.3f / %.3f %% of a core", mean(idle.bridges), vmax(idle.bridges)),
            vmax(idle.bridges), false, 0.5, "max %");
  table_info("CPU of a bridge while its robot plays a motion: mean / max",
             fmt("%.2f / %.2f %% of a core", mean(moving.bridges), vmax(moving.bridges)));
  table_info("CPU of the broker: at rest / while every robot plays",
             fmt("%.2f / %.2f %% of a core", idle.broker, moving.broker));
  table_info("CPU of a robot (orvane-sim) at rest: mean",
             fmt("%.2f %% of a core", mean(idle.sims)));
  table_print();
  return 0;
}
