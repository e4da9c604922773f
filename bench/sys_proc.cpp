#include "bench/sys_proc.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

int64_t mono_ns()
{
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void sleep_ms(int ms)
{
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

// Children still running, for child_kill_all from the driver's signal thread.
static std::atomic<pid_t> running[128];  // the fleet benchmark runs 61

void child_kill_all()
{
  for (std::atomic<pid_t>& slot : running) {
    pid_t pid = slot.load();
    if (pid > 0) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
    }
  }
}

child child_start(const std::vector<std::string>& argv, const std::string& dir,
                  const std::string& name, const std::string& in_path)
{
  child c;
  c.out_path = dir + "/" + name + ".out";
  c.err_path = dir + "/" + name + ".err";
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(in_path.c_str(), O_RDONLY);
    int out = open(c.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(c.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0)
      _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    setpgid(0, 0);  // its own group, so that stopping it reaches whatever it started
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);  // the driver blocks the signals that stop it
    execvp(args[0], args.data());
    _exit(127);
  }
  c.pid = pid;
  for (std::atomic<pid_t>& slot : running) {
    pid_t none = 0;
    if (slot.compare_exchange_strong(none, pid))
      break;
  }
  return c;
}

int child_stop(child& c, int timeout_ms, int first_signal)
{
  if (c.pid <= 0)
    return -1;
  if (first_signal)
    kill(c.pid, first_signal);
  int status = 0;
  for (int waited = 0;; waited += 10) {
    pid_t r = waitpid(c.pid, &status, WNOHANG);
    if (r == c.pid)
      break;
    if (waited >= timeout_ms) {
      kill(-c.pid, SIGKILL);
      kill(c.pid, SIGKILL);
      waitpid(c.pid, &status, 0);
      break;
    }
    sleep_ms(10);
  }
  for (std::atomic<pid_t>& slot : running) {
    pid_t mine = c.pid;
    slot.compare_exchange_strong(mine, 0);
  }
  c.pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

std::string file_text(const std::string& path)
{
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool file_wait(const std::string& path, const std::string& text, int timeout_ms)
{
  for (int waited = 0; waited < timeout_ms; waited += 10) {
    if (file_text(path).find(text) != std::string::npos)
      return true;
    sleep_ms(10);
  }
  return false;
}

// A thread's CPU time: schedstat's first field is in nanoseconds, far finer than stat's clock
// ticks; stat is the fallback on kernels without schedstat.
static int64_t task_ns(const std::string& dir)
{
  std::ifstream ss(dir + "/schedstat");
  long long ns;
  if (ss >> ns)
    return ns;
  std::string stat = file_text(dir + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos)
    return 0;
  std::istringstream rest(stat.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; rest >> field; i++) {
    if (i == 14)
      utime = strtoll(field.c_str(), nullptr, 10);
    if (i == 15) {
      stime = strtoll(field.c_str(), nullptr, 10);
      break;
    }
  }
  return (utime + stime) * (1000000000LL / sysconf(_SC_CLK_TCK));
}

std::vector<thread_cpu> proc_threads(pid_t pid)
{
  std::vector<thread_cpu> v;
  std::string base = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(base.c_str());
  if (!d)
    return v;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.')
      continue;
    std::string dir = base + "/" + e->d_name;
    std::string name = file_text(dir + "/comm");
    if (!name.empty() && name.back() == '\n')
      name.pop_back();
    long wakeups = 0, preempted = 0;
    std::ifstream st(dir + "/status");
    std::string line;
    while (std::getline(st, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
        wakeups = strtol(line.c_str() + 24, nullptr, 10);
      if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        preempted = strtol(line.c_str() + 27, nullptr, 10);
    }
    v.push_back({static_cast<pid_t>(strtol(e->d_name, nullptr, 10)), name, task_ns(dir), wakeups,
                 preempted});
  }
  closedir(d);
  return v;
}

long proc_status_kib(pid_t pid, const char* field)
{
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line, key = std::string(field) + ":";
  while (std::getline(f, line))
    if (line.rfind(key, 0) == 0)
      return strtol(line.c_str() + key.size(), nullptr, 10);
  return -1;
}

static int count_entries(const std::string& dir)
{
  std::error_code ec;
  int n = 0;
  for (auto it = std::filesystem::directory_iterator(dir, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    n++;
  return n;
}

int proc_nthreads(pid_t pid) { return count_entries("/proc/" + std::to_string(pid) + "/task"); }
int proc_nfds(pid_t pid) { return count_entries("/proc/" + std::to_string(pid) + "/fd"); }

int proc_max_fd(pid_t pid)
{
  int top = -1;
  std::error_code ec;
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    top = std::max(top, std::stoi(e.path().filename().string()));
  return top;
}

void proc_fd_limit(rlim_t n)
{
  rlimit r{};
  getrlimit(RLIMIT_NOFILE, &r);
  if (r.rlim_cur < n) {
    r.rlim_cur = std::min(n, r.rlim_max);
    setrlimit(RLIMIT_NOFILE, &r);
  }
}
