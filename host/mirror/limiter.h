// One joint's goal as mirroring moves it: onto each new target as it comes while that keeps
// within a top speed and a top acceleration, and otherwise after it at those limits, matching
// the target's own speed as it closes in and coming to rest on a target that stands still
// without passing it. Pure values; the mirroring loop owns one per joint.
#pragma once

namespace orvane::mirror {

struct limits {
  double speed = 0;    // degrees a second; 0: none
  double accel = 0;    // degrees a second squared; 0: none
  double closing = 0;  // degrees a second at which a gap to the target closes, beyond the
                       // target's own speed (the engage); 0: none
};

struct limiter {
  double x = 0;  // the goal, joint degrees
  double v = 0;  // its speed, degrees a second

  void start(double at)  // at rest where the servo is held
  {
    x = at;
    v = vt_ = 0;
    stepped_ = -1;
    on_ = false;
  }
  // Moves the goal `dt` seconds further toward `target` at the limits; returns it.
  double step(double target, double dt, const limits& l);
  // The goal at time `now` (seconds) for a target that changes as readings come, at most once
  // in `every` seconds (how often the servo behind it is read). The goal moves once a reading:
  // a goal on the target goes onto the next when the speed that takes over the time since its
  // last move, and the change from its speed then, keep within the limits; else, and while it
  // is not on the target, after it as step() does, at the target's own speed as it closes in.
  double follow(double target, double now, double every, const limits& l);
  double target_speed() const { return vt_; }  // from its last change; 0 once it stands still
  // Holds the goal within lo..hi, at rest there if it was beyond.
  void keep_within(double lo, double hi)
  {
    if (x < lo || x > hi) {
      x = x < lo ? lo : hi;
      v = 0;
      on_ = false;
    }
  }

 private:
  double vt_ = 0;        // the target's speed, from its last change
  double last_ = 0;      // the target the goal last moved for
  double stepped_ = -1;  // when it moved
  bool on_ = false;      // it is on the target it last moved for
};

}  // namespace orvane::mirror
