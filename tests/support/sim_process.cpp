#include "support/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "support/emulation.h"

extern char** environ;

SimProcess::SimProcess(std::vector<std::string> args, std::string exe, int stdout_fd,
                       bool terminal)
{
  ::signal(SIGPIPE, SIG_IGN);  // a test writing to a child that has ended must not die of it
  bool is_sim = exe == ORVANE_SIM_PATH;
  if (is_sim && std::find(args.begin(), args.end(), "--port") == args.end()) {
    args.insert(args.begin(), {"--port", "0"});
  }
  int in[2], out[2] = {-1, stdout_fd}, err[2];
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (terminal) {
    // The child opens the terminal after its new session begins, which makes it the session's
    // controlling terminal, as a shell's would be.
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0)
      abort();
    posix_spawn_file_actions_addopen(&fa, 0, ptsname(m), O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&fa, 0, 1);
    posix_spawn_file_actions_adddup2(&fa, 0, 2);
    flags |= POSIX_SPAWN_SETSID;
    in[0] = -1;
    in[1] = fcntl(m, F_DUPFD_CLOEXEC, 0);
    err[0] = m;
    err[1] = -1;
  } else {
    if (pipe2(in, O_CLOEXEC) || (stdout_fd < 0 && pipe2(out, O_CLOEXEC)) || pipe2(err, O_CLOEXEC))
      abort();
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  }
  posix_spawnattr_t at;
  posix_spawnattr_init(&at);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&at, &none);
  posix_spawnattr_setsigdefault(&at, &defaults);
  posix_spawnattr_setflags(&at, flags);

  bool ours = is_sim || exe == ORVANE_ROBOT_PATH;
  std::vector<std::string> runner = ours && emulated() ? emulator() : std::vector<std::string>{};
  std::vector<char*> argv;
  argv.reserve(runner.size() + args.size() + 2);
  for (auto& w : runner)
    argv.push_back(w.data());
  argv.push_back(exe.data());
  for (auto& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  // An emulated test program cannot start the ARM runner or daemon directly (the host does not hand
  // foreign programs to the emulator): say so at once, rather than wait for a port that never comes.
  if (ours && emulated() && runner.empty())
    ADD_FAILURE() << "a test that starts " << exe << " must begin with ORVANE_SKIP_IF_EMULATED()";
  else if (posix_spawnp(&pid_, argv[0], &fa, &at, argv.data(), environ) != 0)
    pid_ = -1;
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&at);
  if (!terminal) {
    close(in[0]);
    if (stdout_fd < 0)
      close(out[1]);
    close(err[1]);
  }
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
  reader_ = std::thread([this] { reader(); });
}

SimProcess::~SimProcess()
{
  // SIGTERM first, so the runner removes its stand-ins' files; SIGKILL if it does not end.
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGTERM);
    if (!wait_exit(5s)) {
      kill(pid_, SIGKILL);
      int st;
      waitpid(pid_, &st, 0);
    }
  }
  {
    std::lock_guard<std::mutex> g(mu_);
    stop_ = true;
  }
  reader_.join();
  if (in_ >= 0)
    close(in_);
  if (out_ >= 0)
    close(out_);
  close(err_);
}

void SimProcess::reader()
{
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};  // poll skips a negative out_
  int open = out_ >= 0 ? 2 : 1;
  while (open > 0) {
    {
      std::lock_guard<std::mutex> g(mu_);
      if (stop_)
        return;
    }
    if (poll(fds, 2, 50) <= 0)
      continue;
    for (auto& f : fds) {
      if (f.fd < 0 || !(f.revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      char buf[4096];
      ssize_t n = read(f.fd, buf, sizeof buf);
      std::lock_guard<std::mutex> g(mu_);
      if (n <= 0) {
        f.fd = -1;
        open--;
        output_closed_ = open == 0;
      } else {
        (f.fd == out_ ? out_buf_ : err_buf_).append(buf, static_cast<size_t>(n));
      }
      cv_.notify_all();
    }
  }
}

bool SimProcess::wait_text(const std::string* buf, const std::string& text,
                           std::chrono::milliseconds t)
{
  std::unique_lock<std::mutex> g(mu_);
  return cv_.wait_for(g, t, [&] { return buf->find(text) != std::string::npos; });
}

bool SimProcess::wait_stdout(const std::string& text, std::chrono::milliseconds t)
{
  return wait_text(&out_buf_, text, t);
}

bool SimProcess::wait_stderr(const std::string& text, std::chrono::milliseconds t)
{
  return wait_text(&err_buf_, text, t);
}

// The number counts only once its line has ended: a read may stop in the middle of it.
int SimProcess::port(std::chrono::milliseconds timeout)
{
  static const std::string mark = "listening on port ";
  if (pid_ <= 0)
    return -1;
  std::unique_lock<std::mutex> g(mu_);
  int port = -1;
  auto reported = [&] {
    size_t at = err_buf_.find(mark);
    if (at == std::string::npos)
      return false;
    size_t from = at + mark.size();
    size_t end = err_buf_.find('\n', from);
    if (end == std::string::npos)
      return false;
    std::string digits = err_buf_.substr(from, end - from);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
      return true;  // a malformed report: no port
    port = std::stoi(digits);
    return true;
  };
  return cv_.wait_for(g, timeout, reported) ? port : -1;
}

std::optional<int> SimProcess::wait_exit(std::chrono::milliseconds timeout)
{
  if (status_ || pid_ <= 0)
    return status_;  // waitpid must never be given -1, which would reap any child
  bool done = wait_until(
      [&] {
        int st;
        if (waitpid(pid_, &st, WNOHANG) != pid_)
          return false;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
        return true;
      },
      timeout, 5ms);
  // The reader threads may not have taken the last output yet: a test that reads err() next
  // must see all of it. Bounded, since a child's own child may hold the pipes open.
  if (done)
    wait_output_closed(2s);
  return done ? status_ : std::nullopt;
}

bool SimProcess::wait_output_closed(std::chrono::milliseconds t)
{
  std::unique_lock<std::mutex> g(mu_);
  return cv_.wait_for(g, t, [&] { return output_closed_; });
}

std::string SimProcess::out()
{
  std::lock_guard<std::mutex> g(mu_);
  return out_buf_;
}

std::string SimProcess::err()
{
  std::lock_guard<std::mutex> g(mu_);
  return err_buf_;
}

void SimProcess::send_stdin(const std::string& text)
{
  if (in_ >= 0 && write(in_, text.data(), text.size()) < 0) {
    close(in_);
    in_ = -1;
  }
}

void SimProcess::close_stdin()
{
  if (in_ >= 0)
    close(in_);
  in_ = -1;
}

void SimProcess::send_signal(int sig)
{
  if (pid_ > 0 && !status_)
    kill(pid_, sig);
}
