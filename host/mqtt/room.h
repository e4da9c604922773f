// The classroom view's picture of a broker: every robot's status, name and latest state, taken
// from the bridges' status, info and state messages, and the page's JSON of it all. take() and
// link() run on the MQTT library's thread, page_json() on the view's own; one mutex guards it all.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/mqtt/topics.h"

class mq_room {
 public:
  static constexpr size_t max_robots = 256;  // more are left out, not kept
  // What the view subscribes to.
  static std::vector<std::string> topics();

  // A message from the broker; anything that is not a robot's status, info or state, or does
  // not parse, is ignored. `now_ms` is this machine's steady clock.
  void take(const mq_incoming& m, int64_t now_ms);
  // The view's own link to the broker. A fresh link starts from an empty room, which the
  // retained status and info messages fill again at once.
  void link(bool up, const std::string& problem);
  // True once after anything changed (for the view's thread, which sends the page only news).
  bool changed();
  // {"broker":{"up","problem"},"robots":[{"id","name","status","rate","sw_in","servos","age"}]},
  // each servo {"key","id","pos","deg","why"}
  // sorted by id; `age` is the milliseconds since its last state message (null before one).
  std::string page_json(int64_t now_ms);

 private:
  struct servo {
    std::string key;  // its joint name, or its id
    int id = 0;
    std::optional<int> pos;     // 0.1 servo degrees, while it is a reading
    std::optional<double> deg;  // the same in the joint's degrees (next to its name)
    std::string why;            // why there is no reading
  };
  struct robot {
    std::string status, name;
    bool has_state = false;
    std::optional<double> rate;  // null until a state message gives a number
    std::vector<int> sw;
    std::vector<servo> servos;  // by id
    int64_t state_at = 0;
  };
  robot* find(const std::string& id, bool create);

  std::mutex mu_;
  std::map<std::string, robot> robots_;
  bool up_ = false, changed_ = true;
  std::string problem_;
};
