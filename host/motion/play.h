// Playing a motion on a robot through the daemon's own interpolator: one trigger per planned
// move, each started as soon as the one before has ended and timed by the daemon's loop_count,
// so a late host shortens a move rather than the motion growing longer. Runs on the caller's
// thread and uses the caller's client; a stop flag set from any thread (or a signal handler)
// ends it at once.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "orvane.h"
#include "host/motion/plan.h"

namespace orvane::motion {

struct play_opts {
  double speed = 1.0;
  unsigned repeat = 0;                      // 0: as the file says
  const std::atomic<bool>* stop = nullptr;  // set it to stop: the servos stay where they are
  std::function<void(size_t index, size_t moves, const mo_move&)> on_move;  // as each starts
  unsigned seg = MO_SEG_TICKS;              // ticks of each move along an eased keyframe
  // Once, just before the first trigger: the plan that plays, the outputs it starts from and
  // loop_count then (the pass its tick 0 stands for). On the playing thread.
  std::function<void(const std::vector<mo_span>&, const mo_outputs& start, uint32_t first_pass)> on_start{};
};

struct play_result {
  size_t moves = 0;         // moves started
  size_t late = 0;          // moves whose trigger was taken after its planned pass, shortened
  size_t skipped = 0;       // points on a keyframe's way already past when their turn came
  size_t planned = 0;       // moves in the plan
  unsigned ticks = 0;       // ticks of the plan
  uint32_t passes = 0;      // control-loop passes from before the first trigger to the end
  bool stopped = false;     // ended by the stop flag
  uint32_t first_pass = 0;  // loop_count read before the first trigger
};

// The plan for this robot: its tick period, and the outputs its channels hold now. Reads only.
std::vector<mo_move> play_plan(client& c, const motion& m, const play_opts& o);
// The channels' outputs now, where a plan starts from. Reads only.
mo_outputs play_outputs(client& c);
// Things worth saying before a motion plays, such as servos whose torque is off. Reads only.
std::vector<std::string> play_warnings(client& c, const motion& m);
// The motion's channels that are still moving now (another move or motion drives them): a
// second player would fight it. Reads only.
std::vector<int> play_moving(client& c, const motion& m);
// Every keyframe's goals, and the goals its torque makes servos hold, through the client's robot
// model: "wave.yaml:12: keyframes[3]: elbow at 150 degrees ... beyond its limits -10..135".
std::vector<std::string> play_refusals(client& c, const motion& m);
// Plays the motion and returns once its last move has ended or it was stopped. Refuses it first
// (client::refuse) for any of play_refusals.
play_result play(client& c, const motion& m, const play_opts& o);
// Holds channels where their outputs are now: their targets become the outputs, in one tick.
void play_hold(client& c, const std::vector<int>& channels);

}  // namespace orvane::motion
