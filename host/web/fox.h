// One client of orvane-web's Foxglove endpoint as the protocol (foxglove.websocket.v1) sees it:
// what the server says first, the client's subscriptions, the frames that carry a message, and
// what the client publishes (a stop, a move), checked completely before anything reaches the
// robot. Pure, no I/O; a fox_client belongs to the server's thread.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "host/web/channels.h"
#include "host/web/command.h"
#include "host/web/joints.h"

constexpr std::string_view fox_subprotocol = "foxglove.websocket.v1";
constexpr size_t fox_frame_limit = size_t{64} * 1024;  // a client's frame: a move is ~100 bytes
constexpr int fox_depth_limit = 8;                     // nesting of a client's JSON
constexpr size_t fox_subscription_limit = 64;
constexpr size_t fox_client_channel_limit = 8;

// The topics a client may publish on, in "json".
constexpr std::string_view fox_stop_topic = "/cmd/stop";  // any body: a stop needs none
constexpr std::string_view fox_move_topic = "/cmd/move";  // {"goals":{"elbow":30},"ms":500}

enum fox_level { fox_info = 0, fox_warning = 1, fox_error = 2 };

// Whether a Sec-WebSocket-Protocol header offers our subprotocol.
bool fox_offered(std::string_view protocols);
// {"op":"status",...}
std::string fox_status(fox_level level, std::string_view message);
// The 13 bytes before a message's payload in a binary frame: opcode 1, the subscription id,
// the time in ns since the epoch.
std::array<char, 13> fox_message_head(uint32_t subscription, uint64_t t_ns);

class fox_client {
 public:
  // `channels`: the ones advertised to this client; `joints` names what a move may name.
  fox_client(std::vector<ch_id> channels, const web_joints& joints);

  // serverInfo, then advertise: the first two frames.
  std::vector<std::string> hello(const std::string& name, const std::string& session) const;

  struct result {
    std::vector<std::string> replies;      // status frames to send back
    std::optional<web_command> command;    // a stop or a move for the robot's poller
    std::vector<ch_id> subscribed;         // channels just subscribed to: their latched message
  };
  result on_text(std::string_view text);
  result on_binary(std::string_view data);

  // The client's subscription ids on a channel (it may hold several).
  std::vector<uint32_t> subscriptions(ch_id channel) const;
  bool wants(ch_id channel) const;

 private:
  result subscribe(const nlohmann::json& list);
  result unsubscribe(const nlohmann::json& list);
  result advertise(const nlohmann::json& list);
  result unadvertise(const nlohmann::json& list);
  std::variant<web_command, std::string> move(std::string_view body) const;

  std::vector<ch_id> channels_;
  const web_joints& joints_;
  std::map<uint32_t, ch_id> subs_;                   // subscription id: channel
  std::map<uint32_t, std::string> client_channels_;  // the client's channel id: its topic
};
