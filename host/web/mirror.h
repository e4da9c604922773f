// Mirroring from the live view: this robot follows another robot the pages show (or, with a
// joint map, one arm of it follows the other) through the mirroring library (host/mirror), on a
// thread of its own with connections of its own, so that the robot's poller goes on showing it.
// Every call comes from the robot's poller thread but end(), which a stop makes from any thread;
// the destructor ends a session and joins.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/web/state.h"

struct web_mirror_opts {
  std::string profile;           // both robots' profile: joint names and limits; empty: servo ids
  std::vector<std::string> map;  // "FOLLOWER=LEADER", as orvane-ctl mirror --map takes them
};

class web_mirror {
 public:
  explicit web_mirror(web_mirror_opts o);
  ~web_mirror();
  web_mirror(const web_mirror&) = delete;
  web_mirror& operator=(const web_mirror&) = delete;

  // Starts mirroring `leader` (robot index `index`) onto `follower`, or engages a paused or
  // holding session again. Why it cannot, or empty.
  std::string engage(const std::string& follower, const std::string& leader, int index);
  void pause();
  void end();  // any thread; returns at once, the session puts both robots back on its own thread
  // Why nothing else may move this robot now (a session runs), or empty.
  std::string busy() const;
  web_mirror_state state() const;
  static bool built();  // false in a build without the mirroring library

 private:
  struct impl;
  std::unique_ptr<impl> p_;
};
