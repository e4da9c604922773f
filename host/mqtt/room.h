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

#include <nlohmann/json.hpp>

#include "host/mqtt/topics.h"

class mq_room {
 public:
  static constexpr size_t max_robots = 256;  // more are left out, not kept
  // After the link comes back, a robot not heard again within this is dropped (its bridge is
  // gone; a broker that restarted kept no retained status for it).
  static constexpr int64_t regrace_ms = 10000;
  // What the view subscribes to.
  static std::vector<std::string> topics();

  // A message from the broker; anything that is not a robot's status, info or state, or does
  // not parse, is ignored. `now_ms` is this machine's steady clock.
  void take(const mq_incoming& m, int64_t now_ms);
  // The view's own link to the broker, at `now_ms`. While it is down the room keeps every
  // robot's last known state; a status that turned "offline" in the last moments before the loss
  // is taken back (a broker that shuts down sends every bridge's will as it goes). A fresh link
  // keeps the robots too, until regrace_ms without news drops them.
  void link(bool up, const std::string& problem, int64_t now_ms = 0);
  // True once after anything changed (for the view's thread, which sends the page only news).
  bool changed();
  // {"broker":{"up","problem"},"robots":[{"id","name","status","heard","rate","sw_in","servos",
  // "age","motion","motions","note"}]} sorted by id, each servo {"key","id","pos","deg","why"};
  // `age` is the milliseconds since its last state message (null before one), `heard` false
  // while a robot awaits news after a fresh link, `motion` the state's (null before any),
  // `motions` what its bridge offers, `note` the last refusal of a command this view sent it.
  // Commands this view sends carry request ids that start with this.
  static constexpr const char* request_prefix = "web-";
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
    std::string was;        // the status before the last change, and when that came
    int64_t status_at = 0;
    bool heard = true;      // since the last fresh link
    nlohmann::json motion;  // null, or the state's checked motion
    std::vector<std::string> motions;
    std::string note;
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
  int64_t up_at_ = 0;
  std::string problem_;
};
