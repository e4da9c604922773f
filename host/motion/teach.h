// Teaching by hand: the taught joints go limp and into the read groups, each capture turns their
// present positions into a keyframe through the profile, and the end puts the read groups and
// the torque back as they were. One session per client, driven from one thread.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "orvane.h"
#include "host/motion/motion_file.h"

namespace orvane::motion {

class teach_session {
 public:
  // `joints` must come from `p`; `ms` is the duration given to every keyframe.
  teach_session(client& c, const profile& p, std::vector<const joint*> joints, int ms);
  ~teach_session();  // ends the session if end() was not called; never throws
  teach_session(const teach_session&) = delete;
  teach_session& operator=(const teach_session&) = delete;

  // Saves the read groups and the joints' torque, puts the joints into the read groups, lets
  // them go limp, and waits until each has been read once.
  void begin();
  // Takes a keyframe from sv_pos, waiting up to CAPTURE_PATIENCE for joints that have no
  // reading yet. The notes say what was left out or held back: a joint with no
  // valid reading is left out of the keyframe (never written as a number), one beyond its limits
  // is held at the limit. No keyframe when no joint could be read.
  std::vector<std::string> capture();
  bool undo();  // drops the last keyframe; false if there was none
  size_t count() const { return m_.frames.size(); }
  const motion& taught() const { return m_; }  // the first keyframe switches torque on
  // Puts everything back: each joint's goal where the hand left it (so nothing jumps when its
  // torque returns), the torque as it was, then the read groups. Safe to call twice.
  void end();
  // Servos per read group that keep a cycle within one tick (each query is about 1.7 ms of line
  // time at 115200 baud), at least 1 and at most 14.
  static int group_room(int32_t tick_us, int write_count);

 private:
  static constexpr std::chrono::milliseconds CAPTURE_PATIENCE{250};
  std::vector<uint8_t> readings();

  client& c_;
  const profile& p_;
  std::vector<const joint*> joints_;
  int ms_;
  motion m_;
  bool active_ = false;
  std::vector<uint8_t> groups_;      // the read groups as they were
  std::vector<int16_t> torque_was_;  // each joint's torque output as it was
};

}  // namespace orvane::motion
