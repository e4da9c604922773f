// Mirroring: a leader robot moved by hand drives a follower robot at the tick. The leader's servos
// are limp and read every tick; the follower's goals follow in joint space, within its soft,
// speed and acceleration limits, after an engage that brings it from where it is to the leader's
// pose without a step; a leader that falls silent, or a reading that goes missing, holds the
// follower where it is. One thread runs the loop (run); pause() and now() may be called from any
// thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/mirror/limiter.h"
#include "host/mirror/pairs.h"

namespace orvane::mirror {

enum class phase {
  starting,  // setting the robots up
  engaging,  // the follower on its way to the leader's pose, at the engage's gentle speed
  tracking,  // the follower follows the leader within its limits
  paused,    // paused on request: the follower holds
  holding,   // the watchdog: the leader fell silent or a reading went missing; the follower holds
  waiting,   // the follower cannot be reached; the leader stays limp
  ended,
};
const char* phase_name(phase p);  // "engaging", "tracking", ...

struct options {
  std::string leader, follower;  // "host[:port]"
  std::vector<pair> pairs;
  bool same_robot = false;       // leader and follower are one robot: two arms on one bus
  limits engage{30, 60};         // the engage's top speed and acceleration, within each joint's own
  double engage_close = 0.5;     // degrees from the leader's pose at which tracking begins
  int watchdog_ticks = 5;        // leader ticks a reading may be missing before the follower holds
  int polls = 2;                 // reads of the leader a tick
  bool leader_torque = false;    // give the leader's servos their torque back at the end
  std::chrono::milliseconds timeout{3000};  // a robot that does not answer for this long is lost
};

// What the loop is doing, for a person or a page. Plain values, copied under a lock.
struct status {
  phase ph = phase::starting;
  char why[200] = {};       // why it holds, pauses or waits, or what it waits for while engaging
  double lag_ms = -1;       // from a reading of the leader to the goal in the follower's map
  double lag_ticks = -1;    // the same in follower ticks; below 0 while unknown
  double gap = 0;           // degrees: the largest distance of a follower goal from the leader's pose
  int leader_every = 0;     // ticks between two readings of a leader servo
  int32_t leader_tick_us = 0, follower_tick_us = 0;
  uint64_t polls = 0;       // reads of the leader answered
  uint64_t writes = 0;      // goals sent to the follower
  uint32_t holds = 0;       // times the watchdog held the follower
};

// A follower pass as the loop saw it, for recordings. Arrays are the loop's own, valid during
// the call: goals by channel (servo id's goal at [id]), positions servo 1 first.
struct sample {
  double t;                 // seconds since the loop began
  uint32_t pass;            // the follower's loop_count
  uint32_t missed;          // passes no read saw just before this one
  const int16_t* goal;      // the follower's ip_out, 128 channels
  const int16_t* fpos;      // the follower's sv_pos, 32 words
  const int16_t* lpos;      // the leader's sv_pos, 32 words
  const bool* lvalid;       // per pair: the leader's reading is current
};

class session {
 public:
  explicit session(options o);
  ~session();
  session(const session&) = delete;
  session& operator=(const session&) = delete;

  // Sets both robots up, mirrors until `stop` is set, then the follower holds and both robots
  // are put back. Throws the client library's errors when a robot cannot be set up at the
  // start, having put back what it changed.
  void run(const std::atomic<bool>& stop);
  void pause(bool on);  // the follower holds; off engages again
  status now() const;

  std::function<void(const std::string&)> say;  // what happens, one line at a time; loop thread
  std::function<void(const sample&)> record;    // each follower pass seen; loop thread

 private:
  struct loop;
  const options o_;
  std::atomic<bool> paused_{false};
  mutable std::mutex mu_;  // guards st_
  status st_;
  std::unique_ptr<loop> l_;
  friend struct loop;
};

}  // namespace orvane::mirror
