// Process helpers for the system benchmark's driver and the tests: starting and stopping the
// programs they measure, and reading their threads, descriptors, CPU time and memory from
// /proc. No shared state but the running children, which child_kill_all may end from any thread.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct child {
  pid_t pid = -1;
  std::string out_path;  // standard output, captured to a file
  std::string err_path;  // standard error, captured to a file
};

// Starts argv[0] with standard input from `in` (/dev/null, or a FIFO the caller holds open to
// write the child's console) and its output into files under dir.
child child_start(const std::vector<std::string>& argv, const std::string& dir,
                  const std::string& name, const std::string& in = "/dev/null");
// Waits up to timeout_ms for the child to end; kills it (SIGKILL) when it does not. Returns its
// exit status, or -signal.
int child_stop(child& c, int timeout_ms, int first_signal = 0);
// Kills every child still running, with whatever it started; any thread may call it.
void child_kill_all();
std::string file_text(const std::string& path);
// Waits for text to appear in a file; false at the deadline.
bool file_wait(const std::string& path, const std::string& text, int timeout_ms);

struct thread_cpu {
  pid_t tid;
  std::string name;
  int64_t ns;     // time on a CPU since the thread started
  long wakeups;   // voluntary context switches: times it blocked, and so woke again
  long preempted;  // involuntary context switches: times another task took its CPU
};
std::vector<thread_cpu> proc_threads(pid_t pid);
long proc_status_kib(pid_t pid, const char* field);  // e.g. "VmRSS"; -1 if absent
int proc_nthreads(pid_t pid);  // threads of the process, from /proc/<pid>/task
int proc_nfds(pid_t pid);      // its open descriptors, from /proc/<pid>/fd
int proc_max_fd(pid_t pid);    // its highest open descriptor
// Raises this process's soft limit on open files to n (or the hard limit); children inherit it.
void proc_fd_limit(rlim_t n);
int64_t mono_ns();
void sleep_ms(int ms);
