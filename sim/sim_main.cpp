// orvane-sim: runs the daemon on a PC, with stand-ins for every device it opens.
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/daemon.h"
#include "core/platform.h"
#include "core/tick.h"
#include "sim/sim.h"

static void sim_listening(int port)
{
  fprintf(stderr, "orvane-sim: monitor listening on port %d\n", port);
}

static void usage(FILE* f)
{
  fputs(
      "usage: orvane-sim [options]\n"
      "Runs the orvane daemon on virtual hardware: a virtual servo chain, switches and LED\n"
      "boards. Standard output is the daemon's own; the runner speaks on standard error.\n"
      "  --port N             monitor port (default 6498; 0 picks a free port)\n"
      "  --servos LIST        ids of the virtual servos, e.g. 1,2,3 (default 1-6)\n"
      "  --no-wire-timing     virtual servo bytes take no time on the line\n"
      "  --serial PATH        use a real serial line instead of the virtual servo chain\n"
      "  --i2c PATH           use a real I2C bus instead of the virtual LED boards\n"
      "  --poweroff-cmd CMD   shell command run on a power-off request\n"
      "                       (default: a message on standard error)\n"
      "  --no-console         do not read console commands from standard input\n"
      "  --help               show this text\n",
      f);
}

static bool parse_int(const char* s, long lo, long hi, long* out)
{
  char* end = nullptr;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi)
    return false;
  *out = v;
  return true;
}

static bool parse_ids(const char* s, std::vector<uint8_t>* ids)
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
      if (!parse_int(item.c_str(), 0, 255, &lo))
        return false;
      hi = lo;
    } else if (!parse_int(item.substr(0, dash).c_str(), 0, 255, &lo) ||
               !parse_int(item.substr(dash + 1).c_str(), 0, 255, &hi) || hi < lo) {
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

static bool parse_args(int argc, char** argv, sim_opts* o)
{
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    long v;
    if (a == "--help" || a == "-h") {
      usage(stdout);
      exit(0);
    } else if (a == "--port" && next && parse_int(next, 0, 65535, &v)) {
      o->port = static_cast<int>(v);
      i++;
    } else if (a == "--servos" && next && parse_ids(next, &o->servo_ids)) {
      i++;
    } else if (a == "--no-wire-timing") {
      o->wire_timing = false;
    } else if (a == "--serial" && next) {
      o->serial_path = next;
      i++;
    } else if (a == "--i2c" && next) {
      o->i2c_path = next;
      i++;
    } else if (a == "--poweroff-cmd" && next) {
      o->poweroff_cmd = next;
      i++;
    } else if (a == "--no-console") {
      o->console = false;
    } else {
      fprintf(stderr, "orvane-sim: bad option '%s'%s\n", argv[i],
              next || a.rfind("--", 0) != 0 ? "" : " (missing value)");
      usage(stderr);
      return false;
    }
  }
  return true;
}

int main(int argc, char** argv)
{
  static sim_opts o;
  if (!parse_args(argc, argv, &o))
    return 2;

  // Every thread started from here on inherits these blocked signals: the tick belongs to the
  // daemon's tick thread, and termination to the cleanup thread.
  timer0_block();
  sim_block_term();

  if (!sim_dir_make())
    return 1;
  atexit(sim_cleanup);
  sim_thread(sim_term_wait, nullptr);

  plat.monitor_port = o.port;
  plat.poweroff_cmd = o.poweroff_cmd.c_str();
  plat.listening = sim_listening;
  sim_servo_start(o);
  sim_board_start(o);
  if (o.console)
    sim_console_start();

  int status = orvane_main();
  // The stand-ins' threads are still running: end at once instead of destroying what they use.
  fflush(stdout);
  sim_cleanup();
  _exit(status & 0xff);
}
