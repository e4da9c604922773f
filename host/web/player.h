// Plays one motion at a time on a robot, on a thread of its own, so that the robot's poller goes
// on showing it move. It shares the poller's client (the client library serialises calls).
// start() is called from one thread (the poller's); stop(), busy() and status() from any;
// the destructor stops the motion and joins.
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

  // Why nothing else may move the servos now, or empty when no motion plays.
  std::string busy() const;
  // Starts `name` once busy() is empty. Only the starting thread makes the player busy, and
  // only the player's thread makes it idle, so that check holds until this call.
  void start(std::shared_ptr<orvane::client> c, const std::string& name);
  void stop();  // returns at once; the motion ends within a poll of the robot
  web_play status() const;

 private:
  void run(orvane::client& c, const std::string& name);  // the player's thread

  const web_motions& motions_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;  // guards status_
  web_play status_;
  std::thread thread_;     // touched by start() and the destructor only
};
