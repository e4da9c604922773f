#include "daemon/daemon.h"

#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "board/ix.h"
#include "board/swr.h"
#include "core/image.h"
#include "core/interp.h"
#include "core/map.h"
#include "core/out.h"
#include "core/platform.h"
#include "core/tick.h"
#include "monitor/dbgs.h"
#include "servo/sg.h"

int32_t sys_t1;
int ctl_status;

// Runs a shell line and returns its wait status as system() would (-1 when no shell started).
// Unlike system(), the shell starts with no signal blocked and every signal at its default: it
// would otherwise inherit this thread's mask (the tick's signal, and the runners' SIGHUP, SIGINT
// and SIGTERM), and a command that signals itself, such as 'kill -TERM $$', would end with
// status 0 instead of the signal's number.
static int ctl_run(const char* cmd)
{
  posix_spawnattr_t at;
  posix_spawnattr_init(&at);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&at, &none);
  posix_spawnattr_setsigdefault(&at, &all);
  posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char sh[] = "sh", c[] = "-c";
  char* argv[] = {sh, c, const_cast<char*>(cmd), nullptr};
  pid_t pid;
  int err = posix_spawn(&pid, "/bin/sh", nullptr, &at, argv, environ);
  posix_spawnattr_destroy(&at);
  if (err != 0)
    return -1;
  int st;
  while (waitpid(pid, &st, 0) < 0)
    if (errno != EINTR)
      return -1;
  return st;
}

static bool ctl_pass()
{
  if (plat.pass_probe)
    plat.pass_probe();
  mem_proc0();
  swr_proc();
  ix_proc();
  mem_w32(MAP_LOOP_COUNT, mem_ru32(MAP_LOOP_COUNT) + 1);
  bool exit_req = mem_r8(MAP_EXIT_REQ) != 0;
  bool poweroff_req = !exit_req && mem_r8(MAP_POWEROFF_REQ) != 0;
  // The connection that wrote the request first delivers its answers (DBGS_LINGER_MS at most);
  // the passes go on meanwhile.
  if ((exit_req || poweroff_req) && dbgs_holding())
    return false;
  if (exit_req) {
    ctl_status = 0;
    return true;
  }
  if (poweroff_req) {
    // The announcement must be out before the board goes down, but a stalled reader must not
    // keep the robot up: after a second the command runs anyway.
    out_say("KT4_SDREQ\n", std::chrono::seconds(1));
    ctl_status = ctl_poweroff_status(ctl_run(plat.poweroff_cmd));
    return true;
  }
  return false;
}

int ctl_poweroff_status(int wait_status)
{
  if (wait_status == -1)
    return 127;
  if (WIFEXITED(wait_status))
    return WEXITSTATUS(wait_status);
  return wait_status & 0xff;  // killed: the signal number (and 0x80 for a core dump), never 0
}

ctl ctl_step()
{
  if (sys_t0.load(std::memory_order_relaxed) == sys_t1)
    return ctl::idle;
  if (ctl_pass())
    return ctl::end;
  // Every tick counted so far is consumed, those that came during the pass included.
  sys_t1 = sys_t0.load(std::memory_order_relaxed);
  return ctl::pass;
}

int orvane_main()
{
  // Nothing is ever held in a stdio buffer for standard output, so ending the process never
  // waits for a reader that stalled: the daemon's own lines go out through out_say.
  setvbuf(stdout, nullptr, _IONBF, 0);
  mem_init();
  swr_init();
  i2c_init();
  timer0_init();
  // sg_mutex and sg_cond are valid from static initialisation with default attributes; they are
  // not initialised again here, since the tick thread may already be signalling sg_cond.
  // The threads started here run with SIGPIPE blocked, so that a line written to a standard
  // output whose reader has gone fails instead of ending the daemon. The power-off command
  // starts with no signal blocked whatever this thread's mask (ctl_run).
  sigset_t pipe_sig, mask;
  sigemptyset(&pipe_sig);
  sigaddset(&pipe_sig, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_sig, &mask);
  out_init(STDOUT_FILENO);
  // The servo thread presets sv_pos once it has opened the line, but the listener may accept a
  // host before that: without this, the host would read the map's zeroes as positions.
  sg_preset();
  // Neither thread is ever joined; detached, a listener that ends after a set-up failure gives
  // its resources back.
  pthread_attr_t detached;
  pthread_attr_init(&detached);
  pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
  pthread_t dbgs0, sg;
  pthread_create(&dbgs0, &detached, pthread_dbgs0, nullptr);
  pthread_create(&sg, &detached, pthread_sg, nullptr);
  pthread_attr_destroy(&detached);
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  mem_w16(MAP_SV_COMM_ON, 1);

  for (;;) {
    ctl r = ctl_step();
    if (r == ctl::end)
      return ctl_status;
    // Sleep until the tick thread counts the next tick: a pass starts as soon as its tick is
    // counted, and an idle daemon wakes once per tick rather than every millisecond.
    if (r == ctl::idle)
      sys_t0_wait(sys_t1);
  }
}
