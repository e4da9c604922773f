#include "sim/sim.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

const char* sim_prog = "orvane-sim";
std::string sim_dir;
void (*sim_on_term)();

bool sim_dir_make()
{
  const char* tmp = getenv("TMPDIR");
  std::string base = tmp && *tmp ? tmp : "/tmp";
  std::string templ = base + "/" + sim_prog + ".XXXXXX";
  if (!mkdtemp(templ.data())) {
    fprintf(stderr, "%s: cannot make a folder in %s: %s\n", sim_prog, base.c_str(), strerror(errno));
    return false;
  }
  sim_dir = templ;
  return true;
}

void sim_cleanup()
{
  if (!sim_dir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(sim_dir, ec);
  }
}

std::string sim_path(const char* name) { return sim_dir + "/" + name; }

void sim_thread(void* (*fn)(void*), void* arg)
{
  pthread_t t;
  pthread_attr_t a;
  pthread_attr_init(&a);
  pthread_attr_setdetachstate(&a, PTHREAD_CREATE_DETACHED);
  if (pthread_create(&t, &a, fn, arg) != 0) {
    fprintf(stderr, "%s: cannot start a thread\n", sim_prog);
    _exit(1);
  }
  pthread_attr_destroy(&a);
}

static sigset_t sim_term_set()
{
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

void sim_block_term()
{
  sigset_t set = sim_term_set();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void* sim_term_wait(void*)
{
  sigset_t set = sim_term_set();
  int sig = 0;
  sigwait(&set, &sig);
  if (sim_on_term)
    sim_on_term();
  sim_cleanup();
  _exit(128 + sig);
}
