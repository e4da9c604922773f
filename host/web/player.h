// Plays one motion at a time on a robot, on a thread of its own, so that the robot's poller goes
// on showing it move. It shares the poller's client (the client library serialises calls).
// start() is called from one thread (the poller's); stop(), busy(), status() and plan() from
// any; the destructor stops the motion and joins.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/web/motions.h"
#include "host/web/state.h"

class web_player {
 public:
  explicit web_player(const web_motions& motions) : motions_(motions) {}
  ~web_player();
  web_player(const web_player&) = delete;
  web_player& operator=(const web_player&) = delete;

  // Why nothing else may move the servos now, naming the motion and who started it, or empty
  // when no motion plays.
  std::string busy() const;
  // Starts `name` once busy() is empty; `by` says who asked ("from a page of this orvane-web").
  // Only the starting thread makes the player busy, and only the player's thread makes it idle,
  // so that check holds until this call.
  void start(std::shared_ptr<orvane::client> c, const std::string& name, const std::string& by = "");
  void stop();  // returns at once; the motion ends within a poll of the robot
  web_play status() const;
  // The planned curve of the motion playing (web_plan_json), or null when none plays.
  std::shared_ptr<const std::string> plan() const;

 private:
  void run(orvane::client& c, const std::string& name, uint64_t serial);  // the player's thread

  const web_motions& motions_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;  // guards status_, by_, plan_ and serial_
  web_play status_;
  std::string by_;         // who started the motion playing
  std::shared_ptr<const std::string> plan_;
  uint64_t serial_ = 0;    // of the last motion started
  std::thread thread_;     // touched by start() and the destructor only
};
