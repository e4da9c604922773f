// What orvane-web reads from a robot and shows: the few contiguous map ranges it polls, the state
// decoded from them through the field table, and that state as the JSON a page receives.
// Pure functions and plain values; the poller thread builds states, the I/O thread sends them.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "orvane_model.h"

// Control-loop passes per second, from loop_count over windows of about a second. Owned by the
// thread that polls the robot (orvane-web's poller, orvane-mqtt's bridge).
struct rate_meter {
  bool have = false;
  uint32_t count = 0;
  std::chrono::steady_clock::time_point at;
  double rate = 0;
  void sample(uint32_t c, std::chrono::steady_clock::time_point t)
  {
    if (!have) {
      have = true, count = c, at = t;
      return;
    }
    std::chrono::duration<double> dt = t - at;
    if (dt.count() >= 1.0) {
      rate = static_cast<uint32_t>(c - count) / dt.count();  // wraps modulo 2^32 like the counter
      count = c, at = t;
    }
  }
};

struct web_range {
  uint32_t adr, n;
};

// The ranges that cover every field the page shows, as few as the map's layout allows: fields
// closer than `gap` bytes share one range, since a byte costs less than a command.
std::vector<web_range> web_poll_plan(uint32_t gap = 128);

struct web_servo {
  int id = 0;
  int goal = 0;                 // ip_out of its channel, 0.1 servo degree
  std::optional<int> pos;       // sv_pos, 0.1 servo degree; only while it is a reading
  int torque = 0;               // its torque channel's low byte: the maximum torque, 0 = off
  int moving = 0;               // ticks left in its goal channel's move
  std::string reading = "valid";  // or why it has none: "no_group", "silent", "behind", ...
  std::string why;              // the same for a person: "not in a read group", ...
  std::string joint;            // its joint's name in the profile, if any
  double goal_deg = 0;          // the goal in its joint's degrees (the servo's without a joint)
  std::optional<double> deg;    // the position likewise; only while it is a reading
  double lo = -150, hi = 150;   // the goal's range in those degrees: the joint's soft limits
  double trim = 0;              // its joint's degrees from the servo's, as the profile says:
  bool reverse = false;         //   (reverse ? -1 : 1) * (servo degrees - trim)
  double jog = 0;               // the fastest a page may jog it, degrees a second
};

// A motion played from a page: the one under way, or how the last one ended.
struct web_play {
  std::string name;         // empty: none played yet
  bool playing = false;
  size_t move = 0, moves = 0;  // the move under way (from 1) and how many the motion has
  std::vector<std::string> warnings;  // said before it started, such as servos without torque
  std::string outcome;      // once ended: "done", "stopped", or what went wrong
  uint64_t plan = 0;        // while playing, the serial of its planned curve on offer; 0: none
  bool operator==(const web_play&) const = default;
};

// This robot following another as its leader, started from a page: the session's state.
struct web_mirror_state {
  bool on = false;          // a session runs (it may be paused or holding)
  int leader = -1;          // the leader's robot index on the pages
  std::string phase;        // "engaging", "tracking", "paused", "holding", "waiting", "ended"
  std::string why;          // why it holds or waits, or how the last one ended
  double lag_ms = -1, lag_ticks = -1, gap = 0;  // as orvane::mirror::status has them
  bool operator==(const web_mirror_state&) const = default;
};

// Joints jogged from a page: those moving now, or why the last jog ended.
struct web_jog_state {
  std::vector<int> ids;     // servos jogging now
  std::string ended;        // "released", "no input for 0.4 s", ...
  bool operator==(const web_jog_state&) const = default;
};

struct web_state {
  bool connected = false;
  std::string problem;          // why not connected, for the page
  std::string name;
  int32_t tick_period = 0;      // microseconds
  bool torque_on = false, comm_on = false, led_on = false;
  std::array<bool, 5> sw{};
  std::array<int, 16> leds{};   // board A 0..7, board B 0..7
  uint32_t loop_count = 0;
  std::vector<web_servo> servos;  // the write list, in its order; ids 1..32 only
  web_play play;                  // the gateway's, not the robot's: set by the poller
  web_mirror_state mirror;        // the same
  web_jog_state jog;              // the same
};

// Decodes a state from the bytes of `plan`'s ranges (data[i] holds range i), through the robot
// model: joint names and degrees, and a position only where the reading rule says it is one.
web_state web_decode(const std::vector<web_range>& plan,
                     const std::vector<std::vector<uint8_t>>& data,
                     const orvane::robot_model& model = orvane::robot_model());
// The polled bytes without loop_count, which moves every tick and is no part of what a page or
// a state message shows: polls with the same key decode to the same content, so a poller that
// finds the key unchanged skips the decoding and the JSON (most polls of a robot at rest), and
// takes only the count, for its rate.
std::vector<uint8_t> web_poll_key(const std::vector<web_range>& plan,
                                  const std::vector<std::vector<uint8_t>>& data);
uint32_t web_loop_count(const std::vector<web_range>& plan,
                        const std::vector<std::vector<uint8_t>>& data);

// Figures about the poller rather than the robot.
struct web_stats {
  double rate = 0;              // control-loop passes per second
  uint64_t polls = 0;           // polls since start
  uint64_t seq = 0;             // states published since start, this one included
  int64_t t_ms = 0;             // when the state was read, ms since the epoch
};

// The message a page gets. Two states with the same `content` differ only in the counters.
std::string web_state_json(int robot, const std::string& address, const web_state& s,
                           const web_stats& st);
std::string web_state_content(const web_state& s);
