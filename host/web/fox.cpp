#include "host/web/fox.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "host/web/json_in.h"

using json = nlohmann::json;

namespace {

constexpr int max_move_ms = 10000;  // as a page's move

std::string dump(const json& j)
{
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool is_id(const json& v)
{
  return v.is_number_unsigned() && v.get<uint64_t>() <= UINT32_MAX;
}

uint32_t le32(std::string_view b)
{
  uint32_t v = 0;
  for (int i = 0; i < 4; i++)
    v |= static_cast<uint32_t>(static_cast<unsigned char>(b[static_cast<size_t>(i)])) << (8 * i);
  return v;
}

}  // namespace

bool fox_offered(std::string_view protocols)
{
  while (!protocols.empty()) {
    size_t comma = protocols.find(',');
    std::string_view p = protocols.substr(0, comma);
    while (!p.empty() && (p.front() == ' ' || p.front() == '\t'))
      p.remove_prefix(1);
    while (!p.empty() && (p.back() == ' ' || p.back() == '\t'))
      p.remove_suffix(1);
    if (p == fox_subprotocol)
      return true;
    if (comma == std::string_view::npos)
      break;
    protocols.remove_prefix(comma + 1);
  }
  return false;
}

std::string fox_status(fox_level level, std::string_view message)
{
  return dump({{"op", "status"}, {"level", static_cast<int>(level)}, {"message", message}});
}

std::array<char, 13> fox_message_head(uint32_t subscription, uint64_t t_ns)
{
  std::array<char, 13> h{};
  h[0] = 0x01;
  for (size_t i = 0; i < 4; i++)
    h[1 + i] = static_cast<char>((subscription >> (8 * i)) & 0xff);
  for (size_t i = 0; i < 8; i++)
    h[5 + i] = static_cast<char>((t_ns >> (8 * i)) & 0xff);
  return h;
}

fox_client::fox_client(std::vector<ch_id> channels, const web_joints& joints)
    : channels_(std::move(channels)), joints_(joints) {}

std::vector<std::string> fox_client::hello(const std::string& name, const std::string& session) const
{
  json info = {{"op", "serverInfo"},
               {"name", name},
               {"capabilities", {"clientPublish"}},
               {"supportedEncodings", {"json"}},
               {"metadata", json::object()},
               {"sessionId", session}};
  json list = json::array();
  for (ch_id id : channels_) {
    const ch_channel* c = ch_find(id);
    list.push_back({{"id", c->id}, {"topic", c->topic}, {"encoding", "json"}, {"schemaName", c->schema_name},
                    {"schema", c->schema}, {"schemaEncoding", "jsonschema"}});
  }
  return {dump(info), dump({{"op", "advertise"}, {"channels", list}})};
}

fox_client::result fox_client::on_text(std::string_view text)
{
  result r;
  auto in = json_in(text, {fox_frame_limit, fox_depth_limit});
  if (auto* why = std::get_if<std::string>(&in)) {
    r.replies.push_back(fox_status(fox_error, "message refused: " + *why));
    return r;
  }
  const json& j = std::get<json>(in);
  auto op = j.is_object() ? j.find("op") : j.end();
  if (!j.is_object() || op == j.end() || !op->is_string()) {
    r.replies.push_back(fox_status(fox_error, "message refused: a JSON object with an \"op\" was expected"));
    return r;
  }
  std::string o = op->get<std::string>();
  auto field = [&j](const char* k) { auto f = j.find(k); return f == j.end() ? json() : *f; };
  if (o == "subscribe")
    return subscribe(field("subscriptions"));
  if (o == "unsubscribe")
    return unsubscribe(field("subscriptionIds"));
  if (o == "advertise")
    return advertise(field("channels"));
  if (o == "unadvertise")
    return unadvertise(field("channelIds"));
  r.replies.push_back(fox_status(fox_error, "\"" + o.substr(0, 64) + "\" is not supported by this server"));
  return r;
}

fox_client::result fox_client::subscribe(const json& list)
{
  result r;
  if (!list.is_array()) {
    r.replies.push_back(fox_status(fox_error, "subscribe: \"subscriptions\" must be a list"));
    return r;
  }
  for (const json& s : list) {
    auto id = s.is_object() ? s.find("id") : s.end();
    auto ch = s.is_object() ? s.find("channelId") : s.end();
    if (!s.is_object() || id == s.end() || ch == s.end() || !is_id(*id) || !is_id(*ch)) {
      r.replies.push_back(fox_status(fox_error, "subscribe: each subscription needs an \"id\" and a \"channelId\""));
      continue;
    }
    auto sub = id->get<uint32_t>();
    auto channel = ch->get<uint32_t>();
    auto known = std::find_if(channels_.begin(), channels_.end(), [&](ch_id c) { return c == channel; });
    if (known == channels_.end())
      r.replies.push_back(fox_status(fox_error, "subscribe: no channel " + std::to_string(channel)));
    else if (subs_.count(sub))
      r.replies.push_back(fox_status(fox_error, "subscribe: subscription " + std::to_string(sub) + " is taken"));
    else if (subs_.size() >= fox_subscription_limit)
      r.replies.push_back(fox_status(fox_error, "subscribe: at most " + std::to_string(fox_subscription_limit) +
                                                   " subscriptions"));
    else {
      subs_[sub] = *known;
      r.subscribed.push_back(*known);
    }
  }
  return r;
}

fox_client::result fox_client::unsubscribe(const json& list)
{
  result r;
  if (!list.is_array()) {
    r.replies.push_back(fox_status(fox_error, "unsubscribe: \"subscriptionIds\" must be a list"));
    return r;
  }
  for (const json& id : list)
    if (!is_id(id) || subs_.erase(id.get<uint32_t>()) == 0)
      r.replies.push_back(fox_status(fox_warning, "unsubscribe: no subscription " + dump(id).substr(0, 32)));
  return r;
}

fox_client::result fox_client::advertise(const json& list)
{
  result r;
  if (!list.is_array()) {
    r.replies.push_back(fox_status(fox_error, "advertise: \"channels\" must be a list"));
    return r;
  }
  for (const json& c : list) {
    auto id = c.is_object() ? c.find("id") : c.end();
    auto topic = c.is_object() ? c.find("topic") : c.end();
    auto enc = c.is_object() ? c.find("encoding") : c.end();
    if (!c.is_object() || id == c.end() || topic == c.end() || enc == c.end() || !is_id(*id) ||
        !topic->is_string() || !enc->is_string()) {
      r.replies.push_back(fox_status(fox_error, "advertise: each channel needs an \"id\", a \"topic\" and an \"encoding\""));
      continue;
    }
    std::string t = topic->get<std::string>();
    if (t != fox_stop_topic && t != fox_move_topic)
      r.replies.push_back(fox_status(fox_error, "advertise: \"" + t.substr(0, 64) +
                                                   "\" is not taken here; publish on /cmd/stop or /cmd/move"));
    else if (enc->get<std::string>() != "json")
      r.replies.push_back(fox_status(fox_error, "advertise: " + t + " takes json"));
    else if (client_channels_.size() >= fox_client_channel_limit && !client_channels_.count(id->get<uint32_t>()))
      r.replies.push_back(fox_status(fox_error, "advertise: too many channels"));
    else
      client_channels_[id->get<uint32_t>()] = t;
  }
  return r;
}

fox_client::result fox_client::unadvertise(const json& list)
{
  result r;
  if (list.is_array())
    for (const json& id : list)
      if (is_id(id))
        client_channels_.erase(id.get<uint32_t>());
  return r;
}

fox_client::result fox_client::on_binary(std::string_view data)
{
  result r;
  if (data.size() < 5 || data[0] != 0x01) {
    r.replies.push_back(fox_status(fox_error, "binary message refused: only client message data (opcode 1) is taken"));
    return r;
  }
  uint32_t channel = le32(data.substr(1, 4));
  std::string_view body = data.substr(5);
  auto c = client_channels_.find(channel);
  if (c == client_channels_.end()) {
    r.replies.push_back(fox_status(fox_error, "message on channel " + std::to_string(channel) +
                                                  ", which was not advertised"));
    return r;
  }
  if (c->second == fox_stop_topic) {
    web_command stop;
    stop.what = web_command::stop;
    r.command = stop;
    return r;
  }
  auto m = move(body);
  if (auto* why = std::get_if<std::string>(&m))
    r.replies.push_back(fox_status(fox_error, "move refused: " + *why));
  else
    r.command = std::get<web_command>(std::move(m));
  return r;
}

// {"goals":{"elbow":30,"3":-12.5},"ms":500}: joint degrees by joint name, or by servo id for a
// servo that is no joint of the profile.
std::variant<web_command, std::string> fox_client::move(std::string_view body) const
{
  auto in = json_in(body, {fox_frame_limit, fox_depth_limit});
  if (auto* why = std::get_if<std::string>(&in))
    return *why;
  const json& j = std::get<json>(in);
  if (!j.is_object())
    return std::string("the body must be a JSON object {\"goals\":{\"JOINT\":DEGREES},\"ms\":N}");
  auto goals = j.find("goals");
  auto ms = j.find("ms");
  if (goals == j.end() || !goals->is_object() || goals->empty() || goals->size() > 32)
    return std::string("\"goals\" must name 1 to 32 joints with their degrees");
  if (ms == j.end() || !ms->is_number_integer() || ms->get<int64_t>() < 0 || ms->get<int64_t>() > max_move_ms)
    return std::string("\"ms\" must be a duration of 0 to 10000 ms");
  web_command c;
  c.what = web_command::move;
  c.ms = static_cast<int>(ms->get<int64_t>());
  for (auto& [name, deg] : goals->items()) {
    if (!deg.is_number() || !std::isfinite(deg.get<double>()))
      return "\"" + name.substr(0, 64) + "\" needs a number of degrees";
    const web_joint* joint = nullptr;
    for (const web_joint& x : joints_)
      if (x.name == name)
        joint = &x;
    int id = 0;
    if (joint) {
      id = joint->id;
    } else {
      size_t used = 0;
      try {
        id = std::stoi(name, &used);
      } catch (const std::exception&) {
        used = 0;
      }
      if (used != name.size() || name.empty() || id < 1 || id > 32 || web_joint_of(joints_, id))
        return "no joint named \"" + name.substr(0, 64) + "\"";
    }
    double servo = web_servo_deg(joint, deg.get<double>());
    if (servo < -150 || servo > 150)
      return "\"" + name + "\" at " + std::to_string(deg.get<double>()) + " degrees is beyond its servo's range";
    c.goals.emplace_back(id, servo);
  }
  return c;
}

std::vector<uint32_t> fox_client::subscriptions(ch_id channel) const
{
  std::vector<uint32_t> v;
  for (const auto& [sub, ch] : subs_)
    if (ch == channel)
      v.push_back(sub);
  return v;
}

bool fox_client::wants(ch_id channel) const
{
  return std::any_of(subs_.begin(), subs_.end(), [&](const auto& s) { return s.second == channel; });
}
