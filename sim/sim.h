// The desktop runner: the daemon's own code with stand-ins for the robot's devices. Options are
// parsed on the initial thread before anything starts; the stand-ins run on threads of their own.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct sim_opts {
  const char* prog = "orvane-sim";   // the runner's name in its messages
  int port = 6498;
  const char* serial_path = nullptr;  // a real serial line instead of the virtual servo chain
  const char* i2c_path = nullptr;     // a real I2C bus instead of the virtual LED boards
  std::vector<uint8_t> servo_ids{1, 2, 3, 4, 5, 6};  // servos of the virtual chain
  bool wire_timing = true;            // virtual bytes take their time on the line
  std::string poweroff_cmd = "echo 'orvane-sim: the robot would power off now' >&2";
  bool console = true;                // read console commands from standard input
  bool read_all = false;              // put every servo of the write list into the read groups
};

// The runner's start-up, shared by orvane-sim and the benchmark's runner: blocks the tick and
// termination signals in the calling thread (and so in every thread it starts), makes the
// private folder, starts the termination thread, points the platform seam at the stand-ins and
// starts them. Ends the process when it cannot, and with status 1 when the monitor cannot
// listen (a taken port). The options must outlive the process.
void sim_up(const sim_opts& o);
// Ends the runner with the daemon's status once orvane_main has returned: the stand-ins' threads
// still run, so the process ends at once instead of destroying what they use.
[[noreturn]] void sim_exit(int status);
// Option values: a whole decimal number within [lo, hi]; a list of servo ids such as 1,3,5-8.
bool sim_parse_int(const char* s, long lo, long hi, long* out);
bool sim_parse_ids(const char* s, std::vector<uint8_t>* ids);

extern const char* sim_prog;  // names the program in its messages and its folder
extern std::string sim_dir;   // private folder for the stand-ins' files; see sim_cleanup
extern std::atomic<int> sim_port;  // the monitor's port once it listens, else 0

// Makes sim_dir under $TMPDIR (or /tmp), holding a lock file while it exists, after removing the
// folders of earlier runners whose lock is free (killed ones); says why on stderr if it cannot.
bool sim_dir_make();
// Removes sim_dir and everything in it, and forgets it: the runner does so once the daemon has
// opened the files, and at exit. Any thread.
void sim_cleanup();
std::string sim_path(const char* name);  // a file name inside sim_dir
void sim_thread(void* (*fn)(void*), void* arg);  // starts a detached stand-in thread

// Termination (SIGINT, SIGTERM, SIGHUP): sim_block_term blocks it in the calling thread and so in
// every thread started afterwards; sim_term_wait, run as a thread once sim_dir exists, takes it,
// runs sim_on_term if set, removes sim_dir and ends the process as the signal would have.
void sim_block_term();
void* sim_term_wait(void*);
extern void (*sim_on_term)();  // set before the termination thread starts; may be null

// Each stand-in points the platform seam at itself and starts its threads.
void sim_servo_start(const sim_opts& o);
void sim_board_start(const sim_opts& o);
void sim_console_start();
