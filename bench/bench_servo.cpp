// orvane-bench-servo: times the servo exchange cycle against the virtual servo chain with its wire
// timing on. It sets up the map's write list and read group 0, opens the line as the servo thread
// does (sg_init), then runs sg_proc back to back on its initial thread, a millisecond apart, and
// prints one line: "<cycles> <p50 us> <p99 us> <max us> <floor us> <line bytes> <readings ok>
// <wake-ups per cycle> <reads per cycle> <CPU us per cycle>": the times the thread went to sleep
// during a cycle, the read calls it made on the line and the CPU time it used.
// With --wire 0 the virtual line hands bytes on at once; the exchange still sleeps their wire time.
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/probe.h"
#include "core/image.h"
#include "core/map.h"
#include "servo/sg.h"
#include "sim/servo_chain.h"
#include "sim/sim.h"

// The calling thread's voluntary context switches so far (each a time it went to sleep, and so
// woke again) and its read calls so far (syscr of its io file).
struct thread_counts {
  long switches = 0, reads = 0;
};

static thread_counts counts()
{
  thread_counts c;
  std::string line;
  std::ifstream st("/proc/thread-self/status");
  while (std::getline(st, line))
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
      c.switches += strtol(line.c_str() + line.find(':') + 1, nullptr, 10);
  std::ifstream io("/proc/thread-self/io");
  while (std::getline(io, line))
    if (line.rfind("syscr:", 0) == 0)
      c.reads = strtol(line.c_str() + 6, nullptr, 10);
  return c;
}

static int64_t cpu_ns()
{
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

static void usage()
{
  fputs("usage: orvane-bench-servo --servos N --write N --group N --cycles N [--wire 0|1]\n",
        stderr);
  exit(2);
}

int main(int argc, char** argv)
{
  long servos = 6, write = 6, group = 1, cycles = 100, wire = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    char* end = nullptr;
    long v = strtol(argv[i + 1], &end, 10);
    if (*end != '\0' || v < 0 || v > 10000)
      usage();
    if (a == "--servos")
      servos = v;
    else if (a == "--write")
      write = v;
    else if (a == "--group")
      group = v;
    else if (a == "--cycles")
      cycles = v;
    else if (a == "--wire")
      wire = v;
    else
      usage();
  }
  if (argc % 2 == 0 || servos < 1 || servos > 32 || write < 0 || write > servos ||
      write > long{MAP_WR_ROOM} || group < 1 || group > servos || group > long{MAP_RD_ROOM} ||
      cycles < 1 || wire > 1)
    usage();

  static sim_opts o;
  sim_prog = "orvane-bench-servo";
  o.wire_timing = wire != 0;
  o.servo_ids.clear();
  for (long id = 1; id <= servos; id++)
    o.servo_ids.push_back(static_cast<uint8_t>(id));
  if (!sim_dir_make())
    return 1;
  atexit(sim_cleanup);
  mem_init();
  mem_w8(MAP_WR_COUNT, static_cast<uint8_t>(write));
  for (uint32_t i = 0; i < static_cast<uint32_t>(write); i++)
    mem_w8(MAP_WR_IDS + i, static_cast<uint8_t>(i + 1));
  mem_w8(MAP_RD_GROUP, 1);
  mem_w8(MAP_RD_GROUP + 1, static_cast<uint8_t>(group));
  for (uint32_t i = 0; i < static_cast<uint32_t>(group); i++)
    mem_w8(MAP_RD_GROUP + 2 + i, static_cast<uint8_t>(i + 1));
  // The virtual line's thread inherits a fine timer slack, so that it hands bytes on when they
  // are due rather than up to 50 us later; the exchange runs with the default again.
  long slack = prctl(PR_GET_TIMERSLACK);
  prctl(PR_SET_TIMERSLACK, 1);
  sim_servo_start(o);
  prctl(PR_SET_TIMERSLACK, slack);
  sg_init();

  for (int i = 0; i < 3; i++)  // the chain's first bytes and the line's buffers settle
    sg_proc();
  std::vector<double> us;
  thread_counts c0 = counts(), c1 = counts();  // c1 - c0: what taking the counts costs
  int64_t cpu = 0;
  for (long i = 0; i < cycles; i++) {
    usleep(1000);
    int64_t c = cpu_ns();
    int64_t t0 = probe_now();
    sg_proc();
    us.push_back(static_cast<double>(probe_now() - t0) / 1000.0);
    cpu += cpu_ns() - c;
  }
  thread_counts c2 = counts();
  // Each pause between cycles is one switch of its own.
  double wakeups = static_cast<double>(c2.switches - c1.switches - cycles) / static_cast<double>(cycles);
  double reads = static_cast<double>(c2.reads - c1.reads - (c1.reads - c0.reads)) /
                 static_cast<double>(cycles);
  long ok = 0;
  for (long i = 0; i < group; i++)
    ok += mem_r16(map_sv_pos(static_cast<uint8_t>(i + 1))) != SV_NO_READING;

  std::sort(us.begin(), us.end());
  auto at = [&](size_t permille) { return us[std::min(us.size() - 1, us.size() * permille / 1000)]; };
  long bytes = 16 + 6 * write + group * (8 + 10);
  double floor_us =
      static_cast<double>(bytes * servo_chain::BYTE_NS + group * servo_chain::RETURN_NS) / 1000.0;
  printf("%ld %.1f %.1f %.1f %.1f %ld %d %.2f %.2f %.1f\n", cycles, at(500), at(990), us.back(),
         floor_us, bytes, ok == group, wakeups, reads,
         static_cast<double>(cpu) / 1000.0 / static_cast<double>(cycles));
  fflush(stdout);
  sim_cleanup();
  _exit(0);
}
