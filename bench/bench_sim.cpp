// orvane-bench-sim: the desktop runner of the system benchmark. It runs the daemon on the virtual
// hardware exactly as orvane-sim does, with the tick and pass probes logging timestamps and the
// two reference timers running alongside; when the daemon ends it writes the logs to a file.
// Threads are told apart by name: the virtual hardware's are "vhw", the reference timers'
// "ref-*"; the daemon's keep the process name "orvane" (connections name themselves "dbgs1").
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/probe.h"
#include "bench/reftimer.h"
#include "daemon/daemon.h"
#include "core/map.h"
#include "core/platform.h"
#include "sim/sim.h"

// A bound on the run: ends the daemon through its map, as a host would, after the given seconds.
static unsigned bench_seconds;  // set before the deadline thread starts

static void* bench_deadline(void*)
{
  sleep(bench_seconds);
  mem_w8(MAP_EXIT_REQ, 1);
  return nullptr;
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
  o.prog = "orvane-bench-sim";
  o.port = 0;
  o.console = false;
  o.poweroff_cmd = "true";
  const char* probe_out = nullptr;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    long v;
    if (a == "--port" && next) {
      if (!sim_parse_int(argv[++i], 0, 65535, &v))
        usage();
      o.port = static_cast<int>(v);
    } else if (a == "--servos" && next) {
      if (!sim_parse_ids(argv[++i], &o.servo_ids))
        usage();
    } else if (a == "--no-wire-timing") {
      o.wire_timing = false;
    } else if (a == "--seconds" && next) {
      if (!sim_parse_int(argv[++i], 1, 3600, &v))
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

  ref_block();
  // Every thread inherits its creator's name: what starts now is virtual hardware (or the
  // runner's own helpers), and what orvane_main starts is the daemon.
  pthread_setname_np(pthread_self(), "vhw");
  // The virtual hardware also inherits a fine timer slack, so that its line hands bytes on when
  // they are due rather than up to 50 us later; the daemon's threads get the default back.
  long slack = prctl(PR_GET_TIMERSLACK);
  prctl(PR_SET_TIMERSLACK, 1);
  sim_up(o);
  if (bench_seconds)
    sim_thread(bench_deadline, nullptr);
  plat.tick_probe = probe_tick_hook;
  plat.pass_probe = probe_pass_hook;

  pthread_setname_np(pthread_self(), "orvane");
  prctl(PR_SET_TIMERSLACK, slack);
  ref_start(16667);  // the period of the map's initial image
  int status = orvane_main();
  sim_exit(probe_dump(probe_out) ? status : 3);
}
