// orvane-web's Foxglove endpoint on the server's one thread: each client's WebSocket, speaking
// fox_client's protocol over Beast, and per robot one channel builder whose messages go to every
// client subscribed to them. Its state belongs to the server's thread; fox_active() may be called
// from any thread.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <memory>
#include <string>

#include "host/web/channels.h"

class web_poller;
struct fox_hub;

struct fox_hub_opts {
  std::string name;      // the server's name in serverInfo
  web_joints joints;     // joint names and degrees for the channels and for moves
  std::string urdf;      // the robot's description, if any, and how its links follow the joints
  ch_kinematics links;
  bool plans = false;    // whether motions may play, so that /motion/plan is worth offering
};

std::shared_ptr<fox_hub> fox_hub_make(boost::asio::io_context& ioc, fox_hub_opts o);
// Whether any client is connected (the pollers hand over no state otherwise). Any thread.
bool fox_active(const fox_hub& h);
// Takes over a connection whose upgrade request for robot `robot`'s endpoint passed the access
// checks; `poller` carries out what the client publishes.
void fox_open(fox_hub& h, size_t robot, web_poller* poller, boost::asio::ip::tcp::socket&& sock,
              const boost::beast::http::request<boost::beast::http::string_body>& req);
// A robot's newest state, for every client subscribed to its channels.
void fox_sample(fox_hub& h, size_t robot, web_poller* poller, const web_state& s, double rate, int64_t t_ns);
