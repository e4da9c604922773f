// The runner's start-up and end, and the option values both runners read.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/platform.h"
#include "core/tick.h"
#include "sim/sim.h"

static void sim_listening(int port)
{
  fprintf(stderr, "%s: monitor listening on port %d\n", sim_prog, port);
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
  sim_servo_start(o);
  sim_board_start(o);
  if (o.console)
    sim_console_start();
}

void sim_exit(int status)
{
  fflush(stdout);
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
