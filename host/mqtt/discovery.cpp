#include "host/mqtt/discovery.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

bool mq_discovery_prefix_ok(std::string_view prefix)
{
  if (prefix.empty() || prefix.size() > 64 || prefix.front() == '/' || prefix.back() == '/')
    return false;
  char before = 0;
  for (char c : prefix) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-' || (c == '/' && before != '/');
    if (!ok)
      return false;
    before = c;
  }
  return true;
}

std::vector<std::pair<std::string, std::string>> mq_discovery(std::string_view prefix,
                                                              const mq_info& info)
{
  const std::string& id = info.id;
  // The robot as one device; its entities go unavailable with every status but "online"
  // (offline, robot-lost).
  json device = {{"identifiers", {"orvane_" + id}},
                 {"name", info.name.empty() ? id : id + " (" + info.name + ")"},
                 {"manufacturer", "orvane"},
                 {"model", info.banner},
                 {"sw_version", info.version}};
  json availability = json::array({{{"topic", mq_topic(id, "status")},
                                    {"value_template", "{{ 'online' if value == 'online' else 'offline' }}"}}});
  std::vector<std::pair<std::string, std::string>> out;
  auto add = [&](const char* component, const std::string& object, json config) {
    config["unique_id"] = "orvane_" + id + "_" + object;
    config["state_topic"] = mq_topic(id, "state");
    config["availability"] = availability;
    config["device"] = device;
    config["origin"] = {{"name", "orvane-mqtt"}, {"sw", info.version}};
    out.emplace_back(std::string(prefix) + "/" + component + "/" + id + "/" + object + "/config",
                     config.dump(-1, ' ', false, json::error_handler_t::replace));
  };
  for (int i = 0; i < 5; i++)
    add("binary_sensor", "sw_in_" + std::to_string(i),
        {{"name", "switch " + std::to_string(i)},
         {"value_template", "{{ 'ON' if value_json.sw_in[" + std::to_string(i) + "] else 'OFF' }}"}});
  for (int sid : info.wr_ids) {
    std::string key = mq_servo_key(sid, info.joints);
    // The position is in 0.1 degree; "None" (no reading) makes the sensor's value unknown.
    std::string quoted;  // a joint name inside the template's quotes
    for (char c : key)
      quoted += c == '\'' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    std::string pos = "value_json.servo['" + quoted + "'].pos";
    std::string label = key == std::to_string(sid) ? "servo " + key : key;
    std::string value = "{{ none if ";
    value.append(pos).append(" is none else ").append(pos).append(" / 10 }}");
    add("sensor", "servo_" + std::to_string(sid),
        {{"name", label + " position"},
         {"unit_of_measurement", "°"},
         {"state_class", "measurement"},
         {"suggested_display_precision", 1},
         {"value_template", value}});
  }
  add("sensor", "rate",
      {{"name", "loop rate"},
       {"unit_of_measurement", "Hz"},
       {"state_class", "measurement"},
       {"entity_category", "diagnostic"},
       {"value_template", "{{ value_json.rate }}"}});
  return out;
}
