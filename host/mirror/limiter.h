// One joint's goal as mirroring moves it: toward a target, at most at a top speed, changing speed
// at most at a top acceleration, and coming to rest on a target that stands still without passing
// it. Pure values; the mirroring loop owns one per joint.
#pragma once

namespace orvane::mirror {

struct limits {
  double speed = 0;  // degrees a second; 0: none
  double accel = 0;  // degrees a second squared; 0: none
};

struct limiter {
  double x = 0;  // the goal, joint degrees
  double v = 0;  // its speed, degrees a second

  void start(double at)  // at rest where the servo is held
  {
    x = at;
    v = 0;
  }
  // Moves the goal `dt` seconds further toward `target`; returns it.
  double step(double target, double dt, const limits& l);
};

}  // namespace orvane::mirror
