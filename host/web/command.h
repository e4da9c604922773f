// What a page may ask of a robot: a request body checked completely before anything is sent,
// then carried out through the client library. Parsing is pure; web_apply runs on the robot's
// poller thread. Playing and stopping motions are the poller's player's (player.h).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace orvane {
class client;
struct robot_model;
}

// A servo is named by its id ("3", its goal in the servo's degrees) or, with a profile, by its
// joint ("elbow", in the joint's degrees); the robot model resolves the name when it is carried
// out, and holds every goal to its limits.
struct web_command {
  enum kind { move, torque, led, exit, poweroff, play, stop, read, jog, mirror } what = move;
  std::vector<std::pair<std::string, double>> goals;  // move: servo id or joint, degrees
  int ms = 0;                                 // move: duration
  bool on = false;                            // torque
  std::vector<std::string> ids;               // torque: servo ids or joints, empty = the write
                                              // list; read: servos to add to the read groups
  std::vector<std::pair<int, int>> leds;      // leds: 0..15 (board A, then B), value 0..255
  std::string motion;                         // play: motion file name
  std::vector<std::pair<int, double>> speeds; // jog: servo id, degrees a second; empty: stop
  std::string action;                         // mirror: "engage", "pause" or "end"
  int leader = -1;                            // mirror: the leader's robot index
  std::string leader_address;                 // mirror: the same, filled in by the server
};

// A JSON body such as {"op":"move","goals":[[1,45.0]],"ms":500}; on error, why it is refused.
// The body is read through json_in (json_in.h): bounded in size and nesting.
std::variant<web_command, std::string> web_parse_command(std::string_view body);
// The same on a value already read through json_in.
std::variant<web_command, std::string> web_parse_json(const nlohmann::json& j);

// Passes a move takes on `c`: its ms at the tick the daemon runs at. More than orvane::ttime_max
// is a chained move, which runs on the player's thread (web_player::start_move).
int web_move_ticks(orvane::client& c, const web_command& cmd);
// A move's goals as servo ids and servo degrees; throws the model's unknown_joint or out_of_range.
std::vector<std::pair<int, double>> web_servo_goals(const orvane::robot_model& model, const web_command& cmd);

// Carries out every command but play, stop and a chained move through the client's robot model;
// throws the client library's errors (out_of_range for a name or goal the model refuses).
void web_apply(orvane::client& c, const web_command& cmd);
