// Runs orvane-sim (or the robot binary) as a child process for black-box tests: captures its
// standard output and error, feeds its standard input, and kills and reaps it when destroyed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

class SimProcess {
 public:
  // Starts `exe` with `args`; orvane-sim by default, with a free monitor port unless the
  // arguments name one. A `stdout_fd` of the caller's becomes the child's standard output in
  // place of the captured one (out() then stays empty); the descriptor stays the caller's.
  // With `terminal`, standard input, output and error are one pseudo-terminal, the child's
  // controlling one: err() holds all it shows (the echo of what send_stdin types included).
  explicit SimProcess(std::vector<std::string> args = {}, std::string exe = ORVANE_SIM_PATH,
                      int stdout_fd = -1, bool terminal = false);
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // The monitor port that the runner reports on standard error, or -1 if none came in time.
  int port(std::chrono::milliseconds timeout = 20s);
  // Exit status (0..255), or -N if it was killed by signal N; nothing if it still runs.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);
  bool wait_stdout(const std::string& text, std::chrono::milliseconds timeout);
  bool wait_stderr(const std::string& text, std::chrono::milliseconds timeout);
  // True once the process has closed its standard output and error and all of both is read.
  bool wait_output_closed(std::chrono::milliseconds timeout);
  std::string out();
  std::string err();
  void send_stdin(const std::string& text);
  void close_stdin();
  void send_signal(int sig);
  pid_t pid() const { return pid_; }

 private:
  bool wait_text(const std::string* buf, const std::string& text, std::chrono::milliseconds t);
  void reader();

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::optional<int> status_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::string out_buf_, err_buf_;
  bool stop_ = false;
  bool output_closed_ = false;
  std::thread reader_;
};

// Polls `cond` until it holds or the deadline passes.
template <class F>
bool wait_until(F cond, std::chrono::milliseconds timeout, std::chrono::milliseconds step = 10ms)
{
  auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (cond())
      return true;
    if (std::chrono::steady_clock::now() >= end)
      return false;
    std::this_thread::sleep_for(step);
  }
}
