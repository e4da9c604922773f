// orvane-sim: runs the daemon on a PC, with stand-ins for every device it opens.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "daemon/daemon.h"
#include "orvane_version.h"
#include "sim/sim.h"

static void usage(FILE* f)
{
  fputs(
      "usage: orvane-sim [options]\n"
      "Runs the orvane daemon on virtual hardware: a virtual servo chain, switches and LED\n"
      "boards. Standard output is the daemon's own; the runner speaks on standard error.\n"
      "  --port N             monitor port (default 6498; 0 picks a free port)\n"
      "  --servos LIST        ids of the virtual servos, e.g. 1,2,3 (default 1-6)\n"
      "  --no-wire-timing     virtual servo bytes take no time on the line\n"
      "  --read-all           put every servo of the write list into the read groups at start\n"
      "                       (default: the daemon's own image, which reads servo 1 only)\n"
      "  --serial PATH        use a real serial line instead of the virtual servo chain\n"
      "  --i2c PATH           use a real I2C bus instead of the virtual LED boards\n"
      "  --poweroff-cmd CMD   shell command run on a power-off request\n"
      "                       (default: a message on standard error)\n"
      "  --no-console         do not read console commands from standard input\n"
      "  --help               show this text\n"
      "  --version            show the version\n",
      f);
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
    } else if (a == "--version") {
      puts("orvane-sim (orvane) " ORVANE_VERSION);
      exit(0);
    } else if (a == "--port" && next && sim_parse_int(next, 0, 65535, &v)) {
      o->port = static_cast<int>(v);
      i++;
    } else if (a == "--servos" && next && sim_parse_ids(next, &o->servo_ids)) {
      i++;
    } else if (a == "--no-wire-timing") {
      o->wire_timing = false;
    } else if (a == "--read-all") {
      o->read_all = true;
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
  sim_up(o);
  sim_exit(orvane_main());
}
