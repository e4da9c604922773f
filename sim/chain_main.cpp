// orvane-chain: the virtual servo chain alone, serving its pseudo-terminal for a daemon that runs
// elsewhere (the emulated board's UART, through scripts/orvane-emu). Prints the line's path, then
// answers commands on standard input until it ends; one thread serves the line.
#include <cstdio>
#include <cstring>
#include <string>

#include "sim/servo_chain.h"
#include "sim/sim.h"

static void usage(FILE* f)
{
  fputs(
      "usage: orvane-chain [--servos LIST] [--no-wire-timing]\n"
      "Serves the virtual servo chain on a pseudo-terminal and prints 'line PATH'. Commands on\n"
      "standard input: 'servos' (one line per servo: id, goal, torque, position, replies, then\n"
      "'end'), 'packets' (packets taken from the line). It ends when standard input does.\n",
      f);
}

int main(int argc, char** argv)
{
  std::vector<uint8_t> ids{1, 2, 3, 4, 5, 6};
  bool timing = true;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--servos" && i + 1 < argc && sim_parse_ids(argv[i + 1], &ids)) {
      i++;
    } else if (a == "--no-wire-timing") {
      timing = false;
    } else {
      usage(a == "--help" ? stdout : stderr);
      return a == "--help" ? 0 : 2;
    }
  }
  servo_chain* c = servo_chain::start(ids, timing);
  if (!c)
    return 1;
  printf("line %s\n", c->path());
  fflush(stdout);
  char buf[256];
  while (fgets(buf, sizeof buf, stdin)) {
    std::string cmd(buf, strcspn(buf, "\r\n"));
    if (cmd == "servos") {
      for (const sv_state& s : c->servos())
        printf("servo %u goal %d torque %u pos %d replies %u\n", s.id, s.goal, s.torque, s.pos,
               s.replies);
      puts("end");
    } else if (cmd == "packets") {
      printf("packets %zu\n", c->packet_count());
    } else if (!cmd.empty()) {
      printf("unknown command '%s'\n", cmd.c_str());
    }
    fflush(stdout);
  }
  c->stop();
  return 0;
}
