// orvane-bench-sim: the desktop runner of the system benchmark. It runs the daemon on the virtual
// hardware exactly as orvane-sim does, with the tick and pass probes logging timestamps and the
// two reference timers running alongside; when the daemon ends it writes the logs to a file.
// Threads are told apart by name: the virtual hardware's are "vhw", the reference timers'
// "ref-*"; the daemon's keep the process name "orvane" (connections name themselves "dbgs1").
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/probe.h"
#include "bench/reftimer.h"
#include "core/daemon.h"
#include "core/map.h"
#include "core/platform.h"
#include "core/tick.h"
#include "sim/sim.h"

// A bound on the run: ends the daemon through its map, as a host would, after the given seconds.
static unsigned bench_seconds;  // set before the deadline thread starts

static void* bench_deadline(void*)
{
  sleep(bench_seconds);
  mem_w8(MAP_EXIT_REQ, 1);
  return nullptr;
}

static void bench_listening(int port)
{
  fprintf(stderr, "orvane-bench-sim: monitor listening on port %d\n", port);
}

static bool parse_ids(const char* s, std::vector<uint8_t>* ids)
{
  ids->clear();
  while (*s) {
    char* end;
    long lo = strtol(s, &end, 10), hi = lo;
    if (end == s)
      return false;
    if (*end == '-') {
      s = end + 1;
      hi = strtol(s, &end, 10);
      if (end == s)
        return false;
    }
    if (lo < 0 || hi > 255 || hi < lo)
      return false;
    for (long id = lo; id <= hi; id++)
      ids->push_back(static_cast<uint8_t>(id));
    s = *end == ',' ? end + 1 : end;
    if (*end && *end != ',')
      return false;
  }
  return !ids->empty();
}

// A whole decimal number within [lo, hi], or -1.
static long number(const char* s, long lo, long hi)
{
  char* end = nullptr;
  long v = strtol(s, &end, 10);
  return end != s && *end == '\0' && v >= lo && v <= hi ? v : -1;
}

static void usage()
{
  fputs(
      "usage: orvane-bench-sim [--port N] [--servos LIST] [--no-wire-timing] [--seconds N]\n"
      "                        --probe-out PATH\n",
      stderr);
  exit(2);
}

int main(int argc, char** argv)
{
  static sim_opts o;
  o.port = 0;
  o.console = false;
  const char* probe_out = nullptr;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--port" && next) {
      long v = number(argv[++i], 0, 65535);
      if (v < 0)
        usage();
      o.port = static_cast<int>(v);
    } else if (a == "--servos" && next) {
      if (!parse_ids(argv[++i], &o.servo_ids))
        usage();
    } else if (a == "--no-wire-timing") {
      o.wire_timing = false;
    } else if (a == "--seconds" && next) {
      long v = number(argv[++i], 1, 3600);
      if (v < 0)
        usage();
      bench_seconds = static_cast<unsigned>(v);
    } else if (a == "--probe-out" && next) {
      probe_out = argv[++i];
    } else {
      usage();
    }
  }
  if (!probe_out)
    usage();

  timer0_block();
  ref_block();
  sim_block_term();

  if (!sim_dir_make())
    return 1;
  atexit(sim_cleanup);
  // Every thread inherits its creator's name: what starts now is virtual hardware (or the
  // runner's own helpers), and what orvane_main starts is the daemon.
  pthread_setname_np(pthread_self(), "vhw");
  // The virtual hardware also inherits a fine timer slack, so that its line hands bytes on when
  // they are due rather than up to 50 us later; the daemon's threads get the default back.
  long slack = prctl(PR_GET_TIMERSLACK);
  prctl(PR_SET_TIMERSLACK, 1);
  sim_thread(sim_term_wait, nullptr);
  if (bench_seconds)
    sim_thread(bench_deadline, nullptr);
  plat.monitor_port = o.port;
  plat.poweroff_cmd = "true";
  plat.listening = bench_listening;
  plat.tick_probe = probe_tick_hook;
  plat.pass_probe = probe_pass_hook;
  sim_servo_start(o);
  sim_board_start(o);

  pthread_setname_np(pthread_self(), "orvane");
  prctl(PR_SET_TIMERSLACK, slack);
  ref_start(16667);  // the period of the map's initial image
  int status = orvane_main();
  bool ok = probe_dump(probe_out);
  fflush(stdout);
  sim_cleanup();
  _exit(ok ? status & 0xff : 3);
}
