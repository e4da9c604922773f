// The console's terminal side: the prompt, what else is shown around it, and the reading thread.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>

#include "sim/console.h"
#include "sim/sim.h"

static const char console_prompt[] = "orvane-sim> ";
static std::mutex con_mu;         // standard error's text, and whether a prompt stands
static bool con_prompt;           // a prompt stands at the end of the terminal's last line
static bool con_tty_err;          // standard error is a terminal: a prompt can be wiped
static std::atomic<bool> con_go;  // the monitor listens: the first prompt may come

static void console_put(const std::string& s) { fputs(s.c_str(), stderr); }

void sim_console_say(const std::string& text)
{
  std::lock_guard<std::mutex> g(con_mu);
  if (con_prompt)
    console_put(con_tty_err ? "\r\033[K" : "\n");
  console_put(text);
  if (con_prompt)
    console_put(console_prompt);
}

void sim_console_ready()
{
  con_go.store(true);
  con_go.notify_all();
}

void sim_console_close()
{
  std::lock_guard<std::mutex> g(con_mu);
  if (con_prompt)
    console_put("\n");
  con_prompt = false;
}

// Shows an answer and, on a terminal, prompts for the next command, under the console's lock.
static void console_show(const std::string& answer, bool tty)
{
  std::lock_guard<std::mutex> g(con_mu);
  console_put(answer);
  if (tty)
    console_put(console_prompt);
  con_prompt = tty;
}

// Reads until standard input ends, then lets the daemon run on. On a terminal it prompts, after
// the monitor's listening line; in the background it waits for the foreground instead of
// stopping the whole runner.
static void* sim_console(void*)
{
  bool tty = isatty(0);
  con_go.wait(false);
  if (tty)
    console_show(std::string(sim_prog) + ": console ready; type help for its commands\n", true);
  std::string buf;
  for (;;) {
    size_t nl;
    while ((nl = buf.find('\n')) != std::string::npos) {
      {
        std::lock_guard<std::mutex> g(con_mu);
        con_prompt = false;  // the Enter key began a new line
      }
      console_show(sim_console_do(buf.substr(0, nl)), tty);
      buf.erase(0, nl + 1);
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
    console_show(sim_console_do(buf), false);
  sim_console_close();
  if (tty)
    sim_console_say(std::string(sim_prog) + ": console closed; the daemon runs on until Ctrl-C\n");
  return nullptr;
}

void sim_console_start()
{
  {
    std::lock_guard<std::mutex> g(con_mu);  // the tap's thread may already be showing a line
    con_tty_err = isatty(2);
  }
  // A read from the terminal by a background job then fails instead of stopping the runner.
  if (isatty(0))
    signal(SIGTTIN, SIG_IGN);
  sim_thread(sim_console, nullptr);
}
