// Jogging from a page: servos driven at the speeds a page sends (a gamepad's sticks, the phone's
// on-screen stick) for as long as it keeps sending them. Speeds are in the joint's degrees a
// second (the servo's without a profile) and checked against each joint's limit before they are
// taken; the goals are stepped in joint degrees, kept within the joint's soft limits and the
// servo's range, and sent through the client library's guarded move on the robot's poller
// thread; a jog that no page has renewed for `stale` ends, and its servos hold where they are.
// Owned by the poller's thread.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "orvane_model.h"
#include "host/web/state.h"

namespace orvane {
class client;
}

// How fast a page may jog servo `id`: its joint's top speed, and at most web_jog_cap.
constexpr double web_jog_cap = 60;  // degrees a second: a stick pushed all the way
double web_jog_max(const orvane::robot_model& m, int id);

class web_jog {
 public:
  using clock = std::chrono::steady_clock;
  static constexpr auto stale = std::chrono::milliseconds(400);  // a page renews every 100 ms

  // New speeds (servo id, its joint's degrees a second; none: stop) from a page, the goals in
  // `now` where servos start from. Why they are refused, or empty.
  std::string take(const std::vector<std::pair<int, double>>& speeds, const orvane::robot_model& m,
                   const web_state& now, clock::time_point t);
  // Moves the servos on by the time since the last step, or ends a jog that was stopped or not
  // renewed in time: the servos hold where they are. Throws the client library's errors.
  void step(orvane::client& c, const orvane::robot_model& m, int32_t tick_us, clock::time_point t);
  void end(const char* why) { stop_ = why; }  // the next step holds the servos
  bool active() const { return !axes_.empty(); }
  web_jog_state state() const;

 private:
  struct axis {
    int id;
    double v, x;  // joint degrees a second; the goal so far, joint degrees
  };
  std::vector<axis> axes_;
  clock::time_point renewed_, stepped_;
  const char* stop_ = nullptr;  // why the jog is to end at the next step
  std::string ended_;
};
