#include "sim/console.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "board/swr.h"
#include "core/map.h"
#include "core/platform.h"
#include "sim/board.h"
#include "sim/runner_servos.h"
#include "sim/sim.h"

static const char* console_help =
    "commands:\n"
    "  switches          the five switches, their pins and the sw_in words the daemon wrote\n"
    "  close N, open N   close or open switch N (0-4: GPIO 22, 23, 24, 25, 4)\n"
    "  servos            the virtual servos: goal, torque, present position\n"
    "  silence ID        servo ID stops answering queries\n"
    "  answer ID         servo ID answers again\n"
    "  push ID DEG       moves servo ID by hand to DEG degrees (-150..150); with its torque on\n"
    "                    it heads back to its goal\n"
    "  leds              the last values each LED board was sent\n"
    "  help              this text\n";

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

static std::string console_servos()
{
  std::vector<sv_state> list;
  if (sim_chain)
    list = sim_chain->servos();
  if (list.empty())
    return "no virtual servos\n";
  std::string out = " id    goal  torque     pos\n";
  for (const auto& s : list)
    out += console_fmt("%3d  %6d  %3d %-3s  %6d%s\n", s.id, s.goal, s.max_torque,
                       s.torque != 0 ? "on" : "off", s.pos,
                       s.fault == sv_fault::silent ? "  silent" : "");
  return out;
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

std::string sim_console_do(const std::string& line)
{
  std::istringstream in(line);
  std::string cmd, arg, extra;
  in >> cmd;
  if (cmd == "push")
    return console_push(in);
  in >> arg >> extra;
  if (cmd.empty())
    return "";
  if (!extra.empty())
    return "too many words; try help\n";
  if (cmd == "help" || cmd == "?")
    return console_help;
  if (cmd == "switches")
    return console_switches();
  if (cmd == "close" || cmd == "open")
    return console_switch(arg, cmd == "close");
  if (cmd == "servos")
    return console_servos();
  if (cmd == "silence" || cmd == "answer")
    return console_silence(arg, cmd == "silence");
  if (cmd == "leds")
    return console_leds();
  return "unknown command '" + cmd + "'; try help\n";
}

// Reads until standard input ends, then lets the daemon run on. On a terminal it prompts; in
// the background it waits for the foreground instead of stopping the whole runner.
static void* sim_console(void*)
{
  bool tty = isatty(0);
  std::string buf;
  bool prompt = tty;
  for (;;) {
    size_t nl;
    while ((nl = buf.find('\n')) != std::string::npos) {
      fputs(sim_console_do(buf.substr(0, nl)).c_str(), stderr);
      buf.erase(0, nl + 1);
      prompt = tty;
    }
    if (prompt) {
      fputs("orvane-sim> ", stderr);
      prompt = false;
    }
    char chunk[256];
    ssize_t n = read(0, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && errno == EIO && tty) {
      usleep(200000);
      continue;
    }
    if (n <= 0)
      break;
    buf.append(chunk, static_cast<size_t>(n));
    if (buf.size() > 4096 && buf.find('\n') == std::string::npos)
      buf += '\n';  // no command is that long; answer it as it is
  }
  if (!buf.empty())
    fputs(sim_console_do(buf).c_str(), stderr);
  return nullptr;
}

void sim_console_start()
{
  if (isatty(0)) {
    // A read from the terminal by a background job then fails instead of stopping the runner.
    signal(SIGTTIN, SIG_IGN);
    fputs("orvane-sim: console ready; type help for its commands\n", stderr);
  }
  sim_thread(sim_console, nullptr);
}
