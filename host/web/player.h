// Plays one motion, or one move longer than a trigger, at a time on a robot, on a thread of its
// own, so that the robot's poller goes on polling meanwhile. It shares the poller's client (the
// client library serialises calls). start() and start_move() are called from one thread (the
// poller's); stop(), busy(), status() and plan() from any; the destructor stops and joins.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "orvane.h"
#include "host/web/motions.h"
#include "host/web/state.h"

// Holds every servo goal channel that is moving where its output is now, in a move of one tick.
void web_hold(orvane::client& c);

class web_player {
 public:
  explicit web_player(const web_motions& motions) : motions_(motions) {}
  ~web_player();
  web_player(const web_player&) = delete;
  web_player& operator=(const web_player&) = delete;

  // Why nothing else may move the servos now, or empty when neither a motion nor a chained move
  // is under way.
  std::string busy() const;
  // Starts `name` once busy() is empty. Only the starting thread makes the player busy, and
  // only the player's thread makes it idle, so that check holds until this call.
  void start(std::shared_ptr<orvane::client> c, const std::string& name);
  // Once busy() is empty: moves servos to goals in degrees over `ticks` passes (more than one
  // trigger holds) as orvane::move_split's parts along the straight line from where they are.
  // The first part starts on the calling thread, which gets its errors (write list, range); the
  // others on the player's, each once the one before has ended. `ms` is for busy()'s message.
  void start_move(std::shared_ptr<orvane::client> c, const std::vector<std::pair<int, double>>& goals,
                  int ticks, int ms);
  void stop();  // returns at once; the motion or move ends within a poll of the robot
  // Blocks until neither a motion nor a chained move is under way, or `limit` has passed; true
  // if idle.
  bool wait_idle(std::chrono::milliseconds limit) const;
  web_play status() const;
  // The planned curve of the motion playing (web_plan_json), or null when none plays.
  std::shared_ptr<const std::string> plan() const;

 private:
  void run(orvane::client& c, const std::string& name, uint64_t serial);  // the player's thread
  void run_move(orvane::client& c, std::vector<orvane::target> from, std::vector<orvane::target> to,
                int ticks);  // the player's thread, from the second part on

  const web_motions& motions_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;  // guards status_, plan_, serial_ and move_ms_
  web_play status_;
  int move_ms_ = 0;        // of the chained move under way; 0: none
  std::shared_ptr<const std::string> plan_;
  uint64_t serial_ = 0;    // of the last motion started
  std::thread thread_;     // touched by start() and the destructor only
};
