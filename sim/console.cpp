#include "sim/console.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "board/swr.h"
#include "core/map.h"
#include "core/platform.h"
#include "sim/board.h"
#include "sim/out_tap.h"
#include "sim/runner_servos.h"
#include "sim/sim.h"

static const char* console_help =
    "commands:\n"
    "  status            monitor port, loop count, read groups, overrun marks\n"
    "  switches          the five switches, their pins and the sw_in words the daemon wrote\n"
    "  close N, open N   close or open switch N (0-4: GPIO 22, 23, 24, 25, 4)\n"
    "  servos [ID]       the virtual servos (or one): goal, torque, present position, in degrees\n"
    "  silence ID        servo ID stops answering queries\n"
    "  answer ID         servo ID answers again\n"
    "  fault ID KIND [N] servo ID's next N replies (default: until answer ID) go wrong:\n"
    "                    silent, bad-csum, other-id, short or late\n"
    "  noise N           N random bytes (1-256) on the servo line that nobody sent\n"
    "  push ID DEG       moves servo ID by hand to DEG degrees (-150..150); with its torque on\n"
    "                    it heads back to its goal\n"
    "  leds              the last values each LED board was sent\n"
    "  help              this text\n"
    "  quit              ends orvane-sim (status 0), as Ctrl-C does (status 130); Ctrl-D ends\n"
    "                    only the console, and the daemon runs on\n";

static bool console_num(const std::string& s, long lo, long hi, long* out)
{
  char* end = nullptr;
  errno = 0;
  long v = strtol(s.c_str(), &end, 10);
  if (s.empty() || errno != 0 || *end != '\0' || v < lo || v > hi)
    return false;
  *out = v;
  return true;
}

static std::string console_fmt(const char* fmt, auto... args)
{
  char buf[256];
  snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

static std::string console_switches()
{
  if (!sim_gpio)
    return "no virtual switches\n";
  std::string out;
  for (int n = 0; n < SWR_COUNT; n++)
    out += console_fmt("switch %d  GPIO %-2d  %-6s  sw_in %d\n", n, swr_gpio[n],
                       sim_gpio->switch_closed(n) ? "closed" : "open", mem_r16(MAP_SW_IN + 2u * n));
  return out;
}

static std::string console_switch(const std::string& arg, bool closed)
{
  long n;
  if (!sim_gpio)
    return "no virtual switches\n";
  if (!console_num(arg, 0, SWR_COUNT - 1, &n))
    return "which switch? give 0-4\n";
  sim_gpio->set_switch(static_cast<int>(n), closed);
  return console_fmt("switch %ld (GPIO %d) %s\n", n, swr_gpio[n], closed ? "closed" : "open");
}

static std::string console_deg(int16_t tenths)
{
  return console_fmt("%7.1f\u00b0", tenths / 10.0);
}

// Positions in degrees, as push takes them; the map and the servos count tenths.
static std::string console_servos(const std::string& arg)
{
  long only = -1;
  if (!arg.empty() && !console_num(arg, 0, 255, &only))
    return "which servo? give its id\n";
  std::vector<sv_state> list;
  if (sim_chain)
    list = sim_chain->servos();
  if (list.empty())
    return "no virtual servos\n";
  std::string out;
  for (const auto& s : list)
    if (only < 0 || s.id == only)
      out += console_fmt("%3d  ", s.id) + console_deg(s.goal) +
             console_fmt("  %3d %-3s  ", s.max_torque, s.torque != 0 ? "on" : "off") +
             console_deg(s.pos) + (s.fault == sv_fault::silent ? "  silent\n" : "\n");
  if (out.empty())
    return console_fmt("no virtual servo %ld\n", only);
  return " id      goal  torque        pos\n" + out;
}

static std::string console_silence(const std::string& arg, bool silent)
{
  long id;
  if (!console_num(arg, 0, 255, &id))
    return "which servo? give its id\n";
  if (!sim_chain ||
      !sim_chain->fault(static_cast<uint8_t>(id), silent ? sv_fault::silent : sv_fault::none))
    return console_fmt("no virtual servo %ld\n", id);
  return console_fmt("servo %ld %s\n", id, silent ? "is silent" : "answers again");
}

// The chain's reply faults by the names the console gives them.
static const struct {
  const char* name;
  sv_fault f;
} console_faults[] = {{"silent", sv_fault::silent},     {"bad-csum", sv_fault::bad_csum},
                      {"other-id", sv_fault::other_id}, {"short", sv_fault::short_reply},
                      {"late", sv_fault::late_reply}};

// A fault for a number of replies, so a running runner can show every failure the servo
// exchange must survive, not only silence.
static std::string console_fault(std::istringstream& in)
{
  std::string arg, kind, times, extra;
  in >> arg >> kind >> times >> extra;
  long id, n = -1;
  if (!console_num(arg, 0, 255, &id))
    return "which servo? give its id\n";
  const sv_fault* f = nullptr;
  for (const auto& k : console_faults)
    if (kind == k.name)
      f = &k.f;
  if (!f)
    return "fault ID KIND [N]: KIND is silent, bad-csum, other-id, short or late\n";
  if ((!times.empty() && !console_num(times, 1, 1000000, &n)) || !extra.empty())
    return "fault ID KIND [N]: N is a count of replies, 1-1000000\n";
  if (!sim_chain || !sim_chain->fault(static_cast<uint8_t>(id), *f, static_cast<int>(n)))
    return console_fmt("no virtual servo %ld\n", id);
  if (n < 0)
    return console_fmt("servo %ld: %s until answer %ld\n", id, kind.c_str(), id);
  return console_fmt("servo %ld: %s for %ld replies\n", id, kind.c_str(), n);
}

// Line noise: bytes from a fixed generator, so a run that shows a fault can be repeated.
static std::string console_noise(const std::string& arg)
{
  long n;
  if (!console_num(arg, 1, 256, &n))
    return "noise N: give a byte count, 1-256\n";
  if (!sim_chain)
    return "no virtual servo chain\n";
  static uint32_t seed = 0x2545f491u;
  std::vector<uint8_t> bytes(static_cast<size_t>(n));
  for (auto& b : bytes) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(seed >> 24);
  }
  sim_chain->noise(bytes);
  return console_fmt("%ld bytes of noise on the servo line\n", n);
}

// A hand on the servo horn: the servo goes where it is pushed, and with torque on it heads
// back to its goal at its own speed, as a real servo fights the hand once it is let go.
static std::string console_push(std::istringstream& in)
{
  std::string arg, deg, extra;
  in >> arg >> deg >> extra;
  long id;
  if (!console_num(arg, 0, 255, &id))
    return "which servo? give its id\n";
  char* end = nullptr;
  double d = strtod(deg.c_str(), &end);
  if (deg.empty() || *end != '\0' || !(d >= -150.0 && d <= 150.0) || !extra.empty())
    return "push ID DEG: give degrees from -150 to 150\n";
  auto tenths = static_cast<int16_t>(d >= 0 ? d * 10 + 0.5 : d * 10 - 0.5);
  sv_state s;
  if (!sim_chain || !sim_chain->place(static_cast<uint8_t>(id), tenths) ||
      !sim_chain->state(static_cast<uint8_t>(id), &s))
    return console_fmt("no virtual servo %ld\n", id);
  return console_fmt("servo %ld pushed to %.1f degrees%s\n", id, tenths / 10.0,
                     s.torque != 0 ? "; its torque is on, it heads back to its goal" : "");
}

static std::string console_leds()
{
  if (!sim_leds)
    return console_fmt("LED boards: a real bus, %s; nothing to show\n", plat.i2c_path);
  std::string out;
  for (char board : {'A', 'B'}) {
    uint8_t v[IX_LEDS];
    out += console_fmt("board %c (0x%02x):", board, board == 'A' ? IX_BOARD_A / 2 : IX_BOARD_B / 2);
    if (!sim_leds->last(board, v)) {
      out += " nothing yet\n";
      continue;
    }
    for (uint8_t b : v)
      out += console_fmt(" %02x", b);
    out += "\n";
  }
  out += console_fmt("packets %llu, with wrong fixed bytes %llu\n",
                     static_cast<unsigned long long>(sim_leds->count()),
                     static_cast<unsigned long long>(sim_leds->bad()));
  return out;
}

// What a newcomer asks first: which port, is the daemon running, which servos are read, and
// has the servo line been keeping up.
static std::string console_status()
{
  std::string out = console_fmt("monitor port %d, loop_count %u, tick %d us\n",
                                sim_port.load(std::memory_order_relaxed), mem_ru32(MAP_LOOP_COUNT),
                                mem_r32(MAP_TICK_PERIOD));
  std::string groups;
  for (uint32_t g = 0; g < MAP_RD_GROUPS; g++) {
    uint32_t at = MAP_RD_GROUP + g * MAP_RD_GROUP_SIZE;
    unsigned n = std::min<unsigned>(mem_r8(at + 1), MAP_RD_ROOM);
    if (mem_r8(at) != 1 || n == 0)
      continue;
    groups += console_fmt("  group %u:", g);
    for (unsigned i = 0; i < n; i++)
      groups += console_fmt(" %u", mem_r8(at + 2 + i));
    groups += "\n";
  }
  out += groups.empty() ? "read groups: none, so no servo position is read\n"
                        : "read groups (servo ids):\n" + groups;
  if (sim_tap_on())
    out += console_fmt("overrun marks %llu (the daemon's standard output comes to this console)\n",
                       static_cast<unsigned long long>(sim_tap_marks()));
  else
    out += "overrun marks: spaces on standard output\n";
  return out;
}

std::string sim_console_do(const std::string& line)
{
  std::istringstream in(line);
  std::string cmd, arg, extra;
  in >> cmd;
  if (cmd == "push")
    return console_push(in);
  if (cmd == "fault")
    return console_fault(in);
  in >> arg >> extra;
  if (cmd.empty())
    return "";
  if (!extra.empty())
    return "too many words; try help\n";
  if (cmd == "help" || cmd == "?")
    return console_help;
  if (cmd == "status")
    return console_status();
  if (cmd == "switches")
    return console_switches();
  if (cmd == "close" || cmd == "open")
    return console_switch(arg, cmd == "close");
  if (cmd == "servos")
    return console_servos(arg);
  if (cmd == "silence" || cmd == "answer")
    return console_silence(arg, cmd == "silence");
  if (cmd == "noise")
    return console_noise(arg);
  if (cmd == "leds")
    return console_leds();
  if (cmd == "quit" || cmd == "exit") {
    sim_console_close();
    sim_exit(0);
  }
  return "unknown command '" + cmd + "'; try help\n";
}
