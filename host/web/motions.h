// The motions a page may play: the motion files of one folder, checked against one robot
// profile, and playing one of them through the motion library. Set up once at start; its methods
// are const, read the folder afresh on every call (so edited files need no restart) and may be
// called from any thread. A build without the motion library offers none (motions_none.cpp).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace orvane {
class client;
}

struct web_motion_info {
  std::string name;         // the file's name in the folder, "wave.yaml"
  std::string description;  // from the file
  double seconds = 0;       // at the usual tick period and speed, every repetition included
  std::string problem;      // why it cannot be played; empty when it can
};

class web_motions {
 public:
  web_motions() = default;  // nothing on offer
  // Offers the *.yaml and *.yml files of `dir` (the profile itself excepted); `profile` gives
  // joint names, trims and limits (empty: joints are servo ids). Throws std::runtime_error with
  // every problem of the profile, or why the folder cannot be read.
  web_motions(const std::string& dir, const std::string& profile);

  static bool built();      // whether this build can play motions at all
  bool offered() const { return impl_ != nullptr; }
  std::vector<web_motion_info> list() const;
  // Whether `name` may name a file here: a plain file name, never a path.
  static bool good_name(const std::string& name);
  // What a motion tells its watchers as it plays: anything worth knowing first (a servo
  // without torque will not follow), its planned curve as a page draws it (web_plan_json, named
  // `serial`) just before its first move, then each move as it starts, of how many.
  struct events {
    std::function<void(std::vector<std::string> warnings)> start;
    std::function<void(std::string plan_json)> plan;
    std::function<void(size_t index, size_t moves)> move;
    uint64_t serial = 0;
  };
  // Plays `name` on `c` until its end or until `stop` is set (the servos then stay where they
  // are). Throws orvane::error from the robot, or std::runtime_error when the file is gone or no
  // longer valid. Returns false if stopped.
  bool play(orvane::client& c, const std::string& name, const std::atomic<bool>& stop,
            const events& ev) const;
  // The planned curve of `name` as it would play from these goals (servo id, 0.1 degree) at this
  // tick period, in web_plan_json's form with tick 0 at pass 0; sends nothing. Throws
  // std::invalid_argument when there is no such motion, std::runtime_error when it cannot be
  // played.
  std::string preview(const std::string& name, const std::vector<std::pair<int, int>>& goals,
                      int32_t tick_us) const;

 private:
  struct impl;  // the folder and the loaded profile
  std::shared_ptr<const impl> impl_;
};
