// orvane-sysbench: the system benchmark. Runs the daemon on virtual hardware (orvane-bench-sim),
// measures its tick, its idle cost, its servo cycle and its monitor from a host on loopback,
// measures redis-server's PING on the same machine for comparison, and prints one table.
// It reports and never fails on a missed target; it fails only when it cannot measure.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/sys_net.h"
#include "bench/sys_proc.h"
#include "bench/sys_redis.h"
#include "bench/sys_stats.h"
#include "bench/sys_table.h"
#include "sim/sim.h"
#include "orvane.h"

namespace {

constexpr double TICK_HZ = 60.0;
constexpr int IDLE_MS = 12000;     // tick and idle window
// The monitor and redis are measured in alternating rounds, so that both see the same share of a
// machine whose other load comes and goes.
constexpr int ROUNDS = 5;
constexpr int RTT_COUNT = 4000;       // timed requests on one connection, per round
constexpr int RATE_MS = 1500;         // 8-connection load, per round
constexpr int REDIS_RATE_N = 60000;   // PINGs with 8 clients, per round: about as long
constexpr int IDLE_CONNS = 1000;
const std::string POLL = "r d80 40\n";  // the servo positions: four dump lines
constexpr int POLL_LINES = 4;
// Pipelined: each connection sends this many commands at once and waits for all their answers,
// as redis-benchmark -P does. Reported, with no target.
constexpr int PIPE = 16;
constexpr int REDIS_PIPE_N = 600000;

std::string work_dir;  // the private folder (sim_dir), removed at exit and on termination

[[noreturn]] void fail(const std::string& why)
{
  fprintf(stderr, "orvane-sysbench: %s\n", why.c_str());
  exit(1);
}

// A thousand idle connections need as many descriptors in the daemon and here. Ctrl-C or a
// kill: the daemon and redis-server run in process groups of their own, so the runner library's
// termination thread stops them before it removes the folder.
void setup()
{
  proc_fd_limit(4096);
  sim_prog = "orvane-sysbench";
  sim_block_term();
  if (!sim_dir_make())
    exit(1);
  atexit(sim_cleanup);
  work_dir = sim_dir;
  sim_on_term = child_kill_all;
  sim_thread(sim_term_wait, nullptr);
}

int listening_port(const child& c)
{
  if (!file_wait(c.err_path, "listening on port ", 20000))
    return -1;
  std::string err = file_text(c.err_path);
  return static_cast<int>(strtol(err.c_str() + err.find("listening on port ") + 18, nullptr, 10));
}

struct cpu_split {
  int64_t daemon = 0, vhw = 0, ref_rel = 0;
  long daemon_wakeups = 0, daemon_preempted = 0;
  // By thread id, so in the order start-up made them: CPU time and wake-ups.
  std::vector<int64_t> daemon_threads;
  std::vector<long> daemon_thread_wakeups;
};

// The runner names the virtual hardware's threads and the references; the rest are the daemon's.
cpu_split cpu_between(const std::vector<thread_cpu>& a, const std::vector<thread_cpu>& b)
{
  std::map<pid_t, int64_t> start, daemon;
  std::map<pid_t, long> woke, preempted, woke_d, preempted_d;
  for (const thread_cpu& t : a) {
    start[t.tid] = t.ns;
    woke[t.tid] = t.wakeups;
    preempted[t.tid] = t.preempted;
  }
  cpu_split s;
  for (const thread_cpu& t : b) {
    int64_t d = t.ns - (start.count(t.tid) ? start[t.tid] : 0);
    if (t.name == "vhw") {
      s.vhw += d;
    } else if (t.name == "ref-relative") {
      s.ref_rel = d;
    } else if (t.name.rfind("ref-", 0) != 0) {
      s.daemon += d;
      daemon[t.tid] = d;
      woke_d[t.tid] = t.wakeups - (woke.count(t.tid) ? woke[t.tid] : 0);
      preempted_d[t.tid] = t.preempted - (preempted.count(t.tid) ? preempted[t.tid] : 0);
      s.daemon_wakeups += woke_d[t.tid];
      s.daemon_preempted += preempted_d[t.tid];
    }
  }
  for (const auto& [tid, d] : daemon) {
    s.daemon_threads.push_back(d);
    s.daemon_thread_wakeups.push_back(woke_d[tid]);
  }
  return s;
}

struct probe_data {
  std::vector<int64_t> tick, pass, rel, abs;
};

probe_data probe_read(const std::string& path)
{
  probe_data d;
  std::ifstream f(path);
  char tag;
  long long ns;
  while (f >> tag >> ns) {
    std::vector<int64_t>* v = tag == 't' ? &d.tick : tag == 'p' ? &d.pass
                            : tag == 'r' ? &d.rel : tag == 'a' ? &d.abs : nullptr;
    if (v)
      v->push_back(ns);
  }
  return d;
}

struct servo_figures {
  bool ok = false;
  int cycles = 0, bytes = 0, readings_ok = 0;
  double p50 = 0, p99 = 0, max = 0, floor = 0;  // microseconds
  double wakeups = 0, reads = 0, cpu_us = 0;       // per cycle
};

servo_figures servo_cycle(const std::string& exe, int servos, int write, int group, int cycles,
                          bool wire)
{
  child c = child_start({exe, "--servos", std::to_string(servos), "--write", std::to_string(write),
                         "--group", std::to_string(group), "--cycles", std::to_string(cycles),
                         "--wire", wire ? "1" : "0"},
                        work_dir, "servo");
  servo_figures f;
  if (child_stop(c, 120000) != 0)
    return f;
  std::istringstream in(file_text(c.out_path));
  f.ok = static_cast<bool>(in >> f.cycles >> f.p50 >> f.p99 >> f.max >> f.floor >> f.bytes >>
                           f.readings_ok);
  // An older servo benchmark (given with --servo) prints no counts.
  if (!(in >> f.wakeups >> f.reads >> f.cpu_us))
    f.wakeups = -1;
  return f;
}

// Wake-ups and reads per cycle count the servo thread's sleeps on the line; the wait for the tick
// that starts a cycle is not among them.
void report_servo(const std::string& what, const servo_figures& f)
{
  if (!f.ok) {
    table_info("Servo cycle, " + what, "not measured: the servo benchmark failed");
    return;
  }
  table_row(fmt("Servo cycle, %s: p50 against its floor (%d line bytes)", what.c_str(), f.bytes),
            fmt("%.2f ms ÷ %.2f ms (p99 %.2f, max %.2f ms, %d cycles%s%s)", f.p50 / 1000,
                f.floor / 1000, f.p99 / 1000, f.max / 1000, f.cycles,
                f.readings_ok ? "" : ", some readings failed",
                f.wakeups < 0 ? ""
                              : fmt("; per cycle %.2f wake-ups, %.2f reads, %.0f µs of CPU",
                                    f.wakeups, f.reads, f.cpu_us)
                                    .c_str()),
            f.p50 / f.floor, false, 1.05, "p50 ÷ floor");
}

// Overrun marks the daemon has printed so far: one space per tick that found the servo cycle
// still running.
long overruns(const child& c)
{
  std::string out = file_text(c.out_path);
  return std::count(out.begin(), out.end(), ' ');
}

double ppm(double rate) { return (rate / TICK_HZ - 1.0) * 1e6; }

void report_tick(const probe_data& d, int64_t w0, int64_t w1)
{
  double rd = rate_in(d.tick, w0, w1), rr = rate_in(d.rel, w0, w1), ra = rate_in(d.abs, w0, w1);
  if (rd == 0 || rr == 0)
    fail("no ticks were logged in the measuring window");
  table_row("Tick rate, daemon ÷ reference timer of the same design",
            fmt("%.4f/s ÷ %.4f/s", rd, rr), rd / rr, true, 0.999, "daemon ÷ reference");
  table_info("Tick rate against 60/s: daemon, same-design reference, absolute periodic timer",
             fmt("%+.0f ppm, %+.0f ppm, %+.0f ppm", ppm(rd), ppm(rr), ppm(ra)));
  std::vector<double> iv, delay;
  for (size_t i = 1; i < d.tick.size(); i++)
    if (d.tick[i - 1] >= w0 && d.tick[i] <= w1)
      iv.push_back(static_cast<double>(d.tick[i] - d.tick[i - 1]) / 1e6);
  for (int64_t p : d.pass) {
    if (p < w0 || p > w1)
      continue;
    auto k = std::upper_bound(d.tick.begin(), d.tick.end(), p);
    if (k != d.tick.begin())
      delay.push_back(static_cast<double>(p - *(k - 1)) / 1e6);
  }
  table_info(fmt("Tick-to-tick interval p50 / p99 / max (%zu intervals)", iv.size()),
             fmt("%.3f / %.3f / %.3f ms", pct(iv, 50), pct(iv, 99), vmax(iv)));
  table_info(fmt("Tick-to-pass delay p50 / max (%zu passes)", delay.size()),
             fmt("%.3f / %.3f ms", pct(delay, 50), vmax(delay)));
  table_row("Tick-to-pass delay p99", fmt("%.3f ms", pct(delay, 99)), pct(delay, 99) / 1.2, false,
            1, "p99 ÷ 1.2 ms");
}

// The daemon on the default virtual hardware: six servos with wire timing. --seconds bounds its
// life should this driver die without stopping it.
child start_daemon(const std::string& sim, const std::string& probes, int* port)
{
  child d = child_start({sim, "--probe-out", probes, "--seconds", "600"}, work_dir, "daemon");
  *port = listening_port(d);
  if (*port <= 0) {
    child_stop(d, 0);
    fail("the daemon did not start listening: " + file_text(d.err_path));
  }
  return d;
}

struct idle_figures {
  int64_t w0 = 0, w1 = 0;  // the measuring window
  cpu_split cpu;
  long overruns = 0, rss = 0, rss_anon = 0, rss_file = 0;
};

idle_figures measure_idle(const child& d)
{
  fprintf(stderr, "orvane-sysbench: tick and idle cost, %d s with no host connected\n",
          IDLE_MS / 1000);
  sleep_ms(1000);
  idle_figures f;
  std::vector<thread_cpu> c0 = proc_threads(d.pid);
  long ov0 = overruns(d);
  f.w0 = mono_ns();
  sleep_ms(IDLE_MS);
  f.w1 = mono_ns();
  std::vector<thread_cpu> c1 = proc_threads(d.pid);
  f.overruns = overruns(d) - ov0;
  f.rss = proc_status_kib(d.pid, "VmRSS");
  f.rss_anon = proc_status_kib(d.pid, "RssAnon");
  f.rss_file = proc_status_kib(d.pid, "RssFile");
  f.cpu = cpu_between(c0, c1);
  return f;
}

struct monitor_figures {
  std::vector<double> rtt, rtt_p50, rate8, redis_p50, redis_p99, redis_rps8, redis_rps1, pipe8,
      redis_pipe8;
  bool have_redis = false;
  std::string redis_why;
  long overruns = 0;
};

// The monitor and redis-server in alternating rounds.
monitor_figures measure_monitor(const child& d, int port)
{
  fprintf(stderr, "orvane-sysbench: monitor and redis-server, %d alternating rounds\n", ROUNDS);
  monitor_figures f;
  long ov0 = overruns(d);
  redis_server rs = redis_start(work_dir);
  std::string piped;
  for (int i = 0; i < PIPE; i++)
    piped += POLL;
  for (int r = 0; r < ROUNDS; r++) {
    std::vector<double> one = net_rtt(port, POLL, POLL_LINES, RTT_COUNT, 300);
    if (one.empty())
      break;
    f.rtt_p50.push_back(pct(one, 50));
    f.rtt.insert(f.rtt.end(), one.begin(), one.end());
    redis_ping p1 = redis_bench(rs, work_dir, 1, RTT_COUNT);
    f.rate8.push_back(net_rate(port, POLL, POLL_LINES, 8, RATE_MS));
    redis_ping p8 = redis_bench(rs, work_dir, 8, REDIS_RATE_N);
    f.pipe8.push_back(net_rate(port, piped, POLL_LINES * PIPE, 8, RATE_MS) * PIPE);
    redis_ping pp = redis_bench(rs, work_dir, 8, REDIS_PIPE_N, PIPE);
    if (p1.ok && p8.ok && pp.ok) {
      f.redis_p50.push_back(p1.p50_us);
      f.redis_p99.push_back(p1.p99_us);
      f.redis_rps1.push_back(p1.rps);
      f.redis_rps8.push_back(p8.rps);
      f.redis_pipe8.push_back(pp.rps);
    }
  }
  redis_stop(rs);
  f.overruns = overruns(d) - ov0;
  f.have_redis = f.redis_p50.size() == f.rtt_p50.size() && !f.redis_p50.empty();
  f.redis_why = rs.why.empty() && !f.have_redis ? "redis-benchmark failed" : rs.why;
  return f;
}

struct conns_figures {
  size_t n = 0;
  long rss_before = 0, rss = 0, threads = 0, overruns = 0;
};

conns_figures measure_conns(const child& d, int port)
{
  conns_figures f;
  long ov0 = overruns(d);
  f.rss_before = proc_status_kib(d.pid, "VmRSS");
  std::vector<int> idle = net_open_idle(port, IDLE_CONNS);
  sleep_ms(500);
  f.n = idle.size();
  f.rss = proc_status_kib(d.pid, "VmRSS");
  f.threads = proc_status_kib(d.pid, "Threads");
  net_quit(idle);
  f.overruns = overruns(d) - ov0;
  return f;
}

// Ending the daemon through its map makes the runner write its probe logs.
void stop_daemon(child& d, int port)
{
  try {
    orvane::client("127.0.0.1:" + std::to_string(port), std::chrono::seconds(10)).request_exit();
  } catch (const orvane::error& e) {
    fprintf(stderr, "orvane-sysbench: %s\n", e.what());
  }
  int status = child_stop(d, 10000);
  if (status != 0)
    fail(fmt("the daemon ended with status %d", status));
}

double mib(long kib) { return static_cast<double>(kib) / 1024; }

void report_idle(const idle_figures& f)
{
  const cpu_split& cpu = f.cpu;
  double wall = static_cast<double>(f.w1 - f.w0);
  auto pct_of = [&](int64_t ns) { return static_cast<double>(ns) / wall * 100; };
  double daemon_pct = pct_of(cpu.daemon);
  table_row(fmt("Idle CPU of the daemon's %zu threads, no host connected",
                cpu.daemon_threads.size()),
            fmt("%.3f %% of one core", daemon_pct), daemon_pct / 0.8, false, 1, "÷ 0.8 %");
  // Start-up makes them in this order: the control loop is the initial thread. Builds before the
  // output writer had four.
  static const char* const roles5[] = {"control loop", "tick", "output writer", "monitor listener",
                                       "servo"};
  static const char* const roles4[] = {"control loop", "tick", "monitor listener", "servo"};
  size_t n_roles = cpu.daemon_threads.size() == 4 ? 4 : 5;
  const char* const* roles = n_roles == 4 ? roles4 : roles5;
  std::string split;
  for (size_t i = 0; i < cpu.daemon_threads.size(); i++)
    split += fmt("%s%s %.3f", i ? ", " : "", i < n_roles ? roles[i] : "other",
                 pct_of(cpu.daemon_threads[i]));
  table_info("Idle CPU by daemon thread (% of one core)", split);
  auto per_s = [&](long n) { return static_cast<double>(n) * 1e9 / wall; };
  double wakeups = per_s(cpu.daemon_wakeups);
  table_row("Wake-ups of the daemon's threads per second", fmt("%.0f", wakeups), wakeups / 300,
            false, 1, "÷ 300");
  std::string woke;
  for (size_t i = 0; i < cpu.daemon_thread_wakeups.size(); i++)
    woke += fmt("%s%s %.0f", i ? ", " : "", i < n_roles ? roles[i] : "other",
                per_s(cpu.daemon_thread_wakeups[i]));
  table_info("Wake-ups by daemon thread, per second", woke);
  table_info("Times the daemon's threads were preempted by other work, per second",
             fmt("%.0f", per_s(cpu.daemon_preempted)));
  table_info("A bare timer thread waking once per tick (the same-design reference)",
             fmt("%.3f %% of one core", pct_of(cpu.ref_rel)));
  table_info("Idle CPU of the virtual hardware's threads (counted apart)",
             fmt("%.3f %% of one core", pct_of(cpu.vhw)));
  table_row("Resident memory, idle",
            fmt("%.2f MiB (anonymous %.2f, file %.2f)", mib(f.rss), mib(f.rss_anon),
                mib(f.rss_file)),
            mib(f.rss) / 4, false, 1, "÷ 4 MiB");
}

void report_monitor(const monitor_figures& f)
{
  if (f.rtt.empty())
    fail("the monitor stopped answering");
  // Each figure is the median of the rounds' figures, each ratio the median of the rounds'
  // ratios: a round in which the machine got busier weighs no more than one that did not.
  double p50 = pct(f.rtt_p50, 50), p99 = pct(f.rtt, 99), r8 = pct(f.rate8, 50);
  std::string rtt_s = fmt("p50 %.1f µs, p99 %.1f µs (%zu requests, %zu rounds)", p50, p99,
                          f.rtt.size(), f.rtt_p50.size());
  std::string rate_s = fmt("%.0f /s", r8);
  if (!f.have_redis) {
    table_info("Monitor round trip of \"r d80 40\", one connection", rtt_s);
    table_info("Monitor \"r d80 40\" per second, 8 connections", rate_s);
    table_info(fmt("Monitor \"r d80 40\" per second, 8 connections, %d commands per send", PIPE),
               fmt("%.0f /s", pct(f.pipe8, 50)));
    table_info("redis comparison", "not measured: " + f.redis_why);
    return;
  }
  std::vector<double> rtt_ratio, rate_ratio;
  std::string rounds;
  for (size_t i = 0; i < f.rtt_p50.size(); i++) {
    rtt_ratio.push_back(f.rtt_p50[i] / f.redis_p50[i]);
    rate_ratio.push_back(f.rate8[i] / f.redis_rps8[i]);
    rounds += fmt("%s%.2f / %.2f", i ? ", " : "", rtt_ratio.back(), rate_ratio.back());
  }
  table_row("Monitor round trip of \"r d80 40\", one connection", rtt_s, pct(rtt_ratio, 50),
            false, 0.9, "p50 ÷ redis PING p50");
  table_info("redis-server PING round trip, one client (redis-benchmark)",
             fmt("p50 %.1f µs, p99 %.1f µs", pct(f.redis_p50, 50), pct(f.redis_p99, 50)));
  table_row("Monitor \"r d80 40\" per second, 8 connections", rate_s, pct(rate_ratio, 50), true,
            1.2, "÷ redis PING/s, 8 clients");
  table_info("redis-server PINGs per second, 8 clients (1 client)",
             fmt("%.0f /s (%.0f /s)", pct(f.redis_rps8, 50), pct(f.redis_rps1, 50)));
  table_info("Round by round: p50 ratio / rate ratio", rounds);
  std::vector<double> pipe_ratio;
  for (size_t i = 0; i < f.pipe8.size(); i++)
    pipe_ratio.push_back(f.pipe8[i] / f.redis_pipe8[i]);
  table_info(fmt("Pipelined, %d commands per send, 8 connections: monitor \"r d80 40\" ÷ redis "
                 "PING (-P %d), per second",
                 PIPE, PIPE),
             fmt("%.0f /s ÷ %.0f /s = %.2f", pct(f.pipe8, 50), pct(f.redis_pipe8, 50),
                 pct(pipe_ratio, 50)));
}

void report_conns(const conns_figures& c, long ov_idle, long ov_load)
{
  double per_conn = c.n ? static_cast<double>(c.rss - c.rss_before) / static_cast<double>(c.n) : 0;
  table_info(fmt("Resident memory with %zu idle connections (%ld threads)", c.n, c.threads),
             fmt("%.2f MiB", mib(c.rss)));
  table_row("Resident memory per additional idle connection", fmt("%.1f KiB", per_conn),
            per_conn / 64, false, 1, "÷ 64 KiB");
  table_info("Overrun marks (ticks that found the servo cycle running): idle, monitor load, "
             "idle connections",
             fmt("%ld, %ld, %ld", ov_idle, ov_load, c.overruns));
}

}  // namespace

int main(int argc, char** argv)
{
  std::string sim = ORVANE_BENCH_SIM_PATH, servo = ORVANE_BENCH_SERVO_PATH;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--sim" && i + 1 < argc) {
      sim = argv[++i];
    } else if (a == "--servo" && i + 1 < argc) {
      servo = argv[++i];
    } else {
      fprintf(stderr, "usage: orvane-sysbench [--sim PATH] [--servo PATH]\n");
      return 2;
    }
  }
  setup();
  std::string loadavg = file_text("/proc/loadavg");
  fprintf(stderr, "orvane-sysbench: load average at start: %s", loadavg.c_str());

  std::string probes = work_dir + "/probes.txt";
  int port;
  child d = start_daemon(sim, probes, &port);
  idle_figures idle = measure_idle(d);
  monitor_figures mon = measure_monitor(d, port);
  conns_figures conns = measure_conns(d, port);
  stop_daemon(d, port);

  fprintf(stderr, "orvane-sysbench: servo cycles with the virtual chain's wire timing\n");
  servo_figures sv6 = servo_cycle(servo, 6, 6, 1, 100, true);
  servo_figures sv30 = servo_cycle(servo, 30, 30, 14, 40, true);

  table_info("Load average when the run began (other work on this machine)",
             loadavg.substr(0, loadavg.find(' ', loadavg.find(' ', loadavg.find(' ') + 1) + 1)));
  report_tick(probe_read(probes), idle.w0, idle.w1);
  report_idle(idle);
  report_servo("initial map (6 servos written, 1 read)", sv6);
  report_servo("30 servos written, 14 read", sv30);
  report_monitor(mon);
  report_conns(conns, idle.overruns, mon.overruns);
  table_print();
  if (conns.n < IDLE_CONNS)
    fprintf(stderr, "orvane-sysbench: only %zu of %d idle connections were accepted\n", conns.n,
            IDLE_CONNS);
  return 0;
}
