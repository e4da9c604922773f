#include "sim/sim.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#include "sim/console.h"
#include "sim/out_tap.h"

const char* sim_prog = "orvane-sim";
std::string sim_dir;
void (*sim_on_term)();

static std::mutex sim_dir_mu;  // sim_dir and its lock: the listener, the exit paths and a sweep
static int sim_lock_fd = -1;   // flock held while sim_dir exists: its owner still runs

// Removes the folders of this program's earlier runs that ended without clean-up (SIGKILL, a
// crash): those whose lock nobody holds any more. A folder without a lock is left alone: it is
// one being made this instant, or one of a runner older than the lock, which may still run.
static void sim_dir_sweep(const std::string& base)
{
  std::string prefix = std::string(sim_prog) + ".";
  std::vector<std::string> found;
  if (DIR* d = opendir(base.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0)
        found.push_back(base + "/" + name);
    }
    closedir(d);
  }
  for (const auto& dir : found) {
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid())
      continue;
    std::string lock = dir + "/lock";
    int fd = open(lock.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
      continue;
    // Got while the lock is still the folder's own: the owner may have removed its folder after
    // the open, and a new runner have taken the name.
    struct stat held, now;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &held) == 0 &&
        lstat(lock.c_str(), &now) == 0 && held.st_ino == now.st_ino && held.st_dev == now.st_dev) {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
    close(fd);
  }
}

// The lock is made under another name and held before it takes its own, so that a sweep that
// finds "lock" free knows the owner has gone. It names the owner's pid for a human.
static bool sim_dir_lock(const std::string& dir)
{
  std::string made = dir + "/lock.new";
  int fd = open(made.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 || flock(fd, LOCK_EX) != 0 || dprintf(fd, "%d\n", getpid()) < 0 ||
      rename(made.c_str(), (dir + "/lock").c_str()) != 0) {
    fprintf(stderr, "%s: cannot lock %s: %s\n", sim_prog, dir.c_str(), strerror(errno));
    if (fd >= 0)
      close(fd);
    return false;
  }
  sim_lock_fd = fd;
  return true;
}

bool sim_dir_make()
{
  const char* tmp = getenv("TMPDIR");
  std::string base = tmp && *tmp ? tmp : "/tmp";
  std::string templ = base + "/" + sim_prog + ".XXXXXX";
  std::lock_guard<std::mutex> g(sim_dir_mu);
  sim_dir_sweep(base);
  if (!mkdtemp(templ.data())) {
    fprintf(stderr, "%s: cannot make a folder in %s: %s\n", sim_prog, base.c_str(), strerror(errno));
    return false;
  }
  if (!sim_dir_lock(templ)) {
    std::error_code ec;
    std::filesystem::remove_all(templ, ec);
    return false;
  }
  sim_dir = templ;
  return true;
}

// Forgets the folder once it is gone: its name is free again, and another runner may take it.
void sim_cleanup()
{
  std::lock_guard<std::mutex> g(sim_dir_mu);
  if (!sim_dir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(sim_dir, ec);
    sim_dir.clear();
  }
  if (sim_lock_fd >= 0)
    close(sim_lock_fd);
  sim_lock_fd = -1;
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
  sim_tap_drain();
  sim_console_close();
  sim_cleanup();
  _exit(128 + sig);
}
