// The runner's start-up and end, and the option values both runners read.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/platform.h"
#include "core/tick.h"
#include "sim/console.h"
#include "sim/out_tap.h"
#include "sim/read_all.h"
#include "sim/sim.h"

std::atomic<int> sim_port;
static bool sim_read_all_on;  // set by sim_up before the listener starts

// On the listener's thread, once the daemon listens. By now it has opened the stand-ins' files
// (the GPIO block and the LED boards' FIFO, start-up steps 2 and 3), so the folder goes: a runner
// killed from here on leaves nothing behind. The read groups are laid out before the first host
// is accepted, and the console prompts only after this line.
static void sim_listening(int port)
{
  sim_port.store(port, std::memory_order_relaxed);
  sim_cleanup();
  if (sim_read_all_on)
    sim_read_all();
  fprintf(stderr, "%s: monitor listening on port %d\n", sim_prog, port);
  sim_console_ready();
}

// The daemon has printed its own line (bind() failed(98)) and ended only its listener; a runner
// that ran on would leave its user talking to whatever holds the port.
static void sim_listen_failed(int err)
{
  sim_tap_drain();  // the daemon's line first, on a terminal too
  if (err == EADDRINUSE)
    fprintf(stderr, "%s: port %d is in use (another orvane-sim?); choose another with --port N\n",
            sim_prog, plat.monitor_port);
  else
    fprintf(stderr, "%s: cannot listen on port %d: %s\n", sim_prog, plat.monitor_port,
            strerror(err));
  sim_exit(1);
}

void sim_up(const sim_opts& o)
{
  sim_prog = o.prog;
  // Every thread started from here on inherits these blocked signals: the tick belongs to the
  // daemon's tick thread, and termination to the cleanup thread.
  timer0_block();
  sim_block_term();

  if (!sim_dir_make())
    exit(1);
  atexit(sim_cleanup);
  sim_thread(sim_term_wait, nullptr);

  plat.monitor_port = o.port;
  plat.poweroff_cmd = o.poweroff_cmd.c_str();
  plat.listening = sim_listening;
  plat.listen_failed = sim_listen_failed;
  sim_read_all_on = o.read_all;
  sim_servo_start(o);
  sim_board_start(o);
  // Overrun marks would land in the prompt's line: while the console holds a terminal, the
  // daemon's standard output comes to the runner instead.
  if (o.console && isatty(STDIN_FILENO) && isatty(STDOUT_FILENO))
    sim_tap_start();
  if (o.console)
    sim_console_start();
}

void sim_exit(int status)
{
  fflush(stdout);
  sim_tap_drain();
  sim_console_close();
  sim_cleanup();
  _exit(status & 0xff);
}

bool sim_parse_int(const char* s, long lo, long hi, long* out)
{
  char* end = nullptr;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi)
    return false;
  *out = v;
  return true;
}

bool sim_parse_ids(const char* s, std::vector<uint8_t>* ids)
{
  ids->clear();
  std::string text(s);
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    std::string item = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    long lo, hi;
    size_t dash = item.find('-');
    if (dash == std::string::npos) {
      if (!sim_parse_int(item.c_str(), 0, 255, &lo))
        return false;
      hi = lo;
    } else if (!sim_parse_int(item.substr(0, dash).c_str(), 0, 255, &lo) ||
               !sim_parse_int(item.substr(dash + 1).c_str(), 0, 255, &hi) || hi < lo) {
      return false;
    }
    for (long id = lo; id <= hi; id++)
      ids->push_back(static_cast<uint8_t>(id));
    if (comma == std::string::npos)
      break;
    pos = comma + 1;
  }
  return !ids->empty();
}
