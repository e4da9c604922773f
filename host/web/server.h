// The HTTP and WebSocket side of orvane-web (Boost.Beast over Asio): serves the built-in page,
// checks every request's token, takes commands for the pollers and fans each robot's latest
// state out to every page watching it. All of its state belongs to the one thread that runs
// web_serve; pollers reach it only through web_publish (from any thread).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/web/channels.h"

class web_motions;
class web_poller;
struct web_server;
namespace orvane::urdf {
class ur_model;
}

struct web_options {
  std::string host;          // listen address
  uint16_t port = 0;         // 0 picks a free port
  std::string token;
  const web_motions* motions = nullptr;  // the playlist; lives as long as the server
  // The robot's description for the pages' 3D view (GET /api/urdf); null: none.
  std::shared_ptr<const orvane::urdf::ur_model> description;
  // The classroom view: "/" is the room's page, /ws/0 its one feed (web_publish robot 0), and
  // POST /api/stop-all calls this, whose answer may come from any thread.
  std::function<void(std::function<void(int status, std::string text)>)> stop_all;
  // ... and POST /api/room/command hands its body to this (web_classroom::command).
  std::function<void(std::string body, std::function<void(int status, std::string text)>)> room_command;
  // The Foxglove endpoint, /foxglove/N (docs/ecosystem.md): the server's name in it, the robot
  // model its moves are named by (null: none), and the robot's description with how its links
  // follow the joints.
  std::string name = "orvane-web";
  std::shared_ptr<const orvane::robot_model> model;
  std::string urdf;
  ch_kinematics links;
};

// Binds the listening socket; throws std::runtime_error with a one-line reason.
std::shared_ptr<web_server> web_listen(const web_options& o);
// The port actually bound.
uint16_t web_port(const web_server& s);
// Serves the robots' pages until SIGINT or SIGTERM; robot i of a page is robots[i].
void web_serve(web_server& s, const std::vector<web_poller*>& robots);
// Hands a robot's newest state (JSON) to every page showing that robot. Any thread.
void web_publish(web_server& s, int robot, std::string json);
// Hands every poll's state to the Foxglove endpoint's clients of that robot, if it has any.
// Any thread.
void web_sample(web_server& s, int robot, const web_state& state, double rate, int64_t t_ns);
// Whether any Foxglove client is connected, so that web_sample wants every poll; any thread.
bool web_sampling(const web_server& s);
