// Each robot's part in mirroring, set up and put back through the client library (the guarded
// path every tool takes; these calls allocate and wait, and run only outside the per-tick loop).
// The leader: its servos go limp, leave the write list (a limp servo needs no packets, and the
// line time they free reads the leader every tick) and are read in every read group. The
// follower: its servos hold where they are with torque on, they alone take part in triggers.
// Owned by the mirroring loop's thread.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "host/mirror/layout.h"
#include "host/mirror/pairs.h"
#include "orvane.h"

namespace orvane::mirror {

// Whether two robot addresses ("host[:port]") name one daemon: the same port on the same address
// once names are resolved ("localhost" is 127.0.0.1).
bool same_robot(const std::string& a, const std::string& b);

// The period the daemon really runs at: tick_period, or 16667 us while it holds a value the
// daemon does not take.
int32_t tick_us_of(int64_t tick_period);

class leader_side {
 public:
  // Servos `ids` are read; `others` too where there is room (a follower on the same bus, whose
  // servos the write list will hold).
  leader_side(std::vector<int> ids, std::vector<int> others);
  // Connects and sets the robot up; throws the client library's errors, having put back what
  // it changed. The layout it wrote tells how often each servo is read.
  void begin(const std::string& robot, std::chrono::milliseconds timeout);
  // Puts the robot back: each servo's goal where the hand left it, torque on if asked, the write
  // list and read groups as they were. Never throws; false when the robot could not be reached.
  bool end(bool torque);
  void forget() { c_.reset(); }  // the robot went away: nothing to put back
  bool active() const { return c_ != nullptr; }
  const std::string& robot() const { return robot_; }
  const layout& groups() const { return layout_; }
  int32_t tick_us = 16667;  // the period it ran at when set up

 private:
  std::vector<int> ids_, others_;
  std::unique_ptr<client> c_;
  std::string robot_;
  std::vector<uint8_t> wr_, groups_;  // the write list (count and ids) and read groups as they were
  layout layout_;
};

class follower_side {
 public:
  // `read_groups`: lay out its servos in the read groups (not when the leader's side does, on
  // the same robot).
  follower_side(std::vector<int> ids, bool read_groups);
  // Connects; servos whose torque is off have their goal set to where they are before it comes
  // on, over a quarter of a second; servos missing from the write list join it. Throws, having
  // put back what it changed.
  void begin(const std::string& robot, std::chrono::milliseconds timeout);
  // The follower holds where it is; triggers and read groups are put back. Never throws.
  bool end();
  void forget() { c_.reset(); }
  bool active() const { return c_ != nullptr; }
  const std::string& robot() const { return robot_; }
  std::vector<std::string> notes;  // what begin did that a person should know
  int32_t tick_us = 16667;         // the period it ran at when set up

 private:
  std::vector<int> ids_;
  bool groups_on_;
  std::unique_ptr<client> c_;
  std::string robot_;
  std::vector<uint8_t> enables_, groups_;
};

}  // namespace orvane::mirror
