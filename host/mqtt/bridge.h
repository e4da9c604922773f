// One robot on the broker: a thread (the caller's, in run()) that keeps the robot's monitor
// connection and the broker link, polls the map at most once per tick and at --rate, publishes
// status, info, state and events, and carries out the commands that the link's thread has
// checked and queued. Motions and moves longer than one trigger play on the player's thread
// (orvane-web's), which borrows the client. The broker's thread only queues checked commands,
// sets flags and asks a playing motion to stop. A stop never joins the queue: it is counted
// beside it, taken before the next command, and voids the moves and plays queued before it.
// stop() may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "orvane_model.h"
#include "host/mqtt/link.h"
#include "host/mqtt/topics.h"
#include "host/web/motions.h"
#include "host/web/player.h"

struct mq_bridge_opts {
  std::string robot;       // HOST[:PORT]
  std::string id;          // checked with mq_id_ok
  double rate = 5;         // most state messages per second
  double max_age = mq_max_age_s;
  bool allow_poweroff = false;
  std::string version;     // "orvane-mqtt 0.6.0"
  std::shared_ptr<const orvane::robot_model> model;  // from --profile; null: the servo ids
  std::string discovery;   // prefix of the discovery config messages; "" publishes none
  mq_link::options link;   // uri, credentials, keepalive, cafile; the rest is the bridge's
};

using clk_time = std::chrono::steady_clock::time_point;

class mq_bridge {
 public:
  mq_bridge(mq_bridge_opts o, const web_motions& motions);
  ~mq_bridge();
  mq_bridge(const mq_bridge&) = delete;
  mq_bridge& operator=(const mq_bridge&) = delete;

  // Runs until stop(); then stops any motion, says "offline" and leaves the broker. Returns ""
  // then, or why it had to end: the broker refuses the account, the id is another bridge's, or
  // another bridge took it over. Those are mistakes that trying again would not mend.
  std::string run();
  void stop();

  static constexpr auto robot_timeout = std::chrono::milliseconds(1000);
  static constexpr auto retry = std::chrono::milliseconds(1000);  // robot and broker

 private:
  struct job {
    std::variant<mq_accepted, mq_refused> what;
    uint64_t stops = 0;  // stops taken before it arrived
  };
  struct robot_side;  // the robot thread's own state (bridge.cpp)

  void on_message(const mq_incoming& m);  // the link's thread
  void on_lost();                  // the link's thread
  bool wait_until(std::chrono::steady_clock::time_point t);
  void carry_out(robot_side& r, const job& j);
  void take_stops(robot_side& r);  // the stops counted since the last look: stop, hold, answer
  void stop_and_hold(robot_side& r);
  std::string connect_link(std::string& told);  // looks at who holds the id, then connects
  void identify(robot_side& r, clk_time now);
  void publish_status(robot_side& r, const std::string& status);
  void publish_info(robot_side& r);
  void publish_discovery(robot_side& r);
  void event(const std::string& payload);

  const mq_bridge_opts o_;
  const std::shared_ptr<const orvane::robot_model> model_;  // every command goes through it
  const std::map<int, std::string> joints_;                 // its joints' names by servo id
  const web_motions& motions_;
  web_player player_;
  std::unique_ptr<mq_link> link_;

  std::mutex mu_;  // guards jobs_, stop_, stops_ and stop_replies_
  std::condition_variable cv_;
  std::deque<job> jobs_;
  bool stop_ = false;
  uint64_t stops_ = 0;                   // stop commands taken; set by the link's thread
  std::vector<std::string> stop_replies_;  // their request ids still to answer
  uint64_t stops_done_ = 0;              // the bridge's thread's: stops carried out
  bool link_tried_ = false;              // the bridge's thread's: the link has tried since the look
  std::atomic<bool> link_fresh_{false};  // set by the link's thread: announce and subscribe
  std::atomic<bool> link_lost_{false};   // set by the link's thread: stop and hold
};
